// backup.cpp - fuzz target: corvane-backup check, list and export on any
// file. Besides the sanitizers' checks: check exits 0, 1 or 2 and 0 exactly
// when the system's own check of the file (checkImageFile, checkHiveFile)
// finds it whole; list lists every backup; a backup that export reads is
// one that check passes (for a RAM image: exactly those), and its REGEDIT4
// text reads back (import) into the same text; the input is never changed, no temporary file is left behind,
// and after the verbs the only scratch devices are the ones the process
// keeps, their \Temp empty.
#include "fuzz/support.h"
#include "platform/host/host.h"
#include "tools/corvane_backup.h"
#include "tools/regtext.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Names that REGEDIT4 text can carry: no control character (a line end
// would split the line) and whole UTF-16 (the text is UTF-8).
bool printable(const std::u16string &s) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c < 0x20) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool printableNames(const host::reg::Registry &reg) {
    for (const auto &tree : reg.roots)
        for (const host::reg::Key *key : tree.all())
            for (const host::reg::Value &v : key->values)
                if (!printable(v.name)) return false;
    return true;
}

// The \Temp folders of the scratch devices the process keeps, as host
// paths, made again only when the kept devices change.
const std::vector<std::string> &keptTemps(const std::vector<std::filesystem::path> &kept) {
    static std::vector<std::filesystem::path> seen;
    static std::vector<std::string> temps;
    if (kept != seen) {
        seen = kept;
        temps.clear();
        for (const auto &dir : kept) temps.push_back(dir.native() + "/device/fs/Temp");
    }
    return temps;
}

// After the verbs: the scratch devices the process keeps are as they were
// made (nothing in their \Temp).
void checkKept() {
    for (const std::string &temp : keptTemps(backup::keptScratch())) {
        bool empty = true;
        bool readable = host::forEachEntryIn(temp, [&](const char *) {
            empty = false;
            return true;
        });
        fuzz::check(readable, "the kept scratch device's \\Temp can be read");
        fuzz::check(empty, "the kept scratch device's \\Temp is empty");
    }
}

// After the input: no scratch device in base but the kept ones.
void checkNoOtherScratch(const std::string &base) {
    const std::vector<std::filesystem::path> kept = backup::keptScratch();
    bool readable = host::forEachEntryIn(base, [&](const char *name) {
        if (std::strncmp(name, "corvane-backup.", 15) != 0) return true;
        // Kept: base + '/' + name is one of them.
        const size_t cb = std::strlen(name);
        bool isKept = std::any_of(kept.begin(), kept.end(), [&](const std::filesystem::path &dir) {
            const std::string &p = dir.native();
            return p.size() == base.size() + 1 + cb && p.compare(0, base.size(), base) == 0 && p[base.size()] == '/' &&
                   p.compare(base.size() + 1, cb, name) == 0;
        });
        fuzz::check(isKept, "no scratch device left but the kept ones");
        return true;
    });
    fuzz::check(readable, "the scratch devices' folder can be read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] {
        // The verbs print their findings; the run needs only their codes.
        return std::freopen("/dev/null", "w", stdout) != nullptr;
    }();
    (void)quiet;
    const std::string before(reinterpret_cast<const char *>(data), size);
    fuzz::prepare(data, size);
    // The device stays the same for the whole run. The scratch devices go
    // where its folder is.
    static const std::string file = (host::fsRoot() / "My Documents" / "input.img").string();
    static const std::string scratchBase = host::deviceDir().parent_path().string();
    static const bool tmpdirSet = setenv("TMPDIR", scratchBase.c_str(), 1) == 0;
    fuzz::check(tmpdirSet, "the scratch devices' folder is set");

    backup::FileArg arg{file, file};
    // The kind the verbs must find, by the input's first four bytes.
    const uint32_t sig = size < 4 ? 0 : data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
    backup::Kind kind = sig == RAM_REG_SIG    ? backup::Kind::Ram
                        : sig == HIVE_REG_SIG ? backup::Kind::Hive
                                              : backup::Kind::Neither;
    std::string error;

    int checked = backup::run({"check", file});
    fuzz::check(checked >= 0 && checked <= 2, "check exits 0, 1 or 2");
    if (kind == backup::Kind::Ram) {
        ImageCheck image;
        fuzz::check((checkImageFile(fuzz::INPUT_PATH, &image) == IMAGE_WHOLE) == (checked == 0),
                    "check agrees with checkImageFile");
    } else if (kind == backup::Kind::Hive) {
        HiveCheck hive;
        fuzz::check((checkHiveFile(fuzz::INPUT_PATH, &hive) == HV_DONE) == (checked == 0),
                    "check agrees with checkHiveFile");
    } else {
        fuzz::check(checked == 2, "check exits 2 on a file that is no backup");
    }
    fuzz::check(backup::run({"list", file}) == (kind == backup::Kind::Neither ? 2 : 0), "list lists every backup");

    host::reg::Registry reg, back;
    backup::Kind loadedKind;
    bool loaded = backup::loadBackup(arg, reg, loadedKind, error);
    checkKept();
    if (kind == backup::Kind::Ram) fuzz::check(loaded == (checked == 0), "export reads exactly what check passes");
    if (loaded) {
        fuzz::check(loadedKind == kind, "export reads the input as its kind");
        fuzz::check(checked == 0, "export reads only what check passes");
        std::string text = host::reg::exportRegedit(reg);
        if (printableNames(reg)) {
            fuzz::check(regtext::readRegedit(text, back, error), "the export reads back");
            fuzz::check(host::reg::exportRegedit(back) == text, "the export reads back into the same text");
        }
    }
    static std::string after;  // kept from input to input
    fuzz::input(after);
    fuzz::check(after == before, "the input is never changed");
    fuzz::check(fuzz::temp().empty(), "nothing left in \\Temp");
    checkNoOtherScratch(scratchBase);
    return 0;
}
