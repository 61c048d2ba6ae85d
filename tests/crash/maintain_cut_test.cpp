// Power cuts while the maintenance pass copies an image: the table keeps a
// valid copy holding the record, and at most two more passes bring every
// image that matched in one set back into both. (Cuts while it repairs a
// table copy are the exploration engine's.)
#include <gtest/gtest.h>

#include "crash_support.h"

using namespace crash;

namespace {

constexpr uint32_t kSeed = 4242;
constexpr size_t kEraseRandoms = 1, kProgramRandoms = 1, kFullProgramRandoms = 8;

// The mutating operations (1-based, in order) of a clean run on `dev`, split by kind.
struct Ops {
    std::vector<uint64_t> erases, programs, all;
};
Ops opsOn(const testboard::TestBoard& b, const std::string& dev) {
    Ops o;
    std::vector<testboard::LogEntry> m = b.mutations();
    for (size_t i = 0; i < m.size(); ++i) {
        if (m[i].dev != dev)
            continue;
        (m[i].op == "erase" ? o.erases : o.programs).push_back(i + 1);
        o.all.push_back(i + 1);
    }
    return o;
}

std::string dev(int mtd) { return "mtd" + std::to_string(mtd); }

// Cuts the pass at each point, in each form when `everyForm` or in a full
// sweep, else in one form per point, in turn; after every cut the table must
// still be there and the following passes must converge.
void sweep(const TableState& state, const std::vector<int>& damageLow, const std::vector<int>& damageHigh,
           const std::vector<uint64_t>& points, const std::string& what, bool everyForm) {
    for (int f = 0; f < 3; ++f) {
        const char* form = kForms[f];
        Tally tally{what + ", cut " + form};
        for (size_t k = 0; k < points.size(); ++k) {
            if (!everyForm && !triesForm(k, f))
                continue;
            const uint64_t n = points[k];
            testboard::TestBoard b;
            MaintainBoard m = buildMaintain(b, state, damageLow, damageHigh, kSeed);
            b.setFaults({cutSpec(n, form, static_cast<uint32_t>(n * 13 + 5))});
            testboard::RunResult cut = b.run({"tolvane", "-m"});
            ::testing::AssertionResult why = cutHappened(cut);
            if (why)
                why = tableKept(b, m.record);
            if (why) {
                b.clearFaults();
                why = maintainConverges(b, m);
            }
            tally.count(why);
            EXPECT_TRUE(why) << what << ", cut at " << n << " (" << form << ")";
        }
    }
}

class ImageCopyCut : public ::testing::TestWithParam<int> {};

TEST_P(ImageCopyCut, CopyInterruptedAnywhereIsRedone) {
    const int image = GetParam();
    const bool fromLow = image % 2 == 0;   // S1L and kernel repair the high set, the others the low set
    std::vector<int> none, damaged{image};
    const TableState& state = kTableStates[0];
    testboard::TestBoard clean;
    MaintainBoard m = buildMaintain(clean, state, fromLow ? none : damaged, fromLow ? damaged : none, kSeed);
    clean.setFaults({});
    clean.clearLog();
    ASSERT_TRUE(clean.run({"tolvane", "-m"}).exited(0));
    ASSERT_TRUE(converged(clean, m));
    const Image& im = kImages[image];
    Ops ops = opsOn(clean, dev(fromLow ? im.high : im.low));
    ASSERT_EQ(ops.erases.size(), im.blocks);
    ASSERT_EQ(ops.programs.size(), im.blocks * (clean.blockSize() / clean.pageSize()));

    // Every erase in a full sweep, else the first, the second, the last and
    // a seeded one; the first, the second, the last and seeded page programs.
    std::vector<uint64_t> points = sweepPoints(ops.erases, kEraseRandoms, static_cast<uint32_t>(image));
    for (uint64_t p : sample(ops.programs, fullSweep() ? kFullProgramRandoms : kProgramRandoms,
                             static_cast<uint32_t>(image + 100)))
        points.push_back(p);
    sweep(state, fromLow ? none : damaged, fromLow ? damaged : none, points,
          std::string("tolvane -m copying ") + im.name, false);
}

INSTANTIATE_TEST_SUITE_P(Images, ImageCopyCut, ::testing::Range(0, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(kImages[info.param].name);
                         });

}  // namespace
