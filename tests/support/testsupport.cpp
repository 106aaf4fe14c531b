// testsupport.cpp - fresh simulated devices and whole-program runs.
#include "tests/support/testsupport.h"

#include "app/driver.h"
#include "platform/host/window.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace ts {

Device::Device(const std::string &registryKind) {
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/corvane-dev-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
    std::string error;
    if (!host::initDevice(dir_, registryKind, error)) throw std::runtime_error("initDevice: " + error);
    host::selectDevice(dir_);
    resetSystemState();
}

Device::~Device() {
    host::clearFaults();
    if (!std::getenv("CORVANE_KEEP_DEVICES")) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

fs::path Device::host(const std::string &devicePath) const {
    std::string rel = devicePath;
    for (char &c : rel)
        if (c == '\\') c = '/';
    while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
    return dir_ / "fs" / rel;
}

bool Device::exists(const std::string &devicePath) const {
    std::error_code ec;
    return fs::exists(host(devicePath), ec);
}

std::string Device::read(const std::string &devicePath) const {
    std::ifstream in(host(devicePath), std::ios::binary);
    if (!in) throw std::runtime_error("no file " + devicePath);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Device::write(const std::string &devicePath, const std::string &bytes) const {
    std::ofstream out(host(devicePath), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + devicePath);
}

std::vector<std::string> Device::ls(const std::string &deviceFolder) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(host(deviceFolder), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

static std::string drain(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

std::vector<std::string> execPrefix() {
    std::vector<std::string> words;
    const char *prefix = std::getenv("CORVANE_EXEC_PREFIX");
    std::istringstream in(prefix ? prefix : "");
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string shellQuote(const std::string &s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string command(const std::string &program, const std::vector<std::string> &args) {
    std::string line;
    for (const std::string &word : execPrefix()) line += shellQuote(word) + " ";
    line += shellQuote(program);
    for (const std::string &a : args) line += " " + shellQuote(a);
    return line;
}

RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env, double timeoutSeconds) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    // This process's environment with the changes. posix_spawn starts the
    // child without copying this process's memory first, as fork would: the
    // fault loops start thousands of runs.
    std::vector<std::string> vars;
    for (char **e = environ; *e; ++e) {
        const char *eq = std::strchr(*e, '=');
        if (!eq || env.count(std::string(*e, static_cast<size_t>(eq - *e)))) continue;
        vars.push_back(*e);
    }
    for (auto &[k, v] : env)
        if (v != "\x01") vars.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (std::string &v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> prefix = execPrefix();
    std::vector<char *> argv;
    for (std::string &word : prefix) argv.push_back(word.data());
    argv.push_back(const_cast<char *>(program.c_str()));
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);  // no controlling terminal: the prompt cannot be drawn
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        // As a shell reports a program it cannot start.
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
        RunResult r;
        r.exitCode = 127;
        return r;
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        for (auto &f : fds) {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = ::read(f.fd, buf, sizeof buf);
            if (n <= 0) {
                f.fd = -1;
                --open;
            } else {
                (&f == &fds[0] ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    r.out += drain(outPipe[0]);
    r.err += drain(errPipe[0]);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return r;
}

RunResult corvane(const std::vector<std::string> &args, const std::map<std::string, std::string> &env) {
    return run(CORVANE_BIN, args, env);
}

RunResult cedevice(const std::vector<std::string> &args, const std::map<std::string, std::string> &env) {
    return run(CEDEVICE_BIN, args, env);
}

void resetSystemState() {
    pointRun(TEXT("\\Temp\\"), 0);
    wcscpy(g_logPath, TEXT("\\Corvane.log"));
    host::clearFaults();
    host::setTrace("");
    host::resetWindows();
}

pid_t holdRunLock(int holdMs, const std::function<bool()> &releaseWhen) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t holder = fork();
    if (holder == 0) {
        HANDLE lock = CreateFileW(u"\\Temp\\corvane.lck", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        (void)!write(ready[1], lock == INVALID_HANDLE_VALUE ? "n" : "y", 1);
        if (releaseWhen)
            for (int waited = 0; waited < 120000 && !releaseWhen(); waited += 10) usleep(10 * 1000);
        else if (holdMs > 0)
            usleep(holdMs * 1000);
        else
            pause();
        _exit(0);  // the lock goes with the process
    }
    close(ready[1]);
    char c = 0;
    bool held = holder > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
    if (holder > 0 && !held) {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
    return held ? holder : -1;
}

std::u16string u16(const std::string &utf8) { return host::fromUtf8(utf8); }

std::string readFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string hex(const std::string &bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[i]));
        if (i) out += ' ';
        out += buf;
    }
    return out;
}

}  // namespace ts
