// hivetest.h - helpers shared by the hive tests: hive backup bytes, the
// log as lines, the temporary names an operation used.
#pragma once

#include "app/driver.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hvt {

// A 32-bit little-endian field.
inline std::string le32(int64_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++) s[i] = static_cast<char>((u >> (8 * i)) & 0xff);
    return s;
}

// The 32-bit little-endian field at offset at.
inline uint32_t le32At(const std::string &bytes, int64_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = v << 8 | static_cast<uint8_t>(bytes[static_cast<size_t>(at) + i]);
    return v;
}

// A hive backup file holding the two images, without the integrity trailer
// (as older programs wrote it, or a file made by hand).
inline std::string plainBackupOf(const std::string &system, const std::string &user) {
    return "XGER" + le32(static_cast<int64_t>(system.size())) + system + le32(static_cast<int64_t>(user.size())) + user;
}

// The CRC-32 of bytes, as zlib computes it.
inline uint32_t crcOf(const std::string &bytes) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// A whole hive backup file holding the two images, as corvaneHv writes it:
// with the integrity trailer ("XGCK" and both images' CRC-32).
inline std::string backupOf(const std::string &system, const std::string &user) {
    return plainBackupOf(system, user) + "XGCK" + le32(crcOf(system)) + le32(crcOf(user));
}

// n bytes that differ from block to block, so that a misplaced block shows.
inline std::string blob(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// The log split into lines (the last line break ends the last line).
inline std::vector<std::string> logLines(const ts::Device &dev) {
    std::vector<std::string> lines;
    std::string log = dev.log(), line;
    for (char c : log) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// Entries of \Temp whose names begin with prefix (case as the platform made them).
inline std::vector<std::string> tempFiles(const ts::Device &dev, const std::string &prefix) {
    std::vector<std::string> found;
    for (const std::string &name : dev.ls("/Temp"))
        if (name.compare(0, prefix.size(), prefix) == 0) found.push_back(name);
    return found;
}

// The first "\Temp\<prefix>....tmp" named in the log, or "" when none is.
inline std::string tempNameIn(const std::vector<std::string> &lines, const std::string &prefix) {
    const std::string head = "\\Temp\\" + prefix;
    for (const std::string &line : lines) {
        size_t at = line.find(head);
        if (at == std::string::npos) continue;
        size_t end = line.find(".tmp", at);
        if (end != std::string::npos) return line.substr(at, end + 4 - at);
    }
    return "";
}

// Device path as the system's UTF-16 string.
inline std::u16string w(const std::string &s) { return ts::u16(s); }

// Turns logging on (default log path "\Corvane.log").
inline void logOn() { g_logging = -1; }

// The device counts calls only while some rule is set: one that never fires.
inline void countCalls() { ASSERT_TRUE(host::setFaults("KernelIoControl@1000000")); }

}  // namespace hvt
