// faultloop_test.cpp - every option combination of the operation sequence
// under faults: each platform call of a run failing once and failing for
// good, a full disk at every write, and a power loss at every write and
// copy. One CTest test per combination and kind of fault, so that ctest -j
// spreads them.
#include "tests/faults/faultrun.h"

#include <gtest/gtest.h>

#include <iostream>
#include <set>

using namespace faults;

namespace {

const Combo kCombos[] = {
    {"ram", "ls", Input::RamImage},      {"ram", "lsh", Input::RamImage},     {"ram", "lr", Input::RamImage},
    {"ram", "lrh", Input::RamImage},     {"ram", "lrd", Input::RamImage},     {"ram", "lr", Input::HiveBackup},
    {"ram", "lc", Input::RamImage},      {"ram", "lx", Input::RamImage},      {"ram", "lcx", Input::RamImage},
    {"ram", "lsc", Input::RamImage},     {"ram", "lrc", Input::RamImage},     {"hive", "ls", Input::HiveBackup},
    {"hive", "lsh", Input::HiveBackup},  {"hive", "lr", Input::HiveBackup},   {"hive", "lrh", Input::HiveBackup},
    {"hive", "lrd", Input::HiveBackup},  {"hive", "lr", Input::RamImage},     {"hive", "lc", Input::HiveBackup},
    {"hive", "lsc", Input::HiveBackup},  {"hive", "lrc", Input::HiveBackup},
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

// The call numbers to fail: every one, except for a service called so often
// (the C library reads an unbuffered stream a byte at a time, so fread runs
// into thousands) that the first 40, the last 10 and 40 between them stand
// for the rest: all of them fail at the same call sites.
std::vector<long> callNumbers(long count) {
    std::vector<long> ns;
    if (count <= 200) {
        for (long n = 1; n <= count; ++n) ns.push_back(n);
        return ns;
    }
    for (long n = 1; n <= 40; ++n) ns.push_back(n);
    long step = (count - 50) / 40 + 1;
    for (long n = 41; n <= count - 10; n += step) ns.push_back(n);
    for (long n = count - 9; n <= count; ++n)
        if (n > ns.back()) ns.push_back(n);
    return ns;
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
        budgets.insert(used);  // nothing of this write fits
        if (want > 1) budgets.insert(used + want - 1);  // all but its last byte
        if (want > 8) budgets.insert(used + want / 2);
        used += want;
    }
    ASSERT_GT(draws, 0);
    int bad = 0;
    for (long long n : budgets) {
        Outcome o = bench.run("disk=" + std::to_string(n));
        if (!bench.check(o) && ++bad >= kMaxBadRuns) FAIL() << "stopped after " << bad << " failed runs";
    }
    std::cout << "[ faults ] " << comboName(GetParam()) << ": " << draws << " writes (" << used << " bytes), "
              << budgets.size() << " disk sizes, " << bench.runs() << " runs\n";
}

TEST_P(FaultLoop, PowerLossAtEveryWriteAndCopy) {
    Bench bench(GetParam());
    std::map<std::string, long> counts = callCounts(bench.clean().trace);
    const std::vector<std::string> lastClean = lines(bench.clean().log);
    int bad = 0, stops = 0;
    for (const char *service : {"fwrite", "fclose", "CopyFileW", "DeleteFileW", "RegCopyFile", "RegSaveKey",
                                "RegRestoreFile", "RegReplaceKey", "SetCurrentUser"}) {
        for (long n = 1; n <= counts[service]; ++n) {
            Outcome o = bench.run(std::string(service) + "@" + std::to_string(n) + "!");
            ++stops;
            bool ok = bench.check(o, true);
            // After the restart a new run does what the clean one did.
            Outcome again = bench.rerun();
            std::vector<std::string> last = lines(again.log);
            if (again.exitCode != bench.clean().exitCode || last.empty() || lastClean.empty() ||
                last.back() != lastClean.back() || (again.registry != bench.clean().registry)) {
                ADD_FAILURE() << comboName(GetParam()) << ": the run after a power loss at " << service << "@" << n
                              << " did not succeed: exit " << again.exitCode << ", last log line '"
                              << (last.empty() ? "" : last.back()) << "'";
                ok = false;
            }
            if (!ok && ++bad >= kMaxBadRuns) FAIL() << "stopped after " << bad << " failed runs";
        }
    }
    std::cout << "[ faults ] " << comboName(GetParam()) << ": " << stops << " power losses, " << bench.runs()
              << " runs\n";
}

std::string paramName(const ::testing::TestParamInfo<Combo> &info) { return comboName(info.param); }

INSTANTIATE_TEST_SUITE_P(Sequence, FaultLoop, ::testing::ValuesIn(kCombos), paramName);

}  // namespace
