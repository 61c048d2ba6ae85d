// The tier itself: the suite really runs as 32-bit ARM code, the programs on
// the board are ARM executables, and the ARM emulator library reaches the
// programs that the board tool, the shell and other programs start.
#include <gtest/gtest.h>

#include <fstream>
#include <limits>

#include "test_board.h"

namespace {

using Argv = std::vector<std::string>;

// The board's C ABI: what the programs' 32-bit arithmetic is written for.
TEST(ArmTierAbi, SuiteRunsWithTheBoardsTypeSizes) {
    EXPECT_EQ(sizeof(long), 4u);
    EXPECT_EQ(sizeof(size_t), 4u);
    EXPECT_EQ(sizeof(void*), 4u);
    EXPECT_FALSE(std::numeric_limits<char>::is_signed);
}

// ELF identification and machine of a file: class 1 is 32-bit, machine 40 ARM.
struct ElfKind {
    int elfClass = 0;
    int machine = 0;
};

ElfKind elfKind(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[20] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (!in || header[0] != 0x7f || header[1] != 'E' || header[2] != 'L' || header[3] != 'F')
        return {};
    return {header[4], header[18] | header[19] << 8};
}

TEST(ArmTierPrograms, BoardProgramsAreArmExecutables) {
    const std::string programs = FW_ARM_PROGRAM_DIR, tools = FW_ARM_TOOL_DIR;
    for (const std::string& path : {programs + "/tolvane", programs + "/quillet", tools + "/nanddump",
                                    tools + "/nandwrite", tools + "/flash_eraseall"}) {
        ElfKind kind = elfKind(path);
        EXPECT_EQ(kind.elfClass, 1) << path;
        EXPECT_EQ(kind.machine, 40) << path;
    }
}

// What a program reads on the board shows that the emulator was loaded into it.
TEST(ArmTierPrograms, ArmToolSeesTheBoardFlash) {
    testboard::TestBoard board;
    const std::vector<uint8_t> data = testboard::pattern(2 * board.pageSize(), 3);
    board.program(3, 0, data);
    testboard::RunResult r = board.run(
        {"nanddump", "-o", "-b", "-f", "/mnt/sd/d.bin", "-l", std::to_string(data.size()), "/dev/mtd3"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(board.readSdFile("d.bin"), data);
}

// The verifier's road: an ARM program's system() starts the build machine's
// shell, which starts an ARM tool; each needs its own emulator library and
// none may complain about the other's.
TEST(ArmTierPrograms, ShellStartsArmToolsOnTheBoard) {
    testboard::TestBoard board;
    board.program(3, 0, testboard::pattern(board.pageSize(), 5));
    testboard::RunResult r = board.run(
        {"sh", "-c", "flash_eraseall /dev/mtd3 && nanddump -o -b -f /mnt/sd/d.bin -l 2048 /dev/mtd3"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(board.readSdFile("d.bin"), std::vector<uint8_t>(2048, 0xFF));
    size_t erases = 0;
    for (const auto& e : board.mutations())
        erases += e.prog == "flash_eraseall" && e.op == "erase";
    EXPECT_EQ(erases, board.partitionSize(3) / board.blockSize());
}

TEST(ArmTierPrograms, NativeProgramsOnTheBoardSeeItToo) {
    testboard::TestBoard board;
    const std::vector<uint8_t> data = testboard::pattern(board.pageSize(), 8);
    board.program(3, 0, data);
    testboard::RunResult r = board.run({"sh", "-c", "head -c 2048 /dev/mtd3"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string(data.begin(), data.end()));
}

}  // namespace
