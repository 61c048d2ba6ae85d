// The MTD tools built for ARM leave the flash and the SD card exactly as the
// native ones do, bad blocks and refused command lines included.
#include "twin_boards.h"

namespace {

using armtier::Argv;
using armtier::TwinBoards;

using testboard::kBlock;

TEST(SameMtdTools, RewriteAroundBadBlocksLeavesTheSameFlash) {
    TwinBoards boards;
    const auto image = testboard::pattern(5 * kBlock + 3 * 2048 + 77, 21);
    boards.prepare([&](testboard::TestBoard& b) {
        b.program(2, 0, testboard::pattern(8 * kBlock, 4));   // the old image
        b.markBad(2, 1);
        b.markBad(2, 4);
        b.writeSdFile("backup/kernel.bak", image);
    });
    boards.run({"flash_eraseall", "/dev/mtd2"});
    boards.run({"nandwrite", "-p", "/dev/mtd2", "/mnt/sd/backup/kernel.bak"});
    // Short by the two bad blocks in the range, then long enough.
    boards.run({"nanddump", "-o", "-b", "-f", "/mnt/sd/short.bin", "-l", std::to_string(6 * kBlock), "/dev/mtd2"});
    boards.run({"nanddump", "-o", "-b", "-f", "/mnt/sd/long.bin", "-l", std::to_string(8 * kBlock), "/dev/mtd2"});
    boards.expectSameFlash();
    boards.expectSameSdFile("short.bin");
    boards.expectSameSdFile("long.bin");
    boards.expectSameFlashOperations();
    EXPECT_EQ(boards.arm().readSdFile("short.bin").size(), 4 * kBlock);
}

TEST(SameMtdTools, FailuresReportAndExitAlike) {
    TwinBoards boards;
    boards.prepare([](testboard::TestBoard& b) { b.writeSdFile("odd.bin", testboard::pattern(2049, 2)); });
    EXPECT_EQ(boards.run({"nandwrite", "/dev/mtd2", "/mnt/sd/odd.bin"}).status, 1);
    EXPECT_EQ(boards.run({"nanddump", "-o", "-b", "-f", "/mnt/sd/x", "/dev/mtd99"}).status, 1);
    EXPECT_EQ(boards.run({"nanddump", "-f", "/mnt/sd/x", "/dev/mtd2"}).status, 2);
    EXPECT_EQ(boards.run({"flash_eraseall", "/dev/mtd99"}).status, 1);
    boards.expectSameFlashOperations();
}

}  // namespace
