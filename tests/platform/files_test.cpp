// File services: temporary folder and names, copy, delete, find.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

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
