// damage.cpp - the damage campaign (scripts/damage-campaign runs it).
//
// A real backup of each kind is saved on a simulated device of that kind
// (a RAM registry image on a ram device, a hive backup file on a hive
// device), then damaged one byte at a time (xor 0xFF, 0x01, 0x80, set 0x00)
// and cut at every record boundary and one byte either side of it (of the
// hive backup: at its fields and through its trailer), and each of its length
// fields set to 0 or moved by 1, 4 or 16 either way. Each damaged file runs
// through the operation sequence in-process, with the options of its kind,
// then the device boots warm, and the oracle asks:
// - registry: the export is the old registry's (before the run) or the
//   intact backup's; or, after a restore, the one the device reads from the
//   image it was handed when that image holds every record of the file (a
//   name, tag or data byte changed is what the file says, and a RAM image
//   has no checksum to tell it). Never the factory registry, never a mix.
// - file: a restore leaves the user's file as it was; a rewrite leaves it
//   as it was or holds every record that either reading of the input finds.
// - check: `corvane-backup check` says whole exactly when the device reads
//   the file back whole (a RAM image: the device's boot reader takes it; a
//   hive backup: `lr` restores the backup's registry from it);
// - a hive backup is restored exactly when it is its layout, with nothing
//   after the user hive or one trailer that matches both images.
//
// Usage: damage [--full] [--step N] [--jobs N] [--kind K] [--damage D]
//               [--offset N] [--delta D] [--options O] [--verbose]
// Prints runs and losses per family (kind, damage, options) and the first
// loss of each as a command line; exits 1 on any loss.
#include "fuzz/support.h"
#include "tools/corvane_backup.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include <zlib.h>

#include "platform/host/host.h"
#include "platform/host/registry_store.h"

using namespace host::reg;
namespace fs = std::filesystem;

namespace {

const char *const kKinds[] = {"ram", "hive"};
const char *const kDamages[] = {"xorFF", "xor01", "xor80", "set00", "cut", "length"};
constexpr int kDamageCount = 6;
// What the length damage does to a length field: set it to 0, or move it.
const char *const kDeltas[] = {"=0", "-16", "-4", "-1", "+1", "+4", "+16"};
const long kDeltaBy[] = {0, -16, -4, -1, 1, 4, 16};
constexpr int kDeltaCount = 7;
const std::vector<std::string> kOptions[] = {{"lr", "lrc", "lc", "lx", "lcx", "check"}, {"lrh", "lr", "check"}};
const char16_t *const kWork = u"\\Temp\\NEW1.tmp";
constexpr int kCut = 4, kLength = 5;

// ---- The records of an image, as either reading finds them ------------------

unsigned le16(const std::string &b, size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
}

// The records one reading finds, walking from offset 8, the next record
// where the reading says: by the stored length (length + 4), or by the
// fields (8 + 2 x nameLength, 10 + 2 x nameLength + dataLength). A record
// of type byte 1 or 2 is found when its fields lie within its extent by that
// reading and its name ends with a NUL within nameLength; it is known by its
// type, tag byte, name up to its first NUL, data and the key it belongs to.
// Past the first record on which the two readings differ (a record of
// another type is one: only its stored length steps over it; stored and
// fields give what each reading makes of it), the walk goes on only through
// records on which they agree: what follows a damaged length field is
// otherwise garbage. True when the walk ends exactly at the end of the file.
bool reading(const std::string &img, bool byStored, std::set<std::pair<size_t, std::string>> &found,
             size_t *storedThere, size_t *fieldsThere) {
    size_t pos = 8;
    bool diverged = false;
    std::string owner;
    while (pos + 4 <= img.size()) {
        const size_t stored = le16(img, pos) + 4u;
        const unsigned type = static_cast<unsigned char>(img[pos + 2]);
        const size_t nameAt = type == 1 ? 8 : 10, cch = pos + 8 <= img.size() ? img[pos + 6] & 0xFF : 0;
        size_t fields = 0;
        if ((type == 1 || type == 2) && pos + nameAt > img.size()) return false;
        if (type == 1 || type == 2) fields = nameAt + 2 * cch + (type == 2 ? le16(img, pos + 8) : 0);
        const size_t extent = byStored ? stored : fields;
        if (!extent || pos + extent > img.size() || (diverged && fields != stored)) return false;
        size_t cchName = 0;
        while (fields && fields <= extent && cchName < cch &&
               (img[pos + nameAt + 2 * cchName] || img[pos + nameAt + 2 * cchName + 1]))
            ++cchName;
        if (fields && fields <= extent && cchName < cch) {
            // Type, tag, name, data and key, each piece behind its length.
            const size_t cbData = type == 2 ? fields - nameAt - 2 * cch : 0;
            std::string rec{static_cast<char>(type), img[pos + 4], static_cast<char>(cchName),
                            static_cast<char>(cbData), static_cast<char>(cbData >> 8)};
            rec.append(img, pos + nameAt, 2 * cchName).append(img, pos + nameAt + 2 * cch, cbData);
            if (type == 1)
                owner = rec;
            else
                rec += owner;
            found.emplace(pos, rec);
        } else {
            // A record not found (of another type, whose fields overrun it
            // or whose name has no end) stands between the values after it
            // and the key before it: their key is not known.
            owner = "?";
        }
        if (!diverged && fields != stored) {
            diverged = true;
            *storedThere = stored;
            *fieldsThere = fields;
        }
        pos += extent;
    }
    return pos == img.size();
}

// The records that either reading of an image finds whole: of the reading
// that runs on to the end of the file (the other one has gone astray at a
// damaged length field); when both do, of the shorter one at the record
// where they part (the longer one swallows whole records that run on to the
// end: its length is the damaged one); of both when neither does.
std::multiset<std::string> records(const std::string &img) {
    std::set<std::pair<size_t, std::string>> byStored, byFields;
    std::multiset<std::string> out;
    if (img.size() < 8 || le16(img, 0) != 0x74B2 || le16(img, 2) != 0x1D83) return out;
    size_t stored = 0, fields = 0;
    bool storedEnds = reading(img, true, byStored, &stored, &fields);
    bool fieldsEnd = reading(img, false, byFields, &stored, &fields);
    if (storedEnds && fieldsEnd) {
        storedEnds = stored < fields;
        fieldsEnd = !storedEnds;
    }
    std::set<std::pair<size_t, std::string>> found;
    if (storedEnds || !fieldsEnd) found.insert(byStored.begin(), byStored.end());
    if (fieldsEnd || !storedEnds) found.insert(byFields.begin(), byFields.end());
    for (const auto &f : found) out.insert(f.second);
    return out;
}

// A record as records() knows it, in words: type, tag, name, data size, key.
std::string shown(const std::string &rec) {
    if (rec.size() < 5) return "?";
    const size_t cch = rec[2] & 0xFF, cb = le16(rec, 3);
    std::string out = std::string(rec[0] == 1 ? "key" : "value") + " tag " + std::to_string(rec[1] & 0xFF) + " \"";
    for (size_t i = 0; i < cch && 6 + 2 * i < rec.size(); ++i) out += rec[5 + 2 * i] >= 0x20 ? rec[5 + 2 * i] : '?';
    out += '"';
    if (rec[0] == 2)
        out += ", " + std::to_string(cb) + " bytes, in " + shown(rec.substr(std::min(rec.size(), 5 + 2 * cch + cb)));
    return out;
}

// A record without its key.
std::string core(const std::string &rec) { return rec.substr(0, 5 + 2 * (rec[2] & 0xFF) + le16(rec, 3)); }

// The records that either reading of in finds and out does not hold. A
// value whose key is not known (on either side) is looked for in any key.
std::vector<std::string> missingFrom(const std::multiset<std::string> &in, const std::string &out) {
    auto keyless = [](const std::string &r) { return r.back() == '?' && r.size() == core(r).size() + 1; };
    std::multiset<std::string> have = records(out), cores, keylessCores;
    for (const std::string &r : have) (keyless(r) ? keylessCores : cores).insert(core(r));
    std::vector<std::string> missing;
    for (auto it = in.begin(); it != in.end(); it = in.upper_bound(*it)) {
        const std::string c = core(*it);
        size_t held = keylessCores.count(c) + (keyless(*it) ? cores.count(c) : have.count(*it));
        if (held < in.count(*it)) missing.push_back(*it);
    }
    return missing;
}
bool holdsAll(const std::multiset<std::string> &in, const std::string &out) { return missingFrom(in, out).empty(); }

// ---- The device --------------------------------------------------------------

bool readHost(const fs::path &p, std::string &bytes) { return readFile(p, bytes); }
void writeHost(const fs::path &p, const std::string &bytes) {
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    fuzz::check(
        fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::close(fd) == 0,
        "campaign: a device file cannot be written");
}
void removeHost(const fs::path &p) { ::unlink(p.c_str()); }

std::string exportNow() {
    Registry reg;
    std::string why;
    if (loadRegistry(reg, kAllRoots, &why) != ERROR_SUCCESS) return "(the registry cannot be read: " + why + ")";
    return exportRegedit(reg);
}

struct Device {
    int kind = 0;
    std::string backup;
    std::vector<fs::path> stores;           // the registry's files
    std::vector<std::string> oldStores;     // their bytes before every run
    std::vector<std::string> backupStores;  // after the intact backup's restore
    fs::path pending;                       // Restore.fdf or the kept system hive
    std::string oldExport, backupExport, factoryExport;
    std::map<std::string, std::set<std::string>> entries;  // every folder's entries
    fs::path input;
};
Device g_dev;

void listTree(const fs::path &dir, std::map<std::string, std::set<std::string>> &out) {
    std::set<std::string> &names = out[dir.string()];
    host::forEachEntryIn(dir.string(), [&](const char *name) {
        names.insert(name);
        std::error_code ec;
        if (fs::is_directory(fs::symlink_status(dir / name, ec))) listTree(dir / name, out);
        return true;
    });
}

// The device as it was before every run: the old registry, nothing pending,
// no file that a run left.
void resetDevice() {
    std::string bytes;
    for (size_t i = 0; i < g_dev.stores.size(); ++i)
        if (!readHost(g_dev.stores[i], bytes) || bytes != g_dev.oldStores[i])
            writeHost(g_dev.stores[i], g_dev.oldStores[i]);
    removeHost(g_dev.pending);
    for (const auto &dir : g_dev.entries) {
        std::vector<std::string> extra;
        host::forEachEntryIn(dir.first, [&](const char *name) {
            if (!dir.second.count(name)) extra.emplace_back(name);
            return true;
        });
        std::error_code ec;
        for (const auto &name : extra) fs::remove_all(fs::path(dir.first) / name, ec);
    }
}

void mark(const std::u16string &text) {
    Registry reg;
    std::string why;
    fuzz::check(loadRegistry(reg, kAllRoots, &why) == ERROR_SUCCESS, "campaign: the registry cannot be read");
    for (int root : {CurrentUser, LocalMachine}) {
        Key &key = reg.roots[root].create(u"Software\\Campaign");
        reg.roots[root].setValue(key, Value{u"Saved", REG_SZ, u16Bytes(text) + std::string(2, '\0')});
    }
    fuzz::check(storeRegistry(reg, kAllRoots, &why) == ERROR_SUCCESS, "campaign: the registry cannot be written");
}

struct Run {
    std::string log, after, handed, registry;  // registry: the export after the boot
    bool wasHanded = false;
    int which = -1;  // 0 the old registry, 1 the backup's, -1 another
};

void runOnce(const std::string &file, const std::string &options, Run &run) {
    fuzz::prepare(reinterpret_cast<const uint8_t *>(file.data()), file.size(), kKinds[g_dev.kind]);
    resetDevice();
    std::u16string opts(options.begin(), options.end());
    runSequence(nullptr, reinterpret_cast<const WCHAR *>(opts.c_str()), fuzz::INPUT_PATH,
                reinterpret_cast<const WCHAR *>(kWork));
    run.log = fuzz::log();
    fuzz::input(run.after);
    run.wasHanded = readHost(g_dev.pending, run.handed);
    warmBoot();
    // The stores' bytes tell the two registries expected most often without
    // an export; any other is compared as an export.
    run.which = -1;
    std::string bytes;
    for (int w = 0; w < 2 && run.which < 0; ++w) {
        const auto &want = w ? g_dev.backupStores : g_dev.oldStores;
        bool same = !want.empty();
        for (size_t i = 0; i < want.size() && same; ++i) same = readHost(g_dev.stores[i], bytes) && bytes == want[i];
        if (same) run.which = w;
    }
    run.registry.clear();
    if (run.which < 0) {
        run.registry = exportNow();
        if (run.registry == g_dev.oldExport) run.which = 0;
        if (run.registry == g_dev.backupExport) run.which = 1;
    }
}

int checkOnce(const std::string &file) {
    fuzz::prepare(reinterpret_cast<const uint8_t *>(file.data()), file.size(), kKinds[g_dev.kind]);
    resetDevice();
    return backup::run({"check", g_dev.input.string()});
}

void setUp(int kind) {
    g_dev.kind = kind;
    fuzz::prepare(nullptr, 0, kKinds[kind]);
    g_dev.input = host::fsRoot() / "My Documents" / "input.img";
    if (kind == 0) {
        g_dev.stores = {objectStorePath()};
        g_dev.pending = pendingRestorePath();
    } else {
        g_dev.stores = {systemHivePath(), userHivePath()};
        g_dev.pending = keptHivePath();
    }
    g_dev.factoryExport = exportRegedit(sampleRegistry());
    // A registry of its own in the backup, another one before every run.
    mark(u"in the backup");
    runSequence(nullptr, reinterpret_cast<const WCHAR *>(u"s"),
                reinterpret_cast<const WCHAR *>(u"\\My Documents\\saved.bak"), reinterpret_cast<const WCHAR *>(kWork));
    fuzz::check(readHost(host::fsRoot() / "My Documents" / "saved.bak", g_dev.backup) && g_dev.backup.size() > 8 &&
                    le16(g_dev.backup, 0) == (kind == 0 ? 0x74B2u : 0x4758u),
                "campaign: the backup was not saved");
    removeHost(host::fsRoot() / "My Documents" / "saved.bak");
    mark(u"after the save");
    warmBoot();
    g_dev.oldExport = exportNow();
    g_dev.oldStores.resize(g_dev.stores.size());
    for (size_t i = 0; i < g_dev.stores.size(); ++i) readHost(g_dev.stores[i], g_dev.oldStores[i]);
    g_dev.entries.clear();
    listTree(host::fsRoot(), g_dev.entries);
    g_dev.entries[g_dev.input.parent_path().string()].insert("input.img");
    listTree(host::stateDir(), g_dev.entries);
    // The registry the intact backup gives, by its restore and a warm boot.
    Run run;
    runOnce(g_dev.backup, "lr", run);
    g_dev.backupExport = exportNow();
    g_dev.backupStores.resize(g_dev.stores.size());
    for (size_t i = 0; i < g_dev.stores.size(); ++i) readHost(g_dev.stores[i], g_dev.backupStores[i]);
    fuzz::check(g_dev.backupExport != g_dev.oldExport && g_dev.backupExport != g_dev.factoryExport &&
                    g_dev.oldExport != g_dev.factoryExport,
                "campaign: the intact backup does not restore its own registry");
}

// ---- The cases -----------------------------------------------------------------

// One damaged file: the byte at offset changed, the file cut to offset bytes,
// or the length field at offset set to 0 or moved (delta).
struct Case {
    size_t offset = 0;
    int delta = -1;
    bool operator<(const Case &o) const { return offset != o.offset ? offset < o.offset : delta < o.delta; }
};

uint32_t le32(const std::string &b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

// The cases of a damage: every offset (every step-th); the cuts at every
// record boundary and a byte either side (a hive backup's fields, and every
// length inside its trailer); every length field of the file.
std::vector<Case> casesOf(const std::string &b, int kind, int damage, size_t step) {
    std::vector<Case> out;
    if (damage < kCut)
        for (size_t o = 0; o < b.size(); o += step) out.push_back({o, -1});
    std::set<size_t> at;  // cuts: boundaries; lengths: fields
    if (kind == 0) {
        at.insert(damage == kCut ? 8 : 4);
        for (size_t pos = 8; pos + 4 <= b.size(); pos += le16(b, pos) + 4u) {
            at.insert(pos);
            if (damage == kLength) at.insert(pos + 6);
            if (damage == kLength && b[pos + 2] == 2) at.insert(pos + 8);
        }
    } else {
        const size_t n1 = le32(b, 4), n2 = le32(b, 8 + n1);
        at.insert({4, 8 + n1});
        if (damage == kCut) at.insert({8, 12 + n1});
        for (size_t p = 12 + n1 + n2; damage == kCut && p < b.size(); ++p) at.insert(p);
    }
    if (damage == kCut) {
        at.insert(0);
        std::set<size_t> cuts;
        for (size_t p : at)
            for (size_t q : {p - 1, p, p + 1})
                if (q < b.size()) cuts.insert(q);
        for (size_t q : cuts) out.push_back({q, -1});
    }
    if (damage == kLength)
        for (size_t p : at)
            for (int d = 0; d < kDeltaCount; ++d) out.push_back({p, d});
    return out;
}

// Whether the length field at offset is 32 bits wide (totalSize, a hive length).
bool wideField(int kind, size_t offset) { return offset == 4 || (kind == 1 && offset > 4); }

std::string damaged(const std::string &b, int kind, int damage, const Case &c) {
    if (damage == kCut) return b.substr(0, c.offset);
    std::string d = b;
    if (damage == kLength) {
        const int width = wideField(kind, c.offset) ? 4 : 2;
        uint32_t v = width == 4 ? le32(b, c.offset) : le16(b, c.offset);
        v = c.delta == 0 ? 0 : v + static_cast<uint32_t>(kDeltaBy[c.delta]);
        for (int i = 0; i < width; ++i) d[c.offset + i] = static_cast<char>(v >> 8 * i);
        return d;
    }
    static const int kXor[] = {0xFF, 0x01, 0x80};
    d[c.offset] = damage == 3 ? 0 : static_cast<char>(d[c.offset] ^ kXor[damage]);
    return d;
}

// A hive backup that a restore may take: exactly its layout (both hive
// lengths above 0, both images in the file), with nothing after the user
// hive image or exactly one trailer that matches both images.
bool hiveLayoutWhole(const std::string &b) {
    if (b.size() < 12 || b.compare(0, 4, "XGER") != 0) return false;
    const int64_t n1 = static_cast<int32_t>(le32(b, 4));
    if (n1 <= 0 || 12 + n1 > static_cast<int64_t>(b.size())) return false;
    const int64_t n2 = static_cast<int32_t>(le32(b, 8 + n1)), end = 12 + n1 + n2;
    if (n2 <= 0 || end > static_cast<int64_t>(b.size())) return false;
    if (end == static_cast<int64_t>(b.size())) return true;
    auto crc = [&](int64_t at, int64_t n) {
        return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(b.data() + at), static_cast<uInt>(n)));
    };
    return end + 12 == static_cast<int64_t>(b.size()) && b.compare(end, 4, "XGCK") == 0 &&
           le32(b, end + 4) == crc(8, n1) && le32(b, end + 8) == crc(12 + n1, n2);
}

struct Family {
    long runs = 0, losses = 0;
    std::string first;  // what the first loss lost
    Case firstCase;
};

bool hasDone(const std::string &log) {
    return log.find("repair: done") != std::string::npos || log.find("reorder: done") != std::string::npos;
}

// The oracle of one run: "" when nothing was lost.
std::string lossOf(const std::string &file, const std::multiset<std::string> &inRecords, const std::string &options,
                   const Run &run) {
    std::string lost;
    const bool restores = options.find('r') != std::string::npos;
    if (g_dev.kind == 1) {
        // Every hive backup is restored whole or not at all (it has its
        // checksums), and one that is not exactly its layout is refused.
        const int want = hiveLayoutWhole(file) ? 1 : 0;
        if (run.which != want)
            lost = run.which == 1   ? "took a hive backup that is not exactly its layout"
                   : run.which == 0 ? "refused a whole hive backup"
                   : run.registry == g_dev.factoryExport
                       ? "the device fell back to its factory registry"
                       : "the registry is neither the old one nor the backup's (a default hive beside a restored one)";
    } else if (run.which == 0) {
    } else if (run.which == 1 && restores) {
    } else if (!restores) {
        lost = "the registry changed, though nothing was restored";
    } else {
        Registry handed;
        bool reads = run.wasHanded && readRamImage(run.handed, handed, nullptr);
        bool whole = reads && (run.handed == file || holdsAll(inRecords, run.handed));
        if (!(whole && exportRegedit(handed) == run.registry)) {
            lost = run.registry == g_dev.factoryExport ? "the device fell back to its factory registry"
                   : reads && !whole                   ? "the image restored lost records of the file"
                                                       : "the registry is neither the old one nor the backup's";
        }
    }
    if (run.after != file) {
        if (restores || g_dev.kind != 0)
            lost += std::string(lost.empty() ? "" : "; ") + "the restore changed the user's file";
        else if (!holdsAll(inRecords, run.after))
            lost += std::string(lost.empty() ? "" : "; ") + "the user's file lost records";
    }
    if (!lost.empty() && hasDone(run.log)) lost += " (the log says done)";
    return lost;
}

struct Options {
    bool full = false, verbose = false;
    size_t step = 7;
    int jobs = 2;
    int kind = -1, damage = -1, delta = -1;
    long offset = -1;
    std::string options;
};

std::string command(int kind, int damage, const Case &c, const std::string &options) {
    return "scripts/damage-campaign --kind " + std::string(kKinds[kind]) + " --damage " + kDamages[damage] +
           " --offset " + std::to_string(c.offset) + (c.delta >= 0 ? std::string(" --delta ") + kDeltas[c.delta] : "") +
           " --options " + options;
}

// Runs the cases of one kind that fall to this shard; writes the families'
// figures to out, a line each.
void work(const Options &opt, int kind, int shard, int shards, FILE *out) {
    setUp(kind);
    const std::string &b = g_dev.backup;
    std::map<std::string, Family> families;
    Run run;
    for (int damage = 0; damage < kDamageCount; ++damage) {
        if (opt.damage >= 0 && damage != opt.damage) continue;
        const std::vector<Case> cases = casesOf(b, kind, damage, opt.step);
        for (size_t i = static_cast<size_t>(shard); i < cases.size(); i += static_cast<size_t>(shards)) {
            const Case &c = cases[i];
            if (opt.offset >= 0 && (c.offset != static_cast<size_t>(opt.offset) || c.delta != opt.delta)) continue;
            const std::string file = damaged(b, kind, damage, c);
            std::multiset<std::string> inRecords;
            if (kind == 0) inRecords = records(file);
            int restoredBackup = -1;  // hive: whether lr restored the backup's registry
            for (const std::string &o : kOptions[kind]) {
                if (!opt.options.empty() && o != opt.options && !(kind == 1 && o == "lr")) continue;
                std::string lost;
                if (o == "check") {
                    bool whole = checkOnce(file) == 0;
                    Registry reg;
                    bool devWhole = kind == 0 ? readRamImage(file, reg, nullptr) : restoredBackup == 1;
                    if (whole != devWhole)
                        lost = whole ? "check says whole; the device does not read the file back whole"
                                     : "check says damaged; the device reads the file back whole";
                } else {
                    runOnce(file, o, run);
                    if (o == "lr") restoredBackup = run.which == 1;
                    lost = lossOf(file, inRecords, o, run);
                }
                if (!opt.options.empty() && o != opt.options) continue;
                Family &f = families[std::string(kKinds[kind]) + " " + kDamages[damage] + " " + o];
                ++f.runs;
                if (opt.verbose) {
                    std::fprintf(stderr, "%s: %s\n", command(kind, damage, c, o).c_str(),
                                 lost.empty() ? "nothing lost" : lost.c_str());
                    const std::vector<std::string> missing =
                        o == "check" ? std::vector<std::string>()
                                     : missingFrom(inRecords, run.handed.empty() ? run.after : run.handed);
                    for (size_t m = 0; m < missing.size() && m < 8; ++m)
                        std::fprintf(stderr, "  missing: %s\n", shown(missing[m]).c_str());
                    if (missing.size() > 8) std::fprintf(stderr, "  (%zu records missing)\n", missing.size());
                    // The files themselves, in the current folder, for a closer look.
                    auto keep = [&](const char *suffix, const std::string &bytes) {
                        std::string name = "campaign-" + std::string(kKinds[kind]) + "-" + o + suffix;
                        if (FILE *f = std::fopen(name.c_str(), "wb")) {
                            std::fwrite(bytes.data(), 1, bytes.size(), f);
                            std::fclose(f);
                        }
                    };
                    keep(".in", file);
                    if (o != "check") keep(".out", run.handed.empty() ? run.after : run.handed);
                    if (o != "check") std::fprintf(stderr, "--- log:\n%s--- end of log\n", run.log.c_str());
                }
                if (lost.empty()) continue;
                if (f.losses++ == 0 || c < f.firstCase) {
                    f.firstCase = c;
                    f.first = lost;
                }
            }
        }
    }
    for (const auto &f : families)
        std::fprintf(out, "%s\t%ld\t%ld\t%zu\t%d\t%s\n", f.first.c_str(), f.second.runs, f.second.losses,
                     f.second.firstCase.offset, f.second.firstCase.delta, f.second.first.c_str());
    std::fflush(out);
}

int usage() {
    std::fputs(
        "usage: damage [--full] [--step N] [--jobs N] [--kind ram|hive]\n"
        "              [--damage xorFF|xor01|xor80|set00|cut|length] [--offset N] [--delta =0|-16|-4|-1|+1|+4|+16]\n"
        "              [--options OPTIONS|check] [--verbose]\n",
        stderr);
    return 2;
}

int indexOf(const char *const *names, int count, const std::string &name) {
    for (int i = 0; i < count; ++i)
        if (name == names[i]) return i;
    return -2;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--full") {
            opt.full = true;
            opt.step = 1;
        } else if (a == "--verbose") {
            opt.verbose = true;
        } else if (i + 1 >= argc) {
            return usage();
        } else if (a == "--step") {
            opt.step = std::max(1l, std::atol(argv[++i]));
        } else if (a == "--jobs") {
            opt.jobs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--kind") {
            opt.kind = indexOf(kKinds, 2, argv[++i]);
        } else if (a == "--damage") {
            opt.damage = indexOf(kDamages, kDamageCount, argv[++i]);
        } else if (a == "--delta") {
            opt.delta = indexOf(kDeltas, kDeltaCount, argv[++i]);
        } else if (a == "--offset") {
            opt.offset = std::atol(argv[++i]);
        } else if (a == "--options") {
            opt.options = argv[++i];
        } else {
            return usage();
        }
        if (opt.kind == -2 || opt.damage == -2 || opt.delta == -2) return usage();
    }
    if (opt.offset >= 0) opt.step = 1;
    const auto start = std::chrono::steady_clock::now();

    // The tasks: each kind in shards, run by up to jobs processes at once,
    // each with a device of its own; their figures come back through pipes.
    struct Task {
        int kind, shard, shards;
        pid_t pid;
        FILE *in;
    };
    std::vector<Task> tasks;
    const int shards = opt.offset >= 0 ? 1 : 4 * opt.jobs;
    for (int kind = 0; kind < 2; ++kind)
        if (opt.kind < 0 || opt.kind == kind)
            for (int s = 0; s < (kind == 0 ? shards : std::max(1, shards / 2)); ++s)
                tasks.push_back({kind, s, kind == 0 ? shards : std::max(1, shards / 2), 0, nullptr});
    std::map<std::string, Family> families;
    bool failed = false;
    size_t next = 0, running = 0;
    auto reap = [&] {
        int status = 0;
        pid_t pid = ::wait(&status);
        for (Task &t : tasks) {
            if (t.pid != pid) continue;
            char line[4096];
            while (std::fgets(line, sizeof line, t.in)) {
                char name[64], first[3000] = "";
                long runs = 0, losses = 0;
                Case at;
                if (std::sscanf(line, "%63[^\t]\t%ld\t%ld\t%zu\t%d\t%2999[^\n]", name, &runs, &losses, &at.offset,
                                &at.delta, first) < 5)
                    continue;
                Family &f = families[name];
                f.runs += runs;
                if (losses && (f.losses == 0 || at < f.firstCase)) {
                    f.firstCase = at;
                    f.first = first;
                }
                f.losses += losses;
            }
            std::fclose(t.in);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::fprintf(stderr, "damage: the %s worker %d stopped (status %d)\n", kKinds[t.kind], t.shard, status);
                failed = true;
            }
        }
        --running;
    };
    std::fflush(stdout);
    while (next < tasks.size() || running > 0) {
        if (next < tasks.size() && running < static_cast<size_t>(opt.jobs)) {
            Task &t = tasks[next++];
            int fds[2];
            if (::pipe(fds) != 0) return 2;
            t.pid = ::fork();
            if (t.pid == 0) {
                ::close(fds[0]);
                // The tool's verdicts and the system's own output go nowhere.
                int null = ::open("/dev/null", O_WRONLY);
                ::dup2(null, 1);
                FILE *out = ::fdopen(fds[1], "w");
                work(opt, t.kind, t.shard, t.shards, out);
                std::fclose(out);
                std::exit(0);
            }
            ::close(fds[1]);
            t.in = ::fdopen(fds[0], "r");
            ++running;
            continue;
        }
        reap();
    }

    long runs = 0, losses = 0;
    std::string firstCommand;
    for (int kind = 0; kind < 2; ++kind)
        for (int damage = 0; damage < kDamageCount; ++damage)
            for (const std::string &o : kOptions[kind]) {
                auto it = families.find(std::string(kKinds[kind]) + " " + kDamages[damage] + " " + o);
                if (it == families.end()) continue;
                const Family &f = it->second;
                runs += f.runs;
                losses += f.losses;
                std::printf("%-4s %-6s %-5s %7ld runs %6ld losses", kKinds[kind], kDamages[damage], o.c_str(), f.runs,
                            f.losses);
                if (f.losses) {
                    std::string cmd = command(kind, damage, f.firstCase, o);
                    std::printf("  first: %s\n    %s", f.first.c_str(), cmd.c_str());
                    if (firstCommand.empty()) firstCommand = cmd;
                }
                std::printf("\n");
            }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %ld runs, %ld losses, %.0f s with %d jobs\n", opt.full ? "full campaign" : "campaign sample", runs,
                losses, seconds, opt.jobs);
    if (!firstCommand.empty()) std::printf("first failing case: %s\n", firstCommand.c_str());
    return failed ? 2 : losses ? 1 : 0;
}
