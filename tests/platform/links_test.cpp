// Links inside the device folder: one that leads outside it or nowhere is a
// file the device cannot open, and no service creates, writes or deletes
// anything outside the device through one.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>

namespace {

using ts::u16;

// A host folder outside the device that the links lead into; it must stay as
// it was made.
class Outside {
public:
    Outside() {
        char templ[] = "/tmp/corvane-outside-XXXXXX";
        if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
        dir_ = templ;
        std::ofstream(dir_ / "victim") << "outside";
    }
    ~Outside() {
        std::error_code ec;
        ts::fs::remove_all(dir_, ec);
    }
    const ts::fs::path &dir() const { return dir_; }
    // Its entries, with what each file holds: "victim=outside".
    std::string contents() const {
        std::vector<std::string> names;
        for (const auto &e : ts::fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string() + "=" + ts::readFile(e.path()));
        std::sort(names.begin(), names.end());
        std::string out;
        for (const auto &n : names) out += (out.empty() ? "" : " ") + n;
        return out;
    }

private:
    ts::fs::path dir_;
};

struct LinkCase {
    const char *name;
    const char *link;     // device path of the link
    const char *leadsTo;  // "victim", "missing" (outside), "missing-folder/x", or "@..." inside the device
    bool (*act)();        // true when the services behaved (failed or did their work inside)
};

bool openFails(const char16_t *path) {
    for (const char16_t *mode : {u"rb", u"r+b", u"w+b", u"a"})
        if (FILE *f = _wfopen(path, mode)) {
            fclose(f);
            return false;
        }
    return true;
}

TEST(Links, LeadingOutsideOrNowhereIsAFileTheDeviceCannotOpen) {
    const LinkCase cases[] = {
        {"dangling, at a file name", "/My Documents/b.reg", "missing",
         []() -> bool {
             return openFails(u"\\My Documents\\b.reg") &&
                    !CopyFileW(u"\\Temp\\src", u"\\My Documents\\b.reg", FALSE) &&
                    GetLastError() == ERROR_ACCESS_DENIED && !RegCopyFile(u"\\My Documents\\b.reg") &&
                    !CopyFileW(u"\\My Documents\\b.reg", u"\\Temp\\copy", FALSE);
         }},
        {"to an outside file, at a file name", "/My Documents/b.reg", "victim",
         []() -> bool {
             return openFails(u"\\My Documents\\b.reg") &&
                    !CopyFileW(u"\\Temp\\src", u"\\My Documents\\b.reg", FALSE) &&
                    !CopyFileW(u"\\My Documents\\b.reg", u"\\Temp\\copy", FALSE);
         }},
        {"dangling, at a folder on the way", "/My Documents/sub", "missing-folder",
         []() -> bool {
             WCHAR name[MAX_PATH];
             return openFails(u"\\My Documents\\sub\\b.reg") &&
                    !CopyFileW(u"\\Temp\\src", u"\\My Documents\\sub\\b.reg", FALSE) &&
                    GetTempFileNameW(u"\\My Documents\\sub\\", u"NEW", 0, name) == 0 &&
                    !MoveFileW(u"\\Temp\\src", u"\\My Documents\\sub\\b.reg");
         }},
        {"to an outside folder, at a folder on the way", "/My Documents/sub", ".",
         []() -> bool {
             WCHAR name[MAX_PATH];
             return openFails(u"\\My Documents\\sub\\victim") &&
                    !CopyFileW(u"\\Temp\\src", u"\\My Documents\\sub\\b.reg", FALSE) &&
                    GetTempFileNameW(u"\\My Documents\\sub\\", u"NEW", 0, name) == 0 &&
                    !DeleteFileW(u"\\My Documents\\sub\\victim") &&
                    !MoveFileW(u"\\Temp\\src", u"\\My Documents\\sub\\b.reg");
         }},
        {"dangling, deleted itself", "/My Documents/b.reg", "missing",
         []() -> bool { return DeleteFileW(u"\\My Documents\\b.reg"); }},
        {"to an outside file, deleted itself", "/My Documents/b.reg", "victim",
         []() -> bool { return DeleteFileW(u"\\My Documents\\b.reg"); }},
        {"dangling, at the new name of a move", "/My Documents/b.reg", "missing",
         []() -> bool {
             return !MoveFileW(u"\\Temp\\src", u"\\My Documents\\b.reg") && GetLastError() == ERROR_ALREADY_EXISTS;
         }},
        {"dangling, renamed itself", "/My Documents/b.reg", "missing",
         []() -> bool { return MoveFileW(u"\\My Documents\\b.reg", u"\\My Documents\\c.reg"); }},
        {"at the next temporary name", "/Temp/NEW1.tmp", "missing",
         []() -> bool {
             WCHAR name[MAX_PATH];
             return GetTempFileNameW(u"\\Temp\\", u"NEW", 0, name) == 2 && std::u16string(name) == u"\\Temp\\NEW2.tmp";
         }},
        {"at the next temporary name, to an outside file", "/Temp/NEW1.tmp", "victim",
         []() -> bool {
             WCHAR name[MAX_PATH];
             return GetTempFileNameW(u"\\Temp\\", u"NEW", 0, name) == 2;
         }},
        {"inside the device, followed", "/My Documents/in", "@../Temp",
         []() -> bool {
             FILE *f = _wfopen(u"\\My Documents\\in\\new.txt", u"w+b");
             if (!f) return false;
             fclose(f);
             return CopyFileW(u"\\My Documents\\in\\src", u"\\My Documents\\in\\copy", FALSE) &&
                    DeleteFileW(u"\\My Documents\\in\\copy");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        Outside outside;
        dev.write("/Temp/src", "new");
        std::string to = c.leadsTo;
        ts::fs::path target = to[0] == '@' ? ts::fs::path(to.substr(1)) : outside.dir() / to;
        ASSERT_EQ(symlink(target.c_str(), dev.host(c.link).c_str()), 0);
        EXPECT_TRUE(c.act());
        EXPECT_EQ(outside.contents(), "victim=outside");
    }
}

// The program's own runs, with links made by hand where it writes.
TEST(Links, TheProgramCreatesNothingOutsideTheDevice) {
    struct Case {
        const char *name;
        const char *link;
    } cases[] = {
        {"a dangling log", "/Corvane.log"},
        {"a dangling link at the next temporary name", "/Temp/NEW1.tmp"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        Outside outside;
        ASSERT_EQ(symlink((outside.dir() / "made").c_str(), dev.host(c.link).c_str()), 0);
        auto r = ts::corvane({"ls", "\\b.reg"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(outside.contents(), "victim=outside");
        // The save is a whole image of the registry.
        ASSERT_TRUE(RegCopyFile(u"\\Temp\\whole.img"));
        EXPECT_TRUE(dev.read("/b.reg") == dev.read("/Temp/whole.img"));
        EXPECT_TRUE(ts::fs::is_symlink(dev.host(c.link)));  // left where it was
    }
}

// The device's own stores never follow a link left beside them.
TEST(Links, TheHiveStoresDoNotFollowALinkBesideThem) {
    ts::Device dev("hive");
    Outside outside;
    ASSERT_EQ(symlink((outside.dir() / "made").c_str(), dev.host("/Documents and Settings/.system.hv.new").c_str()), 0);
    dev.write("/Documents and Settings/system.hv", "corrupt");
    EXPECT_TRUE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));  // mends system.hv
    EXPECT_EQ(outside.contents(), "victim=outside");
    EXPECT_EQ(dev.read("/Documents and Settings/system.hv").substr(0, 4), "CEHV");
}

}  // namespace
