// hostmain.cpp - the host build's process entry, over the system (app/) and the
// simulated device: answers a request for the usage or the version itself,
// makes sure the device exists, joins the arguments with single spaces into
// the one command line that a CE program receives, and calls the system's
// entry. When standard error is a terminal it then tells the person at it
// how the run went: this run's log lines (with l), whether FILE was written,
// and what the exit code means. The log and the exit code are the system's,
// untouched; what they mean, where the log goes and why a file was refused
// are the system's words (driver.h, log.h, results.cpp), not repeated here.
#include "app/driver.h"
#include "platform/host/host.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The command line is not well-formed UTF-8: refused before anything runs.
constexpr int kExitNotUtf8 = 97;
// The first word starts with '-' and is no request of the host's: refused
// before anything runs.
constexpr int kExitUsage = 2;
const char kUsage[] =
    "usage: corvane OPTIONS FILE       (corvane --version: the version)\n"
    "Saves, restores and mends the registry of a simulated CE device.\n"
    "OPTIONS is one word of letters; FILE is a device path ('\\My Documents\\b.reg').\n"
    "  l  log every step into \\Corvane.log (with f: the flash folder's Corvane.log)\n"
    "  s  save the registry into FILE (with h: as a hive backup file)\n"
    "  r  restore the registry from FILE (with h: try the hive restore first)\n"
    "  d  with r: the restart prompt at the end (Enter restarts, Esc cancels)\n"
    "  c  repair the RAM registry image FILE\n"
    "  x  reorder the RAM registry image FILE\n"
    "Exit codes:\n"
    "  1    the operations ran (the log tells how they went)\n"
    "  0    nothing ran (a line shorter than 3 characters), or the prompt closed\n"
    "  2, 3 no temporary folder, no work file name; 2 also: a first word that\n"
    "       starts with '-' and is not -h, --help or --version (nothing ran)\n"
    "  255  the restart prompt failed (another value: its failure value)\n"
    "  97   the command line is not UTF-8    98  CEDEVICE_FAULTS cannot be read\n"
    "  99   a power-loss rule stopped it     125 the device folder is not a device\n"
    "Environment: CEDEVICE the device's host folder (cedevice init makes it); unset:\n"
    "  the per-user device, made on first use. CEDEVICE_PROMPT=ok|cancel|close answers the restart prompt;\n"
    "  CEDEVICE_FAULTS fault rules; CEDEVICE_TRACE a file that traces device calls.\n"
    "The device tool cedevice looks into the device; cedevice log prints the last\n"
    "run's log. man corvane tells more.\n";

// A file as the summary compares it before and after the run.
struct FileState {
    bool exists = false;
    struct stat st {};
};

FileState fileState(const fs::path &p) {
    FileState s;
    s.exists = !p.empty() && stat(p.c_str(), &s.st) == 0 && S_ISREG(s.st.st_mode);
    return s;
}

bool sameFile(const FileState &a, const FileState &b) {
    if (a.exists != b.exists) return false;
    if (!a.exists) return true;
    return a.st.st_ino == b.st.st_ino && a.st.st_size == b.st.st_size && a.st.st_mtim.tv_sec == b.st.st_mtim.tv_sec &&
           a.st.st_mtim.tv_nsec == b.st.st_mtim.tv_nsec && a.st.st_ctim.tv_sec == b.st.st_ctim.tv_sec &&
           a.st.st_ctim.tv_nsec == b.st.st_ctim.tv_nsec;
}

// The files a run may log to, as they were before it: the log's name in the
// root and in each root folder. The run's log path (g_logPath) then tells
// which one it is.
std::map<fs::path, FileState> logsBefore() {
    const std::string name = host::toUtf8(LOG_NAME);
    std::map<fs::path, FileState> logs;
    logs[host::fsRoot() / name] = fileState(host::fsRoot() / name);
    std::error_code ec;
    for (fs::directory_iterator it(host::fsRoot(), ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec)) logs[it->path() / name] = fileState(it->path() / name);
    return logs;
}

// What the run's exit code means, as one line to stderr.
void say(const std::string &line) { std::fprintf(stderr, "%s: %s\n", host::programName(), line.c_str()); }

// A platform error in words.
std::string reason(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return "the platform gave no reason";
    case ERROR_FILE_NOT_FOUND:
        return "no such file";
    case ERROR_PATH_NOT_FOUND:
        return "a folder on the way does not exist";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_SHARING_VIOLATION:
        return "the file is in use";
    case ERROR_DISK_FULL:
        return "the disk is full";
    case ERROR_WRITE_FAULT:
    case ERROR_CANTWRITE:
        return "a write failed";
    case ERROR_READ_FAULT:
    case ERROR_CANTREAD:
        return "a read failed";
    case ERROR_NOT_SUPPORTED:
        return "not supported by this device";
    case ERROR_FILENAME_EXCED_RANGE:
        return "the path is too long";
    case ERROR_INVALID_NAME:
        return "not a valid file name";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return "out of memory";
    default:
        return "error " + std::to_string(error);
    }
}

// What a result of repair or reorder means.
std::string rewriteResult(const char *name, int result, int done, DWORD error) {
    if (result == done) return std::string(name) + " done";
    if (const WCHAR *why = rewriteRefusal(result)) return std::string(name) + " refused: " + host::toUtf8(why);
    switch (result) {
    case RAMIMAGE_NO_OPEN:
    case RAMIMAGE_NO_TEMPNAME:
    case RAMIMAGE_NOT_WRITTEN:
        return std::string(name) + " failed: " + reason(error);
    default:
        return std::string(name) + " failed (result " + std::to_string(result) + ")";
    }
}

// What restRegHv's result means.
std::string hiveResult(int result, DWORD error) {
    if (const WCHAR *why = hiveRefusal(result)) return host::toUtf8(why);
    switch (result) {
    case HV_NO_OPEN:
    case HV_IO_FAILED:
    case HV_NOT_REPLACED:
    case HV_NO_TEMPNAME:
        return (result == HV_NOT_REPLACED ? "a hive was not replaced: " : "") + reason(error);
    default:
        return "result " + std::to_string(result);
    }
}

// The summary of a run on a terminal: this run's log lines, what became of
// FILE and of each step (from the system's report of the run, with the
// platform's reasons), the restart, and what the exit code means.
void summarize(const std::string &line, int code, const std::map<fs::path, FileState> &logs, const fs::path &fileHost,
               const FileState &fileBefore, DWORD fileError) {
    size_t space = line.find(' ');
    std::string options = line.substr(0, space);
    std::string file = space == std::string::npos ? std::string() : line.substr(space + 1);
    auto has = [&](char c) { return options.find(c) != std::string::npos; };
    const RunReport &report = g_report;
    const bool ran = line.size() >= COMMAND_LINE_MIN_CCH && (code == EXIT_DONE || (has('r') && has('d')));

    // This run's log lines: what its log file gained.
    bool logged = false;
    fs::path logHost;
    if (host::resolvePath(g_logPath, logHost) == ERROR_SUCCESS) {
        auto before = logs.find(logHost);
        FileState was = before == logs.end() ? FileState{} : before->second;
        FileState after = fileState(logHost);
        std::string text;
        if (after.exists && !sameFile(was, after)) {
            off_t from = was.exists && was.st.st_size <= after.st.st_size ? was.st.st_size : 0;
            std::ifstream in(logHost, std::ios::binary);
            in.seekg(from);
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        size_t first = text.find_first_not_of('\n');
        if (first != std::string::npos) {
            text.erase(0, first);
            if (text.back() != '\n') text += '\n';
            say("this run's log (" + host::toUtf8(host::devicePathOf(logHost.string())) + "):");
            std::fwrite(text.data(), 1, text.size(), stderr);
            logged = true;
        }
    }

    const std::string shown = file.empty() ? "FILE (empty)" : file;
    if (ran && (has('s') || has('c') || has('x'))) {
        FileState after = fileState(fileHost);
        if (after.exists && !sameFile(fileBefore, after)) {
            say(shown + ": written (" + std::to_string(after.st.st_size) + " bytes)");
        } else {
            // Why not: the first step on the way that failed.
            std::string why;
            if (fileHost.empty())
                why = reason(fileError);
            else if (has('s') && report.save == STEP_FAILED)
                why = "the registry was not saved: " + reason(report.saveError);
            else if (has('s'))
                why = reason(report.copyOutError);
            else if (report.copyIn == STEP_FAILED)
                why = "it cannot be read: " + reason(report.copyInError);
            else if (report.kind != KIND_RAM)
                why = "not a RAM registry image, c and x take only those";
            else if (has('c') && report.repair >= 0 && report.repair != REPAIR_DONE)
                why = rewriteResult("repair", report.repair, REPAIR_DONE, report.rewriteError);
            else if (has('x') && report.reorder >= 0 && report.reorder != REORDER_DONE)
                why = rewriteResult("reorder", report.reorder, REORDER_DONE, report.rewriteError);
            say(shown + ": not written" + (after.exists ? " (unchanged)" : "") + (why.empty() ? "" : ": " + why));
        }
    }

    // The restore, and the restart after it.
    bool armed = false;  // a restore applies at the next boot
    if (ran && has('r')) {
        std::string hive =
            report.hiveResult > 0 ? "hive restore failed: " + hiveResult(report.hiveResult, report.hiveError) : "";
        if (report.hiveResult == 0 || report.platformRestore == STEP_DONE) {
            armed = true;
            std::string from = report.copyIn == STEP_DONE
                                   ? " (from " + shown + ")"
                                   : " (of the registry this run saved: " + shown +
                                         " could not be read: " + reason(report.copyInError) + ")";
            say(report.hiveResult == 0 ? "hive restore done, the hives apply at the next boot" + from
                                       : "restore queued for the next boot" + from);
        } else if (report.copyIn == STEP_FAILED) {
            DWORD e = report.copyInError;
            std::error_code ec;
            say("not restored: " + shown +
                (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? " is missing (" + reason(e) + ")"
                 : fs::is_directory(fileHost, ec)                       ? " is a folder, not a file"
                                                                        : " cannot be read: " + reason(e)));
        } else {
            std::string why;
            if (report.imageRefused)
                why = "not a whole RAM registry image (" + host::toUtf8(report.imageWhy) + ")";
            else if (report.platformRestore == STEP_FAILED)
                why = "RegRestoreFile failed: " + reason(report.platformError);
            say("not restored: " + why + (why.empty() || hive.empty() ? "" : "; ") + hive);
        }
        if (has('d')) {
            if (report.prompt == PROMPT_RESTART)
                say("the device restarts now");
            else
                say(armed ? "not restarted: the restore still applies at the next boot" : "not restarted");
        }
    }

    std::string meaning;
    switch (code) {
    case EXIT_NOTHING:
        meaning = line.size() < COMMAND_LINE_MIN_CCH ? "nothing ran (a command line shorter than 3 characters)"
                                                     : "the prompt was closed, not set up or open in another run";
        break;
    case EXIT_DONE:
        meaning = "the operations ran";
        if (logged)
            meaning += "; the log above tells how they went";
        else if (has('l'))
            meaning += "; no log line was written";
        else
            meaning += "; l in the options logs how they went";
        break;
    case EXIT_NO_TEMPDIR:
        meaning = "the temporary folder was not obtained; nothing ran";
        break;
    case EXIT_NO_WORKFILE:
        meaning = "no work file name could be made; nothing ran";
        break;
    default:
        meaning = "the restart prompt failed";
        break;
    }
    // As the shell sees it: -1 is 255.
    say("exit code " + std::to_string(code & 0xFF) + ": " + meaning);
}

}  // namespace

int main(int argc, char **argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    // These command lines are the host's own: none of them touches the device.
    // A CE command line's options word is letters and never starts with '-':
    // any other first word that does is a mistyped request (--frobnicate,
    // -v), refused before anything runs rather than read as option letters.
    const std::string first = line.substr(0, line.find(' '));
    if (line.empty() || first == "-h" || first == "--help") {
        std::fputs(kUsage, stdout);
        std::printf("This device: %s\n", host::deviceDir().c_str());
        return 0;
    }
    if (first == "--version") {
        std::string version = host::toUtf8(host::versionValue(u"FileVersion"));
        std::printf("corvane %s\n", version.empty() ? "(no version resource)" : version.c_str());
        return 0;
    }
    if (first[0] == '-') {
        say("'" + first + "' is not an options word (corvane --help lists the letters); nothing ran");
        return kExitUsage;
    }

    // A name that is not UTF-8 would reach the device as some other name.
    std::u16string wide;
    size_t bad = 0;
    if (!host::fromUtf8Strict(line, wide, &bad)) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "byte 0x%02X at offset %zu", static_cast<unsigned char>(line[bad]), bad);
        say(std::string("the command line is not valid UTF-8 (") + detail + "); nothing was done");
        return kExitNotUtf8;
    }

    std::string error;
    if (!host::ensureDevice(error)) {
        say(error);
        return host::kExitNoDevice;
    }

    bool tell = isatty(2);
    if (tell && line.size() >= COMMAND_LINE_MIN_CCH) {
        // The letters that are no options are ignored, as on the device; the
        // person at the terminal is told which they are.
        std::string ignored;
        for (char c : first)
            if (!std::strchr(OPTION_LETTERS, c) && ignored.find(c) == std::string::npos) ignored += c;
        if (!ignored.empty())
            say("options '" + first + "': " + ignored +
                (ignored.size() == 1 ? " is not an option letter (" : " are not option letters (") + OPTION_LETTERS +
                "), ignored");
    }
    std::map<fs::path, FileState> logs;
    fs::path fileHost;
    DWORD fileError = ERROR_SUCCESS;
    FileState fileBefore;
    if (tell) {
        logs = logsBefore();
        size_t space = wide.find(u' ');
        if (space != std::u16string::npos) {
            fileError = host::resolvePath(wide.substr(space + 1).c_str(), fileHost);
            if (fileError != ERROR_SUCCESS) fileHost.clear();
        }
        fileBefore = fileState(fileHost);
    }

    std::vector<WCHAR> commandLine(wide.begin(), wide.end());
    commandLine.push_back(0);
    int code = corvaneMain(host::programInstance(), commandLine.data());
    if (tell) summarize(line, code, logs, fileHost, fileBefore, fileError);
    return code;
}
