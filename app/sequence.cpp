/*
 * sequence.cpp - the operation sequence: the save, copy-in, rewrite,
 * copy-out, restore and closing steps, in this order whatever the order of
 * the letters. Every step works on the work file W; the file argument F is
 * only ever the source or the target of a whole-file copy. No failure stops
 * the sequence or changes the exit code: the log tells.
 */
#include "app/driver.h"

static int hasOption(const WCHAR *options, WCHAR letter)
{
    return wcschr(options, letter) != NULL;
}

/* 1. Save: the platform's RAM registry image, or the hive backup file
 * (with h, or when the platform cannot write an image). */
static void saveStep(const WCHAR *options, const WCHAR *work, int *kind)
{
    if (hasOption(options, 'h')) {
        corvaneHv(work);
        return;
    }
    if (RegCopyFile(work)) {
        *kind = detectSig(work);
        writeLog(TEXT("main, option s: RegCopyFile used"), EMPTY, 1);
    } else {
        writeLog(TEXT("main, option s: RegCopyFile failed"), EMPTY, 1);
        corvaneHv(work);
    }
}

/* 2. Copy-in: the file argument onto the work file. */
static void copyInStep(const WCHAR *file, const WCHAR *work, int *kind)
{
    if (CopyFileW(file, work, FALSE)) {
        *kind = detectSig(work);
        writeLog(TEXT("main, option r, registry information copied to "), work, 1);
    } else {
        writeLog(TEXT("main, option r, could not copy registry information to "), work, 1);
    }
}

/* 3. Rewrite: repair and/or reorder a RAM registry image. Alone (without s
 * or r) the step copies the file argument in and the result back out. */
static void rewriteStep(const WCHAR *options, const WCHAR *file, const WCHAR *work, int *kind)
{
    int alone = !hasOption(options, 's') && !hasOption(options, 'r');

    if (alone && CopyFileW(file, work, FALSE)) {
        writeLog(TEXT("main, option c|x, registry information copied to "), work, 1);
        *kind = detectSig(work);
    }
    if (*kind == KIND_RAM) {
        if (hasOption(options, 'c'))
            repair(work);
        if (hasOption(options, 'x'))
            reorder(work);
        if (alone && CopyFileW(work, file, FALSE)) {
            writeLog(TEXT("main, option c|x, registry information copied to "), file, 1);
            DeleteFileW(work);
        }
    } else {
        writeLog(TEXT("main, option c|x ignored, file sig not correct "), EMPTY, 1);
        if (alone)
            DeleteFileW(work);
    }
}

/* True when the work file holds a whole backup of either kind: a RAM
 * registry image as the platform writes it (its header whole, totalSize its
 * length and its last record within it) or a hive backup file that passes
 * its check. A save that failed may leave an empty or cut short work file
 * behind when its delete failed too; the copy-out must never put such a
 * file over the user's previous backup. A record that is merely
 * inconsistent does not stop the copy-out: the platform's image is saved as
 * it was written. */
static int holdsBackup(const WCHAR *work)
{
    ImageCheck image;
    HiveCheck hive;

    switch (checkImageFile(work, &image)) {
    case IMAGE_TOO_SHORT:
    case IMAGE_SIZE_FIELD:
    case IMAGE_RECORD_CUT:
    case IMAGE_UNREADABLE:
        return 0;
    case IMAGE_NOT_RAM:
        return checkHiveFile(work, &hive) == HV_DONE;
    default:
        return 1;
    }
}

/* 4. Copy-out: the saved work file onto the file argument. A work file
 * that holds no whole backup is not copied, and logged as a failed copy. */
static void copyOutStep(const WCHAR *file, const WCHAR *work)
{
    if (holdsBackup(work) && CopyFileW(work, file, FALSE)) {
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
        writeLog(TEXT("main, option r: not a whole RAM registry image, RegRestoreFile not used: "), why, 1);
        return 0;
    }
    if (RegRestoreFile(work)) {
        writeLog(TEXT("main, option r: RegRestoreFile used"), EMPTY, 1);
        return 1;
    }
    writeLog(TEXT("main, option r: RegRestoreFile failed"), EMPTY, 1);
    return 0;
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
        if (restRegHv(work) == 0) {
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
    if (restRegHv(work) == 0) {
        writeLog(TEXT("main, option r: restored from hive backup"), EMPTY, 1);
        DeleteFileW(work);
    } else {
        writeLog(TEXT("main, option r: reading from hive backup failed"), EMPTY, 1);
    }
}

int runSequence(HINSTANCE instance, const WCHAR *options, const WCHAR *file, const WCHAR *work)
{
    int kind = KIND_NONE;

    if (hasOption(options, 's'))
        saveStep(options, work, &kind);
    if (hasOption(options, 'r'))
        copyInStep(file, work, &kind);
    if (hasOption(options, 'c') || hasOption(options, 'x'))
        rewriteStep(options, file, work, &kind);
    if (hasOption(options, 's'))
        copyOutStep(file, work);
    if (hasOption(options, 'r'))
        restoreStep(options, work, kind);

    /* 6. Closing. */
    if (hasOption(options, 'r') && !hasOption(options, 'd'))
        writeLog(TEXT("main, option r: no dialog (otion d) used - take care for soft-reset"), EMPTY, 1);
    if (hasOption(options, 'r') && hasOption(options, 'd'))
        return showRestartPrompt(instance);
    return EXIT_DONE;
}
