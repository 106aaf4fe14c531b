/*
 * driver.h - the chief header: start-up, the operation sequence, the restart
 * prompt, the refusals in words, and every operation they call, grouped by
 * the file that has it. The process entries (app/winmain.cpp, and the host
 * build's entry/hostmain.cpp) call corvaneMain.
 */
#ifndef CORVANE_DRIVER_H
#define CORVANE_DRIVER_H

#include "platform/platform.h"
#include "log/log.h"
#include "log/run.h"
#include "ramimage/ramimage.h"
#include "hive/hive.h"

/* The command line: an options word, one space, the file argument. A line
 * shorter than COMMAND_LINE_MIN_CCH runs nothing; the options word is read
 * for the letters of OPTION_LETTERS, and any other letter is ignored. */
#define COMMAND_LINE_MIN_CCH 3
#define OPTION_LETTERS "lfshrcxd"

/* Exit codes of a run. */
#define EXIT_NOTHING 0     /* short line, open prompt found, prompt closed or not set up */
#define EXIT_DONE 1        /* the sequence ran to its end */
#define EXIT_NO_TEMPDIR 2  /* the temporary folder was not obtained */
#define EXIT_NO_WORKFILE 3 /* the work file name was not obtained */

/* The prompt's window class, also the marker of a run whose prompt is open. */
#define RESTART_CLASS TEXT("regRestClass")

/* What became of each step of the last run, for a front end that tells
 * the person at the device how it went (the host build's terminal summary).
 * Filled by the sequence and the prompt; neither the log nor the exit code
 * depends on it. An error is GetLastError() where the step failed (0: the
 * platform gave none). */
#define STEP_NOT_RUN 0
#define STEP_DONE 1
#define STEP_FAILED 2

#define PROMPT_NOT_SHOWN 0
#define PROMPT_RESTART 1 /* the button: the device restarts */
#define PROMPT_CANCEL 2  /* cancelled: no restart */
#define PROMPT_CLOSED 3  /* closed: no restart */
#define PROMPT_FAILED 4  /* not set up, or the dialog failed: no restart */

typedef struct RunReport {
    int save; /* s: the registry into the work file */
    DWORD saveError;
    int copyIn; /* r (or c|x alone): the file argument onto the work file */
    DWORD copyInError;
    int kind;                     /* the work file's kind after the save or the copy-in (KIND_*) */
    int repair;                   /* c: repair's result, -1 when it did not run */
    int reorder;                  /* x: reorder's result, -1 when it did not run */
    DWORD rewriteError;           /* the last error after a rewrite that did not finish */
    DWORD copyOutError;           /* s: GetLastError() after the copy-out */
    int imageRefused;             /* r: the platform's restore was not handed the work file */
    WCHAR imageWhy[LOG_PATH_CCH]; /* and why, in the image check's words */
    int platformRestore;          /* r: RegRestoreFile's outcome (STEP_*) */
    DWORD platformError;
    int hiveResult; /* r: restRegHv's result, -1 when it was not tried */
    DWORD hiveError;
    int prompt; /* PROMPT_* */
} RunReport;

extern RunReport g_report;

/* app/results.cpp */

/* Why repair or reorder (rewriteRefusal) or restRegHv (hiveRefusal) refused
 * a file, in words for a person: "the file is cut short". NULL for a result
 * that is no refusal of the file: done, or a failure whose reason is the
 * platform's (its last error). */
const WCHAR *rewriteRefusal(int result);
const WCHAR *hiveRefusal(int result);

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
