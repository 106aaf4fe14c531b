// prompt_test.cpp - the restart prompt: restartDlgProc's whole table, the
// set-up's calls in order and its failures with their exit codes, in-process
// and as a whole program (prompt_run, the prompt's own entry).
#include "tests/prompt/prompt_support.h"

#include "app/driver.h"
#include "resources/resource.h"

namespace {

class Prompt : public ::testing::Test {
protected:
    void SetUp() override {
        host::resetWindows();
        g_logging = -1;
    }
    void TearDown() override { host::resetWindows(); }
    ts::Device device;
    pt::ScopedEnv noAnswer{"CEDEVICE_PROMPT", std::nullopt};
};

// The prompt's window, made as the dialog service makes it, for calling
// restartDlgProc directly.
host::Window *promptWindow() {
    HRSRC found = FindResourceW(host::programInstance(), MAKEINTRESOURCEW(IDD_RESTART), RT_DIALOG);
    const void *t = LoadResource(host::programInstance(), found);
    host::DialogTemplate d;
    if (host::parseDialogTemplate(t, host::resourceBytesFrom(t), d) != ERROR_SUCCESS) return nullptr;
    d.windowClass = host::SzOrOrd();  // the platform's dialog class will do
    return host::createDialogWindow(d.windowClass, restartDlgProc, d);
}

TEST_F(Prompt, DialogProcedureTable) {
    struct Row {
        const char *what;
        UINT message;
        WPARAM wParam;
        INT_PTR returns;
        bool ends;
        INT_PTR endValue;
        std::string log;
        bool restarts;
    } rows[] = {
        {"WM_CLOSE", WM_CLOSE, 0, TRUE, true, 0, "", false},
        {"WM_INITDIALOG", WM_INITDIALOG, 0, TRUE, false, 0, "", false},
        {"IDOK", WM_COMMAND, IDOK, TRUE, true, 1, "user dialog: soft-reset\n", true},
        {"IDOK, high bits set", WM_COMMAND, 0xABCD0001, TRUE, true, 1, "user dialog: soft-reset\n", true},
        {"IDCANCEL", WM_COMMAND, IDCANCEL, TRUE, true, 1, "user dialog: cancel\n", false},
        {"IDCANCEL, high bits set", WM_COMMAND, 0x00010002, TRUE, true, 1, "user dialog: cancel\n", false},
        {"other command 0", WM_COMMAND, 0, FALSE, false, 0, "", false},
        {"other command 3", WM_COMMAND, 3, FALSE, false, 0, "", false},
        {"other command 0x10000", WM_COMMAND, 0x10000, FALSE, false, 0, "", false},
        {"WM_PAINT", 0x000F, 0, FALSE, false, 0, "", false},
        {"WM_SYSCOMMAND", 0x0112, 0xF060, FALSE, false, 0, "", false},
        {"WM_USER with IDOK", 0x0400, IDOK, FALSE, false, 0, "", false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        host::resetWindows();
        device.write("/Corvane.log", "");
        pt::Trace trace(device);
        host::Window *w = promptWindow();
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(restartDlgProc(w->hwnd, r.message, r.wParam, 0), r.returns);
        EXPECT_EQ(w->ended, r.ends);
        if (r.ends) EXPECT_EQ(w->result, r.endValue);
        EXPECT_EQ(device.log(), r.log);
        std::vector<std::string> calls = trace.of({"EndDialog", "_wfopen", "KernelIoControl"});
        std::vector<std::string> names;
        for (const std::string &c : calls) names.push_back(c.substr(0, c.find('(')));
        std::vector<std::string> expected;
        if (r.ends) expected.push_back("EndDialog");
        if (!r.log.empty()) expected.push_back("_wfopen");
        if (r.restarts) expected.push_back("KernelIoControl");
        // In this order: the prompt ends, the entry is written, the device restarts.
        EXPECT_EQ(names, expected);
        if (r.restarts) EXPECT_EQ(calls.back().rfind("KernelIoControl(0x101003c", 0), 0u) << calls.back();
    }
}

TEST_F(Prompt, SetUpCallsInOrder) {
    pt::ScopedEnv answer("CEDEVICE_PROMPT", "ok");
    pt::Trace trace(device);
    EXPECT_EQ(showRestartPrompt(host::programInstance()), 1);
    std::vector<std::string> calls = trace.of(
        {"GetClassInfoW", "LoadIconW", "RegisterClassW", "FindResourceW", "LoadResource", "DialogBoxIndirectParamW"});
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0], "GetClassInfoW(0x0, \"Dialog\") = 1");
    EXPECT_EQ(calls[1].rfind("LoadIconW(", 0), 0u);
    EXPECT_NE(calls[1].find(", 8001) = "), std::string::npos) << calls[1];
    EXPECT_EQ(calls[2].rfind("RegisterClassW(\"regRestClass\", ", 0), 0u) << calls[2];
    EXPECT_EQ(calls[3].rfind("FindResourceW(", 0), 0u);
    EXPECT_NE(calls[3].find(", 1001, 5) = "), std::string::npos) << calls[3];
    EXPECT_EQ(calls[4].rfind("LoadResource(", 0), 0u);
    // No owner, initial parameter 0; the dialog's result is the exit code.
    EXPECT_NE(calls[5].find(", 0x0, "), std::string::npos) << calls[5];
    EXPECT_NE(calls[5].find(", 0) = 1"), std::string::npos) << calls[5];
    EXPECT_EQ(device.log(), "user dialog: soft-reset\n");
}

TEST_F(Prompt, ClassIsTheDialogClassUnderThreeNewFields) {
    pt::ScopedEnv answer("CEDEVICE_PROMPT", "cancel");
    EXPECT_EQ(showRestartPrompt(host::programInstance()), 1);
    WNDCLASSW dialog{}, ours{};
    ASSERT_TRUE(GetClassInfoW(nullptr, u"Dialog", &dialog));
    ASSERT_TRUE(GetClassInfoW(host::programInstance(), u"regRestClass", &ours));
    EXPECT_EQ(ours.hInstance, host::programInstance());
    EXPECT_EQ(ours.hIcon, LoadIconW(host::programInstance(), MAKEINTRESOURCEW(IDI_CORVANE)));
    EXPECT_EQ(std::u16string(ours.lpszClassName), u"regRestClass");
    EXPECT_EQ(ours.style, dialog.style);
    EXPECT_EQ(ours.lpfnWndProc, dialog.lpfnWndProc);
    EXPECT_EQ(ours.cbClsExtra, dialog.cbClsExtra);
    EXPECT_EQ(ours.cbWndExtra, dialog.cbWndExtra);
    EXPECT_EQ(ours.hCursor, dialog.hCursor);
    EXPECT_EQ(ours.hbrBackground, dialog.hbrBackground);
    EXPECT_EQ(ours.lpszMenuName, dialog.lpszMenuName);
    EXPECT_EQ(device.log(), "user dialog: cancel\n");
}

TEST_F(Prompt, AnswersAndExitCodes) {
    struct Case {
        const char *answer;
        int exitCode;
        std::string log;
    } cases[] = {
        {"ok", 1, "user dialog: soft-reset\n"},
        {"cancel", 1, "user dialog: cancel\n"},
        {"close", 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer);
        host::resetWindows();
        device.write("/Corvane.log", "");
        pt::ScopedEnv answer("CEDEVICE_PROMPT", c.answer);
        EXPECT_EQ(showRestartPrompt(host::programInstance()), c.exitCode);
        EXPECT_EQ(device.log(), c.log);
        EXPECT_TRUE(pt::publishedWindows().empty());
    }
}

TEST_F(Prompt, SetUpFailures) {
    struct Case {
        const char *rule;
        int exitCode;
        std::vector<std::string> notCalled;
    } cases[] = {
        {"GetClassInfoW@1", 0, {"LoadIconW", "RegisterClassW", "FindResourceW", "DialogBoxIndirectParamW"}},
        {"RegisterClassW@1", 0, {"FindResourceW", "LoadResource", "DialogBoxIndirectParamW"}},
        {"DialogBoxIndirectParamW@1", -1, {"EndDialog"}},
        // The template's look-up is unchecked: the dialog service gets NULL.
        {"FindResourceW@1", -1, {"EndDialog"}},
        {"LoadResource@1", -1, {"EndDialog"}},
    };
    pt::ScopedEnv answer("CEDEVICE_PROMPT", "ok");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rule);
        host::resetWindows();
        pt::Trace trace(device);
        ASSERT_TRUE(host::setFaults(c.rule));
        EXPECT_EQ(showRestartPrompt(host::programInstance()), c.exitCode);
        EXPECT_EQ(host::faultsFired(), 1);
        EXPECT_EQ(device.log(), "") << "a prompt that is not set up logs nothing";
        std::vector<std::string> names = trace.names();
        for (const std::string &n : c.notCalled) EXPECT_EQ(std::count(names.begin(), names.end(), n), 0) << n;
        host::clearFaults();
    }
}

TEST_F(Prompt, IconThatCannotBeLoadedStillShowsThePrompt) {
    pt::ScopedEnv answer("CEDEVICE_PROMPT", "ok");
    ASSERT_TRUE(host::setFaults("LoadIconW@*"));
    EXPECT_EQ(showRestartPrompt(host::programInstance()), 1);
    EXPECT_EQ(device.log(), "user dialog: soft-reset\n");
}

TEST_F(Prompt, WholeProgram) {
    struct Case {
        const char *what;
        std::map<std::string, std::string> env;
        int exitCode;
        std::string log;
    } cases[] = {
        {"button", {{"CEDEVICE_PROMPT", "ok"}}, 1, "user dialog: soft-reset\n"},
        {"cancel", {{"CEDEVICE_PROMPT", "cancel"}}, 1, "user dialog: cancel\n"},
        {"closed", {{"CEDEVICE_PROMPT", "close"}}, 0, ""},
        {"no terminal and no answer", {{"CEDEVICE_PROMPT", "\x01"}}, 255, ""},
        {"no class description", {{"CEDEVICE_PROMPT", "ok"}, {"CEDEVICE_FAULTS", "GetClassInfoW@1"}}, 0, ""},
        {"class not registered", {{"CEDEVICE_PROMPT", "ok"}, {"CEDEVICE_FAULTS", "RegisterClassW@1"}}, 0, ""},
        {"dialog not shown", {{"CEDEVICE_PROMPT", "ok"}, {"CEDEVICE_FAULTS", "DialogBoxIndirectParamW@1"}}, 255, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        device.write("/Corvane.log", "");
        ts::RunResult r = ts::run(PROMPT_RUN_BIN, {"--log"}, c.env);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(device.log(), c.log);
        EXPECT_TRUE(pt::publishedWindows().empty());
    }
}

}  // namespace

namespace {

// The button restarts the device: a restore waiting for the next boot takes
// effect, and the boot count grows. The cancel command leaves both alone.
TEST(PromptRestart, ButtonWarmBootsTheDevice) {
    struct Case {
        const char *answer;
        const char *valueAfter;
        const char *bootsAfter;
    } cases[] = {{"ok", "saved", "1"}, {"cancel", "changed", "0"}, {"close", "changed", "0"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer);
        ts::Device device("ram");
        auto set = [](const char *value) {
            ts::RunResult r = ts::cedevice({"reg", "set", "HKLM\\Software\\Corvane", "State", "REG_SZ", value});
            ASSERT_EQ(r.exitCode, 0) << r.err;
        };
        set("saved");
        ASSERT_TRUE(RegCopyFile(u"\\Temp\\save.img"));
        set("changed");
        ASSERT_TRUE(RegRestoreFile(u"\\Temp\\save.img"));
        ts::RunResult r = ts::run(PROMPT_RUN_BIN, {}, {{"CEDEVICE_PROMPT", c.answer}});
        EXPECT_EQ(r.exitCode, std::string(c.answer) == "close" ? 0 : 1) << r.err;
        ts::RunResult q = ts::cedevice({"reg", "query", "HKLM\\Software\\Corvane", "State"});
        EXPECT_EQ(q.out,
                  std::string("HKEY_LOCAL_MACHINE\\Software\\Corvane\n    State    REG_SZ    ") + c.valueAfter + "\n");
        EXPECT_EQ(host::stateGet("boots", "0"), c.bootsAfter);
    }
}

}  // namespace
