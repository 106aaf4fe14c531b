// Fault injection: the rules, what a failing service returns, full disks.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace {

// Which of five DeleteFileW calls fail under a rule.
struct RuleCase {
    const char *rule;
    const char *failing;  // one character per call: 'x' fails, '.' succeeds
};

TEST(Faults, CallRules) {
    const RuleCase cases[] = {
        {"DeleteFileW@2", ".x..."},
        {"DeleteFileW@2+", ".xxxx"},
        {"DeleteFileW@*", "xxxxx"},
        {"*@3", "..x.."},
        {"CopyFileW@1", "....."},
        {"DeleteFileW~\\temp\\f3", "..x.."},
        {"DeleteFileW~*f[0-9]", "....."},  // no character classes: '[' is literal
        {"DeleteFileW~\\Temp\\f?", "xxxxx"},
        {" DeleteFileW@1 ; DeleteFileW@5 ", "x...x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule);
        ts::Device dev;
        for (int i = 1; i <= 5; ++i) dev.write("/Temp/f" + std::to_string(i), "x");
        ASSERT_TRUE(host::setFaults(c.rule));
        std::string got;
        for (int i = 1; i <= 5; ++i) {
            std::u16string p = ts::u16("\\Temp\\f" + std::to_string(i));
            got += DeleteFileW(p.c_str()) ? '.' : 'x';
        }
        EXPECT_EQ(got, c.failing);
        EXPECT_EQ(host::callCount("DeleteFileW"), 5);
    }
}

TEST(Faults, BadRulesAreRefused) {
    for (const char *rule : {"DeleteFileW", "DeleteFileW@0", "DeleteFileW@x", "@3", "disk=", "disk=-1", "X~",
                             "CopyFileW@1!x", "CopyFileW@1!-3", "CopyFileW@1!4k", "_wfopen~\\Temp\\\xC0\xAF*"}) {
        SCOPED_TRACE(rule);
        std::string error;
        EXPECT_FALSE(host::setFaults(rule, &error));
        EXPECT_NE(error.find(rule[0] == '@' ? "@" : rule), std::string::npos) << error;
    }
}

TEST(Faults, AFailingServiceFailsAsTheDeviceWould) {
    ts::Device dev;
    ASSERT_TRUE(host::setFaults("_wfopen@*; GetTempFileNameW@*; LocalAlloc@*; FindFirstFileW@*"));
    WCHAR name[MAX_PATH];
    WIN32_FIND_DATAW data;
    EXPECT_EQ(_wfopen(u"\\Temp\\x", u"w+b"), nullptr);
    EXPECT_EQ(GetTempFileNameW(u"\\Temp\\", u"NEW", 0, name), 0u);
    EXPECT_EQ(LocalAlloc(LPTR, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(FindFirstFileW(u"*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(dev.ls("/Temp"), std::vector<std::string>{});  // nothing made
    EXPECT_EQ(host::faultsFired(), 4);
}

TEST(Faults, FullDiskShortensWritesAndFailsTheClose) {
    ts::Device dev;
    ASSERT_TRUE(host::setFaults("disk=10"));
    FILE *f = _wfopen(u"\\Temp\\x", u"w+b");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwrite("0123456", 1, 7, f), 7u);
    EXPECT_EQ(fwrite("789abc", 1, 6, f), 6u);  // buffered: the disk is not asked yet
    EXPECT_FALSE(ferror(f));
    EXPECT_EQ(fclose(f), EOF);  // the disk holds 10 bytes
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(dev.read("/Temp/x"), "0123456789");
}

TEST(Faults, AFailingCloseLosesTheBufferedBytes) {
    ts::Device dev;
    ASSERT_TRUE(host::setFaults("fclose@1"));
    FILE *f = _wfopen(u"\\Temp\\x", u"w+b");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwrite("data", 1, 4, f), 4u);
    EXPECT_EQ(fclose(f), EOF);
    EXPECT_EQ(dev.read("/Temp/x"), "");
}

TEST(Faults, EnvironmentRulesReachTheProgram) {
    ts::Device dev;
    auto r = ts::corvane({"l", "x"}, {{"CEDEVICE_FAULTS", "GetTempFileNameW@1"}});
    EXPECT_EQ(r.exitCode, 3);
    auto bad = ts::corvane({"l", "x"}, {{"CEDEVICE_FAULTS", "GetTempFileNameW@"}});
    EXPECT_EQ(bad.exitCode, 98);
    EXPECT_NE(bad.err.find("CEDEVICE_FAULTS"), std::string::npos);
}

TEST(Faults, PowerLossStopsTheProcessAtTheCall) {
    ts::Device dev;
    auto r = ts::corvane({"l", "x"}, {{"CEDEVICE_FAULTS", "GetTempPathW@1!"}});
    EXPECT_EQ(r.exitCode, 99);
    // The header was written before the power went.
    EXPECT_EQ(dev.log(), "\n\nCorvane Logfile\noptions: l\nfile: x\n\n");
}

TEST(Trace, OneLinePerCallWithArgumentsAndResult) {
    ts::Device dev;
    std::string trace = (dev.dir() / "trace.txt").string();
    auto r = ts::corvane({"x", "y"}, {{"CEDEVICE_TRACE", trace}});
    EXPECT_EQ(r.exitCode, 1);
    std::ifstream in(trace);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("GetTempPathW(256, \"\\Temp\\\") = 6\n"), std::string::npos) << all;
    EXPECT_NE(all.find("GetTempFileNameW(\"\\Temp\\\", \"NEW\", 0, \"\\Temp\\NEW1.tmp\") = 1\n"), std::string::npos)
        << all;
    EXPECT_NE(all.find("DeleteFileW(\"\\Temp\\NEW1.tmp\") = 1\n"), std::string::npos) << all;
}

// Runs action in a child process with the rules set there; its exit status
// (-1 when it did not exit). A power cut ends the child, never the test.
int inChild(const std::string &rules, const std::string &trace, const std::function<void()> &action) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!trace.empty()) host::setTrace(trace);
        if (!host::setFaults(rules)) _exit(97);
        action();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}

void copyOut() { CopyFileW(u"\\Temp\\src", u"\\My Documents\\b.reg", FALSE); }

void twoCopies() {
    CopyFileW(u"\\Temp\\src", u"\\Temp\\first", FALSE);
    CopyFileW(u"\\Temp\\src", u"\\My Documents\\b.reg", FALSE);
}

void twoWrites() {
    FILE *f = _wfopen(u"\\My Documents\\b.reg", u"w+b");
    fwrite("abcdef", 1, 6, f);
    fwrite("ghijkl", 1, 6, f);
    fclose(f);
}

void appendTwice() {
    FILE *f = _wfopen(u"\\My Documents\\b.reg", u"ab");
    fwrite("abc", 1, 3, f);
    fwrite("def", 1, 3, f);
    fclose(f);
}

void formatted() {
    FILE *f = _wfopen(u"\\My Documents\\b.reg", u"r+b");
    fwrite("<<", 1, 2, f);
    fprintf(f, "%d-%d", 12, 34);
    fwprintf(f, u"h\u00e9llo");
    fclose(f);
}

void saveRamImage() { RegCopyFile(u"\\My Documents\\b.reg"); }
void saveSystemHive() { RegSaveKey(HKEY_LOCAL_MACHINE, u"\\My Documents\\b.reg", nullptr); }
void rename() { MoveFileW(u"\\Temp\\src", u"\\My Documents\\b.reg"); }

// A power cut inside a call: the file it writes holds exactly the bytes that
// reached it, and the process stops with exit status 99.
TEST(Faults, PowerCutInsideACallLeavesExactlyTheBytesWritten) {
    const std::string source = pattern(100000), old(8192, 'o');
    struct Case {
        const char *rule;
        const char *kind;
        void (*action)();
        std::string expected;  // \My Documents\b.reg afterwards; "-" for a whole image of the call
        size_t cut;            // with "-": the image's first cut bytes
    } cases[] = {
        {"CopyFileW@1!4096", "ram", copyOut, source.substr(0, 4096), 0},
        {"CopyFileW@1!0", "ram", copyOut, "", 0},  // opened for overwriting, then the power went
        {"CopyFileW@1!70000", "ram", copyOut, source.substr(0, 70000), 0},  // inside the second piece
        {"CopyFileW@1!200000", "ram", copyOut, source, 0},                  // the call ends first
        {"CopyFileW@2!100", "ram", twoCopies, source.substr(0, 100), 0},
        {"CopyFileW@1!", "ram", copyOut, old, 0},  // before it acts
        {"CopyFileW@1+!10", "ram", copyOut, source.substr(0, 10), 0},
        // Small writes wait in the stream's buffer: the power takes them.
        {"fwrite@2!3", "ram", twoWrites, "", 0},
        {"fwrite@2!", "ram", appendTwice, old, 0},  // an appending stream buffers too
        {"fprintf@1!2", "ram", formatted, old, 0},
        // fclose writes the buffer out.
        {"fclose@1!3", "ram", twoWrites, "abc", 0},
        {"fclose@1!100", "ram", twoWrites, "abcdefghijkl", 0},  // the call ends first
        {"fclose@1!2", "ram", appendTwice, old + "ab", 0},
        {"fclose@1!10", "ram", formatted, "<<12-34h\xc3\xa9" + old.substr(10), 0},
        {"RegCopyFile@1!100", "ram", saveRamImage, "-", 100},
        {"RegSaveKey@1!50", "hive", saveSystemHive, "-", 50},
        {"MoveFileW@1!", "ram", rename, "-", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule);
        ts::Device dev(c.kind);
        dev.write("/Temp/src", source);
        std::string expected = c.expected;
        if (expected == "-" && c.cut) {
            // The whole file the call writes, made first without a cut.
            c.action();
            expected = dev.read("/My Documents/b.reg").substr(0, c.cut);
            DeleteFileW(u"\\My Documents\\b.reg");
        }
        if (std::string(c.kind) == "ram" && c.action != saveRamImage && c.action != rename)
            dev.write("/My Documents/b.reg", old);
        EXPECT_EQ(inChild(c.rule, "", c.action), 99);
        if (expected == "-") {
            EXPECT_FALSE(dev.exists("/My Documents/b.reg"));
            EXPECT_EQ(dev.read("/Temp/src"), source);
        } else {
            EXPECT_EQ(ts::hex(dev.read("/My Documents/b.reg").substr(0, 64)), ts::hex(expected.substr(0, 64)));
            std::string got = dev.read("/My Documents/b.reg");
            EXPECT_EQ(got.size(), expected.size());
            EXPECT_TRUE(got == expected);
        }
        EXPECT_EQ(dev.ls("/My Documents"),
                  dev.exists("/My Documents/b.reg") ? std::vector<std::string>{"b.reg"} : std::vector<std::string>{});
    }
}

TEST(Trace, APowerCutInsideACallSaysAfterHowManyBytes) {
    ts::Device dev;
    dev.write("/Temp/src", pattern(10000));
    std::string trace = (dev.dir() / "trace.txt").string();
    EXPECT_EQ(inChild("CopyFileW@1!4096", trace, copyOut), 99);
    EXPECT_EQ(ts::readFile(trace),
              "CopyFileW(\"\\Temp\\src\", \"\\My Documents\\b.reg\", 0) POWER LOSS after 4096 bytes\n");
}

}  // namespace
