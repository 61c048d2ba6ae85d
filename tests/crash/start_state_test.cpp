// The sweeps are only as good as their starting states: each one must be on
// the flash as named, read back by the board's own record decoder.
#include <gtest/gtest.h>

#include "crash_support.h"

using namespace crash;

TEST(StartStates, EachStateReadsBackAsNamed) {
    Fields f;
    f.low = 1;
    f.sums[2] = 0x01020304;
    const Record old = makeRecord(f);
    ASSERT_TRUE(verifies(old));
    for (const TableState& s : kTableStates) {
        SCOPED_TRACE(s.name);
        testboard::TestBoard b;
        b.markBad(kTable2, 0);   // records live in the first good block
        putTables(b, s, old);
        TableView v = viewTables(b);
        EXPECT_EQ(s.copy1 == CopyState::Valid, v.valid[0]);
        EXPECT_EQ(s.copy2 == CopyState::Valid, v.valid[1]);
        EXPECT_EQ(s.flag != FlagState::Invalid, v.flagValid);
        EXPECT_EQ(s.flag == FlagState::Names2 ? 2 : 1, v.named);
        for (int i = 0; i < 2; ++i) {
            if (v.valid[i]) {
                EXPECT_EQ(hex(old), hex(v.rec[i]));
            }
        }
    }
}

TEST(StartStates, CommandModelSetsUpdatingBytesAndSums) {
    Fields f;
    f.length = 0x33;
    f.sums[0] = 5;
    const Record old = makeRecord(f);
    const std::array<uint32_t, 4> low{1, 2, 3, 4};
    Fields l = fieldsOf(afterCommand("-l", &old, low));
    EXPECT_EQ(0, l.high);
    EXPECT_EQ(1, l.low);
    EXPECT_EQ(5u, l.sums[0]);
    EXPECT_EQ(0x33, l.length);
    Fields h = fieldsOf(afterCommand("-h", &old, low));
    EXPECT_EQ(1, h.high);
    EXPECT_EQ(0, h.low);
    EXPECT_EQ(1u, h.sums[0]);
    Fields init = fieldsOf(afterCommand("-o", nullptr, low));
    EXPECT_EQ(10, init.length);
    EXPECT_EQ(4u, init.sums[3]);
    EXPECT_TRUE(verifies(afterCommand("-o", nullptr, low)));
}

TEST(StartStates, SampleKeepsEndsAndStaysInside) {
    std::vector<uint64_t> points;
    for (uint64_t i = 10; i < 110; ++i)
        points.push_back(i);
    std::vector<uint64_t> s = sample(points, 3, 1);
    ASSERT_GE(s.size(), 3u);
    EXPECT_EQ(10u, s.front());
    EXPECT_EQ(11u, s[1]);
    EXPECT_EQ(109u, s.back());
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
}

TEST(StartStates, SampledSweepTriesEachPointInOneFormAndEveryFormInTurn) {
    int perForm[3] = {0, 0, 0};
    for (size_t k = 0; k < 9; ++k) {
        int forms = 0;
        for (int f = 0; f < 3; ++f)
            if (triesForm(k, f)) {
                ++forms;
                ++perForm[f];
            }
        EXPECT_EQ(fullSweep() ? 3 : 1, forms) << "point " << k;
    }
    for (int f = 0; f < 3; ++f)
        EXPECT_EQ(fullSweep() ? 9 : 3, perForm[f]) << kForms[f];
}
