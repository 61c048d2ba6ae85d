// The maintenance pass: a verified table copy found and the other repaired
// from it, both sets scanned and judged against the verified record, each
// image that matches in one set only copied over its twin, good block by
// good block; unreadable copies and partitions never count as good.
#include "tolvane_test.h"

using namespace tv;

namespace {

const std::string kRule = "--------------------------------------------";

class MaintainTest : public TolvaneTest {
protected:
    void SetUp() override { record = healthyBoard(); }

    Bytes goodRecord() const { return encodeRecord(record); }

    // The n-th good blocks of both partitions hold the same bytes.
    void expectSameGoodBlocks(int dst, int src, uint32_t blocks) const {
        std::vector<uint32_t> d = goodBlocks(dst, blocks), s = goodBlocks(src, blocks);
        ASSERT_EQ(d.size(), blocks);
        ASSERT_EQ(s.size(), blocks);
        for (uint32_t i = 0; i < blocks; ++i)
            EXPECT_TRUE(board.read(dst, uint64_t{d[i]} * kBlock, kBlock) == board.read(src, uint64_t{s[i]} * kBlock, kBlock))
                << "good block " << i << ": mtd" << dst << " block " << d[i] << ", mtd" << src << " block " << s[i];
    }
    std::vector<uint32_t> goodBlocks(int mtd, uint32_t blocks) const {
        std::vector<uint32_t> bad = board.badBlocks(mtd), good;
        for (uint32_t b = 0; good.size() < blocks && uint64_t{b} * kBlock < board.partitionSize(mtd); ++b)
            if (std::find(bad.begin(), bad.end(), b) == bad.end())
                good.push_back(b);
        return good;
    }

    // The four judgement lines for a pass in which every image matches.
    static std::string allGood() {
        return "Both s1l partition are good.\nBoth ubootSum partition are good.\n"
               "Both kernelSum partition are good.\nBoth appSum partition are good.\n";
    }

    void expectConverged() {
        board.clearLog();
        testboard::RunResult again = expectRun({"tolvane", "-m"});
        EXPECT_TRUE(contains(again.err, "Both table partition are good.\n"));
        EXPECT_TRUE(contains(again.err, allGood()));
        EXPECT_TRUE(board.mutations().empty());
    }

    Fields record;
};

std::string displayed(const Bytes& rec) {
    Fields f = decodeRecord(rec);
    return "m_tolvaneInfo.headerMarker: " + hexValue(le32(rec, 0)) + "\nm_tolvaneInfo.addSum: " + hexValue(le32(rec, 4)) +
           "\nm_tolvaneInfo.length: " + hexValue(f.length) + "\nm_tolvaneInfo.highPartitionUpdating: " +
           hexValue(f.high) + "\nm_tolvaneInfo.lowPartitionUpdating: " + hexValue(f.low) +
           "\nm_tolvaneInfo.s1lSum: " + hexValue(f.sums[0]) + "\nm_tolvaneInfo.ubootSum: " + hexValue(f.sums[1]) +
           "\nm_tolvaneInfo.kernelSum: " + hexValue(f.sums[2]) + "\nm_tolvaneInfo.AppSum: " + hexValue(f.sums[3]) +
           "\n";
}

std::string calSumLine(const Bytes& rec) {
    char line[32];
    snprintf(line, sizeof line, "calSum: %08x\n", checksumOf(rec));
    return line;
}

// ---- nothing to repair ----

TEST_F(MaintainTest, HealthyBoardGivesTheFullTranscriptAndWritesNothing) {
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    const Bytes rec = goodRecord();
    const Bytes tablePage = recordPage(rec);
    const std::string sep = kSeparator + "\n";
    std::string want = "ver. 1.0\nmaintain partition data \ngot cmd \n";
    const Bytes flagPage = recordPage(encodeFlag(1));
    want += kRule + "\n readBootFlag() * \n " + dumpBytes(Bytes(flagPage.begin(), flagPage.begin() + 16)) +
            "\nreadBootFlag() & \n " + kRule + "\n  ";
    for (const char* copy : {"/dev/mtd9", "/dev/mtd10"}) {
        want += kRule + "\n readTolvane() * \n MTD: " + copy + " \n " +
                dumpBytes(Bytes(tablePage.begin(), tablePage.begin() + 16)) + "\n" + calSumLine(rec);
        if (copy == std::string("/dev/mtd9"))
            want += "tolvane verify ok \n";
    }
    want += "Both table partition are good.\n" + displayed(rec);
    want += "maintain partition " + std::string(55, '=') + "  \n" + sep + "[scan low partition]\n";
    const uint32_t* s = record.sums.data();
    want += "S1L1: addsum  " + hexValue(s[0]) + "\nU-Boot1: addsum " + hexValue(s[1]) + "\nKERNEL 1: addsum " +
            hexValue(s[2]) + "\nAPP 1: addsum " + hexValue(s[3]) + "\n";
    want += sep + sep + "[scan high partition]\n";
    want += "S1L 2: addsum  " + hexValue(s[0]) + "\nU-Boot 2: addsum " + hexValue(s[1]) + "\nKERNEL 2: addsum " +
            hexValue(s[2]) + "\nAPP 2: addsum " + hexValue(s[3]) + "\n";
    want += sep + allGood();
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(testboard::lines(r.out).size(), 1u) << r.out;   // the banner alone
    EXPECT_TRUE(board.mutations().empty());
}

TEST_F(MaintainTest, UpdatingBytesAreIgnored) {
    for (uint8_t high : {0, 1}) {
        Fields f = record;
        f.high = high;
        f.low = static_cast<uint8_t>(1 - high);
        putValidTables(f);
        board.clearLog();
        testboard::RunResult r = expectRun({"tolvane", "-m"});
        EXPECT_TRUE(contains(r.err, "Both table partition are good.\n"));
        EXPECT_TRUE(contains(r.err, allGood()));
        EXPECT_TRUE(board.mutations().empty());
    }
}

// ---- the table copies ----

TEST_F(MaintainTest, InvalidCopy2IsRepairedFromCopy1AndTheGoodRecordJudges) {
    // Copy 2 names other sums but fails its checksum: only copy 1's count.
    putTable(kTable2, encodeRecord(kOther, kTableMarker, 1));
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "tolvane verify ok \n"));
    EXPECT_TRUE(contains(r.err, "[fix table 2]\n" + displayed(goodRecord())));
    EXPECT_TRUE(contains(r.out, "copyFlashPatition() DST: /dev/mtd10, SRC:/dev/mtd9, blockSize: 1\n"));
    EXPECT_EQ(board.read(kTable2, 0, kBlock), board.read(kTable1, 0, kBlock));
    EXPECT_EQ(mutationsOf(kTable2).size(), 1 + kBlock / 2048);   // one erase, every page of the block
    EXPECT_EQ(mutations().size(), mutationsOf(kTable2).size());
    EXPECT_TRUE(contains(r.err, allGood()));
    expectConverged();
}

TEST_F(MaintainTest, FlagNamingCopy2WithCopy2InvalidRepairsCopy2Silently) {
    putFlag(2);
    putTable(kTable2, encodeRecord(kOther, 0));
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_FALSE(contains(r.err, "tolvane verify ok"));
    EXPECT_TRUE(contains(r.err, "[fix table 2]\n"));
    EXPECT_EQ(board.read(kTable2, 0, kBlock), board.read(kTable1, 0, kBlock));
    EXPECT_TRUE(contains(r.err, allGood()));
}

TEST_F(MaintainTest, FlagNamingCopy2WithCopy1InvalidRepairsCopy1) {
    putFlag(2);
    board.eraseBlock(kTable1, 0);
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "tolvane verify ok \n"));
    EXPECT_TRUE(contains(r.err, "[fix table 1]\n"));
    EXPECT_TRUE(contains(r.out, "copyFlashPatition() DST: /dev/mtd9, SRC:/dev/mtd10, blockSize: 1\n"));
    EXPECT_EQ(pageAt(kTable1, 0), recordPage(goodRecord()));
    EXPECT_EQ(board.read(kTable1, 0, kBlock), board.read(kTable2, 0, kBlock));
    expectConverged();
}

TEST_F(MaintainTest, ValidCopiesThatDifferGetTheNamedCopyOverTheOther) {
    putFlag(2);
    putTable(kTable1, encodeRecord(kOther));   // valid, but not the record the flag names
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "[sync table 1]\n" + displayed(goodRecord())));
    EXPECT_FALSE(contains(r.err, "Both table partition are good."));
    EXPECT_TRUE(contains(r.out, "copyFlashPatition() DST: /dev/mtd9, SRC:/dev/mtd10, blockSize: 1\n"));
    EXPECT_EQ(board.read(kTable1, 0, kBlock), board.read(kTable2, 0, kBlock));
    EXPECT_TRUE(contains(r.err, allGood()));
    expectConverged();
}

TEST_F(MaintainTest, NoValidCopyEndsThePassAfterThePauseBeforeAnyScan) {
    putTable(kTable1, encodeRecord(record, kTableMarker, 1));
    board.eraseBlock(kTable2, 0);
    testboard::RunResult r = expectRun({"tolvane", "-m"}, 1);
    EXPECT_TRUE(contains(r.err, "Can't Fix partition, because table value error!!!\n"));
    EXPECT_FALSE(contains(r.err, "[scan low partition]"));
    EXPECT_FALSE(contains(r.err, "addsum"));
    EXPECT_EQ(board.sleeps(), std::vector<unsigned>{10});
    EXPECT_TRUE(board.mutations().empty());
}

TEST_F(MaintainTest, CopiesThatCannotBeReadAreNoValidCopies) {
    board.setFaults({"fail=mtd9:open:1:EIO", "fail=mtd10:read:1:EIO"});
    testboard::RunResult r = expectRun({"tolvane", "-m"}, 1);
    EXPECT_TRUE(contains(r.err, "Can't Fix partition, because table value error!!!\n"));
    EXPECT_TRUE(board.mutations().empty());
}

TEST_F(MaintainTest, UnreadableOtherCopyIsRepairedFromTheGoodOne) {
    putTable(kTable2, encodeRecord(kOther));   // valid but stale, and its read fails
    board.setFaults({"fail=mtd10:read:1:EIO"});
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "pread: Input/output error\n"));
    EXPECT_TRUE(contains(r.err, "[fix table 2]\n" + displayed(goodRecord())));
    EXPECT_EQ(pageAt(kTable2, 0), recordPage(goodRecord()));
    EXPECT_TRUE(contains(r.err, allGood()));
}

TEST_F(MaintainTest, UnreadableFlagStartsWithCopy1) {
    putTable(kTable2, encodeRecord(kOther, kTableMarker, 1));
    board.setFaults({"fail=mtd3:open:*:EACCES"});
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "MTD: /dev/mtd9 \n"));
    EXPECT_LT(r.err.find("MTD: /dev/mtd9 \n"), r.err.find("MTD: /dev/mtd10 \n"));
    EXPECT_TRUE(contains(r.err, "tolvane verify ok \n"));
    EXPECT_TRUE(contains(r.err, "[fix table 2]\n"));
    // Two valid copies that differ stay so while the flag cannot be read.
    putTable(kTable2, encodeRecord(kOther));
    r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "Both table partition are good.\n"));
    EXPECT_NE(pageAt(kTable1, 0), pageAt(kTable2, 0));
}

// ---- the images ----

TEST_F(MaintainTest, OnlyTheLowSetMatchingCopiesTheLowPartitionOverTheHigh) {
    board.flipStoredBit(kImages[kKernel].high, 123456, 2);
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "Both ubootSum partition are good.\nfixing kernel-2  !!!!.\nBoth appSum"));
    EXPECT_TRUE(contains(r.out, "copyFlashPatition() DST: /dev/mtd8, SRC:/dev/mtd2, blockSize: 80\n"));
    // Progress is of the whole 160-block partition.
    EXPECT_TRUE(contains(r.out, "Erasing 128 Kibyte @ 0 --  0 % complete. \r"));
    EXPECT_TRUE(contains(r.out, "Erasing 128 Kibyte @ 800000 -- 40 % complete. \r"));
    EXPECT_FALSE(contains(r.out, "@ 1000000 "));
    expectSameGoodBlocks(kImages[kKernel].high, kImages[kKernel].low, 128);
    EXPECT_EQ(mutationsOf(kImages[kKernel].high).size(), 128 + 128 * kBlock / 2048);
    EXPECT_EQ(mutations().size(), mutationsOf(kImages[kKernel].high).size());
    expectConverged();
}

TEST_F(MaintainTest, OnlyTheHighSetMatchingCopiesTheHighPartitionOverTheLow) {
    board.load(kImages[kApp].low, imageData(kApp, 1234));   // a stale image
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "Both kernelSum partition are good.\nfixing app-1  !!!!.\n"));
    EXPECT_TRUE(contains(r.out, "copyFlashPatition() DST: /dev/mtd5, SRC:/dev/mtd12, blockSize: 2a8\n"));
    EXPECT_EQ(goodSum(kImages[kApp].low, 680), record.sums[kApp]);
    expectSameGoodBlocks(kImages[kApp].low, kImages[kApp].high, 40);
    expectConverged();
}

TEST_F(MaintainTest, ErasedPartitionIsRefilledFromItsTwin) {
    for (uint32_t b = 0; b < 8; ++b)
        board.eraseBlock(kImages[kUboot].high, b);
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "Both s1l partition are good.\nfixing uboot-2  !!!!.\nBoth kernelSum"));
    expectSameGoodBlocks(kImages[kUboot].high, kImages[kUboot].low, 4);
    // Only the image's four blocks are erased and copied.
    EXPECT_EQ(mutationsOf(kImages[kUboot].high).size(), 4 + 4 * kBlock / 2048);
    expectConverged();
}

TEST_F(MaintainTest, ImageMatchingInNeitherSetIsLeftAloneAndTheOthersAreStillJudged) {
    board.flipStoredBit(kImages[kS1L].low, 10, 0);
    board.flipStoredBit(kImages[kS1L].high, 20, 7);
    board.flipStoredBit(kImages[kUboot].low, 30, 1);
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "Both s1l partition are Bad, can't fix !!!!.\nfixing uboot-1  !!!!.\n"
                                "Both kernelSum partition are good.\nBoth appSum partition are good.\n"));
    EXPECT_FALSE(contains(r.out, "DST: /dev/mtd6"));
    EXPECT_FALSE(contains(r.out, "DST: /dev/mtd0"));
    EXPECT_TRUE(mutationsOf(kImages[kS1L].low).empty());
    EXPECT_TRUE(mutationsOf(kImages[kS1L].high).empty());
    expectSameGoodBlocks(kImages[kUboot].low, kImages[kUboot].high, 4);
}

// ---- bad blocks on either side of a copy ----

struct BadLayout {
    const char* name;
    std::vector<uint32_t> src, dst;   // bad blocks of U-Boot's low and high partitions
};

class CopyBadBlockTest : public MaintainTest, public ::testing::WithParamInterface<BadLayout> {
protected:
    void SetUp() override {
        for (uint32_t b : GetParam().src)
            board.markBad(kImages[kUboot].low, b);
        for (uint32_t b : GetParam().dst)
            board.markBad(kImages[kUboot].high, b);
        MaintainTest::SetUp();
        // Old data in every block of the destination, bad ones included:
        // a page the copy writes without an erase would be a violation.
        for (uint32_t b = 0; b < 8; ++b)
            board.program(kImages[kUboot].high, uint64_t{b} * kBlock, testboard::pattern(kBlock, 40 + b));
    }
};

TEST_P(CopyBadBlockTest, NthGoodBlockOfTheSourceGoesToTheNthGoodBlockOfTheDestination) {
    const int src = kImages[kUboot].low, dst = kImages[kUboot].high;
    std::vector<Bytes> badBefore;
    for (uint32_t b : GetParam().dst)
        badBefore.push_back(board.read(dst, uint64_t{b} * kBlock, kBlock));

    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "fixing uboot-2  !!!!.\n"));
    expectSameGoodBlocks(dst, src, 4);
    EXPECT_EQ(goodSum(dst, 4), goodSum(src, 4));

    // The erase covers exactly the four good blocks the copy writes.
    std::vector<std::string> erases;
    for (uint32_t b : goodBlocks(dst, 4))
        erases.push_back("erase " + hexValue(b * kBlock));
    std::vector<std::string> seen;
    for (const std::string& m : mutationsOf(dst))
        if (m.compare(0, 6, "erase ") == 0)
            seen.push_back(m);
    EXPECT_EQ(seen, erases);
    for (size_t i = 0; i < GetParam().dst.size(); ++i) {
        const uint32_t b = GetParam().dst[i];
        EXPECT_EQ(board.read(dst, uint64_t{b} * kBlock, kBlock), badBefore[i]) << "bad block " << b << " written";
        char skipped[64];
        snprintf(skipped, sizeof skipped, "\nSkipping bad block at 0x%08x\n", b * kBlock);
        EXPECT_TRUE(contains(r.out, skipped)) << skipped;
    }
    // Each side's bad blocks are reported by its scan and again by the copy.
    for (uint32_t b = 0; b < 8; ++b) {
        const std::vector<uint32_t>& s = GetParam().src;
        const std::vector<uint32_t>& d = GetParam().dst;
        const size_t sides = std::count(s.begin(), s.end(), b) + std::count(d.begin(), d.end(), b);
        const std::string line = "Bad block at " + hexValue(b * kBlock) + ", 1 block(s) from " + hexValue(b * kBlock) +
                                 " will be skipped\n";
        EXPECT_EQ(count(r.err, line), 2 * sides) << line;
    }
    expectConverged();
}

INSTANTIATE_TEST_SUITE_P(Layouts, CopyBadBlockTest,
                         ::testing::Values(BadLayout{"SourceBlock1", {1}, {}},
                                           BadLayout{"DestinationBlock2", {}, {2}},
                                           BadLayout{"BothFirstBlocks", {0}, {0}},
                                           BadLayout{"RunsOnBothSides", {0, 1}, {1, 2, 3}}),
                         [](const ::testing::TestParamInfo<BadLayout>& info) { return std::string(info.param.name); });

// ---- partitions that cannot be read ----

TEST_F(MaintainTest, CopyWhoseSourceCannotBeOpenedLeavesTheDestinationAlone) {
    board.flipStoredBit(kImages[kKernel].high, 5000, 4);
    const Bytes before = board.read(kImages[kKernel].high, 0, 2 * kBlock);
    // The scan opens the low kernel first; the copy's opening is the second.
    board.setFaults({"fail=mtd2:open:2:EACCES"});
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "fixing kernel-2  !!!!.\nopen flash: Permission denied\nBoth appSum"));
    EXPECT_TRUE(board.mutations().empty());
    EXPECT_EQ(board.read(kImages[kKernel].high, 0, 2 * kBlock), before);
}

TEST_F(MaintainTest, UnreadableHighImageCountsAsNotMatchingAndIsRepaired) {
    board.setFaults({"fail=mtd8:read:1:EIO"});
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "pread: Input/output error\ncannot read /dev/mtd8, counted as not matching\nKERNEL 2: addsum 0\n"));
    EXPECT_TRUE(contains(r.err, "fixing kernel-2  !!!!.\n"));
    expectSameGoodBlocks(kImages[kKernel].high, kImages[kKernel].low, 128);
}

TEST_F(MaintainTest, UnreadableLowImageIsNeverACopySource) {
    board.flipStoredBit(kImages[kKernel].high, 777, 1);
    const Bytes before = board.read(kImages[kKernel].high, 0, kBlock);
    board.setFaults({"fail=mtd2:open:1:EACCES"});
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "open flash: Permission denied\ncannot read /dev/mtd2, counted as not matching\n"
                                "KERNEL 1: addsum 0\n"));
    EXPECT_TRUE(contains(r.err, "Both ubootSum partition are good.\nBoth kernelSum partition are Bad, can't fix !!!!.\n"
                                "Both appSum partition are good.\n"));
    EXPECT_TRUE(board.mutations().empty());
    EXPECT_EQ(board.read(kImages[kKernel].high, 0, kBlock), before);
}

TEST_F(MaintainTest, UnreadableLowImageIsRepairedFromAMatchingHighOne) {
    board.setFaults({"fail=mtd2:read:5:EIO"});
    testboard::RunResult r = expectRun({"tolvane", "-m"});
    EXPECT_TRUE(contains(r.err, "cannot read /dev/mtd2, counted as not matching\n"));
    EXPECT_TRUE(contains(r.err, "fixing kernel-1  !!!!.\n"));
    EXPECT_TRUE(contains(r.out, "copyFlashPatition() DST: /dev/mtd2, SRC:/dev/mtd8, blockSize: 80\n"));
    expectSameGoodBlocks(kImages[kKernel].low, kImages[kKernel].high, 128);
    expectConverged();
}

TEST_F(MaintainTest, ImageWithTooFewGoodBlocksEndsThePass) {
    for (uint32_t b = 0; b < 4; ++b)
        board.markBad(kImages[kS1L].high, b);
    testboard::RunResult r = expectRun({"tolvane", "-m"}, 1);
    const size_t high = r.err.find("[scan high partition]\n");
    ASSERT_NE(high, std::string::npos);
    EXPECT_NE(r.err.find("Data did not fit into device, due to bad blocks\n: ", high), std::string::npos);
    EXPECT_FALSE(contains(r.err, "S1L 2: addsum"));
    EXPECT_TRUE(board.mutations().empty());
}

}  // namespace
