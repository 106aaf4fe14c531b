/*
 * ramimage.h - image kinds, the RAM registry image, repair and reorder.
 *
 * Each family of result codes has values of its own, so that a code of one
 * passed where another is expected never reads as a code of that one:
 *    0 to  9  image kinds, and the results every operation shares (done, 3
 *             no temporary name, 8 wrong signature, 9 cannot open): the
 *             values the operation sequence and the log see, kept as they
 *             are; hive/hive.h's HV_ results use the same ones
 *   10 to 19  the other results of the hive operations (hive/hive.h)
 *   20 to 29  the other results of repair and reorder
 *   40 to 59  the image check's problems
 *   60 to 69  what is wrong with a hive backup file (hive/hive.h, HVW_)
 *   70 to 99  the rewrite's own codes (ramimage/image.h)
 */
#ifndef CORVANE_RAMIMAGE_H
#define CORVANE_RAMIMAGE_H

#include "platform/platform.h"
#include "ramimage/record.h"

/* Image kinds, the results of detectSig: the values the operation sequence
 * keeps and callers rely on, kept as they are. */
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
 * replace").
 *
 * The two "done" values, RAMIMAGE_NO_TEMPNAME, RAMIMAGE_BAD_SIG and
 * RAMIMAGE_NO_OPEN are the values callers and the log see; kept as they
 * are (reorder's "done" is 1, not 0). */
#define REPAIR_DONE 0          /* repair: the new image replaced the file */
#define REORDER_DONE 1         /* reorder: the new image replaced the file */
#define RAMIMAGE_NO_TEMPNAME 3 /* GetTempFileNameW made no name (or one too long) */
#define RAMIMAGE_BAD_SIG 8     /* the file does not begin with RAM_REG_SIG */
#define RAMIMAGE_NO_OPEN 9     /* the file or the temporary file cannot be opened */
/* The others, from RAMIMAGE_RESULT_FIRST to RAMIMAGE_RESULT_LAST. */
#define RAMIMAGE_RESULT_FIRST 20
#define RAMIMAGE_RESULT_LAST 29
/* a record's stored length and the length its fields give lead to two
 * places for the next record, and it cannot be told which is right (both
 * lead on to records, or the fields' reading finds records but not on to
 * the end): either rewrite could drop records */
#define RAMIMAGE_LENGTH_UNCLEAR 20
/* reorder: a record's stored length is damaged (it leads nowhere, its fields
 * lead on to the end); reorder copies records as they are, repair mends it */
#define RAMIMAGE_LENGTH_DAMAGED 21
/* the file ends before its totalSize, or inside a record: a rewrite would
 * drop what is there of it, or make a cut copy pass for a whole one */
#define RAMIMAGE_CUT_SHORT 22
/* reorder: whole records follow totalSize, which is damaged (a rewrite
 * would drop them) */
#define RAMIMAGE_SIZE_FIELD 23
#define RAMIMAGE_NO_MEMORY 24 /* reorder: a record entry could not be allocated */
/* reading the input, writing the new image or copying it over the input
 * failed */
#define RAMIMAGE_NOT_WRITTEN 25
#define RAMIMAGE_TYPE_ERROR 26 /* repair: a record of a type other than 1 or 2 */

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
 * from the device). The problems from IMAGE_RECORD_CUT to IMAGE_VALUE_FIRST
 * and from IMAGE_KEY_TAG to IMAGE_KEY_CHAR are a record's; in one record,
 * problems of its layout (IMAGE_RECORD_CUT to IMAGE_RECORD_TYPE, and a tag
 * with its high byte set) come before those of what it says. */
#define IMAGE_PROBLEM_FIRST 40
#define IMAGE_PROBLEM_LAST 59
#define IMAGE_WHOLE 40
#define IMAGE_TOO_SHORT 41     /* fewer than 8 bytes: no image header */
#define IMAGE_NOT_RAM 42       /* the file does not begin with RAM_REG_SIG */
#define IMAGE_SIZE_FIELD 43    /* totalSize (have) is not the file's length (need) */
#define IMAGE_RECORD_CUT 44    /* the file ends inside a record: have bytes left, need its size */
#define IMAGE_RECORD_LENGTH 45 /* length (have) is not what its fields need (need) */
/* nameLength (have) is not the first NUL's position + 1 (need; 0: no NUL) */
#define IMAGE_RECORD_NAME 46
#define IMAGE_RECORD_HIGH 47 /* nameLength (have) is above 255: its high byte is not 0 */
#define IMAGE_RECORD_TYPE 48 /* type (have, all 16 bits) is neither 1 nor 2 */
#define IMAGE_VALUE_FIRST 49 /* a value record before the first key record */
/* no key record at all (a header-only image restores an empty registry) */
#define IMAGE_NO_KEY 50
#define IMAGE_UNREADABLE 51 /* the file cannot be opened or read */
#define IMAGE_KEY_TAG 52    /* a key record's tag (have, all 16 bits) is no root: 0, 1 or 2 */
/* a value record's tag (have, all 16 bits) is no value type: REG_NONE,
 * REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD or REG_MULTI_SZ */
#define IMAGE_VALUE_TAG 53
/* a key record's name is no key path: the '\' at its character have
 * (counted from 1) begins or ends it, or follows another '\' */
#define IMAGE_KEY_PATH 54
/* a key record's name holds a control character (need, below 0x20) at its
 * character have (counted from 1) */
#define IMAGE_KEY_CHAR 55

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
