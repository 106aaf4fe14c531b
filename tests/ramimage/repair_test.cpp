// repair_test.cpp - repair: the records it writes, byte for byte, for
// consistent and damaged images, and what it leaves when it refuses.
#include "imagebytes.h"
#include "rewrite.h"

#include <cstdio>
#include <map>

#include <gtest/gtest.h>

using namespace imgtest;

namespace {

// Key "A", tag 0, and key "B", tag 2, both consistent.
const std::string KEY_A = B({0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00});
const std::string KEY_B = B({0x08, 0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x42, 0x00, 0x00, 0x00});

struct RepairCase {
    int line;
    const char *what;
    std::string input;
    std::string output;
};

TEST(Repair, WritesConsistentRecords) {
    const std::string name255(255, 'x');
    // the most data a value named "Big" holds (length 65535), above every
    // buffer of the rewrite; with one surplus byte, one less
    const std::string big(65521, '\x5a'), bigLess(65520, '\x5a');
    const RepairCase cases[] = {
        {__LINE__, "a consistent key is unchanged", image({KEY_A}), image({KEY_A})},
        {__LINE__, "the header alone", image({}), image({})},
        {__LINE__, "name cut at its first NUL, walk goes by the stored length",
         image({B({0x0e, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00,  //
                   0x61, 0x00, 0x62, 0x00, 0x00, 0x00, 0x78, 0x00, 0x79, 0x00}),
                KEY_B}),
         image({B({0x0a, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00}), KEY_B})},
        {__LINE__, "surplus bytes are dropped and totalSize shrinks",
         image({B({0x0c, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00,  //
                   0xee, 0xee, 0xee, 0xee}),
                KEY_B}),
         image({KEY_A, KEY_B})},
        {__LINE__, "high bytes of type and tag are cleared",
         image({B({0x08, 0x00, 0x01, 0x01, 0x03, 0x02, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00})}),
         image({B({0x08, 0x00, 0x01, 0x00, 0x03, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00})})},
        {__LINE__, "a value without data",
         image({KEY_A, B({0x0a, 0x00, 0x02, 0x00, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00})}),
         image({KEY_A, B({0x0a, 0x00, 0x02, 0x00, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00})})},
        {__LINE__, "a value's data are read after the stored name",
         image({KEY_A, B({0x0e, 0x00, 0x02, 0x02, 0x01, 0x01, 0x03, 0x00, 0x02, 0x00,  //
                          0x61, 0x00, 0x00, 0x00, 0x7a, 0x00, 0xd1, 0xd2})}),
         image({KEY_A, B({0x0c, 0x00, 0x02, 0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00,  //
                          0x61, 0x00, 0x00, 0x00, 0xd1, 0xd2})})},
        {__LINE__, "a record above the rewrite's buffers is copied whole", image({KEY_A, value(4, "Big", big)}),
         image({KEY_A, value(4, "Big", big)})},
        {__LINE__, "data above the rewrite's buffers are copied whole", image({KEY_A, value(4, "Big", bigLess, "s")}),
         image({KEY_A, value(4, "Big", bigLess)})},
        {__LINE__, "a name without NUL gets one",
         image({B({0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x61, 0x00, 0x62, 0x00})}),
         image({B({0x0a, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00})})},
        {__LINE__, "nameLength 0 is the empty name", image({B({0x04, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00})}),
         image({B({0x06, 0x00, 0x01, 0x00, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00})})},
        {__LINE__, "nameLength 0x100 counts its low byte only",
         image({B({0x04, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x01})}),
         image({B({0x06, 0x00, 0x01, 0x00, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00})})},
        {__LINE__, "a 255-character name without NUL keeps 254 and the NUL",
         image({le16(4 + 510) + le16(1) + le16(0) + le16(255) + utf16(name255)}),
         image({key(0, name255.substr(0, 254))})},
        {__LINE__, "a length shorter than the fields: the walk continues inside",
         image({B({0x00, 0x00, 0x01, 0x00}), KEY_A}),
         image({B({0x06, 0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00}), KEY_A})},
        {__LINE__, "a length whose high byte is damaged: the records it swallows are kept",
         image({le16(0xff08) + KEY_A.substr(2), KEY_B, KEY_A}), image({KEY_A, KEY_B, KEY_A})},
        {__LINE__, "a length 2 short of the last record's fields", image({KEY_A, le16(6) + KEY_B.substr(2)}),
         image({KEY_A, KEY_B})},
        {__LINE__, "whole records after a damaged totalSize are kept", imageWithTotal(20, {KEY_A, KEY_B}),
         image({KEY_A, KEY_B})},
        {__LINE__, "bytes after totalSize that hold no whole record are dropped",
         imageWithTotal(20, {KEY_A, B({0x00, 0x00, 0x00, 0x00, 0x00, 0x00})}), image({KEY_A})},
        {__LINE__, "the walk past totalSize stops at the first record that is not whole",
         imageWithTotal(20, {KEY_A, KEY_B, B({0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00}), KEY_A}),
         image({KEY_A, KEY_B})},
        {__LINE__, "totalSize 0 loses no record", imageWithTotal(0, {KEY_A, KEY_B}), image({KEY_A, KEY_B})},
        {__LINE__, "totalSize 8 loses no record", imageWithTotal(8, {KEY_A, KEY_B}), image({KEY_A, KEY_B})},
        {__LINE__, "negative totalSize loses no record", imageWithTotal(0xffffffff, {KEY_A}), image({KEY_A})},
        {__LINE__, "a positive totalSize below 8 loses no record", imageWithTotal(5, {KEY_A, KEY_B}),
         image({KEY_A, KEY_B})},
        {__LINE__, "a file that ends inside totalSize", SIG + B({0x08, 0x00}), image({})},
        {__LINE__, "a record cut short in its surplus keeps its fields",
         image({B({0x0c, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00, 0xee, 0xee})}),
         image({KEY_A})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", case at line " + std::to_string(c.line));
        ts::Device dev;
        Outcome o = rewrite(dev, repair, c.input);
        EXPECT_EQ(o.result, REPAIR_DONE);
        EXPECT_EQ(ts::hex(o.file), ts::hex(c.output));
        EXPECT_EQ(o.log, "repair: done\n");
        EXPECT_TRUE(o.temp.empty());
    }
}

// A file cut short: a record would be lost, or a cut copy would pass for a
// whole one. The file stays as it was.
TEST(Repair, FileCutShortLeavesTheFileAsItWas) {
    const std::string inputs[] = {
        image({KEY_A, B({0x0e, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x04, 0x00,      //
                         0x41, 0x00, 0x00, 0x00, 0x01, 0x02})}),                          // in its data
        image({KEY_A, B({0x0a, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x41, 0x00})}),  // in its name
        image({KEY_A, B({0x08, 0x00})}),                                                  // in its head
        imageWithTotal(1000, {KEY_A}),                                                    // totalSize beyond the file
        imageWithTotal(0x7fffffff, {KEY_A, KEY_B}),                                       // totalSize 2^31-1
        image({KEY_A, KEY_B}).substr(0, 20),                                              // cut at a record boundary
    };
    for (const auto &input : inputs) {
        SCOPED_TRACE(ts::hex(input));
        ts::Device dev;
        Outcome o = rewrite(dev, repair, input);
        EXPECT_EQ(o.result, RAMIMAGE_CUT_SHORT);
        EXPECT_EQ(ts::hex(o.file), ts::hex(input));
        EXPECT_EQ(o.log, "repair: file cut short, file left unchanged\n");
        EXPECT_TRUE(o.temp.empty());
    }
}

// The type byte is the low byte of type: 0x0201 is a key, 0x0103 is not.
TEST(Repair, TypeByteOtherThanOneOrTwoLeavesTheFileAsItWas) {
    const std::string inputs[] = {
        image({KEY_A, KEY_B, B({0x04, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}), KEY_A}),
        image({B({0x08, 0x00, 0x01, 0x02, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00}),
               B({0x04, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00})}),
        image({B({0x00, 0x00, 0x00, 0x00})}),
    };
    for (const auto &input : inputs) {
        SCOPED_TRACE(ts::hex(input));
        ts::Device dev;
        Outcome o = rewrite(dev, repair, input);
        EXPECT_EQ(o.result, RAMIMAGE_TYPE_ERROR);
        EXPECT_EQ(ts::hex(o.file), ts::hex(input));
        EXPECT_EQ(o.log, "repair: type unknown, file left unchanged\n");
        EXPECT_TRUE(o.temp.empty());
    }
}

// ... and is not copied over: with every copy failing, repair still ends
// with "done".
TEST(Repair, ConsistentImageIsUnchanged) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20; ++i) {
        std::string input = randomImage(rng, i * 3);
        SCOPED_TRACE("image " + std::to_string(i));
        ts::Device dev;
        ASSERT_TRUE(host::setFaults("CopyFileW@*", nullptr));
        Outcome o = rewrite(dev, repair, input);
        host::clearFaults();
        ASSERT_EQ(o.result, REPAIR_DONE);
        EXPECT_EQ(o.log, "repair: done\n");
        EXPECT_TRUE(o.file == input);
        EXPECT_TRUE(o.temp.empty());
    }
}

// Damage of every kind repair mends: it keeps every record either reading
// finds, and a second repair changes nothing.
// Images of many windows whose every record carries two surplus bytes:
// repair gives back the consistent image, byte for byte.
TEST(Repair, LargeImagesLoseEverySurplusByte) {
    std::mt19937 rng(19);
    for (int keys : {60, 300, 900}) {
        const std::string whole = randomImage(rng, keys);
        std::vector<std::string> surplus;
        for (const std::string &r : records(whole))
            surplus.push_back(le16((uint8_t(r[0]) | uint8_t(r[1]) << 8) + 2) + r.substr(2) + "\xee\xee");
        SCOPED_TRACE(std::to_string(keys) + " keys, " + std::to_string(whole.size()) + " bytes");
        ts::Device dev;
        Outcome o = rewrite(dev, repair, image(surplus));
        ASSERT_EQ(o.result, REPAIR_DONE);
        EXPECT_TRUE(o.file == whole);
    }
}

TEST(Repair, RepairTwiceEqualsRepairOnce) {
    std::mt19937 rng(11);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 40; ++i) {
        std::string input = randomImage(rng, 12);
        for (int d = pick(1, 6); d > 0; --d) {
            size_t at = 8 + size_t(pick(0, int(input.size()) - 9));
            switch (pick(0, 4)) {
            case 0:
                input[at] = char(pick(0, 255));
                break;  // any byte
            case 1:
                input.insert(at, std::string(size_t(pick(1, 5)), '\0'));
                break;
            case 2:
                input.erase(at, size_t(pick(1, 5)));
                break;
            case 3:
                input.resize(at);
                break;  // cut short
            case 4:
                input = damageLength(input, rng);
                break;
            }
            if (input.size() < 10) break;
        }
        SCOPED_TRACE("image " + std::to_string(i) + ": " + ts::hex(input.substr(0, 64)));
        ts::Device dev;
        Outcome once = rewrite(dev, repair, input);
        if (once.result == RAMIMAGE_TYPE_ERROR || once.result == RAMIMAGE_CUT_SHORT ||
            once.result == RAMIMAGE_LENGTH_UNCLEAR) {
            EXPECT_TRUE(once.file == input);
            continue;
        }
        ASSERT_EQ(once.result, REPAIR_DONE);
        EXPECT_TRUE(keepsWholeRecords(input, once.file));
        Outcome twice = rewrite(dev, repair, nullptr);
        EXPECT_EQ(twice.result, REPAIR_DONE);
        EXPECT_TRUE(twice.file == once.file);
        // totalSize is the file's length.
        ASSERT_GE(once.file.size(), 8u);
        EXPECT_EQ(once.file.substr(4, 4), le32(uint32_t(once.file.size())));
    }
}

}  // namespace

namespace {

// The log line of each result of a rewrite that leaves the file as it was.
std::string refusalLine(Operation op, int result) {
    const std::string name = op == repair ? "repair: " : "reorder: ";
    switch (result) {
    case RAMIMAGE_LENGTH_UNCLEAR:
        return name + "record length unclear, file left unchanged\n";
    case RAMIMAGE_LENGTH_DAMAGED:
        return name + "record length damaged, file left unchanged\n";
    case RAMIMAGE_CUT_SHORT:
        return name + "file cut short, file left unchanged\n";
    case RAMIMAGE_TYPE_ERROR:
        return name + "type unknown, file left unchanged\n";
    default:
        return "(result " + std::to_string(result) + ")";
    }
}

// Where the two readings of a record's length cannot be told apart, both
// rewrites leave the file as it was.
TEST(Rewrite, LengthReadingsThatCannotBeToldApartLeaveTheFileAsItWas) {
    const std::string inner = key(2, "in");
    const std::string inputs[] = {
        // The surplus bytes are a whole key, and the stored length leads on to the end too.
        image({key(2, "S", inner), KEY_B}),
        // The stored length runs past the end; the fields lead to a key, then to one with surplus bytes.
        image({le16(0xff08) + KEY_A.substr(2), KEY_B, key(2, "C", "\xee\xee"), KEY_B}),
        // The stored length runs exactly to the end over the records the fields lead to.
        image({le16(8 + 2 * 12) + KEY_A.substr(2), KEY_B, KEY_B}),
    };
    for (const auto &input : inputs) {
        for (Operation op : {repair, reorder}) {
            SCOPED_TRACE(ts::hex(input));
            ts::Device dev;
            Outcome o = rewrite(dev, op, input);
            EXPECT_EQ(o.result, RAMIMAGE_LENGTH_UNCLEAR);
            EXPECT_EQ(ts::hex(o.file), ts::hex(input));
            EXPECT_EQ(o.log, refusalLine(op, RAMIMAGE_LENGTH_UNCLEAR));
            EXPECT_TRUE(o.temp.empty());
        }
    }
}

// Every record's length of a saved image damaged in turn: a rewrite keeps
// every record that either reading of the lengths finds, or leaves the file
// as it was with a line that says why. A high byte set to 0xFF once made
// repair write the first record alone and say "repair: done".
TEST(Rewrite, DamagedLengthOfEveryRecordOfASavedImage) {
    ts::Device dev;
    ASSERT_TRUE(RegCopyFile(IMAGE_PATH));
    const std::string saved = dev.read(IMAGE_FILE);
    const std::vector<std::string> recs = records(saved);
    ASSERT_GT(recs.size(), 20u);
    struct Damage {
        const char *what;
        unsigned (*length)(unsigned);
    };
    const Damage damages[] = {
        {"high byte 0xFF", [](unsigned l) { return l | 0xff00; }},
        {"+4", [](unsigned l) { return l + 4; }},
        {"+1", [](unsigned l) { return l + 1; }},
        {"-2", [](unsigned l) { return l - 2; }},
        {"0", [](unsigned) { return 0u; }},
        {"low byte xor 0xFF", [](unsigned l) { return l ^ 0xff; }},
    };
    for (const Damage &d : damages) {
        for (Operation op : {repair, reorder}) {
            std::map<std::string, int> counts;
            size_t at = 8;
            for (const std::string &rec : recs) {
                std::string input = saved;
                const unsigned length =
                    d.length(static_cast<unsigned char>(rec[0]) | static_cast<unsigned char>(rec[1]) << 8);
                input.replace(at, 2, le16(length & 0xffff));
                SCOPED_TRACE(std::string(d.what) + " at the record at " + std::to_string(at));
                at += rec.size();
                host::fs::remove(dev.host("/Corvane.log"));
                Outcome o = rewrite(dev, op, input);
                EXPECT_TRUE(o.temp.empty());
                if (o.result == (op == repair ? REPAIR_DONE : REORDER_DONE)) {
                    EXPECT_EQ(o.log, op == repair ? "repair: done\n" : "reorder: done\n");
                    EXPECT_TRUE(keepsWholeRecords(input, o.file));
                    ++counts[records(o.file).size() == recs.size() ? "done, every record" : "done, fewer records"];
                    // One damaged length in a saved image: the others tell which reading is right.
                    EXPECT_EQ(records(o.file).size(), recs.size());
                } else {
                    // reorder copies records as they are: it cannot mend a length.
                    EXPECT_EQ(o.result, op == repair ? -1 : RAMIMAGE_LENGTH_DAMAGED);
                    EXPECT_EQ(o.log, refusalLine(op, o.result));
                    EXPECT_TRUE(o.file == input);
                    ++counts[refusalLine(op, o.result)];
                }
            }
            std::string line = std::string(op == repair ? "repair" : "reorder") + ", length " + d.what + ":";
            for (const auto &c : counts)
                line +=
                    " " + std::to_string(c.second) + " " + c.first.substr(0, c.first.size() - (c.first.back() == '\n'));
            std::printf("%s\n", line.c_str());
        }
    }
}

}  // namespace
