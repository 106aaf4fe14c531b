// registry_store.cpp - the live registry of the simulated device on disk,
// the logged-on user, and the warm boot (see registry_store.h).
#include "platform/host/registry_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace host::reg {

const char16_t kProfileFolder[] = u"\\Documents and Settings\\default\\";

namespace {

constexpr char kDocsFolder[] = "Documents and Settings";
constexpr char kUserFolder[] = "default";
constexpr char kSystemHiveFile[] = "system.hv";
constexpr char kUserHiveFile[] = "user.hv";

// A device path resolved on the current device, or the spelling of a new
// device when a folder on the way is missing (the boot makes it again).
fs::path devicePath(const char16_t *path, const fs::path &fallback) {
    fs::path host;
    if (resolvePath(path, host) == ERROR_SUCCESS) return host;
    return fallback;
}

std::string join(const std::vector<std::string> &parts) {
    std::string out;
    for (const auto &p : parts) out += (out.empty() ? "" : "; ") + p;
    return out;
}

// Reads a hive file of the current device into reg. ERROR_SUCCESS or
// ERROR_BADDB with the reason.
DWORD loadHive(const fs::path &file, HiveKind kind, Registry &reg, std::string *why) {
    std::string bytes, reason;
    if (!readFile(file, bytes)) {
        if (why) *why = file.filename().string() + " is missing";
        return ERROR_BADDB;
    }
    if (!readHive(bytes, kind, reg, &reason)) {
        if (why) *why = file.filename().string() + " is corrupt: " + reason;
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

bool storeHive(const fs::path &file, const Registry &reg, HiveKind kind, std::string *why) {
    makeDeviceFolders(file.parent_path());
    return writeFileAtomic(file, writeHive(reg, kind), why);
}

// Checks a hive file at boot or log-on: a missing or corrupt one becomes a
// clean default hive. Returns what was mended, "" when nothing was.
std::string mendHive(const fs::path &file, HiveKind kind) {
    Registry reg;
    std::string why;
    if (loadHive(file, kind, reg, &why) == ERROR_SUCCESS) return "";
    storeHive(file, sampleRegistry(), kind, nullptr);
    return why + ": clean default " + (kind == HiveKind::System ? "system" : "user") + " hive";
}

std::string ramImageOf(const Registry &reg) {
    std::string image;
    writeRamImage(reg, image);
    return image;
}

}  // namespace

std::string deviceKind() { return stateGet("registry", "ram"); }
bool isHiveDevice() { return deviceKind() == "hive"; }

fs::path objectStorePath() { return stateDir() / "registry.img"; }
fs::path pendingRestorePath() { return stateDir() / "Restore.fdf"; }
fs::path keptHivePath() { return stateDir() / "system.hv"; }

fs::path systemHivePath() {
    return devicePath(u"\\Documents and Settings\\system.hv", fsRoot() / kDocsFolder / kSystemHiveFile);
}

fs::path userHivePath() {
    return devicePath(u"\\Documents and Settings\\default\\user.hv",
                      fsRoot() / kDocsFolder / kUserFolder / kUserHiveFile);
}

bool userLoggedOn() { return !stateGet("user", "default").empty(); }
void setUserLoggedOn(bool on) { stateSet("user", on ? "default" : ""); }

}  // namespace host::reg

namespace host {

bool hiveInUse(std::string_view hostPath) {
    // Most files are no hive: decide by the name's extension (".hv" in any
    // case; a name that starts with its only dot has none) before reading
    // any state or making a path.
    std::string_view name = hostPath.substr(hostPath.find_last_of('/') + 1);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot != 3 || (name[dot + 1] | 0x20) != 'h' ||
        (name[dot + 2] | 0x20) != 'v')
        return false;
    if (!reg::isHiveDevice()) return false;
    std::error_code ec;
    if (fs::equivalent(hostPath, reg::systemHivePath(), ec)) return true;
    return reg::userLoggedOn() && fs::equivalent(hostPath, reg::userHivePath(), ec);
}

}  // namespace host

namespace host::reg {

bool readFile(const char *path, std::string &bytes) {
    // A link is not read through (O_NOFOLLOW): one left in the device's file
    // system may lead outside it. Only a regular file is read; a FIFO opened
    // without waiting is refused by its status. The bytes are read straight
    // into bytes, sized by the file, and a read that comes back short is the
    // file's end.
    bytes.clear();
    struct stat st;
    int fd = openDeviceFile(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    size_t done = 0, room = static_cast<size_t>(st.st_size) + 1;
    bool ok = true;
    for (;;) {
        if (bytes.size() < done + room) bytes.resize(done + room);
        size_t want = bytes.size() - done;
        ssize_t n = ::pread(fd, bytes.data() + done, want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < want) break;
        room = 65536;  // the file grew
    }
    ::close(fd);
    bytes.resize(ok ? done : 0);
    return ok;
}

// True when the host folder leads to a place inside the device: both paths
// resolved and compared.
static bool insideDevice(const fs::path &folder) {
    std::error_code ec, ec2;
    fs::path real = fs::canonical(folder, ec);
    fs::path device = fs::canonical(deviceDir(), ec2);
    fs::path rel = real.lexically_relative(device);
    return !ec && !ec2 && !rel.empty() && *rel.begin() != "..";
}

bool writeFileAtomic(const fs::path &path, const std::string &bytes, std::string *why) {
    // Never outside the device: the folder must lead to a place inside it.
    if (!insideDevice(path.parent_path())) {
        if (why) *why = "cannot write " + path.string() + ": its folder is not inside the device";
        return false;
    }
    fs::path temp = path.parent_path() / ("." + path.filename().string() + ".new");
    ::unlink(temp.c_str());  // a leftover, or anything put there, a link included
    int fd = openDeviceFile(temp.native(), O_WRONLY | O_CREAT | O_EXCL);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        if (why) *why = "cannot write " + path.string();
        return false;
    }
    // rename replaces a link at path itself, never what it leads to.
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        if (why) *why = "cannot replace " + path.string();
        return false;
    }
    return true;
}

DWORD loadRegistry(Registry &reg, unsigned mask, std::string *why) {
    reg = Registry{};
    if (!isHiveDevice()) {
        std::string bytes, reason;
        if (!readFile(objectStorePath(), bytes)) {
            if (why) *why = "the object store registry is missing";
            return ERROR_BADDB;
        }
        if (!readRamImage(bytes, reg, &reason)) {
            if (why) *why = "the object store registry is damaged: " + reason;
            return ERROR_BADDB;
        }
    } else {
        if (mask & (rootBit(ClassesRoot) | rootBit(LocalMachine))) {
            DWORD err = loadHive(systemHivePath(), HiveKind::System, reg, why);
            if (err != ERROR_SUCCESS) return err;
        }
        if ((mask & rootBit(CurrentUser)) && userLoggedOn()) {
            DWORD err = loadHive(userHivePath(), HiveKind::User, reg, why);
            if (err != ERROR_SUCCESS) return err;
        }
        if (!userLoggedOn()) reg.loaded[CurrentUser] = false;
    }
    for (int r = 0; r < kRootCount; ++r)
        if (!(mask & rootBit(r))) reg.loaded[r] = false;
    return ERROR_SUCCESS;
}

DWORD storeRegistry(const Registry &reg, unsigned mask, std::string *why) {
    bool ok = true;
    if (!isHiveDevice()) {
        std::string image;
        if (writeRamImage(reg, image) != ERROR_SUCCESS) {
            if (why) *why = "a value does not fit the object store";
            return ERROR_CANTWRITE;
        }
        ok = writeFileAtomic(objectStorePath(), image, why);
    } else {
        if ((mask & rootBit(ClassesRoot) && reg.loaded[ClassesRoot]) ||
            (mask & rootBit(LocalMachine) && reg.loaded[LocalMachine]))
            ok = storeHive(systemHivePath(), reg, HiveKind::System, why);
        if (ok && (mask & rootBit(CurrentUser)) && reg.loaded[CurrentUser])
            ok = storeHive(userHivePath(), reg, HiveKind::User, why);
    }
    return ok ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

DWORD checkValueForDevice(const Value &value, std::string *why) {
    DWORD err = checkValue(value, why);
    if (err != ERROR_SUCCESS || isHiveDevice()) return err;
    // The object store keeps each value as one image record, whose 16-bit
    // length counts the fields after the type, the name with its NUL and the data.
    if (6 + 2 * (value.name.size() + 1) + value.data.size() > 0xFFFF) {
        if (why) *why = "value too large for the RAM registry: at most 65527 bytes, less 2 per name character";
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

bool writeNewRegistry(const fs::path &dir, const std::string &kind, std::string &error) {
    // The sample registry's files are the same for every new device: made
    // once a process (tools and fuzzers make many devices).
    std::error_code ec;
    if (kind == "ram") {
        static const std::string image = ramImageOf(sampleRegistry());
        fs::create_directories(dir / "state", ec);
        return writeFileAtomic(dir / "state" / "registry.img", image, &error);
    }
    if (kind == "hive") {
        static const std::string system = writeHive(sampleRegistry(), HiveKind::System);
        static const std::string user = writeHive(sampleRegistry(), HiveKind::User);
        fs::path docs = dir / "fs" / kDocsFolder;
        fs::create_directories(docs / kUserFolder, ec);
        return writeFileAtomic(docs / kSystemHiveFile, system, &error) &&
               writeFileAtomic(docs / kUserFolder / kUserHiveFile, user, &error);
    }
    error = "unknown registry kind '" + kind + "' (ram or hive)";
    return false;
}

std::string logUserOn() {
    makeDeviceFolders(fsRoot() / kDocsFolder / kUserFolder);  // a no-op when it exists
    std::string mended = mendHive(userHivePath(), HiveKind::User);
    setUserLoggedOn(true);
    return mended;
}

std::string warmBoot() {
    std::vector<std::string> did;
    std::string why;
    if (!isHiveDevice()) {
        std::string bytes;
        Registry reg;
        if (readFile(pendingRestorePath(), bytes)) {
            if (readRamImage(bytes, reg, &why)) {
                did.push_back("Restore.fdf applied");
            } else {
                // The device falls back to its default registry: a silent
                // factory reset.
                reg = sampleRegistry();
                did.push_back("Restore.fdf did not read back whole (" + why + "): default registry");
            }
            storeRegistry(reg, kAllRoots, nullptr);
            std::error_code ec;
            fs::remove(pendingRestorePath(), ec);
        } else if (loadRegistry(reg, kAllRoots, &why) != ERROR_SUCCESS) {
            storeRegistry(sampleRegistry(), kAllRoots, nullptr);
            did.push_back(why + ": default registry");
        }
    } else {
        std::error_code ec;
        makeDeviceFolders(fsRoot() / kDocsFolder / kUserFolder);
        std::string kept;
        if (readFile(keptHivePath(), kept)) {
            Registry reg;
            if (readHive(kept, HiveKind::System, reg, &why)) {
                Key &root = reg.roots[LocalMachine].create(u"");
                Value persisted{u"RegPersisted", REG_DWORD, std::string("\x01\x00\x00\x00", 4)};
                reg.roots[LocalMachine].setValue(root, persisted);
                storeHive(systemHivePath(), reg, HiveKind::System, nullptr);
                did.push_back("kept system hive applied");
            } else {
                storeHive(systemHivePath(), sampleRegistry(), HiveKind::System, nullptr);
                did.push_back("kept system hive is corrupt: " + why + ": clean default system hive");
            }
            fs::remove(keptHivePath(), ec);
        } else {
            std::string mended = mendHive(systemHivePath(), HiveKind::System);
            if (!mended.empty()) did.push_back(mended);
        }
        std::string mended = logUserOn();
        if (!mended.empty()) did.push_back(mended);
    }
    if (did.empty()) did.push_back("registry kept");
    long boots = std::strtol(stateGet("boots", "0").c_str(), nullptr, 10);
    stateSet("boots", std::to_string(boots + 1));
    std::string record = join(did);
    stateSet("lastBoot", record);
    return record;
}

}  // namespace host::reg
