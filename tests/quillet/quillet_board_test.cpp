// quillet on the simulated board, with the project's MTD tools on the path
// and an SD card prepared as in the field.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "test_board.h"
#include "checks.h"
#include "flash_layout.h"

using testboard::TestBoard;
using testboard::BoardOptions;

namespace {

using testboard::Image;
using testboard::kBlock;
using testboard::kImages;

class Quillet : public testboard::BoardTest {
protected:
    explicit Quillet(const std::string& layout = "512m") : BoardTest(options(layout)) {}
    static BoardOptions options(const std::string& layout) {
        BoardOptions o;
        o.layout = layout;
        return o;
    }
    void SetUp() override {
        for (const Image& i : kImages) {
            auto image = testboard::pattern(testboard::shortBackupBytes(i), i.low + 1);
            board.putBackup(i.name, image);
            board.load(i.low, image);
            if (board.partitionSize(i.high))
                board.load(i.high, image);
        }
    }
    testboard::RunResult run(std::vector<std::string> args = {}) {
        args.insert(args.begin(), "quillet");
        auto r = board.run(args);
        EXPECT_TRUE(r.exited(0)) << r.err;
        return r;
    }
    // The shell command lines the routine handed over, in order.
    static std::vector<std::string> calls(const std::string& out) {
        std::vector<std::string> c;
        for (auto& l : testboard::lines(out))
            if (l.rfind("system call:  ", 0) == 0)
                c.push_back(l.substr(14));
        return c;
    }
    static size_t count(const std::string& out, const std::string& what) {
        size_t n = 0;
        for (size_t at = 0; (at = out.find(what, at)) != std::string::npos; at += what.size())
            ++n;
        return n;
    }
    // The lengths the re-reads asked for, in order.
    static std::vector<std::string> reReads(const std::string& out) {
        const std::string tag = "===>> Re-read fileSizeString: ";
        std::vector<std::string> lengths;
        for (auto& l : testboard::lines(out))
            if (l.rfind(tag, 0) == 0)
                lengths.push_back(l.substr(tag.size()));
        return lengths;
    }
    size_t erases(const std::string& prog) {
        auto m = board.mutations();
        return static_cast<size_t>(std::count_if(m.begin(), m.end(), [&](auto& e) { return e.prog == prog; }));
    }
};

TEST_F(Quillet, IntactBoardIsDumpedOnceAPartitionAndNeverWritten) {
    auto r = run({"--ignored", "arguments"});
    auto c = calls(r.out);
    ASSERT_EQ(8u, c.size());
    EXPECT_EQ("nanddump -o -b -f /mnt/sd/flash_dump.bin -l 131072 /dev/mtd0", c[0]);
    EXPECT_EQ("nanddump -o -b -f /mnt/sd/flash_dump.bin -l 1048576 /dev/mtd12", c[7]);
    EXPECT_EQ(8u, count(r.out, "Flash Dump File verify ok.\nNeed no any action.\n"));
    EXPECT_EQ(0u, board.mutations().size());
    EXPECT_EQ(0u, r.out.find("quillet ===>>>\n"));
    EXPECT_NE(std::string::npos, r.out.find("================================================= \n 512M flash\n"));
}

TEST_F(Quillet, CorruptedImagesAreRewrittenFromTheBackupAndVerified) {
    board.flipStoredBit(2, 3 * kBlock + 17, 2);   // low kernel
    board.flipStoredBit(7, 5, 0);                 // high U-Boot
    auto r = run();
    auto c = calls(r.out);
    ASSERT_EQ(14u, c.size());   // 8 first dumps, 2 rewrites of two commands, 2 dumps after them
    EXPECT_EQ("flash_eraseall /dev/mtd2", c[3]);
    EXPECT_EQ("nandwrite  -p /dev/mtd2 /mnt/sd/backup/kernel.bak", c[4]);
    EXPECT_EQ("nanddump -o -b -f /mnt/sd/flash_dump.bin -l 524288 /dev/mtd2", c[5]);
    EXPECT_EQ(8u, count(r.out, "Flash Dump File verify ok."));
    EXPECT_EQ(2u, count(r.out, "Will updaye it !!!"));
    auto image = testboard::pattern(4 * kBlock, 3);
    EXPECT_TRUE(board.read(2, 0, image.size()) == image);
    EXPECT_GT(erases("flash_eraseall"), 0u);
    EXPECT_GT(erases("nandwrite"), 0u);
}

TEST_F(Quillet, ABadBlockInTheRangeShortensTheDumpAndIsReRead) {
    auto image = testboard::pattern(4 * kBlock, 3);
    board.markBad(2, 1);
    board.load(2, image);
    auto r = run();
    auto c = calls(r.out);
    EXPECT_NE(std::string::npos, r.out.find("===>> Need do re-Read !!!  \n===>> dumpFileSize: 393216\n"
                                            "===>> found Bad Bloack re-read !!!\n===>> Re-read fileSizeString: 655360\n"));
    EXPECT_EQ("nanddump -o -b -f /mnt/sd/flash_dump.bin -l 655360 /dev/mtd2", c[3]);
    EXPECT_EQ(9u, c.size());
    EXPECT_EQ(8u, count(r.out, "Flash Dump File verify ok."));
}

TEST_F(Quillet, APageThatAlwaysReadsWrongGetsSixRewritesAndNoSeventhDump) {
    board.setFaults({"flip=mtd0:100:3"});
    auto r = run();
    auto c = calls(r.out);
    size_t dumps = 0, erasesRun = 0, writes = 0;
    for (auto& l : c) {
        if (l.find("/dev/mtd0") == std::string::npos)
            continue;
        dumps += l.rfind("nanddump", 0) == 0;
        erasesRun += l.rfind("flash_eraseall", 0) == 0;
        writes += l.rfind("nandwrite", 0) == 0;
    }
    EXPECT_EQ(6u, dumps);
    EXPECT_EQ(6u, erasesRun);
    EXPECT_EQ(6u, writes);
    EXPECT_EQ(7u, count(r.out, "Flash Dump File verify ok."));
}

TEST_F(Quillet, ABackupThatDisagreesWithItsChecksumTextIsNeverWritten) {
    board.flipStoredBit(0, 0, 0);
    std::string other = std::string(30, '0') + "42";
    board.writeSdFile("backup/s1l.as2", std::vector<uint8_t>(other.begin(), other.end()));
    auto r = run();
    EXPECT_EQ(2u, count(r.out, "Backup file verify NG !!!\nCan't to verify flash data !!!\n"));
    EXPECT_EQ(0u, board.mutations().size());
    EXPECT_EQ(8u, calls(r.out).size());
}

TEST_F(Quillet, AFailingDumpNeverVerifiesFromAStaleDumpFile) {
    // A dump file of exactly the S1L backup is already on the card.
    board.writeSdFile("flash_dump.bin", board.readSdFile("backup/s1l.bak"));
    board.setFaults({"fail=mtd0:read:*:EIO"});
    auto r = run();
    std::string low = r.out.substr(0, r.out.find("/dev/mtd1 check ok."));
    EXPECT_EQ(std::string::npos, low.find("Flash Dump File verify ok.")) << low;
    EXPECT_EQ(6u, count(low, "flash_eraseall /dev/mtd0"));
}

TEST_F(Quillet, MissingPathsAndBadBackupSizesStopBeforeAnyCommand) {
    board.writeSdFile("backup/uboot.bak", {});
    board.writeSdFile("backup/kernel.bak", std::vector<uint8_t>(2049, 1));
    unlink(board.sdPath("backup/appfs.as2").c_str());
    unlink(board.sdPath("backup/s1l.bak").c_str());
    auto r = run();
    EXPECT_NE(std::string::npos, r.out.find("/dev/mtd0 check ok.\n/mnt/sd/backup/s1l.bak check NG!!!\n"));
    EXPECT_NE(std::string::npos, r.out.find("File error...\n"));
    EXPECT_NE(std::string::npos, r.out.find("File size Error !!!\n"));
    EXPECT_NE(std::string::npos,
              r.out.find("/mnt/sd/backup/appfs.as1 check ok.\n/mnt/sd/backup/appfs.as2 check NG!!!\n"));
    EXPECT_TRUE(calls(r.out).empty());
}

// ---- its own MTD tools, whatever the search path and the shell ----

struct OwnToolsCase {
    const char* name;
    bool ash;      // system() runs its commands with BusyBox's ash, not /bin/sh
    bool staged;   // the quillet of a staged installation, not the build's
};
void PrintTo(const OwnToolsCase& c, std::ostream* os) { *os << c.name; }

class QuilletOwnTools : public Quillet, public ::testing::WithParamInterface<OwnToolsCase> {
protected:
    const std::string work = board.dir() + "/..";
    // First on PATH: tools of another generation, which refuse quillet's
    // options (as mtd-utils 2.x and BusyBox do) and note that they ran.
    std::string foreignTools() const {
        const std::string dir = work + "/foreign";
        mkdir(dir.c_str(), 0755);
        for (const char* tool : {"nanddump", "nandwrite", "flash_eraseall"}) {
            const std::string path = dir + "/" + tool;
            std::ofstream(path) << "#!/bin/sh\necho \"$0 $*\" >>" << work << "/foreign.calls\n"
                                << "echo \"${0##*/}: invalid option -- 'b'\" >&2\nexit 1\n";
            chmod(path.c_str(), 0755);
        }
        return dir;
    }
    // `cmake --install` of this build into a staging folder; empty where
    // only the arm tier's wrappers start the programs (a cross build, or
    // the arm tier's run of the native tests).
    std::string stagedQuillet() const {
#ifdef FW_INSTALL_BUILD
        const std::string build = FW_BUILT(FW_INSTALL_BUILD);
#else
        const std::string build;
#endif
        if (build.empty())
            return "";
        const std::string stage = work + "/stage";
        auto r = testboard::runShell("DESTDIR='" + stage + "' cmake --install '" + build + "' --prefix /usr");
        EXPECT_TRUE(r.exited(0)) << r.out << r.err;
        return stage + "/usr/sbin/quillet";
    }
};

TEST_P(QuilletOwnTools, VerifiesAnIntactBoardWithoutAWrite) {
    const OwnToolsCase& c = GetParam();
    const std::string quillet = c.staged ? stagedQuillet() : testboard::binDir() + "/quillet";
    if (quillet.empty())
        GTEST_SKIP() << "no staged installation of a cross build";
    std::vector<std::string> env = {"PATH=" + foreignTools() + ":/usr/sbin:/usr/bin:/sbin:/bin"};
    if (c.ash) {
        ASSERT_EQ(0, access("/bin/busybox", X_OK)) << "no BusyBox: bash scripts/deps.sh installs it";
        env.push_back("LD_PRELOAD=" + testboard::preload() + " " + FW_BUILT(FW_SYSTEM_ASH));
    }
    auto r = board.run({quillet}, "", env);
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(8u, count(r.out, "Flash Dump File verify ok.\nNeed no any action.\n")) << r.out;
    EXPECT_FALSE(std::ifstream(work + "/foreign.calls")) << "a foreign tool ran";
    EXPECT_EQ(0u, board.mutations().size());
    EXPECT_EQ(c.ash ? 8u : 0u, count(r.err, "system() through BusyBox ash: nanddump ")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Runs, QuilletOwnTools,
                         ::testing::Values(OwnToolsCase{"Sh", false, false}, OwnToolsCase{"BusyBoxAsh", true, false},
                                           OwnToolsCase{"StagedInstall", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a captured log in the order things happened ----

// One item of a log that the programs' output shares with the board's log
// of flash operations: an operation, or console text (a line, or one state
// of a progress line redrawn with carriage returns).
struct LogItem {
    std::string text, prog, dev, op;   // prog empty for console text
    uint32_t offset = 0;
};

// An operation's line ends a piece; text printed without a line end may
// come before it.
std::vector<LogItem> logItems(const std::string& path) {
    static const testboard::Ere op("[0-9]+ ([^[:space:]]+) (mtd[0-9]+) (erase|program) 0x([0-9a-f]+) 0x[0-9a-f]+$");
    std::ifstream in(path);
    std::vector<LogItem> items;
    std::string piece;
    for (std::string line; std::getline(in, line);) {
        for (std::istringstream pieces(line); std::getline(pieces, piece, '\r');) {
            size_t at = 0;
            const std::vector<std::string> m = op.search(piece, &at);
            const bool isOp = !m.empty();
            const std::string prefix = isOp ? piece.substr(0, at) : piece;
            if (!isOp || prefix.find_first_not_of(' ') != std::string::npos)
                items.push_back({prefix, "", "", "", 0});
            if (isOp)
                items.push_back({m[0], m[1], m[2], m[3], static_cast<uint32_t>(std::stoul(m[4], nullptr, 16))});
        }
    }
    return items;
}

bool namesDevice(const std::string& text, const std::string& dev) {
    return !testboard::Ere("/dev/" + dev + "([^0-9]|$)").search(text).empty();
}

// tolvane -m and quillet with both streams appended to the board's own log:
// each erase follows its progress line, each page tolvane writes follows the
// line naming its partition, each tool's operation and message its command.
TEST_F(Quillet, ACapturedLogShowsEachLineBeforeTheOperationsItAnnounces) {
    board.markBad(2, 1);   // the tools report the block they skip
    board.load(2, testboard::pattern(testboard::shortBackupBytes(kImages[testboard::kKernel]), 3));
    ASSERT_TRUE(board.run({"tolvane", "-l"}).exited(0));
    ASSERT_TRUE(board.run({"tolvane", "-o"}).exited(0));
    board.putBackup("kernel", testboard::pattern(4 * kBlock, 77));   // quillet rewrites both kernels
    board.eraseBlock(testboard::kFlag, 0);                            // -m rewrites the flag
    board.eraseBlock(testboard::kTable2, 0);                          // and copies table 1 over 2
    board.clearLog();
    const std::string log = board.dir() + "/log";
    ASSERT_TRUE(board.run({"sh", "-c", "tolvane -m >>" + log + " 2>&1; quillet >>" + log + " 2>&1"}).exited(0));
    std::string call, named, last;   // the last command, line naming a partition, console text
    std::map<std::string, int> seen;
    for (const LogItem& i : logItems(log)) {
        if (i.prog.empty()) {
            const std::string tool = i.text.substr(0, i.text.find(": "));
            if (tool == "nanddump" || tool == "nandwrite" || tool == "flash_eraseall") {
                EXPECT_EQ(0u, call.rfind(tool + " ", 0)) << i.text << " after the command " << call;
                ++seen["tool message"];
            }
            if (i.text.rfind("system call:  ", 0) == 0)
                call = i.text.substr(14);
            if (i.text.find("/dev/mtd") != std::string::npos)
                named = i.text;
            last = i.text;
            continue;
        }
        char progress[64];
        snprintf(progress, sizeof progress, "Erasing %u Kibyte @ %x -- ", kBlock / 1024, i.offset);
        if (i.prog == "tolvane" && i.op == "erase")
            EXPECT_NE(std::string::npos, last.find(progress)) << i.text << " after " << last;
        else if (i.prog == "tolvane")
            EXPECT_TRUE(namesDevice(named, i.dev)) << i.text << " after " << named;
        else
            EXPECT_TRUE(call.rfind(i.prog + " ", 0) == 0 && namesDevice(call, i.dev)) << i.text << " after " << call;
        ++seen[i.prog + " " + i.op];
    }
    for (const char* kind : {"tolvane erase", "tolvane program", "flash_eraseall erase", "nandwrite program",
                             "tool message"})
        EXPECT_GT(seen[kind], 0) << kind;
}

class QuilletSmallBoard : public Quillet {
protected:
    QuilletSmallBoard() : Quillet("small") {}
};

TEST_F(QuilletSmallBoard, ChecksTheLowSetOnly) {
    auto r = run();
    auto c = calls(r.out);
    ASSERT_EQ(4u, c.size());
    EXPECT_NE(std::string::npos, c[3].find("/dev/mtd5"));
    std::string tail = "================================================= \nNot 512M flash\n";
    EXPECT_EQ(r.out.size() - tail.size(), r.out.rfind(tail));
}

// Re-reads of an intact image whose dump comes out short or long. Each grows
// the last length asked for by the last dump's shortfall, so the dump reaches
// the backup's size and verifies without a rewrite.
struct ReReadCase {
    const char* name;
    const char* image;
    int mtd;
    uint32_t size;                     // backup bytes
    std::vector<uint32_t> bad;         // bad blocks of the partition
    std::vector<std::string> faults;
    std::vector<std::string> lengths;  // the re-reads asked for
};

void PrintTo(const ReReadCase& c, std::ostream* os) { *os << c.name; }

class QuilletReRead : public QuilletSmallBoard, public ::testing::WithParamInterface<ReReadCase> {};

TEST_P(QuilletReRead, ReachesTheWholeImageAndVerifiesWithoutARewrite) {
    const ReReadCase& c = GetParam();
    for (uint32_t blk : c.bad)
        board.markBad(c.mtd, blk);
    auto image = testboard::pattern(c.size, 99);
    board.putBackup(c.image, image);
    board.load(c.mtd, image);
    board.setFaults(c.faults);
    auto r = run();
    std::string dev = "/dev/mtd" + std::to_string(c.mtd);
    std::string own = r.out.substr(r.out.find(dev + " check ok."));
    own = own.substr(0, own.find("================================================= "));
    EXPECT_EQ(c.lengths, reReads(own)) << own;
    EXPECT_EQ(1u, count(own, "Flash Dump File verify ok.\nNeed no any action.\n")) << own;
    EXPECT_EQ(0u, count(own, "flash_eraseall") + count(own, "nandwrite"));
    EXPECT_EQ(0u, board.mutations().size());
}

// Block 3 spans 393216 to 524288: a kernel of 501760 bytes ends inside it.
INSTANTIATE_TEST_SUITE_P(
    Cases, QuilletReRead,
    ::testing::Values(
        ReReadCase{"RangeEndsInsideABadBlock", "kernel", 2, 501760, {3}, {}, {"610304", "632832"}},
        ReReadCase{"RangeEndsInsideTwoBadBlocks", "kernel", 2, 501760, {3, 4}, {}, {"610304", "718848", "763904"}},
        ReReadCase{"WholeBlockShortfall", "kernel", 2, 4 * kBlock, {1}, {}, {"655360"}},
        // The first dump fails: the re-read asks twice the backup, which runs
        // past the 4-block partition and is cut to its end; the dumps that
        // come out too long shrink the length back.
        ReReadCase{"FailedDumpThenPastTheEnd", "s1l", 0, 3 * kBlock, {}, {"fail=mtd0:read:1:EIO"},
                   {"786432", "655360", "524288", "393216"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
