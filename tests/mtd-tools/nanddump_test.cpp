// nanddump: the page data of the range, bad blocks left out, and a clear
// failure (with no file left behind) for everything else.
#include "tool_test.h"

using namespace mtdtest;
using testboard::RunResult;

namespace {

constexpr const char* kFile = "/mnt/sd/dump.bin";
constexpr const char* kSdName = "dump.bin";

class NanddumpTest : public ToolTest {
protected:
    void SetUp() override { fillPartition(); }

    RunResult dump(const std::string& length, const char* dev = kDev) const {
        return run({"nanddump", "-o", "-b", "-f", kFile, "-l", length, dev});
    }
    RunResult dumpBlocks(uint32_t count) const { return dump(std::to_string(count * kBlock)); }
    Bytes dumped() const { return board.readSdFile(kSdName); }
    bool dumpExists() const { return board.sdFileExists(kSdName); }
    void leaveOldDump() const { board.writeSdFile(kSdName, Bytes(100, 0x5A)); }
};

// ---- command line ----

TEST_F(NanddumpTest, OptionsInAnyOrderGiveTheSameDump) {
    const std::string len = std::to_string(3 * kBlock);
    const std::vector<std::vector<std::string>> lines = {
        {"nanddump", "-o", "-b", "-f", kFile, "-l", len, kDev},
        {"nanddump", "-l", len, "-f", kFile, "-b", "-o", kDev},
        {"nanddump", kDev, "-b", "-l", len, "-o", "-f", kFile},
        {"nanddump", "-ob", "-f" + std::string(kFile), "-l" + len, kDev},
    };
    for (const auto& argv : lines) {
        leaveOldDump();
        expectSuccess(run(argv));
        EXPECT_EQ(dumped(), blocks(0, 3)) << argv[1] << " " << argv[2];
    }
}

TEST_F(NanddumpTest, HexLengthMeansTheSameAsDecimal) {
    expectSuccess(dump("0x5000"));
    EXPECT_EQ(dumped(), pages(0, 10));
}

TEST_F(NanddumpTest, LengthOfWholePartitionAndNoLengthDumpEverything) {
    expectSuccess(dumpBlocks(kBlocks));
    EXPECT_EQ(dumped(), blocks(0, kBlocks));
    board.writeSdFile(kSdName, {});
    expectSuccess(run({"nanddump", "-o", "-b", "-f", kFile, kDev}));
    EXPECT_EQ(dumped(), blocks(0, kBlocks));
}

TEST_F(NanddumpTest, ZeroLengthGivesAnEmptyFile) {
    leaveOldDump();
    expectSuccess(dump("0"));
    EXPECT_TRUE(dumpExists());
    EXPECT_TRUE(dumped().empty());
}

TEST_F(NanddumpTest, ShorterDumpReplacesLongerFileWhole) {
    board.writeSdFile(kSdName, Bytes(5 * kPage, 0x11));
    expectSuccess(dump(std::to_string(2 * kPage)));
    EXPECT_EQ(dumped(), pages(0, 2));
}

TEST_F(NanddumpTest, DumpDoesNotChangeTheFlash) {
    Bytes before = blocks(0, kBlocks);
    expectSuccess(dumpBlocks(4));
    EXPECT_TRUE(board.mutations().empty());
    EXPECT_EQ(blocks(0, kBlocks), before);
}

// ---- bad blocks ----

TEST_F(NanddumpTest, BadBlockInsideTheRangeIsLeftOut) {
    board.markBad(kMtd, 2);
    expectSuccess(dumpBlocks(6), "nanddump: skipping bad block at 0x00040000\n");
    EXPECT_EQ(dumped(), blocks(0, 2) + blocks(3, 3));
}

TEST_F(NanddumpTest, BadFirstBlockIsLeftOut) {
    board.markBad(kMtd, 0);
    expectSuccess(dumpBlocks(3), "nanddump: skipping bad block at 0x00000000\n");
    EXPECT_EQ(dumped(), blocks(1, 2));
}

TEST_F(NanddumpTest, RunOfAdjacentBadBlocksIsLeftOut) {
    for (uint32_t b : {3u, 4u, 5u})
        board.markBad(kMtd, b);
    expectSuccess(dumpBlocks(8),
                  "nanddump: skipping bad block at 0x00060000\n"
                  "nanddump: skipping bad block at 0x00080000\n"
                  "nanddump: skipping bad block at 0x000a0000\n");
    EXPECT_EQ(dumped(), blocks(0, 3) + blocks(6, 2));
}

TEST_F(NanddumpTest, BadBlockOutsideTheRangeChangesNothing) {
    board.markBad(kMtd, 4);
    board.markBad(kMtd, 10);
    expectSuccess(dumpBlocks(4));
    EXPECT_EQ(dumped(), blocks(0, 4));
}

TEST_F(NanddumpTest, RangeEndingInsideABlockKeepsOnlyItsPagesInRange) {
    board.markBad(kMtd, 1);
    // Ends 5 pages into good block 2: those 5 pages are dumped.
    expectSuccess(dump(std::to_string(2 * kBlock + 5 * kPage)), "nanddump: skipping bad block at 0x00020000\n");
    EXPECT_EQ(dumped(), blocks(0, 1) + pages(2 * kBlock, 5));
    // Ends 5 pages into bad block 1: only block 0 is dumped.
    expectSuccess(dump(std::to_string(kBlock + 5 * kPage)), "nanddump: skipping bad block at 0x00020000\n");
    EXPECT_EQ(dumped(), blocks(0, 1));
}

TEST_F(NanddumpTest, LongerRangeOverABadBlockGivesTheWholeImage) {
    // As the verifier re-reads: a 4-block image with one bad block in its
    // range dumps short by a block, and a range one block longer dumps it whole.
    board.markBad(kMtd, 1);
    expectSuccess(dumpBlocks(4), "nanddump: skipping bad block at 0x00020000\n");
    EXPECT_EQ(dumped().size(), 3 * kBlock);
    expectSuccess(dumpBlocks(5), "nanddump: skipping bad block at 0x00020000\n");
    EXPECT_EQ(dumped(), blocks(0, 1) + blocks(2, 3));
}

TEST_F(NanddumpTest, DeviceWithoutBadBlockSupportDumpsEveryBlock) {
    board.markBad(kMtd, 2);   // the device cannot tell, so the block counts as good
    board.setFaults({"fail=mtd1:getbadblock:*:EOPNOTSUPP"});
    expectSuccess(dumpBlocks(4));
    EXPECT_EQ(dumped(), blocks(0, 4));
    EXPECT_EQ(logged("fault", "nanddump").size(), 1u) << "asked again after EOPNOTSUPP";
}

// ---- usage errors: status 2, the file untouched ----

TEST_F(NanddumpTest, BadCommandLinesAreUsageErrors) {
    const std::string usage = " (usage: nanddump -o -b -f FILE [-l LEN] DEV)";
    const std::string both = "nanddump: only data dumps without bad blocks are made: give -o and -b";
    struct Case {
        std::vector<std::string> argv;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"nanddump"}, both},
        {{"nanddump", "-b", "-f", kFile, "-l", "2048", kDev}, both},
        {{"nanddump", "-o", "-f", kFile, "-l", "2048", kDev}, both},
        {{"nanddump", "-o", "-b", "-l", "2048", kDev}, "nanddump: no output file (-f FILE)"},
        {{"nanddump", "-o", "-b", "-f", kFile, "-l", "2048"}, "nanddump: no device"},
        {{"nanddump", "-o", "-b", "-f", kFile, kDev, "/dev/mtd2"}, "nanddump: unexpected argument '/dev/mtd2'"},
        {{"nanddump", "-o", "-b", "-x", "-f", kFile, kDev}, "nanddump: unknown option -x"},
        {{"nanddump", "-o", "-b", kDev, "-f"}, "nanddump: option -f needs an argument"},
        {{"nanddump", "-o", "-b", "-f", kFile, kDev, "-l"}, "nanddump: option -l needs an argument"},
    };
    for (const auto& c : cases) {
        leaveOldDump();
        expectFailure(run(c.argv), 2, c.line + usage);
        EXPECT_EQ(dumped(), Bytes(100, 0x5A));
    }
    for (const char* len : {"-2048", "+2048", " 2048", "2048k", "", "0x", "0xg0", "abc", "99999999999999999999"}) {
        leaveOldDump();
        expectFailure(dump(len), 2, "nanddump: invalid length '" + std::string(len) + "'" + usage);
        EXPECT_EQ(dumped(), Bytes(100, 0x5A));
    }
}

// ---- runtime failures: status 1, no file left ----

TEST_F(NanddumpTest, LengthNotWholePagesIsRefused) {
    leaveOldDump();
    expectFailure(dump("2049"), 1, "nanddump: length 2049 is not a multiple of the page size 2048");
    EXPECT_FALSE(dumpExists());
}

TEST_F(NanddumpTest, LengthPastTheEndIsRefused) {
    leaveOldDump();
    const uint32_t size = kBlocks * kBlock;
    expectFailure(dump(std::to_string(size + kPage)), 1,
                  "nanddump: length 2099200 is past the end of '/dev/mtd1' (2097152 bytes)");
    EXPECT_FALSE(dumpExists());
    // A wrapped 32-bit length from the verifier is just as far past the end.
    expectFailure(dump("4294836224"), 1,
                  "nanddump: length 4294836224 is past the end of '/dev/mtd1' (2097152 bytes)");
}

TEST_F(NanddumpTest, DeviceThatCannotBeOpenedFails) {
    leaveOldDump();
    expectFailure(dump("2048", "/dev/mtd9"), 1, "nanddump: can't open '/dev/mtd9': No such file or directory");
    EXPECT_FALSE(dumpExists()) << "an old dump must not pass for this device's";
    board.setFaults({"fail=mtd1:open:1:EACCES"});
    expectFailure(dump("2048"), 1, "nanddump: can't open '/dev/mtd1': Permission denied");
}

TEST_F(NanddumpTest, PlainFileIsNotAnMtdDevice) {
    board.writeSdFile("plain.bin", Bytes(4096, 0));
    expectFailure(dump("2048", "/mnt/sd/plain.bin"), 1, "nanddump: '/mnt/sd/plain.bin' is not an MTD device");
    EXPECT_FALSE(dumpExists());
}

TEST_F(NanddumpTest, FailingGeometryQueryFails) {
    board.setFaults({"fail=mtd1:getinfo:1:EIO"});
    expectFailure(dump("2048"), 1, "nanddump: MEMGETINFO on '/dev/mtd1': Input/output error");
}

TEST_F(NanddumpTest, FailingReadFailsAndRemovesThePartialDump) {
    board.setFaults({"fail=mtd1:read:3:EIO"});
    expectFailure(dumpBlocks(2), 1, "nanddump: read at 0x00001000 of '/dev/mtd1': Input/output error");
    EXPECT_FALSE(dumpExists());
}

TEST_F(NanddumpTest, ShortReadFails) {
    board.setFaults({"fail=mtd1:read:2:short"});
    expectFailure(dumpBlocks(2), 1, "nanddump: short read at 0x00000800 of '/dev/mtd1' (1024 of 2048 bytes)");
    EXPECT_FALSE(dumpExists());
}

TEST_F(NanddumpTest, FailingBadBlockQueryFails) {
    // Whether block 1 belongs in the dump cannot be known.
    board.setFaults({"fail=mtd1:getbadblock:2:EIO"});
    expectFailure(dumpBlocks(3), 1, "nanddump: MEMGETBADBLOCK at 0x00020000 on '/dev/mtd1': Input/output error");
    EXPECT_FALSE(dumpExists());
}

TEST_F(NanddumpTest, OutputThatCannotBeCreatedFails) {
    RunResult r = run({"nanddump", "-o", "-b", "-f", "/mnt/sd/none/dump.bin", "-l", "2048", kDev});
    expectFailure(r, 1, "nanddump: can't create '/mnt/sd/none/dump.bin': No such file or directory");
}

TEST_F(NanddumpTest, FailingFileWriteFailsAndRemovesThePartialDump) {
    // A file size limit below the size of two blocks stops their dump half way.
    RunResult r = run({"sh", "-c", "trap '' XFSZ; ulimit -f 128; exec nanddump -o -b -f /mnt/sd/dump.bin -l 262144 /dev/mtd1"});
    expectFailure(r, 1, "nanddump: write to '/mnt/sd/dump.bin': File too large");
    EXPECT_FALSE(dumpExists());
}

}  // namespace
