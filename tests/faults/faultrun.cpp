// faultrun.cpp - the prepared device of one option combination, its runs
// under fault rules, and the checks every run must pass.
#include "tests/faults/faultrun.h"

#include "app/driver.h"
#include "platform/host/registry_store.h"
#include "tests/ramimage/imagebytes.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace faults {

const std::string F = "\\My Documents\\b.reg";

namespace {

std::string readHost(const fs::path &p, bool *there = nullptr) {
    std::ifstream in(p, std::ios::binary);
    if (there) *there = static_cast<bool>(in);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

fs::path fileOf(const fs::path &device, const std::string &devicePath) {
    std::string rel = devicePath;
    std::replace(rel.begin(), rel.end(), '\\', '/');
    while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
    return device / "fs" / rel;
}

std::vector<std::string> entries(const fs::path &folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The export without the value a hive restore adds to a restored hive's root.
std::string withoutRegPersisted(const std::string &text) {
    std::string out;
    for (const std::string &line : lines(text))
        if (line.rfind("\"RegPersisted\"=", 0) != 0) out += line + "\n";
    return out;
}

// Where the device keeps its registry: a run that changed none of these
// left the registry as it was.
const char *const kRegistryFiles[] = {
    "state/registry.img",
    "state/Restore.fdf",
    "state/system.hv",
    "fs/Documents and Settings/system.hv",
    "fs/Documents and Settings/default/user.hv",
};

std::string registryFiles(const fs::path &device) {
    std::string all;
    for (const char *f : kRegistryFiles) {
        bool there = false;
        std::string bytes = readHost(device / f, &there);
        all += std::string(f) + (there ? "=" + std::to_string(bytes.size()) + ":" + bytes : "-") + "\n";
    }
    return all;
}

// The device tool's warm boot and export, done in this process on a device
// selected for the call: the same host code that `cedevice reboot` and
// `cedevice reg export` run, without two process starts a run. The device
// selected before is selected again afterwards. Faults and the trace are off
// in this process (resetSystemState), as they are for the tool.
class OnDevice {
public:
    explicit OnDevice(const fs::path &device) : before_(host::deviceDir()) { host::selectDevice(device); }
    ~OnDevice() { host::selectDevice(before_); }

private:
    fs::path before_;
};

std::string exportOf(const fs::path &device) {
    OnDevice on(device);
    host::reg::Registry reg;
    std::string why;
    if (host::reg::loadRegistry(reg, host::reg::kAllRoots, &why) != ERROR_SUCCESS) {
        ADD_FAILURE() << device << ": the registry cannot be read: " << why;
        return "";
    }
    return withoutRegPersisted(host::reg::exportRegedit(reg));
}

// A warm boot, described as `cedevice reboot` prints it.
std::string bootOf(const fs::path &device) {
    OnDevice on(device);
    std::string record = host::reg::warmBoot();
    return "warm boot " + host::stateGet("boots", "?") + ": " + record + "\n";
}

// A folder for the devices of the runs. Every run copies the prepared device
// afresh and renames files over others, which on a disk file system waits
// for their data to be written; a RAM-backed folder (/dev/shm) with room to
// spare takes them when there is one, else the folder beside the scratch
// device. CORVANE_FAULT_DIR names another.
fs::path makeRunFolder(const fs::path &beside) {
    std::string base;
    if (const char *dir = std::getenv("CORVANE_FAULT_DIR"); dir && *dir) {
        base = dir;
    } else {
        struct statvfs st;
        if (statvfs("/dev/shm", &st) == 0 && access("/dev/shm", W_OK | X_OK) == 0 &&
            static_cast<unsigned long long>(st.f_bavail) * st.f_frsize >= 64ull << 20)
            base = "/dev/shm";
    }
    if (!base.empty()) {
        std::string templ = base + "/corvane-runs-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) return buf.data();
    }
    fs::path folder = beside.string() + "-runs";
    fs::create_directory(folder);
    return folder;
}

void regSet(const std::string &key, const std::string &name) {
    auto r = ts::cedevice({"reg", "set", key, name, "REG_SZ", "yes"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

// Marks both roots, so that a restore of one hive alone shows as a mix.
void mark(const std::string &name) {
    regSet("HKLM\\Software\\Corvane", name);
    regSet("HKCU\\Software\\Corvane", name);
}

// Makes the input at F with the platform of the selected device.
void makeInput(Input input) {
    std::u16string f = ts::u16(F);
    if (input == Input::RamImage)
        EXPECT_TRUE(RegCopyFile(f.c_str()));
    else
        EXPECT_EQ(corvaneHv(f.c_str()), 0);
    ts::resetSystemState();
}

// The first line where two texts differ, for a failure message.
std::string firstDifference(const std::string &got, const std::string &want) {
    std::vector<std::string> a = lines(got), b = lines(want);
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return "line " + std::to_string(i + 1) + ": got '" + (i < a.size() ? a[i] : "(end)") + "', want '" +
           (i < b.size() ? b[i] : "(end)") + "'";
}

size_t countOf(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Trace lines of a service that ended with the given result.
size_t callsEnding(const std::string &trace, const std::string &prefix, const std::string &result) {
    size_t n = 0;
    for (const std::string &line : lines(trace)) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::string cut = line.substr(0, line.find(" [error"));
        cut = cut.substr(0, cut.find(" FAULT"));
        if (cut.size() >= result.size() && cut.compare(cut.size() - result.size(), result.size(), result) == 0) ++n;
    }
    return n;
}

// The last n lines of text, each on a line of its own and indented.
std::string lastLines(const std::string &text, size_t n) {
    std::vector<std::string> all = lines(text);
    std::string tail;
    for (size_t i = all.size() > n ? all.size() - n : 0; i < all.size(); ++i) tail += "\n    " + all[i];
    return tail;
}

std::string workNameOf(const std::string &trace) {
    std::smatch m;
    static const std::regex re(R"re(GetTempFileNameW\("[^"]*", "NEW", 0, "[^"]*\\([^"\\]+)"\))re");
    return std::regex_search(trace, m, re) ? m[1].str() : std::string();
}

}  // namespace

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string comboName(const Combo &c) {
    static const char *const kDamage[] = {"",
                                          "_CutAtRecord",
                                          "_CutInRecord",
                                          "_OneByteShort",
                                          "_TotalSize0",
                                          "_TotalSize8",
                                          "_TotalSizeSmall",
                                          "_TotalSizeLarge",
                                          "_TotalSize2p31",
                                          "_TotalSize2p32",
                                          "_Appended",
                                          "_Text",
                                          "_SystemImageByte",
                                          "_UserImageByte",
                                          "_NoTrailer",
                                          "_KeyTag",
                                          "_ValueTag",
                                          "_KeyName"};
    return std::string(c.kind) + "_" + c.options + "_" + (c.input == Input::RamImage ? "RamImage" : "HiveBackup") +
           kDamage[static_cast<int>(c.damage)];
}

namespace {

uint32_t le32At(const std::string &b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

std::string withTotal(std::string b, uint32_t total) {
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<char>(total >> (8 * i));
    return b;
}

// The offset of the record boundary nearest the middle of a RAM image.
size_t middleBoundary(const std::string &b) {
    size_t at = 8;
    while (at + 4 <= b.size()) {
        size_t size = (static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8) + 4u;
        if (at + size > b.size() / 2) break;
        at += size;
    }
    return at;
}

}  // namespace

std::string damaged(const std::string &b, Damage damage) {
    std::string out = b;
    switch (damage) {
    case Damage::None:
        break;
    case Damage::CutAtRecord:
        out.resize(middleBoundary(b));
        break;
    case Damage::CutInRecord:
        out.resize(middleBoundary(b) + 7);
        break;
    case Damage::OneByteShort:
        out.pop_back();
        break;
    case Damage::TotalSize0:
        out = withTotal(b, 0);
        break;
    case Damage::TotalSize8:
        out = withTotal(b, 8);
        break;
    case Damage::TotalSizeSmall:
        out = withTotal(b, static_cast<uint32_t>(middleBoundary(b)));
        break;
    case Damage::TotalSizeLarge:
        out = withTotal(b, static_cast<uint32_t>(b.size() + 1000));
        break;
    case Damage::TotalSize2p31:
        out = withTotal(b, 0x7fffffffu);
        break;
    case Damage::TotalSize2p32:
        out = withTotal(b, 0xffffffffu);
        break;
    case Damage::Appended:
        out += std::string(100, '\x5a');
        break;
    case Damage::Text:
        out = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n";
        break;
    case Damage::SystemImageByte:
        out[8 + le32At(b, 4) / 2] ^= 0x10;
        break;
    case Damage::UserImageByte:
        out[12 + le32At(b, 4) + le32At(b, 8 + le32At(b, 4)) / 2] ^= 0x10;
        break;
    case Damage::NoTrailer:
        out.resize(12 + le32At(b, 4) + le32At(b, 8 + le32At(b, 4)));
        break;
    case Damage::KeyTag:
        out[12] = '\xff';
        break;
    case Damage::ValueTag:
    case Damage::KeyName: {
        // The first value record, or the last key record.
        size_t found = 0;
        for (size_t at = 8; at + 8 <= b.size();
             at += (static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8) + 4u) {
            bool value = b[at + 2] == 2;
            if (damage == Damage::ValueTag && value) {
                found = at;
                break;
            }
            if (damage == Damage::KeyName && !value && b[at + 6] > 1) found = at;
        }
        if (damage == Damage::ValueTag)
            out[found + 4] = 9;
        else
            out[found + 8] = '\\', out[found + 9] = 0;
        break;
    }
    }
    return out;
}

std::map<std::string, long> callCounts(const std::string &trace) {
    std::map<std::string, long> counts;
    for (const std::string &line : lines(trace)) {
        size_t paren = line.find('(');
        if (paren == std::string::npos || paren == 0) continue;
        std::string service = line.substr(0, paren);
        if (service == "disk") continue;  // a draw on the disk budget, not a call
        ++counts[service];
    }
    return counts;
}

bool faultReached(const std::string &trace) {
    for (const std::string &line : lines(trace)) {
        if (line.size() >= 6 && line.compare(line.size() - 6, 6, " FAULT") == 0) return true;
        if (line.find(") POWER LOSS") != std::string::npos) return true;
    }
    return false;
}

bool Bench::has(char letter) const { return std::string(combo_.options).find(letter) != std::string::npos; }

Bench::Bench(const Combo &combo, const char *file, int line) : combo_(combo) {
    const std::string inputKind = combo.input == Input::RamImage ? "ram" : "hive";
    std::string inputBytes;
    if (inputKind != combo.kind) {
        // The input comes from a device of the other kind.
        ts::Device other(inputKind);
        mark("Saved");
        makeInput(combo.input);
        inputBytes = other.read(F);
    }
    scratch_ = std::make_unique<ts::Device>(combo.kind);
    default_ = exportOf(scratch_->dir());
    mark("Saved");
    restored_ = exportOf(scratch_->dir());
    if (inputBytes.empty()) {
        makeInput(combo.input);
        inputBytes = scratch_->read(F);
    }
    scratch_->write(F, damaged(inputBytes, combo.damage));
    mark("Changed");
    old_ = exportOf(scratch_->dir());
    before_ = scratch_->read(F);
    tempBefore_ = scratch_->ls("/Temp");

    runFolder_ = makeRunFolder(scratch_->dir());
    template_ = runFolder_ / "template";
    device_ = runFolder_ / "run";
    fs::copy(scratch_->dir(), template_, fs::copy_options::recursive);
    templateLog_ = readHost(fileOf(template_, "\\Corvane.log"));
    templateRegistry_ = registryFiles(template_);

    repairKeepsF_ = repairKeeps(before_);
    clean_ = run("");
    EXPECT_FALSE(faultReached(clean_.trace));
    check(clean_, false, file, line);
}

Bench::~Bench() {
    if (!std::getenv("CORVANE_KEEP_DEVICES")) {
        std::error_code ec;
        fs::remove_all(runFolder_, ec);
    }
    ts::resetSystemState();
}

Outcome Bench::run(const std::string &rules) { return runOn(rules, true); }

Outcome Bench::rerun() { return runOn("", false); }

Outcome Bench::runOn(const std::string &rules, bool fresh) {
    ++runs_;
    std::error_code ec;
    if (fresh) {
        fs::remove_all(device_, ec);
        fs::copy(template_, device_, fs::copy_options::recursive);
    }
    const fs::path tracePath = device_ / "trace.txt";
    const fs::path logPath = fileOf(device_, "\\Corvane.log");
    fs::remove(tracePath, ec);
    // A fresh copy holds what the template holds.
    const std::string logBefore = fresh ? templateLog_ : readHost(logPath);
    const std::string registryBefore = fresh ? templateRegistry_ : registryFiles(device_);

    Outcome o;
    o.rules = rules;
    auto r = ts::run(CORVANE_BIN, {combo_.options, F},
                     {{"CEDEVICE", device_.string()},
                      {"CEDEVICE_FAULTS", rules.empty() ? "\x01" : rules},
                      {"CEDEVICE_TRACE", tracePath.string()},
                      {"CEDEVICE_PROMPT", has('d') ? "ok" : "\x01"}},
                     10);
    o.exitCode = r.exitCode;
    if (r.exitCode == -1) ADD_FAILURE() << comboName(combo_) << ", rules '" << rules << "': the run hung";
    o.trace = readHost(tracePath);
    std::string log = readHost(logPath);
    o.log = log.rfind(logBefore, 0) == 0 ? log.substr(logBefore.size()) : log;
    o.file = readHost(fileOf(device_, F), &o.fileThere);
    for (const std::string &name : entries(fileOf(device_, "\\Temp")))
        if (std::find(tempBefore_.begin(), tempBefore_.end(), name) == tempBefore_.end()) o.temp.push_back(name);
    for (const std::string &name : entries(fileOf(device_, "\\My Documents")))
        if (name != "b.reg") o.beside.push_back(name);

    // A power loss restarts the device; otherwise a registry whose files
    // are untouched needs no boot to be known.
    bool powerLoss = rules.find('!') != std::string::npos;
    if (!fresh || powerLoss || registryFiles(device_) != registryBefore) {
        o.bootRecord = bootOf(device_);
        o.registry = exportOf(device_);
    } else {
        o.registry = old_;
    }
    return o;
}

bool Bench::repairKeeps(const std::string &bytes) {
    if (bytes.size() < 4 || bytes.compare(0, 4, "\xb2\x74\x83\x1d") != 0) return false;
    const std::string probe = "\\My Documents\\probe.img";
    host::selectDevice(scratch_->dir());
    scratch_->write(probe, bytes);
    ts::resetSystemState();
    std::u16string p = ts::u16(probe);
    int result = repair(p.c_str());
    return result == REPAIR_DONE && scratch_->read(probe) == bytes;
}

bool Bench::validBackup(const std::string &bytes) {
    if (bytes.size() >= 4 && bytes.compare(0, 4, "\xb2\x74\x83\x1d") == 0) {
        // A RAM registry image that the device reads back whole.
        ImageCheck check;
        imageCheckStart(&check, static_cast<int64_t>(bytes.size()));
        imageCheckFeed(&check, reinterpret_cast<const BYTE *>(bytes.data()), bytes.size());
        return imageCheckEnd(&check) == IMAGE_WHOLE;
    }
    if (bytes.size() >= 12 && bytes.compare(0, 4, "XGER") == 0) {
        // A hive backup file as corvaneHv writes it: its lengths add up, and
        // its images match the checksums of its trailer, which ends it.
        HiveCheck check;
        hiveCheckStart(&check, static_cast<int64_t>(bytes.size()));
        hiveCheckFeed(&check, reinterpret_cast<const BYTE *>(bytes.data()), bytes.size());
        return hiveCheckEnd(&check) == HV_DONE && check.trailer &&
               12 + static_cast<long long>(check.cbSystem) + check.cbUser + HIVE_TRAILER_CB ==
                   static_cast<long long>(bytes.size());
    }
    return false;
}

bool Bench::check(const Outcome &o, bool powerLoss, const char *file, int line) {
    std::vector<std::string> problems;
    const bool reached = faultReached(o.trace);

    // The exit code: start-up's, the prompt's, or the power loss.
    if (powerLoss && reached) {
        if (o.exitCode != 99) problems.push_back("exit code " + std::to_string(o.exitCode) + " after a power loss");
    } else {
        bool ok = o.exitCode >= 0 && o.exitCode <= 3;
        if (has('r') && has('d')) ok = ok || o.exitCode == 255;  // DialogBoxIndirectParamW's -1
        if (!ok) problems.push_back("exit code " + std::to_string(o.exitCode));
    }

    // The user's file: as before, the new backup, or another complete one;
    // or gone after a power cut or a failed rename between its removal and
    // the rename of its whole new copy, which the log has named.
    bool fileOk = o.fileThere && (o.file == before_ || o.file == clean_.file || validBackup(o.file));
    std::string named;  // the copy beside F that the log named
    {
        std::smatch m;
        static const std::regex re(R"(: replacing the file with \\My Documents\\(cpy[0-9A-F]+\.tmp)\n)");
        std::string::const_iterator from = o.log.begin();
        while (std::regex_search(from, o.log.end(), m, re)) {
            named = m[1].str();
            from = m[0].second;
        }
    }
    bool namedWhole = false;
    if (!named.empty()) {
        bool there = false;
        std::string copy = readHost(fileOf(device_, "\\My Documents\\" + named), &there);
        namedWhole = there && (copy == clean_.file || validBackup(copy));
    }
    // A rewritten F keeps every whole record it held.
    if (o.fileThere && o.file != before_ && !has('s') && !has('r') && !imgtest::keepsWholeRecords(before_, o.file))
        problems.push_back("F lost a record");
    if (!o.fileThere) {
        if (!namedWhole) problems.push_back("F is gone, and no whole copy the log named stands beside it");
    } else if (!fileOk)
        problems.push_back("F is damaged: " + std::to_string(o.file.size()) + " bytes, " +
                           ts::hex(o.file.substr(0, 16)));

    // The registry after a warm boot: the old one or the restored one.
    const bool restored = o.registry == restored_;
    const bool dropped = o.registry == default_ && clean_.registry == default_;
    // A failed RegReplaceKey has the old user hive put back; only a power
    // cut inside the restore's one window mixes the hives: after user.hv was
    // removed (its whole new copy beside it) and before RegReplaceKey
    // returned. The old system hive then boots with the restored user hive,
    // or with a default one when the rename had not happened.
    const bool inHiveWindow =
        powerLoss && callsEnding(o.trace, "DeleteFileW(\"\\Documents and Settings\\default\\user.hv\")", "= 1") > 0 &&
        callsEnding(o.trace, "RegReplaceKey(", "= 0") == 0;
    if (o.registry != old_ && !(has('r') && restored) && !dropped && !inHiveWindow)
        problems.push_back("registry after the warm boot is neither the old nor the restored one: " +
                           firstDifference(o.registry, old_) + " (boot: " + o.bootRecord + ")");

    // No success is claimed for a step that failed.
    const std::string &log = o.log;
    if ((log.find("main, option r: restored from hive backup\n") != std::string::npos ||
         log.find("main, option r: RegRestoreFile used\n") != std::string::npos) &&
        !restored && !dropped)
        problems.push_back("the log claims a restore, the registry is not the restored one");
    // A repair whose new image is its file as it was copies nothing: that of
    // a save, or of F when repair keeps F as it is.
    if (has('s') || repairKeepsF_) {
        if (callsEnding(o.trace, "CopyFileW(\"\\Temp\\rep", "") > 0)
            problems.push_back("repair copied an image that it keeps as it was");
    } else if (countOf(log, "repair: done\n") > callsEnding(o.trace, "CopyFileW(\"\\Temp\\rep", "= 1")) {
        problems.push_back("\"repair: done\" without the new image copied over the work file");
    }
    if (countOf(log, "reorder: done\n") > callsEnding(o.trace, "CopyFileW(\"\\Temp\\reo", "= 1"))
        problems.push_back("\"reorder: done\" without the new image copied over the work file");
    if (countOf(log, "main, option s: RegCopyFile used\n") > callsEnding(o.trace, "RegCopyFile(", "= 1"))
        problems.push_back("\"RegCopyFile used\" for a failed RegCopyFile");
    if (countOf(log, "corvaneHv: RegSaveKey OK\n") * 2 > callsEnding(o.trace, "RegSaveKey(", "= 0"))
        problems.push_back("\"RegSaveKey OK\" for a failed RegSaveKey");
    if (countOf(log, "restRegHv: system registry hive restored - ") > callsEnding(o.trace, "RegReplaceKey(", "= 0"))
        problems.push_back("\"system registry hive restored\" for a failed RegReplaceKey");
    if (countOf(log, "restRegHv: registry (user hive) replaced with ") >
        callsEnding(o.trace, "CopyFileW(\"\\Temp\\rHU", "= 1"))
        problems.push_back("\"user hive replaced\" for a failed copy");
    if (log.find("main, option s, registry information copied to " + F + "\n") != std::string::npos &&
        !(o.fileThere && (o.file == clean_.file || (o.file != before_ && validBackup(o.file)))))
        problems.push_back("\"copied to\" F, but F is not the new backup");
    if (log.find("corvaneHv: registry information saved to ") != std::string::npos &&
        log.find("corvaneHv: RegSaveKey failed") != std::string::npos)
        problems.push_back("\"saved to\" after a failed RegSaveKey");

    // \Temp: the work file, and the operations' files where their failure
    // paths leave them (a saved or extracted hive whose partner could not be
    // opened). A power loss may leave any of them.
    const std::string work = workNameOf(o.trace);
    const bool openFailed =
        o.trace.find(") = NULL") != std::string::npos || o.trace.find(") = (nil)") != std::string::npos;
    for (const std::string &name : o.temp) {
        if (!work.empty() && name == work) continue;
        std::string prefix = name.substr(0, 3);
        if ((prefix == "sHM" || prefix == "sHU" || prefix == "rHM") && openFailed) continue;
        // The copy of the old user hive stays when putting it back failed
        // (on a full disk the log may not say so).
        if (prefix == "rHO" && callsEnding(o.trace, "CopyFileW(\"\\Temp\\" + name + "\"", "= 0") > 0) continue;
        // A failed delete is not detected: the file it should have removed stays.
        if (o.trace.find("DeleteFileW(\"\\Temp\\" + name + "\") = 0") != std::string::npos) continue;
        // The run lock's file stays after a power cut while the run held it.
        if (powerLoss && name == "corvane.lck") continue;
        if (powerLoss && (prefix == "NEW" || prefix == "rep" || prefix == "reo" || prefix == "sHM" || prefix == "sHU" ||
                          prefix == "rHM" || prefix == "rHU" || prefix == "rHO"))
            continue;
        problems.push_back("left in \\Temp: " + name);
    }

    // F's folder: a copy beside F stays only after a power cut (part of one,
    // or the whole one the log named), or when its rename failed (named).
    for (const std::string &name : o.beside) {
        if (powerLoss && name.rfind("cpy", 0) == 0) continue;
        if (name == named && namedWhole && !o.fileThere) continue;
        // A failed delete is not detected: the copy it should have removed stays.
        if (o.trace.find("DeleteFileW(\"\\My Documents\\" + name + "\") = 0") != std::string::npos) continue;
        problems.push_back("left beside F: " + name);
    }

    for (const std::string &p : problems)
        ADD_FAILURE_AT(file, line) << comboName(combo_) << ", rules '" << o.rules << "': " << p
                                   << "\n  log ends:" << lastLines(o.log, 8)
                                   << "\n  platform calls end:" << lastLines(o.trace, 8);
    return problems.empty();
}

}  // namespace faults
