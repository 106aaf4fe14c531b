/*
 * fwprintf_check.cpp - proves that the Windows backend's fwprintf reads %s
 * and %c as wide whichever way the C runtime reads them, and writes UTF-8.
 * Built twice, with MinGW's C99 stdio (%s narrow) and with msvcrt's (%s
 * wide); each build first checks that the runtime's own reading is the one
 * it was built for, so that both readings are really covered.
 * Usage: fwprintf_check FOLDER. Exit 0 when every case holds.
 */
#include "platform/platform.h"

#include <string.h>

#ifndef RUNTIME_READS_S_WIDE
#error "RUNTIME_READS_S_WIDE must be 0 or 1"
#endif

static int g_failures;

#define CHECK(cond, what)                                 \
    do {                                                  \
        if (!(cond)) {                                    \
            printf("FAIL line %d: %s\n", __LINE__, what); \
            ++g_failures;                                 \
        }                                                 \
    } while (0)

/* The bytes of the file at path, up to cap; their count, or -1. */
static long readBytes(const WCHAR *path, char *out, long cap) {
    FILE *f = _wfopen(path, TEXT("rb"));
    long n;
    if (f == NULL) return -1;
    n = (long)fread(out, 1, cap, f);
    fclose(f);
    return n;
}

int main(int argc, char **argv) {
    WCHAR path[MAX_PATH];
    WCHAR probe[16];
    char got[1024];
    long n;
    FILE *f;
    int r;

    if (argc != 2) {
        printf("usage: fwprintf_check FOLDER\n");
        return 2;
    }
    MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, path, MAX_PATH - 20);
    wcscat(path, TEXT("\\fwprintf.txt"));
    DeleteFileW(path);

    /* The runtime's own reading of %s in the wide functions. */
#undef fwprintf
    memset(probe, 0, sizeof(probe));
    swprintf(probe, 15, L"%s", L"ab");
#if RUNTIME_READS_S_WIDE
    CHECK(wcscmp(probe, L"ab") == 0, "this build's runtime reads %s as wide");
#else
    CHECK(wcscmp(probe, L"a") == 0, "this build's runtime reads %s as narrow");
#endif
#define fwprintf ceFwprintf

    /* The log's calls, as writeLog makes them, in text-mode append. */
    f = _wfopen(path, TEXT("a"));
    CHECK(f != NULL, "open for append");
    if (f == NULL) return 1;
    r = fwprintf(f, TEXT("%s"), TEXT("file: "));
    CHECK(r == 6, "fwprintf returns the characters written");
    fwprintf(f, TEXT("%s"), TEXT("D:\\Gr\u00fc\u00dfe\\\u03a9mega \U0001F600.reg"));
    fwprintf(f, TEXT("\n"));
    r = fwprintf(f, TEXT("%s"), TEXT(""));
    CHECK(r == 0, "an empty text writes nothing");
    fclose(f);
    /* More conversions, in a second open: the file is appended to. */
    f = _wfopen(path, TEXT("a"));
    CHECK(f != NULL, "open again");
    if (f == NULL) return 1;
    fwprintf(f, TEXT("[%5s|%-3s|%.2s|%c|%d|%%|%ls]\n"), TEXT("ab"), TEXT("x"), TEXT("xyz"), (WCHAR)0xE9, -42,
             TEXT("wide"));
    fclose(f);

    n = readBytes(path, got, sizeof(got) - 1);
    CHECK(n >= 0, "read back");
    if (n >= 0) {
        static const char expected[] =
            "file: D:\\Gr\xc3\xbc\xc3\x9f"
            "e\\\xce\xa9mega \xf0\x9f\x98\x80.reg\r\n"
            "[   ab|x  |xy|\xc3\xa9|-42|%|wide]\r\n";
        got[n] = 0;
        CHECK(n == (long)sizeof(expected) - 1 && memcmp(got, expected, n) == 0,
              "the file holds the texts, UTF-8, CR LF");
        if (n != (long)sizeof(expected) - 1 || memcmp(got, expected, n) != 0) {
            printf("got %ld bytes:", n);
            for (long i = 0; i < n; ++i) printf(" %02x", (unsigned char)got[i]);
            printf("\n");
        }
    }

    /* A text longer than the first formatting buffer (256 characters). */
    {
        static WCHAR longText[1001];
        static char longExpected[1001];
        for (int i = 0; i < 1000; ++i) {
            longText[i] = (WCHAR)('a' + i % 26);
            longExpected[i] = (char)('a' + i % 26);
        }
        DeleteFileW(path);
        f = _wfopen(path, TEXT("a"));
        CHECK(f != NULL, "open for the long text");
        if (f != NULL) {
            r = fwprintf(f, TEXT("%s"), longText);
            CHECK(r == 1000, "a 1000-character text: 1000 written");
            fclose(f);
            n = readBytes(path, got, sizeof(got) - 1);
            CHECK(n == 1000 && memcmp(got, longExpected, 1000) == 0, "a 1000-character text reaches the file whole");
        }
    }

    CHECK(fwprintf(NULL, TEXT("%s"), TEXT("x")) < 0, "no stream: a negative result");

    DeleteFileW(path);
    printf("%s (runtime reads %%s as %s)\n", g_failures ? "FAILED" : "ok", RUNTIME_READS_S_WIDE ? "wide" : "narrow");
    return g_failures ? 1 : 0;
}
