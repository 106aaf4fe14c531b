// tmux.h - a program on a real terminal for tests: a tmux server of the
// test's own, its screen, keys sent to it, and the program's exit code.
#pragma once

#include "tests/support/testsupport.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace ts {

inline bool haveTmux() { return std::system("tmux -V >/dev/null 2>&1") == 0; }

// A tmux server of its own, in the device's folder, with one 80x24 pane
// that runs command (a shell command line, ts::command) under a shell which records the
// terminal's settings before and after, and the exit code.
class Tmux {
public:
    Tmux(const ts::Device &device, const std::string &command)
        : dir_(device.dir()), socket_((dir_ / "tmux.sock").string()) {
        std::string script = "stty -g > " + shellQuote((dir_ / "before").string()) + "; " + command + "; echo $? > " +
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
        std::string cmd =
            "tmux -f /dev/null -S " + shellQuote(socket_) + " capture-pane -p > " + shellQuote(file) + " 2>/dev/null";
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
    bool settingsRestored() const {
        return !readFile(dir_ / "before").empty() && readFile(dir_ / "before") == readFile(dir_ / "after");
    }

private:
    host::fs::path dir_;
    std::string socket_;
    bool started_ = false;
};

}  // namespace ts
