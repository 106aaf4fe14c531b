// reorder_test.cpp - reorder: the order of the records it writes, records it
// cannot place in a unit, and the invariants of a regrouping.
#include "imagebytes.h"
#include "rewrite.h"

#include <algorithm>

#include <gtest/gtest.h>

using namespace imgtest;

namespace {

// Short records with their bytes in view: key "1", tag 0; value "a" with
// one data byte; and so on. K(tag, c) is the key named c.
std::string K(int tag, char c) {
    return B({0x08, 0x00, 0x01, 0x00, tag & 0xff, tag >> 8, 0x02, 0x00, c, 0x00, 0x00, 0x00});
}
std::string V(char c) {
    return B({0x0b, 0x00, 0x02, 0x00, 0x03, 0x00, 0x02, 0x00, 0x01, 0x00, c, 0x00, 0x00, 0x00, 0x99});
}

struct ReorderCase {
    int line;
    const char *what;
    std::vector<std::string> input;
    std::vector<std::string> output;
};

TEST(Reorder, RegroupsKeyGroups) {
    // the largest record there is: length 65535, above every buffer of the rewrite
    const std::string big = value(4, "Big", std::string(65521, '\x33'));
    const std::string surplusKey = key(1, "S", "\xee\xee\xee");
    const std::string surplusValue = value(1, "s", "d", "\xee");
    const std::string other = B({0x04, 0x00, 0x03, 0x00, 0x00, 0x00, 0x41, 0x41});
    const std::string other0101 = B({0x08, 0x00, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x41, 0x00, 0x00, 0x00});
    const ReorderCase cases[] = {
        {__LINE__,
         "a group ends when the tag byte changes",
         {K(0, '1'), V('a'), V('b'), K(1, '2'), V('c'), K(1, '3'), V('d'), V('e')},
         {K(0, '1'), V('b'), V('a'), K(1, '3'), V('e'), V('d'), K(1, '2'), V('c')}},
        {__LINE__,
         "tags 0, 1, 0: one key a group",
         {K(0, '1'), K(1, '2'), K(0, '3')},
         {K(0, '1'), K(1, '2'), K(0, '3')}},
        {__LINE__, "two keys of one tag are swapped", {K(5, '1'), K(5, '2')}, {K(5, '2'), K(5, '1')}},
        {__LINE__,
         "values follow their key newest first",
         {K(0, '1'), V('a'), V('b'), V('c')},
         {K(0, '1'), V('c'), V('b'), V('a')}},
        {__LINE__, "tags 0x0100 and 0x0000 share the tag byte", {K(0x100, '1'), K(0, '2')}, {K(0, '2'), K(0x100, '1')}},
        {__LINE__,
         "tag byte 0xFF starts a group like any other",
         {K(0xff, '1'), K(0xff, '2'), K(0, '3')},
         {K(0xff, '2'), K(0xff, '1'), K(0, '3')}},
        {__LINE__,
         "surplus bytes travel with their records",
         {K(1, '1'), surplusValue, surplusKey, surplusValue, V('a')},
         {surplusKey, V('a'), surplusValue, K(1, '1'), surplusValue}},
        {__LINE__,
         "records above the rewrite's buffers are copied whole",
         {K(2, '1'), big, V('a'), K(2, '2'), big},
         {K(2, '2'), big, K(2, '1'), V('a'), big}},
        {__LINE__, "the header alone", {}, {}},
        {__LINE__,
         "values before the first key stay in front, in order",
         {V('a'), V('b'), K(0, '1'), V('c'), V('d'), K(0, '2')},
         {V('a'), V('b'), K(0, '2'), K(0, '1'), V('d'), V('c')}},
        {__LINE__, "an image of values only is unchanged", {V('a'), V('b'), V('c')}, {V('a'), V('b'), V('c')}},
        {__LINE__,
         "a record of another type ends the group and keeps its place",
         {K(0, '1'), K(0, '2'), V('a'), other, V('b'), K(0, '3'), K(0, '4')},
         {K(0, '2'), V('a'), K(0, '1'), other, V('b'), K(0, '4'), K(0, '3')}},
        {__LINE__,
         "type 0x0101 is another type",
         {K(0, '1'), K(0, '2'), other0101, K(0, '3')},
         {K(0, '2'), K(0, '1'), other0101, K(0, '3')}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", case at line " + std::to_string(c.line));
        ts::Device dev;
        Outcome o = rewrite(dev, reorder, image(c.input));
        EXPECT_EQ(o.result, REORDER_DONE);
        EXPECT_EQ(ts::hex(o.file), ts::hex(image(c.output)));
        EXPECT_EQ(o.log, "reorder: done\n");
        EXPECT_TRUE(o.temp.empty());
    }
}

struct TotalCase {
    int line;
    const char *what;
    std::string input;
    std::string output;
};

// The walk's ends: totalSize, the end of the file.
TEST(Reorder, WalkEnds) {
    const TotalCase cases[] = {
        {__LINE__, "bytes after totalSize that hold no whole record are dropped",
         imageWithTotal(20, {K(0, '1'), B({0x00, 0x00, 0x00, 0x00, 0x00, 0x00})}), image({K(0, '1')})},
        {__LINE__, "a key whose tag is past the end keeps its place",
         image({K(0, '1'), K(0, '2'), B({0x00, 0x00, 0x01, 0x00})}),
         image({K(0, '2'), K(0, '1'), B({0x00, 0x00, 0x01, 0x00})})},
        {__LINE__, "a file that ends inside totalSize", SIG + B({0x08}), image({})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", case at line " + std::to_string(c.line));
        ts::Device dev;
        Outcome o = rewrite(dev, reorder, c.input);
        EXPECT_EQ(o.result, REORDER_DONE);
        EXPECT_EQ(ts::hex(o.file), ts::hex(c.output));
        EXPECT_EQ(o.log, "reorder: done\n");
        EXPECT_TRUE(o.temp.empty());
    }
}

// A file cut short: the file stays as it was, so that a cut copy never gets
// a totalSize that makes it pass for a whole one.
TEST(Reorder, FileCutShortLeavesTheFileAsItWas) {
    const std::string inputs[] = {
        image({K(0, '1'), K(0, '2'), V('a').substr(0, 9)}),
        image({K(0, '1'), K(0, '2'), B({0x08})}),
        imageWithTotal(1000, {K(0, '1'), K(0, '2')}),
        image({K(0, '1'), K(0, '2')}).substr(0, 8 + K(0, '1').size()),
    };
    for (const auto &input : inputs) {
        SCOPED_TRACE(ts::hex(input));
        ts::Device dev;
        Outcome o = rewrite(dev, reorder, input);
        EXPECT_EQ(o.result, RAMIMAGE_CUT_SHORT);
        EXPECT_EQ(ts::hex(o.file), ts::hex(input));
        EXPECT_EQ(o.log, "reorder: file cut short, file left unchanged\n");
        EXPECT_TRUE(o.temp.empty());
    }
}

// Whole records after a damaged totalSize would be dropped by the walk: the
// file stays as it was (repair mends totalSize).
TEST(Reorder, RecordsAfterADamagedTotalSizeLeaveTheFileAsItWas) {
    const std::string inputs[] = {
        imageWithTotal(20, {K(0, '1'), K(0, '2')}),
        imageWithTotal(0, {K(0, '1')}),
        imageWithTotal(8, {K(0, '1'), K(0, '2')}),
        imageWithTotal(0xffffffff, {K(0, '1'), V('a')}),
    };
    for (const auto &input : inputs) {
        SCOPED_TRACE(ts::hex(input));
        ts::Device dev;
        Outcome o = rewrite(dev, reorder, input);
        EXPECT_EQ(o.result, RAMIMAGE_SIZE_FIELD);
        EXPECT_EQ(ts::hex(o.file), ts::hex(input));
        EXPECT_EQ(o.log, "reorder: records after totalSize, file left unchanged\n");
        EXPECT_TRUE(o.temp.empty());
    }
}

// Random images, some with damage: the same records come out, byte for
// byte, among them every record either reading finds, and totalSize is 8
// plus their sizes.
TEST(Reorder, OnlyRegroups) {
    std::mt19937 rng(5);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 40; ++i) {
        std::string input = randomImage(rng, i);
        if (i % 2 && input.size() > 12) {  // damage: a byte changed, the end cut
            input[8 + size_t(pick(0, int(input.size()) - 9))] = char(pick(0, 255));
            if (pick(0, 1)) input.resize(input.size() - size_t(pick(1, 3)));
        } else if (i % 4 == 2) {
            input = damageLength(input, rng);
        }
        SCOPED_TRACE("image " + std::to_string(i));
        ts::Device dev;
        Outcome o = rewrite(dev, reorder, input);
        // The end cut, or a length that leads elsewhere than the fields: nothing rewritten.
        if (o.result == RAMIMAGE_CUT_SHORT || o.result == RAMIMAGE_LENGTH_DAMAGED ||
            o.result == RAMIMAGE_LENGTH_UNCLEAR) {
            EXPECT_TRUE(o.file == input);
            continue;
        }
        ASSERT_EQ(o.result, REORDER_DONE);
        EXPECT_TRUE(keepsWholeRecords(input, o.file));
        ASSERT_EQ(
            o.file.size(), 8 + [&] {
                size_t n = 0;
                for (const auto &r : records(o.file)) n += r.size();
                return n;
            }());
        EXPECT_EQ(o.file.substr(0, 4), SIG);
        EXPECT_EQ(o.file.substr(4, 4), le32(uint32_t(o.file.size())));
        auto in = records(input), out = records(o.file);
        std::sort(in.begin(), in.end());
        std::sort(out.begin(), out.end());
        EXPECT_TRUE(in == out);
    }
}

// The order reorder gives the records of a consistent image: values before
// the first key in place; each run of keys with one tag byte a group, its
// units last first, each unit its key and then its values last first.
std::string regrouped(const std::string &input) {
    std::vector<std::vector<std::string>> group;  // units, each its key first
    std::string body;
    int tag = -1;
    auto flush = [&] {
        for (auto unit = group.rbegin(); unit != group.rend(); ++unit) {
            body += unit->front();
            for (size_t v = unit->size(); v-- > 1;) body += (*unit)[v];
        }
        group.clear();
    };
    for (const std::string &r : records(input)) {
        if (r[2] == 1) {
            if (tag != -1 && tag != (unsigned char)r[4]) flush();
            tag = (unsigned char)r[4];
            group.push_back({r});
        } else if (group.empty()) {
            body += r;
        } else {
            group.back().push_back(r);
        }
    }
    flush();
    return SIG + le32(uint32_t(body.size() + 8)) + body;
}

// Images of many windows (up to about 1 MiB, records up to 6000 bytes):
// the output is the model's, byte for byte.
TEST(Reorder, LargeImagesAsTheModelOrdersThem) {
    std::mt19937 rng(17);
    for (int keys : {60, 300, 900}) {
        const std::string input = randomImage(rng, keys);
        SCOPED_TRACE(std::to_string(keys) + " keys, " + std::to_string(input.size()) + " bytes");
        ts::Device dev;
        Outcome o = rewrite(dev, reorder, input);
        ASSERT_EQ(o.result, REORDER_DONE);
        EXPECT_TRUE(o.file == regrouped(input));
    }
}

// Consecutive keys never share a tag byte and no key has two values: the
// image is unchanged, and not copied over (every copy would fail).
TEST(Reorder, NothingToRegroupLeavesTheImageAsItWas) {
    std::mt19937 rng(3);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 10; ++i) {
        std::vector<std::string> recs;
        int tag = 0;
        for (int k = pick(0, 30); k > 0; --k) {
            tag = (tag + pick(1, 255)) % 256;
            recs.push_back(key(unsigned(tag), std::string(size_t(pick(1, 60)), 'k')));
            if (pick(0, 1)) recs.push_back(value(1, "v", std::string(size_t(pick(0, 300)), 'd')));
        }
        ts::Device dev;
        ASSERT_TRUE(host::setFaults("CopyFileW@*", nullptr));
        Outcome o = rewrite(dev, reorder, image(recs));
        host::clearFaults();
        EXPECT_EQ(o.result, REORDER_DONE);
        EXPECT_EQ(o.log, "reorder: done\n");
        EXPECT_TRUE(o.file == image(recs));
    }
}

}  // namespace
