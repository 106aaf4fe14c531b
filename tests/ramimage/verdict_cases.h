// verdict_cases.h - RAM images that only the device's reading of records
// tells from whole ones, one for each problem the image check finds in what
// a record says (its tag, its key name), and whole images that are close to
// them. The check's own table and the backup tool's test of its verbs both
// take them.
#pragma once

#include "imagebytes.h"

namespace imgtest {

struct VerdictCase {
    int line;
    std::string bytes;
    int problem;
    DWORD offset;
    const char *text;  // imageProblemText
};

inline std::vector<VerdictCase> verdictCases() {
    const std::string keyA = key(0, "A"), valB = value(4, "B", "\x01\x02\x03\x04");
    return {
        // What the device takes: roots, every value type, key paths.
        {__LINE__,
         image({key(0, ""), key(1, "A\\B\\C"), value(0, "", ""), value(2, "e", std::string("%\0\0\0", 4)),
                value(3, "b", "\x01"), value(7, "m", std::string(4, '\0')), key(2, "\x7f\xff")}),
         IMAGE_WHOLE, 0, ""},
        {__LINE__, image({keyA, valB, key(7, "C")}), IMAGE_KEY_TAG, 0x26, "record at 0x26: key tag 7 is no root"},
        {__LINE__, image({key(0x102, "A")}), IMAGE_KEY_TAG, 8, "record at 0x8: key tag 258 is no root"},
        {__LINE__, image({keyA, value(9, "B", "")}), IMAGE_VALUE_TAG, 0x14,
         "record at 0x14: value tag 9 is no value type"},
        {__LINE__, image({keyA, value(0x104, "B", "")}), IMAGE_VALUE_TAG, 0x14,
         "record at 0x14: value tag 260 is no value type"},
        {__LINE__, image({key(0, "\\A")}), IMAGE_KEY_PATH, 8,
         "record at 0x8: key name is no path: an empty part at character 1"},
        {__LINE__, image({keyA, key(0, "A\\")}), IMAGE_KEY_PATH, 0x14,
         "record at 0x14: key name is no path: an empty part at character 2"},
        {__LINE__, image({key(0, "\\")}), IMAGE_KEY_PATH, 8,
         "record at 0x8: key name is no path: an empty part at character 1"},
        {__LINE__, image({key(2, "A\\\\B")}), IMAGE_KEY_PATH, 8,
         "record at 0x8: key name is no path: an empty part at character 3"},
        {__LINE__, image({key(1, "A\tB")}), IMAGE_KEY_CHAR, 8,
         "record at 0x8: key name holds control character 0x9 at character 2"},
        // A nameLength over 255 that the length agrees with.
        {__LINE__, image({B({0x04, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01}) + std::string(0x200, 'n')}),
         IMAGE_RECORD_HIGH, 8, "record at 0x8: nameLength 256 is more than 255"},
        {__LINE__, image({B({0x08, 0x00, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00})}),
         IMAGE_RECORD_TYPE, 8, "record at 0x8: type 257 is neither key (1) nor value (2)"},
    };
}

}  // namespace imgtest
