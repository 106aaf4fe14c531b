// input_test.cpp - long and odd input: file arguments about MAX_PATH long and
// of 32,767 characters, temporary folders and flash folder names near their
// limits, non-ASCII paths, a 10,000-character options word. Every run ends
// cleanly (an exit code of start-up's, no overrun under the sanitizers), and
// the user's file is either the new backup or as it was.
#include "app/driver.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string lastLine(const std::string &log) {
    std::vector<std::string> l = splitLines(log);
    return l.empty() ? "" : l.back();
}

bool isRamImage(const std::string &bytes) { return bytes.size() >= 8 && bytes.compare(0, 4, "\xb2\x74\x83\x1d") == 0; }

const std::string kFolder = "\\My Documents\\" + std::string(120, 'a') + "\\";  // 135 characters

// File arguments of 254 to 261 characters: up to 259 the device takes the
// path and the backup is written; beyond MAX_PATH - 1 every copy fails and
// the run says so.
TEST(LongInput, FileArgumentsAroundMaxPath) {
    for (size_t cch = 254; cch <= 261; ++cch) {
        SCOPED_TRACE(cch);
        ts::Device dev;
        host::fs::create_directories(dev.host(kFolder));
        const std::string file = kFolder + std::string(cch - kFolder.size(), 'b');
        ASSERT_EQ(file.size(), cch);
        auto r = ts::corvane({"ls", file});
        EXPECT_EQ(r.exitCode, 1);
        std::vector<std::string> log = splitLines(dev.log());
        ASSERT_GE(log.size(), 5u);
        EXPECT_EQ(log[4], "file: " + file);
        if (cch <= MAX_PATH - 1) {
            EXPECT_EQ(log.back(), "main, option s, registry information copied to " + file);
            EXPECT_TRUE(isRamImage(dev.read(file)));
        } else {
            EXPECT_EQ(log.back().rfind("main, option s: could not copy registry information from \\Temp\\NEW", 0), 0u)
                << log.back();
            EXPECT_EQ(log.back().substr(log.back().size() - file.size() - 4), " to " + file);
        }
        // Restoring from it: the copy in fails beyond MAX_PATH - 1, and both
        // restores fail on the missing work file.
        r = ts::corvane({"lr", file});
        EXPECT_EQ(r.exitCode, 1);
        std::string expected = cch <= MAX_PATH - 1 ? "main, option r: RegRestoreFile used"
                                                   : "main, option r: reading from hive backup failed";
        std::vector<std::string> restoreLog = splitLines(dev.log());
        ASSERT_GE(restoreLog.size(), 2u);
        EXPECT_EQ(restoreLog[restoreLog.size() - 2], expected);
    }
}

TEST(LongInput, AFileArgumentOf32767Characters) {
    ts::Device dev;
    dev.write("/My Documents/b.reg", "previous");
    const std::string file = "\\My Documents\\" + std::string(32767 - 14, 'c');
    for (const char *options : {"ls", "lr", "lc", "lx", "lsh"}) {
        SCOPED_TRACE(options);
        auto r = ts::corvane({options, file});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(dev.log().find("file: " + file + "\n"), std::string::npos);
    }
    // Only the work file of the failed copy-out stays, as the sequence leaves it.
    EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{"NEW1.tmp"});
    EXPECT_EQ(dev.read("/My Documents/b.reg"), "previous");
}

TEST(LongInput, AnOptionsWordOf10000Characters) {
    ts::Device dev;
    const std::string options = "l" + std::string(9998, 'q') + "s";
    auto r = ts::corvane({options, "\\My Documents\\b.reg"});
    EXPECT_EQ(r.exitCode, 1);
    std::vector<std::string> log = splitLines(dev.log());
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[3], "options: " + options);
    EXPECT_EQ(log.back(), "main, option s, registry information copied to \\My Documents\\b.reg");
    EXPECT_TRUE(isRamImage(dev.read("/My Documents/b.reg")));
}

TEST(OddInput, NonAsciiPathsRoundTrip) {
    // Latin-1 letters, a character beyond them and one outside the BMP (a
    // surrogate pair in UTF-16).
    const std::string folder = "\\My Documents\\Sauvegardes d'\xc3\xa9t\xc3\xa9 \xe2\x98\x83";
    const std::string file = folder + "\\registre \xf0\x9d\x84\x9e.reg";
    for (const char *kind : {"ram", "hive"}) {
        SCOPED_TRACE(kind);
        ts::Device dev(kind);
        host::fs::create_directories(dev.host(folder));
        EXPECT_EQ(ts::corvane({"ls", file}).exitCode, 1);
        EXPECT_EQ(lastLine(dev.log()), "main, option s, registry information copied to " + file);
        EXPECT_EQ(ts::corvane({"lr", file}, {{"CEDEVICE_PROMPT", "ok"}}).exitCode, 1);
        EXPECT_EQ(lastLine(dev.log()), "main, option r: no dialog (otion d) used - take care for soft-reset");
        EXPECT_EQ(dev.log().find("could not"), std::string::npos) << dev.log();
    }
}

// Temporary folders of 240 to 257 characters: start-up refuses a folder it
// cannot hold (exit 2) or a work file name that does not fit (exit 3);
// otherwise the operations' own names are refused the same way and the
// user's file stays whole.
TEST(LongInput, TemporaryFoldersNearTheirLimit) {
    for (size_t cch = 240; cch <= 257; ++cch) {
        for (const char *kind : {"ram", "hive"}) {
            SCOPED_TRACE(std::to_string(cch) + " " + kind);
            ts::Device dev(kind);
            const std::string temp = "\\" + std::string(cch - 2, 't') + "\\";
            host::fs::create_directory(dev.host(temp.substr(0, temp.size() - 1)));
            host::stateSet("tempPath", temp);
            dev.write("/My Documents/b.reg", "previous");
            for (const char *options : {"ls", "lsc", "lsh", "lr", "lc"}) {
                auto r = ts::corvane({options, "\\My Documents\\b.reg"});
                // The name is the folder, 3 letters, the hex number and
                // ".tmp"; the device's counter may reach two digits here.
                if (cch > 255)
                    EXPECT_EQ(r.exitCode, 2) << options;
                else if (cch + 3 + 1 + 4 > 255)
                    EXPECT_EQ(r.exitCode, 3) << options;
                else if (cch + 3 + 2 + 4 > 255)
                    EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 3) << options << " " << r.exitCode;
                else
                    EXPECT_EQ(r.exitCode, 1) << options;
                std::string file = dev.read("/My Documents/b.reg");
                EXPECT_TRUE(file == "previous" || isRamImage(file) || file.compare(0, 4, "XGER") == 0) << options;
            }
            // Only work files that the sequence leaves (after a restore) stay.
            for (const std::string &name : dev.ls(temp.substr(0, temp.size() - 1)))
                EXPECT_EQ(name.rfind("NEW", 0), 0u) << name;
        }
    }
}

// repair and reorder make their temporary names through start-up's helper:
// a name that the platform makes longer than the 255 characters of their
// buffer is refused, never written past its end.
TEST(LongInput, RewriteTemporaryNamesThatDoNotFit) {
    struct Case {
        int (*op)(const WCHAR *);
        const char *line;
    } cases[] = {{repair, "repair: GetTempFileName failed\n"}, {reorder, "reorder: GetTempFileName failed\n"}};
    for (size_t cch = 244; cch <= 252; ++cch) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::to_string(cch) + " " + c.line);
            ts::Device dev;
            const std::u16string f = u"\\My Documents\\b.reg";
            ASSERT_TRUE(RegCopyFile(f.c_str()));
            const std::string image = dev.read("/My Documents/b.reg");
            const std::string temp = "\\" + std::string(cch - 2, 't') + "\\";
            host::fs::create_directory(dev.host(temp.substr(0, temp.size() - 1)));
            std::u16string wide = ts::u16(temp);
            std::char_traits<char16_t>::copy(g_tempDir, wide.c_str(), wide.size() + 1);
            g_logging = -1;
            int result = c.op(f.c_str());
            // The name is the folder, 3 letters, at least one hex digit and ".tmp".
            bool fits = cch + 3 + 1 + 4 <= PATH_CCH - 1;
            if (fits) {
                EXPECT_EQ(result, c.op == repair ? REPAIR_DONE : REORDER_DONE);
            } else {
                EXPECT_EQ(result, RAMIMAGE_NO_TEMPNAME);
                EXPECT_EQ(dev.log(), c.line);
                EXPECT_EQ(dev.read("/My Documents/b.reg"), image);
            }
            EXPECT_EQ(dev.ls(temp.substr(0, temp.size() - 1)), std::vector<std::string>{});
        }
    }
}

// A flash folder whose name leaves no room for "\Corvane.log" in the log
// path: the log stays at its default place.
TEST(LongInput, FlashFolderNamesNearTheirLimit) {
    for (size_t cch = 240; cch <= 255; ++cch) {
        SCOPED_TRACE(cch);
        ts::Device dev;
        const std::string name = "AFlash" + std::string(cch - 6, 'f');  // sorts before ResidentFlash
        host::fs::create_directory(dev.host("/" + name));
        auto r = ts::corvane({"lfs", "\\My Documents\\b.reg"});
        EXPECT_EQ(r.exitCode, 1);
        bool inFlash = cch + 12 <= LOG_PATH_CCH - 1;
        std::string log = inFlash ? dev.read("/" + name + "/Corvane.log") : dev.log();
        EXPECT_EQ(lastLine(log), "main, option s, registry information copied to \\My Documents\\b.reg");
        EXPECT_EQ(dev.exists("/Corvane.log"), !inFlash);
    }
}

}  // namespace
