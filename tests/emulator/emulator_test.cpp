// The simulated board must behave like NAND under the Linux MTD layer, or
// every test built on it proves nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "board.h"

using testboard::Board;
using testboard::BoardOptions;
using testboard::lines;

namespace {

constexpr int kKernel1 = 2;
constexpr uint32_t kPage = 2048, kBlock = 131072;

std::vector<std::string> poke(const Board& b, std::vector<std::string> args) {
    args.insert(args.begin(), "mtdpoke");
    auto r = b.run(args);
    EXPECT_TRUE(r.exited(0)) << r.err;
    return lines(r.out);
}

size_t count(const std::vector<testboard::LogEntry>& log, const std::string& op) {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](auto& e) { return e.op == op; }));
}

TEST(FreshBoard, IsErasedAndCostsAlmostNoDisk) {
    Board b;
    struct stat st;
    ASSERT_EQ(0, stat((b.dir() + "/mtd11.data").c_str(), &st));
    EXPECT_EQ(2296u * kBlock, static_cast<uint64_t>(st.st_size));
    EXPECT_LT(st.st_blocks * 512, 64 * 1024);
    auto r = b.run({"sh", "-c", "dd if=/dev/mtd2 bs=2048 count=64 status=none | od -An -tx1 -v | sort -u"});
    EXPECT_EQ(" ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n", r.out);
    EXPECT_EQ(13, b.partitionCount());
}

TEST(FreshBoard, PartitionsLookLikeCharacterDevicesAndMissingOnesDoNotExist) {
    BoardOptions small;
    small.layout = "small";
    Board b(small);
    auto r = b.run({"sh", "-c", "test -c /dev/mtd11 && echo char; test -e /dev/mtd12 || echo gone; ls /dev/mtd12"});
    EXPECT_EQ("char\ngone\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find("No such file"));
}

TEST(UnmodifiedPrograms, CatDdAndOdSeeThePartitionBytes) {
    Board b;
    auto image = testboard::pattern(3 * kBlock + 100, 7);
    b.load(kKernel1, image);
    auto r = b.run({"sh", "-c",
                    "cat /dev/mtd2 > /mnt/sd/cat.bin; dd if=/dev/mtd2 of=/mnt/sd/dd.bin bs=2048 status=none; "
                    "od -An -tx1 -v -N 32 /dev/mtd2 > /mnt/sd/od.txt"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    auto flash = b.read(kKernel1, 0, b.partitionSize(kKernel1));
    EXPECT_TRUE(b.readSdFile("cat.bin") == flash);
    EXPECT_TRUE(b.readSdFile("dd.bin") == flash);
    char expected[200];
    auto* p = expected;
    for (int i = 0; i < 32; ++i)
        p += sprintf(p, " %02x%s", image[i], i % 16 == 15 ? "\n" : "");
    auto od = b.readSdFile("od.txt");
    EXPECT_EQ(std::string(expected), std::string(od.begin(), od.end()));
    EXPECT_EQ(0xFF, flash[3 * kBlock + 100]);   // the padding of the last page
}

TEST(NandRules, ProgrammingOnlyClearsBitsAndReprogrammingIsAViolation) {
    Board b;
    auto out = poke(b, {"/dev/mtd2", "write", "0", "2048", "0xF0", "write", "0", "2048", "0x3C", "read", "0", "2"});
    EXPECT_EQ("write -> 2048", out[0]);
    EXPECT_EQ("write -> 2048", out[1]);
    EXPECT_EQ("30 30", out[3]);   // 0xF0 & 0x3C
    EXPECT_EQ(1u, b.violations());
    EXPECT_EQ(2u, count(b.mutations(), "program"));
}

TEST(NandRules, StrictBoardRefusesASecondProgram) {
    BoardOptions strict;
    strict.strict = true;
    Board b(strict);
    auto out = poke(b, {"/dev/mtd2", "write", "2048", "2048", "0", "write", "2048", "2048", "0"});
    EXPECT_EQ("write -> 2048", out[0]);
    EXPECT_EQ("write -> -1 Input/output error", out[1]);
}

TEST(NandRules, EraseRestoresFFAndWritesMustBeWholePages) {
    Board b;
    auto out = poke(b, {"/dev/mtd2", "write", "0", "2048", "0", "erase", "0", "131072", "read", "0", "2",
                        "write", "512", "2048", "0", "write", "0", "100", "0", "write", "20971520", "2048", "0",
                        "read", "20971520", "16", "read", "20969472", "4096"});
    EXPECT_EQ("erase -> 0", out[1]);
    EXPECT_EQ("ff ff", out[3]);
    EXPECT_EQ("write -> -1 Invalid argument", out[4]);
    EXPECT_EQ("write -> -1 Invalid argument", out[5]);
    EXPECT_EQ("write -> -1 No space left on device", out[6]);
    EXPECT_EQ("read -> 0", out[7]);
    EXPECT_EQ("read -> 2048", out[8]);   // a read is cut at the end of the partition
    EXPECT_EQ(0u, b.violations());
}

TEST(NandRules, EraseNeedsWholeBlocksInsideThePartition) {
    Board b;
    auto out = poke(b, {"/dev/mtd0", "erase", "2048", "131072", "erase", "0", "2048", "erase", "393216", "262144",
                        "erase", "0", "524288", "ioctl", "0x4d99"});
    EXPECT_EQ("erase -> -1 Invalid argument", out[0]);
    EXPECT_EQ("erase -> -1 Invalid argument", out[1]);
    EXPECT_EQ("erase -> -1 Invalid argument", out[2]);
    EXPECT_EQ("erase -> 0", out[3]);
    EXPECT_EQ("ioctl -> -1 Inappropriate ioctl for device", out[4]);
    EXPECT_EQ(4u, count(b.mutations(), "erase"));
    // As in the kernel: an empty erase inside the partition succeeds whatever its alignment,
    // and a read-only descriptor may not erase.
    EXPECT_EQ("erase -> 0", poke(b, {"/dev/mtd0", "erase", "2048", "0"})[0]);
    EXPECT_EQ("erase -> -1 Operation not permitted", poke(b, {"ro:/dev/mtd0", "erase", "0", "131072"})[0]);
    EXPECT_EQ(4u, count(b.mutations(), "erase"));
}

TEST(Geometry, MemGetInfoReportsTheBoardsGeometry) {
    BoardOptions o;
    o.page = 512;
    o.oob = 16;
    o.block = 16384;
    o.parts = {2, 3, 4};
    Board b(o);
    EXPECT_EQ("info -> type 4 size 49152 erasesize 16384 writesize 512 oobsize 16", poke(b, {"/dev/mtd1", "info"})[0]);
}

TEST(BadBlocks, AreReportedRefuseEraseAndWritesIntoThemAreViolations) {
    Board b;
    b.markBad(kKernel1, 1);
    auto out = poke(b, {"/dev/mtd2", "bad", "0", "bad", "131072", "bad", "262143", "bad", "20971520", "bad",
                        "-1", "erase", "0", "393216", "write", "131072", "2048", "0"});
    EXPECT_EQ("bad -> 0", out[0]);
    EXPECT_EQ("bad -> 1", out[1]);
    EXPECT_EQ("bad -> 1", out[2]);
    EXPECT_EQ("bad -> -1 Invalid argument", out[3]);
    EXPECT_EQ("bad -> -1 Invalid argument", out[4]);
    EXPECT_EQ("erase -> -1 Input/output error", out[5]);
    EXPECT_EQ("write -> 2048", out[6]);
    EXPECT_EQ(1u, count(b.mutations(), "erase"));   // block 0 was erased before the bad one stopped it
    EXPECT_EQ(1u, b.violations());
}

TEST(Faults, FailingCallsFireAtTheirOccurrenceAcrossProcesses) {
    Board b;
    b.setFaults({"fail=mtd2:getbadblock:2:EOPNOTSUPP", "fail=*:read:1:short", "fail=mtd3:open:1:EACCES"});
    auto first = poke(b, {"/dev/mtd2", "bad", "0", "read", "0", "2048"});
    auto second = poke(b, {"/dev/mtd2", "bad", "0", "read", "0", "2048"});
    EXPECT_EQ("bad -> 0", first[0]);
    EXPECT_EQ("read -> 1024", first[1]);
    EXPECT_EQ("bad -> -1 Operation not supported", second[0]);
    EXPECT_EQ("read -> 2048", second[1]);
    EXPECT_EQ("open -> -1 Permission denied\n", b.run({"mtdpoke", "/dev/mtd3"}).out);
    EXPECT_EQ(3u, count(b.log(), "fault"));
}

TEST(Faults, AFlippedBitReadsWrongEveryTimeButIsNotStored) {
    Board b;
    b.setFaults({"flip=mtd2:4097:0"});
    auto out = poke(b, {"/dev/mtd2", "read", "4096", "2", "erase", "0", "131072", "read", "4096", "2"});
    EXPECT_EQ("ff fe", out[1]);
    EXPECT_EQ("ff fe", out[4]);
    EXPECT_EQ(0xFF, b.read(kKernel1, 4097, 1)[0]);
}

TEST(PowerCut, KillsTheRunAtTheCountedOperationInEachForm) {
    for (std::string form : {"before", "torn", "after"}) {
        Board b;
        b.setFaults({"cut=2:" + form + ":5"});
        auto r = b.run({"sh", "-c", "mtdpoke /dev/mtd2 write 0 2048 0; mtdpoke /dev/mtd2 write 2048 2048 0; echo survived"});
        EXPECT_EQ(SIGKILL, r.signal) << form;
        EXPECT_EQ(std::string::npos, r.out.find("survived")) << form;
        auto second = b.read(kKernel1, 2048, 2048);
        size_t zeros = static_cast<size_t>(std::count(second.begin(), second.end(), 0));
        if (form == "before")
            EXPECT_EQ(0u, zeros);
        else if (form == "after")
            EXPECT_EQ(2048u, zeros);
        else
            EXPECT_TRUE(zeros > 0 && zeros < 2048) << zeros;
        EXPECT_EQ(1u, count(b.log(), "powercut")) << form;
        EXPECT_EQ(b.read(kKernel1, 0, 1)[0], 0) << "the first page stays programmed";
        // Power comes back for the next run.
        b.clearFaults();
        EXPECT_TRUE(b.run({"true"}).exited(0));
    }
}

TEST(PowerCut, TornEraseLeavesSomePagesOldAndIsReproducible) {
    std::vector<uint8_t> firstRun;
    for (int run = 0; run < 2; ++run) {
        Board b;
        b.load(kKernel1, std::vector<uint8_t>(kBlock, 0));
        b.setFaults({"cut=1:torn:9"});
        b.run({"mtdpoke", "/dev/mtd2", "erase", "0", "131072"});
        auto block = b.read(kKernel1, 0, kBlock);
        size_t erasedPages = 0;
        for (uint32_t p = 0; p < kBlock / kPage; ++p)
            erasedPages += block[p * kPage] == 0xFF;
        EXPECT_GT(erasedPages, 0u);
        EXPECT_LT(erasedPages, kBlock / kPage);
        if (run == 0)
            firstRun = block;
        else
            EXPECT_TRUE(firstRun == block);
    }
}

TEST(Log, CountsMutatingOperationsOfEveryProcessWithTheirNames) {
    Board b;
    b.setFaults({});
    auto r = b.run({"sh", "-c", "mtdpoke /dev/mtd2 write 0 4096 0 & mtdpoke /dev/mtd8 erase 0 262144 & wait"});
    ASSERT_TRUE(r.exited(0));
    EXPECT_EQ(4u, b.mutatingOps());
    auto m = b.mutations();
    ASSERT_EQ(4u, m.size());
    for (auto& e : m)
        EXPECT_EQ("mtdpoke", e.prog);
    EXPECT_EQ(2u, count(m, "program"));
}

TEST(SdCard, PathsUnderMntSdLandInTheBoardsFolder) {
    Board b;
    auto r = b.run({"sh", "-c", "mkdir /mnt/sd/x && echo data > /mnt/sd/x/f && cat /mnt/sd/x/f && rm /mnt/sd/x/f"});
    EXPECT_EQ("data\n", r.out);
    EXPECT_FALSE(b.sdFileExists("x/f"));
    EXPECT_TRUE(b.sdFileExists("x"));
}

TEST(PassThrough, WithoutTheBoardVariableNothingIsEmulated) {
    Board b;
    std::string cmd = "env -u NANDEMU_BOARD mtdpoke /dev/mtd2";
    auto r = b.run({"sh", "-c", cmd});
    EXPECT_EQ("open -> -1 No such file or directory\n", r.out);
}

}  // namespace
