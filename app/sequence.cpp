/*
 * sequence.cpp - the operation sequence: the save, copy-in, rewrite,
 * copy-out, restore and closing steps, in this order whatever the order of
 * the letters. Every step works on the work file W; the file argument F is
 * only ever the source or the target of a whole-file copy. No failure stops
 * the sequence or changes the exit code: the log tells.
 */
#include "app/driver.h"

static const WCHAR kEmpty[] = TEXT("");

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
        writeLog(TEXT("main, option s: RegCopyFile used"), kEmpty, 1);
    } else {
        writeLog(TEXT("main, option s: RegCopyFile failed"), kEmpty, 1);
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
        writeLog(TEXT("main, option c|x ignored, file sig not correct "), kEmpty, 1);
        if (alone)
            DeleteFileW(work);
    }
}

static DWORD getLe32(const BYTE *field)
{
    return (DWORD)field[0] | ((DWORD)field[1] << 8) | ((DWORD)field[2] << 16) | ((DWORD)field[3] << 24);
}

/* True when the work file holds a whole backup of either kind: a RAM
 * registry image whose totalSize is its length, or a hive backup file whose
 * two images lie within it. A save that failed may leave an empty or cut
 * short work file behind when its delete failed too; the copy-out must
 * never put such a file over the user's previous backup. */
static int holdsBackup(const WCHAR *work)
{
    FILE *file;
    BYTE head[12];
    long cbFile;
    LONG cbSystem, cbUser;
    int whole = 0;

    file = _wfopen(work, TEXT("rb"));
    if (file == NULL)
        return 0;
    if (fseek(file, 0, SEEK_END) != 0 || (cbFile = ftell(file)) < 8 || fseek(file, 0, SEEK_SET) != 0 ||
        fread(head, 1, 8, file) != 8)
        goto done;
    if (getLe32(head) == RAM_REG_SIG) {
        whole = getLe32(head + 4) == (DWORD)cbFile;
        goto done;
    }
    if (getLe32(head) != HIVE_REG_SIG)
        goto done;
    cbSystem = (LONG)getLe32(head + 4);
    if (cbSystem < 0 || 12 + (long long)cbSystem > (long long)cbFile ||
        fseek(file, 8 + cbSystem, SEEK_SET) != 0 || fread(head + 8, 1, 4, file) != 4)
        goto done;
    cbUser = (LONG)getLe32(head + 8);
    whole = cbUser >= 0 && 12 + (long long)cbSystem + (long long)cbUser <= (long long)cbFile;
done:
    fclose(file);
    return whole;
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

/* 5. Restore: the hive backup first (with h, or for a hive backup file),
 * else the platform's restore first; each is the other's fallback. */
static void restoreStep(const WCHAR *options, const WCHAR *work, int kind)
{
    int hiveFirst = hasOption(options, 'h');

    if (kind == KIND_HIVE && !hiveFirst)
        writeLog(TEXT("main, option h not set, hive backup detected"), kEmpty, 1);
    if (hiveFirst || kind == KIND_HIVE) {
        writeLog(TEXT("main, option r,h: try reading from hive backup"), kEmpty, 1);
        if (restRegHv(work) == 0) {
            writeLog(TEXT("main, option r: restored from hive backup"), kEmpty, 1);
            DeleteFileW(work);
            return;
        }
        writeLog(TEXT("main, option r: reading from hive backup failed"), kEmpty, 1);
        writeLog(TEXT("main, option r: try RegRestoreFile"), kEmpty, 1);
        if (RegRestoreFile(work))
            writeLog(TEXT("main, option r: RegRestoreFile used"), kEmpty, 1);
        else
            writeLog(TEXT("main, option r: RegRestoreFile failed"), kEmpty, 1);
        return;
    }
    if (RegRestoreFile(work)) {
        writeLog(TEXT("main, option r: RegRestoreFile used"), kEmpty, 1);
        return;
    }
    writeLog(TEXT("main, option r: RegRestoreFile failed"), kEmpty, 1);
    writeLog(TEXT("main, option r: try reading from hive backup"), kEmpty, 1);
    if (restRegHv(work) == 0) {
        writeLog(TEXT("main, option r: restored from hive backup"), kEmpty, 1);
        DeleteFileW(work);
    } else {
        writeLog(TEXT("main, option r: reading from hive backup failed"), kEmpty, 1);
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
        writeLog(TEXT("main, option r: no dialog (otion d) used - take care for soft-reset"), kEmpty, 1);
    if (hasOption(options, 'r') && hasOption(options, 'd'))
        return showRestartPrompt(instance);
    return EXIT_DONE;
}
