// terminal_test.cpp - the restart prompt on a real terminal, under tmux: what
// the screen shows, the keys, a second run while the prompt is open, and the
// terminal's settings afterwards.
#include "tests/prompt/prompt_support.h"
#include "tests/support/tmux.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using ts::haveTmux;
using ts::readFile;
using ts::shellQuote;
using ts::Tmux;

const std::vector<std::string> kDialog = {
    "┌─────────────────────────────────────┐", "│ Pelnor Shell Installation         × │",
    "│                                     │", "│  L'Installation de Pelnor Shell est │",
    "│  terminée, Appuyer sur Redémarrer   │", "│  le GPS.                            │",
    "│                                     │", "│                                     │",
    "│ [        Redémarrer le GPS        ] │", "│                                     │",
    "└─────────────────────────────────────┘",
};

TEST(Terminal, PromptOnScreenSecondRunAndEnter) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed: the prompt was not tried on a terminal";
    ts::Device device;
    Tmux tmux(device, ts::command(PROMPT_RUN_BIN, {"--log"}));
    ASSERT_TRUE(tmux.started());
    ASSERT_TRUE(tmux.waitForPrompt()) << tmux.screenText();
    EXPECT_EQ(tmux.dialog(), kDialog) << tmux.screenText();
    // Centred on the 80x24 screen: 39 columns and 11 rows.
    std::vector<std::string> screen = tmux.screen();
    ASSERT_GE(screen.size(), 17u);
    EXPECT_EQ(screen[6].find("┌"), 20u);
    EXPECT_EQ(screen[16].find("└"), 20u);

    // What the prompt writes from here on, bell included.
    std::string raw = (device.dir() / "raw").string();
    ASSERT_EQ(tmux.tmux("pipe-pane -o " + shellQuote("cat >> " + shellQuote(raw))), 0);

    // A second run while the prompt is open: it brings the prompt to the
    // front and ends at once, with exit code 0 and no log.
    ts::RunResult second = ts::run(CORVANE_BIN, {"lrd", "\\My Documents\\backup.reg"}, {}, 20);
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_FALSE(device.exists("/Corvane.log"));
    EXPECT_TRUE(Tmux::waitFor([&] { return readFile(raw).find('\a') != std::string::npos; }))
        << "the prompt did not ring the bell";
    EXPECT_NE(readFile(raw).find("Pelnor Shell Installation"), std::string::npos) << "the prompt was not redrawn";

    // The first prompt stays open.
    EXPECT_EQ(tmux.dialog(), kDialog);
    EXPECT_NE(FindWindowW(u"regRestClass", nullptr), nullptr);
    EXPECT_EQ(tmux.exitCode(0.3), -1);

    ASSERT_EQ(tmux.tmux("send-keys Enter"), 0);
    EXPECT_EQ(tmux.exitCode(), 1);
    EXPECT_EQ(device.log(), "user dialog: soft-reset\n");
    EXPECT_TRUE(tmux.settingsRestored());
    EXPECT_EQ(FindWindowW(u"regRestClass", nullptr), nullptr);
    EXPECT_TRUE(pt::publishedWindows().empty());
}

TEST(Terminal, Keys) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed: the prompt was not tried on a terminal";
    struct Case {
        const char *keys;  // tmux send-keys arguments
        int exitCode;
        std::string log;
    } cases[] = {
        {"Space", 1, "user dialog: soft-reset\n"},
        {"Escape", 1, "user dialog: cancel\n"},
        {"C-c", 0, ""},
        // Arrows and letters do nothing; then Esc.
        {"Up x Tab Escape", 1, "user dialog: cancel\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        ts::Device device;
        Tmux tmux(device, ts::command(PROMPT_RUN_BIN, {"--log"}));
        ASSERT_TRUE(tmux.started());
        ASSERT_TRUE(tmux.waitForPrompt()) << tmux.screenText();
        ASSERT_EQ(tmux.tmux(std::string("send-keys ") + c.keys), 0);
        EXPECT_EQ(tmux.exitCode(), c.exitCode);
        EXPECT_EQ(device.log(), c.log);
        EXPECT_TRUE(tmux.settingsRestored());
        EXPECT_TRUE(pt::publishedWindows().empty());
    }
}

TEST(Terminal, HangUpAndTerminationClose) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed: the prompt was not tried on a terminal";
    for (int sig : {SIGHUP, SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ts::Device device;
        Tmux tmux(device, ts::command(PROMPT_RUN_BIN, {"--log"}));
        ASSERT_TRUE(tmux.started());
        ASSERT_TRUE(tmux.waitForPrompt()) << tmux.screenText();
        // The prompt's process, from its window's entry.
        std::vector<std::string> windows = pt::publishedWindows();
        ASSERT_EQ(windows.size(), 1u);
        std::string entry = readFile(host::windowsDir() / windows[0]);
        pid_t pid = static_cast<pid_t>(std::atol(entry.substr(entry.find("pid=") + 4).c_str()));
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(pid, sig), 0);
        EXPECT_EQ(tmux.exitCode(), 0) << "WM_CLOSE ends the prompt with 0";
        EXPECT_EQ(device.log(), "");
        EXPECT_TRUE(tmux.settingsRestored());
        EXPECT_TRUE(pt::publishedWindows().empty());
    }
}

}  // namespace
