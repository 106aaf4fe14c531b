/*
 * ramimage.h - image kinds, the RAM registry image, repair and reorder.
 */
#ifndef CORVANE_RAMIMAGE_H
#define CORVANE_RAMIMAGE_H

#include "platform/platform.h"
#include "ramimage/record.h"

/* Image kinds, the results of detectSig. */
#define KIND_NONE 0   /* read, but neither signature */
#define KIND_RAM 1    /* RAM registry image */
#define KIND_HIVE 2   /* hive backup file */
#define KIND_NOOPEN 9 /* cannot be opened */

/* The kind of the file at path, from its first four bytes. */
int detectSig(const WCHAR *path);

/* Results of repair and reorder. In each but the two "done" ones the file is
 * left as it was and the temporary file is gone; only RAMIMAGE_NOT_WRITTEN
 * after a failed copy of the new image over the file may leave it cut short
 * (the device's copies overwrite in place), which the log tells ("could not
 * replace"). */
#define REPAIR_DONE 0  /* repair: the new image replaced the file */
#define REORDER_DONE 1 /* reorder: the new image replaced the file */
/* the file ends before its totalSize, or inside a record: a rewrite would
 * drop what is there of it, or make a cut copy pass for a whole one */
#define RAMIMAGE_CUT_SHORT 2
#define RAMIMAGE_NO_TEMPNAME 3 /* GetTempFileNameW made no name (or one too long) */
/* reorder: whole records follow totalSize, which is damaged (a rewrite
 * would drop them) */
#define RAMIMAGE_SIZE_FIELD 4
#define RAMIMAGE_NO_MEMORY 5 /* reorder: a record entry could not be allocated */
/* reading the input, writing the new image or copying it over the input
 * failed */
#define RAMIMAGE_NOT_WRITTEN 6
#define RAMIMAGE_TYPE_ERROR 7 /* repair: a record of a type other than 1 or 2 */
#define RAMIMAGE_BAD_SIG 8    /* the file does not begin with RAM_REG_SIG */
#define RAMIMAGE_NO_OPEN 9    /* the file or the temporary file cannot be opened */
/* a record's stored length and the length its fields give lead to two
 * places for the next record, and it cannot be told which is right (both
 * lead on to records, or the fields' reading finds records but not on to
 * the end): either rewrite could drop records */
#define RAMIMAGE_LENGTH_UNCLEAR 20
/* reorder: a record's stored length is damaged (it leads nowhere, its fields
 * lead on to the end); reorder copies records as they are, repair mends it */
#define RAMIMAGE_LENGTH_DAMAGED 21

/* Rewrites the RAM registry image at path with consistent record lengths.
 * Whole records that follow a damaged totalSize are walked and kept, and
 * so are those that a damaged record length swallows. REPAIR_DONE, or
 * RAMIMAGE_CUT_SHORT, RAMIMAGE_NO_TEMPNAME, RAMIMAGE_NOT_WRITTEN,
 * RAMIMAGE_TYPE_ERROR, RAMIMAGE_BAD_SIG, RAMIMAGE_NO_OPEN or
 * RAMIMAGE_LENGTH_UNCLEAR. One log line for each; "repair: done" only when
 * the new image holds every record. */
int repair(const WCHAR *path);

/* Rewrites the RAM registry image at path with its key groups regrouped.
 * REORDER_DONE, or RAMIMAGE_CUT_SHORT, RAMIMAGE_NO_TEMPNAME,
 * RAMIMAGE_SIZE_FIELD, RAMIMAGE_NO_MEMORY, RAMIMAGE_NOT_WRITTEN,
 * RAMIMAGE_BAD_SIG, RAMIMAGE_NO_OPEN, RAMIMAGE_LENGTH_UNCLEAR or
 * RAMIMAGE_LENGTH_DAMAGED. One log line for each; "reorder: done" only
 * when the new image holds every byte of every record. */
int reorder(const WCHAR *path);

/* ---- The check of a whole image ---------------------------------------- */

/* Results of the image check: IMAGE_WHOLE, or the first problem found.
 * Every image the device would not read back at a warm boot has one of
 * them; so has an image with no key record, which the device reads back as
 * an empty registry (IMAGE_NO_KEY: refused as a policy, the one difference
 * from the device). Problems 4 to 9 and 12 to 15 are a record's; in one
 * record, problems of its layout (4 to 8, and a tag with its high byte set)
 * come before those of what it says (9, 12 to 15). */
#define IMAGE_WHOLE 0
#define IMAGE_TOO_SHORT 1     /* fewer than 8 bytes: no image header */
#define IMAGE_NOT_RAM 2       /* the file does not begin with RAM_REG_SIG */
#define IMAGE_SIZE_FIELD 3    /* totalSize (have) is not the file's length (need) */
#define IMAGE_RECORD_CUT 4    /* the file ends inside a record: have bytes left, need its size */
#define IMAGE_RECORD_LENGTH 5 /* length (have) is not what its fields need (need) */
/* nameLength (have) is not the first NUL's position + 1 (need; 0: no NUL) */
#define IMAGE_RECORD_NAME 6
#define IMAGE_RECORD_HIGH 7 /* nameLength (have) is above 255: its high byte is not 0 */
#define IMAGE_RECORD_TYPE 8 /* type (have, all 16 bits) is neither 1 nor 2 */
#define IMAGE_VALUE_FIRST 9 /* a value record before the first key record */
/* no key record at all (a header-only image restores an empty registry) */
#define IMAGE_NO_KEY 10
#define IMAGE_UNREADABLE 11 /* the file cannot be opened or read */
#define IMAGE_KEY_TAG 12    /* a key record's tag (have, all 16 bits) is no root: 0, 1 or 2 */
/* a value record's tag (have, all 16 bits) is no value type: REG_NONE,
 * REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD or REG_MULTI_SZ */
#define IMAGE_VALUE_TAG 13
/* a key record's name is no key path: the '\' at its character have
 * (counted from 1) begins or ends it, or follows another '\' */
#define IMAGE_KEY_PATH 14
/* a key record's name holds a control character (need, below 0x20) at its
 * character have (counted from 1) */
#define IMAGE_KEY_CHAR 15

/* the most of a record the check looks at: head, fields and a name of 255
 * characters (520 bytes) */
#define IMAGE_CHECK_RECORD_CB (VALUE_NAME_AT + NAME_CHAR_CB * NAME_MAX_CCH)

typedef struct {
    int problem;   /* IMAGE_WHOLE or the first problem */
    DWORD offset;  /* where: the record's offset; 4 for totalSize; 0 for the header */
    DWORD have;    /* what was found (see each problem) */
    DWORD need;    /* what it should be */
    DWORD records; /* whole records read before the problem (all of them when whole) */
    DWORD keys;    /* key records among them */
    /* The check's own state. */
    int64_t cbFile; /* the file's length */
    int64_t pos;    /* bytes fed so far */
    int64_t start;  /* the current record's offset */
    int stage;
    BYTE buffer[IMAGE_CHECK_RECORD_CB]; /* the image header, or the current record's first bytes */
    size_t cbBuffered;
    size_t cbWanted; /* bytes wanted in buffer before the next step */
    int64_t cbSkip;  /* bytes of the current record still to skip */
} ImageCheck;

/* Starts a check of an image of cbFile bytes, fed in order from its first
 * byte. */
void imageCheckStart(ImageCheck *check, int64_t cbFile);
/* Feeds the next cb bytes. Returns 1 while the check wants more, 0 once it
 * has its verdict. */
int imageCheckFeed(ImageCheck *check, const BYTE *bytes, size_t cb);
/* Ends the check (all bytes fed, or fewer after a 0 from imageCheckFeed);
 * returns check->problem. Fewer bytes than announced and no verdict yet is
 * IMAGE_UNREADABLE. */
int imageCheckEnd(ImageCheck *check);
/* The whole check of the file at path. Returns check->problem. */
int checkImageFile(const WCHAR *path, ImageCheck *check);
/* True when every record the check read is consistent in its layout
 * (lengths, name ends, high bytes): the image is whole, or its first
 * problem is in what a record says (a value first, no key, a tag the device
 * does not take but whose high byte is 0, a key name that is no path).
 * Repair makes layouts consistent; what records say, it leaves. */
int imageLayoutConsistent(const ImageCheck *check);
/* The problem in words, for example "record at 0x1F40: length 22, its
 * fields need 26"; the empty string when the image is whole. */
void imageProblemText(const ImageCheck *check, WCHAR *text, size_t cchText);

#endif
