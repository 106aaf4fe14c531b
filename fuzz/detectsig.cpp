// detectsig.cpp - fuzz target: detectSig on any file. The kind follows from
// the first four bytes alone, with its log line, and the file is untouched.
#include "fuzz/support.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::prepare(data, size);
    int kind = detectSig(fuzz::INPUT_PATH);
    uint32_t word = 0;
    if (size >= 4) word = data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24;
    int want = size < 4 ? KIND_NONE : word == RAM_REG_SIG ? KIND_RAM : word == HIVE_REG_SIG ? KIND_HIVE : KIND_NONE;
    fuzz::check(kind == want, "kind from the first four bytes");
    const char *line = want == KIND_RAM    ? "detectSig: RAM based registry sig\n"
                       : want == KIND_HIVE ? "detectSig: HIVE based registry sig\n"
                                           : "";
    fuzz::check(fuzz::log() == line, "the log line of the kind");
    fuzz::check(fuzz::input() == std::string(reinterpret_cast<const char *>(data), size), "file untouched");
    return 0;
}
