// What nanddump, nandwrite and flash_eraseall share: messages and exit
// statuses, opening an MTD device, the bad-block query and the one walk over
// the good blocks and pages of a device.
#pragma once

#include <cstdint>
#include <functional>

#include <mtd/mtd-user.h>

namespace mtdtool {

constexpr int kExitFailure = 1;   // the device, a file or the flash failed
constexpr int kExitUsage = 2;     // the command line cannot be understood

// The tool's name, the prefix of every message; set once by start().
extern const char* applet;

// The first call of main: names the tool and line-buffers standard output,
// so that in a log shared with the program that started the tool, every
// line lands where it was printed.
void start(const char* name);

// One line "applet: message" on standard error; perrorMsg appends ": " and
// the text of errno.
void errorMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void perrorMsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports a bad command line in one line ending in the usage text; returns
// kExitUsage.
int usageError(const char* usage, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Turns the getopt result ':' or '?' (optstring starting with ':') into the
// matching message; returns kExitUsage.
int optionError(int opt, const char* usage);

// A decimal or 0x-prefixed hexadecimal count of bytes; false for anything
// else (signs, blanks, trailing text, more than 64 bits).
bool parseLength(const char* text, uint64_t* value);

struct Device {
    const char* path = nullptr;
    int fd = -1;
    mtd_info_user info{};
    bool noBadBlocks = false;   // MEMGETBADBLOCK said EOPNOTSUPP: every block is good
};

// Opens path and reads its geometry; prints the reason and returns false
// when it cannot be opened, is no MTD device or has a geometry the page and
// block walk cannot follow.
bool openDevice(const char* path, int flags, Device* dev);
void closeDevice(Device* dev);

enum class BlockState { Good, Bad, Unknown };

// Asks whether the block holding offset is bad; Unknown (reported) when the
// query fails.
BlockState blockState(Device* dev, uint32_t offset);

// What a visitor wants next.
enum class Visit { Next, Stop, Fail };

// How a walk treats a block whose state cannot be queried: end the walk
// with failure, or leave the block alone and go on (the walk still fails).
enum class OnUnknown { Fail, Skip };

struct Walk {
    bool reportBad = true;               // one message per skipped bad block
    OnUnknown onUnknown = OnUnknown::Fail;
};

using BlockVisitor = std::function<Visit(uint32_t start, uint32_t length)>;
using PageVisitor = std::function<Visit(uint32_t offset)>;

// Visits the good blocks of [0, end) in order, the last one cut at end;
// bad blocks are left out. Returns false when a visitor failed or a block's
// state was unknown; a visitor's Stop ends the walk with success.
bool forEachGoodBlock(Device* dev, uint32_t end, const BlockVisitor& visit, const Walk& walk = Walk());

// Visits every page of the good blocks of [0, end); end is whole pages.
bool forEachGoodPage(Device* dev, uint32_t end, const PageVisitor& visit, const Walk& walk = Walk());

// Whole transfers to and from plain files, retried over partial ones.
// readFull returns the bytes read (short only at end of file), -1 on error.
long readFull(int fd, uint8_t* buf, uint32_t length);
bool writeAll(int fd, const uint8_t* buf, uint32_t length);

}  // namespace mtdtool
