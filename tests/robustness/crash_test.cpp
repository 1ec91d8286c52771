// The host daemon with the plug-in killed (SIGKILL) at random moments while clients change the configuration,
// entities changing their type among it: after every restart each acknowledged change is still there, on
// disk and in the cache, no file is torn, and a change whose answer died with the service shows either its
// old or its new state. Files an administrator adds while the service starts reach it too.
//   SARV_CRASH_SEED (a failure names it; replays it), SARV_CRASH_ROUNDS (kills, 25), SARV_CRASH_THREADS (3)
#include <gmock/gmock.h>

#include "crash-model.h"

using namespace crash;
using namespace sarvtest;
using ::testing::IsEmpty;

namespace {

struct CrashTest : ::testing::Test {
    static void SetUpTestSuite() { static World world; }  // one per program
};

void Pause(uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// An administrator's mode file in /etc, written aside and renamed as install tools do: named as the service
// names it (the names here need no escaping), or a legacy ".json" file that start-up renames.
void Install(const std::string& object, bool legacy) {
    const std::string aside = kEtcModeFolder + "/.crash-test-new";
    WriteFile(aside, json{{"object", object}}.dump());
    const std::string file = kEtcModeFolder + "/" + object + (legacy ? ".json" : kModeFileExtension);
    rename(aside.c_str(), file.c_str());
}

}  // namespace

TEST_F(CrashTest, AcknowledgedChangesSurviveKills) {
    const uint64_t seed = EnvNumber("SARV_CRASH_SEED", 20240611), rounds = EnvNumber("SARV_CRASH_ROUNDS", 25);
    const Names names{"crash", static_cast<int>(EnvNumber("SARV_CRASH_THREADS", 3)), 8};
    SeedTrees(names);
    Model model;
    Counts counts{};
    Service service(Service::kHost);
    ASSERT_TRUE(service.Start()) << "the service did not come up";
    Client checker;
    std::mt19937_64 rng(seed);
    for (uint64_t round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + " (seed " + std::to_string(seed) + ")");
        if (round % 3 == 1) {
            // A quiet look at the running service first: its cache must agree with its tree before a restart re-reads
            // it. The watcher may still be taking in the service's own rewrites, so a difference must persist.
            { const Driver clients(model, counts, names, seed + 7919 * round); Pause(50 + rng() % 200); }
            Problems live;
            Eventually([&] { return (live = CheckAgainstModel(model, checker)).empty(); }, 5);
            ASSERT_THAT(live, IsEmpty()) << "the running service, before the kill";
        }
        const uint64_t delay = 20 + rng() % 381;
        { const Driver clients(model, counts, names, seed + round); Pause(delay); service.Kill(); }
        // Now and then it dies again while it starts: start-up must leave nothing that the next start trips over.
        if (round % 5 == 4) {
            ASSERT_TRUE(service.Spawn());
            Pause(rng() % 60);
            service.Kill();
        }
        // An administrator adds files meanwhile, before, during and after the service's first look at the
        // folders: a legacy one, then one every 40 ms until the service is up.
        const std::string prefix = "crash-start-" + std::to_string(round) + "-";
        Install(prefix + "0", true);
        ASSERT_TRUE(service.Spawn());
        int added = 1;
        for (; added < 9 && checker.Owner() != service.pid(); ++added, Pause(40))
            Install(prefix + std::to_string(added), false);
        ASSERT_TRUE(Eventually([&] { return checker.Owner() == service.pid(); }, 60)) << "it did not come back";
        for (int i = 0; i < added; ++i)
            EXPECT_TRUE(Eventually([&] { return checker.Call("GetMode", {prefix + std::to_string(i)}).ok; }, 10))
                << prefix << i << ", added while the service started, never reached it";
        ASSERT_THAT(CheckAgainstModel(model, checker), IsEmpty()) << "killed after " << delay << " ms";
    }
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_EQ(counts[kDenied], 0u) << "the caller check refused the labelled client";
    EXPECT_GT(counts[kAcknowledged], rounds) << "the run proves something only when the service took changes";
}

// The watcher drops the service's own changes of its files as announced. Two quick changes of a file may reach
// it as one notification or two, and it looks at a folder some time before it takes an announcement. Whatever
// it makes of them, a change taken up late must not undo a later one: after a pause the cache equals the tree.
TEST_F(CrashTest, WatcherNeverUndoesTheServicesOwnChanges) {
    const Names names{"watch", 1, 12};
    SeedTrees(names);
    Service service(Service::kHost);
    ASSERT_TRUE(service.Start());
    Client client;
    Pause(500);  // the watcher takes its first look a little after the bus is up
    Model model;
    for (int round = 0; round < 30; ++round) {
        // Set, deleted while the watcher is still on the creation, set again while it may be on the deletion.
        const std::string modes[] = {round % 2 ? "read" : "write", "", round % 2 ? "allow" : "whitelist"};
        const int pauses_us[] = {500 * (round % 8), 20000, 300000};
        for (int step = 0; step < 3; ++step) {
            for (int i = 0; i < names.per_thread; ++i) {
                const std::string name = names(kMode, 0, i);
                const std::string arg = step == 1 ? name : json{{"object", name}, {"mode", modes[step]}}.dump();
                if (step == 2 && (i + round) % 4 == 0) continue;
                ASSERT_TRUE(client.Call(step == 1 ? "DeleteMode" : "SetMode", {arg}).ok);
                model.Record(kMode, name, kAcknowledged, step == 1 ? State() : Canonical(kMode, arg));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(pauses_us[step]));
        }
        EXPECT_THAT(CheckAgainstModel(model, client), IsEmpty()) << "round " << round;
    }
    EXPECT_EQ(service.Stop(), 0);
}
