#include "flashread.h"

#include <byte_sum.h>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace flashread {

const ImagePair kImages[4] = {
    {"s1l", "/dev/mtd0", "/dev/mtd6", 1},
    {"uboot", "/dev/mtd1", "/dev/mtd7", 4},
    {"kernel", "/dev/mtd2", "/dev/mtd8", 128},
    {"appfs", "/dev/mtd5", "/dev/mtd12", 680},
};

int openPartition(const char* path, Partition* part) {
    part->path = path;
    part->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (part->fd < 0)
        return -errno;
    const mtd_info_user& g = part->info;
    int err = 0;
    if (ioctl(part->fd, MEMGETINFO, &part->info) != 0)
        err = -errno;
    else if (g.writesize == 0 || g.erasesize == 0 || g.erasesize % g.writesize != 0)
        err = -EINVAL;
    if (err != 0)
        closePartition(part);
    return err;
}

void closePartition(Partition* part) {
    if (part->fd >= 0)
        close(part->fd);
    part->fd = -1;
}

uint32_t blockCount(const Partition& part) { return part.info.size / part.info.erasesize; }

int blockIsBad(const Partition& part, uint32_t block) {
    loff_t offset = static_cast<loff_t>(block) * part.info.erasesize;
    const int ret = ioctl(part.fd, MEMGETBADBLOCK, &offset);
    return ret < 0 ? -errno : ret > 0;
}

int badBlocks(const Partition& part, std::vector<uint32_t>* bad) {
    bad->clear();
    for (uint32_t b = 0; b < blockCount(part); ++b) {
        const int ret = blockIsBad(part, b);
        if (ret < 0)
            return ret;
        if (ret)
            bad->push_back(b);
    }
    return 0;
}

namespace {

// Reads n bytes at offset whole; a short read is as bad as a failed one.
int readAt(const Partition& part, uint64_t offset, uint8_t* bytes, size_t n) {
    const ssize_t got = pread(part.fd, bytes, n, static_cast<off_t>(offset));
    if (got < 0)
        return -errno;
    return static_cast<size_t>(got) == n ? 0 : -EIO;
}

}  // namespace

int readGood(const Partition& part, uint64_t length, const Take& take) {
    const uint32_t block = part.info.erasesize;
    std::vector<uint8_t> buf(block);
    for (uint32_t b = 0; length > 0; ++b) {
        if (b >= blockCount(part))
            return kNoRoom;
        const int bad = blockIsBad(part, b);
        if (bad < 0)
            return bad;
        if (bad)
            continue;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, block));
        if (const int err = readAt(part, uint64_t{b} * block, buf.data(), n))
            return err;
        if (!take(buf.data(), n))
            return -ECANCELED;
        length -= n;
    }
    return 0;
}

int firstGoodPage(const Partition& part, std::vector<uint8_t>* page) {
    for (uint32_t b = 0; b < blockCount(part); ++b) {
        const int bad = blockIsBad(part, b);
        if (bad < 0)
            return bad;
        if (!bad) {
            page->resize(part.info.writesize);
            return readAt(part, uint64_t{b} * part.info.erasesize, page->data(), page->size());
        }
    }
    return kNoRoom;
}

uint32_t byteSum(const uint8_t* bytes, size_t n) {
    // The shared sum counts in 32 bits, as the board's size_t does.
    constexpr size_t kMost = size_t{1} << 30;
    uint32_t sum = 0;
    for (; n > kMost; n -= kMost, bytes += kMost)
        sum += fwsum::byteSum(bytes, kMost);
    return sum + fwsum::byteSum(bytes, static_cast<uint32_t>(n));
}

int partitionSum(const Partition& part, uint32_t blocks, uint32_t* sum) {
    uint32_t total = 0;
    const int err = readGood(part, uint64_t{blocks} * kSumBlock, [&](const uint8_t* bytes, size_t n) {
        total += byteSum(bytes, n);
        return true;
    });
    *sum = total;
    return err;
}

namespace {

template <typename Use>
int withPartition(const char* path, Use use) {
    Partition part;
    if (const int err = openPartition(path, &part))
        return err;
    const int err = use(part);
    closePartition(&part);
    return err;
}

}  // namespace

int firstGoodPage(const char* path, std::vector<uint8_t>* page) {
    return withPartition(path, [&](const Partition& part) { return firstGoodPage(part, page); });
}

int partitionSum(const char* path, uint32_t blocks, uint32_t* sum) {
    return withPartition(path, [&](const Partition& part) { return partitionSum(part, blocks, sum); });
}

const char* errorText(int err) { return err == kNoRoom ? "too few good blocks" : strerror(-err); }

}  // namespace flashread
