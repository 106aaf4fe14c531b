// resources_test.cpp - the program's resources as the host carries them:
// the dialog template field by field, the icons, the version resource, and
// proof that they are what the resource compiler makes of corvane.rc.
#include "tests/prompt/prompt_support.h"

#include "resources/resdata.h"
#include "resources/resource.h"

#include <unistd.h>

#include <map>

namespace {

std::string resourceBytes(LPCWSTR type, WORD id) {
    HRSRC found = FindResourceW(host::programInstance(), MAKEINTRESOURCEW(id), type);
    if (!found) return "";
    const char *data = static_cast<const char *>(LoadResource(host::programInstance(), found));
    for (const host::Resource &r : host::programResources())
        if (reinterpret_cast<const char *>(r.data) == data) return std::string(data, r.cbData);
    return "";
}

const std::u16string kButtonText = u"Red\u00e9marrer le GPS";
const std::u16string kStaticText =
    u"L'Installation de Pelnor Shell est termin\u00e9e, Appuyer sur Red\u00e9marrer le GPS.";

struct Field {
    const char *name;
    size_t offset;
    std::string bytes;
};

// The template, field by field, as the standard dialog template format lays
// it out: header, menu, class, caption, font, then each control DWORD-aligned.
std::vector<Field> templateFields() {
    using pt::bytes;
    using pt::utf16z;
    std::vector<Field> f = {
        {"style", 0, bytes({0xc0, 0x08, 0xc8, 0x90})},
        {"extended style", 4, bytes({0, 0, 0, 0})},
        {"number of controls", 8, bytes({2, 0})},
        {"x", 10, bytes({35, 0})},
        {"y", 12, bytes({0, 0})},
        {"width", 14, bytes({149, 0})},
        {"height", 16, bytes({62, 0})},
        {"menu: none", 18, bytes({0, 0})},
        {"class", 20, utf16z(u"regRestClass")},
        {"caption", 46, utf16z(u"Pelnor Shell Installation")},
        {"font size", 98, bytes({10, 0})},
        {"font face", 100, utf16z(u"Arial")},
        {"button style", 112, bytes({0x00, 0x00, 0x01, 0x50})},
        {"button extended style", 116, bytes({0, 0, 0, 0})},
        {"button x, y, width, height", 120, bytes({5, 0, 44, 0, 140, 0, 13, 0})},
        {"button id", 128, bytes({1, 0})},
        {"button class: 0x0080", 130, bytes({0xff, 0xff, 0x80, 0x00})},
        {"button text", 134, utf16z(kButtonText)},
        {"button creation data: none", 170, bytes({0, 0})},
        {"static style", 172, bytes({0x00, 0x00, 0x02, 0x50})},
        {"static extended style", 176, bytes({0, 0, 0, 0})},
        {"static x, y, width, height", 180, bytes({6, 0, 4, 0, 139, 0, 36, 0})},
        {"static id", 188, bytes({0, 0})},
        {"static class: 0x0082", 190, bytes({0xff, 0xff, 0x82, 0x00})},
        {"static text", 194, utf16z(kStaticText)},
        {"static creation data: none", 346, bytes({0, 0})},
    };
    return f;
}

TEST(Resources, DialogTemplateFieldByField) {
    std::string t = resourceBytes(RT_DIALOG, IDD_RESTART);
    ASSERT_EQ(t.size(), 348u);
    size_t expectedOffset = 0;
    for (const Field &f : templateFields()) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.offset, expectedOffset) << "fields leave a gap or overlap";
        ASSERT_LE(f.offset + f.bytes.size(), t.size());
        EXPECT_EQ(ts::hex(t.substr(f.offset, f.bytes.size())), ts::hex(f.bytes));
        expectedOffset = f.offset + f.bytes.size();
    }
    EXPECT_EQ(expectedOffset, t.size());
}

TEST(Resources, DialogTemplateReadsBack) {
    std::string t = resourceBytes(RT_DIALOG, IDD_RESTART);
    host::DialogTemplate d;
    ASSERT_EQ(host::parseDialogTemplate(t.data(), t.size(), d), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(d.style, static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME |
                                          DS_SETFONT));
    EXPECT_EQ(d.windowClass.text, u"regRestClass");
    EXPECT_EQ(d.title, u"Pelnor Shell Installation");
    EXPECT_EQ(d.face, u"Arial");
    EXPECT_EQ(d.cbTemplate, t.size());
    ASSERT_EQ(d.items.size(), 2u);
    EXPECT_EQ(d.items[0].style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON));
    EXPECT_EQ(d.items[0].id, IDOK);
    EXPECT_EQ(d.items[0].title.text, kButtonText);
    EXPECT_EQ(d.items[1].style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT));
    EXPECT_EQ(d.items[1].title.text, kStaticText);
}

TEST(Resources, ExactlyTheseResourcesAllGerman) {
    std::vector<std::string> seen;
    for (const host::Resource &r : host::programResources()) {
        ASSERT_FALSE(r.typeNamed);
        ASSERT_FALSE(r.nameNamed);
        seen.push_back(std::to_string(r.typeId) + "/" + std::to_string(r.nameId));
        EXPECT_EQ(r.language, 0x0407) << seen.back();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"3/1", "3/2", "5/1001", "14/8001", "16/1"}));
}

TEST(Resources, IconGroupHasTwoSixteenColourImages) {
    std::string g = resourceBytes(RT_GROUP_ICON, IDI_CORVANE);
    // reserved, type 1, count 2; then width, height, colours, reserved,
    // planes, bits per pixel, bytes, icon id for 32x32 and 16x16.
    EXPECT_EQ(ts::hex(g), ts::hex(pt::bytes({0,  0,  1,  0, 2, 0,                                //
                                             32, 32, 16, 0, 1, 0, 4, 0, 0xe8, 0x02, 0, 0, 1, 0,  //
                                             16, 16, 16, 0, 1, 0, 4, 0, 0x28, 0x01, 0, 0, 2, 0})));
    struct Image {
        WORD id;
        int size;
        size_t bytes;
    };
    for (Image im : {Image{1, 32, 744}, Image{2, 16, 296}}) {
        SCOPED_TRACE(im.id);
        std::string d = resourceBytes(RT_ICON, im.id);
        ASSERT_EQ(d.size(), im.bytes);
        // BITMAPINFOHEADER: size 40, width, height of colours and mask, 1
        // plane, 4 bits per pixel.
        EXPECT_EQ(ts::hex(d.substr(0, 16)),
                  ts::hex(pt::bytes({40, 0, 0, 0, im.size, 0, 0, 0, 2 * im.size, 0, 0, 0, 1, 0, 4, 0})));
        // A picture, not a blank: opaque and transparent pixels in the mask,
        // more than one colour among the opaque ones.
        size_t colourBytes = static_cast<size_t>(im.size * im.size / 2);
        std::string colours = d.substr(40 + 64, colourBytes), mask = d.substr(40 + 64 + colourBytes);
        size_t opaque = 0;
        for (unsigned char b : mask)
            for (int bit = 0; bit < 8; ++bit) opaque += !(b & (1 << bit));
        size_t padBits = im.size == 16 ? 16u * 16u : 0u;  // 16-pixel rows are padded to 32 bits
        EXPECT_GT(opaque, padBits + 20);
        EXPECT_LT(opaque, padBits + static_cast<size_t>(im.size * im.size) - 20);
        std::map<int, int> used;
        for (unsigned char b : colours) {
            ++used[b >> 4];
            ++used[b & 15];
        }
        EXPECT_GE(used.size(), 3u);
    }
}

TEST(Resources, IconFileHoldsTheImagesTheProgramCarries) {
    std::ifstream in(std::string(CORVANE_RESOURCES_DIR) + "/corvane.ico", std::ios::binary);
    std::string ico((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(ico.size(), 6u + 2 * 16);
    EXPECT_EQ(ts::hex(ico.substr(0, 6)), "00 00 01 00 02 00");
    for (int i = 0; i < 2; ++i) {
        const unsigned char *e = reinterpret_cast<const unsigned char *>(ico.data()) + 6 + 16 * i;
        size_t bytes = e[8] | (e[9] << 8) | (e[10] << 16), offset = e[12] | (e[13] << 8) | (e[14] << 16);
        ASSERT_LE(offset + bytes, ico.size());
        EXPECT_EQ(ico.substr(offset, bytes), resourceBytes(RT_ICON, static_cast<WORD>(i + 1))) << "icon " << i + 1;
    }
}

// The strings of a version resource by path ("StringFileInfo/040704B0/FileVersion").
void versionStrings(const std::string &v, size_t pos, size_t end, const std::string &path,
                    std::map<std::string, std::string> &out, std::string &fixed) {
    while (pos + 6 <= end) {
        auto word = [&](size_t p) {
            return static_cast<size_t>(static_cast<unsigned char>(v[p]) | (static_cast<unsigned char>(v[p + 1]) << 8));
        };
        size_t length = word(pos), valueLength = word(pos + 2), type = word(pos + 4);
        if (length == 0 || pos + length > end) return;
        std::u16string key;
        size_t p = pos + 6;
        for (; p + 2 <= end && word(p); p += 2) key.push_back(static_cast<char16_t>(word(p)));
        p = (p + 2 + 3) & ~size_t(3);
        std::string name = path.empty() ? host::toUtf8(key) : path + "/" + host::toUtf8(key);
        size_t valueBytes = type == 1 ? valueLength * 2 : valueLength;
        if (path.empty()) {
            fixed = v.substr(p, valueBytes);
        } else if (valueBytes) {
            std::string value = v.substr(p, valueBytes);
            if (type == 1) {
                std::u16string s;
                for (size_t k = 0; k + 1 < value.size(); k += 2) {
                    char16_t c = static_cast<char16_t>(static_cast<unsigned char>(value[k]) |
                                                       (static_cast<unsigned char>(value[k + 1]) << 8));
                    if (c) s.push_back(c);
                }
                out[name] = host::toUtf8(s);
            } else {
                out[name] = ts::hex(value);
            }
        }
        size_t children = (p + valueBytes + 3) & ~size_t(3);
        versionStrings(v, children, pos + length, name, out, fixed);
        pos = (pos + length + 3) & ~size_t(3);
    }
}

TEST(Resources, VersionResource) {
    std::string v = resourceBytes(RT_VERSION, 1);
    ASSERT_FALSE(v.empty());
    std::map<std::string, std::string> strings;
    std::string fixed;
    versionStrings(v, 0, v.size(), "", strings, fixed);
    // VS_FIXEDFILEINFO: signature, structure version, file version 3.2.0.0,
    // product version 3.2.0.0.
    ASSERT_EQ(fixed.size(), 52u);
    EXPECT_EQ(ts::hex(fixed.substr(0, 24)), "bd 04 ef fe 00 00 01 00 02 00 03 00 00 00 00 00 02 00 03 00 00 00 00 00");
    EXPECT_EQ(strings, (std::map<std::string, std::string>{
                           {"VS_VERSION_INFO/StringFileInfo/040704B0/FileDescription", "Registry backup and restore"},
                           {"VS_VERSION_INFO/StringFileInfo/040704B0/FileVersion", "3.2"},
                           {"VS_VERSION_INFO/VarFileInfo/Translation", "07 04 b0 04"},
                       }));
}

TEST(Resources, DamagedImageIsRefused) {
    const BYTE *image = corvane::programRes;
    struct Case {
        const char *what;
        size_t cut;
    } cases[] = {{"inside the first header", 20}, {"inside the icon's data", 32 + 32 + 100}};
    for (const Case &c : cases) {
        std::vector<host::Resource> out;
        std::string error;
        EXPECT_FALSE(host::parseResourceImage(image, c.cut, out, error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    std::vector<host::Resource> all;
    std::string error;
    EXPECT_TRUE(host::parseResourceImage(image, corvane::programResBytes, all, error)) << error;
}

// The resource compiler, when the machine has one.
std::string findWindres() {
    if (const char *w = std::getenv("CORVANE_WINDRES"); w && *w) return w;
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::vector<std::string> list;
    for (std::string d; std::getline(dirs, d, ':');) list.push_back(d);
    for (const char *name : {"x86_64-w64-mingw32-windres", "windres"})
        for (const std::string &d : list)
            if (access((d + "/" + name).c_str(), X_OK) == 0) return d + "/" + name;
    return "";
}

TEST(Resources, CompiledRcEqualsTheBytesTheHostCarries) {
    std::string windres = findWindres();
    if (windres.empty())
        GTEST_SKIP() << "no resource compiler (x86_64-w64-mingw32-windres, Debian package "
                        "binutils-mingw-w64-x86-64): the host's resource bytes were not compared with corvane.rc";
    ts::Device device;
    std::string out = (device.dir() / "corvane.res").string();
    std::string dir = CORVANE_RESOURCES_DIR;
    std::string cmd = "cd '" + dir + "' && '" + windres + "' '--preprocessor=" + CORVANE_CXX +
                      "' --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED -I '" + dir +
                      "' -i corvane.rc -O res -o '" + out + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(out, std::ios::binary);
    std::string res((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string carried(reinterpret_cast<const char *>(corvane::programRes), corvane::programResBytes);
    EXPECT_EQ(res.size(), carried.size());
    EXPECT_TRUE(res == carried) << "resources/corvane_res.cpp is out of date: cmake --build build --target "
                                   "corvane_resources_regen";
}

}  // namespace
