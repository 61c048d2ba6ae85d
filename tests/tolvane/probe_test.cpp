// Single operations of the object on the board, through tolvane_probe:
// no operation leaves a descriptor open, a partition is known by the
// pointer of its global and not by its text, and the copy's own ends.
#include <sstream>

#include "tolvane_test.h"

using namespace tv;

namespace {

class ProbeTest : public TolvaneTest {
protected:
    // The probe's own lines: each follows a line end, or the carriage
    // return that ends an erase progress line.
    static std::vector<std::string> results(const std::string& out) {
        std::vector<std::string> found;
        for (const std::string& line : testboard::lines(out))
            found.push_back(line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1));
        return found;
    }
    // The lines of standard output that start with `tag`.
    static std::vector<std::string> tagged(const std::string& out, const std::string& tag) {
        std::vector<std::string> found;
        for (const std::string& line : results(out))
            if (line.compare(0, tag.size() + 1, tag + " ") == 0)
                found.push_back(line);
        return found;
    }
};

TEST_F(ProbeTest, EveryOperationClosesTheDescriptorsItOpens) {
    loadLowSet();
    testboard::RunResult r = expectRun({"tolvane_probe", "fds"});
    size_t measured = 0;
    for (const std::string& line : results(r.out)) {
        std::istringstream in(line);
        std::string name;
        int before = -1, after = -2;
        if (!(in >> name >> before >> after))
            continue;
        ++measured;
        EXPECT_EQ(after, before) << name << " leaves " << after - before << " descriptor(s) open";
    }
    EXPECT_EQ(measured, 12u) << r.out;
}

TEST_F(ProbeTest, PartitionIsKnownByThePointerOfItsGlobalNotByItsText) {
    loadLowSet();
    const std::string sum = hexValue(goodSum(kImages[kKernel].low, 1));
    testboard::RunResult r = expectRun({"tolvane_probe", "identity"});
    // Summed both times; only the global's pointer selects the record field.
    EXPECT_EQ(tagged(r.out, "text"), std::vector<std::string>{"text 1 " + sum + " 0"});
    EXPECT_EQ(tagged(r.out, "global"), std::vector<std::string>{"global 1 " + sum + " " + sum});
}

TEST_F(ProbeTest, CopyWhoseSourceRunsOutOfGoodBlocksEndsTheProcess) {
    for (uint32_t b = 1; b < 4; ++b)
        board.markBad(kImages[kS1L].low, b);
    testboard::RunResult r = expectRun({"tolvane_probe", "copy", "/dev/mtd6", "/dev/mtd0", "2"}, 1);
    EXPECT_TRUE(contains(r.err, "Data did not fit into device, due to bad blocks\n: "));
    EXPECT_TRUE(tagged(r.out, "copy").empty());
}

TEST_F(ProbeTest, CopyWithAPartitionThatCannotBeOpenedChangesNothing) {
    board.load(kImages[kUboot].high, imageData(kUboot, 3));
    const Bytes before = board.read(kImages[kUboot].high, 0, 4 * kBlock);
    for (const Argv& argv : {Argv{"tolvane_probe", "copy", "/dev/mtd7", "/dev/mtd99", "4"},
                             Argv{"tolvane_probe", "copy", "/dev/mtd99", "/dev/mtd1", "4"}}) {
        SCOPED_TRACE(argv[2] + " " + argv[3]);
        testboard::RunResult r = expectRun(argv);
        EXPECT_EQ(tagged(r.out, "copy"), std::vector<std::string>{"copy 0"});
        EXPECT_TRUE(contains(r.err, "open flash: No such file or directory\n"));
    }
    EXPECT_TRUE(board.mutations().empty());
    EXPECT_EQ(board.read(kImages[kUboot].high, 0, 4 * kBlock), before);
}

TEST_F(ProbeTest, OneBlockCopyMovesEveryPageOfTheBlockAndNothingElse) {
    board.load(kImages[kS1L].low, imageData(kS1L, 8));
    testboard::RunResult r = expectRun({"tolvane_probe", "copy", "/dev/mtd6", "/dev/mtd0", "1"});
    EXPECT_EQ(tagged(r.out, "copy"), std::vector<std::string>{"copy 1"});
    EXPECT_TRUE(contains(r.out, "copyFlashPatition() DST: /dev/mtd6, SRC:/dev/mtd0, blockSize: 1\n"));
    std::vector<std::string> want = {"erase 0"};
    for (uint32_t p = 0; p < kBlock / 2048; ++p)
        want.push_back("program " + hexValue(p * 2048));
    EXPECT_EQ(mutationsOf(kImages[kS1L].high), want);
    EXPECT_EQ(mutations().size(), want.size());
    EXPECT_EQ(board.read(kImages[kS1L].high, 0, kBlock), board.read(kImages[kS1L].low, 0, kBlock));
}

}  // namespace
