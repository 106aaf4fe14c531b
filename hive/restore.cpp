/*
 * restore.cpp - restRegHv, the hive restore: the hive backup file is checked
 * and unpacked into two temporary files (unpackHives), the user is logged
 * off, the user hive file user.hv in the profile folder is replaced, and the
 * system hive is handed to the platform for the next boot.
 */
#include "hive/hive.h"
#include "log/bytes.h"
#include "log/log.h"
#include "log/run.h"

static const WCHAR USER_HIVE_NAME[] = TEXT("user.hv");

/* Reads the 4-byte little-endian field at offset. Returns HV_DONE; HV_DAMAGED
 * when the file ends before the field does; HV_IO_FAILED when the seek or
 * the read fails. */
static int readField(FILE *file, int64_t offset, LONG *value)
{
    BYTE field[4];

    if (fseek(file, (long)offset, SEEK_SET) != 0)
        return HV_IO_FAILED;
    if (fread(field, 1, 4, file) != 4)
        return ferror(file) ? HV_IO_FAILED : HV_DAMAGED;
    *value = (LONG)getLe32(field);
    return HV_DONE;
}

int appendUserHive(WCHAR *buffer)
{
    size_t cch = 0;
    size_t i;

    while (cch < USER_HIVE_CCH && buffer[cch] != 0)
        cch++;
    if (cch == USER_HIVE_CCH) {
        buffer[USER_HIVE_CCH - 1] = 0; /* keep it printable for the log */
        return 0;
    }
    if (cch + (sizeof(USER_HIVE_NAME) / sizeof(WCHAR) - 1) > USER_HIVE_CCH - 1)
        return 0;
    for (i = 0; USER_HIVE_NAME[i] != 0; i++)
        buffer[cch + i] = USER_HIVE_NAME[i];
    buffer[cch + i] = 0;
    return 1;
}

/* Copies n bytes from the backup's current position into out, reading whole
 * blocks of HIVE_COPY_CB (the bytes read beyond the image are dropped).
 * Returns HV_DONE when n bytes were written; HV_IO_FAILED, logged, when the
 * backup ended early, a read failed or a write fell short. */
static int boundedCopy(FILE *backup, const WCHAR *path, FILE *out, const WCHAR *outPath, LONG n,
                       BYTE *buffer)
{
    int64_t cbRead = 0; /* read so far, which may run past n */
    size_t cbBlock;
    size_t cbWrite;

    while (!feof(backup) && cbRead < (int64_t)n) {
        cbBlock = fread(buffer, 1, HIVE_COPY_CB, backup);
        cbWrite = cbBlock;
        if (cbRead + (int64_t)cbBlock > (int64_t)n)
            cbWrite = (size_t)((int64_t)n - cbRead);
        if (cbWrite > 0 && fwrite(buffer, 1, cbWrite, out) != cbWrite) {
            writeLog(TEXT("restRegHv: could not write "), outPath, 1);
            return HV_IO_FAILED;
        }
        cbRead += (int64_t)cbBlock;
        /* A short block without the end of the file is a read error, which
         * never reaches the end: stop here. (The stream's error state is
         * not asked: it stays set after an error in the bytes read past the
         * system hive image, which are never used.) */
        if (cbBlock < HIVE_COPY_CB && !feof(backup))
            break;
    }
    if (cbRead < (int64_t)n) {
        writeLog(TEXT("restRegHv: could not read "), path, 1);
        return HV_IO_FAILED;
    }
    return HV_DONE;
}

/* Extracts n bytes from the backup's current position into a new file at
 * outPath. openText is the log text of a failed open. Returns HV_DONE,
 * HV_NO_OPEN (nothing made) or HV_IO_FAILED (outPath removed). */
static int extractOne(FILE *backup, const WCHAR *path, const WCHAR *outPath, LONG n,
                      const WCHAR *openText, BYTE *buffer)
{
    FILE *out;
    int result;

    out = _wfopen(outPath, TEXT("w+b"));
    if (out == NULL) {
        writeLog(openText, outPath, 1);
        return HV_NO_OPEN;
    }
    writeLog(TEXT("restRegHv: file opened:"), outPath, 1);
    result = boundedCopy(backup, path, out, outPath, n, buffer);
    /* A short extracted hive must never be installed: the last bytes reach
     * the disk only when the file is closed. */
    if (fclose(out) != 0 && result == HV_DONE) {
        writeLog(TEXT("restRegHv: could not write "), outPath, 1);
        result = HV_IO_FAILED;
    }
    if (result != HV_DONE)
        DeleteFileW(outPath);
    return result;
}

int unpackHives(const WCHAR *path, const WCHAR *systemOut, const WCHAR *userOut)
{
    FILE *backup;
    BYTE buffer[HIVE_COPY_CB];
    BYTE field[4] = {0, 0, 0, 0};
    LONG cbSystem = 0;
    LONG cbUser = 0;
    LONG length = 0;
    HiveCheck check;
    int result;

    backup = _wfopen(path, TEXT("rb"));
    if (backup == NULL) {
        writeLog(TEXT("restRegHv: could not open "), path, 1);
        return HV_NO_OPEN;
    }
    writeLog(TEXT("restRegHv: file opened:"), path, 1);

    /* A file of fewer than 4 bytes is refused as any other signature; a
     * read error is not a verdict on the file. */
    if (fread(field, 1, 4, backup) != 4 && ferror(backup)) {
        writeLog(TEXT("restRegHv: could not read "), path, 1);
        result = HV_IO_FAILED;
        goto done;
    }
    if (getLe32(field) != HIVE_REG_SIG) {
        writeLog(TEXT("restRegHv: sig unknown"), EMPTY, 1);
        result = HV_BAD_SIG;
        goto done;
    }
    writeLog(TEXT("restRegHv: sig correct"), EMPTY, 1);

    /* The whole file is checked before anything is extracted, so that a
     * short or damaged backup never gets as far as logging the user off:
     * its lengths, what follows the user hive image, and the images'
     * checksums when it carries the trailer. */
    result = hiveCheckStream(backup, &check);
    if (result == HV_DAMAGED && check.reason == HVW_EMPTY)
        writeLog(TEXT("restRegHv: a hive image is empty "), path, 1);
    else if (result == HV_DAMAGED)
        writeLog(TEXT("restRegHv: hive lengths do not match the file "), path, 1);
    else if (result == HV_TRAILING)
        writeLog(TEXT("restRegHv: bytes after the user hive image are not its trailer "), path, 1);
    else if (result == HV_CHECKSUM)
        writeLog(TEXT("restRegHv: hive images do not match their checksums "), path, 1);
    else if (result != HV_DONE)
        writeLog(TEXT("restRegHv: could not read "), path, 1);
    if (result != HV_DONE) {
        if (result == HV_BAD_SIG) /* the signature changed under us: a read error */
            result = HV_IO_FAILED;
        goto done;
    }
    cbSystem = check.cbSystem;
    cbUser = check.cbUser;
    if (fseek(backup, 8, SEEK_SET) != 0) {
        writeLog(TEXT("restRegHv: could not read "), path, 1);
        result = HV_IO_FAILED;
        goto done;
    }

    result =
        extractOne(backup, path, systemOut, cbSystem, TEXT("restRegHv: could not open "), buffer);
    if (result != HV_DONE)
        goto done;

    /* The copy reads whole blocks and so runs past the system hive image;
     * the user hive length is found by its absolute offset. The seek also
     * clears an end-of-file state that the first copy may have met. */
    if (readField(backup, 8 + (int64_t)cbSystem, &length) != HV_DONE || length != cbUser) {
        writeLog(TEXT("restRegHv: could not read "), path, 1);
        DeleteFileW(systemOut);
        result = HV_IO_FAILED;
        goto done;
    }

    /* This open failure's text has no blank before the path. */
    result = extractOne(backup, path, userOut, length, TEXT("restRegHv: could not open"), buffer);
    if (result == HV_IO_FAILED)
        DeleteFileW(systemOut);

done:
    fclose(backup);
    return result;
}

/* Copies the user hive about to be replaced to keptTemp, so that it can be
 * put back. Returns 1 when the copy was made; 0 when there is no user hive
 * file to keep (nothing to put back then); -1 when the copy failed. */
static int keepUserHive(const WCHAR *userHive, const WCHAR *keptTemp)
{
    DWORD error;

    if (CopyFileW(userHive, keptTemp, FALSE))
        return 1;
    error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return 0;
    DeleteFileW(keptTemp); /* a failed copy may leave part of one */
    return -1;
}

/* The prefix of the copy written beside user.hv before it takes its place:
 * the device's copies overwrite in place, so a copy straight onto user.hv
 * that failed part way, or a power cut during it, would leave part of a
 * hive there. */
static const WCHAR USER_HIVE_NEW[] = TEXT("rHN");

/* Undoes the user hive's replacement after the system hive could not be
 * handed over, so that the next boot finds the old user hive with the old
 * system hive rather than a mix of old and restored; also after a
 * replacement that removed user.hv but could not rename its new copy to
 * it. Returns 1 when keptTemp may be deleted; 0 when it holds the only copy
 * of the old user hive. */
static int putUserHiveBack(const WCHAR *userHive, const WCHAR *keptTemp, int kept)
{
    WCHAR sibling[MAX_PATH];
    DWORD error;
    int replaced;

    if (!kept) {
        /* There was no user hive file before: the device makes a default
         * one at the next log-on, as it would have done. */
        if (DeleteFileW(userHive)) {
            writeLog(TEXT("restRegHv: user hive removed again "), userHive, 1);
        } else {
            error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                writeLog(TEXT("restRegHv: ERROR could not remove the user hive "), userHive, 1);
        }
        return 1;
    }
    replaced = replaceFile(keptTemp, userHive, USER_HIVE_NEW, NULL, sibling);
    if (replaced == REPLACE_DONE) {
        writeLog(TEXT("restRegHv: user hive put back from "), keptTemp, 1);
        return 1;
    }
    if (replaced == REPLACE_SIBLING)
        DeleteFileW(sibling); /* keptTemp holds the same */
    writeLog(TEXT("restRegHv: ERROR could not put the user hive back from "), keptTemp, 1);
    return 0;
}

int restRegHv(const WCHAR *path)
{
    /* The user hive path holds USER_HIVE_CCH characters with its terminator;
     * the buffer is MAX_PATH long because that is how much a profile look-up
     * may write on the device. */
    WCHAR userHive[MAX_PATH] = {0};
    DWORD cchSize;
    WCHAR systemTemp[PATH_CCH]; /* "rHM": the extracted system hive */
    WCHAR userTemp[PATH_CCH];   /* "rHU": the extracted user hive */
    WCHAR keptTemp[PATH_CCH];   /* "rHO": a copy of the user hive being replaced */
    WCHAR sibling[MAX_PATH];    /* "rHN": the restored user hive beside user.hv */
    const WCHAR *foundBy;
    int replaced = REPLACE_UNTOUCHED;
    int kept;
    int deleteKept = 1;
    int result = HV_NO_OPEN;

    if (!hiveTempName(TEXT("rHM"), systemTemp) || !hiveTempName(TEXT("rHU"), userTemp) ||
        !hiveTempName(TEXT("rHO"), keptTemp)) {
        writeLog(TEXT("restRegHv: GetTempFileName failed"), EMPTY, 1);
        result = HV_NO_TEMPNAME;
        goto done;
    }

    cchSize = USER_HIVE_CCH;
    foundBy = TEXT("user_hive (GetUserDirectory): ");
    if (!GetUserDirectory(userHive, &cchSize)) {
        userHive[MAX_PATH - 1] = 0; /* a failed look-up may leave anything */
        writeLog(TEXT("restRegHv: could not read the profiledir using GetUserDirectory "), userHive,
                 1);
        foundBy = TEXT("user_hive (SHGetSpecialFolderPath): ");
        if (!SHGetSpecialFolderPath(NULL, userHive, CSIDL_PROFILE, FALSE)) {
            userHive[MAX_PATH - 1] = 0;
            writeLog(TEXT("restRegHv: could not read the profiledir using SHGetSpecialFolderPath "),
                     userHive, 1);
            writeLog(TEXT("restRegHv: ABORT could not read the profiledir  "), userHive, 1);
            goto done;
        }
    }
    if (!appendUserHive(userHive)) {
        /* Refused before anything is opened: "user.hv" does not fit behind
         * this folder in the user hive path. */
        writeLog(TEXT("restRegHv: ABORT profiledir too long for user.hv "), userHive, 1);
        goto done;
    }
    writeLog(foundBy, userHive, 1);

    result = unpackHives(path, systemTemp, userTemp);
    if (result != HV_DONE)
        goto done;

    /* The user is logged off just before the user hive file is overwritten,
     * and the user hive is replaced before the system hive. */
    writeLog(TEXT("restRegHv: unlogging user"), EMPTY, 1);
    SetCurrentUser(NULL, NULL, 0, FALSE);
    writeLog(TEXT("restRegHv: user unlogged"), EMPTY, 1);

    /* A failed replacement is no restore: the caller must not report one,
     * and the next boot must not mix a restored hive with an old one. The
     * user hive is kept before it is replaced, so that it can be put back
     * when the system hive cannot be handed over; when the user hive cannot
     * be kept or replaced, the system hive is not handed over either. The
     * restored user hive is written beside user.hv and renamed to it once
     * whole (replaceFile), so that user.hv is never part of a hive.
     *
     * Only a power cut can still mix them, and only inside one window: after
     * user.hv is removed (its whole new copy then waits beside it) and
     * before RegReplaceKey returns. A cut there leaves the old system hive
     * with the restored user hive, or with a default one when the rename
     * had not happened yet; the log then ends with "restRegHv: user
     * unlogged" or "restRegHv: registry (user hive) replaced with ", and
     * running the same restore again puts both hives back. */
    kept = keepUserHive(userHive, keptTemp);
    if (kept < 0) {
        writeLog(TEXT("restRegHv: ERROR could not keep a copy of the user hive "), userHive, 1);
        result = HV_NOT_REPLACED;
    } else if ((replaced = replaceFile(userTemp, userHive, USER_HIVE_NEW, NULL, sibling)) ==
               REPLACE_DONE) {
        writeLog(TEXT("restRegHv: registry (user hive) replaced with "), userTemp, 1);
        if (RegReplaceKey(HKEY_LOCAL_MACHINE, NULL, systemTemp, NULL) == ERROR_SUCCESS) {
            writeLog(TEXT("restRegHv: system registry hive restored - "), systemTemp, 1);
        } else {
            writeLog(TEXT("restRegHv: could not replace  - "), systemTemp, 1);
            deleteKept = putUserHiveBack(userHive, keptTemp, kept);
            result = HV_NOT_REPLACED;
        }
    } else {
        writeLog(TEXT("restRegHv: ERROR could not replace registry (user hive) with "), userTemp,
                 1);
        /* Untouched, user.hv is the old one still; removed, the old one goes
         * back from its copy (the new one beside it is not wanted). */
        if (replaced == REPLACE_SIBLING) {
            DeleteFileW(sibling);
            deleteKept = putUserHiveBack(userHive, keptTemp, kept);
        }
        result = HV_NOT_REPLACED;
    }

    DeleteFileW(userTemp);
    DeleteFileW(systemTemp);
    if (kept > 0 && deleteKept)
        DeleteFileW(keptTemp);

done:
    return result;
}
