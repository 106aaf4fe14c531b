// support.cpp - the fuzz targets' device, file and check helpers.
#include "fuzz/support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/host/host.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

fs::path g_device;

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
    atexit([] {
        removeDevice();
        std::error_code ec;
        fs::remove(g_device.parent_path(), ec);
    });
}

fs::path hostPath(const std::string &rel) { return g_device / "fs" / rel; }

std::string readFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

void prepare(const uint8_t *data, size_t size, const char *registryKind) {
    if (g_device.empty()) makeDevice(registryKind);
    g_logging = -1;
    wcscpy(g_logPath, TEXT("\\Corvane.log"));
    wcscpy(g_tempDir, TEXT("\\Temp\\"));
    host::clearFaults();
    std::error_code ec;
    fs::remove(hostPath("Corvane.log"), ec);
    std::ofstream out(hostPath("My Documents/input.img"), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out) {
        fprintf(stderr, "fuzz: cannot write the input\n");
        abort();
    }
}

std::string input() { return readFile(hostPath("My Documents/input.img")); }

std::string log() {
    std::error_code ec;
    return fs::exists(hostPath("Corvane.log"), ec) ? readFile(hostPath("Corvane.log")) : "";
}

std::vector<std::string> temp() {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(hostPath("Temp"), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

void check(bool ok, const char *what) {
    if (ok) return;
    fprintf(stderr, "fuzz: invariant broken: %s\n", what);
    abort();
}

}  // namespace fuzz
