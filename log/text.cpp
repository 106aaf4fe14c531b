/*
 * text.cpp - a message built in a fixed buffer.
 */
#include "log/text.h"

void textStart(TextBuffer *out, WCHAR *buffer, size_t cch)
{
    out->text = buffer;
    out->cch = cch;
    out->len = 0;
    buffer[0] = 0;
}

void textPut(TextBuffer *out, const WCHAR *s)
{
    while (*s != 0 && out->len + 1 < out->cch)
        out->text[out->len++] = *s++;
    out->text[out->len] = 0;
}

void textPutNumber(TextBuffer *out, DWORD value, int hex)
{
    WCHAR digits[16];
    int n = 0;
    DWORD base = hex ? 16 : 10;

    do {
        DWORD digit = value % base;
        digits[n++] = (WCHAR)(digit < 10 ? '0' + digit : 'A' + digit - 10);
        value /= base;
    } while (value != 0);
    if (hex)
        textPut(out, TEXT("0x"));
    while (n > 0 && out->len + 1 < out->cch)
        out->text[out->len++] = digits[--n];
    out->text[out->len] = 0;
}
