/*
 * run.cpp - the temporary folder and the temporary names of a run, the
 * run's state kept and put back, and the replacement of a file that must
 * never be left cut short.
 */
#include "log/log.h"
#include "log/run.h"

WCHAR g_tempDir[PATH_CCH];
BYTE g_runBlock[RUN_BLOCK_CB];

void keepRunState(RunState *state)
{
    wcscpy(state->tempDir, g_tempDir);
    state->logging = g_logging;
}

int pointRun(const WCHAR *tempDir, int logging)
{
    if (wcslen(tempDir) > PATH_CCH - 1)
        return 0;
    wcscpy(g_tempDir, tempDir);
    g_logging = logging;
    return 1;
}

void restoreRunState(const RunState *state)
{
    wcscpy(g_tempDir, state->tempDir);
    g_logging = state->logging;
}

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

/* True when the file at path is there (it opens for reading). */
static int siblingThere(const WCHAR *path)
{
    FILE *there = _wfopen(path, TEXT("rb"));

    if (there == NULL)
        return 0;
    fclose(there);
    return 1;
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
    /* The rename failed with target gone: a copy that makes target risks
     * nothing now (the whole copy stays beside it until the copy is done).
     * A file put at target since is another's: it is neither written over
     * nor removed. */
    if (CopyFileW(sibling, target, TRUE)) {
        DeleteFileW(sibling);
        return REPLACE_DONE;
    }
    /* Part of a copy is no file; but only this copy's target is removed:
     * not one that was there first, nor one that another put there from a
     * sibling gone since. */
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && siblingThere(sibling))
        DeleteFileW(target);
    return REPLACE_SIBLING;

untouched:
    DeleteFileW(sibling); /* a copy that failed part way is no copy */
    sibling[0] = 0;
    return REPLACE_UNTOUCHED;
}

HANDLE takeRunLock(WCHAR *path)
{
    HANDLE lock;
    DWORD waited = 0;

    path[0] = 0;
    if (wcslen(g_tempDir) + wcslen(RUN_LOCK_NAME) > MAX_PATH - 1) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    wcscpy(path, g_tempDir);
    wcscat(path, RUN_LOCK_NAME);
    for (;;) {
        lock = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (lock != INVALID_HANDLE_VALUE)
            return lock;
        if (GetLastError() != ERROR_SHARING_VIOLATION || waited >= RUN_LOCK_WAIT_MS)
            return INVALID_HANDLE_VALUE;
        Sleep(RUN_LOCK_RETRY_MS);
        waited += RUN_LOCK_RETRY_MS;
        SetLastError(ERROR_SHARING_VIOLATION);
    }
}

void dropRunLock(HANDLE lock, const WCHAR *path)
{
    CloseHandle(lock);
    /* Fails while another run holds it: the device deletes no open file. */
    DeleteFileW(path);
}
