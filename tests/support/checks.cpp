#include "checks.h"

namespace testboard {

::testing::AssertionResult NoViolations(const TestBoard& b) {
    std::string lines;
    size_t n = 0;
    for (const LogEntry& e : b.log())
        if (e.op == "violation") {
            ++n;
            lines += "\n  " + e.prog + " " + e.dev + " at " + std::to_string(e.offset) + ": " + e.extra;
        }
    if (n == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << n << " NAND rule violation(s):" << lines;
}

::testing::AssertionResult ExitedWith(const RunResult& r, int status) {
    if (r.exited(status))
        return ::testing::AssertionSuccess();
    constexpr size_t kErrTail = 600;
    const std::string tail = r.err.size() > kErrTail ? "..." + r.err.substr(r.err.size() - kErrTail) : r.err;
    auto f = ::testing::AssertionFailure();
    if (r.signal)
        f << "killed by signal " << r.signal;
    else
        f << "exit status " << r.status;
    return f << ", wanted status " << status << "; standard error:\n" << tail;
}

}  // namespace testboard
