// The update rehearsal: tolvane-update from release 1 to release 2, cut by a
// power failure at the operations of its record commands (every one, in
// every form) and of its image writes (a seeded sample, the first and the
// last of each tool call among them); then the reboot as the board makes it
// (the boot script, itself cut in its maintenance pass after the record
// commands' cuts, and started again), a second maintenance pass that must
// find nothing to do and tolvane-update again, which must finish the update.
// A failure prints its replay id, CRASH_CASE=<state>/update/<fault> (the fault
// "CUT+boot:CUT" when the boot was cut too), which ExploreReplay reruns.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <records.h>

#include "explore.h"

namespace crash {

namespace {

constexpr uint32_t kReleasePages[4] = {3, 4, 6, 8};   // release 1's images; release 2's a page longer
constexpr uint32_t kReleaseSeed = 61;
const char* const kFiles[3] = {".bak", ".as1", ".as2"};

std::vector<uint8_t> releaseImage(size_t image, int release, uint32_t page) {
    return testboard::pattern((kReleasePages[image] + static_cast<uint32_t>(release)) * page,
                              kReleaseSeed + 10 * static_cast<uint32_t>(release) + static_cast<uint32_t>(image));
}

// The set (0 low, 1 high) an image partition belongs to; -1 for any other device.
int setOf(const std::string& dev) {
    for (const Image& im : kImages)
        for (int set = 0; set < 2; ++set)
            if (dev == "mtd" + std::to_string(set ? im.high : im.low))
                return set;
    return -1;
}

std::string how(const testboard::RunResult& r) {
    return " (status " + std::to_string(r.status) + ", signal " + std::to_string(r.signal) + "): " + r.err;
}

}  // namespace

struct Rehearsal::Rig : BoardHolder {
    std::array<std::vector<uint8_t>, 4> images[2];   // release 1's and release 2's
    std::array<uint32_t, 4> sums[2]{};
    Record records[2]{};                             // each release's, marking no update
    std::vector<testboard::LogEntry> updateOps;
    size_t bootOps = 0;   // the erases and page programs of the last boot's maintenance pass
    // Since the last reset: the partitions any run changed, the NAND rules broken.
    bool changed[nandemu::kMaxPartitions] = {};
    size_t violations = 0;

    Rig() {
        for (int rel = 0; rel < 2; ++rel) {
            Fields f;
            for (size_t i = 0; i < kImages.size(); ++i) {
                images[rel][i] = releaseImage(i, rel, board.pageSize());
                const uint32_t erased = kImages[i].blocks * board.blockSize() - static_cast<uint32_t>(images[rel][i].size());
                f.sums[i] = sums[rel][i] = testboard::byteSum(images[rel][i]) + 0xFFu * erased;
                board.putBackup(kImages[i].name, images[rel][i], rel == 0 ? "backup" : "update");
            }
            records[rel] = makeRecord(f);
        }
        for (size_t i = 0; i < kImages.size(); ++i)
            for (int part : {kImages[i].low, kImages[i].high})
                nandemu::loadImage(*flash, part, images[0][i]);
    }

    // Release 1 back on every partition the last case changed, the state's
    // records and release 1's backups.
    std::vector<std::string> reset(const State& s) {
        for (size_t i = 0; i < kImages.size(); ++i) {
            for (int part : {kImages[i].low, kImages[i].high})
                if (std::exchange(changed[part], false))
                    nandemu::loadImage(*flash, part, images[0][i]);
            board.putBackup(kImages[i].name, images[0][i]);
            for (const char* ext : kFiles)
                std::remove(board.sdPath(std::string("backup/") + kImages[i].name + ext + ".new").c_str());
        }
        for (int part : {kFlag, kTable1, kTable2})   // realize() puts their pages back
            if (std::exchange(changed[part], false))
                nandemu::loadImage(*flash, part, {});
        violations = 0;
        return realize(s, records[0]);
    }

    testboard::RunResult step(const std::vector<std::string>& faults, const std::vector<std::string>& argv) {
        testboard::RunResult r = run(faults, argv);
        for (const testboard::LogEntry& e : log) {
            const int part = e.dev.rfind("mtd", 0) == 0 ? std::atoi(e.dev.c_str() + 3) : -1;
            if (part >= 0 && part < nandemu::kMaxPartitions && (e.op == "erase" || e.op == "program" || e.op == "powercut"))
                changed[part] = true;
            violations += e.op == "violation";
        }
        return r;
    }

    // Whether every image of the set (0 low, 1 high) sums as `want` says.
    bool setHolds(int set, const std::array<uint32_t, 4>& want) const {
        uint32_t sum = 0;
        for (size_t i = 0; i < kImages.size(); ++i)
            if (!nandemu::partitionSum(*flash, set ? kImages[i].high : kImages[i].low, kImages[i].blocks, &sum) ||
                sum != want[i])
                return false;
        return true;
    }
    // Of the sets: the one the record marks as being updated (0 low, 1 high) cannot boot.
    static bool canBoot(const Record& r, int set) {
        const Fields f = fieldsOf(r);
        return set ? !f.high : !f.low;
    }

    // Right after the cut: a complete record of one release, which the sets it
    // does not mark as being updated hold.
    std::string atPowerOn(const State& before, Record* reader) const {
        Record raw[2];
        const std::optional<Record> r = readBack(before, raw).reader();
        if (!r)
            return "no complete record at power-on";
        *reader = *r;
        const Fields f = fieldsOf(*r);
        if (f.sums != sums[0] && f.sums != sums[1])
            return "at power-on the record " + hex(*r) + " holds sums of neither release";
        for (int set = 0; set < 2; ++set)
            if (canBoot(*r, set) && !setHolds(set, f.sums))
                return std::string("at power-on the ") + (set ? "high" : "low") + " set, which the record " + hex(*r) +
                       " says can boot, does not match it";
        return "";
    }

    // The boot script's run: quillet (every writer but tolvane) left alone
    // each set the record at power-on says can boot.
    std::string quilletWrote(const Record& reader) const {
        for (const testboard::LogEntry& e : log)
            if (e.prog != "tolvane" && (e.op == "erase" || e.op == "program") && setOf(e.dev) >= 0 &&
                canBoot(reader, setOf(e.dev)))
                return e.prog + " wrote " + e.dev + " during the boot, a set the record says can boot";
        return "";
    }

    // Both copies hold `want`, and the flag names one.
    bool recordIs(const Record& want) const {
        Record raw[2];
        const State s = readBack(State{}, raw);
        const uint32_t named = get32(&s.flag[4]);
        return get32(&s.flag[0]) == kFlagMarker && (named == 1 || named == 2) && s.copy[0].kind == CopyKind::Valid &&
               s.copy[1].kind == CopyKind::Valid && s.copy[0].rec == want && s.copy[1].rec == want;
    }

    std::string finished() const {
        if (!setHolds(0, sums[1]) || !setHolds(1, sums[1]))
            return "release 2 is not in both sets";
        if (!recordIs(records[1]))
            return "the record is not release 2's, marking no update, in both copies under a valid flag";
        for (const Image& im : kImages)
            for (const char* ext : kFiles)
                if (board.readSdFile(std::string("backup/") + im.name + ext) !=
                    board.readSdFile(std::string("update/") + im.name + ext))
                    return std::string("/mnt/sd/backup/") + im.name + ext + " is not release 2's";
        return "";
    }
};

Rehearsal::Rehearsal() : r_(new Rig) {}
Rehearsal::~Rehearsal() { delete r_; }

State Rehearsal::start() const {
    State s;
    s.flag = testboard::makeFlag(1, kFlagMarker, kFlagMarker);
    s.copy[0] = s.copy[1] = CopyView{CopyKind::Valid, r_->records[0]};
    return s;
}

const std::vector<testboard::LogEntry>& Rehearsal::updateOps() const { return r_->updateOps; }

size_t Rehearsal::bootOps() const { return r_->bootOps; }

std::string Rehearsal::run(const State& s, const std::string& caseFault) {
    Rig& b = *r_;
    const size_t plus = caseFault.find(kBootCut);
    const std::string fault = caseFault.substr(0, plus);
    const std::string bootFault = plus == std::string::npos ? "" : caseFault.substr(plus + std::strlen(kBootCut));
    std::vector<std::string> faults = b.reset(s);
    if (!fault.empty())
        faults.insert(faults.begin(), fault);
    const bool cut = fault.rfind("cut=", 0) == 0;

    const testboard::RunResult update = b.step(faults, {"tolvane-update"});
    b.updateOps.clear();
    for (const testboard::LogEntry& e : b.log)
        if (e.op == "erase" || e.op == "program")
            b.updateOps.push_back(e);
    if (cut ? update.signal != SIGKILL : !update.exited(0))
        return (cut ? "the power cut did not end the update" : "the update failed") + how(update);
    Record reader{};
    std::string why = b.atPowerOn(s, &reader);
    if (!why.empty())
        return why;

    if (!bootFault.empty()) {
        const testboard::RunResult cutBoot = b.step({bootFault}, {"fwintegrity-boot"});
        if (cutBoot.signal != SIGKILL)
            return "the power cut did not end the boot script" + how(cutBoot);
        if (!(why = b.quilletWrote(reader)).empty() || !(why = b.atPowerOn(s, &reader)).empty())
            return why;
    }
    const testboard::RunResult boot = b.step({}, {"fwintegrity-boot"});
    if (!boot.exited(0))
        return "the boot script failed" + how(boot);
    b.bootOps = 0;
    for (const testboard::LogEntry& e : b.log)
        b.bootOps += e.prog == "tolvane" && (e.op == "erase" || e.op == "program");
    if (!(why = b.quilletWrote(reader)).empty())
        return why;
    Record raw[2];
    const State booted = b.readBack(State{}, raw);
    if (!booted.reader() || !b.recordIs(*booted.reader()))
        return "after the boot script the copies are not equal and valid: " + booted.key();
    const testboard::RunResult again = b.step({}, {"tolvane", "-m"});
    if (!again.exited(0) || b.mutations() != 0)
        return "a second maintenance pass after the boot wrote " + std::to_string(b.mutations()) +
               " operations" + how(again);

    const testboard::RunResult last = b.step({}, {"tolvane-update"});
    if (!last.exited(0))
        return "the update after the reboot failed" + how(last);
    if (fault.empty() && b.mutations() != 0)
        return "an update run over a finished one wrote on the flash";
    if (!(why = b.finished()).empty())
        return why;
    return b.violations ? "NAND rule violations: " + std::to_string(b.violations) : "";
}

}  // namespace crash

namespace {

using namespace crash;

// The update's steps that write on the flash, as tolvane-update numbers them.
struct UpdateStep {
    int number;
    const char* what;
};
void PrintTo(const UpdateStep& s, std::ostream* os) { *os << "step " << s.number; }
const UpdateStep kSteps[] = {{1, "tolvane -l"}, {2, "writing the low set"}, {3, "tolvane -h"},
                             {4, "writing the high set"}, {6, "tolvane -o"}};
constexpr int kRecordSteps[3] = {1, 3, 6};   // the steps of the update's three record commands
// Seeded cut points in each image tool call, beside its first, second and last operation.
constexpr size_t kImageRandoms = 1;

struct Call {
    std::string prog;
    int step = 0;
    std::vector<uint64_t> ops;   // numbers among the update's operations, from 1
};

// The update's tool calls in order (it runs one child at a time), each with its step.
std::vector<Call> callsOf(const std::vector<testboard::LogEntry>& ops, size_t* records) {
    std::vector<Call> calls;
    *records = 0;
    for (size_t n = 0; n < ops.size(); ++n) {
        if (calls.empty() || ops[n].pid != ops[n - 1].pid) {
            const bool record = ops[n].prog == "tolvane";
            const int step = record ? kRecordSteps[std::min<size_t>((*records)++, 2)] : *records == 1 ? 2 : 4;
            calls.push_back({ops[n].prog, step, {}});
        }
        calls.back().ops.push_back(n + 1);
    }
    return calls;
}

// After a cut in a record command, the boot's maintenance pass, when it
// writes, is cut too: at one operation (the first, the second, the last or a
// seeded one, in turn) in one form, in turn; in a full sweep at each of them
// in every form.
void bootCuts(Rehearsal& rh, const State& s, const Step& first, size_t k, size_t& tried, size_t& held) {
    std::vector<uint64_t> all(rh.bootOps());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i + 1;
    if (all.empty())
        return;
    const uint32_t seed = static_cast<uint32_t>(k * 17 + 3);
    const std::vector<uint64_t> points = sweepPoints(all, kImageRandoms, seed);
    for (size_t p = 0; p < points.size(); ++p)
        for (int f = 0; f < 3; ++f) {
            if (!fullSweep() && (p != k % points.size() || f != static_cast<int>(k % 3)))
                continue;
            const Step step{kUpdate, first.fault + kBootCut + cutSpec(points[p], kForms[f], seed + static_cast<uint32_t>(p))};
            const std::string why = rh.run(s, step.fault);
            ++tried, held += why.empty();
            if (!why.empty())
                ADD_FAILURE() << replayId(s, step) << ": " << why;
        }
}

class UpdateRehearsal : public ::testing::TestWithParam<UpdateStep> {};

TEST_P(UpdateRehearsal, EveryCutIsFinishedByTheRebootAndTheNextUpdate) {
    if (std::getenv("CRASH_CASE"))
        GTEST_SKIP() << "replaying one case";
    Rehearsal rh;
    const State s = rh.start();
    ASSERT_EQ("", rh.run(s, "")) << replayId(s, {kUpdate, ""});
    size_t records = 0, calls = 0, ops = 0, tried = 0, held = 0, k = 0, bootTried = 0, bootHeld = 0;
    const std::vector<Call> all = callsOf(rh.updateOps(), &records);
    ASSERT_EQ(3u, records) << "the update ran another number of record commands";
    for (const Call& c : all) {
        if (c.step != GetParam().number)
            continue;
        ++calls, ops += c.ops.size();
        const bool everyForm = c.prog == "tolvane" || fullSweep();
        const std::vector<uint64_t> points =
            c.prog == "tolvane" ? c.ops : sweepPoints(c.ops, kImageRandoms, static_cast<uint32_t>(c.ops.front()));
        for (size_t p = 0; p < points.size(); ++p, ++k)
            for (int f = 0; f < 3; ++f) {
                // Within a call, a cut before an operation leaves the flash as
                // a cut after the one before it: that run is made once.
                const bool same = f == 0 && p > 0 && points[p - 1] + 1 == points[p];
                if (everyForm ? same : !triesForm(k, f))
                    continue;
                const Step step{kUpdate, cutSpec(points[p], kForms[f], static_cast<uint32_t>(points[p] * 31 + 7))};
                const std::string why = rh.run(s, step.fault);
                ++tried, held += why.empty();
                if (!why.empty())
                    ADD_FAILURE() << replayId(s, step) << ": " << why;
                if (c.prog == "tolvane" && why.empty())
                    bootCuts(rh, s, step, k, bootTried, bootHeld);
            }
    }
    std::printf("[rehearsal] step %d (%s): %zu calls, %zu operations, %zu cuts tried, %zu held; "
                "the boot script cut after them %zu times, %zu held\n",
                GetParam().number, GetParam().what, calls, ops, tried, held, bootTried, bootHeld);
    EXPECT_GT(tried, 0u);
}

INSTANTIATE_TEST_SUITE_P(Steps, UpdateRehearsal, ::testing::ValuesIn(kSteps),
                         [](const ::testing::TestParamInfo<UpdateStep>& info) {
                             return "Step" + std::to_string(info.param.number);
                         });

}  // namespace
