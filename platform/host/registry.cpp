// registry.cpp - the simulated device's registry, user and kernel services.
//
// Not simulated yet: every service fails as a device fails an unsupported
// call (ERROR_NOT_SUPPORTED).
#include "platform/host/host.h"

namespace host {
bool initRegistry(const fs::path &, const std::string &, std::string &) { return true; }
}  // namespace host

BOOL RegCopyFile(LPCWSTR path) {
    host::Call call("RegCopyFile", path);
    call.arg(path);
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}

BOOL RegRestoreFile(LPCWSTR path) {
    host::Call call("RegRestoreFile", path);
    call.arg(path);
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}

LONG RegSaveKey(HKEY key, LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    host::Call call("RegSaveKey", path);
    call.argHex(reinterpret_cast<uintptr_t>(key)).arg(path);
    return call.ret(static_cast<LONG>(ERROR_NOT_SUPPORTED));
}

LONG RegReplaceKey(HKEY key, LPCWSTR subKey, LPCWSTR newFile, LPCWSTR oldFile) {
    host::Call call("RegReplaceKey", newFile);
    call.argHex(reinterpret_cast<uintptr_t>(key)).arg(subKey).arg(newFile).arg(oldFile);
    return call.ret(static_cast<LONG>(ERROR_NOT_SUPPORTED));
}

BOOL SetCurrentUser(LPWSTR userName, LPBYTE, DWORD, BOOL) {
    host::Call call("SetCurrentUser");
    call.arg(userName);
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}

BOOL GetUserDirectory(LPWSTR, LPDWORD) {
    host::Call call("GetUserDirectory");
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}

BOOL SHGetSpecialFolderPath(HWND, LPWSTR, int csidl, BOOL) {
    host::Call call("SHGetSpecialFolderPath");
    call.argHex(static_cast<unsigned>(csidl));
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}

BOOL KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) {
    host::Call call("KernelIoControl");
    call.argHex(code);
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}
