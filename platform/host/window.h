// window.h - internals of the simulated device's windows, dialogs and
// resources, shared by window*.cpp and their tests. Nothing of the system's
// code includes it.
//
// Windows of one device are seen across processes: every open top-level
// window has a file state/windows/<handle>.win (its process id, that
// process's start time, class and title) and a FIFO <handle>.fifo through
// which another process brings it to the front.
#pragma once

#include "platform/host/host.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

// ---- Resources (window_res.cpp) -------------------------------------------------

// One resource of the program, as the resource compiler wrote it.
struct Resource {
    bool typeNamed = false;
    WORD typeId = 0;
    std::u16string typeName;  // upper case, as compilers store names
    bool nameNamed = false;
    WORD nameId = 0;
    std::u16string name;
    WORD language = 0;
    WORD memoryFlags = 0;
    const BYTE *data = nullptr;  // inside the program's resource image
    DWORD cbData = 0;
};

// Parses a compiled resource file (.res) image. Returns false with a
// message when the image is damaged; out then holds the entries before it.
bool parseResourceImage(const BYTE *image, size_t cbImage, std::vector<Resource> &out, std::string &error);
// The program's resources (the compiled corvane.rc), parsed once.
const std::vector<Resource> &programResources();
// Bytes from p to the end of the program resource that holds p, or 0 when p
// does not point into one (then a template's size is not known).
size_t resourceBytesFrom(const void *p);
// What LoadIconW chose for an icon handle: its size, colour depth and icon
// resource id. False for a handle that LoadIconW did not give.
bool iconDetails(HICON icon, int &cx, int &cy, int &bitCount, WORD &resourceId);

// ---- Dialog templates (window_dialog.cpp) -----------------------------------------

// A class, menu or title field: an ordinal (0xFFFF, number) or a string.
struct SzOrOrd {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::u16string text;  // also empty for "none"
};

struct DialogItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;
    SzOrOrd windowClass;
    SzOrOrd title;
    std::vector<BYTE> creationData;
};

struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    SzOrOrd menu;
    SzOrOrd windowClass;
    std::u16string title;
    WORD pointSize = 0;  // with DS_SETFONT
    std::u16string face;
    std::vector<DialogItem> items;
    size_t cbTemplate = 0;  // bytes read, up to the end of the last item
};

// Reads a standard dialog template of at most cbMax bytes. Returns
// ERROR_SUCCESS, ERROR_NOT_SUPPORTED for an extended template, or
// ERROR_INVALID_PARAMETER when the bytes do not make a whole template.
DWORD parseDialogTemplate(const void *data, size_t cbMax, DialogTemplate &out);

// ---- Classes and windows (window.cpp) ------------------------------------------------

struct Control {
    HWND hwnd = nullptr;
    DialogItem item;
};

// A window of this process: a modal dialog, open while its loop runs.
struct Window {
    HWND hwnd = nullptr;
    std::u16string className;
    WNDPROC wndProc = nullptr;
    DLGPROC dlgProc = nullptr;
    DialogTemplate tpl;
    std::vector<Control> controls;
    int focus = -1;         // index into controls, -1: none
    bool ended = false;     // EndDialog was called
    INT_PTR result = 0;     // what EndDialog was given
    bool forced = false;    // ended by the platform (-1), not by EndDialog
    bool raise = false;     // brought to the front: redraw and ring
    int fifo = -1;          // read end of the window's FIFO
    std::string published;  // handle as it names the files, "" when not published
};

// The window procedure of the platform class "Dialog": hands each message to
// the window's dialog procedure, and closes an unhandled WM_CLOSE as IDCANCEL.
LRESULT CALLBACK defDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Sends a message to a window of this process through its class's window
// procedure; 0 for an unknown window.
LRESULT sendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The window of this process with that handle, or NULL.
Window *findLocalWindow(HWND hwnd);
// Makes a new window of class className (a registered class of the process
// or the platform's "Dialog") and, when top-level, publishes it to other
// processes. NULL with the last error set when the class is unknown.
Window *createDialogWindow(const SzOrOrd &windowClass, DLGPROC dlgProc, const DialogTemplate &tpl);
// Unpublishes and forgets a window.
void destroyWindow(Window *w);
// Forgets every class and window of this process (tests run many prompts in
// one process; the device starts each program with none).
void resetWindows();
// The directory of the device's open windows (state/windows).
fs::path windowsDir();

// ---- The terminal (window_tty.cpp) -----------------------------------------------------

// What a key, a signal or a scripted answer does to an open dialog.
enum class DialogInput {
    Enter,         // presses the focused push button, else IDOK
    Space,         // presses the focused button
    Escape,        // WM_COMMAND IDCANCEL
    Close,         // WM_CLOSE (Ctrl-C, the close box)
    TerminalGone,  // WM_CLOSE; a dialog that stays open then ends with -1
};

// Sends the messages that one input means to a dialog (window_dialog.cpp).
void applyDialogInput(Window &w, DialogInput input);

// The controlling terminal while a dialog runs on it.
struct Terminal;
// Opens the controlling terminal (/dev/tty). NULL, with error set, when the
// process has none.
Terminal *openTerminal(DWORD &error);
// Runs the modal loop of w on the terminal until the dialog ends: draws it
// centred, reads keys and signals, redraws and rings the bell when another
// process brings it to the front. Then restores the terminal's settings and
// screen, and closes the terminal (also on the way out through a signal).
void runTerminalDialog(Terminal *terminal, Window &w);
// Closes a terminal that openTerminal gave, without running a dialog.
void closeTerminal(Terminal *terminal);

// The lines the terminal shows for a dialog (UTF-8, without colours), for
// drawing and for tests: caption row, client rows; borders included.
std::vector<std::string> renderDialog(const Window &w);
// Splits text into lines of at most cchWidth cells, breaking at blanks.
std::vector<std::u16string> wrapText(const std::u16string &text, size_t cchWidth);

}  // namespace host
