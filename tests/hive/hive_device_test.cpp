// hive_device_test.cpp - corvaneHv and restRegHv on a simulated hive device:
// the hives the platform saves, the exact log of a save and of a restore,
// the profile look-ups, failed replacements, and a round trip through a warm
// boot.
#include "hivetest.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

using hvt::backupOf;
using hvt::blob;
using hvt::le32;
using hvt::logLines;
using hvt::tempFiles;
using hvt::tempNameIn;
using hvt::w;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const std::string kBackup = "\\My Documents\\reg.hvb";
const std::string kUserHive = "\\Documents and Settings\\default\\user.hv";
const std::string kUserHivePath = "\\Documents and Settings\\default\\user.hv";

// What RegSaveKey writes for root right now.
std::string savedHive(const ts::Device &dev, HKEY root) {
    const std::string ref = "\\Temp\\reference.hv";
    EXPECT_EQ(RegSaveKey(root, w(ref).c_str(), NULL), ERROR_SUCCESS);
    std::string bytes = dev.read(ref);
    DeleteFileW(w(ref).c_str());
    return bytes;
}

bool loggedOn() {
    WCHAR folder[MAX_PATH];
    DWORD cch = MAX_PATH;
    return GetUserDirectory(folder, &cch) != 0;
}

std::string regExport() {
    ts::RunResult r = ts::cedevice({"reg", "export"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

void regSet(const std::string &key, const std::string &name, const std::string &data) {
    ts::RunResult r = ts::cedevice({"reg", "set", key, name, "REG_SZ", data});
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

TEST(CorvaneHvOnAHiveDevice, PacksBothHivesAsThePlatformSavesThem) {
    ts::Device dev("hive");
    hvt::logOn();
    EXPECT_EQ(corvaneHv(w(kBackup).c_str()), HV_DONE);
    EXPECT_EQ(logLines(dev),
              (Lines{"corvaneHv: RegSaveKey OK", "corvaneHv: registry information saved to " + kBackup}));
    EXPECT_EQ(dev.ls("/Temp"), Lines{});
    std::string system = savedHive(dev, HKEY_LOCAL_MACHINE);
    std::string user = savedHive(dev, HKEY_CURRENT_USER);
    EXPECT_GT(system.size(), 4096u);  // the sample registry spans blocks
    EXPECT_TRUE(dev.read(kBackup) == backupOf(system, user));
}

// A save that fails leaves no file; packing stops at it, the incomplete
// backup is removed, and the other saved hive stays in \Temp.
TEST(CorvaneHvOnAHiveDevice, AFailedSaveStopsThePacking) {
    struct Case {
        const char *faults;
        const char *missing;  // the hive whose open fails
        const char *stays;    // the saved hive left in \Temp, or ""
    } cases[] = {
        {"RegSaveKey@1", "sHM", "sHU"},
        {"RegSaveKey@2", "sHU", "sHM"},
        {"RegSaveKey@*", "sHM", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.faults);
        ts::Device dev("hive");
        hvt::logOn();
        ASSERT_TRUE(host::setFaults(c.faults));
        EXPECT_EQ(corvaneHv(w(kBackup).c_str()), HV_NO_OPEN);
        EXPECT_EQ(host::callCount("RegSaveKey"), 2);
        host::clearFaults();
        Lines lines = logLines(dev);
        std::string missing = tempNameIn(lines, c.missing);
        EXPECT_FALSE(missing.empty());
        EXPECT_EQ(lines, (Lines{"corvaneHv: RegSaveKey failed", "corvaneHv: could not open" + missing}));
        EXPECT_FALSE(dev.exists(kBackup));
        EXPECT_EQ(tempFiles(dev, c.missing), Lines{});
        EXPECT_EQ(tempFiles(dev, c.stays).size(), *c.stays ? 1u : 0u);
        EXPECT_EQ(dev.ls("/Temp").size(), *c.stays ? 1u : 0u);
    }
}

TEST(CorvaneHvOnAHiveDevice, AFullDiskLeavesNeitherBackupNorSavedHives) {
    ts::Device dev("hive");
    ASSERT_TRUE(host::setFaults("fwrite~*reg.hvb"));
    hvt::logOn();
    EXPECT_EQ(corvaneHv(w(kBackup).c_str()), HV_IO_FAILED);
    host::clearFaults();
    EXPECT_EQ(logLines(dev), (Lines{"corvaneHv: RegSaveKey OK", "corvaneHv: could not write " + kBackup}));
    EXPECT_FALSE(dev.exists(kBackup));
    EXPECT_EQ(dev.ls("/Temp"), Lines{});
}

// The whole program: a save whose packing fails half-way keeps the user's
// previous backup, and says so in the log.
TEST(CorvaneHvOnAHiveDevice, AFailedSaveKeepsThePreviousBackup) {
    for (const char *faults : {"fwrite~\\Temp\\NEW*", "RegSaveKey@2", "disk=3000"}) {
        SCOPED_TRACE(faults);
        ts::Device dev("hive");
        dev.write(kBackup, "previous backup");
        ts::RunResult r = ts::corvane({"lsh", kBackup}, {{"CEDEVICE_FAULTS", faults}});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(dev.read(kBackup), "previous backup");
        // A failed save leaves the other hive's saved file (a full disk fails
        // the system hive's save, whose room the user hive's then takes).
        EXPECT_EQ(dev.ls("/Temp").size(), std::string(faults) == "fwrite~\\Temp\\NEW*" ? 0u : 1u);
        if (std::string(faults).rfind("disk=", 0) == 0) continue;  // no room for the log either
        Lines lines = logLines(dev);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2].rfind("corvaneHv: could ", 0), 0u) << lines[lines.size() - 2];
        EXPECT_EQ(lines.back().rfind("main, option s: could not copy registry information from \\Temp\\NEW", 0), 0u)
            << lines.back();
    }
}

// The log of a restore up to the user's log-off, after the profile look-up
// lines; rHM and rHU get the temporary names it used.
Lines unpackedLog(const Lines &lines, const Lines &lookUp, std::string &rHM, std::string &rHU) {
    rHM = tempNameIn(lines, "rHM");
    rHU = tempNameIn(lines, "rHU");
    EXPECT_TRUE(testing::internal::RE::FullMatch(rHM, "\\\\Temp\\\\rHM[0-9A-F]+\\.tmp")) << rHM;
    EXPECT_TRUE(testing::internal::RE::FullMatch(rHU, "\\\\Temp\\\\rHU[0-9A-F]+\\.tmp")) << rHU;
    Lines want = lookUp;
    for (const std::string &line : {"restRegHv: file opened:" + kBackup, std::string("restRegHv: sig correct"),
                                    "restRegHv: file opened:" + rHM, "restRegHv: file opened:" + rHU,
                                    std::string("restRegHv: unlogging user"), std::string("restRegHv: user unlogged")})
        want.push_back(line);
    return want;
}

class RestRegHvOnAHiveDevice : public testing::Test {
protected:
    ts::Device dev{"hive"};
    std::string system = blob(5000, 11), user = blob(4096, 12);
    std::string userBefore;

    void SetUp() override {
        dev.write(kBackup, backupOf(system, user));
        userBefore = dev.read(kUserHive);
        hvt::logOn();
    }
    int restore() { return restRegHv(w(kBackup).c_str()); }
    // The log of a restore that got as far as replacing, with the first lines
    // given; rHM and rHU are the names it used.
    Lines restoredLog(const Lines &lookUp, const std::string &userLine, const std::string &systemLine) {
        Lines want = unpackedLog(logLines(dev), lookUp, rHM, rHU);
        want.push_back(userLine + rHU);
        want.push_back(systemLine + rHM);
        return want;
    }
    std::string rHM, rHU;
};

TEST_F(RestRegHvOnAHiveDevice, LogsEveryStepInOrder) {
    EXPECT_EQ(restore(), HV_DONE);
    EXPECT_EQ(logLines(dev), restoredLog({"user_hive (GetUserDirectory): " + kUserHivePath},
                                         "restRegHv: registry (user hive) replaced with ",
                                         "restRegHv: system registry hive restored - "));
    EXPECT_TRUE(dev.read(kUserHive) == user);
    EXPECT_FALSE(loggedOn());
    EXPECT_EQ(dev.ls("/Temp"), Lines{});
    EXPECT_TRUE(dev.read(kBackup) == backupOf(system, user));
}

TEST_F(RestRegHvOnAHiveDevice, FallsBackToTheSecondProfileLookUp) {
    ASSERT_TRUE(host::setFaults("GetUserDirectory@1"));
    EXPECT_EQ(restore(), HV_DONE);
    host::clearFaults();
    EXPECT_EQ(logLines(dev), restoredLog({"restRegHv: could not read the profiledir using GetUserDirectory ",
                                          "user_hive (SHGetSpecialFolderPath): " + kUserHivePath},
                                         "restRegHv: registry (user hive) replaced with ",
                                         "restRegHv: system registry hive restored - "));
    EXPECT_TRUE(dev.read(kUserHive) == user);
}

TEST_F(RestRegHvOnAHiveDevice, NoProfileFolderTouchesNothing) {
    ASSERT_TRUE(host::setFaults("GetUserDirectory@1; SHGetSpecialFolderPath@1"));
    EXPECT_EQ(restore(), HV_NO_OPEN);
    EXPECT_EQ(host::callCount("fread"), 0);  // the backup is never read
    host::clearFaults();
    EXPECT_EQ(logLines(dev), (Lines{"restRegHv: could not read the profiledir using GetUserDirectory ",
                                    "restRegHv: could not read the profiledir using SHGetSpecialFolderPath ",
                                    "restRegHv: ABORT could not read the profiledir  "}));
    EXPECT_TRUE(loggedOn());
    EXPECT_TRUE(dev.read(kUserHive) == userBefore);
    EXPECT_EQ(dev.ls("/Temp"), Lines{});
}

// A failed replacement is logged and is no restore, and the next boot finds
// the old hives, never a restored one beside an old one: the user hive is
// kept before it is replaced and put back when the system hive cannot be
// handed over; when the user hive cannot be kept or replaced the system
// hive is not handed over. The user stays logged off.
TEST(RestRegHvReplacing, AFailedReplacementLeavesTheOldHives) {
    const std::string system = blob(5000, 11), user = blob(4096, 12);
    const std::string replaced = "restRegHv: registry (user hive) replaced with ";
    const std::string notReplaced = "restRegHv: could not replace  - ";
    struct Case {
        const char *faults;
        bool noUserHive;  // no user.hv before the restore
        int regReplaceKeyCalls;
        Lines tail;     // after "user unlogged"; {M} {U} {O} are rHM rHU rHO
        bool keptLeft;  // rHO stays, holding the old user hive
    } cases[] = {
        {"CopyFileW@1", false, 0, {"restRegHv: ERROR could not keep a copy of the user hive " + kUserHivePath}, false},
        // The restored user hive is copied beside user.hv first: a failed copy
        // leaves user.hv as it was.
        {"CopyFileW@2", false, 0, {"restRegHv: ERROR could not replace registry (user hive) with {U}"}, false},
        // user.hv removed, its new copy neither renamed nor copied to it: the
        // old one goes back.
        {"MoveFileW@1; CopyFileW@3",
         false,
         0,
         {"restRegHv: ERROR could not replace registry (user hive) with {U}", "restRegHv: user hive put back from {O}"},
         false},
        {"RegReplaceKey@1",
         false,
         1,
         {replaced + "{U}", notReplaced + "{M}", "restRegHv: user hive put back from {O}"},
         false},
        {"RegReplaceKey@1; CopyFileW@3",
         false,
         1,
         {replaced + "{U}", notReplaced + "{M}", "restRegHv: ERROR could not put the user hive back from {O}"},
         true},
        {"RegReplaceKey@1",
         true,
         1,
         {replaced + "{U}", notReplaced + "{M}", "restRegHv: user hive removed again " + kUserHivePath},
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.faults) + (c.noUserHive ? ", no user.hv" : ""));
        ts::Device dev("hive");
        dev.write(kBackup, backupOf(system, user));
        if (c.noUserHive) std::filesystem::remove(dev.host(kUserHive));
        hvt::logOn();
        auto keptHive = [&] { return ts::readFile(dev.dir() / "state" / "system.hv"); };  // for the next boot
        const std::string keptSystemHive = keptHive();
        const std::string userBefore = c.noUserHive ? "" : dev.read(kUserHive);
        const std::string registryBefore = c.noUserHive ? "" : regExport();
        hvt::countCalls();
        ASSERT_TRUE(host::setFaults(c.faults));
        EXPECT_EQ(restRegHv(w(kBackup).c_str()), HV_NOT_REPLACED);
        EXPECT_EQ(host::callCount("RegReplaceKey"), c.regReplaceKeyCalls);
        host::clearFaults();

        Lines lines = logLines(dev);
        std::string rHM, rHU;
        Lines want = unpackedLog(lines, {"user_hive (GetUserDirectory): " + kUserHivePath}, rHM, rHU);
        const std::string rHO = "\\Temp\\" + (tempFiles(dev, "rHO").empty() ? "rHO3.tmp" : tempFiles(dev, "rHO")[0]);
        for (std::string line : c.tail) {
            for (auto [mark, name] : {std::pair{"{M}", rHM}, {"{U}", rHU}, {"{O}", rHO}})
                if (size_t at = line.find(mark); at != std::string::npos) line.replace(at, 3, name);
            want.push_back(line);
        }
        EXPECT_EQ(lines, want);
        EXPECT_FALSE(loggedOn());
        EXPECT_TRUE(keptHive() == keptSystemHive);  // nothing for the next boot
        if (c.keptLeft) {
            EXPECT_EQ(dev.ls("/Temp"), Lines{rHO.substr(6)});
            EXPECT_TRUE(dev.read(rHO) == userBefore);
            continue;  // the restored user hive stays: the log says so
        }
        EXPECT_EQ(dev.ls("/Temp"), Lines{});
        EXPECT_EQ(dev.exists(kUserHive), !c.noUserHive);
        if (c.noUserHive) continue;  // the next log-on makes a default user hive, as before
        EXPECT_TRUE(dev.read(kUserHive) == userBefore);
        ts::RunResult boot = ts::cedevice({"reboot"});
        ASSERT_EQ(boot.exitCode, 0) << boot.err;
        EXPECT_TRUE(regExport() == registryBefore);
    }
}

// A damaged backup is refused before the user is logged off: the user hive
// and the next boot's system hive stay as they were.
TEST(RestRegHvRefusing, ADamagedFileReplacesNothing) {
    const std::string damaged = "restRegHv: hive lengths do not match the file " + kBackup;
    struct Case {
        const char *name;
        std::string bytes;
        int result;
        std::string lastLine;
    } cases[] = {
        {"signature alone, as a failed save may leave it", "XGER", HV_DAMAGED, damaged},
        {"system hive alone", "XGER" + le32(3) + "sys", HV_DAMAGED, damaged},
        {"user hive cut short", backupOf("sys", "user").substr(0, 18), HV_DAMAGED, damaged},
        {"negative user length", "XGER" + le32(1) + "s" + le32(-4) + "user", HV_DAMAGED, damaged},
        {"wrong signature", "RGEX" + le32(0) + le32(0), HV_BAD_SIG, "restRegHv: sig unknown"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev("hive");
        hvt::logOn();
        dev.write(kBackup, c.bytes);
        std::string userHive = dev.read(kUserHive);
        hvt::countCalls();
        EXPECT_EQ(restRegHv(w(kBackup).c_str()), c.result);
        EXPECT_EQ(host::callCount("SetCurrentUser"), 0);
        EXPECT_EQ(host::callCount("CopyFileW"), 0);
        EXPECT_EQ(host::callCount("RegReplaceKey"), 0);
        host::clearFaults();
        Lines lines = logLines(dev);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.lastLine);
        EXPECT_TRUE(loggedOn());
        EXPECT_TRUE(dev.read(kUserHive) == userHive);
        EXPECT_EQ(dev.ls("/Temp"), Lines{});
        EXPECT_TRUE(dev.read(kBackup) == c.bytes);
    }
}

// Every damage to a real saved hive backup's lengths or trailer: each value
// change of either length field, each byte of them changed, each cut inside
// the trailer, each byte of the trailer changed. The restore refuses every
// one before it logs the user off, corvane-backup check says so (exit 1),
// and after a warm boot both hives are the ones from before. Only the cut
// of the whole trailer leaves a whole file: the layout without it.
TEST(RestRegHvRefusing, EveryDamagedLengthOrTrailerLeavesBothHives) {
    ts::Device dev("hive");
    const std::string before = regExport();
    ASSERT_EQ(corvaneHv(w(kBackup).c_str()), HV_DONE);
    const std::string saved = dev.read(kBackup);
    regSet("HKEY_LOCAL_MACHINE\\Software\\Changed", "after", "the save");
    regSet("HKEY_CURRENT_USER\\Software\\Changed", "after", "the save");
    const std::string changed = regExport();
    ASSERT_NE(changed, before);
    auto keptHive = [&] { return ts::readFile(dev.dir() / "state" / "system.hv"); };
    const std::string userHive = dev.read(kUserHive), systemHive = keptHive();

    const int64_t size = static_cast<int64_t>(saved.size());
    const int64_t n1 = static_cast<int32_t>(hvt::le32At(saved, 4));
    const int64_t n2 = static_cast<int32_t>(hvt::le32At(saved, 8 + n1));
    ASSERT_EQ(12 + n1 + n2 + 12, size);
    std::vector<std::pair<std::string, std::string>> damaged;  // name, bytes
    for (int64_t at : {int64_t{4}, 8 + n1}) {
        const int64_t v = at == 4 ? n1 : n2;
        for (int64_t value :
             {int64_t{0}, v - 16, v - 1, v + 1, v + 4, v + 12, v + 13, size, int64_t{0x7fffffff}, int64_t{-1}}) {
            std::string bytes = saved;
            bytes.replace(static_cast<size_t>(at), 4, le32(value));
            damaged.emplace_back("length at " + std::to_string(at) + " set to " + std::to_string(value), bytes);
        }
    }
    std::vector<size_t> bytesAt;  // both length fields and the trailer
    for (int64_t at : {int64_t{4}, 8 + n1, size - 12})
        for (int64_t i = 0; i < (at == size - 12 ? 12 : 4); i++) bytesAt.push_back(static_cast<size_t>(at + i));
    for (size_t at : bytesAt) {
        for (int change : {0xff, 0x01, 0x80, 0x100}) {  // 0x100: set to 0
            std::string bytes = saved;
            bytes[at] = static_cast<char>(change == 0x100 ? 0 : bytes[at] ^ change);
            if (bytes == saved) continue;
            damaged.emplace_back("byte " + std::to_string(at) + (change == 0x100 ? " set to 0" : " changed by ") +
                                     (change == 0x100 ? "" : std::to_string(change)),
                                 bytes);
        }
    }
    for (int cut = 1; cut <= 16; cut++)
        if (cut != 12) damaged.emplace_back("last " + std::to_string(cut) + " bytes cut", saved.substr(0, size - cut));

    const fs::path scratch = dev.dir() / "scratch";
    fs::create_directories(scratch);
    int refused = 0, checkedDamaged = 0;
    for (const auto &[name, bytes] : damaged) {
        SCOPED_TRACE(name);
        dev.write(kBackup, bytes);
        hvt::countCalls();
        int result = restRegHv(w(kBackup).c_str());
        EXPECT_NE(result, HV_DONE);
        EXPECT_EQ(host::callCount("SetCurrentUser"), 0);
        host::clearFaults();
        refused += result != HV_DONE;
        HiveCheck check;
        EXPECT_NE(checkHiveFile(w(kBackup).c_str(), &check), HV_DONE);
        ts::RunResult r =
            ts::run(CORVANE_BACKUP_BIN, {"check", dev.host(kBackup).string()}, {{"TMPDIR", scratch.string()}});
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        checkedDamaged += r.exitCode == 1;
        EXPECT_TRUE(dev.read(kUserHive) == userHive);
        EXPECT_TRUE(keptHive() == systemHive);
        EXPECT_EQ(dev.ls("/Temp"), Lines{});
        EXPECT_TRUE(dev.read(kBackup) == bytes);
        EXPECT_TRUE(loggedOn());
        if (testing::Test::HasFailure()) break;
    }
    std::printf("damaged hive backups: %zu, refused by the restore: %d, by corvane-backup check: %d\n", damaged.size(),
                refused, checkedDamaged);
    ts::RunResult boot = ts::cedevice({"reboot"});
    ASSERT_EQ(boot.exitCode, 0) << boot.err;
    EXPECT_TRUE(regExport() == changed);

    // The whole trailer cut off: the layout without it, restored as such.
    dev.write(kBackup, saved.substr(0, size - 12));
    ts::RunResult r =
        ts::run(CORVANE_BACKUP_BIN, {"check", dev.host(kBackup).string()}, {{"TMPDIR", scratch.string()}});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(restRegHv(w(kBackup).c_str()), HV_DONE);
}

// The whole program: a hive backup whose user hive length is 0, then "lrd"
// and its restart: both hives are the ones from before the run.
TEST(RestRegHvRefusing, AnEmptyUserHiveLengthThenLrdKeepsBothHives) {
    ts::Device dev("hive");
    ASSERT_EQ(corvaneHv(w(kBackup).c_str()), HV_DONE);
    std::string bytes = dev.read(kBackup);
    const int64_t n1 = static_cast<int32_t>(hvt::le32At(bytes, 4));
    bytes.replace(static_cast<size_t>(8 + n1), 4, le32(0));
    dev.write(kBackup, bytes);
    regSet("HKEY_LOCAL_MACHINE\\Software\\Changed", "after", "the save");
    regSet("HKEY_CURRENT_USER\\Software\\Changed", "after", "the save");
    const std::string before = regExport();
    const std::string boots = host::stateGet("boots");
    ts::RunResult r = ts::corvane({"lrd", kBackup}, {{"CEDEVICE_PROMPT", "ok"}});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(host::stateGet("boots"), boots);  // the prompt restarted the device
    Lines lines = logLines(dev);
    const std::string refused = "restRegHv: a hive image is empty " + tempNameIn(lines, "NEW");
    EXPECT_NE(std::find(lines.begin(), lines.end(), refused), lines.end()) << dev.log();
    EXPECT_TRUE(regExport() == before);
    EXPECT_TRUE(dev.read(kBackup) == bytes);
}

// Fault loops: the n-th call of a stream service fails (once, and from then
// on), for n = 1, 2, 3, ... in growing steps, until a run no longer reaches
// the fault. Every run that meets a fault must fail cleanly: HV_IO_FAILED,
// nothing replaced, no partial backup, nothing left in \Temp.
void faultLoop(const char *service, const std::function<int()> &op,
               const std::function<std::string(const ts::Device &)> &setUp,
               const std::function<void(const ts::Device &, const std::string &, int)> &check) {
    for (const char *mode : {"", "+"}) {
        for (long n = 1;; n = n < 16 ? n + 1 : n * 2) {
            SCOPED_TRACE(testing::Message() << service << "@" << n << mode);
            ts::Device dev("hive");
            std::string before = setUp(dev);
            ASSERT_TRUE(host::setFaults(std::string(service) + "@" + std::to_string(n) + mode));
            int result = op();
            bool fired = host::faultsFired() > 0;
            host::clearFaults();
            if (!fired) {
                EXPECT_EQ(result, HV_DONE);
                break;
            }
            EXPECT_TRUE(result == HV_IO_FAILED || result == HV_DONE) << result;
            check(dev, before, result);
            if (testing::Test::HasFailure()) return;
        }
    }
}

TEST(RestRegHvFaults, AStreamThatFailsReplacesNothing) {
    static const std::string user = blob(4096, 12);
    auto setUp = [](const ts::Device &dev) {
        dev.write(kBackup, backupOf(blob(5000, 11), user));
        return dev.read(kUserHive);
    };
    auto check = [](const ts::Device &dev, const std::string &userHive, int result) {
        EXPECT_EQ(loggedOn(), result != HV_DONE);
        EXPECT_TRUE(dev.read(kUserHive) == (result == HV_DONE ? user : userHive));
        EXPECT_EQ(dev.ls("/Temp"), Lines{});
    };
    auto op = [] { return restRegHv(w(kBackup).c_str()); };
    for (const char *service : {"fread", "fwrite", "fseek", "ftell", "fclose"}) faultLoop(service, op, setUp, check);
}

TEST(CorvaneHvFaults, AStreamThatFailsLeavesNoBackup) {
    auto setUp = [](const ts::Device &) { return std::string(); };
    auto check = [](const ts::Device &dev, const std::string &, int result) {
        EXPECT_EQ(dev.ls("/Temp"), Lines{});
        if (result != HV_DONE) {
            EXPECT_FALSE(dev.exists(kBackup));
            return;
        }
        std::string system = savedHive(dev, HKEY_LOCAL_MACHINE);
        std::string user = savedHive(dev, HKEY_CURRENT_USER);
        EXPECT_TRUE(dev.read(kBackup) == backupOf(system, user));
    };
    auto op = [] { return corvaneHv(w(kBackup).c_str()); };
    for (const char *service : {"fread", "fwrite", "fseek", "ftell", "fclose"}) faultLoop(service, op, setUp, check);
}

// A full disk while the images are extracted: nothing is replaced and the
// partial extracted files go. (The log has no room either.)
TEST(RestRegHvFaults, AFullDiskReplacesNothing) {
    for (int room : {0, 100, 4999, 5000, 9000}) {
        SCOPED_TRACE(testing::Message() << "room for " << room << " bytes");
        ts::Device dev("hive");
        dev.write(kBackup, backupOf(blob(5000, 11), blob(6000, 12)));
        std::string userHive = dev.read(kUserHive);
        ASSERT_TRUE(host::setFaults("disk=" + std::to_string(room)));
        EXPECT_EQ(restRegHv(w(kBackup).c_str()), HV_IO_FAILED);
        host::clearFaults();
        EXPECT_TRUE(loggedOn());
        EXPECT_TRUE(dev.read(kUserHive) == userHive);
        EXPECT_EQ(dev.ls("/Temp"), Lines{});
    }
}

// A read error is reported as such, in the operation's words.
TEST(RestRegHvFaults, AReadErrorIsLogged) {
    ts::Device dev("hive");
    hvt::logOn();
    dev.write(kBackup, backupOf(blob(5000, 11), blob(4096, 12)));
    ASSERT_TRUE(host::setFaults("fread~*reg.hvb"));
    EXPECT_EQ(restRegHv(w(kBackup).c_str()), HV_IO_FAILED);
    host::clearFaults();
    EXPECT_EQ(logLines(dev).back(), "restRegHv: could not read " + kBackup);
}

// corvaneHv, a change to both hives, restRegHv and a warm boot: the device
// has the saved registry again (the restored system hive marked as such).
TEST(HiveRoundTrip, AWarmBootBringsBackTheSavedRegistry) {
    ts::Device dev("hive");
    std::string saved = regExport();
    ASSERT_EQ(corvaneHv(w(kBackup).c_str()), HV_DONE);

    regSet("HKEY_LOCAL_MACHINE\\Software\\Changed", "after", "the save");
    regSet("HKEY_CURRENT_USER\\Software\\Changed", "after", "the save");
    ASSERT_NE(regExport(), saved);

    ASSERT_EQ(restRegHv(w(kBackup).c_str()), HV_DONE);
    ASSERT_EQ(KernelIoControl(IOCTL_HAL_REBOOT, NULL, 0, NULL, 0, NULL), TRUE);

    std::string expected = saved;
    size_t at = expected.find("[HKEY_LOCAL_MACHINE]\n");
    ASSERT_NE(at, std::string::npos);
    expected.insert(at + 21, "\"RegPersisted\"=dword:00000001\n");
    EXPECT_EQ(regExport(), expected);
    EXPECT_TRUE(loggedOn());
}

}  // namespace
