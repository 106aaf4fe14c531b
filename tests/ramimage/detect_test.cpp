// detect_test.cpp - detectSig: the kind of a file from its first four bytes.
#include "app/driver.h"
#include "imagebytes.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

using imgtest::B;

namespace {

struct DetectCase {
    int line;
    std::string bytes;
    int kind;
    std::string log;
};

TEST(DetectSig, KindFromTheFirstFourBytes) {
    const DetectCase cases[] = {
        {__LINE__, B({0xb2, 0x74, 0x83, 0x1d}), KIND_RAM, "detectSig: RAM based registry sig\n"},
        {__LINE__, B({0xb2, 0x74, 0x83, 0x1d, 0xff, 0xff, 0xff, 0xff, 0x01}), KIND_RAM,
         "detectSig: RAM based registry sig\n"},
        {__LINE__, "XGER", KIND_HIVE, "detectSig: HIVE based registry sig\n"},
        {__LINE__, "XGER and anything after", KIND_HIVE, "detectSig: HIVE based registry sig\n"},
        // The hive word's bytes in big-endian order.
        {__LINE__, B({0x52, 0x45, 0x47, 0x58}), KIND_NONE, ""},
        {__LINE__, B({0x1d, 0x83, 0x74, 0xb2}), KIND_NONE, ""},
        {__LINE__, "", KIND_NONE, ""},
        {__LINE__, B({0xb2}), KIND_NONE, ""},
        {__LINE__, B({0xb2, 0x74, 0x83}), KIND_NONE, ""},
        {__LINE__, "XGE", KIND_NONE, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("case at line " + std::to_string(c.line));
        ts::Device dev;
        g_logging = -1;
        dev.write("/My Documents/backup.reg", c.bytes);
        EXPECT_EQ(detectSig(u"\\My Documents\\backup.reg"), c.kind);
        EXPECT_EQ(dev.log(), c.log);
        EXPECT_EQ(dev.read("/My Documents/backup.reg"), c.bytes);
    }
}

TEST(DetectSig, MissingFileIsNineWithThePathRightAfterOpen) {
    ts::Device dev;
    g_logging = -1;
    EXPECT_EQ(detectSig(u"\\My Documents\\none.reg"), KIND_NOOPEN);
    EXPECT_EQ(dev.log(), "detectSig: could not open\\My Documents\\none.reg\n");
}

TEST(DetectSig, SilentWhileLoggingIsOff) {
    ts::Device dev;
    dev.write("/a.reg", "XGER");
    EXPECT_EQ(detectSig(u"\\a.reg"), KIND_HIVE);
    EXPECT_EQ(detectSig(u"\\b.reg"), KIND_NOOPEN);
    EXPECT_FALSE(dev.exists("/Corvane.log"));
}

}  // namespace
