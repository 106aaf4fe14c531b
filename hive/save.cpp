/*
 * save.cpp - corvaneHv, the hive save: the platform writes the system hive
 * and the user hive into two temporary files, which are then packed into one
 * hive backup file (packHives). Also the temporary names of both hive
 * operations (hiveTempName).
 */
#include "hive/hive.h"
#include "log/bytes.h"
#include "log/log.h"
#include "log/run.h"

int hiveTempName(const WCHAR *prefix, WCHAR *name)
{
    name[0] = 0;
    if (tempFileName(prefix, name) == 0) {
        name[0] = 0; /* whatever a failed call left there is no name */
        return 0;
    }
    DeleteFileW(name);
    return 1;
}

/* Appends one hive file to the open backup, whose *cbOut bytes so far it
 * advances: its length field, then its bytes in blocks, and puts their CRC-32
 * into *crc. The blocks end where the backup's blocks of HIVE_COPY_CB end
 * (the first one is shorter), so that each block the stream passes on is
 * written whole into whole blocks of the file: a block that straddles two
 * is written in two pieces, and a file system (a flash one most of all)
 * pays for every piece of a block it has to write again. Returns HV_DONE,
 * HV_NO_OPEN or HV_IO_FAILED, each failure logged. */
static int packOne(FILE *backup, const WCHAR *path, const WCHAR *hivePath, BYTE *buffer, DWORD *crc,
                   int64_t *cbOut)
{
    FILE *hive = NULL;
    long cbHive;
    int64_t cbCopied = 0;
    size_t cbRead;
    size_t cbWant;
    BYTE field[4];
    int result = HV_DONE;

    *crc = 0;
    hive = _wfopen(hivePath, TEXT("rb"));
    if (hive == NULL) {
        writeLog(TEXT("corvaneHv: could not open"), hivePath, 1);
        return HV_NO_OPEN;
    }

    /* The length field is signed 32 bits: a larger hive cannot be stored. */
    if (fseek(hive, 0, SEEK_END) != 0 || (cbHive = ftell(hive)) < 0 || cbHive > 0x7FFFFFFFL ||
        fseek(hive, 0, SEEK_SET) != 0) {
        writeLog(TEXT("corvaneHv: could not read "), hivePath, 1);
        result = HV_IO_FAILED;
        goto done;
    }
    putLe32(field, (DWORD)cbHive);
    if (fwrite(field, 1, 4, backup) != 4) {
        writeLog(TEXT("corvaneHv: could not write "), path, 1);
        result = HV_IO_FAILED;
        goto done;
    }

    *cbOut += 4;
    cbWant = HIVE_COPY_CB - (size_t)(*cbOut % HIVE_COPY_CB);

    /* The end of the file is tested before each read, so a hive that ends
     * with a whole block ends with one read of 0 bytes. */
    while (!feof(hive)) {
        cbRead = fread(buffer, 1, cbWant, hive);
        if (cbRead > 0 && fwrite(buffer, 1, cbRead, backup) != cbRead) {
            writeLog(TEXT("corvaneHv: could not write "), path, 1);
            result = HV_IO_FAILED;
            goto done;
        }
        *crc = crc32Update(*crc, buffer, cbRead);
        cbCopied += (int64_t)cbRead;
        /* A read error never reaches the end of the file: stop here rather
         * than wait for an end that does not come. */
        if (ferror(hive) || (cbRead < cbWant && !feof(hive)))
            break;
        cbWant = HIVE_COPY_CB;
    }
    *cbOut += cbCopied;
    /* The length field was written before the copy; it must tell the truth. */
    if (ferror(hive) || cbCopied != (int64_t)cbHive) {
        writeLog(TEXT("corvaneHv: could not read "), hivePath, 1);
        result = HV_IO_FAILED;
    }

done:
    fclose(hive);
    return result;
}

int packHives(const WCHAR *path, const WCHAR *systemHive, const WCHAR *userHive)
{
    FILE *backup;
    BYTE *buffer = g_runBlock;
    BYTE field[4];
    BYTE trailer[HIVE_TRAILER_CB];
    DWORD crcSystem = 0, crcUser = 0;
    int64_t cbOut = 4; /* the bytes of the backup so far */
    int result = HV_DONE;

    backup = _wfopen(path, TEXT("w+b"));
    if (backup == NULL) {
        writeLog(TEXT("corvaneHv: could not open"), path, 1);
        return HV_NO_OPEN;
    }

    putLe32(field, HIVE_REG_SIG);
    if (fwrite(field, 1, 4, backup) != 4) {
        writeLog(TEXT("corvaneHv: could not write "), path, 1);
        result = HV_IO_FAILED;
        goto done;
    }
    /* The system hive always comes first. */
    result = packOne(backup, path, systemHive, buffer, &crcSystem, &cbOut);
    if (result != HV_DONE)
        goto done;
    result = packOne(backup, path, userHive, buffer, &crcUser, &cbOut);
    if (result != HV_DONE)
        goto done;
    /* The integrity trailer: the restore checks both images against it
     * before it changes anything. */
    trailer[0] = 'X';
    trailer[1] = 'G';
    trailer[2] = 'C';
    trailer[3] = 'K';
    putLe32(trailer + 4, crcSystem);
    putLe32(trailer + 8, crcUser);
    if (fwrite(trailer, 1, HIVE_TRAILER_CB, backup) != HIVE_TRAILER_CB || ferror(backup)) {
        writeLog(TEXT("corvaneHv: could not write "), path, 1);
        result = HV_IO_FAILED;
    }

done:
    /* The last buffered bytes reach the disk only here, so a full disk may
     * show only now. */
    if (fclose(backup) != 0 && result == HV_DONE) {
        writeLog(TEXT("corvaneHv: could not write "), path, 1);
        result = HV_IO_FAILED;
    }
    /* An incomplete backup must not stay: the save's copy-out would put it
     * over the user's previous backup. Without it the copy-out fails and
     * the previous backup is kept. */
    if (result != HV_DONE && !DeleteFileW(path))
        writeLog(TEXT("corvaneHv: could not remove the incomplete file "), path, 1);
    return result;
}

int corvaneHv(const WCHAR *path)
{
    WCHAR systemHive[PATH_CCH]; /* "sHM": the saved HKEY_LOCAL_MACHINE */
    WCHAR userHive[PATH_CCH];   /* "sHU": the saved HKEY_CURRENT_USER */
    LONG systemSaved;
    LONG userSaved;
    int result;

    /* Only a name that GetTempFileNameW made, and that fits its buffer, is
     * ever used. */
    if (!hiveTempName(TEXT("sHM"), systemHive) || !hiveTempName(TEXT("sHU"), userHive)) {
        writeLog(TEXT("corvaneHv: GetTempFileName failed"), EMPTY, 1);
        return HV_NO_TEMPNAME;
    }

    /* Both saves are always made; a failed one shows when its file is
     * opened for packing. */
    systemSaved = RegSaveKey(HKEY_LOCAL_MACHINE, systemHive, NULL);
    userSaved = RegSaveKey(HKEY_CURRENT_USER, userHive, NULL);
    if (systemSaved == ERROR_SUCCESS && userSaved == ERROR_SUCCESS)
        writeLog(TEXT("corvaneHv: RegSaveKey OK"), EMPTY, 1);
    else
        writeLog(TEXT("corvaneHv: RegSaveKey failed"), EMPTY, 1);

    /* A hive whose save failed is never packed, even when a file of its
     * name is there (a placeholder whose delete failed): the backup would
     * hold an empty hive and pass for a good one. It counts as a saved hive
     * that cannot be opened, and no backup file is left at path. */
    if (systemSaved != ERROR_SUCCESS || userSaved != ERROR_SUCCESS) {
        writeLog(TEXT("corvaneHv: could not open"),
                 systemSaved != ERROR_SUCCESS ? systemHive : userHive, 1);
        DeleteFileW(path);
        return HV_NO_OPEN;
    }
    result = packHives(path, systemHive, userHive);
    if (result == HV_DONE)
        writeLog(TEXT("corvaneHv: registry information saved to "), path, 1);
    /* A hive that could not be opened leaves the other saved hive where it
     * is; otherwise (done, or a read or write failure) both go. */
    if (result != HV_NO_OPEN) {
        DeleteFileW(systemHive);
        DeleteFileW(userHive);
    }
    return result;
}
