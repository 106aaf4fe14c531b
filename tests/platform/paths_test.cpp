// The device's paths: separators, case, the root, confinement, MAX_PATH.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

using ts::u16;

struct PathCase {
    const char *devicePath;
    DWORD error;
    const char *hostRelative;  // under fs/, when error is 0
};

TEST(Paths, ResolveTable) {
    ts::Device dev;
    dev.write("/Temp/Data.BIN", "x");
    dev.write("/Temp/\xc3\x89t\xc3\xa9.txt", "y");  // "Été.txt"
    const PathCase cases[] = {
        {"\\Temp\\Data.BIN", ERROR_SUCCESS, "Temp/Data.BIN"},
        {"/temp/data.bin", ERROR_SUCCESS, "Temp/Data.BIN"},  // case and '/' accepted
        {"TEMP\\DATA.bin", ERROR_SUCCESS, "Temp/Data.BIN"},  // no leading separator: from the root
        {"\\Temp\\new file.txt", ERROR_SUCCESS, "Temp/new file.txt"},
        {"\\..\\..\\Temp\\x", ERROR_SUCCESS, "Temp/x"},  // never above the root
        {"\\Temp\\.\\..\\Windows", ERROR_SUCCESS, "Windows"},
        {"\\", ERROR_SUCCESS, ""},
        {"\\Nowhere\\x", ERROR_PATH_NOT_FOUND, nullptr},
        {"\\Temp\\Data.BIN\\x", ERROR_PATH_NOT_FOUND, nullptr},  // a file is no folder
        {"\\Temp\\a?b", ERROR_INVALID_NAME, nullptr},
        {"\\Temp\\a:b", ERROR_INVALID_NAME, nullptr},
        // Latin-1 letters fold too; a plain ASCII name never matches one.
        {"\\temp\\\xc3\xa9T\xc3\x89.TXT", ERROR_SUCCESS, "Temp/\xc3\x89t\xc3\xa9.txt"},
        {"\\Temp\\Ete.txt", ERROR_SUCCESS, "Temp/Ete.txt"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.devicePath);
        std::u16string p = u16(c.devicePath);
        host::fs::path out;
        EXPECT_EQ(host::resolvePath(p.c_str(), out), c.error);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_EQ(out.lexically_normal(),
                      *c.hostRelative ? (dev.dir() / "fs" / c.hostRelative).lexically_normal() : dev.dir() / "fs");
            // What the services are handed with it: whether it is there and
            // its type, and its device path back.
            host::PathEntry entry;
            host::fs::path again;
            EXPECT_EQ(host::resolvePath(p.c_str(), again, true, &entry), ERROR_SUCCESS);
            EXPECT_EQ(again, out);
            std::error_code ec;
            EXPECT_EQ(entry.exists, host::fs::exists(out, ec));
            if (entry.exists) EXPECT_EQ(S_ISDIR(entry.st.st_mode), host::fs::is_directory(out, ec));
            std::string shown = "\\" + std::string(c.hostRelative);
            std::replace(shown.begin(), shown.end(), '/', '\\');
            EXPECT_EQ(host::devicePathOf(out.native()), u16(shown.c_str()));
        }
    }
}

// What the host changes between two look-ups is found by the second: a name
// made in a listed folder, the listed folder replaced by another of the same
// name, the fs root's own entries.
TEST(Paths, LookUpsFindWhatIsThereNow) {
    struct Step {
        const char *change;  // a host change before the look-up
        const char *lookUp;
        const char *found;  // the host path under fs/, "" when nothing is there
    };
    const Step steps[] = {
        {"", "\\temp\\sub\\alpha", "Temp/sub/Alpha"},
        {"", "\\temp\\sub\\beta", ""},
        {"write Temp/sub/BETA", "\\temp\\sub\\beta", "Temp/sub/BETA"},
        {"replace Temp/sub", "\\temp\\sub\\alpha", "Temp/sub/ALPHA"},
        {"", "\\temp\\sub\\beta", ""},
        {"replace Temp/sub", "\\TEMP\\SUB\\Alpha", "Temp/sub/ALPHA"},
        {"", "\\corvane.LOG", ""},
        {"write Corvane.log", "\\corvane.LOG", "Corvane.log"},
        {"remove Corvane.log", "\\corvane.LOG", ""},
    };
    ts::Device dev;
    host::fs::create_directories(dev.host("/Temp/sub"));
    dev.write("/Temp/sub/Alpha", "a");
    int replaced = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(std::string(s.change) + " " + s.lookUp);
        std::string change = s.change;
        if (change.rfind("write ", 0) == 0) dev.write("/" + change.substr(6), "x");
        if (change.rfind("remove ", 0) == 0) host::fs::remove(dev.host("/" + change.substr(7)));
        if (change == "replace Temp/sub") {
            // Moved away, a new folder in its place.
            host::fs::rename(dev.host("/Temp/sub"), dev.host("/Temp/old" + std::to_string(replaced++)));
            host::fs::create_directories(dev.host("/Temp/sub"));
            dev.write("/Temp/sub/ALPHA", "A");
        }
        std::u16string p = u16(s.lookUp);
        host::PathEntry entry;
        std::string out;
        ASSERT_EQ(host::resolvePath(p.c_str(), out, true, &entry), ERROR_SUCCESS);
        EXPECT_EQ(entry.exists, *s.found != 0);
        if (*s.found) EXPECT_EQ(out, (dev.dir() / "fs" / s.found).native());
    }
}

TEST(Paths, MaxPathIsTheLimit) {
    ts::Device dev;
    host::fs::path out;
    std::u16string fits = u"\\" + std::u16string(258, u'a');  // 259 characters
    std::u16string tooLong = fits + u"a";                     // 260: no room for the terminator
    EXPECT_EQ(host::resolvePath(fits.c_str(), out), ERROR_SUCCESS);
    EXPECT_EQ(host::resolvePath(tooLong.c_str(), out), ERROR_FILENAME_EXCED_RANGE);
}

TEST(Paths, LinkOutsideTheRootIsRefused) {
    ts::Device dev;
    ASSERT_EQ(symlink("/etc", dev.host("/Windows/escape").c_str()), 0);
    host::fs::path out;
    EXPECT_EQ(host::resolvePath(u"\\Windows\\escape\\passwd", out), ERROR_ACCESS_DENIED);
    EXPECT_EQ(_wfopen(u"\\Windows\\escape\\passwd", u"rb"), nullptr);
}

TEST(Paths, NewDeviceHasTheStandardFolders) {
    ts::Device dev;
    EXPECT_EQ(dev.ls("/"),
              (std::vector<std::string>{"Documents and Settings", "My Documents", "ResidentFlash", "Temp", "Windows"}));
    EXPECT_TRUE(dev.exists("/Documents and Settings/default"));
}

}  // namespace
