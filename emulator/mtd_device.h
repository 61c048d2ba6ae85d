// One partition of the simulated board as the Linux MTD character device
// /dev/mtdN shows it: NAND rules, failing calls, power cuts, flipped bits and
// the board's log. The preloaded emulator hands every call a program makes on
// a partition descriptor to one of these; the tests drive it in process.
//
// Every call answers as the kernel does, with the errno in the result: a
// count, 0 or 1 on success, -errno on failure. Nothing sets errno.
//
// == Configuration ==
//
// The device takes everything from its Board (nand_board.h):
//
//   Geometry::page     Bytes in a page: the unit of a write (page program).
//   Geometry::oob      Bytes in each page's spare (OOB) area.
//   Geometry::block    Bytes in an erase block, a whole number of pages.
//   Geometry::parts    Partition sizes in blocks; the device is parts[N] blocks long.
//   Geometry::strict   A second program of a page without an erase fails
//                      (EIO) instead of only being logged.
//   Geometry::eccStep, eccStrength
//                      The controller's ECC (below); eccStep 0: none.
//   bad                Bad blocks of the partition (Board::isBad).
//   faults             The active faults (Board::faults), below.
//   SharedState        Counters shared by every process on the board:
//                      occurrences of each call (failing calls), mutatingOps
//                      (power cuts), eccFailed and eccCorrected
//                      (ECCGETSTATS), powerOff.
//
// == NAND rules ==
//
//  - Erased flash reads 0xFF, data and spare areas alike.
//  - A program ANDs the data into the page: bits only go from 1 to 0.
//  - Programming a page twice without an erase of its block is logged as
//    `violation reprogram`; with strict the second program is refused: the
//    call fails with EIO at its first page, or is short, ending before the
//    page it met.
//  - Writes, checked in this order: they start on a page boundary and are
//    whole pages (EINVAL); an empty one succeeds anywhere; one at or past the
//    end fails with ENOSPC; one that runs past the end is cut there. Each page programmed is one mutating
//    operation, logged `program`.
//  - A write into a bad block is done and logged as `violation badblock`,
//    as the kernel lets it through.
//  - Reads take any offset and length: past the end 0 bytes, a read that runs
//    past the end is cut there.
//  - Erase, in the kernel's order of checks: EPERM on a read-only device,
//    EINVAL unless the range lies in the partition, success for an empty
//    range, EINVAL unless block aligned. Blocks are erased in order, each one
//    mutating operation logged `erase`; at the first bad block the call fails
//    with EIO, the blocks before it erased. An erase clears the blocks' spare
//    areas and their programmed state.
//  - MEMGETBADBLOCK: 1 for a bad block, 0 for a good one, EINVAL outside.
//  - OOB transfers (MEMREADOOB, MEMWRITEOOB and their 64-bit forms): the page
//    holding `start`, from spare offset start % page, on through the next
//    pages' areas. EINVAL when the spare offset is not inside the spare area,
//    the length exceeds kMaxOobTransfer or runs past the partition's last
//    area; EPERM for a write on a read-only device. A write ANDs, is logged
//    `oob` at the page's offset plus the spare offset and is not a mutating
//    operation; into a bad block it is also logged `violation badblock`.
//  - ECCGETSTATS: `failed` and `corrected` as the ECC below counts them since
//    the faults were replaced, `badblocks` the partition's bad blocks, the
//    rest 0.
//  - MEMISLOCKED fails with EOPNOTSUPP: NAND has no lock support.
//  - A read on a write-only device and a write on a read-only one fail with
//    EBADF; an ioctl request not named here fails with ENOTTY.
//
// == ECC ==
//
// The flipped bits of a byte are those flip faults flip in it (a bit flipped
// twice reads right); the stored bytes are what the ECC corrects to.
//
// Without ECC (eccStep 0, the default) every flipped bit a read returns
// reaches the reader and counts one `failed`, on every read; `corrected`
// stays 0.
//
// With ECC, every read is checked in steps of eccStep bytes (steps divide
// the page), as a NAND driver that reads sub-pages checks it (the kernel's
// software ECC on large pages, nandsim's): each step the read covers, whole
// or in part, once per read call, and no other step of the page. A step
// with 1 to eccStrength flipped bits reads as stored and adds its bits to
// `corrected`; a step with more reads as the cells give it, every flip
// through, and counts one `failed` (the code is taken to detect every
// pattern over its strength, which a real one does not always). Either
// way read() returns the bytes and success: the kernel's mtd_read answers
// -EUCLEAN or -EBADMSG with the data, and the character device hands the
// data on without an error. (The character device passes a long read() on
// in pieces, up to 4 MiB on x86_64, and the kernel checks a step that a
// piece's end cuts in both pieces; the board checks it once.)
//
// sysfs shows ecc_step_size, ecc_strength and bitflip_threshold, the MTD
// core's default of 3/4 of the strength, rounded up (all 0 without ECC),
// and the counts as ecc_failures and corrected_bits.
//
// == Faults ==
//
//  fail=DEV:OP:OCC:ERROR  Every call of OP (open, getinfo, getbadblock,
//      erase, read, write) is counted, across every process since the faults
//      were set, after the access mode is checked and before anything else:
//      once for its partition and once over all partitions. The OCC-th call
//      (1-based; `*`, kept as 0: every call) of DEV, counted on mtdN alone or
//      for `*` over all, is logged `fault OP:ERROR` and:
//       - with ERROR an errno: returns -ERROR and does nothing;
//       - with `short` (reads and writes): goes on through the rules above,
//         then a read returns half the bytes it would have, rounded down, and
//         a write programs half its pages, rounded down (none: returns 0).
//      While a fail fault for OP is set, its counts are taken atomically, so
//      that processes calling at the same instant each get a count of their
//      own; otherwise they are plain updates (they then only tell how many
//      calls were made, and a read of every page stays cheap).
//  flip=mtdN:OFFSET:BIT  Bit BIT (0 to 7) of that byte reads flipped, as
//      the ECC above lets it through and counts it; the stored byte stays
//      as it is, so no rewrite cures it.
//
//  A fault naming a partition the board does not have is refused. Faults
//  added to the active ones leave the counters as they are.
//
// == Power cuts ==
//
//  cut=N:FORM[:SEED]  (SEED 1 when left out) At the N-th mutating operation counted over every process
//      since the faults were set, the power goes off (SharedState::powerOff),
//      logged `powercut FORM` at the operation's offset and length after the
//      operation's own lines:
//       - before: the operation does nothing.
//       - torn: a page program clears each bit it was to clear or not; an
//         erase erases each page of the block or not (with its spare area
//         and programmed state). The choice comes from SEED and the
//         operation's offset only: the same cut gives the same bytes. The
//         operation is logged as if whole. A page larger than
//         kMaxTornPage is programmed whole.
//       - after: the operation is done.
//      The call that met the cut returns -ENODEV and does nothing more; so
//      does every later call on any device of the board until the power is
//      back (simboard run). The emulator kills the process, and the command
//      it belongs to, as soon as it sees the power off.
//
// == Log ==
//
// One line each in the board's log: "PID PROG mtdN OP OFFSET LENGTH[ EXTRA]",
// PID and PROG the calling process and its short name, OFFSET and LENGTH in
// hexadecimal with 0x: `erase` (block), `program` (page), `oob`, `violation`
// (reprogram, badblock), `fault` (0x0 0x0, OP:ERROR), `powercut` (FORM).
#pragma once

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>   // the request numbers of mtd-user.h
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "nand_board.h"

namespace nandemu {

constexpr uint32_t kMaxOobTransfer = 4096;   // the kernel's limit for one OOB ioctl
constexpr uint32_t kMaxTornPage = 8192;      // the largest page a torn program tears
constexpr int kPowerOff = -ENODEV;           // the answer to a call once the power is off

// How the device was opened: O_RDONLY, O_WRONLY or O_RDWR.
enum class Access : uint8_t { ReadOnly = O_RDONLY, WriteOnly = O_WRONLY, ReadWrite = O_RDWR };
inline Access accessFromFlags(int flags) { return static_cast<Access>(flags & O_ACCMODE); }

// Appends one line to the board's log in the format above; dev "mtdN", or
// "-" for what is no partition's.
void logEvent(const Board& board, const std::string& dev, const char* op, uint64_t offset, uint64_t length,
              const std::string& extra = "");

class MtdDevice {
public:
    // Partition `part`, which the board must have, opened with `access`.
    // Holds no resources: making one per call costs nothing.
    MtdDevice(Board& board, int part, Access access = Access::ReadWrite)
        : board_(board), part_(part), access_(access) {}

    int part() const { return part_; }
    uint64_t size() const { return board_.partitionSize(part_); }
    bool powerOff() const { return __atomic_load_n(&board_.shared()->powerOff, __ATOMIC_SEQ_CST) != 0; }

    // Counts an open (for open faults): 0, or the fault's -errno.
    int open();
    // Bytes read or written, or -errno.
    ssize_t read(uint64_t offset, void* buf, size_t len);
    ssize_t write(uint64_t offset, const void* buf, size_t len);
    // MEMERASE: 0 or -errno.
    int erase(uint64_t start, uint64_t length);
    // MEMGETINFO: 0 or -errno.
    int getInfo(mtd_info_user* info);
    // MEMGETBADBLOCK: 1 bad, 0 good, or -errno.
    int getBadBlock(int64_t offset);
    // ECCGETSTATS: 0, or kPowerOff.
    int eccStats(mtd_ecc_stats* stats) const;
    // MEMREADOOB / MEMWRITEOOB: 0 with *length set to the bytes moved, or -errno.
    int readOob(uint64_t start, uint32_t* length, uint8_t* buf);
    int writeOob(uint64_t start, uint32_t* length, const uint8_t* buf);
    // Any MTD ioctl request with the kernel's argument struct: the calls
    // above, MEMERASE64 and the 64-bit OOB requests; -ENOTTY for the rest.
    int ioctl(unsigned long request, void* arg);

private:
    std::string dev() const { return "mtd" + std::to_string(part_); }
    void log(const char* op, uint64_t offset, uint64_t length, const std::string& extra = "") const;
    const Fault* failing(Op op);
    const Fault* mutating();
    void cutPower(const Fault& cut, uint64_t offset, uint64_t length);
    bool programPage(uint64_t offset, const uint8_t* data);
    bool eraseBlock(uint32_t block);
    void applyFlips(uint64_t offset, uint8_t* buf, size_t len);   // the flips a read sees (ECC above)
    void flipUncorrected(uint64_t offset, uint8_t* buf, size_t len);
    void flipThroughEcc(uint64_t offset, uint8_t* buf, size_t len);
    int oob(uint64_t start, uint32_t* length, uint8_t* buf, const uint8_t* data);
    template <typename Buf>
    int oobRequest(void* arg, bool write);

    Board& board_;
    int part_;
    Access access_;
};

}  // namespace nandemu
