// streams.cpp - the C library streams of the simulated device.
//
// A device stream buffers as the device's C library does, with one buffer of
// 4 KiB, and nothing of it is hidden:
// - a read takes bytes from the buffer while the position lies in it, and
//   fills it from the file (4 KiB at the position) when it does not; a read
//   of 4 KiB or more beyond the buffer goes to the file directly. So a
//   reader sees what other streams wrote, except within its own buffer.
// - a write gathers in the buffer, which is written out when it is full, at
//   fflush, fseek and fclose, and before a read; a write of 4 KiB or more
//   into an empty buffer goes to the file directly. An "a" stream's bytes
//   go to the end of the file, wherever that is when they are written out.
// - the disk budget (disk=N) is drawn when bytes are written out, so a full
//   disk shows at the fwrite that fills the buffer, at fflush or at fclose;
//   the bytes that did not fit are lost, and the stream's error mark is set.
// - a power cut loses what every stream holds in its buffer. A cut inside a
//   call (fwrite@N!BYTES, fclose@N!BYTES, ...) comes once BYTES bytes that
//   the call writes out have reached the file.
// - the open streams are written out when the process exits, as the C
//   library does at exit.
//
// The FILE* that _wfopen hands out is an address of its own, never given to
// another stream (nor by malloc): the addresses come from a reserved region
// that nothing can read or write. The stream functions reach the device
// through --wrap (wrapped.h); any other C library call on a device FILE
// faults at once. A call on a FILE that was closed (a second fclose, a
// write after fclose) stops the process with one line that names the call
// and where the FILE was closed, as a debug C library does.
#include "platform/host/host.h"
#include "platform/host/wrapped.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_SANITIZED 1
#endif
#endif
#ifdef CORVANE_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

// The device C library's stream buffer.
constexpr size_t kBuffer = 4096;

struct Stream {
    FILE *file = nullptr;  // the address handed out for it
    int fd = -1;
    std::string hostPath;
    std::u16string devicePath;  // for path rules and the trace, made when first asked for
    bool append = false;
    off_t pos = 0;  // the stream's position (an "a" stream's: see position())
    // What the buffer holds: file bytes read at [bufStart, bufStart + bufLen),
    // or bytes written that are still to go out at bufStart (at the end of
    // the file for "a").
    enum { Empty, Reading, Writing } state = Empty;
    off_t bufStart = 0;
    size_t bufLen = 0;
    bool eof = false;    // a read met the end of the file
    bool error = false;  // a read or write failed
    char buf[kBuffer];

    // The device path, or NULL when no call is watched (no rule or trace
    // would read it): most streams never need it.
    const WCHAR *watchedPath() {
        if (!host::g_callsWatched) return nullptr;
        if (devicePath.empty()) devicePath = host::devicePathOf(hostPath);
        return devicePath.c_str();
    }
};

// ---- The addresses of device FILEs -------------------------------------------
//
// Each stream gets the next 16 bytes of a region reserved without access;
// a used-up region is followed by a new one, and none is ever released, so
// no address is handed out twice in the life of the process.

constexpr size_t kRegion = size_t(1) << 30;  // 2^26 streams a region
constexpr size_t kSlot = 16;
std::vector<char *> g_regions;
char *g_nextSlot = nullptr;
char *g_regionEnd = nullptr;

FILE *newFileAddress() {
    if (g_nextSlot == g_regionEnd) {
        void *p = ::mmap(nullptr, kRegion, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        g_regions.push_back(static_cast<char *>(p));
        g_nextSlot = static_cast<char *>(p);
        g_regionEnd = g_nextSlot + kRegion;
    }
    FILE *f = reinterpret_cast<FILE *>(g_nextSlot);
    g_nextSlot += kSlot;
    return f;
}

bool isDeviceAddress(const FILE *f) {
    const char *p = reinterpret_cast<const char *>(f);
    for (const char *base : g_regions)
        if (p >= base && p < base + kRegion) return true;
    return false;
}

// The streams that are open; few at a time.
std::vector<Stream *> g_open;

// Stream objects of closed streams, kept for the next ones: a run opens a
// stream for every line it logs, and an object of 4 KiB made and freed for
// each costs more than the line under the sanitizers. Only the object is
// kept: a stream made from it starts empty, and its FILE address is new.
constexpr size_t kSpareStreams = 4;
Stream *g_spare[kSpareStreams];
size_t g_spareCount = 0;

Stream *newStream() {
    if (g_spareCount == 0) return new Stream;
    Stream *s = g_spare[--g_spareCount];
    std::string hostPath = std::move(s->hostPath);  // its room is kept
    hostPath.clear();
    s->file = nullptr;
    s->fd = -1;
    s->hostPath = std::move(hostPath);
    s->devicePath.clear();
    s->append = false;
    s->pos = 0;
    s->state = Stream::Empty;
    s->bufStart = 0;
    s->bufLen = 0;
    s->eof = s->error = false;
    return s;
}

void disposeStream(Stream *s) {
    if (g_spareCount < kSpareStreams)
        g_spare[g_spareCount++] = s;
    else
        delete s;
}

// The last streams closed: which FILE, its device path, and the code that
// called fclose, for the line that reports a later call on it.
struct Closed {
    FILE *file = nullptr;
    std::string hostPath;
    const void *caller = nullptr;
};
constexpr size_t kClosedKept = 64;
Closed g_closed[kClosedKept];
size_t g_closedNext = 0;

// "name+0x1c (corvane+0x3a2f1)": where an address lies in the program.
std::string placeOf(const void *address) {
    Dl_info info;
    if (!address || !::dladdr(address, &info) || !info.dli_fname) return "an unknown place";
    char buf[64];
    std::string out;
    if (info.dli_sname && info.dli_saddr) {
        int status = -1;
        char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        out = status == 0 && demangled ? demangled : info.dli_sname;
        std::free(demangled);
        snprintf(buf, sizeof buf, "+0x%zx ",
                 static_cast<size_t>(static_cast<const char *>(address) - static_cast<const char *>(info.dli_saddr)));
        out += buf;
    }
    const char *module = std::strrchr(info.dli_fname, '/');
    snprintf(buf, sizeof buf, "+0x%zx",
             static_cast<size_t>(static_cast<const char *>(address) - static_cast<const char *>(info.dli_fbase)));
    out += std::string(info.dli_sname ? "(" : "") + (module ? module + 1 : info.dli_fname) + buf +
           (info.dli_sname ? ")" : "");
    return out;
}

// A call on a FILE that is no open device stream but was one: the process
// stops, with one line that says so, as a debug C library stops it (abort:
// the fault loops and the fuzzers count it as a crash).
[[noreturn]] void closedFileUsed(const char *call, FILE *f) {
    const Closed *closed = nullptr;
    for (const Closed &c : g_closed)
        if (c.file == f) closed = &c;
    std::string line = std::string(host::programName()) + ": " + call + " on a closed FILE";
    if (closed) {
        line += " (" + host::toUtf8(host::devicePathOf(closed->hostPath)) + "), closed by the fclose called from " +
                placeOf(closed->caller);
    } else {
        line += ", closed earlier by an fclose no longer recorded";
    }
    line += "\n";
    (void)!::write(2, line.data(), line.size());
#ifdef CORVANE_SANITIZED
    __sanitizer_print_stack_trace();
#endif
    std::abort();
}

// The open device stream of f; NULL for a FILE of the C library's own.
// A FILE that was a device stream stops the process (call names the call).
inline Stream *deviceStream(FILE *f, const char *call) {
    for (Stream *s : g_open)
        if (s->file == f) return s;
    if (isDeviceAddress(f)) closedFileUsed(call, f);
    return nullptr;
}

// ---- Writing out --------------------------------------------------------------

// Writes size bytes at `at` (at the end of the file for "a") as far as the
// disk has room, with a power cut inside the call when one is armed and
// its bytes are used up. Returns how many reached the file; when that is
// fewer than size, lastError says why (ERROR_DISK_FULL, ERROR_WRITE_FAULT).
size_t writeOut(Stream &s, const char *data, size_t size, off_t at, DWORD &lastError) {
    const size_t room = host::diskReserve(size);
    const size_t allowed = host::powerReserve(room);
    size_t done = 0;
    lastError = ERROR_SUCCESS;
    while (done < allowed) {
        ssize_t n = s.append ? ::write(s.fd, data + done, allowed - done)
                             : ::pwrite(s.fd, data + done, allowed - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lastError = ERROR_WRITE_FAULT;
            break;
        }
        done += static_cast<size_t>(n);
    }
    host::powerWritten(done);
    if (allowed < room && done == allowed) host::powerCut();
    if (lastError == ERROR_SUCCESS && room < size) lastError = ERROR_DISK_FULL;
    return done;
}

// Writes out what the buffer holds for writing; it is empty afterwards,
// whether its bytes reached the file or not. False (the error mark set)
// when some did not.
bool flushBuffer(Stream &s, DWORD &lastError) {
    lastError = ERROR_SUCCESS;
    if (s.state != Stream::Writing) return true;
    const size_t len = s.bufLen;
    s.state = Stream::Empty;
    s.bufLen = 0;
    if (len == 0) return true;
    if (writeOut(s, s.buf, len, s.bufStart, lastError) == len) return true;
    s.error = true;
    return false;
}

// The end of the file as the stream sees it (its own bytes still to go out
// included).
off_t fileEnd(Stream &s) {
    struct stat st;
    off_t size = ::fstat(s.fd, &st) == 0 ? st.st_size : 0;
    if (s.state == Stream::Writing) {
        if (s.append) return size + static_cast<off_t>(s.bufLen);
        size = std::max(size, s.bufStart + static_cast<off_t>(s.bufLen));
    }
    return size;
}

// The stream's position: an "a" stream is at the end of the file.
off_t position(Stream &s) { return s.append ? fileEnd(s) : s.pos; }

// Hands size bytes to the stream at its position. Returns how many it took
// (those written out and those in the buffer); when that is fewer than
// size, lastError says why.
size_t writeBytes(Stream &s, const char *data, size_t size, DWORD &lastError) {
    lastError = ERROR_SUCCESS;
    if (s.state == Stream::Reading) s.state = Stream::Empty;  // what was read is given up
    if (s.state == Stream::Empty) {
        s.state = Stream::Writing;
        s.bufStart = s.pos;
        s.bufLen = 0;
    }
    size_t done = 0;
    while (done < size) {
        size_t left = size - done;
        if (s.bufLen == 0 && left >= kBuffer) {
            // Whole buffers' worth straight to the file.
            size_t whole = left - left % kBuffer;
            size_t n = writeOut(s, data + done, whole, s.pos, lastError);
            done += n;
            s.pos += static_cast<off_t>(n);
            s.bufStart = s.pos;
            if (n < whole) {
                s.error = true;
                return done;
            }
            continue;
        }
        size_t n = std::min(kBuffer - s.bufLen, left);
        std::memcpy(s.buf + s.bufLen, data + done, n);
        s.bufLen += n;
        done += n;
        s.pos += static_cast<off_t>(n);
        if (s.bufLen == kBuffer) {
            // The buffer goes out; what of this call was in it is lost when
            // it does not.
            if (!flushBuffer(s, lastError)) return done - n;
            s.state = Stream::Writing;
            s.bufStart = s.pos;
        }
    }
    return done;
}

// ---- Reading ---------------------------------------------------------------------

// Reads up to size bytes at the stream's position. Returns the count, or -1
// when the host read failed before any byte came (or the buffer could not
// be written out first).
ssize_t readBytes(Stream &s, char *data, size_t size) {
    if (s.state == Stream::Writing) {
        DWORD err;
        if (!flushBuffer(s, err)) return -1;
    }
    size_t done = 0;
    while (done < size) {
        if (s.state == Stream::Reading && s.pos >= s.bufStart && s.pos < s.bufStart + static_cast<off_t>(s.bufLen)) {
            size_t at = static_cast<size_t>(s.pos - s.bufStart);
            size_t n = std::min(size - done, s.bufLen - at);
            std::memcpy(data + done, s.buf + at, n);
            done += n;
            s.pos += static_cast<off_t>(n);
            continue;
        }
        size_t left = size - done;
        if (left >= kBuffer) {
            // Whole buffers' worth straight from the file.
            size_t whole = left - left % kBuffer;
            ssize_t n = ::pread(s.fd, data + done, whole, s.pos);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return done ? static_cast<ssize_t>(done) : -1;
            done += static_cast<size_t>(n);
            s.pos += n;
            if (static_cast<size_t>(n) < whole) break;  // the end of the file
            continue;
        }
        ssize_t n = ::pread(s.fd, s.buf, kBuffer, s.pos);
        if (n < 0 && errno == EINTR) continue;
        s.state = Stream::Empty;
        if (n < 0) return done ? static_cast<ssize_t>(done) : -1;
        if (n == 0) break;  // the end of the file
        s.state = Stream::Reading;
        s.bufStart = s.pos;
        s.bufLen = static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// ---- Closing ------------------------------------------------------------------

// Closes a device stream: its buffer written out, its host file closed, its
// FILE remembered as closed by the code at caller. 0, or -1 with lastError
// when the buffer could not be written out (or a fault failed the call).
int closeStream(Stream *s, bool failed, const void *caller, DWORD &lastError) {
    int rc = 0;
    lastError = ERROR_SUCCESS;
    if (failed) {
        // The last buffered bytes are lost, as when the final write fails.
        lastError = ERROR_WRITE_FAULT;
        rc = -1;
    } else if (!flushBuffer(*s, lastError)) {
        rc = -1;
    }
    if (::close(s->fd) != 0 && rc == 0) {
        lastError = ERROR_WRITE_FAULT;
        rc = -1;
    }
    g_open.erase(std::remove(g_open.begin(), g_open.end(), s), g_open.end());
    Closed &c = g_closed[g_closedNext++ % kClosedKept];
    c.file = s->file;
    c.hostPath = s->hostPath;
    c.caller = caller;
    disposeStream(s);
    return rc;
}

// At exit the C library writes out every stream still open (a power cut
// ends the process without it).
void flushAtExit() {
    for (Stream *s : g_open) {
        DWORD err;
        flushBuffer(*s, err);
    }
}

}  // namespace

FILE *_wfopen(const WCHAR *path, const WCHAR *mode) {
    host::Call call("_wfopen", path);
    call.arg(path).arg(mode);
    if (call.failed()) {
        errno = EACCES;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
    }
    if (!path || !mode || !*mode) return call.fail(static_cast<FILE *>(nullptr), ERROR_INVALID_PARAMETER);
    const WCHAR m = mode[0];
    bool plus = false;
    for (const WCHAR *p = mode; *p; ++p) plus = plus || *p == u'+';
    int flags;
    switch (m) {
    case u'r':
        flags = plus ? O_RDWR : O_RDONLY;
        break;
    case u'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case u'a':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_INVALID_PARAMETER);
    }
    thread_local std::string hostPath;  // kept from call to call; the stream takes a copy
    host::PathEntry there;
    DWORD err = host::resolvePath(path, hostPath, true, &there);
    if (err != ERROR_SUCCESS) {
        errno = ENOENT;
        return call.fail(static_cast<FILE *>(nullptr), err);
    }
    if (there.isFolder()) {
        errno = EISDIR;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
    }
    if (!there.exists && m == u'r') {
        errno = ENOENT;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_FILE_NOT_FOUND);
    }
    if ((flags & (O_WRONLY | O_RDWR)) && there.readOnly()) {
        errno = EACCES;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
    }
    if (there.exists && (flags & (O_WRONLY | O_RDWR)) && host::hiveInUse(hostPath)) {
        errno = EBUSY;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_SHARING_VIOLATION);
    }
    FILE *file = newFileAddress();
    if (!file) return call.fail(static_cast<FILE *>(nullptr), ERROR_NOT_ENOUGH_MEMORY);
    // Opened without emptying it: a handle's share mode may keep the file
    // from this open, and a "w" stream empties its file only once let in.
    int fd = host::openDeviceFile(hostPath, flags & ~O_TRUNC);
    if (fd < 0) {
        DWORD e = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        return call.fail(static_cast<FILE *>(nullptr), e);
    }
    const int accmode = flags & O_ACCMODE;
    if (host::shareRefuses(fd, accmode == O_RDWR     ? GENERIC_READ | GENERIC_WRITE
                               : accmode == O_WRONLY ? GENERIC_WRITE
                                                     : GENERIC_READ)) {
        ::close(fd);
        errno = EACCES;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_SHARING_VIOLATION);
    }
    if (flags & O_TRUNC) {
        if (!host::emptyFile(fd)) {
            ::close(fd);
            errno = EACCES;
            return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
        }
        // An emptied file gives its room back to the disk.
        if (there.isFile()) host::diskFree(static_cast<size_t>(there.st.st_size));
    }
    static const bool atExit = std::atexit(flushAtExit) == 0;
    (void)atExit;
    Stream *s = newStream();
    s->file = file;
    s->fd = fd;
    s->hostPath = hostPath;
    s->append = m == u'a';
    g_open.push_back(s);
    return call.ret(file);
}

// Formats a WCHAR format with Microsoft's reading of the wide functions:
// %s and %ls take a WCHAR string, %hs a narrow one; %c a WCHAR; %d %i %u %x
// %X an int; %% a percent sign. Flags, width and precision are accepted for
// the numbers.
static void formatWide(std::u16string &out, const WCHAR *format, va_list ap) {
    out.clear();
    for (const WCHAR *p = format; *p; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        const WCHAR *start = p++;
        std::string conversion = "%";
        while (*p && std::strchr("-+ #0123456789.", static_cast<char>(*p) & 0x7F) && *p < 0x80)
            conversion += static_cast<char>(*p++);
        bool narrow = false;
        if (*p == u'l') {
            ++p;
        } else if (*p == u'h') {
            narrow = true;
            ++p;
        }
        switch (*p) {
        case u's': {
            if (narrow) {
                const char *s = va_arg(ap, const char *);
                out += host::fromUtf8(s ? s : "(null)");
            } else {
                const WCHAR *s = va_arg(ap, const WCHAR *);
                out += s ? std::u16string_view(s) : std::u16string_view(u"(null)");
            }
            break;
        }
        case u'c':
            out += static_cast<WCHAR>(va_arg(ap, int));
            break;
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X': {
            char buf[64];
            conversion += static_cast<char>(*p);
            snprintf(buf, sizeof buf, conversion.c_str(), va_arg(ap, int));
            out += host::fromUtf8(buf);
            break;
        }
        case u'%':
            out += u'%';
            break;
        default:  // unknown: written as it stands
            out.append(start, p + (*p ? 1 : 0));
            if (!*p) --p;
            break;
        }
    }
}

int fwprintf(FILE *stream, const WCHAR *format, ...) {
    host::Call call("fwprintf");
    call.arg(format);
    if (call.failed()) return call.fail(-1, ERROR_WRITE_FAULT);
    if (!stream || !format) return call.fail(-1, ERROR_INVALID_PARAMETER);
    deviceStream(stream, "fwprintf");  // stops on a closed FILE
    va_list ap;
    va_start(ap, format);
    // The text and its bytes are made in buffers kept from call to call: a
    // log line is three calls.
    thread_local std::u16string text;
    thread_local std::string bytes;
    formatWide(text, format, ap);
    va_end(ap);
    bytes.clear();
    host::appendUtf8(bytes, text);  // the device's wide text reaches the host file as UTF-8
    // One fwrite of the bytes, a platform call of its own.
    if (__wrap_fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) return call.fail(-1, ERROR_WRITE_FAULT);
    return call.ret(static_cast<int>(text.size()));
}

// ---- The stream functions, linked through --wrap ---------------------------

namespace {

// fwrite's work for fwrite, fputs, fputc and fprintf: the bytes handed to
// the stream; when they were not all taken, the error mark and errno set
// and lastError saying why. Returns how many were.
size_t streamWrite(Stream &s, const char *data, size_t size, DWORD &lastError) {
    size_t n = writeBytes(s, data, size, lastError);
    if (n < size) {
        s.error = true;
        errno = lastError == ERROR_DISK_FULL ? ENOSPC : EIO;
    }
    return n;
}

}  // namespace

extern "C" {

int __wrap_fclose(FILE *f) {
    Stream *s = deviceStream(f, "fclose");
    if (!s) return __real_fclose(f);
    const WCHAR *path = s->watchedPath();
    host::Call call("fclose", path);
    call.arg(path);
    DWORD err;
    if (closeStream(s, call.failed(), __builtin_return_address(0), err) != 0) {
        errno = err == ERROR_DISK_FULL ? ENOSPC : EIO;
        return call.fail(EOF, err);
    }
    return call.ret(0);
}

size_t __wrap_fread(void *buf, size_t size, size_t count, FILE *f) {
    Stream *s = deviceStream(f, "fread");
    if (!s) return __real_fread(buf, size, count, f);
    const WCHAR *path = s->watchedPath();
    host::Call call("fread", path);
    call.arg(path).arg(static_cast<long long>(size)).arg(static_cast<long long>(count));
    if (call.failed()) {
        s->error = true;
        return call.fail(static_cast<size_t>(0), ERROR_READ_FAULT);
    }
    if (size == 0 || count == 0) return call.ret(static_cast<size_t>(0));
    if (count > SIZE_MAX / size) count = SIZE_MAX / size;
    ssize_t n = readBytes(*s, static_cast<char *>(buf), size * count);
    if (n < 0) {
        s->error = true;
        return call.fail(static_cast<size_t>(0), ERROR_READ_FAULT);
    }
    if (static_cast<size_t>(n) < size * count) s->eof = true;
    return call.ret(static_cast<size_t>(n) / size);
}

size_t __wrap_fwrite(const void *buf, size_t size, size_t count, FILE *f) {
    Stream *s = deviceStream(f, "fwrite");
    if (!s) return __real_fwrite(buf, size, count, f);
    const WCHAR *path = s->watchedPath();
    host::Call call("fwrite", path);
    call.arg(path).arg(static_cast<long long>(size)).arg(static_cast<long long>(count));
    if (call.failed()) {
        s->error = true;
        return call.fail(static_cast<size_t>(0), ERROR_WRITE_FAULT);
    }
    if (size == 0 || count == 0) return call.ret(static_cast<size_t>(0));
    if (count > SIZE_MAX / size) count = SIZE_MAX / size;
    DWORD err;
    size_t n = streamWrite(*s, static_cast<const char *>(buf), size * count, err);
    return n < size * count ? call.fail(n / size, err) : call.ret(count);
}

int __wrap_fputs(const char *text, FILE *f) {
    Stream *s = deviceStream(f, "fputs");
    if (!s) return __real_fputs(text, f);
    const WCHAR *path = s->watchedPath();
    host::Call call("fputs", path);
    call.arg(path).arg(text);
    if (call.failed()) {
        s->error = true;
        return call.fail(EOF, ERROR_WRITE_FAULT);
    }
    size_t len = std::strlen(text);
    DWORD err;
    return streamWrite(*s, text, len, err) < len ? call.fail(EOF, err) : call.ret(1);
}

int __wrap_fputc(int c, FILE *f) {
    Stream *s = deviceStream(f, "fputc");
    if (!s) return __real_fputc(c, f);
    const WCHAR *path = s->watchedPath();
    host::Call call("fputc", path);
    call.arg(path).arg(static_cast<long long>(c));
    if (call.failed()) {
        s->error = true;
        return call.fail(EOF, ERROR_WRITE_FAULT);
    }
    const char byte = static_cast<char>(c);
    DWORD err;
    return streamWrite(*s, &byte, 1, err) < 1 ? call.fail(EOF, err)
                                              : call.ret(static_cast<int>(static_cast<unsigned char>(byte)));
}

int __wrap_fseek(FILE *f, long offset, int whence) {
    Stream *s = deviceStream(f, "fseek");
    if (!s) return __real_fseek(f, offset, whence);
    const WCHAR *path = s->watchedPath();
    host::Call call("fseek", path);
    call.arg(path).arg(static_cast<long long>(offset)).arg(static_cast<long long>(whence));
    if (call.failed()) return call.fail(-1, ERROR_GEN_FAILURE);
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
        errno = EINVAL;
        return call.fail(-1, ERROR_INVALID_PARAMETER);
    }
    // What waits to be written goes out first; a read buffer stays, for a
    // reader that goes back into it.
    DWORD err;
    const off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? position(*s) : fileEnd(*s);
    if (!flushBuffer(*s, err)) return call.fail(-1, err);
    if (base + offset < 0) {
        errno = EINVAL;
        return call.fail(-1, ERROR_INVALID_PARAMETER);
    }
    s->pos = base + offset;
    s->eof = false;
    return call.ret(0);
}

long __wrap_ftell(FILE *f) {
    Stream *s = deviceStream(f, "ftell");
    if (!s) return __real_ftell(f);
    const WCHAR *path = s->watchedPath();
    host::Call call("ftell", path);
    call.arg(path);
    if (call.failed()) return call.fail(-1L, ERROR_GEN_FAILURE);
    return call.ret(static_cast<long>(position(*s)));
}

int __wrap_feof(FILE *f) {
    Stream *s = deviceStream(f, "feof");
    return s ? s->eof : __real_feof(f);
}

int __wrap_ferror(FILE *f) {
    Stream *s = deviceStream(f, "ferror");
    return s ? s->error : __real_ferror(f);
}

void __wrap_clearerr(FILE *f) {
    if (Stream *s = deviceStream(f, "clearerr"))
        s->eof = s->error = false;
    else
        __real_clearerr(f);
}

int __wrap_fflush(FILE *f) {
    if (!f) {  // every stream: the device's too
        int rc = __real_fflush(nullptr);
        for (Stream *d : g_open) {
            DWORD err;
            if (!flushBuffer(*d, err)) rc = EOF;
        }
        return rc;
    }
    Stream *s = deviceStream(f, "fflush");
    if (!s) return __real_fflush(f);
    const WCHAR *path = s->watchedPath();
    host::Call call("fflush", path);
    call.arg(path);
    if (call.failed()) return call.fail(EOF, ERROR_WRITE_FAULT);
    DWORD err;
    if (!flushBuffer(*s, err)) {
        errno = err == ERROR_DISK_FULL ? ENOSPC : EIO;
        return call.fail(EOF, err);
    }
    return call.ret(0);
}

int __wrap_fprintf(FILE *f, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Stream *s = deviceStream(f, "fprintf");
    if (!s) {
        int rc = vfprintf(f, format, ap);
        va_end(ap);
        return rc;
    }
    const WCHAR *path = s->watchedPath();
    host::Call call("fprintf", path);
    call.arg(path).arg(format);
    va_list copy;
    va_copy(copy, ap);
    int len = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(len > 0 ? static_cast<size_t>(len) : 0, '\0');
    if (len > 0) vsnprintf(text.data(), text.size() + 1, format, ap);
    va_end(ap);
    if (call.failed()) {
        s->error = true;
        return call.fail(-1, ERROR_WRITE_FAULT);
    }
    if (len < 0) return call.fail(-1, ERROR_INVALID_PARAMETER);
    DWORD err;
    return streamWrite(*s, text.data(), text.size(), err) < text.size() ? call.fail(-1, err) : call.ret(len);
}

}  // extern "C"
