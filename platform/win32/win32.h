/*
 * win32.h - the Windows backend's own header: platform.h, with the services
 * that platform.h routes to this backend made to name the SDK's originals
 * again, so that the backend can call them.
 *
 * Most of platform.h's services are the SDK's own on Windows: files, temporary
 * names, find, streams, memory, windows, dialogs and resources are real Win32
 * calls that behave as the device's do (MoveFileW among them: without
 * MOVEFILE_REPLACE_EXISTING the desktop's does not replace an existing file
 * either, and fails with ERROR_ALREADY_EXISTS as CE's does; CreateFileW's
 * share modes, CloseHandle and Sleep are the same on both). This backend
 * supplies only these:
 *
 *   RegCopyFile, RegRestoreFile, RegSaveKey, RegReplaceKey, SetCurrentUser,
 *   GetUserDirectory, SHGetSpecialFolderPath, KernelIoControl
 *       CE's registry, user, profile and kernel services, looked up in
 *       coredll.dll at run time (coredll.cpp). Where it is absent (desktop
 *       Windows, wine) each fails as a device fails an unsupported call,
 *       ERROR_NOT_SUPPORTED, and the system's own fallbacks take over. The
 *       desktop's RegSaveKeyW and SHGetSpecialFolderPathW are not used: they
 *       would save the desktop's registry or name the desktop user's profile,
 *       not a CE device's.
 *   GetClassInfoW
 *       The platform's dialog class is "Dialog" on CE and "#32770" on
 *       desktop Windows (window.cpp).
 *   FindWindowW, SetForegroundWindow
 *       On CE the lowest bit of a handle passed to SetForegroundWindow asks
 *       for the window's owned windows too; a desktop handle with that bit
 *       set is another window or none (window.cpp).
 *   fwprintf
 *       Microsoft's runtime reads %s of the wide functions as a wide string,
 *       MinGW's C99 stdio as a narrow one (stream.cpp).
 */
#ifndef CORVANE_WIN32_H
#define CORVANE_WIN32_H

#include "platform/platform.h"

#undef RegCopyFile
#undef RegRestoreFile
#undef RegSaveKey
#undef RegReplaceKey
#undef SetCurrentUser
#undef GetUserDirectory
#undef SHGetSpecialFolderPath
#undef KernelIoControl
#undef GetClassInfoW
#undef FindWindowW
#undef SetForegroundWindow
#undef fwprintf

#endif
