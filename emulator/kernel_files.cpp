#include "kernel_files.h"

#include <mtd/mtd-user.h>

#include <cstdio>

#include "records.h"

namespace nandemu {

namespace {

// A kernel NAND driver keeps the first two spare bytes for the bad-block
// marker; the emulator has no ECC bytes, so the rest is free.
constexpr unsigned kMarkerBytes = 2;

// The 512 MiB layout's partition names, in the style of a board's kernel
// command line.
const char* const kSystemNames[] = {"s1l1",    "uboot1", "kernel1", "flag", "spare", "app1", "s1l2",
                                    "uboot2",  "kernel2", "table1", "table2", "data", "app2"};

std::string hex(uint64_t v, int width) {
    char buf[24];
    snprintf(buf, sizeof buf, "%0*llx", width, static_cast<unsigned long long>(v));
    return buf;
}

std::string line(uint64_t v) { return std::to_string(v) + "\n"; }

// A device's uevent as the driver core prints it: DEVTYPE only for a device
// that has a type (an MTD device has "mtd", its read-only node none).
std::string uevent(unsigned minor, const std::string& name, const char* type = nullptr) {
    std::string text = "MAJOR=" + std::to_string(kMtdMajor) + "\nMINOR=" + std::to_string(minor) + "\nDEVNAME=" + name + "\n";
    return type ? text + "DEVTYPE=" + type + "\n" : text;
}

void addPartition(const Board& board, int part, uint64_t offset, std::vector<KernelFile>* files) {
    const Geometry& g = board.geometry();
    const std::string n = std::to_string(part);
    const std::string dir = "sys/class/mtd/mtd" + n + "/";
    const unsigned minor = 2 * static_cast<unsigned>(part);
    const uint32_t strength = g.eccStrength;
    auto add = [&](const std::string& name, const std::string& content) { files->push_back({dir + name, content}); };
    add("dev", std::to_string(kMtdMajor) + ":" + std::to_string(minor) + "\n");
    add("uevent", uevent(minor, "mtd" + n, "mtd"));
    add("name", partitionName(board, part) + "\n");
    add("type", "nand\n");
    add("flags", "0x" + hex(MTD_CAP_NANDFLASH, 1) + "\n");
    add("size", line(board.partitionSize(part)));
    add("erasesize", line(g.block));
    add("writesize", line(g.page));
    add("subpagesize", line(g.page));   // writes must be whole pages on this board
    add("oobsize", line(g.oob));
    add("oobavail", line(g.oob > kMarkerBytes ? g.oob - kMarkerBytes : 0));
    add("numeraseregions", "0\n");
    add("offset", line(offset));
    add("ecc_strength", line(strength));
    add("ecc_step_size", line(g.eccStep));
    add("bitflip_threshold", line((strength * 3 + 3) / 4));   // the MTD core's default: 3/4 of the strength, rounded up
    add("corrected_bits", line(board.shared()->eccCorrected[part]));
    add("ecc_failures", line(board.shared()->eccFailed[part]));
    add("bad_blocks", line(board.badBlocks(part).size()));
    add("bbt_blocks", "0\n");
    // The read-only node has only its device number in sysfs.
    const std::string ro = "sys/class/mtd/mtd" + n + "ro/";
    files->push_back({ro + "dev", std::to_string(kMtdMajor) + ":" + std::to_string(minor + 1) + "\n"});
    files->push_back({ro + "uevent", uevent(minor + 1, "mtd" + n + "ro")});
}

}  // namespace

std::string partitionName(const Board& board, int part) {
    if (isSystemBoard(board) && part >= 0 && part < static_cast<int>(sizeof kSystemNames / sizeof *kSystemNames))
        return kSystemNames[part];
    return "part" + std::to_string(part);
}

std::vector<KernelFile> kernelFiles(const Board& board) {
    std::vector<KernelFile> files;
    std::string procMtd = "dev:    size   erasesize  name\n";
    uint64_t offset = 0;
    for (int p = 0; p < board.partitions(); ++p) {
        addPartition(board, p, offset, &files);
        offset += board.partitionSize(p);
        procMtd += "mtd" + std::to_string(p) + ": " + hex(board.partitionSize(p), 8) + " " +
                   hex(board.geometry().block, 8) + " \"" + partitionName(board, p) + "\"\n";
    }
    files.push_back({"proc/mtd", procMtd});
    return files;
}

}  // namespace nandemu
