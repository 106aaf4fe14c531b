// Fault injection: the rules, what a failing service returns, full disks.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <fstream>

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
                             "_wfopen~\\Temp\\\xC0\xAF*"}) {
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
    EXPECT_FALSE(ferror(f));
    EXPECT_EQ(fwrite("789abc", 1, 6, f), 3u);  // the disk holds 10 bytes
    EXPECT_TRUE(ferror(f));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    fclose(f);
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

}  // namespace
