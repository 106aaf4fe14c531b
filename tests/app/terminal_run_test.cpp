// The restart prompt through the program on a real terminal (tmux): a
// restore with options r and d, Enter on the prompt, and the device restarts
// with the restored registry.
#include "tests/support/tmux.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(TerminalRun, EnterRestartsTheDeviceWithTheRestoredRegistry) {
    if (!ts::haveTmux()) GTEST_SKIP() << "tmux is not installed: the prompt was not tried on a terminal";
    ts::Device dev("ram");
    const std::string file = "\\My Documents\\backup.reg";
    ASSERT_EQ(ts::corvane({"s", file}).exitCode, 1);
    ASSERT_EQ(ts::cedevice({"reg", "set", "HKLM\\Software\\Pelnor\\Shell", "Version", "REG_SZ", "6.1"}).exitCode, 0);
    std::string boots = host::stateGet("boots");

    ts::Tmux tmux(dev, ts::command(CORVANE_BIN, {"lrd " + file}));
    ASSERT_TRUE(tmux.started());
    ASSERT_TRUE(tmux.waitForPrompt()) << tmux.screenText();
    EXPECT_NE(tmux.screenText().find("Pelnor Shell Installation"), std::string::npos);
    ASSERT_EQ(tmux.tmux("send-keys Enter"), 0);
    EXPECT_EQ(tmux.exitCode(), 1);
    EXPECT_TRUE(tmux.settingsRestored());
    EXPECT_NE(tmux.screenText().find("corvane: the device restarts now\n"), std::string::npos) << tmux.screenText();

    std::string log = dev.log();
    const std::string last = "main, option r: RegRestoreFile used\nuser dialog: soft-reset\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
    EXPECT_NE(host::stateGet("boots"), boots);
    auto q = ts::cedevice({"reg", "query", "HKLM\\Software\\Pelnor\\Shell", "Version"});
    EXPECT_NE(q.out.find("REG_SZ    5.0"), std::string::npos) << q.out;
}

}  // namespace

namespace {

// The lines of the screen from the first that starts with prefix on.
std::string screenFrom(const ts::Tmux &tmux, const std::string &prefix) {
    std::string text = tmux.screenText();
    size_t at = text.find(prefix);
    if (at == std::string::npos) return text;
    std::string rest = text.substr(at);
    while (rest.size() >= 2 && rest.substr(rest.size() - 2) == "\n\n") rest.pop_back();
    return rest;
}

TEST(TerminalRun, RunOnATerminalEndsWithWhatItDid) {
    if (!ts::haveTmux()) GTEST_SKIP() << "tmux is not installed";
    struct Case {
        const char *line;
        const char *screen;  // from the first line of the summary
    };
    const Case cases[] = {
        {"ls \\My Documents\\b.reg",
         "corvane: this run's log (\\Corvane.log):\n"
         "Corvane Logfile\n"
         "options: ls\n"
         "file: \\My Documents\\b.reg\n"
         "\n"
         "detectSig: RAM based registry sig\n"
         "main, option s: RegCopyFile used\n"
         "main, option s: replacing the file with \\My Documents\\cpy4.tmp\n"
         "main, option s, registry information copied to \\My Documents\\b.reg\n"
         "corvane: \\My Documents\\b.reg: written (8468 bytes)\n"
         "corvane: exit code 1: the operations ran; the log above tells how they went\n"},
        // With f the log is the flash folder's: the summary shows the one the run wrote.
        {"lfx \\none.reg",
         "corvane: this run's log (\\ResidentFlash\\Corvane.log):\n"
         "Corvane Logfile\n"
         "options: lfx\n"
         "file: \\none.reg\n"
         "\n"
         "main, option c|x ignored, file sig not correct\n"  // the screen keeps no trailing blank
         "corvane: \\none.reg: not written: it cannot be read: no such file\n"
         "corvane: exit code 1: the operations ran; the log above tells how they went\n"},
        {"s \\No Such Dir\\x.reg",
         "corvane: \\No Such Dir\\x.reg: not written: a folder on the way does not exist\n"
         "corvane: exit code 1: the operations ran; l in the options logs how they went\n"},
        // A restore that did not happen says so, and why, with the log off.
        {"r \\nonexist.bak",
         "corvane: not restored: \\nonexist.bak is missing (no such file)\n"
         "corvane: exit code 1: the operations ran; l in the options logs how they went\n"},
        {"r \\My Documents",
         "corvane: not restored: \\My Documents is a folder, not a file\n"
         "corvane: exit code 1: the operations ran; l in the options logs how they went\n"},
        {"rq \\nonexist.bak",
         "corvane: options 'rq': q is not an option letter (lfshrcxd), ignored\n"
         "corvane: not restored: \\nonexist.bak is missing (no such file)\n"
         "corvane: exit code 1: the operations ran; l in the options logs how they went\n"},
        {"ab", "corvane: exit code 0: nothing ran (a command line shorter than 3 characters)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ts::Device dev("ram");
        ts::Tmux tmux(dev, ts::command(CORVANE_BIN, {c.line}) + " 2>&1 | cat; " + ts::command(CORVANE_BIN, {c.line}));
        ASSERT_TRUE(tmux.started());
        int code = tmux.exitCode();
        EXPECT_EQ(code, c.line[0] == 'a' ? 0 : 1);
        // Through a pipe the run says nothing; on the terminal, what it did.
        EXPECT_EQ(screenFrom(tmux, "corvane:"), c.screen) << tmux.screenText();
    }
    // The log's bytes are those of a run without a terminal.
    ts::Device a("ram"), b("ram");
    ts::Tmux tmux(a, ts::command(CORVANE_BIN, {"lsc \\My Documents\\b.reg"}));
    ASSERT_TRUE(tmux.started());
    ASSERT_EQ(tmux.exitCode(), 1);
    host::selectDevice(b.dir());
    ASSERT_EQ(ts::corvane({"lsc", "\\My Documents\\b.reg"}).exitCode, 1);
    EXPECT_EQ(ts::readFile(b.dir() / "fs/Corvane.log"), ts::readFile(a.dir() / "fs/Corvane.log"));
}

TEST(TerminalRun, PromptShowsItsKeysUnderTheDialog) {
    if (!ts::haveTmux()) GTEST_SKIP() << "tmux is not installed";
    ts::Device dev("ram");
    const std::string file = "\\My Documents\\backup.reg";
    ASSERT_EQ(ts::corvane({"s", file}).exitCode, 1);
    ts::Tmux tmux(dev, ts::command(CORVANE_BIN, {"rd " + file}));
    ASSERT_TRUE(tmux.started());
    ASSERT_TRUE(tmux.waitForPrompt()) << tmux.screenText();
    std::vector<std::string> screen = tmux.screen();
    auto bottom = std::find_if(screen.begin(), screen.end(),
                               [](const std::string &l) { return l.find("└") != std::string::npos; });
    ASSERT_NE(bottom, screen.end());
    ASSERT_NE(bottom + 1, screen.end());
    EXPECT_EQ(bottom[1], "             Enter: press the button · Esc: cancel · Ctrl-C: close");
    ASSERT_EQ(tmux.tmux("send-keys Escape"), 0);
    EXPECT_EQ(tmux.exitCode(), 1);
    // A cancelled prompt leaves the restore armed, and the run says so.
    EXPECT_NE(tmux.screenText().find("corvane: restore queued for the next boot (from \\My Documents\\backup.reg)\n"
                                     "corvane: not restarted: the restore still applies at the next boot\n"),
              std::string::npos)
        << tmux.screenText();
}

}  // namespace
