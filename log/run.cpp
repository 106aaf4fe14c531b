/*
 * run.cpp - the temporary folder and the temporary names of a run.
 */
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
