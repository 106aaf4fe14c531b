// corvane_backup.cpp - corvane-backup, backups on the PC: check, list,
// export, diff, import, merge, set and delete (check and list are in
// corvane_backup_check.cpp, the files in corvane_backup_files.cpp, the
// process entry in corvane_backup_main.cpp).
//
// A backup is read into the simulated registry's model by the simulator's
// own readers (readRamImage, readHive, after the system's unpackHives) and
// written by its writers (writeRamImage, writeHive, then the system's
// packHives), so it means here what it means to the device after a restore.
// Every verb exits 0 when done (check: whole, diff: the same), 1 when damaged,
// different or refused, 2 for a usage error or a FILE that cannot be read or
// is no backup; each failure with one line on stderr.
#include "tools/corvane_backup.h"

#include "platform/host/registry_store.h"
#include "tools/regtext.h"

#include <algorithm>

using namespace host::reg;
using namespace backup;

namespace {

const char kUsage[] =
    "usage: corvane-backup check FILE [--json]\n"
    "       corvane-backup list FILE [--json]\n"
    "       corvane-backup export FILE [KEY] [--format 4|5]\n"
    "       corvane-backup diff A B              (A or B may be --device)\n"
    "       corvane-backup import REGFILE OUT [--kind ram|hive] [--force]\n"
    "       corvane-backup merge BACKUP REGFILE [--out OUT [--force]]\n"
    "       corvane-backup set FILE KEY NAME TYPE DATA\n"
    "       corvane-backup delete FILE KEY [NAME]\n"
    "       corvane-backup --version\n"
    "\n"
    "FILE is a RAM registry image or a hive backup file, on the PC or, written\n"
    "with a leading \\, on the device named by CEDEVICE. KEY is HKEY_LOCAL_MACHINE\\...\n"
    "or HKLM\\..., HKCU\\..., HKCR\\...; TYPE and DATA as `cedevice reg set` takes them.\n"
    "REGFILE is a .reg file: REGEDIT4 or \"Windows Registry Editor Version 5.00\",\n"
    "UTF-8 or UTF-16LE with its byte order mark; [-KEY] and \"name\"=- delete.\n"
    "export writes REGEDIT4 (UTF-8), or with --format 5 regedit's 5.00 (UTF-16LE).\n"
    "import never replaces an existing OUT without --force; merge applies REGFILE to\n"
    "BACKUP (or to a copy of it, OUT). Files are written whole or not at all.\n"
    "\n"
    "Exit codes, the same for every verb:\n"
    "  0  done; check: whole; diff: the same\n"
    "  1  check: damaged; diff: different; otherwise refused (a backup a restore\n"
    "     would refuse, a .reg line that cannot be taken, an existing OUT, a failed\n"
    "     write), with one line on stderr\n"
    "  2  a wrong command line, or a FILE that cannot be read or is no backup\n"
    "\n"
    "list shows the records of any image of the record format. Every other verb\n"
    "judges a RAM image as the device reads it back: one key record per key, named\n"
    "by its path below its root and tagged with its root (0 HKCR, 1 HKCU, 2 HKLM),\n"
    "then its values, tagged with their value type.\n";

struct KeyArg {
    int root = -1;
    std::u16string path;
};

bool parseKey(const std::string &verb, const std::string &arg, KeyArg &key) {
    if (parseFullKey(host::fromUtf8(arg), key.root, key.path)) return true;
    fail(verb + ": not a registry key: " + arg, 2);
    return false;
}

// Loads a FILE argument: 0, or the exit code after printing why not (2
// when it cannot be read or is no backup, 1 when a restore would refuse it,
// the device would not read it back, or the device's lock cannot be had). A
// verb that writes it back passes its lock, taken here before the read.
int load(const std::string &verb, const std::string &arg, Registry &reg, Kind &kind, FileArg &file,
         DeviceFileLock *lock = nullptr) {
    std::string error;
    InputFile probe;
    if (!resolveFile(arg, file, error)) return fail(verb + ": " + error, 2);
    if (lock && !lock->take(file.host, error)) return fail(verb + ": " + arg + ": " + error);
    if (!probe.open(file, error)) return fail(verb + ": " + error, 2);
    if (probe.kind() == Kind::Neither)
        return fail(verb + ": " + arg + ": neither a RAM registry image nor a hive backup file", 2);
    if (!loadBackup(file, reg, kind, error)) return fail(verb + ": " + error);
    return 0;
}

// Reads a .reg file argument into text (a mapped file). 0, or 2 after
// printing why it cannot be read.
int openRegFile(const std::string &verb, const std::string &arg, MappedFile &text) {
    std::string error;
    FileArg in;
    if (!resolveFile(arg, in, error)) return fail(verb + ": " + error, 2);
    if (!text.open(in.host, error)) return fail(verb + ": " + arg + ": " + error, 2);
    return 0;
}

// Takes --format 4|5 (or --format=N) out of args.
bool takeFormat(const std::string &verb, std::vector<std::string> &args, regtext::Format &format) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string word;
        size_t n = 1;
        if (args[i] == "--format" && i + 1 < args.size()) {
            word = args[i + 1];
            n = 2;
        } else if (args[i].rfind("--format=", 0) == 0) {
            word = args[i].substr(9);
        } else {
            continue;
        }
        if (!regtext::parseFormat(word, format)) {
            fail(verb + ": unknown format '" + word + "' (4: REGEDIT4, 5: regedit's 5.00 in UTF-16LE)", 2);
            return false;
        }
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i + n));
        --i;
    }
    return true;
}

// An OUT that exists is replaced only with --force: a backup is never lost
// to a mistyped name. 0, or 1 after printing why not.
int refuseExisting(const std::string &verb, const FileArg &out, bool force) {
    std::error_code ec;
    if (force || !fs::exists(out.host, ec) || fs::is_directory(out.host, ec)) return 0;  // a folder: refused below
    return fail(verb + ": " + out.text + " exists (--force replaces it; merge adds to a backup)");
}

int cmdExport(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    regtext::Format format = regtext::Format::Regedit4;
    if (!takeFormat("export", args, format)) return 2;
    if (args.empty() || args.size() > 2) return fail("export: needs FILE [KEY] [--format 4|5]", 2);
    KeyArg key;
    if (args.size() == 2 && !parseKey("export", args[1], key)) return 2;
    Registry reg;
    Kind kind;
    FileArg file;
    if (int code = load("export", args[0], reg, kind, file)) return code;
    if (args.size() == 2 && !reg.roots[key.root].find(key.path)) return fail("export: " + args[1] + ": no such key");
    // The text goes out a key at a time: a large registry's text is never
    // held whole.
    bool written = regtext::exportText(
        reg, args.size() == 2 ? key.root : -1, key.path, format,
        [](std::string_view text) { return std::fwrite(text.data(), 1, text.size(), stdout) == text.size(); });
    return written && std::fflush(stdout) == 0 ? 0 : fail("export: cannot write the output");
}

// ---- diff ---------------------------------------------------------------------

// Prints each line of text (a value's lines, or a key line) with a prefix.
void printLines(char prefix, const std::string &text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::printf("%c%.*s\n", prefix, static_cast<int>(end - at), text.data() + at);
        at = end + 1;
    }
}

std::vector<const Value *> sortedValues(const Key &key) {
    std::vector<const Value *> values;
    for (const Value &v : key.values) values.push_back(&v);
    std::sort(values.begin(), values.end(),
              [](const Value *a, const Value *b) { return fold(a->name) < fold(b->name); });
    return values;
}

std::string keyLine(int root, const Key &key) { return "[" + fullKeyName(root, key.path) + "]"; }

void printKey(char prefix, int root, const Key &key) {
    printLines(prefix, keyLine(root, key));
    for (const Value *v : sortedValues(key)) printLines(prefix, exportValueText(*v));
}

bool sameValues(const Key &a, const Key &b) {
    std::vector<const Value *> va = sortedValues(a), vb = sortedValues(b);
    if (va.size() != vb.size()) return false;
    for (size_t k = 0; k < va.size(); ++k)
        if (va[k]->name != vb[k]->name || va[k]->type != vb[k]->type || va[k]->data != vb[k]->data) return false;
    return true;
}

// The values of a key both registries hold, when they differ: the key line,
// then the values removed, added and changed.
void diffValues(int root, const Key &a, const Key &b) {
    std::vector<const Value *> va = sortedValues(a), vb = sortedValues(b);
    bool header = false;
    auto differ = [&](char prefix, const Value &v) {
        if (!header) printLines(' ', keyLine(root, b));
        header = true;
        printLines(prefix, exportValueText(v));
    };
    size_t i = 0, j = 0;
    while (i < va.size() || j < vb.size()) {
        int order = i == va.size() ? 1 : j == vb.size() ? -1 : fold(va[i]->name).compare(fold(vb[j]->name));
        if (order < 0) {
            differ('-', *va[i++]);
        } else if (order > 0) {
            differ('+', *vb[j++]);
        } else {
            const Value &x = *va[i++], &y = *vb[j++];
            if (x.name != y.name || x.type != y.type || x.data != y.data) {
                differ('-', x);
                differ('+', y);
            }
        }
    }
}

// Loads a diff argument: a backup, or --device for the live registry. 0, or
// the exit code after printing why not.
int loadSide(const std::string &arg, Registry &reg) {
    if (arg != "--device") {
        Kind kind;
        FileArg file;
        return load("diff", arg, reg, kind, file);
    }
    std::string why;
    if (!host::isDevice(host::deviceDir()))
        return fail("diff: --device: no device at " + host::deviceDir().string() + " (CEDEVICE names it)", 2);
    if (loadRegistry(reg, kAllRoots, &why) != ERROR_SUCCESS)
        return fail("diff: --device: the registry cannot be read: " + why + " (cedevice reboot mends it)", 2);
    return 0;
}

int cmdDiff(const std::vector<std::string> &args) {
    if (args.size() != 2) return fail("diff: needs A B (a backup, or --device)", 2);
    Registry a, b;
    if (int code = loadSide(args[0], a)) return code;
    if (int code = loadSide(args[1], b)) return code;
    bool differ = false;
    bool headed = false;
    auto head = [&] {
        if (!headed) std::printf("--- %s\n+++ %s\n", args[0].c_str(), args[1].c_str());
        headed = true;
    };
    for (int r = 0; r < kRootCount; ++r) {
        if (!a.loaded[r] || !b.loaded[r]) {
            head();
            std::printf("; %s is not compared: the user is logged off\n", rootName(r));
            continue;
        }
        std::vector<const Key *> ka = a.roots[r].all(), kb = b.roots[r].all();
        size_t i = 0, j = 0;
        while (i < ka.size() || j < kb.size()) {
            // Both lists are in tree order, the order of their folded paths.
            int order = i == ka.size() ? 1 : j == kb.size() ? -1 : fold(ka[i]->path).compare(fold(kb[j]->path));
            if (order < 0) {
                head();
                printKey('-', r, *ka[i++]);
                differ = true;
            } else if (order > 0) {
                head();
                printKey('+', r, *kb[j++]);
                differ = true;
            } else {
                const Key &x = *ka[i++], &y = *kb[j++];
                if (x.path != y.path) {  // the same key, spelled otherwise
                    head();
                    printLines('-', keyLine(r, x));
                    printLines('+', keyLine(r, y));
                    differ = true;
                }
                if (!sameValues(x, y)) {
                    head();
                    diffValues(r, x, y);
                    differ = true;
                }
            }
        }
    }
    std::fflush(stdout);
    return differ ? 1 : 0;
}

// ---- import, set, delete ------------------------------------------------------------

int cmdImport(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    bool force = takeFlag(args, "--force");
    std::vector<std::string> files;
    std::string kindArg = "ram";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--kind" && i + 1 < args.size())
            kindArg = args[++i];
        else if (args[i].rfind("--kind=", 0) == 0)
            kindArg = args[i].substr(7);
        else
            files.push_back(args[i]);
    }
    if (files.size() != 2) return fail("import: needs REGFILE OUT [--kind ram|hive] [--force]", 2);
    if (kindArg != "ram" && kindArg != "hive") return fail("import: unknown kind '" + kindArg + "' (ram or hive)", 2);
    Kind kind = kindArg == "ram" ? Kind::Ram : Kind::Hive;
    std::string error;
    FileArg out;
    MappedFile text;
    if (int code = openRegFile("import", files[0], text)) return code;
    if (!resolveFile(files[1], out, error)) return fail("import: " + error, 2);
    if (int code = refuseExisting("import", out, force)) return code;
    Registry reg;
    if (!regtext::readRegedit(text.bytes(), reg, error)) return fail("import: " + files[0] + ": " + error);
    if (!writeBackup(reg, kind, out.host, error)) return fail("import: " + files[1] + ": " + error);
    return 0;
}

int cmdMerge(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args = argsIn;
    bool force = takeFlag(args, "--force");
    std::string outArg;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size()) {
            outArg = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i + 2));
            break;
        }
        if (args[i].rfind("--out=", 0) == 0) {
            outArg = args[i].substr(6);
            args.erase(args.begin() + static_cast<long>(i));
            break;
        }
    }
    if (args.size() != 2) return fail("merge: needs BACKUP REGFILE [--out OUT [--force]]", 2);
    std::string error;
    MappedFile text;
    if (int code = openRegFile("merge", args[1], text)) return code;
    FileArg out;
    if (!outArg.empty()) {
        if (!resolveFile(outArg, out, error)) return fail("merge: " + error, 2);
        if (int code = refuseExisting("merge", out, force)) return code;
    }
    Registry reg;
    Kind kind;
    FileArg file;
    DeviceFileLock lock;  // from the read to the write, when the backup itself is the target
    if (int code = load("merge", args[0], reg, kind, file, outArg.empty() ? &lock : nullptr)) return code;
    if (!regtext::readRegedit(text.bytes(), reg, error)) return fail("merge: " + args[1] + ": " + error);
    const FileArg &target = outArg.empty() ? file : out;
    if (!writeBackup(reg, kind, target.host, error)) return fail("merge: " + target.text + ": " + error);
    return 0;
}

int cmdSet(const std::vector<std::string> &args) {
    if (args.size() != 5) return fail("set: needs FILE KEY NAME TYPE DATA", 2);
    KeyArg key;
    if (!parseKey("set", args[1], key)) return 2;
    Value v;
    std::string error;
    if (!regtext::parseValue(args[2], args[3], args[4], v, error)) return fail("set: " + error, 2);
    if (checkValue(v, &error) != ERROR_SUCCESS) return fail("set: " + error);
    Registry reg;
    Kind kind;
    FileArg file;
    DeviceFileLock lock;  // from the read to the write
    if (int code = load("set", args[0], reg, kind, file, &lock)) return code;
    KeyTree &tree = reg.roots[key.root];
    tree.setValue(tree.create(key.path), std::move(v));
    if (!writeBackup(reg, kind, file.host, error)) return fail("set: " + args[0] + ": " + error);
    return 0;
}

int cmdDelete(const std::vector<std::string> &args) {
    if (args.size() < 2 || args.size() > 3) return fail("delete: needs FILE KEY [NAME]", 2);
    KeyArg key;
    if (!parseKey("delete", args[1], key)) return 2;
    Registry reg;
    Kind kind;
    FileArg file;
    DeviceFileLock lock;  // from the read to the write
    if (int code = load("delete", args[0], reg, kind, file, &lock)) return code;
    KeyTree &tree = reg.roots[key.root];
    if (!tree.find(key.path)) return fail("delete: " + args[1] + ": no such key");
    if (args.size() == 3) {
        if (!tree.removeValue(key.path, host::fromUtf8(args[2])))
            return fail("delete: " + args[1] + ": no value named '" + args[2] + "'");
    } else {
        if (key.path.empty()) return fail("delete: " + args[1] + ": a root key cannot be deleted");
        tree.remove(key.path);
    }
    std::string error;
    if (!writeBackup(reg, kind, file.host, error)) return fail("delete: " + args[0] + ": " + error);
    return 0;
}

}  // namespace

bool backup::takeFlag(std::vector<std::string> &args, const char *flag) {
    auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end()) return false;
    args.erase(it);
    return true;
}

std::string backup::jsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", b);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

int backup::run(const std::vector<std::string> &args) {
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string &verb = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (verb == "-h" || verb == "--help" || verb == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (verb == "--version") {
        std::string version = host::toUtf8(host::versionValue(u"FileVersion"));
        std::printf("corvane-backup %s\n", version.empty() ? "(no version resource)" : version.c_str());
        return 0;
    }
    if (verb == "check") return cmdCheck(rest);
    if (verb == "list") return cmdList(rest);
    if (verb == "export") return cmdExport(rest);
    if (verb == "diff") return cmdDiff(rest);
    if (verb == "import") return cmdImport(rest);
    if (verb == "merge") return cmdMerge(rest);
    if (verb == "set") return cmdSet(rest);
    if (verb == "delete") return cmdDelete(rest);
    return fail("unknown verb '" + verb + "' (corvane-backup --help lists them)", 2);
}
