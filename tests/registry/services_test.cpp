// services_test.cpp - the registry, user and kernel services of the simulated
// device, called in-process as the system calls them: what each does on the
// kind of device where it applies, its last-error values, exclusive
// creation, and fault injection and trace over every one of them.
#include "platform/host/registry_store.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

using namespace host::reg;

namespace {

constexpr DWORD kErrorNotLoggedOn = 1245;

// The live registry; a failure to load it is reported at the caller's line.
#define LIVE() liveAt(__FILE__, __LINE__)
Registry liveAt(const char *file, int line) {
    ::testing::ScopedTrace trace(file, line, "loading the live registry");
    Registry reg;
    std::string why;
    EXPECT_EQ(loadRegistry(reg, kAllRoots, &why), static_cast<DWORD>(ERROR_SUCCESS)) << why;
    return reg;
}

std::string readHost(const host::fs::path &p) {
    std::string bytes;
    EXPECT_TRUE(readFile(p, bytes)) << p;
    return bytes;
}

// A service call's outcome: whether it succeeded, and its error.
struct Outcome {
    bool ok;
    DWORD error;
};

Outcome boolCall(const std::function<BOOL()> &f) {
    SetLastError(0);
    BOOL r = f();
    return {r != FALSE, r ? 0 : GetLastError()};
}

Outcome longCall(const std::function<LONG()> &f) {
    LONG r = f();
    return {r == ERROR_SUCCESS, static_cast<DWORD>(r)};
}

const WCHAR *w(const std::u16string &s) { return s.c_str(); }

}  // namespace

TEST(KindContract, EachKindRefusesTheOtherKindsServices) {
    WCHAR buffer[MAX_PATH];
    DWORD cch = MAX_PATH;
    struct Case {
        const char *kind;
        const char *service;
        std::function<Outcome()> call;
    };
    const Case cases[] = {
        {"ram", "RegSaveKey",
         [] { return longCall([] { return RegSaveKey(HKEY_LOCAL_MACHINE, u"\\Temp\\a.hv", nullptr); }); }},
        {"ram", "RegReplaceKey",
         [] { return longCall([] { return RegReplaceKey(HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\a.hv", nullptr); }); }},
        {"ram", "SetCurrentUser", [] { return boolCall([] { return SetCurrentUser(nullptr, nullptr, 0, FALSE); }); }},
        {"ram", "GetUserDirectory", [&] { return boolCall([&] { return GetUserDirectory(buffer, &cch); }); }},
        {"ram", "SHGetSpecialFolderPath",
         [&] { return boolCall([&] { return SHGetSpecialFolderPath(nullptr, buffer, CSIDL_PROFILE, FALSE); }); }},
        {"hive", "RegCopyFile", [] { return boolCall([] { return RegCopyFile(u"\\Temp\\a.img"); }); }},
        {"hive", "RegRestoreFile", [] { return boolCall([] { return RegRestoreFile(u"\\Windows"); }); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.service);
        ts::Device dev(c.kind);
        Outcome o = c.call();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{});
    }
}

TEST(RegCopyFile, WritesTheWholeRegistryAsARamImage) {
    ts::Device dev("ram");
    ASSERT_TRUE(RegCopyFile(u"\\Temp\\save.img"));
    std::string expected;
    ASSERT_EQ(writeRamImage(LIVE(), expected), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(dev.read("/Temp/save.img"), expected);
    EXPECT_EQ(ts::hex(expected.substr(0, 4)), "b2 74 83 1d");
    Registry back;
    ASSERT_TRUE(readRamImage(expected, back, nullptr));
    EXPECT_EQ(exportRegedit(back), exportRegedit(sampleRegistry()));
}

TEST(RegCopyFile, CreatesItsFileExclusively) {
    struct Case {
        const char *what;
        const char16_t *path;
        const char *faults;
        DWORD error;
    };
    const Case cases[] = {
        {"file exists", u"\\Temp\\old.img", "", ERROR_ALREADY_EXISTS},
        {"file exists, other case", u"\\TEMP\\OLD.IMG", "", ERROR_ALREADY_EXISTS},
        {"folder exists there", u"\\Temp", "", ERROR_ALREADY_EXISTS},
        {"folder missing", u"\\NoSuch\\a.img", "", ERROR_PATH_NOT_FOUND},
        {"disk full", u"\\Temp\\a.img", "disk=100", ERROR_DISK_FULL},
        {"injected fault", u"\\Temp\\a.img", "RegCopyFile@1", ERROR_WRITE_FAULT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ts::Device dev("ram");
        dev.write("/Temp/old.img", "keep me");
        ASSERT_TRUE(host::setFaults(c.faults));
        SetLastError(0);
        EXPECT_FALSE(RegCopyFile(w(c.path)));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(dev.read("/Temp/old.img"), "keep me");
        EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{"old.img"});
    }
}

TEST(RegRestoreFile, KeepsACopyForTheNextBootAndLeavesTheCallersFile) {
    ts::Device dev("ram");
    SetLastError(0);
    EXPECT_FALSE(RegRestoreFile(u"\\Temp\\missing.img"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(host::fs::exists(pendingRestorePath()));

    dev.write("/Temp/work.img", "any bytes: checked at boot");
    ASSERT_TRUE(RegRestoreFile(u"\\temp\\WORK.img"));
    EXPECT_EQ(dev.read("/Temp/work.img"), "any bytes: checked at boot");
    EXPECT_EQ(readHost(pendingRestorePath()), "any bytes: checked at boot");
    EXPECT_EQ(exportRegedit(LIVE()), exportRegedit(sampleRegistry()));  // not before the boot
}

TEST(RegSaveKey, WritesTheHiveOfEachRoot) {
    ts::Device dev("hive");
    ASSERT_EQ(RegSaveKey(HKEY_LOCAL_MACHINE, u"\\Temp\\sys.hv", nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSaveKey(HKEY_CURRENT_USER, u"\\Temp\\usr.hv", nullptr), ERROR_SUCCESS);
    Registry reg = LIVE();
    EXPECT_EQ(dev.read("/Temp/sys.hv"), writeHive(reg, HiveKind::System));
    EXPECT_EQ(dev.read("/Temp/usr.hv"), writeHive(reg, HiveKind::User));
    EXPECT_EQ(dev.read("/Temp/sys.hv"), dev.read("/Documents and Settings/system.hv"));
    EXPECT_EQ(dev.read("/Temp/usr.hv"), dev.read("/Documents and Settings/default/user.hv"));
}

TEST(RegSaveKey, Refusals) {
    struct Case {
        const char *what;
        HKEY root;
        const char16_t *path;
        bool logOff;
        const char *faults;
        LONG error;
    };
    const Case cases[] = {
        {"file exists", HKEY_LOCAL_MACHINE, u"\\Temp\\old.hv", false, "", ERROR_ALREADY_EXISTS},
        {"folder missing", HKEY_CURRENT_USER, u"\\NoSuch\\a.hv", false, "", ERROR_PATH_NOT_FOUND},
        {"HKEY_CLASSES_ROOT is no hive of its own", HKEY_CLASSES_ROOT, u"\\Temp\\a.hv", false, "",
         ERROR_INVALID_PARAMETER},
        {"user logged off", HKEY_CURRENT_USER, u"\\Temp\\a.hv", true, "", ERROR_INVALID_HANDLE},
        {"injected fault", HKEY_LOCAL_MACHINE, u"\\Temp\\a.hv", false, "RegSaveKey~*\\a.hv", ERROR_WRITE_FAULT},
        {"disk full", HKEY_LOCAL_MACHINE, u"\\Temp\\a.hv", false, "disk=10", ERROR_DISK_FULL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ts::Device dev("hive");
        dev.write("/Temp/old.hv", "keep me");
        if (c.logOff) ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
        ASSERT_TRUE(host::setFaults(c.faults));
        EXPECT_EQ(RegSaveKey(c.root, w(c.path), nullptr), c.error);
        EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{"old.hv"});
        EXPECT_EQ(dev.read("/Temp/old.hv"), "keep me");
    }
    ts::Device dev("hive");
    ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
    EXPECT_EQ(RegSaveKey(HKEY_LOCAL_MACHINE, u"\\Temp\\sys.hv", nullptr),
              ERROR_SUCCESS);  // the system hive stays loaded
}

TEST(RegReplaceKey, KeepsItsOwnCopy) {
    ts::Device dev("hive");
    dev.write("/Temp/new.hv", "the next system hive");
    ASSERT_EQ(RegReplaceKey(HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\new.hv", nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(DeleteFileW(u"\\Temp\\new.hv"));
    EXPECT_EQ(readHost(keptHivePath()), "the next system hive");
    EXPECT_EQ(exportRegedit(LIVE()), exportRegedit(sampleRegistry()));  // not before the boot

    struct Case {
        const char *what;
        HKEY key;
        const char16_t *subKey;
        const char16_t *newFile;
        const char16_t *oldFile;
        LONG error;
    };
    const Case cases[] = {
        {"missing file", HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\none.hv", nullptr, ERROR_FILE_NOT_FOUND},
        {"a folder", HKEY_LOCAL_MACHINE, nullptr, u"\\Temp", nullptr, ERROR_FILE_NOT_FOUND},
        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER, nullptr, u"\\Temp\\x.hv", nullptr, ERROR_INVALID_PARAMETER},
        {"a subkey", HKEY_LOCAL_MACHINE, u"Software", u"\\Temp\\x.hv", nullptr, ERROR_INVALID_PARAMETER},
        {"an old file", HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\x.hv", u"\\Temp\\old.hv", ERROR_INVALID_PARAMETER},
        {"no file", HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, ERROR_INVALID_PARAMETER},
    };
    std::error_code ec;
    host::fs::remove(keptHivePath(), ec);
    dev.write("/Temp/x.hv", "x");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RegReplaceKey(c.key, c.subKey ? w(c.subKey) : nullptr, c.newFile ? w(c.newFile) : nullptr,
                                c.oldFile ? w(c.oldFile) : nullptr),
                  c.error);
        EXPECT_FALSE(host::fs::exists(keptHivePath()));
    }
}

TEST(Users, ProfileFolderEndsInASeparatorAndNamesTheUserHive) {
    ts::Device dev("hive");
    WCHAR buffer[255] = {};
    DWORD cch = 255;
    ASSERT_TRUE(GetUserDirectory(buffer, &cch));
    EXPECT_EQ(host::toUtf8(buffer), "\\Documents and Settings\\default\\");
    EXPECT_EQ(cch, 32u);
    wcscat(buffer, TEXT("user.hv"));
    FILE *f = _wfopen(buffer, TEXT("rb"));
    ASSERT_NE(f, nullptr);
    char magic[4] = {};
    EXPECT_EQ(fread(magic, 1, 4, f), 4u);
    fclose(f);
    EXPECT_EQ(std::string(magic, 4), "CEHV");

    WCHAR shell[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPath(nullptr, shell, CSIDL_PROFILE, FALSE));
    EXPECT_EQ(host::toUtf8(shell), "\\Documents and Settings\\default\\");

    WCHAR small[10];
    cch = 10;
    SetLastError(0);
    EXPECT_FALSE(GetUserDirectory(small, &cch));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cch, 33u);
    SetLastError(0);
    EXPECT_FALSE(SHGetSpecialFolderPath(nullptr, shell, 0x05, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Users, LoggedOffUnloadsTheUsersHiveUntilLoggedOnAgain) {
    ts::Device dev("hive");
    ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
    ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));  // already off: still fine
    EXPECT_FALSE(userLoggedOn());
    WCHAR buffer[255];
    DWORD cch = 255;
    SetLastError(0);
    EXPECT_FALSE(GetUserDirectory(buffer, &cch));
    EXPECT_EQ(GetLastError(), kErrorNotLoggedOn);
    // The shell's look-up still names the folder: the fallback of a restore.
    EXPECT_TRUE(SHGetSpecialFolderPath(nullptr, buffer, CSIDL_PROFILE, FALSE));
    EXPECT_FALSE(LIVE().loaded[CurrentUser]);

    // While logged off user.hv may be overwritten.
    ASSERT_TRUE(
        CopyFileW(u"\\Documents and Settings\\system.hv", u"\\Documents and Settings\\default\\user.hv", FALSE));

    SetLastError(0);
    EXPECT_FALSE(SetCurrentUser(const_cast<WCHAR *>(u"guest"), nullptr, 0, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // Logging on checks the hive as a boot does: a system hive is no user hive.
    ASSERT_TRUE(SetCurrentUser(const_cast<WCHAR *>(u"Default"), nullptr, 0, FALSE));
    EXPECT_TRUE(userLoggedOn());
    Registry reg = LIVE();
    EXPECT_TRUE(reg.loaded[CurrentUser]);
    EXPECT_TRUE(reg.roots[CurrentUser] == sampleRegistry().roots[CurrentUser]);
    cch = 255;
    EXPECT_TRUE(GetUserDirectory(buffer, &cch));
}

TEST(KernelIoControl, RebootsWarmAndReturns) {
    ts::Device dev("ram");
    SetLastError(0);
    EXPECT_FALSE(KernelIoControl(0x01010040, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(host::stateGet("boots"), "0");
    EXPECT_TRUE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_TRUE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(host::stateGet("boots"), "2");
    EXPECT_EQ(host::stateGet("lastBoot"), "registry kept");
}

TEST(FaultInjection, EveryServiceFailsAsTheDeviceWouldAndChangesNothing) {
    struct Case {
        const char *kind;
        const char *service;
        std::function<Outcome()> call;
        DWORD error;
    };
    WCHAR buffer[MAX_PATH];
    DWORD cch = MAX_PATH;
    const Case cases[] = {
        {"ram", "RegCopyFile", [] { return boolCall([] { return RegCopyFile(u"\\Temp\\a.img"); }); },
         ERROR_WRITE_FAULT},
        {"ram", "RegRestoreFile", [] { return boolCall([] { return RegRestoreFile(u"\\Temp\\in.img"); }); },
         ERROR_READ_FAULT},
        {"hive", "RegSaveKey",
         [] { return longCall([] { return RegSaveKey(HKEY_CURRENT_USER, u"\\Temp\\a.hv", nullptr); }); },
         ERROR_WRITE_FAULT},
        {"hive", "RegReplaceKey",
         [] { return longCall([] { return RegReplaceKey(HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\in.img", nullptr); }); },
         ERROR_WRITE_FAULT},
        {"hive", "SetCurrentUser", [] { return boolCall([] { return SetCurrentUser(nullptr, nullptr, 0, FALSE); }); },
         ERROR_GEN_FAILURE},
        {"hive", "GetUserDirectory", [&] { return boolCall([&] { return GetUserDirectory(buffer, &cch); }); },
         kErrorNotLoggedOn},
        {"hive", "SHGetSpecialFolderPath",
         [&] { return boolCall([&] { return SHGetSpecialFolderPath(nullptr, buffer, CSIDL_PROFILE, FALSE); }); },
         ERROR_PATH_NOT_FOUND},
        {"ram", "KernelIoControl",
         [] { return boolCall([] { return KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr); }); },
         ERROR_GEN_FAILURE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.service);
        ts::Device dev(c.kind);
        dev.write("/Temp/in.img", "input");
        std::string stateBefore = readHost(host::stateDir() / "device.txt");
        ASSERT_TRUE(host::setFaults(std::string(c.service) + "@1"));
        Outcome o = c.call();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, c.error);
        EXPECT_EQ(host::faultsFired(), 1);
        EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{"in.img"});
        EXPECT_EQ(readHost(host::stateDir() / "device.txt"), stateBefore);
        EXPECT_FALSE(host::fs::exists(pendingRestorePath()));
        EXPECT_FALSE(host::fs::exists(keptHivePath()));
        EXPECT_TRUE(c.call().ok);  // the second call is not faulted
    }
}

TEST(Trace, EveryServiceWritesOneLine) {
    ts::Device dev("hive");
    host::fs::path trace = dev.dir() / "trace.txt";
    host::setTrace(trace.string());
    WCHAR buffer[255];
    DWORD cch = 255;
    RegSaveKey(HKEY_LOCAL_MACHINE, u"\\Temp\\s.hv", nullptr);
    RegSaveKey(HKEY_LOCAL_MACHINE, u"\\Temp\\s.hv", nullptr);
    RegReplaceKey(HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\s.hv", nullptr);
    RegCopyFile(u"\\Temp\\c.img");
    RegRestoreFile(u"\\Temp\\c.img");
    GetUserDirectory(buffer, &cch);
    SetCurrentUser(nullptr, nullptr, 0, FALSE);
    SHGetSpecialFolderPath(nullptr, buffer, CSIDL_PROFILE, FALSE);
    KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
    host::setTrace("");
    std::ifstream in(trace);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "RegSaveKey(0x80000002, \"\\Temp\\s.hv\") = 0\n"
              "RegSaveKey(0x80000002, \"\\Temp\\s.hv\") = 183 [error 183]\n"
              "RegReplaceKey(0x80000002, NULL, \"\\Temp\\s.hv\", NULL) = 0\n"
              "RegCopyFile(\"\\Temp\\c.img\") = 0 [error 50]\n"
              "RegRestoreFile(\"\\Temp\\c.img\") = 0 [error 50]\n"
              "GetUserDirectory(255) = 1\n"
              "SetCurrentUser(NULL) = 1\n"
              "SHGetSpecialFolderPath(0x28) = 1\n"
              "KernelIoControl(0x101003c) = 1\n");
}

TEST(Users, HiveFilesInUseCannotBeWrittenReplacedOrDeleted) {
    struct Case {
        const char *what;
        std::function<Outcome(const char16_t *)> call;
    };
    const Case cases[] = {
        {"CopyFileW onto it",
         [](const char16_t *p) { return boolCall([&] { return CopyFileW(u"\\Temp\\in.hv", p, FALSE); }); }},
        {"DeleteFileW", [](const char16_t *p) { return boolCall([&] { return DeleteFileW(p); }); }},
        {"_wfopen r+b",
         [](const char16_t *p) {
             SetLastError(0);
             FILE *f = _wfopen(p, u"r+b");
             if (f) fclose(f);
             return Outcome{f != nullptr, f ? 0 : GetLastError()};
         }},
        {"_wfopen w+b",
         [](const char16_t *p) {
             SetLastError(0);
             FILE *f = _wfopen(p, u"w+b");
             if (f) fclose(f);
             return Outcome{f != nullptr, f ? 0 : GetLastError()};
         }},
    };
    const char16_t *systemHive = u"\\documents and settings\\SYSTEM.HV";
    const char16_t *userHive = u"\\Documents and Settings\\default\\user.hv";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ts::Device dev("hive");
        dev.write("/Temp/in.hv", "new");
        std::string system = dev.read("/Documents and Settings/system.hv");
        std::string user = dev.read("/Documents and Settings/default/user.hv");
        Outcome o = c.call(systemHive);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        o = c.call(userHive);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(dev.read("/Documents and Settings/system.hv"), system);
        EXPECT_EQ(dev.read("/Documents and Settings/default/user.hv"), user);

        ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
        EXPECT_TRUE(c.call(userHive).ok);  // logged off: user.hv is free
        EXPECT_FALSE(c.call(systemHive).ok);
    }
    // Reading a hive is allowed, and on a ram device these are plain files.
    ts::Device hive("hive");
    FILE *f = _wfopen(systemHive, u"rb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ts::Device ram("ram");
    ram.write("/Documents and Settings/system.hv", "plain");
    EXPECT_TRUE(DeleteFileW(systemHive));
}
