/*
 * record.h - the layout of a RAM registry image: its header, its two kinds
 * of record, and where each field lies. Whatever reads or writes an image's
 * bytes (the check, the record walk, repair, reorder) takes the offsets and
 * widths from here.
 *
 *   image header   0  signature (4)   RAM_REG_SIG
 *                  4  totalSize (4)   the image's length, header included;
 *                                     compared with offsets as signed
 *   records        8  one after the other, each length + 4 bytes
 *
 *   every record   0  length (2)      the bytes after type
 *                  2  type (2)        RECORD_KEY or RECORD_VALUE
 *   key            4  tag (2)         only its low byte is significant
 *                  6  nameLength (2)  characters of name, NUL included;
 *                                     only its low byte is significant
 *                  8  name            UTF-16LE, ending with a NUL
 *   value          4  tag (2), 6 nameLength (2) as in a key
 *                  8  dataLength (2)  all 16 bits count
 *                 10  name, then data (dataLength bytes)
 *
 * All fields are little-endian: a 16-bit field's low byte comes first, at
 * its offset, and its high byte at the offset + 1.
 */
#ifndef CORVANE_RECORD_H
#define CORVANE_RECORD_H

#include "platform/platform.h"

#define RAM_REG_SIG 0x1D8374B2u /* bytes B2 74 83 1D */

/* The image header. */
#define IMAGE_SIG_AT 0        /* signature */
#define IMAGE_SIG_CB 4        /* its width */
#define IMAGE_TOTAL_SIZE_AT 4 /* totalSize */
#define IMAGE_TOTAL_SIZE_CB 4 /* its width */
#define IMAGE_HEADER_CB 8     /* signature and totalSize; the first record starts here */

/* Record types (the whole type field in a consistent record). */
#define RECORD_KEY 1
#define RECORD_VALUE 2

/* Offsets from a record's start. */
#define RECORD_LENGTH_AT 0
#define RECORD_TYPE_AT 2
#define RECORD_HEAD_CB 4 /* length and type: the whole record is length + 4 bytes */
#define RECORD_TAG_AT 4
#define RECORD_NAME_LENGTH_AT 6
#define VALUE_DATA_LENGTH_AT 8 /* a value's dataLength */
#define KEY_NAME_AT 8          /* a key's name */
#define VALUE_NAME_AT 10       /* a value's name; its data follow the name */

/* The same fields counted from the end of the head, where the record walk
 * leaves the input. */
#define FIELD_TAG_AT (RECORD_TAG_AT - RECORD_HEAD_CB)
#define FIELD_NAME_LENGTH_AT (RECORD_NAME_LENGTH_AT - RECORD_HEAD_CB)
#define FIELD_DATA_LENGTH_AT (VALUE_DATA_LENGTH_AT - RECORD_HEAD_CB)
#define KEY_FIELDS_CB (KEY_NAME_AT - RECORD_HEAD_CB)     /* tag, nameLength */
#define VALUE_FIELDS_CB (VALUE_NAME_AT - RECORD_HEAD_CB) /* tag, nameLength, dataLength */
#define RECORD_TAG_CB 2                                  /* the width of tag */

#define NAME_CHAR_CB 2   /* one UTF-16 character of a name */
#define NAME_MAX_CCH 255 /* the most nameLength says: its low byte */

/* Key tags the device takes: the roots 0, 1 and 2. */
#define KEY_TAG_LAST_ROOT 2

/* The bytes of a record of the given type (RECORD_KEY or RECORD_VALUE)
 * between its head and its name. */
static inline unsigned recordFieldsCb(unsigned type)
{
    return type == RECORD_KEY ? KEY_FIELDS_CB : VALUE_FIELDS_CB;
}

/* The length a record's fields give it: the value its length field has in a
 * consistent record (key: 4 + 2 x nameLength; value: 6 + 2 x nameLength +
 * dataLength). cbData is 0 for a key. */
static inline DWORD recordLengthOf(unsigned type, unsigned cchName, unsigned cbData)
{
    return (DWORD)recordFieldsCb(type) + NAME_CHAR_CB * (DWORD)cchName + cbData;
}

#endif
