// The main job, run as the README runs it but on this build's programs: it
// must reach its end with the board repaired, and it must stop, naming the
// step, whenever a step does not do what it says.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "records.h"
#include "test_board.h"

namespace {

constexpr int kSteps = 10;

struct StoryRun {
    int status = -1;
    std::string out, err, dir;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs scripts/story.sh in a folder of its own; `env` goes before the command.
class Story {
public:
    Story() {
        std::string base = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/story_test.XXXXXX";
        std::vector<char> buf(base.begin(), base.end());
        buf.push_back(0);
        if (!mkdtemp(buf.data()))
            throw std::runtime_error("mkdtemp failed");
        dir_ = buf.data();
    }
    ~Story() {
        std::error_code ignored;
        if (!getenv("KEEP_BOARDS"))
            std::filesystem::remove_all(dir_, ignored);
    }
    Story(const Story&) = delete;
    Story& operator=(const Story&) = delete;

    StoryRun run(const std::string& env, const std::string& args = "") const {
        StoryRun r;
        r.dir = dir_ + "/story";
        std::string cmd = "BUILD='" + FW_BUILT(FW_BUILD_DIR) + "' STORY_DIR='" + r.dir + "' " + env + " bash '" FW_SOURCE_DIR
                          "/scripts/story.sh' " + args + " >'" + dir_ + "/out' 2>'" + dir_ + "/err' </dev/null";
        int rc = system(cmd.c_str());
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = slurp(dir_ + "/out");
        r.err = slurp(dir_ + "/err");
        return r;
    }

private:
    std::string dir_;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string stepHeader(int n) {
    char buf[16];
    snprintf(buf, sizeof buf, "\n%2d. ", n);
    return buf;
}

// The partition's label in the map followed by its status class.
std::string mapStatus(int part, const std::string& role, const std::string& cls) {
    return "mtd" + std::to_string(part) + " " + role + "</text>\n<text class=\"status " + cls + "\"";
}

TEST(Story, RunsToItsEndAndLeavesTheBoardRepaired) {
    Story story;
    StoryRun r = story.run("");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    for (int n = 1; n <= kSteps; ++n)
        EXPECT_TRUE(has(r.out, stepHeader(n))) << "step " << n << " missing:\n" << r.out;
    EXPECT_TRUE(has(r.out, "every step did what it says")) << r.out;
    EXPECT_TRUE(has(r.out, r.dir + "/flash-before-repair.svg")) << r.out;
    EXPECT_TRUE(has(r.out, r.dir + "/flash-after-repair.svg")) << r.out;
    EXPECT_FALSE(has(r.out, "      | ")) << "the programs' output belongs in the log without -v";

    // The board, read independently of the story's own checks.
    nandemu::Board board(r.dir + "/board");
    nandemu::TableRecord t1 = nandemu::readTable(board, 9), t2 = nandemu::readTable(board, 10);
    ASSERT_TRUE(t1.valid() && t2.valid());
    EXPECT_EQ(0, t1.high + t1.low + t2.high + t2.low);
    int index = 0;
    for (const nandemu::ImageState& s : nandemu::readImages(board)) {
        EXPECT_TRUE(s.lowRead && s.lowSum == t1.sums[index]) << s.name;
        EXPECT_TRUE(s.highRead && s.highSum == t1.sums[index]) << s.name;
        for (int part : {s.low, s.high}) {
            std::string tag = nandemu::contentTag(board, part);
            EXPECT_EQ("v2.0", tag.substr(tag.size() - 4)) << "mtd" << part << " holds " << tag;
        }
        ++index;
    }
    EXPECT_EQ(std::vector<uint32_t>{9}, board.badBlocks(8));

    // The pictures show the damage and the repair.
    std::string before = slurp(r.dir + "/flash-before-repair.svg"), after = slurp(r.dir + "/flash-after-repair.svg");
    EXPECT_TRUE(has(before, mapStatus(8, "kernel 2", "differs")));
    EXPECT_TRUE(has(before, mapStatus(5, "app 1", "differs")));
    EXPECT_TRUE(has(before, "<rect class=\"bad\"") && has(after, "<rect class=\"bad\""));
    EXPECT_FALSE(has(after, "<rect class=\"differs\"") || has(after, "<rect class=\"invalid\""));
    EXPECT_TRUE(has(after, mapStatus(8, "kernel 2", "match")));

    // The programs' own output is in the log.
    std::string log = slurp(r.dir + "/story.log");
    EXPECT_TRUE(has(log, "$ tolvane-update\n") && has(log, "tolvane-update: running tolvane -h\n")) << "the update";
    EXPECT_TRUE(has(log, "$ fwintegrity-boot\n") && has(log, "fixing app-2  !!!!.")) << "log of the reboot";
    EXPECT_TRUE(has(log, "$ tolvane -m\n") && has(log, "fixing kernel-2  !!!!.")) << "log of the repair";
    EXPECT_TRUE(has(log, "$ quillet\n") && has(log, "quillet ===>>>")) << "log of the verifier";
}

// Each step left out in turn: the story must stop at that step with a
// message naming it, and run no later step. Small images keep the many runs
// quick; what each step checks does not depend on the images' sizes.
class StoryStep : public ::testing::TestWithParam<int> {};

TEST_P(StoryStep, StopsTheStoryWhenItsActionIsLeftOut) {
    int n = GetParam();
    Story story;
    StoryRun r = story.run("STORY_IMAGES=small STORY_SABOTAGE=" + std::to_string(n));
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "(left out: STORY_SABOTAGE=" + std::to_string(n) + ")")) << r.out;
    EXPECT_TRUE(has(r.err, "STORY STOPPED at step " + std::to_string(n) + " (")) << r.err;
    EXPECT_FALSE(has(r.out, stepHeader(n + 1))) << r.out;
    EXPECT_FALSE(has(r.out, "every step did what it says")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, StoryStep, ::testing::Range(1, kSteps + 1));

TEST(Story, VerboseShowsTheProgramsOutputInline) {
    Story story;
    StoryRun r = story.run("STORY_IMAGES=small STORY_SABOTAGE=5", "-v");   // stops after tolvane-update has run
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.out, "      | ver. 1.0\n")) << r.out;
    EXPECT_TRUE(has(slurp(r.dir + "/story.log"), "\n$ tolvane-update\n"));
}

TEST(Story, UnknownArgumentGetsTheUsage) {
    Story story;
    StoryRun r = story.run("", "--fast");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("usage: bash scripts/story.sh [-v]\n", r.err);
    EXPECT_EQ("", r.out);
}

}  // namespace
