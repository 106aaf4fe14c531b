/*
 * image.cpp - the record walk and the image writer shared by repair and
 * reorder: the temporary file, the signature check, the walk from record to
 * record by each record's stored length, streaming copies, the final
 * totalSize and the in-place replace through CopyFileW.
 *
 * The input is read through a window and the output gathered in a run,
 * each of IMAGE_BUFFER_CB bytes: the walk's small reads and the writer's
 * small writes cost no stream call, and the input is seeked only when a
 * read falls outside the window. The output's totalSize is always its own
 * length.
 */
#include "ramimage/image.h"

/* The rewrite in progress; its buffers are the run's block. */
static RamImage s_rewrite;

int imageOpen(RamImage **imgOut, const WCHAR *path, const RewriteTexts *texts)
{
    RamImage *img = &s_rewrite;
    BYTE header[IMAGE_HEADER_CB] = {0};
    long cbFile;
    size_t cbHeader;
    int result;

    *imgOut = img;
    img->in = NULL;
    img->out = NULL;
    img->tempPath[0] = 0;
    img->texts = texts;
    img->window = g_runBlock;
    img->pending = g_runBlock + IMAGE_BUFFER_CB;
    img->inLength = 0;
    img->totalSize = 0;
    img->pos = 0;
    img->streamPos = -1;
    img->windowStart = 0;
    img->cbWindow = 0;
    img->cbPending = 0;
    img->cbOut = 0;
    img->same = 1;
    img->next = IMAGE_HEADER_CB;
    img->keepFrom = -1;
    img->started = 0;
    img->pastTotal = 0;
    img->endedAtTotal = 0;
    img->failed = IMAGE_OK;
    img->start = 0;
    img->size = 0;
    img->length = 0;
    img->type = 0;

    /* tempFileName refuses a name too long for tempPath: the platform may
     * make one of up to MAX_PATH - 1 characters. */
    if (tempFileName(texts->prefix, img->tempPath) == 0) {
        img->tempPath[0] = 0;
        writeLog(texts->noTempName, EMPTY, 1);
        return RAMIMAGE_NO_TEMPNAME;
    }
    /* Only the name is wanted: the new image is created below. */
    DeleteFileW(img->tempPath);

    img->in = _wfopen(path, texts->inputMode);
    if (img->in == NULL) {
        writeLog(texts->noOpen, path, 1);
        return RAMIMAGE_NO_OPEN;
    }
    img->out = _wfopen(img->tempPath, TEXT("w+b"));
    if (img->out == NULL) {
        writeLog(texts->noOpen, img->tempPath, 1);
        result = RAMIMAGE_NO_OPEN;
        goto failed;
    }

    /* The length of the input bounds every read: nothing past its end is
     * ever asked for, so a record cut short is known before it is read. */
    if (fseek(img->in, 0, SEEK_END) != 0 || (cbFile = ftell(img->in)) < 0 ||
        fseek(img->in, 0, SEEK_SET) != 0) {
        img->failed = IMAGE_READ_FAILED;
        cbFile = 0;
    }
    img->inLength = cbFile;

    cbHeader = img->failed == IMAGE_OK ? fread(header, 1, IMAGE_HEADER_CB, img->in) : 0;
    img->pos = (int64_t)cbHeader;
    img->streamPos = (int64_t)cbHeader;
    /* Fewer bytes than the file holds is a failed read, not a short file. */
    if (img->failed != IMAGE_OK ||
        (int64_t)cbHeader != (cbFile < IMAGE_HEADER_CB ? cbFile : IMAGE_HEADER_CB)) {
        writeLog(texts->noRead, path, 1);
        result = RAMIMAGE_NOT_WRITTEN;
        goto failed;
    }
    if (cbHeader < IMAGE_SIG_CB || getLe32(header + IMAGE_SIG_AT) != RAM_REG_SIG) {
        writeLog(texts->sigUnknown, EMPTY, 1);
        result = RAMIMAGE_BAD_SIG;
        goto failed;
    }
    /* A file that ends inside totalSize has it read as 0: no record is
     * visited and the new image is the bare header. */
    if (cbHeader < IMAGE_HEADER_CB) {
        putLe32(header + IMAGE_TOTAL_SIZE_AT, 0);
        img->same = 0;
    }
    img->totalSize = (LONG)getLe32(header + IMAGE_TOTAL_SIZE_AT);
    /* totalSize is a placeholder until imageEnd writes the real length. */
    imageAppend(img, header, IMAGE_HEADER_CB);
    return 0;

failed:
    if (img->out != NULL) {
        fclose(img->out);
        DeleteFileW(img->tempPath);
    }
    fclose(img->in);
    img->out = NULL;
    img->in = NULL;
    return result;
}

/* Reads up to cb bytes of the input at offset into buffer, seeking first
 * unless the stream stands there. Returns the bytes read; 0 sets
 * img->failed (callers only ask for bytes inside the file). */
static size_t readAt(RamImage *img, int64_t offset, BYTE *buffer, size_t cb)
{
    size_t got;

    if (img->streamPos != offset) {
        if (fseek(img->in, (long)offset, SEEK_SET) != 0) {
            img->streamPos = -1;
            img->failed = IMAGE_READ_FAILED;
            return 0;
        }
        img->streamPos = offset;
    }
    got = fread(buffer, 1, cb, img->in);
    img->streamPos += (int64_t)got;
    if (got == 0)
        img->failed = IMAGE_READ_FAILED;
    return got;
}

/* A record's head and fields: a window filled this close after the start
 * of the current record starts with the record. */
#define RECORD_BACK_CB 16

/* Where a window that must hold the byte at img->pos starts: at
 * img->keepFrom when that lies at most half a window back, so that the
 * copies that come back for the bytes from there find them in the window;
 * at the current record's start when the position lies among its first
 * bytes (its head or fields were read across the window's end), so that
 * copying the record from its start, which often comes next, reads nothing
 * backwards; else at the position. */
static int64_t windowFrom(const RamImage *img)
{
    if (img->keepFrom >= 0 && img->keepFrom <= img->pos &&
        img->pos - img->keepFrom <= IMAGE_BUFFER_CB / 2)
        return img->keepFrom;
    return img->start <= img->pos && img->pos - img->start <= RECORD_BACK_CB ? img->start
                                                                             : img->pos;
}

/* Fills the window with the input bytes from offset on; returns how many
 * came (0 sets img->failed). */
static size_t loadWindow(RamImage *img, int64_t from)
{
    img->cbWindow = 0;
    img->windowStart = from;
    img->cbWindow = readAt(img, from, img->window, IMAGE_BUFFER_CB);
    return img->cbWindow;
}

/* Makes the window hold the byte at img->pos. Returns 0 after a failure. */
static int fillWindow(RamImage *img)
{
    int64_t from = windowFrom(img);

    if (img->pos >= img->windowStart && img->pos < img->windowStart + (int64_t)img->cbWindow)
        return 1;
    if ((int64_t)loadWindow(img, from) <= img->pos - from) {
        /* The file ended before the position: callers read only inside it. */
        img->failed = IMAGE_READ_FAILED;
        return 0;
    }
    return 1;
}

/* Hands the gathered output to the stream. */
static void flushPending(RamImage *img)
{
    if (img->cbPending != 0 && img->failed == IMAGE_OK &&
        fwrite(img->pending, 1, img->cbPending, img->out) != img->cbPending)
        img->failed = IMAGE_WRITE_FAILED;
    img->cbPending = 0;
}

int walkNextMore(RamImage *img)
{
    BYTE head[RECORD_HEAD_CB];
    int64_t offset = img->next;
    /* The first record is tested as if at offset 0, so that any positive
     * totalSize admits it. */
    int64_t tested = img->started ? offset : 0;

    img->started = 1;
    if (img->failed != IMAGE_OK || offset >= img->inLength)
        return WALK_END;
    if (tested >= (int64_t)img->totalSize && !(img->pastTotal && imageWholeRecordAt(img, offset))) {
        /* Bytes that hold no whole record after totalSize are padding. */
        img->endedAtTotal = 1;
        return WALK_END;
    }
    img->pos = offset;
    img->start = offset;
    if (img->inLength - offset < RECORD_HEAD_CB) {
        img->size = (DWORD)(img->inLength - offset);
        img->length = 0;
        img->type = 0;
        img->next = img->inLength;
        return WALK_CUT;
    }
    if (!imageRead(img, head, RECORD_HEAD_CB))
        return WALK_END;
    img->length = getLe16(head + RECORD_LENGTH_AT);
    img->type = getLe16(head + RECORD_TYPE_AT);
    img->size = (DWORD)img->length + RECORD_HEAD_CB;
    img->next = offset + img->size;
    return WALK_RECORD;
}

int imageCutShort(const RamImage *img)
{
    return (int64_t)img->totalSize > img->inLength;
}

int imageRecordAt(RamImage *img, int64_t offset, RecordAt *rec)
{
    const BYTE *head;
    const BYTE *name;
    unsigned typeByte, cbFields, cch, cbData, i;
    int64_t fieldsNext;

    rec->storedNext = -1;
    rec->fieldsNext = -1;
    rec->consistent = 0;
    if (img->failed != IMAGE_OK || offset < IMAGE_HEADER_CB ||
        offset + RECORD_HEAD_CB > img->inLength)
        return 0;
    img->pos = offset;
    if ((head = imagePeek(img, RECORD_HEAD_CB)) == NULL)
        return 0;
    typeByte = head[RECORD_TYPE_AT]; /* the low byte */
    if (typeByte != RECORD_KEY && typeByte != RECORD_VALUE)
        return 0;
    rec->storedNext = offset + RECORD_HEAD_CB + getLe16(head + RECORD_LENGTH_AT);
    cbFields = recordFieldsCb(typeByte);
    if (offset + RECORD_HEAD_CB + cbFields > img->inLength)
        return 1;
    if ((head = imagePeek(img, RECORD_HEAD_CB + cbFields)) == NULL)
        return 0;
    cch = head[RECORD_NAME_LENGTH_AT];
    cbData = typeByte == RECORD_VALUE ? getLe16(head + VALUE_DATA_LENGTH_AT) : 0;
    fieldsNext = offset + RECORD_HEAD_CB + recordLengthOf(typeByte, cch, cbData);
    if (fieldsNext > img->inLength)
        return 1;
    rec->fieldsNext = fieldsNext;
    /* The high bytes of type, tag and nameLength are 0 in a consistent record. */
    if (head[RECORD_TYPE_AT + 1] != 0 || head[RECORD_TAG_AT + 1] != 0 ||
        head[RECORD_NAME_LENGTH_AT + 1] != 0 || fieldsNext != rec->storedNext || cch == 0)
        return 1;
    img->pos = offset + RECORD_HEAD_CB + cbFields;
    if ((name = imagePeek(img, NAME_CHAR_CB * (size_t)cch)) == NULL)
        return 0;
    for (i = 0; i + 1 < cch; i++) {
        if (getLe16(name + NAME_CHAR_CB * i) == 0)
            return 1;
    }
    rec->consistent = getLe16(name + NAME_CHAR_CB * i) == 0;
    return 1;
}

int imageWholeRecordAt(RamImage *img, int64_t offset)
{
    RecordAt rec;

    return imageRecordAt(img, offset, &rec) && rec.consistent;
}

/* One reading of where the records after a record start, as imageReading
 * follows it. */
#define READING_ON 0   /* still being followed */
#define READING_END 1  /* reached the end of the image */
#define READING_MET 2  /* met the other reading */
#define READING_LOST 3 /* a record that is not whole and consistent, or past the end */

typedef struct {
    int64_t at; /* the next record's offset */
    int state;
    int found; /* 1 once a whole, consistent record was found */
} Reading;

/* True at the end of the file, and at totalSize where it lies inside the
 * file (bytes after it may be padding). */
static int atImageEnd(const RamImage *img, int64_t at)
{
    return at == img->inLength ||
           (at == (int64_t)img->totalSize && at >= IMAGE_HEADER_CB && at < img->inLength);
}

static void stepReading(RamImage *img, Reading *reading)
{
    RecordAt rec;

    if (atImageEnd(img, reading->at)) {
        reading->state = READING_END;
    } else if (!imageRecordAt(img, reading->at, &rec) || !rec.consistent) {
        reading->state = READING_LOST;
    } else {
        reading->found = 1;
        reading->at = rec.storedNext;
    }
}

int imageReading(RamImage *img, int64_t storedNext, int64_t fieldsNext)
{
    Reading stored, fields;
    int64_t pos = img->pos;
    int fieldsWalk;

    stored.at = storedNext;
    stored.state = READING_ON;
    stored.found = 0;
    fields.at = fieldsNext;
    fields.state = READING_ON;
    fields.found = 0;
    /* The reading that stands further back takes the next step, so that
     * one that lands on the other's records is seen to meet it. A reading
     * that goes on far is followed only as long as the verdict needs it. */
    while (stored.state == READING_ON || fields.state == READING_ON) {
        if (stored.state == READING_ON && fields.state == READING_ON && stored.at == fields.at) {
            stored.state = READING_MET;
            fields.state = READING_MET;
        } else if ((stored.found && fields.found) ||
                   (fields.state == READING_LOST && !fields.found)) {
            break;
        } else if (stored.state == READING_ON &&
                   (fields.state != READING_ON || stored.at < fields.at)) {
            stepReading(img, &stored);
        } else {
            stepReading(img, &fields);
        }
    }
    img->pos = pos;
    fieldsWalk = fields.state == READING_END || fields.state == READING_MET;
    /* The stored length leads nowhere, the fields lead on to the end. */
    if (stored.state == READING_LOST && !stored.found && fieldsWalk)
        return READ_FIELDS;
    /* The fields lead to no record: what a larger stored length swallows
     * is surplus (or a smaller one goes on inside the record). */
    if (!fields.found)
        return READ_STORED;
    /* Both lead to records, or only the fields do but not on to the end,
     * or the stored length leads on to the end too. */
    return READ_UNCLEAR;
}

int imageReadMore(RamImage *img, void *buffer, size_t cb)
{
    BYTE *to = (BYTE *)buffer;
    size_t at, piece;

    while (cb > 0 && img->failed == IMAGE_OK) {
        if (cb >= IMAGE_BUFFER_CB && !(img->pos >= img->windowStart &&
                                       img->pos < img->windowStart + (int64_t)img->cbWindow)) {
            /* A large read goes past the window. */
            piece = readAt(img, img->pos, to, cb);
        } else {
            if (!fillWindow(img))
                break;
            at = (size_t)(img->pos - img->windowStart);
            piece = img->cbWindow - at < cb ? img->cbWindow - at : cb;
            copyBytes(to, img->window + at, piece);
        }
        to += piece;
        cb -= piece;
        img->pos += (int64_t)piece;
    }
    return img->failed == IMAGE_OK;
}

void imageWriteMore(RamImage *img, const void *bytes, size_t cb)
{
    const BYTE *from = (const BYTE *)bytes;
    size_t piece;

    /* The run goes out only when full, so that the stream is handed whole
     * runs of IMAGE_BUFFER_CB bytes (a multiple of its 4 KiB buffer),
     * which it writes straight to the file in one call each. */
    while (cb > 0 && img->failed == IMAGE_OK) {
        if (img->cbPending == IMAGE_BUFFER_CB)
            flushPending(img);
        if (img->cbPending == 0 && cb >= IMAGE_BUFFER_CB) {
            piece = cb - cb % IMAGE_BUFFER_CB;
            if (fwrite(from, 1, piece, img->out) != piece)
                img->failed = IMAGE_WRITE_FAILED;
        } else {
            piece = IMAGE_BUFFER_CB - img->cbPending < cb ? IMAGE_BUFFER_CB - img->cbPending : cb;
            copyBytes(img->pending + img->cbPending, from, piece);
            img->cbPending += piece;
        }
        from += piece;
        cb -= piece;
    }
}

int imageCopyMore(RamImage *img, int64_t offset, int64_t cb)
{
    size_t at, piece;

    if (offset >= 0)
        img->pos = offset;
    while (cb > 0 && img->failed == IMAGE_OK) {
        if (img->pos >= img->windowStart && img->pos < img->windowStart + (int64_t)img->cbWindow) {
            /* Straight from the window to the output. */
            at = (size_t)(img->pos - img->windowStart);
            piece = img->cbWindow - at < (uint64_t)cb ? img->cbWindow - at : (size_t)cb;
            imageAppend(img, img->window + at, piece);
            img->pos += (int64_t)piece;
        } else if (cb < IMAGE_BUFFER_CB && img->pos == img->windowStart + (int64_t)img->cbWindow) {
            /* The bytes right after the window: the walk reads on from
             * there, so the window moves on. */
            if (!fillWindow(img))
                break;
            continue;
        } else {
            /* Only the bytes asked for (a record seeked back to is seldom
             * followed by the bytes after it), read into the pending run. */
            if (img->cbPending == IMAGE_BUFFER_CB)
                flushPending(img);
            piece = IMAGE_BUFFER_CB - img->cbPending;
            if ((uint64_t)cb < piece)
                piece = (size_t)cb;
            if (img->failed != IMAGE_OK ||
                (piece = readAt(img, img->pos, img->pending + img->cbPending, piece)) == 0)
                break;
            img->cbPending += piece;
            img->cbOut += (int64_t)piece;
            img->pos += (int64_t)piece;
        }
        cb -= (int64_t)piece;
    }
    return img->failed == IMAGE_OK;
}

const BYTE *imagePeekMore(RamImage *img, size_t cb)
{
    int64_t from = windowFrom(img);
    size_t at = (size_t)(img->pos - from);

    if (img->failed != IMAGE_OK)
        return NULL;
    if (at + cb > IMAGE_BUFFER_CB) {
        from = img->pos;
        at = 0;
    }
    if (loadWindow(img, from) < at + cb) {
        /* The caller asked for bytes inside the file. */
        img->failed = IMAGE_READ_FAILED;
        return NULL;
    }
    return img->window + at;
}

void imageWindowEnding(RamImage *img, int64_t start, int64_t end)
{
    int64_t from = end - IMAGE_BUFFER_CB > 0 ? end - IMAGE_BUFFER_CB : 0;

    if (img->failed != IMAGE_OK || end - start > IMAGE_BUFFER_CB ||
        (start >= img->windowStart && end <= img->windowStart + (int64_t)img->cbWindow))
        return;
    loadWindow(img, from);
}

int imageEnd(RamImage *img, const WCHAR *path, int keep)
{
    int failed = img->failed;
    int result = 0;
    long cbOut = -1;
    BYTE size[IMAGE_TOTAL_SIZE_CB];

    if (keep)
        flushPending(img);
    failed = img->failed;
    if (keep && failed == IMAGE_OK) {
        /* The new image's length, whatever the input's totalSize said. */
        cbOut = ftell(img->out);
        if (cbOut < 0 || fseek(img->out, IMAGE_TOTAL_SIZE_AT, SEEK_SET) != 0) {
            failed = IMAGE_WRITE_FAILED;
        } else {
            putLe32(size, (DWORD)cbOut);
            if (fwrite(size, 1, sizeof size, img->out) != sizeof size || fflush(img->out) != 0 ||
                ferror(img->out))
                failed = IMAGE_WRITE_FAILED;
        }
    }
    /* A full disk may show only when the last buffer is written out. */
    if (fclose(img->out) != 0 && failed == IMAGE_OK)
        failed = IMAGE_WRITE_FAILED;
    fclose(img->in);
    img->out = NULL;
    img->in = NULL;

    if (keep) {
        if (failed == IMAGE_READ_FAILED) {
            writeLog(img->texts->noRead, path, 1);
            result = RAMIMAGE_NOT_WRITTEN;
        } else if (failed == IMAGE_WRITE_FAILED) {
            writeLog(img->texts->noWrite, img->tempPath, 1);
            result = RAMIMAGE_NOT_WRITTEN;
        } else if (img->same && cbOut == img->inLength && (DWORD)img->totalSize == (DWORD)cbOut) {
            /* The new image is the file as it stands: nothing to replace. */
        } else if (!CopyFileW(img->tempPath, path, FALSE)) {
            /* The device's copy overwrites in place: a copy that failed part
             * way leaves path cut short, and the caller must not use it. */
            writeLog(img->texts->noReplace, path, 1);
            result = RAMIMAGE_NOT_WRITTEN;
        }
    }
    DeleteFileW(img->tempPath);
    return result;
}
