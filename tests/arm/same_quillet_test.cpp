// The flash verifier built for ARM hands the shell the same command lines,
// computes the same checksums and re-read lengths (32-bit sizes, modulo
// 2^32) and leaves the same flash and dump file as the native build.
#include "twin_boards.h"

namespace {

using armtier::Bytes;
using armtier::TwinBoards;

using testboard::Image;
using testboard::kBlock;
using testboard::kImages;

void putBackups(testboard::TestBoard& b) {
    uint32_t seed = 40;
    for (const Image& i : kImages) {
        Bytes image = testboard::pattern(testboard::shortBackupBytes(i), seed++);
        b.putBackup(i.name, image);
        b.load(i.low, image);
        b.load(i.high, image);
    }
}

// The lengths of the re-reads, in order, from the verifier's console.
std::vector<std::string> reReadLengths(const std::string& out) {
    const std::string tag = "===>> Re-read fileSizeString: ";
    std::vector<std::string> lengths;
    for (const std::string& line : testboard::lines(out))
        if (line.compare(0, tag.size(), tag) == 0)
            lengths.push_back(line.substr(tag.size()));
    return lengths;
}

TEST(SameQuillet, RepairsAndReReadsLeaveTheSameFlashAndDump) {
    TwinBoards boards;
    boards.prepare([](testboard::TestBoard& b) {
        putBackups(b);
        b.flipStoredBit(2, kBlock + 9, 3);   // low kernel: rewritten
        b.markBad(7, 1);                     // high U-Boot: a short dump, then a re-read
        b.load(7, b.readSdFile("backup/uboot.bak"));
    });
    testboard::RunResult r = boards.run({"quillet"});
    EXPECT_TRUE(r.exited(0));
    boards.expectSameFlash();
    boards.expectSameSdFile("flash_dump.bin");
    boards.expectSameFlashOperations();
    EXPECT_EQ(reReadLengths(r.out), (std::vector<std::string>{std::to_string(3 * kBlock)}));
}

TEST(SameQuillet, ReReadLengthsWrapModuloTwoToTheThirtyTwo) {
    // The first dump of S1L fails and leaves no file (size 0), so the re-read
    // asks for 2S; that dump is S too long, the difference S - 2S wraps, and
    // 2S plus it is S modulo 2^32: the next re-read has the backup's size.
    TwinBoards boards;
    boards.prepare([](testboard::TestBoard& b) {
        putBackups(b);
        b.setFaults({"fail=mtd0:read:1:EIO"});
    });
    testboard::RunResult r = boards.run({"quillet"});
    EXPECT_TRUE(r.exited(0));
    const std::string twice = std::to_string(2 * kBlock);
    EXPECT_EQ(reReadLengths(r.out), (std::vector<std::string>{twice, std::to_string(kBlock)}));
    boards.expectSameFlash();
    boards.expectSameSdFile("flash_dump.bin");
    boards.expectSameFlashOperations();
}

}  // namespace
