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

/* Results of replaceFile. */
#define REPLACE_DONE 0      /* target now holds a whole copy of source */
#define REPLACE_UNTOUCHED 1 /* target is as it was, and nothing is left beside it */
#define REPLACE_SIBLING 2   /* target is gone; its new content is whole in sibling */

/* Replaces target with a copy of source without ever leaving target cut
 * short. The device's CopyFileW overwrites in place and it has no replacing
 * move, so the copy is written beside target first, under a name that
 * GetTempFileNameW makes in target's folder with prefix; once it is whole,
 * target is deleted and the copy renamed to it (MoveFileW; should the
 * rename fail, copied to it, the whole copy staying until then). Unless announce
 * is NULL, it is logged with the copy's name right before target is
 * deleted, so that a power cut between the delete and the rename leaves a
 * log that names the whole copy. sibling receives the copy's name (MAX_PATH
 * characters; empty when none was made). A target that cannot be deleted
 * (read-only, in use) stays as it was. */
int replaceFile(const WCHAR *source, const WCHAR *target, const WCHAR *prefix,
                const WCHAR *announce, WCHAR *sibling);

#endif
