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

/* Closes an extracted image. Returns HV_DONE, or HV_IO_FAILED (logged) when
 * its last bytes could not be written: a short extracted hive must never be
 * installed, and the last bytes reach the disk only here. */
static int closeImage(FILE *out, const WCHAR *outPath)
{
    if (fclose(out) != 0) {
        writeLog(TEXT("restRegHv: could not write "), outPath, 1);
        return HV_IO_FAILED;
    }
    return HV_DONE;
}

/* Copies the next cb bytes of the backup into out through buffer, in blocks
 * of HIVE_COPY_CB from the start of out, so that each block is written whole
 * into a whole block of the file (a block that straddles two is written in
 * two pieces). Returns HV_DONE, or HV_IO_FAILED (logged) when a read comes
 * short (a read error, or the file is shorter than checked) or a write does. */
static int copyImage(FILE *backup, const WCHAR *path, FILE *out, const WCHAR *outPath, LONG cb,
                     BYTE *buffer)
{
    size_t want;

    while (cb > 0) {
        want = cb < HIVE_COPY_CB ? (size_t)cb : HIVE_COPY_CB;
        if (fread(buffer, 1, want, backup) != want) {
            writeLog(TEXT("restRegHv: could not read "), path, 1);
            return HV_IO_FAILED;
        }
        if (fwrite(buffer, 1, want, out) != want) {
            writeLog(TEXT("restRegHv: could not write "), outPath, 1);
            return HV_IO_FAILED;
        }
        cb -= (LONG)want;
    }
    return HV_DONE;
}

/* Extracts both images of a checked backup in one pass through buffer
 * (HIVE_COPY_CB bytes): from after the signature and the system hive length,
 * the system hive image into systemOut, then, once the user hive length read
 * again equals the checked one, the user hive image into userOut. Reading
 * stops at the end of the user hive image. Returns HV_DONE; HV_NO_OPEN when
 * an output cannot be opened (an extracted systemOut stays when userOut
 * cannot be opened); HV_IO_FAILED when a read fails, the file has changed
 * since the check, or a write falls short, with both outputs removed. Each
 * failure is logged. */
static int extractImages(FILE *backup, const WCHAR *path, const WCHAR *systemOut,
                         const WCHAR *userOut, LONG cbSystem, LONG cbUser, BYTE *buffer)
{
    FILE *out;
    const WCHAR *outPath = systemOut;
    BYTE field[4];
    int result = HV_DONE;

    out = _wfopen(systemOut, TEXT("w+b"));
    if (out == NULL) {
        writeLog(TEXT("restRegHv: could not open "), systemOut, 1);
        return HV_NO_OPEN;
    }
    writeLog(TEXT("restRegHv: file opened:"), systemOut, 1);
    if (fseek(backup, 8, SEEK_SET) != 0) {
        writeLog(TEXT("restRegHv: could not read "), path, 1);
        result = HV_IO_FAILED;
    }
    if (result == HV_DONE)
        result = copyImage(backup, path, out, systemOut, cbSystem, buffer);
    if (result == HV_DONE) {
        result = closeImage(out, systemOut);
        out = NULL;
    }
    if (result == HV_DONE && (fread(field, 1, 4, backup) != 4 || (LONG)getLe32(field) != cbUser)) {
        /* a read error, or the file has changed since the check */
        writeLog(TEXT("restRegHv: could not read "), path, 1);
        result = HV_IO_FAILED;
    }
    if (result == HV_DONE) {
        /* This open failure's text has no blank before the path. */
        out = _wfopen(userOut, TEXT("w+b"));
        if (out == NULL) {
            writeLog(TEXT("restRegHv: could not open"), userOut, 1);
            return HV_NO_OPEN; /* the extracted system hive stays */
        }
        outPath = userOut;
        writeLog(TEXT("restRegHv: file opened:"), userOut, 1);
        result = copyImage(backup, path, out, userOut, cbUser, buffer);
        if (result == HV_DONE) {
            result = closeImage(out, userOut);
            out = NULL;
        }
    }
    if (out != NULL)
        fclose(out);
    if (result != HV_DONE) {
        DeleteFileW(systemOut);
        if (outPath == userOut)
            DeleteFileW(userOut);
    }
    return result;
}

int unpackHives(const WCHAR *path, const WCHAR *systemOut, const WCHAR *userOut)
{
    FILE *backup;
    BYTE *buffer = g_runBlock;
    HiveCheck check;
    int result;

    backup = _wfopen(path, TEXT("rb"));
    if (backup == NULL) {
        writeLog(TEXT("restRegHv: could not open "), path, 1);
        return HV_NO_OPEN;
    }
    writeLog(TEXT("restRegHv: file opened:"), path, 1);

    /* The whole file is checked before anything is extracted, so that a
     * short or damaged backup never gets as far as logging the user off:
     * its signature (a file of fewer than 4 bytes is refused as any other
     * signature), its lengths, what follows the user hive image, and the
     * images' checksums when it carries the trailer. The check reads the
     * file once and the extraction once more, through the same buffer. */
    result = hiveCheckStream(backup, &check, buffer);
    if (result == HV_BAD_SIG) {
        writeLog(TEXT("restRegHv: sig unknown"), EMPTY, 1);
        goto done;
    }
    if (check.field == 0) { /* a read error is not a verdict on the file */
        writeLog(TEXT("restRegHv: could not read "), path, 1);
        result = HV_IO_FAILED;
        goto done;
    }
    writeLog(TEXT("restRegHv: sig correct"), EMPTY, 1);
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
    if (result == HV_DONE)
        result =
            extractImages(backup, path, systemOut, userOut, check.cbSystem, check.cbUser, buffer);

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
