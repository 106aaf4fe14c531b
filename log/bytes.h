/*
 * bytes.h - little-endian fields: every multi-byte field of both backup
 * formats is stored low byte first, whatever the processor.
 */
#ifndef CORVANE_BYTES_H
#define CORVANE_BYTES_H

#include "platform/platform.h"

static inline WORD getLe16(const BYTE *p)
{
    return (WORD)(p[0] | (p[1] << 8));
}

static inline DWORD getLe32(const BYTE *p)
{
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

static inline void putLe16(BYTE *p, unsigned value)
{
    p[0] = (BYTE)value;
    p[1] = (BYTE)(value >> 8);
}

static inline void putLe32(BYTE *p, DWORD value)
{
    p[0] = (BYTE)value;
    p[1] = (BYTE)(value >> 8);
    p[2] = (BYTE)(value >> 16);
    p[3] = (BYTE)(value >> 24);
}

#endif
