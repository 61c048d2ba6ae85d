// What the kernel shows of the board's MTD devices outside /dev: the
// /sys/class/mtd attributes and /proc/mtd that libmtd and scripts read.
#pragma once

#include <string>
#include <vector>

#include "nand_board.h"

namespace nandemu {

constexpr unsigned kMtdMajor = 90;   // the MTD character devices: mtdN minor 2N, mtdNro 2N+1

// The partition's name in the kernel's partition table.
std::string partitionName(const Board& board, int part);

struct KernelFile {
    std::string path;      // relative: "sys/class/mtd/mtd0/size", "proc/mtd"
    std::string content;
};

// Every file, with the board's geometry, names, bad blocks and the ECC
// failures reads have met so far.
std::vector<KernelFile> kernelFiles(const Board& board);

}  // namespace nandemu
