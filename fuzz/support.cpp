// support.cpp - the fuzz targets' device, file and check helpers.
#include "fuzz/support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/host/host.h"
#include "platform/host/registry_store.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

fs::path g_device;
std::string g_freshState;  // the state file's bytes on the device as made

void removeDevice() {
    std::error_code ec;
    if (!g_device.empty()) fs::remove_all(g_device, ec);
}

void makeDevice(const char *registryKind) {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/corvane-fuzz-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) {
        perror("mkdtemp");
        abort();
    }
    // initDevice wants a folder that is not yet a device; the one made is empty.
    g_device = fs::path(buf.data()) / "device";
    std::string error;
    if (!host::initDevice(g_device, registryKind, error)) {
        fprintf(stderr, "fuzz: initDevice: %s\n", error.c_str());
        abort();
    }
    host::selectDevice(g_device);
    g_freshState = host::stateText();
    if (g_freshState.empty()) {
        fprintf(stderr, "fuzz: cannot read the device's state file\n");
        abort();
    }
    atexit([] {
        removeDevice();
        std::error_code ec;
        fs::remove(g_device.parent_path(), ec);
    });
}

// The host paths the helpers use, made once the device is.
std::string g_input, g_log, g_temp;

fs::path hostPath(const std::string &rel) { return g_device / "fs" / rel; }

}  // namespace

bool hostFile(const std::string &p, std::string &bytes) { return host::reg::readFile(p.c_str(), bytes); }

void prepare(const uint8_t *data, size_t size, const char *registryKind) {
    if (g_device.empty()) {
        makeDevice(registryKind);
        g_input = hostPath("My Documents/input.img").string();
        g_log = hostPath("Corvane.log").string();
        g_temp = hostPath("Temp").string();
    } else {
        // Each input starts on the device as made: the temporary names the
        // last one took must not move the next one's (a finding must come
        // back from its input alone). Written in place (nothing reads the
        // state between inputs), and only when this process wrote a state
        // file since the last time: the device is the process's alone.
        static unsigned long writesSeen = 0;
        if (host::stateWrites() != writesSeen) {
            if (!host::stateRewrite(g_freshState)) {
                fprintf(stderr, "fuzz: cannot put the state file back\n");
                abort();
            }
            writesSeen = host::stateWrites();
        }
    }
    pointRun(TEXT("\\Temp\\"), -1);
    wcscpy(g_logPath, TEXT("\\Corvane.log"));
    host::clearFaults();
    ::unlink(g_log.c_str());
    int fd = host::openDeviceFile(g_input, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    size_t done = 0;
    while (fd >= 0 && done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (fd < 0 || ::close(fd) != 0 || done != size) {
        fprintf(stderr, "fuzz: cannot write the input\n");
        abort();
    }
}

std::string input() {
    std::string bytes;
    hostFile(g_input, bytes);
    return bytes;
}

void input(std::string &bytes) { hostFile(g_input, bytes); }

std::string log() {
    std::string bytes;
    return hostFile(g_log, bytes) ? bytes : "";
}

std::vector<std::string> names(const std::string &folder, bool *readable) {
    std::vector<std::string> found;
    bool whole = host::forEachEntryIn(folder, [&](const char *name) {
        found.emplace_back(name);
        return true;
    });
    if (readable) *readable = whole;
    return found;
}

std::vector<std::string> temp() { return names(g_temp); }

void check(bool ok, const char *what) {
    if (ok) return;
    fprintf(stderr, "fuzz: invariant broken: %s\n", what);
    abort();
}

}  // namespace fuzz
