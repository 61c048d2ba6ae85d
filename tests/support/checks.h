// Checks that explain themselves, and the fixture family every board test
// derives from: one fresh board per test, no NAND rule broken by the end.
#pragma once

#include <gtest/gtest.h>

#include <regex.h>

#include <string>
#include <vector>

#include "test_board.h"

namespace testboard {

// No run on the board broke a NAND rule; else the log's violation lines.
::testing::AssertionResult NoViolations(const TestBoard& b);
// The run ended with `status`; else how it ended and its standard error.
::testing::AssertionResult ExitedWith(const RunResult& r, int status);

// A POSIX extended regular expression, for what the tests look for in the
// programs' output: a file that includes <regex> takes seconds longer to
// compile in every build, the C library's matcher nothing.
class Ere {
public:
    explicit Ere(const std::string& pattern);
    ~Ere() { regfree(&re_); }
    Ere(const Ere&) = delete;
    Ere& operator=(const Ere&) = delete;
    // The first match in `text`, then its groups ("" for a group that took
    // no part); empty when there is none. `start`: where the match begins.
    std::vector<std::string> search(const std::string& text, size_t* start = nullptr) const;

private:
    regex_t re_;
};

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
