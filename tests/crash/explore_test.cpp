// Every record state the board can reach: depth 1 runs every command under
// every fault from every start state (one test per class of flag, so the
// tier's runs share both cores); depth 2 does the same from a seeded sample
// of the states depth 1 reached through a fault, so a cut meets a failing
// call, a failing call a cut, and a cut another cut. CRASH_CASE=<replay id> reruns one case;
// CRASH_SEED=N picks another depth-2 sample; CRASH_SWEEP=full explores
// depth 2 whole and tries every cut point and image call site.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "explore.h"

using namespace crash;

namespace {

const char* const kCommands[] = {"-l", "-h", "-o", "-m"};
constexpr int kImageSiteFlag = 3;     // the shard that also fails the image partitions' calls
// Depth-2 states per way of reaching them (a cut, a failing call) in each
// shard. A fault-free run leaves both copies equal under a valid flag, as
// start states hold them, and a fault from there is one fault deep: such
// states are explored only in a full sweep.
constexpr size_t kDepth2PerWay = 1;

uint32_t depth2Seed() {
    const char* text = std::getenv("CRASH_SEED");
    return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 1;
}

void exploreAll(Explorer& e, const State& s, bool imageSites, Tallies& t, std::map<std::string, State>* found,
                std::map<std::string, std::string>* how) {
    ++t.states;
    for (const char* command : kCommands)
        e.explore(s, command, imageSites, t, found, how);
}

void report(const std::string& what, const Tallies& t, size_t reached) {
    std::printf("[explore] %s: %zu states explored, %zu runs, %zu held, %zu unsafe starts, %zu new states reached\n",
                what.c_str(), t.states, t.runs, t.held, t.unsafe, reached);
    for (const std::string& f : t.failures)
        ADD_FAILURE() << f;
}

class Explore : public ::testing::TestWithParam<int> {};

TEST_P(Explore, EveryRunLeavesTheReaderTheOldOrTheNewRecord) {
    if (std::getenv("CRASH_CASE"))
        GTEST_SKIP() << "replaying one case";
    const std::vector<NamedState> all = startStates();
    ASSERT_EQ(all.size() % kPairClasses, 0u);
    std::set<std::string> visited;
    for (const NamedState& n : all)
        visited.insert(n.state.key());
    ASSERT_EQ(visited.size(), all.size()) << "two start states share a key";

    Explorer e;
    const bool imageSites = GetParam() == kImageSiteFlag || fullSweep();
    const size_t first = static_cast<size_t>(GetParam()) * kPairClasses;
    const std::string shard = all[first].name.substr(0, all[first].name.find('_'));

    Tallies depth1;
    std::map<std::string, State> found;
    std::map<std::string, std::string> how;
    for (size_t i = first; i < first + kPairClasses; ++i)
        exploreAll(e, all[i].state, imageSites, depth1, &found, &how);
    std::map<std::string, std::vector<std::string>> fresh;   // way reached -> new keys
    for (const auto& [key, s] : found)
        if (visited.insert(key).second)
            fresh[how[key]].push_back(key);
    size_t reached1 = 0;
    for (const auto& [way, keys] : fresh)
        reached1 += keys.size();
    report(shard + " depth 1 (exhaustive)", depth1, reached1);

    const uint32_t seed = depth2Seed();
    std::mt19937 rng(seed);
    Tallies depth2;
    std::map<std::string, State> found2;
    std::map<std::string, std::string> how2;
    for (auto& [way, keys] : fresh) {
        std::shuffle(keys.begin(), keys.end(), rng);
        const size_t take = fullSweep() ? keys.size() : way == "none" ? 0 : std::min(keys.size(), kDepth2PerWay);
        for (size_t k = 0; k < take; ++k)
            exploreAll(e, found[keys[k]], fullSweep(), depth2, &found2, &how2);
    }
    size_t reached2 = 0;
    for (const auto& [key, s] : found2)
        reached2 += visited.count(key) == 0;
    report(shard + " depth 2 (" + (fullSweep() ? std::string("whole") : "sampled, CRASH_SEED=" + std::to_string(seed)) +
               ")",
           depth2, reached2);
}

INSTANTIATE_TEST_SUITE_P(FlagClasses, Explore, ::testing::Range(0, static_cast<int>(kFlagClasses)), [](const ::testing::TestParamInfo<int>& info) {
    const std::string name = startStates()[static_cast<size_t>(info.param) * kPairClasses].name;
    return name.substr(0, name.find('_'));
});

// CRASH_CASE=<state>/<command>/<fault>, as a failure prints it.
TEST(ExploreReplay, RerunsTheCaseNamed) {
    const char* id = std::getenv("CRASH_CASE");
    if (!id)
        GTEST_SKIP() << "no CRASH_CASE";
    std::string text = id;
    const size_t a = text.find('/'), b = text.find('/', a + 1);
    ASSERT_NE(b, std::string::npos) << "CRASH_CASE=<state>/<command>/<fault>";
    State s;
    ASSERT_TRUE(parseState(text.substr(0, a), &s)) << "not a state key: " << text.substr(0, a);
    Step step{text.substr(a + 1, b - a - 1), text.substr(b + 1)};
    if (step.fault == "none")
        step.fault.clear();
    if (step.command == kUpdate) {
        std::printf("[rehearsal] replaying %s\n", replayId(s, step).c_str());
        EXPECT_EQ("", Rehearsal().run(s, step.fault));
        return;
    }
    Explorer e;
    Outcome o = e.run(s, step);
    std::printf("[explore] %s left %s\n", replayId(s, step).c_str(), o.after.key().c_str());
    EXPECT_EQ("", o.failure);
}

TEST(ExploreStates, KeysParseBackAndTheReaderFollowsTheFlag) {
    for (const NamedState& n : startStates()) {
        SCOPED_TRACE(n.name);
        State back;
        ASSERT_TRUE(parseState(n.state.key(), &back));
        EXPECT_EQ(n.state.key(), back.key());
    }
    State s = startStates()[4 * kPairClasses + 1].state;   // Ref2_BothDiffer: the reader takes copy 2
    ASSERT_TRUE(s.reader().has_value());
    EXPECT_EQ(hex(s.copy[1].rec), hex(*s.reader()));
    s.copy[1].kind = CopyKind::WrongChecksum;
    EXPECT_EQ(hex(s.copy[0].rec), hex(*s.reader()));
    s.copy[0].kind = CopyKind::Unreadable;
    EXPECT_FALSE(s.reader().has_value());
}

}  // namespace
