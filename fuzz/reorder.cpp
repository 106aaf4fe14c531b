// reorder.cpp - fuzz target: reorder on any file. Besides the sanitizers'
// checks: one log line that matches the result; nothing left in \Temp; a
// refused file is untouched; a reordered image holds the same records, byte
// for byte, with totalSize 8 plus their sizes, among them every record that
// either reading of the input's record lengths finds, and reordering twice brings
// back the original order wherever regrouping is its own inverse (only keys
// and values, each long enough for its head and tag, the first a key).
#include "fuzz/support.h"
#include "ramimage/record.h"
#include "tests/ramimage/imagebytes.h"

#include <algorithm>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string before(reinterpret_cast<const char *>(data), size);
    fuzz::prepare(data, size);
    int result = reorder(fuzz::INPUT_PATH);
    std::string after = fuzz::input();
    fuzz::check(fuzz::temp().empty(), "nothing left in \\Temp");
    if (result == RAMIMAGE_BAD_SIG) {
        fuzz::check(fuzz::log() == "reorder: sig unknown\n", "one line: sig unknown");
        fuzz::check(after == before, "file untouched after sig unknown");
        return 0;
    }
    if (result == RAMIMAGE_CUT_SHORT) {
        fuzz::check(fuzz::log() == "reorder: file cut short, file left unchanged\n", "one line: file cut short");
        fuzz::check(after == before, "file untouched when cut short");
        return 0;
    }
    if (result == RAMIMAGE_SIZE_FIELD) {
        fuzz::check(fuzz::log() == "reorder: records after totalSize, file left unchanged\n",
                    "one line: records after totalSize");
        fuzz::check(after == before, "file untouched when records follow totalSize");
        return 0;
    }
    if (result == RAMIMAGE_LENGTH_UNCLEAR || result == RAMIMAGE_LENGTH_DAMAGED) {
        fuzz::check(fuzz::log() == (result == RAMIMAGE_LENGTH_UNCLEAR
                                        ? "reorder: record length unclear, file left unchanged\n"
                                        : "reorder: record length damaged, file left unchanged\n"),
                    "one line: record length unclear or damaged");
        fuzz::check(after == before, "file untouched when a record length is unclear or damaged");
        return 0;
    }
    if (result != 1) fprintf(stderr, "fuzz: reorder gave %d, log: %s\n", result, fuzz::log().c_str());
    fuzz::check(result == REORDER_DONE, "result 1, 2, 4, 8, 20 or 21 without faults");
    fuzz::check(fuzz::log() == "reorder: done\n", "one line: reorder: done");
    fuzz::check(after.size() >= 8 && after.compare(0, 4, imgtest::SIG) == 0, "signature kept");
    fuzz::check(after.substr(4, 4) == imgtest::le32(uint32_t(after.size())), "totalSize is the length");
    auto in = imgtest::records(before), out = imgtest::records(after);
    size_t total = 8;
    for (const auto &r : out) total += r.size();
    fuzz::check(total == after.size(), "totalSize is 8 plus the records");
    // Regrouping is its own inverse when every record is a key or a value
    // that carries its whole head and tag and whose fields give its length,
    // and the first is a key. (A length its fields disagree with is read by
    // where each reading leads, so a record that regrouping moves next to
    // it may change the verdict.)
    bool plain = !in.empty();
    std::string walked;
    for (size_t i = 0; i < in.size(); ++i) {
        const std::string &r = in[i];
        auto u16 = [&r](size_t at) {
            return r.size() >= at + 2 ? static_cast<unsigned>(static_cast<unsigned char>(r[at]) |
                                                              static_cast<unsigned char>(r[at + 1]) << 8)
                                      : 0u;
        };
        const unsigned type = u16(2), cb = u16(0) + 4u;
        const unsigned fields = type == 1 ? recordLengthOf(RECORD_KEY, u16(6) & 0xFF, 0)
                                          : recordLengthOf(RECORD_VALUE, u16(6) & 0xFF, u16(8));
        if (r.size() < 8 || cb != r.size() || (type != 1 && type != 2) || (i == 0 && type != 1) ||
            fields + 4u != r.size())
            plain = false;
        walked += r;
    }
    std::vector<std::string> sortedIn = in, sortedOut = out;
    std::sort(sortedIn.begin(), sortedIn.end());
    std::sort(sortedOut.begin(), sortedOut.end());
    fuzz::check(sortedIn == sortedOut, "the same records, byte for byte");
    fuzz::check(imgtest::keepsWholeRecords(before, after), "reorder keeps every record either reading finds");
    if (plain) {
        fuzz::prepare(reinterpret_cast<const uint8_t *>(after.data()), after.size());
        fuzz::check(reorder(fuzz::INPUT_PATH) == REORDER_DONE, "a second reorder is done");
        fuzz::check(fuzz::input() == imgtest::SIG + imgtest::le32(uint32_t(walked.size() + 8)) + walked,
                    "reordering twice gives back the order walked");
    }
    return 0;
}
