// faultrun.h - one option combination of the operation sequence, run again
// and again on copies of one prepared device, each run under other fault
// rules, and the checks that every such run must pass: the exit code, the
// user's file, the registry after a warm boot, what is left in \Temp and
// what the log claims.
#pragma once

#include "tests/support/testsupport.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace faults {

namespace fs = std::filesystem;

// The file argument of every run.
extern const std::string F;

// What stands at F before the run.
enum class Input {
    RamImage,    // a RAM registry image, saved by a ram device
    HiveBackup,  // a hive backup file, saved by a hive device
};

// What is done to the input before it is put at F: a backup damaged or cut
// short as a user may come to hold one.
enum class Damage {
    None,
    CutAtRecord,      // RAM image: cut at a record boundary in its middle
    CutInRecord,      // RAM image: cut inside a record
    OneByteShort,     // the last byte missing
    TotalSize0,       // RAM image: totalSize 0
    TotalSize8,       // RAM image: totalSize 8
    TotalSizeSmall,   // RAM image: totalSize at a record boundary in its middle
    TotalSizeLarge,   // RAM image: totalSize 1000 beyond the length
    TotalSize2p31,    // RAM image: totalSize 2^31-1
    TotalSize2p32,    // RAM image: totalSize 2^32-1
    Appended,         // 100 bytes appended
    Text,             // a text file in its place
    SystemImageByte,  // hive backup: one byte changed in the system hive image
    UserImageByte,    // hive backup: one byte changed in the user hive image
    NoTrailer,        // hive backup: without its integrity trailer, as older programs wrote it
    KeyTag,           // RAM image: byte 12, the first key record's tag, 0xFF (no root)
    ValueTag,         // RAM image: the first value record's tag 9 (no value type)
    KeyName,          // RAM image: the first character of the last key record's name a '\'
};

struct Combo {
    const char *kind;     // device: "ram" or "hive"
    const char *options;  // options word, logging included
    Input input;
    Damage damage = Damage::None;
};
std::string comboName(const Combo &c);  // "ram_lsh_RamImage", "ram_lr_RamImage_CutInRecord"
// The input bytes with the damage done to them.
std::string damaged(const std::string &bytes, Damage damage);

// What one run left behind.
struct Outcome {
    std::string rules;  // CEDEVICE_FAULTS of the run
    int exitCode = -1;
    std::string trace;  // CEDEVICE_TRACE
    std::string log;    // \Corvane.log, this run's part
    bool fileThere = false;
    std::string file;                 // F's bytes
    std::vector<std::string> temp;    // new entries of \Temp
    std::vector<std::string> beside;  // new entries of F's folder, F aside
    std::string registry;             // export after a warm boot, RegPersisted aside
    std::string bootRecord;           // what that warm boot did
};

// Calls per service in a trace ("fwrite" -> 17).
std::map<std::string, long> callCounts(const std::string &trace);
// True when a fault rule fired in the run (a FAULT line or a power loss).
bool faultReached(const std::string &trace);
std::vector<std::string> lines(const std::string &text);

// One combination: a prepared device (registry marked "Saved" in both
// roots, F made from it, then marked "Changed"), copied afresh for every run.
class Bench {
public:
    // Prepares the device and checks one run without faults (a failure
    // points at the line that makes the bench).
    explicit Bench(const Combo &combo, const char *file = __builtin_FILE(), int line = __builtin_LINE());
    ~Bench();

    // Runs the program once under rules (CEDEVICE_FAULTS), on a fresh copy
    // of the prepared device, then boots it warm and exports its registry.
    Outcome run(const std::string &rules);
    // Runs again, without faults, on the device as the last run left it.
    Outcome rerun();
    // The checks every run must pass; failures name the rules and point at
    // the caller's line (file and line default to the call's own). With
    // powerLoss the run stopped on purpose: exit 99, and \Temp may hold
    // whatever the stopped run had made. Returns false when a check failed.
    bool check(const Outcome &o, bool powerLoss = false, const char *file = __builtin_FILE(),
               int line = __builtin_LINE());

    const Outcome &clean() const { return clean_; }
    const std::string &restored() const { return restored_; }  // the backup's registry
    const std::string &before() const { return before_; }      // F before every run
    int runs() const { return runs_; }
    const Combo &combo() const { return combo_; }

private:
    Outcome runOn(const std::string &rules, bool fresh);
    bool validBackup(const std::string &bytes);  // a whole backup of either kind
    bool repairKeeps(const std::string &bytes);  // a RAM image that repair leaves as it is
    bool has(char letter) const;

    Combo combo_;
    std::unique_ptr<ts::Device> scratch_;  // in-process checks (repair of a copy)
    fs::path runFolder_;                   // holds the two below
    fs::path template_;                    // the prepared device
    fs::path device_;                      // the device of the runs
    std::string before_;                   // F before every run
    bool repairKeepsF_ = false;            // repair leaves F's bytes as they are
    std::string old_;                      // registry export before every run
    std::string restored_;                 // registry export of the backup's registry
    std::string default_;                  // registry export of a new device
    std::vector<std::string> tempBefore_;
    std::string templateLog_;       // the prepared device's log
    std::string templateRegistry_;  // and its registry files (registryFiles)
    Outcome clean_;
    int runs_ = 0;
};

}  // namespace faults
