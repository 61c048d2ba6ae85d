// Preloaded into quillet by a test: system() runs its command with BusyBox's
// ash instead of /bin/sh, as on a board whose shell is BusyBox, and says so
// on standard error.
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>

extern char** environ;

extern "C" int system(const char* command) {
    fprintf(stderr, "system() through BusyBox ash: %s\n", command);
    char ash[] = "ash", dashC[] = "-c";
    char* argv[] = {ash, dashC, const_cast<char*>(command), nullptr};
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, "/bin/busybox", nullptr, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) < 0)
        return -1;
    return status;
}
