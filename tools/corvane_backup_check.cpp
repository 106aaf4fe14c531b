// corvane_backup_check.cpp - corvane-backup check and list: the restore's
// own check of a backup, what repair (option c) would make of a RAM image,
// and the records of an image or the hives of a hive backup file.
//
// Both read the file in blocks of 4096 bytes and hold at most one record
// (65,539 bytes) of it, so a file of any size is read in bounded memory.
// The verdict on a RAM image is the system's image check, which says
// whether the device reads the image back whole: every verb takes it
// (systemCheck), and list takes it for each record on its own.
#include "tools/corvane_backup.h"

#include "app/driver.h"
#include "platform/host/registry_store.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

using namespace host::reg;

namespace backup {

namespace {

constexpr size_t kHeaderBytes = 8;

std::string hexOffset(uint64_t offset) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08" PRIX64, offset);
    return buf;
}

// ---- The record walk ------------------------------------------------------------

// One record as the walk finds it: from its offset, length + 4 bytes, or
// the bytes left when the file ends inside it.
struct Record {
    int64_t offset = 0;
    std::string bytes;
    uint32_t size = 0;  // length + 4
    bool cut = false;
};

// Walks the records of an image: each record's stored length leads to the
// next one, from offset 8 to the end of the file, whatever totalSize says
// (repair keeps whole records after a damaged totalSize too). Reads the
// opened file in order, a block of 4096 bytes at a time.
class RecordWalker {
public:
    explicit RecordWalker(const InputFile &file) : blocks_(file) {}
    bool open() {
        unsigned char header[kHeaderBytes];
        size_t n = read(reinterpret_cast<char *>(header), kHeaderBytes);
        if (failed_) return false;
        if (n == kHeaderBytes)
            totalSize_ = static_cast<int32_t>(header[4] | header[5] << 8 | header[6] << 16 |
                                              static_cast<uint32_t>(header[7]) << 24);
        pos_ = static_cast<int64_t>(n);
        ended_ = n < kHeaderBytes;
        return true;
    }
    int32_t totalSize() const { return totalSize_; }
    bool failed() const { return failed_; }
    // The next record; false at the end of the walk (or after a read error).
    bool next(Record &r) {
        if (ended_) return false;
        // The record's buffer is kept from one record to the next: a walk
        // makes no allocation for each record.
        r.size = 0;
        r.cut = false;
        r.offset = pos_;
        // A record's length field may claim up to 64 KiB that the file does
        // not hold: its bytes are read into a buffer kept for the process,
        // and the record takes only what was read.
        static std::string buffer;  // only grows
        if (buffer.size() < 4) buffer.resize(4);
        size_t n = read(buffer.data(), 4);
        if (n == 4) {
            r.size = 4u + (static_cast<unsigned char>(buffer[0]) | static_cast<unsigned char>(buffer[1]) << 8);
            if (buffer.size() < r.size) buffer.resize(r.size);
            n += read(buffer.data() + 4, r.size - 4);
        }
        r.bytes.assign(buffer.data(), n);
        if (failed_) return false;
        if (n == 0) return false;
        r.cut = n < 4 || n < r.size;
        pos_ += static_cast<int64_t>(n);
        ended_ = r.cut;
        return true;
    }

private:
    // Up to cb bytes from where the walk stands: fewer only at the end of
    // the file or on a read error (failed_).
    size_t read(char *to, size_t cb) {
        size_t done = 0;
        while (done < cb) {
            if (at_ == block_.size()) {
                if (!blocks_.next(block_)) failed_ = true;
                at_ = 0;
                if (failed_ || block_.empty()) break;
            }
            size_t piece = std::min(cb - done, block_.size() - at_);
            std::memcpy(to + done, block_.data() + at_, piece);
            at_ += piece;
            done += piece;
        }
        return done;
    }

    BlockReader blocks_;
    std::string_view block_;  // the block the walk is in
    size_t at_ = 0;           // the next byte of it to take
    int32_t totalSize_ = 0;
    int64_t pos_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

uint16_t field(const std::string &bytes, size_t at) {
    if (bytes.size() < at + 2) return 0;
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1])
                                                                             << 8);
}

// The restore's check of one record on its own: an image of the header, a
// key record "A" when the record is a value record, and the record. Returns
// "" when the check finds it whole, or the problem in the check's words
// (without the record's offset, which list shows anyway), in out.
void recordVerdict(const Record &r, std::string &out) {
    static const char kKeyA[] = "\x08\x00\x01\x00\x00\x00\x02\x00\x41\x00\x00\x00";
    // The image is built in a buffer kept from record to record.
    static std::string image;
    image.assign("\xB2\x74\x83\x1D\0\0\0\0", 8);
    bool value = field(r.bytes, 2) == 2;
    if (value) image.append(kKeyA, 12);
    int64_t at = static_cast<int64_t>(image.size());
    image += r.bytes;
    uint32_t total = static_cast<uint32_t>(image.size());
    for (int i = 0; i < 4; ++i) image[4 + i] = static_cast<char>(total >> (8 * i));

    ImageCheck check;
    imageCheckStart(&check, static_cast<int64_t>(image.size()));
    imageCheckFeed(&check, reinterpret_cast<const BYTE *>(image.data()), image.size());
    out.clear();
    if (imageCheckEnd(&check) == IMAGE_WHOLE) return;
    if (check.offset == static_cast<DWORD>(at)) check.offset = static_cast<DWORD>(r.offset);
    WCHAR text[256];
    imageProblemText(&check, text, sizeof text / sizeof text[0]);
    host::appendUtf8(out, std::u16string_view(text));
    if (out.rfind("record at ", 0) == 0 && out.find(": ") != std::string::npos) out.erase(0, out.find(": ") + 2);
    if (out.empty()) out = "damaged";
}

// A name as list shows it: up to its first NUL, control characters as '?'
// (in a buffer kept from record to record).
const std::string &shownName(const Record &r) {
    size_t at = (field(r.bytes, 2) & 0xFF) == 2 ? 10 : 8;
    // Up to nameLength characters, as many as the record holds.
    size_t count = r.bytes.size() > at ? std::min<size_t>(field(r.bytes, 6), (r.bytes.size() - at) / 2) : 0;
    const auto *p = reinterpret_cast<const unsigned char *>(r.bytes.data()) + at;
    static std::u16string name;  // kept from record to record
    name.clear();
    for (size_t i = 0; i < count; ++i) {
        char16_t c = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
        if (c == 0) break;
        name += c < 0x20 ? u'?' : c;
    }
    static std::string shown;
    shown.clear();
    host::appendUtf8(shown, name);
    return shown;
}

// The tag, and what this project's device model makes of it.
std::string shownTag(const Record &r) {
    uint16_t tag = field(r.bytes, 4);
    unsigned type = field(r.bytes, 2) & 0xFF;
    if (tag > 0xFF) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%04X", tag);
        return buf;
    }
    std::string out = std::to_string(tag);
    if (type == 1 && tag < kRootCount) out += std::string(" ") + rootName(tag);
    if (type == 2 && knownType(tag)) out += std::string(" ") + typeName(tag);
    return out;
}

// ---- The restore's check -----------------------------------------------------------

// What repair (option c) makes of the image: run on a copy in a scratch
// device, then compared with the original record by record.
std::string repairPreview(const InputFile &file) {
    Scratch scratch;
    std::string error;
    if (!scratch.ok()) return "c (repair) was not tried: " + scratch.error();
    const fs::path copy = scratch.temp("image.img");
    if (!copyFile(file, copy, error)) return "c (repair) was not tried: " + error;
    std::u16string path = Scratch::deviceTemp("image.img");
    int result = repair(reinterpret_cast<const WCHAR *>(path.c_str()));
    if (const WCHAR *refusal = rewriteRefusal(result)) {
        // "it" only where the reason names the file: else it would read as the record.
        std::string why = host::toUtf8(refusal);
        return "c (repair) would refuse it: " + why +
               (why.find("the file") != std::string::npos ? " (it stays as it is)" : " (the file stays as it is)");
    }
    if (result != 0) return "c (repair) fails on a copy of it (result " + std::to_string(result) + ")";
    InputFile repaired;
    if (!repaired.open(FileArg{copy.string(), copy}, error)) return "c (repair) was run, but its image cannot be read";
    RecordWalker before(file), after(repaired);
    if (!before.open() || !after.open()) return "c (repair) was run, but its image cannot be read";
    uint64_t records = 0, rewritten = 0;
    Record a, b;
    for (;;) {
        bool hasA = before.next(a), hasB = after.next(b);
        if (!hasA && !hasB) break;
        if (hasA) ++records;
        if (hasA != hasB || a.bytes != b.bytes) ++rewritten;
    }
    uint64_t cbBefore = file.size(), cbAfter = repaired.size();
    if (rewritten == 0 && cbBefore == cbAfter && before.totalSize() == after.totalSize())
        return "c (repair) leaves it unchanged";
    // A rewritten image is put back only when a restore would take it.
    ImageCheck check;
    if (checkImageFile(reinterpret_cast<const WCHAR *>(path.c_str()), &check) != IMAGE_WHOLE) {
        WCHAR text[256];
        imageProblemText(&check, text, sizeof text / sizeof text[0]);
        return "c (repair) would leave it as it is: its rewritten image is not whole either (" +
               host::toUtf8(std::u16string_view(text)) + ")";
    }
    std::string out = "c (repair) would rewrite " + std::to_string(rewritten) + " of " + std::to_string(records) +
                      " records: " + std::to_string(cbBefore) + " bytes become " + std::to_string(cbAfter);
    if (cbAfter < cbBefore) out += " (" + std::to_string(cbBefore - cbAfter) + " bytes dropped)";
    return out;
}

// Reads the two images of a hive backup file that the restore takes.
bool hiveImages(const InputFile &file, std::string &system, std::string &user, std::string &error) {
    Scratch scratch;
    if (!scratch.ok()) {
        error = scratch.error();
        return false;
    }
    if (!copyFile(file, scratch.temp("in.bak"), error)) return false;
    std::u16string in = Scratch::deviceTemp("in.bak"), s = Scratch::deviceTemp("system.img"),
                   u = Scratch::deviceTemp("user.img");
    int result = unpackHives(reinterpret_cast<const WCHAR *>(in.c_str()), reinterpret_cast<const WCHAR *>(s.c_str()),
                             reinterpret_cast<const WCHAR *>(u.c_str()));
    if (result != HV_DONE || !readFile(scratch.temp("system.img"), system) ||
        !readFile(scratch.temp("user.img"), user)) {
        error = "the hives cannot be unpacked (" + std::to_string(result) + ")";
        return false;
    }
    return true;
}

}  // namespace

bool systemCheck(const InputFile &file, Verdict &verdict, std::string &error) {
    BlockReader reader(file);
    std::string_view block;
    WCHAR text[512];
    text[0] = 0;
    bool readOk = true;
    verdict = Verdict{};
    if (file.kind() == Kind::Ram) {
        ImageCheck check;
        imageCheckStart(&check, reader.size());
        while ((readOk = reader.next(block)) && !block.empty())
            if (!imageCheckFeed(&check, reinterpret_cast<const BYTE *>(block.data()), block.size())) break;
        verdict.whole = imageCheckEnd(&check) == IMAGE_WHOLE;
        imageProblemText(&check, text, sizeof text / sizeof text[0]);
        verdict.offset = check.offset;
        verdict.records = check.records;
        verdict.keys = check.keys;
    } else {
        HiveCheck check;
        hiveCheckStart(&check, reader.size());
        while ((readOk = reader.next(block)) && !block.empty())
            if (!hiveCheckFeed(&check, reinterpret_cast<const BYTE *>(block.data()), block.size())) break;
        verdict.whole = hiveCheckEnd(&check) == HV_DONE;
        hiveProblemText(&check, text, sizeof text / sizeof text[0]);
        verdict.offset = check.offset;
        verdict.trailer = check.trailer != 0;
        verdict.cbSystem = check.cbSystem;
        verdict.cbUser = check.cbUser;
    }
    if (!readOk) {
        error = file.arg().text + ": cannot read";
        return false;
    }
    verdict.problem = host::toUtf8(text);
    if (!verdict.whole && verdict.problem.empty()) verdict.problem = "damaged";
    return true;
}

int cmdCheck(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    const bool json = takeFlag(args, "--json");
    if (args.size() != 1) return fail(args.empty() ? "check: needs FILE" : "check: needs one FILE", 2);
    FileArg arg;
    InputFile file;
    std::string error;
    // With --json, standard output gets one document whatever happens.
    auto unreadable = [&](const std::string &why) {
        if (json) std::printf("{\"file\": %s, \"error\": %s}\n", jsonString(args[0]).c_str(), jsonString(why).c_str());
        return fail("check: " + why, 2);
    };
    if (!resolveFile(args[0], arg, error) || !file.open(arg, error)) return unreadable(error);
    const Kind kind = file.kind();
    const uint64_t size = file.size();
    if (kind == Kind::Neither) {
        if (json) return unreadable(args[0] + ": not a backup: neither a RAM registry image nor a hive backup file");
        std::printf("%s: not a backup: neither a RAM registry image nor a hive backup file\n", args[0].c_str());
        return 2;
    }
    Verdict verdict;
    if (!systemCheck(file, verdict, error)) return unreadable(error);
    if (json) {
        std::printf("{\"file\": %s, \"kind\": \"%s\", \"bytes\": %" PRIu64 ", \"whole\": %s",
                    jsonString(args[0]).c_str(), kind == Kind::Ram ? "ram" : "hive", size,
                    verdict.whole ? "true" : "false");
        if (!verdict.whole)
            std::printf(", \"offset\": %u, \"problem\": %s", verdict.offset, jsonString(verdict.problem).c_str());
        if (kind == Kind::Ram && verdict.whole)
            std::printf(", \"records\": %u, \"keys\": %u", verdict.records, verdict.keys);
        if (kind == Kind::Hive)
            std::printf(", \"trailer\": %s, \"systemHiveBytes\": %" PRId64 ", \"userHiveBytes\": %" PRId64,
                        verdict.trailer ? "true" : "false", verdict.cbSystem, verdict.cbUser);
        if (kind == Kind::Ram) std::printf(", \"repair\": %s", jsonString(repairPreview(file)).c_str());
        std::printf("}\n");
        std::fflush(stdout);
        return verdict.whole ? 0 : 1;
    }
    if (kind == Kind::Ram) {
        std::printf("%s: RAM registry image, %" PRIu64 " bytes", args[0].c_str(), size);
        if (verdict.whole) std::printf(", %u records (%u keys)", verdict.records, verdict.keys);
        std::printf("\n");
    } else {
        // A damaged file may have lost its trailer: only a whole one is
        // said to be without it.
        std::printf("%s: hive backup file%s, %" PRIu64 " bytes\n", args[0].c_str(),
                    verdict.trailer ? " with its integrity trailer"
                    : verdict.whole ? " without its integrity trailer"
                                    : "",
                    size);
    }
    if (verdict.whole) {
        if (kind == Kind::Hive)
            std::printf("system hive %" PRId64 " bytes, user hive %" PRId64 " bytes\n", verdict.cbSystem,
                        verdict.cbUser);
        std::printf("whole: a restore would take it\n");
    } else {
        std::printf("damaged at offset %s: %s\n", hexOffset(verdict.offset).c_str(), verdict.problem.c_str());
        std::printf("a restore would refuse it\n");
    }
    if (kind == Kind::Ram) std::printf("%s\n", repairPreview(file).c_str());
    std::fflush(stdout);
    return verdict.whole ? 0 : 1;
}

int cmdList(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    const bool json = takeFlag(args, "--json");
    if (args.size() != 1) return fail(args.empty() ? "list: needs FILE" : "list: needs one FILE", 2);
    FileArg arg;
    InputFile file;
    std::string error;
    if (!resolveFile(args[0], arg, error) || !file.open(arg, error)) return fail("list: " + error, 2);
    const Kind kind = file.kind();
    const uint64_t size = file.size();
    if (kind == Kind::Neither)
        return fail("list: " + args[0] + ": neither a RAM registry image nor a hive backup file", 2);
    const char *sep = "";  // between the JSON list's items

    if (kind == Kind::Hive) {
        Verdict verdict;
        if (!systemCheck(file, verdict, error)) return fail("list: " + error, 2);
        if (json)
            std::printf("{\"file\": %s, \"kind\": \"hive\", \"bytes\": %" PRIu64
                        ", \"trailer\": %s, \"systemHiveBytes\": %" PRId64 ", \"userHiveBytes\": %" PRId64
                        ", \"whole\": %s",
                        jsonString(args[0]).c_str(), size, verdict.trailer ? "true" : "false", verdict.cbSystem,
                        verdict.cbUser, verdict.whole ? "true" : "false");
        else
            std::printf("# hive backup file %s its integrity trailer, %" PRIu64 " bytes\n",
                        verdict.trailer ? "with" : "without", size);
        if (!json) std::printf("system hive\t%" PRId64 " bytes\n", verdict.cbSystem);
        if (!json) std::printf("user hive\t%" PRId64 " bytes\n", verdict.cbUser);
        if (!verdict.whole) {
            if (json)
                std::printf(", \"offset\": %u, \"problem\": %s}\n", verdict.offset,
                            jsonString(verdict.problem).c_str());
            else
                std::printf("# damaged at offset %s: %s\n", hexOffset(verdict.offset).c_str(), verdict.problem.c_str());
            return 0;
        }
        std::string system, user;
        if (!hiveImages(file, system, user, error)) return fail("list: " + args[0] + ": " + error);
        if (json) std::printf(", \"keys\": [");
        const struct {
            const char *name;
            const std::string &bytes;
            HiveKind kind;
        } hives[] = {{"system hive", system, HiveKind::System}, {"user hive", user, HiveKind::User}};
        for (const auto &hive : hives) {
            Registry reg;
            std::string why;
            if (!readHive(hive.bytes, hive.kind, reg, &why)) {
                if (json)
                    std::printf("%s{\"hive\": \"%s\", \"problem\": %s}", sep, hive.name, jsonString(why).c_str());
                else
                    std::printf("# %s: the device would not take it: %s\n", hive.name, why.c_str());
                sep = ", ";
                continue;
            }
            for (int root : hiveRoots(hive.kind))
                for (const Key *key : reg.roots[root].all()) {
                    if (json)
                        std::printf("%s{\"key\": %s, \"values\": %zu}", sep,
                                    jsonString(fullKeyName(root, key->path)).c_str(), key->values.size());
                    else
                        std::printf("[%s]\t%zu values\n", fullKeyName(root, key->path).c_str(), key->values.size());
                    sep = ", ";
                }
        }
        if (json) std::printf("]}\n");
        std::fflush(stdout);
        return 0;
    }

    RecordWalker walker(file);
    if (!walker.open()) return fail("list: " + args[0] + ": cannot read", 2);
    if (json) {
        std::printf("{\"file\": %s, \"kind\": \"ram\", \"bytes\": %" PRIu64 ", \"totalSize\": %" PRId32
                    ", \"records\": [",
                    jsonString(args[0]).c_str(), size, walker.totalSize());
    } else {
        std::printf("# RAM registry image, %" PRIu64 " bytes, totalSize %" PRId32 "\n", size, walker.totalSize());
        std::printf("# offset\trecord\ttag\tdata\tname\tcheck\n");
    }
    Record r;
    uint64_t records = 0, keys = 0, inconsistent = 0;
    while (walker.next(r)) {
        ++records;
        unsigned type = field(r.bytes, 2) & 0xFF;
        const char *kindText = type == 1 ? "key" : type == 2 ? "value" : "?";
        if (type == 1) ++keys;
        std::string data = type == 2 && r.bytes.size() >= 10 ? std::to_string(field(r.bytes, 8)) : "-";
        static std::string verdict;  // kept from record to record
        recordVerdict(r, verdict);
        if (r.offset >= walker.totalSize() && static_cast<int64_t>(size) != walker.totalSize())
            verdict += std::string(verdict.empty() ? "" : "; ") + "at or after totalSize";
        if (!verdict.empty()) ++inconsistent;
        if (json) {
            std::printf("%s{\"offset\": %" PRId64
                        ", \"record\": \"%s\", \"tag\": %s, \"data\": %s, \"name\": %s, "
                        "\"check\": %s}",
                        sep, r.offset, kindText, jsonString(r.bytes.size() >= 6 ? shownTag(r) : "-").c_str(),
                        data == "-" ? "null" : data.c_str(), jsonString(shownName(r)).c_str(),
                        jsonString(verdict.empty() ? "ok" : verdict).c_str());
            sep = ", ";
            continue;
        }
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", hexOffset(static_cast<uint64_t>(r.offset)).c_str(), kindText,
                    r.bytes.size() >= 6 ? shownTag(r).c_str() : "-", data.c_str(), shownName(r).c_str(),
                    verdict.empty() ? "ok" : verdict.c_str());
    }
    if (walker.failed()) return fail("list: " + args[0] + ": cannot read", 2);
    if (json)
        std::printf("], \"recordCount\": %" PRIu64 ", \"keys\": %" PRIu64 ", \"notConsistent\": %" PRIu64 "}\n",
                    records, keys, inconsistent);
    else
        std::printf("# %" PRIu64 " records, %" PRIu64 " keys, %" PRIu64 " not consistent\n", records, keys,
                    inconsistent);
    std::fflush(stdout);
    return 0;
}

}  // namespace backup
