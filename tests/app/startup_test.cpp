// Start-up as real runs of the program on fresh devices: the command line,
// the log header and its place, the temporary folder and the work file.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

namespace {

std::string header(const std::string &options, const std::string &file) {
    return "\n\nCorvane Logfile\noptions: " + options + "\nfile: " + file + "\n\n";
}

struct LineCase {
    const char *name;
    std::vector<std::string> args;  // the process's arguments
    int exitCode;
    const char *log;  // nullptr: no log file at all
};

TEST(StartUp, CommandLines) {
    const std::string h = "\n\nCorvane Logfile\n";
    const LineCase cases[] = {
        {"no line", {}, 0, nullptr},
        {"two characters", {"lr"}, 0, nullptr},
        {"two characters with a space", {"l "}, 0, nullptr},
        {"three characters", {"l", "x"}, 1, "\n\nCorvane Logfile\noptions: l\nfile: x\n\n"},
        {"arguments joined with single spaces",
         {"l", "\\My", "Documents\\b.reg"},
         1,
         "\n\nCorvane Logfile\noptions: l\nfile: \\My Documents\\b.reg\n\n"},
        {"one argument holding the whole line",
         {"l \\My Documents\\b.reg"},
         1,
         "\n\nCorvane Logfile\noptions: l\nfile: \\My Documents\\b.reg\n\n"},
        {"a second space stays in the file argument",
         {"l  lead"},
         1,
         "\n\nCorvane Logfile\noptions: l\nfile:  lead\n\n"},
        {"quotes are kept", {"l", "\"a b\""}, 1, "\n\nCorvane Logfile\noptions: l\nfile: \"a b\"\n\n"},
        {"a leading space: empty options word", {" l x"}, 1, nullptr},
        {"upper case is no option", {"LSR", "x"}, 1, nullptr},
        {"letters in the file argument are no options", {"s", "l"}, 1, nullptr},
        {"no space: all options, empty file", {"lzq"}, 1, "\n\nCorvane Logfile\noptions: lzq\nfile: \n\n"},
        {"f without l writes nothing", {"fs", "x"}, 1, nullptr},
        {"repeated and unknown letters", {"lllzq", "x"}, 1, "\n\nCorvane Logfile\noptions: lllzq\nfile: x\n\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        auto r = ts::corvane(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        if (c.log)
            EXPECT_EQ(dev.log(), c.log);
        else
            EXPECT_FALSE(dev.exists("/Corvane.log"));
        EXPECT_FALSE(dev.exists("/ResidentFlash/Corvane.log"));
        EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{}) << "start-up leaves nothing in \\Temp";
    }
}

TEST(StartUp, FlashLog) {
    ts::Device dev;
    EXPECT_EQ(ts::corvane({"lf", "x"}).exitCode, 1);
    EXPECT_FALSE(dev.exists("/Corvane.log"));
    EXPECT_EQ(dev.read("/ResidentFlash/Corvane.log"), header("lf", "x"));
}

TEST(StartUp, FlashLogWithoutAFlashFolderStaysInTheRoot) {
    ts::Device dev;
    host::fs::remove(dev.host("/ResidentFlash"));
    EXPECT_EQ(ts::corvane({"fl", "x"}).exitCode, 1);
    EXPECT_EQ(dev.log(), header("fl", "x"));
}

TEST(StartUp, FlashFolderTooLongForTheLogPathStaysInTheRoot) {
    ts::Device dev;
    host::fs::remove(dev.host("/ResidentFlash"));
    // 244 + "\Corvane.log" = 256 characters: one more than the log path holds.
    host::fs::create_directory(dev.host("/Flash" + std::string(239, 'y')));
    EXPECT_EQ(ts::corvane({"lf", "x"}).exitCode, 1);
    EXPECT_EQ(dev.log(), header("lf", "x"));
    // 243 + 12 = 255 characters fit exactly.
    host::fs::remove(dev.host("/Flash" + std::string(239, 'y')));
    host::fs::create_directory(dev.host("/Flash" + std::string(238, 'y')));
    EXPECT_EQ(ts::corvane({"lf", "z"}).exitCode, 1);
    EXPECT_EQ(dev.read("/Flash" + std::string(238, 'y') + "/Corvane.log"), header("lf", "z"));
}

TEST(StartUp, EachRunAppendsItsHeader) {
    ts::Device dev;
    ts::corvane({"l", "one"});
    ts::corvane({"l", "two"});
    EXPECT_EQ(dev.log(), header("l", "one") + header("l", "two"));
}

struct FailCase {
    const char *name;
    const char *faults;
    const char *tempPath;  // the device's temporary folder, or nullptr for "\Temp\"
    int exitCode;
    const char *lastLine;
};

TEST(StartUp, TemporaryFolderAndWorkFileFailures) {
    const std::string folder250 = "\\" + std::string(248, 't') + "\\";  // 250 characters
    const std::string folder256 = "\\" + std::string(254, 't') + "\\";  // 256: no room for the terminator
    const std::string folder255 = "\\" + std::string(253, 't') + "\\";  // 255: fits exactly
    const FailCase cases[] = {
        {"GetTempPath fails", "GetTempPathW@1", nullptr, 2, "main: GetTempPath failed\n"},
        {"temporary folder longer than 255", "", folder256.c_str(), 2, "main: GetTempPath failed\n"},
        {"GetTempFileName fails", "GetTempFileNameW@1", nullptr, 3, "main: GetTempFileName failed\n"},
        {"work file name does not fit", "", folder250.c_str(), 3, "main: GetTempFileName failed\n"},
        {"folder of 255 characters: the name does not fit", "", folder255.c_str(), 3, "main: GetTempFileName failed\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        if (c.tempPath) {
            host::stateSet("tempPath", c.tempPath);
            std::string hostFolder = c.tempPath;
            host::fs::create_directory(dev.host(hostFolder.substr(0, hostFolder.size() - 1)));
        }
        auto r = ts::corvane({"ls", "\\My Documents\\b.reg"}, {{"CEDEVICE_FAULTS", c.faults}});
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(dev.log(), header("ls", "\\My Documents\\b.reg") + c.lastLine);
        EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{});
        if (c.tempPath) {
            std::string hostFolder = c.tempPath;
            EXPECT_EQ(dev.ls(hostFolder.substr(0, hostFolder.size() - 1)), std::vector<std::string>{});
        }
    }
}

TEST(StartUp, FailuresWithoutLoggingWriteNothing) {
    ts::Device dev;
    EXPECT_EQ(ts::corvane({"s", "x"}, {{"CEDEVICE_FAULTS", "GetTempPathW@1"}}).exitCode, 2);
    EXPECT_EQ(ts::corvane({"s", "x"}, {{"CEDEVICE_FAULTS", "GetTempFileNameW@1"}}).exitCode, 3);
    EXPECT_FALSE(dev.exists("/Corvane.log"));
}

TEST(StartUp, ANonAsciiLineIsCarriedWhole) {
    ts::Device dev;
    EXPECT_EQ(ts::corvane({"l", "\\My Documents\\Sauvegarde d'été.reg"}).exitCode, 1);
    EXPECT_EQ(dev.log(), header("l", "\\My Documents\\Sauvegarde d'\xc3\xa9t\xc3\xa9.reg"));
}

}  // namespace
