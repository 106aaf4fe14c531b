// UTF-8 at the host's edges: exactly the well-formed forms are accepted.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace {

// The UTF-8 form of every code point that has one (surrogates have none).
const std::unordered_set<std::string> &canonicalForms() {
    static const std::unordered_set<std::string> all = [] {
        std::unordered_set<std::string> s;
        s.reserve(0x110000);
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) continue;
            std::string form;
            host::appendUtf8(form, c);
            s.insert(form);
        }
        return s;
    }();
    return all;
}

// True when bytes is a sequence of canonical forms: the reference the
// decoder is held against.
bool wellFormed(const std::string &bytes) {
    if (bytes.empty()) return true;
    for (size_t n = 1; n <= 4 && n <= bytes.size(); ++n)
        if (canonicalForms().count(bytes.substr(0, n)) && wellFormed(bytes.substr(n))) return true;
    return false;
}

void expectDecodes(const std::string &bytes) {
    std::u16string out;
    bool ok = host::fromUtf8Strict(bytes, out);
    ASSERT_EQ(ok, wellFormed(bytes)) << ts::hex(bytes);
    if (ok) {
        ASSERT_EQ(host::toUtf8(out), bytes) << ts::hex(bytes);
        ASSERT_EQ(host::fromUtf8(bytes), out);
    } else {
        ASSERT_TRUE(out.empty());
        ASSERT_NE(host::fromUtf8(bytes).find(u'\xFFFD'), std::u16string::npos) << ts::hex(bytes);
    }
}

TEST(Utf8, AcceptsExactlyTheWellFormedSequences) {
    std::string b(1, '\0');
    for (int x = 0; x < 256; ++x) {
        b[0] = static_cast<char>(x);
        expectDecodes(b);
    }
    b.resize(2);
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 256; ++y) {
            b[0] = static_cast<char>(x), b[1] = static_cast<char>(y);
            expectDecodes(b);
        }
    // Three-byte leads with every following pair; four-byte leads with every
    // second byte (the one that tells overlong, surrogate and too large).
    b.resize(3);
    for (int x = 0xE0; x < 0x100; x += 1)
        for (int y = 0x70; y < 0xD0; ++y)
            for (int z = 0x70; z < 0xD0; z += 3) {
                b[0] = static_cast<char>(x), b[1] = static_cast<char>(y), b[2] = static_cast<char>(z);
                expectDecodes(b);
            }
    b.resize(4);
    for (int x = 0xF0; x < 0x100; ++x)
        for (int y = 0; y < 256; ++y)
            for (int w : {0x80, 0xBF, 0x41}) {
                b[0] = static_cast<char>(x), b[1] = static_cast<char>(y), b[2] = static_cast<char>(0x80),
                b[3] = static_cast<char>(w);
                expectDecodes(b);
            }
}

TEST(Utf8, RefusalNamesTheFirstBadByte) {
    struct Case {
        const char *bytes;
        size_t badAt;
    };
    const Case cases[] = {
        {"\\My\xC0\xAF", 3},              // overlong '/'
        {"ab\xE0\x80\xAF", 2},            // overlong, three bytes
        {"\xF0\x8F\xBF\xBF", 0},          // U+FFFF in four bytes
        {"x\xED\xA0\x80", 1},             // the surrogate D800
        {"\xC3\xA9\xF4\x90\x80\x80", 2},  // above U+10FFFF
        {"name\xFF", 4},
        {"a\xC3", 1},  // cut short
    };
    for (const Case &c : cases) {
        std::u16string out = u"x";
        size_t badAt = 99;
        EXPECT_FALSE(host::fromUtf8Strict(c.bytes, out, &badAt)) << c.bytes;
        EXPECT_EQ(badAt, c.badAt) << c.bytes;
        EXPECT_EQ(out, u"");
    }
}

TEST(VersionResource, GivesTheTextsOfItsStringTable) {
    EXPECT_EQ(host::versionValue(u"FileVersion"), u"3.2");
    EXPECT_EQ(host::versionValue(u"FileDescription"), u"Registry backup and restore");
    EXPECT_EQ(host::versionValue(u"Translation"), u"");  // binary, under VarFileInfo
    EXPECT_EQ(host::versionValue(u"NoSuchValue"), u"");
}

}  // namespace
