/*
 * log.cpp - the log file: the logging switch, the log path, writeLog, and
 * the log in the flash folder.
 */
#include "log/log.h"

int g_logging = 0;
const WCHAR EMPTY[] = TEXT("");
WCHAR g_logPath[LOG_PATH_CCH] = TEXT("\\") LOG_NAME;

void writeLog(const WCHAR *text, const WCHAR *argument, int newline)
{
    FILE *log;
    DWORD error;

    if (g_logging == 0)
        return;
    if (g_logPath[0] == 0)
        return;
    /* The caller's last error outlives the entry: a step logs its failure
     * and then tells why from GetLastError(). */
    error = GetLastError();
    log = _wfopen(g_logPath, TEXT("a"));
    /* An entry whose file cannot be opened is skipped: there is nowhere to
     * report it, and writing through a failed handle would crash. */
    if (log != NULL) {
        fwprintf(log, TEXT("%s"), text ? text : EMPTY);
        fwprintf(log, TEXT("%s"), argument ? argument : EMPTY);
        if (newline)
            fwprintf(log, TEXT("\n"));
        fflush(log);
        fclose(log);
    }
    SetLastError(error);
}

int findFlashDir(WCHAR *nameOut)
{
    WIN32_FIND_DATAW *record;
    HANDLE find;
    int result = 2;

    record = (WIN32_FIND_DATAW *)LocalAlloc(LPTR, sizeof(WIN32_FIND_DATAW));
    if (record == NULL)
        return 1;
    find = FindFirstFileW(FLASH_PATTERN, record);
    if (find == INVALID_HANDLE_VALUE)
        goto done;
    FindClose(find);
    /* A found name can hold up to MAX_PATH - 1 characters, more than
     * nameOut takes: such a name counts as not found. */
    record->cFileName[MAX_PATH - 1] = 0;
    if (wcslen(record->cFileName) >= LOG_PATH_CCH)
        goto done;
    wcscpy(nameOut, record->cFileName);
    result = 0;
done:
    LocalFree(record);
    return result;
}

void useFlashLog(void)
{
    WCHAR name[LOG_PATH_CCH];

    name[0] = 0;
    if (findFlashDir(name) != 0)
        return;
    /* The name, a separator and LOG_NAME. */
    if (wcslen(name) + 1 + wcslen(LOG_NAME) > LOG_PATH_CCH - 1)
        return;
    wcscpy(g_logPath, name);
    wcscat(g_logPath, TEXT("\\"));
    wcscat(g_logPath, LOG_NAME);
}
