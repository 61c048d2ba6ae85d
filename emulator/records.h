// What the board tool knows of the system on the flash: how a flasher loads
// an image, the records the boot-set manager keeps, the checksums of both
// programs. Written independently of the programs, so that what it shows is
// a check on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nand_board.h"

namespace nandemu {

// Erases the partition's good blocks and writes the image from offset 0 into
// the good blocks, the last page padded with 0xFF. False, with nothing
// erased, when it does not fit.
bool loadImage(Board& board, int part, const std::vector<uint8_t>& image);
void flipStoredBit(Board& board, int part, uint64_t offset, int bit);

// Unsigned 32-bit byte sum over the first `blocks` x 128 KiB of good blocks;
// false when the good blocks run out first.
bool partitionSum(const Board& board, int part, uint32_t blocks, uint32_t* sum);

// The verifier's file checksum and its 32-character text form.
int32_t fileChecksum(const std::vector<uint8_t>& data);
std::string checksumText(int32_t value);

struct TableRecord {
    bool readable = false;    // a good block holds the record page
    uint32_t marker = 0, addSum = 0, computed = 0;
    uint16_t length = 0;
    uint8_t high = 0, low = 0;
    uint32_t sums[4] = {};    // s1l, uboot, kernel, app
    bool valid() const { return readable && marker == 0xAAAAAAAA && addSum == computed; }
};

struct FlagRecord {
    bool readable = false;
    uint32_t marker = 0, reference = 0, end = 0;
    bool valid() const { return readable && marker == 0x55555555; }
    int names() const { return reference == 2 ? 2 : 1; }   // any other value reads as copy 1
};

struct ImageState {
    const char* name;
    uint32_t blocks;
    int low, high;                 // partitions
    bool lowRead, highRead;
    uint32_t lowSum, highSum;
};

// The layout of the 512 MiB board (and of the small one without mtd12).
struct SystemLayout {
    static constexpr int kFlag = 3, kTable1 = 9, kTable2 = 10;
    static const char* role(int part);
};

bool isSystemBoard(const Board& board);
TableRecord readTable(const Board& board, int part);
FlagRecord readFlag(const Board& board);
// The record a reader takes: the copy the flag names if it verifies, else the other.
const TableRecord* currentTable(const TableRecord& t1, const TableRecord& t2, const FlagRecord& flag);
std::vector<ImageState> readImages(const Board& board);

// Calls visit(image, partition, read, sum, index in the table) for each
// partition of each image that the board has, low set first.
template <typename Visit>
void forEachImagePartition(const Board& board, Visit visit) {
    int index = 0;
    for (const ImageState& s : readImages(board)) {
        if (board.hasPartition(s.low))
            visit(s, s.low, s.lowRead, s.lowSum, index);
        if (board.hasPartition(s.high))
            visit(s, s.high, s.highRead, s.highSum, index);
        ++index;
    }
}

// How an image partition stands against the current table, and the map's
// style class for each judgement.
enum class Judgement { Matches, Differs, Unreadable, NoTable };
Judgement judge(bool read, uint32_t sum, const TableRecord* ref, int index);
const char* judgementClass(Judgement j);
// "both", "high", "low" or "none": the record's updating bytes.
const char* updatingWord(const TableRecord& t);
std::string hex8(uint32_t v);   // eight hex digits
// The partition's bad blocks in ascending order, "3,17"; "-" when none.
std::string badList(const Board& board, int part);

// The leading text of the partition's first good page, at most
// kContentTagLength printable characters: images carry their name and
// release there. "erased" for an erased page, "-" when there is no text.
constexpr size_t kContentTagLength = 16;
std::string contentTag(const Board& board, int part);

// The full picture of the board, and the short one: one aligned line each
// for the flag, both table copies, every image partition (sum, judgement
// against the current table, content) and the bad blocks, so that the lines
// that changed between two moments are the story of what happened.
std::string describeBoard(const Board& board);
std::string summarizeBoard(const Board& board);

// The flash map as an SVG picture: every block in partition order, each
// partition labelled, bad blocks black, the blocks an image or a record
// occupies coloured by its judgement. The title goes above the map.
std::string flashMapSvg(const Board& board, const std::string& title = "");

}  // namespace nandemu
