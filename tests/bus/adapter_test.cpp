// Loading adapter plug-ins and pushing objects' modes and policies to them,
// with the example adapter and a recording one. The adapter registry only
// grows within a process, so every test uses object names of its own.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "ac-globals.h"
#include "acjson.h"
#include "adapter-manager.h"
#include "bus-test-support.h"
#include "config-manager.h"
#include "syslog-capture.h"

namespace {

FakeCommands* killall = nullptr;

class FakeKillall : public ::testing::Environment {
public:
    void SetUp() override { killall = new FakeCommands({"killall"}); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new FakeKillall);

ConfigManager* Cache() { return ConfigManager::Instance(); }

// Loads one copy of the recording adapter serving `objects`, logging to
// the returned file.
std::string LoadRecorder(const std::string& tag, const std::string& objects, const std::string& fail = "") {
    const std::string folder = "/tmp/rec-" + tag;
    const std::string log = folder + ".log";
    CopyAdapter(SARV_RECORDING_ADAPTER, folder, "recorder.so");
    setenv("REC_ADAPTER_OBJECTS", objects.c_str(), 1);
    setenv("REC_ADAPTER_LOG", log.c_str(), 1);
    setenv("REC_ADAPTER_FAIL", fail.c_str(), 1);
    EXPECT_EQ(0, AdapterManager::Instance()->LoadAdapters(folder + "/"));
    return log;
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = ReadTextFile(path);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// What the example adapter publishes for one push.
std::string Published(const ModeData& mode, const PolicyData& policy, const std::string& subtype) {
    return "{\"mode\":" + ToJsonText(mode) + ",\"policy\":" + ToJsonText(policy) + ",\"subtype\":\"" + subtype +
           "\"}\n";
}

TEST(AdapterLoading, MissingAndEmptyFolders) {
    SyslogCapture log;
    size_t before = AdapterManager::Instance()->AdapterCount();
    EXPECT_EQ(-2, AdapterManager::Instance()->LoadAdapters("/tmp/no-adapters-here/"));
    EXPECT_TRUE(log.Contains("err: AdapterManager::LoadAdapters opendir[/tmp/no-adapters-here/] error: "));
    mkdir("/tmp/empty-adapters", 0755);
    EXPECT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/empty-adapters/"));
    EXPECT_EQ(before, AdapterManager::Instance()->AdapterCount());
}

TEST(AdapterLoading, JunkIsSkippedSubFoldersAreScannedAndLinkLoopsEnd) {
    SyslogCapture log;
    WriteTextFile("/tmp/mixed-adapters/aaa-junk.so", "not a library\n");
    CopyAdapter(SARV_RECORDING_ADAPTER, "/tmp/mixed-adapters/nested", "recorder.so");
    ASSERT_EQ(0, symlink("..", "/tmp/mixed-adapters/nested/up"));
    WriteTextFile("/tmp/mixed-adapters/nested/zzz-no-entry", "");
    setenv("REC_ADAPTER_OBJECTS", "lamp,fan", 1);
    setenv("REC_ADAPTER_LOG", "/tmp/mixed.log", 1);
    setenv("REC_ADAPTER_FAIL", "", 1);

    EXPECT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/mixed-adapters/"));
    EXPECT_TRUE(log.Contains("err: GetAcAdapter dlopen failed: "));
    EXPECT_TRUE(log.Contains("err: AdapterManager::LoadAdapters nested/"));
    EXPECT_TRUE(log.Contains("info: AdapterManager::LoadAdapters recorder.so"));
    ASSERT_NE(nullptr, AdapterManager::Instance()->GetAdapter("lamp"));
    EXPECT_EQ(AdapterManager::Instance()->GetAdapter("lamp"), AdapterManager::Instance()->GetAdapter("fan"));
    // Looked up once per name, then handed the entity lookup once.
    EXPECT_EQ(std::vector<std::string>{"getter"}, Lines("/tmp/mixed.log"));
}

TEST(AdapterLoading, LibraryWithoutEntryIsSkipped) {
    SyslogCapture log;
    // Any shared library without the entry symbol will do.
    CopyAdapter("/lib/x86_64-linux-gnu/libdl.so.2", "/tmp/no-entry-adapters", "libdl.so.2");
    EXPECT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/no-entry-adapters/"));
    EXPECT_TRUE(log.Contains("err: GetAcAdapter dlsym failed: "));
}

TEST(AdapterLoading, AdapterWithoutNamesGetsTheLookupButNoPush) {
    size_t before = AdapterManager::Instance()->AdapterCount();
    std::string log = LoadRecorder("nameless", "");
    EXPECT_EQ(before, AdapterManager::Instance()->AdapterCount());
    EXPECT_EQ(std::vector<std::string>{"getter"}, Lines(log));
}

TEST(AdapterLoading, TheAdapterLoadedLastServesAName) {
    std::string first = LoadRecorder("first", "speaker");
    std::string second = LoadRecorder("second", "speaker");
    EXPECT_EQ(0, AdapterManager::Instance()->SetPolicy("speaker"));
    EXPECT_EQ(std::vector<std::string>{"getter"}, Lines(first));
    EXPECT_EQ((std::vector<std::string>{"getter", "push speaker blacklist 0"}), Lines(second));
}

TEST(AdapterDispatch, ExampleAdapterReceivesModeAndPolicyOfItsObject) {
    CopyAdapter(SARV_EXAMPLE_ADAPTER, "/tmp/example-adapters", "example.so");
    setenv("SARV_AC_EXAMPLE_OBJECTS", "camera,mic,we\"ird/\n名", 1);
    setenv("SARV_AC_EXAMPLE_DIR", "/tmp/example-out", 1);
    ASSERT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/example-adapters/"));

    PutInCache(Cache()->entityMap, MakeEntity("camera", "object", "exe", {"read", "write"}));
    PutInCache(Cache()->entityMap, MakeEntity("/usr/bin/cheese", "subject", "exe"));
    PutInCache(Cache()->modeMap, MakeMode("camera", "whitelist"), kEtcFolder);
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/cheese", {{"camera", {"read"}}, {"mic", {"read"}}}));
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/zoom", {{"camera", {"read", "write"}}}), kEtcFolder);
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/other", {{"screen", {"read"}}}));

    ASSERT_EQ(0, AdapterManager::Instance()->SetPolicy("camera"));
    PolicyData expected;
    expected.policies = {MakePolicy("/usr/bin/cheese", {{"camera", {"read"}}}).policies[0],
                         MakePolicy("/usr/bin/zoom", {{"camera", {"read", "write"}}}).policies[0]};
    EXPECT_EQ(Published(MakeMode("camera", "whitelist"), expected, "exe"), ReadTextFile("/tmp/example-out/camera.json"));

    // No mode and no entity: enforced as a blacklist under its own name.
    ASSERT_EQ(0, AdapterManager::Instance()->SetPolicy("mic"));
    EXPECT_EQ(Published(MakeMode("mic", "blacklist"), MakePolicy("/usr/bin/cheese", {{"mic", {"read"}}}), ""),
              ReadTextFile("/tmp/example-out/mic.json"));

    // Names that need escaping, in the file name and in the document.
    ASSERT_EQ(0, AdapterManager::Instance()->SetPolicy("we\"ird/\n名"));
    EXPECT_EQ(Published(MakeMode("we\"ird/\n名", "blacklist"), PolicyData(), ""),
              ReadTextFile("/tmp/example-out/we%22ird%2F%0A%E5%90%8D.json"));
    // Nothing but the published documents.
    EXPECT_EQ((std::vector<std::string>{"/tmp/example-out", "/tmp/example-out/camera.json",
                                        "/tmp/example-out/mic.json", "/tmp/example-out/we%22ird%2F%0A%E5%90%8D.json"}),
              ListTree("/tmp/example-out"));
}

TEST(AdapterDispatch, FileObjectsGoToTheFileAdapter) {
    CopyAdapter(SARV_EXAMPLE_ADAPTER, "/tmp/file-adapters", "example.so");
    setenv("SARV_AC_EXAMPLE_OBJECTS", "file", 1);
    setenv("SARV_AC_EXAMPLE_DIR", "/tmp/file-out", 1);
    ASSERT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/file-adapters/"));

    PutInCache(Cache()->entityMap, MakeEntity("/home/u/doc", "object", "file", {"read"}));
    PutInCache(Cache()->modeMap, MakeMode("/home/u/doc", "read"));
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/vi", {{"/home/u/doc", {"read"}}}));
    ASSERT_EQ(0, AdapterManager::Instance()->SetPolicy("/home/u/doc"));
    EXPECT_EQ(Published(MakeMode("/home/u/doc", "read"), MakePolicy("/usr/bin/vi", {{"/home/u/doc", {"read"}}}),
                        "file"),
              ReadTextFile("/tmp/file-out/%2Fhome%2Fu%2Fdoc.json"));

    // A file subject, or an object of another kind, is not a file object.
    SyslogCapture log;
    PutInCache(Cache()->entityMap, MakeEntity("/usr/bin/vi", "subject", "file"));
    PutInCache(Cache()->entityMap, MakeEntity("printer", "object", "exe", {"allow"}));
    for (const char* name : {"/usr/bin/vi", "printer"}) {
        ac_error_msg.clear();
        EXPECT_EQ(0, AdapterManager::Instance()->SetPolicy(name));
        EXPECT_EQ(std::string("AdapterManager::SetPolicy adapter not exist: ") + name, ac_error_msg);
        EXPECT_TRUE(log.Contains(std::string("err: AdapterManager::SetPolicy adapter not exist: ") + name));
    }
}

TEST(AdapterDispatch, AdapterFailureIsPassedOn) {
    LoadRecorder("failing", "tv,radio", "tv=-5");
    SyslogCapture log;
    EXPECT_EQ(-5, AdapterManager::Instance()->SetPolicy("tv"));
    EXPECT_EQ("AdapterManager::SetPolicy tvfailed: -5", ac_error_msg);
    EXPECT_TRUE(log.Contains("err: AdapterManager::SetPolicy tvfailed: -5"));
    EXPECT_EQ(0, AdapterManager::Instance()->SetPolicy("radio"));

    // The example adapter reports a folder it cannot write.
    WriteTextFile("/tmp/not-a-folder", "");
    CopyAdapter(SARV_EXAMPLE_ADAPTER, "/tmp/stuck-adapters", "example.so");
    setenv("SARV_AC_EXAMPLE_OBJECTS", "stuck", 1);
    setenv("SARV_AC_EXAMPLE_DIR", "/tmp/not-a-folder/out", 1);
    ASSERT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/stuck-adapters/"));
    EXPECT_EQ(-ENOTDIR, AdapterManager::Instance()->SetPolicy("stuck"));
}

void WaitForReload() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (BusDaemonReloadPending() && std::chrono::steady_clock::now() < deadline) usleep(10000);
    ASSERT_FALSE(BusDaemonReloadPending());
}

TEST(BusDaemonReload, ABurstOfDbusObjectChangesReloadsOnce) {
    LoadRecorder("dbus", "netobj");
    PutInCache(Cache()->entityMap, MakeEntity("netobj", "object", "dbus", {"allow"}));
    PutInCache(Cache()->modeMap, MakeMode("netobj", "allow"));
    killall->Clear("killall");
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0, AdapterManager::Instance()->SetPolicy("netobj"));
        usleep(20000);
    }
    WaitForReload();
    EXPECT_EQ(std::vector<std::string>{"-s 1 dbus-daemon"}, killall->Runs("killall"));
    // Never handed to an adapter, even one that names it.
    EXPECT_EQ(std::vector<std::string>{"getter"}, Lines("/tmp/rec-dbus.log"));

    // A later change is a new burst.
    EXPECT_EQ(0, AdapterManager::Instance()->SetPolicy("netobj"));
    WaitForReload();
    EXPECT_EQ(2u, killall->Runs("killall").size());
}

TEST(BusDaemonReload, DbusSubjectsAndInvalidEntitiesDoNotReload) {
    PutInCache(Cache()->entityMap, MakeEntity("netsubj", "subject", "dbus"));
    EntityInfoData broken = MakeEntity("netbroken", "object", "dbus");
    broken.attrs.dbus_eavesdrop = "maybe";
    PutInCache(Cache()->entityMap, broken);
    killall->Clear("killall");
    EXPECT_EQ(0, AdapterManager::Instance()->SetPolicy("netsubj"));
    EXPECT_EQ(0, AdapterManager::Instance()->SetPolicy("netbroken"));
    EXPECT_FALSE(BusDaemonReloadPending());
    EXPECT_TRUE(killall->Runs("killall").empty());
}

TEST(BusDaemonReload, RequestsFromManyThreadsStillReloadOnce) {
    PutInCache(Cache()->entityMap, MakeEntity("netmany", "object", "dbus", {"allow"}));
    killall->Clear("killall");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 25; ++i) AdapterManager::Instance()->SetPolicy("netmany");
        });
    for (auto& t : threads) t.join();
    WaitForReload();
    EXPECT_EQ(1u, killall->Runs("killall").size());
}

}  // namespace
