// host.h - the simulated CE device's internals, shared by the host backend,
// the device tool and the tests. Nothing of the system's code includes it.
//
// A device is a host folder (CEDEVICE, or a per-user default):
//   <device>/fs/      the device's file system, the root "\"
//   <device>/state/   the device's internal state, invisible from "\":
//                     device.txt (kind, boot count, user, last boot), the
//                     object-store registry, a pending Restore.fdf, the
//                     kept system hive, open windows.
//
// The host keeps nothing of a device between calls that a process could
// tell apart from the device: every call reaches the host's files afresh
// (openDeviceFile is the one place a device file is opened), and a stream
// holds what the device's C library holds, one 4 KiB buffer (streams.cpp).
// The C library functions that reach the device instead of the C library
// are declared in wrapped.h.
#pragma once

#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>

namespace host {

namespace fs = std::filesystem;

// ---- Text ---------------------------------------------------------------

std::string toUtf8(std::u16string_view s);
std::string toUtf8(const WCHAR *s);  // NULL gives ""
// Text that is not well-formed UTF-8 (overlong forms, encoded surrogates,
// code points above U+10FFFF, broken sequences) gives U+FFFD for each bad byte.
std::u16string fromUtf8(std::string_view s);
// The same, but refuses text that is not well-formed: returns false with
// out empty and the offset of the first bad byte in badAt (may be NULL).
bool fromUtf8Strict(std::string_view s, std::u16string &out, size_t *badAt = nullptr);
// Whether s is well-formed UTF-8, as fromUtf8Strict judges it, without
// making its UTF-16: false with the offset of the first bad byte in badAt.
bool utf8WellFormed(std::string_view s, size_t *badAt = nullptr);
// Appends one code point, UTF-8 encoded.
void appendUtf8(std::string &out, char32_t c);
// Appends UTF-16 text as toUtf8 gives it.
void appendUtf8(std::string &out, std::u16string_view s);
// Case-insensitive compare of device names (ASCII and Latin-1 letters fold).
bool namesEqual(std::u16string_view a, std::u16string_view b);
// Order of names without regard to case.
bool foldedLess(std::u16string_view a, std::u16string_view b);
// '*' and '?' against a name, without regard to case.
bool wildcardMatch(std::u16string_view pattern, std::u16string_view name);

// ---- The device -------------------------------------------------------------

// The device folder: $CEDEVICE, or the per-user default (made on first use
// with the sample registry). Fixed for the life of the process.
const fs::path &deviceDir();
const fs::path &fsRoot();    // deviceDir()/"fs"
const fs::path &stateDir();  // deviceDir()/"state"

// Makes a new device at dir with the given registry kind ("ram" or "hive"):
// the standard folders, the state file, the sample registry. Returns false
// with a message in error when it cannot (dir already a device, I/O error).
bool initDevice(const fs::path &dir, const std::string &registryKind, std::string &error);
// True when dir holds a device.
bool isDevice(const fs::path &dir);
// Switches this process to the device at dir (tests use a fresh device each;
// CEDEVICE is updated too, so that child processes use the same device).
void selectDevice(const fs::path &dir);
// Makes sure the current device exists: the per-user default device is
// created (a ram device) on first use; a folder that CEDEVICE names must
// already be a device. Returns false with a message when there is none.
bool ensureDevice(std::string &error);

// The exit statuses that are the simulated device's own, beside the
// program's: a program stops with them, whatever it was doing.
constexpr int kExitFaultRules = 98;  // CEDEVICE_FAULTS holds a rule that cannot be read
constexpr int kExitPowerLoss = 99;   // a power-loss rule cut the power
constexpr int kExitNoDevice = 125;   // ensureDevice failed: nothing ran

// The one place where the host opens a file or folder of the device (under
// its fs/ or state/): by its host path, never through a link at its end
// (O_NOFOLLOW), never inherited by a child (O_CLOEXEC), again when a signal
// interrupts the open. The descriptor, or -1 with errno set. Every open
// reaches the host file system: nothing of a device is kept open between
// calls, so each call sees the device as it is now.
int openDeviceFile(const std::string &hostPath, int flags, mode_t mode = 0644);

// Empties an open device file, as a "w" open or CREATE_ALWAYS does; a file
// that is empty already is left alone (on ext4, emptying an empty file makes
// its close write the file out at once). false with errno when it fails.
bool emptyFile(int fd);

// Device state, a small key=value file (state/device.txt). Values are text.
std::string stateGet(const std::string &key, const std::string &fallback = "");
void stateSet(const std::string &key, const std::string &value);
// The whole state at once, read and written back (replaced whole): a caller
// that reads a key and then sets one reads the file once.
using DeviceState = std::map<std::string, std::string>;
DeviceState stateRead();
void stateWrite(const DeviceState &state);
// A number that moves whenever this process writes the current device's
// state file: a caller that has a device to itself can tell whether its
// state changed since it last looked.
unsigned long stateWrites();
// The current device's state file as it stands ("" when it cannot be read),
// and the same text written back over it in place (emptied, then written;
// false when that fails): a process that has a device to itself puts its
// state back as it was made without replacing the file.
std::string stateText();
bool stateRewrite(const std::string &text);
// One key of the state file, read and then set, with the file held open in
// between. A value of the same length as the one in the file is written in
// place, its own bytes only (one pwrite): the temporary-name counter is set
// for every temporary name, and replacing the file whole (a new file and a
// rename) costs several times as much. A reader at that moment, or a crash
// in it, can find at most a value made of old and new characters, never
// another key's bytes changed. Any other value replaces the file whole, as
// stateWrite does.
class StateKey {
public:
    explicit StateKey(const std::string &key);
    ~StateKey();
    StateKey(const StateKey &) = delete;
    StateKey &operator=(const StateKey &) = delete;
    // The key's value; NULL when the file has no such key.
    const std::string *value() const { return found_ ? &value_ : nullptr; }
    void set(const std::string &value);

private:
    int fd_ = -1;
    std::string key_, text_, value_;
    size_t valueAt_ = 0;  // where the value starts in the file
    bool found_ = false;
};

// The registry part of a new device: writes the sample registry of the given
// kind into the device at dir (registry.cpp).
bool initRegistry(const fs::path &dir, const std::string &registryKind, std::string &error);

// True when the registry holds the file at hostPath open, as a hive device
// holds system.hv always and user.hv while the user is logged on: the file
// services refuse to write, replace or delete it (ERROR_SHARING_VIOLATION).
// registry_store.cpp.
bool hiveInUse(std::string_view hostPath);

// True when a handle that CreateFileW gave, in this process or another,
// keeps an open of the file behind fd for access (GENERIC_READ,
// GENERIC_WRITE) out by its share mode: the open fails with
// ERROR_SHARING_VIOLATION. For the services that open a file without
// recording the open as a handle (streams, copies); files.cpp.
bool shareRefuses(int fd, DWORD access);

// The instance handle of the program (and of its resources).
HINSTANCE programInstance();
// A text of the program's version resource ("FileVersion" gives "3.2"),
// or "" when the resource has none (window_res.cpp).
std::u16string versionValue(std::u16string_view name);
// The name this process was started under ("corvane", "cedevice"), for the
// first word of its error lines.
const char *programName();

// ---- Paths --------------------------------------------------------------------

// Maps a device path ("\Temp\x.tmp", "/Temp/x.tmp", "Temp\x.tmp") to the host
// path under fsRoot(). Components are matched case-insensitively against what
// exists; ".." never leaves the root; a path of more than MAX_PATH - 1
// characters is refused. A link on the way is followed when it leads to
// something that exists inside the root, and the host path handed back holds
// no link (its place stands in for it); a link that leads outside the root or
// nowhere (dangling, a loop) makes the path one the device cannot open. With
// followLast false the last component is left as it stands, a link included
// (DeleteFileW and MoveFileW act on the entry itself). Returns ERROR_SUCCESS,
// ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE, ERROR_PATH_NOT_FOUND (a
// folder on the way is missing) or ERROR_ACCESS_DENIED (a link that leads
// outside or nowhere). The last component need not exist. Services open the
// result with O_NOFOLLOW, so that a link put there since is refused too.
DWORD resolvePath(const WCHAR *devicePath, fs::path &hostPath, bool followLast = true);
// What resolvePath found at the path's end: whether something is there, and
// its status (lstat's: a link's own with followLast false, else what a link
// there leads to), so that a service need not look at it again.
struct PathEntry {
    bool exists = false;
    struct stat st {};

    bool isFolder() const { return exists && S_ISDIR(st.st_mode); }
    bool isFile() const { return exists && S_ISREG(st.st_mode); }
    bool isLink() const { return exists && S_ISLNK(st.st_mode); }
    // Read-only files are those without the owner's write bit.
    bool readOnly() const { return exists && !(st.st_mode & S_IWUSR); }
};
DWORD resolvePath(const WCHAR *devicePath, fs::path &hostPath, bool followLast, PathEntry *entry);
// The same into plain text, for the services that only open what they find;
// hostPath's room is reused, and its content is undefined after an error.
DWORD resolvePath(const WCHAR *devicePath, std::string &hostPath, bool followLast, PathEntry *entry);
// Looks one name up in the host folder at folder as resolvePath looks up
// each component: without regard to case, the entry's own status in entry
// (a link is not followed). hostPath is the entry's host path, or the name
// as spelled when nothing is there. False when the name is not one a device
// entry can have.
bool lookupName(const std::string &folder, std::u16string_view name, std::string &hostPath, PathEntry &entry);
// Calls each(name) for every entry of the open folder fd but "." and "..",
// the entries read into a buffer on the stack (a directory stream's own is a
// large allocation for each listing); each returns false to stop. False when
// the folder could not be read to its end (a stop is not a failure).
template <class Each>
bool forEachEntry(int fd, Each each) {
    alignas(8) char buf[4096];
    ssize_t n;
    while ((n = ::getdents64(fd, buf, sizeof buf)) > 0)
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const struct dirent64 *>(buf + at);
            at += e->d_reclen;
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            if (!each(static_cast<const char *>(e->d_name))) return true;
        }
    return n == 0;
}
// The same for the folder at the host path folder, opened and closed here.
// False when it cannot be opened or read to its end.
template <class Each>
bool forEachEntryIn(const std::string &folder, Each each) {
    int fd = openDeviceFile(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    bool whole = forEachEntry(fd, each);
    ::close(fd);
    return whole;
}
// Where a link inside the device leads: a host path under fsRoot() with no
// link in it. False when it leads outside the root or to nothing.
bool linkTarget(const fs::path &link, fs::path &target);
// Makes the missing folders of hostPath, a path under deviceDir(), without
// following any link: false when a component is a link or not a folder, or
// a folder cannot be made.
bool makeDeviceFolders(const fs::path &hostPath);
// True when the file is read-only on the device (no owner write bit).
bool isReadOnly(const fs::path &hostPath);
// The device path of a host path under fsRoot() ("\Temp\a.tmp").
std::u16string devicePathOf(std::string_view hostPath);

// ---- Fault injection and trace -----------------------------------------------
//
// Every service starts with one line:
//     host::Call call("CopyFileW", existingFile);
//     if (call.failed()) return call.fail(FALSE, ERROR_WRITE_FAULT);
// and ends with `return call.ret(result);`. A Call counts the service's calls,
// applies the fault rules (CEDEVICE_FAULTS, or rules set in-process) and
// writes the trace line (CEDEVICE_TRACE) when it ends.

[[noreturn]] void powerCut();

// True until the rules and the trace are known, then while either is set:
// the calls of an idle device skip the injector altogether.
extern bool g_callsWatched;

class Call {
public:
    // path: the call's path argument, matched against path rules (may be NULL).
    Call(const char *service, const WCHAR *path = nullptr) : service_(service) {
        if (g_callsWatched) start(path);
    }
    ~Call() {
        if (g_callsWatched) end();
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    // True when a fault rule fired for this call.
    bool failed() const { return failed_; }
    // Adds an argument to the trace line.
    Call &arg(const WCHAR *s) { return active_ ? addArg(s) : *this; }
    Call &arg(const char *s) { return active_ ? addArg(s) : *this; }
    Call &arg(long long v) { return active_ ? addArg(v) : *this; }
    Call &argHex(unsigned long long v) { return active_ ? addArgHex(v) : *this; }
    // Records the result; with SetLastError(error) for fail().
    template <class T>
    T ret(T v) {
        if (!g_callsWatched) return v;
        if constexpr (std::is_pointer_v<T>)
            resultPointer(reinterpret_cast<const void *>(v));
        else
            result(static_cast<long long>(v));
        return v;
    }
    template <class T>
    T fail(T v, DWORD error) {
        SetLastError(error);
        errored_ = error;
        return ret(v);
    }

private:
    friend void powerCut();
    [[noreturn]] void cutNow();
    void start(const WCHAR *path);
    void end();
    Call &addArg(const WCHAR *s);
    Call &addArg(const char *s);
    Call &addArg(long long v);
    Call &addArgHex(unsigned long long v);
    void result(long long v);
    void resultPointer(const void *p);
    void finish(const std::string &value);
    const char *service_;
    bool failed_ = false;
    bool active_ = false;  // tracing this call
    bool done_ = false;
    DWORD errored_ = 0;
    std::string args_;
};

// A device's file system is full after this many more bytes: writes to
// streams and copies fail with ERROR_DISK_FULL once it is used up.
// Returns how many of want bytes may be written (want when not limited).
size_t diskReserve(size_t want);
// A file's bytes given back to the file system (a file deleted, emptied or
// overwritten): while the disk is limited, they may be written again.
void diskFree(size_t bytes);

// A power cut inside a call (a Svc@N!BYTES rule). A service that writes a
// file asks, before each write, how many of want bytes may reach the file
// before the power goes: want when no cut is armed. It writes exactly
// those, reports them with powerWritten, and calls powerCut when it got
// fewer than it wanted; a call that ends before its bytes are used up is
// cut right after it (Call does that). powerCut writes the trace line
// "Svc(ARGS) POWER LOSS after N bytes" and ends the process with exit
// status 99, as the device's power would: nothing else is written.
size_t powerReserve(size_t want);
bool powerCutArmed();
void powerWritten(size_t n);
// (powerCut is declared above Call.)

// In-process rules, the same syntax as CEDEVICE_FAULTS (see faults.cpp):
//   setFaults("CopyFileW@2; _wfopen~*\\rep*.tmp; disk=100")
// Returns false with a message for a rule it cannot parse. clearFaults()
// removes every rule and resets every call counter.
bool setFaults(const std::string &rules, std::string *error = nullptr);
void clearFaults();
// How many times a rule fired since the rules were set.
int faultsFired();
// How many calls a service has had since the counters were reset.
long callCount(const std::string &service);
// Trace into a host file (empty: off). CEDEVICE_TRACE sets it at start.
void setTrace(const std::string &hostFile);

}  // namespace host
