// The state-exploration engine of the crash tier. A state is what the boot
// side reads: the flag's 12 bytes and each table copy's 28 bytes, or the way
// the copy is invalid. From each state every command runs with no fault,
// with a power cut at each mutating operation in each form, and with each
// call site failing; every state a run leaves that was not seen before is a
// start state of the next depth. After every run the invariants below must
// hold; a failure prints a replay id, CRASH_CASE=<state>/<command>/<fault>.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nand_board.h>

#include "crash_support.h"

namespace crash {

enum class CopyKind : uint8_t { Valid, Erased, WrongMarker, WrongChecksum, Unreadable };

struct CopyView {
    CopyKind kind = CopyKind::Erased;
    Record rec{};   // the record when Valid
};

struct State {
    testboard::Flag flag{};
    CopyView copy[2];
    // "FLAGHEX.COPY1.COPY2", a copy as V<hex> or E, M, C, U: parsed back by parseState.
    std::string key() const;
    // The copy the boot side takes (1 or 2): the one the flag names if it
    // verifies, else the other; 0 when neither does. reader() is its record.
    int readerCopy() const;
    std::optional<Record> reader() const;
};
bool parseState(const std::string& key, State* out);

// The named start states: every class of flag crossed with every class of copy pair.
struct NamedState {
    std::string name;
    State state;
};
// Flag class by flag class, each crossed with the copy-pair classes in turn.
std::vector<NamedState> startStates();
constexpr size_t kFlagClasses = 8, kPairClasses = 11;

// One run's fault: none, "cut=N:FORM:SEED" or "fail=mtdN:OP:OCC:ERROR".
struct Step {
    std::string command;   // "-l", "-h", "-o", "-m"
    std::string fault;     // empty: no fault
};

struct Outcome {
    std::string failure;   // empty when every invariant held
    std::string unsafe;    // a start state no run can keep safe, and why
    State after;
    bool cut = false;      // the run was ended by a power cut
};

struct Tallies {
    size_t states = 0, runs = 0, held = 0, unsafe = 0;
    std::vector<std::string> failures;   // replay ids with the reason
};

// A board held open between the runs of a sweep, for the sweep's own reads
// and writes of the flash (a run changes no bad block or geometry it caches),
// with the last run's log and call counts. The records live in the first
// block of their partitions (a sweep's board has no bad block to move them).
class BoardHolder {
public:
    BoardHolder();
    testboard::TestBoard board;
    std::unique_ptr<nandemu::Board> flash;
    std::vector<testboard::LogEntry> log;   // of the last run
    uint32_t occurrences[nandemu::kMaxPartitions][static_cast<int>(nandemu::Op::Count)] = {};

    testboard::RunResult run(const std::vector<std::string>& faults, const std::vector<std::string>& argv);
    // Puts the state on the flash; returns the fault lines it needs. An
    // invalid copy is realised from `filler`'s bytes; an unreadable copy
    // holds them valid where no read gets at them.
    std::vector<std::string> realize(const State& s, const Record& filler);
    // What the boot side reads now, and the copies' bytes. An unreadable
    // copy stays so until the last run erases or programs it.
    State readBack(const State& before, Record raw[2]) const;
    void putPage(int part, const uint8_t* bytes, size_t n);   // the first block reset, then one page
    static bool touched(int part, const std::vector<testboard::LogEntry>& entries);   // erased, programmed or cut
    size_t violations() const;   // NAND rule violations in the last run
    size_t mutations() const;    // its erases and page programs
};

class Explorer {
public:
    Explorer();
    ~Explorer();

    // Runs one step from one state and checks it.
    Outcome run(const State& s, const Step& step);
    // Every step from the state: the fault-free run first, then its cut points
    // and call sites (those on image partitions only with `imageSites`).
    // States the runs leave go to `found`, with how they were reached
    // ("none", "cut" or "fail") in `how`.
    void explore(const State& s, const std::string& command, bool imageSites, Tallies& t,
                 std::map<std::string, State>* found, std::map<std::string, std::string>* how);

private:
    struct Rig;   // the engine's board, its images and the last run's log
    Rig* b_;
};

std::string replayId(const State& s, const Step& step);

// The update rehearsal (rehearsal.cpp): from a state holding release 1's
// record, tolvane-update to release 2 under `fault`, the reboot's boot
// script, a second maintenance pass and tolvane-update again, each run
// checked. Its replay ids name the command kUpdate.
constexpr char kUpdate[] = "update";
constexpr char kBootCut[] = "+boot:";   // "CUT+boot:CUT": the boot script's maintenance pass cut too
class Rehearsal {
public:
    Rehearsal();
    ~Rehearsal();
    // The first invariant that broke, empty when every one held.
    std::string run(const State& s, const std::string& fault);
    size_t bootOps() const;   // the erases and page programs of the last boot's maintenance pass
    State start() const;   // release 1's record in both copies, the flag naming copy 1
    // The erases and page programs of the last run's update, before the reboot.
    const std::vector<testboard::LogEntry>& updateOps() const;

private:
    struct Rig;   // the board, both releases and the reset between runs
    Rig* r_;
};

}  // namespace crash
