/*
 * driver.h - the chief header: start-up, the operation sequence, the restart
 * prompt, and every operation they call, grouped by the file that has it.
 */
#ifndef CORVANE_DRIVER_H
#define CORVANE_DRIVER_H

#include "platform/platform.h"
#include "log/log.h"
#include "log/run.h"
#include "ramimage/ramimage.h"
#include "hive/hive.h"

/* Exit codes of a run. */
#define EXIT_NOTHING 0     /* short line, open prompt found, prompt closed or not set up */
#define EXIT_DONE 1        /* the sequence ran to its end */
#define EXIT_NO_TEMPDIR 2  /* the temporary folder was not obtained */
#define EXIT_NO_WORKFILE 3 /* the work file name was not obtained */

/* The prompt's window class, also the marker of a run whose prompt is open. */
#define RESTART_CLASS TEXT("regRestClass")

/* app/main.cpp */

/* The program's entry: instance handle and command line (options word, one
 * space, file argument). The command line is modified in place (the first
 * space becomes a terminator). Returns the exit code. */
int corvaneMain(HINSTANCE instance, WCHAR *commandLine);

/* app/sequence.cpp */

/* Runs save, copy-in, rewrite, copy-out, restore and closing steps for the
 * given options word, file argument and work file path. Returns the exit
 * code: 1, or the restart prompt's result with options r and d. */
int runSequence(HINSTANCE instance, const WCHAR *options, const WCHAR *file, const WCHAR *work);

/* app/prompt.cpp */

/* Registers regRestClass and runs the restart prompt. Returns the exit code:
 * 0 (not set up, or closed), 1 (button or cancel), or the dialog's failure
 * value. */
int showRestartPrompt(HINSTANCE instance);
INT_PTR CALLBACK restartDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
