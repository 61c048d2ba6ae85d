// Power cuts during the low, high and ok commands: at every mutating
// operation of the uninterrupted run, in each of the three forms, the record
// a reader finds must be the old or the new one, and one more run must leave
// both copies holding the new record.
#include <gtest/gtest.h>

#include <tuple>

#include "crash_support.h"

using namespace crash;

namespace {

constexpr uint32_t kImageSeed = 77;
// Seeded cut points between the second and the last, where runs scan the low set.
constexpr size_t kScanRandoms = 2;

Record oldRecord() {
    Fields f;
    f.low = 1;
    f.sums[0] = 0x1111, f.sums[1] = 0x22222, f.sums[2] = 0x333333, f.sums[3] = 0x4444444;
    return makeRecord(f);
}

struct Start {
    const TableState& state;
    Record old = oldRecord();
    explicit Start(const TableState& s) : state(s) {}

    void build(testboard::Board& b) const {
        loadImages(b, kImageSeed);
        putTables(b, state, old);
    }
    bool namedCopyValid() const {
        int named = state.flag == FlagState::Names2 ? 2 : 1;
        return (named == 1 ? state.copy1 : state.copy2) == CopyState::Valid;
    }
    bool anyValid() const { return state.copy1 == CopyState::Valid || state.copy2 == CopyState::Valid; }
};

bool isOneOf(const Record* r, const Record& a, const Record& b) { return r && (*r == a || *r == b); }

// Empty when the flash after the cut keeps its promise; otherwise what it held.
std::string afterCut(const testboard::Board& b, const Start& s, const Record& next) {
    TableView v = viewTables(b);
    if (s.namedCopyValid()) {
        const Record& named = v.rec[v.named - 1];
        if (!v.valid[v.named - 1] || !(named == s.old || named == next))
            return "flag names a copy without the old or new record: " + describe(v);
        return "";
    }
    const Record* r = v.reader();
    if (r == nullptr && !s.anyValid())
        return "";   // nothing was on the flash to lose yet
    if (s.anyValid() ? isOneOf(r, s.old, next) : (r && *r == next))
        return "";
    return "no copy holds the old or new record: " + describe(v);
}

std::string afterRerun(const testboard::Board& b, const Start& s, const testboard::RunResult& r,
                       const Record& next) {
    if (!r.exited(0))
        return "rerun status " + std::to_string(r.status) + " signal " + std::to_string(r.signal);
    if (s.namedCopyValid() && r.err.find("tolvane verify ok \n") == std::string::npos)
        return "rerun did not verify the copy the flag names";
    TableView v = viewTables(b);
    if (!v.valid[0] || !v.valid[1] || v.rec[0] != next || v.rec[1] != next || !v.flagValid)
        return "rerun left " + describe(v) + ", wanted both " + hex(next);
    if (b.violations() != 0)
        return "NAND rule violations: " + std::to_string(b.violations());
    return "";
}

class TableCut : public ::testing::TestWithParam<std::tuple<const char*, size_t>> {};

TEST_P(TableCut, EveryCutLeavesOldOrNewRecordAndRerunConverges) {
    const std::string option = std::get<0>(GetParam());
    const Start start(kTableStates[std::get<1>(GetParam())]);

    // The uninterrupted run: how many mutating operations, and what it stores.
    testboard::Board clean;
    start.build(clean);
    const Record next = afterCommand(option, viewTables(clean).reader(), lowSums(clean));
    clean.setFaults({});
    testboard::RunResult r = clean.run({"tolvane", option});
    ASSERT_TRUE(r.exited(0)) << r.err;
    const uint64_t ops = clean.mutatingOps();
    ASSERT_GT(ops, 0u);
    TableView done = viewTables(clean);
    ASSERT_TRUE(done.valid[0] && done.valid[1] && done.rec[0] == next && done.rec[1] == next)
        << describe(done) << " wanted " << hex(next);

    // Every point in every form, except where each run scans the low set
    // (the high command, and a record rebuilt when no copy verifies): there,
    // unless the sweep is full, a seeded sample, each point in one form.
    std::vector<uint64_t> all;
    for (uint64_t n = 1; n <= ops; ++n)
        all.push_back(n);
    const bool scans = option == "-h" || !start.anyValid();
    const std::vector<uint64_t> points =
        scans ? sweepPoints(all, kScanRandoms, static_cast<uint32_t>(std::get<1>(GetParam()))) : all;

    for (int f = 0; f < 3; ++f) {
        const char* form = kForms[f];
        Tally tally{"tolvane " + option + " from " + start.state.name + ", cut " + form};
        for (size_t k = 0; k < points.size(); ++k) {
            if (scans && !triesForm(k, f))
                continue;
            const uint64_t n = points[k];
            testboard::Board b;
            start.build(b);
            b.setFaults({cutSpec(n, form, static_cast<uint32_t>(n * 31 + 7))});
            testboard::RunResult cut = b.run({"tolvane", option});
            std::string why = cut.signal == 0 ? "the power cut did not happen" : afterCut(b, start, next);
            if (why.empty()) {
                b.clearFaults();
                why = afterRerun(b, start, b.run({"tolvane", option}), next);
            }
            tally.count(why.empty());
            EXPECT_EQ("", why) << "tolvane " << option << " from " << start.state.name << ", cut at "
                               << n << " of " << ops << " (" << form << ")";
        }
    }
}

// A record found only in the copy the flag does not name is the one copy a
// cut must not catch half written: the broken copy is rewritten first.
TEST(TableWriteOrder, RecordFromTheUnnamedCopyIsRewrittenLast) {
    for (size_t state : {4, 5}) {   // the named copy does not verify
        const Start start(kTableStates[state]);
        SCOPED_TRACE(start.state.name);
        testboard::Board b;
        start.build(b);
        b.setFaults({});
        ASSERT_TRUE(b.run({"tolvane", "-o"}).exited(0));
        const std::vector<testboard::LogEntry> m = b.mutations();
        ASSERT_FALSE(m.empty());
        const std::string broken = start.state.copy1 == CopyState::Invalid ? "mtd9" : "mtd10";
        const std::string good = broken == "mtd9" ? "mtd10" : "mtd9";
        EXPECT_EQ(broken, m.front().dev);
        EXPECT_EQ(good, m.back().dev);
    }
}

std::string caseName(const ::testing::TestParamInfo<TableCut::ParamType>& info) {
    std::string opt = std::get<0>(info.param);
    const char* cmd = opt == "-l" ? "Low" : opt == "-h" ? "High" : "Ok";
    return std::string(cmd) + "_" + kTableStates[std::get<1>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(Commands, TableCut,
                         ::testing::Combine(::testing::Values("-l", "-h", "-o"),
                                            ::testing::Range<size_t>(0, 7)),
                         caseName);

}  // namespace
