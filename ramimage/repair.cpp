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
 * - A record whose type byte is neither 1 nor 2 means the walk has lost its
 *   way; rewriting would drop it and every record after it. The file is left
 *   as it was, with the log line "repair: type unknown, file left unchanged"
 *   and the result RAMIMAGE_TYPE_ERROR; "repair: done" is not written.
 * - A failed read, write, close or final copy leaves the file as it was and
 *   is reported by its own log line with RAMIMAGE_NOT_WRITTEN.
 */
#include "ramimage/image.h"

#define NAME_CCH 4096      /* the name buffer, in characters */
#define KEY_FIELDS_CB 4    /* tag, nameLength */
#define VALUE_FIELDS_CB 6  /* tag, nameLength, dataLength */
#define VALUE_HEADER_CB 10 /* length, type, tag, nameLength, dataLength */
#define KEY_HEADER_CB 8    /* length, type, tag, nameLength */
#define NAME_MAX_CCH 255   /* nameLength keeps only its low byte */

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

/* The number of characters to write of a name of cchRead characters at
 * name (UTF-16LE bytes), its NUL included; puts the NUL in place when the
 * name read has none. The buffer holds at least cchRead + 1 characters. */
static unsigned nameChars(BYTE *name, unsigned cchRead)
{
    unsigned i;

    for (i = 0; i < cchRead; i++) {
        if (name[2 * i] == 0 && name[2 * i + 1] == 0)
            return i + 1;
    }
    if (cchRead == NAME_MAX_CCH)
        i = NAME_MAX_CCH - 1;
    name[2 * i] = 0;
    name[2 * i + 1] = 0;
    return i + 1;
}

int repair(const WCHAR *path)
{
    RamImage img;
    /* One record as written: its header, then the name buffer. */
    BYTE record[VALUE_HEADER_CB + 2 * NAME_CCH];
    BYTE *name = record + VALUE_HEADER_CB;
    BYTE data[IMAGE_BUFFER_CB];
    BYTE fields[VALUE_FIELDS_CB];
    int walk;
    int typeError = 0;
    int cut = 0;
    int result;
    unsigned typeByte, tagByte, cchStored, cchName, cbData, cbFields;
    int64_t cbNeeded;

    result = imageOpen(&img, path, &REPAIR_TEXTS);
    if (result != 0)
        return result;
    img.pastTotal = 1;
    cut = imageCutShort(&img);

    while (!cut && (walk = walkNext(&img)) != WALK_END) {
        if (walk == WALK_CUT) {
            cut = 1;
            break;
        }
        typeByte = img.type & 0xFF;
        if (typeByte != 1 && typeByte != 2) {
            typeError = 1;
            break;
        }
        cbFields = typeByte == 1 ? KEY_FIELDS_CB : VALUE_FIELDS_CB;
        if (img.start + RECORD_HEAD_CB + cbFields > img.inLength) {
            cut = 1;
            break;
        }
        if (!imageRead(&img, fields, cbFields))
            break;
        tagByte = fields[0];
        cchStored = fields[2];
        cbData = typeByte == 2 ? getLe16(fields + 4) : 0;
        cbNeeded = RECORD_HEAD_CB + cbFields + 2 * (int64_t)cchStored + cbData;
        if (img.start + cbNeeded > img.inLength) {
            cut = 1;
            break;
        }
        if (!imageRead(&img, name, 2 * (size_t)cchStored))
            break;
        cchName = nameChars(name, cchStored);

        /* The header goes right before the name so that one write does. */
        if (typeByte == 2) {
            putLe16(record, cbData + 2 * cchName + 6);
            putLe16(record + 2, 2);
            putLe16(record + 4, tagByte);
            putLe16(record + 6, cchName);
            putLe16(record + 8, cbData);
            imageWrite(&img, record, VALUE_HEADER_CB + 2 * (size_t)cchName);
            /* The data follow the stored name, however long it was. */
            imageCopy(&img, -1, cbData, data);
        } else {
            BYTE *key = record + VALUE_HEADER_CB - KEY_HEADER_CB;
            putLe16(key, 2 * cchName + 4);
            putLe16(key + 2, 1);
            putLe16(key + 4, tagByte);
            putLe16(key + 6, cchName);
            imageWrite(&img, key, KEY_HEADER_CB + 2 * (size_t)cchName);
        }
    }

    if (typeError) {
        writeLog(TEXT("repair: type unknown, file left unchanged"), EMPTY, 1);
        imageEnd(&img, path, 0);
        return RAMIMAGE_TYPE_ERROR;
    }
    if (cut && img.failed == IMAGE_OK) {
        writeLog(TEXT("repair: file cut short, file left unchanged"), EMPTY, 1);
        imageEnd(&img, path, 0);
        return RAMIMAGE_CUT_SHORT;
    }
    result = imageEnd(&img, path, 1);
    if (result != 0)
        return result;
    writeLog(TEXT("repair: done"), EMPTY, 1);
    return REPAIR_DONE;
}
