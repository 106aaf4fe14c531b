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

/* The run's one block of memory for moving file bytes: the hive operations
 * copy through it, and a rewrite of a RAM image (repair, reorder) keeps its
 * input window and its output run in it. It is static, not on the stack (a
 * device thread's stack is 64 KiB by default), and there is one: 128 KiB is
 * a small share of a device's free RAM, where one for each would be twice
 * that. A run does one operation at a time, and none of them calls another
 * while it holds the block. */
#define RUN_BLOCK_CB 131072
extern BYTE g_runBlock[RUN_BLOCK_CB];

/* The run's process-wide state as start-up leaves it: the temporary folder
 * and the logging switch (log.h). A program that runs the system's
 * operations in-process on a device of its own keeps the state it found,
 * points the run at that device's temporary folder, and puts the state back
 * when it is done. */
typedef struct RunState {
    WCHAR tempDir[PATH_CCH];
    int logging;
} RunState;

/* Copies the temporary folder and the logging switch into state. */
void keepRunState(RunState *state);
/* Makes tempDir (with its closing separator) the temporary folder and
 * logging the logging switch. Returns 1, or 0 with nothing changed when
 * tempDir does not fit (PATH_CCH - 1 characters at the most). */
int pointRun(const WCHAR *tempDir, int logging);
/* Puts back what keepRunState copied. */
void restoreRunState(const RunState *state);

/* Asks GetTempFileNameW for a new empty file in the temporary folder with
 * the given three-letter prefix, and puts its name into name (PATH_CCH
 * characters). The platform may make a name of up to MAX_PATH - 1
 * characters; one that does not fit into name counts as no name, and its
 * file is deleted again. Returns GetTempFileNameW's result, or 0. */
UINT tempFileName(const WCHAR *prefix, WCHAR *name);

/* Results of replaceFile. */
#define REPLACE_DONE 0      /* target now holds a whole copy of source */
#define REPLACE_UNTOUCHED 1 /* target is as it was, and nothing is left beside it */
#define REPLACE_SIBLING 2 /* target is not the copy (gone, or another's since); sibling is whole */

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
 * (read-only, in use) stays as it was. A file that stands at target after
 * the delete is never written over or removed: the copy's rename or the
 * copy in its place finds it, and target is then left to it and the whole
 * copy beside it (REPLACE_SIBLING). */
int replaceFile(const WCHAR *source, const WCHAR *target, const WCHAR *prefix,
                const WCHAR *announce, WCHAR *sibling);

/* The lock of the files that runs replace. Two runs at once on one file
 * must not meet inside a replace: one would take the other's new copy
 * beside the file for a copy left by an earlier run, or delete the file the
 * other has just put in place. A run holds the lock while it reads or
 * replaces a file argument (from the look for copies left beside it to the
 * rename of its own), and only then.
 *
 * It is an exclusive open (share mode 0) of RUN_LOCK_NAME in the temporary
 * folder, one for the whole device: the copies beside a file are found by
 * their prefix in its folder, whatever file they belong to, so two runs on
 * two files of one folder must be kept apart too; the temporary folder is
 * there and writable whenever a run can run at all (its work file is made
 * there), where a file argument's folder may be read-only for a restore;
 * and the name fits wherever the work file's does. The device's own rules
 * keep it sound: a handle is closed when its process ends, however it ends,
 * so a dead run holds nothing, and an open file is not deleted, so the file
 * that a waiting run will open is never removed under the run that holds
 * it. */
#define RUN_LOCK_NAME TEXT("corvane.lck")
#define RUN_LOCK_WAIT_MS 30000 /* how long a run waits for another's lock */
#define RUN_LOCK_RETRY_MS 20   /* and how often it tries again */

/* Takes the lock: its path (the temporary folder, then RUN_LOCK_NAME) into
 * path (MAX_PATH characters), then the open, tried again while another run
 * holds the lock (ERROR_SHARING_VIOLATION), for up to RUN_LOCK_WAIT_MS.
 * Returns the lock's handle, or INVALID_HANDLE_VALUE with the last error
 * set: ERROR_SHARING_VIOLATION when another run kept it all that time. */
HANDLE takeRunLock(WCHAR *path);
/* Lets go of the lock that takeRunLock gave for path; its file is removed
 * unless another run holds it by now. */
void dropRunLock(HANDLE lock, const WCHAR *path);

#endif
