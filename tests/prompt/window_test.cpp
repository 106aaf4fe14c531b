// window_test.cpp - the simulated device's window, dialog and resource
// services: their contracts, their failures, windows seen across processes,
// and the picture of a dialog.
#include "tests/prompt/prompt_support.h"

#include "resources/resdata.h"
#include "resources/resource.h"

#include <sys/wait.h>
#include <functional>
#include <unistd.h>

namespace {

class Windows : public ::testing::Test {
protected:
    void SetUp() override { host::resetWindows(); }
    void TearDown() override { host::resetWindows(); }
    ts::Device device;
    pt::ScopedEnv noAnswer{"CEDEVICE_PROMPT", std::nullopt};
};

std::string templateBytes() {
    HRSRC found = FindResourceW(host::programInstance(), MAKEINTRESOURCEW(IDD_RESTART), RT_DIALOG);
    const char *p = static_cast<const char *>(LoadResource(host::programInstance(), found));
    return p ? std::string(p, host::resourceBytesFrom(p)) : std::string();
}

// A dialog procedure that records what it is sent and answers as told.
struct Recorder {
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<Message> seen;
    bool endOnCommand = true;
    bool handleClose = true;
    HWND dialog = nullptr;
    HWND found = nullptr;  // FindWindowW(regRestClass) while open
    BOOL raised = FALSE;   // SetForegroundWindow(found | 1) while open
};
Recorder *g_rec = nullptr;

INT_PTR CALLBACK recordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    g_rec->seen.push_back({message, wParam, lParam});
    g_rec->dialog = dialog;
    if (message == WM_INITDIALOG) {
        g_rec->found = FindWindowW(u"regRestClass", nullptr);
        g_rec->raised = SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(g_rec->found) | 1));
        return TRUE;
    }
    if (message == WM_COMMAND && g_rec->endOnCommand) {
        EndDialog(dialog, 100 + LOWORD(wParam));
        return TRUE;
    }
    if (message == WM_CLOSE && g_rec->handleClose) {
        EndDialog(dialog, 42);
        return TRUE;
    }
    return FALSE;
}

void registerPromptClass() {
    WNDCLASSW wc{};
    ASSERT_TRUE(GetClassInfoW(nullptr, u"Dialog", &wc));
    wc.hInstance = host::programInstance();
    wc.lpszClassName = u"regRestClass";
    ASSERT_NE(RegisterClassW(&wc), 0);
}

TEST_F(Windows, DialogClassDescription) {
    WNDCLASSW wc{};
    ASSERT_TRUE(GetClassInfoW(nullptr, u"dialog", &wc));  // class names ignore case
    EXPECT_EQ(wc.lpfnWndProc, &host::defDialogProc);
    EXPECT_EQ(std::u16string(wc.lpszClassName), u"Dialog");
    EXPECT_EQ(wc.hInstance, nullptr);
    EXPECT_GT(wc.cbWndExtra, 0);

    SetLastError(0);
    EXPECT_FALSE(GetClassInfoW(nullptr, u"regRestClass", &wc));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
}

TEST_F(Windows, RegisterClassIsPerProcessAndOnce) {
    WNDCLASSW dialog{}, wc{};
    ASSERT_TRUE(GetClassInfoW(nullptr, u"Dialog", &dialog));
    wc = dialog;
    wc.hInstance = host::programInstance();
    wc.lpszClassName = u"regRestClass";
    ATOM atom = RegisterClassW(&wc);
    EXPECT_GE(atom, 0xC000);
    SetLastError(0);
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    WNDCLASSW back{};
    ASSERT_TRUE(GetClassInfoW(host::programInstance(), u"REGRESTCLASS", &back));
    EXPECT_EQ(std::u16string(back.lpszClassName), u"regRestClass");
    EXPECT_EQ(back.lpfnWndProc, dialog.lpfnWndProc);
    EXPECT_FALSE(GetClassInfoW(nullptr, u"regRestClass", &back)) << "a process's class needs its instance";

    struct Bad {
        const char *what;
        void (*change)(WNDCLASSW &);
    } bad[] = {
        {"no name", [](WNDCLASSW &c) { c.lpszClassName = nullptr; }},
        {"empty name", [](WNDCLASSW &c) { c.lpszClassName = u""; }},
        {"no window procedure",
         [](WNDCLASSW &c) {
             c.lpfnWndProc = nullptr;
             c.lpszClassName = u"x";
         }},
        {"negative extra bytes",
         [](WNDCLASSW &c) {
             c.cbWndExtra = -1;
             c.lpszClassName = u"y";
         }},
    };
    for (const Bad &b : bad) {
        WNDCLASSW c = dialog;
        b.change(c);
        SetLastError(0);
        EXPECT_EQ(RegisterClassW(&c), 0) << b.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << b.what;
    }
}

TEST_F(Windows, ResourcesByOrdinalOrName) {
    HINSTANCE self = host::programInstance();
    EXPECT_NE(FindResourceW(self, MAKEINTRESOURCEW(1001), RT_DIALOG), nullptr);
    EXPECT_EQ(FindResourceW(self, u"#1001", RT_DIALOG), FindResourceW(self, MAKEINTRESOURCEW(1001), RT_DIALOG));
    struct Miss {
        LPCWSTR name, type;
        DWORD error;
    } misses[] = {
        {MAKEINTRESOURCEW(1002), RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
        {u"RESTART", RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
        {MAKEINTRESOURCEW(1001), MAKEINTRESOURCEW(4) /* RT_MENU */, ERROR_RESOURCE_TYPE_NOT_FOUND},
    };
    for (const Miss &m : misses) {
        SetLastError(0);
        EXPECT_EQ(FindResourceW(self, m.name, m.type), nullptr);
        EXPECT_EQ(GetLastError(), m.error);
    }
    SetLastError(0);
    EXPECT_EQ(LoadResource(self, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Windows, LoadIconTakesTheLargeImage) {
    HICON icon = LoadIconW(host::programInstance(), MAKEINTRESOURCEW(IDI_CORVANE));
    ASSERT_NE(icon, nullptr);
    int cx = 0, cy = 0, bits = 0;
    WORD id = 0;
    ASSERT_TRUE(host::iconDetails(icon, cx, cy, bits, id));
    EXPECT_EQ(cx, 32);
    EXPECT_EQ(cy, 32);
    EXPECT_EQ(bits, 4);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(LoadIconW(host::programInstance(), MAKEINTRESOURCEW(IDI_CORVANE)), icon) << "icons are shared";
    SetLastError(0);
    EXPECT_EQ(LoadIconW(host::programInstance(), MAKEINTRESOURCEW(8002)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST_F(Windows, TemplatesThatAreNotWhole) {
    std::string t = templateBytes();
    ASSERT_EQ(t.size(), 348u);
    host::DialogTemplate d;
    // Every cut before the end of the last control leaves a template that
    // is not whole.
    for (size_t cut = 0; cut < t.size(); ++cut)
        ASSERT_EQ(host::parseDialogTemplate(t.data(), cut, d), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << cut;
    std::string extended = pt::bytes({1, 0, 0xff, 0xff}) + std::string(40, '\0');
    EXPECT_EQ(host::parseDialogTemplate(extended.data(), extended.size(), d), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(Windows, MutatedTemplatesAndImagesAreReadSafely) {
    // Every byte set to 0x00 and to 0xFF in turn: the readers stay inside
    // the bytes they are given (the sanitizer build checks) and either
    // succeed or refuse.
    std::string t = templateBytes();
    for (size_t i = 0; i < t.size(); ++i) {
        for (char v : {'\x00', '\xff'}) {
            std::string m = t;
            m[i] = v;
            std::vector<char> exact(m.begin(), m.end());  // nothing readable past the end
            host::DialogTemplate d;
            DWORD r = host::parseDialogTemplate(exact.data(), exact.size(), d);
            EXPECT_TRUE(r == ERROR_SUCCESS || r == ERROR_INVALID_PARAMETER || r == ERROR_NOT_SUPPORTED);
            if (r == ERROR_SUCCESS) EXPECT_LE(d.cbTemplate, exact.size());
        }
    }
    std::string image(reinterpret_cast<const char *>(corvane::programRes), corvane::programResBytes);
    for (size_t i = 0; i < 400; ++i) {
        std::string m = image;
        m[i] = '\xff';
        std::vector<BYTE> exact(m.begin(), m.end());
        std::vector<host::Resource> out;
        std::string error;
        if (host::parseResourceImage(exact.data(), exact.size(), out, error)) {
            for (const host::Resource &r : out) EXPECT_LE(r.data + r.cbData, exact.data() + exact.size());
        }
    }
}

TEST_F(Windows, DialogFailures) {
    pt::ScopedEnv answer("CEDEVICE_PROMPT", "ok");
    std::string t = templateBytes();
    auto tpl = reinterpret_cast<LPCDLGTEMPLATEW>(t.data());
    Recorder rec;
    g_rec = &rec;

    SetLastError(0);
    EXPECT_EQ(DialogBoxIndirectParamW(host::programInstance(), nullptr, nullptr, recordingProc, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // The template names regRestClass, which nobody registered.
    SetLastError(0);
    EXPECT_EQ(DialogBoxIndirectParamW(host::programInstance(), tpl, nullptr, recordingProc, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));

    registerPromptClass();
    SetLastError(0);
    HWND notAWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1230));
    EXPECT_EQ(DialogBoxIndirectParamW(host::programInstance(), tpl, notAWindow, recordingProc, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    {
        pt::ScopedEnv wrong("CEDEVICE_PROMPT", "yes");
        SetLastError(0);
        EXPECT_EQ(DialogBoxIndirectParamW(host::programInstance(), tpl, nullptr, recordingProc, 0), -1);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(rec.seen.empty()) << "no failed dialog reached its procedure";
    EXPECT_TRUE(pt::publishedWindows().empty());

    SetLastError(0);
    EXPECT_FALSE(EndDialog(notAWindow, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(Windows, ScriptedAnswersSendWhatTheKeysSend) {
    std::string t = templateBytes();
    auto tpl = reinterpret_cast<LPCDLGTEMPLATEW>(t.data());
    registerPromptClass();
    struct Case {
        const char *answer;
        bool handleClose;
        std::vector<UINT> messages;   // after WM_INITDIALOG
        std::vector<WPARAM> wParams;  // of those messages
        bool controlInLParam;         // the button's handle with its command
        INT_PTR result;
    } cases[] = {
        {"ok", true, {WM_COMMAND}, {IDOK}, true, 101},
        {"cancel", true, {WM_COMMAND}, {IDCANCEL}, false, 102},
        {"close", true, {WM_CLOSE}, {0}, false, 42},
        // A procedure that leaves WM_CLOSE alone gets the cancel command.
        {"close", false, {WM_CLOSE, WM_COMMAND}, {0, IDCANCEL}, false, 102},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.answer) + (c.handleClose ? "" : ", close not handled"));
        pt::ScopedEnv answer("CEDEVICE_PROMPT", c.answer);
        Recorder rec;
        rec.handleClose = c.handleClose;
        g_rec = &rec;
        EXPECT_EQ(DialogBoxIndirectParamW(host::programInstance(), tpl, nullptr, recordingProc, 77), c.result);
        ASSERT_EQ(rec.seen.size(), 1 + c.messages.size());
        EXPECT_EQ(rec.seen[0].message, static_cast<UINT>(WM_INITDIALOG));
        EXPECT_EQ(rec.seen[0].lParam, 77);
        EXPECT_NE(rec.seen[0].wParam, 0u) << "WM_INITDIALOG names the control with the focus";
        for (size_t i = 0; i < c.messages.size(); ++i) {
            EXPECT_EQ(rec.seen[1 + i].message, c.messages[i]);
            EXPECT_EQ(rec.seen[1 + i].wParam, c.wParams[i]);
        }
        if (c.controlInLParam) EXPECT_EQ(static_cast<WPARAM>(rec.seen[1].lParam), rec.seen[0].wParam);
        // While open, the dialog is the device's regRestClass window.
        EXPECT_EQ(rec.found, rec.dialog);
        EXPECT_TRUE(rec.raised);
        EXPECT_TRUE(pt::publishedWindows().empty()) << "a closed dialog is no longer listed";
        EXPECT_EQ(FindWindowW(u"regRestClass", nullptr), nullptr);
    }
}

TEST_F(Windows, ScriptedAnswerThatDoesNotEndTheDialog) {
    std::string t = templateBytes();
    registerPromptClass();
    pt::ScopedEnv answer("CEDEVICE_PROMPT", "ok");
    Recorder rec;
    rec.endOnCommand = false;
    g_rec = &rec;
    SetLastError(0);
    EXPECT_EQ(DialogBoxIndirectParamW(host::programInstance(), reinterpret_cast<LPCDLGTEMPLATEW>(t.data()), nullptr,
                                      recordingProc, 0),
              -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(pt::publishedWindows().empty());
}

// A window file as another process leaves it.
void writeWindowFile(const std::string &handle, long pid, const std::string &start, const std::string &cls) {
    host::fs::create_directories(host::windowsDir());
    std::ofstream out(host::windowsDir() / (handle + ".win"));
    out << "pid=" << pid << "\nstart=" << start << "\nclass=" << cls << "\ntitle=Pelnor Shell Installation\n";
}

TEST_F(Windows, WindowsOfEndedProcessesAreIgnored) {
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    writeWindowFile("1230", child, "", "regRestClass");
    // Our own pid with another start time: a pid that came back.
    writeWindowFile("4560", getpid(), "1", "regRestClass");
    EXPECT_EQ(FindWindowW(u"regRestClass", nullptr), nullptr);
    EXPECT_TRUE(pt::publishedWindows().empty()) << "windows of ended processes are cleared away";

    SetLastError(0);
    EXPECT_FALSE(SetForegroundWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1231))));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(Windows, FindWindowMatchesClassAndTitle) {
    writeWindowFile("7770", getpid(), "", "regRestClass");
    HWND seven = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7770));
    struct Case {
        const char16_t *cls, *title;
        HWND expected;
    } cases[] = {
        {u"regRestClass", nullptr, seven},
        {u"REGRESTCLASS", nullptr, seven},
        {u"regRestClass", u"Pelnor Shell Installation", seven},
        {nullptr, u"Pelnor Shell Installation", seven},
        {u"regRestClass", u"Other", nullptr},
        {u"Dialog", nullptr, nullptr},
    };
    for (const Case &c : cases) EXPECT_EQ(FindWindowW(c.cls, c.title), c.expected);
    // Listed, but without its FIFO: there is no loop to bring to the front.
    EXPECT_FALSE(SetForegroundWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7771))));
}

TEST_F(Windows, ServicesFailByFaultRule) {
    struct Case {
        const char *rule;
        std::function<bool()> failed;
    } cases[] = {
        {"GetClassInfoW@1",
         [] {
             WNDCLASSW wc;
             return !GetClassInfoW(nullptr, u"Dialog", &wc);
         }},
        {"RegisterClassW@1",
         [] {
             WNDCLASSW wc;
             GetClassInfoW(nullptr, u"Dialog", &wc);
             wc.lpszClassName = u"z";
             return RegisterClassW(&wc) == 0;
         }},
        {"LoadIconW@1", [] { return !LoadIconW(host::programInstance(), MAKEINTRESOURCEW(IDI_CORVANE)); }},
        {"FindResourceW@1", [] { return !FindResourceW(host::programInstance(), MAKEINTRESOURCEW(1001), RT_DIALOG); }},
        {"LoadResource@1",
         [] {
             HRSRC r = FindResourceW(host::programInstance(), MAKEINTRESOURCEW(1001), RT_DIALOG);
             return !LoadResource(host::programInstance(), r);
         }},
        {"FindWindowW@1",
         [] {
             writeWindowFile("9990", getpid(), "", "regRestClass");
             return !FindWindowW(u"regRestClass", nullptr);
         }},
        {"DialogBoxIndirectParamW@1",
         [] {
             std::string t = templateBytes();
             return DialogBoxIndirectParamW(host::programInstance(), reinterpret_cast<LPCDLGTEMPLATEW>(t.data()),
                                            nullptr, recordingProc, 0) == -1;
         }},
    };
    for (const Case &c : cases) {
        host::resetWindows();
        ASSERT_TRUE(host::setFaults(c.rule));
        SetLastError(0);
        EXPECT_TRUE(c.failed()) << c.rule;
        EXPECT_NE(GetLastError(), 0u) << c.rule;
        EXPECT_EQ(host::faultsFired(), 1) << c.rule;
        host::clearFaults();
    }
}

TEST(WrapText, BreaksAtBlanks) {
    struct Case {
        std::u16string text;
        size_t width;
        std::vector<std::u16string> lines;
    } cases[] = {
        {u"L'Installation de Pelnor Shell est termin\u00e9e, Appuyer sur Red\u00e9marrer le GPS.",
         34,
         {u"L'Installation de Pelnor Shell est", u"termin\u00e9e, Appuyer sur Red\u00e9marrer", u"le GPS."}},
        {u"one two", 7, {u"one two"}},
        {u"one two", 6, {u"one", u"two"}},
        {u"  spaced   out  ", 20, {u"spaced out"}},
        {u"abcdefghij", 4, {u"abcd", u"efgh", u"ij"}},
        {u"first\r\nsecond", 20, {u"first", u"second"}},
        {u"", 5, {u""}},
    };
    for (const Case &c : cases) EXPECT_EQ(host::wrapText(c.text, c.width), c.lines) << host::toUtf8(c.text);
}

TEST_F(Windows, ThePromptAsTheTerminalShowsIt) {
    std::string t = templateBytes();
    host::DialogTemplate d;
    ASSERT_EQ(host::parseDialogTemplate(t.data(), t.size(), d), static_cast<DWORD>(ERROR_SUCCESS));
    registerPromptClass();
    host::Window *w = host::createDialogWindow(d.windowClass, recordingProc, d);
    ASSERT_NE(w, nullptr);
    std::vector<std::string> expected = {
        "┌─────────────────────────────────────┐", "│ Pelnor Shell Installation         × │",
        "│                                     │", "│  L'Installation de Pelnor Shell est │",
        "│  terminée, Appuyer sur Redémarrer   │", "│  le GPS.                            │",
        "│                                     │", "│                                     │",
        "│ [        Redémarrer le GPS        ] │", "│                                     │",
        "└─────────────────────────────────────┘",
    };
    EXPECT_EQ(host::renderDialog(*w), expected);
    host::destroyWindow(w);
}

}  // namespace
