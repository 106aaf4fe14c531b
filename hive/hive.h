/*
 * hive.h - the hive backup file: both registry hives packed into one file.
 *
 *   0        4  signature "XGER" (HIVE_REG_SIG)
 *   4        4  N1, signed length of the system hive image
 *   8       N1  system hive image (HKEY_LOCAL_MACHINE)
 *   8+N1     4  N2, signed length of the user hive image
 *   12+N1   N2  user hive image (HKEY_CURRENT_USER)
 *
 *   12+N1+N2 12  the integrity trailer: "XGCK", the CRC-32 of the system
 *               hive image, the CRC-32 of the user hive image
 *
 * All fields are little-endian. A file is whole when it is exactly this
 * layout, or exactly the layout without the trailer (as older programs
 * wrote it: an older program reads on to the user hive image and ignores
 * the trailer), with no hive empty. A file with the trailer is checked
 * against it; one without it restores unchecked. Anything else after the
 * user hive image is damage: part of a trailer, or a trailer that a changed
 * length no longer leads to. The operations stream the images through a
 * buffer of HIVE_COPY_CB bytes; neither image is ever held whole in memory.
 */
#ifndef CORVANE_HIVE_H
#define CORVANE_HIVE_H

#include "log/run.h"
#include "platform/platform.h"

#define HIVE_REG_SIG 0x52454758u /* bytes "XGER" */

/* The copy block, in bytes: the run's block (log/run.h). A block this large
 * keeps the calls to the file system few (a device's C library reads and
 * writes a block of this size directly, past its own 4 KiB buffer), and a
 * file system writes whole large blocks at less cost a byte than small ones. */
#define HIVE_COPY_CB RUN_BLOCK_CB
#define USER_HIVE_CCH 255 /* the user hive path: 254 characters and the terminator */

/* Results of the hive operations. HV_DONE, HV_NO_TEMPNAME, HV_BAD_SIG and
 * HV_NO_OPEN are the values callers and the log see (the operation sequence
 * takes restRegHv's 0 for restored), the same as repair's; kept as they are.
 * The others lie from HV_RESULT_FIRST to HV_RESULT_LAST, apart from every
 * other family of codes (ramimage/ramimage.h lists them). */
#define HV_DONE 0        /* written / restored */
#define HV_NO_TEMPNAME 3 /* GetTempFileNameW made no name */
#define HV_BAD_SIG 8     /* the file does not begin with HIVE_REG_SIG */
#define HV_NO_OPEN 9     /* a file cannot be opened, or no usable profile folder */
#define HV_RESULT_FIRST 10
#define HV_RESULT_LAST 19
#define HV_DAMAGED 10      /* the hive lengths do not fit the file (short or inconsistent) */
#define HV_IO_FAILED 11    /* a read or a write failed (short write, full disk, read error) */
#define HV_NOT_REPLACED 12 /* restRegHv: the user hive or the system hive was not replaced */
#define HV_CHECKSUM 13     /* an image does not match its checksum in the trailer */
#define HV_TRAILING 14     /* the bytes after the user hive image are not one trailer */

#define HIVE_TRAILER_CB 12 /* "XGCK", CRC-32 of the system image, of the user image */

/* hive/check.cpp */

/* What is wrong with a hive backup file, beside its result code: from
 * HVW_FIRST to HVW_LAST, apart from the results. */
#define HVW_FIRST 60
#define HVW_LAST 69
#define HVW_NONE 60
#define HVW_EMPTY 61        /* HV_DAMAGED: a hive length of 0 */
#define HVW_PAST_FILE 62    /* HV_DAMAGED: a hive length negative, or past the file's end */
#define HVW_OVER_TRAILER 63 /* HV_DAMAGED: the user hive image takes in a trailer */
#define HVW_TRAILING 64     /* HV_TRAILING: 1 to 11, or more than 12, bytes after the images */
#define HVW_NOT_TRAILER 65  /* HV_TRAILING: 12 bytes after the images without the trailer's tag */

typedef struct {
    int problem;   /* HV_DONE, HV_BAD_SIG (not a hive backup), HV_DAMAGED (the
                         lengths do not fit the file), HV_TRAILING (bytes after
                         the user hive image that are not one trailer),
                         HV_CHECKSUM, HV_NO_OPEN or HV_IO_FAILED */
    DWORD offset;  /* where the problem is: the length field, the image, or
                      the first byte after the user hive image */
    LONG cbSystem; /* N1, once read */
    LONG cbUser;   /* N2, once read */
    int trailer;   /* 1 when the file carries the integrity trailer */
    int reason;    /* HVW_..., what is wrong */
    /* The check's own state. */
    int64_t cbFile;
    int64_t pos; /* bytes fed so far */
    int stage;
    int field; /* 0 signature, 1 N1 (then the system image), 2 N2, 3 the rest */
    BYTE buffer[HIVE_TRAILER_CB];
    size_t cbBuffered;
    int64_t cbLeft; /* bytes of the current image (or of the rest) still to come */
    DWORD crc;      /* of the current image so far */
    DWORD crcSystem;
    DWORD crcUser;
    BYTE tail[HIVE_TRAILER_CB]; /* the last bytes fed */
    size_t cbTail;
} HiveCheck;

/* The CRC-32 of cb bytes, continuing crc (0 to start), as zlib's crc32. */
DWORD crc32Update(DWORD crc, const BYTE *bytes, size_t cb);

/* Starts a check of a hive backup file of cbFile bytes, fed in order. */
void hiveCheckStart(HiveCheck *check, int64_t cbFile);
/* Feeds the next cb bytes. Returns 1 while the check wants more, 0 once it
 * has its verdict. */
int hiveCheckFeed(HiveCheck *check, const BYTE *bytes, size_t cb);
/* Ends the check; returns check->problem. */
int hiveCheckEnd(HiveCheck *check);
/* The check of an open stream, read from its start through block (HIVE_COPY_CB
 * bytes). Returns check->problem. */
int hiveCheckStream(FILE *file, HiveCheck *check, BYTE *block);
/* The check of the file at path. Returns check->problem. */
int checkHiveFile(const WCHAR *path, HiveCheck *check);
/* The problem in words, for example "user hive image at 0x2A0C does not
 * match its checksum"; the empty string when the file is whole. */
void hiveProblemText(const HiveCheck *check, WCHAR *text, size_t cchText);

/* hive/save.cpp */

/* Saves both hives (RegSaveKey into "sHM" and "sHU" temporary files) and
 * packs them into the hive backup file at path. Returns HV_DONE with both
 * temporary files deleted; HV_NO_TEMPNAME before anything is saved;
 * HV_NO_OPEN or HV_IO_FAILED otherwise. On every failure after path was
 * created the incomplete file at path is removed, so that no partial backup
 * is ever left there. A saved hive that could not be opened leaves the other
 * one's temporary file behind; after a read or write failure both are
 * deleted. */
int corvaneHv(const WCHAR *path);

/* Packs the hive files systemHive and userHive, as they stand, into a new
 * hive backup file at path (truncating an existing one), with the integrity
 * trailer after them. Returns HV_DONE;
 * HV_NO_OPEN when a file cannot be opened; HV_IO_FAILED on a read error, a
 * short write or a hive file too large for its length field. Each failure is
 * logged in corvaneHv's words and removes the incomplete file at path; the
 * hive files are never changed. */
int packHives(const WCHAR *path, const WCHAR *systemHive, const WCHAR *userHive);

/* Makes a temporary name with the given prefix in the temporary folder
 * (tempFileName) and deletes the placeholder file at once, so that only the
 * name serves. name holds PATH_CCH characters. Returns non-zero when a name
 * was made, 0 (name empty) when none was made or it did not fit. */
int hiveTempName(const WCHAR *prefix, WCHAR *name);

/* hive/restore.cpp */

/* Restores both hives from the hive backup file at path: checks the whole
 * file, extracts both images into "rHM" and "rHU" temporary files, logs the
 * user off, keeps a copy of user.hv in an "rHO" temporary file, replaces
 * user.hv (through an "rHN" copy beside it, renamed to it once whole, so
 * that user.hv is never part of a hive) and hands the system hive to
 * RegReplaceKey. Returns HV_DONE when
 * both replacements succeeded; HV_NOT_REPLACED when one failed or user.hv
 * could not be kept: the system hive is then not handed over, or (when
 * RegReplaceKey failed) user.hv is put back from its copy, so that the next
 * boot finds the old hives. The temporary files are deleted, except the
 * "rHO" copy when putting it back failed (it is then the only copy of the
 * old user hive, named in the log); the user stays logged off. Otherwise the
 * user is still logged on and nothing is replaced: HV_NO_TEMPNAME,
 * HV_BAD_SIG, HV_NO_OPEN (no profile folder, a profile folder too long for
 * "user.hv", or a file cannot be opened; the extracted system hive stays in
 * the temporary folder when the user hive's file cannot be opened),
 * HV_DAMAGED, HV_TRAILING, HV_CHECKSUM or HV_IO_FAILED. */
int restRegHv(const WCHAR *path);

/* Extracts the two images of the hive backup file at path into new files
 * systemOut and userOut, after checking the whole file: the signature, both
 * lengths above 0, 12 + N1 + N2 not beyond the end of the file, then
 * nothing or exactly the integrity trailer after the user hive image, and
 * both images' checksums when it is there. Returns HV_DONE with both files
 * written; HV_BAD_SIG, HV_DAMAGED, HV_TRAILING or HV_CHECKSUM before any
 * output is made; HV_NO_OPEN
 * when a file cannot be opened (an extracted systemOut stays when userOut
 * cannot be opened); HV_IO_FAILED on a read or write error, with both
 * outputs removed. Each outcome is logged in restRegHv's words. */
int unpackHives(const WCHAR *path, const WCHAR *systemOut, const WCHAR *userOut);

/* Appends "user.hv" to the profile folder in buffer (at least MAX_PATH
 * characters; the folder is terminated within its first USER_HIVE_CCH
 * characters or it counts as too long). Returns non-zero when the joined
 * path fits USER_HIVE_CCH characters with its terminator; 0 (buffer
 * unchanged but terminated) when it does not. */
int appendUserHive(WCHAR *buffer);

#endif
