/*
 * winmain.cpp - the process entry of the Windows and CE builds: hands the
 * program's instance and its arguments, as one command line, to the
 * system's entry.
 *
 * On desktop Windows the arguments are taken as the C runtime splits them
 * (quotes removed) and joined with single spaces, as the host build joins
 * its arguments: corvane.exe ls "C:\My Documents\b.reg" and
 * corvane.exe "ls C:\My Documents\b.reg" are the same run. (On CE the line
 * that WinMain receives holds the arguments alone and is used as it is.)
 */
#include "app/driver.h"

#include <stdlib.h>

#if defined(_WIN32_WCE)

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR line, int show)
{
    WCHAR *commandLine;
    int exitCode;

    (void)previous;
    (void)show;
    /* corvaneMain writes into its command line: it gets a copy of its own. */
    commandLine = (WCHAR *)LocalAlloc(LPTR, (wcslen(line) + 1) * sizeof(WCHAR));
    if (commandLine == NULL)
        return EXIT_NOTHING;
    wcscpy(commandLine, line);
    exitCode = corvaneMain(instance, commandLine);
    LocalFree(commandLine);
    return exitCode;
}

#else

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR line, int show)
{
    WCHAR *commandLine;
    size_t cchLine = 1;
    int exitCode;
    int i;

    (void)previous;
    (void)line;
    (void)show;
    for (i = 1; i < __argc; ++i)
        cchLine += wcslen(__wargv[i]) + 1;
    /* corvaneMain writes into its command line: it gets a copy of its own. */
    commandLine = (WCHAR *)LocalAlloc(LPTR, cchLine * sizeof(WCHAR));
    if (commandLine == NULL)
        return EXIT_NOTHING;
    for (i = 1; i < __argc; ++i) {
        if (i > 1)
            wcscat(commandLine, TEXT(" "));
        wcscat(commandLine, __wargv[i]);
    }
    exitCode = corvaneMain(instance, commandLine);
    LocalFree(commandLine);
    return exitCode;
}

#endif
