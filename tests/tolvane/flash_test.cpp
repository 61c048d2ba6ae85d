// Raw flash access: bad blocks skipped whole (the first block of a
// partition included), erases that cover the blocks the data goes to, the
// ends of a run when the good blocks or the bad-block queries give out, and
// the geometries the program accepts.
#include "tolvane_test.h"

using namespace tv;

namespace {

const char kNoRoom[] = "Data did not fit into device, due to bad blocks\n: ";

class FlashTest : public TolvaneTest {
protected:
    explicit FlashTest(const testboard::BoardOptions& o = testboard::BoardOptions()) : TolvaneTest(o) {}

    // Data in a block that the program must not see as erased.
    void scribble(int mtd, uint32_t block, uint32_t seed = 99) {
        board.program(mtd, uint64_t{block} * kBlock, testboard::pattern(kBlock, seed));
    }
};

// ---- bad blocks in the record partitions ----

TEST_F(FlashTest, BadFirstBlockMovesEachRecordToTheStartOfTheErasedSecond) {
    for (int mtd : {kFlag, kTable1, kTable2}) {
        board.markBad(mtd, 0);
        scribble(mtd, 1);   // old data where the record will go
    }
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    for (int mtd : {kFlag, kTable1, kTable2})
        EXPECT_EQ(mutationsOf(mtd).front(), "erase 20000") << "mtd" << mtd;
    EXPECT_EQ(mutationsOf(kTable2), (std::vector<std::string>{"erase 20000", "program 20000"}));
    EXPECT_EQ(mutationsOf(kTable1), (std::vector<std::string>{"erase 20000", "program 20000"}));

    Fields rebuilt;
    rebuilt.sums = lowSums();
    EXPECT_EQ(pageAt(kTable1, kBlock), recordPage(encodeRecord(rebuilt)));
    EXPECT_EQ(pageAt(kTable2, kBlock), recordPage(encodeRecord(rebuilt)));
    EXPECT_EQ(pageAt(kFlag, kBlock), recordPage(encodeFlag(2, kFlagMarker, le32(testboard::pattern(kBlock, 99), 8))));
    EXPECT_TRUE(contains(r.out, "\nSkipping bad block at 0x00000000\n"));
    EXPECT_TRUE(contains(r.out, "Writing data to block 0\nWriting data to block 20000\n"));
    EXPECT_TRUE(contains(r.err, "Bad block at 0, 1 block(s) from 0 will be skipped\n"));

    // The readers find the records behind the bad block.
    board.clearLog();
    r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "tolvane verify ok \n"));
    EXPECT_TRUE(contains(r.err, "Both table partition are good.\n"));
    EXPECT_TRUE(board.mutations().empty());
}

TEST_F(FlashTest, RecordPartitionWithoutAGoodBlockEndsTheRunInTheMiddleOfTheWrite) {
    putValidTables(kStale);
    for (uint32_t b = 0; b < 4; ++b)
        board.markBad(kTable2, b);
    testboard::RunResult r = expectRun({"tolvane", "-o"}, 1);
    EXPECT_EQ(count(r.out, "Skipping bad block at 0x"), 4u);
    EXPECT_TRUE(contains(r.err, kNoRoom));
    // Copy 2 comes first: the flag and copy 1 keep what they held.
    EXPECT_TRUE(board.mutations().empty());
    EXPECT_EQ(pageAt(kTable1, 0), recordPage(encodeRecord(kStale)));
    EXPECT_EQ(pageAt(kFlag, 0), recordPage(encodeFlag(1)));
}

// ---- the erase ----

TEST_F(FlashTest, EraseThatCannotAskAboutBadBlocksEndsTheRunNamingThePartition) {
    struct Case {
        const char* error;
        const char* message;
    };
    for (const Case& c : {Case{"EOPNOTSUPP", " /dev/mtd10: Bad block check not available\n"},
                          Case{"EIO", "\n /dev/mtd10: MTD get bad block failed: Input/output error\n"}}) {
        SCOPED_TRACE(c.error);
        putValidTables(kStale);
        board.clearLog();
        // Copy 1 is named and valid: the first query on copy 2 is the erase's.
        board.setFaults({std::string("fail=mtd10:getbadblock:*:") + c.error});
        testboard::RunResult r = expectRun({"tolvane", "-o"}, 1);
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_TRUE(board.mutations().empty());
    }
}

TEST_F(FlashTest, FailedEraseIsReportedAndTheWriteGoesOn) {
    putTable(kTable1, encodeRecord(kStale));
    putFlag(1);   // copy 2 stays erased, so the page written over it is fresh
    board.setFaults({"fail=mtd10:erase:1:EIO"});
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    EXPECT_TRUE(contains(r.err, "\n /dev/mtd10: MTD Erase failure: Input/output error\n"));
    EXPECT_EQ(mutations(), (std::vector<std::string>{"mtd10 program 0"}) + recordWrite(kFlag) + recordWrite(kTable1));
    EXPECT_EQ(pageAt(kTable2, 0), recordPage(encodeRecord(kStale)));
}

TEST_F(FlashTest, EraseProgressShowsTheBlockAndPercentageOfThePartition) {
    putValidTables(kStale);
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    // One block of a four-block partition: offset 0 is 0 % of it.
    EXPECT_EQ(count(r.out, "Erasing 128 Kibyte @ 0 --  0 % complete. \r"), 3u);
}

// ---- bad blocks in the image partitions ----

TEST_F(FlashTest, BadBlocksAreLeftOutOfThePartitionSumFirstBlockIncluded) {
    board.markBad(kImages[kS1L].low, 0);
    board.markBad(kImages[kKernel].low, 2);
    board.markBad(kImages[kKernel].low, 3);
    loadLowSet();
    scribble(kImages[kS1L].low, 0);   // a sum over the bad blocks would differ
    scribble(kImages[kKernel].low, 2);
    putValidTables(kStale);
    testboard::RunResult r = expectRun({"tolvane", "-h"});
    Fields f = decodeRecord(storedRecord(kTable1));
    EXPECT_EQ(f.sums[kS1L], goodSum(kImages[kS1L].low, 1));
    EXPECT_EQ(f.sums[kKernel], goodSum(kImages[kKernel].low, 128));
    EXPECT_NE(f.sums[kKernel], testboard::byteSum(board.read(kImages[kKernel].low, 0, 128 * kBlock)));
    EXPECT_TRUE(contains(r.err, "Bad block at 0, 1 block(s) from 0 will be skipped\n"));
    EXPECT_TRUE(contains(r.err, "Bad block at 40000, 1 block(s) from 40000 will be skipped\n"
                                "Bad block at 60000, 1 block(s) from 60000 will be skipped\n"));
}

TEST_F(FlashTest, ErasedBlockSumsTo255PerByte) {
    putValidTables(kStale);
    expectRun({"tolvane", "-h"});
    Fields f = decodeRecord(storedRecord(kTable2));
    EXPECT_EQ(f.sums[kS1L], 131072u * 255u);
    EXPECT_EQ(f.sums[kUboot], 4u * 131072u * 255u);
    EXPECT_EQ(f.sums[kApp], static_cast<uint32_t>(680ull * 131072u * 255u));   // wraps
}

// A processor without AVX2 (qemu-x86_64's qemu64 model) sums as the build machine does.
TEST_F(FlashTest, SumsWithoutAvx2AreTheSame) {
#ifndef FW_QEMU_X86_64
    GTEST_SKIP() << "needs qemu-x86_64 and a native x86-64 build";
#else
    if (FW_BUILT(FW_QEMU_X86_64).empty())
        GTEST_SKIP() << "the native programs are not the ones tested here";
    loadLowSet();
    putValidTables(kStale);
    // The emulator goes to the program under qemu, not to qemu itself.
    const testboard::RunResult r = board.run({FW_QEMU_X86_64, "-cpu", "qemu64", "-E",
                                              std::string("LD_PRELOAD=") + FW_NANDEMU, FW_TOLVANE, "-h"},
                                             "", {"LD_PRELOAD="});
    ASSERT_TRUE(testboard::ExitedWith(r, 0)) << r.err;
    EXPECT_EQ(decodeRecord(storedRecord(kTable1)).sums, lowSums());
#endif
}

TEST_F(FlashTest, ImageWithTooFewGoodBlocksEndsTheRunAfterTheReport) {
    putValidTables(kStale);
    // S1L needs one block; the last good one is taken away, the end included.
    for (uint32_t b = 0; b < 4; ++b)
        board.markBad(kImages[kS1L].low, b);
    testboard::RunResult r = expectRun({"tolvane", "-h"}, 1);
    EXPECT_TRUE(contains(r.err, kNoRoom));
    EXPECT_FALSE(contains(r.err, "ioctl(MEMGETBADBLOCK)"));
    EXPECT_FALSE(contains(r.err, "S1L1: addsum"));
    EXPECT_TRUE(board.mutations().empty());
}

TEST_F(FlashTest, LastGoodBlockIsEnough) {
    putValidTables(kStale);
    for (uint32_t b = 0; b < 3; ++b)
        board.markBad(kImages[kS1L].low, b);
    scribble(kImages[kS1L].low, 3);
    expectRun({"tolvane", "-h"});
    EXPECT_EQ(decodeRecord(storedRecord(kTable1)).sums[kS1L], goodSum(kImages[kS1L].low, 1));
}

TEST_F(FlashTest, FailedBadBlockQueryInAScanStoresNoSum) {
    putValidTables(kStale);
    board.setFaults({"fail=mtd2:getbadblock:*:EIO"});
    testboard::RunResult r = expectRun({"tolvane", "-h"});
    EXPECT_TRUE(contains(r.err, "ioctl(MEMGETBADBLOCK): Input/output error\nKERNEL 1: addsum 0\n"));
    Fields f = decodeRecord(storedRecord(kTable1));
    EXPECT_EQ(f.sums[kKernel], kStale.sums[kKernel]);
    EXPECT_EQ(f.sums[kUboot], goodSum(kImages[kUboot].low, 4));
}

TEST_F(FlashTest, ShortPageReadStoresNoSum) {
    putValidTables(kStale);
    board.setFaults({"fail=mtd1:read:3:short"});
    testboard::RunResult r = expectRun({"tolvane", "-h"});
    EXPECT_TRUE(contains(r.err, "pread: "));
    // The sum of the two pages before the short one is shown, none stored.
    EXPECT_TRUE(contains(r.err, "U-Boot1: addsum " + hexValue(2 * 2048 * 255) + "\n"));
    EXPECT_EQ(decodeRecord(storedRecord(kTable1)).sums[kUboot], kStale.sums[kUboot]);
}

// ---- geometry ----

struct Geometry {
    uint32_t page, oob;
    bool accepted;
};

class GeometryTest : public FlashTest, public ::testing::WithParamInterface<Geometry> {
protected:
    GeometryTest() : FlashTest(options()) {}
    static testboard::BoardOptions options() {
        testboard::BoardOptions o;
        o.page = GetParam().page;
        o.oob = GetParam().oob;
        return o;
    }
};

TEST_P(GeometryTest, OnlyKnownNandGeometriesAreUsed) {
    loadLowSet();
    putValidTables(kStale);
    // On a flash it does not know, the command stores its record nowhere.
    testboard::RunResult r = expectRun({"tolvane", "-h"}, GetParam().accepted ? 0 : 1);
    if (GetParam().accepted) {
        EXPECT_FALSE(contains(r.err, "Unknown flash"));
        Fields want;
        want.high = 1;
        want.sums = lowSums();
        EXPECT_EQ(pageAt(kTable1, 0), recordPage(encodeRecord(want)));
        EXPECT_EQ(pageAt(kTable2, 0), recordPage(encodeRecord(want)));
        EXPECT_EQ(pageAt(kFlag, 0), recordPage(encodeFlag(2)));
    } else {
        EXPECT_TRUE(contains(r.err, "Unknown flash (not normal NAND)\n"));
        EXPECT_TRUE(board.mutations().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, GeometryTest,
                         ::testing::Values(Geometry{2048, 64, true}, Geometry{512, 16, true},
                                           Geometry{256, 8, true}, Geometry{4096, 128, false},
                                           Geometry{2048, 128, false}, Geometry{512, 64, false}),
                         [](const ::testing::TestParamInfo<Geometry>& info) {
                             return std::to_string(info.param.page) + "_" + std::to_string(info.param.oob);
                         });

}  // namespace
