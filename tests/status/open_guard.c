/* Preloaded ahead of the emulator: refuses to open an MTD device for
 * anything but reading and says so on standard error, so that a test tells
 * a read-only program from one that only happened not to write. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static int refused(const char* path, int writing) {
    if (!writing || strncmp(path, "/dev/mtd", 8) != 0)
        return 0;
    dprintf(2, "open_guard: %s opened for writing\n", path);
    errno = EACCES;
    return 1;
}

typedef int (*Open)(const char*, int, ...);

/* The mode argument is there only when the flags create a file. */
#define GUARD_OPEN(name)                                                  \
    int name(const char* path, int flags, ...) {                          \
        mode_t mode = 0;                                                  \
        if (flags & (O_CREAT | O_TMPFILE)) {                              \
            va_list ap;                                                   \
            va_start(ap, flags);                                          \
            mode = va_arg(ap, mode_t);                                    \
            va_end(ap);                                                   \
        }                                                                 \
        if (refused(path, (flags & O_ACCMODE) != O_RDONLY))               \
            return -1;                                                    \
        return ((Open)dlsym(RTLD_NEXT, #name))(path, flags, mode);        \
    }
GUARD_OPEN(open)
GUARD_OPEN(open64)
