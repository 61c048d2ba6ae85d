// The boot-set manager built for ARM writes the same table and flag bytes,
// computes the same 32-bit sums and repairs the same partitions, in the same
// order, as the native build.
#include "twin_boards.h"


namespace {

using armtier::Bytes;
using armtier::TwinBoards;

using testboard::kBlock;

// The build stamp is the one line two builds may print differently.
std::string maskBuildStamp(const std::string& text) {
    static const std::string stamp = "compiler time : ";
    std::string out = text;
    for (size_t at = out.find(stamp); at != std::string::npos; at = out.find(stamp, at + 1)) {
        const size_t from = at + stamp.size();
        out.replace(from, out.find('\n', from) - from, "(build)");
    }
    return out;
}

struct Twin {
    int low, high;
    size_t bytes;
};
// S1L, U-Boot, kernel and application images, of sizes that leave erased
// space (which the sums count as 0xFF bytes) in each summed range.
const Twin kTwins[] = {{0, 6, 100000}, {1, 7, 300000}, {2, 8, 1500000}, {5, 12, 3000000}};

TEST(SameTolvane, UpdateCycleAndRepairLeaveTheSameFlash) {
    TwinBoards boards(testboard::BoardOptions(), maskBuildStamp);
    boards.prepare([](testboard::TestBoard& b) {
        b.markBad(1, 1);    // low U-Boot: the scans and copies step over it
        b.markBad(12, 0);   // high application: so does the copy onto it
        b.markBad(10, 0);   // table copy 2 lives in its second block
        uint32_t seed = 1;
        for (const Twin& t : kTwins) {
            Bytes image = testboard::pattern(t.bytes, seed++);
            b.load(t.low, image);
            b.load(t.high, image);
        }
    });
    boards.run({"tolvane", "-h"});   // empty tables: initialised from the low set
    boards.run({"tolvane", "-o"});
    boards.prepare([](testboard::TestBoard& b) {
        b.flipStoredBit(8, 3 * kBlock + 5, 1);   // high kernel
        b.flipStoredBit(5, 7, 6);                // low application
        b.flipStoredBit(9, 14, 0);               // table copy 1: a sum byte
    });
    testboard::RunResult repair = boards.run({"tolvane", "-m"});
    EXPECT_TRUE(repair.exited(0)) << repair.err;
    boards.run({"tolvane", "-l"});
    boards.expectSameFlash();
    boards.expectSameFlashOperations();
    EXPECT_NE(repair.err.find("fixing kernel-2"), std::string::npos) << repair.err;
    EXPECT_NE(repair.err.find("fixing app-1"), std::string::npos) << repair.err;
}

TEST(SameTolvane, SumsThatWrapPastThirtyTwoBitsAgree) {
    // 680 erased blocks sum to 680 * 131072 * 255, more than 2^32: the stored
    // reference sum is that total modulo 2^32 on both architectures.
    TwinBoards boards(testboard::BoardOptions(), maskBuildStamp);
    boards.run({"tolvane", "-h"});
    boards.expectSameFlash();
    const Bytes record = boards.arm().read(9, 0, 28);
    const uint32_t appSum = uint32_t{record[24]} | uint32_t{record[25]} << 8 | uint32_t{record[26]} << 16 |
                            uint32_t{record[27]} << 24;
    EXPECT_EQ(appSum, static_cast<uint32_t>(uint64_t{680} * kBlock * 255));
}

TEST(SameTolvane, MissingLayoutEndsAlike) {
    testboard::BoardOptions small;
    small.layout = "small";
    TwinBoards boards(small, maskBuildStamp);
    EXPECT_TRUE(boards.run({"tolvane", "-o"}).exited(1));
    boards.expectSameFlashOperations();
}

}  // namespace
