// registry_store.h - where the simulated device keeps its registry, the
// logged-on user, and the warm boot.
//
// A ram device keeps the live registry in its object store, the state file
// state/registry.img (a RAM registry image); RegRestoreFile leaves
// state/Restore.fdf for the next boot. A hive device keeps it in the hive
// files \Documents and Settings\system.hv (HKEY_CLASSES_ROOT and
// HKEY_LOCAL_MACHINE) and \Documents and Settings\default\user.hv
// (HKEY_CURRENT_USER, loaded while the user is logged on); RegReplaceKey
// leaves state/system.hv for the next boot. Device state keys: "registry"
// (ram or hive), "boots", "user" (the user logged on, "default", or empty
// while logged off), "lastBoot" (what the last warm boot did).
#pragma once

#include "platform/host/host.h"
#include "platform/host/registry_model.h"

#include <string>

namespace host::reg {

// The registry kind of the current device: "ram" or "hive".
std::string deviceKind();
bool isHiveDevice();

// Files of the current device (host paths).
fs::path objectStorePath();     // ram: the live registry
fs::path pendingRestorePath();  // ram: Restore.fdf for the next boot
fs::path keptHivePath();        // hive: the system hive of the next boot
fs::path systemHivePath();      // hive: \Documents and Settings\system.hv
fs::path userHivePath();        // hive: \Documents and Settings\default\user.hv
// The profile folder of the default user, as the device names it.
extern const char16_t kProfileFolder[];  // "\Documents and Settings\default\"

// Whether the user is logged on (hive devices; a new device boots with the
// user logged on).
bool userLoggedOn();
void setUserLoggedOn(bool on);

// Bit of a root in a root mask.
constexpr unsigned rootBit(int root) { return 1u << root; }
constexpr unsigned kAllRoots = 7;

// Loads the roots in mask of the live registry into reg; other roots are
// marked not loaded, and so is HKEY_CURRENT_USER while the user is logged
// off. ERROR_SUCCESS, or ERROR_BADDB with the reason when a store is damaged
// or missing (a warm boot mends it).
DWORD loadRegistry(Registry &reg, unsigned mask, std::string *why);
// Writes the roots in mask of reg back to where the device keeps them (the
// whole object store on a ram device; the hive files holding those roots on
// a hive device; a root that is not loaded is not written). Each file is
// replaced at once (written beside it, then renamed). ERROR_SUCCESS or
// ERROR_CANTWRITE with the reason.
DWORD storeRegistry(const Registry &reg, unsigned mask, std::string *why);

// Checks a value before it is stored in the current device's registry: the
// limits of checkValue and, on a ram device, that it fits one RAM image
// record. ERROR_SUCCESS, or ERROR_INVALID_PARAMETER with the reason.
DWORD checkValueForDevice(const Value &value, std::string *why);

// Writes the sample registry of a new device of that kind into the device at
// dir. False with a message on failure.
bool writeNewRegistry(const fs::path &dir, const std::string &kind, std::string &error);

// Logs the default user on (hive devices): a missing or corrupt user.hv
// becomes a clean default user hive. Returns what it did, "" when nothing
// was mended.
std::string logUserOn();

// The warm boot of the current device, as the device does it: applies a
// pending Restore.fdf (ram) or kept system hive (hive), checks the hive
// files, logs the user on, counts the boot. Records what it did in the
// device state ("lastBoot") and returns that text.
std::string warmBoot();

// Writes bytes to path through a file beside it and a rename, so that the
// old content or the new one is there, never half of it: the device's own
// stores (object store, hives) are not files the program copies. Refuses a
// path whose folder leads outside the device; a link at path is replaced,
// not followed.
bool writeFileAtomic(const fs::path &path, const std::string &bytes, std::string *why);
// The whole content of a host file, read into bytes (its room reused); false
// (bytes empty) when it cannot be read, is a link or is no regular file.
bool readFile(const char *path, std::string &bytes);
inline bool readFile(const fs::path &path, std::string &bytes) { return readFile(path.c_str(), bytes); }

}  // namespace host::reg
