// restore_test.cpp - restRegHv's reading of hive backup files (unpackHives):
// the bounded copy over every block shape, the whole-file check that refuses
// short or inconsistent files, and the failures that need no hive registry.
#include "hivetest.h"

using hvt::backupOf;
using hvt::blob;
using hvt::le32;
using hvt::logLines;
using hvt::tempFiles;
using hvt::w;
using Lines = std::vector<std::string>;

namespace {

const std::string kBackup = "\\Temp\\NEW1.tmp";
const std::string kSystemOut = "\\Temp\\m.out";
const std::string kUserOut = "\\Temp\\u.out";

int unpack() { return unpackHives(w(kBackup).c_str(), w(kSystemOut).c_str(), w(kUserOut).c_str()); }

const Lines kUnpacked = {
    "restRegHv: file opened:\\Temp\\NEW1.tmp",
    "restRegHv: sig correct",
    "restRegHv: file opened:\\Temp\\m.out",
    "restRegHv: file opened:\\Temp\\u.out",
};

TEST(UnpackHives, SmallFileByteForByte) {
    ts::Device dev;
    hvt::logOn();
    dev.write(kBackup, std::string("\x58\x47\x45\x52"
                                   "\x03\x00\x00\x00"
                                   "abc"
                                   "\x02\x00\x00\x00"
                                   "de",
                                   17));
    EXPECT_EQ(unpack(), HV_DONE);
    EXPECT_EQ(dev.read(kSystemOut), "abc");
    EXPECT_EQ(dev.read(kUserOut), "de");
    EXPECT_EQ(logLines(dev), kUnpacked);
    EXPECT_TRUE(dev.exists(kBackup));
}

// The copy reads blocks; images of every shape come out whole and not
// one byte longer, also when the whole file is smaller than one block, with
// the trailer and without it.
TEST(UnpackHives, ImagesOfEveryBlockShape) {
    const size_t B = HIVE_COPY_CB;  // a block of the copy
    struct Case {
        size_t cbSystem, cbUser;
    } cases[] = {
        {1, 1},           {1, 5},       {5, 1},
        {100, 200},       {4095, 1},    {4083, 1},
        {4072, 1},        {1, 4084},    {4096, 4096},
        {8192, 3 * 4096}, {5000, 4097}, {3 * 4096 + 7, 4095},
        {B - 1, 1},       {B, B},       {B + 1, 2 * B - 1},
    };
    for (const Case &c : cases) {
        for (bool trailer : {true, false}) {
            SCOPED_TRACE(testing::Message() << "system " << c.cbSystem << ", user " << c.cbUser
                                            << (trailer ? ", trailer" : ", no trailer"));
            ts::Device dev;
            hvt::logOn();
            std::string system = blob(c.cbSystem, 7), user = blob(c.cbUser, 8);
            dev.write(kBackup, trailer ? backupOf(system, user) : hvt::plainBackupOf(system, user));
            EXPECT_EQ(unpack(), HV_DONE);
            EXPECT_TRUE(dev.read(kSystemOut) == system);
            EXPECT_TRUE(dev.read(kUserOut) == user);
            EXPECT_EQ(logLines(dev), kUnpacked);
        }
    }
}

// Files that do not begin with the signature, files whose lengths do not
// fit, and files with anything but nothing or exactly their trailer after
// the user hive image: refused before any output file is made, each with
// its line.
TEST(UnpackHives, RefusesShortAndInconsistentFiles) {
    const std::string sig = "XGER";
    const std::string damaged = "restRegHv: hive lengths do not match the file \\Temp\\NEW1.tmp";
    const std::string empty = "restRegHv: a hive image is empty \\Temp\\NEW1.tmp";
    const std::string trailing = "restRegHv: bytes after the user hive image are not its trailer \\Temp\\NEW1.tmp";
    const std::string checksum = "restRegHv: hive images do not match their checksums \\Temp\\NEW1.tmp";
    auto changed = [](std::string bytes, size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        return bytes;
    };
    const std::string whole = backupOf("sys", "user");
    const std::string trailer = whole.substr(whole.size() - 12);
    struct Case {
        const char *name;
        std::string bytes;
        int result;
        std::string line;  // after "sig correct"; "" for a refused signature
    } cases[] = {
        {"empty file", "", HV_BAD_SIG, ""},
        {"three bytes", "XGE", HV_BAD_SIG, ""},
        {"RAM image signature", std::string("\xb2\x74\x83\x1d", 4) + le32(1) + "a" + le32(1) + "b", HV_BAD_SIG, ""},
        {"signature reversed", "RGEX" + le32(1) + "a" + le32(1) + "b", HV_BAD_SIG, ""},
        {"signature alone", sig, HV_DAMAGED, damaged},
        {"half a length", sig + "\x01\x00", HV_DAMAGED, damaged},
        {"system hive only, as a failed save left it", sig + le32(3) + "abc", HV_DAMAGED, damaged},
        {"system hive cut short", sig + le32(5) + "abc", HV_DAMAGED, damaged},
        {"system length negative", sig + le32(-1) + le32(0) + "abcdefgh", HV_DAMAGED, damaged},
        {"system length huge", sig + le32(0x7fffffff) + le32(0) + "abcdefgh", HV_DAMAGED, damaged},
        {"user length missing", sig + le32(1) + "a", HV_DAMAGED, damaged},
        {"user length negative", sig + le32(1) + "a" + le32(-2) + "bcdefgh", HV_DAMAGED, damaged},
        {"user hive cut short", sig + le32(1) + "a" + le32(3) + "bc", HV_DAMAGED, damaged},
        {"user length huge", sig + le32(1) + "a" + le32(0x7ffffff0) + "bc", HV_DAMAGED, damaged},
        {"both lengths at the limit", sig + le32(0x7fffffff) + le32(0x7fffffff), HV_DAMAGED, damaged},
        {"empty system hive", sig + le32(0) + le32(1) + "b", HV_DAMAGED, empty},
        {"empty user hive", sig + le32(1) + "a" + le32(0), HV_DAMAGED, empty},
        {"both hives empty, with their trailer", backupOf("", ""), HV_DAMAGED, empty},
        {"the user length grown over the trailer", hvt::plainBackupOf("sys", "user" + trailer), HV_DAMAGED, damaged},
        {"a byte changed in the system hive image", changed(whole, 9), HV_CHECKSUM, checksum},
        {"a byte changed in the user hive image", changed(whole, 18), HV_CHECKSUM, checksum},
        {"a checksum changed in the trailer", changed(whole, whole.size() - 1), HV_CHECKSUM, checksum},
        {"the trailer's tag changed", changed(whole, whole.size() - 12), HV_TRAILING, trailing},
        {"the trailer cut short", whole.substr(0, whole.size() - 1), HV_TRAILING, trailing},
        {"one byte after the user hive", hvt::plainBackupOf("sys", "user") + "X", HV_TRAILING, trailing},
        {"a byte after the trailer", whole + std::string(1, '\0'), HV_TRAILING, trailing},
        {"two trailers", whole + trailer, HV_TRAILING, trailing},
        {"the user length shrunk by 4", hvt::plainBackupOf("sys", "use") + "r" + trailer, HV_TRAILING, trailing},
        {"twelve bytes of another program", hvt::plainBackupOf("sys", "user") + "ABCD" + le32(1) + le32(2), HV_TRAILING,
         trailing},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        hvt::logOn();
        dev.write(kBackup, c.bytes);
        EXPECT_EQ(unpack(), c.result);
        Lines want = {"restRegHv: file opened:\\Temp\\NEW1.tmp"};
        want.push_back(c.line.empty() ? "restRegHv: sig unknown" : "restRegHv: sig correct");
        if (!c.line.empty()) want.push_back(c.line);
        EXPECT_EQ(logLines(dev), want);
        EXPECT_FALSE(dev.exists(kSystemOut));
        EXPECT_FALSE(dev.exists(kUserOut));
        EXPECT_TRUE(dev.read(kBackup) == c.bytes);
    }
}

// A file without the trailer (an older one, or one made by hand) restores
// as before: its images are not checked.
TEST(UnpackHives, FilesWithoutTheTrailerAreNotChecked) {
    const std::string system = blob(5000, 3), user = blob(300, 4);
    std::string damaged = hvt::plainBackupOf(system, user);
    damaged[100] = static_cast<char>(damaged[100] ^ 1);
    for (const std::string &bytes : {hvt::plainBackupOf(system, user), damaged}) {
        ts::Device dev;
        dev.write(kBackup, bytes);
        EXPECT_EQ(unpack(), HV_DONE);
        EXPECT_TRUE(dev.read(kSystemOut) == bytes.substr(8, system.size()));
        EXPECT_TRUE(dev.read(kUserOut) == user);
    }
}

// The check fed in pieces of any size gives the verdict it gives whole.
TEST(HiveCheck, PiecesGiveTheSameVerdict) {
    const std::string whole = backupOf(blob(5000, 5), blob(4097, 6));
    std::string bad = whole;
    bad[6000] = static_cast<char>(bad[6000] ^ 4);
    const std::string trailer = whole.substr(whole.size() - 12);
    for (const std::string &bytes :
         {whole, bad, whole.substr(0, 9000), whole.substr(0, whole.size() - 5), hvt::plainBackupOf("a", ""),
          hvt::plainBackupOf("a", "bc" + trailer), hvt::plainBackupOf(blob(5000, 5), blob(4097, 6) + trailer)}) {
        HiveCheck one;
        hiveCheckStart(&one, static_cast<int64_t>(bytes.size()));
        hiveCheckFeed(&one, reinterpret_cast<const BYTE *>(bytes.data()), bytes.size());
        int verdict = hiveCheckEnd(&one);
        for (size_t piece : {1, 3, 4, 7, 4096, 4099}) {
            HiveCheck check;
            hiveCheckStart(&check, static_cast<int64_t>(bytes.size()));
            for (size_t at = 0; at < bytes.size(); at += piece)
                if (!hiveCheckFeed(&check, reinterpret_cast<const BYTE *>(bytes.data()) + at,
                                   std::min(piece, bytes.size() - at)))
                    break;
            EXPECT_EQ(hiveCheckEnd(&check), verdict) << "pieces of " << piece;
            EXPECT_EQ(check.offset, one.offset);
            EXPECT_EQ(check.trailer, one.trailer);
        }
    }
}

TEST(UnpackHives, OpenFailures) {
    struct Case {
        const char *name;
        const char *faults;
        Lines log;
        bool systemOutStays;
    } cases[] = {
        {"backup", "_wfopen~*NEW1.tmp", {"restRegHv: could not open \\Temp\\NEW1.tmp"}, false},
        {"system hive output",
         "_wfopen~*m.out",
         {"restRegHv: file opened:\\Temp\\NEW1.tmp", "restRegHv: sig correct",
          "restRegHv: could not open \\Temp\\m.out"},
         false},
        // No blank before the path here; the extracted system hive stays.
        {"user hive output",
         "_wfopen~*u.out",
         {"restRegHv: file opened:\\Temp\\NEW1.tmp", "restRegHv: sig correct", "restRegHv: file opened:\\Temp\\m.out",
          "restRegHv: could not open\\Temp\\u.out"},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        hvt::logOn();
        dev.write(kBackup, backupOf("sys", "user"));
        ASSERT_TRUE(host::setFaults(c.faults));
        EXPECT_EQ(unpack(), HV_NO_OPEN);
        host::clearFaults();
        EXPECT_EQ(logLines(dev), c.log);
        EXPECT_EQ(dev.exists(kSystemOut), c.systemOutStays);
        if (c.systemOutStays) EXPECT_EQ(dev.read(kSystemOut), "sys");
        EXPECT_FALSE(dev.exists(kUserOut));
    }
}

// The profile folder and "user.hv" share a buffer of 255 characters.
TEST(AppendUserHive, JoinsOnlyWhatFits) {
    struct Case {
        size_t cchFolder;
        bool fits;
    } cases[] = {{0, true}, {30, true}, {247, true}, {248, false}, {254, false}, {255, false}, {MAX_PATH - 1, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.cchFolder << " characters");
        WCHAR buffer[MAX_PATH];
        std::fill(buffer, buffer + MAX_PATH, u'#');
        std::u16string folder(c.cchFolder, u'd');
        std::copy(folder.begin(), folder.end(), buffer);
        buffer[c.cchFolder] = 0;
        EXPECT_EQ(appendUserHive(buffer) != 0, c.fits);
        if (c.fits) {
            EXPECT_TRUE(std::u16string(buffer) == folder + u"user.hv");
        } else if (c.cchFolder < USER_HIVE_CCH) {
            EXPECT_TRUE(std::u16string(buffer) == folder);  // unchanged
            EXPECT_EQ(buffer[c.cchFolder + 1], u'#');       // nothing written beyond
        } else {
            // No terminator within the buffer's 255 characters: cut there.
            EXPECT_TRUE(std::u16string(buffer) == folder.substr(0, USER_HIVE_CCH - 1));
        }
    }
}

// On a RAM registry device there are no profiles: both look-ups fail and the
// restore stops before it opens the backup.
TEST(RestRegHv, NoProfileFolderAbortsBeforeOpeningTheBackup) {
    ts::Device dev("ram");
    hvt::logOn();
    dev.write(kBackup, backupOf("sys", "user"));
    hvt::countCalls();
    EXPECT_EQ(restRegHv(w(kBackup).c_str()), HV_NO_OPEN);
    EXPECT_EQ(logLines(dev), (Lines{"restRegHv: could not read the profiledir using GetUserDirectory ",
                                    "restRegHv: could not read the profiledir using SHGetSpecialFolderPath ",
                                    "restRegHv: ABORT could not read the profiledir  "}));
    EXPECT_EQ(dev.ls("/Temp"), Lines{"NEW1.tmp"});
    EXPECT_EQ(host::callCount("SetCurrentUser"), 0);
}

TEST(RestRegHv, NoTemporaryNameMeansNothingIsTouched) {
    for (const char *faults : {"GetTempFileNameW@1", "GetTempFileNameW@2"}) {
        SCOPED_TRACE(faults);
        ts::Device dev("hive");
        hvt::logOn();
        dev.write(kBackup, backupOf("sys", "user"));
        ASSERT_TRUE(host::setFaults(faults));
        EXPECT_EQ(restRegHv(w(kBackup).c_str()), HV_NO_TEMPNAME);
        EXPECT_EQ(host::callCount("GetUserDirectory"), 0);
        EXPECT_EQ(host::callCount("SetCurrentUser"), 0);
        host::clearFaults();
        EXPECT_EQ(logLines(dev), Lines{"restRegHv: GetTempFileName failed"});
        EXPECT_EQ(dev.ls("/Temp"), Lines{"NEW1.tmp"});
    }
}

}  // namespace
