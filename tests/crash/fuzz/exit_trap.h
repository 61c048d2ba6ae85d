// The programs end the process with exit() where a command cannot go on.
// Inside a fuzz run that would end the whole fuzzer, so the fuzz targets are
// linked with exit() wrapped: while a trap is armed, exit() jumps back to it
// with the status instead of ending the process.
#pragma once

#include <csetjmp>

namespace fuzztrap {

struct Trap {
    sigjmp_buf where;
    int status = 0;
};

// The trap that exit() returns to, or nullptr when exit() ends the process.
void arm(Trap* trap);
bool isArmed();
[[noreturn]] void leave(int status);

}  // namespace fuzztrap

// Runs `body`; true when it returned, false when it called exit(), with the
// status in trap.status. `body` must not hold objects with destructors on
// the frames that exit() unwinds past (the jump does not run them).
#define FUZZ_RUN_TRAPPED(trap, body)          \
    ([&]() -> bool {                          \
        if (sigsetjmp((trap).where, 0) != 0) { \
            fuzztrap::arm(nullptr);           \
            return false;                     \
        }                                     \
        fuzztrap::arm(&(trap));               \
        body;                                 \
        fuzztrap::arm(nullptr);               \
        return true;                          \
    }())
