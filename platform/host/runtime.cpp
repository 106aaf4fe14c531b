// runtime.cpp - the last-error value, the wide-string functions for WCHAR,
// and memory (LocalAlloc/LocalFree, and malloc seen through the fault
// injector: executables that link the host backend route the malloc calls of
// their own objects through __wrap_malloc, wrapped.h).
#include "platform/host/host.h"
#include "platform/host/wrapped.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

static thread_local DWORD t_lastError = ERROR_SUCCESS;

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

size_t wcslen(const WCHAR *s) {
    const WCHAR *p = s;
    while (*p) ++p;
    return static_cast<size_t>(p - s);
}

WCHAR *wcschr(const WCHAR *s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return const_cast<WCHAR *>(s);
        if (!*s) return nullptr;
    }
}

WCHAR *wcscpy(WCHAR *dst, const WCHAR *src) {
    WCHAR *d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

WCHAR *wcscat(WCHAR *dst, const WCHAR *src) {
    wcscpy(dst + wcslen(dst), src);
    return dst;
}

HLOCAL LocalAlloc(UINT flags, size_t bytes) {
    host::Call call("LocalAlloc");
    call.argHex(flags).arg(static_cast<long long>(bytes));
    if (call.failed()) return call.fail(static_cast<HLOCAL>(nullptr), ERROR_NOT_ENOUGH_MEMORY);
    // Without LMEM_ZEROINIT the bytes are whatever they were, as on the device.
    void *p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : __real_malloc(bytes ? bytes : 1);
    if (!p) return call.fail(static_cast<HLOCAL>(nullptr), ERROR_NOT_ENOUGH_MEMORY);
    return call.ret(static_cast<HLOCAL>(p));
}

HLOCAL LocalFree(HLOCAL mem) {
    host::Call call("LocalFree");
    std::free(mem);
    return call.ret(static_cast<HLOCAL>(nullptr));
}

extern "C" void *__wrap_malloc(size_t bytes) {
    host::Call call("malloc");
    call.arg(static_cast<long long>(bytes));
    if (call.failed()) {
        errno = ENOMEM;
        return call.fail(static_cast<void *>(nullptr), ERROR_NOT_ENOUGH_MEMORY);
    }
    return call.ret(__real_malloc(bytes));
}
