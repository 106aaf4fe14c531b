// verdict.cpp - fuzz target: the image check against the device. The same
// bytes go to the check (fed whole, and in pieces of 7) and to the
// simulated device's boot reader (readRamImage), once as they are and once
// with the signature and a right totalSize; the run stops on any
// disagreement:
//   - the device reads the image back exactly when the check finds it whole
//     or without a key record, and it is without one exactly when it is the
//     header alone (the one policy beyond the device: a restore that would
//     empty the registry is refused);
//   - where the device refuses, the check names the same place (the record's
//     offset, 4 for totalSize, 0 for the header) and a problem that the
//     device's reason allows: within one record the check looks at the
//     record's layout before what it says, the device in its own order, so
//     a layout problem may stand for a later refusal of the device's.
#include "fuzz/support.h"
#include "platform/host/registry_model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// The device's reasons that each problem of the check may stand for.
const char *const kValueFirst = "value record before any key record";
const char *const kKeyNoRoot = "key record tagged with no root";
const char *const kKeyName = "key record name not valid";
const char *const kValueName = "value record name not valid";

struct Allowed {
    int problem;
    const char *reasons[5];
};

const Allowed kAllowed[] = {
    {IMAGE_TOO_SHORT, {"shorter than the image header"}},
    {IMAGE_NOT_RAM, {"no RAM registry signature"}},
    {IMAGE_SIZE_FIELD, {"totalSize is not the image's length"}},
    {IMAGE_RECORD_CUT, {"record cut short"}},
    {IMAGE_RECORD_TYPE, {"record of unknown type"}},
    {IMAGE_RECORD_LENGTH,
     {"key record shorter than its fields", "key record length inconsistent", "value record shorter than its fields",
      "value record length inconsistent", kValueFirst}},
    {IMAGE_RECORD_HIGH, {kKeyNoRoot, kKeyName, kValueName, kValueFirst}},
    {IMAGE_RECORD_NAME, {kKeyNoRoot, kKeyName, kValueName, kValueFirst}},
    {IMAGE_VALUE_FIRST, {kValueFirst}},
    {IMAGE_KEY_TAG, {kKeyNoRoot}},
    {IMAGE_VALUE_TAG, {"value record of unknown type", kValueFirst}},
    {IMAGE_KEY_PATH, {kKeyName}},
    {IMAGE_KEY_CHAR, {kKeyName}},
};

bool allowed(int problem, std::string_view reason) {
    for (const Allowed &a : kAllowed) {
        if (a.problem != problem) continue;
        for (const char *r : a.reasons)
            if (r && reason == r) return true;
    }
    return false;
}

int verdict(const std::string &bytes, size_t piece, ImageCheck &check) {
    imageCheckStart(&check, static_cast<int64_t>(bytes.size()));
    for (size_t at = 0; at < bytes.size(); at += piece)
        if (!imageCheckFeed(&check, reinterpret_cast<const BYTE *>(bytes.data()) + at,
                            std::min(piece, bytes.size() - at)))
            break;
    return imageCheckEnd(&check);
}

void disagree(const char *what, const ImageCheck &check, const std::string &why) {
    std::fprintf(stderr, "fuzz: check %d at %u (have %u, need %u); device: %s\n", check.problem,
                 static_cast<unsigned>(check.offset), static_cast<unsigned>(check.have),
                 static_cast<unsigned>(check.need), why.empty() ? "reads it back" : why.c_str());
    fuzz::check(false, what);
}

// One image through both; stops on a disagreement.
void compare(const std::string &bytes) {
    const size_t size = bytes.size();
    static host::reg::Registry reg;
    std::string why;
    const bool device = host::reg::readRamImage(bytes, reg, &why);

    ImageCheck check, pieces;
    const int problem = verdict(bytes, bytes.size() + 1, check);
    verdict(bytes, 7, pieces);
    if (pieces.problem != check.problem || pieces.offset != check.offset)
        disagree("the check gives one verdict whatever the pieces", check, why);

    if (device) {
        if (problem != IMAGE_WHOLE && problem != IMAGE_NO_KEY)
            disagree("the check passes what the device reads back", check, why);
        if ((problem == IMAGE_NO_KEY) != (size == 8))
            disagree("no key record: the header alone, and nothing else", check, why);
        return;
    }
    if (problem == IMAGE_WHOLE || problem == IMAGE_NO_KEY)
        disagree("the check refuses what the device does not read back", check, why);
    // "reason (record at offset N)", or the reason alone for the header.
    static const char kAt[] = " (record at offset ";
    size_t cut = why.find(kAt);
    std::string_view reason(why.data(), cut == std::string::npos ? why.size() : cut);
    unsigned long offset = cut != std::string::npos ? std::strtoul(why.c_str() + cut + sizeof kAt - 1, nullptr, 10)
                           : reason.rfind("totalSize", 0) == 0 ? 4
                                                               : 0;
    if (offset != check.offset) disagree("the check names the device's place", check, why);
    if (!allowed(problem, reason)) disagree("the check names the device's reason", check, why);
    WCHAR text[256];
    imageProblemText(&check, text, 256);
    if (text[0] == 0) disagree("the check says what is wrong", check, why);
}

}  // namespace

// The input as it is, and (so that most inputs reach the records) with the
// signature and a totalSize that is its length.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::string bytes;  // kept from input to input
    bytes.assign(reinterpret_cast<const char *>(data), size);
    compare(bytes);
    if (size >= 8) {
        static const char kHeader[4] = {'\xb2', '\x74', '\x83', '\x1d'};
        bytes.replace(0, 4, kHeader, 4);
        for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>(size >> (8 * i));
        if (bytes.compare(0, size, reinterpret_cast<const char *>(data), size) != 0) compare(bytes);
    }
    return 0;
}
