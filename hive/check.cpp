/*
 * check.cpp - the one check of a hive backup file, and its integrity
 * trailer.
 *
 * A hive backup file is whole when it begins with "XGER", both hive lengths
 * are above 0 and both images lie within the file, and what follows the
 * user hive image is nothing or exactly one trailer. Since the trailer was
 * added, corvaneHv writes 12 more bytes after the user hive image: the tag
 * "XGCK" and the CRC-32 of the system hive image and of the user hive image
 * (the usual CRC-32, as zlib's crc32 computes it), little-endian. Readers
 * that know nothing of it ignore bytes after the user hive image, so older
 * programs still restore newer files. A file with the trailer is whole only
 * when both images match their checksums; a file without it (an older one,
 * or one made by hand) ends with its user hive image, and its images are
 * not checked.
 *
 * Other bytes after the user hive image are damage, never ignored: a file
 * cut inside its trailer, or a hive length changed so that the user hive
 * image no longer ends where the trailer begins. Such a file would put a
 * broken user hive in place, and the device would boot with a default one.
 * A file without the trailer whose last 12 bytes begin with the trailer's
 * tag is one whose user hive length grew by 12 over its trailer.
 *
 * The hive images themselves are the platform's: the check looks inside
 * neither. An empty one is refused, as no device boots from it.
 *
 * The check is fed the file's bytes in order, so that it streams a file of
 * any size through one block and gives a tool on the PC the very verdict
 * that the restore gets.
 */
#include "hive/hive.h"
#include "log/bytes.h"
#include "log/text.h"

#define HCHECK_FIELD 0 /* waiting for a 4-byte field (signature or a length) */
#define HCHECK_IMAGE 1 /* passing over a hive image */
#define HCHECK_REST 2  /* the bytes after the user hive image */
#define HCHECK_DONE 3

static void found(HiveCheck *check, int problem, int64_t offset)
{
    check->problem = problem;
    check->offset = (DWORD)offset;
    check->stage = HCHECK_DONE;
}

void hiveCheckStart(HiveCheck *check, int64_t cbFile)
{
    check->problem = HV_DONE;
    check->offset = 0;
    check->cbSystem = 0;
    check->cbUser = 0;
    check->trailer = 0;
    check->reason = HVW_NONE;
    check->cbFile = cbFile;
    check->pos = 0;
    check->stage = HCHECK_FIELD;
    check->field = 0;
    check->cbBuffered = 0;
    check->cbLeft = 0;
    check->crc = 0;
    check->crcSystem = 0;
    check->crcUser = 0;
    check->cbTail = 0;
}

/* Keeps the last HIVE_TRAILER_CB bytes fed in check->tail. */
static void keepTail(HiveCheck *check, const BYTE *bytes, size_t cb)
{
    size_t keep;
    size_t i;

    if (cb >= HIVE_TRAILER_CB) {
        for (i = 0; i < HIVE_TRAILER_CB; i++)
            check->tail[i] = bytes[cb - HIVE_TRAILER_CB + i];
        check->cbTail = HIVE_TRAILER_CB;
        return;
    }
    keep = check->cbTail + cb > HIVE_TRAILER_CB ? HIVE_TRAILER_CB - cb : check->cbTail;
    for (i = 0; i < keep; i++)
        check->tail[i] = check->tail[check->cbTail - keep + i];
    for (i = 0; i < cb; i++)
        check->tail[keep + i] = bytes[i];
    check->cbTail = keep + cb;
}

static int isTrailerTag(const BYTE *t)
{
    return t[0] == 'X' && t[1] == 'G' && t[2] == 'C' && t[3] == 'K';
}

/* The user hive image has ended at check->pos: the file is whole when
 * nothing follows it, or exactly one trailer. */
static void startRest(HiveCheck *check)
{
    check->cbLeft = check->cbFile - check->pos;
    check->cbBuffered = 0;
    if (check->cbLeft == HIVE_TRAILER_CB) {
        check->stage = HCHECK_REST;
    } else if (check->cbLeft != 0) {
        /* Part of a trailer, or more than one: a cut file, or a hive length
         * that no longer leads to the trailer. */
        check->reason = HVW_TRAILING;
        found(check, HV_TRAILING, check->pos);
    } else {
        /* Nothing follows: the layout without the trailer, unless the file
         * ends in a trailer's tag, which a length grown by 12 has taken
         * into the user hive image. */
        if (check->cbTail == HIVE_TRAILER_CB && isTrailerTag(check->tail)) {
            check->reason = HVW_OVER_TRAILER;
            found(check, HV_DAMAGED, 8 + (int64_t)check->cbSystem);
        } else {
            found(check, HV_DONE, 0);
        }
    }
}

/* A whole 4-byte field is in check->buffer. */
static void stepField(HiveCheck *check)
{
    LONG length = (LONG)getLe32(check->buffer);
    int64_t at = check->pos - 4;
    int64_t end;

    check->cbBuffered = 0;
    if (check->field == 0) {
        if (getLe32(check->buffer) != HIVE_REG_SIG) {
            found(check, HV_BAD_SIG, 0);
            return;
        }
        check->field = 1;
        return;
    }
    if (check->field == 1) {
        check->cbSystem = length;
        end = 12 + (int64_t)length;
    } else {
        check->cbUser = length;
        end = 12 + (int64_t)check->cbSystem + (int64_t)length;
    }
    /* A hive is never empty: the device takes no empty hive file, and
     * boots with a default hive in its place. */
    if (length <= 0 || end > check->cbFile) {
        check->reason = length == 0 ? HVW_EMPTY : HVW_PAST_FILE;
        found(check, HV_DAMAGED, at);
        return;
    }
    check->stage = HCHECK_IMAGE;
    check->cbLeft = length;
    check->crc = 0;
}

static void endImage(HiveCheck *check)
{
    if (check->field == 1) {
        check->crcSystem = check->crc;
        check->field = 2;
        check->stage = HCHECK_FIELD;
    } else {
        check->crcUser = check->crc;
        check->field = 3;
        startRest(check);
    }
}

/* Exactly HIVE_TRAILER_CB bytes follow the user hive image: they must be
 * its trailer, and both images must match its checksums. */
static void stepRest(HiveCheck *check)
{
    const BYTE *t = check->buffer;
    int64_t at = check->pos - HIVE_TRAILER_CB;

    if (!isTrailerTag(t)) {
        check->reason = HVW_NOT_TRAILER;
        found(check, HV_TRAILING, at);
        return;
    }
    check->trailer = 1;
    if (getLe32(t + 4) != check->crcSystem)
        found(check, HV_CHECKSUM, 8);
    else if (getLe32(t + 8) != check->crcUser)
        found(check, HV_CHECKSUM, 12 + (int64_t)check->cbSystem);
    else
        found(check, HV_DONE, 0);
}

int hiveCheckFeed(HiveCheck *check, const BYTE *bytes, size_t cb)
{
    size_t take;
    size_t want;

    if (check->stage != HCHECK_DONE)
        keepTail(check, bytes, cb);
    while (cb > 0 && check->stage != HCHECK_DONE) {
        if (check->stage == HCHECK_IMAGE) {
            take = (int64_t)cb < check->cbLeft ? cb : (size_t)check->cbLeft;
            check->crc = crc32Update(check->crc, bytes, take);
            check->cbLeft -= (int64_t)take;
            check->pos += (int64_t)take;
            bytes += take;
            cb -= take;
            if (check->cbLeft == 0)
                endImage(check);
            continue;
        }
        want = check->stage == HCHECK_REST ? HIVE_TRAILER_CB : 4;
        take = want - check->cbBuffered;
        if (take > cb)
            take = cb;
        for (size_t i = 0; i < take; i++)
            check->buffer[check->cbBuffered + i] = bytes[i];
        check->cbBuffered += take;
        check->pos += (int64_t)take;
        bytes += take;
        cb -= take;
        if (check->cbBuffered < want)
            break;
        if (check->stage == HCHECK_REST)
            stepRest(check);
        else
            stepField(check);
    }
    return check->stage != HCHECK_DONE;
}

int hiveCheckEnd(HiveCheck *check)
{
    if (check->stage == HCHECK_DONE)
        return check->problem;
    if (check->pos < check->cbFile)
        found(check, HV_IO_FAILED, check->pos); /* fewer bytes came than the file holds */
    else if (check->field == 0)
        found(check, HV_BAD_SIG, 0); /* fewer than 4 bytes */
    else
        found(check, HV_DAMAGED, check->pos); /* cannot happen: lengths are checked first */
    return check->problem;
}

int hiveCheckStream(FILE *file, HiveCheck *check, BYTE *block)
{
    long cbFile;
    size_t cbRead;

    hiveCheckStart(check, 0);
    if (fseek(file, 0, SEEK_END) != 0 || (cbFile = ftell(file)) < 0 ||
        fseek(file, 0, SEEK_SET) != 0) {
        found(check, HV_IO_FAILED, 0);
        return check->problem;
    }
    hiveCheckStart(check, cbFile);
    do {
        cbRead = fread(block, 1, HIVE_COPY_CB, file);
    } while (cbRead > 0 && hiveCheckFeed(check, block, cbRead));
    if (ferror(file) && check->stage != HCHECK_DONE)
        found(check, HV_IO_FAILED, check->pos);
    return hiveCheckEnd(check);
}

int checkHiveFile(const WCHAR *path, HiveCheck *check)
{
    FILE *file = _wfopen(path, TEXT("rb"));

    if (file == NULL) {
        hiveCheckStart(check, 0);
        found(check, HV_NO_OPEN, 0);
        return check->problem;
    }
    hiveCheckStream(file, check, g_runBlock);
    fclose(file);
    return check->problem;
}

/* ---- The verdict in words ------------------------------------------------ */

void hiveProblemText(const HiveCheck *check, WCHAR *text, size_t cchText)
{
    TextBuffer out;

    if (cchText == 0)
        return;
    textStart(&out, text, cchText);
    switch (check->problem) {
    case HV_DONE:
        break;
    case HV_BAD_SIG:
        textPut(&out, TEXT("no hive backup signature"));
        break;
    case HV_DAMAGED:
        textPut(&out, TEXT("hive length at "));
        textPutNumber(&out, check->offset, 1);
        textPut(&out, check->reason == HVW_EMPTY          ? TEXT(" is 0: an empty hive")
                      : check->reason == HVW_OVER_TRAILER ? TEXT(" runs over the integrity trailer")
                                                          : TEXT(" does not fit the file"));
        break;
    case HV_TRAILING:
        textPutNumber(&out, (DWORD)(check->cbFile - (int64_t)check->offset), 0);
        textPut(&out, TEXT(" bytes after the user hive image at "));
        textPutNumber(&out, check->offset, 1);
        textPut(&out, TEXT(" are not its integrity trailer"));
        break;
    case HV_CHECKSUM:
        textPut(&out,
                check->offset == 8 ? TEXT("system hive image at ") : TEXT("user hive image at "));
        textPutNumber(&out, check->offset, 1);
        textPut(&out, TEXT(" does not match its checksum"));
        break;
    case HV_NO_OPEN:
        textPut(&out, TEXT("cannot be opened"));
        break;
    default:
        textPut(&out, TEXT("cannot be read"));
        break;
    }
}
