/*
 * image.h - what repair and reorder share: opening an image with its
 * temporary file, the record walk over the input, and the writer of the new
 * image (header placeholder, records, final totalSize, in-place replace).
 * The layout they walk is ramimage/record.h's.
 */
#ifndef CORVANE_IMAGE_H
#define CORVANE_IMAGE_H

#include "log/bytes.h"
#include "log/log.h"
#include "log/run.h"
#include "ramimage/copy.h"
#include "ramimage/ramimage.h"
#include "ramimage/record.h"

/* The input window and the output run of a rewrite. The device's C library
 * serves a read or write of 4 KiB or more with one file system call, and a
 * rewrite of a 64 MiB image in pieces of 4 KiB makes 32768 of them; pieces
 * of 64 KiB make a sixteenth as many (a rewrite of 64 KiB pieces takes
 * about a fifth less time than one of 32 KiB pieces; larger ones gain
 * little more). The two buffers are the two halves of the run's block
 * (log/run.h), static and shared with the hive operations, which never run
 * during a rewrite: no allocation that can fail. */
#define IMAGE_BUFFER_CB (RUN_BLOCK_CB / 2)

/* The rewrite's own codes lie from 70 to 99, apart from every result that
 * leaves ramimage/ (ramimage/ramimage.h). */

/* Results of walkNext. */
#define WALK_END 70    /* no record left */
#define WALK_RECORD 71 /* length and type read; the input stands after type */
/* the file ends inside length or type: only start and size (the bytes left)
 * are known; the walk ends next */
#define WALK_CUT 72

/* Why a rewrite gave up its new image. */
#define IMAGE_OK 80
#define IMAGE_READ_FAILED 81
#define IMAGE_WRITE_FAILED 82

/* The log texts and names of one rewrite. The "could not ..." texts are
 * followed by a path. */
typedef struct {
    const WCHAR *prefix;     /* temporary name prefix, three letters */
    const WCHAR *inputMode;  /* _wfopen mode of the input */
    const WCHAR *noTempName; /* GetTempFileNameW failed */
    const WCHAR *noOpen;     /* input or temporary file cannot be opened */
    const WCHAR *sigUnknown; /* the input is no RAM registry image */
    const WCHAR *noRead;     /* reading the input failed */
    const WCHAR *noWrite;    /* writing or closing the new image failed */
    const WCHAR *noReplace;  /* the new image could not be copied over the input */
} RewriteTexts;

/* One rewrite in progress: the input, the new image and the walk's place.
 * Small reads are served from a window of IMAGE_BUFFER_CB bytes of the
 * input and small writes gathered in a run of as many, so that the streams
 * see few calls. There is one, in static storage (imageOpen): the system
 * runs one rewrite at a time. */
typedef struct {
    FILE *in;                 /* the image being rewritten */
    FILE *out;                /* the new image, under tempPath */
    WCHAR tempPath[PATH_CCH]; /* the temporary file's name */
    const RewriteTexts *texts;
    int64_t inLength;  /* bytes in the input file */
    LONG totalSize;    /* the input's totalSize */
    int64_t pos;       /* where the next read of the input starts */
    int64_t streamPos; /* where the input stream stands; -1 when not known */
    BYTE *window; /* IMAGE_BUFFER_CB bytes: input bytes [windowStart, windowStart + cbWindow) */
    int64_t windowStart;
    size_t cbWindow;
    BYTE *pending; /* IMAGE_BUFFER_CB bytes: output bytes not yet handed to the stream */
    size_t cbPending;
    int64_t cbOut; /* bytes of the new image so far, pending ones included */
    int same;      /* 1 while they are the input's first cbOut bytes */
    int64_t next;  /* offset of the record after the current one */
    /* -1, or where the bytes start that copies will soon come back for
     * (reorder: its pending key group): a window loaded ahead takes them
     * in when they lie close enough */
    int64_t keepFrom;
    int started;      /* 0 until the first record has been looked for */
    int pastTotal;    /* 1: walk on past totalSize while whole records follow */
    int endedAtTotal; /* the walk ended at totalSize with bytes left after it */
    int failed;       /* IMAGE_OK, or the first failure met */
    /* The current record. */
    int64_t start; /* its offset in the input */
    DWORD size;    /* length + 4 (WALK_CUT: the bytes left) */
    WORD length;   /* as stored */
    WORD type;     /* as stored, all 16 bits */
} RamImage;

/* Starts the rewrite (*img points to it): makes the temporary name
 * (deleting the empty file that names it), opens path with texts->inputMode
 * and the new image, checks the signature and writes signature and the
 * input's totalSize (a placeholder) to the new image. Returns 0 ready for
 * walkNext; otherwise RAMIMAGE_NO_TEMPNAME, RAMIMAGE_NO_OPEN,
 * RAMIMAGE_BAD_SIG or RAMIMAGE_NOT_WRITTEN (the header could not be read),
 * after writing the matching log line, closing what it opened and deleting
 * the temporary file. */
int imageOpen(RamImage **img, const WCHAR *path, const RewriteTexts *texts);

/* True when the file ends before the length its totalSize gives (compared
 * as a signed number): a copy cut short, or a totalSize too large to tell
 * from one. A rewrite would give such a file a totalSize that hides what is
 * missing, so repair and reorder leave it as it is. */
int imageCutShort(const RamImage *img);

/* walkNext beyond a head that lies in the window. */
int walkNextMore(RamImage *img);

/* imageRead and imageWrite beyond what the window and the pending run
 * serve at once. */
int imageReadMore(RamImage *img, void *buffer, size_t cb);
void imageWriteMore(RamImage *img, const void *bytes, size_t cb);
int imageCopyMore(RamImage *img, int64_t offset, int64_t cb);
const BYTE *imagePeekMore(RamImage *img, size_t cb);

/* Readies the window for copies of the input bytes [start, end): when they
 * fit it and are not all in it, it is filled with the IMAGE_BUFFER_CB bytes
 * that end at end (or the file's first ones), so that bytes before start
 * come along for copies that go backwards through the file. A failed read
 * sets img->failed. */
void imageWindowEnding(RamImage *img, int64_t start, int64_t end);

/* Ends a rewrite. With keep non-zero and nothing failed: writes the new
 * image's length into its totalSize, closes both files and copies the new
 * image over path, unless it is the input byte for byte (every byte copied
 * from where it stands and totalSize already right): path then holds it
 * already and is not written. Always closes both files and deletes the
 * temporary file. Returns 0 when path now holds the new image (or, with keep 0, when all
 * was closed); otherwise RAMIMAGE_NOT_WRITTEN after writing the log line of
 * the failure: path is unchanged, except after a failed copy over it,
 * which the device's in-place copy leaves cut short. */
int imageEnd(RamImage *img, const WCHAR *path, int keep);

/* True when a whole, consistent record starts at offset of the input (for
 * the walk past a damaged totalSize). A failed read counts as no record.
 * The input's position is left after the record's fields. */
int imageWholeRecordAt(RamImage *img, int64_t offset);

/* A record read at some offset (imageRecordAt). */
typedef struct {
    int64_t storedNext; /* offset + length + 4: where its stored length puts the next record */
    /* offset + 4 + the length its fields give (key: 4 + 2 x nameLength,
     * value: 6 + 2 x nameLength + dataLength, nameLength by its low byte);
     * -1 when the fields, name or data run past the end of the file */
    int64_t fieldsNext;
    int consistent; /* 1: within the file, length as its fields give, name ending
                       in its only NUL, high bytes of type, tag and nameLength 0 */
} RecordAt;

/* Reads the record at offset of the input. Returns 0 when there is none
 * that a walk could step over: the file ends inside its head, its type byte
 * is neither 1 nor 2, or a read failed. Moves the input's position. */
int imageRecordAt(RamImage *img, int64_t offset, RecordAt *rec);

/* Where the walk goes on after a record whose stored length and fields
 * disagree (results of imageReading). */
#define READ_STORED 90  /* at the next offset its stored length gives */
#define READ_FIELDS 91  /* at the one its fields give: the stored length is damaged */
#define READ_UNCLEAR 92 /* either may be right: the file must stay as it is */

/* Decides between the two readings of where the record after the current
 * one starts: storedNext by its stored length, fieldsNext by its fields
 * (which lie within the file). Each reading is followed from there over
 * whole, consistent records until it meets the other, reaches the end
 * (the end of the file, or totalSize where that is a record boundary
 * inside the file) or finds a record that is not whole and consistent.
 * READ_FIELDS when the fields' reading reaches the end or meets the other
 * and the stored one finds no record and does neither; otherwise
 * READ_STORED when the fields' reading finds no record (the bytes a larger
 * stored length swallows hold none: surplus bytes); otherwise
 * READ_UNCLEAR. The input's position and the current record are kept. */
int imageReading(RamImage *img, int64_t storedNext, int64_t fieldsNext);

/* Reads cb bytes of the input at its position. Callers ask only for bytes
 * that lie inside the file, so a short read is a read failure: it sets
 * img->failed and returns 0. Returns 1 on success. Bytes inside the window
 * cost no call. */
static inline int imageRead(RamImage *img, void *buffer, size_t cb)
{
    int64_t at = img->pos - img->windowStart;

    if (img->failed == IMAGE_OK && cb < IMAGE_BUFFER_CB && at >= 0 &&
        at + (int64_t)cb <= (int64_t)img->cbWindow) {
        copyBytes((BYTE *)buffer, img->window + at, cb);
        img->pos += (int64_t)cb;
        return 1;
    }
    return imageReadMore(img, buffer, cb);
}

/* The cb bytes of the input at its position (cb at most IMAGE_BUFFER_CB,
 * all inside the file), in the window: it is filled from the position when
 * they are not all in it. The position stays; the bytes are good until the
 * next read or copy. Returns NULL after a failed read (img->failed set). */
static inline const BYTE *imagePeek(RamImage *img, size_t cb)
{
    int64_t at = img->pos - img->windowStart;

    if (img->failed == IMAGE_OK && at >= 0 && at + (int64_t)cb <= (int64_t)img->cbWindow)
        return img->window + at;
    return imagePeekMore(img, cb);
}

/* Appends cb bytes to the new image. A short write sets img->failed. Bytes
 * that fit the pending run cost no call. */
static inline void imageAppend(RamImage *img, const void *bytes, size_t cb)
{
    img->cbOut += (int64_t)cb;
    if (img->failed == IMAGE_OK && cb < IMAGE_BUFFER_CB && img->cbPending + cb <= IMAGE_BUFFER_CB) {
        copyBytes(img->pending + img->cbPending, (const BYTE *)bytes, cb);
        img->cbPending += cb;
        return;
    }
    imageWriteMore(img, bytes, cb);
}

/* Appends cb bytes that are not a copy of the input's bytes in their place. */
static inline void imageWrite(RamImage *img, const void *bytes, size_t cb)
{
    img->same = 0;
    imageAppend(img, bytes, cb);
}

/* Copies cb bytes from the input at offset (or, with offset -1, at its
 * position) to the new image: bytes in the window straight from it, the
 * others read as they are into the pending run. Returns 1, or 0 after a
 * failure (img->failed set). */
static inline int imageCopy(RamImage *img, int64_t offset, int64_t cb)
{
    int64_t from = offset >= 0 ? offset : img->pos;
    int64_t at = from - img->windowStart;

    if (from != img->cbOut)
        img->same = 0;
    if (img->failed == IMAGE_OK && at >= 0 && at + cb <= (int64_t)img->cbWindow &&
        img->cbPending + (uint64_t)cb <= IMAGE_BUFFER_CB && cb < IMAGE_BUFFER_CB) {
        copyBytes(img->pending + img->cbPending, img->window + at, (size_t)cb);
        img->cbPending += (size_t)cb;
        img->cbOut += cb;
        img->pos = img->windowStart + at + cb;
        return 1;
    }
    return imageCopyMore(img, offset, cb);
}

/* Steps to the next record: WALK_END at the end of the input, at totalSize
 * (the first record is always tried when totalSize is positive; with
 * img->pastTotal set, the walk goes on past it while a whole, consistent
 * record follows, so that a damaged totalSize loses no record) or after a
 * failure; otherwise WALK_RECORD or WALK_CUT with the current record set.
 * An end at totalSize with bytes after it sets img->endedAtTotal, with
 * img->next the offset after the last record visited. */
static inline int walkNext(RamImage *img)
{
    int64_t offset = img->next;
    int64_t at = offset - img->windowStart;
    const BYTE *head;

    if (img->started && img->failed == IMAGE_OK && offset < (int64_t)img->totalSize &&
        offset + RECORD_HEAD_CB <= img->inLength && at >= 0 &&
        at + RECORD_HEAD_CB <= (int64_t)img->cbWindow) {
        head = img->window + at;
        img->start = offset;
        img->pos = offset + RECORD_HEAD_CB;
        img->length = getLe16(head + RECORD_LENGTH_AT);
        img->type = getLe16(head + RECORD_TYPE_AT);
        img->size = (DWORD)img->length + RECORD_HEAD_CB;
        img->next = offset + img->size;
        return WALK_RECORD;
    }
    return walkNextMore(img);
}

#endif
