// flash_eraseall: erases every good block of an MTD partition. A block that
// fails to erase is reported and the others are still erased, so one worn
// block does not leave the rest of the partition unerased.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "mtdtool.h"

using namespace mtdtool;

namespace {

constexpr const char* kUsage = "flash_eraseall DEV";

int parseOptions(int argc, char** argv, const char** device) {
    int opt = getopt(argc, argv, ":");
    if (opt != -1)
        return optionError(opt, kUsage);
    if (optind >= argc)
        return usageError(kUsage, "no device");
    if (optind + 1 < argc)
        return usageError(kUsage, "unexpected argument '%s'", argv[optind + 1]);
    *device = argv[optind];
    return 0;
}

bool eraseAll(const char* path) {
    Device dev;
    if (!openDevice(path, O_RDWR, &dev))
        return false;
    bool eraseFailed = false;
    Walk walk;
    walk.onUnknown = OnUnknown::Skip;   // a block that may be bad is left alone
    bool ok = forEachGoodBlock(&dev, dev.info.size, [&](uint32_t start, uint32_t length) {
        erase_info_user erase{start, length};
        if (ioctl(dev.fd, MEMERASE, &erase) != 0) {
            perrorMsg("MEMERASE at 0x%08x of '%s'", start, path);
            eraseFailed = true;
        }
        return Visit::Next;
    }, walk);
    closeDevice(&dev);
    return ok && !eraseFailed;
}

}  // namespace

int main(int argc, char** argv) {
    start("flash_eraseall");
    const char* device = nullptr;
    if (int status = parseOptions(argc, argv, &device))
        return status;
    return eraseAll(device) ? 0 : kExitFailure;
}
