// registry.cpp - the simulated device's registry, user and kernel services:
// RegCopyFile, RegRestoreFile, RegSaveKey, RegReplaceKey, SetCurrentUser,
// GetUserDirectory, SHGetSpecialFolderPath and KernelIoControl (the warm
// boot), with the contracts of a CE device of either registry kind.
//
// A service of the other kind fails with ERROR_NOT_SUPPORTED: a ram device
// has no hives and no user profiles, a hive device cannot write or restore
// a RAM registry image. Every service goes through host::Call for fault
// injection and trace; an injected fault fails the call the way the
// device's would, with the last-error value named at each call.
#include "platform/host/host.h"
#include "platform/host/registry_store.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace host::reg;

// winerror.h's ERROR_NOT_LOGGED_ON: GetUserDirectory while nobody is.
constexpr DWORD kErrorNotLoggedOn = 1245;

// Creates path exclusively, as the device creates the files of RegCopyFile
// and RegSaveKey, and writes bytes into it whole. ERROR_SUCCESS, or the
// error with no file left behind. A power cut inside the call (a
// RegCopyFile@N!BYTES or RegSaveKey@N!BYTES rule) leaves the file holding
// its first BYTES bytes.
DWORD createExclusive(const WCHAR *path, const std::string &bytes) {
    if (!path) return ERROR_INVALID_PARAMETER;
    host::fs::path hostPath;
    DWORD err = host::resolvePath(path, hostPath);
    if (err != ERROR_SUCCESS) return err;
    int fd = host::openDeviceFile(hostPath.native(), O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0)
        return errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
    err = ERROR_SUCCESS;
    const size_t granted = host::diskReserve(bytes.size());
    if (granted < bytes.size()) err = ERROR_DISK_FULL;
    size_t allowed = err == ERROR_SUCCESS ? host::powerReserve(bytes.size()) : 0;
    size_t done = 0;
    while (err == ERROR_SUCCESS && done < allowed) {
        ssize_t n = ::write(fd, bytes.data() + done, allowed - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = ERROR_WRITE_FAULT;
        else
            done += static_cast<size_t>(n);
    }
    host::powerWritten(done);
    if (err == ERROR_SUCCESS && allowed < bytes.size()) host::powerCut();
    if (::close(fd) != 0 && err == ERROR_SUCCESS) err = ERROR_WRITE_FAULT;
    if (err != ERROR_SUCCESS) {
        ::unlink(hostPath.c_str());
        host::diskFree(granted);  // the file is gone, and its room with it
    }
    return err;
}

// Reads the whole file at a device path. ERROR_SUCCESS or the error.
DWORD readDeviceFile(const WCHAR *path, std::string &bytes) {
    if (!path) return ERROR_INVALID_PARAMETER;
    host::fs::path hostPath;
    host::PathEntry entry;  // what a link leads to: the look-up follows it
    DWORD err = host::resolvePath(path, hostPath, true, &entry);
    if (err != ERROR_SUCCESS) return err;
    if (!entry.isFile()) return ERROR_FILE_NOT_FOUND;
    return readFile(hostPath, bytes) ? ERROR_SUCCESS : ERROR_READ_FAULT;
}

size_t profileChars() { return std::char_traits<char16_t>::length(kProfileFolder); }

}  // namespace

namespace host {

bool initRegistry(const fs::path &dir, const std::string &registryKind, std::string &error) {
    return writeNewRegistry(dir, registryKind, error);
}

}  // namespace host

BOOL RegCopyFile(LPCWSTR path) {
    host::Call call("RegCopyFile", path);
    call.arg(path);
    if (call.failed()) return call.fail(FALSE, ERROR_WRITE_FAULT);
    if (isHiveDevice()) return call.fail(FALSE, ERROR_NOT_SUPPORTED);
    Registry reg;
    std::string image;
    if (loadRegistry(reg, kAllRoots, nullptr) != ERROR_SUCCESS) return call.fail(FALSE, ERROR_BADDB);
    if (writeRamImage(reg, image) != ERROR_SUCCESS) return call.fail(FALSE, ERROR_GEN_FAILURE);
    DWORD err = createExclusive(path, image);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    return call.ret(TRUE);
}

BOOL RegRestoreFile(LPCWSTR path) {
    host::Call call("RegRestoreFile", path);
    call.arg(path);
    if (call.failed()) return call.fail(FALSE, ERROR_READ_FAULT);
    if (isHiveDevice()) return call.fail(FALSE, ERROR_NOT_SUPPORTED);
    // The device copies the file as it stands; whether it reads back whole
    // is found at the next boot.
    std::string bytes;
    DWORD err = readDeviceFile(path, bytes);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    if (!writeFileAtomic(pendingRestorePath(), bytes, nullptr)) return call.fail(FALSE, ERROR_WRITE_FAULT);
    return call.ret(TRUE);
}

LONG RegSaveKey(HKEY key, LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    host::Call call("RegSaveKey", path);
    call.argHex(reinterpret_cast<uintptr_t>(key)).arg(path);
    auto fail = [&](DWORD err) { return call.fail(static_cast<LONG>(err), err); };
    if (call.failed()) return fail(ERROR_WRITE_FAULT);
    if (!isHiveDevice()) return fail(ERROR_NOT_SUPPORTED);
    // A hive is saved whole: HKEY_LOCAL_MACHINE names the system hive,
    // HKEY_CURRENT_USER the user's.
    int root = rootOfHkey(key);
    if (root != LocalMachine && root != CurrentUser) return fail(ERROR_INVALID_PARAMETER);
    if (root == CurrentUser && !userLoggedOn()) return fail(ERROR_INVALID_HANDLE);
    HiveKind kind = root == LocalMachine ? HiveKind::System : HiveKind::User;
    unsigned mask = 0;
    for (int r : hiveRoots(kind)) mask |= rootBit(r);
    Registry reg;
    if (loadRegistry(reg, mask, nullptr) != ERROR_SUCCESS) return fail(ERROR_BADDB);
    DWORD err = createExclusive(path, writeHive(reg, kind));
    if (err != ERROR_SUCCESS) return fail(err);
    return call.ret(static_cast<LONG>(ERROR_SUCCESS));
}

LONG RegReplaceKey(HKEY key, LPCWSTR subKey, LPCWSTR newFile, LPCWSTR oldFile) {
    host::Call call("RegReplaceKey", newFile);
    call.argHex(reinterpret_cast<uintptr_t>(key)).arg(subKey).arg(newFile).arg(oldFile);
    auto fail = [&](DWORD err) { return call.fail(static_cast<LONG>(err), err); };
    if (call.failed()) return fail(ERROR_WRITE_FAULT);
    if (!isHiveDevice()) return fail(ERROR_NOT_SUPPORTED);
    if (key != HKEY_LOCAL_MACHINE || (subKey && *subKey) || oldFile) return fail(ERROR_INVALID_PARAMETER);
    // The device keeps its own copy for the next boot, so the caller may
    // delete its file at once; the copy is checked at boot, as the device does.
    std::string bytes;
    DWORD err = readDeviceFile(newFile, bytes);
    if (err != ERROR_SUCCESS) return fail(err);
    if (!writeFileAtomic(keptHivePath(), bytes, nullptr)) return fail(ERROR_WRITE_FAULT);
    return call.ret(static_cast<LONG>(ERROR_SUCCESS));
}

BOOL SetCurrentUser(LPWSTR userName, LPBYTE, DWORD, BOOL) {
    host::Call call("SetCurrentUser");
    call.arg(userName);
    if (call.failed()) return call.fail(FALSE, ERROR_GEN_FAILURE);
    if (!isHiveDevice()) return call.fail(FALSE, ERROR_NOT_SUPPORTED);
    if (!userName) {
        // HKEY_CURRENT_USER is unloaded; user.hv may be overwritten now.
        setUserLoggedOn(false);
        return call.ret(TRUE);
    }
    // The simulated device has one profile, "default".
    if (!host::namesEqual(userName, u"default")) return call.fail(FALSE, ERROR_NOT_SUPPORTED);
    logUserOn();
    return call.ret(TRUE);
}

BOOL GetUserDirectory(LPWSTR buffer, LPDWORD cchSize) {
    host::Call call("GetUserDirectory");
    call.arg(cchSize ? static_cast<long long>(*cchSize) : -1);
    if (call.failed()) return call.fail(FALSE, kErrorNotLoggedOn);
    if (!isHiveDevice()) return call.fail(FALSE, ERROR_NOT_SUPPORTED);
    if (!cchSize) return call.fail(FALSE, ERROR_INVALID_PARAMETER);
    if (!userLoggedOn()) return call.fail(FALSE, kErrorNotLoggedOn);
    // Too small a buffer: *cchSize receives the size needed, terminator
    // included; on success it receives the characters written, without it.
    DWORD needed = static_cast<DWORD>(profileChars() + 1);
    if (!buffer || *cchSize < needed) {
        *cchSize = needed;
        return call.fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
    }
    std::char_traits<char16_t>::copy(buffer, kProfileFolder, needed);
    *cchSize = needed - 1;
    return call.ret(TRUE);
}

BOOL SHGetSpecialFolderPath(HWND, LPWSTR path, int csidl, BOOL) {
    host::Call call("SHGetSpecialFolderPath");
    call.argHex(static_cast<unsigned>(csidl));
    if (call.failed()) return call.fail(FALSE, ERROR_PATH_NOT_FOUND);
    if (!isHiveDevice()) return call.fail(FALSE, ERROR_NOT_SUPPORTED);
    if ((csidl & 0xFF) != CSIDL_PROFILE || !path) return call.fail(FALSE, ERROR_INVALID_PARAMETER);
    // The profile folder exists whether or not its user is logged on, so
    // this look-up serves while GetUserDirectory fails. The buffer holds
    // MAX_PATH characters, as the caller's must.
    std::char_traits<char16_t>::copy(path, kProfileFolder, profileChars() + 1);
    return call.ret(TRUE);
}

BOOL KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) {
    host::Call call("KernelIoControl");
    call.argHex(code);
    if (call.failed()) return call.fail(FALSE, ERROR_GEN_FAILURE);
    if (code != IOCTL_HAL_REBOOT) return call.fail(FALSE, ERROR_NOT_SUPPORTED);
    // A real device does not return from the reset; the simulated one boots
    // warm, records what the boot did, and returns.
    warmBoot();
    return call.ret(TRUE);
}
