// The service killed (SIGKILL) at random moments while clients change the
// configuration (entities changing their type among it): after every restart
// each acknowledged change is still there, on disk and in the cache, no file
// is torn, and a change whose answer died with the service shows either its
// old or its new state. Files an administrator adds while the service starts
// reach it too.
//
//   SARV_CRASH_SEED    seed of the run (printed; replays a failure)
//   SARV_CRASH_ROUNDS  kills (default 25)
//   SARV_CRASH_THREADS client threads (default 3)
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "acjson.h"
#include "eventually.h"
#include "robustness-support.h"

using namespace robust;

namespace {

std::vector<std::string> EntityObjects(const std::vector<NamePool>& pools) {
    std::vector<std::string> objects;
    for (const auto& pool : pools)
        for (size_t i = 0; i < pool.entities.size(); ++i)
            if (i % 4 < 2) objects.push_back(pool.entities[i]);
    return objects;
}

// Starts the service while an administrator adds mode files to /etc: a
// legacy ".json" file for start-up to rename, then one file every 40 ms
// until the service is up (before, during and after its first look at the
// folders). Returns the objects of the files added.
std::vector<std::string> StartWhileAdding(ServiceProcess& service, long round, bool& started) {
    std::vector<std::string> objects;
    auto add = [&](const std::string& object, bool legacy) {
        ModeData m;
        m.object = object;
        m.mode = kModeWhitelist;
        const std::string temporary = kEtcModeFolder + "/.crash-test-new";
        WriteTextFile(temporary, ToJsonText(m));
        const std::string file = legacy ? kEtcModeFolder + "/" + object + ".json" : kEtcFolder + GetConfigFileName(m);
        rename(temporary.c_str(), file.c_str());
        objects.push_back(object);
    };
    const std::string prefix = "crash-start-" + std::to_string(round) + "-";
    add(prefix + "legacy", true);
    std::atomic<bool> up{false};
    std::thread adder([&] {
        for (int i = 0; i < 8 && !up; ++i) {
            add(prefix + std::to_string(i), false);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    started = service.Start();
    up = true;
    adder.join();
    return objects;
}

}  // namespace

TEST(CrashTest, AcknowledgedChangesSurviveKills) {
    ASSERT_TRUE(getenv("SARV_SANDBOX")) << "starts the service on the fixed paths: sandbox only";
    const uint64_t seed = SeedFromEnv("SARV_CRASH_SEED", 20240611);
    const long rounds = LongFromEnv("SARV_CRASH_ROUNDS", 25);
    const int threads = static_cast<int>(LongFromEnv("SARV_CRASH_THREADS", 3));
    std::printf("crash test: seed %llu, %ld rounds, %d client threads (SARV_CRASH_SEED, SARV_CRASH_ROUNDS)\n",
                static_cast<unsigned long long>(seed), rounds, threads);

    auto pools = MakePools("crash", threads, 8);
    PrepareTrees(SARV_DEMO_DATA, pools);
    FakeCommands fakes({"killall", "systemctl"});
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    LabelSelf();

    Model model;
    Counts counts;
    MutationDriver driver(model, counts, pools, EntityObjects(pools));
    ServiceProcess service(SARVD_BIN, SARV_PLUGIN);
    ASSERT_TRUE(service.Start()) << "the service did not come up";
    BusClient checker;
    ASSERT_TRUE(checker.ok());

    std::mt19937_64 rng(seed);
    uint64_t kills = 0, restarts = 0, resolved = 0;
    for (long round = 0; round < rounds; ++round) {
        if (round % 3 == 1) {
            // A quiet look at the running service first: its cache must
            // agree with its tree before any restart re-reads it. The watcher
            // may still be taking in the service's own rewrites, so a
            // difference must persist to count.
            driver.Start(seed + 7919 * static_cast<uint64_t>(round));
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 200));
            driver.Stop();
            CheckResult live;
            Eventually(
                [&] {
                    live = CheckAgainstModel(model, checker);
                    return live.problems.empty();
                },
                5);
            ASSERT_TRUE(live.problems.empty()) << "round " << round << " (seed " << seed
                                               << "), the running service before the kill:\n"
                                               << Join(live.problems);
        }
        driver.Start(seed + static_cast<uint64_t>(round));
        const auto delay = std::chrono::milliseconds(20 + rng() % 381);
        std::this_thread::sleep_for(delay);
        const uint64_t before = driver.calls_this_run();
        service.Kill();
        ++kills;
        driver.Stop();

        // Now and then the service dies again while it starts: start-up
        // must not leave anything behind that the next start trips over.
        if (round % 5 == 4) {
            ASSERT_TRUE(service.Spawn());
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 60));
            service.Kill();
            ++kills;
            ++restarts;
        }
        bool started = false;
        const std::vector<std::string> added = StartWhileAdding(service, round, started);
        ASSERT_TRUE(started) << "round " << round << ": the service did not come back";
        ++restarts;
        for (const auto& object : added)
            EXPECT_TRUE(Eventually([&] { return checker.CallString("GetMode", object).ok; }, 10))
                << "round " << round << ": " << object << ", added while the service started, never reached it";

        CheckResult check = CheckAgainstModel(model, checker);
        counts.files_checked += check.files;
        counts.temporaries = check.temporaries;
        resolved += check.undetermined_resolved;
        for (const auto& p : check.problems)
            if (p.rfind("LOST", 0) == 0) counts.lost++;
        ASSERT_TRUE(check.problems.empty())
            << "round " << round << " (seed " << seed << ", killed after " << delay.count() << " ms, " << before
            << " calls):\n"
            << Join(check.problems);
    }
    EXPECT_EQ(service.Terminate(), 0);

    std::printf("crash test: rounds %ld, kills %llu, restarts %llu, undetermined resolved %llu\n", rounds,
                static_cast<unsigned long long>(kills), static_cast<unsigned long long>(restarts),
                static_cast<unsigned long long>(resolved));
    std::printf("crash test: %s\n", counts.Summary().c_str());
    EXPECT_EQ(counts.lost.load(), 0u);
    EXPECT_EQ(counts.denied.load(), 0u) << "the caller check refused the labelled client";
    // The run proves something only when the service took changes and some
    // answers died with it.
    EXPECT_GT(counts.acknowledged.load(), static_cast<uint64_t>(rounds));
    EXPECT_GT(counts.refused.load() + counts.acknowledged.load(), 0u);
}

// The watcher sees the service's own changes of its files and drops them as
// announced. Two quick changes of one file may reach it as one notification
// or as two, and it looks at a folder some time before it takes an
// announcement. Whatever it makes of them, a change it takes up late must
// not undo a later one the service already made: after a pause the cache
// equals the tree.
TEST(CrashTest, WatcherNeverUndoesTheServicesOwnChanges) {
    ASSERT_TRUE(getenv("SARV_SANDBOX")) << "starts the service on the fixed paths: sandbox only";
    auto pools = MakePools("watch", 1, 12);
    PrepareTrees(SARV_DEMO_DATA, pools);
    FakeCommands fakes({"killall", "systemctl"});
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    LabelSelf();
    ServiceProcess service(SARVD_BIN, SARV_PLUGIN);
    ASSERT_TRUE(service.Start());
    BusClient client;
    ASSERT_TRUE(client.ok());
    // The watcher takes its first look a little after the bus is up.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    Model model;
    const auto& names = pools[0].modes;
    auto set = [&](const std::string& name, const std::string& mode) {
        ModeData m;
        m.object = name;
        m.mode = mode;
        ASSERT_TRUE(client.CallString("SetMode", ToJsonText(m)).ok);
        model.Acknowledge(kMode, name, ToJsonText(m));
    };
    std::vector<std::string> problems;
    for (int round = 0; round < 30; ++round) {
        // Created, deleted while the watcher is still on the creation, and
        // created again while it may be on the deletion.
        for (const auto& name : names) set(name, round % 2 ? "read" : "write");
        std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 8)));
        for (const auto& name : names) {
            ASSERT_TRUE(client.CallString("DeleteMode", name).ok);
            model.Acknowledge(kMode, name, State());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (size_t i = 0; i < names.size(); ++i)
            if ((i + round) % 4 != 0) set(names[i], round % 2 ? "allow" : "whitelist");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (const auto& p : CheckAgainstModel(model, client).problems)
            problems.push_back("round " + std::to_string(round) + ": " + p);
    }
    EXPECT_TRUE(problems.empty()) << Join(problems);
    EXPECT_EQ(service.Terminate(), 0);
}
