// The three tools together as the verifier uses them: erase, write, and a
// dump that reads the image back byte for byte.
#include "tool_test.h"

using namespace mtdtest;

namespace {

class RoundTripTest : public ToolTest {};

TEST_F(RoundTripTest, WriteAfterEraseDumpsBackByteForByte) {
    fillPartition(11);   // the old image
    for (uint32_t b : {0u, 4u, 5u})
        board.markBad(kMtd, b);
    const Bytes image = testboard::pattern(7 * kBlock + 3 * kPage + 100, 5);
    board.writeSdFile("image.bin", image);
    const uint32_t padded = 7 * kBlock + 4 * kPage;
    auto dump = [](uint32_t length) {
        return Argv{"nanddump", "-o", "-b", "-f", "/mnt/sd/dump.bin", "-l", std::to_string(length), kDev};
    };

    expectRun({"flash_eraseall", kDev}, 0, skipped("flash_eraseall", {0, 4, 5}));
    expectRun({"nandwrite", "-p", kDev, "/mnt/sd/image.bin"}, 0, skipped("nandwrite", {0, 4, 5}));
    // The image's length comes short by the three bad blocks in its range...
    expectRun(dump(padded), 0, skipped("nanddump", {0, 4, 5}));
    EXPECT_EQ(board.readSdFile("dump.bin").size(), padded - 3 * kBlock);
    // ...and three blocks more read it back whole, the padding 0xFF.
    expectRun(dump(padded + 3 * kBlock), 0, skipped("nanddump", {0, 4, 5}));
    EXPECT_EQ(board.readSdFile("dump.bin"), image + Bytes(kPage - 100, 0xFF));
}

TEST_F(RoundTripTest, VerifierCommandLinesWorkThroughTheShell) {
    // The verifier's own text (two blanks before nandwrite's -p) on the
    // 512 MB layout, the tools found on the search path.
    testboard::TestBoard full;
    const Bytes image = testboard::pattern(kBlock, 9);
    full.writeSdFile("backup/s1l.bak", image);
    full.program(0, 0, testboard::pattern(4 * kBlock, 1));
    full.markBad(0, 0);
    testboard::RunResult r = full.run({"sh", "-c",
        "flash_eraseall /dev/mtd0 && nandwrite  -p /dev/mtd0 /mnt/sd/backup/s1l.bak && "
        "nanddump -o -b -f /mnt/sd/flash_dump.bin -l 131072 /dev/mtd0 && "
        "nanddump -o -b -f /mnt/sd/flash_dump2.bin -l 262144 /dev/mtd0"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out, "") << "the verifier's own lines share standard output";
    EXPECT_TRUE(full.readSdFile("flash_dump.bin").empty()) << "the one block in its range is bad";
    EXPECT_EQ(full.readSdFile("flash_dump2.bin"), image);
    std::vector<std::string> order;   // erase before write, each tool its own kind of operation
    for (const auto& e : full.mutations())
        if (order.empty() || order.back() != e.prog + " " + e.op)
            order.push_back(e.prog + " " + e.op);
    EXPECT_EQ(order, (std::vector<std::string>{"flash_eraseall erase", "nandwrite program"}));
    EXPECT_TRUE(testboard::NoViolations(full));
}

}  // namespace
