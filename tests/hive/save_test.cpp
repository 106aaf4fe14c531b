// save_test.cpp - corvaneHv and its packing: the hive backup file's bytes,
// the log lines, what a failure leaves behind (never a partial backup).
#include "hivetest.h"

using hvt::backupOf;
using hvt::blob;
using hvt::le32;
using hvt::logLines;
using hvt::tempFiles;
using hvt::tempNameIn;
using hvt::w;
using Lines = std::vector<std::string>;

namespace {

const std::string kBackup = "\\My Documents\\reg.hvb";
const std::string kSystem = "\\Temp\\sys.hv";
const std::string kUser = "\\Temp\\usr.hv";

int pack(const std::string &path = kBackup) { return packHives(w(path).c_str(), w(kSystem).c_str(), w(kUser).c_str()); }

TEST(PackHives, SmallImagesByteForByte) {
    ts::Device dev;
    dev.write(kSystem, "abc");
    dev.write(kUser, "de");
    EXPECT_EQ(pack(), HV_DONE);
    EXPECT_EQ(ts::hex(dev.read(kBackup)),
              ts::hex(std::string("\x58\x47\x45\x52"
                                  "\x03\x00\x00\x00"
                                  "abc"
                                  "\x02\x00\x00\x00"
                                  "de"
                                  "XGCK"
                                  "\xc2\x41\x24\x35"   // CRC-32 of "abc"
                                  "\x8b\x29\x90\x7d",  // CRC-32 of "de"
                                  29)));
    // The hive files are read, never changed or removed.
    EXPECT_EQ(dev.read(kSystem), "abc");
    EXPECT_EQ(dev.read(kUser), "de");
}

// The trailer's checksum is zlib's CRC-32, over any length, from any
// alignment, and fed in any pieces (the check feeds it block by block).
TEST(PackHives, ChecksumIsZlibsCrc32InAnyPieces) {
    std::string bytes;
    for (int i = 0; i < 67; ++i) bytes += static_cast<char>(i * 37 + 11);
    const BYTE *b = reinterpret_cast<const BYTE *>(bytes.data());
    for (size_t n = 0; n <= bytes.size(); ++n)
        for (size_t cut = 0; cut <= n; ++cut) {
            SCOPED_TRACE(std::to_string(n) + " bytes, cut at " + std::to_string(cut));
            DWORD crc = crc32Update(crc32Update(0, b, cut), b + cut, n - cut);
            ASSERT_EQ(crc, static_cast<DWORD>(crc32(0, b, static_cast<uInt>(n))));
        }
    // Random lengths from random offsets (so at every alignment), in three
    // random pieces.
    const std::string big = hvt::blob(70000, 3);
    const BYTE *base = reinterpret_cast<const BYTE *>(big.data());
    uint32_t x = 12345;
    auto next = [&x](uint32_t bound) {
        x = x * 1103515245u + 12345u;
        return (x >> 8) % bound;
    };
    for (int i = 0; i < 3000; ++i) {
        const size_t at = next(64), n = next(i < 100 ? 65536 : 300), cut1 = next(n + 1),
                     cut2 = cut1 + next(n - cut1 + 1);
        SCOPED_TRACE(std::to_string(n) + " bytes from " + std::to_string(at));
        DWORD crc = crc32Update(0, base + at, cut1);
        crc = crc32Update(crc, base + at + cut1, cut2 - cut1);
        crc = crc32Update(crc, base + at + cut2, n - cut2);
        ASSERT_EQ(crc, static_cast<DWORD>(crc32(0, base + at, static_cast<uInt>(n))));
    }
    // Long runs are folded 8-byte words at a time in runs of 300 words, 300
    // words left at the end: lengths at its edges (the least it takes, the
    // last run whole, one word short or over, a block), from every alignment,
    // continuing a sum.
    const std::string longer = hvt::blob(140000, 4);
    const BYTE *lb = reinterpret_cast<const BYTE *>(longer.data());
    for (size_t words : {600, 601, 899, 900, 901, 1199, 1200, 8192, 16384})
        for (size_t at = 0; at < 8; ++at)
            for (int delta : {-8, -1, 0, 1, 7, 8}) {
                const size_t n = words * 8 + delta;
                ASSERT_EQ(crc32Update(0x9E3779B9u, lb + at, n),
                          static_cast<DWORD>(crc32(0x9E3779B9u, lb + at, static_cast<uInt>(n))))
                    << n << " bytes from " << at;
            }
}

TEST(PackHives, EmptyImagesAreALengthFieldAlone) {
    ts::Device dev;
    dev.write(kSystem, "");
    dev.write(kUser, "");
    EXPECT_EQ(pack(), HV_DONE);
    EXPECT_EQ(ts::hex(dev.read(kBackup)), ts::hex(std::string("XGER\0\0\0\0\0\0\0\0XGCK\0\0\0\0\0\0\0\0", 24)));
}

TEST(PackHives, ImagesOfEveryBlockShapeAreCopiedWhole) {
    const size_t B = HIVE_COPY_CB;  // the copy's blocks end where the backup's blocks end
    struct Case {
        size_t cbSystem, cbUser;
    } cases[] = {
        {0, 1},         {1, 0},         {4095, 4097}, {4096, 4096},
        {8192, 0},      {0, 3 * 4096},  {5000, 123},  {3 * 4096 + 1, 4095},
        {B - 8, B - 4}, {B - 7, 2 * B}, {B, B - 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "system " << c.cbSystem << ", user " << c.cbUser);
        ts::Device dev;
        std::string system = blob(c.cbSystem, 1), user = blob(c.cbUser, 2);
        dev.write(kSystem, system);
        dev.write(kUser, user);
        EXPECT_EQ(pack(), HV_DONE);
        std::string got = dev.read(kBackup);
        EXPECT_EQ(got.size(), 12 + c.cbSystem + c.cbUser + HIVE_TRAILER_CB);
        EXPECT_TRUE(got == backupOf(system, user));
    }
}

TEST(PackHives, AnExistingFileIsTruncated) {
    ts::Device dev;
    dev.write(kBackup, blob(20000, 3));
    dev.write(kSystem, "S");
    dev.write(kUser, "U");
    EXPECT_EQ(pack(), HV_DONE);
    EXPECT_EQ(dev.read(kBackup), backupOf("S", "U"));
}

// Every failure after the backup was created removes it, whatever it held.
TEST(PackHives, FailuresLeaveNoBackupAndTheHivesAsTheyWere) {
    const std::string writeFailed = "corvaneHv: could not write \\My Documents\\reg.hvb";
    struct Case {
        const char *name;
        const char *faults;  // in-process fault rules
        bool systemThere, userThere;
        std::string logLine;  // the one line logged
        int result;
    } cases[] = {
        {"backup cannot be made", "_wfopen~*reg.hvb", true, true, "corvaneHv: could not open\\My Documents\\reg.hvb",
         HV_NO_OPEN},
        {"no system hive", "", false, true, "corvaneHv: could not open\\Temp\\sys.hv", HV_NO_OPEN},
        {"no user hive", "", true, false, "corvaneHv: could not open\\Temp\\usr.hv", HV_NO_OPEN},
        {"system hive unreadable", "fread~*sys.hv", true, true, "corvaneHv: could not read \\Temp\\sys.hv",
         HV_IO_FAILED},
        {"system hive unreadable after its first block", "fread@2+", true, true,
         "corvaneHv: could not read \\Temp\\sys.hv", HV_IO_FAILED},
        {"user hive unreadable", "fread~*usr.hv", true, true, "corvaneHv: could not read \\Temp\\usr.hv", HV_IO_FAILED},
        {"user hive cannot be measured", "fseek~*usr.hv", true, true, "corvaneHv: could not read \\Temp\\usr.hv",
         HV_IO_FAILED},
        {"every write fails", "fwrite~*reg.hvb", true, true, writeFailed, HV_IO_FAILED},
        {"a write in the user hive fails", "fwrite@6", true, true, writeFailed, HV_IO_FAILED},
        {"the last flush fails", "fclose~*reg.hvb", true, true, writeFailed, HV_IO_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        hvt::logOn();
        std::string system = blob(HIVE_COPY_CB + 8000, 4), user = blob(4000, 5);  // two blocks, one
        if (c.systemThere) dev.write(kSystem, system);
        if (c.userThere) dev.write(kUser, user);
        ASSERT_TRUE(host::setFaults(c.faults));
        EXPECT_EQ(pack(), c.result);
        EXPECT_GT(host::faultsFired() + !c.systemThere + !c.userThere, 0);
        host::clearFaults();
        EXPECT_EQ(logLines(dev), Lines{c.logLine});
        EXPECT_FALSE(dev.exists(kBackup));
        if (c.systemThere) EXPECT_TRUE(dev.read(kSystem) == system);
        if (c.userThere) EXPECT_TRUE(dev.read(kUser) == user);
    }
}

// A full disk: the log cannot be written either, so only the result and the
// files tell.
TEST(PackHives, AFullDiskLeavesNoBackup) {
    for (int room : {0, 3, 4, 5000, 8011, 9000, 12011}) {
        SCOPED_TRACE(testing::Message() << "room for " << room << " bytes");
        ts::Device dev;
        dev.write(kSystem, blob(8000, 4));
        dev.write(kUser, blob(4000, 5));
        ASSERT_TRUE(host::setFaults("disk=" + std::to_string(room)));
        EXPECT_EQ(pack(), HV_IO_FAILED);
        host::clearFaults();
        EXPECT_FALSE(dev.exists(kBackup));
    }
}

TEST(PackHives, ExactlyEnoughDiskIsEnough) {
    ts::Device dev;
    dev.write(kSystem, blob(8000, 4));
    dev.write(kUser, blob(4000, 5));
    ASSERT_TRUE(host::setFaults("disk=12024"));
    EXPECT_EQ(pack(), HV_DONE);
    host::clearFaults();
    EXPECT_EQ(dev.read(kBackup).size(), 12024u);
}

// On a RAM registry device RegSaveKey is not supported: both saves fail and
// leave no file, so packing stops at the system hive.
TEST(CorvaneHv, BothSavesFailingLeaveNoBackupAndNoTemporaryFile) {
    ts::Device dev("ram");
    hvt::logOn();
    hvt::countCalls();
    EXPECT_EQ(corvaneHv(w(kBackup).c_str()), HV_NO_OPEN);
    Lines lines = logLines(dev);
    std::string sHM = tempNameIn(lines, "sHM");
    EXPECT_TRUE(testing::internal::RE::FullMatch(sHM, "\\\\Temp\\\\sHM[0-9A-F]+\\.tmp")) << sHM;
    EXPECT_EQ(lines, (Lines{"corvaneHv: RegSaveKey failed", "corvaneHv: could not open" + sHM}));
    EXPECT_FALSE(dev.exists(kBackup));
    EXPECT_EQ(dev.ls("/Temp"), Lines{});
    EXPECT_EQ(host::callCount("RegSaveKey"), 2);
}

TEST(CorvaneHv, NoTemporaryNameMeansNothingIsSaved) {
    for (const char *faults : {"GetTempFileNameW@1", "GetTempFileNameW@2"}) {
        SCOPED_TRACE(faults);
        ts::Device dev("ram");
        hvt::logOn();
        dev.write(kBackup, "previous backup");
        ASSERT_TRUE(host::setFaults(faults));
        EXPECT_EQ(corvaneHv(w(kBackup).c_str()), HV_NO_TEMPNAME);
        EXPECT_EQ(host::callCount("RegSaveKey"), 0);
        host::clearFaults();
        EXPECT_EQ(logLines(dev), Lines{"corvaneHv: GetTempFileName failed"});
        EXPECT_EQ(dev.read(kBackup), "previous backup");
        EXPECT_EQ(dev.ls("/Temp"), Lines{});
    }
}

TEST(CorvaneHv, TemporaryNamesAreMadeInTheTemporaryFolder) {
    ts::Device dev("ram");
    dev.write("\\Windows\\keep.txt", "");
    wcscpy(g_tempDir, TEXT("\\Windows\\"));
    hvt::logOn();
    EXPECT_EQ(corvaneHv(w(kBackup).c_str()), HV_NO_OPEN);
    EXPECT_EQ(logLines(dev).back().rfind("corvaneHv: could not open\\Windows\\sHM", 0), 0u) << logLines(dev).back();
    EXPECT_EQ(dev.ls("/Windows"), Lines{"keep.txt"});
}

}  // namespace
