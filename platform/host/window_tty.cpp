// window_tty.cpp - the simulated device's screen: a modal dialog drawn on the
// controlling terminal (/dev/tty) in UTF-8, and its keys.
//
// Dialog units become character cells: four horizontal units make a column
// and eight vertical units a row (a character cell of the dialog's font is
// 4 by 8 units), rounded to the nearest cell. The dialog is framed, its
// caption is a reverse-video row with the close box (x) when the dialog has a
// system menu, and it stands centred on the terminal; what does not fit the
// terminal is cut off. Static text wraps at blanks inside its box; a push
// button is its text in brackets, reverse video when it has the focus.
//
// Keys: Enter or Space press the button, Esc is the cancel command, Ctrl-C
// closes the dialog (WM_CLOSE); a hint under the dialog's box names them. A hang-up of the terminal, or SIGHUP/SIGTERM,
// closes it too, and a dialog that stays open then ends with -1. SIGINT is
// Ctrl-C. The terminal runs in raw mode on the alternate screen while the
// dialog is open; its settings and screen come back on every way out,
// including exit() from inside a dialog procedure.
#include "platform/host/window.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace host {

struct Terminal {
    int fd = -1;
    termios saved{};
    bool raw = false;     // raw mode set
    bool screen = false;  // on the alternate screen
    int sigPipe[2] = {-1, -1};
    bool handlers = false;
    struct sigaction old[5];
};

namespace {

const int kSignals[5] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH, SIGCONT};
volatile sig_atomic_t g_signalFd = -1;  // write end of the active terminal's signal pipe
Terminal *g_active = nullptr;           // the terminal a dialog runs on, for exit()
const char32_t kKeyHint[] = U"Enter: press the button · Esc: cancel · Ctrl-C: close";

// ---- Text ------------------------------------------------------------------------

std::u32string toCells(const std::u16string &s) {
    std::u32string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x20 || c == 0x7F) c = U' ';  // no control characters reach the terminal
        out.push_back(c);
    }
    return out;
}

// A control's text as shown: '&' marks the next letter as the control's
// mnemonic and is not shown; "&&" shows one '&'.
std::u16string withoutMnemonics(const std::u16string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == u'&' && i + 1 < s.size()) ++i;
        out.push_back(s[i]);
    }
    return out;
}

// ---- Layout -------------------------------------------------------------------

struct Cell {
    char32_t ch = U' ';
    bool inverse = false;
};

struct Grid {
    int cols = 0, rows = 0;
    std::vector<Cell> cells;
    Grid(int c, int r) : cols(c), rows(r), cells(static_cast<size_t>(c * r)) {}
    // Writes text from (row, col), not past column limit.
    void put(int row, int col, const std::u32string &text, bool inverse, int limit) {
        if (row < 0 || row >= rows) return;
        for (char32_t c : text) {
            if (col >= limit || col >= cols) break;
            if (col >= 0) cells[static_cast<size_t>(row * cols + col)] = Cell{c, inverse};
            ++col;
        }
    }
};

int colOf(int x) { return (x + 2) / 4; }
int rowOf(int y) { return (y + 4) / 8; }

constexpr DWORD kStaticTypeMask = 0x1F;
constexpr DWORD kStaticCenter = 0x01, kStaticRight = 0x02, kStaticSimple = 0x0B, kStaticNoWrap = 0x0C;
constexpr DWORD kStaticNoPrefix = 0x80;

bool classIs(const SzOrOrd &c, WORD ordinal, const char16_t *name) {
    return c.isOrdinal ? c.ordinal == ordinal : namesEqual(c.text, name);
}

Grid layout(const Window &w) {
    const DialogTemplate &t = w.tpl;
    int clientCols = std::max(1, colOf(t.cx)), clientRows = std::max(1, rowOf(t.cy));
    bool caption = (t.style & WS_CAPTION) == WS_CAPTION;
    Grid g(clientCols + 2, clientRows + 2 + (caption ? 1 : 0));

    // The frame.
    for (int c = 1; c <= clientCols; ++c) {
        g.put(0, c, U"─", false, g.cols);
        g.put(g.rows - 1, c, U"─", false, g.cols);
    }
    for (int r = 1; r < g.rows - 1; ++r) {
        g.put(r, 0, U"│", false, g.cols);
        g.put(r, g.cols - 1, U"│", false, g.cols);
    }
    g.put(0, 0, U"┌", false, g.cols);
    g.put(0, g.cols - 1, U"┐", false, g.cols);
    g.put(g.rows - 1, 0, U"└", false, g.cols);
    g.put(g.rows - 1, g.cols - 1, U"┘", false, g.cols);

    int top = 1;
    if (caption) {
        std::u32string bar(static_cast<size_t>(clientCols), U' ');
        g.put(1, 1, bar, true, g.cols - 1);
        int limit = (t.style & WS_SYSMENU) ? clientCols - 2 : clientCols;
        g.put(1, 2, toCells(t.title), true, 1 + limit);
        if ((t.style & WS_SYSMENU) && clientCols >= 3) g.put(1, clientCols - 1, U"×", true, g.cols - 1);
        top = 2;
    }

    int clientRight = 1 + clientCols;  // first column past the client area
    for (size_t i = 0; i < w.controls.size(); ++i) {
        const DialogItem &item = w.controls[i].item;
        if (!(item.style & WS_VISIBLE)) continue;
        int c0 = colOf(item.x), c1 = colOf(item.x + item.cx);
        int r0 = rowOf(item.y), r1 = rowOf(item.y + item.cy);
        int width = std::max(1, c1 - c0), height = std::max(1, r1 - r0);
        int left = 1 + c0, limit = std::min(clientRight, left + width);
        int rowLimit = std::min(g.rows - 1, top + r0 + height);
        std::u16string text = item.title.isOrdinal ? std::u16string() : item.title.text;
        bool focused = static_cast<int>(i) == w.focus;

        if (classIs(item.windowClass, 0x0080, u"Button")) {
            std::u32string label = toCells(withoutMnemonics(text));
            DWORD type = item.style & 0x0F;
            int row = top + r0 + (height - 1) / 2;
            if (row >= rowLimit) row = top + r0;
            if (type == 0 || type == 1) {
                // [ label ], the label centred in the button's width.
                std::u32string face(static_cast<size_t>(width), U' ');
                if (width >= 2) {
                    face.front() = U'[';
                    face.back() = U']';
                }
                int inner = std::max(0, width - 2);
                std::u32string shown = label.substr(0, static_cast<size_t>(inner));
                size_t at = 1 + static_cast<size_t>((inner - static_cast<int>(shown.size())) / 2);
                for (size_t k = 0; k < shown.size() && at + k < face.size(); ++k) face[at + k] = shown[k];
                g.put(row, left, face, focused, limit);
            } else {
                g.put(row, left, U"[ ] " + label, focused, limit);
            }
        } else if (classIs(item.windowClass, 0x0082, u"Static")) {
            DWORD type = item.style & kStaticTypeMask;
            if (type > kStaticRight && type != kStaticSimple && type != kStaticNoWrap) continue;  // pictures
            std::u16string shown = (item.style & kStaticNoPrefix) ? text : withoutMnemonics(text);
            std::vector<std::u16string> lines;
            if (type == kStaticSimple || type == kStaticNoWrap)
                lines.push_back(shown);
            else
                lines = wrapText(shown, static_cast<size_t>(width));
            for (size_t k = 0; k < lines.size(); ++k) {
                int row = top + r0 + static_cast<int>(k);
                if (row >= rowLimit) break;
                std::u32string line = toCells(lines[k]);
                int pad = std::max(0, width - static_cast<int>(line.size()));
                int at = type == kStaticCenter ? pad / 2 : type == kStaticRight ? pad : 0;
                g.put(row, left + at, line, false, limit);
            }
        } else {
            g.put(top + r0, left, toCells(text), focused, limit);
        }
    }
    return g;
}

// ---- The terminal ---------------------------------------------------------------

void writeAll(int fd, const std::string &s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the terminal has gone; the loop notices
        done += static_cast<size_t>(n);
    }
}

void onSignal(int sig) {
    int saved = errno;
    char c = static_cast<char>(sig);
    if (g_signalFd >= 0) (void)!write(g_signalFd, &c, 1);
    errno = saved;
}

void restoreTerminal(Terminal *t) {
    if (!t) return;
    if (t->screen && t->fd >= 0) writeAll(t->fd, "\x1b[0m\x1b[?25h\x1b[?1049l");
    t->screen = false;
    if (t->raw && t->fd >= 0) tcsetattr(t->fd, TCSANOW, &t->saved);
    t->raw = false;
    if (t->handlers) {
        g_signalFd = -1;
        for (int i = 0; i < 5; ++i) sigaction(kSignals[i], &t->old[i], nullptr);
        t->handlers = false;
    }
    for (int &fd : t->sigPipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    if (t->fd >= 0) close(t->fd);
    t->fd = -1;
    if (g_active == t) g_active = nullptr;
}

void restoreAtExit() { restoreTerminal(g_active); }

bool enterRaw(Terminal *t) {
    termios raw = t->saved;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(t->fd, TCSANOW, &raw) != 0) return false;
    t->raw = true;
    return true;
}

void draw(Terminal *t, const Window &w, bool bell) {
    winsize ws{};
    int rows = 24, cols = 80;
    if (ioctl(t->fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
        rows = ws.ws_row;
        cols = ws.ws_col;
    }
    Grid g = layout(w);
    int top = std::max(0, (rows - g.rows) / 2), left = std::max(0, (cols - g.cols) / 2);
    std::string out = "\x1b[0m\x1b[2J";
    for (int r = 0; r < g.rows && top + r < rows; ++r) {
        char pos[32];
        std::snprintf(pos, sizeof pos, "\x1b[%d;%dH", top + r + 1, left + 1);
        out += pos;
        bool inverse = false;
        for (int c = 0; c < g.cols && left + c < cols; ++c) {
            const Cell &cell = g.cells[static_cast<size_t>(r * g.cols + c)];
            if (cell.inverse != inverse) {
                out += cell.inverse ? "\x1b[7m" : "\x1b[27m";
                inverse = cell.inverse;
            }
            host::appendUtf8(out, cell.ch);
        }
        if (inverse) out += "\x1b[27m";
    }
    // The keys, one row under the dialog's box: they are the terminal's,
    // not the dialog's.
    if (top + g.rows < rows) {
        std::u32string hint = kKeyHint;
        if (static_cast<int>(hint.size()) > cols) hint.resize(static_cast<size_t>(cols));
        char pos[32];
        std::snprintf(pos, sizeof pos, "\x1b[%d;%dH", top + g.rows + 1,
                      std::max(0, (cols - static_cast<int>(hint.size())) / 2) + 1);
        out += pos;
        for (char32_t c : hint) host::appendUtf8(out, c);
    }
    if (bell) out += "\a";
    writeAll(t->fd, out);
}

// Reads what the terminal sent and applies it. Returns false when the
// terminal has gone.
bool readKeys(Terminal *t, Window &w) {
    char buf[64];
    ssize_t n = read(t->fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    std::string keys(buf, static_cast<size_t>(n));
    size_t i = 0;
    while (i < keys.size() && !w.ended) {
        unsigned char c = static_cast<unsigned char>(keys[i]);
        if (c == 0x1b) {
            // Esc alone is the key; Esc followed at once by '[' or 'O' starts
            // the sequence of another key (an arrow, F1), which is skipped.
            if (i + 1 == keys.size()) {
                pollfd p{t->fd, POLLIN, 0};
                if (poll(&p, 1, 30) == 1 && (p.revents & POLLIN)) {
                    ssize_t more = read(t->fd, buf, sizeof buf);
                    if (more == 0) return false;
                    if (more > 0) {
                        keys.append(buf, static_cast<size_t>(more));
                        continue;
                    }
                }
                applyDialogInput(w, DialogInput::Escape);
                ++i;
            } else if (keys[i + 1] == 'O') {
                i += 3;
            } else if (keys[i + 1] == '[') {
                size_t j = i + 2;
                while (j < keys.size() && !(keys[j] >= 0x40 && keys[j] <= 0x7E)) ++j;
                i = j + 1;
            } else {
                applyDialogInput(w, DialogInput::Escape);
                ++i;
            }
            continue;
        }
        if (c == '\r' || c == '\n')
            applyDialogInput(w, DialogInput::Enter);
        else if (c == ' ')
            applyDialogInput(w, DialogInput::Space);
        else if (c == 0x03)
            applyDialogInput(w, DialogInput::Close);
        // Any other key does nothing.
        ++i;
    }
    return true;
}

}  // namespace

std::vector<std::u16string> wrapText(const std::u16string &text, size_t cchWidth) {
    std::vector<std::u16string> lines;
    if (cchWidth == 0) cchWidth = 1;
    size_t start = 0;
    for (;;) {
        size_t nl = text.find(u'\n', start);
        std::u16string para = text.substr(start, nl == std::u16string::npos ? std::u16string::npos : nl - start);
        if (!para.empty() && para.back() == u'\r') para.pop_back();
        std::u16string line;
        size_t pos = 0;
        bool any = false;
        while (pos < para.size()) {
            while (pos < para.size() && para[pos] == u' ') ++pos;
            if (pos >= para.size()) break;
            size_t end = para.find(u' ', pos);
            std::u16string word = para.substr(pos, end == std::u16string::npos ? std::u16string::npos : end - pos);
            pos = end == std::u16string::npos ? para.size() : end;
            if (!line.empty() && line.size() + 1 + word.size() <= cchWidth) {
                line += u' ';
                line += word;
                continue;
            }
            if (!line.empty()) {
                lines.push_back(line);
                line.clear();
            }
            // A word wider than the box is broken where the box ends.
            while (word.size() > cchWidth) {
                lines.push_back(word.substr(0, cchWidth));
                word.erase(0, cchWidth);
            }
            line = word;
            any = true;
        }
        if (!line.empty() || !any) lines.push_back(line);
        if (nl == std::u16string::npos) break;
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string> renderDialog(const Window &w) {
    Grid g = layout(w);
    std::vector<std::string> lines;
    for (int r = 0; r < g.rows; ++r) {
        std::string line;
        for (int c = 0; c < g.cols; ++c) host::appendUtf8(line, g.cells[static_cast<size_t>(r * g.cols + c)].ch);
        lines.push_back(line);
    }
    return lines;
}

Terminal *openTerminal(DWORD &error) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    Terminal *t = new Terminal;
    t->fd = fd;
    if (tcgetattr(fd, &t->saved) != 0) {
        close(fd);
        delete t;
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return t;
}

void closeTerminal(Terminal *terminal) {
    if (!terminal) return;
    restoreTerminal(terminal);
    delete terminal;
}

void runTerminalDialog(Terminal *t, Window &w) {
    struct Guard {
        Terminal *t;
        ~Guard() { closeTerminal(t); }
    } guard{t};
    static bool atExitSet = false;
    if (!atExitSet) {
        std::atexit(restoreAtExit);
        atExitSet = true;
    }
    g_active = t;

    if (pipe2(t->sigPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        g_signalFd = t->sigPipe[1];
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 5; ++i) sigaction(kSignals[i], &sa, &t->old[i]);
        t->handlers = true;
    }
    if (!enterRaw(t)) {
        applyDialogInput(w, DialogInput::TerminalGone);
        return;
    }
    writeAll(t->fd, "\x1b[?1049h\x1b[?25l");
    t->screen = true;
    draw(t, w, false);

    while (!w.ended) {
        pollfd fds[3] = {{t->fd, POLLIN, 0}, {t->sigPipe[0], POLLIN, 0}, {w.fifo, POLLIN, 0}};
        int n = poll(fds, 3, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            applyDialogInput(w, DialogInput::TerminalGone);
            break;
        }
        bool redraw = false, bell = false;
        if (fds[1].revents & POLLIN) {
            char sig[16];
            ssize_t k;
            while ((k = read(t->sigPipe[0], sig, sizeof sig)) > 0) {
                for (ssize_t i = 0; i < k && !w.ended; ++i) {
                    switch (sig[i]) {
                    case SIGINT:
                        applyDialogInput(w, DialogInput::Close);
                        break;
                    case SIGTERM:
                    case SIGHUP:
                        applyDialogInput(w, DialogInput::TerminalGone);
                        break;
                    case SIGCONT:
                        // Whoever stopped the process may have reset the terminal.
                        enterRaw(t);
                        redraw = true;
                        break;
                    default:
                        redraw = true;
                        break;  // SIGWINCH
                    }
                }
            }
        }
        if (!w.ended && (fds[2].revents & POLLIN)) {
            char drain[64];
            while (read(w.fifo, drain, sizeof drain) > 0) {
            }
            redraw = bell = true;
        }
        if (!w.ended && (fds[0].revents & POLLIN)) {
            if (!readKeys(t, w))
                applyDialogInput(w, DialogInput::TerminalGone);
            else
                redraw = true;  // the focus or a control may have changed
        } else if (!w.ended && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            applyDialogInput(w, DialogInput::TerminalGone);
        }
        if (w.raise) {
            w.raise = false;
            redraw = bell = true;
        }
        if (!w.ended && redraw) draw(t, w, bell);
    }
}

}  // namespace host
