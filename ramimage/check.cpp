/*
 * check.cpp - the one verdict on a RAM registry image: will the device read
 * it back whole at a warm boot? If not, what is wrong and where. The
 * restore, the copy-out and the backup tool on the PC all take this one.
 *
 * The device reads an image back only when all of it holds: the 8-byte
 * header with the signature; totalSize equal to the image's length; every
 * record within the image and consistent (type 1 for a key or 2 for a
 * value, all 16 bits; its length the sum of its fields; its nameLength at
 * most 255 and the position of its name's first NUL plus 1); no value
 * record before the first key record; every key record tagged with a root
 * (0, 1 or 2) and named with a key path (no '\' at its start or end, none
 * after another, no character below 0x20); every value record tagged with a
 * value type the device knows. Anything else and the device falls back to
 * its default registry.
 *
 * One policy goes beyond the device: an image with no key record (the
 * header alone) reads back as an empty registry, and the check refuses it
 * (IMAGE_NO_KEY), so that a restore never empties the device.
 *
 * The check is fed the file's bytes in order, in pieces of any size, so
 * that it needs no more memory than one record's head and name whatever
 * the image's size, and so that a caller that reads the file its own way
 * (the backup tool on the PC) gets the very same verdict as the restore.
 */
#include "log/bytes.h"
#include "log/text.h"
#include "ramimage/copy.h"
#include "ramimage/ramimage.h"
#include "ramimage/record.h"

#define CHECK_HEADER 0 /* waiting for the 8-byte image header */
#define CHECK_RECORD 1 /* waiting for the bytes of a record's head and name */
#define CHECK_SKIP 2   /* skipping a record's data */
#define CHECK_DONE 3   /* the verdict is in */

#define CHECK_BLOCK_CB 4096 /* checkImageFile reads the file in blocks of this size */

void imageCheckStart(ImageCheck *check, int64_t cbFile)
{
    check->problem = IMAGE_WHOLE;
    check->offset = 0;
    check->have = 0;
    check->need = 0;
    check->records = 0;
    check->keys = 0;
    check->cbFile = cbFile;
    check->pos = 0;
    check->start = 0;
    check->stage = CHECK_HEADER;
    check->cbBuffered = 0;
    check->cbWanted = IMAGE_HEADER_CB;
    check->cbSkip = 0;
}

/* Sets the verdict. */
static void found(ImageCheck *check, int problem, int64_t offset, DWORD have, DWORD need)
{
    check->problem = problem;
    check->offset = (DWORD)offset;
    check->have = have;
    check->need = need;
    check->stage = CHECK_DONE;
}

/* One record as the check sees it (recordCheck). */
typedef struct {
    DWORD have;      /* with a problem: what was found */
    DWORD need;      /* with a problem: what it should be */
    size_t cbNeeded; /* 0, or the bytes of the record wanted before a verdict */
    DWORD size;      /* length + 4, once the head was read */
    WORD type;       /* as stored, once the head was read */
} RecordCheck;

/* Looks at a record whose first cb bytes are at rec, with cbLeft bytes of
 * the file from its start on. Returns IMAGE_WHOLE with out->cbNeeded 0 when
 * the record is consistent and lies within the file (its head, fields and
 * name looked at; its data are not), IMAGE_WHOLE with out->cbNeeded set
 * when it must see that many of the record's bytes first (never more than
 * IMAGE_CHECK_RECORD_CB, never past the file's end), or the record's first
 * problem with out->have and out->need. */
static int recordCheck(const BYTE *rec, size_t cb, int64_t cbLeft, RecordCheck *out)
{
    WORD length, type, tag, cchName, cbData = 0;
    size_t cbFields, cbHead, i;
    DWORD formula;

    out->have = 0;
    out->need = 0;
    out->cbNeeded = 0;
    out->size = 0;
    out->type = 0;
    if (cbLeft < RECORD_HEAD_CB) {
        out->have = (DWORD)cbLeft;
        out->need = RECORD_HEAD_CB;
        return IMAGE_RECORD_CUT;
    }
    if (cb < RECORD_HEAD_CB) {
        out->cbNeeded = RECORD_HEAD_CB;
        return IMAGE_WHOLE;
    }
    length = getLe16(rec + RECORD_LENGTH_AT);
    type = getLe16(rec + RECORD_TYPE_AT);
    out->size = (DWORD)length + RECORD_HEAD_CB;
    out->type = type;
    if ((int64_t)out->size > cbLeft) {
        out->have = (DWORD)cbLeft;
        out->need = out->size;
        return IMAGE_RECORD_CUT;
    }
    if (type != RECORD_KEY && type != RECORD_VALUE) {
        out->have = type;
        return IMAGE_RECORD_TYPE;
    }
    /* tag, nameLength and (for a value) dataLength */
    cbFields = recordFieldsCb(type);
    cbHead = RECORD_HEAD_CB + cbFields;
    if (length < cbFields) {
        /* Its fields reach into whatever follows it. */
        out->have = length;
        out->need = (DWORD)cbFields;
        return IMAGE_RECORD_LENGTH;
    }
    if (cb < cbHead) {
        out->cbNeeded = cbHead;
        return IMAGE_WHOLE;
    }
    tag = getLe16(rec + RECORD_TAG_AT);
    cchName = getLe16(rec + RECORD_NAME_LENGTH_AT);
    if (type == RECORD_VALUE)
        cbData = getLe16(rec + VALUE_DATA_LENGTH_AT);
    formula = recordLengthOf(type, cchName, cbData);
    if (length != formula) {
        out->have = length;
        out->need = formula;
        return IMAGE_RECORD_LENGTH;
    }
    if (cchName > NAME_MAX_CCH) {
        out->have = cchName;
        return IMAGE_RECORD_HIGH;
    }
    /* The name lies within the record now, and so within the file. */
    if (cb < cbHead + NAME_CHAR_CB * cchName) {
        out->cbNeeded = cbHead + NAME_CHAR_CB * cchName;
        return IMAGE_WHOLE;
    }
    for (i = 0; i < cchName; i++) {
        if (getLe16(rec + cbHead + NAME_CHAR_CB * i) == 0)
            break;
    }
    if (i + 1 != cchName) {
        out->have = cchName;
        out->need = i < cchName ? (DWORD)(i + 1) : 0;
        return IMAGE_RECORD_NAME;
    }
    /* The last check of the layout: no root and no value type has a high
     * byte. */
    if ((tag >> 8) != 0) {
        out->have = tag;
        return type == RECORD_KEY ? IMAGE_KEY_TAG : IMAGE_VALUE_TAG;
    }
    return IMAGE_WHOLE;
}

/* The value types the device knows. */
static int knownValueType(WORD tag)
{
    return tag == REG_NONE || tag == REG_SZ || tag == REG_EXPAND_SZ || tag == REG_BINARY ||
           tag == REG_DWORD || tag == REG_MULTI_SZ;
}

/* What a record whose layout is consistent says, as the device takes it
 * (rec holds its head, fields and name): IMAGE_WHOLE, or
 * IMAGE_VALUE_FIRST, IMAGE_KEY_TAG, IMAGE_KEY_PATH, IMAGE_KEY_CHAR or
 * IMAGE_VALUE_TAG with out->have and out->need. */
static int recordMeaning(const ImageCheck *check, const BYTE *rec, RecordCheck *out)
{
    WORD tag = getLe16(rec + RECORD_TAG_AT);
    /* the name's characters, NUL not counted */
    size_t cch = (size_t)getLe16(rec + RECORD_NAME_LENGTH_AT) - 1;
    const BYTE *name = rec + KEY_NAME_AT;
    WCHAR c;
    size_t i;

    if (out->type == RECORD_VALUE) {
        if (check->keys == 0)
            return IMAGE_VALUE_FIRST;
        if (!knownValueType(tag)) {
            out->have = tag;
            return IMAGE_VALUE_TAG;
        }
        return IMAGE_WHOLE;
    }
    if (tag > KEY_TAG_LAST_ROOT) {
        out->have = tag;
        return IMAGE_KEY_TAG;
    }
    /* A key path: "" (the root's own key) or names joined by '\'. Its
     * length needs no test: a nameLength of at most 255 keeps it within
     * the device's 254 characters. */
    for (i = 0; i < cch; i++) {
        c = (WCHAR)getLe16(name + NAME_CHAR_CB * i);
        if (c < 0x20) {
            out->have = (DWORD)(i + 1);
            out->need = c;
            return IMAGE_KEY_CHAR;
        }
        if (c == '\\' &&
            (i == 0 || i + 1 == cch || getLe16(name + NAME_CHAR_CB * (i + 1)) == '\\')) {
            /* The later '\' of two, or the one at an end. */
            out->have = (DWORD)(i == 0 || i + 1 == cch ? i + 1 : i + 2);
            return IMAGE_KEY_PATH;
        }
    }
    return IMAGE_WHOLE;
}

static void nextRecord(ImageCheck *check);

/* Takes the buffered bytes of the record at check->start as far as they
 * go: a verdict, a wish for more bytes, or the skip over its data. */
static void stepRecord(ImageCheck *check)
{
    RecordCheck rec;
    int problem;

    problem = recordCheck(check->buffer, check->cbBuffered, check->cbFile - check->start, &rec);
    if (problem != IMAGE_WHOLE) {
        found(check, problem, check->start, rec.have, rec.need);
        return;
    }
    if (rec.cbNeeded != 0) {
        check->cbWanted = rec.cbNeeded;
        return;
    }
    problem = recordMeaning(check, check->buffer, &rec);
    if (problem != IMAGE_WHOLE) {
        found(check, problem, check->start, rec.have, rec.need);
        return;
    }
    check->records++;
    if (rec.type == RECORD_KEY)
        check->keys++;
    check->cbSkip = (int64_t)rec.size - (int64_t)check->cbBuffered;
    check->stage = CHECK_SKIP;
    if (check->cbSkip == 0)
        nextRecord(check);
}

/* The next record starts at check->pos, or the image ends there. */
static void nextRecord(ImageCheck *check)
{
    check->start = check->pos;
    check->cbBuffered = 0;
    check->cbWanted = RECORD_HEAD_CB;
    if (check->pos >= check->cbFile) {
        /* The one policy difference from the device, which reads an image
         * without a key record back as an empty registry: a restore of it
         * would leave the device with no registry at all. */
        if (check->keys == 0)
            found(check, IMAGE_NO_KEY, check->pos, 0, 0);
        else
            check->stage = CHECK_DONE;
        return;
    }
    check->stage = CHECK_RECORD;
    /* Fewer bytes left than a record head: no need to wait for them. */
    if (check->cbFile - check->start < RECORD_HEAD_CB)
        stepRecord(check);
}

static void stepHeader(ImageCheck *check)
{
    DWORD signature = getLe32(check->buffer + IMAGE_SIG_AT);
    DWORD totalSize = getLe32(check->buffer + IMAGE_TOTAL_SIZE_AT);

    if (signature != RAM_REG_SIG) {
        found(check, IMAGE_NOT_RAM, 0, signature, RAM_REG_SIG);
        return;
    }
    if ((int64_t)totalSize != check->cbFile) {
        found(check, IMAGE_SIZE_FIELD, IMAGE_TOTAL_SIZE_AT, totalSize, (DWORD)check->cbFile);
        return;
    }
    nextRecord(check);
}

int imageCheckFeed(ImageCheck *check, const BYTE *bytes, size_t cb)
{
    size_t take;

    if (check->stage == CHECK_HEADER && check->cbFile < IMAGE_HEADER_CB) {
        found(check, IMAGE_TOO_SHORT, 0, (DWORD)check->cbFile, IMAGE_HEADER_CB);
        return 0;
    }
    while (cb > 0 && check->stage != CHECK_DONE) {
        if (check->stage == CHECK_SKIP) {
            take = (int64_t)cb < check->cbSkip ? cb : (size_t)check->cbSkip;
            check->cbSkip -= (int64_t)take;
            check->pos += (int64_t)take;
            bytes += take;
            cb -= take;
            if (check->cbSkip == 0)
                nextRecord(check);
            continue;
        }
        take = check->cbWanted - check->cbBuffered;
        if (take > cb)
            take = cb;
        copyBytes(check->buffer + check->cbBuffered, bytes, take);
        check->cbBuffered += take;
        check->pos += (int64_t)take;
        bytes += take;
        cb -= take;
        if (check->cbBuffered < check->cbWanted)
            break;
        if (check->stage == CHECK_HEADER)
            stepHeader(check);
        else
            stepRecord(check);
    }
    return check->stage != CHECK_DONE;
}

int imageCheckEnd(ImageCheck *check)
{
    if (check->stage == CHECK_HEADER && check->cbFile < IMAGE_HEADER_CB)
        found(check, IMAGE_TOO_SHORT, 0, (DWORD)check->cbFile, IMAGE_HEADER_CB);
    else if (check->stage != CHECK_DONE)
        found(check, IMAGE_UNREADABLE, check->pos, (DWORD)check->pos, (DWORD)check->cbFile);
    return check->problem;
}

int checkImageFile(const WCHAR *path, ImageCheck *check)
{
    BYTE block[CHECK_BLOCK_CB];
    FILE *file;
    long cbFile;
    size_t cbRead;

    imageCheckStart(check, 0);
    file = _wfopen(path, TEXT("rb"));
    if (file == NULL) {
        found(check, IMAGE_UNREADABLE, 0, 0, 0);
        return check->problem;
    }
    if (fseek(file, 0, SEEK_END) != 0 || (cbFile = ftell(file)) < 0 ||
        fseek(file, 0, SEEK_SET) != 0) {
        found(check, IMAGE_UNREADABLE, 0, 0, 0);
        goto done;
    }
    imageCheckStart(check, cbFile);
    do {
        cbRead = fread(block, 1, sizeof block, file);
    } while (cbRead > 0 && imageCheckFeed(check, block, cbRead));
    imageCheckEnd(check);
done:
    fclose(file);
    return check->problem;
}

int imageLayoutConsistent(const ImageCheck *check)
{
    switch (check->problem) {
    case IMAGE_WHOLE:
    case IMAGE_VALUE_FIRST:
    case IMAGE_NO_KEY:
    case IMAGE_KEY_PATH:
    case IMAGE_KEY_CHAR:
        return 1;
    case IMAGE_KEY_TAG:
    case IMAGE_VALUE_TAG:
        return check->have <= 0xFF;
    default:
        return 0;
    }
}

/* ---- The verdict in words ------------------------------------------------ */

void imageProblemText(const ImageCheck *check, WCHAR *text, size_t cchText)
{
    TextBuffer out;

    if (cchText == 0)
        return;
    textStart(&out, text, cchText);
    if ((check->problem >= IMAGE_RECORD_CUT && check->problem <= IMAGE_VALUE_FIRST) ||
        (check->problem >= IMAGE_KEY_TAG && check->problem <= IMAGE_KEY_CHAR)) {
        textPut(&out, TEXT("record at "));
        textPutNumber(&out, check->offset, 1);
        textPut(&out, TEXT(": "));
    }
    switch (check->problem) {
    case IMAGE_WHOLE:
        break;
    case IMAGE_TOO_SHORT:
        textPut(&out, TEXT("shorter than the 8-byte image header ("));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(" bytes)"));
        break;
    case IMAGE_NOT_RAM:
        textPut(&out, TEXT("no RAM registry image signature"));
        break;
    case IMAGE_SIZE_FIELD:
        textPut(&out, TEXT("totalSize "));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(", the file holds "));
        textPutNumber(&out, check->need, 0);
        textPut(&out, TEXT(" bytes"));
        break;
    case IMAGE_RECORD_CUT:
        textPut(&out, TEXT("cut short, "));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(" of its "));
        textPutNumber(&out, check->need, 0);
        textPut(&out, TEXT(" bytes in the file"));
        break;
    case IMAGE_RECORD_LENGTH:
        textPut(&out, TEXT("length "));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(", its fields need "));
        textPutNumber(&out, check->need, 0);
        break;
    case IMAGE_RECORD_NAME:
        textPut(&out, TEXT("nameLength "));
        textPutNumber(&out, check->have, 0);
        if (check->need == 0) {
            textPut(&out, TEXT(", its name has no NUL"));
        } else {
            textPut(&out, TEXT(", its name ends at character "));
            textPutNumber(&out, check->need, 0);
        }
        break;
    case IMAGE_RECORD_HIGH:
        textPut(&out, TEXT("nameLength "));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(" is more than 255"));
        break;
    case IMAGE_RECORD_TYPE:
        textPut(&out, TEXT("type "));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(" is neither key (1) nor value (2)"));
        break;
    case IMAGE_KEY_TAG:
        textPut(&out, TEXT("key tag "));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(" is no root"));
        break;
    case IMAGE_VALUE_TAG:
        textPut(&out, TEXT("value tag "));
        textPutNumber(&out, check->have, 0);
        textPut(&out, TEXT(" is no value type"));
        break;
    case IMAGE_KEY_PATH:
        textPut(&out, TEXT("key name is no path: an empty part at character "));
        textPutNumber(&out, check->have, 0);
        break;
    case IMAGE_KEY_CHAR:
        textPut(&out, TEXT("key name holds control character "));
        textPutNumber(&out, check->need, 1);
        textPut(&out, TEXT(" at character "));
        textPutNumber(&out, check->have, 0);
        break;
    case IMAGE_VALUE_FIRST:
        textPut(&out, TEXT("value record before the first key record"));
        break;
    case IMAGE_NO_KEY:
        textPut(&out, TEXT("no key record: it would restore an empty registry"));
        break;
    default:
        textPut(&out, TEXT("cannot be read"));
        break;
    }
}
