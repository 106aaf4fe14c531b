// wrapped.h - the C library functions that reach the simulated device
// instead of the C library.
//
// An executable that links the host backend is linked with --wrap for each
// name below (platform/host/CMakeLists.txt reads the list from this file):
// a call of fread in the program's own objects (the system's code, the
// tools, the tests) reaches __wrap_fread here, and __real_fread is the C
// library's. Calls made inside shared libraries (libstdc++, the C library
// itself) are not wrapped.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

extern "C" {

// Memory (runtime.cpp): malloc is a platform call, so that a fault rule can
// make it fail and the trace shows it. LocalAlloc takes __real_malloc.
void *__wrap_malloc(size_t bytes);
void *__real_malloc(size_t bytes);

// Streams (streams.cpp): on a FILE that _wfopen handed out, each is one
// platform call served by the device's stream (its 4 KiB buffer, the fault
// rules, the trace); a call on a FILE that was closed stops the process.
// On any other FILE (stdout, a file the host's fopen opened) each is the C
// library's own. fputs and fputc are here because a compiler may turn an
// fprintf or a one-byte fwrite into them.
size_t __wrap_fread(void *buf, size_t size, size_t count, FILE *f);
size_t __wrap_fwrite(const void *buf, size_t size, size_t count, FILE *f);
int __wrap_fseek(FILE *f, long offset, int whence);
long __wrap_ftell(FILE *f);
int __wrap_feof(FILE *f);
int __wrap_ferror(FILE *f);
void __wrap_clearerr(FILE *f);
int __wrap_fflush(FILE *f);
int __wrap_fclose(FILE *f);
int __wrap_fprintf(FILE *f, const char *format, ...);
int __wrap_fputs(const char *s, FILE *f);
int __wrap_fputc(int c, FILE *f);
size_t __real_fread(void *buf, size_t size, size_t count, FILE *f);
size_t __real_fwrite(const void *buf, size_t size, size_t count, FILE *f);
int __real_fseek(FILE *f, long offset, int whence);
long __real_ftell(FILE *f);
int __real_feof(FILE *f);
int __real_ferror(FILE *f);
void __real_clearerr(FILE *f);
int __real_fflush(FILE *f);
int __real_fclose(FILE *f);
int __real_fputs(const char *s, FILE *f);
int __real_fputc(int c, FILE *f);
}
