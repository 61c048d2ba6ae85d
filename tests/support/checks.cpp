#include "checks.h"

#include <stdexcept>

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

Ere::Ere(const std::string& pattern) {
    if (regcomp(&re_, pattern.c_str(), REG_EXTENDED) != 0)
        throw std::invalid_argument("not an extended regular expression: " + pattern);
}

std::vector<std::string> Ere::search(const std::string& text, size_t* start) const {
    std::vector<regmatch_t> m(re_.re_nsub + 1);
    if (regexec(&re_, text.c_str(), m.size(), m.data(), 0) != 0)
        return {};
    std::vector<std::string> out;
    for (const regmatch_t& g : m)
        out.push_back(g.rm_so < 0 ? "" : text.substr(static_cast<size_t>(g.rm_so), static_cast<size_t>(g.rm_eo - g.rm_so)));
    if (start)
        *start = static_cast<size_t>(m[0].rm_so);
    return out;
}

}  // namespace testboard
