// Seeded random input from the flash and the command line: garbage or
// slightly damaged record pages, random option lists and random checksum
// text never crash a program, and never cost a record that verified.
#include <gtest/gtest.h>

#include <records.h>

#include "crash_support.h"

using namespace crash;

namespace {

struct Rng {
    uint32_t x;
    uint32_t next() {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        return x;
    }
};

// A page start that is random, or a valid record or flag with a few bits flipped.
std::vector<uint8_t> randomPage(Rng& rng, const uint8_t* valid, size_t n, size_t pageSize) {
    std::vector<uint8_t> page(pageSize, 0xFF);
    uint32_t kind = rng.next() % 4;
    for (size_t i = 0; i < n; ++i)
        page[i] = kind == 0 ? static_cast<uint8_t>(rng.next()) : valid[i];
    for (uint32_t flips = kind == 3 ? 0 : rng.next() % 3; flips > 0; --flips)
        page[rng.next() % n] ^= static_cast<uint8_t>(1u << (rng.next() % 8));
    return page;
}

// Fewer than the fuzz run tries; these go through whole program runs.
constexpr int kFlashCases = 20;

TEST(BadInput, DamagedRecordPagesNeverCrashOrLoseAVerifyingRecord) {
    Fields f;
    f.sums[0] = 0x5a5a, f.sums[3] = 0x10203;
    const Record valid = makeRecord(f);
    const uint8_t flag[12] = {0x55, 0x55, 0x55, 0x55, 2, 0, 0, 0, 0x55, 0x55, 0x55, 0x55};
    Tally tally{"tolvane -o over damaged record pages"};
    for (int seed = 1; seed <= kFlashCases; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng{static_cast<uint32_t>(seed) * 2654435761u | 1};
        testboard::TestBoard b;
        loadImages(b, 3);
        b.load(kTable1, randomPage(rng, valid.data(), valid.size(), b.pageSize()));
        b.load(kTable2, randomPage(rng, valid.data(), valid.size(), b.pageSize()));
        b.load(kFlag, randomPage(rng, flag, sizeof flag, b.pageSize()));
        const TableView start = viewTables(b);
        const Record next = afterCommand("-o", start.reader(), lowSums(b));
        testboard::RunResult r = b.run({"tolvane", "-o"});
        TableView v = viewTables(b);
        bool ok = r.exited(0) && v.valid[0] && v.valid[1] && v.rec[0] == next && v.rec[1] == next && v.flagValid;
        tally.count(ok);
        EXPECT_TRUE(ok) << "status " << r.status << " signal " << r.signal << "\nstarted " << describe(start)
                        << "\nleft " << describe(v) << "\nwanted " << hex(next);
    }
}

constexpr int kArgvCases = 40;

TEST(BadInput, RandomCommandLinesNeverCrashAndNoCommandTouchesNothing) {
    const std::vector<std::string> tokens = {"-l", "-o", "-a", "-b", "-j", "--low", "--ok", "--aaa", "--bbb=x",
                                             "--maintain", "-x", "--", "", "-", "-lo", "-bl", "--jjj", "-hX",
                                             "\xff\xfe", "--high=1", "-mm", "ok"};
    Fields f;
    f.sums[1] = 77;
    const Record old = makeRecord(f);
    Tally tally{"tolvane with random command lines"};
    for (int seed = 1; seed <= kArgvCases; ++seed) {
        Rng rng{static_cast<uint32_t>(seed) * 40503u | 1};
        std::vector<std::string> argv{"tolvane"};
        for (uint32_t n = rng.next() % 4; n > 0; --n)
            argv.push_back(tokens[rng.next() % tokens.size()]);
        std::string line;
        for (const std::string& a : argv)
            line += "'" + a + "' ";
        testboard::TestBoard b;
        loadImages(b, 5);
        putTables(b, kTableStates[0], old);
        b.setFaults({});
        testboard::RunResult r = b.run(argv);
        bool noCommand = r.err.find("got error cmd \n") != std::string::npos;
        TableView v = viewTables(b);
        bool ok = r.exited(0) && v.valid[0] && v.valid[1] && v.rec[0] == v.rec[1] &&
                  (!noCommand || (b.mutatingOps() == 0 && v.rec[0] == old));
        tally.count(ok);
        EXPECT_TRUE(ok) << line << ": status " << r.status << " signal " << r.signal << " mutations "
                        << b.mutatingOps() << " " << describe(v);
    }
}

constexpr int kTextCases = 15;

// A backup that does not match its second checksum must never be written,
// whatever the first checksum file holds.
TEST(BadInput, RandomChecksumTextNeverLetsAnUnverifiedBackupOnTheFlash) {
    Tally tally{"quillet with random checksum text"};
    for (int seed = 1; seed <= kTextCases; ++seed) {
        Rng rng{static_cast<uint32_t>(seed) * 69069u | 1};
        testboard::TestBoard b;
        std::vector<uint8_t> good = testboard::pattern(2 * b.pageSize(), 11);
        std::vector<uint8_t> corrupt = good;
        corrupt[rng.next() % corrupt.size()] ^= 0x10;
        std::string sum = nandemu::checksumText(nandemu::fileChecksum(good));
        std::string text;
        uint32_t kind = rng.next() % 3;
        size_t len = kind == 0 ? 32 : rng.next() % 48;
        for (size_t i = 0; i < len; ++i)
            text += kind == 2 ? static_cast<char>(rng.next()) : static_cast<char>('0' + rng.next() % 10);
        if (kind == 1 && !text.empty())
            text[rng.next() % text.size()] = " -+x\n"[rng.next() % 5];
        for (const char* name : {"s1l", "uboot", "kernel", "appfs"}) {
            std::string base = std::string("backup/") + name;
            b.writeSdFile(base + ".bak", corrupt);
            b.writeSdFile(base + ".as1", std::vector<uint8_t>(text.begin(), text.end()));
            b.writeSdFile(base + ".as2", std::vector<uint8_t>(sum.begin(), sum.end()));
        }
        b.setFaults({});
        testboard::RunResult r = b.run({"quillet"});
        bool ok = r.exited(0) && b.mutatingOps() == 0;
        tally.count(ok);
        EXPECT_TRUE(ok) << "as1 text of " << text.size() << " bytes (seed " << seed << "): status " << r.status
                        << " signal " << r.signal << " mutations " << b.mutatingOps();
    }
}

}  // namespace
