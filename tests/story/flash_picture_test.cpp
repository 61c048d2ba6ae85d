// What the board tool tells of a board: the one-line-per-item summary that
// the story prints after each step, and the flash map picture. Boards are set
// up byte by byte here, without the programs, so that both are checked
// against records and images whose every field the test chose.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "test_board.h"
#include "flash_layout.h"
#include "records.h"

namespace {

using testboard::kBlock;
using testboard::kFlag;
using testboard::kImages;
using testboard::kTable1;
using testboard::kTable2;

std::vector<uint8_t> bytesOf(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// A table record of length 10 with these updating bytes and sums.
std::vector<uint8_t> tableRecord(uint8_t high, uint8_t low, const uint32_t sums[4]) {
    testboard::Fields f;
    f.high = high;
    f.low = low;
    std::copy(sums, sums + 4, f.sums.begin());
    const testboard::Record r = testboard::makeRecord(f);
    return bytesOf(r.data(), r.size());
}

std::vector<uint8_t> flagRecord(uint32_t names) {
    const testboard::Flag f = testboard::makeFlag(names);
    return bytesOf(f.data(), f.size());
}

// An image that starts with its name, and its partition sum once loaded
// from block 0 of a partition without bad blocks (the rest reads 0xFF).
struct Image {
    std::vector<uint8_t> bytes;
    uint32_t sum;
};

Image image(const std::string& name, size_t size, uint32_t seed, uint32_t blocks) {
    Image im{testboard::pattern(size, seed), 0};
    std::copy(name.begin(), name.end(), im.bytes.begin());
    im.bytes[name.size()] = '\n';
    im.sum = testboard::byteSum(im.bytes) + 0xFFu * static_cast<uint32_t>(blocks * kBlock - size);
    return im;
}

// Both sets loaded: release `lowSeed` in the low set, `highSeed` in the high set.
struct Sets {
    uint32_t low[4], high[4];
};

Sets loadSets(testboard::TestBoard& b, uint32_t lowSeed, uint32_t highSeed) {
    const char* names[] = {"S1L", "U-Boot", "kernel", "appfs"};
    const size_t sizes[] = {6144, 40960, 200704, 401408};
    Sets s{};
    for (int i = 0; i < 4; ++i) {
        Image lo = image(std::string(names[i]) + " r" + std::to_string(lowSeed), sizes[i], lowSeed * 10 + i,
                         kImages[i].blocks);
        Image hi = image(std::string(names[i]) + " r" + std::to_string(highSeed), sizes[i], highSeed * 10 + i,
                         kImages[i].blocks);
        b.load(kImages[i].low, lo.bytes);
        b.load(kImages[i].high, hi.bytes);
        s.low[i] = lo.sum;
        s.high[i] = hi.sum;
    }
    return s;
}

std::string summary(const testboard::TestBoard& b) {
    nandemu::Board nb(b.dir());
    return nandemu::summarizeBoard(nb);
}

std::string map(const testboard::TestBoard& b, const std::string& title = "") {
    nandemu::Board nb(b.dir());
    return nandemu::flashMapSvg(nb, title);
}

// The summary line that starts with `name` (and a blank), or "".
std::string lineOf(const std::string& text, const std::string& name) {
    for (const std::string& l : testboard::lines(text))
        if (l.compare(0, name.size() + 1, name + " ") == 0)
            return l;
    return "";
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string hex8(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// ------------------------------------------------------------ the summary

TEST(BoardSummary, FreshBoardShowsErasedRecordsAndImagesWithoutATable) {
    testboard::TestBoard b;
    std::string s = summary(b);
    std::vector<std::string> ls = testboard::lines(s);
    ASSERT_EQ(12u, ls.size()) << s;
    EXPECT_EQ("flag       mtd3   invalid  erased", lineOf(s, "flag"));
    EXPECT_EQ("table 1    mtd9   invalid  erased", lineOf(s, "table 1"));
    EXPECT_EQ("table 2    mtd10  invalid  erased", lineOf(s, "table 2"));
    // An erased kernel partition: 128 blocks of 0xFF.
    EXPECT_EQ("kernel 2   mtd8   " + hex8(128u * kBlock * 0xFF) + " no table   erased", lineOf(s, "kernel 2"));
    EXPECT_EQ("bad blocks none", ls.back());
    for (size_t i = 0; i + 1 < ls.size(); ++i)
        EXPECT_EQ("mtd", ls[i].substr(11, 3)) << "column of the partition not aligned: " << ls[i];
}

TEST(BoardSummary, EachSetIsJudgedAgainstTheCopyTheFlagNames) {
    testboard::TestBoard b;
    Sets s = loadSets(b, 1, 2);
    b.program(kTable1, 0, tableRecord(0, 1, s.low));
    b.program(kTable2, 0, tableRecord(1, 0, s.high));
    b.program(kFlag, 0, flagRecord(2));
    std::string named2 = summary(b);
    EXPECT_EQ("kernel 1   mtd2   " + hex8(s.low[2]) + " DIFFERS    kernel r1", lineOf(named2, "kernel 1"));
    EXPECT_EQ("kernel 2   mtd8   " + hex8(s.high[2]) + " match      kernel r2", lineOf(named2, "kernel 2"));
    EXPECT_EQ("flag       mtd3   valid    names table 2", lineOf(named2, "flag"));

    b.eraseBlock(kFlag, 0);
    b.program(kFlag, 0, flagRecord(1));
    std::string named1 = summary(b);
    EXPECT_TRUE(has(lineOf(named1, "app 1"), " match      appfs r1")) << named1;
    EXPECT_TRUE(has(lineOf(named1, "app 2"), " DIFFERS    appfs r2")) << named1;
}

TEST(BoardSummary, AnInvalidNamedCopyFallsBackToTheOther) {
    testboard::TestBoard b;
    Sets s = loadSets(b, 3, 3);
    b.program(kTable2, 0, tableRecord(0, 0, s.low));
    b.program(kFlag, 0, flagRecord(1));   // names copy 1, which is erased
    std::string text = summary(b);
    EXPECT_TRUE(has(lineOf(text, "S1L 1"), " match ")) << text;
    EXPECT_TRUE(has(lineOf(text, "S1L 2"), " match ")) << text;
}

TEST(BoardSummary, TableLinesNameTheUpdatingSetOrWhyTheCopyIsInvalid) {
    const uint32_t sums[4] = {0x11, 0x2222, 0x333333, 0x44444444};
    struct Case {
        uint8_t high, low;
        const char* word;
    };
    for (const Case& c : {Case{0, 0, "none"}, Case{0, 1, "low "}, Case{1, 0, "high"}, Case{1, 1, "both"}}) {
        testboard::TestBoard b;
        b.program(kTable1, 0, tableRecord(c.high, c.low, sums));
        EXPECT_EQ(std::string("table 1    mtd9   valid    updating ") + c.word +
                      " sums 00000011 00002222 00333333 44444444",
                  lineOf(summary(b), "table 1"));
    }
    testboard::TestBoard b;
    std::vector<uint8_t> wrongSum = tableRecord(0, 1, sums);
    wrongSum[4] ^= 0x01;
    b.program(kTable1, 0, wrongSum);
    std::vector<uint8_t> wrongMarker = tableRecord(0, 1, sums);
    wrongMarker[3] = 0x2A;
    b.program(kTable2, 0, wrongMarker);
    std::string text = summary(b);
    uint32_t computed = 1 + 0x11 + 0x22 * 2 + 0x33 * 3 + 0x44 * 4;
    EXPECT_EQ("table 1    mtd9   invalid  checksum " + hex8(computed ^ 1) + ", computed " + hex8(computed),
              lineOf(text, "table 1"));
    EXPECT_EQ("table 2    mtd10  invalid  marker 2aaaaaaa", lineOf(text, "table 2"));
    for (uint32_t blk = 0; blk < 4; ++blk)
        b.markBad(kFlag, blk);
    EXPECT_EQ("flag       mtd3   unreadable (no good block)", lineOf(summary(b), "flag"));
}

TEST(BoardSummary, BadBlocksOfEveryPartitionAndImagesTheyLeaveTooShort) {
    testboard::TestBoard b;
    b.markBad(8, 5);
    b.markBad(8, 3);
    b.markBad(5, 7);
    for (uint32_t blk = 0; blk < 4; ++blk)
        b.markBad(6, blk);   // the high S1L has no good block left for its image
    std::string text = summary(b);
    EXPECT_EQ("bad blocks mtd5:7 mtd6:0,1,2,3 mtd8:3,5", lineOf(text, "bad blocks"));
    EXPECT_EQ("S1L 2      mtd6   -------- unreadable -", lineOf(text, "S1L 2"));
    EXPECT_TRUE(has(lineOf(text, "kernel 2"), " no table ")) << text;
}

TEST(BoardSummary, ContentTagIsTheLeadingTextOfTheFirstGoodPage) {
    testboard::TestBoard b;
    b.markBad(2, 0);
    b.load(2, image("kernel v9.9", 4096, 7, 128).bytes);
    std::vector<uint8_t> longText(64, 'x');
    b.load(8, longText);
    b.load(5, {0x01, 'a', 'b'});
    nandemu::Board nb(b.dir());
    EXPECT_EQ("kernel v9.9", nandemu::contentTag(nb, 2));
    EXPECT_EQ(std::string(nandemu::kContentTagLength, 'x'), nandemu::contentTag(nb, 8));
    EXPECT_EQ("-", nandemu::contentTag(nb, 5));
    EXPECT_EQ("erased", nandemu::contentTag(nb, 12));
}

TEST(BoardSummary, OtherLayoutsGetOnlyTheirBadBlocks) {
    testboard::BoardOptions o;
    o.parts = {8, 8, 8};
    testboard::TestBoard b(o);
    b.markBad(1, 2);
    EXPECT_EQ("bad blocks mtd1:2\n", summary(b));
}

// ------------------------------------------------------------ the map

struct Cell {
    std::string cls;
    int part, x, y;
    uint32_t block;
    bool bad;
};

// Every block square of the picture, in document order.
std::vector<Cell> cells(const std::string& svg) {
    std::vector<Cell> out;
    for (size_t at = 0; (at = svg.find("<rect class=\"", at)) != std::string::npos; ++at) {
        size_t end = svg.find("</rect>", at), next = svg.find("<rect", at + 1);
        if (end == std::string::npos || (next != std::string::npos && next < end))
            continue;   // a legend swatch: no block title
        char cls[32];
        Cell c{};
        if (sscanf(svg.c_str() + at, "<rect class=\"%31[^\"]\" x=\"%d\" y=\"%d\" width=\"7\" height=\"7\"><title>mtd%d block %u",
                   cls, &c.x, &c.y, &c.part, &c.block) != 5)
            continue;
        c.cls = cls;
        c.bad = svg.compare(end - 14, 14, " (bad)</title>") == 0;
        out.push_back(c);
    }
    return out;
}

std::vector<Cell> cellsOf(const std::vector<Cell>& all, int part) {
    std::vector<Cell> out;
    for (const Cell& c : all)
        if (c.part == part)
            out.push_back(c);
    return out;
}

// The label and the status text (with its class) of each partition.
struct Label {
    std::string name, statusClass, status;
};

std::map<int, Label> labels(const std::string& svg) {
    std::map<int, Label> out;
    const std::string labelTag = "<text class=\"label\"", statusTag = "<text class=\"status ";
    for (size_t at = 0; (at = svg.find(labelTag, at)) != std::string::npos; ++at) {
        size_t open = svg.find('>', at) + 1;
        std::string name = svg.substr(open, svg.find("</text>", open) - open);
        size_t st = svg.find(statusTag, open) + statusTag.size();
        std::string cls = svg.substr(st, svg.find('"', st) - st);
        size_t sopen = svg.find('>', st) + 1;
        int part = atoi(name.c_str() + 3);
        out[part] = {name, cls, svg.substr(sopen, svg.find("</text>", sopen) - sopen)};
    }
    return out;
}

TEST(FlashMap, EveryBlockAppearsOnceInPartitionOrder) {
    testboard::TestBoard b;
    std::vector<Cell> all = cells(map(b));
    ASSERT_EQ(4096u, all.size());
    int lastPart = 0, lastY = -1;
    uint32_t expectBlock = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        const Cell& c = all[i];
        if (c.part != lastPart) {
            ASSERT_EQ(lastPart + 1, c.part) << "cell " << i;
            EXPECT_GT(c.y, lastY) << "mtd" << c.part << " must start below the previous partition";
            lastPart = c.part;
            expectBlock = 0;
        }
        ASSERT_EQ(expectBlock++, c.block) << "cell " << i;
        if (i > 0 && all[i - 1].part == c.part && all[i - 1].y == c.y)
            EXPECT_EQ(all[i - 1].x + 8, c.x) << "mtd" << c.part << " block " << c.block;
        else
            EXPECT_GT(c.y, lastY) << "mtd" << c.part << " block " << c.block;
        lastY = c.y;
    }
    EXPECT_EQ(12, lastPart);
    EXPECT_EQ(720u, expectBlock);
}

TEST(FlashMap, ImageBlocksTakeTheColourOfTheirJudgement) {
    testboard::TestBoard b;
    Sets s = loadSets(b, 1, 2);
    b.program(kTable1, 0, tableRecord(0, 0, s.low));
    b.program(kFlag, 0, flagRecord(1));
    std::string svg = map(b);
    std::vector<Cell> all = cells(svg);
    for (int i = 0; i < 4; ++i) {
        for (auto [part, cls] : {std::pair<int, const char*>{kImages[i].low, "match"}, {kImages[i].high, "differs"}}) {
            std::vector<Cell> pc = cellsOf(all, part);
            for (const Cell& c : pc)
                EXPECT_EQ(c.block < kImages[i].blocks ? cls : "free", c.cls) << "mtd" << part << " block " << c.block;
        }
    }
    std::map<int, Label> l = labels(svg);
    EXPECT_EQ("matches " + hex8(s.low[2]), l[2].status);
    EXPECT_EQ("match", l[2].statusClass);
    EXPECT_EQ("differs " + hex8(s.high[2]), l[8].status);
    EXPECT_EQ("differs", l[8].statusClass);
    EXPECT_TRUE(has(svg, "images judged against table 1")) << svg.substr(0, 1200);
}

TEST(FlashMap, BadBlocksAreBlackAndTheImageSpanReachesPastThem) {
    testboard::TestBoard b;
    b.markBad(2, 0);
    b.markBad(2, 50);
    std::string svg = map(b);
    std::vector<Cell> kernel = cellsOf(cells(svg), 2);
    ASSERT_EQ(160u, kernel.size());
    for (const Cell& c : kernel) {
        bool bad = c.block == 0 || c.block == 50;
        EXPECT_EQ(bad, c.bad) << c.block;
        // 128 good blocks hold the image: blocks 1..129 apart from the bad 50.
        EXPECT_EQ(bad ? "bad" : c.block <= 129 ? "notable" : "free", c.cls) << c.block;
    }
    EXPECT_EQ("no valid table " + hex8(128u * kBlock * 0xFF) + ", bad 0,50", labels(svg)[2].status);
}

TEST(FlashMap, EveryPartitionIsLabelledWithItsRoleAndState) {
    testboard::TestBoard b;
    const uint32_t sums[4] = {1, 2, 3, 4};
    b.program(kTable2, 0, tableRecord(1, 0, sums));
    b.program(kFlag, 0, flagRecord(2));
    b.markBad(11, 100);
    std::map<int, Label> l = labels(map(b));
    const char* roles[] = {"S1L 1", "U-Boot 1", "kernel 1", "flag",    "spare",   "app 1", "S1L 2",
                           "U-Boot 2", "kernel 2", "table 1", "table 2", "data", "app 2"};
    ASSERT_EQ(13u, l.size());
    for (int p = 0; p < 13; ++p)
        EXPECT_EQ("mtd" + std::to_string(p) + " " + roles[p], l[p].name);
    EXPECT_EQ("names table 2", l[kFlag].status);
    EXPECT_EQ("valid", l[kFlag].statusClass);
    EXPECT_EQ("invalid", l[kTable1].status);
    EXPECT_EQ("invalid", l[kTable1].statusClass);
    EXPECT_EQ("valid, updating high", l[kTable2].status);
    EXPECT_EQ("bad 100", l[11].status);
    EXPECT_EQ("other", l[11].statusClass);
    EXPECT_EQ("differs", l[0].statusClass);   // an erased S1L against the sum 1
    std::vector<Cell> all = cells(map(b));
    EXPECT_EQ("valid", cellsOf(all, kTable2)[0].cls);
    EXPECT_EQ("free", cellsOf(all, kTable2)[1].cls);
    EXPECT_EQ("invalid", cellsOf(all, kTable1)[0].cls);
}

TEST(FlashMap, TitleIsShownAndEscaped) {
    testboard::TestBoard b;
    std::string svg = map(b, "before & <after>");
    EXPECT_TRUE(has(svg, ">Flash map: before &amp; &lt;after&gt;</text>")) << svg.substr(0, 800);
    EXPECT_EQ(0u, svg.find("<svg "));
    EXPECT_EQ(svg.size() - 7, svg.find("</svg>\n"));
    EXPECT_TRUE(has(map(b), ">Flash map</text>"));
}

TEST(FlashMap, OtherLayoutsAreDrawnPlain) {
    testboard::BoardOptions o;
    o.parts = {8, 8, 300};
    testboard::TestBoard b(o);
    b.markBad(2, 299);
    std::vector<Cell> all = cells(map(b));
    ASSERT_EQ(316u, all.size());
    for (const Cell& c : all)
        EXPECT_EQ(c.part == 2 && c.block == 299 ? "bad" : "other", c.cls);
}

// ------------------------------------------------------------ the board tool

using Tool = testboard::RunResult;

Tool simboard(const std::string& args) { return testboard::runShell(FW_BUILT(FW_SIMBOARD_PATH) + " " + args); }

TEST(BoardToolPictures, ShowBriefPrintsTheSummaryAndMapTakesATitle) {
    testboard::TestBoard b;
    Sets s = loadSets(b, 4, 4);
    b.program(kTable1, 0, tableRecord(0, 1, s.low));
    Tool brief = simboard("show " + b.dir() + " --brief");
    ASSERT_EQ(0, brief.status) << brief.err;
    EXPECT_EQ(summary(b), brief.out);
    Tool bad = simboard("show " + b.dir() + " --short");
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ("simboard: unknown option '--short'\n", bad.err);
    std::string file = b.sdPath("after.svg");
    ASSERT_EQ(0, simboard("map " + b.dir() + " " + file + " 'after the repair'").status);
    std::ifstream in(file);
    std::string svg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(map(b, "after the repair"), svg);
    EXPECT_EQ(2, simboard("map " + b.dir() + " " + file + " title extra").status);
}

}  // namespace
