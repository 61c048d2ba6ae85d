// Seeded bad-block layouts, first and last blocks and adjacent runs
// included: every command still keeps both records, a repair maps the n-th
// good block of the source to the n-th good block of the destination, and
// no page is programmed twice or into a bad block. CRASH_SEED=N replays one layout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "crash_support.h"
#include "explore.h"

using namespace crash;

namespace {

// Every class of flag meets a bad-block layout, a bad first block among them.
constexpr uint32_t kLayouts = kFlagClasses, kFullLayouts = 20;

struct Rng {
    uint32_t x;
    uint32_t next() {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        return x;
    }
};

// Up to three bad blocks in each partition the programs use, never more
// than the partition can spare.
std::string markLayout(testboard::TestBoard& b, uint32_t seed) {
    const int parts[] = {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 12};
    Rng rng{seed * 2654435761u | 1};
    std::string layout;
    for (int part : parts) {
        uint32_t blocks = b.partitionSize(part) / b.blockSize();
        std::set<uint32_t> bad;
        uint32_t want = rng.next() % 4;
        while (bad.size() < want) {
            uint32_t pick = rng.next();
            uint32_t at = pick % 4 == 0 ? 0 : pick % 4 == 1 ? blocks - 1 : (pick >> 4) % blocks;
            bad.insert(at);
            if (pick % 4 == 2 && at + 1 < blocks && bad.size() < want)
                bad.insert(at + 1);   // a run of two
        }
        for (uint32_t blk : bad) {
            b.markBad(part, blk);
            layout += " mtd" + std::to_string(part) + ":" + std::to_string(blk);
        }
    }
    return layout;
}

// The first `blocks` good blocks of each partition hold the same bytes.
bool goodBlocksEqual(const testboard::TestBoard& b, int src, int dst, uint32_t blocks) {
    auto good = [&](int part) {
        std::vector<uint32_t> list, bad = b.badBlocks(part);
        std::set<uint32_t> isBad(bad.begin(), bad.end());
        for (uint32_t blk = 0; list.size() < blocks; ++blk)
            if (!isBad.count(blk))
                list.push_back(blk);
        return list;
    };
    std::vector<uint32_t> s = good(src), d = good(dst);
    for (uint32_t i = 0; i < blocks; ++i)
        if (b.read(src, uint64_t(s[i]) * b.blockSize(), b.blockSize()) !=
            b.read(dst, uint64_t(d[i]) * b.blockSize(), b.blockSize()))
            return false;
    return true;
}

::testing::AssertionResult recordRun(testboard::TestBoard& b, const std::string& option, const Record& loaded) {
    const Record next = afterCommand(option, &loaded, lowSums(b));
    const ::testing::AssertionResult ended = testboard::ExitedWith(b.run({"tolvane", option}), 0);
    if (!ended)
        return ::testing::AssertionFailure() << "tolvane " << option << ": " << ended.message();
    TableView v = viewTables(b);
    if (!v.valid[0] || !v.valid[1] || v.rec[0] != next || v.rec[1] != next || !v.flagValid)
        return ::testing::AssertionFailure() << "tolvane " << option << " left " << describe(v) << ", wanted " << hex(next);
    return testboard::NoViolations(b);
}

void checkLayout(uint32_t seed) {
    testboard::TestBoard b;
    const std::string layout = markLayout(b, seed);
    SCOPED_TRACE("CRASH_SEED=" + std::to_string(seed) + " bad blocks:" + layout);
    const int image = static_cast<int>(seed % 4);
    const bool lowDamaged = seed % 2 == 1;
    MaintainBoard m = buildMaintain(b, kTableStates[0], {}, {}, seed);
    // The flag of one of the exploration's classes, in the first good block.
    const State start = startStates()[(seed % kFlagClasses) * kPairClasses].state;   // a copy: the list is a temporary
    putPage(b, kFlag, start.flag.data(), start.flag.size());

    Record current = m.record;
    for (const char* option : {"-o", "-l", "-h"}) {
        ASSERT_TRUE(recordRun(b, option, current));
        current = viewTables(b).rec[0];
    }
    // -h stored the low set's sums, which are the images' own: the pass must
    // now repair exactly the image damaged below.
    m.record = current;
    const Image& im = kImages[image];
    b.load(lowDamaged ? im.low : im.high, testboard::pattern(5 * b.pageSize(), seed + 7));
    ASSERT_TRUE(maintainConverges(b, m));
    EXPECT_TRUE(goodBlocksEqual(b, lowDamaged ? im.high : im.low, lowDamaged ? im.low : im.high, im.blocks))
        << im.name << " is not a block-for-block copy over the good blocks";
    EXPECT_TRUE(testboard::NoViolations(b));
}

TEST(BadBlockLayouts, CommandsKeepRecordsAndRepairMapsGoodBlocks) {
    if (const char* one = std::getenv("CRASH_SEED")) {
        checkLayout(static_cast<uint32_t>(std::strtoul(one, nullptr, 10)));
        return;
    }
    Tally tally{"bad-block layouts"};
    for (uint32_t seed = 1; seed <= (fullSweep() ? kFullLayouts : kLayouts); ++seed) {
        const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
        const int before = result->total_part_count();
        checkLayout(seed);
        tally.count(result->total_part_count() == before);
    }
}

}  // namespace
