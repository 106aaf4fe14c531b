/*
 * sequence.cpp - the operation sequence: the save, copy-in, rewrite,
 * copy-out, restore and closing steps, in this order whatever the order of
 * the letters. Every step works on the work file W; the file argument F is
 * only ever the source or the target of a whole-file copy. No failure stops
 * the sequence or changes the exit code: the log tells.
 */
#include "app/driver.h"

RunReport g_report;

static int hasOption(const WCHAR *options, WCHAR letter)
{
    return wcschr(options, letter) != NULL;
}

/* Notes a step's outcome in the run's report, with the last error when it
 * failed. */
static void noteStep(int *step, DWORD *error, int done)
{
    *error = done ? 0 : GetLastError();
    *step = done ? STEP_DONE : STEP_FAILED;
}

/* 1. Save: the platform's RAM registry image, or the hive backup file
 * (with h, or when the platform cannot write an image). */
static void saveStep(const WCHAR *options, const WCHAR *work, int *kind)
{
    if (hasOption(options, 'h')) {
        noteStep(&g_report.save, &g_report.saveError, corvaneHv(work) == HV_DONE);
        return;
    }
    if (RegCopyFile(work)) {
        *kind = detectSig(work);
        g_report.kind = *kind;
        g_report.save = STEP_DONE;
        writeLog(TEXT("main, option s: RegCopyFile used"), EMPTY, 1);
    } else {
        /* The platform's reason is the one to tell: the fallback's own
         * failure follows from it or from a device without hives. */
        g_report.saveError = GetLastError();
        writeLog(TEXT("main, option s: RegCopyFile failed"), EMPTY, 1);
        g_report.save = corvaneHv(work) == HV_DONE ? STEP_DONE : STEP_FAILED;
    }
}

/* Takes the run lock (log/run.h) for a window in which the run reads or
 * replaces the file argument, into lock and its path. Returns 0, after a
 * log line that says why, when it cannot be had: the step then leaves the
 * file argument alone. */
static int lockFiles(HANDLE *lock, WCHAR *path)
{
    *lock = takeRunLock(path);
    if (*lock != INVALID_HANDLE_VALUE)
        return 1;
    if (GetLastError() == ERROR_SHARING_VIOLATION)
        writeLog(
            TEXT("main: another run held the lock for 30 s, this step leaves the file alone: "),
            path, 1);
    else
        writeLog(TEXT("main: could not take the lock, this step leaves the file alone: "), path, 1);
    return 0;
}

/* A whole-file copy from or to the file argument, under the run lock. */
static BOOL copyLocked(const WCHAR *from, const WCHAR *to)
{
    WCHAR lockPath[MAX_PATH];
    HANDLE lock;
    BOOL copied;
    DWORD error;

    if (!lockFiles(&lock, lockPath))
        return FALSE;
    copied = CopyFileW(from, to, FALSE);
    /* The copy's own error is what a failure reports, not the lock's. */
    error = GetLastError();
    dropRunLock(lock, lockPath);
    SetLastError(error);
    return copied;
}

/* 2. Copy-in: the file argument onto the work file. */
static void copyInStep(const WCHAR *file, const WCHAR *work, int *kind)
{
    int copied = copyLocked(file, work);

    noteStep(&g_report.copyIn, &g_report.copyInError, copied);
    if (copied) {
        *kind = detectSig(work);
        g_report.kind = *kind;
        writeLog(TEXT("main, option r, registry information copied to "), work, 1);
    } else {
        writeLog(TEXT("main, option r, could not copy registry information to "), work, 1);
        writeLog(TEXT("main, option r, could not copy registry information from "), file, 1);
    }
}

/* True when the work file holds a whole backup of either kind: a RAM
 * registry image that the device reads back whole (the image check's
 * verdict, the restore's own) or a hive backup file that passes its check.
 * Nothing else is ever put over the user's file: a save that failed may
 * leave an empty or cut short work file behind when its delete failed too,
 * and a rewrite may leave records that the device would not read back. When
 * it is not whole and why is not NULL, the image check's words go there
 * (LOG_PATH_CCH characters; empty for a hive backup file). */
static int wholeBackup(const WCHAR *work, WCHAR *why)
{
    ImageCheck image;
    HiveCheck hive;
    int problem = checkImageFile(work, &image);

    if (why != NULL)
        why[0] = 0;
    if (problem == IMAGE_NOT_RAM)
        return checkHiveFile(work, &hive) == HV_DONE;
    if (problem != IMAGE_WHOLE && why != NULL)
        imageProblemText(&image, why, LOG_PATH_CCH);
    return problem == IMAGE_WHOLE;
}

static int holdsBackup(const WCHAR *work)
{
    return wholeBackup(work, NULL);
}

/* True when a copy left beside the file argument is part of one: a RAM
 * registry image cut short (its header, its totalSize or its last record
 * past the end of the file), a hive backup file that fails its check, or a
 * file that cannot be read. A copy that is complete but not a whole backup
 * is not part of one: it stays. */
static int partialCopy(const WCHAR *path)
{
    ImageCheck image;
    HiveCheck hive;

    switch (checkImageFile(path, &image)) {
    case IMAGE_TOO_SHORT:
    case IMAGE_SIZE_FIELD:
    case IMAGE_RECORD_CUT:
    case IMAGE_UNREADABLE:
        return 1;
    case IMAGE_NOT_RAM:
        return checkHiveFile(path, &hive) != HV_DONE;
    default:
        return 0;
    }
}

/* The prefix of the copy that is written beside the file argument before it
 * takes its place. */
static const WCHAR kSiblingPrefix[] = TEXT("cpy");

/* Finds a copy that an earlier run left beside the file argument (the first
 * one, in the platform's order) and puts its path into found (MAX_PATH
 * characters). Returns 1 when there is one. */
static int findLeftCopy(const WCHAR *file, WCHAR *found)
{
    WCHAR pattern[MAX_PATH];
    WIN32_FIND_DATAW *data;
    HANDLE find;
    size_t cch, cut = 0, i;
    int there = 0;

    cch = wcslen(file);
    for (i = 0; i < cch; i++) {
        if (file[i] == '\\' || file[i] == '/')
            cut = i + 1;
    }
    if (cut + 9 > MAX_PATH - 1)
        return 0;
    for (i = 0; i < cut; i++)
        pattern[i] = file[i];
    pattern[cut] = 0;
    if (cut == 0)
        wcscpy(pattern, TEXT("\\"));
    wcscpy(found, pattern);
    wcscat(pattern, kSiblingPrefix);
    wcscat(pattern, TEXT("*.tmp"));
    data = (WIN32_FIND_DATAW *)LocalAlloc(LPTR, sizeof(WIN32_FIND_DATAW));
    if (data == NULL)
        return 0;
    find = FindFirstFileW(pattern, data);
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        data->cFileName[MAX_PATH - 1] = 0;
        if (wcslen(found) + wcslen(data->cFileName) < MAX_PATH) {
            wcscat(found, data->cFileName);
            there = 1;
        }
    }
    LocalFree(data);
    return there;
}

/* Deals with a copy that an earlier run left beside the file argument (the
 * first one found): a run stopped by a power cut while it wrote the copy
 * left part of one, which is removed ("...: removed a partial copy left by
 * an earlier run: " and its name); one stopped between removing the file and
 * renaming the whole copy to it left a whole backup, which is kept and named
 * in the log (text). A copy is never put over the file argument: the run
 * makes its own under another name. */
static void noteLeftCopy(const WCHAR *file, const WCHAR *text, const WCHAR *removedText)
{
    WCHAR found[MAX_PATH];

    if (!findLeftCopy(file, found))
        return;
    if (!partialCopy(found))
        writeLog(text, found, 1);
    else if (DeleteFileW(found))
        writeLog(removedText, found, 1);
}

/* 1 when the file argument is missing (and nothing else kept it from
 * opening). */
static int fileMissing(const WCHAR *file)
{
    FILE *there = _wfopen(file, TEXT("rb"));

    if (there != NULL) {
        fclose(there);
        return 0;
    }
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

/* A run stopped between removing the file argument and renaming its whole
 * new copy to it left no file argument, and that copy beside it. Before
 * anything else reads or writes the file argument, the copy takes its place
 * again (named in the log), so that the run finds the backup that the
 * earlier one meant to leave. A file argument that exists is never
 * replaced by such a copy. The look is made again under the run lock: a
 * live run's copy exists only while that run holds the lock, so the copy
 * found then is one that no live run is still using. */
static void recoverLeftCopy(const WCHAR *file)
{
    WCHAR found[MAX_PATH], lockPath[MAX_PATH];
    HANDLE lock;

    if (!fileMissing(file))
        return;
    if (!lockFiles(&lock, lockPath))
        return;
    if (fileMissing(file) && findLeftCopy(file, found) && holdsBackup(found) &&
        MoveFileW(found, file))
        writeLog(TEXT("main: the file was missing, the whole copy left by an earlier run takes its "
                      "place: "),
                 found, 1);
    dropRunLock(lock, lockPath);
}

/* Puts the work file's content at the file argument, never leaving the file
 * argument cut short: the copy is written beside it and takes its place
 * once whole (replaceFile). Only a whole backup is put there. Returns 1 when
 * the file argument now holds it. */
static int putBack(const WCHAR *file, const WCHAR *work, const WCHAR *announce,
                   const WCHAR *leftText, const WCHAR *removedText)
{
    WCHAR sibling[MAX_PATH], lockPath[MAX_PATH];
    HANDLE lock;
    int replaced;

    if (!holdsBackup(work))
        return 0;
    if (!lockFiles(&lock, lockPath))
        return 0;
    noteLeftCopy(file, leftText, removedText);
    replaced = replaceFile(work, file, kSiblingPrefix, announce, sibling);
    dropRunLock(lock, lockPath);
    return replaced == REPLACE_DONE;
}

/* Notes a rewrite's result in the run's report, with the last error when
 * it did not finish. Returns 1 when it did. */
static int noteRewrite(int *result, int value, int done)
{
    *result = value;
    if (value != done)
        g_report.rewriteError = GetLastError();
    return value == done;
}

/* 3. Rewrite: repair and/or reorder a RAM registry image. Alone (without s
 * or r) the step copies the file argument in and the result back out: only
 * when a rewrite was done, and only an image that the device reads back
 * whole (a line names what is wrong otherwise). A rewrite that refused
 * left the work file as the file argument is, and one that failed while
 * copying its new image over the work file may have left it cut short (the
 * device's copies overwrite in place): neither is put over the file
 * argument, and the work file is removed. */
static void rewriteStep(const WCHAR *options, const WCHAR *file, const WCHAR *work, int *kind)
{
    int alone = !hasOption(options, 's') && !hasOption(options, 'r');
    int rewritten = 0;
    WCHAR why[LOG_PATH_CCH];

    if (alone) {
        noteStep(&g_report.copyIn, &g_report.copyInError, copyLocked(file, work));
        if (g_report.copyIn == STEP_DONE) {
            writeLog(TEXT("main, option c|x, registry information copied to "), work, 1);
            *kind = detectSig(work);
            g_report.kind = *kind;
        }
    }
    if (*kind == KIND_RAM) {
        if (hasOption(options, 'c') && noteRewrite(&g_report.repair, repair(work), REPAIR_DONE))
            rewritten = 1;
        if (hasOption(options, 'x') && noteRewrite(&g_report.reorder, reorder(work), REORDER_DONE))
            rewritten = 1;
        if (alone && !rewritten) {
            DeleteFileW(work);
        } else if (alone &&
                   putBack(
                       file, work, TEXT("main, option c|x: replacing the file with "),
                       TEXT("main, option c|x: a copy left by an earlier run: "),
                       TEXT("main, option c|x: removed a partial copy left by an earlier run: "))) {
            writeLog(TEXT("main, option c|x, registry information copied to "), file, 1);
            DeleteFileW(work);
        } else if (alone && !wholeBackup(work, why)) {
            /* What the device would not read back never takes the file's
             * place (putBack refused it before it did anything). */
            writeLog(TEXT("main, option c|x: the rewritten image is not whole, the file is left as "
                          "it was: "),
                     why, 1);
            DeleteFileW(work);
        }
    } else {
        writeLog(TEXT("main, option c|x ignored, file sig not correct "), EMPTY, 1);
        if (alone)
            DeleteFileW(work);
    }
}

/* 4. Copy-out: the saved work file onto the file argument. A work file
 * that holds no whole backup is not copied, and logged as a failed copy; so
 * is a copy that could not take the file argument's place (the log then
 * names the whole copy beside it, when one stays). */
static void copyOutStep(const WCHAR *file, const WCHAR *work)
{
    if (putBack(file, work, TEXT("main, option s: replacing the file with "),
                TEXT("main, option s: a copy left by an earlier run: "),
                TEXT("main, option s: removed a partial copy left by an earlier run: "))) {
        writeLog(TEXT("main, option s, registry information copied to "), file, 1);
        DeleteFileW(work);
    } else {
        writeLog(TEXT("main, option s: could not copy registry information from "), work, 0);
        writeLog(TEXT(" to "), file, 1);
    }
}

/* The platform's restore, only of a whole RAM registry image. The device
 * throws away a restore image that does not read back and boots with its
 * default registry: handing it a damaged, cut short or foreign file would
 * silently reset every setting. Returns 1 when RegRestoreFile took the
 * file; otherwise 0, after the log line that says why. */
static int platformRestore(const WCHAR *work)
{
    ImageCheck check;
    WCHAR why[LOG_PATH_CCH];

    if (checkImageFile(work, &check) != IMAGE_WHOLE) {
        imageProblemText(&check, why, LOG_PATH_CCH);
        g_report.imageRefused = 1;
        wcscpy(g_report.imageWhy, why);
        writeLog(TEXT("main, option r: not a whole RAM registry image, RegRestoreFile not used: "),
                 why, 1);
        return 0;
    }
    noteStep(&g_report.platformRestore, &g_report.platformError, RegRestoreFile(work));
    if (g_report.platformRestore == STEP_DONE) {
        writeLog(TEXT("main, option r: RegRestoreFile used"), EMPTY, 1);
        return 1;
    }
    writeLog(TEXT("main, option r: RegRestoreFile failed"), EMPTY, 1);
    return 0;
}

/* The hive restore, its result and last error noted in the run's report. */
static int hiveRestore(const WCHAR *work)
{
    g_report.hiveResult = restRegHv(work);
    g_report.hiveError = g_report.hiveResult == 0 ? 0 : GetLastError();
    return g_report.hiveResult;
}

/* 5. Restore: the hive backup first (with h, or for a hive backup file),
 * else the platform's restore first; each is the other's fallback. */
static void restoreStep(const WCHAR *options, const WCHAR *work, int kind)
{
    int hiveFirst = hasOption(options, 'h');

    if (kind == KIND_HIVE && !hiveFirst)
        writeLog(TEXT("main, option h not set, hive backup detected"), EMPTY, 1);
    if (hiveFirst || kind == KIND_HIVE) {
        writeLog(TEXT("main, option r,h: try reading from hive backup"), EMPTY, 1);
        if (hiveRestore(work) == 0) {
            writeLog(TEXT("main, option r: restored from hive backup"), EMPTY, 1);
            DeleteFileW(work);
            return;
        }
        writeLog(TEXT("main, option r: reading from hive backup failed"), EMPTY, 1);
        writeLog(TEXT("main, option r: try RegRestoreFile"), EMPTY, 1);
        platformRestore(work);
        return;
    }
    if (platformRestore(work))
        return;
    writeLog(TEXT("main, option r: try reading from hive backup"), EMPTY, 1);
    if (hiveRestore(work) == 0) {
        writeLog(TEXT("main, option r: restored from hive backup"), EMPTY, 1);
        DeleteFileW(work);
    } else {
        writeLog(TEXT("main, option r: reading from hive backup failed"), EMPTY, 1);
    }
}

int runSequence(HINSTANCE instance, const WCHAR *options, const WCHAR *file, const WCHAR *work)
{
    int kind = KIND_NONE;
    g_report = RunReport(); /* all zero */
    g_report.repair = -1;
    g_report.reorder = -1;
    g_report.hiveResult = -1;
    if (hasOption(options, 's') || hasOption(options, 'r') || hasOption(options, 'c') ||
        hasOption(options, 'x'))
        recoverLeftCopy(file);
    if (hasOption(options, 's'))
        saveStep(options, work, &kind);
    if (hasOption(options, 'r'))
        copyInStep(file, work, &kind);
    if (hasOption(options, 'c') || hasOption(options, 'x'))
        rewriteStep(options, file, work, &kind);
    if (hasOption(options, 's')) {
        SetLastError(0);
        copyOutStep(file, work);
        g_report.copyOutError = GetLastError();
    }
    if (hasOption(options, 'r'))
        restoreStep(options, work, kind);

    /* 6. Closing. */
    if (hasOption(options, 'r') && !hasOption(options, 'd'))
        writeLog(TEXT("main, option r: no dialog (otion d) used - take care for soft-reset"), EMPTY,
                 1);
    if (hasOption(options, 'r') && hasOption(options, 'd'))
        return showRestartPrompt(instance);
    return EXIT_DONE;
}
