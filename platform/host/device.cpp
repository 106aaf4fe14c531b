// device.cpp - the simulated device's folder: where it is, how a new one is
// made, its small state file, and the mapping of device paths onto it.
#include "platform/host/host.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

namespace host {

static std::optional<fs::path> g_device;

static fs::path defaultDeviceDir() {
    if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return fs::path(xdg) / "corvane" / "device";
    if (const char *home = std::getenv("HOME"); home && *home)
        return fs::path(home) / ".local" / "share" / "corvane" / "device";
    return fs::path("/tmp") / ("corvane-" + std::to_string(getuid())) / "device";
}

const fs::path &deviceDir() {
    if (!g_device) {
        const char *env = std::getenv("CEDEVICE");
        fs::path dir = (env && *env) ? fs::path(env) : defaultDeviceDir();
        std::error_code ec;
        fs::path abs = fs::absolute(dir, ec);
        g_device = ec ? dir : abs.lexically_normal();
    }
    return *g_device;
}

fs::path fsRoot() { return deviceDir() / "fs"; }
fs::path stateDir() { return deviceDir() / "state"; }

void selectDevice(const fs::path &dir) {
    std::error_code ec;
    fs::path abs = fs::absolute(dir, ec);
    g_device = (ec ? dir : abs).lexically_normal();
    setenv("CEDEVICE", g_device->c_str(), 1);
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
    for (const char *folder : kStandardFolders) {
        if (ec) break;
        fs::create_directories(dir / "fs" / folder, ec);
    }
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    std::optional<fs::path> previous = g_device;
    g_device = fs::absolute(dir, ec).lexically_normal();
    stateSet("registry", registryKind);
    stateSet("boots", "0");
    stateSet("user", "default");
    bool ok = initRegistry(dir, registryKind, error);
    g_device = previous;
    if (!ok) return false;
    return true;
}

bool ensureDevice(std::string &error) {
    const fs::path &dir = deviceDir();
    if (isDevice(dir)) return true;
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
        error = dir.string() + " is not a device folder (no state/device.txt); use another CEDEVICE";
        return false;
    }
    return initDevice(dir, "ram", error);
}

// ---- State ----------------------------------------------------------------

static std::map<std::string, std::string> readState() {
    std::map<std::string, std::string> kv;
    std::ifstream in(stateDir() / "device.txt");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

std::string stateGet(const std::string &key, const std::string &fallback) {
    auto kv = readState();
    auto it = kv.find(key);
    return it == kv.end() ? fallback : it->second;
}

void stateSet(const std::string &key, const std::string &value) {
    auto kv = readState();
    kv[key] = value;
    fs::path file = stateDir() / "device.txt";
    fs::path tmp = stateDir() / ("device.txt." + std::to_string(getpid()));
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (auto &[k, v] : kv) out << k << '=' << v << '\n';
    }
    std::error_code ec;
    fs::rename(tmp, file, ec);  // the state file is replaced whole
}

// ---- Paths ------------------------------------------------------------------

static bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

static bool validName(std::u16string_view name) {
    for (char16_t c : name)
        if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'*' || c == u'?')
            return false;
    return true;
}

// The entry of folder whose name equals name without regard to case; the
// name itself when none does. type is the entry's own type (a link's
// is symlink).
static std::string matchEntry(const fs::path &folder, std::u16string_view name, bool &found, fs::file_type &type) {
    std::string utf8 = toUtf8(name);
    std::error_code ec;
    found = false;
    type = fs::symlink_status(folder / utf8, ec).type();
    if (type != fs::file_type::not_found && !ec) {
        found = true;
        return utf8;
    }
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (namesEqual(fromUtf8(entry), name)) {
            found = true;
            type = fs::symlink_status(it->path(), ec).type();
            return entry;
        }
    }
    return utf8;
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

DWORD resolvePath(const WCHAR *devicePath, fs::path &hostPath, bool followLast) {
    if (!devicePath) return ERROR_INVALID_PARAMETER;
    std::u16string_view path(devicePath);
    if (path.size() > MAX_PATH - 1) return ERROR_FILENAME_EXCED_RANGE;
    std::vector<std::u16string_view> parts;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && isSeparator(path[i])) ++i;
        size_t start = i;
        while (i < path.size() && !isSeparator(path[i])) ++i;
        if (i > start) {
            std::u16string_view part = path.substr(start, i - start);
            if (part == u".") continue;
            if (part == u"..") {
                if (!parts.empty()) parts.pop_back();  // never above the root
                continue;
            }
            parts.push_back(part);
        }
    }
    fs::path current = fsRoot();
    for (size_t k = 0; k < parts.size(); ++k) {
        if (!validName(parts[k])) return ERROR_INVALID_NAME;
        bool last = k + 1 == parts.size();
        bool found = false;
        fs::file_type type = fs::file_type::none;
        std::string name = matchEntry(current, parts[k], found, type);
        bool isLink = type == fs::file_type::symlink;
        fs::path next = current / name;
        std::error_code ec;
        // A link is replaced by the place it leads to, so that the path
        // handed back holds no link at all and an open cannot be led
        // elsewhere; one that leads outside the root or nowhere is an entry
        // the device cannot open.
        if (found && isLink && (followLast || !last)) {
            fs::path target;
            if (!linkTarget(next, target)) return ERROR_ACCESS_DENIED;
            next = target;
        }
        if (!last && (!found || !(isLink ? fs::is_directory(next, ec) : type == fs::file_type::directory)))
            return ERROR_PATH_NOT_FOUND;
        current = next;
    }
    hostPath = current;
    return ERROR_SUCCESS;
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

std::u16string devicePathOf(const fs::path &hostPath) {
    fs::path rel = hostPath.lexically_relative(fsRoot());
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
