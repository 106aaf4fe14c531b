// writeLog and findFlashDir, in-process on a fresh device.
#include "app/driver.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

namespace {

TEST(WriteLog, NothingWhileLoggingIsOff) {
    ts::Device dev;
    writeLog(u"main: GetTempPath failed", u"", 1);
    EXPECT_FALSE(dev.exists("/Corvane.log"));
}

TEST(WriteLog, EntriesAreTextArgumentAndLineBreak) {
    ts::Device dev;
    g_logging = -1;
    writeLog(u"detectSig: could not open", u"\\Temp\\NEW1.tmp", 1);
    writeLog(u"main, option s: could not copy registry information from ", u"\\Temp\\NEW1.tmp", 0);
    writeLog(u" to ", u"\\My Documents\\b.reg", 1);
    writeLog(u"repair: done", u"", 1);
    writeLog(u"\n", u"", 0);
    EXPECT_EQ(dev.log(),
              "detectSig: could not open\\Temp\\NEW1.tmp\n"
              "main, option s: could not copy registry information from \\Temp\\NEW1.tmp to \\My Documents\\b.reg\n"
              "repair: done\n"
              "\n");
}

TEST(WriteLog, AppendsNeverTruncates) {
    ts::Device dev;
    dev.write("/Corvane.log", "earlier run\n");
    g_logging = 1;  // any non-zero value is on
    writeLog(u"user dialog: cancel", u"", 1);
    EXPECT_EQ(dev.log(), "earlier run\nuser dialog: cancel\n");
}

TEST(WriteLog, AccentsReachTheFileAsUtf8) {
    ts::Device dev;
    g_logging = -1;
    writeLog(u"file: ", u"\\My Documents\\sauvegardé.reg", 1);
    EXPECT_EQ(dev.log(), "file: \\My Documents\\sauvegard\xc3\xa9.reg\n");
}

TEST(WriteLog, AnEntryThatCannotBeOpenedIsSkipped) {
    ts::Device dev;
    g_logging = -1;
    wcscpy(g_logPath, u"\\NoSuchFolder\\Corvane.log");
    writeLog(u"repair: done", u"", 1);  // must not crash
    g_logPath[0] = 0;
    writeLog(u"repair: done", u"", 1);
    EXPECT_FALSE(dev.exists("/Corvane.log"));
    ASSERT_TRUE(host::setFaults("_wfopen@1"));
    wcscpy(g_logPath, u"\\Corvane.log");
    writeLog(u"lost", u"", 1);
    writeLog(u"kept", u"", 1);
    EXPECT_EQ(dev.log(), "kept\n");
}

TEST(FindFlashDir, FirstMatchingRootEntry) {
    ts::Device dev;
    WCHAR name[LOG_PATH_CCH] = u"untouched";
    EXPECT_EQ(findFlashDir(name), 0);
    EXPECT_EQ(std::u16string(name), u"ResidentFlash");
}

TEST(FindFlashDir, NoMatchLeavesTheBufferAlone) {
    ts::Device dev;
    host::fs::remove(dev.host("/ResidentFlash"));
    WCHAR name[LOG_PATH_CCH] = u"untouched";
    EXPECT_EQ(findFlashDir(name), 2);
    EXPECT_EQ(std::u16string(name), u"untouched");
}

TEST(FindFlashDir, NoScratchMemory) {
    ts::Device dev;
    ASSERT_TRUE(host::setFaults("LocalAlloc@1"));
    WCHAR name[LOG_PATH_CCH] = u"untouched";
    EXPECT_EQ(findFlashDir(name), 1);
    EXPECT_EQ(std::u16string(name), u"untouched");
}

}  // namespace
