// Debian's mtd-utils against the stand-in tools on the same simulated board:
// libmtd finds the board through its sysfs and /proc/mtd, and for each
// operation the verifier relies on, the distribution's modern equivalent and
// ours leave the same flash and make the same dump.
#include <sys/stat.h>

#include "tool_test.h"

using namespace mtdtest;

namespace {

const std::string kDebian = "/usr/sbin/";
const Bytes kImage = testboard::pattern(300000, 11);   // not whole pages: the last one is padded

bool debianInstalled() {
    struct stat st;
    return stat((kDebian + "mtdinfo").c_str(), &st) == 0;
}

// Two boards set up alike: Debian's tools run on one, ours on the other.
class DebianTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(debianInstalled()) << "mtd-utils missing: bash scripts/deps.sh installs it"; }

    static testboard::BoardOptions options() {
        testboard::BoardOptions o;
        o.parts = {4, kBlocks, 4};
        return o;
    }
    void prepare(const std::vector<uint32_t>& bad, bool filled) {
        for (testboard::TestBoard* b : {&debian, &ours}) {
            if (filled)
                b->program(kMtd, 0, testboard::pattern(kBlocks * kBlock, 7));
            for (uint32_t blk : bad)
                b->markBad(kMtd, blk);
            b->writeSdFile("image.bin", kImage);
        }
    }
    static testboard::RunResult run(const testboard::TestBoard& b, const Argv& argv) {
        testboard::RunResult r = b.run(argv);
        EXPECT_TRUE(r.exited(0)) << argv[0] << ": " << r.err;
        return r;
    }
    void expectSameFlash() const {
        EXPECT_TRUE(debian.read(kMtd, 0, kBlocks * kBlock) == ours.read(kMtd, 0, kBlocks * kBlock))
            << "the two tools left different flash";
    }
    Bytes debianDump(const Argv& options, uint32_t length) {
        Argv argv{kDebian + "nanddump", "-q", "-f", "/mnt/sd/d.bin", "-l", std::to_string(length)};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(kDev);
        run(debian, argv);
        return debian.readSdFile("d.bin");
    }
    Bytes ourDump(uint32_t length) {
        run(ours, {"nanddump", "-o", "-b", "-f", "/mnt/sd/d.bin", "-l", std::to_string(length), kDev});
        return ours.readSdFile("d.bin");
    }

    testboard::TestBoard debian{options()}, ours{options()};
};

TEST_F(DebianTest, MtdinfoAndProcMtdShowThePartitionsWithTheBoardsGeometry) {
    testboard::RunResult r = run(debian, {kDebian + "mtdinfo", "-a"});
    EXPECT_NE(std::string::npos, r.out.find("Count of MTD devices:           3\n")) << r.out;
    for (int p = 0; p < 3; ++p) {
        const uint32_t size = debian.partitionSize(p);
        const std::string entry = "mtd" + std::to_string(p) + "\nName:                           part" +
                                  std::to_string(p) + "\nType:                           nand\n"
                                  "Eraseblock size:                131072 bytes, 128.0 KiB\n"
                                  "Amount of eraseblocks:          " + std::to_string(size / kBlock) + " (" +
                                  std::to_string(size) + " bytes, ";
        EXPECT_NE(std::string::npos, r.out.find(entry)) << entry;
        EXPECT_NE(std::string::npos, r.out.find("Character device major/minor:   90:" + std::to_string(2 * p)));
    }
    EXPECT_NE(std::string::npos, r.out.find("Minimum input/output unit size: 2048 bytes\n"));
    EXPECT_NE(std::string::npos, r.out.find("OOB size:                       64 bytes\n"));
    EXPECT_EQ(run(debian, {"cat", "/proc/mtd"}).out,
              "dev:    size   erasesize  name\nmtd0: 00080000 00020000 \"part0\"\n"
              "mtd1: 00200000 00020000 \"part1\"\nmtd2: 00080000 00020000 \"part2\"\n");
    EXPECT_FALSE(debian.run({"test", "-e", "/sys/class/misc/ubi_ctrl"}).exited(0));
}

TEST_F(DebianTest, SysfsCountsBadBlocksAndEccStatsCountFlipsReadsMet) {
    prepare({2, 9}, true);
    debian.setFaults({"flip=mtd1:4096:1"});
    EXPECT_EQ(run(debian, {"cat", "/sys/class/mtd/mtd1/bad_blocks", "/sys/class/mtd/mtd1ro/dev"}).out, "2\n90:3\n");
    const Argv dump{kDebian + "nanddump", "--omitoob", "-f", "/mnt/sd/d.bin", "-l", "8192", kDev};
    testboard::RunResult first = run(debian, dump);
    EXPECT_NE(std::string::npos, first.err.find("ECC: 1 uncorrectable bitflip(s) at offset 0x00001000")) << first.err;
    EXPECT_NE(std::string::npos, first.err.find("ECC failed: 0\n")) << first.err;
    EXPECT_NE(std::string::npos, first.err.find("Number of bad blocks: 2\n")) << first.err;
    // The summary shows the counts from before the dump: the second run sees the first's flip.
    EXPECT_NE(std::string::npos, run(debian, dump).err.find("ECC failed: 1\n"));
    EXPECT_EQ(run(debian, {"cat", "/sys/class/mtd/mtd1/ecc_failures"}).out, "2\n");
}

// ---- the same flash after erasing and after a padded write ----

struct FlashCase {
    const char* name;
    std::vector<uint32_t> bad;
};
void PrintTo(const FlashCase& c, std::ostream* os) { *os << c.name; }

class DebianFlashTest : public DebianTest, public ::testing::WithParamInterface<FlashCase> {};

TEST_P(DebianFlashTest, EraseOfTheWholePartitionLeavesTheSameFlash) {
    prepare(GetParam().bad, true);
    run(debian, {kDebian + "flash_erase", "-q", kDev, "0", "0"});
    run(ours, {"flash_eraseall", kDev});
    expectSameFlash();
    for (uint32_t b = 0; b < kBlocks; ++b) {
        const bool bad = std::count(GetParam().bad.begin(), GetParam().bad.end(), b) > 0;
        const Bytes block = ours.read(kMtd, uint64_t{b} * kBlock, kBlock);
        EXPECT_EQ(!bad, std::all_of(block.begin(), block.end(), [](uint8_t v) { return v == 0xFF; })) << b;
    }
}

TEST_P(DebianFlashTest, PaddedWriteLeavesTheSameFlash) {
    prepare(GetParam().bad, false);
    run(debian, {kDebian + "nandwrite", "-q", "-p", kDev, "/mnt/sd/image.bin"});
    run(ours, {"nandwrite", "-p", kDev, "/mnt/sd/image.bin"});
    expectSameFlash();
    // Both pad the last page with 0xFF, the value of erased flash.
    const uint32_t skipped = GetParam().bad.empty() ? 0 : kBlock;
    const Bytes tail = ours.read(kMtd, skipped + kImage.size(), kPage - kImage.size() % kPage);
    EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](uint8_t v) { return v == 0xFF; }));
}

INSTANTIATE_TEST_SUITE_P(Blocks, DebianFlashTest,
                         ::testing::Values(FlashCase{"NoBadBlock", {}}, FlashCase{"BadBlockInTheImage", {1}},
                                           FlashCase{"BadFirstAndLastBlock", {0, kBlocks - 1}}));

// ---- dumps ----

TEST_F(DebianTest, DataDumpWithoutBadBlocksIsTheSame) {
    prepare({}, true);
    for (uint32_t length : {kPage, 3 * kBlock, 3 * kBlock + 5 * kPage, kBlocks * kBlock})
        EXPECT_TRUE(debianDump({"--omitoob"}, length) == ourDump(length)) << length;
}

// mtd-utils 2.x skips a bad block and reads on past the range for it; ours
// (mtd-utils 1.4's -b) leaves it out and counts it. The same data comes out
// when ours is asked for the range Debian's dump covered.
struct SkipCase {
    const char* name;
    std::vector<uint32_t> bad;
    uint32_t length;         // Debian's length (good bytes)
    uint32_t coveredRange;   // the range those good bytes span
};
void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.name; }

class DebianSkipTest : public DebianTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(DebianSkipTest, SkipOverALengthIsOmitOverTheRangeItCovered) {
    const SkipCase& c = GetParam();
    prepare(c.bad, true);
    const Bytes skip = debianDump({"--omitoob", "--bb=skipbad"}, c.length);
    EXPECT_EQ(skip.size(), c.length);
    EXPECT_TRUE(skip == ourDump(c.coveredRange));
    // The documented difference: over the same length ours is short by the
    // bad bytes of the range.
    const Bytes omit = ourDump(c.length);
    EXPECT_LT(omit.size(), skip.size());
    EXPECT_TRUE(std::equal(omit.begin(), omit.end(), skip.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    BadBlocks, DebianSkipTest,
    ::testing::Values(SkipCase{"OneInside", {2}, 4 * kBlock, 5 * kBlock},
                      SkipCase{"FirstBlock", {0}, 2 * kBlock, 3 * kBlock},
                      SkipCase{"TwoApart", {1, 4}, 4 * kBlock + 3 * kPage, 6 * kBlock + 3 * kPage},
                      // The kernel image of 501760 bytes over a bad block 3.
                      SkipCase{"RangeEndsInsideABadBlock", {3}, 501760, 501760 + kBlock}));

// ---- the spare area ----

TEST_F(DebianTest, OobDumpsHoldEachPagesSpareAreaErasedAndProgrammedByAnd) {
    prepare({}, false);
    const uint32_t withOob = kPage + 64;
    Bytes dump = debianDump({"--oob"}, 2 * kPage);
    ASSERT_EQ(dump.size(), 2u * withOob);   // 2 pages plus 2 x 64 bytes, as on a kernel
    EXPECT_TRUE(std::all_of(dump.begin(), dump.end(), [](uint8_t v) { return v == 0xFF; }));
    // A page and its spare bytes written by nandwrite -o, then ANDed with a second spare write.
    Bytes page = testboard::pattern(kPage, 3), spare(64, 0xF0), second(64, 0x3C);
    debian.writeSdFile("p.bin", page + spare);
    run(debian, {kDebian + "nandwrite", "-q", "-o", kDev, "/mnt/sd/p.bin"});
    debian.writeSdFile("s.bin", Bytes(kPage, 0xFF) + second);
    run(debian, {kDebian + "nandwrite", "-q", "-o", "-s", "0", kDev, "/mnt/sd/s.bin"});
    dump = debianDump({"--oob"}, kPage);
    EXPECT_TRUE(dump == page + Bytes(64, 0x30));
    run(debian, {kDebian + "flash_erase", "-q", kDev, "0", "1"});
    dump = debianDump({"--oob"}, kPage);
    EXPECT_TRUE(std::all_of(dump.begin(), dump.end(), [](uint8_t v) { return v == 0xFF; }));
}

}  // namespace
