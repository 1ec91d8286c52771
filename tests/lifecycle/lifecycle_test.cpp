// Start-up as a machine sees it: the program's --update labelling, and the
// order in which the plug-in brings its parts up inside the host daemon.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "acjson.h"
#include "bus-test-support.h"
#include "configfile-helper.h"
#include "service-harness.h"
#include "eventually.h"
#include "syslog-capture.h"

namespace fs = std::filesystem;

namespace {

pid_t Spawn(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Exit status of `pid`, or -1 when it is still running after `seconds`.
int WaitExit(pid_t pid, int seconds) {
    int status = 0;
    if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Label(const std::string& path) {
    char buf[256];
    ssize_t n = lgetxattr(path.c_str(), "security.appid", buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

template <typename T>
void Put(const std::string& root, const T& record) {
    ASSERT_EQ(ConfigFileHelper::UpdateFile(root + GetConfigFileName(record), record), 0);
}

// Index of the first captured line containing `text`, or -1.
int LineOf(SyslogCapture& log, const std::string& text) {
    auto lines = log.Lines();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getenv("SARV_SANDBOX")) << "writes the configuration trees: sandbox only";
        for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder}) {
            fs::remove_all(root);
            fs::create_directories(root);
        }
        for (const auto& profile : fs::directory_iterator("/etc/gardex.d")) fs::remove_all(profile.path());
    }
    FakeCommands fakes_{{"killall", "systemctl"}};
};

}  // namespace

TEST_F(Lifecycle, UpdateLabelsTheExecutablesOfOneEntity) {
    const std::string bin = "/tmp/lifecycle-bin/";
    fs::create_directories(bin);
    for (const char* name : {"a", "b", "c", "tool"}) std::ofstream(bin + name) << "#!/bin/sh\n";

    EntityInfoData viewer;
    viewer.name = "viewer";
    viewer.type = "subject";
    viewer.subtype = "package";
    viewer.attrs.exes = {bin + "a", bin + "b"};
    viewer.attrs.additional_exes = {bin + "c"};
    viewer.attrs.exclude_exes = {bin + "b"};
    Put(kEtcFolder, viewer);
    EntityInfoData tool;
    tool.name = bin + "tool";
    tool.type = "subject";
    tool.subtype = "file";
    Put(kEtcFolder, tool);

    EXPECT_EQ(WaitExit(Spawn({SARV_PROGRAM, "--update", "viewer"}), 30), 0);
    EXPECT_EQ(Label(bin + "a"), "viewer");
    EXPECT_EQ(Label(bin + "b"), "");
    EXPECT_EQ(Label(bin + "c"), "viewer");
    EXPECT_EQ(WaitExit(Spawn({SARV_PROGRAM, "--update", bin + "tool"}), 30), 0);
    EXPECT_EQ(Label(bin + "tool"), bin + "tool");
    EXPECT_EQ(WaitExit(Spawn({SARV_PROGRAM, "--update", "nobody"}), 30), 0);

    // With two or four arguments the program behaves as with none: it
    // stays in its event loop.
    for (auto args : std::vector<std::vector<std::string>>{{SARV_PROGRAM, "--update"},
                                                           {SARV_PROGRAM, "--update", "viewer", "x"}}) {
        pid_t pid = Spawn(args);
        EXPECT_EQ(WaitExit(pid, 1), -1) << args.size() << " arguments";
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

TEST_F(Lifecycle, PluginStartsItsPartsInOrderAndStops) {
    SyslogCapture log;
    ASSERT_TRUE(log.ok());
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());

    // Something to protect, a legacy file for the migration, an adapter.
    ModeData camera;
    camera.object = "camera";
    Put(kEtcFolder, camera);
    fs::create_directories(kEtcModeFolder);
    std::ofstream(kEtcModeFolder + "/broken.json") << "{";
    ModeData legacy;
    legacy.object = "legacy";
    std::ofstream(kEtcModeFolder + "/legacy.json") << ToJsonText(legacy);
    fs::create_directories("/usr/share/olm/sarv/acadapter.d");
    fs::copy_file(SARV_EXAMPLE_ADAPTER, "/usr/share/olm/sarv/acadapter.d/example.so");
    setenv("SARV_AC_EXAMPLE_DIR", "/tmp/lifecycle-example/", 1);
    // A D-Bus object, whose changes make the bus daemons reload, by a
    // killall that takes a second.
    EntityInfoData busObject;
    busObject.name = "bus-object";
    busObject.type = "object";
    busObject.subtype = "dbus";
    busObject.attrs.dbus_type = "system";
    busObject.attrs.dbus_destination = "org.example";
    Put(kEtcFolder, busObject);
    const std::string slow = "/tmp/lifecycle-slow-bin";
    fs::create_directories(slow);
    std::ofstream(slow + "/killall") << "#!/bin/sh\necho begin >> " << slow << "/log\nsleep 1\necho end >> " << slow
                                     << "/log\n";
    fs::permissions(slow + "/killall", fs::perms::owner_all);
    const std::string path = getenv("PATH");
    setenv("PATH", (slow + ":" + path).c_str(), 1);

    pid_t pid = Spawn({SARVD_BIN, SARV_PLUGIN});
    ASSERT_GT(pid, 0);
    BusClient client;
    ASSERT_TRUE(Eventually([&] { return client.ok() && client.HasOwner(kSarvACManagerObject); }));

    const int start = LineOf(log, "info: start: 31 sarv-ac-manager");
    const int protect = LineOf(log, "gardex: profile set for /etc/olm/sarv");
    const int migrate = LineOf(log, "RenameConfigFileExtend: " + kEtcModeFolder + "/broken.json does not load");
    const int adapters = LineOf(log, "info: AdapterManager::LoadAdapters");
    std::string all;
    for (const auto& line : log.Lines()) all += line + "\n";
    EXPECT_GE(start, 0) << all;
    EXPECT_LT(start, protect) << all;
    EXPECT_LT(protect, migrate);
    EXPECT_LT(migrate, adapters);
    EXPECT_TRUE(fs::exists(kEtcModeFolder + "/legacy.mode"));
    // Renamed after the cache read the trees, it reaches the cache through
    // the watcher's first look.
    EXPECT_TRUE(Eventually([&] { return client.CallString("GetMode", "legacy").ok; }, 10));
    // The adapter was loaded before the bus answered.
    EXPECT_EQ(client.GetProperty("Status", 'i').number, 1);
    // The PID service is up.
    EXPECT_TRUE(fs::exists("/tmp/.sarv.dom"));

    // Stopped while a reload runs: stop waits for it.
    ModeData busMode;
    busMode.object = busObject.name;
    busMode.mode = kModeWhitelist;
    Put(kEtcFolder, busMode);
    ASSERT_TRUE(Eventually([&] { return ReadTextFile(slow + "/log") == "begin\n"; }, 10));
    auto asked = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 30), 0);
    EXPECT_EQ(ReadTextFile(slow + "/log"), "begin\nend\n") << "the plug-in's reload outlived its stop";
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_LT(seconds, 10.0) << "stop is meant to take about three seconds at most";
    EXPECT_TRUE(log.Contains("info: stop: 58 sarv-ac-manager"));
    setenv("PATH", path.c_str(), 1);
}

TEST_F(Lifecycle, FilesInstalledByTheCommandReachTheRunningService) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    ModeData camera;
    camera.object = "camera";
    camera.mode = kModeWhitelist;
    Put(kUsrShareFolder, camera);

    pid_t pid = Spawn({SARVD_BIN, SARV_PLUGIN});
    ASSERT_GT(pid, 0);
    BusClient client;
    ASSERT_TRUE(Eventually([&] { return client.ok() && client.HasOwner(kSarvACManagerObject); }));
    SignalRecorder recorder;
    auto mode = [&] {
        ModeData m;
        ConfigFileHelper::LoadFromJson(client.CallString("GetMode", "camera").text, m);
        return m.mode;
    };
    EXPECT_EQ(mode(), "whitelist");

    // The watcher may take its first look at the folders a little after the
    // bus is up; a file installed before that is no news to it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string file = "/tmp/camera-by-admin.mode";
    for (const char* wanted : {"blacklist", "whitelist"}) {
        std::ofstream(file, std::ios::trunc) << "{\"object\":\"camera\",\"mode\":\"" << wanted << "\"}";
        EXPECT_EQ(WaitExit(Spawn({SARV_CONFIGER, "add", "--mode", file}), 30), 0);
        EXPECT_TRUE(Eventually([&] { return mode() == wanted; })) << wanted;
    }
    // The first install adds a file, the second replaces it under its name.
    EXPECT_EQ(recorder.Take(), (std::vector<Signal>{{"ModeChanged", "", "add"}, {"ModeChanged", "", "add"}}));

    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 30), 0);
}
