// tolvane-status on the simulated board: for each board state the JSON's
// flag, copies, reader, images and bootable sets, the text's bootable line
// and the exit status; and no run writes the flash or opens a device for
// writing.
#include "tolvane_test.h"

#include <cstdlib>

using namespace tv;

namespace {

class StatusTest;

struct StatusCase {
    const char* name;
    void (*setup)(StatusTest&, Fields healthy);   // on a healthy board; none: a fresh one
    std::vector<std::string> faults;
    int status;
    std::string reader, bootable, bootableText;   // the JSON's two lines and the text's bootable line
    // Pieces of the JSON's top-level lines as "key: piece"; "key: !piece" must be absent.
    std::vector<std::string> pieces;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class StatusTest : public TolvaneTest, public ::testing::WithParamInterface<StatusCase> {
public:
    using TolvaneTest::board;
    using TolvaneTest::healthyBoard;
    using TolvaneTest::putFlag;
    using TolvaneTest::putTable;
    using TolvaneTest::putValidTables;
};

// A run with the open guard preloaded ahead of the emulator.
testboard::RunResult guarded(const testboard::TestBoard& b, const Argv& argv) {
    const char* was = getenv("FW_PRELOAD");
    const std::string preload = testboard::preload();
    setenv("FW_PRELOAD", (FW_BUILT(FW_OPEN_GUARD) + " " + preload).c_str(), 1);
    testboard::RunResult r = b.run(argv);
    if (was)
        setenv("FW_PRELOAD", preload.c_str(), 1);
    else
        unsetenv("FW_PRELOAD");
    return r;
}

// What a top-level key holds: the program prints one key a line.
std::string lineOf(const std::string& json, const std::string& key) {
    const std::string prefix = "  \"" + key + "\": ";
    for (const std::string& line : testboard::lines(json))
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size(), line.size() - prefix.size() - (line.back() == ','));
    return "(no key " + key + ")";
}

// The JSON's reader line.
std::string reader(const char* copy, const char* reason, const char* updating, const char* set) {
    return std::string("{\"copy\": ") + copy + ", \"reason\": \"" + reason + "\", \"updating\": " + updating +
           ", \"set\": " + set + "}";
}
const char kNamed[] = "the copy the flag names is valid";
const char kOther[] = "the copy the flag names is not valid, the other is";
const std::string kCopy1 = reader("1", kNamed, R"("none")", "1");
const std::string kBoth = R"({"low": true, "high": true})", kLowOnly = R"({"low": true, "high": false})";
const std::string kNeither = R"({"low": false, "high": false})";

const auto kAsIs = [](StatusTest&, Fields) {};

const StatusCase kCases[] = {
    {"FreshErasedBoard", nullptr, {}, 1, reader("null", "neither copy is valid", "null", "null"), kNeither, "none",
     {R"(flag: "state": "invalid", "names": 1)", R"(copies: "state": "erased"}, {"copy": 2)",
      R"(copies: "state": "erased"}])", R"(images: "record": null)", R"(images: "state": "no record")"}},
    {"FinishedUpdate", kAsIs, {}, 0, kCopy1, kBoth, "low high",
     {R"(flag: "state": "valid", "names": 1)", R"(images: !"differs")", R"(images: !"error")"}},
    {"LowBeingUpdated",
     [](StatusTest& t, Fields f) {
         f.low = 1;
         t.putValidTables(f);
         t.board.load(kImages[kKernel].low, testboard::pattern(70000, 3));   // the new release, half written
     },
     {}, 0, reader("1", kNamed, R"("low")", "2"), R"({"low": false, "high": true})", "high",
     {R"(copies: "high": 0, "low": 1, "updating": "low")",
      R"(images: "state": "differs"}, "high": {"device": "/dev/mtd8")"}},
    {"BothSetsMarked", [](StatusTest& t, Fields f) { f.low = f.high = 1; t.putValidTables(f); }, {}, 1,
     reader("1", kNamed, R"("mixed")", "null"), kNeither, "none", {R"(copies: "updating": "mixed")"}},
    {"NamedCopyDamaged",
     [](StatusTest& t, Fields f) {
         t.putTable(kTable2, encodeRecord(f, kTableMarker, 1));
         t.putFlag(2);
     },
     {}, 0, reader("1", kOther, R"("none")", "1"), kBoth, "low high",
     {R"(flag: "names": 2)", R"(copies: "device": "/dev/mtd10", "badBlocks": [], "state": "wrong checksum")"}},
    {"BadBlockInAnImage", [](StatusTest& t, Fields) { t.board.markBad(kImages[kKernel].high, 1); }, {}, 1, kCopy1,
     kLowOnly, "low", {R"(images: "device": "/dev/mtd8", "badBlocks": [1], "sum": )", R"(images: "state": "differs")"}},
    {"ImageWithNoGoodBlock",
     [](StatusTest& t, Fields) {
         for (uint32_t b = 0; b < 4; ++b)
             t.board.markBad(kImages[kS1L].high, b);
     },
     {}, 1, kCopy1, kLowOnly, "low",
     {R"(images: "/dev/mtd6", "error": "too few good blocks", "badBlocks": [0, 1, 2, 3], "sum": null, )"
      R"("state": "unreadable")"}},
    {"UnreadableCopy", kAsIs, {"fail=mtd9:read:*:EIO"}, 0, reader("2", kOther, R"("none")", "1"), kBoth, "low high",
     {R"(copies: "/dev/mtd9", "error": "Input/output error", "badBlocks": [], "state": "unreadable")"}},
};

TEST_P(StatusTest, ReportsTheBoardAndWritesNothing) {
    const StatusCase& c = GetParam();
    if (c.setup)
        c.setup(*this, healthyBoard());
    board.setFaults(c.faults);
    board.clearLog();
    const testboard::RunResult json = guarded(board, {"tolvane-status", "--json"});
    EXPECT_TRUE(testboard::ExitedWith(json, c.status));
    EXPECT_EQ(lineOf(json.out, "reader"), c.reader);
    EXPECT_EQ(lineOf(json.out, "bootable"), c.bootable);
    for (const std::string& piece : c.pieces) {
        const size_t colon = piece.find(": ");
        const std::string line = lineOf(json.out, piece.substr(0, colon)), want = piece.substr(colon + 2);
        if (want[0] == '!')
            EXPECT_FALSE(contains(line, want.substr(1))) << line;
        else
            EXPECT_TRUE(contains(line, want)) << line;
    }
    const testboard::RunResult text = guarded(board, {"tolvane-status"});
    EXPECT_TRUE(testboard::ExitedWith(text, c.status));
    EXPECT_TRUE(contains(text.out, "\nbootable    " + c.bootableText + "\n")) << text.out;
    EXPECT_FALSE(contains(json.err + text.err, "open_guard:")) << json.err << text.err;
    EXPECT_TRUE(board.mutations().empty());
}

INSTANTIATE_TEST_SUITE_P(States, StatusTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

// The guard's silence counts only if it speaks up: tolvane opens the flag
// for reading and writing.
TEST(StatusGuard, CatchesAProgramThatOpensADeviceForWriting) {
    testboard::TestBoard b;
    EXPECT_TRUE(contains(guarded(b, {"tolvane", "-o"}).err, "open_guard: /dev/mtd3 opened for writing\n"));
}

TEST(StatusUsage, UnknownOptionsAndArgumentsExitWith2AndTheUsage) {
    testboard::TestBoard b;
    for (const char* wrong : {"--jsn", "-x", "now"}) {
        const testboard::RunResult r = b.run({"tolvane-status", wrong});
        EXPECT_TRUE(testboard::ExitedWith(r, 2));
        EXPECT_TRUE(contains(r.err, "(usage: tolvane-status [--json])\n")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
