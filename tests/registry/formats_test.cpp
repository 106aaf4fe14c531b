// formats_test.cpp - the simulated registry's file formats and text: the RAM
// registry image the device writes and reads back, the hive file, key names,
// and the REGEDIT4 export.
#include "platform/host/registry_model.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace host::reg;

namespace {

std::string bytes(std::initializer_list<int> b) {
    std::string out;
    for (int v : b) out += static_cast<char>(v);
    return out;
}

Value dwordValue(const std::u16string &name, uint32_t v) {
    std::string data;
    putLe32(data, v);
    return Value{name, REG_DWORD, data};
}

// HKEY_LOCAL_MACHINE\A with "V" = dword:1; the other roots empty.
Registry smallRegistry() {
    Registry reg;
    KeyTree &hklm = reg.roots[LocalMachine];
    hklm.setValue(hklm.create(u"A"), dwordValue(u"V", 1));
    return reg;
}

// Its image, record by record.
const std::string kSmallImage = bytes({
    0xb2, 0x74, 0x83, 0x1d, 0x44, 0x00, 0x00, 0x00,                          // signature, totalSize 68
    0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,              // key "" of HKCR
    0x06, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,              // key "" of HKCU
    0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00,              // key "" of HKLM
    0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00,  // key "A" of HKLM
    0x0e, 0x00, 0x02, 0x00, 0x04, 0x00, 0x02, 0x00, 0x04, 0x00,              // value "V", REG_DWORD, 4 bytes
    0x56, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
});

std::string withSize(std::string image) {
    uint32_t n = static_cast<uint32_t>(image.size());
    for (int i = 0; i < 4; ++i) image[4 + i] = static_cast<char>(n >> (8 * i));
    return image;
}

}  // namespace

TEST(RamImage, WritesOneKeyRecordPerKeyTaggedWithItsRootThenItsValues) {
    std::string image;
    ASSERT_EQ(writeRamImage(smallRegistry(), image), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ts::hex(image), ts::hex(kSmallImage));
}

TEST(RamImage, ReadsBackWhatItWrote) {
    Registry back;
    ASSERT_TRUE(readRamImage(kSmallImage, back, nullptr));
    EXPECT_EQ(exportRegedit(back), exportRegedit(smallRegistry()));

    Registry sample = sampleRegistry(), again;
    std::string image;
    ASSERT_EQ(writeRamImage(sample, image), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(readRamImage(image, again, nullptr));
    for (int r = 0; r < kRootCount; ++r) EXPECT_TRUE(again.roots[r] == sample.roots[r]) << rootName(r);
}

TEST(RamImage, RecordOrderDoesNotMatter) {
    // As reorder leaves it: the HKLM group first, its values reversed, a key
    // record repeated. The registry read back is the same.
    std::string image = bytes({0xb2, 0x74, 0x83, 0x1d, 0,    0,    0,    0,    0x08, 0x00, 0x01, 0x00, 0x02, 0x00,
                               0x02, 0x00, 0x41, 0x00, 0x00, 0x00, 0x0e, 0x00, 0x02, 0x00, 0x04, 0x00, 0x02, 0x00,
                               0x04, 0x00, 0x56, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00,
                               0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                               0x00, 0x00, 0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00});
    Registry back;
    ASSERT_TRUE(readRamImage(withSize(image), back, nullptr));
    EXPECT_EQ(exportRegedit(back), exportRegedit(smallRegistry()));
}

TEST(RamImage, HeaderAloneIsAnEmptyRegistry) {
    Registry back = sampleRegistry();
    ASSERT_TRUE(readRamImage(bytes({0xb2, 0x74, 0x83, 0x1d, 0x08, 0, 0, 0}), back, nullptr));
    EXPECT_EQ(exportRegedit(back),
              "REGEDIT4\n\n[HKEY_CLASSES_ROOT]\n\n[HKEY_CURRENT_USER]\n\n[HKEY_LOCAL_MACHINE]\n\n");
}

TEST(RamImage, AnImageThatDoesNotReadBackWholeIsRefused) {
    struct Case {
        const char *what;
        size_t at;          // offset in kSmallImage
        std::string bytes;  // written there
        int resize;         // bytes added (+) or cut (-) at the end, totalSize kept right
    };
    const Case cases[] = {
        {"signature", 0, bytes({0x58, 0x47, 0x45, 0x52}), 0},
        {"totalSize above the length", 4, bytes({0x45}), 0},
        {"totalSize below the length", 4, bytes({0x43}), 0},
        {"key record with surplus bytes", 38, bytes({0x0a}), 0},
        {"key record type 3", 40, bytes({0x03}), 0},
        {"key record type 0x0101", 41, bytes({0x01}), 0},
        {"key tagged with root 3", 42, bytes({0x03}), 0},
        {"tag high byte set", 43, bytes({0x01}), 0},
        {"name not ending with its NUL", 48, bytes({0x42, 0x00}), 0},
        {"NUL inside the name", 46, bytes({0x00, 0x00}), 0},
        {"value of type 5", 54, bytes({0x05}), 0},
        {"value data length inconsistent", 58, bytes({0x03}), 0},
        {"value cut short", 0, "", -1},
        {"bytes after the last record", 0, "", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string image = kSmallImage;
        image.replace(c.at, c.bytes.size(), c.bytes);
        if (c.resize) {
            image.resize(image.size() + c.resize);
            image = withSize(image);
        }
        Registry back;
        std::string why;
        EXPECT_FALSE(readRamImage(image, back, &why));
        EXPECT_FALSE(why.empty());
    }
}

TEST(RamImage, ValueBeforeAnyKeyIsRefused) {
    std::string image = withSize(bytes({0xb2, 0x74, 0x83, 0x1d, 0,    0,    0,    0,    0x0a, 0x00, 0x02,
                                        0x00, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0xaa, 0xbb}));
    Registry back;
    EXPECT_FALSE(readRamImage(image, back, nullptr));
}

TEST(RamImage, LongestNamesAndLargeValuesFitTheirRecords) {
    Registry reg;
    std::u16string path(kMaxNameChars, u'k');
    KeyTree &hkcu = reg.roots[CurrentUser];
    Key &key = hkcu.create(path);
    hkcu.setValue(key, Value{std::u16string(kMaxNameChars, u'v'), REG_BINARY, std::string(5000, '\x5a')});
    hkcu.setValue(key, Value{u"", REG_BINARY, std::string(65527, '\x01')});  // the largest with a "" name
    std::string image;
    ASSERT_EQ(writeRamImage(reg, image), static_cast<DWORD>(ERROR_SUCCESS));
    Registry back;
    ASSERT_TRUE(readRamImage(image, back, nullptr));
    EXPECT_TRUE(back.roots[CurrentUser] == hkcu);

    hkcu.setValue(key, Value{u"", REG_BINARY, std::string(65528, '\x01')});
    EXPECT_EQ(writeRamImage(reg, image), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST(HiveFile, HeaderAndRoundTrip) {
    Registry sample = sampleRegistry();
    std::string system = writeHive(sample, HiveKind::System), user = writeHive(sample, HiveKind::User);
    EXPECT_EQ(ts::hex(system.substr(0, 8)), "43 45 48 56 01 00 01 00");
    EXPECT_EQ(ts::hex(user.substr(0, 8)), "43 45 48 56 01 00 02 00");
    EXPECT_EQ(getLe32(system, 8), system.size() - 16);

    Registry back;
    back.roots[CurrentUser].create(u"Kept");
    ASSERT_TRUE(readHive(system, HiveKind::System, back, nullptr));
    EXPECT_TRUE(back.roots[ClassesRoot] == sample.roots[ClassesRoot]);
    EXPECT_TRUE(back.roots[LocalMachine] == sample.roots[LocalMachine]);
    EXPECT_NE(back.roots[CurrentUser].find(u"Kept"), nullptr);  // a system hive leaves HKCU alone
    ASSERT_TRUE(readHive(user, HiveKind::User, back, nullptr));
    EXPECT_TRUE(back.roots[CurrentUser] == sample.roots[CurrentUser]);
    EXPECT_EQ(writeHive(back, HiveKind::System), system);  // stable bytes
}

TEST(HiveFile, EveryDamagedByteIsFound) {
    Registry reg = smallRegistry();
    KeyTree &hkcr = reg.roots[ClassesRoot];
    hkcr.setValue(hkcr.create(u".txt"), Value{u"", REG_SZ, u16Bytes(std::u16string(u"txtfile") + u'\0')});
    std::string hive = writeHive(reg, HiveKind::System);
    for (size_t i = 0; i < hive.size(); ++i) {
        std::string damaged = hive;
        damaged[i] = static_cast<char>(damaged[i] ^ 0x10);
        Registry back;
        EXPECT_FALSE(readHive(damaged, HiveKind::System, back, nullptr)) << "byte " << i;
    }
    for (size_t n : {size_t(0), size_t(15), size_t(16), hive.size() - 1}) {
        Registry back;
        EXPECT_FALSE(readHive(hive.substr(0, n), HiveKind::System, back, nullptr)) << "cut to " << n;
    }
    Registry back;
    EXPECT_FALSE(readHive(hive, HiveKind::User, back, nullptr));  // a system hive is not a user hive
}

TEST(KeyNames, FullAndShortRootNames) {
    struct Case {
        const char *text;
        int root;  // -1: refused
        const char16_t *path;
    };
    const Case cases[] = {
        {"HKEY_LOCAL_MACHINE\\Software\\Pelnor", LocalMachine, u"Software\\Pelnor"},
        {"HKLM\\Software\\Pelnor\\", LocalMachine, u"Software\\Pelnor"},
        {"hkcu", CurrentUser, u""},
        {"HKEY_CURRENT_USER\\", CurrentUser, u""},
        {"HKCR\\.txt", ClassesRoot, u".txt"},
        {"hkey_classes_root\\txtfile\\Shell", ClassesRoot, u"txtfile\\Shell"},
        {"HKLM\\a\\\\b", -1, u""},
        {"HKU\\x", -1, u""},
        {"Software", -1, u""},
        {"", -1, u""},
    };
    for (const Case &c : cases) {
        int root = -1;
        std::u16string path;
        bool ok = parseFullKey(ts::u16(c.text), root, path);
        EXPECT_EQ(ok, c.root >= 0) << c.text;
        if (ok && c.root >= 0) {
            EXPECT_EQ(root, c.root) << c.text;
            EXPECT_EQ(host::toUtf8(path), host::toUtf8(c.path)) << c.text;
        }
    }
    std::u16string path;
    int root;
    EXPECT_TRUE(parseFullKey(u"HKLM\\" + std::u16string(kMaxNameChars, u'x'), root, path));
    EXPECT_FALSE(parseFullKey(u"HKLM\\" + std::u16string(kMaxNameChars + 1, u'x'), root, path));
}

TEST(KeyTree, KeysCompareWithoutCaseAndKeepTreeOrder) {
    KeyTree t;
    t.create(u"Software\\Pelnor");
    t.create(u"Software Old");
    t.create(u"SOFTWARE\\Abc");
    ASSERT_NE(t.find(u"software\\PELNOR"), nullptr);
    EXPECT_EQ(host::toUtf8(t.find(u"software")->path), "Software");  // as first written
    std::vector<std::string> order;
    for (const Key *k : t.all()) order.push_back(host::toUtf8(k->path));
    EXPECT_EQ(order, (std::vector<std::string>{"", "Software", "Software\\Abc", "Software\\Pelnor", "Software Old"}));
    EXPECT_TRUE(t.remove(u"software"));
    order.clear();
    for (const Key *k : t.all()) order.push_back(host::toUtf8(k->path));
    EXPECT_EQ(order, (std::vector<std::string>{"", "Software Old"}));
}

TEST(Export, Regedit4Text) {
    Registry reg;
    KeyTree &hklm = reg.roots[LocalMachine];
    Key &key = hklm.create(u"Software\\Q");
    hklm.setValue(key, Value{u"zeta", REG_SZ, u16Bytes(u"a \"quoted\" \\path\\ \u00e9t\u00e9" + std::u16string(1, 0))});
    hklm.setValue(key, Value{u"", REG_SZ, u16Bytes(std::u16string(u"default") + u'\0')});
    hklm.setValue(key, dwordValue(u"Alpha", 0x1234abcd));
    hklm.setValue(key, Value{u"short dword", REG_DWORD, bytes({1, 2, 3})});
    hklm.setValue(key, Value{u"lines", REG_SZ, u16Bytes(std::u16string(u"a\nb") + u'\0')});
    hklm.setValue(key, Value{u"none", REG_NONE, ""});
    hklm.setValue(key, Value{u"bin", REG_BINARY, std::string(30, '\xab')});
    reg.loaded[CurrentUser] = false;
    EXPECT_EQ(exportRegedit(reg),
              "REGEDIT4\n"
              "\n"
              "[HKEY_CLASSES_ROOT]\n"
              "\n"
              "; HKEY_CURRENT_USER is not loaded: the user is logged off\n"
              "\n"
              "[HKEY_LOCAL_MACHINE]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Q]\n"
              "@=\"default\"\n"
              "\"Alpha\"=dword:1234abcd\n"
              "\"bin\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\n"
              "  ab,ab,ab,ab,ab,ab,ab\n"
              "\"lines\"=hex(1):61,00,0a,00,62,00,00,00\n"
              "\"none\"=hex(0):\n"
              "\"short dword\"=hex(4):01,02,03\n"
              "\"zeta\"=\"a \\\"quoted\\\" \\\\path\\\\ \xc3\xa9t\xc3\xa9\"\n"
              "\n");
    EXPECT_EQ(exportRegedit(reg, LocalMachine, u"software\\q").substr(0, 54),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Q]\n@=\"default\"\n");
}

TEST(SampleRegistry, HoldsEveryRootEveryTypeLongNamesAndALargeBinary) {
    Registry sample = sampleRegistry();
    std::set<uint32_t> types;
    size_t longestPath = 0, longestName = 0, largestBinary = 0;
    for (int r = 0; r < kRootCount; ++r) {
        EXPECT_GT(sample.roots[r].all().size(), 1u) << rootName(r);
        for (const Key *k : sample.roots[r].all()) {
            longestPath = std::max(longestPath, k->path.size());
            for (const Value &v : k->values) {
                types.insert(v.type);
                longestName = std::max(longestName, v.name.size());
                if (v.type == REG_BINARY) largestBinary = std::max(largestBinary, v.data.size());
            }
        }
    }
    EXPECT_EQ(types, (std::set<uint32_t>{REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ}));
    EXPECT_EQ(longestPath, kMaxNameChars);
    EXPECT_EQ(longestName, kMaxNameChars);
    EXPECT_GT(largestBinary, 4096u);
}

TEST(Formats, DamagedFilesAreRefusedOrReadSafely) {
    // Mutations of whole files: the readers never read outside the bytes
    // (checked under the sanitizers), and what they accept writes back out
    // to a file they accept again.
    Registry sample = sampleRegistry();
    std::string image;
    ASSERT_EQ(writeRamImage(sample, image), static_cast<DWORD>(ERROR_SUCCESS));
    const std::string inputs[] = {image, writeHive(sample, HiveKind::System), writeHive(sample, HiveKind::User)};
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = inputs[round % 3];
        for (int n = 1 + next() % 4; n > 0; --n) {
            size_t at = next() % bytes.size();
            switch (next() % 3) {
            case 0:
                bytes[at] = static_cast<char>(next());
                break;
            case 1:
                bytes.resize(at);
                break;
            default:
                bytes.insert(at, 1, static_cast<char>(next()));
                break;
            }
            if (bytes.empty()) break;
        }
        Registry reg;
        if (round % 3 == 0) {
            if (readRamImage(bytes, reg, nullptr)) {
                std::string again;
                ASSERT_EQ(writeRamImage(reg, again), static_cast<DWORD>(ERROR_SUCCESS));
                EXPECT_TRUE(readRamImage(again, reg, nullptr));
            }
        } else {
            HiveKind kind = round % 3 == 1 ? HiveKind::System : HiveKind::User;
            if (readHive(bytes, kind, reg, nullptr)) EXPECT_TRUE(readHive(writeHive(reg, kind), kind, reg, nullptr));
        }
    }
}
