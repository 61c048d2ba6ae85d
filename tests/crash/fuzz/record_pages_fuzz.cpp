// Fuzz target: the flag page and the two table pages as the boot-set manager
// reads them from flash. Each input is put on a simulated board (the process
// runs with the emulator preloaded), then the manager's own readers, and the
// low or ok command when a copy verifies, run on it in this process. The
// outcome is judged by the board's independent record decoder:
//  - the flag reader names copy 2 only for a valid flag naming 2, and
//    rewrites an invalid flag as a valid one naming 1 with its end marker kept;
//  - a table copy verifies in the program exactly when it verifies on flash,
//    and the program then holds its 28 bytes;
//  - after the command both copies hold the loaded record with fresh
//    updating bytes and checksum, and the flag names the copy written first.
// Input: 12 flag bytes, 28 bytes of table copy 1, 28 of copy 2 (missing
// bytes read as erased flash), then one byte choosing the command.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include <nand_board.h>
#include <records.h>

#include "exit_trap.h"
#include "tolvane.h"

namespace {

constexpr int kFlagPart = 3, kTable1Part = 9, kTable2Part = 10;
constexpr size_t kFlagBytes = sizeof(FlagInfo), kTableBytes = sizeof(TolvaneInfo);
constexpr size_t kPagesBytes = kFlagBytes + 2 * kTableBytes;
// Every so many inputs the board's log is searched for NAND rule
// violations and emptied, so it does not grow without bound.
constexpr unsigned kLogCheckEvery = 256;

nandemu::Board* board = nullptr;
unsigned runs = 0;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "record pages: %s\n", what);
    std::abort();
}

void expect(bool ok, const char* what) {
    if (!ok)
        fail(what);
}

uint32_t firstGoodBlock(int part) {
    uint32_t b = 0;
    while (board->isBad(part, b))
        ++b;
    return b;
}

// One page at the start of the partition's first good block: `bytes`, then 0xFF.
void putPage(int part, const uint8_t* bytes, size_t n) {
    const nandemu::Geometry& g = board->geometry();
    std::vector<uint8_t> page(g.page, 0xFF);
    std::memcpy(page.data(), bytes, n);
    const uint32_t block = firstGoodBlock(part);
    board->eraseBlock(part, block);
    board->programPages(part, static_cast<uint64_t>(block) * g.block, page.data(), page.size());
}

std::vector<uint8_t> recordPage(int part, size_t n) {
    std::vector<uint8_t> bytes(n);
    board->read(part, static_cast<uint64_t>(firstGoodBlock(part)) * board->geometry().block, bytes.data(), n);
    return bytes;
}

uint32_t recordChecksum(const TolvaneInfo& r) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&r);
    uint32_t sum = 0;
    for (size_t i = offsetof(TolvaneInfo, highPartitionUpdating); i < sizeof r; ++i)
        sum += p[i];
    return sum;
}

// The board's files are set up and judged behind the emulator's back: with
// the emulator preloaded, a descriptor of a partition's data file would be
// taken for the partition itself.
template <typename F>
void realCall(F*& slot, void* libc, const char* name) {
    slot = reinterpret_cast<F*>(dlsym(libc, name));
    if (!slot)
        fail("a C library call is missing");
}

void useRealFileCalls() {
    void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (!libc)
        fail("the C library is not loaded");
    realCall(nandemu::raw.open, libc, "open");
    realCall(nandemu::raw.close, libc, "close");
    realCall(nandemu::raw.pread, libc, "pread");
    realCall(nandemu::raw.pwrite, libc, "pwrite");
    realCall(nandemu::raw.write, libc, "write");
}

void checkLog() {
    const std::string path = board->logPath();
    FILE* log = std::fopen(path.c_str(), "r");
    if (log) {
        char line[512];
        while (std::fgets(line, sizeof line, log))
            expect(std::strstr(line, " violation ") == nullptr, "a NAND rule was broken");
        std::fclose(log);
    }
    expect(truncate(path.c_str(), 0) == 0 || !log, "cannot empty the board log");
}

// The program's reader of one copy against the decoder; true when it verified.
bool readCopy(Tolvane& tolvane, const char* partition, int part) {
    tolvane.readTolvane(partition);
    const bool verified = tolvane.verifyTolvane();
    const nandemu::TableRecord onFlash = nandemu::readTable(*board, part);
    expect(verified == onFlash.valid(), "the program and the flash disagree on whether a copy verifies");
    if (verified) {
        const TolvaneInfo held = tolvane.getTolvaneInfo();
        expect(std::memcmp(&held, recordPage(part, kTableBytes).data(), kTableBytes) == 0,
               "a verified copy was not loaded byte for byte");
    }
    return verified;
}

void checkFlagRead(const nandemu::FlagRecord& before, int named) {
    const nandemu::FlagRecord after = nandemu::readFlag(*board);
    expect(named == (before.valid() ? before.names() : 1), "the flag reader named the wrong copy");
    if (before.valid()) {
        expect(after.marker == before.marker && after.reference == before.reference && after.end == before.end,
               "a valid flag was changed by reading it");
    } else {
        expect(after.valid() && after.reference == 1 && after.end == before.end,
               "an invalid flag was not rewritten as a valid flag naming copy 1");
    }
}

// Both copies hold `loaded` with the command's updating bytes and a fresh
// checksum; the flag names the copy the write began with: the one the record
// did not come from.
void checkWritten(TolvaneInfo loaded, bool low, uint32_t referenceBefore) {
    loaded.lowPartitionUpdating = low ? 1 : 0;
    loaded.highPartitionUpdating = 0;
    loaded.addSum = recordChecksum(loaded);
    for (int part : {kTable1Part, kTable2Part}) {
        expect(nandemu::readTable(*board, part).valid(), "a copy does not verify after the command");
        expect(std::memcmp(recordPage(part, kTableBytes).data(), &loaded, kTableBytes) == 0,
               "a copy does not hold the loaded record after the command");
    }
    const nandemu::FlagRecord flag = nandemu::readFlag(*board);
    expect(flag.valid() && flag.reference == (referenceBefore == 1 ? 2u : 1u),
           "the flag does not name the copy written first");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = std::getenv("NANDEMU_BOARD");
    if (!dir || access(MTD_APP2, F_OK) != 0)
        fail("run with NANDEMU_BOARD set and the emulator preloaded");
    useRealFileCalls();
    board = new nandemu::Board(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t pages[kPagesBytes];
    std::memset(pages, 0xFF, sizeof pages);
    std::memcpy(pages, data, size < sizeof pages ? size : sizeof pages);
    const bool low = size > kPagesBytes && (data[kPagesBytes] & 1);
    putPage(kFlagPart, pages, kFlagBytes);
    putPage(kTable1Part, pages + kFlagBytes, kTableBytes);
    putPage(kTable2Part, pages + kFlagBytes + kTableBytes, kTableBytes);

    const nandemu::FlagRecord flag = nandemu::readFlag(*board);
    const nandemu::TableRecord t1 = nandemu::readTable(*board, kTable1Part);
    const nandemu::TableRecord t2 = nandemu::readTable(*board, kTable2Part);
    const nandemu::TableRecord* current = nandemu::currentTable(t1, t2, flag);
    // The copy the write keeps for last, whatever the flag holds: the one the record came from.
    const uint32_t referenceBefore = current == &t2 ? 2 : 1;

    fuzztrap::Trap trap;
    Tolvane tolvane;
    bool returned = true;
    if (current == nullptr) {
        // No copy verifies: the readers must say so; the command would then
        // rebuild the record from a scan of the low set, which the process
        // tests cover.
        returned = FUZZ_RUN_TRAPPED(trap, {
            const int named = tolvane.readBootFlag();
            checkFlagRead(flag, named);
            expect(!readCopy(tolvane, MTD_TABLE1, kTable1Part), "copy 1 verified in the program only");
            expect(!readCopy(tolvane, MTD_TABLE2, kTable2Part), "copy 2 verified in the program only");
        });
    } else {
        const int currentPart = current == &t2 ? kTable2Part : kTable1Part;
        TolvaneInfo loaded;
        std::memcpy(&loaded, recordPage(currentPart, kTableBytes).data(), kTableBytes);
        returned = FUZZ_RUN_TRAPPED(trap, {
            runCommand(tolvane, low ? tableLowPartitionUpdating : tableOk);
        });
        if (returned)
            checkWritten(loaded, low, referenceBefore);
    }
    expect(returned, "the program ended the process");
    if (++runs % kLogCheckEvery == 0)
        checkLog();
    return 0;
}
