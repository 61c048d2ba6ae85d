// Shared fixture of the boot-set manager's board tests: a fresh 512m board,
// the table and flag records encoded here byte by byte (not by the program),
// board states built straight on the flash, and readers of what a run left.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "board.h"

namespace tv {

using Bytes = std::vector<uint8_t>;
using Argv = std::vector<std::string>;

constexpr int kFlag = 3, kTable1 = 9, kTable2 = 10;
constexpr uint32_t kBlock = 131072;
constexpr uint32_t kTableMarker = 0xAAAAAAAA, kFlagMarker = 0x55555555;
const std::string kSeparator(60, '=');

struct Image {
    const char* name;
    int low, high;          // partition numbers
    uint32_t blocks;        // blocks summed and copied
    uint32_t imageBytes;    // size of the test image loaded into it
};
// S1L, U-Boot, kernel, application: the order of every scan.
const std::array<Image, 4> kImages = {{
    {"s1l", 0, 6, 1, 100000},
    {"uboot", 1, 7, 4, 300000},
    {"kernel", 2, 8, 128, 1500000},
    {"app", 5, 12, 680, 3000000},
}};
enum { kS1L, kUboot, kKernel, kApp };

inline void putLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t le32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

// The fields of a table record that the commands set.
struct Fields {
    uint8_t high = 0, low = 0;
    uint16_t length = 10;
    std::array<uint32_t, 4> sums = {};
};

// The checksum of a record: its bytes 10 to 27.
inline uint32_t checksumOf(const Bytes& rec) {
    uint32_t sum = 0;
    for (size_t i = 10; i < 28; ++i)
        sum += rec[i];
    return sum;
}

// 28 bytes: marker, checksum (plus an error when asked), length, the two
// updating bytes and the four sums, little-endian.
inline Bytes encodeRecord(const Fields& f, uint32_t marker = kTableMarker, int32_t sumError = 0) {
    Bytes r(28, 0);
    putLe32(r, 0, marker);
    r[8] = static_cast<uint8_t>(f.length);
    r[9] = static_cast<uint8_t>(f.length >> 8);
    r[10] = f.high;
    r[11] = f.low;
    for (int i = 0; i < 4; ++i)
        putLe32(r, 12 + 4 * i, f.sums[i]);
    putLe32(r, 4, checksumOf(r) + static_cast<uint32_t>(sumError));
    return r;
}

inline Fields decodeRecord(const Bytes& r) {
    Fields f;
    f.length = static_cast<uint16_t>(r[8] | r[9] << 8);
    f.high = r[10];
    f.low = r[11];
    for (int i = 0; i < 4; ++i)
        f.sums[i] = le32(r, 12 + 4 * i);
    return f;
}

inline bool verifies(const Bytes& r) { return le32(r, 0) == kTableMarker && le32(r, 4) == checksumOf(r); }

// Sums that match no image: a table written long ago.
inline Fields withSums(uint32_t s1l, uint32_t uboot, uint32_t kernel, uint32_t app) {
    Fields f;
    f.sums = {s1l, uboot, kernel, app};
    return f;
}
const Fields kStale = withSums(0x1111, 0x2222, 0x3333, 0x4444);
const Fields kOther = withSums(0x5555, 0x6666, 0x7777, 0x8888);

inline Bytes encodeFlag(uint32_t reference, uint32_t marker = kFlagMarker, uint32_t end = kFlagMarker) {
    Bytes f(12, 0);
    putLe32(f, 0, marker);
    putLe32(f, 4, reference);
    putLe32(f, 8, end);
    return f;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The bytes as a dump line of the program prints them: "%02x " each.
inline std::string hexBytes(const Bytes& b) {
    std::string s;
    char cell[4];
    for (uint8_t v : b) {
        snprintf(cell, sizeof cell, "%02x ", v);
        s += cell;
    }
    return s;
}

inline std::string hexValue(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "%x", v);
    return text;
}

inline size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

inline bool contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

class TolvaneTest : public ::testing::Test {
protected:
    explicit TolvaneTest(const testboard::BoardOptions& options = testboard::BoardOptions()) : board(options) {}

    // No run of the manager may program a page twice or write a bad block.
    void TearDown() override { EXPECT_EQ(board.violations(), 0u); }

    testboard::RunResult run(const Argv& argv) const { return board.run(argv); }
    testboard::RunResult expectRun(const Argv& argv, int status = 0) const {
        testboard::RunResult r = run(argv);
        EXPECT_TRUE(r.exited(status)) << "status " << r.status << " signal " << r.signal << "\n" << r.err;
        return r;
    }

    uint32_t page() const { return board.pageSize(); }

    // One record page as the program stores it: the bytes, then 0xFF.
    Bytes recordPage(const Bytes& record) const { return record + Bytes(page() - record.size(), 0xFF); }

    // Puts a record at the start of the first good block of a record partition.
    void putRecordPage(int mtd, const Bytes& record, uint32_t block = 0) {
        board.eraseBlock(mtd, block);
        board.program(mtd, uint64_t{block} * kBlock, recordPage(record));
    }
    void putTable(int mtd, const Bytes& record) { putRecordPage(mtd, record); }
    void putFlag(uint32_t reference, uint32_t marker = kFlagMarker) {
        putRecordPage(kFlag, encodeFlag(reference, marker));
    }
    // Both copies hold the record, the flag names copy 1.
    void putValidTables(const Fields& f, uint32_t reference = 1) {
        putTable(kTable1, encodeRecord(f));
        putTable(kTable2, encodeRecord(f));
        putFlag(reference);
    }

    // Both copies hold exactly this record, each as a whole page.
    void expectStored(const Bytes& record) const {
        EXPECT_EQ(pageAt(kTable1, 0), recordPage(record)) << hexBytes(storedRecord(kTable1));
        EXPECT_EQ(pageAt(kTable2, 0), recordPage(record)) << hexBytes(storedRecord(kTable2));
    }
    void expectFlag(const Bytes& flag) const { EXPECT_EQ(pageAt(kFlag, 0), recordPage(flag)); }

    // The rest of the first block of a record partition is still erased.
    void expectRestErased(int mtd) const {
        Bytes rest = board.read(mtd, page(), kBlock - page());
        EXPECT_EQ(rest, Bytes(rest.size(), 0xFF)) << "mtd" << mtd;
    }

    Bytes pageAt(int mtd, uint64_t offset) const { return board.read(mtd, offset, page()); }
    Bytes storedRecord(int mtd, uint32_t block = 0) const { return board.read(mtd, uint64_t{block} * kBlock, 28); }
    Bytes storedFlag(uint32_t block = 0) const { return board.read(kFlag, uint64_t{block} * kBlock, 12); }

    // The sum of the first `blocks` good blocks, every byte 0..255, wrapping.
    uint32_t goodSum(int mtd, uint32_t blocks) const {
        std::vector<uint32_t> bad = board.badBlocks(mtd);
        uint32_t sum = 0;
        for (uint32_t b = 0; blocks > 0; ++b) {
            if (uint64_t{b} * kBlock >= board.partitionSize(mtd)) {
                ADD_FAILURE() << "mtd" << mtd << " has too few good blocks";
                break;
            }
            if (std::find(bad.begin(), bad.end(), b) != bad.end())
                continue;
            sum += testboard::byteSum(board.read(mtd, uint64_t{b} * kBlock, kBlock));
            --blocks;
        }
        return sum;
    }
    std::array<uint32_t, 4> lowSums() const {
        std::array<uint32_t, 4> s;
        for (int i = 0; i < 4; ++i)
            s[i] = goodSum(kImages[i].low, kImages[i].blocks);
        return s;
    }

    Bytes imageData(int which, uint32_t seed) const { return testboard::pattern(kImages[which].imageBytes, seed + which); }
    void loadLowSet(uint32_t seed = 5) {
        for (int i = 0; i < 4; ++i)
            board.load(kImages[i].low, imageData(i, seed));
    }

    // Every image in both sets, the two sets alike, a valid table with their
    // sums in both copies and the flag naming copy 1: a healthy board.
    Fields healthyBoard(uint32_t seed = 11) {
        for (int i = 0; i < 4; ++i) {
            board.load(kImages[i].low, imageData(i, seed));
            board.load(kImages[i].high, imageData(i, seed));
        }
        Fields f;
        f.sums = lowSums();
        putValidTables(f);
        return f;
    }

    // The mutating operations of a run as "mtdN op offset" strings.
    std::vector<std::string> mutations() const {
        std::vector<std::string> out;
        for (const auto& e : board.mutations())
            out.push_back(e.dev + " " + e.op + " " + hexValue(static_cast<uint32_t>(e.offset)));
        return out;
    }
    std::vector<std::string> mutationsOf(int mtd) const {
        std::vector<std::string> out;
        for (const auto& e : board.mutations())
            if (e.dev == "mtd" + std::to_string(mtd))
                out.push_back(e.op + " " + hexValue(static_cast<uint32_t>(e.offset)));
        return out;
    }

    testboard::Board board;
};

// One record write as the log shows it: the first block erased, page 0 programmed.
inline std::vector<std::string> recordWrite(int mtd, uint32_t at = 0) {
    std::string dev = "mtd" + std::to_string(mtd) + " ";
    return {dev + "erase " + hexValue(at), dev + "program " + hexValue(at)};
}
inline std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace tv
