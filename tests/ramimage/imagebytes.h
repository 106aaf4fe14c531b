// imagebytes.h - byte helpers for RAM registry image tests: byte lists,
// records, images, a walk over an image's records, and random images.
#pragma once

#include "app/driver.h"

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace imgtest {

// Bytes from a list of byte values: B({0x08, 0x00, 0x01, 0x00}).
inline std::string B(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

inline std::string le16(unsigned v) { return B({int(v & 0xff), int((v >> 8) & 0xff)}); }
inline std::string le32(uint32_t v) { return le16(v & 0xffff) + le16(v >> 16); }

inline const std::string SIG = B({0xb2, 0x74, 0x83, 0x1d});

// The records joined behind a header whose totalSize is their length + 8.
inline std::string image(const std::vector<std::string> &records) {
    std::string body;
    for (const auto &r : records) body += r;
    return SIG + le32(uint32_t(body.size() + 8)) + body;
}

// The records behind a header with the given totalSize.
inline std::string imageWithTotal(uint32_t totalSize, const std::vector<std::string> &records) {
    std::string body;
    for (const auto &r : records) body += r;
    return SIG + le32(totalSize) + body;
}

inline std::string utf16(const std::string &ascii) {
    std::string s;
    for (char c : ascii) s += std::string(1, c) + '\0';
    return s;
}

// A consistent key record with the given tag and ASCII name (NUL added).
inline std::string key(unsigned tag, const std::string &name, const std::string &surplus = "") {
    unsigned cch = unsigned(name.size() + 1);
    return le16(4 + 2 * cch + unsigned(surplus.size())) + le16(1) + le16(tag) + le16(cch) + utf16(name) + le16(0) +
           surplus;
}

// A consistent value record.
inline std::string value(unsigned tag, const std::string &name, const std::string &data,
                         const std::string &surplus = "") {
    unsigned cch = unsigned(name.size() + 1);
    return le16(6 + 2 * cch + unsigned(data.size() + surplus.size())) + le16(2) + le16(tag) + le16(cch) +
           le16(unsigned(data.size())) + utf16(name) + le16(0) + data + surplus;
}

// The records of an image as the rewrites walk them: by stored length, from
// offset 8, up to totalSize or the end of the bytes (a last record cut short
// is returned as far as it goes).
inline std::vector<std::string> records(const std::string &image) {
    std::vector<std::string> out;
    if (image.size() < 8) return out;
    auto u8 = [&](size_t i) { return unsigned(static_cast<unsigned char>(image[i])); };
    int32_t total = int32_t(u8(4) | u8(5) << 8 | u8(6) << 16 | uint32_t(u8(7)) << 24);
    size_t at = 8;
    bool first = true;
    while (at < image.size() && (first ? 0 : int64_t(at)) < total) {
        first = false;
        size_t size = at + 4 <= image.size() ? (u8(at) | u8(at + 1) << 8) + 4 : image.size() - at;
        out.push_back(image.substr(at, size));
        at += size;
    }
    return out;
}

// The records of a RAM image that a rewrite must keep: from offset 8, by
// stored length, as long as each is whole and consistent (as the image
// check sees a record), whatever totalSize says.
inline std::vector<std::string> wholeRecords(const std::string &image) {
    std::vector<std::string> out;
    if (image.size() < 8 || image.compare(0, 4, SIG) != 0) return out;
    size_t at = 8;
    while (at + 4 <= image.size()) {
        size_t size = (static_cast<unsigned char>(image[at]) | static_cast<unsigned char>(image[at + 1]) << 8) + 4u;
        if (at + size > image.size()) break;
        // The record alone in an image of its own, through the image check.
        std::string one = SIG + le32(uint32_t(8 + size)) + image.substr(at, size);
        ImageCheck check;
        imageCheckStart(&check, static_cast<int64_t>(one.size()));
        imageCheckFeed(&check, reinterpret_cast<const BYTE *>(one.data()), one.size());
        imageCheckEnd(&check);
        if (!imageLayoutConsistent(&check)) break;
        out.push_back(image.substr(at, size));
        at += size;
    }
    return out;
}

// True when every record of wholeRecords(before) is in after (as a multiset).
inline bool keepsWholeRecords(const std::string &before, const std::string &after) {
    std::vector<std::string> now = records(after);
    for (const std::string &record : wholeRecords(before)) {
        bool found = false;
        for (std::string &r : now) {
            if (r == record) {
                r.clear();
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

// A random consistent image: keys in runs of shared tags, values with names
// of 1 to 20 characters and 0 to 40 bytes of data, now and then one above
// 4096 bytes.
inline std::string randomImage(std::mt19937 &rng, int keys) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto name = [&] {
        std::string n;
        for (int i = pick(1, 20); i > 0; --i) n.push_back(char(pick('a', 'z')));
        return n;
    };
    std::vector<std::string> recs;
    unsigned tag = 0;
    for (int k = 0; k < keys; ++k) {
        if (pick(0, 2) == 0) tag = unsigned(pick(0, 3));
        recs.push_back(key(tag, name()));
        for (int v = pick(0, 4); v > 0; --v) {
            std::string data(pick(0, 9) == 0 ? size_t(pick(4097, 6000)) : size_t(pick(0, 40)), '\0');
            for (auto &c : data) c = char(pick(0, 255));
            recs.push_back(value(unsigned(pick(0, 7)), name(), data));
        }
    }
    return image(recs);
}

}  // namespace imgtest
