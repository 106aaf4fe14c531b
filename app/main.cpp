/*
 * main.cpp - start-up: the command line, a run whose restart prompt is open,
 * the log, the temporary folder and the work file's name; then the operation
 * sequence.
 */
#include "app/driver.h"

int corvaneMain(HINSTANCE instance, WCHAR *commandLine)
{
    WCHAR work[PATH_CCH];
    const WCHAR *options;
    const WCHAR *file;
    WCHAR *space;
    HWND prompt;
    DWORD cchTemp;

    /* 1. Too short to hold an option, a space and a file. */
    if (commandLine == NULL || wcslen(commandLine) < COMMAND_LINE_MIN_CCH)
        return EXIT_NOTHING;

    /* 2. Another run shows its restart prompt: bring it to the front. */
    prompt = FindWindowW(RESTART_CLASS, NULL);
    if (prompt != NULL) {
        SetForegroundWindow((HWND)((UINT_PTR)prompt | 1));
        return EXIT_NOTHING;
    }

    /* 3. Split at the first space. A line without a space is all options
     * word, and its file argument is the empty string. */
    options = commandLine;
    space = wcschr(commandLine, ' ');
    if (space != NULL) {
        *space = 0;
        file = space + 1;
    } else {
        file = EMPTY;
    }

    /* 4. Logging. */
    if (wcschr(options, 'l') != NULL) {
        g_logging = -1;
        if (wcschr(options, 'f') != NULL)
            useFlashLog();
        writeLog(TEXT("\n\nCorvane Logfile"), EMPTY, 1);
        writeLog(TEXT("options: "), options, 1);
        writeLog(TEXT("file: "), file, 1);
        writeLog(TEXT("\n"), EMPTY, 0);
    }

    /* 5. The temporary folder. */
    cchTemp = GetTempPathW(PATH_CCH, g_tempDir);
    if (cchTemp == 0 || cchTemp > PATH_CCH) {
        g_tempDir[0] = 0;
        writeLog(TEXT("main: GetTempPath failed"), EMPTY, 1);
        return EXIT_NO_TEMPDIR;
    }

    /* 6. The work file's name; one too long for its buffer is a failure. */
    if (tempFileName(TEXT("NEW"), work) == 0) {
        writeLog(TEXT("main: GetTempFileName failed"), EMPTY, 1);
        return EXIT_NO_WORKFILE;
    }

    /* 7. Only the name serves: the first operation that writes the work
     * file creates it afresh. */
    DeleteFileW(work);

    return runSequence(instance, options, file, work);
}
