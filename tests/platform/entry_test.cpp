// The host's process entry: the command lines it answers itself, the
// command lines it refuses, and the lines that explain a failure.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// Every file under a folder with its bytes.
std::map<std::string, std::string> snapshot(const fs::path &dir) {
    std::map<std::string, std::string> files;
    for (auto &e : fs::recursive_directory_iterator(dir))
        files[fs::relative(e.path(), dir).string()] = e.is_regular_file() ? ts::readFile(e.path()) : "<dir>";
    return files;
}

TEST(HostEntry, UsageAndVersionLeaveTheDeviceAlone) {
    ts::Device dev;
    const fs::path missing = dev.dir() / "not-yet";
    struct Case {
        std::vector<std::string> args;
        const char *out;  // the start of standard output
    };
    const Case cases[] = {
        {{}, "usage: corvane OPTIONS FILE "},     {{""}, "usage: corvane OPTIONS FILE "},
        {{"-h"}, "usage: corvane OPTIONS FILE "}, {{"--help"}, "usage: corvane OPTIONS FILE "},
        {{"--version"}, "corvane 3.2\n"},
    };
    auto before = snapshot(dev.dir());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        ts::RunResult r = ts::corvane(c.args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.substr(0, std::string(c.out).size()), c.out);
        EXPECT_EQ(r.err, "");
        // A device that does not exist is not made either.
        EXPECT_EQ(ts::corvane(c.args, {{"CEDEVICE", missing.string()}}).exitCode, 0);
        EXPECT_FALSE(fs::exists(missing));
    }
    EXPECT_EQ(snapshot(dev.dir()), before);  // no log, no work file, no restore queued
    ts::RunResult usage = ts::corvane({"--help"});
    for (const char *word : {" l ", " s ", " r ", " c ", " x ", " d ", "CEDEVICE", "Exit codes", "\\Corvane.log"})
        EXPECT_NE(usage.out.find(word), std::string::npos) << word;
    // Any other first word that starts with '-' is a usage error: nothing
    // runs (--versions would otherwise save and restore), and a device that
    // CEDEVICE names must be one already.
    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int exitCode;
        std::string err;
    } refused[] = {
        {{"--versions"},
         {},
         2,
         "corvane: '--versions' is not an options word (corvane --help lists the letters); nothing ran\n"},
        {{"-v", "\\b.reg"},
         {},
         2,
         "corvane: '-v' is not an options word (corvane --help lists the letters); nothing ran\n"},
        {{"s", "\\b.reg"},
         {{"CEDEVICE", missing.string()}},
         125,
         "corvane: " + missing.string() + " is not a device (CEDEVICE names it; cedevice init makes one there)\n"},
    };
    for (const auto &c : refused) {
        ts::RunResult r = ts::corvane(c.args, c.env);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(ts::cedevice({"status"}, c.env).exitCode, c.env.empty() ? 0 : 125);
    }
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(snapshot(dev.dir()), before);
}

TEST(HostEntry, CommandLineThatIsNotUtf8IsRefusedBeforeAnythingRuns) {
    ts::Device dev;
    struct Case {
        const char *line;
        const char *err;
    };
    const Case cases[] = {
        {"ls \\My Documents\\b\xFF.reg",
         "corvane: the command line is not valid UTF-8 (byte 0xFF at offset 18); nothing was done\n"},
        {"ls \\My\xC0\xAF"
         "b.reg",
         "corvane: the command line is not valid UTF-8 (byte 0xC0 at offset 6); nothing was done\n"},
        {"lsc \\\xED\xA0\x80.reg",
         "corvane: the command line is not valid UTF-8 (byte 0xED at offset 5); nothing was done\n"},
        {"l\xF4\x90\x80\x80s \\b.reg",
         "corvane: the command line is not valid UTF-8 (byte 0xF4 at offset 1); nothing was done\n"},
    };
    auto before = snapshot(dev.dir());
    for (const Case &c : cases) {
        ts::RunResult r = ts::corvane({c.line});
        EXPECT_EQ(r.exitCode, 97) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(snapshot(dev.dir()), before);
}

TEST(HostEntry, FailuresSayWhyInOneLine) {
    ts::Device dev;
    const std::string file = "\\My Documents\\b.reg";
    ASSERT_EQ(ts::corvane({"s", file}).exitCode, 1);
    struct Case {
        std::map<std::string, std::string> env;
        int exitCode;
        const char *err;
    };
    const Case cases[] = {
        {{{"CEDEVICE_PROMPT", "bogus"}},
         255,
         "corvane: CEDEVICE_PROMPT=bogus is not an answer of the restart prompt: ok, cancel or close\n"},
        {{{"CEDEVICE_PROMPT", "OK"}},
         255,
         "corvane: CEDEVICE_PROMPT=OK is not an answer of the restart prompt: ok, cancel or close\n"},
        {{{"CEDEVICE_PROMPT", "\x01"}},
         255,
         "corvane: the restart prompt needs a terminal and there is none; CEDEVICE_PROMPT=ok, cancel or close "
         "answers it\n"},
        {{{"CEDEVICE_FAULTS", "CopyFileW@0"}},
         98,
         "corvane: CEDEVICE_FAULTS: fault rule 'CopyFileW@0': @ needs a call number from 1, or *\n"},
        {{{"CEDEVICE_PROMPT", "ok"}}, 1, ""},
    };
    for (const Case &c : cases) {
        ts::RunResult r = ts::corvane({"lrd", file}, c.env);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
}

}  // namespace
