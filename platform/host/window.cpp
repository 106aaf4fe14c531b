// window.cpp - the simulated device's window, dialog and resource services.
//
// Not simulated yet: every service fails as a device fails an unsupported
// call (ERROR_NOT_SUPPORTED).
#include "platform/host/host.h"

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    host::Call call("FindWindowW");
    call.arg(className).arg(windowName);
    return call.fail(static_cast<HWND>(nullptr), ERROR_NOT_SUPPORTED);
}

BOOL SetForegroundWindow(HWND window) {
    host::Call call("SetForegroundWindow");
    call.argHex(reinterpret_cast<uintptr_t>(window));
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}

BOOL GetClassInfoW(HINSTANCE, LPCWSTR className, LPWNDCLASSW) {
    host::Call call("GetClassInfoW");
    call.arg(className);
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}

ATOM RegisterClassW(const WNDCLASSW *) {
    host::Call call("RegisterClassW");
    return call.fail(static_cast<ATOM>(0), ERROR_NOT_SUPPORTED);
}

HICON LoadIconW(HINSTANCE, LPCWSTR) {
    host::Call call("LoadIconW");
    return call.fail(static_cast<HICON>(nullptr), ERROR_NOT_SUPPORTED);
}

HRSRC FindResourceW(HMODULE, LPCWSTR, LPCWSTR) {
    host::Call call("FindResourceW");
    return call.fail(static_cast<HRSRC>(nullptr), ERROR_NOT_SUPPORTED);
}

HGLOBAL LoadResource(HMODULE, HRSRC) {
    host::Call call("LoadResource");
    return call.fail(static_cast<HGLOBAL>(nullptr), ERROR_NOT_SUPPORTED);
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE, LPCDLGTEMPLATEW, HWND, DLGPROC, LPARAM) {
    host::Call call("DialogBoxIndirectParamW");
    return call.fail(static_cast<INT_PTR>(-1), ERROR_NOT_SUPPORTED);
}

BOOL EndDialog(HWND, INT_PTR) {
    host::Call call("EndDialog");
    return call.fail(FALSE, ERROR_NOT_SUPPORTED);
}
