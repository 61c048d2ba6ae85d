// The board tool: what engineers and the story drive boards with.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>

#include "test_board.h"

using testboard::TestBoard;

namespace {

using Tool = testboard::RunResult;

Tool simboard(const std::string& args) { return testboard::runShell(FW_BUILT(FW_SIMBOARD_PATH) + " " + args); }

TEST(BoardTool, EveryBadArgumentGetsOneLineAndStatusTwo) {
    TestBoard b;
    for (const std::string& args : std::vector<std::string>{"", "frobnicate " + b.dir(), "bad " + b.dir() + " mtd99 1", "bad " + b.dir() + " mtd2 160",
                             "bad " + b.dir() + " mtd2 x", "fault " + b.dir() + " cut=0:before",
                             "fault " + b.dir() + " fail=mtd2:sing:1:EIO", "create /tmp/x --layout 1g",
                             "create /tmp/x --ecc-step 300 --ecc-strength 1", "create /tmp/x --ecc-strength 1",
                             "show /nonexistent", "flip " + b.dir() + " mtd2 0 8", "run " + b.dir(),
                             "run " + b.dir() + " --path-first", "run " + b.dir() + " --path-first /nonexistent -- true",
                             "run " + b.dir() + " --first-path /tmp -- true"}) {
        Tool t = simboard(args);
        EXPECT_EQ(2, t.status) << args;
        EXPECT_EQ(0u, t.err.find("simboard: ")) << args << ": " << t.err;
        if (!args.empty()) {
            EXPECT_EQ(1, std::count(t.err.begin(), t.err.end(), '\n')) << args << ": " << t.err;
        }
    }
}

TEST(BoardTool, LoadSkipsBadBlocksAndPadsTheLastPage) {
    TestBoard b;
    b.markBad(2, 0);
    auto image = testboard::pattern(131072 + 3000, 3);
    std::string file = b.sdPath("img");
    b.writeSdFile("img", image);
    ASSERT_EQ(0, simboard("load " + b.dir() + " mtd2 " + file).status);
    auto flash = b.read(2, 131072, 2 * 131072);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(0xFF, flash[image.size()]);
}

// A shell line on a fresh board, SB the board tool and DIR the board's
// folder: its status, how its output starts and its whole error output.
struct LineCase {
    const char* name;
    std::string line;
    int status;
    std::string out, err;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

std::string expand(std::string text, const std::string& dir) {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"SB", FW_BUILT(FW_SIMBOARD_PATH)}, {"DIR", dir}})
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
            text.replace(at, from.size(), to);
    return text;
}

class BoardToolLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(BoardToolLine, SaysWhatItDoesAndDestroysNoBoardByAccident) {
    TestBoard b;
    const LineCase& c = GetParam();
    Tool t = testboard::runShell("{ " + expand(c.line, b.dir()) + "; }");   // every command's output
    EXPECT_EQ(c.status, t.status) << t.err;
    EXPECT_EQ(0u, t.out.find(expand(c.out, b.dir()))) << t.out;
    EXPECT_EQ(expand(c.err, b.dir()), t.err);
}

INSTANTIATE_TEST_SUITE_P(Lines, BoardToolLine, ::testing::Values(
    LineCase{"Help", "SB help", 0, "usage: simboard COMMAND", ""},
    LineCase{"DashDashHelp", "SB --help", 0, "usage: simboard COMMAND", ""},
    LineCase{"DashH", "SB -h", 0, "usage: simboard COMMAND", ""},
    LineCase{"CreateRefusesABoard", "SB create DIR", 1, "", "simboard: DIR is a board already (--force makes it afresh)\n"},
    LineCase{"CreateRefusesAFolderNotEmpty", "SB create DIR/sd", 1, "", "simboard: DIR/sd is not empty (--force makes a board in it)\n"},
    LineCase{"CreateForceMakesTheBoardAfresh", "SB flip DIR mtd0 0 0 && SB create DIR --force && SB read DIR mtd0 /dev/stdout 1 | od -An -tx1",
             0, " ff\n", ""},
    LineCase{"CreateWritesTheEcc", "SB create DIR/../e --ecc-step 256 --ecc-strength 1 && grep ecc DIR/../e/board.conf", 0, "ecc 256 1\n", ""},
    LineCase{"LoadOfAFileTooLargeErasesNothing", "SB flip DIR mtd0 0 0 && head -c 655360 /dev/zero >DIR/../big && "
             "{ SB load DIR mtd0 DIR/../big; echo $?; } && SB read DIR mtd0 /dev/stdout 1 | od -An -tx1", 0, "1\n fe\n",
             "simboard: DIR/../big does not fit into mtd0\n"},
    LineCase{"FaultSaysItReplacedTheEarlier", "SB fault DIR cut=9:before fail=mtd1:read:1:EIO && SB fault DIR flip=mtd1:0:0", 0, "",
             "simboard: replaced 2 earlier faults (--add adds to them)\n"},
    // The counters go on through --add: the cut stays fired.
    LineCase{"FaultAddAddsAndListMarksAFiredCut", "SB fault DIR cut=1:after && (SB run DIR -- dd if=/dev/zero "
             "of=/dev/mtd1 bs=2048 count=1; :) 2>/dev/null; SB fault DIR --add flip=mtd1:0:0 && SB fault DIR list", 0,
             "cut=1:after (fired)\nflip=mtd1:0:0\n", ""},
    LineCase{"FaultOnAPartitionTheBoardHasNot", "SB fault DIR fail=mtd99:read:1:EIO", 2, "", "simboard: the board has no mtd99\n"}));

TEST(BoardTool, SdPreparesTheBackupWithBothChecksumTexts) {
    TestBoard b;
    b.writeSdFile("src", std::vector<uint8_t>{'a', 'b', 'c'});
    ASSERT_EQ(0, simboard("sd " + b.dir() + " kernel " + b.sdPath("src")).status);
    auto text = b.readSdFile("backup/kernel.as1");
    EXPECT_EQ(std::string(29, '0') + "294", std::string(text.begin(), text.end()));
    EXPECT_TRUE(text == b.readSdFile("backup/kernel.as2"));
    EXPECT_EQ(3u, b.readSdFile("backup/kernel.bak").size());
}

// A nanddump wrapper first on the caller's PATH: skipped by default, so that
// the stand-in runs; run first when --path-first names its folder.
TEST(BoardTool, RunPutsTheStandInToolsFirstUnlessPathFirstNamesAFolder) {
    TestBoard b;
    const std::string wrap = b.dir().substr(0, b.dir().rfind('/')) + "/wrap", calls = wrap + "/calls";
    ASSERT_EQ(0, mkdir(wrap.c_str(), 0755));
    std::ofstream(wrap + "/nanddump") << "#!/bin/sh\necho \"wrapped $*\" >>" << calls << "\nexec "
                                      << testboard::toolDir() << "/nanddump \"$@\"\n";
    ASSERT_EQ(0, chmod((wrap + "/nanddump").c_str(), 0755));
    // The search path a command gets: the board tool's own folder and the
    // tools folder beside it first, or the folder the option names and then
    // those two.
    auto pathOf = [&](const std::string& option) {
        return simboard("run " + b.dir() + " " + option + " -- sh -c 'echo \"$PATH\"'").out;
    };
    const std::string plain = pathOf(""), own = plain.substr(0, plain.find(':'));
    const std::string tools = own + "/" FW_TOOLS_FROM_PROGRAMS;
    EXPECT_EQ(own + ":" + tools + ":" + getenv("PATH") + "\n", plain);
    EXPECT_EQ(wrap + ":" + plain, pathOf("--path-first " + wrap));

    const std::string dump = "nanddump -o -b -f /mnt/sd/dump.bin -l 2048 /dev/mtd0";
    const struct {
        std::string option;
        bool wrapped;
    } cases[] = {{"", false}, {"--path-first " + wrap, true}};
    // A board tool kept apart from the stand-ins (the arm tier's) cannot
    // show the default skipping the wrapper.
    const bool standInsBeside = access((tools + "/nanddump").c_str(), X_OK) == 0;
    for (const auto& c : cases) {
        if (!c.wrapped && !standInsBeside)
            continue;
        SCOPED_TRACE(c.option);
        remove(calls.c_str());
        remove(b.sdPath("dump.bin").c_str());
        // A sanitized nanddump must accept the emulator preloaded ahead of its runtime.
        Tool t = testboard::runShell("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 PATH=" + wrap + ":$PATH " +
                                     FW_BUILT(FW_SIMBOARD_PATH) + " run " + b.dir() + " " + c.option + " -- " + dump);
        ASSERT_EQ(0, t.status) << t.err;
        EXPECT_EQ(2048u, b.readSdFile("dump.bin").size()) << "the stand-in did not dump";
        std::ifstream log(calls);
        std::string line;
        std::getline(log, line);
        EXPECT_EQ(c.wrapped ? "wrapped " + dump.substr(9) : "", line);
    }
}

TEST(BoardTool, ShowDecodesTheRecordsAndImageSums) {
    TestBoard b;
    std::vector<uint8_t> table(28, 0);
    const uint8_t marker[] = {0xAA, 0xAA, 0xAA, 0xAA};
    std::copy(marker, marker + 4, table.begin());
    table[12] = 1;          // s1lSum = 1: the checksum of bytes 10..27 is 1
    table[4] = 1;
    b.program(9, 0, table);
    b.program(3, 0, {0x55, 0x55, 0x55, 0x55, 1, 0, 0, 0, 0x55, 0x55, 0x55, 0x55});
    b.markBad(5, 7);
    Tool t = simboard("show " + b.dir());
    ASSERT_EQ(0, t.status) << t.err;
    EXPECT_NE(std::string::npos, t.out.find("flag     mtd3   valid    names table 1")) << t.out;
    EXPECT_NE(std::string::npos, t.out.find("table 1  mtd9   valid")) << t.out;
    EXPECT_NE(std::string::npos, t.out.find("table 2  mtd10  invalid  no marker (ffffffff)")) << t.out;
    EXPECT_NE(std::string::npos, t.out.find("mtd5   app 1         720    94371840  7")) << t.out;
    // An erased S1L block sums to 131072 x 255 and differs from the reference 1.
    EXPECT_NE(std::string::npos, t.out.find("01fe0000 DIFFERS")) << t.out;
}

TEST(BoardTool, MapDrawsEveryBlockAndMarksBadOnes) {
    TestBoard b;
    b.markBad(8, 3);
    std::string svg = b.sdPath("map.svg");
    ASSERT_EQ(0, simboard("map " + b.dir() + " " + svg).status);
    std::ifstream in(svg);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t cells = 0;
    for (size_t at = 0; (at = text.find("<title>mtd", at)) != std::string::npos; ++at)
        ++cells;
    EXPECT_EQ(4096u, cells);
    EXPECT_NE(std::string::npos, text.find("<title>mtd8 block 3 (bad)</title>"));
}

}  // namespace
