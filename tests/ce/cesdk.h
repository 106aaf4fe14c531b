/*
 * cesdk.h - what a Windows CE SDK's <windows.h> declares differently from
 * the desktop headers of mingw-w64, for the ARM compile check
 * (scripts/check-ce-arm includes it before every source).
 *
 * The check compiles the device code against mingw-w64's headers, which are
 * the desktop's. Where CE's headers declare a service with another
 * signature, the desktop declaration is renamed out of the way and CE's is
 * given here, so that the code's _WIN32_WCE branches meet the declarations
 * they are written for:
 *   - WinMain takes the command line wide (LPWSTR) on CE;
 *   - GetProcAddress takes the export's name wide: CE's GetProcAddressW.
 */
#ifndef CORVANE_TESTS_CESDK_H
#define CORVANE_TESTS_CESDK_H

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WinMain desktopWinMain_
#define GetProcAddress desktopGetProcAddress_
#include <windows.h>
#undef WinMain
#undef GetProcAddress

extern "C" {
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);
FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName);
}
#define GetProcAddress GetProcAddressW

#endif
