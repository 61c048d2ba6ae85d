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

#include <nand_board.h>
#include <records.h>

#include "test_board.h"
#include "checks.h"
#include "flash_layout.h"

namespace tv {

using Bytes = std::vector<uint8_t>;
using Argv = std::vector<std::string>;

using testboard::Fields;
using testboard::kApp;
using testboard::kBlock;
using testboard::kFlag;
using testboard::kFlagMarker;
using testboard::kImages;
using testboard::kKernel;
using testboard::kS1L;
using testboard::kTable1;
using testboard::kTable2;
using testboard::kTableMarker;
using testboard::kUboot;
const std::string kSeparator(60, '=');
// The size of the test image loaded into each image partition.
constexpr uint32_t kImageBytes[4] = {100000, 300000, 1500000, 3000000};

inline uint32_t le32(const Bytes& b, size_t at) { return testboard::get32(&b[at]); }

// The records as byte strings, as the flash holds them.
inline Bytes encodeRecord(const Fields& f, uint32_t marker = kTableMarker, int32_t sumError = 0) {
    const testboard::Record r = testboard::makeRecord(f, marker, sumError);
    return Bytes(r.begin(), r.end());
}
inline testboard::Record asRecord(const Bytes& b) {
    testboard::Record r{};
    std::copy_n(b.begin(), std::min(b.size(), r.size()), r.begin());
    return r;
}
inline Fields decodeRecord(const Bytes& r) { return testboard::fieldsOf(asRecord(r)); }
inline bool verifies(const Bytes& r) { return testboard::verifies(asRecord(r)); }
inline uint32_t checksumOf(const Bytes& r) { return testboard::checksumOf(asRecord(r)); }
inline Bytes encodeFlag(uint32_t reference, uint32_t marker = kFlagMarker, uint32_t end = kFlagMarker) {
    const testboard::Flag f = testboard::makeFlag(reference, marker, end);
    return Bytes(f.begin(), f.end());
}

// Sums that match no image: a table written long ago.
inline Fields withSums(uint32_t s1l, uint32_t uboot, uint32_t kernel, uint32_t app) {
    Fields f;
    f.sums = {s1l, uboot, kernel, app};
    return f;
}
const Fields kStale = withSums(0x1111, 0x2222, 0x3333, 0x4444);
const Fields kOther = withSums(0x5555, 0x6666, 0x7777, 0x8888);

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The bytes as a dump line of the program prints them: "%02x " each.
inline std::string dumpBytes(const Bytes& b) {
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

// No run of the manager may program a page twice or write a bad block.
class TolvaneTest : public testboard::BoardTest {
protected:
    explicit TolvaneTest(const testboard::BoardOptions& options = testboard::BoardOptions()) : BoardTest(options) {}

    testboard::RunResult run(const Argv& argv) const { return board.run(argv); }
    testboard::RunResult expectRun(const Argv& argv, int status = 0) const {
        testboard::RunResult r = run(argv);
        EXPECT_TRUE(testboard::ExitedWith(r, status));
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
        EXPECT_EQ(pageAt(kTable1, 0), recordPage(record)) << dumpBytes(storedRecord(kTable1));
        EXPECT_EQ(pageAt(kTable2, 0), recordPage(record)) << dumpBytes(storedRecord(kTable2));
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
        uint32_t sum = 0;
        EXPECT_TRUE(nandemu::partitionSum(nandemu::Board(board.dir()), mtd, blocks, &sum))
            << "mtd" << mtd << " has too few good blocks";
        return sum;
    }

    std::array<uint32_t, 4> lowSums() const {
        std::array<uint32_t, 4> s;
        for (int i = 0; i < 4; ++i)
            s[i] = goodSum(kImages[i].low, kImages[i].blocks);
        return s;
    }

    Bytes imageData(int which, uint32_t seed) const { return testboard::pattern(kImageBytes[which], seed + which); }
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
