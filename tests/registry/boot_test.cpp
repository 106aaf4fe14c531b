// boot_test.cpp - the warm boot of the simulated device: the round trips of
// a save, a change, a restore and a boot on both registry kinds, and what a
// damaged Restore.fdf or hive does at boot.
#include "platform/host/registry_store.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace host::reg;

namespace {

#define LIVE_EXPORT() liveExportAt(__FILE__, __LINE__)
std::string liveExportAt(const char *file, int line) {
    ::testing::ScopedTrace trace(file, line, "exporting the live registry");
    Registry reg;
    std::string why;
    EXPECT_EQ(loadRegistry(reg, kAllRoots, &why), static_cast<DWORD>(ERROR_SUCCESS)) << why;
    return exportRegedit(reg);
}

// Changes every root of the live registry: a value replaced, a key removed,
// a key added.
#define CHANGE_EVERY_ROOT() changeEveryRootAt(__FILE__, __LINE__)
void changeEveryRootAt(const char *file, int line) {
    ::testing::ScopedTrace trace(file, line, "changing the live registry");
    Registry reg;
    ASSERT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    KeyTree &hklm = reg.roots[LocalMachine];
    hklm.setValue(hklm.create(u"Ident"), Value{u"Name", REG_SZ, u16Bytes(std::u16string(u"Changed") + u'\0')});
    ASSERT_TRUE(reg.roots[CurrentUser].remove(u"Software"));
    reg.roots[ClassesRoot].create(u".new");
    ASSERT_EQ(storeRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
}

BOOL reboot() { return KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr); }

std::string sampleExport() { return exportRegedit(sampleRegistry()); }

}  // namespace

TEST(RamBoot, SavedRegistryComesBackByteForByte) {
    ts::Device dev("ram");
    CHANGE_EVERY_ROOT();  // start from something other than the default
    std::string saved = LIVE_EXPORT();
    ASSERT_TRUE(RegCopyFile(u"\\Temp\\save.img"));

    Registry reg;
    ASSERT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    reg.roots[LocalMachine].remove(u"Drivers");
    reg.roots[CurrentUser].create(u"Added\\Deep");
    ASSERT_EQ(storeRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(LIVE_EXPORT(), saved);

    ASSERT_TRUE(RegRestoreFile(u"\\Temp\\save.img"));
    ASSERT_TRUE(reboot());
    EXPECT_EQ(LIVE_EXPORT(), saved);
    EXPECT_FALSE(host::fs::exists(pendingRestorePath()));
    EXPECT_TRUE(dev.exists("/Temp/save.img"));  // the caller's file is the caller's
    EXPECT_EQ(host::stateGet("lastBoot"), "Restore.fdf applied");
    EXPECT_EQ(host::stateGet("boots"), "1");
}

TEST(RamBoot, WithoutARestoreTheRegistryStays) {
    ts::Device dev("ram");
    CHANGE_EVERY_ROOT();
    std::string changed = LIVE_EXPORT();
    ASSERT_TRUE(reboot());
    EXPECT_EQ(LIVE_EXPORT(), changed);
    EXPECT_EQ(host::stateGet("lastBoot"), "registry kept");
}

TEST(RamBoot, ARestoreThatDoesNotReadBackWholeLeavesTheDefaultRegistry) {
    std::string good;
    ASSERT_EQ(writeRamImage(sampleRegistry(), good), static_cast<DWORD>(ERROR_SUCCESS));
    std::string surplus = good;  // the first record two bytes longer than its fields: repair's work
    surplus[8] = static_cast<char>(surplus[8] + 2);
    surplus.insert(18, 2, '\0');
    surplus[4] = static_cast<char>(surplus[4] + 2);
    struct Case {
        const char *what;
        std::string image;
        const char *reason;
    };
    const Case cases[] = {
        {"cut short", good.substr(0, good.size() - 100), "totalSize is not the image's length"},
        {"a record with surplus bytes", surplus, "key record length inconsistent (record at offset 8)"},
        {"a hive backup file", std::string("XGER\x04\0\0\0abcd", 12), "no RAM registry signature"},
        {"empty", "", "shorter than the image header"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ts::Device dev("ram");
        CHANGE_EVERY_ROOT();
        dev.write("/Temp/bad.img", c.image);
        ASSERT_TRUE(RegRestoreFile(u"\\Temp\\bad.img"));
        ASSERT_TRUE(reboot());
        EXPECT_EQ(LIVE_EXPORT(), sampleExport());
        EXPECT_EQ(host::stateGet("lastBoot"),
                  std::string("Restore.fdf did not read back whole (") + c.reason + "): default registry");
        EXPECT_FALSE(host::fs::exists(pendingRestorePath()));
    }
}

// The simulator's own files are written only inside the device: into a
// folder that is one, or that a link inside the device leads to; never
// through a link or a ".." that leads out.
TEST(DeviceFiles, WrittenOnlyInsideTheDevice) {
    struct Case {
        const char *folder;  // below the device folder
        bool written;
    } cases[] = {
        {"state", true},    {"fs/Temp", true},      {"inner", true},
        {"outer", false},   {"state/../..", false}, {"fs/Temp/../../state", true},
        {"missing", false},
    };
    ts::Device dev("ram");
    const host::fs::path device = host::deviceDir();
    host::fs::create_directory_symlink(device / "fs" / "Temp", device / "inner");
    host::fs::create_directory_symlink(device.parent_path(), device / "outer");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.folder);
        host::fs::path file = device / c.folder / "x.bin";
        std::string why;
        EXPECT_EQ(writeFileAtomic(file, "bytes", &why), c.written) << why;
        std::error_code ec;
        EXPECT_EQ(host::fs::exists(file, ec), c.written);
        host::fs::remove(file, ec);
    }
}

TEST(RamBoot, ADamagedObjectStoreBecomesTheDefaultRegistry) {
    ts::Device dev("ram");
    CHANGE_EVERY_ROOT();
    ASSERT_TRUE(writeFileAtomic(objectStorePath(), "garbage", nullptr));
    SetLastError(0);
    EXPECT_FALSE(RegCopyFile(u"\\Temp\\a.img"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADDB));
    ASSERT_TRUE(reboot());
    EXPECT_EQ(LIVE_EXPORT(), sampleExport());
    EXPECT_EQ(host::stateGet("lastBoot"),
              "the object store registry is damaged: shorter than the image header: default registry");
}

TEST(HiveBoot, SavedHivesComeBackWithRegPersisted) {
    ts::Device dev("hive");
    CHANGE_EVERY_ROOT();
    Registry saved;
    ASSERT_EQ(loadRegistry(saved, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(RegSaveKey(HKEY_LOCAL_MACHINE, u"\\Temp\\sys.hv", nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSaveKey(HKEY_CURRENT_USER, u"\\Temp\\usr.hv", nullptr), ERROR_SUCCESS);

    Registry reg;
    ASSERT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    reg.roots[LocalMachine].remove(u"Drivers");
    reg.roots[ClassesRoot].remove(u"txtfile");
    reg.roots[CurrentUser].create(u"Added\\Deep");
    ASSERT_EQ(storeRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));

    // As a hive restore does it: log off, copy the user hive over user.hv,
    // hand the system hive over, delete the work files, boot.
    ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
    WCHAR profile[MAX_PATH];
    ASSERT_TRUE(SHGetSpecialFolderPath(nullptr, profile, CSIDL_PROFILE, FALSE));
    wcscat(profile, TEXT("user.hv"));
    ASSERT_TRUE(CopyFileW(u"\\Temp\\usr.hv", profile, FALSE));
    ASSERT_EQ(RegReplaceKey(HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\sys.hv", nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(DeleteFileW(u"\\Temp\\sys.hv"));
    ASSERT_TRUE(DeleteFileW(u"\\Temp\\usr.hv"));
    ASSERT_TRUE(reboot());

    KeyTree &hklm = saved.roots[LocalMachine];
    hklm.setValue(hklm.create(u""), Value{u"RegPersisted", REG_DWORD, std::string("\x01\0\0\0", 4)});
    EXPECT_EQ(LIVE_EXPORT(), exportRegedit(saved));
    EXPECT_NE(LIVE_EXPORT().find("[HKEY_LOCAL_MACHINE]\n\"RegPersisted\"=dword:00000001\n"), std::string::npos);
    EXPECT_TRUE(userLoggedOn());
    EXPECT_EQ(host::stateGet("lastBoot"), "kept system hive applied");
    EXPECT_FALSE(host::fs::exists(keptHivePath()));
    WCHAR buffer[255];
    DWORD cch = 255;
    EXPECT_TRUE(GetUserDirectory(buffer, &cch));
}

TEST(HiveBoot, WithNothingKeptTheHivesStay) {
    ts::Device dev("hive");
    CHANGE_EVERY_ROOT();
    std::string changed = LIVE_EXPORT();
    ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
    ASSERT_TRUE(reboot());
    EXPECT_EQ(LIVE_EXPORT(), changed);
    EXPECT_TRUE(userLoggedOn());
    EXPECT_EQ(host::stateGet("lastBoot"), "registry kept");
    EXPECT_EQ(host::stateGet("boots"), "1");
}

TEST(HiveBoot, ACorruptHiveBecomesACleanDefaultHive) {
    enum Damage { SystemHive, UserHive, KeptHive };
    struct Case {
        const char *what;
        Damage where;
        std::function<std::string(std::string)> damage;  // the file's new bytes from its old
        const char *record;
    };
    auto flip = [](std::string b) {
        b[b.size() / 2] = static_cast<char>(b[b.size() / 2] ^ 1);
        return b;
    };
    const Case cases[] = {
        {"system.hv garbage", SystemHive, [](std::string) { return std::string("garbage"); },
         "system.hv is corrupt: shorter than the hive header: clean default system hive"},
        {"system.hv one bit", SystemHive, flip,
         "system.hv is corrupt: hive checksum does not match: clean default system hive"},
        {"system.hv missing", SystemHive, nullptr, "system.hv is missing: clean default system hive"},
        {"user.hv one bit", UserHive, flip,
         "user.hv is corrupt: hive checksum does not match: clean default user hive"},
        {"user.hv is a system hive", UserHive,
         [](std::string) { return writeHive(sampleRegistry(), HiveKind::System); },
         "user.hv is corrupt: not a user hive: clean default user hive"},
        {"kept hive cut short", KeptHive, [](std::string b) { return b.substr(0, b.size() - 1); },
         "kept system hive is corrupt: hive length does not match the file: clean default system hive"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ts::Device dev("hive");
        CHANGE_EVERY_ROOT();
        Registry changed;
        ASSERT_EQ(loadRegistry(changed, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
        host::fs::path file = c.where == UserHive ? userHivePath() : systemHivePath();
        if (c.where == KeptHive) {
            ASSERT_EQ(RegSaveKey(HKEY_LOCAL_MACHINE, u"\\Temp\\sys.hv", nullptr), ERROR_SUCCESS);
            ASSERT_EQ(RegReplaceKey(HKEY_LOCAL_MACHINE, nullptr, u"\\Temp\\sys.hv", nullptr), ERROR_SUCCESS);
            file = keptHivePath();
        }
        std::string bytes;
        ASSERT_TRUE(readFile(file, bytes));
        if (c.damage)
            ASSERT_TRUE(writeFileAtomic(file, c.damage(bytes), nullptr));
        else
            host::fs::remove(file);
        if (c.where != KeptHive) {
            Registry reg;
            EXPECT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_BADDB));
        }

        ASSERT_TRUE(reboot());
        EXPECT_EQ(host::stateGet("lastBoot"), c.record);
        Registry expected = changed, sample = sampleRegistry();
        for (int root : hiveRoots(c.where == UserHive ? HiveKind::User : HiveKind::System))
            expected.roots[root] = sample.roots[root];  // no RegPersisted: nothing was restored
        EXPECT_EQ(LIVE_EXPORT(), exportRegedit(expected));
    }
}
