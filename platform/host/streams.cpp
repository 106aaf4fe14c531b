// streams.cpp - the C library streams of the simulated device.
//
// _wfopen hands out a real FILE* (glibc's fopencookie) over a Stream of our
// own: two 256 KiB read windows of the host file and a pending run of bytes to
// write. The stream functions the program uses (fread, fwrite, fseek, ftell,
// feof, ferror, clearerr, fflush, fprintf, fclose) are linked through --wrap: on a
// device stream each one is one platform call (fault injection, trace) served
// by the Stream directly, so a small read or a seek inside the window costs
// no system call; on any other FILE* they are the C library's own. Other C
// library calls on a device stream (fputs, fgetc, ...) still work: they reach
// the same Stream through the cookie, which glibc drives unbuffered. A
// closed stream's FILE is kept with its Stream object for the next stream
// of the same mode.
//
// Writes gather in the pending run, written when it is full, when a read or
// a write elsewhere needs it out, at fflush or at fclose; an "a" stream's
// run goes to the end of the file. Every write draws on the disk budget
// (disk=N). A failed flush at fclose makes fclose fail (EOF), as a full disk
// does on the device.
// A write inside which the power is cut (fwrite@N!BYTES, fprintf@N!BYTES,
// fwprintf@N!BYTES) first writes out the stream's pending run, so that what
// earlier calls handed to the stream reaches the file, then the first BYTES
// bytes of its own; the pending runs of other streams are lost.
#include "platform/host/host.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A stream reads and writes its host file in pieces of up to this much,
// whatever the system's own (4 KiB) buffers hold: a rewrite of a 64 MiB
// image runs about a sixth faster with 256 KiB pieces than with 64 KiB ones
// (the host's file system takes larger pages for larger writes). What the
// device shows does not change with it: a power cut first writes out the
// cut stream's pending run, and the disk budget is drawn by each write call.
constexpr size_t kWindow = 256 * 1024;

// File bytes [start, start + len) once read; bytes is kWindow long.
struct ReadWindow {
    std::unique_ptr<char[]> bytes;
    off_t start = 0;
    size_t len = 0;
    unsigned long used = 0;  // the stream's read count when last used

    bool holds(off_t pos) const { return pos >= start && pos < start + static_cast<off_t>(len); }
};

struct Stream {
    int fd = -1;
    std::string hostPath;
    std::u16string devicePath;  // for path rules and the trace, made when first asked for

    // The device path, or NULL when no call is watched (no rule or trace
    // would read it): most streams never need it.
    const WCHAR *watchedPath() {
        if (!host::g_callsWatched) return nullptr;
        if (devicePath.empty()) devicePath = host::devicePathOf(hostPath);
        return devicePath.c_str();
    }
    bool append = false;
    off_t pos = 0;  // the stream's position
    // Two read windows of kWindow bytes: a reader that goes back to bytes
    // behind it (a group of records written out, then the walk going on)
    // keeps the window it walks in.
    ReadWindow windows[2];
    unsigned long reads = 0;    // counts window uses, for the least recent
    std::vector<char> pending;  // bytes to write at [pendStart, pendStart + pending.size())
    off_t pendStart = 0;
    bool writeFailed = false;  // a flush failed; fclose reports it
    bool eof = false;          // a read met the end of the file
    bool error = false;        // a read or write failed
    FILE *file = nullptr;      // the FILE* handed out for it
    // The glibc mode its FILE was made with ("r", "w+", ...): a closed
    // stream keeps its FILE for the next stream of the same mode.
    const char *fileMode = nullptr;
    // A file of a device the process owns, opened "r" or "a": its host file
    // is kept open after fclose for the next stream on it (takeKeptFile).
    bool keepable = false;
    int flags = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};

// The device streams that are open; few at a time.
std::vector<Stream *> g_open;

// Windows and pending runs of closed streams, kept for the next ones: a run
// opens a few streams on small files, and a window made and freed
// for each costs more than its reads.
constexpr size_t kSpares = 4;
std::vector<std::unique_ptr<char[]>> g_spareWindows;
std::vector<std::vector<char>> g_sparePending;

std::unique_ptr<char[]> takeWindow() {
    if (g_spareWindows.empty()) return std::unique_ptr<char[]>(new char[kWindow]);  // no need to clear it
    std::unique_ptr<char[]> w = std::move(g_spareWindows.back());
    g_spareWindows.pop_back();
    return w;
}

void reserveRun(Stream &s) {
    if (s.pending.capacity() >= kWindow) return;
    if (!g_sparePending.empty()) {
        s.pending.swap(g_sparePending.back());
        g_sparePending.pop_back();
        s.pending.clear();
    }
    if (s.pending.capacity() < kWindow) s.pending.reserve(kWindow);
}

// Closed streams' objects, kept for the next ones with the room of their
// names and, when their FILE lives on, with it: a run opens and closes a
// stream for every line it logs, and a FILE made and freed for each (with
// the sanitizers' records of it) cost more than the line.
constexpr size_t kSpareStreams = 8;
std::vector<std::unique_ptr<Stream>> g_spareStreams;

// A stream object for a new stream: one kept with a FILE of mode cmode,
// else one kept without a FILE, else a new one.
Stream *newStream(const char *cmode) {
    size_t pick = g_spareStreams.size();
    for (size_t i = 0; i < g_spareStreams.size(); ++i) {
        const Stream &spare = *g_spareStreams[i];
        const bool sameMode = spare.file && std::strcmp(spare.fileMode, cmode) == 0;
        if (sameMode || (!spare.file && pick == g_spareStreams.size())) pick = i;
        if (sameMode) break;
    }
    if (pick == g_spareStreams.size()) return new Stream;
    Stream *s = g_spareStreams[pick].release();
    g_spareStreams.erase(g_spareStreams.begin() + static_cast<long>(pick));
    return s;
}

// Keeps a closed stream's object (after keepBuffers), as a new one but for
// the room of its names and its FILE (when it still has one). False when
// there is no room: the caller disposes of it.
bool keepStream(Stream *s) {
    if (g_spareStreams.size() >= kSpareStreams) return false;
    std::string hostPath = std::move(s->hostPath);
    std::u16string devicePath = std::move(s->devicePath);
    FILE *file = s->file;
    const char *fileMode = s->fileMode;
    *s = Stream{};
    hostPath.clear();
    devicePath.clear();
    s->hostPath = std::move(hostPath);
    s->devicePath = std::move(devicePath);
    s->file = file;
    s->fileMode = fileMode;
    g_spareStreams.emplace_back(s);
    return true;
}

// Keeps what a closing stream had for the streams to come.
void keepBuffers(Stream &s) {
    for (ReadWindow &w : s.windows)
        if (w.bytes && g_spareWindows.size() < kSpares) g_spareWindows.push_back(std::move(w.bytes));
    if (s.pending.capacity() >= kWindow && g_sparePending.size() < kSpares) {
        s.pending.clear();
        g_sparePending.push_back(std::move(s.pending));
    }
}

Stream *deviceStream(FILE *f) {
    for (Stream *s : g_open)
        if (s->file == f) return s;
    return nullptr;
}

// Writes the pending run; false when the host refused some of it. An
// appending stream's run goes to the end of the file, wherever that is now.
bool flushPending(Stream &s) {
    size_t done = 0;
    while (done < s.pending.size()) {
        ssize_t n = s.append ? ::write(s.fd, s.pending.data() + done, s.pending.size() - done)
                             : ::pwrite(s.fd, s.pending.data() + done, s.pending.size() - done,
                                        s.pendStart + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            s.writeFailed = true;
            s.pending.clear();
            return false;
        }
        done += static_cast<size_t>(n);
    }
    s.pending.clear();
    return true;
}

off_t fileSize(Stream &s) {
    struct stat st;
    off_t size = ::fstat(s.fd, &st) == 0 ? st.st_size : 0;
    if (s.append) return size + static_cast<off_t>(s.pending.size());
    off_t pendEnd = s.pendStart + static_cast<off_t>(s.pending.size());
    return (!s.pending.empty() && pendEnd > size) ? pendEnd : size;
}

// Reads up to size bytes at the stream's position. Returns the count, or -1
// when the host read failed before any byte came.
ssize_t readBytes(Stream &s, char *buf, size_t size) {
    if (!s.pending.empty() && !flushPending(s)) return -1;
    const off_t first = s.pos;
    size_t done = 0;
    ReadWindow *last = s.windows[0].used >= s.windows[1].used ? &s.windows[0] : &s.windows[1];
    while (done < size) {
        ReadWindow *w = s.windows[0].holds(s.pos) ? &s.windows[0] : s.windows[1].holds(s.pos) ? &s.windows[1] : nullptr;
        if (w) {
            size_t off = static_cast<size_t>(s.pos - w->start);
            size_t n = std::min(size - done, w->len - off);
            std::memcpy(buf + done, w->bytes.get() + off, n);
            done += n;
            s.pos += static_cast<off_t>(n);
            w->used = ++s.reads;
            last = w;
            continue;
        }
        if (size - done >= kWindow) {  // a large read bypasses the windows
            ssize_t n = ::pread(s.fd, buf + done, size - done, s.pos);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return done ? static_cast<ssize_t>(done) : -1;
            if (n == 0) break;
            done += static_cast<size_t>(n);
            s.pos += n;
            continue;
        }
        // A read that runs on past the window's end gets a window that
        // starts where the read started, so that a reader that steps back a
        // little into what it just read (a record head seen again) is still
        // served from it. A read that ends in or right before the window
        // last used (a file read backwards) gets the window that ends where
        // it ends, so that the reads before it come from the same one.
        off_t end = s.pos + static_cast<off_t>(size - done);
        off_t start = done && end - first <= static_cast<off_t>(kWindow) ? first : s.pos;
        if (last->len && s.pos < last->start && end + static_cast<off_t>(kWindow) > last->start)
            start = end > static_cast<off_t>(kWindow) ? end - static_cast<off_t>(kWindow) : 0;
        // The window used less lately is filled (an empty one first).
        ReadWindow &fill = s.windows[0].used <= s.windows[1].used ? s.windows[0] : s.windows[1];
        if (!fill.bytes) fill.bytes = takeWindow();
        fill.len = 0;
        ssize_t n = ::pread(s.fd, fill.bytes.get(), kWindow, start);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? static_cast<ssize_t>(done) : -1;
        fill.start = start;
        fill.len = static_cast<size_t>(n);
        fill.used = ++s.reads;
        if (s.pos >= start + n) break;  // the end of the file
    }
    return static_cast<ssize_t>(done);
}

ssize_t cookieRead(void *cookie, char *buf, size_t size) {
    Stream &s = *static_cast<Stream *>(cookie);
    const WCHAR *path = s.watchedPath();
    host::Call call("fread", path);
    call.arg(path).arg(static_cast<long long>(size));
    if (call.failed()) {
        errno = EIO;
        return call.fail(static_cast<ssize_t>(-1), ERROR_READ_FAULT);
    }
    ssize_t n = readBytes(s, buf, size);
    if (n < 0) {
        errno = EIO;
        return call.fail(static_cast<ssize_t>(-1), ERROR_READ_FAULT);
    }
    return call.ret(n);
}

// Writes size bytes at the stream's position (at the end for "a"), as far as
// the disk has room. Returns the count written; sets lastError when it is
// short (ERROR_DISK_FULL, or ERROR_WRITE_FAULT when the host refused).
size_t writeBytes(Stream &s, const char *buf, size_t size, DWORD &lastError) {
    size_t room = host::diskReserve(size);
    lastError = room < size ? ERROR_DISK_FULL : ERROR_SUCCESS;
    if (s.append) {
        // Bytes for the end of the file wait in the pending run, as any
        // stream's do, and go out with one write when the stream is flushed
        // or closed: the device's C library buffers an appending stream too
        // (a log line written in three pieces reaches the file at once).
        if (s.pending.empty()) reserveRun(s);
        s.pending.insert(s.pending.end(), buf, buf + room);
        if (s.pending.size() >= kWindow && !flushPending(s)) {
            lastError = ERROR_WRITE_FAULT;
            return 0;
        }
        return room;
    }
    // A read window no longer tells the truth where this write lands.
    for (ReadWindow &w : s.windows)
        if (w.len && s.pos < w.start + static_cast<off_t>(w.len) && s.pos + static_cast<off_t>(room) > w.start)
            w.len = 0;
    if (!s.pending.empty() && s.pendStart + static_cast<off_t>(s.pending.size()) != s.pos && !flushPending(s)) {
        lastError = ERROR_WRITE_FAULT;
        return 0;
    }
    if (s.pending.empty()) {
        s.pendStart = s.pos;
        reserveRun(s);
    }
    s.pending.insert(s.pending.end(), buf, buf + room);
    s.pos += static_cast<off_t>(room);
    if (s.pending.size() >= kWindow && !flushPending(s)) {
        lastError = ERROR_WRITE_FAULT;
        return 0;
    }
    return room;
}

// writeBytes for one write call, with a power cut inside it when one is
// armed: the stream's pending run and then as many of the call's bytes as
// may go before the cut reach the file at once; when that is fewer than the
// call's bytes the power goes here.
size_t writeCall(Stream &s, const char *buf, size_t size, DWORD &lastError) {
    if (!host::powerCutArmed()) return writeBytes(s, buf, size, lastError);
    if (!s.pending.empty()) flushPending(s);
    size_t allowed = host::powerReserve(size);
    size_t n = writeBytes(s, buf, allowed, lastError);
    if (!s.pending.empty()) flushPending(s);
    host::powerWritten(n);
    if (allowed < size && n == allowed) host::powerCut();
    return n;
}

ssize_t cookieWrite(void *cookie, const char *buf, size_t size) {
    Stream &s = *static_cast<Stream *>(cookie);
    const WCHAR *path = s.watchedPath();
    host::Call call("fwrite", path);
    call.arg(path).arg(static_cast<long long>(size));
    if (call.failed()) {
        errno = EIO;
        return call.fail(static_cast<ssize_t>(0), ERROR_WRITE_FAULT);
    }
    DWORD err;
    size_t n = writeCall(s, buf, size, err);
    if (n < size) {
        errno = ENOSPC;
        return call.fail(static_cast<ssize_t>(n), err);
    }
    return call.ret(static_cast<ssize_t>(n));
}

int cookieSeek(void *cookie, off64_t *offset, int whence) {
    Stream &s = *static_cast<Stream *>(cookie);
    // The C library asks for the position with a seek of 0 from the current
    // one; that is ftell's call.
    bool tell = whence == SEEK_CUR && *offset == 0;
    const WCHAR *path = s.watchedPath();
    host::Call call(tell ? "ftell" : "fseek", path);
    call.arg(path).arg(static_cast<long long>(*offset)).arg(static_cast<long long>(whence));
    if (call.failed()) {
        errno = EIO;
        return call.fail(-1, ERROR_GEN_FAILURE);
    }
    off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s.pos : fileSize(s);
    off_t target = base + *offset;
    if (target < 0) {
        errno = EINVAL;
        return call.fail(-1, ERROR_INVALID_PARAMETER);
    }
    s.pos = target;
    s.eof = false;
    *offset = target;
    return call.ret(0);
}

// Closes a device stream: its pending run written, its host file kept
// (owned device) or closed. It leaves the open streams; its object is the
// caller's. 0, or -1 when the run could not be written (or a fault failed
// the call).
int closeStream(Stream *s) {
    const WCHAR *path = s->watchedPath();
    host::Call call("fclose", path);
    call.arg(path);
    int rc = 0;
    if (call.failed()) {
        // The last buffered bytes are lost, as when the final flush fails.
        s->pending.clear();
        rc = -1;
    } else if (!s->pending.empty() && !flushPending(*s)) {
        rc = -1;
    }
    if (s->writeFailed) rc = -1;
    if (rc == 0 && s->keepable) {
        host::keepFile(s->fd, s->flags, s->dev, s->ino);
    } else if (::close(s->fd) != 0) {
        rc = -1;
    }
    s->fd = -1;  // closed: a stream without a host file
    g_open.erase(std::remove(g_open.begin(), g_open.end(), s), g_open.end());
    keepBuffers(*s);
    if (rc != 0) {
        errno = ENOSPC;
        return call.fail(-1, ERROR_WRITE_FAULT);
    }
    return call.ret(0);
}

// glibc's close of a device stream's FILE: the stream is closed unless
// fclose closed it already (it has no host file then); its FILE is gone.
int cookieClose(void *cookie) {
    Stream *s = static_cast<Stream *>(cookie);
    int rc = s->fd < 0 ? 0 : closeStream(s);
    s->file = nullptr;
    s->fileMode = nullptr;
    if (!keepStream(s)) delete s;
    return rc;
}

}  // namespace

namespace host {

// Host files that streams closed, or whole-file reads read, on a device the
// process owns, kept open for the next use of the same file in the same
// mode: a run opens the log for every line it writes. A file is taken again
// only when the look-up of the path finds that very file there (its device
// and inode: one held open keeps its number), so the reader or writer sees
// what the path names now, as a new open would. Reads go by position
// (pread) and an "a" stream writes at the end.
namespace {
struct KeptFile {
    int fd = -1;
    int flags = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};
KeptFile g_kept[16];
unsigned g_keptNext = 0;
}  // namespace

// The flags a kept file is known by: how it reads and writes.
static int keptFlags(int flags) { return flags & ~(O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }

int takeKeptFile(int flags, dev_t dev, ino_t ino) {
    flags = keptFlags(flags);
    for (KeptFile &k : g_kept)
        if (k.fd >= 0 && k.flags == flags && k.dev == dev && k.ino == ino) {
            int fd = k.fd;
            k = KeptFile{};
            return fd;
        }
    return -1;
}

void keepFile(int fd, int flags, dev_t dev, ino_t ino) {
    KeptFile &k = g_kept[g_keptNext++ % (sizeof g_kept / sizeof g_kept[0])];
    if (k.fd >= 0) ::close(k.fd);
    k = KeptFile{fd, keptFlags(flags), dev, ino};
}

int openKept(HostAt at, int flags, struct stat &st) {
    if (at.dir != AT_FDCWD) {
        if (::fstatat(at.dir, at.path, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        if (S_ISREG(st.st_mode))
            if (int fd = takeKeptFile(flags, st.st_dev, st.st_ino); fd >= 0) return fd;
    }
    int fd = ::openat(at.dir, at.path, flags | O_CLOEXEC);
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeKept(int fd, int flags, const struct stat &st, bool owned) {
    if (fd < 0) return;
    if (owned)
        keepFile(fd, flags, st.st_dev, st.st_ino);
    else
        ::close(fd);
}

}  // namespace host

FILE *_wfopen(const WCHAR *path, const WCHAR *mode) {
    host::Call call("_wfopen", path);
    call.arg(path).arg(mode);
    if (call.failed()) {
        errno = EACCES;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
    }
    if (!path || !mode || !*mode) return call.fail(static_cast<FILE *>(nullptr), ERROR_INVALID_PARAMETER);
    std::string m = host::toUtf8(mode);
    bool plus = m.find('+') != std::string::npos;
    int flags;
    switch (m[0]) {
    case 'r':
        flags = plus ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
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
    bool exists = there.exists;
    if (there.isFolder()) {
        errno = EISDIR;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
    }
    if (!exists && m[0] == 'r') {
        errno = ENOENT;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_FILE_NOT_FOUND);
    }
    if ((flags & (O_WRONLY | O_RDWR)) && there.readOnly()) {
        errno = EACCES;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
    }
    if (exists && (flags & (O_WRONLY | O_RDWR)) && host::hiveInUse(hostPath)) {
        errno = EBUSY;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_SHARING_VIOLATION);
    }
    host::HostAt at = host::hostAt(hostPath);
    // On a device the process owns, an existing file opened "r" or "a" may
    // be one a closed stream kept.
    const bool keepable =
        at.dir != AT_FDCWD && there.isFile() && (flags == O_RDONLY || flags == (O_WRONLY | O_CREAT | O_APPEND));
    int fd = keepable ? host::takeKeptFile(flags, there.st.st_dev, there.st.st_ino) : -1;
    if (fd < 0) fd = ::openat(at.dir, at.path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        DWORD e = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        return call.fail(static_cast<FILE *>(nullptr), e);
    }
    // A handle's share mode may keep the file from this open; a "w" stream
    // empties its file only once it is let in.
    const int accmode = flags & O_ACCMODE;
    if (host::shareRefuses(fd, accmode == O_RDWR     ? GENERIC_READ | GENERIC_WRITE
                               : accmode == O_WRONLY ? GENERIC_WRITE
                                                     : GENERIC_READ)) {
        ::close(fd);
        errno = EACCES;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_SHARING_VIOLATION);
    }
    if ((flags & O_TRUNC) && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        errno = EACCES;
        return call.fail(static_cast<FILE *>(nullptr), ERROR_ACCESS_DENIED);
    }
    const char *cmode = m[0] == 'r' ? (plus ? "r+" : "r") : m[0] == 'w' ? (plus ? "w+" : "w") : (plus ? "a+" : "a");
    Stream *s = newStream(cmode);
    s->fd = fd;
    s->hostPath = hostPath;
    s->append = m[0] == 'a';
    s->keepable = keepable;
    s->flags = flags;
    s->dev = there.st.st_dev;
    s->ino = there.st.st_ino;
    if (!s->file) {
        cookie_io_functions_t io = {cookieRead, cookieWrite, cookieSeek, cookieClose};
        FILE *f = fopencookie(s, cmode, io);
        if (!f) {
            ::close(fd);
            s->fd = -1;
            if (!keepStream(s)) delete s;
            return call.fail(static_cast<FILE *>(nullptr), ERROR_NOT_ENOUGH_MEMORY);
        }
        setvbuf(f, nullptr, _IONBF, 0);
        s->file = f;
        s->fileMode = cmode;
    }
    g_open.push_back(s);
    return call.ret(s->file);
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
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) return call.fail(-1, ERROR_WRITE_FAULT);
    return call.ret(static_cast<int>(text.size()));
}

// ---- The stream functions, linked through --wrap ---------------------------

extern "C" {
size_t __real_fread(void *buf, size_t size, size_t count, FILE *f);
size_t __real_fwrite(const void *buf, size_t size, size_t count, FILE *f);
int __real_fseek(FILE *f, long offset, int whence);
long __real_ftell(FILE *f);
int __real_feof(FILE *f);
int __real_ferror(FILE *f);
void __real_clearerr(FILE *f);
int __real_fflush(FILE *f);
int __real_fclose(FILE *f);

int __wrap_fclose(FILE *f) {
    Stream *s = deviceStream(f);
    if (!s) return __real_fclose(f);
    int rc = closeStream(s);
    const int saved = errno;
    // The FILE lives on with the stream object, for the next stream of its
    // mode, when there is room: nothing of this stream is left in the C
    // library, its one-byte buffer (and a byte pushed back) emptied, its end
    // and error marks cleared. (fopencookie makes a narrow FILE, and one
    // cannot be made wide.)
    __fpurge(f);
    __real_clearerr(f);
    if (keepStream(s)) {
        errno = saved;
        return rc;
    }
    __real_fclose(f);  // frees the FILE; cookieClose disposes of the stream
    errno = saved;
    return rc;
}

size_t __wrap_fread(void *buf, size_t size, size_t count, FILE *f) {
    Stream *s = deviceStream(f);
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
    Stream *s = deviceStream(f);
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
    size_t n = writeCall(*s, static_cast<const char *>(buf), size * count, err);
    if (n < size * count) {
        s->error = true;
        return call.fail(n / size, err);
    }
    return call.ret(count);
}

int __wrap_fseek(FILE *f, long offset, int whence) {
    Stream *s = deviceStream(f);
    if (!s) return __real_fseek(f, offset, whence);
    const WCHAR *path = s->watchedPath();
    host::Call call("fseek", path);
    call.arg(path).arg(static_cast<long long>(offset)).arg(static_cast<long long>(whence));
    if (call.failed()) return call.fail(-1, ERROR_GEN_FAILURE);
    off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->pos : whence == SEEK_END ? fileSize(*s) : -1;
    if (base < 0 || base + offset < 0) {
        errno = EINVAL;
        return call.fail(-1, ERROR_INVALID_PARAMETER);
    }
    s->pos = base + offset;
    s->eof = false;
    return call.ret(0);
}

long __wrap_ftell(FILE *f) {
    Stream *s = deviceStream(f);
    if (!s) return __real_ftell(f);
    const WCHAR *path = s->watchedPath();
    host::Call call("ftell", path);
    call.arg(path);
    if (call.failed()) return call.fail(-1L, ERROR_GEN_FAILURE);
    return call.ret(static_cast<long>(s->pos));
}

int __wrap_feof(FILE *f) {
    Stream *s = deviceStream(f);
    return (s && s->eof) || __real_feof(f);
}

int __wrap_ferror(FILE *f) {
    Stream *s = deviceStream(f);
    return (s && s->error) || __real_ferror(f);
}

void __wrap_clearerr(FILE *f) {
    if (Stream *s = deviceStream(f)) s->eof = s->error = false;
    __real_clearerr(f);
}

int __wrap_fflush(FILE *f) {
    Stream *s = f ? deviceStream(f) : nullptr;
    if (!s) {
        int rc = __real_fflush(f);
        if (!f)  // every stream: the device's too
            for (Stream *d : g_open)
                if (!d->pending.empty() && !flushPending(*d)) rc = EOF;
        return rc;
    }
    const WCHAR *path = s->watchedPath();
    host::Call call("fflush", path);
    call.arg(path);
    if (call.failed()) return call.fail(EOF, ERROR_WRITE_FAULT);
    if (!s->pending.empty() && !flushPending(*s)) {
        s->error = true;
        return call.fail(EOF, ERROR_WRITE_FAULT);
    }
    return call.ret(0);
}

int __wrap_fprintf(FILE *f, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    Stream *s = deviceStream(f);
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
    if (writeCall(*s, text.data(), text.size(), err) < text.size()) {
        s->error = true;
        return call.fail(-1, err);
    }
    return call.ret(len);
}
}  // extern "C"
