// check_test.cpp - the check of a whole RAM registry image: the first
// problem of each kind, where it is and how it reads; the same verdict
// whatever the pieces it is fed in; and a repaired image always passes it.
#include "imagebytes.h"
#include "platform/host/registry_model.h"
#include "rewrite.h"
#include "verdict_cases.h"

#include <gtest/gtest.h>

using namespace imgtest;

namespace {

const std::string KEY_A = key(0, "A");
const std::string VAL_B = value(4, "B", "\x01\x02\x03\x04");

struct Verdict {
    int problem;
    DWORD offset;
    std::string text;
};

Verdict check(const std::string &bytes, size_t piece = 0) {
    ImageCheck c;
    imageCheckStart(&c, static_cast<int64_t>(bytes.size()));
    if (piece == 0) piece = bytes.size() + 1;
    for (size_t at = 0; at < bytes.size(); at += piece)
        if (!imageCheckFeed(&c, reinterpret_cast<const BYTE *>(bytes.data()) + at, std::min(piece, bytes.size() - at)))
            break;
    imageCheckEnd(&c);
    WCHAR text[256];
    imageProblemText(&c, text, 256);
    return {c.problem, c.offset, host::toUtf8(text)};
}

TEST(ImageCheck, FirstProblemWhereAndInWords) {
    const std::string name255(255, 'x');
    struct Case {
        int line;
        std::string bytes;
        int problem;
        DWORD offset;
        const char *text;
    } cases[] = {
        {__LINE__, image({KEY_A, VAL_B}), IMAGE_WHOLE, 0, ""},
        {__LINE__, image({key(2, name255.substr(0, 254)), value(1, "", "")}), IMAGE_WHOLE, 0, ""},
        {__LINE__, image({KEY_A, value(3, "Big", std::string(5000, 'z'))}), IMAGE_WHOLE, 0, ""},
        {__LINE__, "", IMAGE_TOO_SHORT, 0, "shorter than the 8-byte image header (0 bytes)"},
        {__LINE__, SIG + B({0x08, 0x00, 0x00}), IMAGE_TOO_SHORT, 0, "shorter than the 8-byte image header (7 bytes)"},
        {__LINE__, "XGER" + le32(8), IMAGE_NOT_RAM, 0, "no RAM registry image signature"},
        {__LINE__, imageWithTotal(0, {KEY_A}), IMAGE_SIZE_FIELD, 4, "totalSize 0, the file holds 20 bytes"},
        {__LINE__, image({KEY_A, VAL_B}).substr(0, 30), IMAGE_SIZE_FIELD, 4, "totalSize 38, the file holds 30 bytes"},
        {__LINE__, imageWithTotal(30, {KEY_A, VAL_B}).substr(0, 30), IMAGE_RECORD_CUT, 0x14,
         "record at 0x14: cut short, 10 of its 18 bytes in the file"},
        {__LINE__, imageWithTotal(22, {KEY_A, B({0x08, 0x00})}), IMAGE_RECORD_CUT, 0x14,
         "record at 0x14: cut short, 2 of its 4 bytes in the file"},
        {__LINE__, image({KEY_A, key(0, "B", "\xee\xee")}), IMAGE_RECORD_LENGTH, 0x14,
         "record at 0x14: length 10, its fields need 8"},
        {__LINE__, image({B({0x02, 0x00, 0x01, 0x00, 0x00, 0x00})}), IMAGE_RECORD_LENGTH, 8,
         "record at 0x8: length 2, its fields need 4"},
        {__LINE__, image({B({0x0a, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62, 0x00})}),
         IMAGE_RECORD_NAME, 8, "record at 0x8: nameLength 3, its name ends at character 2"},
        {__LINE__, image({B({0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x61, 0x00, 0x62, 0x00})}),
         IMAGE_RECORD_NAME, 8, "record at 0x8: nameLength 2, its name has no NUL"},
        {__LINE__, image({B({0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00})}), IMAGE_RECORD_NAME, 8,
         "record at 0x8: nameLength 0, its name has no NUL"},
        {__LINE__, image({KEY_A, B({0x04, 0x00, 0x03, 0x00, 0, 0, 0, 0})}), IMAGE_RECORD_TYPE, 0x14,
         "record at 0x14: type 3 is neither key (1) nor value (2)"},
        {__LINE__, image({VAL_B, KEY_A}), IMAGE_VALUE_FIRST, 8,
         "record at 0x8: value record before the first key record"},
        {__LINE__, image({}), IMAGE_NO_KEY, 8, "no key record: it would restore an empty registry"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const VerdictCase &c : verdictCases()) all.push_back({c.line, c.bytes, c.problem, c.offset, c.text});
    for (const Case &c : all) {
        SCOPED_TRACE("case at line " + std::to_string(c.line));
        Verdict v = check(c.bytes);
        EXPECT_EQ(v.problem, c.problem);
        EXPECT_EQ(v.offset, c.offset);
        EXPECT_EQ(v.text, c.text);
        // The device reads back exactly what the check passes, and a
        // header-only image.
        host::reg::Registry reg;
        EXPECT_EQ(host::reg::readRamImage(c.bytes, reg, nullptr),
                  c.problem == IMAGE_WHOLE || c.problem == IMAGE_NO_KEY);
    }
}

// Random images with random damage: pieces of any size give the verdict of
// the whole; an image the check passes is one that repair leaves as it is;
// whatever repair says is done passes the check (or holds no key).
TEST(ImageCheck, AgreesWithItselfAndWithRepair) {
    std::mt19937 rng(23);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 60; ++i) {
        std::string input = randomImage(rng, pick(0, 8));
        if (i % 3) {
            size_t at = 4 + size_t(pick(0, int(input.size()) - 5));
            if (pick(0, 1))
                input[at] = char(pick(0, 255));
            else
                input.resize(at);
        }
        SCOPED_TRACE("image " + std::to_string(i) + ": " + ts::hex(input.substr(0, 48)));
        Verdict whole = check(input);
        for (size_t piece : {1, 2, 5, 517, 4096}) {
            Verdict v = check(input, piece);
            EXPECT_EQ(v.problem, whole.problem) << "pieces of " << piece;
            EXPECT_EQ(v.offset, whole.offset) << "pieces of " << piece;
        }
        ts::Device dev;
        Outcome o = rewrite(dev, repair, input);
        if (whole.problem == IMAGE_WHOLE) {
            EXPECT_EQ(o.result, REPAIR_DONE);
            EXPECT_TRUE(o.file == input);
        }
        if (o.result == REPAIR_DONE) {
            ImageCheck c;
            imageCheckStart(&c, static_cast<int64_t>(o.file.size()));
            imageCheckFeed(&c, reinterpret_cast<const BYTE *>(o.file.data()), o.file.size());
            EXPECT_TRUE(imageLayoutConsistent(&c)) << imageCheckEnd(&c);
        }
    }
}

TEST(ImageCheck, FilesOnTheDevice) {
    ts::Device dev;
    dev.write(IMAGE_FILE, image({KEY_A}));
    ImageCheck c;
    EXPECT_EQ(checkImageFile(IMAGE_PATH, &c), IMAGE_WHOLE);
    EXPECT_EQ(c.records, 1u);
    EXPECT_EQ(c.keys, 1u);
    EXPECT_EQ(checkImageFile(u"\\My Documents\\none.img", &c), IMAGE_UNREADABLE);
    ASSERT_TRUE(host::setFaults("fread@2"));
    dev.write(IMAGE_FILE, image({KEY_A, value(1, "V", std::string(9000, 'v'))}));
    EXPECT_EQ(checkImageFile(IMAGE_PATH, &c), IMAGE_UNREADABLE);
    host::clearFaults();
}

}  // namespace
