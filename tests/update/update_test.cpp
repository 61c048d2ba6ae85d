// tolvane-update on the simulated board: a release it refuses leaves the
// flash and the SD card's backups untouched; a full update names its steps
// in order and a second run says there is nothing left to do. What an update
// leaves on the flash and the SD card, whole or cut anywhere and resumed
// after the reboot, is checked by the crash tier's rehearsal.
#include "tolvane_test.h"

using namespace tv;

namespace {

constexpr uint32_t kReleaseBytes[4] = {16384, 65536, 262144, 524288};   // whole pages

Bytes releaseImage(int image, uint32_t release) { return testboard::pattern(kReleaseBytes[image], 40 + release * 4 + image); }

// The record sum of an image: its bytes, then erased bytes to its blocks' end.
uint32_t releaseSum(int image, uint32_t release) {
    return testboard::byteSum(releaseImage(image, release)) +
           0xFFu * (kImages[image].blocks * kBlock - kReleaseBytes[image]);
}

void putRelease(const testboard::TestBoard& b, uint32_t release) {
    for (int i = 0; i < 4; ++i)
        b.putBackup(kImages[i].name, releaseImage(i, release), "update");
}

struct Refusal {
    const char* name;
    std::string file, why;            // the line: "tolvane-update: /mnt/sd/update/FILE: WHY"
    std::vector<uint32_t> parts;      // the board's partitions; empty: the 512m layout's
    void (*spoil)(const testboard::TestBoard&);
};
void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

const Refusal kRefusals[] = {
    {"ChecksumTextDiffers", "kernel.as2", "does not match the image's checksum", {},
     [](const testboard::TestBoard& b) { b.writeSdFile("update/kernel.as2", Bytes(32, '0')); }},
    {"FileMissing", "uboot.as1", "No such file or directory", {},
     [](const testboard::TestBoard& b) { std::remove(b.sdPath("update/uboot.as1").c_str()); }},
    {"NotWholePages", "appfs.bak", "1000 bytes, not a whole number of 2048-byte pages", {},
     [](const testboard::TestBoard& b) { b.putBackup("appfs", Bytes(1000, 7), "update"); }},
    {"MoreThanTheRecordCovers", "s1l.bak", "262144 bytes, more than the record covers (1 blocks of 131072 bytes)", {},
     [](const testboard::TestBoard& b) { b.putBackup("s1l", Bytes(2 * kBlock, 7), "update"); }},
    {"LargerThanAPartition", "kernel.bak", "262144 bytes do not fit into /dev/mtd8 (131072 bytes)",
     {4, 8, 160, 4, 4, 720, 4, 8, 1, 4, 4, 2296, 720}, nullptr},
};

class RefusedRelease : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedRelease, NamesTheFileAndWritesNothing) {
    const Refusal& c = GetParam();
    testboard::BoardOptions options;
    options.parts = c.parts;
    testboard::TestBoard b(options);
    putRelease(b, 2);
    if (c.spoil)
        c.spoil(b);
    const testboard::RunResult r = b.run({"tolvane-update"});
    EXPECT_TRUE(testboard::ExitedWith(r, 1));
    EXPECT_EQ(r.err, "tolvane-update: /mnt/sd/update/" + c.file + ": " + c.why + "\n");
    EXPECT_TRUE(b.mutations().empty());
    EXPECT_EQ(testboard::runShell("ls -A '" + b.sdPath("backup") + "'").out, "");
}

INSTANTIATE_TEST_SUITE_P(Releases, RefusedRelease, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

class Update : public TolvaneTest {};

TEST_F(Update, NamesEachStepThenFindsNothingLeftToDo) {
    Fields one;
    for (int i = 0; i < 4; ++i) {
        board.load(kImages[i].low, releaseImage(i, 1));
        board.load(kImages[i].high, releaseImage(i, 1));
        one.sums[i] = releaseSum(i, 1);
    }
    putValidTables(one);
    putRelease(board, 2);
    const testboard::RunResult r = expectRun({"tolvane-update"});
    size_t at = 0;
    for (int n = 1; n <= 6; ++n)
        EXPECT_NE(at = r.err.find("tolvane-update: step " + std::to_string(n) + " of 6: ", at), std::string::npos)
            << r.err;

    const testboard::RunResult again = expectRun({"tolvane-update"});
    EXPECT_EQ(again.err,
              "tolvane-update: both sets and the record hold the release already: nothing to write on the flash\n"
              "tolvane-update: /mnt/sd/backup holds the release already: nothing written\n");
    EXPECT_EQ(again.out, "");
}

TEST(UpdateUsage, HelpAndWrongCommandLines) {
    testboard::TestBoard b;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } kLines[] = {
        {{"-h"}, 0, "usage: tolvane-update [DIR]\n", ""},
        {{"--help"}, 0, "usage: tolvane-update [DIR]\n", ""},
        {{"-x"}, 2, "", "tolvane-update: unknown option -x (usage: tolvane-update [DIR])\n"},
        {{"/mnt/sd/a", "/mnt/sd/b"}, 2, "", "tolvane-update: unexpected argument /mnt/sd/b (usage: tolvane-update [DIR])\n"},
    };
    for (const auto& line : kLines) {
        std::vector<std::string> argv = {"tolvane-update"};
        argv.insert(argv.end(), line.args.begin(), line.args.end());
        const testboard::RunResult r = b.run(argv);
        EXPECT_TRUE(testboard::ExitedWith(r, line.status)) << line.args[0];
        EXPECT_EQ(r.out, line.out);
        EXPECT_EQ(r.err, line.err);
    }
    EXPECT_TRUE(b.mutations().empty());
}

}  // namespace
