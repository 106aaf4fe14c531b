// restreghv.cpp - fuzz target: restRegHv's reading of a hive backup file
// (unpackHives, the part of the restore that reads the file). The outcome
// must match an independent reading of the format: refused (wrong signature,
// lengths that are 0 or do not fit the file, bytes after the user hive that
// are not exactly one trailer, or images that do not match the checksums of
// the integrity trailer) with its log line and no output
// file, or both images extracted byte for byte with the four log lines of a
// good file. The input file is never changed.
#include "fuzz/support.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "platform/host/host.h"

namespace {

const char16_t kSystemOut[] = u"\\Temp\\m.out";
const char16_t kUserOut[] = u"\\Temp\\u.out";

int64_t le32(const uint8_t *p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// The expected result, and where the images are when it is HV_DONE; empty
// tells a refused length of 0 from other refused lengths.
int expected(const uint8_t *data, size_t size, int64_t &n1, int64_t &n2, bool &empty) {
    const int64_t cb = int64_t(size);
    if (size < 4 || std::memcmp(data, "XGER", 4) != 0) return HV_BAD_SIG;
    if (cb < 8) return HV_DAMAGED;
    n1 = le32(data + 4);
    empty = n1 == 0;
    if (n1 <= 0 || 12 + n1 > cb) return HV_DAMAGED;
    n2 = le32(data + 8 + n1);
    empty = n2 == 0;
    if (n2 <= 0 || 12 + n1 + n2 > cb) return HV_DAMAGED;
    // After the user hive: nothing, or exactly the trailer ("XGCK" and
    // zlib's CRC-32 of both images). A file that ends in the trailer's tag
    // with nothing after the user hive has a user length grown over it.
    const int64_t rest = cb - (12 + n1 + n2);
    if (rest == 0) return cb >= 12 && std::memcmp(data + cb - 12, "XGCK", 4) == 0 ? HV_DAMAGED : HV_DONE;
    const uint8_t *t = data + 12 + n1 + n2;
    if (rest != 12 || std::memcmp(t, "XGCK", 4) != 0) return HV_TRAILING;
    if (uint32_t(le32(t + 4)) != crc32(0, data + 8, uInt(n1)) ||
        uint32_t(le32(t + 8)) != crc32(0, data + 12 + n1, uInt(n2)))
        return HV_CHECKSUM;
    return HV_DONE;
}

// The bytes of a device file, or "<none>" when it does not exist.
std::string deviceFile(const char16_t *path) {
    host::fs::path p;
    if (host::resolvePath(path, p) != ERROR_SUCCESS) return "<none>";
    std::string bytes;
    return fuzz::hostFile(p.string(), bytes) ? bytes : "<none>";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::prepare(data, size);
    const std::string input(reinterpret_cast<const char *>(data), size);
    int64_t n1 = 0, n2 = 0;
    bool empty = false;
    int want = expected(data, size, n1, n2, empty);
    int got = unpackHives(fuzz::INPUT_PATH, kSystemOut, kUserOut);
    fuzz::check(got == want, "the result follows from the lengths and what follows the user hive");

    std::string log = "restRegHv: file opened:\\My Documents\\input.img\n";
    if (want == HV_BAD_SIG) {
        log += "restRegHv: sig unknown\n";
    } else {
        log += "restRegHv: sig correct\n";
        if (want == HV_DAMAGED && empty)
            log += "restRegHv: a hive image is empty \\My Documents\\input.img\n";
        else if (want == HV_DAMAGED)
            log += "restRegHv: hive lengths do not match the file \\My Documents\\input.img\n";
        else if (want == HV_TRAILING)
            log += "restRegHv: bytes after the user hive image are not its trailer \\My Documents\\input.img\n";
        else if (want == HV_CHECKSUM)
            log += "restRegHv: hive images do not match their checksums \\My Documents\\input.img\n";
        else
            log += "restRegHv: file opened:\\Temp\\m.out\nrestRegHv: file opened:\\Temp\\u.out\n";
    }
    fuzz::check(fuzz::log() == log, "the log lines of the outcome");
    fuzz::check(fuzz::input() == input, "the hive backup file untouched");

    std::vector<std::string> temp = fuzz::temp();
    std::sort(temp.begin(), temp.end());
    if (want == HV_DONE) {
        fuzz::check(deviceFile(kSystemOut) == input.substr(8, size_t(n1)), "the system hive byte for byte");
        fuzz::check(deviceFile(kUserOut) == input.substr(size_t(12 + n1), size_t(n2)), "the user hive byte for byte");
        fuzz::check(temp == std::vector<std::string>{"m.out", "u.out"}, "the two images alone in \\Temp");
        DeleteFileW(kSystemOut);
        DeleteFileW(kUserOut);
    } else {
        fuzz::check(temp.empty(), "a refused file leaves nothing in \\Temp");
    }
    return 0;
}
