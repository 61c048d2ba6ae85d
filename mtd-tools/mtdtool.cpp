#include "mtdtool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace mtdtool {

const char* applet = "mtdtool";

namespace {

void vmessage(const char* fmt, va_list ap, const char* tail, const char* tail2) {
    // One fprintf per line, so the line reaches the stream in one piece.
    char text[512];
    vsnprintf(text, sizeof text, fmt, ap);
    fprintf(stderr, "%s: %s%s%s\n", applet, text, tail, tail2);
}

}  // namespace

void start(const char* name) {
    applet = name;
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

void errorMsg(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage(fmt, ap, "", "");
    va_end(ap);
}

void perrorMsg(const char* fmt, ...) {
    const char* why = strerror(errno);
    va_list ap;
    va_start(ap, fmt);
    vmessage(fmt, ap, ": ", why);
    va_end(ap);
}

int usageError(const char* usage, const char* fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    errorMsg("%s (usage: %s)", text, usage);
    return kExitUsage;
}

int optionError(int opt, const char* usage) {
    if (opt == ':')
        return usageError(usage, "option -%c needs an argument", optopt);
    if (isprint(optopt))
        return usageError(usage, "unknown option -%c", optopt);
    return usageError(usage, "unknown option");
}

bool parseLength(const char* text, uint64_t* value) {
    int base = 10;
    const char* digits = text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text + 2;
    }
    // strtoull alone would take blanks, signs and a bare "0x".
    if (!isxdigit(static_cast<unsigned char>(digits[0])))
        return false;
    char* stop = nullptr;
    errno = 0;
    unsigned long long v = strtoull(digits, &stop, base);
    if (errno != 0 || *stop != '\0')
        return false;
    *value = v;
    return true;
}

bool openDevice(const char* path, int flags, Device* dev) {
    dev->path = path;
    dev->noBadBlocks = false;
    dev->fd = open(path, flags);
    if (dev->fd < 0) {
        perrorMsg("can't open '%s'", path);
        return false;
    }
    if (ioctl(dev->fd, MEMGETINFO, &dev->info) != 0) {
        if (errno == ENOTTY)
            errorMsg("'%s' is not an MTD device", path);
        else
            perrorMsg("MEMGETINFO on '%s'", path);
        closeDevice(dev);
        return false;
    }
    const mtd_info_user& mi = dev->info;
    if (mi.writesize == 0 || mi.erasesize == 0 || mi.erasesize % mi.writesize != 0 ||
        mi.size % mi.erasesize != 0) {
        errorMsg("'%s': unsupported geometry (size 0x%x, block 0x%x, page 0x%x)", path,
                 mi.size, mi.erasesize, mi.writesize);
        closeDevice(dev);
        return false;
    }
    return true;
}

void closeDevice(Device* dev) {
    if (dev->fd >= 0)
        close(dev->fd);
    dev->fd = -1;
}

BlockState blockState(Device* dev, uint32_t offset) {
    if (dev->noBadBlocks)
        return BlockState::Good;
    loff_t at = offset - offset % dev->info.erasesize;
    int ret = ioctl(dev->fd, MEMGETBADBLOCK, &at);
    if (ret == 0)
        return BlockState::Good;
    if (ret > 0)
        return BlockState::Bad;
    if (errno == EOPNOTSUPP) {
        // No bad-block support (NOR, RAM): no block is ever marked bad.
        dev->noBadBlocks = true;
        return BlockState::Good;
    }
    perrorMsg("MEMGETBADBLOCK at 0x%08x on '%s'", static_cast<uint32_t>(at), dev->path);
    return BlockState::Unknown;
}

bool forEachGoodBlock(Device* dev, uint32_t end, const BlockVisitor& visit, const Walk& walk) {
    const uint32_t blockSize = dev->info.erasesize;
    bool ok = true;
    // 64-bit so that stepping past a range ending near 4 GiB cannot wrap.
    for (uint64_t start = 0; start < end; start += blockSize) {
        const uint32_t at = static_cast<uint32_t>(start);
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(blockSize, end - start));
        switch (blockState(dev, at)) {
        case BlockState::Unknown:
            if (walk.onUnknown == OnUnknown::Fail)
                return false;
            ok = false;
            continue;
        case BlockState::Bad:
            if (walk.reportBad)
                errorMsg("skipping bad block at 0x%08x", at);
            continue;
        case BlockState::Good:
            break;
        }
        const Visit next = visit(at, length);
        if (next == Visit::Fail)
            return false;
        if (next == Visit::Stop)
            break;
    }
    return ok;
}

bool forEachGoodPage(Device* dev, uint32_t end, const PageVisitor& visit, const Walk& walk) {
    const uint32_t pageSize = dev->info.writesize;
    return forEachGoodBlock(dev, end, [&](uint32_t start, uint32_t length) {
        for (uint64_t at = start; at < uint64_t{start} + length; at += pageSize) {
            const Visit next = visit(static_cast<uint32_t>(at));
            if (next != Visit::Next)
                return next;
        }
        return Visit::Next;
    }, walk);
}

long readFull(int fd, uint8_t* buf, uint32_t length) {
    uint32_t got = 0;
    while (got < length) {
        ssize_t n = read(fd, buf + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    return static_cast<long>(got);
}

bool writeAll(int fd, const uint8_t* buf, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, buf + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;   // no progress: would loop for ever
        if (n <= 0)
            return false;
        done += static_cast<uint32_t>(n);
    }
    return true;
}

}  // namespace mtdtool
