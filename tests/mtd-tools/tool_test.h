// Shared fixture of the MTD tool tests: a small board whose partition 1 the
// tools work on, helpers to run them and to read back what they did.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "board.h"

namespace mtdtest {

using Bytes = std::vector<uint8_t>;

constexpr int kMtd = 1;
constexpr uint32_t kBlocks = 16;   // blocks of partition 1
constexpr uint32_t kPage = 2048;
constexpr uint32_t kBlock = 131072;
constexpr const char* kDev = "/dev/mtd1";

inline testboard::BoardOptions smallBoard(bool strict = false) {
    testboard::BoardOptions o;
    o.parts = {4, kBlocks, 4};
    o.strict = strict;
    return o;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ToolTest : public ::testing::Test {
protected:
    explicit ToolTest(bool strict = false) : board(smallBoard(strict)) {}

    void TearDown() override {
        if (!provokesViolation) {
            EXPECT_EQ(board.violations(), 0u);
        }
    }

    testboard::RunResult run(const std::vector<std::string>& argv) const { return board.run(argv); }

    // Programs the whole partition with reproducible data, block by block,
    // so that every block (bad ones too) holds something other than 0xFF.
    void fillPartition(uint32_t seed = 7) {
        board.program(kMtd, 0, testboard::pattern(kBlocks * kBlock, seed));
    }

    Bytes blocks(uint32_t first, uint32_t count) const {
        return board.read(kMtd, uint64_t{first} * kBlock, size_t{count} * kBlock);
    }
    Bytes pages(uint64_t offset, uint32_t count) const { return board.read(kMtd, offset, size_t{count} * kPage); }

    bool isErased(uint32_t block) const {
        Bytes data = blocks(block, 1);
        return std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0xFF; });
    }

    // The log entries of one kind ("erase", "program", "fault") made by prog.
    std::vector<testboard::LogEntry> logged(const std::string& op, const std::string& prog) const {
        std::vector<testboard::LogEntry> out;
        for (const auto& e : board.log())
            if (e.op == op && e.prog == prog)
                out.push_back(e);
        return out;
    }

    testboard::Board board;
    bool provokesViolation = false;
};

// A failure or usage error: exactly one line on standard error, nothing on
// standard output.
inline void expectFailure(const testboard::RunResult& r, int status, const std::string& line) {
    EXPECT_TRUE(r.exited(status)) << "status " << r.status << " signal " << r.signal;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, line + "\n");
}

inline void expectSuccess(const testboard::RunResult& r, const std::string& err = "") {
    EXPECT_TRUE(r.exited(0)) << "status " << r.status << " signal " << r.signal << ": " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
}

}  // namespace mtdtest
