// One thread changes records while others resolve subjects and read layered
// views. Meant for the ThreadSanitizer build; in the plain build it still
// checks that no update is lost.
#include <atomic>
#include <thread>

#include "cache_fixture.h"

TEST_F(CacheTest, ConcurrentChangesAndLookups) {
    for (int i = 0; i < 50; ++i) Put(kEtcFolder, Entity("/usr/bin/app" + std::to_string(i), "subject", "exe"));
    Put(kEtcFolder, Entity("camera", "object", "file", {"read", "write"}));
    cm->InitCache();

    constexpr int kRounds = 300;
    std::atomic<bool> done{false};
    std::atomic<long> lookups{0};
    auto reader = [&] {
        while (!done) {
            EntityInfoData s;
            cm->GetExeSubjectInfo("/usr/bin/app" + std::to_string(lookups % 50), s);
            cm->GetCache(cm->modeMap, "camera");
            PolicyData p;
            cm->GetObjectPolicy("camera", p);
            ConfigManager::GetEntityInfo("camera");
            cm->EntityNames();
            ++lookups;
        }
    };
    std::thread r1(reader), r2(reader);
    std::thread watcherLike([&] {
        // Files appearing on disk, as the folder watcher reports them.
        for (int i = 0; i < kRounds; ++i) {
            ModeData m = Mode("disk-" + std::to_string(i), "whitelist");
            Put(kEtcFolder, m);
            cm->SetCacheAndUpdatePolicy(QString::fromStdString(kEtcFolder + GetConfigFileName(m)), true);
        }
    });
    std::string change;
    for (int i = 0; i < kRounds; ++i) {
        ModeData out;
        const std::string name = "obj-" + std::to_string(i);
        ASSERT_EQ(cm->SetCache(cm->modeMap, ToJsonText(Mode(name, "whitelist")), out, change), 0);
        PolicyData pout;
        ASSERT_EQ(cm->SetCache(cm->policyMap, ToJsonText(Policy("s" + std::to_string(i), "camera", {"read"})), pout,
                               change),
                  0);
        if (i % 3 == 0) {
            ASSERT_EQ(cm->DeleteCache(cm->modeMap, name, out, change), 0);
        }
    }
    watcherLike.join();
    done = true;
    r1.join();
    r2.join();

    for (int i = 0; i < kRounds; ++i) {
        const std::string name = "obj-" + std::to_string(i);
        EXPECT_EQ(cm->GetCache(cm->modeMap, name).mode, i % 3 == 0 ? "blacklist" : "whitelist") << name;
        EXPECT_EQ(cm->GetCache(cm->modeMap, "disk-" + std::to_string(i)).mode, "whitelist");
        EXPECT_EQ(cm->GetCache(cm->policyMap, "s" + std::to_string(i)).policies.size(), 1u);
    }
    PolicyData all;
    cm->GetObjectPolicy("camera", all);
    EXPECT_EQ(all.policies.size(), static_cast<size_t>(kRounds));
    EXPECT_GT(lookups.load(), 0);
}
