// peakmem: a library preloaded beside the emulator. When a process whose
// name is BENCH_PEAK_PROG ends, it appends "NAME KIB" to BENCH_PEAK_FILE:
// the peak resident memory of that process alone (VmHWM), not of the shell
// and the tools it starts, nor of the process it was exec'd from.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr const char kField[] = "VmHWM:";

// The kibibytes of the VmHWM line of /proc/self/status, -1 when missing.
long peakKib() {
    char text[4096];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = 0;
    const char* at = strstr(text, kField);
    return at ? strtol(at + sizeof kField - 1, nullptr, 10) : -1;
}

__attribute__((destructor)) void reportPeak() {
    const char* prog = getenv("BENCH_PEAK_PROG");
    const char* file = getenv("BENCH_PEAK_FILE");
    if (!prog || !file || strcmp(prog, program_invocation_short_name) != 0)
        return;
    int saved = errno;
    int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char line[256];
        int len = snprintf(line, sizeof line, "%s %ld\n", prog, peakKib());
        if (len > 0 && write(fd, line, static_cast<size_t>(len)) < 0) {
            // Nothing to report to: the process is ending. The runner
            // notices the missing line.
        }
        close(fd);
    }
    errno = saved;
}

}  // namespace
