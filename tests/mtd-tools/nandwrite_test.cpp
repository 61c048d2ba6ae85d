// nandwrite: the file from offset 0 in whole pages, bad blocks stepped
// over, the last page padded with 0xFF; what cannot be written whole is
// refused before the first page.
#include "tool_test.h"

using namespace mtdtest;

namespace {

constexpr const char* kImageFile = "/mnt/sd/image.bin";

class NandwriteTest : public ToolTest {
protected:
    explicit NandwriteTest(bool strict = false) : ToolTest(strict) {}

    Bytes putImage(size_t size) const {
        Bytes image = testboard::pattern(size, 3);
        board.writeSdFile("image.bin", image);
        return image;
    }
    static Argv write() { return {"nandwrite", "-p", kDev, kImageFile}; }
    static Argv fromPipe(const char* option) {
        return {"sh", "-c", std::string("cat /mnt/sd/image.bin | nandwrite ") + option + " /dev/mtd1 /dev/stdin"};
    }
    std::vector<uint64_t> programmed() const { return logged("program", "nandwrite"); }
    static std::vector<uint64_t> pageRun(uint32_t count) {
        std::vector<uint64_t> at;
        for (uint32_t i = 0; i < count; ++i)
            at.push_back(uint64_t{i} * kPage);
        return at;
    }
};

TEST_F(NandwriteTest, WritesWholePagesFromOffsetZeroAndNothingElse) {
    Bytes image = putImage(5 * kPage);
    expectRun({"nandwrite", kDev, kImageFile}, 0);
    EXPECT_EQ(pages(0, 5), image);
    EXPECT_EQ(programmed(), pageRun(5));
}

TEST_F(NandwriteTest, PadsTheLastPageWith0xFF) {
    Bytes image = putImage(3 * kPage + 100);
    expectRun({"nandwrite", kDev, kImageFile, "-p"}, 0);   // the option may follow the operands
    EXPECT_EQ(pages(0, 4), image + Bytes(kPage - 100, 0xFF));
    EXPECT_EQ(programmed(), pageRun(4));
}

TEST_F(NandwriteTest, EmptyFileWritesNothing) {
    putImage(0);
    expectRun(write(), 0);
    EXPECT_TRUE(programmed().empty());
}

TEST_F(NandwriteTest, SkipsBadBlocksFirstBlockAndRunsIncluded) {
    for (uint32_t b : {0u, 3u, 4u, 12u})
        board.markBad(kMtd, b);
    Bytes image = putImage(4 * kBlock);
    expectRun(write(), 0, skipped("nandwrite", {0, 3, 4}));   // block 12 lies after the image
    EXPECT_EQ(blocks(1, 2) + blocks(5, 2), image);
    for (uint32_t b : {0u, 3u, 4u, 7u})
        EXPECT_TRUE(isErased(b)) << "block " << b;
}

TEST_F(NandwriteTest, FileFillingEveryGoodBlockFits) {
    board.markBad(kMtd, 5);
    Bytes image = putImage((kBlocks - 1) * kBlock);
    expectRun(write(), 0, skipped("nandwrite", {5}));
    EXPECT_EQ(blocks(0, 5) + blocks(6, kBlocks - 6), image);
}

TEST_F(NandwriteTest, StreamIsPaddedAndCheckedAsItIsRead) {
    Bytes image = putImage(2 * kPage + 7);
    expectRun(fromPipe("-p"), 0);
    EXPECT_EQ(pages(0, 3), image + Bytes(kPage - 7, 0xFF));
    board.eraseBlock(kMtd, 0);
    board.clearLog();
    expectRun(fromPipe(""), 1, "nandwrite: '/dev/stdin' ends inside a page; use -p to pad it\n");
    EXPECT_EQ(programmed(), pageRun(2));
}

TEST_F(NandwriteTest, StreamLargerThanThePartitionFailsWhenItRunsOut) {
    putImage(kBlocks * kBlock + kPage);
    expectRun(fromPipe("-p"), 1, "nandwrite: '/dev/stdin' does not fit into the good blocks of '/dev/mtd1'\n");
    EXPECT_EQ(programmed().size(), kBlocks * (kBlock / kPage));
}

class StrictNandwriteTest : public NandwriteTest {
protected:
    StrictNandwriteTest() : NandwriteTest(true) {}
};

TEST_F(StrictNandwriteTest, WritingOverAProgrammedPageFailsThere) {
    violationsAllowed = true;
    board.program(kMtd, kPage, Bytes(kPage, 0x00));
    putImage(3 * kPage);
    expectRun(write(), 1, "nandwrite: write at 0x00000800 of '/dev/mtd1': Input/output error\n");
    EXPECT_EQ(board.violations(), 1u);
}

// ---- failures: the message, and how far the writing got ----

struct WriteFailCase {
    const char* name;
    Argv argv;
    uint32_t fileSize;
    std::vector<uint32_t> bad;
    const char* fault;
    int status;
    std::string line;
    uint32_t pagesWritten;
};

// Names the case in the test list.
void PrintTo(const WriteFailCase& c, std::ostream* os) { *os << c.name; }

class NandwriteFailureTest : public NandwriteTest, public ::testing::WithParamInterface<WriteFailCase> {};

TEST_P(NandwriteFailureTest, FailsWithOneLine) {
    const WriteFailCase& c = GetParam();
    putImage(c.fileSize);
    for (uint32_t b : c.bad)
        board.markBad(kMtd, b);
    if (*c.fault)
        board.setFaults({c.fault});
    const std::string usage = c.status == 2 ? " (usage: nandwrite [-p] DEV FILE)" : "";
    expectRun(c.argv, c.status, "nandwrite: " + c.line + usage + "\n");
    EXPECT_EQ(programmed(), pageRun(c.pagesWritten));
}

const Argv kWrite = {"nandwrite", "-p", kDev, kImageFile};

INSTANTIATE_TEST_SUITE_P(Usage, NandwriteFailureTest, ::testing::Values(
    WriteFailCase{"NoArguments", {"nandwrite"}, P, {}, "", 2, "no device and no file", 0},
    WriteFailCase{"NoFile", {"nandwrite", "-p", kDev}, P, {}, "", 2, "no file", 0},
    WriteFailCase{"ExtraArgument", {"nandwrite", "-p", kDev, kImageFile, "x"}, P, {}, "", 2, "unexpected argument 'x'", 0},
    WriteFailCase{"UnknownOption", {"nandwrite", "-m", kDev, kImageFile}, P, {}, "", 2, "unknown option -m", 0}));

INSTANTIATE_TEST_SUITE_P(Refused, NandwriteFailureTest, ::testing::Values(
    WriteFailCase{"PartPageWithoutPadding", {"nandwrite", kDev, kImageFile}, P + 1, {}, "", 1,
             "'/mnt/sd/image.bin' is not a multiple of the page size 2048; use -p to pad it", 0},
    WriteFailCase{"LargerThanPartition", kWrite, 16 * B + 1, {}, "", 1,
             "'/mnt/sd/image.bin' (2097153 bytes) does not fit into the good blocks of '/dev/mtd1' (2097152 bytes)", 0},
    WriteFailCase{"LargerThanGoodBlocks", kWrite, 14 * B + P, {0, 9}, "", 1,
             "'/mnt/sd/image.bin' (1837056 bytes) does not fit into the good blocks of '/dev/mtd1' (1835008 bytes)", 0},
    WriteFailCase{"NoSuchFile", {"nandwrite", "-p", kDev, "/mnt/sd/none.bin"}, P, {}, "", 1,
             "can't open '/mnt/sd/none.bin': No such file or directory", 0},
    WriteFailCase{"NoSuchDevice", {"nandwrite", "-p", "/dev/mtd7", kImageFile}, P, {}, "", 1,
             "can't open '/dev/mtd7': No such file or directory", 0},
    WriteFailCase{"BadBlockQueryBeforeWriting", kWrite, 3 * B, {}, "fail=mtd1:getbadblock:2:EIO", 1,
             "MEMGETBADBLOCK at 0x00020000 on '/dev/mtd1': Input/output error", 0}));

INSTANTIATE_TEST_SUITE_P(WhileWriting, NandwriteFailureTest, ::testing::Values(
    WriteFailCase{"Write", kWrite, 4 * P, {}, "fail=mtd1:write:3:EIO", 1,
             "write at 0x00001000 of '/dev/mtd1': Input/output error", 2},
    WriteFailCase{"ShortWrite", kWrite, 4 * P, {}, "fail=mtd1:write:2:short", 1,
             "short write at 0x00000800 of '/dev/mtd1' (0 of 2048 bytes)", 1},
    // The check before writing asks about blocks 0 to 2; the sixth query is block 2's again.
    WriteFailCase{"BadBlockQuery", kWrite, 3 * B, {}, "fail=mtd1:getbadblock:6:EIO", 1,
             "MEMGETBADBLOCK at 0x00040000 on '/dev/mtd1': Input/output error", 2 * B / P}));

}  // namespace
