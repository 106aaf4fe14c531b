/*
 * text.h - a message built in a fixed buffer: texts and numbers appended,
 * never past its end, always terminated. The format checks use it to say
 * what they found.
 */
#ifndef CORVANE_TEXT_H
#define CORVANE_TEXT_H

#include "platform/platform.h"

typedef struct {
    WCHAR *text;
    size_t cch; /* capacity, the terminator included */
    size_t len; /* characters so far */
} TextBuffer;

/* Starts an empty text in buffer (cch characters, at least 1). */
void textStart(TextBuffer *out, WCHAR *buffer, size_t cch);
/* Appends s, as much of it as fits. */
void textPut(TextBuffer *out, const WCHAR *s);
/* Appends value in decimal, or (hex non-zero) as 0x and upper-case hex digits. */
void textPutNumber(TextBuffer *out, DWORD value, int hex);

#endif
