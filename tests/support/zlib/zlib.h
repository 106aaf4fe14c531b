// zlib.h - the one function of zlib the tests use, for a target without
// zlib (the ARM build): crc32, the CRC-32 of ISO 3309 computed bit by bit,
// as its definition gives it, with zlib's signature.
#pragma once

typedef unsigned char Bytef;
typedef unsigned int uInt;
typedef unsigned long uLong;

inline uLong crc32(uLong crc, const Bytef *buf, uInt len) {
    if (!buf) return 0;
    unsigned int c = static_cast<unsigned int>(crc) ^ 0xffffffffu;
    for (uInt i = 0; i < len; ++i) {
        c ^= buf[i];
        for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return c ^ 0xffffffffu;
}
