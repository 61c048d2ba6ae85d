// Checks that explain themselves, and the fixture family every board test
// derives from: one fresh board per test, no NAND rule broken by the end.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "test_board.h"

namespace testboard {

// No run on the board broke a NAND rule; else the log's violation lines.
::testing::AssertionResult NoViolations(const TestBoard& b);
// The run ended with `status`; else how it ended and its standard error.
::testing::AssertionResult ExitedWith(const RunResult& r, int status);

class BoardTest : public ::testing::Test {
protected:
    explicit BoardTest(const BoardOptions& options = BoardOptions()) : board(options) {}
    void TearDown() override {
        if (!violationsAllowed) {
            EXPECT_TRUE(NoViolations(board));
        }
    }

    TestBoard board;
    bool violationsAllowed = false;   // a test that provokes a violation on purpose
};

}  // namespace testboard
