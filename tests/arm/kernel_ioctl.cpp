// Preloaded after the emulator into the ARM programs of the arm tier only.
// qemu-arm answers an ioctl it cannot translate with ENOSYS; the kernel
// answers a request the file does not implement with ENOTTY, and the
// programs tell "not an MTD device" by that. The emulator handles the MTD
// requests on board devices itself; everything else arrives here.
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>

extern "C" int ioctl(int fd, unsigned long request, ...) {
    using Ioctl = int (*)(int, unsigned long, ...);
    static Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int r = next(fd, request, arg);
    if (r < 0 && errno == ENOSYS)
        errno = ENOTTY;
    return r;
}
