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

/* clang-format off */
static const DWORD CRC_TABLE[256] = {
    0x00000000u, 0x77073096u, 0xEE0E612Cu, 0x990951BAu, 0x076DC419u, 0x706AF48Fu,
    0xE963A535u, 0x9E6495A3u, 0x0EDB8832u, 0x79DCB8A4u, 0xE0D5E91Eu, 0x97D2D988u,
    0x09B64C2Bu, 0x7EB17CBDu, 0xE7B82D07u, 0x90BF1D91u, 0x1DB71064u, 0x6AB020F2u,
    0xF3B97148u, 0x84BE41DEu, 0x1ADAD47Du, 0x6DDDE4EBu, 0xF4D4B551u, 0x83D385C7u,
    0x136C9856u, 0x646BA8C0u, 0xFD62F97Au, 0x8A65C9ECu, 0x14015C4Fu, 0x63066CD9u,
    0xFA0F3D63u, 0x8D080DF5u, 0x3B6E20C8u, 0x4C69105Eu, 0xD56041E4u, 0xA2677172u,
    0x3C03E4D1u, 0x4B04D447u, 0xD20D85FDu, 0xA50AB56Bu, 0x35B5A8FAu, 0x42B2986Cu,
    0xDBBBC9D6u, 0xACBCF940u, 0x32D86CE3u, 0x45DF5C75u, 0xDCD60DCFu, 0xABD13D59u,
    0x26D930ACu, 0x51DE003Au, 0xC8D75180u, 0xBFD06116u, 0x21B4F4B5u, 0x56B3C423u,
    0xCFBA9599u, 0xB8BDA50Fu, 0x2802B89Eu, 0x5F058808u, 0xC60CD9B2u, 0xB10BE924u,
    0x2F6F7C87u, 0x58684C11u, 0xC1611DABu, 0xB6662D3Du, 0x76DC4190u, 0x01DB7106u,
    0x98D220BCu, 0xEFD5102Au, 0x71B18589u, 0x06B6B51Fu, 0x9FBFE4A5u, 0xE8B8D433u,
    0x7807C9A2u, 0x0F00F934u, 0x9609A88Eu, 0xE10E9818u, 0x7F6A0DBBu, 0x086D3D2Du,
    0x91646C97u, 0xE6635C01u, 0x6B6B51F4u, 0x1C6C6162u, 0x856530D8u, 0xF262004Eu,
    0x6C0695EDu, 0x1B01A57Bu, 0x8208F4C1u, 0xF50FC457u, 0x65B0D9C6u, 0x12B7E950u,
    0x8BBEB8EAu, 0xFCB9887Cu, 0x62DD1DDFu, 0x15DA2D49u, 0x8CD37CF3u, 0xFBD44C65u,
    0x4DB26158u, 0x3AB551CEu, 0xA3BC0074u, 0xD4BB30E2u, 0x4ADFA541u, 0x3DD895D7u,
    0xA4D1C46Du, 0xD3D6F4FBu, 0x4369E96Au, 0x346ED9FCu, 0xAD678846u, 0xDA60B8D0u,
    0x44042D73u, 0x33031DE5u, 0xAA0A4C5Fu, 0xDD0D7CC9u, 0x5005713Cu, 0x270241AAu,
    0xBE0B1010u, 0xC90C2086u, 0x5768B525u, 0x206F85B3u, 0xB966D409u, 0xCE61E49Fu,
    0x5EDEF90Eu, 0x29D9C998u, 0xB0D09822u, 0xC7D7A8B4u, 0x59B33D17u, 0x2EB40D81u,
    0xB7BD5C3Bu, 0xC0BA6CADu, 0xEDB88320u, 0x9ABFB3B6u, 0x03B6E20Cu, 0x74B1D29Au,
    0xEAD54739u, 0x9DD277AFu, 0x04DB2615u, 0x73DC1683u, 0xE3630B12u, 0x94643B84u,
    0x0D6D6A3Eu, 0x7A6A5AA8u, 0xE40ECF0Bu, 0x9309FF9Du, 0x0A00AE27u, 0x7D079EB1u,
    0xF00F9344u, 0x8708A3D2u, 0x1E01F268u, 0x6906C2FEu, 0xF762575Du, 0x806567CBu,
    0x196C3671u, 0x6E6B06E7u, 0xFED41B76u, 0x89D32BE0u, 0x10DA7A5Au, 0x67DD4ACCu,
    0xF9B9DF6Fu, 0x8EBEEFF9u, 0x17B7BE43u, 0x60B08ED5u, 0xD6D6A3E8u, 0xA1D1937Eu,
    0x38D8C2C4u, 0x4FDFF252u, 0xD1BB67F1u, 0xA6BC5767u, 0x3FB506DDu, 0x48B2364Bu,
    0xD80D2BDAu, 0xAF0A1B4Cu, 0x36034AF6u, 0x41047A60u, 0xDF60EFC3u, 0xA867DF55u,
    0x316E8EEFu, 0x4669BE79u, 0xCB61B38Cu, 0xBC66831Au, 0x256FD2A0u, 0x5268E236u,
    0xCC0C7795u, 0xBB0B4703u, 0x220216B9u, 0x5505262Fu, 0xC5BA3BBEu, 0xB2BD0B28u,
    0x2BB45A92u, 0x5CB36A04u, 0xC2D7FFA7u, 0xB5D0CF31u, 0x2CD99E8Bu, 0x5BDEAE1Du,
    0x9B64C2B0u, 0xEC63F226u, 0x756AA39Cu, 0x026D930Au, 0x9C0906A9u, 0xEB0E363Fu,
    0x72076785u, 0x05005713u, 0x95BF4A82u, 0xE2B87A14u, 0x7BB12BAEu, 0x0CB61B38u,
    0x92D28E9Bu, 0xE5D5BE0Du, 0x7CDCEFB7u, 0x0BDBDF21u, 0x86D3D2D4u, 0xF1D4E242u,
    0x68DDB3F8u, 0x1FDA836Eu, 0x81BE16CDu, 0xF6B9265Bu, 0x6FB077E1u, 0x18B74777u,
    0x88085AE6u, 0xFF0F6A70u, 0x66063BCAu, 0x11010B5Cu, 0x8F659EFFu, 0xF862AE69u,
    0x616BFFD3u, 0x166CCF45u, 0xA00AE278u, 0xD70DD2EEu, 0x4E048354u, 0x3903B3C2u,
    0xA7672661u, 0xD06016F7u, 0x4969474Du, 0x3E6E77DBu, 0xAED16A4Au, 0xD9D65ADCu,
    0x40DF0B66u, 0x37D83BF0u, 0xA9BCAE53u, 0xDEBB9EC5u, 0x47B2CF7Fu, 0x30B5FFE9u,
    0xBDBDF21Cu, 0xCABAC28Au, 0x53B39330u, 0x24B4A3A6u, 0xBAD03605u, 0xCDD70693u,
    0x54DE5729u, 0x23D967BFu, 0xB3667A2Eu, 0xC4614AB8u, 0x5D681B02u, 0x2A6F2B94u,
    0xB40BBE37u, 0xC30C8EA1u, 0x5A05DF1Bu, 0x2D02EF8Du,
};
/* clang-format on */

DWORD crc32Update(DWORD crc, const BYTE *bytes, size_t cb)
{
    crc = ~crc;
    /* Eight bytes a turn: one test of the count for eight table steps. */
    while (cb >= 8) {
        crc = CRC_TABLE[(crc ^ bytes[0]) & 0xFF] ^ (crc >> 8);
        crc = CRC_TABLE[(crc ^ bytes[1]) & 0xFF] ^ (crc >> 8);
        crc = CRC_TABLE[(crc ^ bytes[2]) & 0xFF] ^ (crc >> 8);
        crc = CRC_TABLE[(crc ^ bytes[3]) & 0xFF] ^ (crc >> 8);
        crc = CRC_TABLE[(crc ^ bytes[4]) & 0xFF] ^ (crc >> 8);
        crc = CRC_TABLE[(crc ^ bytes[5]) & 0xFF] ^ (crc >> 8);
        crc = CRC_TABLE[(crc ^ bytes[6]) & 0xFF] ^ (crc >> 8);
        crc = CRC_TABLE[(crc ^ bytes[7]) & 0xFF] ^ (crc >> 8);
        bytes += 8;
        cb -= 8;
    }
    while (cb-- > 0)
        crc = CRC_TABLE[(crc ^ *bytes++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

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

int hiveCheckStream(FILE *file, HiveCheck *check)
{
    BYTE block[HIVE_COPY_CB];
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
        cbRead = fread(block, 1, sizeof block, file);
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
    hiveCheckStream(file, check);
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
