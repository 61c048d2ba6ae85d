// The board's MTD device driven in this process: every NAND rule, failing
// call, power cut and flipped bit the emulator shows programs comes from it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <fstream>

#include "kernel_files.h"
#include "mtd_device.h"
#include "test_board.h"

using nandemu::Access;
using nandemu::MtdDevice;
using testboard::BoardOptions;
using testboard::LogEntry;

namespace {

constexpr uint32_t kPage = 512, kOob = 16, kPagesPerBlock = 32, kBlock = kPage * kPagesPerBlock;
constexpr int kPart = 1;
constexpr uint32_t kBlocks = 6;
constexpr uint64_t kSize = uint64_t{kBlocks} * kBlock;

BoardOptions smallBoard(bool strict = false) {
    BoardOptions o;
    o.page = kPage;
    o.oob = kOob;
    o.block = kBlock;
    o.parts = {4, kBlocks};
    o.strict = strict;
    return o;
}

std::vector<uint8_t> filled(size_t n, uint8_t value) { return std::vector<uint8_t>(n, value); }

size_t countOf(const std::vector<uint8_t>& bytes, uint8_t value) {
    return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), value));
}

std::vector<LogEntry> entries(const std::vector<LogEntry>& log, const std::string& op) {
    std::vector<LogEntry> out;
    for (const LogEntry& e : log)
        if (e.op == op)
            out.push_back(e);
    return out;
}

// Every table's rows are named: the test's name and what gtest prints of it.
struct ByName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
} byName;

template <typename Case, typename = decltype(Case::name)>
std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

// A fresh board, the device on one of its partitions, and the board's files
// read directly to judge it.
class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(const BoardOptions& options = smallBoard()) : flash_(options), board_(flash_.dir()) {}

    MtdDevice device(Access access = Access::ReadWrite, int part = kPart) { return MtdDevice(board_, part, access); }
    ssize_t write(uint64_t offset, size_t len, uint8_t value) {
        const auto data = filled(len, value);
        return device().write(offset, data.data(), len);
    }
    std::vector<uint8_t> read(uint64_t offset, size_t len) {
        std::vector<uint8_t> buf(len);
        EXPECT_EQ(static_cast<ssize_t>(len), device().read(offset, buf.data(), len));
        return buf;
    }
    void faults(const std::vector<std::string>& lines) { board_.setFaults(lines); }
    std::vector<LogEntry> log(const std::string& op) const { return entries(flash_.log(), op); }

    testboard::TestBoard flash_;
    nandemu::Board board_;
};

TEST_F(DeviceTest, ProgrammingAndsIntoThePageAndAReprogramIsLogged) {
    EXPECT_EQ(kPage, write(0, kPage, 0xF0));
    EXPECT_EQ(kPage, write(0, kPage, 0x3C));
    EXPECT_EQ(filled(kPage, 0x30), read(0, kPage));
    EXPECT_EQ(2u, flash_.mutatingOps());
    ASSERT_EQ(1u, log("violation").size());
    EXPECT_EQ("reprogram", log("violation")[0].extra);
}

TEST_F(DeviceTest, EraseSetsTheBlockToFFAndLetsItsPagesBeProgrammedAgain) {
    write(kBlock, 2 * kPage, 0);
    uint32_t len = kOob;
    ASSERT_EQ(0, device().writeOob(kBlock, &len, filled(kOob, 0).data()));
    ASSERT_EQ(0, device().erase(kBlock, kBlock));
    EXPECT_EQ(filled(kBlock, 0xFF), read(kBlock, kBlock));
    std::vector<uint8_t> oob(kOob);
    ASSERT_EQ(0, device().readOob(kBlock, &len, oob.data()));
    EXPECT_EQ(filled(kOob, 0xFF), oob);
    EXPECT_EQ(kPage, write(kBlock, kPage, 0));
    EXPECT_TRUE(log("violation").empty());
}

struct TransferCase {
    const char* name;
    uint64_t offset;
    size_t len;
    ssize_t answer;
};

class WriteRules : public DeviceTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(WriteRules, AnswerAsTheKernelDoes) {
    const TransferCase& c = GetParam();
    EXPECT_EQ(c.answer, write(c.offset, c.len, 0));
    EXPECT_EQ(c.answer > 0 ? static_cast<uint64_t>(c.answer) / kPage : 0, flash_.mutatingOps());
}

INSTANTIATE_TEST_SUITE_P(
    Device, WriteRules,
    ::testing::Values(TransferCase{"OffsetOffAPage", kPage / 2, kPage, -EINVAL},
                      TransferCase{"PartOfAPage", 0, kPage - 1, -EINVAL},
                      TransferCase{"Empty", 0, 0, 0}, TransferCase{"EmptyAtTheEnd", kSize, 0, 0},
                      TransferCase{"AtTheEnd", kSize, kPage, -ENOSPC},
                      TransferCase{"PastTheEndIsCut", kSize - kPage, 3 * kPage, kPage},
                      TransferCase{"SeveralPages", kPage, 3 * kPage, 3 * kPage}),
    byName);

class ReadRules : public DeviceTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(ReadRules, TakeAnyOffsetAndStopAtTheEnd) {
    const TransferCase& c = GetParam();
    write(0, kSize, 0x5A);
    std::vector<uint8_t> buf(c.len);
    ASSERT_EQ(c.answer, device().read(c.offset, buf.data(), c.len));
    buf.resize(static_cast<size_t>(c.answer));
    EXPECT_EQ(filled(buf.size(), 0x5A), buf);
}

INSTANTIATE_TEST_SUITE_P(Device, ReadRules,
                         ::testing::Values(TransferCase{"OddOffsetAndLength", 3, 5, 5},
                                           TransferCase{"PastTheEndIsCut", kSize - 100, kPage, 100},
                                           TransferCase{"AtTheEnd", kSize, kPage, 0}),
                         byName);

struct EraseCase {
    const char* name;
    Access access;
    uint64_t start, length;
    int answer;
    size_t erased;   // erase operations done
};

class EraseRules : public DeviceTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(EraseRules, CheckInTheKernelsOrder) {
    const EraseCase& c = GetParam();
    board_.markBad(kPart, 4);
    EXPECT_EQ(c.answer, device(c.access).erase(c.start, c.length));
    EXPECT_EQ(c.erased, log("erase").size());
}

INSTANTIATE_TEST_SUITE_P(
    Device, EraseRules,
    ::testing::Values(EraseCase{"ReadOnly", Access::ReadOnly, 0, kBlock, -EPERM, 0},
                      EraseCase{"StartOutside", Access::ReadWrite, kSize, kBlock, -EINVAL, 0},
                      EraseCase{"RunsPastTheEnd", Access::ReadWrite, kBlock, kSize, -EINVAL, 0},
                      EraseCase{"EmptyOffABlock", Access::ReadWrite, kPage, 0, 0, 0},
                      EraseCase{"StartOffABlock", Access::ReadWrite, kPage, kBlock, -EINVAL, 0},
                      EraseCase{"LengthOffABlock", Access::ReadWrite, 0, kPage, -EINVAL, 0},
                      EraseCase{"WholeBlocks", Access::WriteOnly, kBlock, 2 * kBlock, 0, 2},
                      EraseCase{"StopsAtABadBlock", Access::ReadWrite, 2 * kBlock, 3 * kBlock, -EIO, 2}),
    byName);

class StrictDeviceTest : public DeviceTest {
protected:
    StrictDeviceTest() : DeviceTest(smallBoard(true)) {}
};

TEST_F(StrictDeviceTest, ReprogrammingFailsOrCutsTheWriteShort) {
    write(kPage, kPage, 0);
    EXPECT_EQ(-EIO, write(kPage, kPage, 0));
    EXPECT_EQ(kPage, write(0, 3 * kPage, 0x0F));   // stops before the programmed page
    EXPECT_EQ(filled(kPage, 0x0F), flash_.read(kPart, 0, kPage));
    EXPECT_EQ(filled(kPage, 0), flash_.read(kPart, kPage, kPage)) << "the refused page keeps its bytes";
    EXPECT_EQ(filled(kPage, 0xFF), flash_.read(kPart, 2 * kPage, kPage)) << "the write ended there";
    EXPECT_EQ(2u, log("violation").size());
    EXPECT_EQ(2u, flash_.mutatingOps());
}

struct BadBlockCase {
    const char* name;
    int64_t offset;
    int answer;
};

class BadBlockQuery : public DeviceTest, public ::testing::WithParamInterface<BadBlockCase> {};

TEST_P(BadBlockQuery, NamesTheBlockHoldingTheOffset) {
    board_.markBad(kPart, 1);
    EXPECT_EQ(GetParam().answer, device().getBadBlock(GetParam().offset));
}

INSTANTIATE_TEST_SUITE_P(Device, BadBlockQuery,
                         ::testing::Values(BadBlockCase{"GoodBlock", 0, 0}, BadBlockCase{"BadBlockStart", kBlock, 1},
                                           BadBlockCase{"BadBlockEnd", 2 * kBlock - 1, 1},
                                           BadBlockCase{"AtTheEnd", kSize, -EINVAL},
                                           BadBlockCase{"Negative", -1, -EINVAL}),
                         byName);

TEST_F(DeviceTest, WritesIntoABadBlockAreDoneAndLogged) {
    board_.markBad(kPart, 1);
    EXPECT_EQ(kPage, write(kBlock, kPage, 0));
    EXPECT_EQ(filled(kPage, 0), flash_.read(kPart, kBlock, kPage));
    uint32_t len = 4;
    EXPECT_EQ(0, device().writeOob(kBlock, &len, filled(len, 0).data()));
    const auto violations = log("violation");
    ASSERT_EQ(2u, violations.size());
    for (const LogEntry& v : violations)
        EXPECT_EQ("badblock", v.extra);
}

TEST_F(DeviceTest, DescriptorsNeedTheAccessTheyUse) {
    std::vector<uint8_t> buf(kPage, 0);
    uint32_t len = 1;
    EXPECT_EQ(-EBADF, device(Access::WriteOnly).read(0, buf.data(), kPage));
    EXPECT_EQ(-EBADF, device(Access::ReadOnly).write(0, buf.data(), kPage));
    EXPECT_EQ(-EPERM, device(Access::ReadOnly).writeOob(0, &len, buf.data()));
    EXPECT_EQ(0, device(Access::ReadOnly).readOob(0, &len, buf.data()));
    EXPECT_EQ(0u, flash_.mutatingOps());
}

TEST_F(DeviceTest, GetInfoAndEccStatsDescribeThePartition) {
    board_.markBad(kPart, 2);
    mtd_info_user mi{};
    ASSERT_EQ(0, device().ioctl(MEMGETINFO, &mi));
    EXPECT_EQ(MTD_NANDFLASH, mi.type);
    EXPECT_EQ(kSize, mi.size);
    EXPECT_EQ(kBlock, mi.erasesize);
    EXPECT_EQ(kPage, mi.writesize);
    EXPECT_EQ(kOob, mi.oobsize);
    mtd_ecc_stats st{};
    ASSERT_EQ(0, device().ioctl(ECCGETSTATS, &st));
    EXPECT_EQ(1u, st.badblocks);
    EXPECT_EQ(0u, st.failed);
}

TEST_F(DeviceTest, IoctlTakesTheKernelsStructsAndRefusesOtherRequests) {
    write(0, kBlock, 0);
    erase_info_user64 e{0, kBlock};
    EXPECT_EQ(0, device().ioctl(MEMERASE64, &e));
    EXPECT_EQ(filled(kPage, 0xFF), read(0, kPage));
    loff_t offset = kSize;
    EXPECT_EQ(-EINVAL, device().ioctl(MEMGETBADBLOCK, &offset));
    int dummy[16] = {};
    EXPECT_EQ(-ENOTTY, device().ioctl(MEMWRITE, dummy));
    EXPECT_EQ(-EOPNOTSUPP, device().ioctl(MEMISLOCKED, dummy)) << "as a NAND chip";
}

TEST_F(DeviceTest, OobTransfersRunOnThroughTheNextPagesAreas) {
    // From spare offset 4 of page 1: 12 bytes there, 8 in page 2's area.
    const auto data = filled(20, 0x0F);
    mtd_oob_buf64 w{};
    w.start = kPage + 4;
    w.length = 20;
    w.usr_ptr = reinterpret_cast<uintptr_t>(data.data());
    ASSERT_EQ(0, device().ioctl(MEMWRITEOOB64, &w));
    EXPECT_EQ(20u, w.length);
    std::vector<uint8_t> got(2 * kOob);
    mtd_oob_buf r{};
    r.start = kPage;
    r.length = 2 * kOob;
    r.ptr = got.data();
    ASSERT_EQ(0, device().ioctl(MEMREADOOB, &r));
    std::vector<uint8_t> want = filled(2 * kOob, 0xFF);
    std::fill(want.begin() + 4, want.begin() + 24, 0x0F);
    EXPECT_EQ(want, got);
    const auto oob = log("oob");
    ASSERT_EQ(2u, oob.size());
    EXPECT_EQ(kPage + 4, oob[0].offset);
    EXPECT_EQ(2 * kPage, oob[1].offset);
    EXPECT_EQ(0u, flash_.mutatingOps()) << "an OOB write is no counted operation";
    EXPECT_EQ(filled(3 * kPage, 0xFF), read(0, 3 * kPage)) << "the data area is untouched";
}

struct OobCase {
    const char* name;
    uint64_t start;
    uint32_t length;
};

class OobLimits : public DeviceTest, public ::testing::WithParamInterface<OobCase> {};

TEST_P(OobLimits, AreInvalid) {
    std::vector<uint8_t> buf(nandemu::kMaxOobTransfer + 1);
    uint32_t len = GetParam().length;
    EXPECT_EQ(-EINVAL, device().readOob(GetParam().start, &len, buf.data()));
}

INSTANTIATE_TEST_SUITE_P(Device, OobLimits,
                         ::testing::Values(OobCase{"TooLong", 0, nandemu::kMaxOobTransfer + 1},
                                           OobCase{"OutsideThePartition", kSize, 1},
                                           OobCase{"OffsetPastTheSpareArea", kOob, 1},
                                           OobCase{"PastTheLastArea", kSize - kPage + 1, kOob}),
                         byName);

// One call of each operation that faults can fail, and what it answers when it succeeds.
struct CallCase {
    const char* name;   // the operation, as fault lines name it
    int error;
    int success;
    std::function<ssize_t(MtdDevice&)> call;
};

ssize_t readPage(MtdDevice& d) {
    std::vector<uint8_t> buf(kPage);
    return d.read(0, buf.data(), kPage);
}

ssize_t writePage(MtdDevice& d) { return d.write(0, filled(kPage, 0).data(), kPage); }

const CallCase kCalls[] = {
    {"open", EACCES, 0, [](MtdDevice& d) { return d.open(); }},
    {"getinfo", EOPNOTSUPP, 0, [](MtdDevice& d) { mtd_info_user mi; return d.getInfo(&mi); }},
    {"getbadblock", EOPNOTSUPP, 0, [](MtdDevice& d) { return d.getBadBlock(0); }},
    {"erase", EIO, 0, [](MtdDevice& d) { return d.erase(0, kBlock); }},
    {"read", EBADMSG, kPage, readPage},
    {"write", EROFS, kPage, writePage},
};

class FailingCall : public DeviceTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(FailingCall, FailsAtItsOccurrenceOnly) {
    const CallCase& c = GetParam();
    faults({"fail=mtd" + std::to_string(kPart) + ":" + c.name + ":2:" + nandemu::errnoName(c.error)});
    MtdDevice d = device();
    EXPECT_EQ(c.success, c.call(d));
    EXPECT_EQ(-c.error, c.call(d));
    EXPECT_EQ(c.success, c.call(d));
    const auto fault = log("fault");
    ASSERT_EQ(1u, fault.size());
    EXPECT_EQ(std::string(c.name) + ":" + nandemu::errnoName(c.error), fault[0].extra);
}

TEST_P(FailingCall, OnAnyPartitionCountsEveryPartitionsCalls) {
    const CallCase& c = GetParam();
    faults({std::string("fail=*:") + c.name + ":2:" + nandemu::errnoName(c.error)});
    MtdDevice other = device(Access::ReadWrite, 0), mine = device();
    EXPECT_EQ(c.success, c.call(other));
    EXPECT_EQ(-c.error, c.call(mine));
}

TEST_P(FailingCall, EveryOccurrenceFailsWithAStar) {
    const CallCase& c = GetParam();
    faults({"fail=mtd" + std::to_string(kPart) + ":" + c.name + ":*:" + nandemu::errnoName(c.error)});
    MtdDevice d = device(), other = device(Access::ReadWrite, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(-c.error, c.call(d));
    EXPECT_EQ(c.success, c.call(other)) << "another partition is not failed";
}

INSTANTIATE_TEST_SUITE_P(Device, FailingCall, ::testing::ValuesIn(kCalls),
                         byName);

TEST_F(DeviceTest, FailingCallsAreCountedOverEveryProcessOnTheBoard) {
    faults({"fail=mtd1:read:2:EIO"});
    nandemu::Board elsewhere(flash_.dir());   // another process's view: the same shared counters
    MtdDevice theirs(elsewhere, kPart), mine = device();
    EXPECT_EQ(kPage, readPage(theirs));
    EXPECT_EQ(-EIO, readPage(mine));
}

TEST_F(DeviceTest, TheAccessModeIsCheckedBeforeAFaultIsCounted) {
    faults({"fail=mtd1:read:1:EIO"});
    std::vector<uint8_t> buf(kPage);
    EXPECT_EQ(-EBADF, device(Access::WriteOnly).read(0, buf.data(), kPage));
    MtdDevice readable = device();
    EXPECT_EQ(-EIO, readPage(readable));
}

struct ShortCase {
    const char* name;
    const char* op;
    size_t len;
    ssize_t answer;
};

class ShortTransfer : public DeviceTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortTransfer, MovesHalfOfWhatWasAsked) {
    const ShortCase& c = GetParam();
    faults({std::string("fail=mtd1:") + c.op + ":1:short"});
    std::vector<uint8_t> buf(c.len, 0);
    const bool reading = std::string(c.op) == "read";
    EXPECT_EQ(c.answer, reading ? device().read(0, buf.data(), c.len) : device().write(0, buf.data(), c.len));
    if (!reading) {
        EXPECT_EQ(static_cast<size_t>(c.answer), countOf(flash_.read(kPart, 0, c.len), 0)) << "only those pages";
    }
    EXPECT_EQ(1u, log("fault").size());
}

INSTANTIATE_TEST_SUITE_P(Device, ShortTransfer,
                         ::testing::Values(ShortCase{"ReadHalf", "read", 3 * kPage, 3 * kPage / 2},
                                           ShortCase{"ReadOddLength", "read", 5, 2},
                                           ShortCase{"WriteWholePages", "write", 3 * kPage, kPage},
                                           ShortCase{"WriteOnePageWritesNone", "write", kPage, 0}),
                         byName);

TEST_F(DeviceTest, AFlippedBitIsReadWrongEveryTimeAndCountedButNotStored) {
    faults({"flip=mtd1:4097:3"});
    write(kPage * 8, kPage, 0);   // the page holding the byte: 4096 = 8 pages
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(0x08, read(4096, 4)[1]);
    EXPECT_EQ(0, flash_.read(kPart, 4097, 1)[0]);
    EXPECT_EQ(filled(4, 0), read(4100, 4)) << "a read beside the byte";
    mtd_ecc_stats st{};
    device().eccStats(&st);
    EXPECT_EQ(2u, st.failed);
}

// The controller's ECC: 4 bits in each 128-byte step, 4 steps a page.
struct EccCase {
    const char* name;
    std::vector<std::string> flips;   // OFFSET:BIT
    uint64_t offset;
    size_t len;
    std::vector<std::string> shown;   // the flips the read lets through
    uint32_t corrected, failed;       // each read's counts
};

class EccRead : public DeviceTest, public ::testing::WithParamInterface<EccCase> {
protected:
    EccRead() : DeviceTest([] { BoardOptions o = smallBoard(); o.eccStep = 128; o.eccStrength = 4; return o; }()) {}
};

TEST_P(EccRead, CorrectsEachStepItCoversUpToTheStrengthAndFailsItOver) {
    const EccCase& c = GetParam();
    write(0, 2 * kPage, 0x5A);
    std::vector<std::string> lines;
    for (const std::string& f : c.flips)
        lines.push_back("flip=mtd1:" + f);
    faults(lines);
    auto want = filled(c.len, 0x5A);
    for (const std::string& f : c.shown)
        want[std::stoul(f) - c.offset] ^= static_cast<uint8_t>(1u << std::stoi(f.substr(f.find(':') + 1)));
    for (uint32_t reads = 1; reads <= 2; ++reads) {
        EXPECT_EQ(want, read(c.offset, c.len));
        mtd_ecc_stats st{};
        device().eccStats(&st);
        EXPECT_EQ(reads * c.corrected, st.corrected);
        EXPECT_EQ(reads * c.failed, st.failed);
    }
    std::string sysfs;   // ecc_strength, ecc_step_size, bitflip_threshold
    for (const nandemu::KernelFile& f : nandemu::kernelFiles(board_))
        sysfs += f.path.find("mtd1/ecc_st") != std::string::npos || f.path.find("mtd1/bitflip") != std::string::npos ? f.content : "";
    EXPECT_EQ("4\n128\n3\n", sysfs);
}

INSTANTIATE_TEST_SUITE_P(
    Device, EccRead,
    ::testing::Values(EccCase{"WithinTheStrength", {"5:3"}, 0, kPage, {}, 1, 0},
                      EccCase{"AtTheStrength", {"0:0", "1:1", "2:2", "127:7"}, 0, kPage, {}, 4, 0},
                      EccCase{"OverTheStrength", {"128:0", "129:1", "130:2", "131:3", "255:7"}, 0, kPage,
                              {"128:0", "129:1", "130:2", "131:3", "255:7"}, 0, 1},
                      EccCase{"EachStepOnItsOwn", {"5:3", "6:3", "300:0", "300:1", "300:2", "301:0", "301:1", "700:4"},
                              0, 2 * kPage, {"300:0", "300:1", "300:2", "301:0", "301:1"}, 3, 1},
                      // Steps 1 and 2, 250 to 260: step 1's flips all count, step 0's none.
                      EccCase{"APartOfAStepIsCheckedWhole", {"5:3", "128:0", "129:0", "130:0", "131:0", "255:7"}, 250, 10,
                              {"255:7"}, 0, 1},
                      EccCase{"ABitFlippedTwiceReadsRight", {"5:3", "5:3", "6:0", "7:0", "8:0", "9:0"}, 0, kPage, {}, 4, 0}),
    byName);

// Power cuts: how much of the operation the cut lets through.
enum class Through { Nothing, Some, All };

struct CutCase {
    const char* name;   // the form, as cut lines name it
    Through through;
};

const CutCase kCuts[] = {{"before", Through::Nothing}, {"torn", Through::Some}, {"after", Through::All}};

void expectThrough(Through through, size_t done, size_t whole) {
    if (through == Through::Nothing)
        EXPECT_EQ(0u, done);
    else if (through == Through::All)
        EXPECT_EQ(whole, done);
    else
        EXPECT_TRUE(done > 0 && done < whole) << done << " of " << whole;
}

class PowerCut : public DeviceTest, public ::testing::WithParamInterface<CutCase> {
protected:
    void expectPowerOffAfterOneCut(uint64_t offset, uint64_t length) {
        EXPECT_TRUE(device().powerOff());
        const auto cuts = log("powercut");
        ASSERT_EQ(1u, cuts.size());
        EXPECT_EQ(GetParam().name, cuts[0].extra);
        EXPECT_EQ(offset, cuts[0].offset);
        EXPECT_EQ(length, cuts[0].length);
        // Every later call is refused until the power is back.
        std::vector<uint8_t> buf(kPage);
        EXPECT_EQ(nandemu::kPowerOff, device().read(0, buf.data(), kPage));
        EXPECT_EQ(nandemu::kPowerOff, device(Access::ReadWrite, 0).erase(0, kBlock));
        EXPECT_EQ(nandemu::kPowerOff, device().open());
    }
};

TEST_P(PowerCut, StopsAWriteAtTheCountedPage) {
    faults({std::string("cut=2:") + GetParam().name + ":5"});
    EXPECT_EQ(nandemu::kPowerOff, write(0, 3 * kPage, 0));
    EXPECT_EQ(filled(kPage, 0), flash_.read(kPart, 0, kPage)) << "the page before the cut";
    expectThrough(GetParam().through, countOf(flash_.read(kPart, kPage, kPage), 0), kPage);
    EXPECT_EQ(filled(kPage, 0xFF), flash_.read(kPart, 2 * kPage, kPage)) << "the page after the cut";
    expectPowerOffAfterOneCut(kPage, kPage);
}

TEST_P(PowerCut, StopsAnEraseAtTheCountedBlock) {
    flash_.program(kPart, 0, filled(2 * kBlock, 0));
    faults({std::string("cut=1:") + GetParam().name + ":9"});
    EXPECT_EQ(nandemu::kPowerOff, device().erase(0, 2 * kBlock));
    const auto block = flash_.read(kPart, 0, kBlock);
    size_t erasedPages = 0;
    for (uint32_t p = 0; p < kPagesPerBlock; ++p)
        erasedPages += block[p * kPage] == 0xFF;
    expectThrough(GetParam().through, erasedPages, kPagesPerBlock);
    EXPECT_EQ(filled(kBlock, 0), flash_.read(kPart, kBlock, kBlock)) << "the block after the cut";
    expectPowerOffAfterOneCut(0, kBlock);
}

INSTANTIATE_TEST_SUITE_P(Device, PowerCut, ::testing::ValuesIn(kCuts),
                         byName);

// A torn operation's bytes on a fresh board, from its seed.
using Operation = std::function<void(MtdDevice&)>;

std::vector<uint8_t> tornBytes(uint32_t seed, const Operation& operation) {
    testboard::TestBoard flash(smallBoard());
    flash.program(kPart, 0, filled(kBlock, 0x55));
    nandemu::Board board(flash.dir());
    board.setFaults({"cut=1:torn:" + std::to_string(seed)});
    MtdDevice d(board, kPart);
    operation(d);
    return flash.read(kPart, 0, kBlock);
}

struct TornCase {
    const char* name;
    Operation operation;
};

class TornOperation : public ::testing::TestWithParam<TornCase> {};

TEST_P(TornOperation, GivesTheSameBytesForTheSameSeedOnly) {
    const Operation& op = GetParam().operation;
    EXPECT_EQ(tornBytes(7, op), tornBytes(7, op));
    EXPECT_NE(tornBytes(7, op), tornBytes(8, op));
}

INSTANTIATE_TEST_SUITE_P(
    Device, TornOperation,
    ::testing::Values(TornCase{"Program", [](MtdDevice& d) { d.write(kPage, filled(kPage, 0x0F).data(), kPage); }},
                      TornCase{"Erase", [](MtdDevice& d) { d.erase(0, kBlock); }}),
    byName);

// The log's lines, whole, as scripts and the board tool read them.
struct LogCase {
    const char* name;
    std::vector<std::string> faults;
    std::function<void(nandemu::Board&, MtdDevice&)> operation;
    std::vector<std::string> lines;   // after "PID PROG "
};

class LogLines : public DeviceTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(LogLines, NameTheProcessTheDeviceAndTheOperation) {
    const LogCase& c = GetParam();
    faults(c.faults);
    flash_.clearLog();
    MtdDevice d = device();
    c.operation(board_, d);
    std::ifstream in(flash_.dir() + "/log");
    const std::string who = std::to_string(getpid()) + " " + program_invocation_short_name + " ";
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::vector<std::string> want;
    for (const std::string& l : c.lines)
        want.push_back(who + l);
    EXPECT_EQ(want, lines);
}

INSTANTIATE_TEST_SUITE_P(
    Device, LogLines,
    ::testing::Values(
        LogCase{"Program", {}, [](auto&, MtdDevice& d) { writePage(d); }, {"mtd1 program 0x0 0x200"}},
        LogCase{"Reprogram",
                {},
                [](auto&, MtdDevice& d) {
                    writePage(d);
                    writePage(d);
                },
                {"mtd1 program 0x0 0x200", "mtd1 violation 0x0 0x200 reprogram", "mtd1 program 0x0 0x200"}},
        LogCase{"EraseOnePerBlock",
                {},
                [](auto&, MtdDevice& d) { d.erase(kBlock, 2 * kBlock); },
                {"mtd1 erase 0x4000 0x4000", "mtd1 erase 0x8000 0x4000"}},
        LogCase{"BadBlock",
                {},
                [](nandemu::Board& b, MtdDevice& d) {
                    b.markBad(kPart, 0);
                    writePage(d);
                },
                {"mtd1 violation 0x0 0x200 badblock", "mtd1 program 0x0 0x200"}},
        LogCase{"Oob",
                {},
                [](auto&, MtdDevice& d) {
                    uint32_t len = 4;
                    d.writeOob(2 * kPage + 3, &len, filled(len, 0).data());
                },
                {"mtd1 oob 0x403 0x4"}},
        LogCase{"Fault", {"fail=mtd1:read:1:EIO"}, [](auto&, MtdDevice& d) { readPage(d); },
                {"mtd1 fault 0x0 0x0 read:EIO"}},
        LogCase{"ShortFault", {"fail=*:write:1:short"}, [](auto&, MtdDevice& d) { writePage(d); },
                {"mtd1 fault 0x0 0x0 write:short"}},
        LogCase{"PowerCutBefore", {"cut=1:before"}, [](auto&, MtdDevice& d) { writePage(d); },
                {"mtd1 powercut 0x0 0x200 before"}},
        LogCase{"PowerCutAfterErase",
                {"cut=1:after"},
                [](auto&, MtdDevice& d) { d.erase(0, kBlock); },
                {"mtd1 erase 0x0 0x4000", "mtd1 powercut 0x0 0x4000 after"}}),
    byName);

}  // namespace
