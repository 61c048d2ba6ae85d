// The table record inside the object: its checksum over bytes 10 to 27,
// what verifies and what does not, the setters, the display, and what an
// unreadable table copy leaves behind. No flash: paths that cannot be
// opened stand for copies that cannot be read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "tolvane.h"

namespace {

// A record with the marker and the given covered bytes; addSum as given.
TolvaneInfo record(uint32_t addSum, uint32_t s1l = 0, uint32_t uboot = 0, uint32_t kernel = 0, uint32_t app = 0) {
    TolvaneInfo r;
    memset(&r, 0, sizeof r);
    r.headerMarker = 0xAAAAAAAA;
    r.addSum = addSum;
    r.length = 10;
    r.s1lSum = s1l;
    r.ubootSum = uboot;
    r.kernelSum = kernel;
    r.appSum = app;
    return r;
}

int openDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

class RecordTest : public ::testing::Test {
protected:
    // Runs f and returns what it printed on standard error.
    template <typename F>
    static std::string stderrOf(F f) {
        testing::internal::CaptureStderr();
        f();
        return testing::internal::GetCapturedStderr();
    }
    static bool same(const TolvaneInfo& a, const TolvaneInfo& b) { return memcmp(&a, &b, sizeof a) == 0; }

    Tolvane t;
};

TEST_F(RecordTest, ChecksumCoversTheUpdatingBytesAndTheFourSums) {
    struct Case {
        TolvaneInfo rec;
        uint32_t sum;
        const char* line;
    };
    TolvaneInfo full = record(0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    full.highPartitionUpdating = full.lowPartitionUpdating = 0xFF;
    for (const Case& c : {Case{record(0), 0, "calSum: 00000000\n"},
                          Case{record(0, 0x04030201), 10, "calSum: 0000000a\n"},
                          Case{full, 18 * 255, "calSum: 000011ee\n"}}) {
        t.setTolvaneInfo(c.rec);
        EXPECT_EQ(stderrOf([&] { t.addSumToTolvane(); }), c.line);
        EXPECT_EQ(t.getTolvaneInfo().addSum, c.sum);
    }
}

TEST_F(RecordTest, ChecksumLeavesOutMarkerAddSumAndLength) {
    TolvaneInfo r = record(0x12345678, 7);
    r.length = 0xFFFF;
    t.setTolvaneInfo(r);
    EXPECT_EQ(stderrOf([&] { t.addSumToTolvane(); }), "calSum: 00000007\n");
}

TEST_F(RecordTest, RecordWithMarkerAndChecksumVerifiesWhateverItsLength) {
    for (uint16_t length : {0, 10, 0xFFFF}) {
        TolvaneInfo r = record(10, 0x04030201);
        r.length = length;
        t.setTolvaneInfo(r);
        bool ok = false;
        EXPECT_EQ(stderrOf([&] { ok = t.verifyTolvane(); }), "calSum: 0000000a\n");
        EXPECT_TRUE(ok) << "length " << length;
    }
}

TEST_F(RecordTest, ChecksumOffByAnyAmountFails) {
    for (uint32_t addSum : {9u, 11u, 0u, 10u + 0x10000u}) {
        t.setTolvaneInfo(record(addSum, 0x04030201));
        EXPECT_FALSE(t.verifyTolvane()) << addSum;
    }
}

TEST_F(RecordTest, MissingMarkerFailsWithoutComputingTheChecksum) {
    for (uint32_t marker : {0xFFFFFFFFu, 0xAAAAAAABu, 0u}) {
        TolvaneInfo r = record(0);
        r.headerMarker = marker;
        t.setTolvaneInfo(r);
        bool ok = true;
        EXPECT_EQ(stderrOf([&] { ok = t.verifyTolvane(); }), "");
        EXPECT_FALSE(ok);
    }
}

TEST_F(RecordTest, IsNoValueLooksAtTheMarkerOnly) {
    const std::string bar(60, '=');
    t.setTolvaneInfo(record(12345));   // wrong checksum, marker present
    bool absent = true;
    EXPECT_EQ(stderrOf([&] { absent = t.isNoValue(); }), bar + "isNoValue() false \n");
    EXPECT_FALSE(absent);
    TolvaneInfo r = record(0);
    r.headerMarker = 0x55555555;
    t.setTolvaneInfo(r);
    EXPECT_EQ(stderrOf([&] { absent = t.isNoValue(); }), bar + "isNoValue() true \n");
    EXPECT_TRUE(absent);
}

TEST_F(RecordTest, RecordOfConstructionNeverVerifies) {
    // Only a run that could read neither copy judges it: it must rebuild.
    EXPECT_EQ(t.getTolvaneInfo().headerMarker, 0xAAAAAAAAu);
    EXPECT_EQ(t.getTolvaneInfo().length, 10);
    EXPECT_FALSE(t.verifyTolvane());
    EXPECT_GT(t.getTolvaneInfo().addSum, 18u * 255u);
}

TEST_F(RecordTest, GetAndSetRoundTripEveryField) {
    TolvaneInfo r = record(0xDEADBEEF, 1, 2, 3, 4);
    r.length = 0xBEEF;
    r.highPartitionUpdating = 0x12;
    r.lowPartitionUpdating = 0x34;
    t.setTolvaneInfo(r);
    EXPECT_TRUE(same(t.getTolvaneInfo(), r));
    t.setTolvaneInfo(t.getTolvaneInfo());
    EXPECT_TRUE(same(t.getTolvaneInfo(), r));
}

TEST_F(RecordTest, SettersWriteOnlyTheUpdatingBytesInTheirCombinations) {
    const TolvaneInfo base = record(7, 1, 2, 3, 4);
    struct Case {
        bool (Tolvane::*set)();
        uint8_t high, low;
    };
    for (const Case& c : {Case{&Tolvane::setLowUpdating, 0, 1}, Case{&Tolvane::setHighUpdating, 1, 0},
                          Case{&Tolvane::setNoUpdating, 0, 0}}) {
        TolvaneInfo start = base;
        start.highPartitionUpdating = start.lowPartitionUpdating = 1;
        t.setTolvaneInfo(start);
        EXPECT_TRUE((t.*c.set)());
        TolvaneInfo want = base;
        want.highPartitionUpdating = c.high;
        want.lowPartitionUpdating = c.low;
        EXPECT_TRUE(same(t.getTolvaneInfo(), want));   // addSum stays stale until a write
    }
}

TEST_F(RecordTest, DisplayShowsTheNineFieldsInHex) {
    TolvaneInfo r = record(0x3f7, 0x1fe0000, 0x7f80000, 0xff000000, 0x4ab00000);
    r.lowPartitionUpdating = 1;
    t.setTolvaneInfo(r);
    EXPECT_EQ(stderrOf([&] { t.displayTolvane(); }),
              "m_tolvaneInfo.headerMarker: aaaaaaaa\n"
              "m_tolvaneInfo.addSum: 3f7\n"
              "m_tolvaneInfo.length: a\n"
              "m_tolvaneInfo.highPartitionUpdating: 0\n"
              "m_tolvaneInfo.lowPartitionUpdating: 1\n"
              "m_tolvaneInfo.s1lSum: 1fe0000\n"
              "m_tolvaneInfo.ubootSum: 7f80000\n"
              "m_tolvaneInfo.kernelSum: ff000000\n"
              "m_tolvaneInfo.AppSum: 4ab00000\n");
}

// ---- copies that cannot be read ----

TEST_F(RecordTest, TableCopyThatCannotBeOpenedLeavesARecordThatCannotVerify) {
    t.setTolvaneInfo(record(10, 0x04030201));   // valid, as a first copy left it
    ASSERT_TRUE(t.verifyTolvane());
    bool read = true;
    std::string err = stderrOf([&] { read = t.readTolvane("/nonexistent/mtd10"); });
    EXPECT_FALSE(read);
    EXPECT_NE(err.find("open flash: No such file or directory\n"), std::string::npos) << err;
    EXPECT_FALSE(t.verifyTolvane());
}

TEST_F(RecordTest, FileThatIsNoMtdDeviceIsRefusedAndClosed) {
    char path[] = "/tmp/tolvane-record-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "not a flash", 11), 11);
    close(fd);
    t.setTolvaneInfo(record(10, 0x04030201));
    const int before = openDescriptors();
    std::string err = stderrOf([&] {
        EXPECT_FALSE(t.readTolvane(path));
        EXPECT_FALSE(t.readFlash(path, 1));
        EXPECT_FALSE(t.writeTolvane(path));
        EXPECT_FALSE(t.copyFlashPatition(path, path, 1));
    });
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_NE(err.find("MEMGETINFO: "), std::string::npos) << err;
    EXPECT_FALSE(t.verifyTolvane());
    unlink(path);
}

TEST_F(RecordTest, ReadThatFailsStoresNoSum) {
    const TolvaneInfo r = record(10, 0x04030201, 5, 6, 7);
    t.setTolvaneInfo(r);
    stderrOf([&] { EXPECT_FALSE(t.readFlash("/nonexistent/mtd2", 128)); });
    EXPECT_EQ(t.getAddSum(), 0u);
    EXPECT_TRUE(same(t.getTolvaneInfo(), r));
}

}  // namespace
