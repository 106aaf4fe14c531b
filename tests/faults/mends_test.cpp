// mends_test.cpp - faults the fault loops found, each pinned by one case: a
// temporary placeholder whose delete failed must not pass for a saved hive,
// a work file that holds no whole backup must not replace the user's, a
// save whose last buffer finds the disk full at fclose.
#include "app/driver.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sstream>

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

// The disk fills inside the last buffer of a save: the bytes written so
// far reached the file, the last ones go out only at fclose, which fails.
// The incomplete work file is removed (its room given back), the user's
// previous backup stays whole, and the log says the copy-out did not happen.
TEST(Mends, ASaveWhoseCloseFindsTheDiskFullKeepsThePreviousBackup) {
    const std::string workClose = "fclose(\"\\Temp\\NEW";  // the save writes the work file
    ts::Device dev("hive");
    dev.write(F, "previous backup");
    // A run with a disk too large to fill traces every draw on it: the
    // save's fclose draws for its last buffer.
    const std::string trace = (dev.dir() / "trace.txt").string();
    auto r = ts::corvane({"ls", F}, {{"CEDEVICE_FAULTS", "disk=1000000000000"}, {"CEDEVICE_TRACE", trace}});
    ASSERT_EQ(r.exitCode, 1);
    const std::string previous = dev.read(F);  // the whole new backup
    std::istringstream lines(ts::readFile(trace));
    long long used = 0, last = -1, n = -1;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("disk(", 0) == 0) {
            last = std::stoll(line.substr(5));
            used += last;
        } else if (line.rfind(workClose, 0) == 0 && last > 1 && n < 0) {
            n = used - last / 2;  // inside the last buffer
        } else {
            last = -1;
        }
    }
    ASSERT_GT(n, 0) << "the save's fclose wrote nothing out";

    std::remove(trace.c_str());
    r = ts::corvane({"ls", F}, {{"CEDEVICE_FAULTS", "disk=" + std::to_string(n)}, {"CEDEVICE_TRACE", trace}});
    EXPECT_EQ(r.exitCode, 1);
    std::istringstream after(ts::readFile(trace));
    std::string work;  // \Temp\NEWn.tmp
    for (std::string line; std::getline(after, line);)
        if (line.rfind(workClose, 0) == 0 && line.find("\") = -1 [error 112]") != std::string::npos)
            work = line.substr(8, line.find('"', 8) - 8);
    ASSERT_FALSE(work.empty()) << "no fclose of the work file failed on the full disk";
    EXPECT_EQ(dev.read(F), previous);
    EXPECT_FALSE(dev.exists(work));
    EXPECT_EQ(lastLine(dev.log()), "main, option s: could not copy registry information from " + work + " to " + F)
        << dev.log();
}

}  // namespace
