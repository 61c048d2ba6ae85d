// Every call site of the flash calls failed in turn, one run each: the
// program reports the failure, ends with status 0 or 1 without crashing,
// never leaves the flag naming a copy without a complete record, and one
// clean run afterwards repairs whatever the failure left.
#include <gtest/gtest.h>

#include <nand_board.h>

#include "crash_support.h"

using namespace crash;

namespace {

constexpr uint32_t kSeed = 99;

struct CallFault {
    int part;
    nandemu::Op op;
    uint32_t occurrence;
    std::string error;
    std::string faultText() const {
        return "fail=mtd" + std::to_string(part) + ":" + nandemu::opName(op) + ":" + std::to_string(occurrence) +
               ":" + error;
    }
};

// The texts a failure of each call is reported with.
std::vector<std::string> reports(nandemu::Op op) {
    switch (op) {
    case nandemu::Op::Open: return {"open flash: "};
    case nandemu::Op::GetInfo: return {"MEMGETINFO: "};
    case nandemu::Op::GetBadBlock:
        return {"ioctl(MEMGETBADBLOCK): ", "MTD get bad block failed", "Bad block check not available"};
    case nandemu::Op::Erase: return {"MTD Erase failure"};
    case nandemu::Op::Read: return {"pread: "};
    case nandemu::Op::Write: return {"pwrite: "};
    default: return {};
    }
}

std::vector<std::string> errorsFor(nandemu::Op op) {
    switch (op) {
    case nandemu::Op::GetBadBlock: return {"EIO", "EOPNOTSUPP"};
    case nandemu::Op::Read:
    case nandemu::Op::Write: return {"EIO", "short"};
    default: return {"EIO"};
    }
}

// The kernel and application partitions are only ever read whole by the
// same page loop as the S1L partitions, and each run over them is costly:
// outside a full sweep their calls are left to the others.
// The U-Boot pair repeats the call sites of the S1L pair in the same way.
bool repeatsCallSites(int part) {
    return part == 2 || part == 5 || part == 8 || part == 12 || part == 1 || part == 7;
}

// The calls a clean run makes, per partition and kind: the first, the last
// and (in a full sweep) one seeded call between them fail with the first
// error, the first and the last with the others.
std::vector<CallFault> callSites(const testboard::Board& b, uint32_t seed) {
    nandemu::Board nb(b.dir());
    std::vector<CallFault> faults;
    for (int part = 0; part < nb.partitions(); ++part) {
        if (!fullSweep() && repeatsCallSites(part))
            continue;
        for (int o = 0; o < static_cast<int>(nandemu::Op::Count); ++o) {
            nandemu::Op op = static_cast<nandemu::Op>(o);
            uint32_t calls = nb.shared()->occurrences[part][o];
            if (calls == 0)
                continue;
            std::vector<std::string> errors = errorsFor(op);
            std::vector<uint32_t> at{1, calls};
            seed = seed * 1103515245u + 12345u;
            if (calls > 2 && fullSweep())
                at.push_back(2 + (seed >> 8) % (calls - 2));
            for (size_t e = 0; e < errors.size(); ++e)
                for (size_t k = 0; k < at.size(); ++k)
                    if ((k == 0 || at[k] != at[0]) && (e == 0 || k < 2))
                        faults.push_back({part, op, at[k], errors[e]});
        }
    }
    return faults;
}

bool faultHit(const testboard::Board& b) {
    for (const testboard::LogEntry& e : b.log())
        if (e.op == "fault")
            return true;
    return false;
}

std::string reported(const CallFault& f, const testboard::RunResult& r) {
    for (const std::string& text : reports(f.op))
        if (r.err.find(text) != std::string::npos)
            return "";
    return "no report of the failure in: ..." + r.err.substr(r.err.size() > 600 ? r.err.size() - 600 : 0);
}

Record oldRecord() {
    Fields f;
    f.sums[0] = 0xabc, f.sums[1] = 0xdef0, f.sums[2] = 0x12345, f.sums[3] = 0x6789a;
    return makeRecord(f);
}

class FailingCall : public ::testing::TestWithParam<const char*> {};

TEST_P(FailingCall, RecordCommandReportsAndKeepsRecord) {
    const std::string option = GetParam();
    const Record old = oldRecord();
    auto build = [&](testboard::Board& b) {
        loadImages(b, kSeed);
        putTables(b, kTableStates[0], old);
    };
    testboard::Board clean;
    build(clean);
    const Record next = afterCommand(option, &old, lowSums(clean));
    clean.setFaults({});
    ASSERT_TRUE(clean.run({"tolvane", option}).exited(0));
    std::vector<CallFault> faults = callSites(clean, kSeed);
    ASSERT_FALSE(faults.empty());

    Tally tally{"tolvane " + option + " with one failing call"};
    for (const CallFault& f : faults) {
        testboard::Board b;
        build(b);
        b.setFaults({f.faultText()});
        testboard::RunResult r = b.run({"tolvane", option});
        std::string why;
        if (!faultHit(b))
            why = "the fault was not reached";
        else if (r.signal != 0 || (r.status != 0 && r.status != 1))
            why = "status " + std::to_string(r.status) + " signal " + std::to_string(r.signal);
        else
            why = reported(f, r);
        if (why.empty()) {
            TableView v = viewTables(b);
            if (!v.valid[v.named - 1])
                why = "flag names a copy without a complete record: " + describe(v);
        }
        if (why.empty()) {
            b.clearFaults();
            testboard::RunResult again = b.run({"tolvane", option});
            TableView v = viewTables(b);
            if (!again.exited(0) || v.rec[0] != next || v.rec[1] != next || !v.valid[0])
                why = "clean rerun left " + describe(v) + ", wanted both " + hex(next);
        }
        tally.count(why.empty());
        EXPECT_EQ("", why) << "tolvane " << option << " with " << f.faultText();
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, FailingCall, ::testing::Values("-l", "-h", "-o"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string o = info.param;
                             return std::string(o == "-l" ? "Low" : o == "-h" ? "High" : "Ok");
                         });

// The maintenance pass with one table copy and two images to repair, so that
// every kind of call it makes is failed somewhere.
TEST(FailingCallMaintain, PassReportsKeepsTableAndConvergesAfter) {
    const TableState& state = kTableStates[3];   // flag 1, copy 2 broken
    auto build = [&](testboard::Board& b) { return buildMaintain(b, state, {1}, {0}, kSeed); };
    testboard::Board clean;
    build(clean);
    clean.setFaults({});
    ASSERT_TRUE(clean.run({"tolvane", "-m"}).exited(0));
    std::vector<CallFault> faults = callSites(clean, kSeed + 1);
    ASSERT_FALSE(faults.empty());

    Tally tally{"tolvane -m with one failing call"};
    for (const CallFault& f : faults) {
        testboard::Board b;
        MaintainBoard m = build(b);
        b.setFaults({f.faultText()});
        testboard::RunResult r = b.run({"tolvane", "-m"});
        std::string why;
        if (!faultHit(b))
            why = "the fault was not reached";
        else if (r.signal != 0 || (r.status != 0 && r.status != 1))
            why = "status " + std::to_string(r.status) + " signal " + std::to_string(r.signal);
        else
            why = reported(f, r);
        if (why.empty())
            why = tableKept(b, m.record);
        if (why.empty()) {
            b.clearFaults();
            // A copy goes on over a block it could not erase.
            why = maintainConverges(b, m, f.op == nandemu::Op::Erase);
        }
        tally.count(why.empty());
        EXPECT_EQ("", why) << "tolvane -m with " << f.faultText();
    }
}

}  // namespace
