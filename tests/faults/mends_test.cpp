// mends_test.cpp - faults the fault loops found, each pinned by one case: a
// temporary placeholder whose delete failed must not pass for a saved hive,
// and a work file that holds no whole backup must not replace the user's.
#include "app/driver.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

namespace {

const std::string F = "\\My Documents\\b.reg";

std::string lastLine(const std::string &log) {
    size_t end = log.size() && log.back() == '\n' ? log.size() - 1 : log.size();
    size_t start = log.rfind('\n', end ? end - 1 : 0);
    return log.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

// The delete of the "sHM" placeholder fails: the empty file stays, so
// RegSaveKey (which creates its file exclusively) fails, and the empty file
// must not be packed as the system hive.
TEST(Mends, AFailedSaveIsNotPackedFromItsPlaceholder) {
    ts::Device dev("hive");
    g_logging = -1;
    ASSERT_TRUE(host::setFaults("DeleteFileW@1"));
    std::u16string backup = ts::u16(F);
    EXPECT_EQ(corvaneHv(backup.c_str()), HV_NO_OPEN);
    host::clearFaults();
    EXPECT_FALSE(dev.exists(F));
    EXPECT_EQ(dev.log().find("corvaneHv: registry information saved to "), std::string::npos) << dev.log();
}

// Every delete fails: the work file's placeholder stays empty, RegCopyFile
// cannot create it and the hive save fails on a ram device. The previous
// backup is kept and the log says the copy-out did not happen.
TEST(Mends, AnEmptyWorkFileDoesNotReplaceThePreviousBackup) {
    for (const char *kind : {"ram", "hive"}) {
        SCOPED_TRACE(kind);
        ts::Device dev(kind);
        dev.write(F, "previous backup");
        auto r = ts::corvane({"ls", F}, {{"CEDEVICE_FAULTS", "DeleteFileW@1+"}});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(dev.read(F), "previous backup");
        EXPECT_EQ(lastLine(dev.log()).rfind("main, option s: could not copy registry information from ", 0), 0u)
            << dev.log();
    }
}

// A hive backup cut short (its removal failed) is not copied out.
TEST(Mends, ACutShortHiveBackupIsNotCopiedOut) {
    ts::Device dev("hive");
    dev.write(F, "previous backup");
    // Writes fail after the signature; the delete of the cut short file
    // (the fourth delete of the run) fails too.
    auto r = ts::corvane({"sh", F}, {{"CEDEVICE_FAULTS", "fwrite@2+; DeleteFileW@4+"}});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(dev.read(F), "previous backup");
}

}  // namespace
