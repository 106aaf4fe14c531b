/*
 * reorder.cpp - reorder: rewrites a RAM registry image in place with its
 * records regrouped. A key record and the value records after it form a
 * unit; consecutive units whose keys share the tag byte form a key group.
 * Each group is written with its units in reverse order, each unit as its
 * key followed by its values in reverse order. Records are copied byte for
 * byte (length + 4 bytes, surplus included); only totalSize is recomputed.
 *
 * The walk reads the head of each record (and a key's tag) and keeps one
 * small entry per record until its group is written; memory grows with the
 * largest key group, not with the image. A group is written from the last
 * unit back: each unit that fits the window is read into it in one piece,
 * ending at its last byte, so that the units before it come from the same
 * window.
 *
 * Choices: nothing is dropped.
 * - Value records that belong to no key (before the first key record, or
 *   after a record of another type) are written at once, in their place and
 *   order.
 * - A record whose type is neither 1 nor 2 (all 16 bits count), and a key
 *   record whose tag lies past the end of the file, end the current key
 *   group: the group is written, then that record in its place.
 * - A file cut short (it ends before its totalSize, or inside a record) is
 *   left as it was, with "reorder: file cut short, file left unchanged" and
 *   RAMIMAGE_CUT_SHORT: its new totalSize would make a cut copy pass for a
 *   whole backup.
 * - Whole records after a damaged totalSize (0, 8, or too small for the
 *   records) would be lost by a walk that stops at totalSize: the file is
 *   left as it was, with "reorder: records after totalSize, file left
 *   unchanged" and RAMIMAGE_SIZE_FIELD (repair mends totalSize first).
 *   Bytes after totalSize that hold no whole record are padding.
 * - A record whose stored length and fields disagree gives two readings of
 *   where the next record starts (imageReading). When the fields lead to no
 *   record, the bytes between are surplus and travel with the record, as
 *   before. When the stored length leads nowhere and the fields lead over
 *   whole records on to the end, the stored length is damaged: copied as
 *   it is, it would carry the records it swallows as its surplus, so the
 *   file is left as it was, with "reorder: record length damaged, file left
 *   unchanged" and RAMIMAGE_LENGTH_DAMAGED (repair mends the length). When
 *   it cannot be told which is right: "reorder: record length unclear, file
 *   left unchanged" and RAMIMAGE_LENGTH_UNCLEAR.
 * - When a block of entries cannot be allocated the work stops: "reorder:
 *   out of memory", RAMIMAGE_NO_MEMORY, every block released, the file
 *   unchanged.
 * - A failed read, write, close or final copy leaves the file as it was and
 *   is reported by its own log line with RAMIMAGE_NOT_WRITTEN.
 */
#include "ramimage/image.h"

#define NO_TAG (-1) /* no key record seen yet: distinct from every tag byte */

/* One record waiting for its key group to be written. */
typedef struct RecordEntry {
    LONG offset;                /* the record's start in the input */
    LONG size;                  /* length + 4 */
    struct RecordEntry *next;   /* the following entry of the same list */
    struct RecordEntry *values; /* a key's value entries, newest first */
} RecordEntry;

/* Entries come from blocks of ENTRY_BLOCK_COUNT (about 4 KB), one
 * LocalAlloc each: a group of n records holds n entries and less than one
 * block more. Once a group is written its blocks serve the next one; they
 * are released at the end. */
#define ENTRY_BLOCK_COUNT 170

typedef struct EntryBlock {
    struct EntryBlock *next;
    RecordEntry entries[ENTRY_BLOCK_COUNT];
} EntryBlock;

typedef struct {
    EntryBlock *blocks;  /* every block, in the order they were made */
    EntryBlock *current; /* the block entries are taken from; NULL: none yet */
    unsigned used;       /* entries taken from it */
} EntryPool;

static const RewriteTexts REORDER_TEXTS = {
    TEXT("reo"),
    TEXT("rb"),
    TEXT("reorder: GetTempFileName failed"),
    TEXT("reorder: could not open"),
    TEXT("reorder: sig unknown"),
    TEXT("reorder: could not read "),
    TEXT("reorder: could not write "),
    TEXT("reorder: could not replace "),
};

static RecordEntry *newEntry(EntryPool *pool, const RamImage *img)
{
    EntryBlock *block;
    RecordEntry *entry;

    if (pool->current == NULL || pool->used == ENTRY_BLOCK_COUNT) {
        block = pool->current != NULL ? pool->current->next : pool->blocks;
        if (block == NULL) {
            block = (EntryBlock *)LocalAlloc(LMEM_FIXED, sizeof(EntryBlock));
            if (block == NULL)
                return NULL;
            block->next = NULL;
            if (pool->current != NULL)
                pool->current->next = block;
            else
                pool->blocks = block;
        }
        pool->current = block;
        pool->used = 0;
    }
    entry = &pool->current->entries[pool->used++];
    entry->offset = (LONG)img->start;
    entry->size = (LONG)img->size;
    entry->next = NULL;
    entry->values = NULL;
    return entry;
}

/* Writes the pending keys, newest first, each followed by its values,
 * newest first (or, once a failure has made writing pointless, only drops
 * them). The list is empty afterwards and the pool's entries free. */
static void flushKeys(RamImage *img, RecordEntry **keys, EntryPool *pool)
{
    RecordEntry *key, *value;

    while ((key = *keys) != NULL) {
        *keys = key->next;
        /* A unit's records lie side by side, the newest value last. */
        imageWindowEnding(img, key->offset,
                          key->values != NULL ? (int64_t)key->values->offset + key->values->size
                                              : (int64_t)key->offset + key->size);
        imageCopy(img, key->offset, key->size);
        for (value = key->values; value != NULL; value = value->next)
            imageCopy(img, value->offset, value->size);
    }
    pool->current = NULL;
    pool->used = 0;
    img->keepFrom = -1;
}

/* Releases every block of the pool. */
static void releasePool(EntryPool *pool)
{
    EntryBlock *block, *following;

    for (block = pool->blocks; block != NULL; block = following) {
        following = block->next;
        LocalFree(block);
    }
    pool->blocks = NULL;
    pool->current = NULL;
}

int reorder(const WCHAR *path)
{
    RamImage *img;
    BYTE tag[RECORD_TAG_CB];
    RecordEntry *keys = NULL; /* the pending key group, newest first */
    RecordEntry *entry;
    EntryPool pool = {NULL, NULL, 0};
    int previousTag = NO_TAG;
    int tagByte;
    int walk;
    int noMemory = 0;
    int cut;
    int reading = READ_STORED; /* READ_STORED unless a record length stopped the walk */
    int result;
    const BYTE *fields;
    unsigned typeByte, cbFields;
    int64_t fieldsNext;

    result = imageOpen(&img, path, &REORDER_TEXTS);
    if (result != 0)
        return result;
    /* The walk reads 4 or 6 bytes of each record through the window; the
     * other bytes are read when its group is written, a unit at a time. */
    cut = imageCutShort(img);

    while (!cut && (walk = walkNext(img)) != WALK_END) {
        if (walk == WALK_CUT) {
            cut = 1;
            break;
        }
        /* Where the fields say the next record starts, as repair reads them. */
        typeByte = img->type & 0xFF;
        cbFields = recordFieldsCb(typeByte);
        if ((typeByte == RECORD_KEY || typeByte == RECORD_VALUE) &&
            img->start + RECORD_HEAD_CB + cbFields <= img->inLength) {
            if ((fields = imagePeek(img, cbFields)) == NULL)
                break;
            fieldsNext = img->start + RECORD_HEAD_CB +
                         recordLengthOf(
                             typeByte, fields[FIELD_NAME_LENGTH_AT],
                             typeByte == RECORD_VALUE ? getLe16(fields + FIELD_DATA_LENGTH_AT) : 0);
            if (fieldsNext != img->next && fieldsNext <= img->inLength &&
                (reading = imageReading(img, img->next, fieldsNext)) != READ_STORED)
                break;
        }
        if (img->start + img->size > img->inLength) {
            cut = 1;
            break;
        }
        if (img->type == RECORD_KEY &&
            img->start + RECORD_HEAD_CB + RECORD_TAG_CB <= img->inLength) {
            if (!imageRead(img, tag, RECORD_TAG_CB))
                break;
            tagByte = tag[0]; /* the low byte */
            if (previousTag != NO_TAG && previousTag != tagByte)
                flushKeys(img, &keys, &pool);
            previousTag = tagByte;
            if ((entry = newEntry(&pool, img)) == NULL) {
                noMemory = 1;
                break;
            }
            /* A group's first key: a window loaded ahead keeps its bytes. */
            if (keys == NULL)
                img->keepFrom = img->start;
            entry->next = keys;
            keys = entry;
        } else if (img->type == RECORD_VALUE) {
            if (keys == NULL) {
                imageCopy(img, img->start, img->size); /* belongs to no key */
                continue;
            }
            /* A value belongs to the newest key: that key heads the list. */
            if ((entry = newEntry(&pool, img)) == NULL) {
                noMemory = 1;
                break;
            }
            entry->next = keys->values;
            keys->values = entry;
        } else {
            flushKeys(img, &keys, &pool);
            imageCopy(img, img->start, img->size);
            previousTag = NO_TAG;
        }
    }

    if (noMemory) {
        writeLog(TEXT("reorder: out of memory"), EMPTY, 1);
        img->failed = IMAGE_WRITE_FAILED; /* stop the flush writing */
        flushKeys(img, &keys, &pool);
        releasePool(&pool);
        imageEnd(img, path, 0);
        return RAMIMAGE_NO_MEMORY;
    }
    if (img->failed == IMAGE_OK) {
        if (reading == READ_FIELDS) {
            writeLog(TEXT("reorder: record length damaged, file left unchanged"), EMPTY, 1);
            result = RAMIMAGE_LENGTH_DAMAGED;
        } else if (reading == READ_UNCLEAR) {
            writeLog(TEXT("reorder: record length unclear, file left unchanged"), EMPTY, 1);
            result = RAMIMAGE_LENGTH_UNCLEAR;
        } else if (cut) {
            writeLog(TEXT("reorder: file cut short, file left unchanged"), EMPTY, 1);
            result = RAMIMAGE_CUT_SHORT;
        } else if (img->endedAtTotal && imageWholeRecordAt(img, img->next)) {
            writeLog(TEXT("reorder: records after totalSize, file left unchanged"), EMPTY, 1);
            result = RAMIMAGE_SIZE_FIELD;
        }
        if (result != 0) {
            img->failed = IMAGE_WRITE_FAILED; /* stop the flush writing */
            flushKeys(img, &keys, &pool);
            releasePool(&pool);
            imageEnd(img, path, 0);
            return result;
        }
    }
    flushKeys(img, &keys, &pool);
    releasePool(&pool);
    result = imageEnd(img, path, 1);
    if (result != 0)
        return result;
    writeLog(TEXT("reorder: done"), EMPTY, 1);
    return REORDER_DONE;
}
