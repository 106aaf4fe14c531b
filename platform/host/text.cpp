// text.cpp - UTF-16 <-> UTF-8 at the host's edges, and the device's way of
// comparing names (without regard to case, '*' and '?' wildcards).
#include "platform/host/host.h"

namespace host {

void appendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void appendUtf8(std::string &out, std::u16string_view s) {
    out.reserve(out.size() + s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        appendUtf8(out, c);
    }
}

std::string toUtf8(std::u16string_view s) {
    std::string out;
    appendUtf8(out, s);
    return out;
}

std::string toUtf8(const WCHAR *s) { return s ? toUtf8(std::u16string_view(s)) : std::string(); }

// Decodes the sequence at s[i]: returns its length and the code point in c,
// or 0 when it is not well-formed UTF-8: a stray continuation byte, a lead
// byte that no UTF-8 form has (C0, C1, F5-FF), a missing continuation, an
// overlong form, an encoded surrogate, a code point above U+10FFFF.
static size_t decodeOne(std::string_view s, size_t i, char32_t &c) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        c = b;
        return 1;
    }
    size_t n;
    char32_t lo;  // the smallest code point of that length
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
        lo = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
        lo = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
        lo = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        c = (c << 6) | (cc & 0x3F);
    }
    if (c < lo || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return n;
}

static void appendUtf16(std::u16string &out, char32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

std::u16string fromUtf8(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        char32_t c;
        size_t n = decodeOne(s, i, c);
        if (n == 0) {
            out += u'\xFFFD';
            ++i;
        } else {
            appendUtf16(out, c);
            i += n;
        }
    }
    return out;
}

bool fromUtf8Strict(std::string_view s, std::u16string &out, size_t *badAt) {
    out.clear();
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        char32_t c;
        size_t n = decodeOne(s, i, c);
        if (n == 0) {
            if (badAt) *badAt = i;
            out.clear();
            return false;
        }
        appendUtf16(out, c);
        i += n;
    }
    return true;
}

bool utf8WellFormed(std::string_view s, size_t *badAt) {
    for (size_t i = 0; i < s.size();) {
        char32_t c;
        size_t n = decodeOne(s, i, c);
        if (n == 0) {
            if (badAt) *badAt = i;
            return false;
        }
        i += n;
    }
    return true;
}

static char16_t foldCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    // Latin-1 small letters, except the division sign and y with diaeresis.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    return c;
}

bool namesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (foldCase(a[i]) != foldCase(b[i])) return false;
    return true;
}

bool foldedLess(std::u16string_view a, std::u16string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = foldCase(a[i]), y = foldCase(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

bool wildcardMatch(std::u16string_view pattern, std::u16string_view name) {
    // Iterative match with one backtrack point for the last '*'.
    size_t p = 0, n = 0, starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || foldCase(pattern[p]) == foldCase(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

}  // namespace host
