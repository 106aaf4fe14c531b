// files.cpp - the file services of the simulated device: the temporary
// folder and names, whole-file copy, rename, delete, and find.
//
// A copy overwrites its target in place, as the device's does: the target
// is emptied and written from the start, so a copy that fails part way (a
// full disk, a write error, a power cut) leaves it holding only what was
// written. Neither the device nor its FAT volumes replace a file atomically;
// a caller that must keep a file whole writes beside it and renames.
//
// Links inside the device folder are followed only where they lead to
// something inside it (resolvePath); every open is made with O_NOFOLLOW, so
// that nothing is created, written or deleted outside the device.
//
// A file is read-only on the device when its host file has no owner write
// bit; this is checked here rather than left to the host, where tests may
// run as root and root may write anything.
//
// Share modes (CreateFileW) hold across processes, as on the device: see
// "Open files" below.
#include "platform/host/host.h"
#include "platform/host/registry_store.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

namespace host {

bool isReadOnly(const fs::path &p) {
    PathEntry entry;
    entry.exists = ::stat(p.c_str(), &entry.st) == 0;
    return entry.readOnly();
}

// ---- Share modes ---------------------------------------------------------
//
// A CE file system honours the share mode of CreateFileW: while a handle is
// open, another open whose access its share mode does not allow, or whose
// own share mode does not allow the access the handle has, fails with
// ERROR_SHARING_VIOLATION, in this process or another; and an open file is
// neither deleted nor renamed. The host keeps that where every process sees
// it: as open file description locks (F_OFD_SETLK) on bytes far past the end
// of the host file, where no data ever is (the host's locks are advisory:
// reads and writes are not touched). A handle holds shared locks on the
// bytes that say what it does and what it refuses; an open looks for other
// descriptions' locks on the bytes it must not meet, its own process's
// included. The kernel drops a description's locks when it is closed, and a
// process's when it ends, however it ends: a run that dies releases its
// handles, as on the device.
//
// A handle is checked and recorded under a guard (flock on the same file),
// and so are a delete and a rename: no handle is made between their check
// and the removal, and a handle whose file was removed or replaced after it
// was opened is made again on what the path names now. So a lock file is
// never lost to a delete while its holder keeps it.
//
// Streams and copies look but are not recorded: a CreateFileW during one is
// not refused, where the device would refuse it. The program opens with
// CreateFileW only its lock file, which nothing else opens.

namespace {

constexpr off_t kShareBytes = static_cast<off_t>(1) << (8 * sizeof(off_t) - 2);  // 2^62, or 2^30 where off_t is 32 bits
enum ShareByte : off_t {
    kHoldsRead = 1,
    kHoldsWrite = 2,
    kDeniesRead = 3,
    kDeniesWrite = 4,
    kDeniesDelete = 5,  // every handle: an open file is neither deleted nor renamed
};

// True when another open file description holds a lock on the count bytes
// from `first`.
bool heldElsewhere(int fd, off_t first, off_t count = 1) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kShareBytes + first;
    fl.l_len = count;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

bool holdByte(int fd, off_t byte) {
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kShareBytes + byte;
    fl.l_len = 1;
    int rc;
    do rc = ::fcntl(fd, F_OFD_SETLK, &fl);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

void guard(int fd) {
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

// True when the entry at `at` (not followed) is the file open at fd.
bool stillThere(const std::string &hostPath, int fd) {
    struct stat now, open;
    return ::lstat(hostPath.c_str(), &now) == 0 && ::fstat(fd, &open) == 0 && now.st_dev == open.st_dev &&
           now.st_ino == open.st_ino;
}

}  // namespace

bool shareRefuses(int fd, DWORD access) {
    const bool read = access & GENERIC_READ, write = access & GENERIC_WRITE;
    if (read && write) return heldElsewhere(fd, kDeniesRead, 2);
    if (read) return heldElsewhere(fd, kDeniesRead);
    if (write) return heldElsewhere(fd, kDeniesWrite);
    return false;
}

// For a delete or a rename of the regular file at hostPath: a descriptor of it
// holding the guard, to be closed after the removal, or -1 when the file
// cannot be opened (no handle can then be open on it either). held is set
// when a handle keeps the file from being removed. False when the file is
// gone.
static bool guardRemoval(const std::string &hostPath, int &fd, bool &held) {
    held = false;
    for (int tries = 0; tries < 16; ++tries) {
        fd = openDeviceFile(hostPath, O_RDONLY | O_NONBLOCK);
        if (fd < 0) return errno != ENOENT;
        guard(fd);
        if (stillThere(hostPath, fd)) {
            held = heldElsewhere(fd, kDeniesDelete);
            return true;
        }
        ::close(fd);  // replaced since it was opened: look again
    }
    fd = -1;
    return true;
}

}  // namespace host

using host::fs::path;

// ---- Temporary folder and names -----------------------------------------

DWORD GetTempPathW(DWORD cchBuffer, LPWSTR buffer) {
    host::Call call("GetTempPathW");
    call.arg(static_cast<long long>(cchBuffer));
    if (call.failed()) return call.fail(static_cast<DWORD>(0), ERROR_GEN_FAILURE);
    // The device's temporary folder is "\Temp\"; a device can be made to
    // report another one (state key tempPath) to try long folders.
    std::u16string temp = host::fromUtf8(host::stateGet("tempPath", "\\Temp\\"));
    if (temp.size() + 1 > cchBuffer) return call.ret(static_cast<DWORD>(temp.size() + 1));
    std::copy(temp.begin(), temp.end(), buffer);
    buffer[temp.size()] = 0;
    call.arg(buffer);
    return call.ret(static_cast<DWORD>(temp.size()));
}

UINT GetTempFileNameW(LPCWSTR folder, LPCWSTR prefix, UINT unique, LPWSTR tempFileName) {
    host::Call call("GetTempFileNameW", folder);
    call.arg(folder).arg(prefix).arg(static_cast<long long>(unique));
    if (call.failed()) return call.fail(static_cast<UINT>(0), ERROR_PATH_NOT_FOUND);
    if (!folder || !tempFileName) return call.fail(static_cast<UINT>(0), ERROR_INVALID_PARAMETER);
    std::u16string base(folder);
    if (base.empty() || (base.back() != u'\\' && base.back() != u'/')) base += u'\\';
    const std::u16string prefix3 = prefix ? std::u16string(prefix).substr(0, 3) : std::u16string();
    base += prefix3;
    // A prefix without a separator makes names in the folder itself, looked
    // up there directly (the folder is resolved once).
    const bool inFolder = prefix3.find_first_of(u"\\/") == std::u16string::npos;

    // Host paths are built in buffers kept from call to call.
    thread_local std::string hostFolder, hostName;
    host::PathEntry folderEntry;
    DWORD err = host::resolvePath(folder, hostFolder, true, &folderEntry);
    if (err == ERROR_SUCCESS && !folderEntry.isFolder()) err = ERROR_PATH_NOT_FOUND;
    if (err != ERROR_SUCCESS) return call.fail(static_cast<UINT>(0), err);

    // As Windows does: a given number is used as it is and nothing is made;
    // 0 asks for a new file under the first free number, from a counter the
    // device keeps, so that a fresh device gives the same names every time.
    // The counter is read once and set to the number taken before the call
    // returns, at a width of five digits (a number below 0x10000), so that
    // it is set in place. A value that is not a number counts as 0: the
    // names are tried from 1 and those taken skipped.
    unsigned start = unique & 0xFFFF;
    std::optional<host::StateKey> counter;
    if (unique == 0) {
        counter.emplace("tempCounter");
        unsigned long last = 0;
        if (const std::string *v = counter->value()) {
            char *end = nullptr;
            last = std::strtoul(v->c_str(), &end, 10);
            if (v->empty() || *end) last = 0;
        }
        start = static_cast<unsigned>(last % 0xFFFF) + 1;
    }
    for (unsigned tries = 0; tries < 0xFFFF; ++tries) {
        unsigned n = unique ? start : (start - 1 + tries) % 0xFFFF + 1;
        char hex[8];
        snprintf(hex, sizeof hex, "%X", n);
        std::u16string name = base + host::fromUtf8(hex) + u".tmp";
        if (name.size() > MAX_PATH - 1) return call.fail(static_cast<UINT>(0), ERROR_FILENAME_EXCED_RANGE);
        if (unique) {
            std::copy(name.begin(), name.end(), tempFileName);
            tempFileName[name.size()] = 0;
            return call.ret(static_cast<UINT>(n));
        }
        // A name is taken by anything that holds it: a file, a folder, a link
        // whether it leads anywhere or not.
        if (inFolder) {
            host::PathEntry there;
            std::u16string_view component = std::u16string_view(name).substr(base.size() - prefix3.size());
            if (!host::lookupName(hostFolder, component, hostName, there))
                return call.fail(static_cast<UINT>(0), ERROR_INVALID_NAME);
            if (there.exists) continue;
        } else {
            err = host::resolvePath(name.c_str(), hostName, true, nullptr);
            if (err == ERROR_ACCESS_DENIED) continue;  // a link that leads outside or nowhere
            if (err != ERROR_SUCCESS) return call.fail(static_cast<UINT>(0), err);
        }
        int fd = host::openDeviceFile(hostName, O_WRONLY | O_CREAT | O_EXCL);
        if (fd >= 0) {
            ::close(fd);
            char digits[8];
            snprintf(digits, sizeof digits, "%05u", n);
            counter->set(digits);
            std::copy(name.begin(), name.end(), tempFileName);
            tempFileName[name.size()] = 0;
            call.arg(tempFileName);
            return call.ret(static_cast<UINT>(n));
        }
        if (errno != EEXIST && errno != ELOOP && errno != EISDIR)
            return call.fail(static_cast<UINT>(0), ERROR_ACCESS_DENIED);
    }
    return call.fail(static_cast<UINT>(0), ERROR_FILE_EXISTS);
}

// ---- Copy, rename and delete ---------------------------------------------

// A copy moves this much at a time, as the device's does.
constexpr size_t kCopyPiece = 64 * 1024;

// Writes the whole buffer, through interruptions; false when the host
// refused some of it.
static bool writeAll(int fd, const char *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Copies src over dst in place: dst is opened for overwriting (emptied, or
// made) and written from the start, piece by piece. On failure dst holds
// what was written before it; its old content is gone either way. The old
// bytes are written over and what is left of them is cut off afterwards
// (before a power cut too): the same file in the end, without the host
// freeing the old blocks and finding new ones.
static DWORD copyInPlace(const std::string &src, const std::string &dst) {
    int in = host::openDeviceFile(src, O_RDONLY);
    if (in < 0) return ERROR_ACCESS_DENIED;
    struct stat st;
    if (::fstat(in, &st) != 0) {
        ::close(in);
        return ERROR_READ_FAULT;
    }
    if (host::shareRefuses(in, GENERIC_READ)) {
        ::close(in);
        return ERROR_SHARING_VIOLATION;
    }
    int out = host::openDeviceFile(dst, O_WRONLY | O_CREAT);
    if (out < 0) {
        DWORD e = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        ::close(in);
        return e;
    }
    // Opened without emptying it: a target that a handle keeps is refused
    // as it was.
    if (host::shareRefuses(out, GENERIC_WRITE)) {
        ::close(in);
        ::close(out);
        return ERROR_SHARING_VIOLATION;
    }
    DWORD err = ERROR_SUCCESS;
    size_t size = static_cast<size_t>(st.st_size);
    // The target's old bytes are given back to the disk, its room drawn
    // once for the whole copy, then the bytes that may go before a power
    // cut inside this call.
    struct stat old;
    if (::fstat(out, &old) == 0) host::diskFree(static_cast<size_t>(old.st_size));
    size_t room = host::diskReserve(size);
    if (room < size) err = ERROR_DISK_FULL;
    size_t allowed = host::powerReserve(room);
    // Left uninitialised: every byte written out was read first.
    // The buffer is made only when the kernel cannot copy.
    size_t cbBuf = std::min(kCopyPiece, std::max<size_t>(allowed, 1));
    std::unique_ptr<char[]> buf;
    size_t done = 0;
    // The kernel copies the pieces itself where it can (as cp does); a
    // host that cannot copies them through the buffer.
    bool inKernel = true;
    while (done < allowed) {
        size_t want = std::min(cbBuf, allowed - done);
        ssize_t r;
        if (inKernel) {
            loff_t from = static_cast<loff_t>(done), to = static_cast<loff_t>(done);
            do r = ::copy_file_range(in, &from, out, &to, want, 0);
            while (r < 0 && errno == EINTR);
            if (r > 0) {
                host::powerWritten(static_cast<size_t>(r));
                done += static_cast<size_t>(r);
                continue;
            }
            if (r < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP) && done == 0) {
                inKernel = false;
                buf.reset(new char[cbBuf]);
                continue;
            }
            if (r < 0) err = errno == ENOSPC || errno == EIO ? ERROR_WRITE_FAULT : ERROR_READ_FAULT;
            break;  // 0: the source got shorter while it was copied
        }
        do r = ::pread(in, buf.get(), want, static_cast<off_t>(done));
        while (r < 0 && errno == EINTR);
        if (r < 0) {
            err = ERROR_READ_FAULT;
            break;
        }
        if (r == 0) break;  // the source got shorter while it was copied
        if (!writeAll(out, buf.get(), static_cast<size_t>(r))) {
            err = ERROR_WRITE_FAULT;
            break;
        }
        host::powerWritten(static_cast<size_t>(r));
        done += static_cast<size_t>(r);
    }
    if (::ftruncate(out, static_cast<off_t>(done)) != 0 && err == ERROR_SUCCESS) err = ERROR_WRITE_FAULT;
    if (allowed < room && done == allowed) host::powerCut();
    ::close(in);
    if (::close(out) != 0 && err == ERROR_SUCCESS) err = ERROR_WRITE_FAULT;
    return err;
}

BOOL CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists) {
    host::Call call("CopyFileW", existingFile);
    call.arg(existingFile).arg(newFile).arg(static_cast<long long>(failIfExists));
    if (call.failed()) return call.fail(FALSE, ERROR_WRITE_FAULT);
    thread_local std::string src, dst;  // kept from call to call
    host::PathEntry from, to;
    DWORD err = host::resolvePath(existingFile, src, true, &from);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    if (!from.isFile()) return call.fail(FALSE, from.exists ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    err = host::resolvePath(newFile, dst, true, &to);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    // Every refusal comes before the target is opened: a refused copy leaves
    // it as it was. A new target's folder is one: resolvePath found every
    // folder on the way.
    if (to.exists) {
        if (failIfExists) return call.fail(FALSE, ERROR_FILE_EXISTS);
        if (to.isFolder() || to.readOnly()) return call.fail(FALSE, ERROR_ACCESS_DENIED);
        if (to.st.st_dev == from.st.st_dev && to.st.st_ino == from.st.st_ino)
            return call.fail(FALSE, ERROR_SHARING_VIOLATION);
        if (host::hiveInUse(dst)) return call.fail(FALSE, ERROR_SHARING_VIOLATION);
    }
    err = copyInPlace(src, dst);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    return call.ret(TRUE);
}

// True when an in-use hive lies in the folder at hostPath (at any depth).
static bool holdsHiveInUse(const path &folder) {
    for (const path &hive : {host::reg::systemHivePath(), host::reg::userHivePath()}) {
        path rel = hive.lexically_relative(folder);
        if (!rel.empty() && *rel.begin() != ".." && host::hiveInUse(hive.native())) return true;
    }
    return false;
}

BOOL MoveFileW(LPCWSTR existingFile, LPCWSTR newFile) {
    host::Call call("MoveFileW", existingFile);
    call.arg(existingFile).arg(newFile);
    if (call.failed()) return call.fail(FALSE, ERROR_ACCESS_DENIED);
    // Both names stand for the entries themselves: a link is renamed as a
    // link, and a link at newFile is an entry that exists.
    path src, dst;
    host::PathEntry from, to;
    DWORD err = host::resolvePath(existingFile, src, false, &from);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    std::error_code ec;
    if (!from.exists) return call.fail(FALSE, ERROR_FILE_NOT_FOUND);
    auto type = from.isLink()     ? host::fs::file_type::symlink
                : from.isFolder() ? host::fs::file_type::directory
                                  : host::fs::file_type::regular;
    if (src == host::fsRoot()) return call.fail(FALSE, ERROR_ACCESS_DENIED);
    err = host::resolvePath(newFile, dst, false, &to);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    // A new spelling of the same name is a rename, not a clash.
    bool sameEntry = dst == src;
    if (sameEntry) {
        std::u16string wide(newFile);
        size_t cut = wide.find_last_of(u"\\/");
        dst = src.parent_path() / host::toUtf8(cut == std::u16string::npos ? wide : wide.substr(cut + 1));
    } else if (to.exists) {
        return call.fail(FALSE, ERROR_ALREADY_EXISTS);
    }
    if (type != host::fs::file_type::symlink &&
        (type == host::fs::file_type::directory ? holdsHiveInUse(src) : host::hiveInUse(src.native())))
        return call.fail(FALSE, ERROR_SHARING_VIOLATION);
    // CE has no replacing move: the host's rename must not replace either,
    // even when something appears at newFile in the meantime.
    // A file that a handle holds open is not renamed.
    int guarded = -1;
    bool held = false;
    if (type == host::fs::file_type::regular && !host::guardRemoval(src.native(), guarded, held))
        return call.fail(FALSE, ERROR_FILE_NOT_FOUND);
    if (held) {
        ::close(guarded);
        return call.fail(FALSE, ERROR_SHARING_VIOLATION);
    }
    int rc = ::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), sameEntry ? 0 : RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL && !sameEntry) {  // a host file system without RENAME_NOREPLACE
        if (host::fs::symlink_status(dst, ec).type() != host::fs::file_type::not_found) {
            if (guarded >= 0) ::close(guarded);
            return call.fail(FALSE, ERROR_ALREADY_EXISTS);
        }
        rc = ::rename(src.c_str(), dst.c_str());
    }
    int saved = errno;
    if (guarded >= 0) ::close(guarded);
    errno = saved;
    if (rc != 0) {
        DWORD e = errno == EEXIST || errno == ENOTEMPTY ? ERROR_ALREADY_EXISTS
                  : errno == ENOENT                     ? ERROR_FILE_NOT_FOUND
                                                        : ERROR_ACCESS_DENIED;
        return call.fail(FALSE, e);
    }
    return call.ret(TRUE);
}

BOOL DeleteFileW(LPCWSTR file) {
    host::Call call("DeleteFileW", file);
    call.arg(file);
    if (call.failed()) return call.fail(FALSE, ERROR_ACCESS_DENIED);
    // A link is deleted itself, never what it leads to: removing the entry
    // touches nothing outside the device.
    thread_local std::string p;  // kept from call to call
    host::PathEntry there;
    DWORD err = host::resolvePath(file, p, false, &there);
    if (err != ERROR_SUCCESS) return call.fail(FALSE, err);
    if (!there.exists) return call.fail(FALSE, ERROR_FILE_NOT_FOUND);
    if (there.isLink()) {
        if (::unlink(p.c_str()) != 0) return call.fail(FALSE, ERROR_ACCESS_DENIED);
        return call.ret(TRUE);
    }
    if (there.isFolder() || there.readOnly()) return call.fail(FALSE, ERROR_ACCESS_DENIED);
    if (host::hiveInUse(p)) return call.fail(FALSE, ERROR_SHARING_VIOLATION);
    // A file that a handle holds open is not deleted (CE's rule, whatever
    // the share mode): the check and the removal are one step for every
    // process.
    int guarded = -1;
    bool held = false;
    if (there.isFile() && !host::guardRemoval(p, guarded, held)) return call.fail(FALSE, ERROR_FILE_NOT_FOUND);
    if (held) {
        ::close(guarded);
        return call.fail(FALSE, ERROR_SHARING_VIOLATION);
    }
    int rc = ::unlink(p.c_str());
    if (guarded >= 0) ::close(guarded);
    if (rc != 0) return call.fail(FALSE, ERROR_ACCESS_DENIED);
    host::diskFree(static_cast<size_t>(there.st.st_size));
    return call.ret(TRUE);
}

// ---- Open files and waiting -------------------------------------------------

namespace {

// A handle that CreateFileW gave: its host file, open.
struct FileHandle {
    int fd = -1;
};

// The handles of this process that are open.
std::unordered_set<FileHandle *> &openHandles() {
    static std::unordered_set<FileHandle *> handles;
    return handles;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)securityAttributes;
    (void)flagsAndAttributes;
    host::Call call("CreateFileW", fileName);
    call.arg(fileName).argHex(desiredAccess).argHex(shareMode).arg(static_cast<long long>(creationDisposition));
    if (call.failed()) return call.fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    if (!fileName || creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING || templateFile)
        return call.fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    const bool read = desiredAccess & GENERIC_READ, write = desiredAccess & GENERIC_WRITE;
    const bool truncate = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
    thread_local std::string p;  // kept from call to call
    // Made again when the file was removed or replaced between its open
    // and its record (a few times at most: each time another process acted).
    for (int tries = 0; tries < 64; ++tries) {
        host::PathEntry there;
        DWORD err = host::resolvePath(fileName, p, true, &there);
        if (err != ERROR_SUCCESS) return call.fail(INVALID_HANDLE_VALUE, err);
        if (there.exists && !there.isFile()) return call.fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
        if (there.exists && creationDisposition == CREATE_NEW)
            return call.fail(INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
        if (!there.exists && (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING))
            return call.fail(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
        if (there.exists && (write || truncate) && there.readOnly())
            return call.fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
        if (there.exists && (write || truncate) && host::hiveInUse(p))
            return call.fail(INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
        // Opened for reading in any case: the records are read locks.
        int flags = (write || truncate ? O_RDWR : O_RDONLY) | O_NONBLOCK;
        if (!there.exists) flags |= O_CREAT | O_EXCL;
        int fd = host::openDeviceFile(p, flags);
        if (fd < 0) {
            if (errno == EEXIST || errno == ENOENT) continue;  // made or removed meanwhile
            return call.fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
        }
        host::guard(fd);
        if (!host::stillThere(p, fd)) {
            ::close(fd);
            continue;
        }
        // What the handle does against what others refuse, and what it
        // refuses against what others do. An open for neither reading nor
        // writing meets no share mode.
        bool refused =
            (read || write) && ((read && host::heldElsewhere(fd, host::kDeniesRead)) ||
                                (write && host::heldElsewhere(fd, host::kDeniesWrite)) ||
                                (!(shareMode & FILE_SHARE_READ) && host::heldElsewhere(fd, host::kHoldsRead)) ||
                                (!(shareMode & FILE_SHARE_WRITE) && host::heldElsewhere(fd, host::kHoldsWrite)));
        bool recorded = !refused && host::holdByte(fd, host::kDeniesDelete);
        if (recorded && (read || write)) {
            recorded = (!read || host::holdByte(fd, host::kHoldsRead)) &&
                       (!write || host::holdByte(fd, host::kHoldsWrite)) &&
                       ((shareMode & FILE_SHARE_READ) || host::holdByte(fd, host::kDeniesRead)) &&
                       ((shareMode & FILE_SHARE_WRITE) || host::holdByte(fd, host::kDeniesWrite));
        }
        if (recorded && truncate && there.exists && !host::emptyFile(fd)) {
            ::close(fd);
            return call.fail(INVALID_HANDLE_VALUE, ERROR_WRITE_FAULT);
        }
        if (!recorded) {
            ::close(fd);  // its records go with it
            return call.fail(INVALID_HANDLE_VALUE, refused ? ERROR_SHARING_VIOLATION : ERROR_NOT_ENOUGH_MEMORY);
        }
        ::flock(fd, LOCK_UN);
        auto *handle = new FileHandle;
        handle->fd = fd;
        openHandles().insert(handle);
        const bool existed =
            there.exists && (creationDisposition == OPEN_ALWAYS || creationDisposition == CREATE_ALWAYS);
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return call.ret(static_cast<HANDLE>(handle));
    }
    return call.fail(INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
}

BOOL CloseHandle(HANDLE object) {
    host::Call call("CloseHandle");
    auto &handles = openHandles();
    auto it = handles.find(static_cast<FileHandle *>(object));
    if (it == handles.end()) return call.fail(FALSE, ERROR_INVALID_HANDLE);
    // A close that fails still closes: the handle is gone either way, as a
    // handle always is.
    ::close((*it)->fd);
    delete *it;
    handles.erase(it);
    if (call.failed()) return call.fail(FALSE, ERROR_INVALID_HANDLE);
    return call.ret(TRUE);
}

void Sleep(DWORD milliseconds) {
    host::Call call("Sleep");
    call.arg(static_cast<long long>(milliseconds));
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// ---- Find -------------------------------------------------------------------

namespace {
struct FindState {
    std::vector<WIN32_FIND_DATAW> matches;
    size_t next = 0;
};

void fileTimeOf(const struct timespec &t, FILETIME &ft) {
    // 100-nanosecond intervals since 1601-01-01.
    unsigned long long v = (static_cast<unsigned long long>(t.tv_sec) + 11644473600ULL) * 10000000ULL +
                           static_cast<unsigned long long>(t.tv_nsec) / 100;
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
}
}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW findData) {
    host::Call call("FindFirstFileW", pattern);
    call.arg(pattern);
    if (call.failed()) return call.fail(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    if (!pattern || !findData) return call.fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    std::u16string pat(pattern);
    size_t cut = pat.find_last_of(u"\\/");
    std::u16string folder = cut == std::u16string::npos ? u"\\" : pat.substr(0, cut + 1);
    std::u16string mask = cut == std::u16string::npos ? pat : pat.substr(cut + 1);
    path hostFolder;
    host::PathEntry there;
    DWORD err = host::resolvePath(folder.c_str(), hostFolder, true, &there);
    std::error_code ec;
    if (err == ERROR_SUCCESS && !there.isFolder()) err = ERROR_PATH_NOT_FOUND;
    if (err != ERROR_SUCCESS) return call.fail(INVALID_HANDLE_VALUE, err);

    std::vector<std::pair<std::u16string, path>> found;
    host::forEachEntryIn(hostFolder.native(), [&](const char *name) {
        std::u16string wide = host::fromUtf8(name);
        if (wide.size() < MAX_PATH && host::wildcardMatch(mask, wide))
            found.emplace_back(std::move(wide), hostFolder / name);
        return true;
    });
    if (found.empty()) return call.fail(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    // The host's directory order is arbitrary; the device's is stable. Names
    // in order, without regard to case, make the first match predictable.
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return host::foldedLess(a.first, b.first); });
    auto *state = new FindState;
    for (auto &[wide, hostPath] : found) {
        WIN32_FIND_DATAW d;
        std::memset(&d, 0, sizeof d);
        // A link shows what it leads to inside the device; one that leads
        // outside or nowhere shows as an empty file the device cannot open.
        struct stat st;
        path shown = hostPath, target;
        if (host::fs::is_symlink(hostPath, ec)) shown = host::linkTarget(hostPath, target) ? target : path();
        if (!shown.empty() && ::stat(shown.c_str(), &st) == 0) {
            d.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
            if (!(st.st_mode & S_IWUSR)) d.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
            if (!S_ISDIR(st.st_mode)) {
                d.nFileSizeLow = static_cast<DWORD>(st.st_size);
                d.nFileSizeHigh = static_cast<DWORD>(static_cast<unsigned long long>(st.st_size) >> 32);
            }
            fileTimeOf(st.st_ctim, d.ftCreationTime);
            fileTimeOf(st.st_atim, d.ftLastAccessTime);
            fileTimeOf(st.st_mtim, d.ftLastWriteTime);
            d.dwOID = static_cast<DWORD>(st.st_ino);
        } else {
            d.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
        }
        std::copy(wide.begin(), wide.end(), d.cFileName);
        state->matches.push_back(d);
    }
    *findData = state->matches[0];
    state->next = 1;
    call.arg(findData->cFileName);
    return call.ret(static_cast<HANDLE>(state));
}

BOOL FindClose(HANDLE find) {
    host::Call call("FindClose");
    if (call.failed()) return call.fail(FALSE, ERROR_INVALID_HANDLE);
    if (!find || find == INVALID_HANDLE_VALUE) return call.fail(FALSE, ERROR_INVALID_HANDLE);
    delete static_cast<FindState *>(find);
    return call.ret(TRUE);
}
