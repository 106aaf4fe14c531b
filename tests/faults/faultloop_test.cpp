// faultloop_test.cpp - every option combination of the operation sequence
// under faults: each platform call of a run failing once and failing for
// good, a full disk at every write, and a power loss at every write and
// copy. One CTest test per combination and kind of fault, so that ctest -j
// spreads them.
#include "tests/faults/faultrun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <regex>
#include <set>

using namespace faults;

namespace faults {
// The combination's name in test output, instead of its bytes.
void PrintTo(const Combo &c, std::ostream *os) { *os << comboName(c); }
}  // namespace faults

namespace {

const Combo kCombos[] = {
    {"ram", "ls", Input::RamImage},
    {"ram", "lsh", Input::RamImage},
    {"ram", "lr", Input::RamImage},
    {"ram", "lrh", Input::RamImage},
    {"ram", "lrd", Input::RamImage},
    {"ram", "lr", Input::HiveBackup},
    {"ram", "lc", Input::RamImage},
    {"ram", "lx", Input::RamImage},
    {"ram", "lcx", Input::RamImage},
    {"ram", "lsc", Input::RamImage},
    {"ram", "lrc", Input::RamImage},
    {"hive", "ls", Input::HiveBackup},
    {"hive", "lsh", Input::HiveBackup},
    {"hive", "lr", Input::HiveBackup},
    {"hive", "lrh", Input::HiveBackup},
    {"hive", "lrd", Input::HiveBackup},
    {"hive", "lr", Input::RamImage},
    {"hive", "lc", Input::HiveBackup},
    {"hive", "lsc", Input::HiveBackup},
    {"hive", "lrc", Input::HiveBackup},
    // Damaged backups: refused restores and rewrites must hold under faults too.
    {"ram", "lr", Input::RamImage, Damage::CutInRecord},
    {"ram", "lcx", Input::RamImage, Damage::TotalSize0},
    {"ram", "lrc", Input::RamImage, Damage::TotalSize0},
    {"hive", "lr", Input::HiveBackup, Damage::UserImageByte},
};

// Stops a loop that keeps failing: the first reports say enough.
constexpr int kMaxBadRuns = 8;

std::string describe(const std::map<std::string, long> &counts) {
    std::string out;
    long total = 0;
    for (auto &[service, n] : counts) {
        out += (out.empty() ? "" : ", ") + service + " x" + std::to_string(n);
        total += n;
    }
    return std::to_string(total) + " calls (" + out + ")";
}

// The call numbers to fail. CORVANE_FAULT_LOOP=full fails every one; by
// default a service called more than kSampled times has its first calls,
// its last calls and evenly spaced ones between them failed. The C library
// reads an unbuffered stream a byte at a time, so fread runs into thousands
// of calls, all at the same few call sites. CORVANE_FAULT_LOOP=short takes
// kShortSample instead: the sanitizer build in CI, whose every run costs
// several times more, while the plain build there runs the default sample.
constexpr long kSampled = 24;
constexpr long kShortSample = 8;

const char *loopSize() {
    const char *v = std::getenv("CORVANE_FAULT_LOOP");
    return v ? v : "";
}

bool fullLoop() { return std::string(loopSize()) == "full"; }

long sampleSize() { return std::string(loopSize()) == "short" ? kShortSample : kSampled; }

std::vector<long> callNumbers(long count) {
    const long k = sampleSize();
    std::vector<long> ns;
    if (count <= k || fullLoop()) {
        for (long n = 1; n <= count; ++n) ns.push_back(n);
        return ns;
    }
    for (long n = 1; n <= k / 2; ++n) ns.push_back(n);
    long step = (count - k) / (k / 4) + 1;
    for (long n = k / 2 + 1; n <= count - k / 4; n += step) ns.push_back(n);
    for (long n = count - k / 4 + 1; n <= count; ++n)
        if (n > ns.back()) ns.push_back(n);
    return ns;
}

// Every budget, or (by default) as many evenly spaced ones as callNumbers
// would give.
std::vector<long long> sampled(const std::set<long long> &all) {
    const size_t k = static_cast<size_t>(sampleSize());
    std::vector<long long> v(all.begin(), all.end());
    if (fullLoop() || v.size() <= 2 * k) return v;
    std::vector<long long> out;
    for (size_t i = 0; i < v.size(); i += v.size() / (2 * k) + 1) out.push_back(v[i]);
    if (out.back() != v.back()) out.push_back(v.back());
    return out;
}

// A log line with its work file's name (which differs from run to run) as {W}.
std::string withoutWorkName(const std::string &line) {
    static const std::regex work(R"(\\Temp\\NEW[0-9A-F]+\.tmp)");
    return std::regex_replace(line, work, "{W}");
}

// After a power cut and the restart, a new run on the device as the cut
// left it does what the clean run did: same exit code, same last log line,
// same registry after its warm boot.
bool rerunSucceeds(Bench &bench, const std::string &rule) {
    Outcome again = bench.rerun();
    std::vector<std::string> last = lines(again.log), lastClean = lines(bench.clean().log);
    if (again.exitCode == bench.clean().exitCode && !last.empty() && !lastClean.empty() &&
        withoutWorkName(last.back()) == withoutWorkName(lastClean.back()) && again.registry == bench.clean().registry)
        return true;
    ADD_FAILURE() << comboName(bench.combo()) << ": the run after a power cut at " << rule << " did not succeed: exit "
                  << again.exitCode << ", last log line '" << (last.empty() ? "" : last.back()) << "'";
    return false;
}

class FaultLoop : public ::testing::TestWithParam<Combo> {};

TEST_P(FaultLoop, EveryCallFailsOnceAndForGood) {
    Bench bench(GetParam());
    std::map<std::string, long> counts = callCounts(bench.clean().trace);
    int bad = 0;
    for (auto &[service, count] : counts) {
        for (const char *mode : {"", "+"}) {
            // Then on until a run no longer reaches the fault: a failure may
            // make a run call the service more often than the clean run did.
            std::vector<long> ns = callNumbers(count);
            for (long n = count + 1; n <= count + 200; ++n) ns.push_back(n);
            for (long n : ns) {
                Outcome o = bench.run(service + "@" + std::to_string(n) + mode);
                if (!bench.check(o) && ++bad >= kMaxBadRuns) FAIL() << "stopped after " << bad << " failed runs";
                if (n > count && !faultReached(o.trace)) break;
            }
        }
    }
    std::cout << "[ faults ] " << comboName(GetParam()) << ": " << describe(counts) << " covered in " << bench.runs()
              << " runs\n";
}

TEST_P(FaultLoop, FullDiskAtEveryWrite) {
    Bench bench(GetParam());
    // A run with a disk too large to fill traces every draw on it.
    Outcome learn = bench.run("disk=1000000000000");
    bench.check(learn);
    std::set<long long> budgets;
    long long used = 0;
    int draws = 0;
    for (const std::string &line : lines(learn.trace)) {
        if (line.rfind("disk(", 0) != 0) continue;
        long long want = std::stoll(line.substr(5));
        ++draws;
        budgets.insert(used);                           // nothing of this write fits
        if (want > 1) budgets.insert(used + want - 1);  // all but its last byte
        if (want > 8) budgets.insert(used + want / 2);
        used += want;
    }
    ASSERT_GT(draws, 0);
    int bad = 0;
    for (long long n : sampled(budgets)) {
        Outcome o = bench.run("disk=" + std::to_string(n));
        if (!bench.check(o) && ++bad >= kMaxBadRuns) FAIL() << "stopped after " << bad << " failed runs";
    }
    std::cout << "[ faults ] " << comboName(GetParam()) << ": " << draws << " writes (" << used << " bytes), "
              << budgets.size() << " disk sizes, " << bench.runs() << " runs\n";
}

TEST_P(FaultLoop, PowerLossAtEveryWriteAndCopy) {
    Bench bench(GetParam());
    std::map<std::string, long> counts = callCounts(bench.clean().trace);
    int bad = 0, stops = 0;
    for (const char *service : {"fwrite", "fclose", "CopyFileW", "MoveFileW", "DeleteFileW", "RegCopyFile",
                                "RegSaveKey", "RegRestoreFile", "RegReplaceKey", "SetCurrentUser"}) {
        for (long n : callNumbers(counts[service])) {
            const std::string rule = std::string(service) + "@" + std::to_string(n) + "!";
            Outcome o = bench.run(rule);
            ++stops;
            bool ok = bench.check(o, true);
            ok = rerunSucceeds(bench, rule) && ok;
            if (!ok && ++bad >= kMaxBadRuns) FAIL() << "stopped after " << bad << " failed runs";
        }
    }
    std::cout << "[ faults ] " << comboName(GetParam()) << ": " << stops << " power losses, " << bench.runs()
              << " runs\n";
}

// Power cuts inside a call: once the first byte, evenly spaced byte counts
// and the last byte of every copy and every write have reached their file
// (CORVANE_FAULT_LOOP=full: every 512 bytes; short: the middle one). The
// file then holds exactly those bytes; after a warm boot a new run must do
// what the clean one did.
TEST_P(FaultLoop, PowerCutInsideEveryCopyAndWrite) {
    Bench bench(GetParam());
    // A run with a disk too large to fill traces, before each call that
    // writes, how many bytes it writes.
    Outcome learn = bench.run("disk=1000000000000");
    bench.check(learn);
    struct Write {
        std::string service;
        long nth;
        long long bytes;
    };
    std::vector<Write> writes;
    std::map<std::string, long> seen;
    long long pending = -1;
    for (const std::string &line : lines(learn.trace)) {
        if (line.rfind("disk(", 0) == 0) {
            pending = std::stoll(line.substr(5));
            continue;
        }
        size_t paren = line.find('(');
        if (paren == std::string::npos || paren == 0) continue;
        std::string service = line.substr(0, paren);
        long n = ++seen[service];
        if (pending > 0 &&
            (service == "CopyFileW" || service == "fwrite" || service == "fprintf" || service == "fwprintf" ||
             service == "fflush" || service == "fclose" || service == "RegCopyFile" || service == "RegSaveKey"))
            writes.push_back({service, n, pending});
        pending = -1;
    }
    int bad = 0, cuts = 0;
    for (const Write &w : writes) {
        std::set<long long> at = {1, w.bytes - 1, w.bytes};
        const long long parts = sampleSize() == kShortSample ? 2 : 4;
        const long long step = fullLoop() ? 512 : std::max<long long>(512, w.bytes / parts);
        for (long long b = step; b < w.bytes; b += step) at.insert(b);
        for (long long b : at) {
            if (b < 1) continue;
            const std::string rule = w.service + "@" + std::to_string(w.nth) + "!" + std::to_string(b);
            Outcome o = bench.run(rule);
            ++cuts;
            bool ok = bench.check(o, true);
            ok = rerunSucceeds(bench, rule) && ok;
            if (!ok && ++bad >= kMaxBadRuns) FAIL() << "stopped after " << bad << " failed runs";
        }
    }
    std::cout << "[ faults ] " << comboName(GetParam()) << ": " << writes.size() << " writes and copies, " << cuts
              << " cuts inside them, " << bench.runs() << " runs\n";
}

std::string paramName(const ::testing::TestParamInfo<Combo> &info) { return comboName(info.param); }

INSTANTIATE_TEST_SUITE_P(Sequence, FaultLoop, ::testing::ValuesIn(kCombos), paramName);

}  // namespace
