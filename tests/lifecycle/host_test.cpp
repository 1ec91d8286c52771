// The plug-in inside the host daemon as on a machine (no Qt application in the host), the program's
// --update, and the stand-in host daemon itself (a smoke test), on the fixture tests/data/trees/host.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

using namespace sarvtest;

namespace {

World* world = nullptr;

class Environment : public ::testing::Environment {
    void SetUp() override { world = new World("host"); }
    void TearDown() override { delete world; }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

// The start, restart and stop lines; adapters loaded before the bus answers; a legacy file renamed
// during start-up, files the installer command adds and the PID socket served from inside the host;
// and stop waiting for a bus daemon reload still running.
TEST(Host, ServesFromStartThroughRestartToStop) {
    adapter::Install("camera");
    FakeCommands slow({{"killall", std::string("sleep 1; touch /tmp/killall-done")}});
    Service host(Service::kHost);
    ASSERT_TRUE(host.Start());
    Client client;
    EXPECT_EQ(client.Property("Status").number, 1);
    EXPECT_TRUE(world->syslog->Contains("info: start: 31 sarv-ac-manager"));
    EXPECT_TRUE(Eventually([&] { return client.Call("GetMode", {"legacy"}).ok; }, 10));
    const int pid = getpid(), peer = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address{AF_UNIX, "/tmp/.sarv.dom"};
    char answer[4096] = {};
    ASSERT_EQ(connect(peer, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(send(peer, &pid, sizeof pid, 0) == sizeof pid && recv(peer, answer, sizeof answer, 0) > 0);
    EXPECT_EQ(answer, SelfExe());
    close(peer);
    Signals signals;
    for (const char* mode : {"blacklist", "whitelist"}) {
        WriteFile("/tmp/camera.mode", std::string("{\"object\":\"camera\",\"mode\":\"") + mode + "\"}");
        EXPECT_EQ(sarvtest::Run({SARV_CONFIGER, "add", "--mode", "/tmp/camera.mode"}).status, 0);
        EXPECT_TRUE(Eventually([&] { return client.Call("GetMode", {"camera"}).text.find(mode) != std::string::npos; }));
    }
    EXPECT_EQ(signals.Take(), (std::vector<Signal>{{"ModeChanged", "", "add"}, {"ModeChanged", "", "add"}}));
    host.Signal(SIGHUP);
    EXPECT_TRUE(world->syslog->Contains("info: restart: 67 sarv-ac-manager", 30000));
    EXPECT_TRUE(Eventually([&] { return client.Owner() == host.pid() && client.Call("GetMode", {"legacy"}).ok; }));
    slow.Clear("killall");
    WriteFile("/etc/olm/sarv/mode.d/bus-object.mode", "{\"object\":\"bus-object\",\"mode\":\"whitelist\"}");
    ASSERT_TRUE(Eventually([&] { return !slow.Runs("killall").empty(); }));
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_TRUE(Exists("/tmp/killall-done")) << "the reload outlived the plug-in's stop";
    EXPECT_TRUE(world->syslog->Contains("info: stop: 58 sarv-ac-manager"));
    EXPECT_FALSE(Exists("/tmp/.sarv.dom"));
}

// A host whose bus service cannot start stops the plug-in's threads and exits 0; the stand-in
// refuses what it cannot load.
TEST(Host, EndsCleanlyWithoutABusAndRefusesWhatItCannotLoad) {
    EXPECT_EQ(sarvtest::Run({SARVD_BIN, SARV_PLUGIN}, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/tmp/no-bus-here"}).status, 0);
    EXPECT_FALSE(Exists("/tmp/.sarv.dom"));
    EXPECT_EQ(sarvtest::Run({SARVD_BIN, "/tmp/no-such-plugin.so"}).status, 1);
    EXPECT_EQ(sarvtest::Run({SARVD_BIN, "--bogus"}).status, 2);
}

// Programs of the entity (listed, plus additional, minus excluded), and a file subject itself.
TEST(Program, UpdateLabelsTheExecutablesOfOneEntity) {
    for (const char* name : {"viewer", "/tmp/bin/tool", "nobody"}) EXPECT_EQ(sarvtest::Run({SARV_PROGRAM, "--update", name}).status, 0);
    for (const auto& [file, label] : std::map<std::string, std::string>{{"a", "viewer"}, {"b", ""}, {"c", "viewer"}, {"tool", "/tmp/bin/tool"}}) {
        char got[256] = {};
        lgetxattr(("/tmp/bin/" + file).c_str(), "security.appid", got, sizeof got - 1);
        EXPECT_EQ(got, label) << file;
    }
}

}  // namespace
