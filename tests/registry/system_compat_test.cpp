// system_compat_test.cpp - the simulated registry as the program's own code
// uses it: detectSig names the RAM registry image the device writes, a
// repair leaves it byte for byte, after a reorder it restores the same
// registry; a hive backup saved and restored by the hive code, then a warm
// boot, gives back the saved registry.
#include "platform/host/registry_store.h"
#include "hive/hive.h"
#include "ramimage/ramimage.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

using namespace host::reg;

namespace {

std::string liveExport() {
    Registry reg;
    EXPECT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    return exportRegedit(reg);
}

}  // namespace

TEST(RamImageCompat, DetectedAndLeftUnchangedByRepair) {
    ts::Device dev("ram");
    ASSERT_TRUE(RegCopyFile(u"\\Temp\\save.img"));
    std::string written = dev.read("/Temp/save.img");
    EXPECT_EQ(detectSig(u"\\Temp\\save.img"), KIND_RAM);
    EXPECT_EQ(repair(u"\\Temp\\save.img"), 0);
    EXPECT_EQ(ts::hex(dev.read("/Temp/save.img")), ts::hex(written));
}

TEST(RamImageCompat, ReorderedImageRestoresTheSameRegistry) {
    ts::Device dev("ram");
    std::string saved = liveExport();
    ASSERT_TRUE(RegCopyFile(u"\\Temp\\save.img"));
    std::string written = dev.read("/Temp/save.img");
    EXPECT_EQ(reorder(u"\\Temp\\save.img"), 1);
    ASSERT_NE(dev.read("/Temp/save.img"), written);  // the records moved
    ASSERT_EQ(dev.read("/Temp/save.img").size(), written.size());

    Registry reg;
    ASSERT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    reg.roots[LocalMachine].remove(u"Ident");
    ASSERT_EQ(storeRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));

    ASSERT_TRUE(RegRestoreFile(u"\\Temp\\save.img"));
    ASSERT_TRUE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(host::stateGet("lastBoot"), "Restore.fdf applied");
    EXPECT_EQ(liveExport(), saved);
}

TEST(HiveBackupCompat, SavedAndRestoredHivesComeBackAfterTheBoot) {
    ts::Device dev("hive");
    ASSERT_EQ(corvaneHv(u"\\My Documents\\backup.bin"), 0);
    Registry saved;
    ASSERT_EQ(loadRegistry(saved, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));

    Registry reg = saved;
    reg.roots[LocalMachine].remove(u"Ident");
    reg.roots[CurrentUser].remove(u"ControlPanel");
    ASSERT_EQ(storeRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));

    ASSERT_EQ(restRegHv(u"\\My Documents\\backup.bin"), 0);
    EXPECT_FALSE(userLoggedOn());
    ASSERT_TRUE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(host::stateGet("lastBoot"), "kept system hive applied");
    KeyTree &hklm = saved.roots[LocalMachine];
    hklm.setValue(hklm.create(u""), Value{u"RegPersisted", REG_DWORD, std::string("\x01\0\0\0", 4)});
    EXPECT_EQ(liveExport(), exportRegedit(saved));
    EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{});
}
