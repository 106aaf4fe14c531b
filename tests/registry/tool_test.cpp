// tool_test.cpp - the device tool's registry verbs, reboot and status, run as
// real processes on a fresh device.
#include "platform/host/registry_store.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

using namespace host::reg;

namespace {

// Runs cedevice and expects success; reports at the caller's line.
#define CEDEVICE_OK(...) cedeviceOkAt(__FILE__, __LINE__, {__VA_ARGS__})
std::string cedeviceOkAt(const char *file, int line, const std::vector<std::string> &args) {
    ::testing::ScopedTrace trace(file, line, "cedevice " + (args.empty() ? std::string() : args[0]));
    ts::RunResult r = ts::cedevice(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

}  // namespace

TEST(CedeviceReg, SetQueryDeleteWithFullAndShortRootNames) {
    ts::Device dev("ram");
    CEDEVICE_OK("reg", "set", "HKLM\\Software\\Test", "Text", "REG_SZ", "h\xc3\xa9llo");
    CEDEVICE_OK("reg", "set", "HKEY_LOCAL_MACHINE\\Software\\Test", "Count", "REG_DWORD", "0x1F");
    CEDEVICE_OK("reg", "set", "hklm\\software\\test", "Big", "REG_DWORD", "4294967295");
    CEDEVICE_OK("reg", "set", "HKLM\\Software\\Test", "List", "REG_MULTI_SZ", "a\\0b c");
    CEDEVICE_OK("reg", "set", "HKLM\\Software\\Test", "Bytes", "REG_BINARY", "0a,b,ff");
    CEDEVICE_OK("reg", "set", "HKLM\\Software\\Test", "Path", "reg_expand_sz", "%x%");
    CEDEVICE_OK("reg", "set", "HKLM\\Software\\Test", "", "REG_NONE", "");
    CEDEVICE_OK("reg", "set", "HKLM\\Software\\Test\\Sub", "Raw", "REG_NONE", "00 01");
    EXPECT_EQ(CEDEVICE_OK("reg", "query", "HKLM\\Software\\Test"),
              "HKEY_LOCAL_MACHINE\\Software\\Test\n"
              "    (Default)    REG_NONE    \n"
              "    Big    REG_DWORD    0xffffffff\n"
              "    Bytes    REG_BINARY    0a0bff\n"
              "    Count    REG_DWORD    0x1f\n"
              "    List    REG_MULTI_SZ    a\\0b c\n"
              "    Path    REG_EXPAND_SZ    %x%\n"
              "    Text    REG_SZ    h\xc3\xa9llo\n"
              "HKEY_LOCAL_MACHINE\\Software\\Test\\Sub\n");
    EXPECT_EQ(CEDEVICE_OK("reg", "query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TEST", "count"),
              "HKEY_LOCAL_MACHINE\\Software\\Test\n    Count    REG_DWORD    0x1f\n");

    // What the tool wrote is what the device holds.
    Registry reg;
    ASSERT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    const Key *key = reg.roots[LocalMachine].find(u"Software\\Test");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(ts::hex(key->findValue(u"List")->data), "61 00 00 00 62 00 20 00 63 00 00 00 00 00");
    EXPECT_EQ(ts::hex(key->findValue(u"Text")->data), "68 00 e9 00 6c 00 6c 00 6f 00 00 00");
    EXPECT_EQ(ts::hex(key->findValue(u"Count")->data), "1f 00 00 00");

    CEDEVICE_OK("reg", "delete", "HKLM\\Software\\Test", "Count");
    CEDEVICE_OK("reg", "delete", "HKCR\\txtfile");
    ASSERT_EQ(loadRegistry(reg, kAllRoots, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(reg.roots[LocalMachine].find(u"Software\\Test")->findValue(u"Count"), nullptr);
    EXPECT_EQ(reg.roots[ClassesRoot].find(u"txtfile\\Shell\\Open"), nullptr);
    EXPECT_NE(reg.roots[ClassesRoot].find(u".txt"), nullptr);
}

TEST(CedeviceReg, FailuresExitNonZeroWithOneLine) {
    ts::Device dev("hive");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char *err;
    };
    const Case cases[] = {
        {{"reg"}, 2, "cedevice: reg: needs query, set, delete, export or import\n"},
        {{"reg", "list"}, 2, "cedevice: reg: unknown verb 'list' (query, set, delete, export, import)\n"},
        {{"reg", "query", "HKU\\x"}, 2, "cedevice: reg query: not a registry key: HKU\\x\n"},
        {{"reg", "query", "HKLM\\NoSuch"}, 1, "cedevice: reg query: HKLM\\NoSuch: no such key\n"},
        {{"reg", "query", "HKLM\\Ident", "Nope"}, 1, "cedevice: reg query: HKLM\\Ident: no value named 'Nope'\n"},
        {{"reg", "set", "HKLM\\X", "N", "REG_DWORD"}, 2, "cedevice: reg set: needs KEY NAME TYPE DATA\n"},
        {{"reg", "set", "HKLM\\X", "N", "REG_DWORD", "4294967296"},
         2,
         "cedevice: reg set: REG_DWORD data must be a number from 0 to 4294967295 (decimal or 0x hex): 4294967296\n"},
        {{"reg", "set", "HKLM\\X", "N", "REG_BINARY", "abc"},
         2,
         "cedevice: reg set: REG_BINARY data must be hex bytes (0a0b, 0a,0b or \"0a 0b\"): abc\n"},
        {{"reg", "set", "HKLM\\X", "N", "REG_QWORD", "1"},
         2,
         "cedevice: reg set: unknown type 'REG_QWORD' (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY, "
         "REG_NONE)\n"},
        {{"reg", "set", "HKLM\\X", std::string(255, 'n'), "REG_SZ", "x"},
         1,
         "cedevice: reg set: value name longer than 254 characters\n"},
        {{"reg", "delete", "HKLM"}, 1, "cedevice: reg delete: HKLM: a root key cannot be deleted\n"},
        {{"reg", "delete", "HKLM\\Ident", "Nope"}, 1, "cedevice: reg delete: HKLM\\Ident: no value named 'Nope'\n"},
        {{"reg", "export", "HKCU\\NoSuch"}, 1, "cedevice: reg export: HKCU\\NoSuch: no such key\n"},
        {{"reboot", "now"}, 2, "cedevice: reboot: takes no argument\n"},
    };
    std::string before = CEDEVICE_OK("reg", "export");
    for (const Case &c : cases) {
        ts::RunResult r = ts::cedevice(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(CEDEVICE_OK("reg", "export"), before);  // nothing changed
}

TEST(CedeviceReg, RamRegistryRefusesAValueLargerThanItsRecord) {
    ts::Device dev("ram");
    std::string big(2 * 65528, 'a');
    ts::RunResult r = ts::cedevice({"reg", "set", "HKLM", "", "REG_BINARY", big});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "cedevice: reg set: value too large for the RAM registry: at most 65527 bytes, less 2 per "
              "name character\n");
    CEDEVICE_OK("reg", "set", "HKLM", "", "REG_BINARY", std::string(2 * 65527, 'a'));
}

TEST(CedeviceReg, LoggedOffUserHiveIsNotLoaded) {
    ts::Device dev("hive");
    ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
    ts::RunResult r = ts::cedevice({"reg", "query", "HKCU\\Software"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "cedevice: reg query: HKEY_CURRENT_USER is not loaded: the user is logged off\n");
    std::string text = CEDEVICE_OK("reg", "export");
    EXPECT_NE(text.find("\n; HKEY_CURRENT_USER is not loaded: the user is logged off\n"), std::string::npos);
    EXPECT_EQ(text.find("[HKEY_CURRENT_USER"), std::string::npos);
}

TEST(CedeviceReg, ExportIsStableAndMatchesTheDevice) {
    for (const char *kind : {"ram", "hive"}) {
        SCOPED_TRACE(kind);
        ts::Device dev(kind);
        std::string first = CEDEVICE_OK("reg", "export");
        EXPECT_EQ(first, exportRegedit(sampleRegistry()));
        EXPECT_EQ(first.substr(0, 10), "REGEDIT4\n\n");
        CEDEVICE_OK("reg", "set", "HKCU\\Software\\Pelnor\\Shell", "Langue", "REG_SZ", "Deutsch");
        EXPECT_NE(CEDEVICE_OK("reg", "export"), first);
        CEDEVICE_OK("reg", "set", "HKCU\\Software\\Pelnor\\Shell", "Langue", "REG_SZ",
                    "Fran\xc3\xa7"
                    "ais");
        EXPECT_EQ(CEDEVICE_OK("reg", "export"), first);
        EXPECT_EQ(CEDEVICE_OK("reg", "export", "HKCU\\Software\\Pelnor\\Shell\\Empty"),
                  "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Pelnor\\Shell\\Empty]\n\n");
    }
}

TEST(CedeviceReboot, AppliesTheRestoreAndStatusTellsWhatTheBootDid) {
    ts::Device dev("ram");
    std::string saved = CEDEVICE_OK("reg", "export");
    ASSERT_TRUE(RegCopyFile(u"\\Temp\\save.img"));
    ASSERT_TRUE(RegRestoreFile(u"\\Temp\\save.img"));
    CEDEVICE_OK("reg", "delete", "HKLM\\Ident");
    std::string status = CEDEVICE_OK("status");
    EXPECT_NE(status.find("\nboots: 0\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nnext boot: Restore.fdf ("), std::string::npos) << status;
    EXPECT_NE(status.find("\nlast boot: none since the device was made\n"), std::string::npos) << status;

    EXPECT_EQ(CEDEVICE_OK("reboot"), "warm boot 1: Restore.fdf applied\n");
    EXPECT_EQ(CEDEVICE_OK("reg", "export"), saved);
    status = CEDEVICE_OK("status");
    EXPECT_NE(
        status.find("\nboots: 1\nuser: none (a ram registry has no user profiles)\nlast boot: Restore.fdf applied\n"),
        std::string::npos)
        << status;
    EXPECT_EQ(status.find("next boot"), std::string::npos) << status;
}

TEST(CedeviceReboot, HiveDeviceLogsTheUserOnAgain) {
    ts::Device dev("hive");
    ASSERT_TRUE(SetCurrentUser(nullptr, nullptr, 0, FALSE));
    EXPECT_NE(CEDEVICE_OK("status").find("\nuser: logged off\n"), std::string::npos);
    dev.write("/Documents and Settings/default/user.hv", "overwritten while logged off");
    EXPECT_EQ(CEDEVICE_OK("reboot"), "warm boot 1: user.hv is corrupt: not a hive file: clean default user hive\n");
    EXPECT_NE(CEDEVICE_OK("status").find("\nuser: default (logged on)\n"), std::string::npos);
    EXPECT_EQ(CEDEVICE_OK("reg", "export"), exportRegedit(sampleRegistry()));
}
