/*
 * platform.h - the Windows CE services that Corvane uses, and nothing else.
 *
 * The system's code (app/, log/, ramimage/, hive/) reaches the device only
 * through the declarations below, by their CE names and signatures. A backend
 * provides them: platform/host/ simulates a CE device in a host folder;
 * platform/win32/ runs the same code on Windows (desktop under mingw-w64, or
 * a CE device through COREDLL).
 *
 * Text is UTF-16 throughout: WCHAR is the one 16-bit character type (wchar_t
 * on Windows, char16_t elsewhere) and TEXT() makes a literal of it. The C
 * library's string functions that the system uses (wcslen, wcschr, wcscpy,
 * wcscat) are declared here for WCHAR.
 *
 * Streams are the C library's FILE streams: _wfopen opens one by a device
 * path; fread, fwrite, fseek, ftell, feof, ferror, fclose, fflush and fprintf
 * are the standard ones from <stdio.h>. fwprintf takes a WCHAR format, and its
 * %s is a WCHAR string (Microsoft's reading of %s in the wide functions).
 *
 * On Windows the types, constants and most services come from <windows.h>;
 * this header adds what it lacks (the CE-only services) and routes the few
 * services whose desktop behaviour differs from the device's to the Windows
 * backend (platform/win32/win32.h says why for each one).
 */
#ifndef CORVANE_PLATFORM_H
#define CORVANE_PLATFORM_H

#include <stddef.h>
#if !defined(_WIN32_WCE)
#include <stdint.h>
#endif
#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)

/* ---- Windows: the SDK's own declarations -------------------------------- */

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wchar.h>

/* CE's compilers (Visual C++ 2005 and 2008) have no <stdint.h>: the SDK's
 * 64-bit types stand in for the two fixed-width types the code uses. */
#if defined(_WIN32_WCE)
typedef LONGLONG int64_t;
typedef ULONGLONG uint64_t;
#endif

typedef WCHAR CE_WCHAR_IS_WCHAR_T_[sizeof(WCHAR) == 2 ? 1 : -1];

/* Services the SDK's headers lack, or whose desktop versions are not the
 * device's. Each name below is routed to the backend's function of the same
 * name with the prefix "ce": the CE-only ones are looked up in coredll.dll
 * at run time and fail with ERROR_NOT_SUPPORTED where it is absent. */
#undef RegSaveKey
#undef RegReplaceKey
#undef SHGetSpecialFolderPath
#undef fwprintf
#define RegCopyFile ceRegCopyFile
#define RegRestoreFile ceRegRestoreFile
#define RegSaveKey ceRegSaveKey
#define RegReplaceKey ceRegReplaceKey
#define SetCurrentUser ceSetCurrentUser
#define GetUserDirectory ceGetUserDirectory
#define SHGetSpecialFolderPath ceSHGetSpecialFolderPath
#define KernelIoControl ceKernelIoControl
#define GetClassInfoW ceGetClassInfoW
#define FindWindowW ceFindWindowW
#define SetForegroundWindow ceSetForegroundWindow
#define fwprintf ceFwprintf

/* GetClassInfoW; the name "Dialog" also finds the platform's dialog class
 * where it has another name ("#32770" on desktop Windows). */
BOOL ceGetClassInfoW(HINSTANCE instance, LPCWSTR className, LPWNDCLASSW wndClass);
HWND ceFindWindowW(LPCWSTR className, LPCWSTR windowName);
/* SetForegroundWindow; a found window's handle with its lowest bit set (the
 * device's "and its owned windows") names that window. */
BOOL ceSetForegroundWindow(HWND window);

#else /* the host */

/* ---- Characters and basic types -------------------------------------- */

typedef char16_t WCHAR;
#define CE_TEXT_(s) u##s
#ifndef TEXT
#define TEXT(s) CE_TEXT_(s)
#endif

#ifndef CALLBACK
#define CALLBACK
#define WINAPI
#endif

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef WORD ATOM;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

typedef void *LPVOID;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

/* Handles are distinct pointer types, so that one cannot pass for another. */
#define CE_DECLARE_HANDLE(name) \
    struct name##__ {           \
        int unused;             \
    };                          \
    typedef struct name##__ *name
typedef void *HANDLE;
CE_DECLARE_HANDLE(HINSTANCE);
CE_DECLARE_HANDLE(HWND);
CE_DECLARE_HANDLE(HKEY);
CE_DECLARE_HANDLE(HICON);
CE_DECLARE_HANDLE(HBRUSH);
CE_DECLARE_HANDLE(HRSRC);
typedef HINSTANCE HMODULE;
typedef HICON HCURSOR;
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

/* ---- Last error -------------------------------------------------------- */

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

DWORD GetLastError(void);
void SetLastError(DWORD error);

/* ---- Strings ------------------------------------------------------------ */

/* The C library's wide-string functions, for WCHAR strings. */
size_t wcslen(const WCHAR *s);
WCHAR *wcschr(const WCHAR *s, WCHAR c);
WCHAR *wcscpy(WCHAR *dst, const WCHAR *src);
WCHAR *wcscat(WCHAR *dst, const WCHAR *src);

/* ---- Memory ------------------------------------------------------------- */

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

/* NULL on failure (last error ERROR_NOT_ENOUGH_MEMORY). */
HLOCAL LocalAlloc(UINT flags, size_t bytes);
/* NULL on success. */
HLOCAL LocalFree(HLOCAL mem);
/* malloc and free are the C library's (<stdlib.h>). */

/* ---- Files -------------------------------------------------------------- */

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

/* The CE layout: 560 bytes, with the object id and without an 8.3 name. */
typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;               /* object store id */
    WCHAR cFileName[MAX_PATH]; /* bare entry name, no folder part */
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

/* Number of characters written, without the terminator; the size needed,
 * with it, when the buffer is too small; 0 on failure. */
DWORD GetTempPathW(DWORD cchBuffer, LPWSTR buffer);
/* Makes a new empty file folder\PPPXXXX.tmp (PPP: up to three characters of
 * prefix, XXXX: a unique hexadecimal number) and returns that number; 0 when
 * the folder is missing or the name does not fit in MAX_PATH. */
UINT GetTempFileNameW(LPCWSTR folder, LPCWSTR prefix, UINT unique, LPWSTR tempFileName);
/* Whole-file copy; non-zero on success. With failIfExists FALSE an existing
 * target is overwritten in place, as on the device: it is emptied and
 * written from the start, so a copy that fails part way (or a power cut
 * during it) leaves the target holding only what was written, its old
 * content gone. There is no atomic replace. */
BOOL CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists);
/* Renames a file (or folder) within the device; non-zero on success. Fails
 * with ERROR_ALREADY_EXISTS when newFile exists (CE has no replacing move),
 * ERROR_FILE_NOT_FOUND when existingFile does not, ERROR_PATH_NOT_FOUND when
 * a folder of newFile is missing; on failure nothing is renamed. */
BOOL MoveFileW(LPCWSTR existingFile, LPCWSTR newFile);
BOOL DeleteFileW(LPCWSTR path);
/* '*' and '?' compared without regard to case, files and folders alike. */
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW findData);
BOOL FindClose(HANDLE find);

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* ---- Open files and waiting ---------------------------------------------- */

#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

/* Opens (or makes, by the disposition) a file; INVALID_HANDLE_VALUE on
 * failure. The share mode is honoured as on a CE file system: while the
 * handle is open, another open of the file whose access the share mode does
 * not allow, or whose own share mode does not allow the access the handle
 * has, fails with ERROR_SHARING_VIOLATION, in this process or another; so
 * do DeleteFileW and MoveFileW of the file, whatever the share mode. With
 * OPEN_ALWAYS or CREATE_ALWAYS the last error is ERROR_ALREADY_EXISTS when
 * the file was there. */
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
/* Closes a handle that CreateFileW gave; non-zero on success. The handles
 * of a process are closed when it ends, however it ends. */
BOOL CloseHandle(HANDLE object);
/* Waits milliseconds. */
void Sleep(DWORD milliseconds);

/* ---- Streams ------------------------------------------------------------ */

/* Modes "rb", "r+b", "w+b", "a" (and the other C modes); NULL on failure. */
FILE *_wfopen(const WCHAR *path, const WCHAR *mode);

/* ---- Registry and user ---------------------------------------------------- */

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000UL)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001UL)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002UL)

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

/* ---- Windows, dialogs and resources ------------------------------------ */

#define WM_CLOSE 0x0010
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111

#define IDOK 1
#define IDCANCEL 2

#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_CENTER 0x0800L
#define BS_PUSHBUTTON 0x00000000L
#define SS_LEFT 0x00000000L

#define LOWORD(l) ((WORD)((ULONG_PTR)(l)&0xffff))
#define HIWORD(l) ((WORD)(((ULONG_PTR)(l) >> 16) & 0xffff))

#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)((WORD)(i)))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
#define RT_VERSION MAKEINTRESOURCEW(16)

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct _WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW, *LPWNDCLASSW;

/* The standard (not extended) dialog template header; menu, class, caption,
 * font and the control items follow it as WORD-aligned variable fields. */
#pragma pack(push, 2)
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE;
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    short x;
    short y;
    short cx;
    short cy;
    WORD id;
} DLGITEMTEMPLATE;
#pragma pack(pop)
typedef const DLGTEMPLATE *LPCDLGTEMPLATEW;

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
BOOL SetForegroundWindow(HWND window);
BOOL GetClassInfoW(HINSTANCE instance, LPCWSTR className, LPWNDCLASSW wndClass);
/* A class atom; 0 on failure. */
ATOM RegisterClassW(const WNDCLASSW *wndClass);
HICON LoadIconW(HINSTANCE instance, LPCWSTR iconName);
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
/* Runs a modal dialog and returns what the dialog procedure gave EndDialog;
 * -1 when the dialog cannot be shown. */
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                DLGPROC dialogProc, LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);

#endif /* _WIN32 */

/* ---- Services of the device, declared once for every backend -------------
 * On Windows each name is routed (above) to the backend's function with the
 * prefix "ce"; on the host the simulated device provides them. */

/* Writes format to stream; %s takes a WCHAR string and %c a WCHAR (whatever
 * the C runtime's own reading), %d an int; the text reaches the file as
 * UTF-8. Returns the number of characters written, or a negative value on
 * failure. */
int fwprintf(FILE *stream, const WCHAR *format, ...);

/* RAM registry: writes the whole registry to path (which must not exist) as
 * a RAM registry image. Non-zero on success. */
BOOL RegCopyFile(LPCWSTR path);
/* RAM registry: the image at path replaces the registry at the next warm
 * boot. Non-zero on success. */
BOOL RegRestoreFile(LPCWSTR path);
/* Hive registry: writes the hive of root to path (must not exist).
 * ERROR_SUCCESS on success. */
LONG RegSaveKey(HKEY key, LPCWSTR path, LPSECURITY_ATTRIBUTES security);
/* Hive registry: newFile becomes the hive of key at the next boot.
 * ERROR_SUCCESS on success. */
LONG RegReplaceKey(HKEY key, LPCWSTR subKey, LPCWSTR newFile, LPCWSTR oldFile);
/* With a NULL user name: logs the current user off. */
BOOL SetCurrentUser(LPWSTR userName, LPBYTE userData, DWORD cbUserData, BOOL createIfNew);
/* The current user's profile folder, ending in a separator. *cchSize is the
 * capacity in characters. Non-zero on success. */
BOOL GetUserDirectory(LPWSTR buffer, LPDWORD cchSize);

#ifndef CSIDL_PROFILE
#define CSIDL_PROFILE 0x0028
#endif
/* The folder csidl names (CSIDL_PROFILE: the current user's profile). Non-zero
 * on success. */
BOOL SHGetSpecialFolderPath(HWND owner, LPWSTR path, int csidl, BOOL create);

#ifndef IOCTL_HAL_REBOOT
#define IOCTL_HAL_REBOOT 0x0101003C
#endif
/* IOCTL_HAL_REBOOT restarts the device (a soft reset). */
BOOL KernelIoControl(DWORD ioControlCode, LPVOID inBuf, DWORD cbInBuf, LPVOID outBuf,
                     DWORD cbOutBuf, LPDWORD cbReturned);

#endif /* CORVANE_PLATFORM_H */
