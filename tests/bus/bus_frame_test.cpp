// The bus frame end to end on a private system bus: start and stop, the
// name, the properties, and that every call is answered exactly once.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <list>
#include <thread>

#include <gtest/gtest.h>

#include "ac-dbus-service.h"
#include "ac-globals.h"
#include "ac-signal.h"
#include "adapter-manager.h"
#include "bus-test-support.h"
#include "eventually.h"
#include "syslog-capture.h"

namespace {

const char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        killall_ = std::make_unique<FakeCommands>(std::vector<std::string>{"killall"});
        bus_ = std::make_unique<PrivateBus>();
        ASSERT_TRUE(bus_->ok()) << "no private dbus-daemon";
    }
    void TearDown() override { bus_.reset(); }

private:
    std::unique_ptr<FakeCommands> killall_;
    std::unique_ptr<PrivateBus> bus_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new BusEnvironment);

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Loads the example adapter (a private copy, so its settings are its own)
// for the object "camera".
void LoadOneAdapter() {
    system("mkdir -p /tmp/frame-adapters && cp " SARV_EXAMPLE_ADAPTER " /tmp/frame-adapters/example.so");
    setenv("SARV_AC_EXAMPLE_OBJECTS", "camera", 1);
    setenv("SARV_AC_EXAMPLE_DIR", "/tmp/frame-adapter-out", 1);
    ASSERT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/frame-adapters/"));
    ASSERT_EQ(1u, AdapterManager::Instance()->AdapterCount());
}

// The first test of the program: the registry only ever grows.
TEST(BusFrame, StatusFollowsTheAdaptersAndVersionIsFixed) {
    SyslogCapture log;
    ASSERT_EQ(0u, AdapterManager::Instance()->AdapterCount());
    {
        ServiceRunner service;
        ASSERT_TRUE(service.Start());
        EXPECT_TRUE(log.Contains("err: InitDBus no AcAdapters exist!"));
        BusClient client;
        EXPECT_EQ(0, client.GetProperty("Status", 'i').number);
        BusClient::Reply version = client.GetProperty("Version", 's');
        EXPECT_TRUE(version.ok);
        EXPECT_EQ("1.0", version.text);
        EXPECT_EQ(0, service.Stop());
    }
    LoadOneAdapter();
    {
        // A start after adapters appeared reports them, also in the same
        // process.
        ServiceRunner service;
        ASSERT_TRUE(service.Start());
        BusClient client;
        BusClient::Reply status = client.GetProperty("Status", 'i');
        EXPECT_TRUE(status.ok) << status.error_message;
        EXPECT_EQ(1, status.number);
        EXPECT_EQ("1.0", client.GetProperty("Version", 's').text);
        EXPECT_EQ(0, service.Stop());
    }
}

TEST(BusFrame, IdleServiceStopsWithinThreeSecondsAndCanStartAgain) {
    SyslogCapture log;
    for (int round = 0; round < 2; ++round) {
        ServiceRunner service;
        ASSERT_TRUE(service.Start());
        EXPECT_NE(nullptr, g_ac_bus.load());
        EXPECT_EQ(0, g_is_stop.load());
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, service.Stop());
        EXPECT_LT(SecondsSince(start), 3.5);
        EXPECT_EQ(nullptr, g_ac_bus.load());
        EXPECT_EQ(1, g_is_stop.load());
        EXPECT_TRUE(log.Contains("info: quit the dbus."));
        BusClient client;
        EXPECT_FALSE(client.HasOwner(kSarvACManagerObject));
    }
}

TEST(BusFrame, StopWithoutServiceReturns) {
    auto start = std::chrono::steady_clock::now();
    stop_ac_dbus();
    EXPECT_LT(SecondsSince(start), 3.5);
    EXPECT_EQ(nullptr, g_ac_bus.load());
    EXPECT_EQ(1, g_is_stop.load());
}

TEST(BusFrame, BusyServiceStillStops) {
    ServiceRunner service;
    ASSERT_TRUE(service.Start());
    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
    std::thread caller([&] {
        BusClient client;
        while (!done) {
            client.GetProperty("Version", 's');
            ++calls;
        }
    });
    while (calls < 20) usleep(1000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, service.Stop());
    EXPECT_LT(SecondsSince(start), 3.5);
    done = true;
    caller.join();
}

// A restart is a stop and then a start on a thread of the host's own, and
// two may run at once. Under a steady stream of calls, whatever order their
// steps take, the service ends up serving: one run left, answering calls,
// and no start that failed.
TEST(BusFrame, RestartsUnderCallsAlwaysEndServing) {
    struct Run {
        std::thread thread;
        std::atomic<bool> done{false};
        std::atomic<int> result{0};
    };
    std::list<Run> runs;
    auto launch = [&](bool restart) {
        Run& run = runs.emplace_back();
        run.thread = std::thread([&run, restart] {
            if (restart) stop_ac_dbus();
            run.result = start_ac_dbus();
            run.done = true;
        });
    };
    auto running = [&] {
        size_t n = 0;
        for (const Run& run : runs) n += !run.done;
        return n;
    };
    std::atomic<bool> quit{false};
    std::thread caller([&] {
        BusClient client;
        while (!quit) client.GetProperty("Version", 's');
    });
    BusClient client;
    launch(false);
    // The first run must have begun before the first restart: otherwise the
    // restart's start is the older one and rightly gives way to it.
    ASSERT_TRUE(Eventually([&] { return client.GetProperty("Version", 's').text == "1.0"; }));
    for (int round = 0; round < 100; ++round) {
        Run& before = runs.back();
        for (int i = 0; i <= round % 2; ++i) launch(true);
        auto serving = [&] {
            return before.done && running() == 1 && client.GetProperty("Version", 's').text == "1.0";
        };
        bool ok = Eventually(serving, 10);
        if (ok) {
            usleep(20000);
            ok = serving();
        }
        if (!ok) {
            ADD_FAILURE() << "round " << round << ": not serving, " << running() << " runs left";
            break;
        }
    }
    quit = true;
    caller.join();
    stop_ac_dbus();
    for (Run& run : runs) {
        run.thread.join();
        EXPECT_EQ(0, run.result.load());
    }
    EXPECT_EQ(nullptr, g_ac_bus.load());
    EXPECT_FALSE(client.HasOwner(kSarvACManagerObject));
}

TEST(BusFrame, OwnedNameMakesStartFailCleanly) {
    SyslogCapture log;
    BusClient squatter;
    ASSERT_GE(sd_bus_request_name(squatter.bus(), kSarvACManagerObject.c_str(), 0), 0);

    EXPECT_EQ(-1, start_ac_dbus());
    EXPECT_TRUE(log.Contains("err: Failed to acquire service name: "));
    EXPECT_EQ(nullptr, g_ac_bus.load());
    EXPECT_EQ(1, g_is_stop.load());

    ASSERT_GE(sd_bus_release_name(squatter.bus(), kSarvACManagerObject.c_str()), 0);
    ServiceRunner service;
    ASSERT_TRUE(service.Start());
    EXPECT_EQ("1.0", BusClient().GetProperty("Version", 's').text);
    EXPECT_EQ(0, service.Stop());
}

TEST(BusFrame, NoBusMakesStartFailCleanly) {
    SyslogCapture log;
    std::string address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/tmp/no-such-bus-socket", 1);
    EXPECT_EQ(-1, start_ac_dbus());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    EXPECT_TRUE(log.Contains("err: Failed to connect to system bus: "));
    EXPECT_EQ(nullptr, g_ac_bus.load());
    EXPECT_EQ(1, g_is_stop.load());
}

class RunningService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        service_ = new ServiceRunner;
        ASSERT_TRUE(service_->Start());
    }
    static void TearDownTestSuite() {
        service_->Stop();
        delete service_;
        service_ = nullptr;
    }
    static ServiceRunner* service_;
    BusClient client_;
};
ServiceRunner* RunningService::service_ = nullptr;

struct WrongCall {
    const char* member;
    std::function<int(sd_bus_message*)> fill;
};

TEST_F(RunningService, EveryMethodRefusesAWrongSignatureWithOneInvalidArgsReply) {
    auto none = [](sd_bus_message*) { return 0; };
    auto number = [](sd_bus_message* m) { return sd_bus_message_append(m, "i", 7); };
    auto text = [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "camera"); };
    auto twoTexts = [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", "a", "b"); };
    const std::vector<WrongCall> calls = {
        {"CanAuthorize", text},        {"CanAuthorize", none},      {"CheckAuthorization", twoTexts},
        {"CheckAuthorization", text},  {"GetMode", number},         {"GetMode", none},
        {"SetMode", number},           {"DeleteMode", twoTexts},    {"ListEntity", text},
        {"GetEntity", number},         {"SetEntity", none},         {"DeleteEntity", number},
        {"GetPolicy", twoTexts},       {"SetPolicy", number},       {"DeletePolicy", none},
    };
    for (const auto& call : calls) {
        BusClient::Reply first;
        EXPECT_EQ(1, client_.CountReplies(call.member, call.fill, &first)) << call.member;
        EXPECT_FALSE(first.ok) << call.member;
        EXPECT_EQ(kInvalidArgs, first.error_name) << call.member;
    }
}

TEST_F(RunningService, EveryMethodAnswersAWellFormedCallOnce) {
    auto text = [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "{not json"); };
    auto pidAndText = [](sd_bus_message* m) { return sd_bus_message_append(m, "is", 1, "camera"); };
    auto emptyList = [](sd_bus_message* m) { return sd_bus_message_append(m, "ssas", "/usr/bin/x", "camera", 0); };
    auto none = [](sd_bus_message*) { return 0; };
    const std::vector<WrongCall> calls = {
        {"CanAuthorize", pidAndText}, {"CheckAuthorization", emptyList}, {"GetMode", text},
        {"SetMode", text},            {"DeleteMode", text},              {"ListEntity", none},
        {"GetEntity", text},          {"SetEntity", text},               {"DeleteEntity", text},
        {"GetPolicy", text},          {"SetPolicy", text},               {"DeletePolicy", text},
    };
    for (const auto& call : calls) EXPECT_EQ(1, client_.CountReplies(call.member, call.fill, nullptr)) << call.member;
}

TEST_F(RunningService, InterfaceDescribesTheMembers) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    ASSERT_GE(sd_bus_call_method(client_.bus(), kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                                 "org.freedesktop.DBus.Introspectable", "Introspect", &error, &reply, ""),
              0);
    const char* xml = nullptr;
    ASSERT_GT(sd_bus_message_read(reply, "s", &xml), 0);
    std::string text = xml;
    sd_bus_message_unref(reply);
    EXPECT_NE(std::string::npos, text.find("<interface name=\"org.nimbra.sarv1.AccessControl\">"));
    EXPECT_NE(std::string::npos, text.find("<property name=\"Status\" type=\"i\" access=\"read\">"));
    EXPECT_NE(std::string::npos, text.find("<property name=\"Version\" type=\"s\" access=\"read\">"));
    for (const char* member : {"CanAuthorize", "CheckAuthorization", "GetMode", "SetMode", "DeleteMode", "ListEntity",
                               "GetEntity", "SetEntity", "DeleteEntity", "GetPolicy", "SetPolicy", "DeletePolicy"})
        EXPECT_NE(std::string::npos, text.find(std::string("<method name=\"") + member + "\">")) << member;
    for (const char* signal : {"PolicyChanged", "EntityChanged", "ModeChanged"})
        EXPECT_NE(std::string::npos, text.find(std::string("<signal name=\"") + signal + "\">")) << signal;
}

int OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* first = nullptr;
    const char* change = nullptr;
    if (sd_bus_message_read(m, "ss", &first, &change) > 0)
        static_cast<std::vector<std::string>*>(userdata)->push_back(std::string(first) + "|" + change);
    return 0;
}

TEST_F(RunningService, SignalsFromAnotherThreadReachClients) {
    std::vector<std::string> seen;
    sd_bus_slot* slot = nullptr;
    ASSERT_GE(sd_bus_match_signal(client_.bus(), &slot, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                                  kSarvAcManagerInterface.c_str(), "ModeChanged", OnSignal, &seen),
              0);
    std::thread watcher([] {
        for (int i = 0; i < 50; ++i) EmitAcSignal("ModeChanged", "m" + std::to_string(i), "add");
    });
    // Bus calls go on meanwhile.
    for (int i = 0; i < 50; ++i) EXPECT_EQ("1.0", BusClient().GetProperty("Version", 's').text);
    watcher.join();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.size() < 50 && std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(client_.bus(), nullptr) == 0) sd_bus_wait(client_.bus(), 100000);
    }
    sd_bus_slot_unref(slot);
    ASSERT_EQ(50u, seen.size());
    EXPECT_EQ("m0|add", seen.front());
    EXPECT_EQ("m49|add", seen.back());
}

// The handlers called directly with calls whose arguments cannot be read
// (sd-bus itself turns a wrong signature away before a handler runs).
TEST(BusHandlers, UnreadableArgumentsAreLoggedAndRefused) {
    SyslogCapture log;
    BusClient client;
    ASSERT_TRUE(client.ok());
    struct Handler {
        const char* member;
        sd_bus_message_handler_t handler;
    };
    const std::vector<Handler> handlers = {
        {"CanAuthorize", AcCanAuthorize}, {"CheckAuthorization", AcCheckAuthorization},
        {"GetMode", AcGetMode},           {"SetMode", AcSetMode},
        {"DeleteMode", AcDeleteMode},     {"GetEntity", AcGetEntity},
        {"SetEntity", AcSetEntity},       {"DeleteEntity", AcDeleteEntity},
        {"GetPolicy", AcGetPolicy},       {"SetPolicy", AcSetPolicy},
        {"DeletePolicy", AcDeletePolicy},
    };
    uint64_t cookie = 1;
    for (const auto& h : handlers) {
        sd_bus_message* m = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(client.bus(), &m, kSarvACManagerObject.c_str(),
                                                 kSarvACManagerPath.c_str(), kSarvAcManagerInterface.c_str(),
                                                 h.member),
                  0);
        sd_bus_message_append(m, "u", 7u);
        ASSERT_GE(sd_bus_message_seal(m, cookie++, 0), 0);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        EXPECT_EQ(-22, h.handler(m, nullptr, &error)) << h.member;
        sd_bus_error_free(&error);
        sd_bus_message_unref(m);
        EXPECT_TRUE(log.Contains(std::string("err: ") + h.member + " sd_bus_message_read failed")) << h.member;
    }
}

}  // namespace
