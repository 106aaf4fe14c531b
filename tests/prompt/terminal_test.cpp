// terminal_test.cpp - the restart prompt on a real terminal, under tmux: what
// the screen shows, the keys, a second run while the prompt is open, and the
// terminal's settings afterwards.
#include "tests/prompt/prompt_support.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

std::string shellQuote(const std::string &s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string readFile(const host::fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool haveTmux() { return std::system("tmux -V >/dev/null 2>&1") == 0; }

// A tmux server of its own, in the device's folder, with one 80x24 pane
// that runs prompt_run under a shell which records the terminal's settings
// before and after, and the exit code.
class Tmux {
public:
    explicit Tmux(const ts::Device &device) : dir_(device.dir()), socket_((dir_ / "tmux.sock").string()) {
        std::string script = "stty -g > " + shellQuote((dir_ / "before").string()) + "; " +
                             shellQuote(PROMPT_RUN_BIN) + " --log; echo $? > " +
                             shellQuote((dir_ / "rc.tmp").string()) + "; stty -g > " +
                             shellQuote((dir_ / "after").string()) + "; mv " + shellQuote((dir_ / "rc.tmp").string()) +
                             " " + shellQuote((dir_ / "rc").string()) + "; sleep 600";
        started_ = tmux("new-session -d -x 80 -y 24 -e CEDEVICE=" + shellQuote(dir_.string()) +
                        " -e CEDEVICE_PROMPT= " + shellQuote("exec sh -c " + shellQuote(script))) == 0;
    }
    ~Tmux() { tmux("kill-server"); }
    bool started() const { return started_; }

    int tmux(const std::string &args) const {
        return std::system(("tmux -f /dev/null -S " + shellQuote(socket_) + " " + args + " >/dev/null 2>&1").c_str());
    }
    std::vector<std::string> screen() const {
        std::string file = (dir_ / "screen").string();
        std::string cmd = "tmux -f /dev/null -S " + shellQuote(socket_) + " capture-pane -p > " + shellQuote(file) + " 2>/dev/null";
        if (std::system(cmd.c_str()) != 0) return {};
        std::vector<std::string> lines;
        std::ifstream in(file);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // The dialog's lines as the screen shows them, without the left margin.
    std::vector<std::string> dialog() const {
        std::vector<std::string> out;
        for (const std::string &l : screen()) {
            size_t first = l.find_first_not_of(' ');
            if (first == std::string::npos) continue;
            std::string s = l.substr(first);
            if (out.empty() && s.rfind("┌", 0) != 0) continue;
            out.push_back(s);
            if (s.rfind("└", 0) == 0) break;
        }
        return out;
    }
    std::string screenText() const {
        std::string all;
        for (const std::string &l : screen()) all += l + "\n";
        return all;
    }
    // Waits (polling) until pred holds; false after seconds.
    template <class Pred>
    static bool waitFor(Pred pred, double seconds = 15) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return pred();
    }
    bool waitForPrompt() const {
        return waitFor([&] { return screenText().find("[        Redémarrer le GPS        ]") != std::string::npos; });
    }
    // The prompt's exit code once its run has ended, or -1.
    int exitCode(double seconds = 15) const {
        host::fs::path rc = dir_ / "rc";
        if (!waitFor([&] { return host::fs::exists(rc); }, seconds)) return -1;
        return std::atoi(readFile(rc).c_str());
    }
    bool settingsRestored() const { return !readFile(dir_ / "before").empty() && readFile(dir_ / "before") == readFile(dir_ / "after"); }

private:
    host::fs::path dir_;
    std::string socket_;
    bool started_ = false;
};

const std::vector<std::string> kDialog = {
    "┌─────────────────────────────────────┐",
    "│ Pelnor Shell Installation         × │",
    "│                                     │",
    "│  L'Installation de Pelnor Shell est │",
    "│  terminée, Appuyer sur Redémarrer   │",
    "│  le GPS.                            │",
    "│                                     │",
    "│                                     │",
    "│ [        Redémarrer le GPS        ] │",
    "│                                     │",
    "└─────────────────────────────────────┘",
};

TEST(Terminal, PromptOnScreenSecondRunAndEnter) {
    if (!haveTmux()) GTEST_SKIP() << "tmux is not installed: the prompt was not tried on a terminal";
    ts::Device device;
    Tmux tmux(device);
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
        Tmux tmux(device);
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
        Tmux tmux(device);
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
