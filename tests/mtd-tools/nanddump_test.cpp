// nanddump: the page data of the range with bad blocks left out, and a
// one-line failure that leaves no file behind for everything else.
#include "tool_test.h"

using namespace mtdtest;

namespace {

constexpr const char* kDumpFile = "/mnt/sd/dump.bin";
const Bytes kOldDump(100, 0x5A);

class NanddumpTest : public ToolTest {
protected:
    void SetUp() override {
        fillPartition();
        board.writeSdFile("dump.bin", kOldDump);
        board.writeSdFile("plain.bin", Bytes(4096, 0));
    }
    static Argv dump(uint64_t length, const char* dev = kDev) {
        return {"nanddump", "-o", "-b", "-f", kDumpFile, "-l", std::to_string(length), dev};
    }
    Bytes dumped() const { return board.readSdFile("dump.bin"); }
};

TEST_F(NanddumpTest, OptionsInAnyOrderGiveTheSameDump) {
    const std::string len = std::to_string(3 * kBlock);
    for (const Argv& argv : {dump(3 * kBlock), Argv{"nanddump", "-l", len, "-f", kDumpFile, "-b", "-o", kDev},
                             Argv{"nanddump", kDev, "-b", "-l", len, "-o", "-f", kDumpFile},
                             Argv{"nanddump", "-ob", "-f" + std::string(kDumpFile), "-l0x60000", kDev}}) {
        board.writeSdFile("dump.bin", kOldDump);
        expectRun(argv, 0);
        EXPECT_EQ(dumped(), blocks(0, 3)) << argv[1] << " " << argv[2];
    }
    EXPECT_TRUE(board.mutations().empty());
}

// No length, 0 and any length past the end all dump to the end of the
// partition, bad blocks left out but counted, as mtd-utils 1.4 did.
struct LengthCase {
    const char* name;
    std::vector<std::string> length;   // the -l option and its value, or nothing
    std::vector<uint32_t> bad;
    uint32_t blocksKept;               // the dump is the partition's good blocks up to this one
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class NanddumpLengthTest : public NanddumpTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(NanddumpLengthTest, DumpsUpToTheEndOfThePartitionAtMost) {
    const LengthCase& c = GetParam();
    for (uint32_t b : c.bad)
        board.markBad(kMtd, b);
    Argv argv{"nanddump", "-o", "-b", "-f", kDumpFile};
    argv.insert(argv.end(), c.length.begin(), c.length.end());
    argv.push_back(kDev);
    std::vector<uint32_t> reported;
    Bytes expected;
    for (uint32_t b = 0; b < c.blocksKept; ++b) {
        if (std::find(c.bad.begin(), c.bad.end(), b) != c.bad.end())
            reported.push_back(b);
        else
            expected = expected + blocks(b, 1);
    }
    expectRun(argv, 0, skipped("nanddump", reported));
    EXPECT_EQ(dumped(), expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, NanddumpLengthTest, ::testing::Values(
    LengthCase{"NoLength", {}, {}, kBlocks},
    LengthCase{"Zero", {"-l", "0"}, {}, kBlocks},
    LengthCase{"HexZero", {"-l", "0x0"}, {5}, kBlocks},
    LengthCase{"WholePartition", {"-l", std::to_string(kBlocks * kBlock)}, {}, kBlocks},
    LengthCase{"OnePagePastTheEnd", {"-l", std::to_string(kBlocks * kBlock + kPage)}, {}, kBlocks},
    // A bad block counts toward the length: the end stays the partition's.
    LengthCase{"PastTheEndWithBadBlocks", {"-l", std::to_string((kBlocks + 2) * kBlock)}, {3, 15}, kBlocks},
    LengthCase{"Wrapped32Bit", {"-l", "4294836224"}, {}, kBlocks},
    LengthCase{"Over32Bits", {"-l", "0x100000000"}, {0}, kBlocks},
    LengthCase{"InsideWithBadBlock", {"-l", std::to_string(4 * kBlock)}, {2}, 4}));

TEST_F(NanddumpTest, DeviceWithoutBadBlockSupportDumpsEveryBlock) {
    board.markBad(kMtd, 2);   // the device cannot tell, so the block counts as good
    board.setFaults({"fail=mtd1:getbadblock:*:EOPNOTSUPP"});
    expectRun(dump(4 * kBlock), 0);
    EXPECT_EQ(dumped(), blocks(0, 4));
    EXPECT_EQ(logged("fault", "nanddump").size(), 1u) << "asked again after EOPNOTSUPP";
}

TEST_F(NanddumpTest, FailingFileWriteRemovesThePartialDump) {
    // A file size limit below two blocks stops their dump half way.
    expectRun({"sh", "-c", "trap '' XFSZ; ulimit -f 128; exec nanddump -o -b -f /mnt/sd/dump.bin -l 262144 /dev/mtd1"},
              1, "nanddump: write to '/mnt/sd/dump.bin': File too large\n");
    EXPECT_FALSE(board.sdFileExists("dump.bin"));
}

// ---- bad blocks in and out of the range ----

struct BadCase {
    const char* name;
    std::vector<uint32_t> bad;
    uint32_t length;
    std::vector<std::pair<uint32_t, uint32_t>> kept;   // (offset, bytes) the dump must hold, in order
    std::vector<uint32_t> reported;
};

// Names the case in the test list.
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class NanddumpBadBlockTest : public NanddumpTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(NanddumpBadBlockTest, BadBlocksInTheRangeAreLeftOut) {
    const BadCase& c = GetParam();
    for (uint32_t b : c.bad)
        board.markBad(kMtd, b);
    expectRun(dump(c.length), 0, skipped("nanddump", c.reported));
    Bytes expected;
    for (auto [offset, bytes] : c.kept)
        expected = expected + board.read(kMtd, offset, bytes);
    EXPECT_EQ(dumped(), expected);
}

INSTANTIATE_TEST_SUITE_P(Ranges, NanddumpBadBlockTest, ::testing::Values(
    BadCase{"OneInside", {2}, 6 * B, {{0, 2 * B}, {3 * B, 3 * B}}, {2}},
    BadCase{"FirstBlock", {0}, 3 * B, {{B, 2 * B}}, {0}},
    BadCase{"RunOfThree", {3, 4, 5}, 8 * B, {{0, 3 * B}, {6 * B, 2 * B}}, {3, 4, 5}},
    BadCase{"OutsideOnly", {4, 10}, 4 * B, {{0, 4 * B}}, {}},
    BadCase{"EndInGoodBlockAfterBad", {1}, 2 * B + 5 * P, {{0, B}, {2 * B, 5 * P}}, {1}},
    BadCase{"EndInsideBadBlock", {1}, B + 5 * P, {{0, B}}, {1}},
    BadCase{"EndInsideAPageTakesItWhole", {1}, 2 * B + 4 * P + 1, {{0, B}, {2 * B, 5 * P}}, {1}},
    // The verifier's re-read of a 4-block image: one block longer gives it whole.
    BadCase{"ReReadOfFourBlocks", {1}, 5 * B, {{0, B}, {2 * B, 3 * B}}, {1}}));

// ---- failures: status 2 leaves the file alone, status 1 leaves no file ----

struct DumpFailCase {
    const char* name;
    Argv argv;
    const char* fault;
    int status;
    std::string line;
};

// Names the case in the test list.
void PrintTo(const DumpFailCase& c, std::ostream* os) { *os << c.name; }

class NanddumpFailureTest : public NanddumpTest, public ::testing::WithParamInterface<DumpFailCase> {};

TEST_P(NanddumpFailureTest, FailsWithOneLine) {
    const DumpFailCase& c = GetParam();
    if (*c.fault)
        board.setFaults({c.fault});
    const std::string usage = c.status == 2 ? " (usage: nanddump -o -b -f FILE [-l LEN] DEV)" : "";
    expectRun(c.argv, c.status, "nanddump: " + c.line + usage + "\n");
    const bool namesDump = std::find(c.argv.begin(), c.argv.end(), kDumpFile) != c.argv.end();
    if (c.status == 2 || !namesDump)
        EXPECT_EQ(dumped(), kOldDump);
    else
        EXPECT_FALSE(board.sdFileExists("dump.bin")) << "a failed dump must not leave a file to check";
}

const char* const kBoth = "only data dumps without bad blocks are made: give -o and -b";
Argv withLength(const char* len) { return {"nanddump", "-o", "-b", "-f", kDumpFile, "-l", len, kDev}; }

INSTANTIATE_TEST_SUITE_P(Usage, NanddumpFailureTest, ::testing::Values(
    DumpFailCase{"NoDataOnly", {"nanddump", "-b", "-f", kDumpFile, kDev}, "", 2, kBoth},
    DumpFailCase{"NoOmitBad", {"nanddump", "-o", "-f", kDumpFile, kDev}, "", 2, kBoth},
    DumpFailCase{"NoFile", {"nanddump", "-o", "-b", "-l", "2048", kDev}, "", 2, "no output file (-f FILE)"},
    DumpFailCase{"NoDevice", {"nanddump", "-o", "-b", "-f", kDumpFile}, "", 2, "no device"},
    DumpFailCase{"TwoDevices", {"nanddump", "-o", "-b", "-f", kDumpFile, kDev, "/dev/mtd2"}, "", 2, "unexpected argument '/dev/mtd2'"},
    DumpFailCase{"UnknownOption", {"nanddump", "-o", "-b", "-x", "-f", kDumpFile, kDev}, "", 2, "unknown option -x"},
    DumpFailCase{"FileWithoutArgument", {"nanddump", "-o", "-b", kDev, "-f"}, "", 2, "option -f needs an argument"},
    DumpFailCase{"NegativeLength", withLength("-2048"), "", 2, "invalid length '-2048'"},
    DumpFailCase{"TrailingText", withLength("2048k"), "", 2, "invalid length '2048k'"},
    DumpFailCase{"BareHexPrefix", withLength("0x"), "", 2, "invalid length '0x'"},
    DumpFailCase{"Over64Bits", withLength("99999999999999999999"), "", 2, "invalid length '99999999999999999999'"}));

INSTANTIATE_TEST_SUITE_P(Runtime, NanddumpFailureTest, ::testing::Values(
    DumpFailCase{"NoSuchDevice", {"nanddump", "-o", "-b", "-f", kDumpFile, "/dev/mtd9"}, "", 1,
             "can't open '/dev/mtd9': No such file or directory"},
    DumpFailCase{"PlainFile", {"nanddump", "-o", "-b", "-f", kDumpFile, "/mnt/sd/plain.bin"}, "", 1,
             "'/mnt/sd/plain.bin' is not an MTD device"},
    DumpFailCase{"GeometryQuery", withLength("2048"), "fail=mtd1:getinfo:1:EIO", 1, "MEMGETINFO on '/dev/mtd1': Input/output error"},
    DumpFailCase{"Read", withLength("262144"), "fail=mtd1:read:3:EIO", 1, "read at 0x00001000 of '/dev/mtd1': Input/output error"},
    DumpFailCase{"ShortRead", withLength("262144"), "fail=mtd1:read:2:short", 1,
             "short read at 0x00000800 of '/dev/mtd1' (1024 of 2048 bytes)"},
    // Whether block 1 belongs in the dump cannot be known.
    DumpFailCase{"BadBlockQuery", withLength("393216"), "fail=mtd1:getbadblock:2:EIO", 1,
             "MEMGETBADBLOCK at 0x00020000 on '/dev/mtd1': Input/output error"},
    DumpFailCase{"Uncreatable", {"nanddump", "-o", "-b", "-f", "/mnt/sd/none/d.bin", kDev}, "", 1,
             "can't create '/mnt/sd/none/d.bin': No such file or directory"}));

}  // namespace
