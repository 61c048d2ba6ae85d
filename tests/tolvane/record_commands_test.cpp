// The low, high and ok commands end to end: where the table load takes its
// record from, what each command stores, the record and flag pages byte for
// byte, and the write order that keeps a complete record in the named copy.
#include "tolvane_test.h"

using namespace tv;

namespace {

class CommandTest : public TolvaneTest {
protected:
    static size_t separatorLines(const std::string& err) {
        size_t n = 0;
        for (const std::string& line : testboard::lines(err))
            n += line == kSeparator;
        return n;
    }
};

// ---- an erased board: nothing valid anywhere ----

TEST_F(CommandTest, OkOnAnErasedBoardRepairsTheFlagThenWritesCopy2Flag2Copy1) {
    loadLowSet();
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    EXPECT_EQ(mutations(), recordWrite(kFlag) + recordWrite(kTable2) + recordWrite(kFlag) + recordWrite(kTable1));

    // The erased flag was rewritten naming copy 1, keeping the end marker it read.
    EXPECT_TRUE(contains(r.err, " readBootFlag() * \n " + dumpBytes(Bytes(16, 0xFF)) + "\n"));
    EXPECT_TRUE(contains(r.err, "write buf:\n " + dumpBytes(encodeFlag(1, kFlagMarker, 0xFFFFFFFF)) + "\n "));
    // Then moved to copy 2 by the write.
    expectFlag(encodeFlag(2, kFlagMarker, 0xFFFFFFFF));

    Fields rebuilt;
    rebuilt.sums = lowSums();
    expectStored(encodeRecord(rebuilt));
    for (int mtd : {kFlag, kTable1, kTable2})
        expectRestErased(mtd);
    EXPECT_TRUE(contains(r.err, "setInitValue ============================================================\n"));
    EXPECT_TRUE(contains(r.out, "m_imglen: c\nMTD_FLAG: /dev/mtd3\nWriting data to block 0\n"));
    EXPECT_TRUE(contains(r.out, "m_imglen: 1c\npartition: /dev/mtd10\nWriting data to block 0\n"));
}

TEST_F(CommandTest, LowOnAnErasedBoardStoresTheLowSetsSumsMarkedLow) {
    loadLowSet();
    testboard::RunResult r = expectRun({"tolvane", "-l"});
    Fields f;
    f.low = 1;
    f.sums = lowSums();
    expectStored(encodeRecord(f));
    EXPECT_TRUE(contains(r.err, "isNoValue() false \n"));
}

TEST_F(CommandTest, HighOnAnErasedBoardScansTheLowSetOnce) {
    loadLowSet();
    testboard::RunResult r = expectRun({"tolvane", "-h"});
    Fields f;
    f.high = 1;
    f.sums = lowSums();
    expectStored(encodeRecord(f));
    EXPECT_EQ(count(r.err, "S1L1: addsum  "), 1u);
    EXPECT_EQ(count(r.err, "APP 1: addsum "), 1u);
    EXPECT_EQ(separatorLines(r.err), 5u);
    EXPECT_TRUE(contains(r.err, "===>>> tableHighPartitionUpdating == tolvaneCmd\n"));
}

// ---- a valid table ----

TEST_F(CommandTest, LowKeepsTheLoadedSumsAndLength) {
    loadLowSet();
    Fields loaded = kStale;
    loaded.high = 1;
    loaded.length = 0x1234;   // never examined, carried along
    putValidTables(loaded);
    testboard::RunResult r = expectRun({"tolvane", "-l"});
    Fields want = loaded;
    want.high = 0;
    want.low = 1;
    expectStored(encodeRecord(want));
    EXPECT_TRUE(contains(r.err, "tolvane verify ok \n"));
    EXPECT_TRUE(contains(r.err, "============================================================isNoValue() false \n"));
    EXPECT_FALSE(contains(r.err, "setInitValue"));
    EXPECT_FALSE(contains(r.err, "addsum"));
}

TEST_F(CommandTest, HighReplacesTheSumsWithAFreshScanOfTheLowSet) {
    loadLowSet();
    putValidTables(kStale);
    testboard::RunResult r = expectRun({"tolvane", "-h"});
    Fields want;
    want.high = 1;
    want.sums = lowSums();
    expectStored(encodeRecord(want));
    EXPECT_EQ(separatorLines(r.err), 5u);
    const std::string scan = kSeparator + "\nS1L1: addsum  " + hexValue(want.sums[0]) + "\n" + kSeparator +
                             "\nU-Boot1: addsum " + hexValue(want.sums[1]) + "\n" + kSeparator + "\nKERNEL 1: addsum " +
                             hexValue(want.sums[2]) + "\n" + kSeparator + "\nAPP 1: addsum " + hexValue(want.sums[3]) +
                             "\n" + kSeparator + "\n";
    EXPECT_TRUE(contains(r.err, "tolvane verify ok \n" + scan)) << r.err;
    EXPECT_FALSE(contains(r.err, "setInitValue"));
}

TEST_F(CommandTest, OkClearsBothUpdatingBytesAndKeepsTheSums) {
    for (uint8_t low : {0, 1}) {
        Fields loaded = kStale;
        loaded.low = low;
        loaded.high = static_cast<uint8_t>(1 - low);
        putValidTables(loaded);
        expectRun({"tolvane", "-o"});
        expectStored(encodeRecord(kStale));
    }
}

TEST_F(CommandTest, EachWriteMovesTheFlagAndRewritesTheUnnamedCopyFirst) {
    putValidTables(kStale, 1);
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    EXPECT_EQ(mutations(), recordWrite(kTable2) + recordWrite(kFlag) + recordWrite(kTable1));
    const std::string rule = "--------------------------------------------";
    EXPECT_TRUE(contains(r.err, rule + "\n write() * \n " + rule + "write() write MTD_TABLE2 first \n "));
    EXPECT_TRUE(contains(r.err, rule + "write() [1] [1] \n "));
    EXPECT_TRUE(contains(r.err, rule + "write() [1] [2] \n "));
    EXPECT_FALSE(contains(r.err, "[2] [3]"));
    EXPECT_TRUE(contains(r.err, "write() & \n " + rule + "\n  "));
    expectFlag(encodeFlag(2));

    board.clearLog();
    r = expectRun({"tolvane", "-o"});
    EXPECT_EQ(mutations(), recordWrite(kTable1) + recordWrite(kFlag) + recordWrite(kTable2));
    EXPECT_TRUE(contains(r.err, rule + "write() write MTD_TABLE1 first \n "));
    EXPECT_TRUE(contains(r.err, rule + "write() [2] [1] \n " + rule));
    EXPECT_TRUE(contains(r.err, rule + "write() [2] [3] \n "));
    expectFlag(encodeFlag(1));
    expectStored(encodeRecord(kStale));
}

TEST_F(CommandTest, TableWriteShowsTheRecordItStores) {
    putValidTables(kStale);
    testboard::RunResult r = expectRun({"tolvane", "-l"});
    Fields want = kStale;
    want.low = 1;
    const Bytes record = encodeRecord(want);
    char calSum[32];
    snprintf(calSum, sizeof calSum, "calSum: %08x\n", checksumOf(record));
    const std::string shown = std::string(calSum) + "m_tolvaneInfo.headerMarker: aaaaaaaa\n" +
                              "m_tolvaneInfo.addSum: " + hexValue(checksumOf(record)) + "\n" +
                              "m_tolvaneInfo.length: a\n" + "m_tolvaneInfo.highPartitionUpdating: 0\n" +
                              "m_tolvaneInfo.lowPartitionUpdating: 1\n" + "m_tolvaneInfo.s1lSum: 1111\n" +
                              "m_tolvaneInfo.ubootSum: 2222\n" + "m_tolvaneInfo.kernelSum: 3333\n" +
                              "m_tolvaneInfo.AppSum: 4444\n" + "write m_tolvaneInfo buf:\n " + dumpBytes(record) +
                              "\n writeTolvane() ending \n";
    EXPECT_EQ(count(r.err, shown), 2u) << r.err;
}

// ---- the flag ----

TEST_F(CommandTest, FlagNamingCopy2LoadsCopy2AndWritesCopy1First) {
    putTable(kTable1, encodeRecord(kStale));
    putTable(kTable2, encodeRecord(kOther));
    putFlag(2);
    expectRun({"tolvane", "-o"});
    EXPECT_EQ(mutations(), recordWrite(kTable1) + recordWrite(kFlag) + recordWrite(kTable2));
    expectStored(encodeRecord(kOther));
    expectFlag(encodeFlag(1));
}

// The copy the record was loaded from is rewritten last, whatever the flag
// holds: rewriting it first would leave no complete record during its erase.
TEST_F(CommandTest, FlagNamingNeitherCopyCountsAsCopy1AndCopy1IsRewrittenLast) {
    for (uint32_t reference : {0u, 7u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(reference);
        putTable(kTable1, encodeRecord(kStale));
        putTable(kTable2, encodeRecord(kOther, kTableMarker, 1));
        putFlag(reference);
        board.clearLog();
        expectRun({"tolvane", "-o"});
        EXPECT_EQ(mutations(), recordWrite(kTable2) + recordWrite(kFlag) + recordWrite(kTable1));
        expectStored(encodeRecord(kStale));
        expectFlag(encodeFlag(2));
    }
}

TEST_F(CommandTest, FlagWithAWrongMarkerIsRewrittenKeepingItsEndMarker) {
    putTable(kTable1, encodeRecord(kStale));
    putTable(kTable2, encodeRecord(kOther));
    putRecordPage(kFlag, encodeFlag(2, 0x55555554, 0x01020304));
    expectRun({"tolvane", "-o"});
    EXPECT_EQ(mutations(), recordWrite(kFlag) + recordWrite(kTable2) + recordWrite(kFlag) + recordWrite(kTable1));
    expectStored(encodeRecord(kStale));   // the repaired flag names copy 1
    expectFlag(encodeFlag(2, kFlagMarker, 0x01020304));
}

TEST_F(CommandTest, FlagThatCannotBeOpenedStartsWithCopy2AndRewritesItLast) {
    putTable(kTable1, encodeRecord(kStale, kTableMarker, 1));
    putTable(kTable2, encodeRecord(kOther));
    putFlag(2);
    board.setFaults({"fail=mtd3:open:*:EACCES"});
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    EXPECT_TRUE(contains(r.err, "open flash: Permission denied\n"));
    // The record came from copy 2, so copy 1 goes first; the flag stays.
    EXPECT_EQ(mutations(), recordWrite(kTable1) + recordWrite(kTable2));
    expectStored(encodeRecord(kOther));
    expectFlag(encodeFlag(2));
}

// ---- the table load ----

TEST_F(CommandTest, NamedCopyThatDoesNotVerifyFallsBackToTheOther) {
    for (int32_t error : {1, -1}) {
        SCOPED_TRACE(error);
        putTable(kTable1, encodeRecord(kStale, kTableMarker, error));
        putTable(kTable2, encodeRecord(kOther));
        putFlag(1);
        testboard::RunResult r = expectRun({"tolvane", "-o"});
        EXPECT_FALSE(contains(r.err, "tolvane verify ok"));
        EXPECT_FALSE(contains(r.err, "setInitValue"));
        expectStored(encodeRecord(kOther));
    }
}

TEST_F(CommandTest, NoCopyThatVerifiesRebuildsTheRecordFromTheLowSet) {
    loadLowSet();
    putTable(kTable1, encodeRecord(kStale, 0xAAAAAAAB));
    putTable(kTable2, encodeRecord(kOther, kTableMarker, 1));
    putFlag(1);
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    EXPECT_TRUE(contains(r.err, "setInitValue"));
    Fields want;
    want.sums = lowSums();
    expectStored(encodeRecord(want));
}

TEST_F(CommandTest, CopiesThatCannotBeReadNeverPassForValid) {
    loadLowSet();
    Fields want;
    want.sums = lowSums();
    for (const char* kind : {"open", "read"}) {
        SCOPED_TRACE(kind);
        putValidTables(kStale);
        // The first access of each copy is the table load's read.
        board.setFaults({std::string("fail=mtd9:") + kind + ":1:EIO", std::string("fail=mtd10:") + kind + ":1:EIO"});
        testboard::RunResult r = expectRun({"tolvane", "-o"});
        EXPECT_EQ(count(r.err, kind == std::string("open") ? "open flash: Input/output error\n"
                                                          : "pread: Input/output error\n"),
                  2u);
        // Neither the record of construction nor an earlier copy is taken as read.
        EXPECT_TRUE(contains(r.err, "setInitValue"));
        expectStored(encodeRecord(want));
    }
}

TEST_F(CommandTest, UnreadableNamedCopyFallsBackToTheReadableOne) {
    putValidTables(kStale);
    putTable(kTable2, encodeRecord(kOther));
    board.setFaults({"fail=mtd9:read:1:EIO"});
    testboard::RunResult r = expectRun({"tolvane", "-o"});
    EXPECT_FALSE(contains(r.err, "setInitValue"));
    expectStored(encodeRecord(kOther));
}

TEST_F(CommandTest, WriteGoesOnWhenTheLastCopyCannotBeWritten) {
    putValidTables(kStale);
    // The load reads copy 1 through its first opening; the write's opening fails.
    board.setFaults({"fail=mtd9:open:2:EACCES"});
    expectRun({"tolvane", "-l"});
    EXPECT_EQ(mutations(), recordWrite(kTable2) + recordWrite(kFlag));
    Fields want = kStale;
    want.low = 1;
    EXPECT_EQ(pageAt(kTable2, 0), recordPage(encodeRecord(want)));
    expectFlag(encodeFlag(2));
}

// A first copy that was not stored whole, for whatever reason, is no place
// for the flag: it stays where it was, the other copy keeps its record, and
// a run that stored its record nowhere says so in its exit status.
TEST_F(CommandTest, FirstCopyNotStoredKeepsTheFlagAndTheOtherCopyAndFails) {
    struct Case {
        const char* fault;
        std::vector<std::string> mutations;   // of the first copy, mtd10
    };
    const Case cases[] = {
        {"fail=mtd10:open:1:EIO", {}},
        {"fail=mtd10:open:2:EACCES", {}},   // the erase's own opening
        {"fail=mtd10:getinfo:1:EIO", {}},
        {"fail=mtd10:write:1:EIO", {"mtd10 erase 0"}},
        {"fail=mtd10:write:1:short", {"mtd10 erase 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        putValidTables(kStale, 1);
        board.clearLog();
        board.setFaults({c.fault});
        testboard::RunResult r = expectRun({"tolvane", "-h"}, 1);
        EXPECT_TRUE(contains(r.err, "write() first copy not stored, flag and other copy kept \n "));
        EXPECT_EQ(mutations(), c.mutations);
        expectFlag(encodeFlag(1));
        EXPECT_EQ(pageAt(kTable1, 0), recordPage(encodeRecord(kStale)));
    }
}

// After a cut high command left its record in copy 1 only, an ok command
// whose first copy cannot be reached must not move the flag to that copy:
// the abandoned record would become the one every reader takes.
TEST_F(CommandTest, AbandonedRecordInTheUnnamedCopyNeverGetsTheFlag) {
    Fields high = kOther;
    high.high = 1;
    Fields low = kStale;
    low.low = 1;
    for (const char* fault : {"fail=mtd9:open:1:EACCES", "fail=mtd9:getinfo:1:EIO"}) {
        SCOPED_TRACE(fault);
        putTable(kTable1, encodeRecord(high));
        putTable(kTable2, encodeRecord(low));
        putFlag(2);
        board.clearLog();
        board.setFaults({fault});
        expectRun({"tolvane", "-o"}, 1);
        EXPECT_EQ(mutations(), std::vector<std::string>{});
        expectFlag(encodeFlag(2));
        EXPECT_EQ(pageAt(kTable1, 0), recordPage(encodeRecord(high)));
        EXPECT_EQ(pageAt(kTable2, 0), recordPage(encodeRecord(low)));
    }
}

}  // namespace
