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

// One record of an image as the two readings of its length see it.
struct RecordView {
    bool ok = false;            // a head whose type byte is 1 or 2
    size_t storedNext = 0;      // offset + length + 4
    long long fieldsNext = -1;  // offset + 4 + what its fields give; -1: they run past the end
    bool consistent = false;    // whole, length as its fields give, one NUL ending the name, high bytes 0
};

inline RecordView recordView(const std::string &image, size_t at) {
    RecordView v;
    auto u8 = [&](size_t i) { return unsigned(static_cast<unsigned char>(image[i])); };
    auto u16 = [&](size_t i) { return u8(i) | u8(i + 1) << 8; };
    const size_t n = image.size();
    if (at < 8 || at + 4 > n) return v;
    const unsigned type = u16(at + 2), typeByte = type & 0xff;
    if (typeByte != 1 && typeByte != 2) return v;
    v.ok = true;
    v.storedNext = at + 4 + u16(at);
    const size_t nameAt = at + (typeByte == 1 ? 8 : 10);
    if (nameAt > n) return v;
    const unsigned cch = u8(at + 6);
    const size_t end = nameAt + 2 * cch + (typeByte == 2 ? u16(at + 8) : 0);
    if (end > n) return v;
    v.fieldsNext = static_cast<long long>(end);
    if (type != typeByte || u8(at + 5) != 0 || u8(at + 7) != 0 || end != v.storedNext || cch == 0) return v;
    for (unsigned i = 0; i < cch; ++i) {
        if (u16(nameAt + 2 * i) == 0) {
            v.consistent = i + 1 == cch;
            break;
        }
    }
    return v;
}

// What the two readings of an image's record lengths find.
struct Readings {
    std::vector<std::string> records;  // every record either reading finds whole
    bool unclear = false;              // a rewrite cannot tell which reading is right
    bool storedDamaged = false;        // somewhere only the fields' reading leads on
};

// The records either reading of a RAM image finds whole. A record's stored
// length and the length its fields give (4 + 2 x nameLength for a key,
// 6 + 2 x nameLength + dataLength for a value, nameLength by its low byte)
// are two readings of where the next record starts. The walk goes from
// offset 8 by the stored length, which a consistent record's fields agree
// with, and goes on over records that are not consistent when both give the
// same place. Where they differ, each reading is followed over whole,
// consistent records until it meets the other, reaches the end (of the
// bytes, or totalSize on a record boundary) or gets lost (a record that is
// not whole and consistent); the records both find count. The walk then
// goes on along the fields' reading when the stored one got lost without a
// record and the fields' one did not get lost; along the stored one when
// the fields' one found no record (and the other found none the walk does
// not find again); otherwise it cannot be told which is right, both count,
// and the walk ends. After totalSize only consistent records count.
inline Readings readings(const std::string &image) {
    Readings out;
    const size_t n = image.size();
    if (n < 8 || image.compare(0, 4, SIG) != 0) return out;
    auto u8 = [&](size_t i) { return uint32_t(static_cast<unsigned char>(image[i])); };
    const int64_t total = int32_t(u8(4) | u8(5) << 8 | u8(6) << 16 | u8(7) << 24);
    auto atEnd = [&](size_t at) { return at == n || (int64_t(at) == total && total >= 8 && int64_t(n) > total); };
    enum State { On, End, Met, Lost };
    struct Reading {
        size_t at;
        State state;
        std::vector<std::string> found;
    };
    auto step = [&](Reading &r) {
        RecordView v = recordView(image, r.at);
        if (atEnd(r.at)) {
            r.state = End;
        } else if (!v.consistent) {
            r.state = Lost;
        } else {
            r.found.push_back(image.substr(r.at, v.storedNext - r.at));
            r.at = v.storedNext;
        }
    };
    size_t at = 8;
    for (bool first = true; at + 4 <= n; first = false) {
        RecordView v = recordView(image, at);
        if (!v.ok || ((first ? 0 : int64_t(at)) >= total && !v.consistent)) break;
        if (v.consistent) out.records.push_back(image.substr(at, v.storedNext - at));
        if (v.consistent || v.fieldsNext < 0 || size_t(v.fieldsNext) == v.storedNext) {
            at = v.storedNext;
            continue;
        }
        Reading stored{v.storedNext, On, {}}, fields{size_t(v.fieldsNext), On, {}};
        while (stored.state == On || fields.state == On) {
            if (stored.state == On && fields.state == On && stored.at == fields.at) {
                stored.state = fields.state = Met;
            } else if (stored.state == On && (fields.state != On || stored.at < fields.at)) {
                step(stored);
            } else {
                step(fields);
            }
        }
        // The walk takes the records of the reading it goes on along.
        if (stored.state == Lost && stored.found.empty() && fields.state != Lost) {
            out.storedDamaged = true;
            at = size_t(v.fieldsNext);
        } else if (fields.found.empty()) {
            at = v.storedNext;
        } else {
            for (const Reading *r : {&stored, &fields})
                out.records.insert(out.records.end(), r->found.begin(), r->found.end());
            out.unclear = true;
            break;
        }
    }
    return out;
}

// True when every record that either reading of before finds whole is a
// record of after (as a multiset).
inline bool keepsWholeRecords(const std::string &before, const std::string &after) {
    std::vector<std::string> now = records(after);
    for (const std::string &record : readings(before).records) {
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

// The image with the length field of one of its records (as the stored
// lengths walk them) changed: its high byte set, a few added or taken, or
// any value.
inline std::string damageLength(const std::string &image, std::mt19937 &rng) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<std::string> recs = records(image);
    if (recs.empty()) return image;
    size_t at = 8, index = size_t(pick(0, int(recs.size()) - 1));
    for (size_t i = 0; i < index; ++i) at += recs[i].size();
    if (at + 2 > image.size()) return image;
    unsigned length = static_cast<unsigned char>(image[at]) | static_cast<unsigned char>(image[at + 1]) << 8;
    switch (pick(0, 2)) {
    case 0:
        length |= unsigned(pick(1, 255)) << 8;
        break;
    case 1:
        length += unsigned(pick(-6, 6));
        break;
    default:
        length = unsigned(pick(0, 0xffff));
    }
    std::string out = image;
    out.replace(at, 2, le16(length & 0xffff));
    return out;
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
