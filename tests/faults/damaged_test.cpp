// damaged_test.cpp - damaged and foreign backups through whole runs: each
// restore or rewrite of a cut, inconsistent or foreign file leaves, after a
// warm boot, the device's old registry or the backup's, never its default
// one; a rewritten file keeps every record it held; a refused restore says
// why in the log. The checks are the fault loops' (Bench::check) plus these.
#include "tests/faults/faultrun.h"

#include <gtest/gtest.h>

using namespace faults;

namespace {

const Damage kRamDamages[] = {
    Damage::CutAtRecord,    Damage::CutInRecord,    Damage::OneByteShort,  Damage::TotalSize0,    Damage::TotalSize8,
    Damage::TotalSizeSmall, Damage::TotalSizeLarge, Damage::TotalSize2p31, Damage::TotalSize2p32, Damage::Appended,
    Damage::Text,           Damage::KeyTag,         Damage::ValueTag,      Damage::KeyName,
};
const Damage kHiveDamages[] = {Damage::OneByteShort, Damage::SystemImageByte, Damage::UserImageByte, Damage::Text};

struct Case {
    const char *kind;
    const char *options;
};

class DamagedBackup : public ::testing::TestWithParam<Case> {};

bool has(const Combo &c, char letter) { return std::string(c.options).find(letter) != std::string::npos; }

void runOne(const Combo &combo) {
    SCOPED_TRACE(comboName(combo));
    Bench bench(combo);  // runs once without faults and checks it
    const Outcome &o = bench.clean();
    EXPECT_EQ(o.exitCode, 1);
    if (has(combo, 'r') && o.log.find("main, option r: RegRestoreFile used") == std::string::npos &&
        o.log.find("main, option r: restored from hive backup") == std::string::npos) {
        // Refused: the log says why, and the registry is the old one.
        bool named = o.log.find("main, option r: not a whole RAM registry image, RegRestoreFile not used: ") !=
                         std::string::npos ||
                     o.log.find("restRegHv: hive images do not match their checksums ") != std::string::npos ||
                     o.log.find("restRegHv: hive lengths do not match the file ") != std::string::npos ||
                     o.log.find("restRegHv: bytes after the user hive image are not its trailer ") != std::string::npos;
        EXPECT_TRUE(named) << o.log;
    }
    EXPECT_EQ(o.bootRecord.find("default"), std::string::npos) << o.bootRecord;
    // A totalSize that is merely damaged is mended by repair, and the
    // repaired image restores every saved value.
    const bool mendable = combo.damage == Damage::TotalSize0 || combo.damage == Damage::TotalSize8 ||
                          combo.damage == Damage::TotalSizeSmall || combo.damage == Damage::TotalSize2p32;
    if (std::string(combo.options) == "lrc" && std::string(combo.kind) == "ram" && mendable)
        EXPECT_EQ(o.registry, bench.restored());
    // Records the device would not read back: a rewrite alone leaves the
    // file as it was and says why.
    const bool unread =
        combo.damage == Damage::KeyTag || combo.damage == Damage::ValueTag || combo.damage == Damage::KeyName;
    if (unread && !has(combo, 'r') && std::string(combo.kind) == "ram") {
        EXPECT_EQ(o.file, bench.before());
        EXPECT_NE(
            o.log.find("main, option c|x: the rewritten image is not whole, the file is left as it was: record at "),
            std::string::npos)
            << o.log;
    }
}

TEST_P(DamagedBackup, OldOrBackupRegistryNeverDefault) {
    const Case &c = GetParam();
    for (Damage d : kRamDamages) runOne({c.kind, c.options, Input::RamImage, d});
    if (std::string(c.options).find('r') != std::string::npos)
        for (Damage d : kHiveDamages) runOne({c.kind, c.options, Input::HiveBackup, d});
}

const Case kCases[] = {
    {"ram", "lr"},  {"ram", "lrh"}, {"ram", "lrd"},  {"ram", "lc"},   {"ram", "lx"},  {"ram", "lcx"},
    {"ram", "lrc"}, {"hive", "lr"}, {"hive", "lrh"}, {"hive", "lrd"}, {"hive", "lc"},
};

std::string caseName(const ::testing::TestParamInfo<Case> &info) {
    return std::string(info.param.kind) + "_" + info.param.options;
}

INSTANTIATE_TEST_SUITE_P(Runs, DamagedBackup, ::testing::ValuesIn(kCases), caseName);

// A hive backup in the format without the trailer (made by hand: "XGER",
// the two lengths and the hive files' bytes) still restores.
TEST(DamagedBackupHive, AFileWithoutTheTrailerStillRestores) {
    Bench bench({"hive", "lr", Input::HiveBackup, Damage::NoTrailer});
    EXPECT_NE(bench.clean().log.find("main, option r: restored from hive backup\n"), std::string::npos)
        << bench.clean().log;
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.kind << " " << c.options; }

}  // namespace
