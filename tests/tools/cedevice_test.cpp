// The device tool's own verbs: files to and from the device, the log, the
// command lines it refuses.
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <thread>

namespace {

namespace fs = std::filesystem;

void writeHost(const fs::path &p, const std::string &bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> hostNames(const fs::path &dir) {
    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Cedevice, PushAndPullKeepEveryByteEmptyFilesIncluded) {
    ts::Device dev;
    std::mt19937 rng(16);
    std::string big(300000, '\0');
    for (char &c : big) c = static_cast<char>(rng());
    const fs::path in = dev.dir() / "in.bin", back = dev.dir() / "back.bin";
    for (const std::string &bytes : {std::string(), std::string("x"), std::string("a\0b\r\n", 5), big}) {
        SCOPED_TRACE(bytes.size());
        writeHost(in, bytes);
        ts::RunResult push = ts::cedevice({"push", in.string(), "\\My Documents\\f.bin"});
        EXPECT_EQ(push.exitCode, 0) << push.err;
        EXPECT_EQ(push.err, "");
        EXPECT_EQ(dev.read("/My Documents/f.bin"), bytes);
        EXPECT_EQ(ts::cedevice({"cat", "\\My Documents\\f.bin"}).out, bytes);
        ts::RunResult pull = ts::cedevice({"pull", "\\My Documents\\f.bin", back.string()});
        EXPECT_EQ(pull.exitCode, 0) << pull.err;
        EXPECT_EQ(ts::readFile(back), bytes);
        EXPECT_EQ(hostNames(dev.host("/My Documents")), std::vector<std::string>{"f.bin"});
    }
}

TEST(Cedevice, PushesAtTheSameTimeIntoOneFolderDoNotMeet) {
    ts::Device dev;
    std::vector<std::string> contents;
    for (int i = 0; i < 4; ++i) {
        contents.push_back(std::string(4 << 20, static_cast<char>('a' + i)));
        writeHost(dev.dir() / ("in" + std::to_string(i)), contents.back());
    }
    std::vector<std::thread> pushes;
    std::vector<int> codes(contents.size(), -1);
    for (size_t i = 0; i < contents.size(); ++i)
        pushes.emplace_back([&, i] {
            codes[i] = ts::cedevice(
                           {"push", (dev.dir() / ("in" + std::to_string(i))).string(), "\\Temp\\f" + std::to_string(i)})
                           .exitCode;
        });
    for (auto &t : pushes) t.join();
    for (size_t i = 0; i < contents.size(); ++i) {
        EXPECT_EQ(codes[i], 0);
        EXPECT_TRUE(dev.read("/Temp/f" + std::to_string(i)) == contents[i]) << i;
    }
    EXPECT_EQ(hostNames(dev.host("/Temp")), (std::vector<std::string>{"f0", "f1", "f2", "f3"}));
}

TEST(Cedevice, FailuresExitNonZeroWithOneLine) {
    ts::Device dev;
    const std::string hostFile = (dev.dir() / "host.txt").string();
    writeHost(hostFile, "x");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    };
    const Case cases[] = {
        {{"status", "extra"}, 2, "cedevice: status: takes no argument\n"},
        {{"pull", "\\Temp", hostFile}, 1, "cedevice: pull: \\Temp: a folder, not a file\n"},
        {{"pull", "\\Temp\\none", hostFile}, 1, "cedevice: pull: \\Temp\\none: no such file\n"},
        {{"push", dev.dir().string(), "\\Temp\\x"}, 1, "cedevice: push: cannot read " + dev.dir().string() + "\n"},
        {{"push", hostFile, "\\No Such\\x"}, 1, "cedevice: push: \\No Such\\x: a folder on the way does not exist\n"},
        {{"cat", "\\Temp\\b\xC0\xAF"}, 1, "cedevice: cat: \\Temp\\b\xC0\xAF: not valid UTF-8\n"},
        {{"reg", "query", "HKLM\\Ident\xFF"}, 2, "cedevice: reg: not valid UTF-8: HKLM\\Ident\xFF\n"},
        {{"init", "--registry", "fat"}, 2, "cedevice: init: unknown registry kind 'fat' (ram or hive)\n"},
        {{"log", "-n"}, 2, "cedevice: log: unexpected argument '-n' (cedevice log [--all])\n"},
        {{"log"}, 1, "cedevice: log: the device has no log yet (corvane logs with option l)\n"},
        {{"--versions"}, 2, "cedevice: unknown verb '--versions' (cedevice --help lists them)\n"},
    };
    for (const Case &c : cases) {
        ts::RunResult r = ts::cedevice(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(ts::readFile(hostFile), "x");
    EXPECT_TRUE(dev.ls("/Temp").empty());
    ts::RunResult version = ts::cedevice({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "cedevice 3.2\n");
}

TEST(Cedevice, LogPrintsTheLatestRunOfTheLatestLog) {
    ts::Device dev;
    ASSERT_EQ(ts::corvane({"ls", "\\My Documents\\a.reg"}).exitCode, 1);
    ASSERT_EQ(ts::corvane({"lc", "\\My Documents\\a.reg"}).exitCode, 1);
    std::string all = dev.log();
    size_t second = all.rfind("Corvane Logfile\n");
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(ts::cedevice({"log"}).out, all.substr(second));
    EXPECT_EQ(ts::cedevice({"log", "--all"}).out, all);
    // A later run that logs into the flash folder has the latest log.
    ASSERT_EQ(ts::corvane({"lfx", "\\My Documents\\a.reg"}).exitCode, 1);
    std::string flash = dev.read("/ResidentFlash/Corvane.log");
    EXPECT_EQ(ts::cedevice({"log"}).out, flash.substr(flash.find("Corvane Logfile\n")));
}

}  // namespace
