/*
 * run.cpp - the temporary folder and the temporary names of a run, and the
 * replacement of a file that must never be left cut short.
 */
#include "log/log.h"
#include "log/run.h"

WCHAR g_tempDir[PATH_CCH];

UINT tempFileName(const WCHAR *prefix, WCHAR *name)
{
    WCHAR made[MAX_PATH];
    UINT unique;

    unique = GetTempFileNameW(g_tempDir, prefix, 0, made);
    if (unique == 0)
        return 0;
    made[MAX_PATH - 1] = 0;
    if (wcslen(made) > PATH_CCH - 1) {
        DeleteFileW(made);
        return 0;
    }
    wcscpy(name, made);
    return unique;
}

int replaceFile(const WCHAR *source, const WCHAR *target, const WCHAR *prefix,
                const WCHAR *announce, WCHAR *sibling)
{
    WCHAR folder[MAX_PATH];
    size_t cch, cut = 0, i;
    DWORD error;

    sibling[0] = 0;
    cch = wcslen(target);
    if (cch >= MAX_PATH)
        return REPLACE_UNTOUCHED;
    /* The folder of target, its separator included; a bare name is in the
     * root, as every path without a folder is on the device. */
    for (i = 0; i < cch; i++) {
        if (target[i] == '\\' || target[i] == '/')
            cut = i + 1;
    }
    if (cut == 0) {
        folder[0] = '\\';
        folder[1] = 0;
    } else {
        for (i = 0; i < cut; i++)
            folder[i] = target[i];
        folder[cut] = 0;
    }
    if (GetTempFileNameW(folder, prefix, 0, sibling) == 0) {
        sibling[0] = 0;
        return REPLACE_UNTOUCHED;
    }
    sibling[MAX_PATH - 1] = 0;
    if (!CopyFileW(source, sibling, FALSE))
        goto untouched;
    if (announce != NULL)
        writeLog(announce, sibling, 1);
    if (!DeleteFileW(target)) {
        error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            goto untouched;
    }
    if (MoveFileW(sibling, target))
        return REPLACE_DONE;
    /* The rename failed with target gone: a plain copy risks nothing now
     * (the whole copy stays beside it until the copy is done). */
    if (CopyFileW(sibling, target, FALSE)) {
        DeleteFileW(sibling);
        return REPLACE_DONE;
    }
    DeleteFileW(target); /* part of a copy is no file */
    return REPLACE_SIBLING;

untouched:
    DeleteFileW(sibling); /* a copy that failed part way is no copy */
    sibling[0] = 0;
    return REPLACE_UNTOUCHED;
}
