/*
 * promptprobe.cpp - looks at the restart prompt of another run, and at the
 * program's resources, from the Windows side, for scripts/check-windows.
 * Prints UTF-8 lines "key: value".
 *
 *   promptprobe wait SECONDS   waits for a window of class regRestClass and
 *                              describes it and its controls; exit 1 if none
 *   promptprobe close          posts WM_CLOSE to the prompt; exit 1 if none
 *   promptprobe gone SECONDS   waits until no prompt is left; exit 1 if one is
 *   promptprobe resources EXE  the dialog, icon and version resources of EXE
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

static const WCHAR kClass[] = L"regRestClass";

/* Prints key, ": " and the UTF-8 of text, and a line break. */
static void printLine(const char *key, const WCHAR *text) {
    char bytes[1024];
    int cb = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), NULL, NULL);
    if (cb <= 0) bytes[0] = 0;
    printf("%s: %s\n", key, bytes);
}

/* The prompt once it is shown: a window is found as soon as it is made,
 * before its controls and before it is visible. */
static HWND waitForPrompt(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        HWND w = FindWindowW(kClass, NULL);
        if (w != NULL && IsWindowVisible(w)) {
            Sleep(300); /* let it be drawn */
            return w;
        }
        Sleep(100);
    }
    return NULL;
}

static BOOL CALLBACK describeControl(HWND control, LPARAM) {
    WCHAR cls[64], text[256];
    char key[96];
    RECT r;
    DWORD_PTR cch = 0;

    GetClassNameW(control, cls, 64);
    text[0] = 0;
    /* Another process's control: its text comes through WM_GETTEXT. */
    SendMessageTimeoutW(control, WM_GETTEXT, 256, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &cch);
    snprintf(key, sizeof(key), "control %d", GetDlgCtrlID(control));
    printLine(key, text);
    snprintf(key, sizeof(key), "control %d class", GetDlgCtrlID(control));
    printLine(key, cls);
    GetWindowRect(control, &r);
    printf("control %d centre: %ld %ld\n", GetDlgCtrlID(control), (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return TRUE;
}

static int describe(HWND w) {
    WCHAR text[256];
    RECT r;
    MONITORINFO mi;
    HWND owner;

    GetClassNameW(w, text, 256);
    printLine("class", text);
    GetWindowTextW(w, text, 256);
    printLine("caption", text);
    owner = GetWindow(w, GW_OWNER);
    printf("owner: %s\n", owner ? "yes" : "none");
    printf("visible: %s\n", IsWindowVisible(w) ? "yes" : "no");
    GetWindowRect(w, &r);
    mi.cbSize = sizeof(mi);
    GetMonitorInfoW(MonitorFromWindow(w, MONITOR_DEFAULTTOPRIMARY), &mi);
    /* Centred within a pixel or two of rounding. */
    long dx = (r.left + r.right) - (mi.rcMonitor.left + mi.rcMonitor.right);
    long dy = (r.top + r.bottom) - (mi.rcMonitor.top + mi.rcMonitor.bottom);
    printf("centred: %s\n", (dx >= -4 && dx <= 4 && dy >= -4 && dy <= 4) ? "yes" : "no");
    printf("rect: %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    EnumChildWindows(w, describeControl, 0);
    return 0;
}

/* The resources of exe, loaded as data: each one present, in language
 * 0x0407, and the version strings. */
static int resources(const WCHAR *exe) {
    HMODULE m = LoadLibraryExW(exe, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (m == NULL) {
        printf("error: cannot load %lu\n", GetLastError());
        return 1;
    }
    struct {
        const char *name;
        LPCWSTR type;
        LPCWSTR id;
    } wanted[] = {
        {"dialog 1001", RT_DIALOG, MAKEINTRESOURCEW(1001)}, {"icon group 8001", RT_GROUP_ICON, MAKEINTRESOURCEW(8001)},
        {"icon 1", RT_ICON, MAKEINTRESOURCEW(1)},           {"icon 2", RT_ICON, MAKEINTRESOURCEW(2)},
        {"version 1", RT_VERSION, MAKEINTRESOURCEW(1)},
    };
    for (auto &r : wanted) {
        HRSRC found = FindResourceExW(m, r.type, r.id, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
        printf("%s: %s, %lu bytes\n", r.name, found ? "0x0407" : "missing", found ? SizeofResource(m, found) : 0UL);
    }
    HRSRC v = FindResourceW(m, MAKEINTRESOURCEW(1), RT_VERSION);
    if (v != NULL) {
        /* VerQueryValue wants a writable copy of the block. */
        DWORD cb = SizeofResource(m, v);
        static BYTE copy[8192];
        if (cb <= sizeof(copy)) {
            memcpy(copy, LockResource(LoadResource(m, v)), cb);
            WORD *translation;
            UINT cbValue;
            if (VerQueryValueW(copy, L"\\VarFileInfo\\Translation", (void **)&translation, &cbValue) && cbValue >= 4) {
                printf("translation: %04x %04x\n", translation[0], translation[1]);
                WCHAR key[64];
                const WCHAR *names[] = {L"FileDescription", L"FileVersion"};
                for (const WCHAR *name : names) {
                    WCHAR *value;
                    _snwprintf(key, 63, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
                    key[63] = 0;
                    if (VerQueryValueW(copy, key, (void **)&value, &cbValue)) {
                        char k[32];
                        WideCharToMultiByte(CP_UTF8, 0, name, -1, k, sizeof(k), NULL, NULL);
                        printLine(k, value);
                    }
                }
            }
            VS_FIXEDFILEINFO *fixed;
            if (VerQueryValueW(copy, L"\\", (void **)&fixed, &cbValue))
                printf("fixed version: %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
                       fixed->dwFileVersionMS & 0xffff, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xffff);
        }
    }
    FreeLibrary(m);
    return 0;
}

int wmain(int argc, WCHAR **argv) {
    if (argc >= 2 && wcscmp(argv[1], L"wait") == 0) {
        HWND w = waitForPrompt(argc >= 3 ? _wtoi(argv[2]) : 30);
        if (w == NULL) {
            printf("error: no prompt\n");
            return 1;
        }
        return describe(w);
    }
    if (argc >= 2 && wcscmp(argv[1], L"close") == 0) {
        HWND w = FindWindowW(kClass, NULL);
        if (w == NULL) {
            printf("error: no prompt\n");
            return 1;
        }
        PostMessageW(w, WM_CLOSE, 0, 0);
        return 0;
    }
    if (argc >= 2 && wcscmp(argv[1], L"gone") == 0) {
        int seconds = argc >= 3 ? _wtoi(argv[2]) : 30;
        for (int i = 0; i < seconds * 10; ++i) {
            if (FindWindowW(kClass, NULL) == NULL) return 0;
            Sleep(100);
        }
        printf("error: the prompt is still open\n");
        return 1;
    }
    if (argc >= 3 && wcscmp(argv[1], L"resources") == 0) return resources(argv[2]);
    printf("usage: promptprobe wait|close|gone [SECONDS] | resources EXE\n");
    return 2;
}
