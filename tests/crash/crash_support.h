// Shared pieces of the crash tier: board states built straight on the flash,
// an independent reading of the records, and the invariants every
// interrupted or failing run must leave behind.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_board.h"
#include "checks.h"
#include "flash_layout.h"

namespace crash {

using testboard::Fields;
using testboard::Image;
using testboard::kFlag;
using testboard::kFlagMarker;
using testboard::kImages;
using testboard::kTable1;
using testboard::kTable2;
using testboard::kTableMarker;
using testboard::Record;
using testboard::fieldsOf;
using testboard::get32;
using testboard::hexBytes;
using testboard::makeRecord;
using testboard::put32;
using testboard::verifies;

// A starting state of the two copies and the flag.
enum class FlagState { Names1, Names2, Invalid };
enum class CopyState { Valid, Invalid };
struct TableState {
    const char* name;
    FlagState flag;
    CopyState copy1, copy2;
};
extern const std::vector<TableState> kTableStates;

// Writes the state onto the board; both valid copies hold `old`.
void putTables(testboard::TestBoard& b, const TableState& s, const Record& old);
void putFlag(testboard::TestBoard& b, FlagState f);
void putRecord(testboard::TestBoard& b, int part, const Record& r);
// One page holding `bytes`, 0xFF after them, in the partition's first good block.
void putPage(testboard::TestBoard& b, int part, const uint8_t* bytes, size_t n);
// The copy number a reader starts with (an invalid flag is rewritten to 1).
int namedCopy(const testboard::TestBoard& b);

// What is on the flash, read without the program.
struct TableView {
    bool valid[2] = {false, false};
    Record rec[2] = {};
    bool flagValid = false;
    int named = 1;
    const Record* reader() const;            // the named copy if it verifies, else the other
};
TableView viewTables(const testboard::TestBoard& b);

// The sums of the low set, as a reader of good blocks computes them.
std::array<uint32_t, 4> lowSums(const testboard::TestBoard& b);
bool partSum(const testboard::TestBoard& b, int mtd, uint32_t blocks, uint32_t* sum);

// The record a command leaves when it starts from `loaded`
// (nullptr: no copy verified, the record is rebuilt from the low set).
Record afterCommand(const std::string& option, const Record* loaded, const std::array<uint32_t, 4>& low);

// Distinct small images in the low set; the high set a copy of them.
void loadImages(testboard::TestBoard& b, uint32_t seed);

std::string hex(const Record& r);
std::string describe(const TableView& v);

// "cut=N:FORM:SEED"
std::string cutSpec(uint64_t n, const char* form, uint32_t seed);
extern const char* const kForms[3];

// Tally of cut points or faults tried and held, printed at the end of a sweep.
struct Tally {
    std::string what;
    int tried = 0, held = 0;
    void count(bool ok) { ++tried; held += ok; }
    ~Tally();
};

}  // namespace crash

namespace crash {

// A board for the maintenance pass: both sets hold the same images, the
// record's sums are theirs, and the named images are then damaged in one set.
struct MaintainBoard {
    std::array<uint32_t, 4> sums{};
    Record record{};
    bool repairable[4] = {true, true, true, true};   // matched in at least one set
};
MaintainBoard buildMaintain(testboard::TestBoard& b, const TableState& s, const std::vector<int>& damageLow,
                            const std::vector<int>& damageHigh, uint32_t seed);

// The run was ended by the power cut it was given.
::testing::AssertionResult cutHappened(const testboard::RunResult& r);
// A valid table copy exists and every valid copy holds `record`.
::testing::AssertionResult tableKept(const testboard::TestBoard& b, const Record& record);
// Both copies hold the record and each repairable image matches in both sets.
::testing::AssertionResult converged(const testboard::TestBoard& b, const MaintainBoard& m);
// Runs the pass (uninterrupted) at most twice, until the board converged
// (with no NAND rule broken, unless a failed erase made the pass write over
// a block it could not erase).
::testing::AssertionResult maintainConverges(testboard::TestBoard& b, const MaintainBoard& m, bool violationsAllowed = false);

// Up to `randoms` seeded points strictly between the first and the last of `points`,
// plus the first, the second and the last.
std::vector<uint64_t> sample(const std::vector<uint64_t>& points, size_t randoms, uint32_t seed);

// CRASH_SWEEP=full: every sweep tries every point it knows of. Otherwise the
// costly sweeps (each run of the maintenance pass or of the high command reads
// whole image sets) try the seeded sample that keeps the tier within its time.
bool fullSweep();
// Every point in a full sweep, else sample(points, randoms, seed).
std::vector<uint64_t> sweepPoints(const std::vector<uint64_t>& points, size_t randoms, uint32_t seed);
// Whether the k-th point of a costly sweep is tried in form f (0 to 2): every
// form in a full sweep, else one form per point, taken in turn.
bool triesForm(size_t k, int f);

}  // namespace crash
