/*
 * crc32.cpp - the CRC-32 of the hive backup file's trailer, as zlib's crc32
 * computes it (the reflected polynomial 0xEDB88320, all ones in and out).
 *
 * Two ways, one sum:
 *
 * - Eight bytes a step by tables ("slicing by 8"): crcTable[0] is the usual
 *   table of one byte; crcTable[k][b] is the CRC of the byte b followed by k
 *   zero bytes, so the eight bytes of a step are looked up at once, each in
 *   its own table, with no look-up waiting for the one before. Bytes are
 *   read one by one, so this works at any alignment and byte order. Each
 *   byte still costs a load and a look-up, about 3 instructions a byte.
 *
 * - For long runs, a fold of whole 64-bit words by XOR alone. With y = x^64,
 *   the polynomial Q(y) = y^300 + y^155 + y^117 + y^89 + 1 is a multiple of
 *   the CRC polynomial (the sparsest of low degree that a search over sums
 *   of five powers of y found). A message and its remainder modulo Q
 *   have the same CRC, and dividing by Q costs little: the first word w of
 *   the message, worth w * y^p, is worth w * (y^(p-145) + y^(p-183) +
 *   y^(p-211) + y^(p-300)) modulo Q, so it is taken out by XORing it into the
 *   words 145, 183, 211 and 300 places further on. The fold does this from
 *   the receiving side: each word, before it is taken out, is XORed with the
 *   folded words 145, 183, 211 and 300 places before it (one store a word).
 *   Words are XORed whole into whole words, so byte order does not matter
 *   either. What is left at the end, 300 words, goes through the tables.
 *   That is about one instruction a byte on x86-64 for a block of 64 KiB or
 *   more. The folded words are kept in two runs of 300 words on the stack,
 *   and the last 300 in one more (7200 bytes); the input itself is never
 *   written. Words are loaded from addresses that are multiples of 8 only
 *   (the bytes before are summed one by one), as ARM cores before v6 need.
 */
#include "hive/hive.h"

static DWORD crcTable[8][256];
static int crcTableMade;

static void makeCrcTable(void)
{
    DWORD c;
    int i;
    int k;

    for (i = 0; i < 256; i++) {
        c = (DWORD)i;
        for (k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crcTable[0][i] = c;
    }
    for (i = 0; i < 256; i++) {
        c = crcTable[0][i];
        for (k = 1; k < 8; k++) {
            c = crcTable[0][c & 0xFF] ^ (c >> 8);
            crcTable[k][i] = c;
        }
    }
    crcTableMade = 1;
}

/* The CRC register (not inverted) after cb more bytes, by the tables. */
static DWORD crcBytes(DWORD crc, const BYTE *bytes, size_t cb)
{
    DWORD low;

    while (cb >= 8) {
        low = crc ^ ((DWORD)bytes[0] | (DWORD)bytes[1] << 8 | (DWORD)bytes[2] << 16 |
                     (DWORD)bytes[3] << 24);
        crc = crcTable[7][low & 0xFF] ^ crcTable[6][(low >> 8) & 0xFF] ^
              crcTable[5][(low >> 16) & 0xFF] ^ crcTable[4][low >> 24] ^ crcTable[3][bytes[4]] ^
              crcTable[2][bytes[5]] ^ crcTable[1][bytes[6]] ^ crcTable[0][bytes[7]];
        bytes += 8;
        cb -= 8;
    }
    while (cb-- > 0)
        crc = crcTable[0][(crc ^ *bytes++) & 0xFF] ^ (crc >> 8);
    return crc;
}

/* A word of the fold. The input bytes are read as words; with GCC the type
 * says so, so that the optimiser does not assume they are not bytes. */
#if defined(__GNUC__)
typedef uint64_t __attribute__((__may_alias__)) CrcWord;
#else
typedef uint64_t CrcWord;
#endif

#define CRC_FOLD_SPAN 300 /* the degree of Q in y; also the words left at the end */
#define CRC_FOLD_TERMS 4  /* the terms of Q below y^300 */
/* How far back the words lie that reach a word: 300 - e for the terms y^e
 * (e = 155, 117, 89, 0), ascending; the last is a whole run. */
static const size_t crcFoldBack[CRC_FOLD_TERMS] = {145, 183, 211, CRC_FOLD_SPAN};

/* Folds cw words: each is XORed with the folded words 145, 183, 211 and 300
 * places before it (from1..from4[k]), and the result goes to out[k]. One
 * store a word; the words it reads were stored at least 145 words ago. */
static void crcFoldRun(const CrcWord *words, const CrcWord *from1, const CrcWord *from2,
                       const CrcWord *from3, const CrcWord *from4, CrcWord *out, size_t cw)
{
    size_t k;

    for (k = 0; k < cw; k++)
        out[k] = words[k] ^ from1[k] ^ from2[k] ^ from3[k] ^ from4[k];
}

/* Folds the first cw (1 to CRC_FOLD_SPAN) words of a run into cur; prev
 * holds the folded words of the run before. The word k places back lies in
 * cur from word k of the run on, in prev before that, so the run is cut at
 * each distance. */
static void crcFoldChunk(const CrcWord *words, const CrcWord *prev, CrcWord *cur, size_t cw)
{
    const CrcWord *from[CRC_FOLD_TERMS];
    size_t at = 0;
    size_t upTo;
    size_t back;
    int seg;
    int j;

    for (seg = 0; seg < CRC_FOLD_TERMS && at < cw; seg++) {
        upTo = crcFoldBack[seg] < cw ? crcFoldBack[seg] : cw;
        for (j = 0; j < CRC_FOLD_TERMS; j++) {
            back = crcFoldBack[j];
            from[j] = at >= back ? cur + (at - back) : prev + (at + CRC_FOLD_SPAN - back);
        }
        crcFoldRun(words + at, from[0], from[1], from[2], from[3], cur + at, upTo - at);
        at = upTo;
    }
}

/* The CRC register (not inverted) after cw words (at least 2 runs' worth)
 * at an address that is a multiple of 8. */
static DWORD crcFold(DWORD crc, const CrcWord *words, size_t cw)
{
    CrcWord runs[2][CRC_FOLD_SPAN];
    CrcWord last[CRC_FOLD_SPAN];
    CrcWord *prev = runs[0];
    CrcWord *cur = runs[1];
    CrcWord *swap;
    BYTE *first;
    size_t left = cw - CRC_FOLD_SPAN; /* the words folded; the rest is the remainder */
    size_t take;
    size_t k;
    size_t t;
    int j;

    /* Nothing lies before the message, but the register so far is XORed into
     * its first four bytes, through the word 300 places before the first. */
    for (k = 0; k < CRC_FOLD_SPAN; k++)
        prev[k] = 0;
    first = (BYTE *)prev;
    first[0] = (BYTE)crc;
    first[1] = (BYTE)(crc >> 8);
    first[2] = (BYTE)(crc >> 16);
    first[3] = (BYTE)(crc >> 24);
    for (;;) {
        take = left < CRC_FOLD_SPAN ? left : CRC_FOLD_SPAN;
        crcFoldChunk(words, prev, cur, take);
        left -= take;
        if (left == 0)
            break;
        words += CRC_FOLD_SPAN;
        swap = prev;
        prev = cur;
        cur = swap;
    }
    /* The last 300 folded words, in order, then the remainder: the next 300
     * words of the message, each XORed with the folded words that reach it. */
    for (k = 0; k < CRC_FOLD_SPAN - take; k++)
        last[k] = prev[take + k];
    for (k = 0; k < take; k++)
        last[CRC_FOLD_SPAN - take + k] = cur[k];
    words += take;
    for (k = 0; k < CRC_FOLD_SPAN; k++)
        prev[k] = words[k];
    for (j = 0; j < CRC_FOLD_TERMS; j++)
        for (t = CRC_FOLD_SPAN - crcFoldBack[j]; t < CRC_FOLD_SPAN; t++)
            prev[t + crcFoldBack[j] - CRC_FOLD_SPAN] ^= last[t];
    return crcBytes(0, (const BYTE *)prev, CRC_FOLD_SPAN * sizeof(CrcWord));
}

DWORD crc32Update(DWORD crc, const BYTE *bytes, size_t cb)
{
    size_t head;
    size_t cw;

    if (!crcTableMade)
        makeCrcTable();
    crc = ~crc;
    /* The fold pays from two runs of words on, with up to 7 bytes before
     * (by the tables, up to the first address that is a multiple of 8). */
    if (cb >= (2 * CRC_FOLD_SPAN + 1) * sizeof(CrcWord)) {
        head = (0 - (size_t)bytes) & (sizeof(CrcWord) - 1);
        crc = crcBytes(crc, bytes, head);
        bytes += head;
        cb -= head;
        cw = cb / sizeof(CrcWord);
        crc = crcFold(crc, (const CrcWord *)bytes, cw);
        bytes += cw * sizeof(CrcWord);
        cb -= cw * sizeof(CrcWord);
    }
    return ~crcBytes(crc, bytes, cb);
}
