// registry_image.cpp - the RAM registry image as the simulated device writes
// it (RegCopyFile) and reads it back at a warm boot (Restore.fdf), and as the
// object store of a ram device keeps the live registry.
//
// The layout is in registry_model.h. Reading is strict: the device takes an
// image only when it reads back whole, every record consistent (its length
// the sum of its fields, its name ending at its first NUL, the high bytes of
// type and tag 0), every key tag a root, every value tag a known type, no
// value before the first key, and totalSize the image's length.
#include "platform/host/registry_model.h"

#include <string>

namespace host::reg {

namespace {

constexpr uint32_t kRamRegSig = 0x1D8374B2u;
constexpr size_t kHeaderBytes = 8;
constexpr uint16_t kKeyRecord = 1;
constexpr uint16_t kValueRecord = 2;

// Records name their offset in the reason; the header does not.
bool fail(std::string *why, std::string reason, size_t at) {
    if (why) *why = at < 8 ? reason : reason + " (record at offset " + std::to_string(at) + ")";
    return false;
}

// The record's name: nameLength characters from at, the last one the NUL
// and no NUL before it.
bool readName(std::string_view image, size_t at, uint16_t cchName, std::u16string &name) {
    if (cchName == 0 || (cchName >> 8) != 0) return false;
    name = bytesU16(image.substr(at, 2u * cchName));
    if (name.back() != u'\0') return false;
    name.pop_back();
    return name.find(u'\0') == std::u16string::npos;
}

}  // namespace

DWORD writeRamImage(const Registry &reg, std::string &image) {
    std::string out;
    putLe32(out, kRamRegSig);
    putLe32(out, 0);  // totalSize, set at the end
    for (int root = 0; root < kRootCount; ++root) {
        for (const Key *key : reg.roots[root].all()) {
            size_t cchName = key->path.size() + 1;
            if (cchName > 0xFF) return ERROR_GEN_FAILURE;
            putLe16(out, static_cast<uint16_t>(4 + 2 * cchName));
            putLe16(out, kKeyRecord);
            putLe16(out, static_cast<uint16_t>(root));
            putLe16(out, static_cast<uint16_t>(cchName));
            out += u16Bytes(key->path);
            putLe16(out, 0);
            for (const Value &v : key->values) {
                size_t cchValue = v.name.size() + 1;
                size_t length = 6 + 2 * cchValue + v.data.size();
                if (cchValue > 0xFF || length > 0xFFFF || v.type > 0xFF) return ERROR_GEN_FAILURE;
                putLe16(out, static_cast<uint16_t>(length));
                putLe16(out, kValueRecord);
                putLe16(out, static_cast<uint16_t>(v.type));
                putLe16(out, static_cast<uint16_t>(cchValue));
                putLe16(out, static_cast<uint16_t>(v.data.size()));
                out += u16Bytes(v.name);
                putLe16(out, 0);
                out += v.data;
            }
        }
    }
    uint32_t total = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>(total >> (8 * i));
    image = std::move(out);
    return ERROR_SUCCESS;
}

bool readRamImage(std::string_view image, Registry &reg, std::string *why) {
    if (image.size() < kHeaderBytes) return fail(why, "shorter than the image header", 0);
    if (getLe32(image, 0) != kRamRegSig) return fail(why, "no RAM registry signature", 0);
    if (getLe32(image, 4) != image.size()) return fail(why, "totalSize is not the image's length", 4);
    Registry out;
    Key *key = nullptr;
    int keyRoot = -1;
    size_t at = kHeaderBytes;
    while (at < image.size()) {
        if (image.size() - at < 4) return fail(why, "record cut short", at);
        uint16_t length = getLe16(image, at);
        uint16_t type = getLe16(image, at + 2);
        if (image.size() - at - 4 < length) return fail(why, "record cut short", at);
        std::string_view record = image.substr(at, 4u + length);
        std::u16string name;
        if (type == kKeyRecord) {
            if (length < 4) return fail(why, "key record shorter than its fields", at);
            uint16_t tag = getLe16(record, 4), cchName = getLe16(record, 6);
            if (length != 4 + 2u * cchName) return fail(why, "key record length inconsistent", at);
            if (tag >= kRootCount) return fail(why, "key record tagged with no root", at);
            std::u16string path;
            if (!readName(record, 8, cchName, name) || !normalizeKeyPath(name, path) || path != name)
                return fail(why, "key record name not valid", at);
            key = &out.roots[tag].create(path);
            keyRoot = tag;
        } else if (type == kValueRecord) {
            if (!key) return fail(why, "value record before any key record", at);
            if (length < 6) return fail(why, "value record shorter than its fields", at);
            uint16_t tag = getLe16(record, 4), cchName = getLe16(record, 6), cbData = getLe16(record, 8);
            if (length != 6 + 2u * cchName + cbData) return fail(why, "value record length inconsistent", at);
            if (!readName(record, 10, cchName, name)) return fail(why, "value record name not valid", at);
            Value v{name, tag, std::string(record.substr(10 + 2u * cchName, cbData))};
            if (checkValue(v, nullptr) != ERROR_SUCCESS) return fail(why, "value record of unknown type", at);
            out.roots[keyRoot].setValue(*key, std::move(v));
        } else {
            return fail(why, "record of unknown type", at);
        }
        at += 4u + length;
    }
    reg = std::move(out);
    return true;
}

}  // namespace host::reg
