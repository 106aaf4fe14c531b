// backup_test.cpp - corvane-backup run as a real process on backups that the
// program saved on a fresh device: its verdicts and exit codes, its export
// against the export of a device that restored the backup, import and diff,
// offline edits restored by the program, and its failures, which leave every
// file as it was. One case runs the verbs in-process, to see the scratch
// device between them.
#include "tests/ramimage/imagebytes.h"
#include "tests/ramimage/verdict_cases.h"
#include "tests/support/testsupport.h"
#include "tools/corvane_backup.h"
#include "tools/regtext.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

const char *const kKinds[] = {"ram", "hive"};

// The tool, with its scratch devices in scratch (checked empty afterwards).
ts::RunResult tool(const std::vector<std::string> &args, const fs::path &scratch) {
    return ts::run(CORVANE_BACKUP_BIN, args, {{"TMPDIR", scratch.string()}});
}

// A fresh device with a folder on the "PC" beside it and a scratch folder.
struct Bench {
    explicit Bench(const char *kind) : dev(kind) {
        fs::create_directories(pc());
        fs::create_directories(scratch());
    }
    fs::path pc() const { return dev.dir() / "pc"; }
    fs::path scratch() const { return dev.dir() / "scratch"; }
    ts::RunResult run(const std::vector<std::string> &args) const { return tool(args, scratch()); }
    // Saves the registry with the program as \<name>.
    void save(const std::string &name) const {
        ts::RunResult r = ts::corvane({"ls", "\\" + name});
        ASSERT_EQ(r.exitCode, 1) << r.err;
        ASSERT_TRUE(dev.exists("/" + name));
    }
    ts::Device dev;
};

#define TOOL_OK(bench, ...) toolOkAt(__FILE__, __LINE__, bench, {__VA_ARGS__})
std::string toolOkAt(const char *file, int line, const Bench &bench, const std::vector<std::string> &args) {
    ::testing::ScopedTrace trace(file, line, "corvane-backup " + args[0]);
    ts::RunResult r = bench.run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_empty(bench.scratch())) << "a scratch device was left behind";
    return r.out;
}

std::string cedeviceOk(const std::vector<std::string> &args) {
    ts::RunResult r = ts::cedevice(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

// A device's export after a hive restore carries RegPersisted in its root.
std::string withoutRegPersisted(std::string text) {
    const std::string line = "\"RegPersisted\"=dword:00000001\n";
    size_t at = text.find(line);
    if (at != std::string::npos) text.erase(at, line.size());
    return text;
}

// Every file below dir with its bytes.
std::map<std::string, std::string> snapshot(const fs::path &dir) {
    std::map<std::string, std::string> files;
    for (auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) files[entry.path().string()] = ts::readFile(entry.path());
    return files;
}

void flip(const fs::path &file, size_t at, int mask) {
    std::string bytes = ts::readFile(file);
    bytes[at] = static_cast<char>(bytes[at] ^ mask);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

TEST(CorvaneBackup, CheckTellsWholeDamagedAndNotABackup) {
    for (const char *kind : kKinds) {
        SCOPED_TRACE(kind);
        Bench bench(kind);
        bench.save("b.reg");
        const fs::path saved = bench.dev.host("/b.reg");
        const std::string bytes = ts::readFile(saved);
        const bool ram = std::string(kind) == "ram";
        struct Case {
            const char *what;
            std::string content;
            int exitCode;
            std::string secondLine;
        };
        std::string lengthChanged = bytes, imageByteChanged = bytes;
        lengthChanged[8] ^= 1;       // RAM: the first record's length
        imageByteChanged[100] ^= 1;  // hive: a byte inside the system hive image
        const Case cases[] = {
            {"just saved", bytes, 0, ram ? "whole: a restore would take it" : ""},
            {"cut short", bytes.substr(0, bytes.size() / 2), 1, ""},
            {"one byte changed", ram ? lengthChanged : imageByteChanged, 1,
             ram ? "damaged at offset 0x00000008: record at 0x8: length 7, its fields need 6"
                 : "damaged at offset 0x00000008: system hive image at 0x8 does not match its checksum"},
            {"a text file", "REGEDIT4\n", 2, ""},
            {"empty", "", 2, ""},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            fs::path file = bench.pc() / "x.reg";
            std::ofstream(file, std::ios::binary | std::ios::trunc) << c.content;
            ts::RunResult r = bench.run({"check", file.string()});
            EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
            EXPECT_EQ(r.err, "");
            std::string first = r.out.substr(0, r.out.find('\n'));
            if (c.exitCode == 2) {
                EXPECT_EQ(r.out,
                          file.string() + ": not a backup: neither a RAM registry image nor a hive backup file\n");
            } else if (ram) {
                EXPECT_EQ(first.rfind(file.string() + ": RAM registry image, ", 0), 0u) << first;
            } else {
                // A file cut short may have lost its trailer: nothing is said of it.
                EXPECT_EQ(first, file.string() + ": hive backup file" +
                                     (c.content.size() == bytes.size() ? " with its integrity trailer" : "") + ", " +
                                     std::to_string(c.content.size()) + " bytes");
            }
            if (!c.secondLine.empty()) EXPECT_NE(r.out.find("\n" + c.secondLine + "\n"), std::string::npos) << r.out;
            if (c.exitCode == 1) EXPECT_NE(r.out.find("\na restore would refuse it\n"), std::string::npos) << r.out;
            EXPECT_EQ(ts::readFile(file), c.content) << "check changed its input";
            EXPECT_TRUE(fs::is_empty(bench.scratch()));
        }
        // The device file itself, named with a leading backslash.
        ts::RunResult r = bench.run({"check", "\\b.reg"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(ts::readFile(saved), bytes);
        r = bench.run({"check", "\\nosuch.reg"});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, "corvane-backup: check: \\nosuch.reg: cannot open: No such file or directory\n");
    }
}

// One verdict for every verb: what check passes, export reads, and what
// check refuses, export refuses with the same words.
TEST(CorvaneBackup, CheckAndExportGiveOneVerdict) {
    using namespace imgtest;
    Bench bench("ram");
    std::vector<VerdictCase> cases = verdictCases();
    cases.push_back({__LINE__, image({}), IMAGE_NO_KEY, 8, "no key record: it would restore an empty registry"});
    cases.push_back({__LINE__, image({value(1, "v", ""), key(0, "A")}), IMAGE_VALUE_FIRST, 8,
                     "record at 0x8: value record before the first key record"});
    const fs::path file = bench.pc() / "x.img";
    for (const VerdictCase &c : cases) {
        SCOPED_TRACE("case at line " + std::to_string(c.line));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
        ts::RunResult checked = bench.run({"check", file.string()});
        ts::RunResult exported = bench.run({"export", file.string()});
        if (c.problem == IMAGE_WHOLE) {
            EXPECT_EQ(checked.exitCode, 0) << checked.out;
            EXPECT_NE(checked.out.find("\nwhole: a restore would take it\n"), std::string::npos) << checked.out;
            EXPECT_EQ(exported.exitCode, 0) << exported.err;
            continue;
        }
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%08X", static_cast<unsigned>(c.offset));
        EXPECT_EQ(checked.exitCode, 1) << checked.out;
        EXPECT_NE(checked.out.find(std::string("\ndamaged at offset ") + offset + ": " + c.text +
                                   "\na restore would refuse it\n"),
                  std::string::npos)
            << checked.out;
        EXPECT_EQ(exported.exitCode, 1);
        EXPECT_EQ(exported.err,
                  "corvane-backup: export: " + file.string() + ": a restore would refuse it: " + c.text + "\n");
    }
}

TEST(CorvaneBackup, CheckSaysWhatRepairWouldChange) {
    using namespace imgtest;
    Bench bench("ram");
    struct Case {
        const char *what;
        std::string image;
        int exitCode;
        std::string out;  // after the first line
        bool readOnly = false;
    };
    const Case cases[] = {
        {"consistent", image({key(2, "A"), value(4, "v", "abcd")}), 0,
         "whole: a restore would take it\nc (repair) leaves it unchanged\n"},
        // The scratch copy is read-only too, as the file is on a device.
        {"4 surplus bytes, read-only", image({key(2, "A"), value(4, "v", "abcd", "wxyz"), key(2, "B")}), 1,
         "damaged at offset 0x00000014: record at 0x14: length 18, its fields need 14\n"
         "a restore would refuse it\n"
         "c (repair) fails on a copy of it (result 9)\n",
         true},
        {"4 surplus bytes", image({key(2, "A"), value(4, "v", "abcd", "wxyz"), key(2, "B")}), 1,
         "damaged at offset 0x00000014: record at 0x14: length 18, its fields need 14\n"
         "a restore would refuse it\n"
         "c (repair) would rewrite 1 of 3 records: 54 bytes become 50 (4 bytes dropped)\n"},
        {"4 surplus bytes and a key tag that is no root",
         image({key(2, "A"), value(4, "v", "abcd", "wxyz"), key(5, "B")}), 1,
         "damaged at offset 0x00000014: record at 0x14: length 18, its fields need 14\n"
         "a restore would refuse it\n"
         "c (repair) would leave it as it is: its rewritten image is not whole either (record at 0x26: key tag 5 "
         "is no root)\n"},
        {"a record of type 3", image({key(2, "A"), le16(4) + le16(3) + "abcd"}), 1,
         "damaged at offset 0x00000014: record at 0x14: type 3 is neither key (1) nor value (2)\n"
         "a restore would refuse it\n"
         "c (repair) would refuse it: a record of unknown type (the file stays as it is)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::path file = bench.pc() / "x.img";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.image;
        if (c.readOnly) fs::permissions(file, fs::perms::owner_write, fs::perm_options::remove);
        ts::RunResult r = bench.run({"check", file.string()});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), c.out);
        EXPECT_EQ(ts::readFile(file), c.image);
        fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
    }
}

TEST(CorvaneBackup, ListShowsEveryRecordAndTheHives) {
    using namespace imgtest;
    Bench bench("hive");
    fs::path file = bench.pc() / "x.img";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        << image({key(2, "Ident"), value(1, "Name", utf16("Dev") + le16(0)), value(4, "w", "abcd", "xy"),
                  le16(8) + le16(1) + le16(0x0203) + le16(2) + utf16("K") + le16(0)});
    EXPECT_EQ(TOOL_OK(bench, "list", file.string()),
              "# RAM registry image, 88 bytes, totalSize 88\n"
              "# offset\trecord\ttag\tdata\tname\tcheck\n"
              "0x00000008\tkey\t2 HKEY_LOCAL_MACHINE\t-\tIdent\tok\n"
              "0x0000001C\tvalue\t1 REG_SZ\t8\tName\tok\n"
              "0x00000038\tvalue\t4 REG_DWORD\t4\tw\tlength 16, its fields need 14\n"
              "0x0000004C\tkey\t0x0203\t-\tK\tkey tag 515 is no root\n"
              "# 4 records, 2 keys, 2 not consistent\n");

    bench.save("b.reg");
    std::string out = TOOL_OK(bench, "list", "\\b.reg");
    EXPECT_EQ(out.rfind("# hive backup file with its integrity trailer, ", 0), 0u) << out;
    EXPECT_NE(out.find("\n[HKEY_LOCAL_MACHINE\\Ident]\t3 values\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n[HKEY_CURRENT_USER\\Software\\Pelnor\\Shell]\t5 values\n"), std::string::npos) << out;
}

TEST(CorvaneBackup, ExportIsTheExportOfTheDeviceThatRestoredTheBackup) {
    for (const char *kind : kKinds) {
        SCOPED_TRACE(kind);
        Bench bench(kind);
        bench.save("b.reg");
        std::string exported = TOOL_OK(bench, "export", "\\b.reg");
        std::string exportedKey = TOOL_OK(bench, "export", "\\b.reg", "HKCU\\Software\\Pelnor");
        // The device moves on, then restores the backup and warm-boots.
        cedeviceOk({"reg", "set", "HKLM\\Ident", "Name", "REG_SZ", "Changed"});
        cedeviceOk({"reg", "delete", "HKCR\\txtfile"});
        cedeviceOk({"reg", "set", "HKCU\\Software\\Pelnor\\Shell", "New", "REG_DWORD", "1"});
        ts::RunResult r = ts::corvane({"lrd", "\\b.reg"}, {{"CEDEVICE_PROMPT", "ok"}});
        ASSERT_EQ(r.exitCode, 1) << bench.dev.log();
        EXPECT_EQ(withoutRegPersisted(cedeviceOk({"reg", "export"})), exported);
        EXPECT_EQ(cedeviceOk({"reg", "export", "HKCU\\Software\\Pelnor"}), exportedKey);
    }
}

TEST(CorvaneBackup, ImportThenExportGivesTheSameText) {
    Bench bench("ram");
    bench.save("b.reg");
    const std::string text = TOOL_OK(bench, "export", "\\b.reg");
    const fs::path regfile = bench.pc() / "b.txt";
    std::ofstream(regfile, std::ios::binary) << text;
    // The same text with CRLF line ends, a byte order mark and comments.
    std::string windows = "\xEF\xBB\xBF";
    for (char c : text) windows += c == '\n' ? std::string("\r\n") : std::string(1, c);
    windows.insert(windows.find("[HKEY_LOCAL_MACHINE]"), "; a comment\r\n");
    std::ofstream(bench.pc() / "w.txt", std::ios::binary) << windows;
    for (const char *source : {"b.txt", "w.txt"}) {
        for (const char *kind : kKinds) {
            SCOPED_TRACE(std::string(source) + " " + kind);
            fs::path out = bench.pc() / (std::string("out.") + kind);
            TOOL_OK(bench, "import", (bench.pc() / source).string(), out.string(), "--kind", kind, "--force");
            EXPECT_EQ(
                TOOL_OK(bench, "check", out.string()).find("whole: a restore would take it\n") != std::string::npos,
                true);
            EXPECT_EQ(TOOL_OK(bench, "export", out.string()), text);
        }
    }
    // A RAM image imported from the device's own export is the device's image.
    TOOL_OK(bench, "import", regfile.string(), (bench.pc() / "b.img").string());
    EXPECT_EQ(TOOL_OK(bench, "diff", (bench.pc() / "b.img").string(), "\\b.reg"), "");
}

// regedit's own files: its 5.00 text in UTF-16LE with its byte order mark
// (what regedit writes) and in UTF-8, with both deletion forms, merged into
// a backup of either kind or applied to the device; and the 5.00 export of
// the device, imported, exported again, is the same bytes.
TEST(CorvaneBackup, MergeTakesRegeditFilesAndChangesOnlyWhatTheyName) {
    auto utf16 = [](const std::string &utf8) {
        std::string out = "\xFF\xFE";
        for (char16_t c : ts::u16(utf8)) {
            out += static_cast<char>(c & 0xFF);
            out += static_cast<char>(c >> 8);
        }
        return out;
    };
    const std::string patch =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\Init]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Ident]\r\n"
        "\"Desc\"=-\r\n"
        "\"Name\"=\"Ünit 7\"\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\No\\Such\\Key]\r\n";
    const std::string change =
        " [HKEY_LOCAL_MACHINE\\Ident]\n"
        "-\"Desc\"=\"Simulated Windows CE device\"\n"
        "-\"Name\"=\"CorvaneDev\"\n"
        "+\"Name\"=\"Ünit 7\"\n"
        "-[HKEY_LOCAL_MACHINE\\Init]\n"
        "-\"Depend20\"=hex:0a,00\n"
        "-\"Launch10\"=\"shell.exe\"\n"
        "-\"Launch20\"=\"device.exe\"\n";
    for (const char *kind : kKinds) {
        SCOPED_TRACE(kind);
        Bench bench(kind);
        bench.save("b.reg");
        const std::string pc = bench.pc().string() + "/";
        std::ofstream(pc + "p16.reg", std::ios::binary) << utf16(patch);
        std::ofstream(pc + "p8.reg", std::ios::binary) << patch;
        // Into a copy (--out), then in place: the same change, and nothing else.
        TOOL_OK(bench, "merge", "\\b.reg", pc + "p16.reg", "--out", pc + "m.bak");
        ts::RunResult r = bench.run({"diff", "\\b.reg", pc + "m.bak"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out, "--- \\b.reg\n+++ " + pc + "m.bak\n" + change);
        fs::copy_file(bench.dev.host("/b.reg"), pc + "in.bak");
        TOOL_OK(bench, "merge", pc + "in.bak", pc + "p8.reg");
        EXPECT_EQ(TOOL_OK(bench, "diff", pc + "in.bak", pc + "m.bak"), "");
        EXPECT_NE(TOOL_OK(bench, "check", pc + "m.bak").find("whole: a restore would take it\n"), std::string::npos);
        // The device applies the same file itself.
        cedeviceOk({"reg", "import", pc + "p16.reg"});
        EXPECT_EQ(TOOL_OK(bench, "diff", pc + "m.bak", "--device"), "");
        // Round trip of regedit's format, and import onto an existing file.
        const std::string exported = cedeviceOk({"reg", "export", "--format", "5"});
        ASSERT_EQ(exported.substr(0, 4), std::string("\xFF\xFEW\0", 4));
        std::ofstream(pc + "d5.reg", std::ios::binary) << exported;
        TOOL_OK(bench, "import", pc + "d5.reg", pc + "d.bak", "--kind", kind);
        EXPECT_EQ(TOOL_OK(bench, "export", pc + "d.bak", "--format", "5"), exported);
        EXPECT_EQ(bench.run({"import", pc + "p8.reg", pc + "d.bak"}).exitCode, 1);
        TOOL_OK(bench, "import", pc + "p8.reg", pc + "d.bak", "--force");
        EXPECT_EQ(TOOL_OK(bench, "export", pc + "d.bak", "HKLM\\Ident"),
                  "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Ident]\n\"Name\"=\"Ünit 7\"\n\n");
    }
}

// check --json and list --json give one document each, with the verdict and
// exit code of the words; --version names the program's version.
TEST(CorvaneBackup, JsonForScriptsAndTheVersion) {
    Bench bench("ram");
    bench.save("b.reg");
    const std::string pc = bench.pc().string() + "/";
    EXPECT_EQ(TOOL_OK(bench, "--version"), "corvane-backup 3.2\n");
    EXPECT_EQ(TOOL_OK(bench, "check", "--json", "\\b.reg"),
              "{\"file\": \"\\\\b.reg\", \"kind\": \"ram\", \"bytes\": 8468, \"whole\": true, \"records\": 61, "
              "\"keys\": 29, \"repair\": \"c (repair) leaves it unchanged\"}\n");
    std::ofstream(pc + "cut.bak", std::ios::binary) << ts::readFile(bench.dev.host("/b.reg")).substr(0, 200);
    ts::RunResult r = bench.run({"check", pc + "cut.bak", "--json"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "{\"file\": \"" + pc + "cut.bak\", \"kind\": \"ram\", \"bytes\": 200, \"whole\": false, " +
                         "\"offset\": 4, \"problem\": \"totalSize 8468, the file holds 200 bytes\", \"repair\": " +
                         "\"c (repair) would refuse it: the file is cut short (it stays as it is)\"}\n");
    r = bench.run({"check", "--json", pc + "missing.bak"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "{\"file\": \"" + pc + "missing.bak\", \"error\": \"" + pc +
                         "missing.bak: cannot open: No such file or directory\"}\n");
    const std::string list = TOOL_OK(bench, "list", "--json", "\\b.reg");
    EXPECT_EQ(list.rfind("{\"file\": \"\\\\b.reg\", \"kind\": \"ram\", \"bytes\": 8468, \"totalSize\": 8468, "
                         "\"records\": [{\"offset\": 8, \"record\": \"key\", \"tag\": \"0 HKEY_CLASSES_ROOT\", "
                         "\"data\": null, \"name\": \"\", \"check\": \"ok\"}, ",
                         0),
              0u)
        << list;
    EXPECT_EQ(list.substr(list.size() - 54), "], \"recordCount\": 61, \"keys\": 29, \"notConsistent\": 0}\n");
}

TEST(CorvaneBackup, DiffNamesWhatChanged) {
    for (const char *kind : kKinds) {
        SCOPED_TRACE(kind);
        Bench bench(kind);
        bench.save("a.reg");
        EXPECT_EQ(TOOL_OK(bench, "diff", "\\a.reg", "\\a.reg"), "");
        EXPECT_EQ(TOOL_OK(bench, "diff", "\\a.reg", "--device"), "");
        cedeviceOk({"reg", "set", "HKLM\\Ident", "Name", "REG_SZ", "Changed"});
        bench.save("b.reg");
        ts::RunResult r = bench.run({"diff", "\\a.reg", "\\b.reg"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out,
                  "--- \\a.reg\n+++ \\b.reg\n"
                  " [HKEY_LOCAL_MACHINE\\Ident]\n"
                  "-\"Name\"=\"CorvaneDev\"\n"
                  "+\"Name\"=\"Changed\"\n");
        cedeviceOk({"reg", "delete", "HKLM\\Init"});
        cedeviceOk({"reg", "set", "HKLM\\Ident\\Sub", "", "REG_BINARY", "0102"});
        r = bench.run({"diff", "\\b.reg", "--device"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out,
                  "--- \\b.reg\n+++ --device\n"
                  "+[HKEY_LOCAL_MACHINE\\Ident\\Sub]\n"
                  "+@=hex:01,02\n"
                  "-[HKEY_LOCAL_MACHINE\\Init]\n"
                  "-\"Depend20\"=hex:0a,00\n"
                  "-\"Launch10\"=\"shell.exe\"\n"
                  "-\"Launch20\"=\"device.exe\"\n");
    }
}

TEST(CorvaneBackup, SetOfflineThenTheRestoredDeviceHoldsTheValue) {
    for (const char *kind : kKinds) {
        SCOPED_TRACE(kind);
        Bench bench(kind);
        bench.save("b.reg");
        TOOL_OK(bench, "set", "\\b.reg", "HKLM\\Ident", "Name", "REG_SZ", "Edited");
        TOOL_OK(bench, "set", "\\b.reg", "HKCU\\Software\\New", "Count", "REG_DWORD", "0x10");
        TOOL_OK(bench, "delete", "\\b.reg", "HKLM\\Ident", "Desc");
        TOOL_OK(bench, "delete", "\\b.reg", "HKCR\\txtfile");
        EXPECT_NE(TOOL_OK(bench, "check", "\\b.reg").find("whole: a restore would take it\n"), std::string::npos);
        ts::RunResult r = ts::corvane({"lrd", "\\b.reg"}, {{"CEDEVICE_PROMPT", "ok"}});
        ASSERT_EQ(r.exitCode, 1) << bench.dev.log();
        EXPECT_EQ(cedeviceOk({"reg", "query", "HKLM\\Ident", "Name"}),
                  "HKEY_LOCAL_MACHINE\\Ident\n    Name    REG_SZ    Edited\n");
        EXPECT_EQ(cedeviceOk({"reg", "query", "HKCU\\Software\\New", "Count"}),
                  "HKEY_CURRENT_USER\\Software\\New\n    Count    REG_DWORD    0x10\n");
        EXPECT_EQ(ts::cedevice({"reg", "query", "HKLM\\Ident", "Desc"}).exitCode, 1);
        EXPECT_EQ(ts::cedevice({"reg", "query", "HKCR\\txtfile"}).exitCode, 1);
    }
}

// A file on the device is read and written under the device's run lock,
// the one corvane holds while it replaces a file: set waits while a run
// holds it, then edits the file, and leaves no lock behind.
TEST(CorvaneBackup, EditsOfADeviceFileWaitForARunsLock) {
    Bench bench("ram");
    bench.save("b.reg");
    pid_t holder = ts::holdRunLock(300);
    ASSERT_GT(holder, 0);
    auto started = std::chrono::steady_clock::now();
    TOOL_OK(bench, "set", "\\b.reg", "HKLM\\Ident", "Name", "REG_SZ", "Edited");
    auto waited = std::chrono::steady_clock::now() - started;
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_NE(TOOL_OK(bench, "export", "\\b.reg").find("\"Name\"=\"Edited\""), std::string::npos);
    EXPECT_FALSE(bench.dev.exists("/Temp/corvane.lck"));
}

TEST(CorvaneBackup, FailuresSayWhyAndLeaveEveryFileAsItWas) {
    Bench bench("ram");
    bench.save("b.reg");
    const std::string pc = bench.pc().string() + "/";
    fs::copy_file(bench.dev.host("/b.reg"), pc + "good.reg");
    fs::copy_file(bench.dev.host("/b.reg"), pc + "bad.reg");
    flip(pc + "bad.reg", 8, 1);
    std::ofstream(pc + "t.txt") << "hello\n";
    fs::copy_file(bench.dev.host("/b.reg"), pc + "none.reg");
    fs::permissions(pc + "none.reg", fs::perms::none);
    std::ofstream(pc + "bad.txt") << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\X]\n\"N\"=dword:1234567890\n";
    std::ofstream(pc + "nokey.txt") << "REGEDIT4\n\n\"N\"=\"v\"\n";
    std::ofstream(pc + "cut.txt") << "REGEDIT4\n[HKLM\\X]\n\"N\"=hex:01,\\\n";
    std::ofstream(pc + "hex.txt") << "REGEDIT4\n[HKLM\\X]\n\"N\"=hex:0A,ff,0g\n";
    std::ofstream(pc + "out.reg") << "old";
    std::ofstream(pc + "w.txt") << "REGEDIT4\n\n[HKLM\\X]\n\"N\"=\"v\"\n";
    // The bytes FF FE inside a string of a UTF-8 text, and a UTF-16LE text
    // cut inside a character on its second line.
    std::ofstream(pc + "utf8.txt") << "REGEDIT4\n\n[HKLM\\X]\n\"N\"=\"a\xFF\xFE\"\n";
    std::ofstream(pc + "odd16.txt") << std::string(
        "\xFF\xFE"
        "R\0E\0G\0E\0D\0I\0T\0"
        "4\0\n\0[",
        21);
    std::ofstream(pc + "under.txt") << "REGEDIT4\n[-HKLM\\Ident]\n\"N\"=\"v\"\n";
    std::ofstream(pc + "root.txt") << "REGEDIT4\n[-HKLM]\n";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    };
    const Case cases[] = {
        {{"frob"}, 2, "corvane-backup: unknown verb 'frob' (corvane-backup --help lists them)\n"},
        {{"check"}, 2, "corvane-backup: check: needs FILE\n"},
        {{"check", pc + "good.reg", pc + "bad.reg"}, 2, "corvane-backup: check: needs one FILE\n"},
        // A file that grants nobody a read is unreadable, under root too.
        {{"check", pc + "none.reg"}, 2, "corvane-backup: check: " + pc + "none.reg: cannot open: Permission denied\n"},
        {{"list", pc + "t.txt"},
         2,
         "corvane-backup: list: " + pc + "t.txt: neither a RAM registry image nor a hive backup file\n"},
        {{"export", pc + "good.reg", "HKU\\X"}, 2, "corvane-backup: export: not a registry key: HKU\\X\n"},
        {{"export", pc + "good.reg", "HKLM\\NoSuch"}, 1, "corvane-backup: export: HKLM\\NoSuch: no such key\n"},
        {{"export", pc + "t.txt"},
         2,
         "corvane-backup: export: " + pc + "t.txt: neither a RAM registry image nor a hive backup file\n"},
        {{"export", pc + "bad.reg"},
         1,
         "corvane-backup: export: " + pc +
             "bad.reg: a restore would refuse it: record at 0x8: length 7, its fields need 6\n"},
        {{"set", pc + "good.reg", "HKLM\\X", "N", "REG_DWORD", "x"},
         2,
         "corvane-backup: set: REG_DWORD data must be a number from 0 to 4294967295 (decimal or 0x hex): x\n"},
        {{"set", pc + "good.reg", "HKLM\\X", std::string(255, 'n'), "REG_SZ", "v"},
         1,
         "corvane-backup: set: value name longer than 254 characters\n"},
        {{"set", pc + "good.reg", "HKLM\\X", "N", "REG_BINARY", std::string(131060, '0')},
         1,
         "corvane-backup: set: " + pc + "good.reg: a key or value does not fit a RAM image record\n"},
        {{"set", pc + "bad.reg", "HKLM\\X", "N", "REG_SZ", "v"},
         1,
         "corvane-backup: set: " + pc +
             "bad.reg: a restore would refuse it: record at 0x8: length 7, its fields need 6\n"},
        {{"delete", pc + "good.reg", "HKLM\\NoSuch"}, 1, "corvane-backup: delete: HKLM\\NoSuch: no such key\n"},
        {{"delete", pc + "good.reg", "HKLM\\Ident", "Nope"},
         1,
         "corvane-backup: delete: HKLM\\Ident: no value named 'Nope'\n"},
        {{"delete", pc + "good.reg", "HKLM"}, 1, "corvane-backup: delete: HKLM: a root key cannot be deleted\n"},
        {{"import", pc + "bad.txt", pc + "new.reg"},
         1,
         "corvane-backup: import: " + pc + "bad.txt: line 4: dword: needs up to 8 hex digits\n"},
        {{"import", pc + "hex.txt", pc + "new.reg"},
         1,
         "corvane-backup: import: " + pc + "hex.txt: line 3: hex data must be bytes like 0a,1b,ff\n"},
        {{"import", pc + "nokey.txt", pc + "new.reg"},
         1,
         "corvane-backup: import: " + pc + "nokey.txt: line 3: a value before the first key\n"},
        {{"import", pc + "cut.txt", pc + "new.reg"},
         1,
         "corvane-backup: import: " + pc + "cut.txt: line 3: the data goes on past the end of the text\n"},
        {{"import", pc + "t.txt", pc + "new.reg"},
         1,
         "corvane-backup: import: " + pc +
             "t.txt: line 1: not a .reg text (its first line is neither REGEDIT4 nor \"Windows Registry Editor "
             "Version 5.00\")\n"},
        {{"import", pc + "w.txt", pc + "out.reg"},
         1,
         "corvane-backup: import: " + pc + "out.reg exists (--force replaces it; merge adds to a backup)\n"},
        {{"import", pc + "utf8.txt", pc + "new.reg"},
         1,
         "corvane-backup: import: " + pc + "utf8.txt: line 4: not valid UTF-8 (byte 0xFF)\n"},
        {{"import", pc + "odd16.txt", pc + "new.reg"},
         1,
         "corvane-backup: import: " + pc +
             "odd16.txt: line 2: not valid UTF-16LE text (a lone surrogate, or cut inside a character)\n"},
        {{"merge", pc + "good.reg", pc + "under.txt"},
         1,
         "corvane-backup: merge: " + pc + "under.txt: line 3: a value under a deleted key ([-...])\n"},
        {{"merge", pc + "good.reg", pc + "root.txt"},
         1,
         "corvane-backup: merge: " + pc + "root.txt: line 2: a root key cannot be deleted: HKLM\n"},
        {{"merge", pc + "good.reg", pc + "w.txt", "--out", pc + "out.reg"},
         1,
         "corvane-backup: merge: " + pc + "out.reg exists (--force replaces it; merge adds to a backup)\n"},
        {{"merge", pc + "t.txt", pc + "w.txt"},
         2,
         "corvane-backup: merge: " + pc + "t.txt: neither a RAM registry image nor a hive backup file\n"},
        {{"merge", pc + "good.reg", pc + "missing.txt"},
         2,
         "corvane-backup: merge: " + pc + "missing.txt: cannot open: No such file or directory\n"},
        {{"export", pc + "good.reg", "--format", "6"},
         2,
         "corvane-backup: export: unknown format '6' (4: REGEDIT4, 5: regedit's 5.00 in UTF-16LE)\n"},
        {{"import", pc + "good.reg", pc + "new.reg", "--kind", "flat"},
         2,
         "corvane-backup: import: unknown kind 'flat' (ram or hive)\n"},
        {{"import", pc + "w.txt", pc + "no folder/new.reg"},
         1,
         "corvane-backup: import: " + pc + "no folder/new.reg: cannot write beside it: No such file or directory\n"},
        {{"import", pc + "w.txt", pc}, 1, "corvane-backup: import: " + pc + ": a folder, not a file\n"},
        {{"diff", pc + "good.reg", pc + "missing.reg"},
         2,
         "corvane-backup: diff: " + pc + "missing.reg: cannot open: No such file or directory\n"},
        {{"set", "\\No Folder\\b.reg", "HKLM\\X", "N", "REG_SZ", "v"},
         2,
         "corvane-backup: set: \\No Folder\\b.reg: a folder on the way does not exist\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        auto before = snapshot(bench.dev.dir());
        ts::RunResult r = bench.run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(snapshot(bench.dev.dir()), before) << "a failing run changed or left a file";
        EXPECT_TRUE(fs::is_empty(bench.scratch()));
    }
}

// Verbs run one after the other in one process share one scratch device:
// each finds it as it was made (nothing in its \Temp, the temporary names
// counted from the start), and it is gone when the process exits.
TEST(CorvaneBackup, VerbsInOneProcessShareOneScratchDeviceGoneAtExit) {
    using namespace imgtest;
    Bench bench("hive");
    bench.save("b.reg");
    const std::string hive = bench.dev.host("/b.reg").string();
    const std::string image = (bench.pc() / "x.img").string();
    std::ofstream(image, std::ios::binary) << imgtest::image({key(2, "A"), value(4, "v", "abcd", "wxyz")});
    const struct {
        std::vector<std::string> args;
        int exitCode;
    } verbs[] = {
        {{"check", image}, 1},                                  // repair previewed: a temporary name taken
        {{"export", hive}, 0},                                  // the hives unpacked
        {{"set", hive, "HKLM\\Ident", "N", "REG_SZ", "v"}, 0},  // unpacked, then packed
    };
    EXPECT_EXIT(
        {
            auto fails = [](const std::string &what) {
                std::fprintf(stderr, "%s\n", what.c_str());
                std::exit(1);
            };
            setenv("TMPDIR", bench.scratch().c_str(), 1);
            if (!std::freopen("/dev/null", "w", stdout)) fails("no /dev/null");
            std::vector<fs::path> first;
            std::error_code ec;
            for (int round = 0; round < 2; ++round) {
                for (const auto &verb : verbs) {
                    if (backup::run(verb.args) != verb.exitCode) fails(verb.args[0] + " failed");
                    std::vector<fs::path> kept = backup::keptScratch();
                    if (first.empty()) first = kept;
                    if (kept.size() != 1 || kept != first) fails(verb.args[0] + ": not the one scratch device");
                    const fs::path temp = kept[0] / "device" / "fs" / "Temp";
                    if (!fs::is_empty(temp, ec)) fails(verb.args[0] + ": \\Temp not empty");
                    if (ts::readFile(kept[0] / "device" / "state" / "device.txt").find("tempCounter=00000\n") ==
                        std::string::npos)
                        fails(verb.args[0] + ": the temporary-name counter was not put back");
                    if (std::distance(fs::directory_iterator(bench.scratch()), fs::directory_iterator()) != 1)
                        fails(verb.args[0] + ": another scratch folder");
                    // Whatever is left there goes too: a folder with a file, a link.
                    fs::create_directories(temp / "left" / "sub");
                    std::ofstream(temp / "left" / "sub" / "f") << "x";
                    fs::create_symlink("/nonexistent", temp / "link");
                }
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::is_empty(bench.scratch())) << "the scratch device was left behind";
}

// The .reg decoder against the C library's iconv, where it has the two
// conversions: texts of well-formed and broken characters of both encodings,
// with and without regedit's byte order mark, get the same verdict, the same
// UTF-8 and, when refused, the line of the first bad character.
TEST(CorvaneBackup, RegFileTextIsDecodedAsIconvDecodesIt) {
    iconv_t fromUtf16 = iconv_open("UTF-8", "UTF-16LE"), checkUtf8 = iconv_open("UTF-16LE", "UTF-8");
    if (fromUtf16 == reinterpret_cast<iconv_t>(-1) || checkUtf8 == reinterpret_cast<iconv_t>(-1))
        GTEST_SKIP() << "this C library has no UTF-16LE conversion";
    // iconv's verdict and UTF-8, and the line where it stopped.
    auto byIconv = [](iconv_t cd, std::string in, std::string &out, size_t unit) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        out.assign(4 * in.size() + 4, '\0');
        char *src = in.data(), *dst = out.data();
        size_t left = in.size(), room = out.size();
        bool ok = iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1);
        out.resize(out.size() - room);
        size_t line = 1;
        for (const char *p = in.data(); p + unit <= src; p += unit)
            if (*p == '\n' && (unit == 1 || p[1] == 0)) ++line;
        return ok ? std::string() : "line " + std::to_string(line) + ": ";
    };
    const std::vector<std::string> pieces = {"a",
                                             "\n",
                                             "\r\n",
                                             "\xC3\xA9",
                                             "\xE2\x82\xAC",
                                             "\xF0\x9F\x98\x80",
                                             "\xEF\xBF\xBE",
                                             "\xC0\x80",
                                             "\xED\xA0\x80",
                                             "\xF4\x90\x80\x80",
                                             "\xE0\x80\x80",
                                             "\xFF",
                                             "\x80",
                                             "\xC3",
                                             "\xF0\x9F",
                                             std::string("\0", 1),
                                             "\x00\xD8",
                                             "\x00\xDC",
                                             "\x3D\xD8\x00\xDE",
                                             "\n\x00",
                                             "\xAC\x20"};
    std::mt19937 random(30);
    for (int round = 0; round < 4000; ++round) {
        std::string bytes = round % 2 ? "\xFF\xFE" : "";
        for (int n = random() % 8; n > 0; --n) bytes += pieces[random() % pieces.size()];
        if (random() % 4 == 0) bytes += 'x';
        const bool utf16 = round % 2;
        std::string expected,
            where = byIconv(utf16 ? fromUtf16 : checkUtf8, bytes.substr(utf16 ? 2 : 0), expected, utf16 ? 2 : 1);
        std::string storage, error;
        std::string_view text;
        SCOPED_TRACE(::testing::PrintToString(bytes));
        ASSERT_EQ(regtext::decodeRegFile(bytes, storage, text, error), where.empty()) << error;
        if (where.empty())
            EXPECT_EQ(text, utf16 ? expected : bytes);
        else
            EXPECT_EQ(error.substr(0, where.size()), where);
    }
    iconv_close(fromUtf16);
    iconv_close(checkUtf8);
}
