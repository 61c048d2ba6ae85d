// Two boards set up alike: one runs the native programs, the other the ARM
// programs, and a scenario must leave both with the same flash, the same SD
// card, the same console text and the same sequence of flash operations.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "test_board.h"
#include "flash_layout.h"

namespace armtier {

using Argv = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

// Where one architecture's programs live.
struct Side {
    std::string binDir;
};

inline Side nativeSide() { return {FW_HOST_BIN_DIR}; }

// The tier's runner names the ARM side for the fixture.
inline Side armSide() {
    const char* bin = getenv("FW_BIN_DIR");
    return {bin ? bin : ""};
}

// Console text that legitimately differs between two builds (a build stamp)
// is masked by the scenario's filter before the comparison.
using Filter = std::function<std::string(const std::string&)>;

class TwinBoards {
public:
    explicit TwinBoards(const testboard::BoardOptions& options = testboard::BoardOptions(), Filter filter = nullptr)
        : native_(options), arm_(options), filter_(filter ? filter : [](const std::string& s) { return s; }) {}

    // The same preparation on both boards.
    void prepare(const std::function<void(testboard::TestBoard&)>& step) {
        step(native_);
        step(arm_);
    }

    // Runs argv on both boards and expects the same outcome; returns the ARM run.
    testboard::RunResult run(const Argv& argv) {
        testboard::RunResult n = runOn(native_, nativeSide(), argv);
        testboard::RunResult a = runOn(arm_, armSide(), argv);
        EXPECT_EQ(n.status, a.status) << argv[0];
        EXPECT_EQ(n.signal, a.signal) << argv[0];
        EXPECT_EQ(filter_(n.out), filter_(a.out)) << argv[0] << ": standard output";
        EXPECT_EQ(filter_(n.err), filter_(a.err)) << argv[0] << ": standard error";
        return a;
    }

    // Byte for byte, in chunks, so a difference names its partition and offset.
    void expectSameFlash() const {
        ASSERT_EQ(native_.partitionCount(), arm_.partitionCount());
        const size_t chunk = 1u << 20;
        for (int mtd = 0; mtd < native_.partitionCount(); ++mtd) {
            const uint64_t size = native_.partitionSize(mtd);
            EXPECT_EQ(native_.badBlocks(mtd), arm_.badBlocks(mtd)) << "mtd" << mtd;
            for (uint64_t at = 0; at < size; at += chunk) {
                // Erased on both boards: nothing stored to compare. Under
                // qemu-arm reading it was half the tier's comparison tests.
                const uint64_t stored = std::min(native_.nextStored(mtd, at), arm_.nextStored(mtd, at));
                if (stored >= size)
                    break;
                at = stored / chunk * chunk;
                const size_t length = static_cast<size_t>(std::min<uint64_t>(chunk, size - at));
                if (native_.read(mtd, at, length) != arm_.read(mtd, at, length)) {
                    ADD_FAILURE() << "mtd" << mtd << " differs in the MiB at " << at;
                    break;
                }
            }
        }
    }

    void expectSameSdFile(const std::string& relative) const {
        EXPECT_EQ(native_.sdFileExists(relative), arm_.sdFileExists(relative)) << relative;
        EXPECT_EQ(native_.readSdFile(relative), arm_.readSdFile(relative)) << relative;
    }

    // The erases and page programs, in order, with program, device, offset and length.
    void expectSameFlashOperations() const {
        auto ops = [](const testboard::TestBoard& b) {
            std::vector<std::string> out;
            for (const auto& e : b.mutations())
                out.push_back(e.prog + " " + e.dev + " " + e.op + " " + std::to_string(e.offset) + " " +
                              std::to_string(e.length));
            return out;
        };
        EXPECT_EQ(ops(native_), ops(arm_));
    }

    testboard::TestBoard& native() { return native_; }
    testboard::TestBoard& arm() { return arm_; }

private:
    static testboard::RunResult runOn(const testboard::TestBoard& board, const Side& side, const Argv& argv) {
        const Side restore = armSide();
        setenv("FW_BIN_DIR", side.binDir.c_str(), 1);
        testboard::RunResult r = board.run(argv);
        setenv("FW_BIN_DIR", restore.binDir.c_str(), 1);
        return r;
    }

    testboard::TestBoard native_, arm_;
    Filter filter_;
};

}  // namespace armtier
