// cedevice.cpp - the device tool: makes a simulated device and looks into it.
//
//   cedevice init [--registry ram|hive] [--force]
//   cedevice status
//   cedevice ls PATH | cat PATH | push HOSTFILE PATH | pull PATH HOSTFILE
//   cedevice log [--all]
//   cedevice reg ... | reboot          (cedevice_reg.cpp)
//
// The device is $CEDEVICE (which must be a device, made by init), or the
// per-user default (made on first use). Success exits 0; a failure exits
// non-zero with one line on stderr (125: the device folder is no device).
#include "log/log.h"
#include "platform/host/host.h"
#include "tools/cedevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

static int fail(const std::string &message, int code = 1) {
    std::fprintf(stderr, "cedevice: %s\n", message.c_str());
    return code;
}

static const char kUsage[] =
    "usage: cedevice init [--registry ram|hive] [--force]\n"
    "       cedevice status\n"
    "       cedevice ls PATH | cat PATH | push HOSTFILE PATH | pull PATH HOSTFILE\n"
    "       cedevice log [--all]       the last run's log (--all: the whole log)\n"
    "       cedevice reg query KEY [NAME] | reg set KEY NAME TYPE DATA\n"
    "       cedevice reg delete KEY [NAME] | reg export [KEY] [--format 4|5]\n"
    "       cedevice reg import REGFILE   a .reg file (REGEDIT4 or 5.00, UTF-8 or UTF-16LE)\n"
    "       cedevice reboot\n"
    "       cedevice --version\n"
    "The device is the folder $CEDEVICE (made by cedevice init), or the per-user\n"
    "device, made on first use. Exit codes: 0 done, 1 failed, 2 a wrong command\n"
    "line, 125 CEDEVICE names a folder that is no device.\n";

static int cmdInit(const std::vector<std::string> &args) {
    std::string kind = "ram";
    bool force = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--registry" && i + 1 < args.size())
            kind = args[++i];
        else if (args[i].rfind("--registry=", 0) == 0)
            kind = args[i].substr(11);
        else if (args[i] == "--force")
            force = true;
        else
            return fail("init: unexpected argument '" + args[i] + "'", 2);
    }
    if (kind != "ram" && kind != "hive") return fail("init: unknown registry kind '" + kind + "' (ram or hive)", 2);
    const fs::path &dir = host::deviceDir();
    std::error_code ec;
    if (host::isDevice(dir)) {
        if (!force) return fail("init: " + dir.string() + " is already a device (--force makes it anew)");
        fs::remove_all(dir, ec);
        if (ec) return fail("init: cannot remove " + dir.string() + ": " + ec.message());
    }
    std::string error;
    if (!host::initDevice(dir, kind, error)) return fail("init: " + error);
    std::printf("new %s device at %s\n", kind.c_str(), dir.c_str());
    return 0;
}

static int cmdStatus(const std::vector<std::string> &args) {
    if (!args.empty()) return fail("status: takes no argument", 2);
    std::printf("device: %s\n", host::deviceDir().c_str());
    std::printf("registry: %s\n", host::stateGet("registry", "?").c_str());
    for (const std::string &line : cedeviceRegStatus()) std::printf("%s\n", line.c_str());
    return 0;
}

// Resolves a device path for the tool; prints the failure.
static bool resolve(const std::string &verb, const std::string &devicePath, fs::path &out) {
    std::u16string wide;
    if (!host::fromUtf8Strict(devicePath, wide)) {
        fail(verb + ": " + devicePath + ": not valid UTF-8");
        return false;
    }
    DWORD err = host::resolvePath(wide.c_str(), out);
    if (err == ERROR_SUCCESS) return true;
    const char *why = err == ERROR_PATH_NOT_FOUND         ? "a folder on the way does not exist"
                      : err == ERROR_FILENAME_EXCED_RANGE ? "longer than MAX_PATH"
                      : err == ERROR_ACCESS_DENIED        ? "outside the device"
                                                          : "not a valid device path";
    fail(verb + ": " + devicePath + ": " + why);
    return false;
}

static int cmdLs(const std::vector<std::string> &args) {
    if (args.size() > 1) return fail("ls: one PATH at most", 2);
    fs::path p;
    if (!resolve("ls", args.empty() ? "\\" : args[0], p)) return 1;
    std::error_code ec;
    if (!fs::exists(p, ec)) return fail("ls: " + (args.empty() ? "\\" : args[0]) + ": no such file or folder");
    std::vector<std::pair<std::u16string, fs::path>> entries;
    if (fs::is_directory(p, ec)) {
        for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.rfind(".~copy", 0) == 0) continue;
            entries.emplace_back(host::fromUtf8(name), it->path());
        }
    } else {
        entries.emplace_back(host::fromUtf8(p.filename().string()), p);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return host::foldedLess(a.first, b.first); });
    for (auto &[name, hostPath] : entries) {
        if (fs::is_directory(hostPath, ec))
            std::printf("%12s  %s\\\n", "<DIR>", host::toUtf8(name).c_str());
        else
            std::printf("%12llu  %s\n", static_cast<unsigned long long>(fs::file_size(hostPath, ec)),
                        host::toUtf8(name).c_str());
    }
    return 0;
}

static int cmdCat(const std::vector<std::string> &args) {
    if (args.size() != 1) return fail("cat: needs PATH", 2);
    fs::path p;
    if (!resolve("cat", args[0], p)) return 1;
    std::ifstream in(p, std::ios::binary);
    std::error_code ec;
    if (!in || fs::is_directory(p, ec)) return fail("cat: " + args[0] + ": no such file");
    std::cout << in.rdbuf();
    std::cout.flush();
    return 0;
}

static int cmdPush(const std::vector<std::string> &args) {
    if (args.size() != 2) return fail("push: needs HOSTFILE PATH", 2);
    std::ifstream in(args[0], std::ios::binary);
    std::error_code ec;
    if (!in || fs::is_directory(args[0], ec)) return fail("push: cannot read " + args[0]);
    fs::path p;
    if (!resolve("push", args[1], p)) return 1;
    if (fs::is_directory(p, ec)) p /= fs::path(args[0]).filename();
    // A part file of its own beside the target (ls does not show it), renamed
    // over the target once it is whole.
    std::string tmpName = (p.parent_path() / ".~copy-push-XXXXXX").string();
    int fd = mkstemp(tmpName.data());
    if (fd < 0) return fail("push: cannot write " + args[1] + ": " + std::strerror(errno));
    fs::path tmp = tmpName;
    bool ok = true;
    char buf[65536];
    while (ok && in) {
        in.read(buf, sizeof buf);
        for (std::streamsize done = 0, n = in.gcount(); ok && done < n;) {
            ssize_t k = write(fd, buf + done, static_cast<size_t>(n - done));
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0)
                ok = false;
            else
                done += k;
        }
    }
    int writeErrno = errno;
    if (!in.eof()) ok = false;
    if (fchmod(fd, 0644) != 0 || close(fd) != 0) ok = false;
    if (ok) fs::rename(tmp, p, ec);
    if (!ok || ec) {
        fs::remove(tmp, ec);
        return fail("push: cannot write " + args[1] + ": " + (ok ? ec.message() : std::strerror(writeErrno)));
    }
    return 0;
}

static int cmdLog(const std::vector<std::string> &args) {
    bool all = false;
    for (const std::string &a : args) {
        if (a == "--all")
            all = true;
        else
            return fail("log: unexpected argument '" + a + "' (cedevice log [--all])", 2);
    }
    // The log of the latest run: \Corvane.log, or Corvane.log in a flash
    // folder (l with f), whichever was written last.
    std::error_code ec;
    fs::path newest;
    fs::file_time_type newestTime{};
    const std::string name = host::toUtf8(LOG_NAME);
    std::vector<fs::path> candidates{host::fsRoot() / name};
    for (fs::directory_iterator it(host::fsRoot(), ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec) && host::wildcardMatch(FLASH_PATTERN, host::fromUtf8(it->path().filename().string())))
            candidates.push_back(it->path() / name);
    for (const fs::path &c : candidates) {
        if (!fs::is_regular_file(c, ec)) continue;
        fs::file_time_type t = fs::last_write_time(c, ec);
        if (!ec && (newest.empty() || t > newestTime)) {
            newest = c;
            newestTime = t;
        }
    }
    if (newest.empty()) return fail("log: the device has no log yet (corvane logs with option l)");
    std::ifstream in(newest, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!all) {
        // A run's log begins with two empty lines and "Corvane Logfile".
        size_t at = text.rfind("\n\nCorvane Logfile\n");
        if (at == std::string::npos && text.rfind("\nCorvane Logfile\n", 0) == 0) at = 0;
        if (at != std::string::npos) text.erase(0, text.find("Corvane Logfile\n", at));
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

static int cmdPull(const std::vector<std::string> &args) {
    if (args.size() != 2) return fail("pull: needs PATH HOSTFILE", 2);
    fs::path p;
    if (!resolve("pull", args[0], p)) return 1;
    std::error_code ec;
    if (fs::is_directory(p, ec)) return fail("pull: " + args[0] + ": a folder, not a file");
    if (!fs::is_regular_file(p, ec)) return fail("pull: " + args[0] + ": no such file");
    fs::copy_file(p, args[1], fs::copy_options::overwrite_existing, ec);
    if (ec) return fail("pull: cannot write " + args[1] + ": " + ec.message());
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string verb = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (verb == "-h" || verb == "--help" || verb == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (verb == "--version") {
        std::string version = host::toUtf8(host::versionValue(u"FileVersion"));
        std::printf("cedevice %s\n", version.empty() ? "(no version resource)" : version.c_str());
        return 0;
    }
    if (verb == "init") return cmdInit(args);
    std::string error;
    if (!host::ensureDevice(error)) return fail(error, host::kExitNoDevice);
    if (verb == "status") return cmdStatus(args);
    if (verb == "log") return cmdLog(args);
    if (verb == "ls") return cmdLs(args);
    if (verb == "cat") return cmdCat(args);
    if (verb == "push") return cmdPush(args);
    if (verb == "pull") return cmdPull(args);
    if (verb == "reg") {
        // Keys, names and data reach the registry as UTF-16: a byte that is
        // not UTF-8 would become another name.
        std::u16string wide;
        for (const std::string &a : args)
            if (!host::fromUtf8Strict(a, wide)) return fail("reg: not valid UTF-8: " + a, 2);
        return cedeviceReg(args);
    }
    if (verb == "reboot") return cedeviceReboot(args);
    return fail("unknown verb '" + verb + "' (cedevice --help lists them)", 2);
}
