// nandwrite: writes a file from offset 0 into an erased MTD partition, page
// by page, skipping bad blocks; with -p the last page is padded with 0xFF,
// the value of erased flash.
#include <cinttypes>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mtdtool.h"

using namespace mtdtool;

namespace {

constexpr const char* kUsage = "nandwrite [-p] DEV FILE";
constexpr uint8_t kErased = 0xFF;

struct Options {
    bool pad = false;             // -p
    const char* device = nullptr;
    const char* file = nullptr;
};

int parseOptions(int argc, char** argv, Options* o) {
    int opt;
    while ((opt = getopt(argc, argv, ":p")) != -1) {
        if (opt != 'p')
            return optionError(opt, kUsage);
        o->pad = true;
    }
    if (argc - optind < 2)
        return usageError(kUsage, argc == optind ? "no device and no file" : "no file");
    if (argc - optind > 2)
        return usageError(kUsage, "unexpected argument '%s'", argv[optind + 2]);
    o->device = argv[optind];
    o->file = argv[optind + 1];
    return 0;
}

// For a regular file, refuses before anything is written what cannot be
// written whole: a last part page without -p, more pages than good blocks.
bool fits(Device* dev, int in, const Options& o) {
    struct stat st;
    if (fstat(in, &st) != 0) {
        perrorMsg("can't stat '%s'", o.file);
        return false;
    }
    if (!S_ISREG(st.st_mode))
        return true;   // a stream: the write loop finds out
    const uint32_t pageSize = dev->info.writesize;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size % pageSize != 0 && !o.pad) {
        errorMsg("'%s' is not a multiple of the page size %u; use -p to pad it", o.file, pageSize);
        return false;
    }
    const uint64_t needed = (size + pageSize - 1) / pageSize * pageSize;
    uint64_t capacity = 0;
    Walk quiet;
    quiet.reportBad = false;
    bool ok = forEachGoodBlock(dev, dev->info.size, [&](uint32_t, uint32_t length) {
        capacity += length;
        return capacity >= needed ? Visit::Stop : Visit::Next;
    }, quiet);
    if (ok && capacity < needed) {
        errorMsg("'%s' (%" PRIu64 " bytes) does not fit into the good blocks of '%s' (%" PRIu64 " bytes)",
                 o.file, size, dev->path, capacity);
        return false;
    }
    return ok;
}

bool writePages(Device* dev, int in, const Options& o) {
    const uint32_t pageSize = dev->info.writesize;
    std::vector<uint8_t> page(pageSize);
    bool endOfFile = false;
    bool ok = forEachGoodPage(dev, dev->info.size, [&](uint32_t at) {
        long n = readFull(in, page.data(), pageSize);
        if (n < 0) {
            perrorMsg("read from '%s'", o.file);
            return Visit::Fail;
        }
        if (n == 0) {
            endOfFile = true;
            return Visit::Stop;
        }
        if (static_cast<uint32_t>(n) < pageSize) {
            if (!o.pad) {
                errorMsg("'%s' ends inside a page; use -p to pad it", o.file);
                return Visit::Fail;
            }
            memset(page.data() + n, kErased, pageSize - static_cast<uint32_t>(n));
        }
        ssize_t w = pwrite(dev->fd, page.data(), pageSize, at);
        if (w < 0) {
            perrorMsg("write at 0x%08x of '%s'", at, dev->path);
            return Visit::Fail;
        }
        if (static_cast<size_t>(w) != pageSize) {
            errorMsg("short write at 0x%08x of '%s' (%zd of %u bytes)", at, dev->path, w, pageSize);
            return Visit::Fail;
        }
        return Visit::Next;
    });
    if (ok && !endOfFile) {
        // The partition is full; all is well only if the file is too.
        long n = readFull(in, page.data(), 1);
        if (n < 0) {
            perrorMsg("read from '%s'", o.file);
            ok = false;
        } else if (n > 0) {
            errorMsg("'%s' does not fit into the good blocks of '%s'", o.file, dev->path);
            ok = false;
        }
    }
    return ok;
}

bool writeFile(const Options& o) {
    Device dev;
    if (!openDevice(o.device, O_RDWR, &dev))
        return false;
    bool ok = false;
    int in = open(o.file, O_RDONLY);
    if (in < 0) {
        perrorMsg("can't open '%s'", o.file);
    } else {
        ok = fits(&dev, in, o) && writePages(&dev, in, o);
        close(in);
    }
    closeDevice(&dev);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    start("nandwrite");
    Options o;
    if (int status = parseOptions(argc, argv, &o))
        return status;
    return writeFile(o) ? 0 : kExitFailure;
}
