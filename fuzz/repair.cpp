// repair.cpp - fuzz target: repair on any file. Besides the sanitizers'
// checks: one log line that matches the result; nothing left in \Temp; a
// refused file is untouched; a repaired image is consistent (every record's
// length and nameLength agree with its fields, high bytes clear, totalSize
// the file's length, and so by the image check too), holds every record
// that either reading of the input's record lengths finds whole, and a
// second repair leaves it as it is.
#include "fuzz/support.h"
#include "tests/ramimage/imagebytes.h"

#include <cstdio>

namespace {

unsigned u16at(const std::string &s, size_t i) {
    return static_cast<unsigned char>(s[i]) | static_cast<unsigned char>(s[i + 1]) << 8;
}

bool consistent(const std::string &image) {
    if (image.size() < 8 || image.compare(0, 4, imgtest::SIG) != 0) return false;
    if (image.substr(4, 4) != imgtest::le32(uint32_t(image.size()))) return false;
    size_t total = 8;
    for (const std::string &r : imgtest::records(image)) {
        total += r.size();
        if (r.size() < 8) return false;
        unsigned type = u16at(r, 2), tag = u16at(r, 4), cch = u16at(r, 6);
        if ((type != 1 && type != 2) || tag > 0xff || cch < 1 || cch > 255) return false;
        size_t nameAt = type == 1 ? 8 : 10;
        size_t cbData = type == 2 && r.size() >= 10 ? u16at(r, 8) : 0;
        if (r.size() != nameAt + 2 * cch + cbData) return false;
        for (unsigned i = 0; i + 1 < cch; ++i)
            if (u16at(r, nameAt + 2 * i) == 0) return false;
        if (u16at(r, nameAt + 2 * (cch - 1)) != 0) return false;
    }
    return total == image.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string before(reinterpret_cast<const char *>(data), size);
    fuzz::prepare(data, size);
    int result = repair(fuzz::INPUT_PATH);
    std::string after = fuzz::input();
    fuzz::check(fuzz::temp().empty(), "nothing left in \\Temp");
    switch (result) {
    case REPAIR_DONE:
        fuzz::check(fuzz::log() == "repair: done\n", "one line: repair: done");
        fuzz::check(consistent(after), "the repaired image is consistent");
        fuzz::check(imgtest::keepsWholeRecords(before, after), "repair keeps every record either reading finds");
        {
            // The image check agrees: every record consistent, nothing cut.
            ImageCheck check;
            imageCheckStart(&check, static_cast<int64_t>(after.size()));
            imageCheckFeed(&check, reinterpret_cast<const BYTE *>(after.data()), after.size());
            imageCheckEnd(&check);
            fuzz::check(imageLayoutConsistent(&check), "the check finds the repaired image consistent");
        }
        fuzz::prepare(reinterpret_cast<const uint8_t *>(after.data()), after.size());
        fuzz::check(repair(fuzz::INPUT_PATH) == REPAIR_DONE, "a second repair is done");
        fuzz::check(fuzz::input() == after, "a second repair changes nothing");
        break;
    case RAMIMAGE_CUT_SHORT:
        fuzz::check(fuzz::log() == "repair: file cut short, file left unchanged\n", "one line: file cut short");
        fuzz::check(after == before, "file untouched when cut short");
        break;
    case RAMIMAGE_TYPE_ERROR:
        fuzz::check(fuzz::log() == "repair: type unknown, file left unchanged\n", "one line: type unknown");
        fuzz::check(after == before, "file untouched after a type error");
        break;
    case RAMIMAGE_LENGTH_UNCLEAR:
        fuzz::check(fuzz::log() == "repair: record length unclear, file left unchanged\n",
                    "one line: record length unclear");
        fuzz::check(after == before, "file untouched when a record length is unclear");
        break;
    case RAMIMAGE_BAD_SIG:
        fuzz::check(fuzz::log() == "repair: sig unknown\n", "one line: sig unknown");
        fuzz::check(after == before, "file untouched after sig unknown");
        break;
    default:
        fprintf(stderr, "fuzz: repair gave %d, log: %s\n", result, fuzz::log().c_str());
        fuzz::check(false, "result 0, 2, 7, 8 or 20 without faults");
    }
    return 0;
}
