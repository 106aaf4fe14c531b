// corvane_backup_files.cpp - corvane-backup's files: FILE arguments, reading
// in blocks or whole, the scratch device, and backups read into and written
// from the registry model through the simulator's and the system's own
// readers and writers.
#include "tools/corvane_backup.h"

#include "app/driver.h"
#include "platform/host/registry_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

using namespace host::reg;

namespace backup {

int fail(const std::string &message, int code) {
    std::fprintf(stderr, "corvane-backup: %s\n", message.c_str());
    return code;
}

const char *kindName(Kind kind) {
    switch (kind) {
    case Kind::Ram:
        return "RAM registry image";
    case Kind::Hive:
        return "hive backup file";
    default:
        return "neither";
    }
}

bool resolveFile(const std::string &arg, FileArg &file, std::string &error) {
    file.text = arg;
    if (arg.empty()) {
        error = "an empty file name";
        return false;
    }
    if (arg[0] != '\\') {
        file.host = arg;
        return true;
    }
    const fs::path &dir = host::deviceDir();
    if (!host::isDevice(dir)) {
        error = arg + ": no device at " + dir.string() + " (CEDEVICE names it)";
        return false;
    }
    std::u16string wide = host::fromUtf8(arg);
    DWORD err = host::resolvePath(reinterpret_cast<const WCHAR *>(wide.c_str()), file.host);
    if (err == ERROR_SUCCESS) return true;
    error = arg + ": " +
            (err == ERROR_PATH_NOT_FOUND         ? "a folder on the way does not exist"
             : err == ERROR_FILENAME_EXCED_RANGE ? "longer than MAX_PATH"
             : err == ERROR_ACCESS_DENIED        ? "outside the device"
                                                 : "not a valid device path");
    return false;
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool InputFile::open(const FileArg &file, std::string &error) {
    arg_ = file;
    // One open and one status: a folder is told from a file by what was
    // opened, and the size comes with it.
    fd_ = ::open(file.host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error = file.text + ": cannot open: " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        error = file.text + ": cannot read";
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = file.text + ": a folder, not a file";
        return false;
    }
    // A file that grants nobody a read is unreadable under root as well:
    // the device would not read it either.
    if ((st.st_mode & 0444) == 0) {
        error = file.text + ": cannot open: " + std::strerror(EACCES);
        return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    mode_ = st.st_mode & 07777;
    unsigned char sig[4];
    size_t n = 0;
    while (n < sizeof sig) {
        ssize_t r = readAt(n, sig + n, sizeof sig - n);
        if (r < 0) {
            error = file.text + ": cannot read";
            return false;
        }
        if (r == 0) break;
        n += static_cast<size_t>(r);
    }
    uint32_t word = n < 4 ? 0 : sig[0] | sig[1] << 8 | sig[2] << 16 | static_cast<uint32_t>(sig[3]) << 24;
    kind_ = word == RAM_REG_SIG ? Kind::Ram : word == HIVE_REG_SIG ? Kind::Hive : Kind::Neither;
    return true;
}

ssize_t InputFile::readAt(uint64_t offset, void *buf, size_t cb) const {
    for (;;) {
        ssize_t n = ::pread(fd_, buf, cb, static_cast<off_t>(offset));
        if (n >= 0 || errno != EINTR) return n;
    }
}

// ---- Reading ----------------------------------------------------------------

bool BlockReader::next(std::string_view &block) {
    // A block is filled whole unless the file ends in it.
    size_t n = 0;
    while (n < kBlock) {
        ssize_t got = file_.readAt(pos_ + n, buffer_ + n, kBlock - n);
        if (got < 0) return false;
        if (got == 0) break;
        n += static_cast<size_t>(got);
    }
    pos_ += n;
    block = std::string_view(buffer_, n);
    return true;
}

bool MappedFile::open(const fs::path &path, std::string &error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    bool ok = map(fd, error);
    ::close(fd);
    return ok;
}

bool MappedFile::open(const InputFile &file, std::string &error) { return map(file.fd(), error); }

bool MappedFile::map(int fd, std::string &error) {
    // The size is taken right before the mapping: no byte past the file's
    // end is mapped.
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && st.st_size > 0) {
        void *p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            ok = false;
        } else {
            data_ = p;
            size_ = static_cast<size_t>(st.st_size);
        }
    }
    if (!ok) error = "cannot read";
    return ok;
}

MappedFile::~MappedFile() {
    if (data_) ::munmap(data_, size_);
}

bool copyFile(const InputFile &from, const fs::path &to, std::string &error) {
    // Into the selected device (a scratch one). The copy is made with the
    // file's permissions, as the host's copy makes it: a read-only backup
    // gives a read-only copy.
    int out = host::openDeviceFile(to.native(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = out >= 0 && ::fchmod(out, from.mode()) == 0;
    // The kernel copies from the file's start, by offset: the file's own
    // offset is left alone.
    off_t offset = 0;
    while (ok) {
        ssize_t n = ::sendfile(out, from.fd(), &offset, 1 << 20);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
    }
    int saved = errno;
    if (out >= 0 && ::close(out) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) error = "cannot copy " + from.arg().host.string() + ": " + std::strerror(saved);
    return ok;
}

// ---- The scratch device ---------------------------------------------------------
//
// Making a device costs a dozen folders, its state file and a registry image,
// and removing it as much again: a process makes one scratch device for each
// depth of Scratch objects alive (one may be made while another lives) the
// first time it needs it, and keeps it. When a Scratch ends, its device is
// put back as it was made. What the system's code can change on it is its
// \Temp (the only folder the tool names, and the system's temporary folder)
// and its state file (the temporary-name counter): logging is off, and
// repair, packHives and unpackHives touch no registry, no \Windows, no
// pending restore. A device that cannot be put back is removed whole; the
// next Scratch makes a new one.
//
// The kept devices are removed when the process exits (std::exit, or a
// return from main). A process killed by a signal, or ended by a power-cut
// fault rule (_exit), leaves them behind, as it leaves the scratch device it
// was using.

namespace {

struct KeptDevice {
    fs::path dir;            // the folder made for it (the device is dir/device); empty: none
    std::string base;        // the temporary folder it was made in
    std::string temp;        // host path of its \Temp
    std::string state;       // host path of its state file
    std::string made;        // the state file's bytes as made
    fs::path device;         // dir / "device"
    bool tmpdirSet = false;  // TMPDIR at its last use, and whether it was set
    std::string tmpdir;
};

std::vector<KeptDevice> g_kept;  // by depth
pid_t g_keptBy = 0;              // the process that made them

// Removes the kept device at depth whole and forgets it.
void dropKept(size_t depth) {
    std::error_code ec;
    fs::remove_all(g_kept[depth].dir, ec);
    g_kept[depth] = KeptDevice{};
}

void removeKept() {
    // A forked child inherits the list and this handler: the devices are
    // its parent's, still in use.
    if (g_keptBy != ::getpid()) return;
    for (size_t depth = 0; depth < g_kept.size(); ++depth)
        if (!g_kept[depth].dir.empty()) dropKept(depth);
}

// Empties the folder at path: its files (and links) unlinked, a folder
// removed whole, after the listing is read to its end. False when something
// is left. This runs after every use of a scratch device.
bool emptyFolder(const std::string &path) {
    int fd = host::openDeviceFile(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    std::vector<std::string> names;
    bool ok = host::forEachEntry(fd, [&](const char *name) {
        names.emplace_back(name);
        return true;
    });
    for (const std::string &name : names) {
        if (::unlinkat(fd, name.c_str(), 0) == 0) continue;
        std::error_code ec;
        if (errno != EISDIR || (fs::remove_all(fs::path(path) / name, ec), ec)) ok = false;
    }
    ::close(fd);
    return ok;
}

// Puts a kept device back as it was made: its \Temp empty, and its state
// file, when this process wrote a state file while the device was in use
// (stateWritten: the temporary-name counter moved), written back in place as
// it was made. The device is this process's alone.
bool resetKept(const KeptDevice &kept, bool stateWritten) {
    if (!emptyFolder(kept.temp)) return false;
    return !stateWritten || host::stateRewrite(kept.made);
}

// Makes a scratch device for depth in base; false with the reason in error.
bool makeKept(const fs::path &base, int depth, KeptDevice &kept, std::string &error) {
    // The scratch device's path goes into the environment (CEDEVICE), where
    // the C library keeps every value it was ever given: the folder is named
    // by the process and the depth, so that a process that makes one again
    // (after a reset failed, or in another TMPDIR) does not add a value each
    // time. A name that is taken gets a random one.
    fs::path dir = base / ("corvane-backup." + std::to_string(::getpid()) + "." + std::to_string(depth));
    if (::mkdir(dir.c_str(), 0700) != 0) {
        std::string pattern = (base / "corvane-backup.XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            error = "cannot make a scratch folder in " + base.string() + ": " + std::strerror(errno);
            return false;
        }
        dir = pattern;
    }
    if (!host::initDevice(dir / "device", "ram", error)) {
        error = "cannot make a scratch device: " + error;
        std::error_code ec;
        fs::remove_all(dir, ec);
        return false;
    }
    kept.dir = dir;
    kept.base = base.string();
    kept.device = dir / "device";
    kept.temp = (dir / "device" / "fs" / "Temp").string();
    kept.state = (dir / "device" / "state" / "device.txt").string();
    if (!host::reg::readFile(kept.state, kept.made) || kept.made.empty()) {
        error = "cannot read the scratch device's state file";
        std::error_code ec;
        fs::remove_all(dir, ec);
        return false;
    }
    return true;
}

}  // namespace

std::vector<fs::path> keptScratch() {
    std::vector<fs::path> dirs;
    if (g_keptBy == ::getpid())
        for (const KeptDevice &kept : g_kept)
            if (!kept.dir.empty()) dirs.push_back(kept.dir);
    return dirs;
}

// Scratch devices alive in this process.
static int g_scratchDepth = 0;

Scratch::Scratch() {
    if (g_keptBy != ::getpid()) {
        // The first Scratch of this process (or of a forked child, which
        // leaves its parent's devices to the parent).
        static bool registered = std::atexit(removeKept) == 0;
        (void)registered;
        g_kept.clear();
        g_keptBy = ::getpid();
    }
    depth_ = g_scratchDepth++;
    if (g_kept.size() <= static_cast<size_t>(depth_)) g_kept.resize(depth_ + 1);
    KeptDevice &kept = g_kept[depth_];
    // A device made in another temporary folder (TMPDIR changed) is not
    // reused there; one that is gone is made again. The temporary folder is
    // looked up only when TMPDIR is not what it was at the last use.
    const char *tmpdir = std::getenv("TMPDIR");
    bool sameTmpdir = !kept.dir.empty() && (tmpdir ? kept.tmpdirSet && kept.tmpdir == tmpdir : !kept.tmpdirSet);
    fs::path base;
    if (!sameTmpdir) {
        std::error_code ec;
        base = fs::temp_directory_path(ec);
        if (ec) base = "/tmp";
        if (!kept.dir.empty() && kept.base != base.string()) dropKept(depth_);
    }
    if (!kept.dir.empty() && ::access(kept.state.c_str(), F_OK) != 0) {
        base = kept.base;
        dropKept(depth_);
    }
    bool fresh = kept.dir.empty();
    if (fresh && !makeKept(base, depth_, kept, error_)) return;
    kept.tmpdirSet = tmpdir != nullptr;
    kept.tmpdir = tmpdir ? tmpdir : "";
    dir_ = kept.dir;
    previous_ = host::deviceDir();
    host::selectDevice(kept.device);
    stateWrites_ = host::stateWrites();
    // The system's code runs as start-up leaves it: its temporary folder
    // set, logging off.
    keepRunState(&run_);
    pointRun(u"\\Temp\\", 0);
    ok_ = true;
}

Scratch::~Scratch() {
    if (!previous_.empty()) {
        // Put back while it is still selected (the state file is the
        // selected device's). A forked child that made a Scratch of its own
        // has forgotten its parent's devices.
        if (static_cast<size_t>(depth_) < g_kept.size() && g_kept[depth_].dir == dir_ &&
            !resetKept(g_kept[depth_], host::stateWrites() != stateWrites_))
            dropKept(depth_);
        host::selectDevice(previous_);
        restoreRunState(&run_);
    }
    g_scratchDepth = depth_;
}

fs::path Scratch::temp(const std::string &name) const {
    // The kept device's \Temp as text, made once: no path is built for each
    // file named.
    if (static_cast<size_t>(depth_) < g_kept.size() && g_kept[depth_].dir == dir_)
        return fs::path(g_kept[depth_].temp + '/' + name);
    return dir_ / "device" / "fs" / "Temp" / name;
}

std::u16string Scratch::deviceTemp(const std::string &name) { return u"\\Temp\\" + host::fromUtf8(name); }

// ---- Backups and the registry model ------------------------------------------------

namespace {

const WCHAR *w(const std::u16string &s) { return reinterpret_cast<const WCHAR *>(s.c_str()); }

// What unpackHives or packHives answered, in words.
std::string hiveResult(int result) {
    if (const WCHAR *why = hiveRefusal(result)) return host::toUtf8(why);
    switch (result) {
    case HV_NO_OPEN:
        return "a file cannot be opened";
    case HV_IO_FAILED:
        return "a read or a write failed";
    default:
        return "failed (" + std::to_string(result) + ")";
    }
}

bool loadHives(const InputFile &file, Registry &reg, std::string &error) {
    Scratch scratch;
    if (!scratch.ok()) {
        error = scratch.error();
        return false;
    }
    if (!copyFile(file, scratch.temp("in.bak"), error)) return false;
    int result = unpackHives(w(Scratch::deviceTemp("in.bak")), w(Scratch::deviceTemp("system.img")),
                             w(Scratch::deviceTemp("user.img")));
    if (result != HV_DONE) {
        error = file.arg().text + ": a restore would refuse it: " + hiveResult(result);
        return false;
    }
    std::string system, user, why;
    if (!readFile(scratch.temp("system.img"), system) || !readFile(scratch.temp("user.img"), user)) {
        error = file.arg().text + ": cannot read the unpacked hives";
        return false;
    }
    if (!readHive(system, HiveKind::System, reg, &why)) {
        error = file.arg().text + ": the device would not take its system hive: " + why;
        return false;
    }
    if (!readHive(user, HiveKind::User, reg, &why)) {
        error = file.arg().text + ": the device would not take its user hive: " + why;
        return false;
    }
    return true;
}

// Writes bytes to target whole or not at all: into a new file beside it,
// under a name of its own, flushed to the disk, then renamed over it. The
// new file keeps an existing target's permissions.
bool replaceWhole(const fs::path &target, const std::string &bytes, std::string &error) {
    std::error_code ec;
    if (fs::is_directory(target, ec)) {
        error = "a folder, not a file";
        return false;
    }
    fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    // cedevice ls does not show ".~copy" names: a device folder looks the
    // same while the file is written.
    std::string pattern = (folder / (".~copy-" + target.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error = "cannot write beside it: " + std::string(std::strerror(errno));
        return false;
    }
    struct stat st;
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = ::fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    int saved = errno;
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(pattern.c_str(), target.c_str()) == 0) return true;
    saved = errno ? errno : saved;
    ::unlink(pattern.c_str());
    error = "cannot write it: " + std::string(std::strerror(saved));
    return false;
}

}  // namespace

bool loadBackup(const FileArg &arg, Registry &reg, Kind &kind, std::string &error) {
    reg = Registry{};
    InputFile file;
    if (!file.open(arg, error)) return false;
    kind = file.kind();
    if (kind == Kind::Neither) {
        error = file.arg().text + ": neither a RAM registry image nor a hive backup file";
        return false;
    }
    // The restore's check first: what it refuses restores nothing.
    Verdict verdict;
    if (!systemCheck(file, verdict, error)) return false;
    if (!verdict.whole) {
        error = file.arg().text + ": a restore would refuse it: " + verdict.problem;
        return false;
    }
    if (kind == Kind::Hive) return loadHives(file, reg, error);
    MappedFile image;
    std::string why;
    if (!image.open(file, why)) {
        error = file.arg().text + ": " + why;
        return false;
    }
    // The check found the image whole: the device's reader takes it (the
    // verdict fuzz target holds the two to one answer).
    if (!readRamImage(image.bytes(), reg, &why)) {
        error = file.arg().text + ": the image check finds it whole, the device's reader does not (" + why + ")";
        return false;
    }
    return true;
}

bool writeBackup(const Registry &reg, Kind kind, const fs::path &target, std::string &error) {
    // Taken before the scratch device below is selected, and let go of
    // after it is put back: the lock is the target's device's.
    DeviceFileLock lock;
    if (!lock.take(target, error)) return false;
    std::string bytes, why;
    if (kind == Kind::Ram) {
        if (writeRamImage(reg, bytes) != ERROR_SUCCESS) {
            error = "a key or value does not fit a RAM image record";
            return false;
        }
        // Only what a restore would take is written.
        ImageCheck check;
        imageCheckStart(&check, static_cast<int64_t>(bytes.size()));
        imageCheckFeed(&check, reinterpret_cast<const BYTE *>(bytes.data()), bytes.size());
        if (imageCheckEnd(&check) != IMAGE_WHOLE) {
            WCHAR text[256];
            imageProblemText(&check, text, sizeof text / sizeof text[0]);
            error = "a restore would refuse the new image: " + host::toUtf8(std::u16string_view(text));
            return false;
        }
    } else {
        Scratch scratch;
        if (!scratch.ok()) {
            error = scratch.error();
            return false;
        }
        if (!writeFileAtomic(scratch.temp("system.img"), writeHive(reg, HiveKind::System), &why) ||
            !writeFileAtomic(scratch.temp("user.img"), writeHive(reg, HiveKind::User), &why)) {
            error = why;
            return false;
        }
        int result = packHives(w(Scratch::deviceTemp("out.bak")), w(Scratch::deviceTemp("system.img")),
                               w(Scratch::deviceTemp("user.img")));
        if (result != HV_DONE || !readFile(scratch.temp("out.bak"), bytes)) {
            error = "cannot pack the hives: " + hiveResult(result);
            return false;
        }
    }
    return replaceWhole(target, bytes, error);
}

// ---- The device's run lock ------------------------------------------------------

namespace {

int g_lockHolders = 0;  // DeviceFileLock objects holding it
HANDLE g_lock = INVALID_HANDLE_VALUE;
WCHAR g_lockPath[MAX_PATH];

// True when the host file at path lies in the current device's file system
// (a device path resolves there; a PC path may lead there too).
bool onDevice(const fs::path &path) {
    if (!host::isDevice(host::deviceDir())) return false;
    std::error_code ec;
    fs::path root = fs::weakly_canonical(host::fsRoot(), ec);
    if (ec) return false;
    fs::path file = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) return false;
    fs::path rel = file.lexically_relative(root);
    return !rel.empty() && *rel.begin() != "..";
}

}  // namespace

bool DeviceFileLock::take(const fs::path &path, std::string &error) {
    if (held_ || !onDevice(path)) return true;
    if (g_lockHolders == 0) {
        // The system's lock is made in the system's temporary folder: the
        // device's, as start-up would find it.
        WCHAR temp[PATH_CCH];
        RunState saved;
        DWORD n = GetTempPathW(PATH_CCH, temp);
        if (n == 0 || n >= PATH_CCH) {
            error = "cannot find the device's temporary folder for its lock";
            return false;
        }
        keepRunState(&saved);
        pointRun(temp, saved.logging);
        g_lock = takeRunLock(g_lockPath);
        DWORD why = GetLastError();
        restoreRunState(&saved);
        if (g_lock == INVALID_HANDLE_VALUE) {
            std::string lock = host::toUtf8(g_lockPath);
            error = why == ERROR_SHARING_VIOLATION
                        ? "a run on the device held its lock " + lock + " for 30 s: the file is left as it is"
                        : "cannot take the device's lock " + lock + ": the file is left as it is";
            return false;
        }
    }
    ++g_lockHolders;
    held_ = true;
    return true;
}

DeviceFileLock::~DeviceFileLock() {
    if (held_ && --g_lockHolders == 0) dropRunLock(g_lock, g_lockPath);
}

}  // namespace backup
