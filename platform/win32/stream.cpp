/*
 * stream.cpp - fwprintf as the device's runtime reads it.
 *
 * Microsoft's runtime (the device's, and msvcrt) reads %s and %c of the wide
 * printf functions as wide; MinGW's C99 stdio (__USE_MINGW_ANSI_STDIO, on by
 * default for C++) reads them as narrow, as C99 says. Both read %ls and %lc
 * as wide, so the format is rewritten to those before it is used. The text
 * is then written to the stream as UTF-8, the log's encoding on every
 * platform; a text-mode stream still turns each line break into CR LF.
 */
#include "platform/win32/win32.h"

#include <stdarg.h>

#define CCH_TEXT_MAX (1 << 20) /* the longest text that one call writes */

/* Copies format into out (capacity at least 2 * wcslen(format) + 1
 * characters) with an 'l' put before every s and c conversion that has no
 * length modifier. */
static void wideConversions(const WCHAR *format, WCHAR *out)
{
    const WCHAR *p = format;
    WCHAR *o = out;

    while (*p) {
        if (*p != '%') {
            *o++ = *p++;
            continue;
        }
        *o++ = *p++;
        if (*p == '%') {
            *o++ = *p++;
            continue;
        }
        /* flags, width, precision */
        while (*p && wcschr(TEXT("-+ #0123456789.*"), *p) != NULL)
            *o++ = *p++;
        if (*p == 's' || *p == 'c') {
            *o++ = 'l';
            *o++ = *p++;
            continue;
        }
        /* a length modifier and its conversion are taken over as they are */
        while (*p && wcschr(TEXT("hlLqjztIw0123456789"), *p) != NULL)
            *o++ = *p++;
        if (*p)
            *o++ = *p++;
    }
    *o = 0;
}

int ceFwprintf(FILE *stream, const WCHAR *format, ...)
{
    WCHAR *wideFormat = NULL;
    WCHAR *text = NULL;
    char *bytes = NULL;
    int cchText;
    int cchCap;
    int cbBytes = 0;
    int result = -1;
    va_list args;

    if (stream == NULL || format == NULL)
        return -1;
    wideFormat = (WCHAR *)malloc((2 * wcslen(format) + 1) * sizeof(WCHAR));
    if (wideFormat == NULL)
        goto done;
    wideConversions(format, wideFormat);

    /* The runtime's formatter, under whichever reading it has; it fails
     * when the text does not fit, so the buffer grows until it does. (CE's
     * vswprintf takes no buffer size: _vsnwprintf is its counted one.) */
    for (cchCap = 256;; cchCap *= 2) {
        if (cchCap > CCH_TEXT_MAX)
            goto done;
        free(text);
        text = (WCHAR *)malloc(cchCap * sizeof(WCHAR));
        if (text == NULL)
            goto done;
        va_start(args, format);
#if defined(_WIN32_WCE)
        cchText = _vsnwprintf(text, cchCap, wideFormat, args);
#else
        cchText = vswprintf(text, cchCap, wideFormat, args);
#endif
        va_end(args);
        if (cchText >= 0 && cchText < cchCap)
            break;
    }
    text[cchText] = 0;

    if (cchText > 0) {
        cbBytes = WideCharToMultiByte(CP_UTF8, 0, text, cchText, NULL, 0, NULL, NULL);
        if (cbBytes <= 0)
            goto done;
        bytes = (char *)malloc(cbBytes);
        if (bytes == NULL)
            goto done;
        WideCharToMultiByte(CP_UTF8, 0, text, cchText, bytes, cbBytes, NULL, NULL);
        if (fwrite(bytes, 1, cbBytes, stream) != (size_t)cbBytes)
            goto done;
    }
    result = cchText;
done:
    free(bytes);
    free(text);
    free(wideFormat);
    return result;
}
