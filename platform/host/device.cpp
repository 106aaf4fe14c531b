// device.cpp - the simulated device's folder: where it is, how a new one is
// made, its small state file, and the mapping of device paths onto it.
#include "platform/host/host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

namespace host {

// The names of a device folder, made once: every path looked up starts
// from them. A process that switches between a few devices (a tool's scratch
// device and the one it serves) finds them again by the folder's name.
struct DeviceNames {
    std::string given;      // the absolute folder name it was selected by
    fs::path device;        // the folder, absolute and normal
    fs::path fsRoot;        // device / "fs"
    fs::path stateDir;      // device / "state"
    std::string stateFile;  // stateDir / "device.txt", as text
    // The process's count of state writes at its last one to this device's
    // state file (stateWrites).
    unsigned long lastStateWrite = 0;

    DeviceNames() = default;
    DeviceNames(const DeviceNames &) = delete;
    DeviceNames &operator=(const DeviceNames &) = delete;
};

static DeviceNames *g_names = nullptr;            // the current device's; NULL before the first use
static unsigned long g_stateWrites = 0;           // state files written by this process, of any device
static std::unique_ptr<DeviceNames> g_recent[4];  // devices used lately, g_names among them

// Makes dir (absolute and normal) the current device; given, when not
// empty, is the absolute name it was selected by.
static void useDevice(const fs::path &dir, const std::string &given = std::string()) {
    for (auto &names : g_recent)
        if (names && names->device == dir) {
            g_names = names.get();
            return;
        }
    // A new one takes the place of one not in use.
    std::unique_ptr<DeviceNames> *slot = &g_recent[0];
    for (auto &names : g_recent)
        if (!names || names.get() != g_names) slot = &names;
    for (auto &names : g_recent)
        if (!names) {
            slot = &names;
            break;
        }
    auto made = std::make_unique<DeviceNames>();
    made->given = given;
    made->device = dir;
    made->fsRoot = dir / "fs";
    made->stateDir = dir / "state";
    made->stateFile = (made->stateDir / "device.txt").native();
    // A device known anew may have been written while it was not among the
    // recent ones: it counts as written now.
    made->lastStateWrite = ++g_stateWrites;
    *slot = std::move(made);
    g_names = slot->get();
}

static fs::path defaultDeviceDir() {
    if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return fs::path(xdg) / "corvane" / "device";
    if (const char *home = std::getenv("HOME"); home && *home)
        return fs::path(home) / ".local" / "share" / "corvane" / "device";
    return fs::path("/tmp") / ("corvane-" + std::to_string(getuid())) / "device";
}

const fs::path &deviceDir() {
    if (!g_names) {
        const char *env = std::getenv("CEDEVICE");
        fs::path dir = (env && *env) ? fs::path(env) : defaultDeviceDir();
        std::error_code ec;
        fs::path abs = fs::absolute(dir, ec);
        useDevice(ec ? dir : abs.lexically_normal());
    }
    return g_names->device;
}

const fs::path &fsRoot() {
    deviceDir();
    return g_names->fsRoot;
}
const fs::path &stateDir() {
    deviceDir();
    return g_names->stateDir;
}

void selectDevice(const fs::path &dir) {
    // An absolute name selected before is known by its text: no path is
    // made again.
    bool known = false;
    if (dir.is_absolute())
        for (auto &names : g_recent)
            if (names && !names->given.empty() && names->given == dir.native()) {
                g_names = names.get();
                known = true;
                break;
            }
    if (!known) {
        std::error_code ec;
        fs::path abs = fs::absolute(dir, ec);
        useDevice((ec ? dir : abs).lexically_normal(), dir.is_absolute() ? dir.native() : std::string());
    }
    setenv("CEDEVICE", g_names->device.c_str(), 1);
}

int openDeviceFile(const std::string &hostPath, int flags, mode_t mode) {
    int fd;
    do fd = ::open(hostPath.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool emptyFile(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    return st.st_size == 0 || ::ftruncate(fd, 0) == 0;
}

bool isDevice(const fs::path &dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "state" / "device.txt", ec) && fs::is_directory(dir / "fs", ec);
}

// The folders of a new device's file system.
static const char *const kStandardFolders[] = {
    "Temp", "Windows", "My Documents", "Documents and Settings", "Documents and Settings/default", "ResidentFlash",
};

bool initDevice(const fs::path &dir, const std::string &registryKind, std::string &error) {
    if (registryKind != "ram" && registryKind != "hive") {
        error = "unknown registry kind '" + registryKind + "' (ram or hive)";
        return false;
    }
    std::error_code ec;
    if (isDevice(dir)) {
        error = dir.string() + " is already a device";
        return false;
    }
    if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
        error = dir.string() + " is not empty and not a device";
        return false;
    }
    fs::create_directories(dir / "state", ec);
    // The rest one mkdir each: dir exists now, and every folder's parent
    // comes before it in the list.
    auto make = [&ec](const fs::path &folder) {
        if (!ec && ::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) ec.assign(errno, std::generic_category());
    };
    make(dir / "fs");
    for (const char *folder : kStandardFolders) make(dir / "fs" / folder);
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    DeviceNames *previous = g_names;
    useDevice(fs::absolute(dir, ec).lexically_normal());
    // The temporary-name counter starts at 0, written at its full width, so
    // that every name taken sets it in place (see StateKey).
    stateWrite({{"registry", registryKind}, {"boots", "0"}, {"user", "default"}, {"tempCounter", "00000"}});
    bool ok = initRegistry(dir, registryKind, error);
    g_names = previous;
    if (!ok) return false;
    return true;
}

bool ensureDevice(std::string &error) {
    const fs::path &dir = deviceDir();
    if (isDevice(dir)) return true;
    // Only the per-user default is made on first use: a folder that CEDEVICE
    // names and that is no device is most likely a typo, and a new device
    // there would answer with a default registry as if it were the user's.
    const char *named = std::getenv("CEDEVICE");
    if (named && *named) {
        error = dir.string() + " is not a device (CEDEVICE names it; cedevice init makes one there)";
        return false;
    }
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
        error = dir.string() + " is not a device folder (no state/device.txt); use another CEDEVICE";
        return false;
    }
    return initDevice(dir, "ram", error);
}

// ---- State ----------------------------------------------------------------

// The state file's text ("" when it cannot be opened). A read of a regular
// file comes back short only at its end: the state file, a few lines, takes
// one read. With fdOut the file is opened for writing too and left open
// there (-1 when it cannot be).
static std::string loadState(int *fdOut = nullptr) {
    std::string text;
    stateDir();
    int fd = openDeviceFile(g_names->stateFile, fdOut ? O_RDWR : O_RDONLY);
    if (fdOut) *fdOut = fd;
    if (fd < 0) return text;
    char buf[4096];
    ssize_t n;
    while ((n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0 || (n < 0 && errno == EINTR)) {
        if (n < 0) continue;
        text.append(buf, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof buf) break;
    }
    if (!fdOut) ::close(fd);
    return text;
}

static DeviceState parseState(const std::string &text) {
    DeviceState kv;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + at, end - at);
        size_t eq = line.find('=');
        if (eq != std::string_view::npos) kv[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
        at = end + 1;
    }
    return kv;
}

// Where the value of key's line starts and ends in text: the last such line,
// as parseState takes it. False when there is none.
static bool findValue(const std::string &text, const std::string &key, size_t &valueAt, size_t &valueEnd) {
    bool found = false;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end - at > key.size() && text.compare(at, key.size(), key) == 0 && text[at + key.size()] == '=') {
            found = true;
            valueAt = at + key.size() + 1;
            valueEnd = end;
        }
        at = end + 1;
    }
    return found;
}

DeviceState stateRead() { return parseState(loadState()); }

std::string stateText() { return loadState(); }

bool stateRewrite(const std::string &text) {
    stateDir();
    int fd = openDeviceFile(g_names->stateFile, O_WRONLY | O_TRUNC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && ok;
}

StateKey::StateKey(const std::string &key) : key_(key) {
    text_ = loadState(&fd_);
    size_t valueEnd;
    found_ = findValue(text_, key, valueAt_, valueEnd);
    if (found_) value_ = text_.substr(valueAt_, valueEnd - valueAt_);
}

StateKey::~StateKey() {
    if (fd_ >= 0) ::close(fd_);
}

unsigned long stateWrites() {
    deviceDir();
    return g_names->lastStateWrite;
}

// Counts a write of the current device's state file.
static void noteStateWrite() {
    deviceDir();
    g_names->lastStateWrite = ++g_stateWrites;
}

void StateKey::set(const std::string &value) {
    noteStateWrite();
    if (fd_ >= 0 && found_ && value.size() == value_.size()) {
        // In place: the value's own bytes, nothing else of the file.
        if (::pwrite(fd_, value.data(), value.size(), static_cast<off_t>(valueAt_)) ==
            static_cast<ssize_t>(value.size())) {
            value_ = value;
            return;
        }
    }
    DeviceState kv = parseState(text_);
    kv[key_] = value;
    stateWrite(kv);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;  // the file is a new one now
    found_ = true;
    value_ = value;
}

void stateWrite(const DeviceState &kv) {
    noteStateWrite();
    std::string text;
    text.reserve(128);
    for (auto &[k, v] : kv) text.append(k).append(1, '=').append(v).append(1, '\n');
    stateDir();
    const std::string &file = g_names->stateFile;
    std::string tmp = file + '.' + std::to_string(getpid());
    int fd = openDeviceFile(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    ::rename(tmp.c_str(), file.c_str());  // the state file is replaced whole
}

std::string stateGet(const std::string &key, const std::string &fallback) {
    // One key (the registry kind, asked for by every registry call): its
    // line is found in the text, and no map is made.
    std::string text = loadState();
    size_t valueAt, valueEnd;
    return findValue(text, key, valueAt, valueEnd) ? text.substr(valueAt, valueEnd - valueAt) : fallback;
}

void stateSet(const std::string &key, const std::string &value) {
    auto kv = stateRead();
    kv[key] = value;
    stateWrite(kv);
}

// ---- Paths ------------------------------------------------------------------

static int lstatAt(const std::string &hostPath, struct stat &st) { return ::lstat(hostPath.c_str(), &st); }

static bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

static bool validName(std::u16string_view name) {
    for (char16_t c : name)
        if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'*' || c == u'?')
            return false;
    return true;
}

// The look-up of a name that is not there as spelled: the folder's entries
// are searched for one equal to it without regard to case (path holds the
// folder up to folderEnd, then '/' and the name). Apart from matchEntry, so
// that the buffer on its stack is made only for the look-ups that need it.
static __attribute__((noinline)) void matchFolderEntry(std::string &path, size_t folderEnd, std::u16string_view name,
                                                       bool &found, struct stat &st) {
    const size_t nameAt = folderEnd + 1;
    // An entry of plain ASCII is matched against an ASCII name byte by byte:
    // folding never takes a character into or out of ASCII.
    std::string_view utf8(path.data() + nameAt, path.size() - nameAt);
    bool asciiName = std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; });
    int fd = openDeviceFile(path.substr(0, folderEnd), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    std::string match;
    forEachEntry(fd, [&](const char *entry) {
        size_t cb = std::strlen(entry);
        bool equal;
        if (asciiName && std::all_of(entry, entry + cb, [](char c) { return (c & 0x80) == 0; }))
            equal = cb == utf8.size() && std::equal(entry, entry + cb, utf8.begin(), [](char a, char b) {
                        auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
                        return up(a) == up(b);
                    });
        else if (asciiName)
            equal = false;
        else
            equal = namesEqual(fromUtf8(entry), name);
        if (equal) match.assign(entry, cb);
        return !equal;
    });
    ::close(fd);
    if (match.empty()) return;
    path.replace(nameAt, std::string::npos, match);
    found = true;
    if (lstatAt(path, st) != 0) st.st_mode = 0;
}

// Looks for name in the folder at path (a host path) and appends it to path:
// the entry whose name equals name without regard to case, or the name
// itself when none does. found tells which; st is the entry's own status (a
// link's is a link's), its mode 0 when it cannot be read. The path is built
// in place: most look-ups hit with their first lstat and make nothing.
static void matchEntry(std::string &path, std::u16string_view name, bool &found, struct stat &st) {
    const size_t folderEnd = path.size();
    path += '/';
    appendUtf8(path, name);
    found = lstatAt(path, st) == 0;
    if (!found) matchFolderEntry(path, folderEnd, name, found, st);
}

bool lookupName(const std::string &folder, std::u16string_view name, std::string &hostPath, PathEntry &entry) {
    entry = PathEntry{};
    if (name.empty() || name == u"." || name == u".." || name.find_first_of(u"\\/") != std::u16string_view::npos ||
        !validName(name))
        return false;
    hostPath = folder;
    bool found;
    matchEntry(hostPath, name, found, entry.st);
    entry.exists = found && entry.st.st_mode != 0;
    return true;
}

bool linkTarget(const fs::path &link, fs::path &target) {
    // canonical() needs every component to exist, so a dangling link or a
    // loop fails here instead of being taken at its word.
    std::error_code ec;
    fs::path root = fs::canonical(fsRoot(), ec);
    if (ec) return false;
    fs::path real = fs::canonical(link, ec);
    if (ec) return false;
    fs::path rel = real.lexically_relative(root);
    if (rel.empty() || *rel.begin() == "..") return false;
    target = rel == "." ? fsRoot() : fsRoot() / rel;
    return true;
}

DWORD resolvePath(const WCHAR *devicePath, std::string &hostPath, bool followLast, PathEntry *entry) {
    if (entry) *entry = PathEntry{};
    if (!devicePath) return ERROR_INVALID_PARAMETER;
    std::u16string_view path(devicePath);
    if (path.size() > MAX_PATH - 1) return ERROR_FILENAME_EXCED_RANGE;
    // A path of at most MAX_PATH - 1 characters has at most MAX_PATH / 2
    // components: where each starts and ends is kept on the stack (left
    // uninitialised, as it is written before it is read).
    uint16_t partStart[MAX_PATH / 2], partEnd[MAX_PATH / 2];
    size_t count = 0;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && isSeparator(path[i])) ++i;
        size_t start = i;
        while (i < path.size() && !isSeparator(path[i])) ++i;
        if (i > start) {
            std::u16string_view part = path.substr(start, i - start);
            if (part == u".") continue;
            if (part == u"..") {
                if (count > 0) --count;  // never above the root
                continue;
            }
            partStart[count] = static_cast<uint16_t>(start);
            partEnd[count++] = static_cast<uint16_t>(i);
        }
    }
    // The path is built as plain text in one string and each component
    // looked at with one lstat: this runs for every service call.
    // Built in hostPath itself, whose room a caller may keep from call to
    // call: on an error it holds what was built so far.
    std::string &current = hostPath;
    current.reserve(fsRoot().native().size() + 3 * path.size() + 1);
    current = fsRoot().native();
    struct stat st {};
    bool found = true;
    bool statted = false;  // st holds current's status
    for (size_t k = 0; k < count; ++k) {
        std::u16string_view part = path.substr(partStart[k], partEnd[k] - partStart[k]);
        if (!validName(part)) return ERROR_INVALID_NAME;
        bool last = k + 1 == count;
        matchEntry(current, part, found, st);
        statted = found;
        bool isLink = found && S_ISLNK(st.st_mode);
        // A link is replaced by the place it leads to, so that the path
        // handed back holds no link at all and an open cannot be led
        // elsewhere; one that leads outside the root or nowhere is an entry
        // the device cannot open.
        if (isLink && (followLast || !last)) {
            fs::path target;
            if (!linkTarget(current, target)) return ERROR_ACCESS_DENIED;
            current = target.native();
            if (::lstat(current.c_str(), &st) != 0) st.st_mode = 0;
        }
        if (!last && (!found || !S_ISDIR(st.st_mode))) return ERROR_PATH_NOT_FOUND;
    }
    if (entry) {
        // The root itself (no component) is taken as what it leads to.
        if (!statted && count == 0) statted = ::stat(current.c_str(), &st) == 0;
        entry->exists = statted && found && st.st_mode != 0;
        entry->st = st;
    }
    return ERROR_SUCCESS;
}

DWORD resolvePath(const WCHAR *devicePath, fs::path &hostPath, bool followLast, PathEntry *entry) {
    std::string found;
    DWORD err = resolvePath(devicePath, found, followLast, entry);
    if (err == ERROR_SUCCESS) hostPath = std::move(found);
    return err;
}

DWORD resolvePath(const WCHAR *devicePath, fs::path &hostPath, bool followLast) {
    return resolvePath(devicePath, hostPath, followLast, nullptr);
}

bool makeDeviceFolders(const fs::path &hostPath) {
    fs::path rel = hostPath.lexically_relative(deviceDir());
    if (rel.empty() || *rel.begin() == "..") return false;
    fs::path current = deviceDir();
    for (const auto &part : rel) {
        if (part == ".") continue;
        current /= part;
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT) return false;
            if (::mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) return false;
            if (::lstat(current.c_str(), &st) != 0) return false;
        }
        if (!S_ISDIR(st.st_mode)) return false;  // a link, even to a folder, is not followed
    }
    return true;
}

std::u16string devicePathOf(std::string_view host) {
    // A path resolvePath made: the root's text, then names after single '/'.
    const std::string &root = fsRoot().native();
    if (host.compare(0, root.size(), root) == 0 && (host.size() == root.size() || host[root.size()] == '/') &&
        host.find("//") == std::string_view::npos && host.find("/./") == std::string_view::npos &&
        host.find("/../") == std::string_view::npos && host.back() != '/' && host.back() != '.') {
        if (host.size() == root.size()) return u"\\";
        std::u16string out = fromUtf8(std::string_view(host).substr(root.size()));
        std::replace(out.begin(), out.end(), u'/', u'\\');
        return out;
    }
    fs::path rel = fs::path(host).lexically_relative(fsRoot());
    std::u16string out;
    for (const auto &part : rel) {
        if (part == ".") continue;
        out += u'\\';
        out += fromUtf8(part.string());
    }
    return out.empty() ? u"\\" : out;
}

}  // namespace host

namespace host {

HINSTANCE programInstance() {
    // Any non-null value serves: the simulated device runs one program.
    static HINSTANCE__ instance;
    return &instance;
}

const char *programName() {
    const char *name = program_invocation_short_name;
    return name && *name ? name : "corvane";
}

}  // namespace host
