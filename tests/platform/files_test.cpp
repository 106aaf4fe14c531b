// File services: temporary folder and names, copy, delete, find.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(TempPath, GivesTheTempFolderOrTheSizeItNeeds) {
    ts::Device dev;
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), 6u);
    EXPECT_EQ(std::u16string(buf), u"\\Temp\\");
    EXPECT_EQ(GetTempPathW(6, buf), 7u);  // too small: the size needed, terminator included
    EXPECT_EQ(GetTempPathW(7, buf), 6u);
}

TEST(TempFileName, MakesUniqueEmptyFilesFromThePrefix) {
    ts::Device dev;
    WCHAR a[MAX_PATH], b[MAX_PATH];
    UINT na = GetTempFileNameW(u"\\Temp\\", u"NEWER", 0, a);
    UINT nb = GetTempFileNameW(u"\\Temp", u"NEW", 0, b);
    ASSERT_NE(na, 0u);
    ASSERT_NE(nb, 0u);
    EXPECT_NE(na, nb);
    char expectA[32], expectB[32];
    snprintf(expectA, sizeof expectA, "\\Temp\\NEW%X.tmp", na);
    snprintf(expectB, sizeof expectB, "\\Temp\\NEW%X.tmp", nb);
    EXPECT_EQ(host::toUtf8(a), expectA);
    EXPECT_EQ(host::toUtf8(b), expectB);
    EXPECT_EQ(dev.read(std::string(expectA).substr(0)), "");  // made, and empty
    EXPECT_EQ(dev.ls("/Temp").size(), 2u);
}

TEST(TempFileName, SkipsNamesThatExist) {
    ts::Device dev;
    WCHAR name[MAX_PATH];
    UINT first = GetTempFileNameW(u"\\Temp\\", u"rep", 0, name);
    ASSERT_NE(first, 0u);
    // Make the next few names exist already, as another program might have.
    for (UINT n = first + 1; n < first + 4; ++n) {
        char next[32];
        snprintf(next, sizeof next, "/Temp/rep%X.tmp", n);
        dev.write(next, "taken");
    }
    UINT second = GetTempFileNameW(u"\\Temp\\", u"rep", 0, name);
    EXPECT_EQ(second, first + 4);
}

// The counter the device keeps in its state file, as a new device has it,
// as older devices may (absent, fewer digits) and as a crash or a hand may
// leave it: the next name, and the counter written back at five digits with
// the rest of the state as it was.
TEST(TempFileName, TakesTheNextNumberFromTheStateFile) {
    struct Case {
        const char *stored;  // nullptr: no such key
        UINT taken;
        const char *after;
    } cases[] = {
        {"00000", 1, "00001"}, {nullptr, 1, "00001"}, {"12", 13, "00013"}, {"00041", 42, "00042"},
        {"65535", 1, "00001"}, {"x7", 1, "00001"},    {"", 1, "00001"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(none)");
        ts::Device dev;
        host::DeviceState state = host::stateRead();
        EXPECT_EQ(state["tempCounter"], "00000");  // a new device's
        if (c.stored)
            state["tempCounter"] = c.stored;
        else
            state.erase("tempCounter");
        host::stateWrite(state);
        // Every write of this device's state moves its count of writes;
        // another device's writes do not.
        const unsigned long seen = host::stateWrites();
        const host::fs::path mine = host::deviceDir();
        std::string error;
        ASSERT_TRUE(host::initDevice(dev.dir() / "other", "ram", error)) << error;
        host::selectDevice(dev.dir() / "other");
        host::stateSet("boots", "1");
        host::selectDevice(mine);
        EXPECT_EQ(host::stateWrites(), seen);
        WCHAR name[MAX_PATH];
        EXPECT_EQ(GetTempFileNameW(u"\\Temp\\", u"rep", 0, name), c.taken);
        EXPECT_NE(host::stateWrites(), seen);
        state["tempCounter"] = c.after;
        EXPECT_EQ(host::stateRead(), state);
    }
}

TEST(TempFileName, FailsForAMissingFolderOrANameTooLong) {
    ts::Device dev;
    WCHAR name[MAX_PATH];
    SetLastError(0);
    EXPECT_EQ(GetTempFileNameW(u"\\NoSuchFolder\\", u"NEW", 0, name), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    std::string longFolder = "/" + std::string(250, 'f');
    host::fs::create_directory(dev.host(longFolder));
    std::u16string wide = ts::u16(longFolder + "/");
    EXPECT_EQ(GetTempFileNameW(wide.c_str(), u"NEW", 0, name), 0u);  // 252 + NEW + n + .tmp > 259
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

struct CopyCase {
    const char *name;
    bool targetExists;
    BOOL failIfExists;
    const char *target;
    BOOL result;
    DWORD error;
};

TEST(CopyFile, Contract) {
    const CopyCase cases[] = {
        {"new target", false, FALSE, "/My Documents/b.reg", TRUE, 0},
        {"replaces", true, FALSE, "/My Documents/b.reg", TRUE, 0},
        {"fail if exists", true, TRUE, "/My Documents/b.reg", FALSE, ERROR_FILE_EXISTS},
        {"missing folder", false, FALSE, "/Nope/b.reg", FALSE, ERROR_PATH_NOT_FOUND},
        {"onto a folder", false, FALSE, "/Windows", FALSE, ERROR_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        dev.write("/Temp/src.bin", std::string("\x00\x01source", 8));
        if (c.targetExists) dev.write(c.target, "old content that is longer");
        std::u16string target = ts::u16(c.target);
        SetLastError(0);
        EXPECT_EQ(CopyFileW(u"\\Temp\\src.bin", target.c_str(), c.failIfExists), c.result);
        if (c.result) {
            EXPECT_EQ(dev.read(c.target), std::string("\x00\x01source", 8));
        } else {
            EXPECT_EQ(GetLastError(), c.error);
            if (c.targetExists) EXPECT_EQ(dev.read(c.target), "old content that is longer");
        }
    }
}

// Bytes that differ from one position to the next, so that a wrong offset
// shows.
std::string pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}

// A copy overwrites its target in place, as the device's does: one that
// fails part way leaves only what was written, the old content gone, and
// nothing beside it. The target's old 8192 bytes are room on the disk again.
TEST(CopyFile, FailingPartWayLeavesOnlyWhatWasWritten) {
    struct Case {
        const char *rules;
        size_t kept;  // bytes of the source the target holds afterwards
    } cases[] = {
        {"disk=5000", 5000 + 8192},
        {"disk=57345", 65537},  // a piece and one byte
        {"disk=0", 8192},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rules);
        ts::Device dev;
        std::string source = pattern(100000);
        dev.write("/Temp/src", source);
        dev.write("/My Documents/b.reg", std::string(8192, 'o'));
        ASSERT_TRUE(host::setFaults(c.rules));
        SetLastError(0);
        EXPECT_FALSE(CopyFileW(u"\\Temp\\src", u"\\My Documents\\b.reg", FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
        EXPECT_EQ(dev.read("/My Documents/b.reg"), source.substr(0, c.kept));
        EXPECT_EQ(dev.ls("/My Documents"), std::vector<std::string>{"b.reg"});
    }
}

// A copy refused for any reason never opens its target: it stays as it was.
TEST(CopyFile, RefusalsLeaveTheTargetAlone) {
    struct Case {
        const char *name;
        const char *kind;
        const char *source;
        const char *target;
        const char *targetAsStored;  // the target's spelling on the host
        BOOL failIfExists;
        DWORD error;
    } cases[] = {
        {"missing source", "ram", "\\Temp\\none", "\\Temp\\old", "/Temp/old", FALSE, ERROR_FILE_NOT_FOUND},
        {"fail if exists", "ram", "\\Temp\\src", "\\Temp\\old", "/Temp/old", TRUE, ERROR_FILE_EXISTS},
        {"read-only target", "ram", "\\Temp\\src", "\\Temp\\ro", "/Temp/ro", FALSE, ERROR_ACCESS_DENIED},
        {"same file", "ram", "\\Temp\\old", "\\TEMP\\OLD", "/Temp/old", FALSE, ERROR_SHARING_VIOLATION},
        {"hive in use", "hive", "\\Temp\\src", "\\Documents and Settings\\system.hv",
         "/Documents and Settings/system.hv", FALSE, ERROR_SHARING_VIOLATION},
        {"injected fault", "ram", "\\Temp\\src", "\\Temp\\old", "/Temp/old", FALSE, ERROR_WRITE_FAULT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev(c.kind);
        dev.write("/Temp/src", "new");
        dev.write("/Temp/old", "old content");
        dev.write("/Temp/ro", "old content");
        chmod(dev.host("/Temp/ro").c_str(), 0444);
        std::string before = dev.read(c.targetAsStored);
        if (std::string(c.name) == "injected fault") ASSERT_TRUE(host::setFaults("CopyFileW@1"));
        std::u16string source = ts::u16(c.source), target = ts::u16(c.target);
        SetLastError(0);
        EXPECT_FALSE(CopyFileW(source.c_str(), target.c_str(), c.failIfExists));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(dev.read(c.targetAsStored), before);
    }
}

// The files of a folder and what they hold: "a=A b=B".
std::string contents(const ts::Device &dev, const std::string &folder) {
    std::string out;
    for (const std::string &name : dev.ls(folder)) {
        if (host::fs::is_directory(dev.host(folder + "/" + name))) continue;
        out += (out.empty() ? "" : " ") + name + "=" + dev.read(folder + "/" + name);
    }
    return out;
}

struct MoveCase {
    const char *name;
    const char *kind;
    const char *from;
    const char *to;
    BOOL result;
    DWORD error;
    const char *after;  // contents of \Temp, then of \My Documents
};

TEST(MoveFile, Contract) {
    const MoveCase cases[] = {
        {"renames", "ram", "\\Temp\\a", "\\Temp\\c", TRUE, 0, "b=B c=A | "},
        {"into another folder", "ram", "\\temp\\A", "\\My Documents\\m.reg", TRUE, 0, "b=B | m.reg=A"},
        {"new spelling of the same name", "ram", "\\Temp\\a", "\\Temp\\A", TRUE, 0, "A=A b=B | "},
        {"new exists", "ram", "\\Temp\\a", "\\Temp\\B", FALSE, ERROR_ALREADY_EXISTS, "a=A b=B | "},
        {"missing source", "ram", "\\Temp\\none", "\\Temp\\c", FALSE, ERROR_FILE_NOT_FOUND, "a=A b=B | "},
        {"missing folder of new", "ram", "\\Temp\\a", "\\Nope\\c", FALSE, ERROR_PATH_NOT_FOUND, "a=A b=B | "},
        {"hive in use", "hive", "\\Documents and Settings\\system.hv", "\\Temp\\s.hv", FALSE, ERROR_SHARING_VIOLATION,
         "a=A b=B | "},
        {"folder holding a hive in use", "hive", "\\Documents and Settings", "\\Docs", FALSE, ERROR_SHARING_VIOLATION,
         "a=A b=B | "},
        {"injected fault", "ram", "\\Temp\\a", "\\Temp\\c", FALSE, ERROR_ACCESS_DENIED, "a=A b=B | "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev(c.kind);
        dev.write("/Temp/a", "A");
        dev.write("/Temp/b", "B");
        std::string docs = contents(dev, "/Documents and Settings");
        if (std::string(c.name) == "injected fault") ASSERT_TRUE(host::setFaults("MoveFileW@1"));
        std::u16string from = ts::u16(c.from), to = ts::u16(c.to);
        SetLastError(0);
        EXPECT_EQ(MoveFileW(from.c_str(), to.c_str()), c.result);
        if (!c.result) EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(contents(dev, "/Temp") + " | " + contents(dev, "/My Documents"), c.after);
        EXPECT_EQ(contents(dev, "/Documents and Settings"), docs);
    }
}

TEST(DeleteFile, Contract) {
    ts::Device dev;
    dev.write("/Temp/a", "a");
    dev.write("/Temp/ro", "r");
    chmod(dev.host("/Temp/ro").c_str(), 0444);
    SetLastError(0);
    EXPECT_TRUE(DeleteFileW(u"\\TEMP\\A"));
    EXPECT_FALSE(dev.exists("/Temp/a"));
    EXPECT_FALSE(DeleteFileW(u"\\Temp\\a"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(u"\\Temp\\ro"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(u"\\Temp"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Share modes, as a CE file system honours them: while a handle is open,
// what a second handle, a stream, a copy, a delete and a rename of its file
// do; and all of them once it is closed.
TEST(ShareMode, Contract) {
    const DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = R | W, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
    struct Case {
        const char *name;
        DWORD access, share;  // the open handle's
        const char *op;
        DWORD error;  // 0: allowed
    };
    const Case cases[] = {
        {"exclusive: a second handle", RW, 0, "open R share RW", ERROR_SHARING_VIOLATION},
        {"exclusive: a handle for neither reading nor writing", RW, 0, "open - share RW", 0},
        {"exclusive: a stream", RW, 0, "fopen rb", ERROR_SHARING_VIOLATION},
        {"exclusive: a stream that would empty it", RW, 0, "fopen w+b", ERROR_SHARING_VIOLATION},
        {"exclusive: a copy from it", RW, 0, "copy from", ERROR_SHARING_VIOLATION},
        {"exclusive: a copy over it", RW, 0, "copy over", ERROR_SHARING_VIOLATION},
        {"exclusive: delete", RW, 0, "delete", ERROR_SHARING_VIOLATION},
        {"exclusive: rename", RW, 0, "move", ERROR_SHARING_VIOLATION},
        {"shared reading: another reader", R, SR, "open R share R", 0},
        {"shared reading: a writer", R, SR, "open RW share RW", ERROR_SHARING_VIOLATION},
        {"shared reading: one that shares nothing", R, SR, "open R share 0", ERROR_SHARING_VIOLATION},
        {"shared reading: a stream reads", R, SR, "fopen rb", 0},
        {"shared reading: a stream writes", R, SR, "fopen r+b", ERROR_SHARING_VIOLATION},
        {"shared reading: a copy from it", R, SR, "copy from", 0},
        {"shared reading: a copy over it", R, SR, "copy over", ERROR_SHARING_VIOLATION},
        {"shared reading and writing: delete", RW, SR | SW, "delete", ERROR_SHARING_VIOLATION},
        {"shared reading and writing: a stream writes", RW, SR | SW, "fopen r+b", 0},
    };
    auto run = [](const std::string &op) -> DWORD {
        SetLastError(0);
        auto open = [](DWORD access, DWORD share) {
            HANDLE h = CreateFileW(u"\\Temp\\f", access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE) return false;
            CloseHandle(h);
            return true;
        };
        auto stream = [](const char16_t *mode) {
            FILE *f = _wfopen(u"\\Temp\\f", mode);
            if (f) fclose(f);
            return f != nullptr;
        };
        bool ok = op == "open R share RW"    ? open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE)
                  : op == "open - share RW"  ? open(0, FILE_SHARE_READ | FILE_SHARE_WRITE)
                  : op == "open R share R"   ? open(GENERIC_READ, FILE_SHARE_READ)
                  : op == "open RW share RW" ? open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE)
                  : op == "open R share 0"   ? open(GENERIC_READ, 0)
                  : op == "fopen rb"         ? stream(u"rb")
                  : op == "fopen r+b"        ? stream(u"r+b")
                  : op == "fopen w+b"        ? stream(u"w+b")
                  : op == "copy from"        ? CopyFileW(u"\\Temp\\f", u"\\Temp\\g", FALSE)
                  : op == "copy over"        ? CopyFileW(u"\\Temp\\o", u"\\Temp\\f", FALSE)
                  : op == "delete"           ? DeleteFileW(u"\\Temp\\f")
                                             : MoveFileW(u"\\Temp\\f", u"\\Temp\\m");
        return ok ? 0 : GetLastError();
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        dev.write("/Temp/f", "held");
        dev.write("/Temp/o", "other");
        HANDLE h = CreateFileW(u"\\Temp\\f", c.access, c.share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(run(c.op), c.error);
        if (c.error) EXPECT_EQ(dev.read("/Temp/f"), "held");  // refused before it touched the file
        EXPECT_TRUE(CloseHandle(h));
        if (c.error && dev.exists("/Temp/f")) EXPECT_EQ(run(c.op), 0u) << "once the handle is closed";
    }
}

TEST(CreateFile, Dispositions) {
    ts::Device dev;
    dev.write("/Temp/there", "bytes");
    struct Case {
        const char *path;
        DWORD disposition;
        DWORD error;        // the last error, after a success too
        const char *after;  // the file's bytes afterwards; nullptr: no file
    };
    const Case cases[] = {
        {"\\Temp\\there", OPEN_ALWAYS, ERROR_ALREADY_EXISTS, "bytes"},
        {"\\Temp\\new1", OPEN_ALWAYS, 0, ""},
        {"\\Temp\\there", OPEN_EXISTING, 0, "bytes"},
        {"\\Temp\\none", OPEN_EXISTING, ERROR_FILE_NOT_FOUND, nullptr},
        {"\\Temp\\there", CREATE_NEW, ERROR_FILE_EXISTS, "bytes"},
        {"\\Temp\\new2", CREATE_NEW, 0, ""},
        {"\\Temp\\there", TRUNCATE_EXISTING, 0, ""},
        {"\\Nope\\x", OPEN_ALWAYS, ERROR_PATH_NOT_FOUND, nullptr},
        {"\\Temp", OPEN_EXISTING, ERROR_ACCESS_DENIED, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path + std::string(" ") + std::to_string(c.disposition));
        SetLastError(12345);
        std::u16string path = ts::u16(c.path);
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.error == 0 || c.error == ERROR_ALREADY_EXISTS);
        if (h != INVALID_HANDLE_VALUE) EXPECT_TRUE(CloseHandle(h));
        if (c.after) EXPECT_EQ(dev.read(c.path), c.after);
    }
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A handle holds across processes, and a process that ends, however it
// ends, holds nothing more: a second process is refused while the first
// holds the file, then let in once it is killed.
TEST(ShareMode, HeldAcrossProcessesUntilTheHolderEnds) {
    ts::Device dev;
    pid_t child = ts::holdRunLock(0);
    ASSERT_GT(child, 0);
    SetLastError(0);
    EXPECT_EQ(CreateFileW(u"\\Temp\\corvane.lck", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(u"\\Temp\\corvane.lck"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    HANDLE h = CreateFileW(u"\\Temp\\corvane.lck", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(DeleteFileW(u"\\Temp\\corvane.lck"));
}

TEST(FindFile, WildcardsWithoutRegardToCaseFilesAndFolders) {
    ts::Device dev;
    static_assert(sizeof(WIN32_FIND_DATAW) == 560, "the device's find record is 560 bytes");
    dev.write("/Temp/report.TXT", "12345");
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(u"*flash*", &data);  // no folder part: the root
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(host::toUtf8(data.cFileName), "ResidentFlash");
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(FindClose(h));

    h = FindFirstFileW(u"\\temp\\R?PORT.*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(host::toUtf8(data.cFileName), "report.TXT");
    EXPECT_EQ(data.nFileSizeLow, 5u);
    FindClose(h);

    SetLastError(0);
    EXPECT_EQ(FindFirstFileW(u"\\Temp\\*.none", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace

namespace {

void onAlarm(int) {}

// Signals arrive (a profiler's or a fuzzer's timer); a copy does not fail
// because one interrupted it.
TEST(CopyFile, SignalsDoNotFailACopy) {
    ts::Device dev;
    dev.write("/Temp/src", std::string(4 << 20, 'x'));
    struct sigaction sa = {}, old = {};
    sa.sa_handler = onAlarm;  // no SA_RESTART: system calls return EINTR
    sigaction(SIGALRM, &sa, &old);
    itimerval tick = {{0, 200}, {0, 200}}, off = {};
    setitimer(ITIMER_REAL, &tick, nullptr);
    int failed = 0;
    for (int i = 0; i < 40; ++i) failed += !CopyFileW(u"\\Temp\\src", u"\\Temp\\dst", FALSE);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(dev.read("/Temp/dst").size(), 4u << 20);
}

}  // namespace
