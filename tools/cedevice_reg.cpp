// cedevice_reg.cpp - the device tool's registry verbs, reboot, and the
// registry lines of status.
//
//   cedevice reg query KEY [NAME]        the key's values and subkeys, or one value
//   cedevice reg set KEY NAME TYPE DATA  makes the key when missing; NAME "" is
//                                        the default value
//   cedevice reg delete KEY [NAME]       a key with its subtree, or one value
//   cedevice reg export [KEY] [--format 4|5]  REGEDIT4 text on standard output
//                                        (5: regedit's 5.00, UTF-16LE)
//   cedevice reg import REGFILE          applies a .reg file (REGEDIT4 or 5.00)
//   cedevice reboot                      a warm boot, as KernelIoControl does it
//
// KEY is written with its root's full name (HKEY_LOCAL_MACHINE\Software\X)
// or its short form (HKLM, HKCU, HKCR). TYPE is REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ (strings separated by the two characters \0), REG_DWORD
// (decimal or 0x hex), REG_BINARY or REG_NONE (hex bytes: "0a0b", "0a,0b" or
// "0a 0b"). Usage errors exit 2, other failures 1, each with one line on stderr.
#include "platform/host/host.h"
#include "platform/host/registry_store.h"
#include "tools/cedevice.h"
#include "tools/regtext.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

using namespace host::reg;

namespace {

int fail(const std::string &message, int code = 1) {
    std::fprintf(stderr, "cedevice: %s\n", message.c_str());
    return code;
}

struct KeyArg {
    int root = -1;
    std::u16string path;
    std::string text;  // as the user wrote it, for messages
};

bool parseKeyArg(const std::string &arg, KeyArg &key) {
    key.text = arg;
    return parseFullKey(host::fromUtf8(arg), key.root, key.path);
}

// Loads the root of key; prints why it cannot be used.
bool loadFor(const std::string &verb, const KeyArg &key, Registry &reg) {
    std::string why;
    if (loadRegistry(reg, rootBit(key.root), &why) != ERROR_SUCCESS) {
        fail(verb + ": the registry cannot be read: " + why + " (cedevice reboot mends it)");
        return false;
    }
    if (!reg.loaded[key.root]) {
        fail(verb + ": " + rootName(key.root) + " is not loaded: the user is logged off");
        return false;
    }
    return true;
}

bool store(const std::string &verb, const Registry &reg, int root) {
    std::string why;
    if (storeRegistry(reg, rootBit(root), &why) == ERROR_SUCCESS) return true;
    fail(verb + ": " + why);
    return false;
}

std::string hexOf(const std::string &data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The data of a value as query shows it.
std::string showData(const Value &v) {
    std::u16string text = bytesU16(v.data);
    bool whole = v.data.size() % 2 == 0;
    switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (!whole) break;
        if (!text.empty() && text.back() == u'\0') text.pop_back();
        return host::toUtf8(text);
    case REG_MULTI_SZ: {
        if (!whole) break;
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        std::string out;
        for (char16_t c : text) out += c == u'\0' ? std::string("\\0") : host::toUtf8(std::u16string(1, c));
        return out;
    }
    case REG_DWORD:
        if (v.data.size() != 4) break;
        {
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(getLe32(v.data, 0)));
            return buf;
        }
    default:
        break;
    }
    return hexOf(v.data);
}

void printValue(const Value &v) {
    std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : host::toUtf8(v.name).c_str(), typeName(v.type),
                showData(v).c_str());
}

// The value of `reg set` from its TYPE and DATA. 0, or the exit code after
// printing why not.
int makeValue(const std::string &name, const std::string &type, const std::string &data, Value &v) {
    std::string why;
    if (!regtext::parseValue(name, type, data, v, why)) return fail("reg set: " + why, 2);
    if (checkValueForDevice(v, &why) != ERROR_SUCCESS) return fail("reg set: " + why);
    return 0;
}

int regQuery(const std::vector<std::string> &args) {
    if (args.empty() || args.size() > 2) return fail("reg query: needs KEY [NAME]", 2);
    KeyArg key;
    if (!parseKeyArg(args[0], key)) return fail("reg query: not a registry key: " + args[0], 2);
    Registry reg;
    if (!loadFor("reg query", key, reg)) return 1;
    const KeyTree &tree = reg.roots[key.root];
    const Key *k = tree.find(key.path);
    if (!k) return fail("reg query: " + args[0] + ": no such key");
    if (args.size() == 2) {
        const Value *v = k->findValue(host::fromUtf8(args[1]));
        if (!v) return fail("reg query: " + args[0] + ": no value named '" + args[1] + "'");
        std::printf("%s\n", fullKeyName(key.root, k->path).c_str());
        printValue(*v);
        return 0;
    }
    std::printf("%s\n", fullKeyName(key.root, k->path).c_str());
    std::vector<const Value *> values;
    for (const Value &v : k->values) values.push_back(&v);
    std::sort(values.begin(), values.end(),
              [](const Value *a, const Value *b) { return fold(a->name) < fold(b->name); });
    for (const Value *v : values) printValue(*v);
    for (const Key *sub : tree.subkeys(key.path)) std::printf("%s\n", fullKeyName(key.root, sub->path).c_str());
    return 0;
}

int regSet(const std::vector<std::string> &args) {
    if (args.size() != 4) return fail("reg set: needs KEY NAME TYPE DATA", 2);
    KeyArg key;
    if (!parseKeyArg(args[0], key)) return fail("reg set: not a registry key: " + args[0], 2);
    Value v;
    if (int code = makeValue(args[1], args[2], args[3], v)) return code;
    Registry reg;
    if (!loadFor("reg set", key, reg)) return 1;
    KeyTree &tree = reg.roots[key.root];
    tree.setValue(tree.create(key.path), std::move(v));
    return store("reg set", reg, key.root) ? 0 : 1;
}

int regDelete(const std::vector<std::string> &args) {
    if (args.empty() || args.size() > 2) return fail("reg delete: needs KEY [NAME]", 2);
    KeyArg key;
    if (!parseKeyArg(args[0], key)) return fail("reg delete: not a registry key: " + args[0], 2);
    Registry reg;
    if (!loadFor("reg delete", key, reg)) return 1;
    KeyTree &tree = reg.roots[key.root];
    if (!tree.find(key.path)) return fail("reg delete: " + args[0] + ": no such key");
    if (args.size() == 2) {
        if (!tree.removeValue(key.path, host::fromUtf8(args[1])))
            return fail("reg delete: " + args[0] + ": no value named '" + args[1] + "'");
    } else {
        if (key.path.empty()) return fail("reg delete: " + args[0] + ": a root key cannot be deleted");
        tree.remove(key.path);
    }
    return store("reg delete", reg, key.root) ? 0 : 1;
}

int regExport(const std::vector<std::string> &argsIn) {
    std::vector<std::string> args;
    regtext::Format format = regtext::Format::Regedit4;
    for (size_t i = 0; i < argsIn.size(); ++i) {
        std::string word;
        if (argsIn[i] == "--format" && i + 1 < argsIn.size())
            word = argsIn[++i];
        else if (argsIn[i].rfind("--format=", 0) == 0)
            word = argsIn[i].substr(9);
        else {
            args.push_back(argsIn[i]);
            continue;
        }
        if (!regtext::parseFormat(word, format))
            return fail("reg export: unknown format '" + word + "' (4: REGEDIT4, 5: regedit's 5.00 in UTF-16LE)", 2);
    }
    if (args.size() > 1) return fail("reg export: needs at most KEY [--format 4|5]", 2);
    Registry reg;
    KeyArg key;
    if (args.empty()) {
        std::string why;
        if (loadRegistry(reg, kAllRoots, &why) != ERROR_SUCCESS)
            return fail("reg export: the registry cannot be read: " + why + " (cedevice reboot mends it)");
    } else {
        if (!parseKeyArg(args[0], key)) return fail("reg export: not a registry key: " + args[0], 2);
        if (!loadFor("reg export", key, reg)) return 1;
        if (!reg.roots[key.root].find(key.path)) return fail("reg export: " + args[0] + ": no such key");
    }
    bool written = regtext::exportText(reg, args.empty() ? -1 : key.root, key.path, format, [](std::string_view text) {
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    });
    return written && std::fflush(stdout) == 0 ? 0 : fail("reg export: cannot write the output");
}

// Applies a .reg file to the device's registry: every root it can load, then
// stored as one change.
int regImport(const std::vector<std::string> &args) {
    if (args.size() != 1) return fail("reg import: needs REGFILE (a host file)", 2);
    std::ifstream in(args[0], std::ios::binary);
    std::error_code ec;
    if (!in || host::fs::is_directory(args[0], ec)) return fail("reg import: cannot read " + args[0], 2);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return fail("reg import: cannot read " + args[0], 2);
    Registry reg;
    std::string why;
    if (loadRegistry(reg, kAllRoots, &why) != ERROR_SUCCESS)
        return fail("reg import: the registry cannot be read: " + why + " (cedevice reboot mends it)");
    if (!regtext::readRegedit(bytes, reg, why)) return fail("reg import: " + args[0] + ": " + why);
    unsigned mask = 0;
    for (int r = 0; r < kRootCount; ++r)
        if (reg.loaded[r]) mask |= rootBit(r);
    if (storeRegistry(reg, mask, &why) != ERROR_SUCCESS) return fail("reg import: " + why);
    return 0;
}

}  // namespace

int cedeviceReg(const std::vector<std::string> &args) {
    if (args.empty()) return fail("reg: needs query, set, delete, export or import", 2);
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "query") return regQuery(rest);
    if (args[0] == "set") return regSet(rest);
    if (args[0] == "delete") return regDelete(rest);
    if (args[0] == "export") return regExport(rest);
    if (args[0] == "import") return regImport(rest);
    return fail("reg: unknown verb '" + args[0] + "' (query, set, delete, export, import)", 2);
}

int cedeviceReboot(const std::vector<std::string> &args) {
    if (!args.empty()) return fail("reboot: takes no argument", 2);
    std::string record = warmBoot();
    std::printf("warm boot %s: %s\n", host::stateGet("boots", "?").c_str(), record.c_str());
    return 0;
}

std::vector<std::string> cedeviceRegStatus() {
    std::vector<std::string> lines;
    lines.push_back("boots: " + host::stateGet("boots", "0"));
    std::error_code ec;
    if (isHiveDevice()) {
        lines.push_back(userLoggedOn() ? "user: default (logged on)" : "user: logged off");
        if (host::fs::exists(keptHivePath(), ec))
            lines.push_back("next boot: system hive kept by RegReplaceKey (" +
                            std::to_string(host::fs::file_size(keptHivePath(), ec)) + " bytes)");
    } else {
        lines.push_back("user: none (a ram registry has no user profiles)");
        if (host::fs::exists(pendingRestorePath(), ec))
            lines.push_back("next boot: Restore.fdf (" + std::to_string(host::fs::file_size(pendingRestorePath(), ec)) +
                            " bytes)");
    }
    lines.push_back("last boot: " + host::stateGet("lastBoot", "none since the device was made"));
    return lines;
}
