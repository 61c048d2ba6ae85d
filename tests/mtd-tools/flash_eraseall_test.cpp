// flash_eraseall: every good block erased once, bad blocks left alone, and
// one failing block does not keep the others from being erased.
#include "tool_test.h"

using namespace mtdtest;
using testboard::RunResult;

namespace {

class FlashEraseallTest : public ToolTest {
protected:
    void SetUp() override { fillPartition(); }

    RunResult erase(const char* dev = kDev) const { return run({"flash_eraseall", dev}); }

    // Block numbers flash_eraseall erased, in order.
    std::vector<uint32_t> erased() const {
        std::vector<uint32_t> out;
        for (const auto& e : logged("erase", "flash_eraseall")) {
            EXPECT_EQ(e.length, kBlock);
            out.push_back(static_cast<uint32_t>(e.offset / kBlock));
        }
        return out;
    }
    static std::vector<uint32_t> allBlocksBut(std::vector<uint32_t> skipped) {
        std::vector<uint32_t> out;
        for (uint32_t b = 0; b < kBlocks; ++b)
            if (std::find(skipped.begin(), skipped.end(), b) == skipped.end())
                out.push_back(b);
        return out;
    }
};

TEST_F(FlashEraseallTest, ErasesEveryBlock) {
    expectSuccess(erase());
    EXPECT_EQ(erased(), allBlocksBut({}));
    for (uint32_t b = 0; b < kBlocks; ++b)
        EXPECT_TRUE(isErased(b)) << "block " << b;
}

TEST_F(FlashEraseallTest, SkipsBadBlocksWithAMessage) {
    for (uint32_t b : {0u, 6u, 7u, 15u})
        board.markBad(kMtd, b);
    Bytes badData = blocks(6, 1);
    expectSuccess(erase(),
                  "flash_eraseall: skipping bad block at 0x00000000\n"
                  "flash_eraseall: skipping bad block at 0x000c0000\n"
                  "flash_eraseall: skipping bad block at 0x000e0000\n"
                  "flash_eraseall: skipping bad block at 0x001e0000\n");
    EXPECT_EQ(erased(), allBlocksBut({0, 6, 7, 15}));
    EXPECT_EQ(blocks(6, 1), badData);
    EXPECT_FALSE(isErased(0));
}

TEST_F(FlashEraseallTest, OnlyTheNamedPartitionIsErased) {
    board.program(0, 0, Bytes(kPage, 0x00));
    board.program(2, 0, Bytes(kPage, 0x00));
    expectSuccess(erase());
    EXPECT_EQ(board.read(0, 0, kPage), Bytes(kPage, 0x00));
    EXPECT_EQ(board.read(2, 0, kPage), Bytes(kPage, 0x00));
}

TEST_F(FlashEraseallTest, FailedEraseIsReportedAndTheOthersStillErased) {
    board.setFaults({"fail=mtd1:erase:2:EIO"});
    expectFailure(erase(), 1, "flash_eraseall: MEMERASE at 0x00020000 of '/dev/mtd1': Input/output error");
    EXPECT_EQ(erased(), allBlocksBut({1}));
    EXPECT_FALSE(isErased(1));
    EXPECT_TRUE(isErased(15));
}

TEST_F(FlashEraseallTest, BlockWhoseStateIsUnknownIsLeftAlone) {
    board.setFaults({"fail=mtd1:getbadblock:3:EIO"});
    expectFailure(erase(), 1, "flash_eraseall: MEMGETBADBLOCK at 0x00040000 on '/dev/mtd1': Input/output error");
    EXPECT_EQ(erased(), allBlocksBut({2}));
    EXPECT_FALSE(isErased(2));
}

TEST_F(FlashEraseallTest, DeviceWithoutBadBlockSupportHasEveryBlockErased) {
    board.setFaults({"fail=mtd1:getbadblock:*:EOPNOTSUPP"});
    expectSuccess(erase());
    EXPECT_EQ(erased(), allBlocksBut({}));
    EXPECT_EQ(logged("fault", "flash_eraseall").size(), 1u) << "asked again after EOPNOTSUPP";
}

TEST_F(FlashEraseallTest, BadCommandLinesAreUsageErrors) {
    const std::string usage = " (usage: flash_eraseall DEV)";
    expectFailure(run({"flash_eraseall"}), 2, "flash_eraseall: no device" + usage);
    expectFailure(run({"flash_eraseall", kDev, "/dev/mtd2"}), 2, "flash_eraseall: unexpected argument '/dev/mtd2'" + usage);
    expectFailure(run({"flash_eraseall", "-j", kDev}), 2, "flash_eraseall: unknown option -j" + usage);
    expectFailure(run({"flash_eraseall", kDev, "-q"}), 2, "flash_eraseall: unknown option -q" + usage);
    EXPECT_TRUE(erased().empty());
}

TEST_F(FlashEraseallTest, DeviceThatCannotBeUsedFails) {
    expectFailure(erase("/dev/mtd3"), 1, "flash_eraseall: can't open '/dev/mtd3': No such file or directory");
    board.writeSdFile("plain.bin", Bytes(kBlock, 0));
    expectFailure(erase("/mnt/sd/plain.bin"), 1, "flash_eraseall: '/mnt/sd/plain.bin' is not an MTD device");
    board.setFaults({"fail=mtd1:open:1:EBUSY"});
    expectFailure(erase(), 1, "flash_eraseall: can't open '/dev/mtd1': Device or resource busy");
    board.setFaults({"fail=mtd1:getinfo:1:EIO"});
    expectFailure(erase(), 1, "flash_eraseall: MEMGETINFO on '/dev/mtd1': Input/output error");
    EXPECT_TRUE(erased().empty());
}

}  // namespace
