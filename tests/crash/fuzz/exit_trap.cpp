#include "exit_trap.h"

namespace fuzztrap {

namespace {
Trap* armed = nullptr;
}

void arm(Trap* trap) { armed = trap; }

[[noreturn]] void leave(int status) {
    Trap* trap = armed;
    armed = nullptr;
    trap->status = status;
    siglongjmp(trap->where, 1);
}

bool isArmed() { return armed != nullptr; }

}  // namespace fuzztrap

// The linker sends every call of exit() here (-Wl,--wrap=exit), the fuzzer's
// own included; only an armed trap turns it into a jump.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (fuzztrap::isArmed())
        fuzztrap::leave(status);
    __real_exit(status);
}
