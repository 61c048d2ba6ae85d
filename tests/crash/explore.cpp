#include "explore.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <nand_board.h>
#include <records.h>
#include <tolvane_boot.h>

namespace crash {

namespace {

constexpr uint32_t kImageSeed = 31;
constexpr uint32_t kEnginePage = 2048, kEngineBlock = 131072;   // the default board's geometry
// The high S1L holds other bytes, so every maintenance pass copies an image
// too; the other images match in both sets.
const int kDamagedImage = kImages[testboard::kS1L].high;
// Cut points in a run of like operations (an image copy's page programs, the
// erased fill pages after a record) that are tried outside a full sweep:
// the first, the second, the last and this many seeded ones.
constexpr size_t kLikeRandoms = 1;

const char* const kCopyCode = "VEMCU";

bool unhex(const std::string& text, uint8_t* out, size_t n) {
    if (text.size() != 2 * n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char* end = nullptr;
        std::string cell = text.substr(2 * i, 2);
        out[i] = static_cast<uint8_t>(std::strtoul(cell.c_str(), &end, 16));
        if (*end)
            return false;
    }
    return true;
}

bool isRecordPart(int part) { return part == kFlag || part == kTable1 || part == kTable2; }

// The U-Boot, kernel and application partitions are read and copied by the
// same page loops as the S1L pair, at many times the cost: outside a full
// sweep their calls are left to the S1L pair's.
bool repeatsCallSites(int part) {
    for (const Image& im : kImages)
        if (&im != &kImages[testboard::kS1L] && (part == im.low || part == im.high))
            return true;
    return false;
}
bool isCut(const std::string& fault) { return fault.rfind("cut=", 0) == 0; }

CopyKind classify(const uint8_t* bytes) {
    Record r;
    std::memcpy(r.data(), bytes, r.size());
    if (verifies(r))
        return CopyKind::Valid;
    bool erased = true;
    for (uint8_t c : r)
        erased = erased && c == 0xFF;
    if (erased)
        return CopyKind::Erased;
    return get32(&r[0]) == kTableMarker ? CopyKind::WrongChecksum : CopyKind::WrongMarker;
}

// The partition and operation of a "fail=mtdN:OP:..." fault; -1 otherwise.
int failingPart(const std::string& fault, std::string* op) {
    int part = -1;
    char name[16] = "";
    if (std::sscanf(fault.c_str(), "fail=mtd%d:%15[a-z]", &part, name) != 2)
        return -1;
    *op = name;
    return part;
}

std::vector<std::string> errorsFor(nandemu::Op op) {
    switch (op) {
    case nandemu::Op::GetBadBlock: return {"EIO", "EOPNOTSUPP"};
    case nandemu::Op::Read:
    case nandemu::Op::Write: return {"EIO", "short"};
    default: return {"EIO"};
    }
}

}  // namespace

std::string State::key() const {
    std::string k = hexBytes(flag.data(), flag.size());
    for (const CopyView& c : copy) {
        k += '.';
        k += kCopyCode[static_cast<int>(c.kind)];
        if (c.kind == CopyKind::Valid)
            k += hexBytes(c.rec.data(), c.rec.size());
    }
    return k;
}

bool parseState(const std::string& key, State* out) {
    size_t a = key.find('.'), b = key.find('.', a + 1);
    if (a == std::string::npos || b == std::string::npos || !unhex(key.substr(0, a), out->flag.data(), 12))
        return false;
    const std::string parts[2] = {key.substr(a + 1, b - a - 1), key.substr(b + 1)};
    for (int i = 0; i < 2; ++i) {
        const char* at = parts[i].empty() ? nullptr : std::strchr(kCopyCode, parts[i][0]);
        if (!at)
            return false;
        out->copy[i].kind = static_cast<CopyKind>(at - kCopyCode);
        const bool valid = out->copy[i].kind == CopyKind::Valid;
        if (valid ? !unhex(parts[i].substr(1), out->copy[i].rec.data(), 28) : parts[i].size() != 1)
            return false;
    }
    return true;
}

int State::readerCopy() const {
    const bool flagValid = get32(&flag[0]) == kFlagMarker;
    const int named = flagValid && get32(&flag[4]) == 2 ? 2 : 1;
    for (int c : {named, 3 - named})
        if (copy[c - 1].kind == CopyKind::Valid)
            return c;
    return 0;
}

std::optional<Record> State::reader() const {
    const int c = readerCopy();
    return c ? std::optional<Record>(copy[c - 1].rec) : std::nullopt;
}

std::string replayId(const State& s, const Step& step) {
    return "CRASH_CASE=" + s.key() + "/" + step.command + "/" + (step.fault.empty() ? "none" : step.fault);
}

// ---- the start states ----

namespace {

Record recordA(const std::array<uint32_t, 4>& low) {
    Fields f;
    f.low = 1;
    for (int i = 0; i < 4; ++i)
        f.sums[i] = low[i];
    return makeRecord(f);
}

Record recordB() {
    Fields f;
    f.high = 1;
    f.sums[0] = 0x1111, f.sums[1] = 0x22222, f.sums[2] = 0x333333, f.sums[3] = 0x4444444;
    return makeRecord(f);
}

// The low set's sums on the engine's board, from the images it loads: each
// image's bytes, then erased bytes to the end of the blocks summed.
std::array<uint32_t, 4> engineLowSums() {
    std::array<uint32_t, 4> sums{};
    for (size_t i = 0; i < kImages.size(); ++i) {
        const uint32_t length = kEnginePage * 3 + 100 * static_cast<uint32_t>(i);
        const uint32_t erased = kImages[i].blocks * kEngineBlock - length;
        sums[i] = testboard::byteSum(testboard::pattern(length, kImageSeed + static_cast<uint32_t>(i))) + 0xFFu * erased;
    }
    return sums;
}

}  // namespace

std::vector<NamedState> startStates() {
    const uint32_t M = kFlagMarker;
    const std::pair<const char*, std::array<uint8_t, 12>> flags[] = {
        {"FlagErased", testboard::makeFlag(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)},
        {"FlagWrongMarker", testboard::makeFlag(1, 0x12345678, M)},
        {"Ref0", testboard::makeFlag(0, M, M)},
        {"Ref1", testboard::makeFlag(1, M, M)},
        {"Ref2", testboard::makeFlag(2, M, M)},
        {"Ref3", testboard::makeFlag(3, M, M)},
        {"RefFFFFFFFF", testboard::makeFlag(0xFFFFFFFF, M, M)},
        {"Ref2OtherEnd", testboard::makeFlag(2, M, 0x01020304)},
    };
    // Record A holds the sums of the engine's images (so a pass finds the low
    // set matching and repairs the high S1L), record B sums that match none.
    const Record a = recordA(engineLowSums()), b = recordB();
    const CopyView va{CopyKind::Valid, a}, vb{CopyKind::Valid, b};
    std::vector<std::pair<std::string, std::array<CopyView, 2>>> pairs = {
        {"BothEqual", {va, va}},
        {"BothDiffer", {va, vb}},
        {"BothInvalid", {CopyView{CopyKind::Erased, {}}, CopyView{CopyKind::WrongChecksum, {}}}},
    };
    const std::pair<const char*, CopyKind> kinds[] = {{"Erased", CopyKind::Erased},
                                                      {"WrongMarker", CopyKind::WrongMarker},
                                                      {"WrongChecksum", CopyKind::WrongChecksum},
                                                      {"Unreadable", CopyKind::Unreadable}};
    for (int bad = 0; bad < 2; ++bad)
        for (const auto& [name, kind] : kinds) {
            std::array<CopyView, 2> p{va, va};
            p[bad] = CopyView{kind, {}};
            pairs.push_back({std::string("Copy") + std::to_string(bad + 1) + name, p});
        }
    std::vector<NamedState> out;
    for (const auto& [fname, fbytes] : flags)
        for (const auto& [pname, p] : pairs) {
            State s;
            s.flag = fbytes;
            s.copy[0] = p[0];
            s.copy[1] = p[1];
            out.push_back({std::string(fname) + "_" + pname, s});
        }
    return out;
}

// ---- the board holder and the engine's board ----

BoardHolder::BoardHolder() : flash(std::make_unique<nandemu::Board>(board.dir())) { board.serve("tolvane", 2); }

void BoardHolder::putPage(int part, const uint8_t* bytes, size_t n) {
    std::vector<uint8_t> page(kEnginePage, 0xFF);
    std::memcpy(page.data(), bytes, n);
    flash->eraseBlock(part, 0);
    flash->programPages(part, 0, page.data(), page.size());
}

std::vector<std::string> BoardHolder::realize(const State& s, const Record& filler) {
    putPage(kFlag, s.flag.data(), s.flag.size());
    std::vector<std::string> faults;
    for (int i = 0; i < 2; ++i) {
        const int part = i == 0 ? kTable1 : kTable2;
        const CopyView& c = s.copy[i];
        if (c.kind == CopyKind::Erased) {
            flash->eraseBlock(part, 0);
            continue;
        }
        Record r = c.kind == CopyKind::Valid ? c.rec : filler;
        if (c.kind == CopyKind::WrongMarker)
            r[0] ^= 0x41;
        if (c.kind == CopyKind::WrongChecksum)
            r[4] ^= 0x40;
        putPage(part, r.data(), r.size());
        if (c.kind == CopyKind::Unreadable)
            faults.push_back("fail=mtd" + std::to_string(part) + ":read:*:EIO");
    }
    return faults;
}

bool BoardHolder::touched(int part, const std::vector<testboard::LogEntry>& entries) {
    const std::string dev = "mtd" + std::to_string(part);
    for (const testboard::LogEntry& e : entries)
        if (e.dev == dev && (e.op == "erase" || e.op == "program" || e.op == "powercut"))
            return true;
    return false;
}

State BoardHolder::readBack(const State& before, Record raw[2]) const {
    State s;
    flash->read(kFlag, 0, s.flag.data(), s.flag.size());
    for (int i = 0; i < 2; ++i) {
        const int part = i == 0 ? kTable1 : kTable2;
        Record& bytes = raw[i];
        flash->read(part, 0, bytes.data(), bytes.size());
        s.copy[i].kind = classify(bytes.data());
        if (s.copy[i].kind == CopyKind::Valid)
            s.copy[i].rec = bytes;
        if (before.copy[i].kind == CopyKind::Unreadable && !touched(part, log))
            s.copy[i] = CopyView{CopyKind::Unreadable, {}};
    }
    return s;
}

testboard::RunResult BoardHolder::run(const std::vector<std::string>& faults, const std::vector<std::string>& argv) {
    flash->setFaults(faults);
    board.clearLog();
    testboard::RunResult r = board.run(argv);
    log = board.log();
    std::memcpy(occurrences, flash->shared()->occurrences, sizeof occurrences);
    return r;
}

size_t BoardHolder::violations() const {
    size_t n = 0;
    for (const testboard::LogEntry& e : log)
        n += e.op == "violation";
    return n;
}

size_t BoardHolder::mutations() const {
    size_t n = 0;
    for (const testboard::LogEntry& e : log)
        n += e.op == "erase" || e.op == "program";
    return n;
}

struct Explorer::Rig : BoardHolder {
    std::array<std::vector<uint8_t>, 16> images;   // what each image partition holds
    std::array<uint32_t, 4> low{};
    Record a{};
    // The log and call counts of the step itself, before any check ran more.
    std::vector<testboard::LogEntry> stepLog;
    uint32_t stepCalls[nandemu::kMaxPartitions][static_cast<int>(nandemu::Op::Count)] = {};

    Rig() {
        loadImages(board, kImageSeed);
        for (size_t i = 0; i < kImages.size(); ++i)
            images[kImages[i].low] = images[kImages[i].high] =
                testboard::pattern(3 * board.pageSize() + 100 * i, kImageSeed + static_cast<uint32_t>(i));
        images[kDamagedImage] = testboard::pattern(2 * board.pageSize(), kImageSeed + 1000);
        board.load(kDamagedImage, images[kDamagedImage]);
        low = lowSums(board);
        if (low != engineLowSums())
            throw std::runtime_error("the engine's images do not sum as its start states expect");
        a = recordA(low);
    }

    // Puts back every image the step (or a check after it) changed.
    void restoreImages() {
        for (const Image& im : kImages)
            for (int part : {im.low, im.high})
                if (touched(part, log) || touched(part, stepLog))
                    nandemu::loadImage(*flash, part, images[part]);
    }

    testboard::RunResult runOn(const std::vector<std::string>& faults, const std::string& command) {
        return run(faults, {"tolvane", command});
    }

    // Whether the last run erased or programmed a record partition past its
    // first block, where the rig would not reset it.
    bool beyondFirstBlock() const {
        for (const testboard::LogEntry& e : log)
            if ((e.op == "erase" || e.op == "program") && isRecordPart(std::atoi(e.dev.c_str() + 3)) &&
                e.offset >= kEngineBlock)
                return true;
        return false;
    }
};

Explorer::Explorer() : b_(new Rig) {}
Explorer::~Explorer() { delete b_; }

namespace {

// Whether `r` is a record the command may have been writing: the command
// applied to a copy it could have loaded (or to a record rebuilt from the low
// set). A failing image read leaves that image's sum as it was.
bool isNewRecord(const Record& r, const std::string& command, const State& s, const std::array<uint32_t, 4>& low,
                 bool imageFault) {
    std::vector<const Record*> loads = {nullptr};
    for (const CopyView& c : s.copy)
        if (c.kind == CopyKind::Valid)
            loads.push_back(&c.rec);
    const Fields got = fieldsOf(r);
    for (const Record* loaded : loads) {
        const Fields want = fieldsOf(afterCommand(command, loaded, low));
        const bool scanned = command == "-h" || loaded == nullptr;
        bool same = got.high == want.high && got.low == want.low && got.length == want.length;
        for (int i = 0; i < 4 && same; ++i) {
            const uint32_t kept = loaded ? fieldsOf(*loaded).sums[i] : 0;
            same = got.sums[i] == want.sums[i] || (imageFault && scanned && got.sums[i] == kept);
        }
        if (same && verifies(r))
            return true;
    }
    return false;
}

// The boot loader's reader on the pages read back decodes each copy as the
// engine classified it and takes the copy, the sums and the set the engine's
// own reader takes: the set the record does not mark as being updated, the
// low set when it marks neither, none when it marks both.
std::string bootReaderDisagrees(const State& s, const Record raw[2]) {
    static const tolvane_copy_state kStates[] = {TOLVANE_VALID, TOLVANE_ERASED, TOLVANE_WRONG_MARKER,
                                                 TOLVANE_WRONG_CHECKSUM, TOLVANE_UNREADABLE};
    const bool unreadable[2] = {s.copy[0].kind == CopyKind::Unreadable, s.copy[1].kind == CopyKind::Unreadable};
    tolvane_view v;
    tolvane_read(s.flag.data(), unreadable[0] ? nullptr : raw[0].data(), unreadable[1] ? nullptr : raw[1].data(), &v);
    for (int i = 0; i < 2; ++i)
        if (v.copies[i].state != kStates[static_cast<int>(s.copy[i].kind)])
            return "the boot loader's reader finds copy " + std::to_string(i + 1) + " " +
                   tolvane_state_text(v.copies[i].state);
    const int copy = s.readerCopy();
    const Fields f = copy ? fieldsOf(s.copy[copy - 1].rec) : Fields{};
    const int set = !copy || (f.high && f.low) ? 0 : f.low ? 2 : 1;
    if (v.reader.copy != copy || v.reader.set != set ||
        (copy && !std::equal(f.sums.begin(), f.sums.end(), v.reader.record->sums)))
        return "the boot loader's reader takes copy " + std::to_string(v.reader.copy) + " and set " +
               std::to_string(v.reader.set) + ", the engine's copy " + std::to_string(copy) + " and set " +
               std::to_string(set);
    return "";
}

}  // namespace

Outcome Explorer::run(const State& s, const Step& step) {
    Rig& b = *b_;
    std::vector<std::string> faults = b.realize(s, b.a);
    if (!step.fault.empty())
        faults.insert(faults.begin(), step.fault);
    testboard::RunResult r = b.runOn(faults, step.command);
    b.stepLog = b.log;
    std::memcpy(b.stepCalls, b.occurrences, sizeof b.stepCalls);
    Outcome o;
    Record raw[2];
    o.after = b.readBack(s, raw);
    o.cut = r.signal == SIGKILL && isCut(step.fault);
    const bool record = step.command != "-m";
    std::string failOp;
    const int failPart = failingPart(step.fault, &failOp);
    const bool imageFault = failPart >= 0 && !isRecordPart(failPart);
    const std::optional<Record> before = s.reader(), after = o.after.reader();
    auto fail = [&](const std::string& why) {
        if (o.failure.empty())
            o.failure = why + "; before " + s.key() + ", after " + o.after.key() +
                        ", status " + std::to_string(r.status) + " signal " + std::to_string(r.signal);
    };

    // How the run ended.
    if (isCut(step.fault)) {
        if (!o.cut)
            fail("the power cut did not end the run");
    } else if (r.signal != 0) {
        fail("killed by signal " + std::to_string(r.signal));
    } else if (r.status != 0 && r.status != 1) {
        fail("exit status " + std::to_string(r.status));
    }

    // What a reader takes: the record from before or the one being written.
    const bool isNew = after && record && isNewRecord(*after, step.command, s, b.low, imageFault);
    // A pass that could not read the named copy repairs it from the other,
    // whose record the reader then takes: the pass writes only records it read.
    const bool copied = after && !record && !step.fault.empty() && isRecordPart(failPart) &&
                        ((s.copy[0].kind == CopyKind::Valid && *after == s.copy[0].rec) ||
                         (s.copy[1].kind == CopyKind::Valid && *after == s.copy[1].rec));
    if (after && !(before && *after == *before) && !isNew && !copied)
        fail("the reader takes a record that is neither the old nor the new one");
    if (!after && before)
        fail("no copy holds a complete record");
    if (!after && !before && (isCut(step.fault) || !step.fault.empty()))
        o.unsafe = "no copy verified before the run, and it was stopped before storing one";

    const std::string boot = bootReaderDisagrees(o.after, raw);
    if (!boot.empty())
        fail(boot);

    // A record command that exits 0 stored its new record somewhere.
    if (record && r.exited(0)) {
        bool stored = false;
        for (const CopyView& c : o.after.copy)
            stored = stored || (c.kind == CopyKind::Valid && isNewRecord(c.rec, step.command, s, b.low, imageFault));
        if (!stored)
            fail("exit status 0 with the new record in neither copy");
    }

    // A fault-free run finishes the job.
    if (step.fault.empty() && record) {
        const Record want = afterCommand(step.command, before ? &*before : nullptr, b.low);
        const bool flagOk = get32(&o.after.flag[0]) == kFlagMarker &&
                            (get32(&o.after.flag[4]) == 1 || get32(&o.after.flag[4]) == 2);
        if (!r.exited(0) || !flagOk || o.after.copy[0].kind != CopyKind::Valid ||
            o.after.copy[1].kind != CopyKind::Valid || o.after.copy[0].rec != want || o.after.copy[1].rec != want)
            fail("a fault-free run did not leave both copies holding " + hex(want) + " and a flag naming one");
    }
    if (step.fault.empty() && !record) {
        if (!before) {
            if (!r.exited(1))
                fail("a pass with no valid copy must end with status 1");
        } else if (!r.exited(0) || o.after.copy[0].kind != CopyKind::Valid ||
                   o.after.copy[1].kind != CopyKind::Valid || o.after.copy[0].rec != o.after.copy[1].rec) {
            fail("a fault-free pass did not leave both copies valid and equal");
        } else {
            // Converged: a second pass finds nothing to do.
            testboard::RunResult again = b.runOn({}, "-m");
            if (!again.exited(0) || b.mutations() != 0)
                fail("a second pass changed the flash again");
        }
    }

    if (b.beyondFirstBlock())
        fail("a record partition was written past its first block");
    if (b.violations() != 0 && failOp != "erase")
        fail("NAND rule violations: " + std::to_string(b.violations()));
    b.restoreImages();
    return o;
}

void Explorer::explore(const State& s, const std::string& command, bool imageSites, Tallies& t,
                       std::map<std::string, State>* found, std::map<std::string, std::string>* how) {
    Rig& b = *b_;
    auto count = [&](const Step& step, const Outcome& o, const char* kind) {
        ++t.runs;
        if (!o.unsafe.empty())
            ++t.unsafe;
        if (o.failure.empty())
            ++t.held;
        else
            t.failures.push_back(replayId(s, step) + ": " + o.failure);
        const std::string key = o.after.key();
        if (found && !found->count(key)) {
            (*found)[key] = o.after;
            (*how)[key] = kind;
        }
    };

    // The fault-free run first: its operations are the cut points, its calls the call sites.
    const Step clean{command, ""};
    count(clean, run(s, clean), "none");
    std::vector<testboard::LogEntry> ops;
    for (const testboard::LogEntry& e : b.stepLog)
        if (e.op == "erase" || e.op == "program")
            ops.push_back(e);
    uint32_t calls[nandemu::kMaxPartitions][static_cast<int>(nandemu::Op::Count)];
    std::memcpy(calls, b.stepCalls, sizeof calls);

    // Cut points: every operation, except that runs of like operations (an
    // image copy's pages, the erased fill after a record page) are sampled
    // outside a full sweep.
    std::map<std::string, std::vector<uint64_t>> like;
    std::vector<uint64_t> points;
    for (size_t n = 0; n < ops.size(); ++n) {
        const testboard::LogEntry& e = ops[n];
        int part = std::atoi(e.dev.c_str() + 3);
        const bool fill = isRecordPart(part) && e.op == "program" && e.offset % b.board.blockSize() != 0;
        if (e.op == "program" && (fill || !isRecordPart(part)))
            like[e.dev].push_back(n + 1);
        else
            points.push_back(n + 1);
    }
    for (const auto& [dev, run] : like)
        for (uint64_t p : fullSweep() ? run : sample(run, kLikeRandoms, static_cast<uint32_t>(run.size())))
            points.push_back(p);
    std::sort(points.begin(), points.end());
    for (size_t k = 0; k < points.size(); ++k)
        for (const char* form : kForms) {
            const uint64_t n = points[k];
            // A cut before an operation leaves the flash as a cut after the
            // one before it: that run is made once, in its "after" form.
            if (std::strcmp(form, "before") == 0 && k > 0 && points[k - 1] == n - 1)
                continue;
            const Step step{command, cutSpec(n, form, static_cast<uint32_t>(n * 31 + 7))};
            count(step, run(s, step), "cut");
        }

    // Call sites: the first and the last call of each kind on each
    // partition, with each error that kind of call can meet.
    for (int part = 0; part < b.board.partitionCount(); ++part)
        for (int op = 0; op < static_cast<int>(nandemu::Op::Count); ++op) {
            const uint32_t n = calls[part][op];
            if (n == 0 || (!imageSites && !isRecordPart(part)) || (!fullSweep() && repeatsCallSites(part)))
                continue;
            for (const std::string& error : errorsFor(static_cast<nandemu::Op>(op)))
                for (uint32_t at : {1u, n}) {
                    const Step step{command, "fail=mtd" + std::to_string(part) + ":" +
                                                 nandemu::opName(static_cast<nandemu::Op>(op)) + ":" +
                                                 std::to_string(at) + ":" + error};
                    count(step, run(s, step), "fail");
                    if (n == 1)
                        break;
                }
        }
}

}  // namespace crash
