// The command line: one option decides, the test options and anything
// unknown select no command and touch nothing, and a board without the
// 512 MB layout is refused after the pause, before the options are read.
#include <cstring>

#include "tolvane_test.h"

using namespace tv;

namespace {

const char kStart[] = "ver. 1.0\n";
const char kNoCommand[] = "got error cmd \n";

class CommandLineTest : public TolvaneTest {
protected:
    // A run that selects no command: status 0, nothing but the banner on
    // standard output, nothing written, no pause.
    std::string expectNoCommand(const Argv& argv) {
        board.clearLog();
        testboard::RunResult r = run(argv);
        EXPECT_TRUE(r.exited(0)) << "status " << r.status << " signal " << r.signal;
        EXPECT_TRUE(isBanner(r.out)) << r.out;
        EXPECT_TRUE(board.mutations().empty());
        EXPECT_TRUE(board.sleeps().empty());
        EXPECT_EQ(r.err.substr(0, sizeof kStart - 1), kStart);
        return r.err;
    }

    static bool isBanner(const std::string& out) {
        static const testboard::Ere banner(
            "^ ===========>>> compiler time : [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n$");
        return !banner.search(out).empty();
    }
};

TEST_F(CommandLineTest, NoOptionPrintsTheBannerAndEndsWithoutCommand) {
    EXPECT_EQ(expectNoCommand({"tolvane"}), std::string(kStart) + kNoCommand);
}

TEST_F(CommandLineTest, TestOptionsPrintTheirLinesAndSelectNoCommand) {
    EXPECT_EQ(expectNoCommand({"tolvane", "-a"}), std::string(kStart) + "test command a \n" + kNoCommand);
    EXPECT_EQ(expectNoCommand({"tolvane", "-j"}), std::string(kStart) + "test command j \n" + kNoCommand);
    EXPECT_EQ(expectNoCommand({"tolvane", "--jjj"}), std::string(kStart) + "test command j \n" + kNoCommand);
    EXPECT_EQ(expectNoCommand({"tolvane", "-b", "word"}),
              std::string(kStart) + "command b \n" + "arg:  word \n" + kNoCommand);
    EXPECT_EQ(expectNoCommand({"tolvane", "--bbb=x y"}),
              std::string(kStart) + "command b \n" + "arg:  x y \n" + kNoCommand);
}

TEST_F(CommandLineTest, TestOptionFirstHidesACommandAfterIt) {
    EXPECT_EQ(expectNoCommand({"tolvane", "-a", "-l"}), std::string(kStart) + "test command a \n" + kNoCommand);
}

TEST_F(CommandLineTest, UnknownOptionsAndAMissingArgumentSelectNoCommand) {
    for (const Argv& argv : std::vector<Argv>{{"tolvane", "-b"}, {"tolvane", "-x"}, {"tolvane", "--maintain"},
                                              {"tolvane", "--lower"}, {"tolvane", "--bogus", "-l"}}) {
        SCOPED_TRACE(argv.back());
        std::string err = expectNoCommand(argv);
        // The parser's own diagnostic sits in between; no command line of ours.
        EXPECT_EQ(err.substr(err.size() - (sizeof kNoCommand - 1)), kNoCommand);
        EXPECT_FALSE(contains(err, "command b"));
        EXPECT_FALSE(contains(err, "got cmd"));
        EXPECT_GT(err.size(), sizeof kStart - 1 + sizeof kNoCommand - 1) << "no diagnostic for " << argv.back();
    }
}

TEST_F(CommandLineTest, OnlyTheFirstOptionIsActedOn) {
    putValidTables(Fields{});
    testboard::RunResult r = run({"tolvane", "-l", "-h"});
    ASSERT_TRUE(r.exited(0));
    EXPECT_TRUE(contains(r.err, "Low partition updating command \ngot cmd \n"));
    EXPECT_FALSE(contains(r.err, "High partition updating command"));
    EXPECT_FALSE(contains(r.err, "tableHighPartitionUpdating"));
    EXPECT_EQ(decodeRecord(storedRecord(kTable1)).low, 1);
    EXPECT_EQ(decodeRecord(storedRecord(kTable1)).high, 0);
}

TEST_F(CommandLineTest, LongNamesSelectTheirCommands) {
    putValidTables(Fields{});
    struct Case {
        const char* option;
        const char* line;
    };
    for (const Case& c : {Case{"--low", "Low partition updating command \n"},
                          Case{"--high", "High partition updating command \n"},
                          Case{"--ok", "patition update ok command \n"},
                          Case{"--miantain", "maintain partition data \n"}}) {
        SCOPED_TRACE(c.option);
        testboard::RunResult r = run({"tolvane", c.option});
        EXPECT_TRUE(r.exited(0));
        EXPECT_EQ(r.err.substr(0, 9 + strlen(c.line) + 9), std::string(kStart) + c.line + "got cmd \n");
    }
    // The last run was the maintenance pass: it got as far as the judgement.
    EXPECT_TRUE(contains(run({"tolvane", "--miantain"}).err, "[scan high partition]\n"));
}

TEST_F(CommandLineTest, BoardWithoutMtd12IsRefusedAfterThePauseBeforeTheOptions) {
    testboard::BoardOptions small;
    small.layout = "small";
    testboard::TestBoard b(small);
    for (const char* option : {"-o", "-a", "-m"}) {
        SCOPED_TRACE(option);
        b.clearLog();
        testboard::RunResult r = b.run({"tolvane", option});
        EXPECT_TRUE(r.exited(1));
        EXPECT_TRUE(isBanner(r.out)) << r.out;
        EXPECT_EQ(r.err, std::string(kStart) + "not 512MB partition !!! \n");
        EXPECT_EQ(b.sleeps(), std::vector<unsigned>{10});
        EXPECT_TRUE(b.mutations().empty());
    }
    EXPECT_TRUE(testboard::NoViolations(b));
}

}  // namespace
