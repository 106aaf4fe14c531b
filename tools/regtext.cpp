// regtext.cpp - `reg set`'s TYPE and DATA, and .reg text (REGEDIT4, or
// regedit's 5.00 in UTF-16LE or UTF-8) read and written (see regtext.h).
#include "tools/regtext.h"

#include "platform/host/host.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace host::reg;

namespace regtext {

namespace {

bool parseHexBytes(const std::string &text, std::string &out) {
    std::string digits;
    bool separated = text.find_first_of(", ") != std::string::npos;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ',' || text[i] == ' ') {
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) ++i;
        if (i == start) return false;
        std::string token = text.substr(start, i - start);
        if (separated) {
            if (token.size() > 2) return false;
            if (token.size() == 1) token = "0" + token;
        }
        digits += token;
    }
    if (digits.size() % 2 != 0) return false;
    out.clear();
    for (size_t k = 0; k < digits.size(); k += 2)
        out += static_cast<char>(std::strtoul(digits.substr(k, 2).c_str(), nullptr, 16));
    return true;
}

bool parseDword(const std::string &text, uint32_t &v) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = text.c_str() + (hex ? 2 : 0);
    if (!*digits || (hex && !std::isxdigit(static_cast<unsigned char>(*digits)))) return false;
    char *end = nullptr;
    unsigned long long n = std::strtoull(digits, &end, hex ? 16 : 10);
    if (*end || n > 0xFFFFFFFFull) return false;
    v = static_cast<uint32_t>(n);
    return true;
}

// ---- REGEDIT4 ---------------------------------------------------------------

// A quoted string from at (which holds the opening quote): \\ and \" stand
// for themselves. Moves at past the closing quote. False when it is missing.
bool readQuoted(std::string_view line, size_t &at, std::string &out) {
    out.clear();
    for (++at; at < line.size(); ++at) {
        char c = line[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\' && at + 1 < line.size()) c = line[++at];
        out += c;
    }
    return false;
}

// hex data: bytes of two hex digits separated by commas, or nothing.
bool readHexList(std::string_view text, std::string &out) {
    out.clear();
    if (text.empty()) return true;
    // Two digits a byte, a comma between bytes: (size + 1) / 3 bytes. A
    // digit's value comes from a table (-1: no hex digit).
    out.reserve((text.size() + 1) / 3);
    static const auto kDigit = [] {
        std::array<signed char, 256> t{};
        t.fill(-1);
        for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<signed char>(c);
        for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<signed char>(10 + c);
        return t;
    }();
    auto digit = [](char c) { return kDigit[static_cast<unsigned char>(c)]; };
    size_t at = 0;
    for (;;) {
        if (text.size() - at < 2) return false;
        int high = digit(text[at]), low = digit(text[at + 1]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high << 4 | low);
        at += 2;
        if (at == text.size()) return true;
        if (text[at++] != ',') return false;
    }
}

bool fail(std::string &error, size_t line, const std::string &why) {
    error = "line " + std::to_string(line) + ": " + why;
    return false;
}

}  // namespace

bool parseValue(const std::string &name, const std::string &typeArg, const std::string &data, Value &v,
                std::string &error) {
    v.name = host::fromUtf8(name);
    std::string type = typeArg;  // type names are accepted in any case
    for (char &c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        v.type = type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        v.data = u16Bytes(host::fromUtf8(data) + u'\0');
    } else if (type == "REG_MULTI_SZ") {
        v.type = REG_MULTI_SZ;
        std::u16string list;
        for (size_t at = 0; !data.empty();) {
            size_t sep = data.find("\\0", at);
            list += host::fromUtf8(data.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
            list += u'\0';
            if (sep == std::string::npos) break;
            at = sep + 2;
        }
        list += u'\0';  // the list's terminator (alone for an empty list)
        v.data = u16Bytes(list);
    } else if (type == "REG_DWORD") {
        uint32_t n;
        if (!parseDword(data, n)) {
            error = "REG_DWORD data must be a number from 0 to 4294967295 (decimal or 0x hex): " + data;
            return false;
        }
        v.type = REG_DWORD;
        v.data.clear();
        putLe32(v.data, n);
    } else if (type == "REG_BINARY" || type == "REG_NONE") {
        v.type = type == "REG_BINARY" ? REG_BINARY : REG_NONE;
        if (!parseHexBytes(data, v.data)) {
            error = type + " data must be hex bytes (0a0b, 0a,0b or \"0a 0b\"): " + data;
            return false;
        }
    } else {
        error = "unknown type '" + typeArg + "' (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY, REG_NONE)";
        return false;
    }
    return true;
}

namespace {

// UTF-16LE bytes made UTF-8, appended to out. Returns true; false when they
// hold a lone surrogate or end inside a character, with the offset where it
// begins in badAt. The conversions are the program's own, not iconv's: a C
// library may lack the conversion modules (an ARM Linux root without its
// gconv folder), and text would then be refused as if it were bad.
bool utf16leToUtf8(std::string_view in, std::string &out, size_t &badAt) {
    auto unit = [&](size_t at) {
        return static_cast<char32_t>(static_cast<unsigned char>(in[at]) | static_cast<unsigned char>(in[at + 1]) << 8);
    };
    out.reserve(out.size() + in.size() / 2);
    for (size_t i = 0; i < in.size();) {
        char32_t c = i + 2 <= in.size() ? unit(i) : 0xDC00;  // a byte alone: cut inside
        size_t n = 2;
        if (c >= 0xD800 && c <= 0xDBFF && i + 4 <= in.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            n = 4;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            badAt = i;
            return false;
        }
        host::appendUtf8(out, c);
        i += n;
    }
    return true;
}

// Well-formed UTF-8 made UTF-16LE bytes, appended to out; false when it is not.
bool utf8ToUtf16le(std::string_view in, std::string &out) {
    std::u16string units;
    if (!host::fromUtf8Strict(in, units)) return false;
    out.reserve(out.size() + 2 * units.size());
    for (char16_t u : units) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return true;
}

// The line (from 1) that holds byte offset at of text in an encoding with
// code units of unit bytes (1 or 2), little-endian.
size_t lineAt(std::string_view text, size_t at, size_t unit) {
    size_t line = 1;
    for (size_t i = 0; i + unit <= at; i += unit)
        if (text[i] == '\n' && (unit == 1 || text[i + 1] == 0)) ++line;
    return line;
}

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";

}  // namespace

bool decodeRegFile(std::string_view bytes, std::string &storage, std::string_view &text, std::string &error) {
    storage.clear();
    size_t bad = 0;
    if (bytes.substr(0, 2) == "\xFF\xFE") {
        // UTF-16LE, as regedit writes its files: made UTF-8 for the reader.
        bytes.remove_prefix(2);
        if (utf16leToUtf8(bytes, storage, bad)) {
            text = storage;
            return true;
        }
        return fail(error, lineAt(bytes, bad, 2),
                    "not valid UTF-16LE text (a lone surrogate, or cut inside a character)");
    }
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    // A byte that is not UTF-8 would become another name or another string.
    if (!host::utf8WellFormed(bytes, &bad)) {
        char detail[48];
        std::snprintf(detail, sizeof detail, " (byte 0x%02X)",
                      bad < bytes.size() ? static_cast<unsigned char>(bytes[bad]) : 0u);
        return fail(error, lineAt(bytes, bad, 1), std::string("not valid UTF-8") + (bad < bytes.size() ? detail : ""));
    }
    text = bytes;  // as it is: no copy of a large text
    return true;
}

bool readRegedit(std::string_view bytes, Registry &reg, std::string &error) {
    std::string decoded;
    std::string_view text;
    if (!decodeRegFile(bytes, decoded, text, error)) return false;
    size_t lineNo = 0;
    size_t at = 0;
    // The next physical line, without its line end ("\n" or "\r\n").
    auto nextLine = [&](std::string_view &line) {
        if (at >= text.size()) return false;
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = end + 1;
        ++lineNo;
        return true;
    };
    std::string_view line;
    if (!nextLine(line) || (line != kHeader4 && line != kHeader5))
        return fail(error, 1,
                    "not a .reg text (its first line is neither REGEDIT4 nor \"" + std::string(kHeader5) + "\")");

    int root = -1;
    Key *key = nullptr;
    bool deleted = false;  // the last key line deleted its key
    while (nextLine(line)) {
        size_t first = lineNo;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            if (line.back() != ']') return fail(error, first, "a key line must end with ]");
            std::u16string path;
            std::string_view full = line.substr(1, line.size() - 2);
            bool remove = !full.empty() && full.front() == '-';
            if (remove) full.remove_prefix(1);
            if (!parseFullKey(host::fromUtf8(full), root, path))
                return fail(error, first, "not a registry key: " + std::string(full));
            if (!reg.loaded[root])
                return fail(error, first, std::string(rootName(root)) + " is not loaded: the user is logged off");
            key = nullptr;
            deleted = remove;
            if (!remove) {
                key = &reg.roots[root].create(path);
            } else if (path.empty()) {
                return fail(error, first, "a root key cannot be deleted: " + std::string(full));
            } else {
                reg.roots[root].remove(path);  // a key that is not there: nothing to do, as regedit does
            }
            continue;
        }
        if (line.front() != '@' && line.front() != '"')
            return fail(error, first, "neither a key line, a value line nor a comment");
        if (!key)
            return fail(error, first,
                        deleted ? "a value under a deleted key ([-...])" : "a value before the first key");
        Value v;
        size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else if (!readQuoted(line, pos, name)) {
            return fail(error, first, "the value name's closing quote is missing");
        }
        v.name = host::fromUtf8(name);
        if (pos >= line.size() || line[pos] != '=') return fail(error, first, "= is missing after the value name");
        std::string_view data = line.substr(pos + 1);
        if (data == "-") {
            reg.roots[root].removeValue(key->path, v.name);  // one that is not there: nothing to do
            continue;
        }
        if (!data.empty() && data.front() == '"') {
            size_t q = 0;
            std::string s;
            if (!readQuoted(data, q, s)) return fail(error, first, "the string's closing quote is missing");
            if (q != data.size()) return fail(error, first, "text after the string's closing quote");
            v.type = REG_SZ;
            v.data = u16Bytes(host::fromUtf8(s) + u'\0');
        } else if (data.substr(0, 6) == "dword:") {
            std::string digits(data.substr(6));
            uint32_t n;
            if (digits.empty() || digits.size() > 8 || !parseDword("0x" + digits, n))
                return fail(error, first, "dword: needs up to 8 hex digits");
            v.type = REG_DWORD;
            putLe32(v.data, n);
        } else if (data.substr(0, 3) == "hex") {
            size_t colon = data.find(':');
            if (colon == std::string_view::npos) return fail(error, first, "hex data needs hex: or hex(N):");
            std::string_view kind = data.substr(3, colon - 3);
            if (kind.empty()) {
                v.type = REG_BINARY;
            } else {
                uint32_t type;
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10 ||
                    !parseDword("0x" + std::string(kind.substr(1, kind.size() - 2)), type))
                    return fail(error, first, "hex(N): needs a hex type number");
                v.type = type;
            }
            // Long data goes on over further lines, each but the last
            // ending with a backslash.
            std::string bytes(data.substr(colon + 1));
            while (!bytes.empty() && bytes.back() == '\\') {
                bytes.pop_back();
                std::string_view more;
                if (!nextLine(more)) return fail(error, first, "the data goes on past the end of the text");
                while (!more.empty() && (more.front() == ' ' || more.front() == '\t')) more.remove_prefix(1);
                bytes += more;
            }
            if (!readHexList(bytes, v.data)) return fail(error, first, "hex data must be bytes like 0a,1b,ff");
        } else {
            return fail(error, first, "the data must be \"text\", dword:, hex:, hex(N): or - (delete)");
        }
        std::string why;
        if (checkValue(v, &why) != ERROR_SUCCESS) return fail(error, first, why);
        reg.roots[root].setValue(*key, std::move(v));
    }
    return true;
}

bool parseFormat(const std::string &arg, Format &format) {
    if (arg == "4" || arg == "regedit4") {
        format = Format::Regedit4;
        return true;
    }
    if (arg == "5" || arg == "5.00") {
        format = Format::Version5;
        return true;
    }
    return false;
}

bool exportText(const Registry &reg, int root, std::u16string_view path, Format format,
                const std::function<bool(std::string_view)> &write) {
    bool ok = true, first = true;
    std::string piece, encoded;
    exportRegedit(reg, root, path, [&](const std::string &text) {
        if (!ok) return;
        if (format == Format::Regedit4) {
            ok = write(text);
            return;
        }
        // regedit's own: a byte order mark, its header, CRLF line ends,
        // UTF-16LE. Each piece the export gives holds whole lines.
        piece.clear();
        std::string_view rest = text;
        if (first) {
            rest.remove_prefix(std::strlen(kHeader4));
            piece = kHeader5;
        }
        for (char c : rest) {
            if (c == '\n') piece += '\r';
            piece += c;
        }
        encoded = first ? std::string("\xFF\xFE", 2) : std::string();
        first = false;
        ok = utf8ToUtf16le(piece, encoded) && write(encoded);
    });
    return ok;
}

}  // namespace regtext
