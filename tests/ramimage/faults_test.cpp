// faults_test.cpp - repair and reorder when the device fails them: each
// failure has its result and log line, the file stays as it was, and no
// temporary file is left behind.
#include "imagebytes.h"
#include "rewrite.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace imgtest;

namespace {

// Rewriting changes both: repair drops the surplus bytes, reorder swaps the
// two keys of tag 0.
const std::string INPUT = image({key(0, "Software", "\xee\xee"), value(4, "Count", "\x01\x00\x00\x00"),
                                 key(0, "System"), value(1, "Name", std::string(5000, 'n'))});

std::string expected(Operation op) {
    if (op == repair)
        return image({key(0, "Software"), value(4, "Count", "\x01\x00\x00\x00"), key(0, "System"),
                      value(1, "Name", std::string(5000, 'n'))});
    return image({key(0, "System"), value(1, "Name", std::string(5000, 'n')), key(0, "Software", "\xee\xee"),
                  value(4, "Count", "\x01\x00\x00\x00")});
}

struct FaultCase {
    int line;
    Operation op;
    const char *rules;
    int result;
    const char *log;
};

TEST(RewriteFaults, EachFailureHasItsResultAndLine) {
    const FaultCase cases[] = {
        {__LINE__, repair, "GetTempFileNameW@1", RAMIMAGE_NO_TEMPNAME, "repair: GetTempFileName failed\n"},
        {__LINE__, repair, "_wfopen@1", RAMIMAGE_NO_OPEN, "repair: could not open \\My Documents\\registry.img\n"},
        {__LINE__, repair, "_wfopen@2", RAMIMAGE_NO_OPEN, "repair: could not open \\Temp\\rep1.tmp\n"},
        {__LINE__, repair, "fread@2", RAMIMAGE_NOT_WRITTEN, "repair: could not read \\My Documents\\registry.img\n"},
        {__LINE__, repair, "fseek@1", RAMIMAGE_NOT_WRITTEN, "repair: could not read \\My Documents\\registry.img\n"},
        {__LINE__, repair, "fwrite@1", RAMIMAGE_NOT_WRITTEN, "repair: could not write \\Temp\\rep1.tmp\n"},
        // A full disk has no room for the log line either.
        {__LINE__, repair, "disk=100", RAMIMAGE_NOT_WRITTEN, ""},
        {__LINE__, repair, "fclose@1", RAMIMAGE_NOT_WRITTEN, "repair: could not write \\Temp\\rep1.tmp\n"},
        {__LINE__, repair, "CopyFileW@1", RAMIMAGE_NOT_WRITTEN,
         "repair: could not replace \\My Documents\\registry.img\n"},
        {__LINE__, reorder, "GetTempFileNameW@1", RAMIMAGE_NO_TEMPNAME, "reorder: GetTempFileName failed\n"},
        {__LINE__, reorder, "_wfopen@1", RAMIMAGE_NO_OPEN, "reorder: could not open\\My Documents\\registry.img\n"},
        {__LINE__, reorder, "_wfopen@2", RAMIMAGE_NO_OPEN, "reorder: could not open\\Temp\\reo1.tmp\n"},
        {__LINE__, reorder, "fread@2", RAMIMAGE_NOT_WRITTEN, "reorder: could not read \\My Documents\\registry.img\n"},
        {__LINE__, reorder, "fwrite@2", RAMIMAGE_NOT_WRITTEN, "reorder: could not write \\Temp\\reo1.tmp\n"},
        {__LINE__, reorder, "disk=100", RAMIMAGE_NOT_WRITTEN, ""},
        {__LINE__, reorder, "fclose@1", RAMIMAGE_NOT_WRITTEN, "reorder: could not write \\Temp\\reo1.tmp\n"},
        {__LINE__, reorder, "CopyFileW@1", RAMIMAGE_NOT_WRITTEN,
         "reorder: could not replace \\My Documents\\registry.img\n"},
        {__LINE__, reorder, "LocalAlloc@1", RAMIMAGE_NO_MEMORY, "reorder: out of memory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.rules) + ", case at line " + std::to_string(c.line));
        ts::Device dev;
        dev.write(IMAGE_FILE, INPUT);
        std::string error;
        ASSERT_TRUE(host::setFaults(c.rules, &error)) << error;
        Outcome o = rewrite(dev, c.op, nullptr);
        EXPECT_TRUE(host::faultsFired() > 0 || std::string(c.rules).rfind("disk=", 0) == 0);
        host::clearFaults();
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.log, c.log);
        EXPECT_TRUE(o.file == INPUT);
        EXPECT_TRUE(o.temp.empty()) << o.temp.size();
    }
}

// Memory running out part way through a large key group (its entries fill
// more than one allocation).
TEST(RewriteFaults, OutOfMemoryInsideALargeGroup) {
    std::vector<std::string> recs;
    for (int k = 0; k < 1000; ++k) recs.push_back(key(7, "k" + std::to_string(k)));
    const std::string input = image(recs);
    for (const char *rules : {"LocalAlloc@2", "LocalAlloc@3", "LocalAlloc@2+"}) {
        SCOPED_TRACE(rules);
        ts::Device dev;
        ASSERT_TRUE(host::setFaults(rules, nullptr));
        Outcome o = rewrite(dev, reorder, input);
        EXPECT_GT(host::faultsFired(), 0);
        host::clearFaults();
        EXPECT_EQ(o.result, RAMIMAGE_NO_MEMORY);
        EXPECT_EQ(o.log, "reorder: out of memory\n");
        EXPECT_TRUE(o.file == input);
        EXPECT_TRUE(o.temp.empty());
    }
}

TEST(RewriteFaults, WrongSignatureLeavesTheFileAndNoTemporaryFile) {
    const std::string notImages[] = {"XGER", "", imgtest::B({0xb2, 0x74, 0x83}),
                                     imgtest::B({0x1d, 0x83, 0x74, 0xb2, 8, 0, 0, 0})};
    for (const auto &input : notImages) {
        for (Operation op : {repair, reorder}) {
            ts::Device dev;
            Outcome o = rewrite(dev, op, input);
            EXPECT_EQ(o.result, RAMIMAGE_BAD_SIG);
            EXPECT_EQ(o.log, op == repair ? "repair: sig unknown\n" : "reorder: sig unknown\n");
            EXPECT_TRUE(o.file == input);
            EXPECT_TRUE(o.temp.empty());
        }
    }
}

// repair opens its input for update, so a read-only file fails at once;
// reorder reads it, but cannot copy over it.
TEST(RewriteFaults, ReadOnlyFile) {
    for (Operation op : {repair, reorder}) {
        ts::Device dev;
        dev.write(IMAGE_FILE, INPUT);
        chmod(dev.host(IMAGE_FILE).c_str(), 0444);
        Outcome o = rewrite(dev, op, nullptr);
        if (op == repair) {
            EXPECT_EQ(o.result, RAMIMAGE_NO_OPEN);
            EXPECT_EQ(o.log, "repair: could not open \\My Documents\\registry.img\n");
        } else {
            EXPECT_EQ(o.result, RAMIMAGE_NOT_WRITTEN);
            EXPECT_EQ(o.log, "reorder: could not replace \\My Documents\\registry.img\n");
        }
        EXPECT_TRUE(o.file == INPUT);
        EXPECT_TRUE(o.temp.empty());
    }
}

TEST(RewriteFaults, MissingFile) {
    ts::Device dev;
    Outcome o = rewrite(dev, repair, nullptr);
    EXPECT_EQ(o.result, RAMIMAGE_NO_OPEN);
    EXPECT_EQ(o.log, "repair: could not open \\My Documents\\registry.img\n");
    EXPECT_TRUE(o.temp.empty());
    EXPECT_FALSE(dev.exists(IMAGE_FILE));
}

// Calls of every service the rewrites use fail in turn, once, until a run
// no longer reaches the fault: the file is either the new image (with
// "done") or as it was, and nothing is left in \Temp.
TEST(RewriteFaults, FailEachCallInTurn) {
    const char *services[] = {"GetTempFileNameW", "_wfopen",   "fread",     "fwrite", "fseek", "ftell",
                              "fclose",           "CopyFileW", "LocalAlloc"};
    for (Operation op : {repair, reorder}) {
        const std::string done = op == repair ? "repair: done\n" : "reorder: done\n";
        const int doneResult = op == repair ? REPAIR_DONE : REORDER_DONE;
        for (const char *service : services) {
            // Reads may come a byte at a time: past the first calls, every
            // 97th is enough to reach each place of the walk.
            for (int n = 1;; n += n < 20 ? 1 : 97) {
                std::string rule = std::string(service) + "@" + std::to_string(n);
                SCOPED_TRACE(rule);
                ts::Device dev;
                dev.write(IMAGE_FILE, INPUT);
                ASSERT_TRUE(host::setFaults(rule));
                Outcome o = rewrite(dev, op, nullptr);
                bool fired = host::faultsFired() > 0;
                host::clearFaults();
                if (o.result == doneResult) {
                    EXPECT_TRUE(o.file == expected(op));
                    EXPECT_TRUE(o.log == done || fired) << o.log;
                } else {
                    EXPECT_TRUE(fired);
                    EXPECT_TRUE(o.file == INPUT);
                    EXPECT_EQ(o.log.find("done"), std::string::npos) << o.log;
                }
                EXPECT_TRUE(o.temp.empty());
                if (!fired) break;
                ASSERT_LT(n, 20000);
            }
        }
    }
}

// The disk fills after N bytes, for every N up to a whole run's needs.
TEST(RewriteFaults, DiskFullAtEveryByteCount) {
    for (Operation op : {repair, reorder}) {
        const int doneResult = op == repair ? REPAIR_DONE : REORDER_DONE;
        const size_t need = expected(op).size() * 2 + 200;
        for (size_t n = 0; n < need; n += 97) {
            SCOPED_TRACE("disk=" + std::to_string(n));
            ts::Device dev;
            dev.write(IMAGE_FILE, INPUT);
            ASSERT_TRUE(host::setFaults("disk=" + std::to_string(n)));
            Outcome o = rewrite(dev, op, nullptr);
            host::clearFaults();
            if (o.result == doneResult) {
                EXPECT_TRUE(o.file == expected(op));
            } else {
                // The input stays as it was, unless the disk filled while the
                // new image was copied over it: the device's copy overwrites
                // in place, so the input then holds the first bytes of the new
                // image, and the result says it is no image (the sequence then
                // puts it nowhere).
                EXPECT_EQ(o.result, RAMIMAGE_NOT_WRITTEN);
                const bool cutCopy =
                    o.file.size() < expected(op).size() && expected(op).compare(0, o.file.size(), o.file) == 0;
                EXPECT_TRUE(o.file == INPUT || cutCopy) << o.file.size() << " bytes";
                EXPECT_EQ(o.log.find("done"), std::string::npos) << o.log;
            }
            EXPECT_TRUE(o.temp.empty());
        }
    }
}

}  // namespace
