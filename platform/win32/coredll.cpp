/*
 * coredll.cpp - CE's registry, user, profile and kernel services, looked up
 * in coredll.dll when first called. Where coredll.dll or the export is
 * absent (desktop Windows, wine), each service fails as a device fails a
 * call it does not support: its failure value, last error ERROR_NOT_SUPPORTED.
 */
#include "platform/win32/win32.h"

/* GetProcAddress takes the export's name narrow on desktop Windows and wide
 * on CE. */
#if defined(_WIN32_WCE)
typedef LPCWSTR ProcName;
#define CE_PROC_NAME(s) TEXT(s)
#else
typedef LPCSTR ProcName;
#define CE_PROC_NAME(s) s
#endif

/* The address of the export name of coredll.dll, or NULL with last error
 * ERROR_NOT_SUPPORTED. */
static FARPROC coredllProc(ProcName name)
{
    static HMODULE coredll;
    static int looked;
    FARPROC proc = NULL;

    if (!looked) {
        looked = 1;
#if defined(_WIN32_WCE)
        /* Every CE process has coredll.dll loaded. */
        coredll = GetModuleHandleW(TEXT("coredll.dll"));
#else
        /* Only the system folder: a coredll.dll planted beside the program
         * or in the current folder must not be loaded and run. */
        coredll = LoadLibraryExW(TEXT("coredll.dll"), NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
#endif
    }
    if (coredll != NULL)
        proc = GetProcAddress(coredll, name);
    if (proc == NULL)
        SetLastError(ERROR_NOT_SUPPORTED);
    return proc;
}

/* Each service keeps the address it found (or that there is none) for the
 * rest of the run. The address reaches the service's type through
 * void (*)(void): C++98 casts between function types only, and GCC takes
 * that one type for any. */
#define CE_LOOKUP(type, var, name)                                   \
    static type var;                                                 \
    static int var##Looked;                                          \
    if (!var##Looked) {                                              \
        var = (type)(void (*)(void))coredllProc(CE_PROC_NAME(name)); \
        var##Looked = 1;                                             \
    }

typedef BOOL(WINAPI *RegCopyFileProc)(LPCWSTR);
typedef BOOL(WINAPI *RegRestoreFileProc)(LPCWSTR);
typedef LONG(WINAPI *RegSaveKeyProc)(HKEY, LPCWSTR, LPSECURITY_ATTRIBUTES);
typedef LONG(WINAPI *RegReplaceKeyProc)(HKEY, LPCWSTR, LPCWSTR, LPCWSTR);
typedef BOOL(WINAPI *SetCurrentUserProc)(LPWSTR, LPBYTE, DWORD, BOOL);
typedef BOOL(WINAPI *GetUserDirectoryProc)(LPWSTR, LPDWORD);
typedef BOOL(WINAPI *SHGetSpecialFolderPathProc)(HWND, LPWSTR, int, BOOL);
typedef BOOL(WINAPI *KernelIoControlProc)(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD);

BOOL ceRegCopyFile(LPCWSTR path)
{
    CE_LOOKUP(RegCopyFileProc, proc, "RegCopyFile");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return proc(path);
}

BOOL ceRegRestoreFile(LPCWSTR path)
{
    CE_LOOKUP(RegRestoreFileProc, proc, "RegRestoreFile");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return proc(path);
}

/* CE exports the wide registry functions without the W suffix. */
LONG ceRegSaveKey(HKEY key, LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    CE_LOOKUP(RegSaveKeyProc, proc, "RegSaveKey");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return ERROR_NOT_SUPPORTED;
    }
    return proc(key, path, security);
}

LONG ceRegReplaceKey(HKEY key, LPCWSTR subKey, LPCWSTR newFile, LPCWSTR oldFile)
{
    CE_LOOKUP(RegReplaceKeyProc, proc, "RegReplaceKey");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return ERROR_NOT_SUPPORTED;
    }
    return proc(key, subKey, newFile, oldFile);
}

BOOL ceSetCurrentUser(LPWSTR userName, LPBYTE userData, DWORD cbUserData, BOOL createIfNew)
{
    CE_LOOKUP(SetCurrentUserProc, proc, "SetCurrentUser");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return proc(userName, userData, cbUserData, createIfNew);
}

BOOL ceGetUserDirectory(LPWSTR buffer, LPDWORD cchSize)
{
    CE_LOOKUP(GetUserDirectoryProc, proc, "GetUserDirectory");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return proc(buffer, cchSize);
}

BOOL ceSHGetSpecialFolderPath(HWND owner, LPWSTR path, int csidl, BOOL create)
{
    CE_LOOKUP(SHGetSpecialFolderPathProc, proc, "SHGetSpecialFolderPath");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return proc(owner, path, csidl, create);
}

BOOL ceKernelIoControl(DWORD ioControlCode, LPVOID inBuf, DWORD cbInBuf, LPVOID outBuf,
                       DWORD cbOutBuf, LPDWORD cbReturned)
{
    CE_LOOKUP(KernelIoControlProc, proc, "KernelIoControl");
    if (proc == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return proc(ioControlCode, inBuf, cbInBuf, outBuf, cbOutBuf, cbReturned);
}
