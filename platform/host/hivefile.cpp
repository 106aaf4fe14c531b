// hivefile.cpp - the simulated device's hive file: system.hv, user.hv, the
// files RegSaveKey writes and the one RegReplaceKey keeps for the next boot.
//
// The format is the simulator's own. All integers little-endian.
//
//   0   4  magic, the bytes "CEHV" (0x56484543)
//   4   2  version, 1
//   6   2  kind: 1 system hive (HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE),
//          2 user hive (HKEY_CURRENT_USER)
//   8   4  payload length in bytes: the file's length less these 16
//   12  4  CRC-32 of the payload (the polynomial of zip and PNG)
//   16     payload:
//          4  number of keys
//          then per key, in tree order, the root key of each root included:
//            1  root (0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE)
//            1  reserved, 0
//            2  path length in UTF-16 characters (path below the root, no NUL)
//            4  number of values
//            .  path, UTF-16LE
//            then per value, in the order they were set:
//              4  type
//              2  name length in UTF-16 characters (no NUL)
//              4  data length in bytes
//              .  name, UTF-16LE
//              .  data
//
// A file is whole when every field above holds: magic, version, kind,
// length, checksum, each key of a root of that kind listed once with a valid
// path, each value of a known type within the limits, nothing after the
// last key. Anything else is a corrupt hive.
#include "platform/host/registry_model.h"

#include <algorithm>
#include <set>

namespace host::reg {

namespace {

constexpr uint32_t kHiveMagic = 0x56484543u;  // "CEHV"
constexpr uint16_t kHiveVersion = 1;
constexpr size_t kHiveHeaderBytes = 16;

uint32_t crc32(std::string_view bytes) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (char b : bytes) crc = table[(crc ^ static_cast<uint8_t>(b)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

bool corrupt(std::string *why, const char *reason) {
    if (why) *why = reason;
    return false;
}

}  // namespace

std::vector<int> hiveRoots(HiveKind kind) {
    if (kind == HiveKind::System) return {ClassesRoot, LocalMachine};
    return {CurrentUser};
}

std::string writeHive(const Registry &reg, HiveKind kind) {
    std::string payload;
    uint32_t keys = 0;
    putLe32(payload, 0);  // number of keys, set below
    for (int root : hiveRoots(kind)) {
        for (const Key *key : reg.roots[root].all()) {
            payload += static_cast<char>(root);
            payload += '\0';
            putLe16(payload, static_cast<uint16_t>(key->path.size()));
            putLe32(payload, static_cast<uint32_t>(key->values.size()));
            payload += u16Bytes(key->path);
            for (const Value &v : key->values) {
                putLe32(payload, v.type);
                putLe16(payload, static_cast<uint16_t>(v.name.size()));
                putLe32(payload, static_cast<uint32_t>(v.data.size()));
                payload += u16Bytes(v.name);
                payload += v.data;
            }
            ++keys;
        }
    }
    for (int i = 0; i < 4; ++i) payload[i] = static_cast<char>(keys >> (8 * i));
    std::string out;
    putLe32(out, kHiveMagic);
    putLe16(out, kHiveVersion);
    putLe16(out, static_cast<uint16_t>(kind));
    putLe32(out, static_cast<uint32_t>(payload.size()));
    putLe32(out, crc32(payload));
    return out + payload;
}

bool readHive(std::string_view bytes, HiveKind kind, Registry &reg, std::string *why) {
    if (bytes.size() < kHiveHeaderBytes) return corrupt(why, "shorter than the hive header");
    if (getLe32(bytes, 0) != kHiveMagic) return corrupt(why, "not a hive file");
    if (getLe16(bytes, 4) != kHiveVersion) return corrupt(why, "unknown hive version");
    if (getLe16(bytes, 6) != static_cast<uint16_t>(kind))
        return corrupt(why, kind == HiveKind::System ? "not a system hive" : "not a user hive");
    std::string_view payload = bytes.substr(kHiveHeaderBytes);
    if (getLe32(bytes, 8) != payload.size()) return corrupt(why, "hive length does not match the file");
    if (getLe32(bytes, 12) != crc32(payload)) return corrupt(why, "hive checksum does not match");

    std::vector<int> roots = hiveRoots(kind);
    std::array<KeyTree, kRootCount> trees;
    std::set<std::pair<int, std::u16string>> seen;
    size_t at = 0;
    auto need = [&](size_t n) { return payload.size() - at >= n; };
    if (!need(4)) return corrupt(why, "hive cut short");
    uint32_t keys = getLe32(payload, at);
    at += 4;
    for (uint32_t k = 0; k < keys; ++k) {
        if (!need(8)) return corrupt(why, "hive cut short");
        int root = static_cast<uint8_t>(payload[at]);
        bool reserved = payload[at + 1] != '\0';
        size_t cchPath = getLe16(payload, at + 2);
        uint32_t values = getLe32(payload, at + 4);
        at += 8;
        if (reserved || std::find(roots.begin(), roots.end(), root) == roots.end())
            return corrupt(why, "key of a root this hive does not hold");
        if (!need(2 * cchPath)) return corrupt(why, "hive cut short");
        std::u16string raw = bytesU16(payload.substr(at, 2 * cchPath)), path;
        at += 2 * cchPath;
        if (!normalizeKeyPath(raw, path) || path != raw) return corrupt(why, "key path not valid");
        if (!seen.insert({root, fold(path)}).second) return corrupt(why, "key listed twice");
        Key &key = trees[root].create(path);
        for (uint32_t i = 0; i < values; ++i) {
            if (!need(10)) return corrupt(why, "hive cut short");
            Value v;
            v.type = getLe32(payload, at);
            size_t cchName = getLe16(payload, at + 4);
            size_t cbData = getLe32(payload, at + 6);
            at += 10;
            if (!need(2 * cchName) || payload.size() - at - 2 * cchName < cbData) return corrupt(why, "hive cut short");
            v.name = bytesU16(payload.substr(at, 2 * cchName));
            v.data.assign(payload.substr(at + 2 * cchName, cbData));
            at += 2 * cchName + cbData;
            if (checkValue(v, nullptr) != ERROR_SUCCESS || key.findValue(v.name))
                return corrupt(why, "value not valid");
            trees[root].setValue(key, std::move(v));
        }
    }
    if (at != payload.size()) return corrupt(why, "bytes after the last key");
    for (int root : roots) reg.roots[root] = std::move(trees[root]);
    return true;
}

}  // namespace host::reg
