// nanddump: copies the page data (no OOB) of the start of an MTD partition
// into a file, leaving bad blocks out: a bad block counts toward the length,
// so it makes the file shorter by the part of it that lies in the range.
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mtdtool.h"

using namespace mtdtool;

namespace {

constexpr const char* kUsage = "nanddump -o -b -f FILE [-l LEN] DEV";

struct Options {
    bool dataOnly = false;        // -o
    bool omitBad = false;         // -b
    const char* file = nullptr;   // -f
    bool haveLength = false;      // -l
    uint64_t length = 0;
    const char* device = nullptr;
};

int parseOptions(int argc, char** argv, Options* o) {
    int opt;
    while ((opt = getopt(argc, argv, ":obf:l:")) != -1) {
        switch (opt) {
        case 'o': o->dataOnly = true; break;
        case 'b': o->omitBad = true; break;
        case 'f': o->file = optarg; break;
        case 'l':
            if (!parseLength(optarg, &o->length))
                return usageError(kUsage, "invalid length '%s'", optarg);
            o->haveLength = true;
            break;
        default: return optionError(opt, kUsage);
        }
    }
    // The one kind of dump there is must be asked for, so a command line
    // written for another nanddump's meaning of -o is not misread.
    if (!o->dataOnly || !o->omitBad)
        return usageError(kUsage, "only data dumps without bad blocks are made: give -o and -b");
    if (!o->file)
        return usageError(kUsage, "no output file (-f FILE)");
    if (optind >= argc)
        return usageError(kUsage, "no device");
    if (optind + 1 < argc)
        return usageError(kUsage, "unexpected argument '%s'", argv[optind + 1]);
    o->device = argv[optind];
    return 0;
}

// The end of the range, with the length rules of the mtd-utils 1.4 nanddump
// whose command line this is: no length or 0 means the whole partition, a
// length past the end stops at the end, and one that ends inside a page
// takes that page whole (1.4 read whole pages until it had passed the end).
uint32_t rangeEnd(const Options& o, const Device& dev) {
    const mtd_info_user& mi = dev.info;
    uint64_t length = o.haveLength ? o.length : 0;
    if (length == 0 || length > mi.size)
        return mi.size;
    return static_cast<uint32_t>((length + mi.writesize - 1) / mi.writesize * mi.writesize);
}

bool dumpPages(Device* dev, uint32_t end, int out, const char* file) {
    const uint32_t pageSize = dev->info.writesize;
    std::vector<uint8_t> page(pageSize);
    return forEachGoodPage(dev, end, [&](uint32_t at) {
        ssize_t n = pread(dev->fd, page.data(), pageSize, at);
        if (n < 0) {
            perrorMsg("read at 0x%08x of '%s'", at, dev->path);
            return Visit::Fail;
        }
        if (static_cast<size_t>(n) != pageSize) {
            errorMsg("short read at 0x%08x of '%s' (%zd of %u bytes)", at, dev->path, n, pageSize);
            return Visit::Fail;
        }
        if (!writeAll(out, page.data(), pageSize)) {
            perrorMsg("write to '%s'", file);
            return Visit::Fail;
        }
        return Visit::Next;
    });
}

bool dump(const Options& o) {
    Device dev;
    if (!openDevice(o.device, O_RDONLY, &dev))
        return false;
    bool ok = false;
    int out = open(o.file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        perrorMsg("can't create '%s'", o.file);
    } else {
        ok = dumpPages(&dev, rangeEnd(o, dev), out, o.file);
        if (close(out) != 0 && ok) {
            perrorMsg("write to '%s'", o.file);
            ok = false;
        }
    }
    closeDevice(&dev);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    start("nanddump");
    Options o;
    if (int status = parseOptions(argc, argv, &o))
        return status;
    if (dump(o))
        return 0;
    // A failed dump leaves no file: a partial one would pass for a dump
    // made short by bad blocks, an old one for this partition's. Only a
    // regular file: FILE may name a device or a pipe.
    struct stat st;
    if (lstat(o.file, &st) == 0 && S_ISREG(st.st_mode))
        unlink(o.file);
    return kExitFailure;
}
