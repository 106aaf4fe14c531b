/*
 * window.cpp - the window services whose desktop behaviour is not the
 * device's: the name of the platform's dialog class, and the lowest bit of a
 * handle passed to SetForegroundWindow.
 */
#include "platform/win32/win32.h"

#ifndef IS_INTRESOURCE
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#endif

/* The window that FindWindowW found last, for ceSetForegroundWindow. */
static HWND s_lastFound;

BOOL ceGetClassInfoW(HINSTANCE instance, LPCWSTR className, LPWNDCLASSW wndClass)
{
    BOOL ok;

    ok = GetClassInfoW(instance, className, wndClass);
    if (ok || IS_INTRESOURCE(className) || lstrcmpiW(className, TEXT("Dialog")) != 0)
        return ok;
    /* Desktop Windows has no class "Dialog": its dialog class is "#32770"
     * (the atom 0x8002). The description is that class's, under the name
     * that was asked for. */
    ok = GetClassInfoW(instance, MAKEINTRESOURCEW(0x8002), wndClass);
    if (ok)
        wndClass->lpszClassName = className;
    return ok;
}

HWND ceFindWindowW(LPCWSTR className, LPCWSTR windowName)
{
    s_lastFound = FindWindowW(className, windowName);
    return s_lastFound;
}

BOOL ceSetForegroundWindow(HWND window)
{
#if !defined(_WIN32_WCE)
    /* On CE the lowest bit asks for the window's owned windows too. A
     * desktop handle with that bit set would be another window or none, so
     * the found window's handle with the bit set names the found window.
     * (The prompt owns no windows: nothing more is to be brought up.) */
    if (s_lastFound != NULL && window == (HWND)((UINT_PTR)s_lastFound | 1))
        window = s_lastFound;
#endif
    return SetForegroundWindow(window);
}
