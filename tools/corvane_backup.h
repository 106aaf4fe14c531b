// corvane_backup.h - what the files of corvane-backup share: its FILE
// arguments (host files, or device files with a leading \), the scratch
// device that runs the system's own code on a copy, and the backups read
// into and written from the simulated registry's model.
#pragma once

#include "log/run.h"
#include "platform/host/host.h"
#include "platform/host/registry_model.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace backup {

namespace fs = std::filesystem;

// Prints "corvane-backup: message" on stderr; returns code.
int fail(const std::string &message, int code = 1);

// What a file is, from its first four bytes.
enum class Kind { Neither, Ram, Hive };
const char *kindName(Kind kind);  // "RAM registry image", "hive backup file", "neither"

// A FILE argument: a host file, or with a leading \ a file on the device
// named by CEDEVICE (the device must exist).
struct FileArg {
    std::string text;  // as the user wrote it, for messages
    fs::path host;     // where it is on the host
};
// Resolves arg. False with the reason in error.
bool resolveFile(const std::string &arg, FileArg &file, std::string &error);

// A FILE argument opened once for a verb: its kind, the check, the records
// and the scratch copy are all read from this one open file, so that a file
// replaced while a verb runs is read as it was when the verb began (never
// its kind from one file and its records from another).
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    // Opens the file and reads its first four bytes; false (error set,
    // starting with the file's text) when it cannot be opened or read, or
    // is a folder.
    bool open(const FileArg &file, std::string &error);
    const FileArg &arg() const { return arg_; }
    Kind kind() const { return kind_; }
    uint64_t size() const { return size_; }  // when it was opened
    mode_t mode() const { return mode_; }    // its permission bits
    int fd() const { return fd_; }
    // Up to cb bytes at offset into buf: the count read (0 at the end), or
    // -1 when the read failed.
    ssize_t readAt(uint64_t offset, void *buf, size_t cb) const;

private:
    FileArg arg_;
    int fd_ = -1;
    Kind kind_ = Kind::Neither;
    uint64_t size_ = 0;
    mode_t mode_ = 0;
};

// An opened file read in blocks of 4096 bytes, from its start.
class BlockReader {
public:
    static constexpr size_t kBlock = 4096;
    explicit BlockReader(const InputFile &file) : file_(file) {}
    int64_t size() const { return static_cast<int64_t>(file_.size()); }
    // The next block (empty at the end). False on a read error.
    bool next(std::string_view &block);

private:
    const InputFile &file_;
    uint64_t pos_ = 0;
    char buffer_[kBlock];
};

// A file's whole content mapped read-only (the registry formats' readers
// take it whole). Empty for an empty file.
class MappedFile {
public:
    bool open(const fs::path &path, std::string &error);
    bool open(const InputFile &file, std::string &error);
    ~MappedFile();
    std::string_view bytes() const { return {static_cast<const char *>(data_), size_}; }

private:
    bool map(int fd, std::string &error);
    void *data_ = nullptr;
    size_t size_ = 0;
};

// A simulated device of the process's own in a temporary folder, selected
// for the system's code (its temporary folder "\Temp\", logging off) while
// it lives; the previous device is selected again at the end. The device is
// made by the first Scratch of a process (one for each depth of Scratch
// objects alive) and kept: each later one finds it as it was made, its \Temp
// empty. The kept devices are removed when the process exits.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    // Host path of a file in the scratch device's \Temp.
    fs::path temp(const std::string &name) const;
    // Its device path ("\Temp\name").
    static std::u16string deviceTemp(const std::string &name);

private:
    bool ok_ = false;
    std::string error_;
    fs::path dir_;
    fs::path previous_;
    int depth_ = 0;                  // its place among the scratch devices alive
    RunState run_{};                 // the system's temporary folder and logging switch, put back at the end
    unsigned long stateWrites_ = 0;  // the process's state writes when it was selected
};

// The folders of the scratch devices this process keeps (each holds one
// device, "device"); empty before the first Scratch.
std::vector<fs::path> keptScratch();

// Copies an opened file to a host file, with its permissions; false with
// the reason.
bool copyFile(const InputFile &from, const fs::path &to, std::string &error);

// The registry that the backup at file would restore, as the device reads it
// back: the restore's own check must find the file whole, and the device
// must read its image(s) back whole. False with the reason in error.
bool loadBackup(const FileArg &file, host::reg::Registry &reg, Kind &kind, std::string &error);
// Writes reg as a backup of that kind (a RAM image, or a hive backup packed
// by the system's packHives) to target, whole or not at all: written beside
// it, then renamed over it. A target on the device is written under the
// device's run lock (DeviceFileLock). False with the reason in error.
bool writeBackup(const host::reg::Registry &reg, Kind kind, const fs::path &target, std::string &error);

// The run lock of the device (log/run.h, the one corvane takes) while a verb
// reads and writes a file on the device, so that it never meets a corvane
// run inside the replace of that file: a verb that edits a file holds it
// from the read to the write. A process takes the device's lock once,
// however many hold it; a file off the device takes nothing. Let go of at
// the end of the holder's life, with the device it was taken on selected.
class DeviceFileLock {
public:
    DeviceFileLock() = default;
    ~DeviceFileLock();
    DeviceFileLock(const DeviceFileLock &) = delete;
    DeviceFileLock &operator=(const DeviceFileLock &) = delete;
    // Takes the lock when the host file at path lies on the current device,
    // waiting for a corvane run as corvane waits for another. False with
    // the reason in error when it cannot be had.
    bool take(const fs::path &path, std::string &error);

private:
    bool held_ = false;
};

// The restore's own check of a RAM image or a hive backup file (the one the
// system's restore makes), fed with the file in blocks of 4096 bytes.
struct Verdict {
    bool whole = false;
    std::string problem;               // the first problem in words, "" when whole
    uint32_t offset = 0;               // where it is
    bool trailer = false;              // hive: the file carries its integrity trailer
    int64_t cbSystem = 0, cbUser = 0;  // hive: the images' lengths
    uint32_t records = 0, keys = 0;    // RAM: whole records read, key records among them
};
// False (error set) when the file cannot be read.
bool systemCheck(const InputFile &file, Verdict &verdict, std::string &error);

// text as a JSON string, quoted (check --json, list --json).
std::string jsonString(std::string_view text);
// Takes the word flag out of args; true when it was there.
bool takeFlag(std::vector<std::string> &args, const char *flag);

// Runs the tool: args[0] is the verb. Returns the exit code, after one line
// on stderr for a failure.
int run(const std::vector<std::string> &args);

// The verbs of corvane_backup_check.cpp; each returns the exit code.
int cmdCheck(const std::vector<std::string> &args);
int cmdList(const std::vector<std::string> &args);

}  // namespace backup
