// registry_model.cpp - the registry in memory: keys and values of one root,
// key paths and root names, the limits on names and data, the sample
// registry of a new device, and the REGEDIT4 export.
#include "platform/host/registry_model.h"

#include "platform/host/host.h"

#include <algorithm>
#include <cstdio>

namespace host::reg {

namespace {

constexpr char16_t kSep = u'\\';
// In folded paths the separator becomes U+0001, which sorts below every
// character allowed in a key name, so that map order is tree order: a key,
// then its subkeys, then its next sibling ("A", "A\B", "A B").
constexpr char16_t kFoldedSep = u'\x01';

char16_t foldChar(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    return c;
}

const char *const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};
const char *const kRootShort[kRootCount] = {"HKCR", "HKCU", "HKLM"};

bool startsWith(const std::u16string &s, const std::u16string &prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

const char *rootName(int root) { return root >= 0 && root < kRootCount ? kRootNames[root] : ""; }

int rootOfHkey(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return ClassesRoot;
    if (key == HKEY_CURRENT_USER) return CurrentUser;
    if (key == HKEY_LOCAL_MACHINE) return LocalMachine;
    return -1;
}

const char *typeName(uint32_t type) {
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    default:
        return "";
    }
}

bool knownType(uint32_t type) { return *typeName(type) != '\0'; }

std::u16string fold(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t &c : out) c = c == kSep ? kFoldedSep : foldChar(c);
    return out;
}

bool normalizeKeyPath(std::u16string_view in, std::u16string &out) {
    while (!in.empty() && in.front() == kSep) in.remove_prefix(1);
    while (!in.empty() && in.back() == kSep) in.remove_suffix(1);
    if (in.size() > kMaxNameChars) return false;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] < 0x20) return false;
        if (in[i] == kSep && i + 1 < in.size() && in[i + 1] == kSep) return false;  // an empty component
    }
    out.assign(in);
    return true;
}

bool parseFullKey(std::u16string_view full, int &root, std::u16string &path) {
    size_t sep = full.find(kSep);
    std::u16string_view head = full.substr(0, sep);
    std::u16string_view rest = sep == std::u16string_view::npos ? u"" : full.substr(sep + 1);
    for (int r = 0; r < kRootCount; ++r) {
        if (namesEqual(head, fromUtf8(kRootNames[r])) || namesEqual(head, fromUtf8(kRootShort[r]))) {
            root = r;
            return normalizeKeyPath(rest, path);
        }
    }
    return false;
}

std::string fullKeyName(int root, std::u16string_view path) {
    std::string out = rootName(root);
    if (!path.empty()) out += "\\" + toUtf8(path);
    return out;
}

DWORD checkValue(const Value &value, std::string *why) {
    auto refuse = [&](const char *reason) {
        if (why) *why = reason;
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    };
    if (value.name.size() > kMaxNameChars) return refuse("value name longer than 254 characters");
    if (value.name.find(u'\0') != std::u16string::npos) return refuse("value name holds a NUL");
    if (value.data.size() > kMaxDataBytes) return refuse("value data larger than 65535 bytes");
    if (!knownType(value.type)) return refuse("unknown value type");
    return ERROR_SUCCESS;
}

const Value *Key::findValue(std::u16string_view name) const {
    std::u16string want = fold(name);
    for (const Value &v : values)
        if (fold(v.name) == want) return &v;
    return nullptr;
}

// ---- KeyTree ------------------------------------------------------------------

KeyTree::KeyTree() { keys_[u""] = Key{}; }

void KeyTree::clear() {
    keys_.clear();
    keys_[u""] = Key{};
}

const Key *KeyTree::find(std::u16string_view path) const {
    auto it = keys_.find(fold(path));
    return it == keys_.end() ? nullptr : &it->second;
}

Key &KeyTree::create(std::u16string_view path) {
    // A new key is spelled as its existing parent is, plus its own name as given.
    Key *key = &keys_[u""];
    size_t at = 0;
    while (at < path.size()) {
        size_t end = path.find(kSep, at);
        if (end == std::u16string_view::npos) end = path.size();
        auto [it, added] = keys_.try_emplace(fold(path.substr(0, end)));
        if (added) {
            it->second.path = key->path;
            if (!key->path.empty()) it->second.path += kSep;
            it->second.path.append(path.substr(at, end - at));
        }
        key = &it->second;
        at = end + 1;
    }
    return *key;
}

bool KeyTree::remove(std::u16string_view path) {
    std::u16string folded = fold(path);
    auto it = keys_.find(folded);
    if (it == keys_.end()) return false;
    if (folded.empty()) {
        clear();
        return true;
    }
    std::u16string below = folded + kFoldedSep;
    it = keys_.erase(it);
    while (it != keys_.end() && startsWith(it->first, below)) it = keys_.erase(it);
    return true;
}

void KeyTree::setValue(Key &key, Value value) {
    std::u16string want = fold(value.name);
    for (Value &v : key.values) {
        if (fold(v.name) == want) {
            v.type = value.type;
            v.data = std::move(value.data);
            return;
        }
    }
    key.values.push_back(std::move(value));
}

bool KeyTree::removeValue(std::u16string_view path, std::u16string_view name) {
    auto it = keys_.find(fold(path));
    if (it == keys_.end()) return false;
    std::u16string want = fold(name);
    auto &values = it->second.values;
    for (auto v = values.begin(); v != values.end(); ++v) {
        if (fold(v->name) == want) {
            values.erase(v);
            return true;
        }
    }
    return false;
}

std::vector<const Key *> KeyTree::subkeys(std::u16string_view path) const {
    std::vector<const Key *> out;
    std::u16string folded = fold(path);
    std::u16string below = folded.empty() ? folded : folded + kFoldedSep;
    for (auto it = keys_.upper_bound(folded); it != keys_.end() && startsWith(it->first, below); ++it)
        if (it->first.find(kFoldedSep, below.size()) == std::u16string::npos) out.push_back(&it->second);
    return out;
}

std::vector<const Key *> KeyTree::all() const {
    std::vector<const Key *> out;
    out.reserve(keys_.size());
    for (const auto &entry : keys_) out.push_back(&entry.second);
    return out;
}

bool KeyTree::operator==(const KeyTree &other) const {
    if (keys_.size() != other.keys_.size()) return false;
    for (auto a = keys_.begin(), b = other.keys_.begin(); a != keys_.end(); ++a, ++b) {
        if (a->first != b->first || a->second.path != b->second.path) return false;
        const auto &va = a->second.values, &vb = b->second.values;
        if (va.size() != vb.size()) return false;
        for (size_t i = 0; i < va.size(); ++i)
            if (va[i].name != vb[i].name || va[i].type != vb[i].type || va[i].data != vb[i].data) return false;
    }
    return true;
}

// ---- Byte helpers ----------------------------------------------------------------

void putLe16(std::string &out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void putLe32(std::string &out, uint32_t v) {
    putLe16(out, static_cast<uint16_t>(v & 0xFFFF));
    putLe16(out, static_cast<uint16_t>(v >> 16));
}

uint16_t getLe16(std::string_view in, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(in[at]) | static_cast<uint8_t>(in[at + 1]) << 8);
}

uint32_t getLe32(std::string_view in, size_t at) {
    return getLe16(in, at) | static_cast<uint32_t>(getLe16(in, at + 2)) << 16;
}

std::string u16Bytes(std::u16string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (char16_t c : s) putLe16(out, c);
    return out;
}

std::u16string bytesU16(std::string_view bytes) {
    std::u16string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) out += static_cast<char16_t>(getLe16(bytes, i));
    return out;
}

// ---- Sample registry ---------------------------------------------------------------

namespace {

Value sz(std::u16string name, std::u16string text, uint32_t type = REG_SZ) {
    text += u'\0';
    return Value{std::move(name), type, u16Bytes(text)};
}

Value multiSz(std::u16string name, std::initializer_list<std::u16string> items) {
    std::u16string text;
    for (const auto &item : items) text += item + u'\0';
    text += u'\0';
    return Value{std::move(name), REG_MULTI_SZ, u16Bytes(text)};
}

Value dword(std::u16string name, uint32_t v) {
    std::string data;
    putLe32(data, v);
    return Value{std::move(name), REG_DWORD, data};
}

Value bytes(std::u16string name, std::string data, uint32_t type = REG_BINARY) {
    return Value{std::move(name), type, std::move(data)};
}

void put(Registry &reg, int root, std::u16string_view path, std::vector<Value> values) {
    Key &key = reg.roots[root].create(path);
    for (Value &v : values) reg.roots[root].setValue(key, std::move(v));
}

// A readable name of exactly n characters: "LongName-0123456789012...".
std::u16string longName(const std::u16string &head, size_t n) {
    std::u16string out = head;
    for (size_t i = 0; out.size() < n; ++i) out += static_cast<char16_t>(u'0' + i % 10);
    return out;
}

}  // namespace

Registry sampleRegistry() {
    Registry reg;
    put(reg, ClassesRoot, u".txt", {sz(u"", u"txtfile"), sz(u"Content Type", u"text/plain")});
    put(reg, ClassesRoot, u"txtfile", {sz(u"", u"Text Document")});
    put(reg, ClassesRoot, u"txtfile\\DefaultIcon", {sz(u"", u"%Windows%\\pword.exe,-1", REG_EXPAND_SZ)});
    put(reg, ClassesRoot, u"txtfile\\Shell\\Open\\Command", {sz(u"", u"\"\\Windows\\pword.exe\" \"%1\"")});

    put(reg, CurrentUser, u"ControlPanel\\Volume",
        {dword(u"Volume", 0xFFFFFFFFu), dword(u"Key", 2), dword(u"Mute", 0)});
    put(reg, CurrentUser, u"ControlPanel\\Desktop", {sz(u"wallpaper", u"\\Windows\\wallpaper.bmp")});
    put(reg, CurrentUser, u"Software\\Pelnor\\Shell",
        {sz(u"InstallDir", u"\\Program Files\\Pelnor Shell"), sz(u"Langue", u"Fran\u00e7ais"),
         multiSz(u"R\u00e9cents", {u"\\My Documents\\Notes.txt", u"\\My Documents\\\u00c9t\u00e9 2006.txt"}),
         bytes(u"Flags", std::string("\x00\x01", 2), REG_NONE),
         bytes(u"Theme", std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8))});
    put(reg, CurrentUser, u"Software\\Pelnor\\Shell\\Empty", {});

    put(reg, LocalMachine, u"Drivers\\BuiltIn\\Serial",
        {sz(u"Dll", u"serial.dll"), sz(u"Prefix", u"COM"), dword(u"Index", 1), dword(u"Order", 0)});
    put(reg, LocalMachine, u"Ident",
        {sz(u"Name", u"CorvaneDev"), sz(u"Desc", u"Simulated Windows CE device"), sz(u"OrigName", u"CorvaneDev")});
    put(reg, LocalMachine, u"Init",
        {sz(u"Launch10", u"shell.exe"), sz(u"Launch20", u"device.exe"),
         bytes(u"Depend20", std::string("\x0a\x00", 2))});
    put(reg, LocalMachine, u"Software\\Pelnor\\Shell",
        {sz(u"Version", u"5.0"), sz(u"Path", u"%ProgramFiles%\\Pelnor Shell", REG_EXPAND_SZ),
         multiSz(u"Modules", {u"core.dll", u"ui.dll", u"net.dll"}), dword(u"Build", 0x051A),
         bytes(u"Marker", std::string(), REG_NONE)});
    std::string calibration(5000, '\0');
    for (size_t i = 0; i < calibration.size(); ++i) calibration[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    put(reg, LocalMachine, u"System\\Calibration", {sz(u"", u"touch"), bytes(u"Data", calibration)});
    put(reg, LocalMachine, u"System\\Empty", {});
    // The longest key path and the longest value name the device keeps.
    std::u16string longKey = u"Software\\LongNames\\";
    longKey = longName(longKey + u"Key-", kMaxNameChars);
    put(reg, LocalMachine, longKey, {sz(longName(u"Value-", kMaxNameChars), u"long")});
    return reg;
}

// ---- REGEDIT4 export -------------------------------------------------------------------

namespace {

std::string regQuoted(std::u16string_view s) {
    std::string out = "\"";
    for (char c : toUtf8(s)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that can be written as "text": whole characters ending in one
// NUL, no other NUL or control character, no lone surrogate.
bool plainString(const std::string &data, std::u16string &text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    text = bytesU16(data);
    if (text.back() != u'\0') return false;
    text.pop_back();
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c < 0x20) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// hex bytes, wrapped as regedit wraps them: lines of at most 80 columns
// continued with a backslash and two blanks.
void hexBytes(std::string &line, const std::string &data, std::string &out) {
    static const char digits[] = "0123456789abcdef";
    // The line is made in a buffer and appended a piece at a time: a value
    // may hold thousands of bytes.
    char buf[96];
    size_t cb = 0, column = line.size();
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t b = static_cast<uint8_t>(data[i]);
        buf[cb++] = digits[b >> 4];
        buf[cb++] = digits[b & 15];
        column += 2;
        if (i + 1 < data.size()) {
            buf[cb++] = ',';
            if (++column >= 77) {
                line.append(buf, cb);
                out += line;
                out += "\\\n";
                line = "  ";
                cb = 0;
                column = line.size();
            }
        }
        if (cb > sizeof buf - 4) {
            line.append(buf, cb);
            cb = 0;
        }
    }
    line.append(buf, cb);
}

void exportValue(const Value &v, std::string &out) {
    std::string line = v.name.empty() ? "@=" : regQuoted(v.name) + "=";
    std::u16string text;
    if (v.type == REG_SZ && plainString(v.data, text)) {
        line += regQuoted(text);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(getLe32(v.data, 0)));
        line += buf;
    } else {
        if (v.type == REG_BINARY) {
            line += "hex:";
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
            line += buf;
        }
        hexBytes(line, v.data, out);
    }
    out += line + "\n";
}

void exportKey(int root, const Key &key, std::string &out) {
    out += "[" + fullKeyName(root, key.path) + "]\n";
    std::vector<const Value *> values;
    for (const Value &v : key.values) values.push_back(&v);
    std::sort(values.begin(), values.end(),
              [](const Value *a, const Value *b) { return fold(a->name) < fold(b->name); });
    for (const Value *v : values) exportValue(*v, out);
    out += "\n";
}

}  // namespace

std::string exportValueText(const Value &value) {
    std::string out;
    exportValue(value, out);
    return out;
}

std::string exportRegedit(const Registry &reg, int root, std::u16string_view path) {
    std::string out;
    exportRegedit(reg, root, path, [&](const std::string &text) { out += text; });
    return out;
}

void exportRegedit(const Registry &reg, int root, std::u16string_view path,
                   const std::function<void(const std::string &)> &write) {
    std::string out = "REGEDIT4\n\n";
    for (int r = 0; r < kRootCount; ++r) {
        if (root >= 0 && r != root) continue;
        if (!reg.loaded[r]) {
            out += std::string("; ") + rootName(r) + " is not loaded: the user is logged off\n\n";
            continue;
        }
        std::u16string folded = fold(path);
        std::u16string below = folded + kFoldedSep;
        for (const Key *key : reg.roots[r].all()) {
            std::u16string f = fold(key->path);
            if (root >= 0 && !folded.empty() && f != folded && !startsWith(f, below)) continue;
            exportKey(r, *key, out);
            write(out);
            out.clear();
        }
    }
    write(out);
}

}  // namespace host::reg
