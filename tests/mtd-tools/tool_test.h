// Shared fixture of the MTD tool tests: a small board whose partition 1 the
// tools work on, and helpers to run them and read back what they did.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "test_board.h"
#include "checks.h"

namespace mtdtest {

using Bytes = std::vector<uint8_t>;
using Argv = std::vector<std::string>;

constexpr int kMtd = 1;
constexpr uint32_t kBlocks = 16;   // blocks of partition 1
constexpr uint32_t kPage = 2048;
constexpr uint32_t kBlock = 131072;
constexpr uint32_t B = kBlock, P = kPage;   // short, for the tables of cases
constexpr const char* kDev = "/dev/mtd1";

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The messages of a tool stepping over bad blocks.
inline std::string skipped(const std::string& tool, const std::vector<uint32_t>& badBlocks) {
    std::string text;
    char line[80];
    for (uint32_t b : badBlocks) {
        snprintf(line, sizeof line, "%s: skipping bad block at 0x%08x\n", tool.c_str(), b * kBlock);
        text += line;
    }
    return text;
}

class ToolTest : public testboard::BoardTest {
protected:
    explicit ToolTest(bool strict = false) : BoardTest(options(strict)) {}

    static testboard::BoardOptions options(bool strict) {
        testboard::BoardOptions o;
        o.parts = {4, kBlocks, 4};
        o.strict = strict;
        return o;
    }

    // Runs argv: the status, nothing on standard output, exactly err on standard error.
    void expectRun(const Argv& argv, int status, const std::string& err = "") const {
        testboard::RunResult r = board.run(argv);
        EXPECT_TRUE(r.exited(status)) << argv[0] << ": status " << r.status << " signal " << r.signal;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }

    // Every block, bad ones too, holds data other than 0xFF.
    void fillPartition(uint32_t seed = 7) { board.program(kMtd, 0, testboard::pattern(kBlocks * kBlock, seed)); }

    Bytes blocks(uint32_t first, uint32_t count) const {
        return board.read(kMtd, uint64_t{first} * kBlock, size_t{count} * kBlock);
    }
    Bytes pages(uint64_t offset, uint32_t count) const { return board.read(kMtd, offset, size_t{count} * kPage); }
    bool isErased(uint32_t block) const {
        Bytes data = blocks(block, 1);
        return std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0xFF; });
    }

    // Offsets of the log entries of one kind ("erase", "program", "fault") made by prog.
    std::vector<uint64_t> logged(const std::string& op, const std::string& prog) const {
        std::vector<uint64_t> at;
        for (const auto& e : board.log())
            if (e.op == op && e.prog == prog)
                at.push_back(e.offset);
        return at;
    }
};

}  // namespace mtdtest
