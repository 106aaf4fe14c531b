// The operation sequence as real runs of the program: one row per case, each
// checking the exit code, the whole log after the header, the program's own
// calls on the work file W and the file argument F (from the trace), the
// file argument's bytes and what is left in \Temp.
#include "app/driver.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace {

const std::string F = "\\My Documents\\b.reg";

// What stands at F before the run.
enum class Input {
    None,        // F does not exist
    RamImage,    // a RAM registry image, as the platform writes it
    HiveBackup,  // a hive backup file (saved on a hive device)
    Other,       // bytes of neither kind
};

std::string escapeRegex(const std::string &s) {
    static const std::string special = R"(\^$.|?*+()[]{})";
    std::string out;
    for (char c : s) {
        if (special.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

// An expected line: {W} is the work file, {F} the file argument, {S} the
// copy written beside F before it takes F's place, {T:pre}
// any temporary name made with that prefix, {P} the user hive path.
std::regex lineRegex(const std::string &expected, const std::string &work) {
    std::string re;
    size_t i = 0;
    while (i < expected.size()) {
        if (expected.compare(i, 3, "{W}") == 0) {
            re += escapeRegex(work);
            i += 3;
        } else if (expected.compare(i, 3, "{F}") == 0) {
            re += escapeRegex(F);
            i += 3;
        } else if (expected.compare(i, 3, "{S}") == 0) {
            re += escapeRegex("\\My Documents\\cpy") + "[0-9A-F]+\\.tmp";
            i += 3;
        } else if (expected.compare(i, 3, "{P}") == 0) {
            re += escapeRegex("\\Documents and Settings\\default\\user.hv");
            i += 3;
        } else if (expected.compare(i, 3, "{T:") == 0) {
            size_t end = expected.find('}', i);
            re += escapeRegex("\\Temp\\" + expected.substr(i + 3, end - i - 3)) + "[0-9A-F]+\\.tmp";
            i = end + 1;
        } else {
            re += escapeRegex(std::string(1, expected[i]));
            ++i;
        }
    }
    return std::regex(re);
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Compares lines one by one against their patterns; reports the first difference
// at the caller's line (file and line default to the call's own).
void expectLines(const std::vector<std::string> &got, const std::vector<std::string> &expected, const std::string &work,
                 const char *what, const char *file = __builtin_FILE(), int line = __builtin_LINE()) {
    for (size_t i = 0; i < std::max(got.size(), expected.size()); ++i) {
        if (i >= got.size()) {
            ADD_FAILURE_AT(file, line) << what << ": line " << i + 1 << " missing, expected: " << expected[i];
            return;
        }
        if (i >= expected.size()) {
            ADD_FAILURE_AT(file, line) << what << ": unexpected line " << i + 1 << ": " << got[i];
            return;
        }
        if (!std::regex_match(got[i], lineRegex(expected[i], work))) {
            ADD_FAILURE_AT(file, line) << what << ": line " << i + 1 << "\n   got: " << got[i]
                                       << "\n  want: " << expected[i];
            return;
        }
    }
}

const char kNoLock[] = "main: could not take the lock, this step leaves the file alone: \\Temp\\corvane.lck";

struct Row {
    const char *name;
    const char *kind;  // device: "ram" or "hive"
    const char *options;
    Input input;
    const char *faults;  // CEDEVICE_FAULTS for the run
    int exitCode;
    std::vector<std::string> log;    // the log after the header
    std::vector<std::string> calls;  // the program's calls on W and F, in order
    const char *workAtEnd;           // "deleted", "stays", "absent"
    const char *fileAtEnd;           // "same", "image", "hive", "absent", "repaired"
};

// The lines restRegHv writes when it restores a hive backup file.
const std::vector<std::string> kRestRegHvOk = {
    "user_hive (GetUserDirectory): {P}",
    "restRegHv: file opened:{W}",
    "restRegHv: sig correct",
    "restRegHv: file opened:{T:rHM}",
    "restRegHv: file opened:{T:rHU}",
    "restRegHv: unlogging user",
    "restRegHv: user unlogged",
    "restRegHv: registry (user hive) replaced with {T:rHU}",
    "restRegHv: system registry hive restored - {T:rHM}",
};

// restRegHv on a ram device: there is no profile folder.
const std::vector<std::string> kRestRegHvNoProfile = {
    "restRegHv: could not read the profiledir using GetUserDirectory ",
    "restRegHv: could not read the profiledir using SHGetSpecialFolderPath ",
    "restRegHv: ABORT could not read the profiledir  ",
};

const std::vector<std::string> kCorvaneHvOk = {
    "corvaneHv: RegSaveKey OK",
    "corvaneHv: registry information saved to {W}",
};

std::vector<std::string> cat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::string kNote = "main, option r: no dialog (otion d) used - take care for soft-reset";

std::vector<Row> rows() {
    return {
        {"s: RegCopyFile succeeds",
         "ram",
         "ls",
         Input::None,
         "",
         1,
         {"detectSig: RAM based registry sig", "main, option s: RegCopyFile used",
          "main, option s: replacing the file with {S}", "main, option s, registry information copied to {F}"},
         {"RegCopyFile({W}) = 1", "CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 0", "MoveFileW({S}, {F}) = 1",
          "DeleteFileW({W}) = 1"},
         "deleted",
         "image"},
        {"s: RegCopyFile fails, corvaneHv saves",
         "hive",
         "ls",
         Input::None,
         "",
         1,
         cat({{"main, option s: RegCopyFile failed"},
              kCorvaneHvOk,
              {"main, option s: replacing the file with {S}", "main, option s, registry information copied to {F}"}}),
         {"RegCopyFile({W}) = 0", "CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 0", "MoveFileW({S}, {F}) = 1",
          "DeleteFileW({W}) = 1"},
         "deleted",
         "hive"},
        {"s h",
         "hive",
         "lsh",
         Input::None,
         "",
         1,
         cat({kCorvaneHvOk,
              {"main, option s: replacing the file with {S}", "main, option s, registry information copied to {F}"}}),
         {"CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 0", "MoveFileW({S}, {F}) = 1", "DeleteFileW({W}) = 1"},
         "deleted",
         "hive"},
        {"r: RAM image, RegRestoreFile succeeds",
         "ram",
         "lr",
         Input::RamImage,
         "",
         1,
         {"detectSig: RAM based registry sig", "main, option r, registry information copied to {W}",
          "main, option r: RegRestoreFile used", kNote},
         {"CopyFileW({F}, {W}, 0) = 1", "RegRestoreFile({W}) = 1"},
         "stays",
         "same"},
        {"r: RAM image, RegRestoreFile fails, restRegHv fails",
         "ram",
         "lr",
         Input::RamImage,
         "RegRestoreFile@1",
         1,
         cat({{"detectSig: RAM based registry sig", "main, option r, registry information copied to {W}",
               "main, option r: RegRestoreFile failed", "main, option r: try reading from hive backup"},
              kRestRegHvNoProfile,
              {"main, option r: reading from hive backup failed", kNote}}),
         {"CopyFileW({F}, {W}, 0) = 1", "RegRestoreFile({W}) = 0"},
         "stays",
         "same"},
        {"r: hive backup file",
         "hive",
         "lr",
         Input::HiveBackup,
         "",
         1,
         cat({{"detectSig: HIVE based registry sig", "main, option r, registry information copied to {W}",
               "main, option h not set, hive backup detected", "main, option r,h: try reading from hive backup"},
              kRestRegHvOk,
              {"main, option r: restored from hive backup", kNote}}),
         {"CopyFileW({F}, {W}, 0) = 1", "DeleteFileW({W}) = 1"},
         "deleted",
         "same"},
        {"r h: RAM image, hive restore fails first",
         "ram",
         "lrh",
         Input::RamImage,
         "",
         1,
         cat({{"detectSig: RAM based registry sig", "main, option r, registry information copied to {W}",
               "main, option r,h: try reading from hive backup"},
              kRestRegHvNoProfile,
              {"main, option r: reading from hive backup failed", "main, option r: try RegRestoreFile",
               "main, option r: RegRestoreFile used", kNote}}),
         {"CopyFileW({F}, {W}, 0) = 1", "RegRestoreFile({W}) = 1"},
         "stays",
         "same"},
        {"r h: hive backup file",
         "hive",
         "lrh",
         Input::HiveBackup,
         "",
         1,
         cat({{"detectSig: HIVE based registry sig", "main, option r, registry information copied to {W}",
               "main, option r,h: try reading from hive backup"},
              kRestRegHvOk,
              {"main, option r: restored from hive backup", kNote}}),
         {"CopyFileW({F}, {W}, 0) = 1", "DeleteFileW({W}) = 1"},
         "deleted",
         "same"},
        {"r: the copy in fails",
         "ram",
         "lr",
         Input::None,
         "",
         1,
         cat({{"main, option r, could not copy registry information to {W}",
               "main, option r, could not copy registry information from {F}",
               "main, option r: not a whole RAM registry image, RegRestoreFile not used: cannot be read",
               "main, option r: try reading from hive backup"},
              kRestRegHvNoProfile,
              {"main, option r: reading from hive backup failed", kNote}}),
         {"CopyFileW({F}, {W}, 0) = 0"},
         "absent",
         "absent"},
        {"c: RAM image",
         "ram",
         "lc",
         Input::RamImage,
         "",
         1,
         {"main, option c|x, registry information copied to {W}", "detectSig: RAM based registry sig", "repair: done",
          "main, option c|x: replacing the file with {S}", "main, option c|x, registry information copied to {F}"},
         {"CopyFileW({F}, {W}, 0) = 1", "CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 1", "MoveFileW({S}, {F}) = 1",
          "DeleteFileW({W}) = 1"},
         "deleted",
         "same"},
        {"x: RAM image",
         "ram",
         "lx",
         Input::RamImage,
         "",
         1,
         {"main, option c|x, registry information copied to {W}", "detectSig: RAM based registry sig", "reorder: done",
          "main, option c|x: replacing the file with {S}", "main, option c|x, registry information copied to {F}"},
         {"CopyFileW({F}, {W}, 0) = 1", "CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 1", "MoveFileW({S}, {F}) = 1",
          "DeleteFileW({W}) = 1"},
         "deleted",
         "reordered"},
        {"c x: RAM image, one copy back",
         "ram",
         "lxc",
         Input::RamImage,
         "",
         1,
         {"main, option c|x, registry information copied to {W}", "detectSig: RAM based registry sig", "repair: done",
          "reorder: done", "main, option c|x: replacing the file with {S}",
          "main, option c|x, registry information copied to {F}"},
         {"CopyFileW({F}, {W}, 0) = 1", "CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 1", "MoveFileW({S}, {F}) = 1",
          "DeleteFileW({W}) = 1"},
         "deleted",
         "reordered"},
        {"c: a hive backup file is not rewritten",
         "hive",
         "lc",
         Input::HiveBackup,
         "",
         1,
         {"main, option c|x, registry information copied to {W}", "detectSig: HIVE based registry sig",
          "main, option c|x ignored, file sig not correct "},
         {"CopyFileW({F}, {W}, 0) = 1", "DeleteFileW({W}) = 1"},
         "deleted",
         "same"},
        {"x: a file of neither kind",
         "ram",
         "lx",
         Input::Other,
         "",
         1,
         {"main, option c|x, registry information copied to {W}", "main, option c|x ignored, file sig not correct "},
         {"CopyFileW({F}, {W}, 0) = 1", "DeleteFileW({W}) = 1"},
         "deleted",
         "same"},
        {"c: the copy in fails",
         "ram",
         "lc",
         Input::None,
         "",
         1,
         {"main, option c|x ignored, file sig not correct "},
         {"CopyFileW({F}, {W}, 0) = 0", "DeleteFileW({W}) = 0"},
         "absent",
         "absent"},
        {"s c: the saved image is repaired",
         "ram",
         "lsc",
         Input::None,
         "",
         1,
         {"detectSig: RAM based registry sig", "main, option s: RegCopyFile used", "repair: done",
          "main, option s: replacing the file with {S}", "main, option s, registry information copied to {F}"},
         {"RegCopyFile({W}) = 1", "CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 0", "MoveFileW({S}, {F}) = 1",
          "DeleteFileW({W}) = 1"},
         "deleted",
         "image"},
        {"s c h: a hive backup is not repaired",
         "hive",
         "lsch",
         Input::None,
         "",
         1,
         cat({kCorvaneHvOk,
              {"main, option c|x ignored, file sig not correct ", "main, option s: replacing the file with {S}",
               "main, option s, registry information copied to {F}"}}),
         {"CopyFileW({W}, {S}, 0) = 1", "DeleteFileW({F}) = 0", "MoveFileW({S}, {F}) = 1", "DeleteFileW({W}) = 1"},
         "deleted",
         "hive"},
        {"r c: the work file is repaired, F is not",
         "ram",
         "lrc",
         Input::RamImage,
         "",
         1,
         {"detectSig: RAM based registry sig", "main, option r, registry information copied to {W}", "repair: done",
          "main, option r: RegRestoreFile used", kNote},
         {"CopyFileW({F}, {W}, 0) = 1", "RegRestoreFile({W}) = 1"},
         "stays",
         "same"},
        {"s: the copy out fails",
         "ram",
         "ls",
         Input::RamImage,
         "CopyFileW@1",
         1,
         {"detectSig: RAM based registry sig", "main, option s: RegCopyFile used",
          "main, option s: could not copy registry information from {W} to {F}"},
         {"RegCopyFile({W}) = 1", "CopyFileW({W}, {S}, 0) = 0", "DeleteFileW({S}) = 1"},
         "stays",
         "same"},
        // The run lock cannot be had: each step that reads or replaces F
        // leaves F alone and says so, beside its own failure.
        {"s: no lock for the copy out",
         "ram",
         "ls",
         Input::RamImage,
         "CreateFileW@*",
         1,
         {"detectSig: RAM based registry sig", "main, option s: RegCopyFile used", kNoLock,
          "main, option s: could not copy registry information from {W} to {F}"},
         {"RegCopyFile({W}) = 1"},
         "stays",
         "same"},
        {"r: no lock for the copy in",
         "ram",
         "lr",
         Input::RamImage,
         "CreateFileW@*",
         1,
         cat({{kNoLock, "main, option r, could not copy registry information to {W}",
               "main, option r, could not copy registry information from {F}",
               "main, option r: not a whole RAM registry image, RegRestoreFile not used: cannot be read",
               "main, option r: try reading from hive backup"},
              kRestRegHvNoProfile,
              {"main, option r: reading from hive backup failed", kNote}}),
         {},
         "absent",
         "same"},
        {"c: no lock for the own copy",
         "ram",
         "lc",
         Input::RamImage,
         "CreateFileW@*",
         1,
         {kNoLock, "main, option c|x ignored, file sig not correct "},
         {"DeleteFileW({W}) = 0"},
         "absent",
         "same"},
        {"c: no lock for the copy back",
         "ram",
         "lc",
         Input::RamImage,
         "CreateFileW@2",
         1,
         {"main, option c|x, registry information copied to {W}", "detectSig: RAM based registry sig", "repair: done",
          kNoLock},
         {"CopyFileW({F}, {W}, 0) = 1"},
         "stays",
         "same"},
        {"only h, d, l, f", "ram", "lhdf", Input::RamImage, "", 1, {}, {}, "absent", "same"},
    };
}

// The calls of the trace that concern W or F.
std::vector<std::string> callsOn(const std::string &trace, const std::string &work) {
    std::vector<std::string> out;
    bool started = false;  // after start-up's own delete of the fresh work file
    for (const std::string &line : splitLines(trace)) {
        if (!started) {
            started = line.rfind("DeleteFileW(\"" + work + "\")", 0) == 0;
            continue;
        }
        static const char *const services[] = {"RegCopyFile(", "RegRestoreFile(", "CopyFileW(", "DeleteFileW(",
                                               "MoveFileW("};
        static const std::regex sibling(R"re("(\\My Documents\\cpy[0-9A-F]+\.tmp)")re");
        bool wanted = false;
        for (const char *s : services) wanted |= line.rfind(s, 0) == 0;
        if (!wanted) continue;
        if (line.find("\"" + work + "\"") == std::string::npos && line.find("\"" + F + "\"") == std::string::npos &&
            !std::regex_search(line, sibling))
            continue;
        std::string cut = line.substr(0, line.find(" [error"));
        cut = cut.substr(0, cut.find(" FAULT"));
        cut = std::regex_replace(cut, sibling, "$1");
        for (const std::string &p : {work, F}) {
            std::string quoted = "\"" + p + "\"";
            for (size_t at; (at = cut.find(quoted)) != std::string::npos;) cut.replace(at, quoted.size(), p);
        }
        // A copy between W and an operation's own temporary file is the operation's.
        if (cut.find("\"\\Temp\\") != std::string::npos) continue;
        out.push_back(cut);
    }
    return out;
}

std::string workFileOf(const std::string &trace) {
    std::smatch m;
    static const std::regex re(R"re(GetTempFileNameW\("\\Temp\\", "NEW", 0, "([^"]+)"\))re");
    return std::regex_search(trace, m, re) ? m[1].str() : std::string("(no work file)");
}

std::string readHost(const host::fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Puts the row's input at F, made by the platform of this device.
std::string makeInput(ts::Device &dev, Input input) {
    std::u16string f = ts::u16(F);
    switch (input) {
    case Input::None:
        return "";
    case Input::RamImage:
        EXPECT_TRUE(RegCopyFile(f.c_str()));
        break;
    case Input::HiveBackup:
        EXPECT_EQ(corvaneHv(f.c_str()), 0);
        break;
    case Input::Other:
        dev.write(F, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n");
        break;
    }
    ts::resetSystemState();
    return dev.read(F);
}

TEST(Sequence, Table) {
    for (const Row &row : rows()) {
        SCOPED_TRACE(row.name);
        ts::Device dev(row.kind);
        std::string before = makeInput(dev, row.input);
        std::vector<std::string> tempBefore = dev.ls("/Temp");
        std::string trace = (dev.dir() / "trace.txt").string();
        auto r = ts::corvane({row.options, F}, {{"CEDEVICE_TRACE", trace}, {"CEDEVICE_FAULTS", row.faults}});
        EXPECT_EQ(r.exitCode, row.exitCode);
        std::string traceText = readHost(trace);
        std::string work = workFileOf(traceText);

        std::string header = "\n\nCorvane Logfile\noptions: " + std::string(row.options) + "\nfile: " + F + "\n\n";
        std::string log = std::string(row.options).find('f') != std::string::npos
                              ? dev.read("/ResidentFlash/Corvane.log")
                              : dev.log();
        ASSERT_EQ(log.substr(0, header.size()), header);
        expectLines(splitLines(log.substr(header.size())), row.log, work, "log");
        expectLines(callsOn(traceText, work), row.calls, work, "calls on W and F");

        // The work file.
        std::string workName = work.substr(work.rfind('\\') + 1);
        bool workThere = dev.exists("/Temp/" + workName);
        if (std::string(row.workAtEnd) == "stays")
            EXPECT_TRUE(workThere) << work;
        else
            EXPECT_FALSE(workThere) << work;
        // Nothing else is left in \Temp.
        std::vector<std::string> temp = dev.ls("/Temp");
        temp.erase(std::remove(temp.begin(), temp.end(), workName), temp.end());
        EXPECT_EQ(temp, tempBefore);

        // The file argument.
        std::string fileAtEnd = row.fileAtEnd;
        if (fileAtEnd == "absent") {
            EXPECT_FALSE(dev.exists(F));
        } else if (fileAtEnd == "same") {
            EXPECT_EQ(dev.read(F), before);
        } else if (fileAtEnd == "image" || fileAtEnd == "reordered") {
            std::string now = dev.read(F);
            ASSERT_GE(now.size(), 8u);
            EXPECT_EQ(now.substr(0, 4), std::string("\xb2\x74\x83\x1d", 4));
            if (fileAtEnd == "reordered") EXPECT_EQ(now.size(), before.size());  // regrouped, nothing lost
        } else if (fileAtEnd == "hive") {
            EXPECT_EQ(dev.read(F).substr(0, 4), "XGER");
        }
    }
}

}  // namespace

namespace {

std::string exportRegistry() {
    auto r = ts::cedevice({"reg", "export"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

// Two exports are equal; on a difference, says where (exports are long).
void expectSameRegistry(const std::string &got, const std::string &want) {
    if (got == want) return;
    std::vector<std::string> a = splitLines(got), b = splitLines(want);
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    ADD_FAILURE() << "registry differs at export line " << i + 1 << "\n   got: " << (i < a.size() ? a[i] : "(end)")
                  << "\n  want: " << (i < b.size() ? b[i] : "(end)");
}

// The export without the value a hive restore adds to a restored hive's root.
std::string withoutRegPersisted(const std::string &text) {
    std::string out;
    for (const std::string &line : splitLines(text))
        if (line.rfind("\"RegPersisted\"=", 0) != 0) out += line + "\n";
    return out;
}

struct RoundTrip {
    const char *kind;
    const char *save;     // options of the save run
    const char *restore;  // options of the restore run
    const char *rewrite;  // options of a rewrite run between them, or ""
};

// Another run holds the lock: a save waits for it, then replaces F as if
// alone (no line of its own in the log), and leaves nothing in \Temp.
TEST(Sequence, WaitsForTheLockOfAnotherRun) {
    ts::Device dev("ram");
    std::string before = makeInput(dev, Input::RamImage);
    ASSERT_EQ(ts::cedevice({"reg", "set", "HKLM\\Software\\Waited", "Value", "REG_DWORD", "1"}).exitCode, 0);
    std::string trace = (dev.dir() / "trace.txt").string();
    // The lock goes once the run has found it taken and waited, however slowly
    // the run starts (under an emulator it may take seconds).
    pid_t holder =
        ts::holdRunLock(0, [&] { return readHost(trace).find("[error 32]\nSleep(20) = 0\n") != std::string::npos; });
    ASSERT_GT(holder, 0);
    auto r = ts::corvane({"ls", F}, {{"CEDEVICE_TRACE", trace}});
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(r.exitCode, 1);
    std::string traceText = readHost(trace);
    EXPECT_NE(traceText.find("CreateFileW(\"\\Temp\\corvane.lck\", 0xc0000000, 0x0, 4) = "), std::string::npos);
    EXPECT_NE(traceText.find("[error 32]\nSleep(20) = 0\n"), std::string::npos);
    std::vector<std::string> log = splitLines(dev.log());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "main, option s, registry information copied to " + F);
    EXPECT_TRUE(dev.read(F) != before) << "F is not the new backup";
    EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{});
}

TEST(Sequence, RoundTrips) {
    const RoundTrip cases[] = {
        {"ram", "ls", "lrd", ""},    {"hive", "ls", "lrd", ""},  {"hive", "lsh", "lrhd", ""},
        {"ram", "lsc", "lrd", "lc"}, {"ram", "ls", "lrd", "lx"}, {"ram", "ls", "lrd", "lcx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.save + " " + c.rewrite + " " + c.restore);
        ts::Device dev(c.kind);
        std::string saved = exportRegistry();
        ASSERT_EQ(ts::corvane({c.save, F}).exitCode, 1);
        if (*c.rewrite) ASSERT_EQ(ts::corvane({c.rewrite, F}).exitCode, 1);
        ASSERT_EQ(ts::cedevice({"reg", "set", "HKLM\\Software\\Corvane", "Changed", "REG_SZ", "yes"}).exitCode, 0);
        ASSERT_EQ(ts::cedevice({"reg", "set", "HKCU\\Software\\Corvane", "Changed", "REG_DWORD", "7"}).exitCode, 0);
        ASSERT_NE(exportRegistry(), saved);
        auto r = ts::corvane({c.restore, F}, {{"CEDEVICE_PROMPT", "ok"}});
        EXPECT_EQ(r.exitCode, 1);
        std::vector<std::string> log = splitLines(dev.log());
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "user dialog: soft-reset");
        expectSameRegistry(withoutRegPersisted(exportRegistry()), withoutRegPersisted(saved));
    }
}

TEST(Sequence, SaveAsHiveOnARamDeviceFailsCleanly) {
    ts::Device dev("ram");
    dev.write(F, "previous backup");
    auto r = ts::corvane({"lsh", F});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(dev.read(F), "previous backup");  // never replaced by a broken backup
    std::vector<std::string> log = splitLines(dev.log());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("main, option s: could not copy registry information from ", 0), 0u) << log.back();
}

struct PromptCase {
    const char *answer;
    int exitCode;
    const char *lastLine;
    bool restarted;
};

TEST(Sequence, RestartPromptAnswers) {
    const PromptCase cases[] = {
        {"ok", 1, "user dialog: soft-reset", true},
        {"cancel", 1, "user dialog: cancel", false},
        {"close", 0, "main, option r: RegRestoreFile used", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        ts::Device dev("ram");
        std::u16string f = ts::u16(F);
        ASSERT_TRUE(RegCopyFile(f.c_str()));
        std::string boots = host::stateGet("boots");
        auto r = ts::corvane({"lrd", F}, {{"CEDEVICE_PROMPT", c.answer}});
        EXPECT_EQ(r.exitCode, c.exitCode);
        std::vector<std::string> log = splitLines(dev.log());
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), c.lastLine);
        EXPECT_EQ(host::stateGet("boots") != boots, c.restarted);
    }
}

TEST(Sequence, PromptAlsoAfterAFailedRestore) {
    ts::Device dev("ram");
    auto r = ts::corvane({"lrd", F}, {{"CEDEVICE_PROMPT", "cancel"}});
    EXPECT_EQ(r.exitCode, 1);
    std::vector<std::string> log = splitLines(dev.log());
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "main, option r: reading from hive backup failed");
    EXPECT_EQ(log.back(), "user dialog: cancel");
}

TEST(Sequence, NoTerminalAndNoAnswerFailsThePrompt) {
    ts::Device dev("ram");
    auto r = ts::corvane({"rd", F}, {{"CEDEVICE_PROMPT", "\x01"}});
    EXPECT_EQ(r.exitCode, 255);  // DialogBoxIndirectParamW's -1
}

}  // namespace
