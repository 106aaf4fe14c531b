// faults.cpp - fault injection and the call trace of the simulated device.
//
// Rules (CEDEVICE_FAULTS, or host::setFaults in-process), separated by ';':
//   Svc@N       the N-th call of Svc fails (calls count from 1)
//   Svc@N+      the N-th call and every later call of Svc fail
//   Svc@*       every call of Svc fails
//   Svc~PAT     calls of Svc whose path argument matches PAT fail (a device
//               path with '*' and '?', compared without regard to case)
//   disk=N      the device's file system has room for N more bytes: stream
//               writes and copies fail with ERROR_DISK_FULL beyond that; a
//               file deleted, emptied or overwritten gives its bytes back
// Svc is a service name as the platform declares it (CopyFileW, _wfopen,
// fread, fwrite, fseek, ftell, fclose, ...) or '*' for any service. A call
// rule ending in '!' stops the process at that call instead, before the
// service acts, as a power loss would (exit status 99, nothing flushed).
// A call rule ending in '!BYTES' cuts the power inside the call, once BYTES
// bytes of it have reached the file it writes (CopyFileW's target; a
// stream's file for fwrite, fprintf, fwprintf, fflush and fclose, whose
// bytes reach the file when the stream's 4 KiB buffer is written out; the
// file of RegCopyFile and RegSaveKey): the file holds exactly those bytes
// and the process stops (exit status 99). The bytes in every stream's
// buffer are lost. When the call writes fewer bytes than BYTES, or none, it
// completes and the power goes right after it.
//
// The trace (CEDEVICE_TRACE=<host file>) gets one line per call:
//   CopyFileW("\My Documents\b.reg", "\Temp\NEW1.tmp", 0) = 1
// with " [error N]" after a failure that set the last error, and " FAULT"
// when an injected fault made the call fail. A power cut writes
// "Svc(...) POWER LOSS" before the service acts, or "Svc(ARGS) POWER LOSS
// after N bytes" inside or right after it. While disk=N is set, every
// draw on the disk budget adds "disk(WANTED) = GRANTED" before its call's
// line. Calls are counted and traced only while rules or a trace are set,
// so an idle device costs one test.
#include "platform/host/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

namespace {

struct Rule {
    std::string service;      // "*" for any
    long nth = 0;             // call number, 0 for every call
    bool andLater = false;    // "@N+"
    std::u16string pattern;   // "~PAT"; empty otherwise
    bool powerLoss = false;   // "!"
    long long cutBytes = -1;  // "!BYTES": the power goes after that many bytes; -1 otherwise
};

struct State {
    bool loaded = false;
    bool active = false;  // rules or trace set
    std::vector<Rule> rules;
    std::unordered_map<std::string, long> counts;
    int fired = 0;
    long long diskLeft = -1;  // -1: no limit
    std::string traceFile;
    int traceFd = -1;         // traceFile, open for appending from its first line on
    Call *cutCall = nullptr;  // the call inside which the power goes ("!BYTES")
    long long cutLeft = -1;   // bytes it may still write before the cut
    long long cutDone = 0;    // bytes it has written
};

State &state() {
    static State s;
    return s;
}

void refreshActive() {
    State &s = state();
    s.active = !s.rules.empty() || !s.traceFile.empty() || s.diskLeft >= 0;
    g_callsWatched = s.active;
}

bool parseRules(const std::string &text, std::vector<Rule> &rules, long long &disk, std::string *error) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(';', pos);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(pos, end - pos);
        pos = end + 1;
        size_t a = item.find_first_not_of(" \t"), b = item.find_last_not_of(" \t");
        if (a == std::string::npos) continue;
        item = item.substr(a, b - a + 1);
        auto bad = [&](const char *why) {
            if (error) *error = "fault rule '" + item + "': " + why;
            return false;
        };
        if (item.rfind("disk=", 0) == 0) {
            char *stop = nullptr;
            long long n = std::strtoll(item.c_str() + 5, &stop, 10);
            if (item.size() == 5 || *stop || n < 0) return bad("disk=N needs a byte count");
            disk = n;
            continue;
        }
        Rule r;
        // "!" or "!BYTES" at the end; anything else after a '!' belongs to
        // the rule (a pattern may hold one) and is judged below.
        if (size_t bang = item.rfind('!'); bang != std::string::npos) {
            std::string bytes = item.substr(bang + 1);
            if (bytes.find_first_not_of("0123456789") == std::string::npos) {
                if (!bytes.empty()) {
                    errno = 0;
                    r.cutBytes = std::strtoll(bytes.c_str(), nullptr, 10);
                    if (errno == ERANGE) return bad("!BYTES is too large");
                }
                r.powerLoss = bytes.empty();
                item.erase(bang);
            }
        }
        size_t at = item.find('@'), tilde = item.find('~');
        if (tilde != std::string::npos && (at == std::string::npos || tilde < at)) {
            r.service = item.substr(0, tilde);
            if (!fromUtf8Strict(item.substr(tilde + 1), r.pattern)) return bad("the pattern is not valid UTF-8");
            if (r.pattern.empty()) return bad("~ needs a pattern");
        } else if (at != std::string::npos) {
            r.service = item.substr(0, at);
            std::string n = item.substr(at + 1);
            if (n == "*") {
                r.nth = 0;
            } else {
                if (!n.empty() && n.back() == '+') {
                    r.andLater = true;
                    n.pop_back();
                }
                char *stop = nullptr;
                r.nth = std::strtol(n.c_str(), &stop, 10);
                if (n.empty() || *stop || r.nth < 1) return bad("@ needs a call number from 1, or *");
            }
        } else {
            return bad("expected Svc@N, Svc@N+, Svc@*, Svc~PATTERN (each may end in ! or !BYTES) or disk=N");
        }
        if (r.service.empty()) return bad("no service name");
        rules.push_back(r);
    }
    return true;
}

void loadEnv() {
    State &s = state();
    if (s.loaded) return;
    s.loaded = true;
    if (const char *t = std::getenv("CEDEVICE_TRACE"); t && *t) s.traceFile = t;
    if (const char *f = std::getenv("CEDEVICE_FAULTS"); f && *f) {
        std::string error;
        std::vector<Rule> rules;
        long long disk = -1;
        if (!parseRules(f, rules, disk, &error)) {
            // A mistyped rule must not pass silently as a run without faults.
            std::string line = std::string(programName()) + ": CEDEVICE_FAULTS: " + error + "\n";
            (void)!write(2, line.data(), line.size());
            _exit(kExitFaultRules);
        }
        s.rules = rules;
        s.diskLeft = disk;
    }
    refreshActive();
}

void appendTrace(const std::string &line) {
    State &s = state();
    if (s.traceFile.empty()) return;
    // Opened once, not for every line: a traced run makes hundreds of calls.
    // Each line is one write(2) that appends, so a power loss (_exit) loses none.
    if (s.traceFd < 0) s.traceFd = open(s.traceFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (s.traceFd < 0) return;
    std::string l = line + "\n";
    (void)!write(s.traceFd, l.data(), l.size());
}

void quoteInto(std::string &out, const std::string &s) {
    out += '"';
    for (char c : s) {
        if (c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    out += '"';
}

}  // namespace

bool g_callsWatched = true;

void Call::start(const WCHAR *path) {
    const char *service = service_;
    State &s = state();
    if (!s.loaded) loadEnv();
    if (!s.active) return;
    long n = ++s.counts[service];
    active_ = !s.traceFile.empty();
    for (const Rule &r : s.rules) {
        if (r.service != "*" && r.service != service) continue;
        bool hit;
        if (!r.pattern.empty())
            hit = path && wildcardMatch(r.pattern, path);
        else
            hit = r.nth == 0 || n == r.nth || (r.andLater && n > r.nth);
        if (!hit) continue;
        ++s.fired;
        if (r.powerLoss) {
            appendTrace(std::string(service) + "(...) POWER LOSS");
            _exit(kExitPowerLoss);
        }
        if (r.cutBytes >= 0) {
            if (!s.cutCall) {  // the outer call keeps it when calls nest
                s.cutCall = this;
                s.cutLeft = r.cutBytes;
                s.cutDone = 0;
            }
            continue;
        }
        failed_ = true;
    }
}

void Call::end() {
    if (active_ && !done_) result(0);
    if (state().cutCall == this) powerCut();  // a call that returns without a result
}

Call &Call::addArg(const WCHAR *s) {
    if (!active_) return *this;
    if (!args_.empty()) args_ += ", ";
    if (!s)
        args_ += "NULL";
    else
        quoteInto(args_, toUtf8(s));
    return *this;
}

Call &Call::addArg(const char *s) {
    if (!active_) return *this;
    if (!args_.empty()) args_ += ", ";
    if (!s)
        args_ += "NULL";
    else
        quoteInto(args_, s);
    return *this;
}

Call &Call::addArg(long long v) {
    if (!active_) return *this;
    if (!args_.empty()) args_ += ", ";
    args_ += std::to_string(v);
    return *this;
}

Call &Call::addArgHex(unsigned long long v) {
    if (!active_) return *this;
    if (!args_.empty()) args_ += ", ";
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", v);
    args_ += buf;
    return *this;
}

// An untraced call formats nothing: only a power cut armed in it matters.
void Call::result(long long v) {
    if (!active_ || done_) {
        if (state().cutCall == this) powerCut();
        return;
    }
    finish(std::to_string(v));
}

void Call::resultPointer(const void *p) {
    if (!active_ || done_) {
        if (state().cutCall == this) powerCut();
        return;
    }
    char buf[32];
    if (p)
        snprintf(buf, sizeof buf, "%p", p);
    else
        snprintf(buf, sizeof buf, "NULL");
    finish(buf);
}

void Call::finish(const std::string &value) {
    // A call that wrote fewer bytes than the cut's completes, then the power goes.
    if (state().cutCall == this) powerCut();
    if (!active_ || done_) return;
    done_ = true;
    std::string line = std::string(service_) + "(" + args_ + ") = " + value;
    if (errored_) line += " [error " + std::to_string(errored_) + "]";
    if (failed_) line += " FAULT";
    appendTrace(line);
}

void Call::cutNow() {
    State &s = state();
    appendTrace(std::string(service_) + "(" + (active_ ? args_ : std::string("...")) + ") POWER LOSS after " +
                std::to_string(s.cutDone) + " bytes");
    _exit(kExitPowerLoss);
}

size_t powerReserve(size_t want) {
    State &s = state();
    if (!s.cutCall) return want;
    size_t n = static_cast<unsigned long long>(s.cutLeft) < want ? static_cast<size_t>(s.cutLeft) : want;
    s.cutLeft -= static_cast<long long>(n);
    return n;
}

bool powerCutArmed() { return state().cutCall != nullptr; }

void powerWritten(size_t n) { state().cutDone += static_cast<long long>(n); }

void powerCut() {
    State &s = state();
    if (s.cutCall) s.cutCall->cutNow();
    appendTrace("POWER LOSS");
    _exit(kExitPowerLoss);
}

void diskFree(size_t bytes) {
    State &s = state();
    if (!s.loaded) loadEnv();
    if (s.diskLeft >= 0) s.diskLeft += static_cast<long long>(bytes);
}

size_t diskReserve(size_t want) {
    State &s = state();
    if (!s.loaded) loadEnv();
    if (s.diskLeft < 0) return want;
    size_t n = static_cast<unsigned long long>(s.diskLeft) < want ? static_cast<size_t>(s.diskLeft) : want;
    s.diskLeft -= static_cast<long long>(n);
    // While the disk is limited, each draw on it is traced, so that a test
    // can find where every write of a run begins and ends.
    appendTrace("disk(" + std::to_string(want) + ") = " + std::to_string(n));
    return n;
}

bool setFaults(const std::string &rules, std::string *error) {
    State &s = state();
    if (!s.loaded) loadEnv();
    std::vector<Rule> parsed;
    long long disk = -1;
    if (!parseRules(rules, parsed, disk, error)) return false;
    s.rules = parsed;
    s.diskLeft = disk;
    s.cutCall = nullptr;
    s.counts.clear();
    s.fired = 0;
    refreshActive();
    return true;
}

void clearFaults() {
    State &s = state();
    if (!s.loaded) loadEnv();
    s.rules.clear();
    s.diskLeft = -1;
    s.cutCall = nullptr;
    s.counts.clear();
    s.fired = 0;
    refreshActive();
}

int faultsFired() { return state().fired; }

long callCount(const std::string &service) {
    auto &c = state().counts;
    auto it = c.find(service);
    return it == c.end() ? 0 : it->second;
}

void setTrace(const std::string &hostFile) {
    State &s = state();
    if (!s.loaded) loadEnv();
    if (s.traceFd >= 0) close(s.traceFd);
    s.traceFd = -1;
    s.traceFile = hostFile;
    refreshActive();
}

}  // namespace host
