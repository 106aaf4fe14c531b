/*
 * copy.h - copyBytes, the copy of a run of bytes that the image check and
 * the rewrites use (the system has no memcpy of its own).
 */
#ifndef CORVANE_COPY_H
#define CORVANE_COPY_H

#include "platform/platform.h"

/* Blocks of bytes copied as one: the compiler moves each in a few wide
 * loads and stores, where a loop of bytes costs several instructions a
 * byte. Byte arrays alone, so any address will do. */
typedef struct {
    BYTE b[32];
} ByteBlock32;
typedef struct {
    BYTE b[8];
} ByteBlock8;
typedef struct {
    BYTE b[4];
} ByteBlock4;

#define COPY_BLOCK(type, to, from, at) (*(type *)((to) + (at)) = *(const type *)((from) + (at)))

/* Copies cb bytes; the two ranges never overlap. Whole blocks, then one
 * block that ends at the last byte (copying a few bytes twice). */
static inline void copyBytes(BYTE *to, const BYTE *from, size_t cb)
{
    size_t at;

    if (cb >= sizeof(ByteBlock32)) {
        for (at = 0; at + sizeof(ByteBlock32) <= cb; at += sizeof(ByteBlock32))
            COPY_BLOCK(ByteBlock32, to, from, at);
        if (at < cb)
            COPY_BLOCK(ByteBlock32, to, from, cb - sizeof(ByteBlock32));
    } else if (cb >= sizeof(ByteBlock8)) {
        for (at = 0; at + sizeof(ByteBlock8) <= cb; at += sizeof(ByteBlock8))
            COPY_BLOCK(ByteBlock8, to, from, at);
        if (at < cb)
            COPY_BLOCK(ByteBlock8, to, from, cb - sizeof(ByteBlock8));
    } else if (cb >= sizeof(ByteBlock4)) {
        COPY_BLOCK(ByteBlock4, to, from, 0);
        COPY_BLOCK(ByteBlock4, to, from, cb - sizeof(ByteBlock4));
    } else {
        while (cb-- > 0)
            *to++ = *from++;
    }
}

#endif
