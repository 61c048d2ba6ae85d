#include "crash_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nand_board.h>
#include <records.h>

namespace crash {

const std::vector<TableState> kTableStates = {
    {"Flag1", FlagState::Names1, CopyState::Valid, CopyState::Valid},
    {"Flag2", FlagState::Names2, CopyState::Valid, CopyState::Valid},
    {"FlagInvalid", FlagState::Invalid, CopyState::Valid, CopyState::Valid},
    {"Flag1OtherCopyInvalid", FlagState::Names1, CopyState::Valid, CopyState::Invalid},
    {"Flag1NamedCopyInvalid", FlagState::Names1, CopyState::Invalid, CopyState::Valid},
    {"Flag2NamedCopyInvalid", FlagState::Names2, CopyState::Valid, CopyState::Invalid},
    {"BothCopiesInvalid", FlagState::Names1, CopyState::Invalid, CopyState::Invalid},
};

const char* const kForms[3] = {"before", "torn", "after"};

void putPage(testboard::TestBoard& b, int part, const uint8_t* bytes, size_t n) {
    std::vector<uint8_t> page(b.pageSize(), 0xFF);
    std::memcpy(page.data(), bytes, n);
    b.load(part, page);
}

void putRecord(testboard::TestBoard& b, int part, const Record& r) { putPage(b, part, r.data(), r.size()); }

void putFlag(testboard::TestBoard& b, FlagState f) {
    uint8_t flag[12];
    put32(flag, f == FlagState::Invalid ? 0x12345678 : kFlagMarker);
    put32(flag + 4, f == FlagState::Names2 ? 2 : 1);
    put32(flag + 8, kFlagMarker);
    putPage(b, kFlag, flag, sizeof flag);
}

void putTables(testboard::TestBoard& b, const TableState& s, const Record& old) {
    Record broken = old;
    broken[4] ^= 0x40;   // complete but failing its checksum
    putRecord(b, kTable1, s.copy1 == CopyState::Valid ? old : broken);
    putRecord(b, kTable2, s.copy2 == CopyState::Valid ? old : broken);
    putFlag(b, s.flag);
}

TableView viewTables(const testboard::TestBoard& b) {
    nandemu::Board nb(b.dir());
    TableView v;
    const int parts[2] = {kTable1, kTable2};
    for (int i = 0; i < 2; ++i) {
        nandemu::TableRecord t = nandemu::readTable(nb, parts[i]);
        v.valid[i] = t.valid();
        if (!t.readable)
            continue;
        // Rebuild the bytes from the independent decoder's fields.
        put32(&v.rec[i][0], t.marker);
        put32(&v.rec[i][4], t.addSum);
        v.rec[i][8] = static_cast<uint8_t>(t.length);
        v.rec[i][9] = static_cast<uint8_t>(t.length >> 8);
        v.rec[i][10] = t.high;
        v.rec[i][11] = t.low;
        for (int k = 0; k < 4; ++k)
            put32(&v.rec[i][12 + 4 * k], t.sums[k]);
    }
    nandemu::FlagRecord f = nandemu::readFlag(nb);
    v.flagValid = f.valid();
    v.named = f.valid() ? f.names() : 1;
    return v;
}

const Record* TableView::reader() const {
    int first = named - 1;
    if (valid[first])
        return &rec[first];
    return valid[1 - first] ? &rec[1 - first] : nullptr;
}

int namedCopy(const testboard::TestBoard& b) { return viewTables(b).named; }

bool partSum(const testboard::TestBoard& b, int mtd, uint32_t blocks, uint32_t* sum) {
    nandemu::Board nb(b.dir());
    return nandemu::partitionSum(nb, mtd, blocks, sum);
}

std::array<uint32_t, 4> lowSums(const testboard::TestBoard& b) {
    std::array<uint32_t, 4> s{};
    for (size_t i = 0; i < kImages.size(); ++i)
        partSum(b, kImages[i].low, kImages[i].blocks, &s[i]);
    return s;
}

Record afterCommand(const std::string& option, const Record* loaded, const std::array<uint32_t, 4>& low) {
    Fields f;
    if (loaded) {
        f = fieldsOf(*loaded);
    } else {
        for (int i = 0; i < 4; ++i)
            f.sums[i] = low[i];
    }
    if (option == "-l") {
        f.high = 0, f.low = 1;
    } else if (option == "-h") {
        f.high = 1, f.low = 0;
        for (int i = 0; i < 4; ++i)
            f.sums[i] = low[i];
    } else {
        f.high = 0, f.low = 0;
    }
    return makeRecord(f);
}

void loadImages(testboard::TestBoard& b, uint32_t seed) {
    for (size_t i = 0; i < kImages.size(); ++i) {
        std::vector<uint8_t> image = testboard::pattern(3 * b.pageSize() + 100 * i, seed + static_cast<uint32_t>(i));
        b.load(kImages[i].low, image);
        b.load(kImages[i].high, image);
    }
}

std::string hex(const Record& r) { return hexBytes(r.data(), r.size()); }

std::string describe(const TableView& v) {
    std::string s;
    for (int i = 0; i < 2; ++i)
        s += "copy" + std::to_string(i + 1) + (v.valid[i] ? " valid " : " invalid ") + hex(v.rec[i]) + "; ";
    s += std::string("flag ") + (v.flagValid ? "valid" : "invalid") + " names " + std::to_string(v.named);
    return s;
}

std::string cutSpec(uint64_t n, const char* form, uint32_t seed) {
    return "cut=" + std::to_string(n) + ":" + form + ":" + std::to_string(seed);
}

Tally::~Tally() { std::printf("[crash] %s: %d tried, %d held\n", what.c_str(), tried, held); }

}  // namespace crash

namespace crash {

MaintainBoard buildMaintain(testboard::TestBoard& b, const TableState& s, const std::vector<int>& damageLow,
                            const std::vector<int>& damageHigh, uint32_t seed) {
    MaintainBoard m;
    loadImages(b, seed);
    m.sums = lowSums(b);
    Fields f;
    for (int i = 0; i < 4; ++i)
        f.sums[i] = m.sums[i];
    m.record = makeRecord(f);
    putTables(b, s, m.record);
    for (int i : damageLow)
        b.load(kImages[i].low, testboard::pattern(2 * b.pageSize(), seed + 1000 + i));
    for (int i : damageHigh)
        b.load(kImages[i].high, testboard::pattern(2 * b.pageSize(), seed + 2000 + i));
    for (int i : damageLow)
        for (int k : damageHigh)
            if (i == k)
                m.repairable[i] = false;
    return m;
}

::testing::AssertionResult cutHappened(const testboard::RunResult& r) {
    if (r.signal != 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the power cut did not happen: exit status " << r.status;
}

::testing::AssertionResult tableKept(const testboard::TestBoard& b, const Record& record) {
    TableView v = viewTables(b);
    if (!v.valid[0] && !v.valid[1])
        return ::testing::AssertionFailure() << "no valid table copy: " << describe(v);
    for (int i = 0; i < 2; ++i)
        if (v.valid[i] && v.rec[i] != record)
            return ::testing::AssertionFailure() << "a table copy changed: " << describe(v);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult converged(const testboard::TestBoard& b, const MaintainBoard& m) {
    TableView v = viewTables(b);
    if (!v.valid[0] || !v.valid[1] || v.rec[0] != m.record || v.rec[1] != m.record)
        return ::testing::AssertionFailure() << "table copies differ: " << describe(v);
    for (size_t i = 0; i < kImages.size(); ++i) {
        if (!m.repairable[i])
            continue;
        uint32_t low = 0, high = 0;
        bool ok = partSum(b, kImages[i].low, kImages[i].blocks, &low) &&
                  partSum(b, kImages[i].high, kImages[i].blocks, &high);
        if (!ok || low != m.sums[i] || high != m.sums[i])
            return ::testing::AssertionFailure() << kImages[i].name << " differs: low " << low << " high " << high
                                                 << " record " << m.sums[i];
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult maintainConverges(testboard::TestBoard& b, const MaintainBoard& m, bool violationsAllowed) {
    ::testing::AssertionResult why = ::testing::AssertionSuccess();
    for (int run = 1; run <= 2; ++run) {
        const ::testing::AssertionResult ended = testboard::ExitedWith(b.run({"tolvane", "-m"}), 0);
        if (!ended)
            return ::testing::AssertionFailure() << "maintenance run " << run << ": " << ended.message();
        const ::testing::AssertionResult kept = tableKept(b, m.record);
        if (!kept)
            return kept;
        why = converged(b, m);
        if (why)
            return violationsAllowed ? ::testing::AssertionSuccess() : testboard::NoViolations(b);
    }
    return ::testing::AssertionFailure() << "not converged after two runs: " << why.message();
}

std::vector<uint64_t> sample(const std::vector<uint64_t>& points, size_t randoms, uint32_t seed) {
    std::vector<uint64_t> out;
    if (points.empty())
        return out;
    out.push_back(points.front());
    if (points.size() > 1)
        out.push_back(points[1]);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t k = 0; k < randoms && points.size() > 3; ++k) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        out.push_back(points[2 + x % (points.size() - 3)]);
    }
    out.push_back(points.back());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

bool fullSweep() {
    const char* mode = std::getenv("CRASH_SWEEP");
    return mode && std::string(mode) == "full";
}

std::vector<uint64_t> sweepPoints(const std::vector<uint64_t>& points, size_t randoms, uint32_t seed) {
    return fullSweep() ? points : sample(points, randoms, seed);
}

bool triesForm(size_t k, int f) { return fullSweep() || static_cast<int>(k % 3) == f; }

}  // namespace crash
