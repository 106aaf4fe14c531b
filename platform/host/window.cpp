// window.cpp - the simulated device's window classes and windows:
// GetClassInfoW, RegisterClassW, FindWindowW and SetForegroundWindow, and the
// window table that the dialog services build on.
//
// Classes are per process, as on the device. The platform has one class of
// its own here, "Dialog", whose window procedure (defDialogProc) runs dialog
// boxes. Windows are seen across the processes of one device: each open
// top-level window is published as state/windows/<handle>.win, a few
// key=value lines (pid, the process's start time, class, title), beside a
// FIFO <handle>.fifo that the window's modal loop reads. FindWindowW reads
// the files and skips (and clears away) windows whose process has ended;
// SetForegroundWindow writes one byte into the FIFO, and the window's loop
// redraws it and rings the bell.
#include "platform/host/window.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <sstream>

namespace host {

namespace {

constexpr UINT kClassDoubleClicks = 0x0008;  // CS_DBLCLKS
constexpr int kColorButtonFace = 15;         // COLOR_BTNFACE
constexpr int kDialogWindowExtra = 30;       // DLGWINDOWEXTRA
constexpr WPARAM kButtonClicked = 0;         // BN_CLICKED
constexpr DWORD kDisabled = 0x08000000;      // WS_DISABLED

const char16_t kDialogClass[] = u"Dialog";

struct ClassEntry {
    std::u16string name;
    std::u16string menuName;  // when the menu is named by a string
    WNDCLASSW wc{};           // lpszClassName and lpszMenuName point into this entry
    ATOM atom = 0;
};

std::deque<ClassEntry> g_classes;  // stable addresses: wc points into its entry
ATOM g_nextAtom = 0xC000;          // string atoms of registered classes
std::list<Window> g_windows;
unsigned g_nextWindow = 1;

// The platform's dialog class, as GetClassInfoW describes it.
WNDCLASSW dialogClass() {
    WNDCLASSW wc{};
    wc.style = kClassDoubleClicks;
    wc.lpfnWndProc = defDialogProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = kDialogWindowExtra;
    wc.hInstance = nullptr;
    wc.hIcon = nullptr;
    wc.hCursor = nullptr;  // a touch screen shows no cursor
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<uintptr_t>(kColorButtonFace + 1));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = kDialogClass;
    return wc;
}

ClassEntry *findClass(const WCHAR *name, bool anyInstance, HINSTANCE instance) {
    for (ClassEntry &c : g_classes) {
        bool match = IS_INTRESOURCE(name) ? c.atom == LOWORD(name) : namesEqual(c.name, name);
        if (match && (anyInstance || c.wc.hInstance == instance)) return &c;
    }
    return nullptr;
}

std::string handleName(uintptr_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(value));
    return buf;
}

// The start time of a process (clock ticks after boot), "" when unknown:
// with the pid it tells a live window from a dead one whose pid came back.
// It is read from the entry of the process's main thread, whose start time
// is the process's: an emulator (qemu-user) answers a process's reads of its
// own /proc/<pid>/stat itself, with a start time of its own reckoning that
// other processes never see; the thread's entry comes from the kernel alone.
std::string processStart(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!in || !std::getline(in, stat)) return "";
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return "";
    std::istringstream fields(stat.substr(close + 1));
    std::string f;
    // Fields after the name: state is the 3rd field of the line, start
    // time the 22nd.
    for (int i = 3; i <= 22; ++i)
        if (!(fields >> f)) return "";
    return f;
}

struct Published {
    pid_t pid = 0;
    std::string start;
    std::u16string className;
    std::u16string title;
};

bool readPublished(const fs::path &file, Published &p) {
    std::ifstream in(file);
    if (!in) return false;
    std::string line;
    bool havePid = false;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "pid") {
            p.pid = static_cast<pid_t>(std::atol(value.c_str()));
            havePid = p.pid > 0;
        } else if (key == "start") {
            p.start = value;
        } else if (key == "class") {
            p.className = fromUtf8(value);
        } else if (key == "title") {
            p.title = fromUtf8(value);
        }
    }
    return havePid;
}

bool processAlive(const Published &p) {
    if (kill(p.pid, 0) != 0 && errno != EPERM) return false;
    if (p.start.empty()) return true;
    std::string now = processStart(p.pid);
    return now.empty() || now == p.start;
}

void removePublished(const fs::path &dir, const std::string &name) {
    std::error_code ec;
    fs::remove(dir / (name + ".win"), ec);
    fs::remove(dir / (name + ".fifo"), ec);
}

// Makes the window visible to other processes. A window that cannot be
// published still works in its own process.
void publish(Window &w) {
    fs::path dir = windowsDir();
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::string name = handleName(reinterpret_cast<uintptr_t>(w.hwnd));
    std::string fifo = (dir / (name + ".fifo")).string();
    unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) == 0)
        // Read and write: the loop keeps a writer itself, so the FIFO never
        // reports a hang-up when another process's writer goes.
        w.fifo = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    fs::path tmp = dir / (name + ".win." + std::to_string(getpid()));
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "pid=" << getpid() << "\n"
            << "start=" << processStart(getpid()) << "\n"
            << "class=" << toUtf8(w.className) << "\n"
            << "title=" << toUtf8(w.tpl.title) << "\n";
        if (!out) {
            fs::remove(tmp, ec);
            return;
        }
    }
    fs::rename(tmp, dir / (name + ".win"), ec);
    if (ec) {
        fs::remove(tmp, ec);
        return;
    }
    w.published = name;
}

bool isKnownControlClass(const SzOrOrd &c) {
    static const char16_t *const names[] = {u"Button", u"Edit", u"Static", u"ListBox", u"ScrollBar", u"ComboBox"};
    if (c.isOrdinal) return c.ordinal >= 0x0080 && c.ordinal <= 0x0085;
    for (const char16_t *n : names)
        if (namesEqual(c.text, n)) return true;
    return findClass(c.text.c_str(), true, nullptr) != nullptr;
}

}  // namespace

fs::path windowsDir() { return stateDir() / "windows"; }

Window *findLocalWindow(HWND hwnd) {
    if (!hwnd) return nullptr;
    for (Window &w : g_windows) {
        if (w.hwnd == hwnd) return &w;
    }
    return nullptr;
}

LRESULT sendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window *w = findLocalWindow(hwnd);
    if (!w || !w->wndProc) return 0;
    return w->wndProc(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK defDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window *w = findLocalWindow(hwnd);
    if (!w) return 0;
    INT_PTR handled = w->dlgProc ? w->dlgProc(hwnd, message, wParam, lParam) : FALSE;
    if (handled) return handled;
    // A dialog procedure that leaves WM_CLOSE alone gets the cancel command,
    // as the platform's dialog manager does.
    if (message == WM_CLOSE) {
        HWND cancel = nullptr;
        for (const Control &c : w->controls)
            if (c.item.id == IDCANCEL) cancel = c.hwnd;
        sendMessage(hwnd, WM_COMMAND, IDCANCEL | (kButtonClicked << 16), reinterpret_cast<LPARAM>(cancel));
    }
    return 0;
}

Window *createDialogWindow(const SzOrOrd &windowClass, DLGPROC dlgProc, const DialogTemplate &tpl) {
    WNDCLASSW wc{};
    std::u16string className;
    if (!windowClass.isOrdinal && windowClass.text.empty()) {
        wc = dialogClass();
        className = kDialogClass;
    } else {
        const WCHAR *key = windowClass.isOrdinal ? MAKEINTRESOURCEW(windowClass.ordinal) : windowClass.text.c_str();
        if (ClassEntry *c = findClass(key, true, nullptr)) {
            wc = c->wc;
            className = c->name;
        } else if (!windowClass.isOrdinal && namesEqual(windowClass.text, kDialogClass)) {
            wc = dialogClass();
            className = kDialogClass;
        } else {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
    }
    for (const DialogItem &item : tpl.items) {
        if (!isKnownControlClass(item.windowClass)) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
    }

    auto nextHandle = [] {
        // Handles are unique on the device: the process id above, a counter
        // below, and the low two bits clear (callers may set bit 0).
        uintptr_t v = (static_cast<uintptr_t>(getpid() & 0x3FFFFF) << 16) | ((g_nextWindow++ & 0x3FFF) << 2);
        return reinterpret_cast<HWND>(v);
    };
    g_windows.emplace_back();
    Window &w = g_windows.back();
    w.hwnd = nextHandle();
    w.className = className;
    w.wndProc = wc.lpfnWndProc;
    w.dlgProc = dlgProc;
    w.tpl = tpl;
    for (const DialogItem &item : tpl.items) {
        Control c;
        c.hwnd = nextHandle();
        c.item = item;
        w.controls.push_back(c);
        if (w.focus < 0 && (item.style & WS_TABSTOP) && (item.style & WS_VISIBLE) && !(item.style & kDisabled))
            w.focus = static_cast<int>(w.controls.size()) - 1;
    }
    if (!(tpl.style & WS_CHILD)) publish(w);
    return &w;
}

void destroyWindow(Window *w) {
    if (!w) return;
    if (w->fifo >= 0) close(w->fifo);
    if (!w->published.empty()) removePublished(windowsDir(), w->published);
    g_windows.remove_if([w](const Window &x) { return &x == w; });
}

void resetWindows() {
    while (!g_windows.empty()) destroyWindow(&g_windows.front());
    g_classes.clear();
    g_nextAtom = 0xC000;
}

}  // namespace host

using host::Call;

BOOL GetClassInfoW(HINSTANCE instance, LPCWSTR className, LPWNDCLASSW wndClass) {
    Call call("GetClassInfoW", IS_INTRESOURCE(className) ? nullptr : className);
    call.argHex(reinterpret_cast<uintptr_t>(instance));
    if (IS_INTRESOURCE(className))
        call.arg(static_cast<long long>(LOWORD(className)));
    else
        call.arg(className);
    if (call.failed()) return call.fail(FALSE, ERROR_CLASS_DOES_NOT_EXIST);
    if (!className || !wndClass) return call.fail(FALSE, ERROR_INVALID_PARAMETER);
    // A process's own classes need the instance that registered them; the
    // platform's classes answer to any instance.
    if (host::ClassEntry *c = host::findClass(className, false, instance)) {
        *wndClass = c->wc;
        return call.ret(TRUE);
    }
    if (!IS_INTRESOURCE(className) && host::namesEqual(className, host::kDialogClass)) {
        *wndClass = host::dialogClass();
        return call.ret(TRUE);
    }
    return call.fail(FALSE, ERROR_CLASS_DOES_NOT_EXIST);
}

ATOM RegisterClassW(const WNDCLASSW *wndClass) {
    Call call("RegisterClassW",
              wndClass && !IS_INTRESOURCE(wndClass->lpszClassName) ? wndClass->lpszClassName : nullptr);
    if (wndClass && !IS_INTRESOURCE(wndClass->lpszClassName))
        call.arg(wndClass->lpszClassName).argHex(reinterpret_cast<uintptr_t>(wndClass->hInstance));
    if (call.failed()) return call.fail(static_cast<ATOM>(0), ERROR_NOT_ENOUGH_MEMORY);
    if (!wndClass || IS_INTRESOURCE(wndClass->lpszClassName) || !wndClass->lpszClassName[0] || !wndClass->lpfnWndProc ||
        wndClass->cbClsExtra < 0 || wndClass->cbWndExtra < 0)
        return call.fail(static_cast<ATOM>(0), ERROR_INVALID_PARAMETER);
    if (host::findClass(wndClass->lpszClassName, false, wndClass->hInstance))
        return call.fail(static_cast<ATOM>(0), ERROR_CLASS_ALREADY_EXISTS);
    if (host::g_nextAtom == 0xFFFF) return call.fail(static_cast<ATOM>(0), ERROR_NOT_ENOUGH_MEMORY);

    host::g_classes.emplace_back();
    host::ClassEntry &c = host::g_classes.back();
    c.name = wndClass->lpszClassName;
    c.wc = *wndClass;
    c.wc.lpszClassName = c.name.c_str();
    if (wndClass->lpszMenuName && !IS_INTRESOURCE(wndClass->lpszMenuName)) {
        c.menuName = wndClass->lpszMenuName;
        c.wc.lpszMenuName = c.menuName.c_str();
    }
    c.atom = host::g_nextAtom++;
    return call.ret(c.atom);
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    Call call("FindWindowW", className && !IS_INTRESOURCE(className) ? className : nullptr);
    if (className && IS_INTRESOURCE(className))
        call.arg(static_cast<long long>(LOWORD(className)));
    else
        call.arg(className);
    call.arg(windowName);
    if (call.failed()) return call.fail(static_cast<HWND>(nullptr), ERROR_NOT_ENOUGH_MEMORY);

    std::u16string wantClass;
    if (className && IS_INTRESOURCE(className)) {
        // An atom names a class of this process only.
        host::ClassEntry *c = host::findClass(className, true, nullptr);
        if (!c) return call.ret(static_cast<HWND>(nullptr));
        wantClass = c->name;
    } else if (className) {
        wantClass = className;
    }

    host::fs::path dir = host::windowsDir();
    std::vector<std::string> names;
    std::error_code ec;
    for (host::fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string file = it->path().filename().string();
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".win") == 0)
            names.push_back(file.substr(0, file.size() - 4));
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        host::Published p;
        if (!host::readPublished(dir / (name + ".win"), p)) continue;
        if (!host::processAlive(p)) {
            host::removePublished(dir, name);
            continue;
        }
        if (className && !host::namesEqual(p.className, wantClass)) continue;
        if (windowName && !host::namesEqual(p.title, windowName)) continue;
        uintptr_t value = std::strtoull(name.c_str(), nullptr, 16);
        return call.ret(reinterpret_cast<HWND>(value));
    }
    return call.ret(static_cast<HWND>(nullptr));
}

BOOL SetForegroundWindow(HWND window) {
    Call call("SetForegroundWindow");
    call.argHex(reinterpret_cast<uintptr_t>(window));
    if (call.failed()) return call.fail(FALSE, ERROR_INVALID_WINDOW_HANDLE);
    // Bit 0 set asks for the window's topmost owned popup; a modal dialog
    // has none, so the window itself comes to the front.
    uintptr_t value = reinterpret_cast<uintptr_t>(window) & ~static_cast<uintptr_t>(1);
    if (!value) return call.fail(FALSE, ERROR_INVALID_WINDOW_HANDLE);
    std::string name = host::handleName(value);
    host::fs::path dir = host::windowsDir();
    host::Published p;
    if (!host::readPublished(dir / (name + ".win"), p) || !host::processAlive(p)) {
        if (host::Window *w = host::findLocalWindow(reinterpret_cast<HWND>(value))) {
            w->raise = true;
            return call.ret(TRUE);
        }
        return call.fail(FALSE, ERROR_INVALID_WINDOW_HANDLE);
    }
    // No reader (ENXIO) means the window's loop has gone: nothing to raise.
    int fd = open((dir / (name + ".fifo")).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return call.fail(FALSE, ERROR_INVALID_WINDOW_HANDLE);
    char raise = 'R';
    ssize_t n = write(fd, &raise, 1);
    close(fd);
    // A full FIFO already holds a request to come to the front.
    if (n != 1 && errno != EAGAIN) return call.fail(FALSE, ERROR_INVALID_WINDOW_HANDLE);
    return call.ret(TRUE);
}
