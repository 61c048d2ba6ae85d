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
#include <optional>
#include <string>
#include <vector>

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

}  // namespace crash
