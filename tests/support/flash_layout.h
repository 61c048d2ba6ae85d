// The board as the tests know it: the image table, the record partitions and
// the bytes of the table and flag records. Written from the board's own
// description, never from the programs' headers, so that it stays an
// independent oracle of what the programs store.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testboard {

constexpr int kFlag = 3, kTable1 = 9, kTable2 = 10;   // the flag and the two table copies
constexpr uint32_t kBlock = 131072;                   // the unit of every block count
constexpr uint32_t kTableMarker = 0xAAAAAAAA, kFlagMarker = 0x55555555;

struct Image {
    const char* name;   // the backup's name on the SD card: backup/NAME.bak, .as1, .as2
    int low, high;      // its partition in the low and in the high boot set
    uint32_t blocks;    // the blocks the boot-set manager sums and copies
};
// S1L, U-Boot, kernel, application: the order of every scan and every pass.
extern const std::array<Image, 4> kImages;
enum { kS1L, kUboot, kKernel, kApp };
// Backups of 1, 2, 4 and 8 blocks, image by image: smaller than their
// partitions, so the verifier's tests stay fast (it dumps the backup's length).
inline size_t shortBackupBytes(const Image& i) { return size_t{kBlock} << (&i - kImages.data()); }

// A table record: marker, checksum of bytes 10 to 27, length, the updating
// bytes (high, low) and the four image sums, little-endian.
using Record = std::array<uint8_t, 28>;
// The flag record: marker, the copy it names (1 or 2), end marker.
using Flag = std::array<uint8_t, 12>;

struct Fields {
    uint16_t length = 10;
    uint8_t high = 0, low = 0;
    std::array<uint32_t, 4> sums{};
};

void put32(uint8_t* p, uint32_t v);
uint32_t get32(const uint8_t* p);

uint32_t checksumOf(const Record& r);
// The record with `marker` and its checksum, off by `sumError`.
Record makeRecord(const Fields& f, uint32_t marker = kTableMarker, int32_t sumError = 0);
Fields fieldsOf(const Record& r);
bool verifies(const Record& r);
Flag makeFlag(uint32_t reference, uint32_t marker = kFlagMarker, uint32_t end = kFlagMarker);

// Two hex digits per byte, nothing between them.
std::string hexBytes(const uint8_t* bytes, size_t n);

}  // namespace testboard
