// testsupport.h - fresh simulated devices and whole-program runs for tests.
#pragma once

#include "platform/host/host.h"

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ts {

namespace fs = std::filesystem;

// A fresh device in its own temporary folder, selected for in-process calls
// (host::selectDevice) and exported as CEDEVICE for child processes. The
// system's process-wide state (logging switch, log path, temporary folder)
// is reset to its start values, with the temporary folder "\Temp\". The
// folder is removed when the Device goes.
class Device {
public:
    explicit Device(const std::string &registryKind = "ram");
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const fs::path &dir() const { return dir_; }
    // Host path of a device path ("\Temp\a.tmp" or "/Temp/a.tmp"), without
    // case folding: use the spelling the file has.
    fs::path host(const std::string &devicePath) const;
    bool exists(const std::string &devicePath) const;
    std::string read(const std::string &devicePath) const;  // whole file, bytes
    void write(const std::string &devicePath, const std::string &bytes) const;
    // Entry names in a device folder, sorted.
    std::vector<std::string> ls(const std::string &deviceFolder) const;
    // The log in the root ("\Corvane.log"), or "" when there is none.
    std::string log() const { return exists("/Corvane.log") ? read("/Corvane.log") : ""; }

private:
    fs::path dir_;
};

struct RunResult {
    int exitCode = -1;  // -1: killed or timed out
    std::string out;    // standard output
    std::string err;    // standard error
};

// The words of CORVANE_EXEC_PREFIX, split at spaces: what a program of this
// build is started through ("/usr/bin/qemu-arm -L /usr/arm-linux-gnueabi" in
// the ARM build, nothing in a native one). run() puts them before the
// program; command() before a shell command line's program.
std::vector<std::string> execPrefix();
// A word quoted for the shell: 'it'\''s'.
std::string shellQuote(const std::string &s);
// A program and its arguments as one shell command line, each word quoted,
// behind the exec prefix.
std::string command(const std::string &program, const std::vector<std::string> &args = {});

// Runs a program with the given arguments and extra environment (a value
// "\x01" removes the variable), standard input from /dev/null, no controlling
// terminal, behind the exec prefix. Killed after timeoutSeconds.
RunResult run(const std::string &program, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env = {}, double timeoutSeconds = 60);
// The program (build/corvane) and the device tool (build/cedevice).
RunResult corvane(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {});
RunResult cedevice(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {});

// Resets the system's process-wide state: logging off, default log path,
// temporary folder "\Temp\". Fault rules are cleared, and the process's
// window classes and windows are forgotten.
void resetSystemState();

// A child process that holds the run lock (\Temp\corvane.lck) of the
// selected device as a run holds it, until it ends: after holdMs
// milliseconds, or with holdMs 0 when it is killed, or as soon as releaseWhen
// (asked every 10 ms in the child) says so, within two minutes. Returns its
// pid once it holds the lock; -1 when it could not be started or could not
// take the lock. The caller waits for it (waitpid).
pid_t holdRunLock(int holdMs, const std::function<bool()> &releaseWhen = {});

// UTF-16 literal helpers for in-process calls.
std::u16string u16(const std::string &utf8);
std::string hex(const std::string &bytes);  // "b2 74 83 1d ..."

// A host file's bytes, "" when it cannot be read.
std::string readFile(const fs::path &p);

}  // namespace ts
