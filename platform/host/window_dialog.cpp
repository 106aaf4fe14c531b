// window_dialog.cpp - the simulated device's modal dialogs:
// DialogBoxIndirectParamW and EndDialog, and the reader of the standard
// dialog template.
//
// A standard template is a DLGTEMPLATE header (style, extended style,
// number of items, x, y, cx, cy), then the menu, the class (each 0x0000 for
// none, 0xFFFF and an ordinal, or a terminated UTF-16 string) and the title;
// with DS_SETFONT a point size and a face name. Each item starts on a DWORD
// boundary: a DLGITEMTEMPLATE (style, extended style, x, y, cx, cy, id),
// class and title (0xFFFF and an ordinal, or a string), and a WORD that
// gives the size of the creation data, including itself, or 0.
//
// The dialog runs on the controlling terminal (window_tty.cpp). For scripts,
// CEDEVICE_PROMPT=ok|cancel|close answers it at once instead: ok presses the
// focused push button as Enter does, cancel is Esc, close is WM_CLOSE.
// Another value, or no terminal and no answer, fails the dialog (-1) with
// one line on stderr that says how to answer it.
#include "platform/host/window.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

namespace {

constexpr size_t kMaxTemplateBytes = 65536;  // bound for a template not among the resources
constexpr WPARAM kButtonClicked = 0;         // BN_CLICKED

struct Reader {
    const BYTE *base;
    size_t end;
    size_t pos = 0;
    bool ok = true;

    WORD word() {
        if (!ok || pos + 2 > end) {
            ok = false;
            return 0;
        }
        WORD v = static_cast<WORD>(base[pos] | (base[pos + 1] << 8));
        pos += 2;
        return v;
    }
    DWORD dword() {
        DWORD lo = word();
        return lo | (static_cast<DWORD>(word()) << 16);
    }
    std::u16string string() {
        std::u16string s;
        for (WORD c; ok && (c = word()) != 0;) s.push_back(static_cast<char16_t>(c));
        return s;
    }
    // A menu or class field: 0x0000 none, 0xFFFF ordinal, else a string.
    SzOrOrd szOrOrd() {
        SzOrOrd v;
        if (pos + 2 <= end && base[pos] == 0xFF && base[pos + 1] == 0xFF) {
            word();
            v.isOrdinal = true;
            v.ordinal = word();
        } else {
            v.text = string();
        }
        return v;
    }
    void alignDword() { pos = (pos + 3) & ~static_cast<size_t>(3); }
};

bool isPushButton(const DialogItem &item) {
    bool button =
        item.windowClass.isOrdinal ? item.windowClass.ordinal == 0x0080 : namesEqual(item.windowClass.text, u"Button");
    DWORD type = item.style & 0x0F;
    return button && (type == 0 /* BS_PUSHBUTTON */ || type == 1 /* BS_DEFPUSHBUTTON */);
}

bool isButton(const DialogItem &item) {
    return item.windowClass.isOrdinal ? item.windowClass.ordinal == 0x0080
                                      : namesEqual(item.windowClass.text, u"Button");
}

void command(Window &w, WORD id, HWND control) {
    sendMessage(w.hwnd, WM_COMMAND, static_cast<WPARAM>(id) | (kButtonClicked << 16),
                reinterpret_cast<LPARAM>(control));
}

}  // namespace

DWORD parseDialogTemplate(const void *data, size_t cbMax, DialogTemplate &out) {
    Reader r{static_cast<const BYTE *>(data), cbMax};
    out = DialogTemplate();
    if (cbMax >= 4 && r.base[0] == 1 && r.base[1] == 0 && r.base[2] == 0xFF && r.base[3] == 0xFF)
        return ERROR_NOT_SUPPORTED;  // an extended template (DLGTEMPLATEEX)
    out.style = r.dword();
    out.exStyle = r.dword();
    WORD count = r.word();
    out.x = static_cast<short>(r.word());
    out.y = static_cast<short>(r.word());
    out.cx = static_cast<short>(r.word());
    out.cy = static_cast<short>(r.word());
    out.menu = r.szOrOrd();
    out.windowClass = r.szOrOrd();
    out.title = r.string();
    if (out.style & DS_SETFONT) {
        out.pointSize = r.word();
        out.face = r.string();
    }
    for (WORD i = 0; r.ok && i < count; ++i) {
        r.alignDword();
        DialogItem item;
        item.style = r.dword();
        item.exStyle = r.dword();
        item.x = static_cast<short>(r.word());
        item.y = static_cast<short>(r.word());
        item.cx = static_cast<short>(r.word());
        item.cy = static_cast<short>(r.word());
        item.id = r.word();
        item.windowClass = r.szOrOrd();
        item.title = r.szOrOrd();
        WORD cbExtra = r.word();
        if (cbExtra == 1) r.ok = false;
        if (r.ok && cbExtra > 2) {
            size_t n = cbExtra - 2u;
            if (r.pos + n > r.end) {
                r.ok = false;
            } else {
                item.creationData.assign(r.base + r.pos, r.base + r.pos + n);
                r.pos += n;
            }
        }
        out.items.push_back(item);
    }
    if (!r.ok) return ERROR_INVALID_PARAMETER;
    out.cbTemplate = r.pos;
    return ERROR_SUCCESS;
}

void applyDialogInput(Window &w, DialogInput input) {
    const Control *focused = w.focus >= 0 ? &w.controls[static_cast<size_t>(w.focus)] : nullptr;
    switch (input) {
    case DialogInput::Enter:
        // Enter presses the focused push button; else the default push
        // button; else it is the IDOK command.
        if (focused && isPushButton(focused->item)) {
            command(w, focused->item.id, focused->hwnd);
            return;
        }
        for (const Control &c : w.controls) {
            if (isButton(c.item) && (c.item.style & 0x0F) == 1 /* BS_DEFPUSHBUTTON */) {
                command(w, c.item.id, c.hwnd);
                return;
            }
        }
        command(w, IDOK, nullptr);
        return;
    case DialogInput::Space:
        if (focused && isButton(focused->item)) command(w, focused->item.id, focused->hwnd);
        return;
    case DialogInput::Escape: {
        HWND cancel = nullptr;
        for (const Control &c : w.controls)
            if (c.item.id == IDCANCEL) cancel = c.hwnd;
        command(w, IDCANCEL, cancel);
        return;
    }
    case DialogInput::Close:
        sendMessage(w.hwnd, WM_CLOSE, 0, 0);
        return;
    case DialogInput::TerminalGone:
        sendMessage(w.hwnd, WM_CLOSE, 0, 0);
        // With nowhere to show it, a dialog that stays open cannot be
        // answered any more.
        if (!w.ended) {
            w.ended = true;
            w.forced = true;
            w.result = -1;
        }
        return;
    }
}

}  // namespace host

using host::Call;

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner, DLGPROC dialogProc,
                                LPARAM initParam) {
    Call call("DialogBoxIndirectParamW");
    call.argHex(reinterpret_cast<uintptr_t>(instance))
        .argHex(reinterpret_cast<uintptr_t>(dialogTemplate))
        .argHex(reinterpret_cast<uintptr_t>(owner))
        .argHex(reinterpret_cast<uintptr_t>(dialogProc))
        .arg(static_cast<long long>(initParam));
    if (call.failed()) return call.fail(static_cast<INT_PTR>(-1), ERROR_NOT_ENOUGH_MEMORY);
    if (!dialogTemplate) return call.fail(static_cast<INT_PTR>(-1), ERROR_INVALID_PARAMETER);
    // The one failure that gives 0 rather than -1, as on the device.
    if (owner && !host::findLocalWindow(owner)) return call.fail(static_cast<INT_PTR>(0), ERROR_INVALID_WINDOW_HANDLE);

    size_t cbMax = host::resourceBytesFrom(dialogTemplate);
    host::DialogTemplate tpl;
    DWORD error = host::parseDialogTemplate(dialogTemplate, cbMax ? cbMax : host::kMaxTemplateBytes, tpl);
    if (error != ERROR_SUCCESS) return call.fail(static_cast<INT_PTR>(-1), error);

    // A scripted answer, or the terminal: decided before the window exists,
    // so that a prompt that cannot be shown leaves nothing behind.
    host::DialogInput scripted = host::DialogInput::Enter;
    bool isScripted = false;
    if (const char *answer = std::getenv("CEDEVICE_PROMPT"); answer && *answer) {
        isScripted = true;
        if (std::strcmp(answer, "ok") == 0)
            scripted = host::DialogInput::Enter;
        else if (std::strcmp(answer, "cancel") == 0)
            scripted = host::DialogInput::Escape;
        else if (std::strcmp(answer, "close") == 0)
            scripted = host::DialogInput::Close;
        else {
            std::fprintf(stderr, "%s: CEDEVICE_PROMPT=%s is not an answer of the restart prompt: ok, cancel or close\n",
                         host::programName(), answer);
            return call.fail(static_cast<INT_PTR>(-1), ERROR_INVALID_PARAMETER);
        }
    }
    host::Terminal *terminal = nullptr;
    if (!isScripted) {
        terminal = host::openTerminal(error);
        if (!terminal) {
            std::fprintf(stderr,
                         "%s: the restart prompt needs a terminal and there is none; "
                         "CEDEVICE_PROMPT=ok, cancel or close answers it\n",
                         host::programName());
            return call.fail(static_cast<INT_PTR>(-1), error);
        }
    }

    host::Window *w = host::createDialogWindow(tpl.windowClass, dialogProc, tpl);
    if (!w) {
        error = GetLastError();
        host::closeTerminal(terminal);
        return call.fail(static_cast<INT_PTR>(-1), error);
    }
    HWND focus = w->focus >= 0 ? w->controls[static_cast<size_t>(w->focus)].hwnd : nullptr;
    host::sendMessage(w->hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), initParam);
    if (isScripted) {
        if (!w->ended) host::applyDialogInput(*w, scripted);
        if (!w->ended) {
            // The answer did not end the dialog, and no other will come.
            w->ended = true;
            w->forced = true;
            w->result = -1;
        }
    } else if (!w->ended) {
        host::runTerminalDialog(terminal, *w);
        terminal = nullptr;
    }
    host::closeTerminal(terminal);
    INT_PTR result = w->result;
    bool forced = w->forced;
    host::destroyWindow(w);
    if (forced) return call.fail(result, ERROR_GEN_FAILURE);
    return call.ret(result);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    Call call("EndDialog");
    call.argHex(reinterpret_cast<uintptr_t>(dialog)).arg(static_cast<long long>(result));
    if (call.failed()) return call.fail(FALSE, ERROR_INVALID_WINDOW_HANDLE);
    host::Window *w = host::findLocalWindow(dialog);
    if (!w) return call.fail(FALSE, ERROR_INVALID_WINDOW_HANDLE);
    // The dialog ends when the message being handled returns.
    w->ended = true;
    w->result = result;
    return call.ret(TRUE);
}
