// mtdprobe: a fixed sequence of calls on an MTD character device, every
// answer printed on one line ("case: ret=R errno=E [data]"), so that the
// kernel's MTD layer and the simulated board can be compared line by line.
//
// It expects a 4-block partition whose block 2 is bad (the probe's scenario
// marks it so) and a partition that is the last of the chip.
//
// usage: mtdprobe [DEV [LASTDEV]]    default /dev/mtd4 and /dev/mtd12
//        mtdprobe clear-bit DEV OFFSET BIT
//   clears one bit past the ECC, for the ECC scenario on the kernel (below)
//        mtdprobe digest DEV
//   prints a digest of every byte the device reads (below)
#include <mtd/mtd-user.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kBadBlock = 2;   // marked bad by the probe's scenario
constexpr uint32_t kBlocks = 4;     // blocks of the probe's partition
constexpr size_t kDigestRead = 131072;   // bytes a digest reads at a time (one block)
constexpr unsigned long kUnknownIoctl = _IO('M', 0x7e);

struct Geometry {
    uint32_t size = 0, block = 0, page = 0;
};

Geometry geo;
std::vector<uint8_t> buf;           // one transfer's bytes

const char* errnoName(int err) {
    switch (err) {
    case 0: return "0";
    case EINVAL: return "EINVAL";
    case EIO: return "EIO";
    case ENOSPC: return "ENOSPC";
    case ENOTTY: return "ENOTTY";
    case ENOENT: return "ENOENT";
    case EBADF: return "EBADF";
    case EFAULT: return "EFAULT";
    case EPERM: return "EPERM";
    case EACCES: return "EACCES";
    case EROFS: return "EROFS";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    case EUCLEAN: return "EUCLEAN";
    case EBADMSG: return "EBADMSG";
    case ESPIPE: return "ESPIPE";
    default: {
        static char text[16];
        snprintf(text, sizeof text, "%d", err);
        return text;
    }
    }
}

// FNV-1a: enough to tell two byte strings apart in one short field.
uint32_t digest(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

// Prints one answer. errno is shown only for a failed call, since a
// successful one leaves it undefined; data (a read's bytes) when n > 0.
void report(const char* name, long ret, int err, const uint8_t* data = nullptr, size_t n = 0) {
    printf("%s: ret=%ld errno=%s", name, ret, ret < 0 ? errnoName(err) : "0");
    if (data && n > 0) {
        printf(" n=%zu fnv=%08" PRIx32 " head=", n, digest(data, n));
        for (size_t i = 0; i < 4 && i < n; i++)
            printf("%02x", data[i]);
    }
    printf("\n");
    fflush(stdout);
}

// Bytes that differ from page to page and from seed to seed, and whose AND
// with another seed's bytes differs from both.
void fill(size_t n, uint8_t seed) {
    buf.resize(n);
    for (size_t i = 0; i < n; i++)
        buf[i] = static_cast<uint8_t>((i * 31 + seed * 97 + (i >> 11)) ^ seed);
}

void readAt(int fd, const char* name, uint64_t off, size_t n) {
    buf.assign(n, 0);
    errno = 0;
    ssize_t r = pread(fd, buf.data(), n, static_cast<off_t>(off));
    report(name, r, errno, buf.data(), r > 0 ? static_cast<size_t>(r) : 0);
}

void writeAt(int fd, const char* name, uint64_t off, size_t n, uint8_t seed) {
    fill(n, seed);
    errno = 0;
    ssize_t r = pwrite(fd, buf.data(), n, static_cast<off_t>(off));
    report(name, r, errno);
}

void badBlock(int fd, const char* name, int64_t off) {
    int64_t arg = off;   // the kernel's loff_t, 64 bits on every architecture
    errno = 0;
    int r = ioctl(fd, MEMGETBADBLOCK, &arg);
    report(name, r, errno);
}

void erase(int fd, const char* name, uint32_t start, uint32_t length) {
    erase_info_user ei = {start, length};
    errno = 0;
    int r = ioctl(fd, MEMERASE, &ei);
    report(name, r, errno);
}

void getInfo(int fd, const char* name, Geometry* out) {
    mtd_info_user mi;
    memset(&mi, 0, sizeof mi);
    errno = 0;
    int r = ioctl(fd, MEMGETINFO, &mi);
    printf("%s: ret=%d errno=%s type=%u flags=0x%x size=0x%x erasesize=0x%x writesize=%u oobsize=%u\n",
           name, r, r < 0 ? errnoName(errno) : "0", mi.type, mi.flags, mi.size, mi.erasesize,
           mi.writesize, mi.oobsize);
    if (out && r == 0)
        *out = Geometry{mi.size, mi.erasesize, mi.writesize};
}

int openDev(const char* name, const char* path, int flags) {
    errno = 0;
    int fd = open(path, flags);
    report(name, fd < 0 ? -1 : 0, errno);
    return fd;
}

void statDev(int fd, const char* name) {
    struct stat st;
    errno = 0;
    int r = fstat(fd, &st);
    printf("%s: ret=%d errno=%s chr=%d major=%u minor=%u\n", name, r, r < 0 ? errnoName(errno) : "0",
           S_ISCHR(st.st_mode) ? 1 : 0, major(st.st_rdev), minor(st.st_rdev));
}

void seekTo(int fd, const char* name, int64_t off, int whence) {
    errno = 0;
    off_t r = lseek(fd, static_cast<off_t>(off), whence);
    report(name, static_cast<long>(r), errno);
}

// The ioctls the programs and the tools depend on, at the edges.
void probeQueries(int fd) {
    const uint32_t b = geo.block;
    for (uint32_t i = 0; i < kBlocks; i++) {
        char name[32];
        snprintf(name, sizeof name, "badblock.block%u", i);
        badBlock(fd, name, int64_t(i) * b);
    }
    badBlock(fd, "badblock.inside-bad", kBadBlock * b + 0x801);
    badBlock(fd, "badblock.last-byte", geo.size - 1);
    badBlock(fd, "badblock.at-end", geo.size);
    badBlock(fd, "badblock.negative", -1);
    badBlock(fd, "badblock.far", int64_t(1) << 40);
    erase_info_user ei = {0, b};
    errno = 0;
    int r = ioctl(fd, MEMISLOCKED, &ei);
    report("islocked.block0", r, errno);
    errno = 0;
    r = ioctl(fd, kUnknownIoctl, 0);
    report("ioctl.unknown", r, errno);
}

// Programming: whole pages, again over programmed pages, misaligned, into
// the bad block, at the end.
void probeWrites(int fd) {
    const uint32_t p = geo.page, b = geo.block;
    readAt(fd, "read.fresh-page", 0, p);
    writeAt(fd, "write.page", 0, p, 1);
    readAt(fd, "read.page", 0, p);
    writeAt(fd, "write.reprogram-same", 0, p, 1);
    readAt(fd, "read.reprogrammed-same", 0, p);
    fill(p, 0);
    std::fill(buf.begin(), buf.end(), 0xff);
    errno = 0;
    report("write.reprogram-erased-bytes", pwrite(fd, buf.data(), p, 0), errno);
    readAt(fd, "read.reprogrammed-erased-bytes", 0, p);
    // Other bytes over a programmed page: the cells AND, but the driver
    // keeps the first program's ECC in the spare area, so what a read
    // returns depends on the driver's ECC scheme. A page of its own in the
    // last block, which no other read covers.
    const uint32_t own = geo.size - b + 10 * p;
    writeAt(fd, "write.page-again", own, p, 1);
    writeAt(fd, "write.reprogram-other", own, p, 2);
    readAt(fd, "read.reprogrammed-other", own, p);
    writeAt(fd, "write.two-pages", 2 * p, 2 * p, 3);
    readAt(fd, "read.two-pages", 2 * p, 2 * p);
    writeAt(fd, "write.misaligned-start", 4 * p + 1, p, 4);
    writeAt(fd, "write.short-length", 5 * p, 100, 4);
    writeAt(fd, "write.page-plus-one", 6 * p, p + 1, 4);
    readAt(fd, "read.after-rejected", 4 * p, 4 * p);
    // Sub-page writes: accepted by a NAND driver with per-512-byte ECC
    // steps (nandsim's soft ECC), refused by one without sub-page support.
    // Pages of their own, as above.
    writeAt(fd, "write.subpage", own + 2 * p, 512, 5);
    writeAt(fd, "write.subpage-offset", own + 3 * p + 512, 512, 5);
    const uint32_t bad = kBadBlock * b;
    writeAt(fd, "write.into-bad-across", bad - p, 2 * p, 6);
    writeAt(fd, "write.bad-block", bad + p, p, 7);
    readAt(fd, "read.bad-block", bad, 2 * p);
    writeAt(fd, "write.at-end", geo.size, p, 8);
    writeAt(fd, "write.past-end", geo.size + p, p, 8);
    writeAt(fd, "write.tail-clipped", geo.size - p, 2 * p, 9);
    readAt(fd, "read.tail", geo.size - p, p);
    writeAt(fd, "write.zero-length", 10 * p, 0, 9);
    writeAt(fd, "write.far", uint64_t(1) << 33, p, 9);
    writeAt(fd, "write.negative", uint64_t(-int64_t(p)), p, 9);
}

// Reads at any offset and across the end.
void probeReads(int fd) {
    const uint32_t p = geo.page, b = geo.block;
    readAt(fd, "read.misaligned", 1, 10);
    readAt(fd, "read.cross-page", p - 8, 16);
    readAt(fd, "read.tail-short", geo.size - p / 2, p);
    readAt(fd, "read.at-end", geo.size, p);
    readAt(fd, "read.past-end", geo.size + p, p);
    readAt(fd, "read.zero-length", 0, 0);
    readAt(fd, "read.far", uint64_t(1) << 33, p);
    readAt(fd, "read.negative", uint64_t(-int64_t(p)), p);
    readAt(fd, "read.three-blocks", 0, 3 * b);
}

// The file position: the tools may use read and write as well as pread.
void probePosition(int fd) {
    const uint32_t p = geo.page;
    seekTo(fd, "lseek.end", 0, SEEK_END);
    seekTo(fd, "lseek.set-at-end", geo.size, SEEK_SET);
    errno = 0;
    ssize_t r = read(fd, buf.data(), p);
    report("read.fd-at-end", r, errno);
    seekTo(fd, "lseek.set-past-end", int64_t(geo.size) + 1, SEEK_SET);
    seekTo(fd, "lseek.set-negative", -1, SEEK_SET);
    seekTo(fd, "lseek.set-page", 12 * p, SEEK_SET);
    fill(p, 10);
    errno = 0;
    r = write(fd, buf.data(), p);
    report("write.fd", r, errno);
    seekTo(fd, "lseek.cur", 0, SEEK_CUR);
    seekTo(fd, "lseek.back", -int64_t(p), SEEK_CUR);
    buf.assign(2 * p, 0);
    errno = 0;
    r = read(fd, buf.data(), 2 * p);
    report("read.fd", r, errno, buf.data(), r > 0 ? static_cast<size_t>(r) : 0);
}

// Erases: the bad block, a range that reaches it, the edges.
void probeErases(int fd) {
    const uint32_t p = geo.page, b = geo.block;
    const uint32_t bad = kBadBlock * b;
    erase(fd, "erase.bad-block", bad, b);
    readAt(fd, "read.bad-after-erase", bad, 2 * p);
    erase(fd, "erase.range-to-bad", bad - b, 2 * b);
    readAt(fd, "read.before-bad-after-erase", bad - p, p);
    erase(fd, "erase.block0", 0, b);
    readAt(fd, "read.erased", 0, 4 * p);
    erase(fd, "erase.misaligned-start", 0x800, b);
    erase(fd, "erase.misaligned-length", 0, b / 2);
    erase(fd, "erase.last-block", geo.size - b, b);
    erase(fd, "erase.across-end", geo.size - b, 2 * b);
    erase(fd, "erase.at-end", geo.size, b);
    erase(fd, "erase.zero-length", b, 0);
    erase(fd, "erase.zero-length-misaligned", 1, 0);
    erase(fd, "erase.whole", 0, geo.size);
    readAt(fd, "read.block0-after-whole", 0, p);
}

// Read-only descriptors: queries work, erases and writes are refused.
void probeReadOnly(const char* dev) {
    int fd = openDev("open.rdonly", dev, O_RDONLY);
    if (fd < 0)
        return;
    getInfo(fd, "getinfo.rdonly", nullptr);
    badBlock(fd, "badblock.rdonly", kBadBlock * geo.block);
    erase(fd, "erase.rdonly", 0, geo.block);
    writeAt(fd, "write.rdonly", 0, geo.page, 11);
    close(fd);
}

// The last partition ends where the chip ends.
void probeLast(const char* dev) {
    int fd = openDev("open.last", dev, O_RDWR);
    if (fd < 0)
        return;
    Geometry last;
    getInfo(fd, "getinfo.last", &last);
    badBlock(fd, "badblock.last-block", last.size - last.block);
    badBlock(fd, "badblock.last-at-end", last.size);
    readAt(fd, "read.last-tail", last.size - last.page, last.page);
    readAt(fd, "read.last-at-end", last.size, last.page);
    writeAt(fd, "write.last-at-end", last.size, last.page, 12);
    erase(fd, "erase.last-past-end", last.size, last.block);
    close(fd);
}

// A raw write (MEMWRITE, no ECC) of the page holding `offset` and its spare
// area, every bit 1 but the one to clear: programming clears only that bit
// (nandsim takes a raw program only with the spare area), and the ECC bytes
// stay as the last write with ECC left them, so reads find the bit flipped.
// Silent; status 1 when it cannot be done.
int clearBit(const char* dev, const char* offsetText, const char* bitText) {
    const uint64_t offset = strtoull(offsetText, nullptr, 0);
    const unsigned long bit = strtoul(bitText, nullptr, 0);
    if (bit > 7) {
        fprintf(stderr, "mtdprobe clear-bit: bit %lu is not 0 to 7\n", bit);
        return 1;
    }
    mtd_info_user mi;
    const int fd = open(dev, O_RDWR);
    if (fd < 0 || ioctl(fd, MEMGETINFO, &mi) != 0) {
        perror("mtdprobe clear-bit");
        return 1;
    }
    std::vector<uint8_t> page(mi.writesize, 0xff), spare(mi.oobsize, 0xff);
    page[offset % mi.writesize] = static_cast<uint8_t>(~(1u << bit));
    mtd_write_req req{};
    req.start = offset / mi.writesize * mi.writesize;
    req.len = page.size();
    req.ooblen = spare.size();
    req.usr_data = reinterpret_cast<uintptr_t>(page.data());
    req.usr_oob = reinterpret_cast<uintptr_t>(spare.data());
    req.mode = MTD_OPS_RAW;
    if (ioctl(fd, MEMWRITE, &req) != 0) {
        perror("mtdprobe clear-bit: MEMWRITE");
        return 1;
    }
    close(fd);
    return 0;
}

// A 64-bit digest of the device's bytes, read a block at a time, and their
// count: how a scenario's flash is compared between the two boards. md5sum
// did it before and took half of the VM's time, most of it in MD5 itself
// under emulation; a multiply and a shift per eight bytes still tells apart
// any two flash states a scenario can leave. Status 1 when a read fails.
int digest(const char* dev) {
    const int fd = open(dev, O_RDONLY);
    if (fd < 0) {
        perror(dev);
        return 1;
    }
    std::vector<uint8_t> buf(kDigestRead);
    uint64_t h = 0, total = 0;
    for (ssize_t n; (n = read(fd, buf.data(), buf.size())) != 0; total += static_cast<uint64_t>(n)) {
        if (n < 0) {
            perror(dev);
            close(fd);
            return 1;
        }
        std::fill(buf.begin() + n, buf.begin() + (n + 7) / 8 * 8, 0);
        for (ssize_t i = 0; i < n; i += 8) {
            uint64_t w;
            memcpy(&w, &buf[static_cast<size_t>(i)], sizeof w);
            h = (h ^ w) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
        }
    }
    close(fd);
    printf("%016" PRIx64 " %" PRIu64 "\n", h, total);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "clear-bit") == 0)
        return clearBit(argv[2], argv[3], argv[4]);
    if (argc == 3 && strcmp(argv[1], "digest") == 0)
        return digest(argv[2]);
    const char* dev = argc > 1 ? argv[1] : "/dev/mtd4";
    const char* last = argc > 2 ? argv[2] : "/dev/mtd12";
    openDev("open.missing", "/dev/mtd13", O_RDWR);
    int fd = openDev("open.rdwr", dev, O_RDWR);
    if (fd < 0)
        return 1;
    statDev(fd, "fstat");
    getInfo(fd, "getinfo", &geo);
    if (geo.page == 0 || geo.size != kBlocks * geo.block) {
        fprintf(stderr, "mtdprobe: %s is not a %u-block partition\n", dev, kBlocks);
        return 1;
    }
    buf.resize(geo.page);
    probeQueries(fd);
    probeWrites(fd);
    probeReads(fd);
    probePosition(fd);
    probeErases(fd);
    close(fd);
    errno = 0;
    int r = ioctl(fd, MEMGETINFO, buf.data());
    report("getinfo.closed-fd", r, errno);
    probeReadOnly(dev);
    probeLast(last);
    return 0;
}
