/*
 * log.h - the optional log file.
 *
 * Logging is off until start-up sets the switch. Every entry is a text, an
 * argument (a path, the options word, or the empty string) and an optional
 * line break; the file is opened, appended, flushed and closed in each call.
 */
#ifndef CORVANE_LOG_H
#define CORVANE_LOG_H

#include "platform/platform.h"

#define LOG_PATH_CCH 256 /* 255 characters and the terminator */

/* Where the log is: LOG_NAME in the root, or in the flash folder, the first
 * root entry that matches FLASH_PATTERN (useFlashLog). */
#define LOG_NAME TEXT("Corvane.log")
#define FLASH_PATTERN TEXT("*Flash*")

extern int g_logging;                 /* 0 off; any other value on */
extern const WCHAR EMPTY[];           /* "", the argument of an entry that has none */
extern WCHAR g_logPath[LOG_PATH_CCH]; /* default "\Corvane.log" */

/* Appends text, then argument, then (newline != 0) a line break to the log
 * file. Does nothing while logging is off or the log path is empty; an entry
 * whose file cannot be opened is skipped. */
void writeLog(const WCHAR *text, const WCHAR *argument, int newline);

/* Fills nameOut (LOG_PATH_CCH characters) with the bare name of the first
 * root entry matching FLASH_PATTERN. Returns 0 when found, 2 when nothing
 * matches (nameOut untouched), 1 when its scratch memory cannot be had. */
int findFlashDir(WCHAR *nameOut);

/* Puts the log into the flash folder: the first root entry matching
 * FLASH_PATTERN, followed by "\Corvane.log". Without such an entry, or when
 * the two do not fit into the log path, the log stays where it is. */
void useFlashLog(void);

#endif
