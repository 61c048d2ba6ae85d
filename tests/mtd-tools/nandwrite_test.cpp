// nandwrite: the file from offset 0, whole pages, bad blocks stepped over,
// the last page padded with 0xFF; what cannot be written whole is refused
// before the first page.
#include "tool_test.h"

using namespace mtdtest;
using testboard::RunResult;

namespace {

constexpr const char* kFile = "/mnt/sd/image.bin";
constexpr const char* kSdName = "image.bin";

class NandwriteTest : public ToolTest {
protected:
    explicit NandwriteTest(bool strict = false) : ToolTest(strict) {}

    Bytes putImage(size_t size, uint32_t seed = 3) const {
        Bytes image = testboard::pattern(size, seed);
        board.writeSdFile(kSdName, image);
        return image;
    }
    RunResult write(bool pad = true) const {
        if (pad)
            return run({"nandwrite", "-p", kDev, kFile});
        return run({"nandwrite", kDev, kFile});
    }
    // Offsets of the pages nandwrite programmed, in order.
    std::vector<uint64_t> programmed() const {
        std::vector<uint64_t> at;
        for (const auto& e : logged("program", "nandwrite"))
            at.push_back(e.offset);
        return at;
    }
    static std::vector<uint64_t> pageRun(uint64_t start, uint32_t count) {
        std::vector<uint64_t> at;
        for (uint32_t i = 0; i < count; ++i)
            at.push_back(start + uint64_t{i} * kPage);
        return at;
    }
};

class StrictNandwriteTest : public NandwriteTest {
protected:
    StrictNandwriteTest() : NandwriteTest(true) {}
};

// ---- writing ----

TEST_F(NandwriteTest, WritesWholePagesFromOffsetZero) {
    Bytes image = putImage(5 * kPage);
    expectSuccess(write(false));
    EXPECT_EQ(pages(0, 5), image);
    EXPECT_EQ(programmed(), pageRun(0, 5)) << "one write per page, nothing after the file";
    EXPECT_TRUE(isErased(1));
}

TEST_F(NandwriteTest, PadsTheLastPageWith0xFF) {
    Bytes image = putImage(3 * kPage + 100);
    expectSuccess(write());
    EXPECT_EQ(pages(0, 4), image + Bytes(kPage - 100, 0xFF));
    EXPECT_EQ(programmed(), pageRun(0, 4));
}

TEST_F(NandwriteTest, EmptyFileWritesNothing) {
    putImage(0);
    expectSuccess(write());
    EXPECT_TRUE(programmed().empty());
}

TEST_F(NandwriteTest, SkipsBadBlocksFirstBlockAndRunsIncluded) {
    for (uint32_t b : {0u, 3u, 4u})
        board.markBad(kMtd, b);
    board.markBad(kMtd, 12);   // after the end of the image: not reached, not reported
    Bytes image = putImage(4 * kBlock);
    expectSuccess(write(),
                  "nandwrite: skipping bad block at 0x00000000\n"
                  "nandwrite: skipping bad block at 0x00060000\n"
                  "nandwrite: skipping bad block at 0x00080000\n");
    EXPECT_EQ(blocks(1, 2) + blocks(5, 2), image);
    for (uint32_t b : {0u, 3u, 4u, 7u})
        EXPECT_TRUE(isErased(b)) << "block " << b;
    // Bad-block writes would be logged as violations (checked after every test).
}

TEST_F(NandwriteTest, FileFillingEveryGoodBlockFits) {
    board.markBad(kMtd, 5);
    Bytes image = putImage((kBlocks - 1) * kBlock);
    expectSuccess(write(), "nandwrite: skipping bad block at 0x000a0000\n");
    EXPECT_EQ(blocks(0, 5) + blocks(6, kBlocks - 6), image);
}

// ---- refused before writing ----

TEST_F(NandwriteTest, PartPageWithoutPaddingIsRefused) {
    putImage(kPage + 1);
    expectFailure(write(false), 1,
                  "nandwrite: '/mnt/sd/image.bin' is not a multiple of the page size 2048; use -p to pad it");
    EXPECT_TRUE(programmed().empty());
}

TEST_F(NandwriteTest, FileLargerThanThePartitionIsRefused) {
    putImage(kBlocks * kBlock + 1);
    expectFailure(write(), 1,
                  "nandwrite: '/mnt/sd/image.bin' (2097153 bytes) does not fit into the good blocks of "
                  "'/dev/mtd1' (2097152 bytes)");
    EXPECT_TRUE(programmed().empty());
}

TEST_F(NandwriteTest, FileLargerThanTheGoodBlocksIsRefused) {
    board.markBad(kMtd, 0);
    board.markBad(kMtd, 9);
    putImage((kBlocks - 2) * kBlock + kPage);
    expectFailure(write(), 1,
                  "nandwrite: '/mnt/sd/image.bin' (1837056 bytes) does not fit into the good blocks of "
                  "'/dev/mtd1' (1835008 bytes)");
    EXPECT_TRUE(programmed().empty());
}

// ---- a stream is checked as it is read ----

TEST_F(NandwriteTest, StreamIsWrittenAndPadded) {
    Bytes image = putImage(2 * kPage + 7);
    RunResult r = run({"sh", "-c", "cat /mnt/sd/image.bin | nandwrite -p /dev/mtd1 /dev/stdin"});
    expectSuccess(r);
    EXPECT_EQ(pages(0, 3), image + Bytes(kPage - 7, 0xFF));
}

TEST_F(NandwriteTest, StreamEndingInsideAPageWithoutPaddingFails) {
    Bytes image = putImage(2 * kPage + 7);
    RunResult r = run({"sh", "-c", "cat /mnt/sd/image.bin | nandwrite /dev/mtd1 /dev/stdin"});
    expectFailure(r, 1, "nandwrite: '/dev/stdin' ends inside a page; use -p to pad it");
    EXPECT_EQ(programmed(), pageRun(0, 2));
    EXPECT_EQ(pages(0, 2), Bytes(image.begin(), image.begin() + 2 * kPage));
    EXPECT_EQ(pages(2 * kPage, 1), Bytes(kPage, 0xFF));
}

TEST_F(NandwriteTest, StreamLargerThanThePartitionFailsWhenItRunsOut) {
    putImage(kBlocks * kBlock + kPage);
    RunResult r = run({"sh", "-c", "cat /mnt/sd/image.bin | nandwrite -p /dev/mtd1 /dev/stdin"});
    expectFailure(r, 1, "nandwrite: '/dev/stdin' does not fit into the good blocks of '/dev/mtd1'");
    EXPECT_EQ(programmed().size(), kBlocks * (kBlock / kPage));
}

TEST_F(NandwriteTest, StreamExactlyFillingThePartitionSucceeds) {
    Bytes image = putImage(kBlocks * kBlock);
    expectSuccess(run({"sh", "-c", "cat /mnt/sd/image.bin | nandwrite -p /dev/mtd1 /dev/stdin"}));
    EXPECT_EQ(blocks(0, kBlocks), image);
}

// ---- usage errors ----

TEST_F(NandwriteTest, BadCommandLinesAreUsageErrors) {
    putImage(kPage);
    const std::string usage = " (usage: nandwrite [-p] DEV FILE)";
    struct Case {
        std::vector<std::string> argv;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"nandwrite"}, "nandwrite: no device and no file"},
        {{"nandwrite", "-p"}, "nandwrite: no device and no file"},
        {{"nandwrite", "-p", kDev}, "nandwrite: no file"},
        {{"nandwrite", "-p", kDev, kFile, "extra"}, "nandwrite: unexpected argument 'extra'"},
        {{"nandwrite", "-p", "-m", kDev, kFile}, "nandwrite: unknown option -m"},
    };
    for (const auto& c : cases)
        expectFailure(run(c.argv), 2, c.line + usage);
    EXPECT_TRUE(programmed().empty());
}

TEST_F(NandwriteTest, OptionAfterTheOperandsIsAccepted) {
    Bytes image = putImage(kPage + 1);
    expectSuccess(run({"nandwrite", kDev, kFile, "-p"}));
    EXPECT_EQ(pages(0, 2), image + Bytes(kPage - 1, 0xFF));
}

// ---- runtime failures ----

TEST_F(NandwriteTest, MissingFileFails) {
    expectFailure(write(), 1, "nandwrite: can't open '/mnt/sd/image.bin': No such file or directory");
}

TEST_F(NandwriteTest, DeviceThatCannotBeOpenedFails) {
    putImage(kPage);
    expectFailure(run({"nandwrite", "-p", "/dev/mtd7", kFile}), 1,
                  "nandwrite: can't open '/dev/mtd7': No such file or directory");
    expectFailure(run({"nandwrite", "-p", "/mnt/sd/image.bin", kFile}), 1,
                  "nandwrite: '/mnt/sd/image.bin' is not an MTD device");
    board.setFaults({"fail=mtd1:getinfo:1:EIO"});
    expectFailure(write(), 1, "nandwrite: MEMGETINFO on '/dev/mtd1': Input/output error");
    EXPECT_TRUE(programmed().empty());
}

TEST_F(NandwriteTest, FailingWriteStopsAtThatPage) {
    putImage(4 * kPage);
    board.setFaults({"fail=mtd1:write:3:EIO"});
    expectFailure(write(), 1, "nandwrite: write at 0x00001000 of '/dev/mtd1': Input/output error");
    EXPECT_EQ(programmed(), pageRun(0, 2));
}

TEST_F(NandwriteTest, ShortWriteFails) {
    putImage(4 * kPage);
    board.setFaults({"fail=mtd1:write:2:short"});
    expectFailure(write(), 1, "nandwrite: short write at 0x00000800 of '/dev/mtd1' (0 of 2048 bytes)");
    EXPECT_EQ(programmed(), pageRun(0, 1));
}

TEST_F(NandwriteTest, FailingBadBlockQueryFailsBeforeWriting) {
    putImage(3 * kBlock);
    board.setFaults({"fail=mtd1:getbadblock:2:EIO"});
    expectFailure(write(), 1, "nandwrite: MEMGETBADBLOCK at 0x00020000 on '/dev/mtd1': Input/output error");
    EXPECT_TRUE(programmed().empty());
}

TEST_F(NandwriteTest, FailingBadBlockQueryWhileWritingStopsThere) {
    // The check before writing asks about blocks 0 to 2, the writing again:
    // the sixth query is about block 2.
    putImage(3 * kBlock);
    board.setFaults({"fail=mtd1:getbadblock:6:EIO"});
    expectFailure(write(), 1, "nandwrite: MEMGETBADBLOCK at 0x00040000 on '/dev/mtd1': Input/output error");
    EXPECT_EQ(programmed(), pageRun(0, 2 * kBlock / kPage));
}

TEST_F(NandwriteTest, DeviceWithoutBadBlockSupportWritesEveryBlock) {
    Bytes image = putImage(3 * kBlock);
    board.setFaults({"fail=mtd1:getbadblock:*:EOPNOTSUPP"});
    expectSuccess(write());
    EXPECT_EQ(blocks(0, 3), image);
}

TEST_F(StrictNandwriteTest, WritingOverProgrammedPagesFailsOnTheFlash) {
    provokesViolation = true;
    board.program(kMtd, kPage, Bytes(kPage, 0x00));
    putImage(3 * kPage);
    expectFailure(write(), 1, "nandwrite: write at 0x00000800 of '/dev/mtd1': Input/output error");
    EXPECT_EQ(board.violations(), 1u);
}

}  // namespace
