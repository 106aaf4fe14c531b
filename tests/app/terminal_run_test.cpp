// The restart prompt through the program on a real terminal (tmux): a
// restore with options r and d, Enter on the prompt, and the device restarts
// with the restored registry.
#include "tests/support/tmux.h"

#include <gtest/gtest.h>

namespace {

TEST(TerminalRun, EnterRestartsTheDeviceWithTheRestoredRegistry) {
    if (!ts::haveTmux()) GTEST_SKIP() << "tmux is not installed: the prompt was not tried on a terminal";
    ts::Device dev("ram");
    const std::string file = "\\My Documents\\backup.reg";
    ASSERT_EQ(ts::corvane({"s", file}).exitCode, 1);
    ASSERT_EQ(ts::cedevice({"reg", "set", "HKLM\\Software\\Pelnor\\Shell", "Version", "REG_SZ", "6.1"}).exitCode, 0);
    std::string boots = host::stateGet("boots");

    ts::Tmux tmux(dev, ts::shellQuote(CORVANE_BIN) + " " + ts::shellQuote("lrd " + file));
    ASSERT_TRUE(tmux.started());
    ASSERT_TRUE(tmux.waitForPrompt()) << tmux.screenText();
    EXPECT_NE(tmux.screenText().find("Pelnor Shell Installation"), std::string::npos);
    ASSERT_EQ(tmux.tmux("send-keys Enter"), 0);
    EXPECT_EQ(tmux.exitCode(), 1);
    EXPECT_TRUE(tmux.settingsRestored());

    std::string log = dev.log();
    const std::string last = "main, option r: RegRestoreFile used\nuser dialog: soft-reset\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
    EXPECT_NE(host::stateGet("boots"), boots);
    auto q = ts::cedevice({"reg", "query", "HKLM\\Software\\Pelnor\\Shell", "Version"});
    EXPECT_NE(q.out.find("REG_SZ    5.0"), std::string::npos) << q.out;
}

}  // namespace
