// registry_model.h - the simulated device's registry: its keys and values in
// memory, the two file formats that hold it (the RAM registry image and the
// simulator's hive file), the sample registry, and the REGEDIT4 text export.
//
// Where the registry lives on a device, and the warm boot, are in
// registry_store.h; the CE services that use all this are in registry.cpp.
#pragma once

#include "platform/platform.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace host::reg {

// The three roots, numbered as the RAM image tags its key records.
enum Root : int { ClassesRoot = 0, CurrentUser = 1, LocalMachine = 2 };
constexpr int kRootCount = 3;

// A key's path below its root, and a value's name, hold at most 254
// characters (the RAM image keeps a name's length, NUL included, in a byte);
// a value holds at most 65,535 bytes of data.
constexpr size_t kMaxNameChars = 254;
constexpr size_t kMaxDataBytes = 65535;

// "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE".
const char *rootName(int root);
// The root of a predefined HKEY, or -1.
int rootOfHkey(HKEY key);
// "REG_SZ" ... for the six value types, "" for any other.
const char *typeName(uint32_t type);
// True for REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ.
bool knownType(uint32_t type);

struct Value {
    std::u16string name;  // "" is the key's default value
    uint32_t type = REG_NONE;
    std::string data;  // the value's bytes, as the device stores them
};

struct Key {
    std::u16string path;        // below the root, as first written; "" for the root key
    std::vector<Value> values;  // in the order they were first set

    const Value *findValue(std::u16string_view name) const;
};

// One root's keys. Every key's parent exists; the root key ("") always does.
// Keys are kept in tree order: a key before its subkeys, siblings sorted
// without regard to case.
class KeyTree {
public:
    KeyTree();

    const Key *find(std::u16string_view path) const;
    // Makes the key and its missing parents; returns it. path must be valid.
    Key &create(std::u16string_view path);
    // Removes the key and its subtree; false when it does not exist. The root
    // key is emptied of its values and subkeys instead.
    bool remove(std::u16string_view path);
    // Sets (adds or replaces) a value of an existing key.
    void setValue(Key &key, Value value);
    // Removes a value; false when there is none of that name.
    bool removeValue(std::u16string_view path, std::u16string_view name);
    // The paths of the direct subkeys of path, in tree order.
    std::vector<const Key *> subkeys(std::u16string_view path) const;
    // Every key in tree order.
    std::vector<const Key *> all() const;
    void clear();
    bool operator==(const KeyTree &other) const;

private:
    std::map<std::u16string, Key> keys_;  // by folded path
};

struct Registry {
    std::array<KeyTree, kRootCount> roots;
    // A root that is not loaded (HKEY_CURRENT_USER while the user is logged
    // off on a hive device) is neither read nor written.
    std::array<bool, kRootCount> loaded{{true, true, true}};
};

// The folded form of a key path or value name (case-insensitive compare).
std::u16string fold(std::u16string_view s);
// A key path below a root: components separated by '\', none empty, none
// holding a control character, at most kMaxNameChars in all. A leading or
// trailing '\' is dropped. Returns false when the path is not valid.
bool normalizeKeyPath(std::u16string_view in, std::u16string &out);
// "HKEY_LOCAL_MACHINE\Software\X", or with the short forms HKLM, HKCU and
// HKCR, into the root and the path below it. False when the root is unknown
// or the path not valid.
bool parseFullKey(std::u16string_view full, int &root, std::u16string &path);
// "HKEY_LOCAL_MACHINE\Software\X"; the root alone for the root key.
std::string fullKeyName(int root, std::u16string_view path);

// Checks a value before it is stored: the name's length, the data's size,
// the type. ERROR_SUCCESS or ERROR_INVALID_PARAMETER with a reason.
DWORD checkValue(const Value &value, std::string *why);

// ---- RAM registry image -------------------------------------------------------
//
//   0  4  signature 0x1D8374B2 (B2 74 83 1D)
//   4  4  totalSize, the image's length
//   8     records. Key record: length, type 1, tag, nameLength, name + NUL.
//         Value record: length, type 2, tag, nameLength, dataLength, name +
//         NUL, data. All fields 16-bit little-endian.
//
// The device writes one key record per key, named with the key's path below
// its root and tagged with its root (0, 1, 2), each followed by its value
// records, tagged with the value's type and holding the value's bytes.

// The image of the whole registry. ERROR_SUCCESS, or ERROR_GEN_FAILURE (and
// no image) when a key or value does not fit a record: a 16-bit record
// length leaves a value 65,527 bytes at most, less two per name character.
DWORD writeRamImage(const Registry &reg, std::string &image);
// Reads an image back whole into reg (all roots replaced). False, with the
// reason, when any part of it is not a consistent record of a known key or
// value: the device then falls back to its default registry.
bool readRamImage(std::string_view image, Registry &reg, std::string *why);

// ---- Hive file ------------------------------------------------------------------

// A system hive holds HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE; a user hive
// holds HKEY_CURRENT_USER.
enum class HiveKind : uint16_t { System = 1, User = 2 };
// The roots a hive of that kind holds.
std::vector<int> hiveRoots(HiveKind kind);
// The hive file of that kind for reg (format: hivefile.cpp).
std::string writeHive(const Registry &reg, HiveKind kind);
// Reads a hive file: replaces the roots of that kind in reg. False, with the
// reason and reg unchanged, when the file is not a whole hive of that kind.
bool readHive(std::string_view bytes, HiveKind kind, Registry &reg, std::string *why);

// ---- Sample registry and export -----------------------------------------------------

// The registry of a new device, which is also its default registry: keys in
// every root, every value type, long names, a binary value above 4096 bytes.
Registry sampleRegistry();

// REGEDIT4 text (UTF-8, '\n' line ends) of the loaded roots, or of the key
// root\path and its subtree when root >= 0. Keys in tree order, values sorted
// by name without regard to case, so that two exports diff cleanly.
std::string exportRegedit(const Registry &reg, int root = -1, std::u16string_view path = u"");
// The same text handed to write a key at a time, so that a large registry's
// text is never held whole.
void exportRegedit(const Registry &reg, int root, std::u16string_view path,
                   const std::function<void(const std::string &)> &write);
// The lines of one value as exportRegedit writes them ("name"=data, long hex
// data continued on further lines), each ending with '\n'.
std::string exportValueText(const Value &value);

// Little-endian helpers shared by the formats.
void putLe16(std::string &out, uint16_t v);
void putLe32(std::string &out, uint32_t v);
uint16_t getLe16(std::string_view in, size_t at);
uint32_t getLe32(std::string_view in, size_t at);
// UTF-16 to little-endian bytes and back (size must be even).
std::string u16Bytes(std::u16string_view s);
std::u16string bytesU16(std::string_view bytes);

}  // namespace host::reg
