/*
 * ramimage.h - image kinds, the RAM registry image, repair and reorder.
 */
#ifndef CORVANE_RAMIMAGE_H
#define CORVANE_RAMIMAGE_H

#include "platform/platform.h"

#define RAM_REG_SIG 0x1D8374B2u  /* bytes B2 74 83 1D */
#define HIVE_REG_SIG 0x52454758u /* bytes "XGER" */

/* Image kinds, the results of detectSig. */
#define KIND_NONE 0    /* read, but neither signature */
#define KIND_RAM 1     /* RAM registry image */
#define KIND_HIVE 2    /* hive backup file */
#define KIND_NOOPEN 9  /* cannot be opened */

/* The kind of the file at path, from its first four bytes. */
int detectSig(const WCHAR *path);

/* Results of repair and reorder beyond done, 3, 8 and 9. In each of them the
 * file is left as it was and the temporary file is gone. */
#define RAMIMAGE_NO_MEMORY 5   /* reorder: a record entry could not be allocated */
#define RAMIMAGE_NOT_WRITTEN 6 /* reading the input, writing the new image or
                                  copying it over the input failed */
#define RAMIMAGE_TYPE_ERROR 7  /* repair: a record of a type other than 1 or 2 */

/* Rewrites the RAM registry image at path with consistent record lengths.
 * 0 done, 3 no temporary name, 6 not written, 7 type error, 8 wrong
 * signature, 9 a file cannot be opened. One log line for each. */
int repair(const WCHAR *path);

/* Rewrites the RAM registry image at path with its key groups regrouped.
 * 1 done, 3 no temporary name, 5 no memory, 6 not written, 8 wrong
 * signature, 9 a file cannot be opened. One log line for each. */
int reorder(const WCHAR *path);

#endif
