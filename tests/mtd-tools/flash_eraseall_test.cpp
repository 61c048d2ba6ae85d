// flash_eraseall: every good block erased once, bad blocks left alone, and
// one failing block does not keep the others from being erased.
#include "tool_test.h"

using namespace mtdtest;

namespace {

class FlashEraseallTest : public ToolTest {
protected:
    void SetUp() override { fillPartition(); }

    std::vector<uint64_t> erased() const { return logged("erase", "flash_eraseall"); }
    static std::vector<uint64_t> allBlocksBut(const std::vector<uint32_t>& left) {
        std::vector<uint64_t> at;
        for (uint32_t b = 0; b < kBlocks; ++b)
            if (std::find(left.begin(), left.end(), b) == left.end())
                at.push_back(uint64_t{b} * kBlock);
        return at;
    }
};

TEST_F(FlashEraseallTest, ErasesEveryGoodBlockOfThePartitionOnly) {
    for (uint32_t b : {0u, 6u, 7u, 15u})
        board.markBad(kMtd, b);
    board.program(0, 0, Bytes(kPage, 0x00));
    board.program(2, 0, Bytes(kPage, 0x00));
    const Bytes badData = blocks(6, 1);
    expectRun({"flash_eraseall", kDev}, 0, skipped("flash_eraseall", {0, 6, 7, 15}));
    EXPECT_EQ(erased(), allBlocksBut({0, 6, 7, 15}));
    for (uint64_t at : erased())
        EXPECT_TRUE(isErased(static_cast<uint32_t>(at / kBlock))) << at;
    EXPECT_EQ(blocks(6, 1), badData);
    EXPECT_EQ(board.read(0, 0, kPage), Bytes(kPage, 0x00));
    EXPECT_EQ(board.read(2, 0, kPage), Bytes(kPage, 0x00));
}

TEST_F(FlashEraseallTest, FailedEraseIsReportedAndTheOthersStillErased) {
    board.setFaults({"fail=mtd1:erase:2:EIO"});
    expectRun({"flash_eraseall", kDev}, 1, "flash_eraseall: MEMERASE at 0x00020000 of '/dev/mtd1': Input/output error\n");
    EXPECT_EQ(erased(), allBlocksBut({1}));
    EXPECT_TRUE(isErased(15));
}

TEST_F(FlashEraseallTest, BlockWhoseStateIsUnknownIsLeftAlone) {
    board.setFaults({"fail=mtd1:getbadblock:3:EIO"});
    expectRun({"flash_eraseall", kDev}, 1,
              "flash_eraseall: MEMGETBADBLOCK at 0x00040000 on '/dev/mtd1': Input/output error\n");
    EXPECT_EQ(erased(), allBlocksBut({2}));
    EXPECT_FALSE(isErased(2));
}

TEST_F(FlashEraseallTest, DeviceWithoutBadBlockSupportHasEveryBlockErased) {
    board.setFaults({"fail=mtd1:getbadblock:*:EOPNOTSUPP"});
    expectRun({"flash_eraseall", kDev}, 0);
    EXPECT_EQ(erased(), allBlocksBut({}));
    EXPECT_EQ(logged("fault", "flash_eraseall").size(), 1u) << "asked again after EOPNOTSUPP";
}

TEST_F(FlashEraseallTest, RefusedCommandLinesAndDevicesEraseNothing) {
    const std::string usage = " (usage: flash_eraseall DEV)\n";
    struct Case {
        const char* fault;
        Argv argv;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"", {"flash_eraseall"}, 2, "flash_eraseall: no device" + usage},
        {"", {"flash_eraseall", kDev, "/dev/mtd2"}, 2, "flash_eraseall: unexpected argument '/dev/mtd2'" + usage},
        {"", {"flash_eraseall", "-j", kDev}, 2, "flash_eraseall: unknown option -j" + usage},
        {"", {"flash_eraseall", "/dev/mtd3"}, 1, "flash_eraseall: can't open '/dev/mtd3': No such file or directory\n"},
        {"fail=mtd1:getinfo:1:EIO", {"flash_eraseall", kDev}, 1,
         "flash_eraseall: MEMGETINFO on '/dev/mtd1': Input/output error\n"},
    };
    for (const Case& c : cases) {
        board.setFaults(*c.fault ? std::vector<std::string>{c.fault} : std::vector<std::string>{});
        expectRun(c.argv, c.status, c.err);
    }
    EXPECT_TRUE(erased().empty());
}

}  // namespace
