/*
 * repair.cpp - repair: rewrites a RAM registry image in place with every
 * record consistent: the name kept up to its first NUL, nameLength and
 * length recomputed, the high bytes of type and tag cleared, bytes beyond a
 * record's fields dropped, totalSize set to the new length.
 *
 * Choices for damaged images:
 * - A name without a NUL among the characters read keeps every one of them
 *   and gets a NUL appended; a name of 255 characters without one (the most
 *   nameLength holds) keeps 254 and the NUL. A nameLength of 0 gives the
 *   empty name (the NUL alone). Nothing of an earlier record's name is used.
 * - A file cut short (it ends before its totalSize, or inside a record's
 *   head, fields, name or data) is left as it was, with "repair: file cut
 *   short, file left unchanged" and the result RAMIMAGE_CUT_SHORT;
 *   "repair: done" is not written. Rewriting it would drop the record cut
 *   short, and would give a cut copy a totalSize that makes it pass for a
 *   whole backup, which a restore then takes for the whole registry.
 * - A damaged totalSize loses no record: after totalSize the walk goes on
 *   while the bytes there form whole, consistent records (a totalSize of 0,
 *   8 or too small for the records). Bytes after the last record that hold
 *   no whole record are padding and are dropped, as before.
 * - A record whose stored length and fields disagree gives two readings of
 *   where the next record starts (imageReading). When the stored length
 *   leads nowhere and the fields lead over whole records on to the end, the
 *   stored length is the damaged one: the walk goes on where the fields
 *   end, and the records it swallowed are kept. When the fields lead to no
 *   record, the bytes between are surplus and are dropped, as before. When
 *   it cannot be told which is right, the file is left as it was, with
 *   "repair: record length unclear, file left unchanged" and
 *   RAMIMAGE_LENGTH_UNCLEAR.
 * - A record whose type byte is neither 1 nor 2 means the walk has lost its
 *   way; rewriting would drop it and every record after it. The file is left
 *   as it was, with the log line "repair: type unknown, file left unchanged"
 *   and the result RAMIMAGE_TYPE_ERROR; "repair: done" is not written.
 * - A failed read, write, close or final copy leaves the file as it was and
 *   is reported by its own log line with RAMIMAGE_NOT_WRITTEN.
 */
#include "ramimage/image.h"

static const RewriteTexts REPAIR_TEXTS = {
    TEXT("rep"),
    TEXT("r+b"), /* opened for update although only read: a read-only file fails here */
    TEXT("repair: GetTempFileName failed"),
    TEXT("repair: could not open "),
    TEXT("repair: sig unknown"),
    TEXT("repair: could not read "),
    TEXT("repair: could not write "),
    TEXT("repair: could not replace "),
};

/* 1 in each 16-bit lane (from 32-bit halves: the device compiler has no
 * 64-bit literals) */
#define LANES_LOW (((uint64_t)0x00010001UL << 32) | 0x00010001UL)
/* the top bit of each lane */
#define LANES_HIGH (((uint64_t)0x80008000UL << 32) | 0x80008000UL)

/* The top bit of each 16-bit lane of four characters that is 0 (and maybe
 * of lanes above one that is); none when no lane is 0. */
static inline uint64_t nulLanes(const BYTE *four)
{
    uint64_t v = (uint64_t)getLe32(four) | ((uint64_t)getLe32(four + 4) << 32);

    return (v - LANES_LOW) & ~v & LANES_HIGH;
}

/* The first lane that nulLanes marks: the first NUL among the four. */
static inline unsigned firstLane(uint64_t lanes)
{
    if (lanes & 0x8000UL)
        return 0;
    if (lanes & 0x80000000UL)
        return 1;
    return (lanes & ((uint64_t)0x8000UL << 32)) ? 2 : 3;
}

/* The position of the first NUL among the eight characters at eight, or
 * 8 when there is none. */
static inline unsigned firstNulOfEight(const BYTE *eight)
{
    uint64_t low = nulLanes(eight), high;

    if (low != 0)
        return firstLane(low);
    high = nulLanes(eight + 8);
    return high != 0 ? 4 + firstLane(high) : 8;
}

/* The characters of a name of cchRead characters at name (UTF-16LE bytes)
 * that are kept, up to and without its first NUL: all of them when it has
 * none, but at most NAME_MAX_CCH - 1, so that the NUL written after them
 * fits nameLength. Sets *hasNul when the kept characters are followed by a
 * NUL among those read. */
static unsigned nameKept(const BYTE *name, unsigned cchRead, int *hasNul)
{
    unsigned i, at;

    *hasNul = 1;
    if (cchRead >= 8) {
        /* Eight characters a step, then the last eight (some looked at
         * again: none of them is NUL, so the first NUL found is still the
         * first). */
        for (i = 0; i + 8 <= cchRead; i += 8) {
            if ((at = firstNulOfEight(name + NAME_CHAR_CB * i)) < 8)
                return i + at;
        }
        if (i < cchRead && (at = firstNulOfEight(name + NAME_CHAR_CB * (cchRead - 8))) < 8)
            return cchRead - 8 + at;
    } else {
        for (i = 0; i < cchRead; i++) {
            if (getLe16(name + NAME_CHAR_CB * i) == 0)
                return i;
        }
    }
    *hasNul = 0;
    return cchRead == NAME_MAX_CCH ? NAME_MAX_CCH - 1 : cchRead;
}

int repair(const WCHAR *path)
{
    RamImage *img;
    BYTE record[VALUE_NAME_AT]; /* a record's head and fields as written */
    static const BYTE NUL_CHAR[NAME_CHAR_CB] = {0, 0};
    const BYTE *fields;
    const BYTE *name;
    int hasNul;
    int walk;
    int typeError = 0;
    int unclear = 0;
    int reading;
    int cut = 0;
    int result;
    unsigned typeByte, tagByte, cchStored, cchKept, cchName, cbData, cbFields;
    int64_t cbNeeded;

    result = imageOpen(&img, path, &REPAIR_TEXTS);
    if (result != 0)
        return result;
    img->pastTotal = 1;
    cut = imageCutShort(img);

    while (!cut && (walk = walkNext(img)) != WALK_END) {
        if (walk == WALK_CUT) {
            cut = 1;
            break;
        }
        typeByte = img->type & 0xFF;
        if (typeByte != RECORD_KEY && typeByte != RECORD_VALUE) {
            typeError = 1;
            break;
        }
        cbFields = recordFieldsCb(typeByte);
        if (img->start + RECORD_HEAD_CB + cbFields > img->inLength) {
            cut = 1;
            break;
        }
        /* Fields and name are looked at where they lie in the window. */
        if ((fields = imagePeek(img, cbFields)) == NULL)
            break;
        /* Of tag and nameLength only the low bytes count. */
        tagByte = fields[FIELD_TAG_AT];
        cchStored = fields[FIELD_NAME_LENGTH_AT];
        cbData = typeByte == RECORD_VALUE ? getLe16(fields + FIELD_DATA_LENGTH_AT) : 0;
        cbNeeded = RECORD_HEAD_CB + (int64_t)recordLengthOf(typeByte, cchStored, cbData);
        if (img->start + cbNeeded > img->inLength) {
            cut = 1;
            break;
        }
        if (cbNeeded != (int64_t)img->size) {
            /* Two readings of where the next record starts. */
            reading = imageReading(img, img->next, img->start + cbNeeded);
            if (reading == READ_UNCLEAR) {
                unclear = 1;
                break;
            }
            if (reading == READ_FIELDS)
                img->next = img->start + cbNeeded;
        }
        if ((fields = imagePeek(img, cbFields + NAME_CHAR_CB * (size_t)cchStored)) == NULL)
            break;
        name = fields + cbFields;
        cchKept = nameKept(name, cchStored, &hasNul);
        cchName = cchKept + 1;
        if (hasNul && cchName == cchStored && img->type == typeByte &&
            fields[FIELD_TAG_AT + 1] == 0 && fields[FIELD_NAME_LENGTH_AT + 1] == 0 &&
            img->length == recordLengthOf(typeByte, cchStored, cbData)) {
            /* A consistent record is written as it is stored. */
            imageCopy(img, img->start, img->size);
            continue;
        }

        putLe16(record + RECORD_LENGTH_AT, recordLengthOf(typeByte, cchName, cbData));
        putLe16(record + RECORD_TYPE_AT, typeByte);
        putLe16(record + RECORD_TAG_AT, tagByte);
        putLe16(record + RECORD_NAME_LENGTH_AT, cchName);
        if (typeByte == RECORD_VALUE)
            putLe16(record + VALUE_DATA_LENGTH_AT, cbData);
        imageWrite(img, record, RECORD_HEAD_CB + cbFields);
        /* The name with its NUL: the stored one when it has one. */
        imageWrite(img, name, NAME_CHAR_CB * ((size_t)cchKept + (hasNul ? 1 : 0)));
        if (!hasNul)
            imageWrite(img, NUL_CHAR, NAME_CHAR_CB);
        img->pos += cbFields + NAME_CHAR_CB * (int64_t)cchStored;
        /* The data follow the stored name, however long it was. */
        if (typeByte == RECORD_VALUE)
            imageCopy(img, -1, cbData);
    }

    if (typeError) {
        writeLog(TEXT("repair: type unknown, file left unchanged"), EMPTY, 1);
        imageEnd(img, path, 0);
        return RAMIMAGE_TYPE_ERROR;
    }
    if (unclear && img->failed == IMAGE_OK) {
        writeLog(TEXT("repair: record length unclear, file left unchanged"), EMPTY, 1);
        imageEnd(img, path, 0);
        return RAMIMAGE_LENGTH_UNCLEAR;
    }
    if (cut && img->failed == IMAGE_OK) {
        writeLog(TEXT("repair: file cut short, file left unchanged"), EMPTY, 1);
        imageEnd(img, path, 0);
        return RAMIMAGE_CUT_SHORT;
    }
    result = imageEnd(img, path, 1);
    if (result != 0)
        return result;
    writeLog(TEXT("repair: done"), EMPTY, 1);
    return REPAIR_DONE;
}
