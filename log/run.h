/*
 * run.h - what every operation of a run stands on, below the formats: the
 * size of the path buffers, the temporary folder that start-up fills once,
 * and the temporary names made in it.
 *
 * It lives beside the log because both are the run's process-wide state,
 * set by start-up and only read afterwards, and both sit right above the
 * platform: app/, ramimage/ and hive/ all use them, and none of them needs
 * the driver for it.
 */
#ifndef CORVANE_RUN_H
#define CORVANE_RUN_H

#include "platform/platform.h"

#define PATH_CCH 256 /* path buffers: 255 characters and the terminator */

/* The temporary folder, as GetTempPathW gave it to start-up. */
extern WCHAR g_tempDir[PATH_CCH];

/* Asks GetTempFileNameW for a new empty file in the temporary folder with
 * the given three-letter prefix, and puts its name into name (PATH_CCH
 * characters). The platform may make a name of up to MAX_PATH - 1
 * characters; one that does not fit into name counts as no name, and its
 * file is deleted again. Returns GetTempFileNameW's result, or 0. */
UINT tempFileName(const WCHAR *prefix, WCHAR *name);

#endif
