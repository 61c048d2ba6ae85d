// Fuzz target: the boot-set manager's command line. The input is split at
// zero bytes into the arguments after the program name. The parser must
// either return one of the four commands or end the process with status 0
// (no command); the first argument alone decides when it is one of the
// spellings of an option, and a line with no option selects no command.
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exit_trap.h"
#include "tolvane.h"

namespace {

constexpr size_t kMaxArguments = 8;
const int kNoCommand = -1;

struct Spelling {
    const char* text;
    int command;
};
// Every way to ask for a command or a test option as a whole argument.
const Spelling kSpellings[] = {
    {"-l", tableLowPartitionUpdating}, {"--low", tableLowPartitionUpdating},
    {"-h", tableHighPartitionUpdating}, {"--high", tableHighPartitionUpdating},
    {"-m", tableMaintain},              {"--miantain", tableMaintain},
    {"-o", tableOk},                    {"--ok", tableOk},
    {"-a", kNoCommand},                 {"--aaa", kNoCommand},
    {"-j", kNoCommand},                 {"--jjj", kNoCommand},
};

[[noreturn]] void fail(const char* what, const std::vector<std::string>& args) {
    std::fprintf(stderr, "command line: %s:", what);
    for (const std::string& a : args)
        std::fprintf(stderr, " '%s'", a.c_str());
    std::fputc('\n', stderr);
    std::abort();
}

// The command the first argument alone decides, or -2 when it does not.
int decidedByFirst(const std::vector<std::string>& args) {
    if (args.empty())
        return kNoCommand;
    for (const Spelling& s : kSpellings)
        if (args[0] == s.text)
            return s.command;
    return -2;
}

bool anyOption(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.size() > 1 && a[0] == '-')
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    const char* text = reinterpret_cast<const char*>(data);
    for (size_t at = 0; at < size && args.size() < kMaxArguments;) {
        const void* zero = std::memchr(text + at, 0, size - at);
        size_t end = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : size;
        args.emplace_back(text + at, end - at);
        at = end + 1;
    }
    // The parser may permute argv, so it gets copies.
    std::vector<std::vector<char>> storage;
    std::vector<char*> argv;
    storage.push_back({'t', 'o', 'l', 'v', 'a', 'n', 'e', '\0'});
    for (const std::string& a : args)
        storage.emplace_back(a.c_str(), a.c_str() + a.size() + 1);
    for (std::vector<char>& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    optind = 0;   // a fresh scan, as in a new process
    fuzztrap::Trap trap;
    int command = kNoCommand;
    const bool returned = FUZZ_RUN_TRAPPED(trap, {
        command = process_options(static_cast<int>(argv.size() - 1), argv.data());
    });
    if (!returned && trap.status != 0)
        fail("ended with a status other than 0", args);
    if (returned && command != tableLowPartitionUpdating && command != tableHighPartitionUpdating &&
        command != tableMaintain && command != tableOk)
        fail("returned something that is not a command", args);
    const int decided = decidedByFirst(args);
    if (decided != -2 && (returned ? command : kNoCommand) != decided)
        fail("the first argument did not decide", args);
    if (!anyOption(args) && returned)
        fail("a command without an option", args);
    return 0;
}
