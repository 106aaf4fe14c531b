/*
 * detect.cpp - detectSig: the kind of an image file from its first four
 * bytes (RAM registry image, hive backup file, or neither).
 */
#include "hive/hive.h"
#include "log/bytes.h"
#include "log/log.h"
#include "ramimage/ramimage.h"

int detectSig(const WCHAR *path)
{
    BYTE bytes[4];
    size_t cbRead;
    DWORD signature;
    FILE *file = _wfopen(path, TEXT("rb"));

    if (file == NULL) {
        writeLog(TEXT("detectSig: could not open"), path, 1);
        return KIND_NOOPEN;
    }
    cbRead = fread(bytes, 1, sizeof bytes, file);
    fclose(file);
    /* A file of fewer than four bytes carries no signature. */
    if (cbRead != sizeof bytes)
        return KIND_NONE;
    signature = getLe32(bytes);
    if (signature == RAM_REG_SIG) {
        writeLog(TEXT("detectSig: RAM based registry sig"), EMPTY, 1);
        return KIND_RAM;
    }
    if (signature == HIVE_REG_SIG) {
        writeLog(TEXT("detectSig: HIVE based registry sig"), EMPTY, 1);
        return KIND_HIVE;
    }
    return KIND_NONE;
}
