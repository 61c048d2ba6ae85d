// Read-only access to the board's MTD partitions: what a program needs to see
// the flash as the boot-set manager and the boot side see it, without the
// right to change it. Every device is opened O_RDONLY; nothing here writes,
// erases or marks a block.
//
// Functions return 0 or a negative errno; kNoRoom when the partition has too
// few good blocks for what was asked.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <mtd/mtd-user.h>

namespace flashread {

constexpr int kNoRoom = -ENOSPC;
constexpr uint32_t kSumBlock = 131072;   // the unit of every image's block count

// The board's partitions.
constexpr const char* kFlagPath = "/dev/mtd3";
constexpr const char* kTablePaths[2] = {"/dev/mtd9", "/dev/mtd10"};
struct ImagePair {
    const char* name;   // as the SD card's backups name it: s1l, uboot, kernel, appfs
    const char* low;    // its partition in the low set (slot 1)
    const char* high;   // and in the high set (slot 2)
    uint32_t blocks;    // the kSumBlock blocks summed and copied
};
// S1L, U-Boot, kernel, application: the order of the record's sums.
extern const ImagePair kImages[4];

struct Partition {
    const char* path = nullptr;
    int fd = -1;
    mtd_info_user info{};   // writesize is the page size, erasesize the block size
};

// Opens path read-only and reads its geometry; -EINVAL for a geometry
// whose blocks are not whole pages.
int openPartition(const char* path, Partition* part);
void closePartition(Partition* part);
uint32_t blockCount(const Partition& part);

// 1 when block n is bad, 0 when it is good.
int blockIsBad(const Partition& part, uint32_t block);
// Every bad block, in order.
int badBlocks(const Partition& part, std::vector<uint32_t>* bad);

// The first page of the first good block, where a record lives.
int firstGoodPage(const Partition& part, std::vector<uint8_t>* page);

// Hands the first `length` bytes of the good blocks to `take` in order, at
// most a block at a time; -ECANCELED when `take` returns false.
using Take = std::function<bool(const uint8_t* bytes, size_t n)>;
int readGood(const Partition& part, uint64_t length, const Take& take);

// The unsigned 32-bit wrapping sum of n bytes.
uint32_t byteSum(const uint8_t* bytes, size_t n);

// The partition checksum: the unsigned 32-bit wrapping sum of every byte of
// the first blocks * kSumBlock bytes of good blocks.
int partitionSum(const Partition& part, uint32_t blocks, uint32_t* sum);

// The same, opening and closing path.
int firstGoodPage(const char* path, std::vector<uint8_t>* page);
int partitionSum(const char* path, uint32_t blocks, uint32_t* sum);

// "too few good blocks" for kNoRoom, else the system's text for -err.
const char* errorText(int err);

}  // namespace flashread
