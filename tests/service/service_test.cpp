// The bus service end to end on a private bus: the frame (status, stop,
// start), every method's behaviour as rows of tests/data/cases/bus.tsv, and
// what rows cannot say: every call answered once, signals from another
// thread, listing under churn, callers judged per connection and after a
// restart, and the kernel module's say over labelling.
#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "ac-dbus-service.h"
#include "ac-signal.h"
#include "config-manager.h"
#include "harness.h"

using namespace sarvtest;

namespace {

World* world = nullptr;
const std::string kObjects = "camera,mic,broken,flaky";

class Environment : public ::testing::Environment {
    void SetUp() override {
        world = new World;
        ASSERT_TRUE(world->bus->ok());
        setenv("DPKG_ADMINDIR", "/tmp/dpkg", 1);
    }
    void TearDown() override { delete world; }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

double Seconds(const std::function<void()>& what) {
    const auto start = std::chrono::steady_clock::now();
    what();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The first test of the program: the adapter registry only ever grows.
TEST(Frame, StatusFollowsTheAdaptersAndVersionIsFixed) {
    for (int adapters = 0; adapters < 2; ++adapters) {
        if (adapters) adapter::Install(kObjects);
        Service service;
        ASSERT_TRUE(service.Start());
        Client client;
        EXPECT_EQ(client.Property("Status").number, adapters);
        EXPECT_EQ(client.Property("Version").text, "1.0");
        EXPECT_EQ(service.Stop(), 0);
    }
}

TEST(Frame, StopEndsTheLoopIdleBusyOrNotRunningAndItStartsAgain) {
    EXPECT_LT(Seconds(stop_ac_dbus), 3.5);
    for (bool busy : {false, true}) {
        Service service;
        ASSERT_TRUE(service.Start());
        std::atomic<bool> done{false};
        std::atomic<int> calls{0};
        std::thread caller([&] {
            for (Client client; busy && !done; ++calls) client.Property("Version");
        });
        while (busy && calls < 20) usleep(1000);
        EXPECT_LT(Seconds([&] { EXPECT_EQ(service.Stop(), 0); }), 3.5) << busy;
        done = true;
        caller.join();
        EXPECT_EQ(Client().Owner(), 0);
    }
    EXPECT_TRUE(world->syslog->Contains("info: quit the dbus."));
}

TEST(Frame, AnOwnedNameMakesStartFailUntilItIsFree) {
    const pid_t squatter = fork();
    if (squatter == 0) {
        sd_bus* bus = nullptr;
        if (sd_bus_open_system(&bus) >= 0 && sd_bus_request_name(bus, "org.nimbra.sarv1", 0) >= 0) pause();
        _exit(1);
    }
    ASSERT_TRUE(Eventually([&] { return Client().Owner() == squatter; }));
    Service refused;
    EXPECT_FALSE(refused.Start());
    EXPECT_EQ(refused.Stop(), -1);
    EXPECT_TRUE(world->syslog->Contains("err: Failed to acquire service name: "));
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
    Service service;
    EXPECT_TRUE(service.Start());
    EXPECT_EQ(service.Stop(), 0);
}

// The service runs for the rest of the program.
class Bus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        service_ = new Service;
        ASSERT_TRUE(service_->Start());
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(service_->Stop(), 0);
        delete service_;
    }
    static void Reset(const std::string& fixture) {
        trees::Clear();
        trees::Seed(fixture);
        Service::Reload();
    }
    static Service* service_;
    Client client_;
    Signals signals_;
};
Service* Bus::service_ = nullptr;

std::string Result(const std::string& method, const Reply& reply) {
    if (!reply.ok) return reply.message;
    if (method == "CheckAuthorization") return std::to_string(reply.number);
    std::string joined;
    for (const auto& item : reply.list)
        joined += (joined.empty() ? "" : ",") +
                  (method == "ListEntity" ? nlohmann::json::parse(item, nullptr, false).value("name", "?") : item);
    return method == "CanAuthorize" || method == "ListEntity" ? joined : reply.text;
}

std::string Pushes() {
    std::string all;
    for (const auto& line : adapter::Pushes()) {
        std::string push;
        for (const auto& field : Split(line, '\t')) push += field.empty() ? "" : (push.empty() ? "" : " ") + field;
        all += (all.empty() ? "" : " / ") + push;
    }
    return all;
}

TEST_F(Bus, EveryRowOfTheTable) {
    Child sleeper({"/usr/bin/sleep", "600"});
    WriteFile("/tmp/bin/reader", ReadFile("/usr/bin/sleep"), 0755);
    WriteFile("/tmp/bin/viewer", ReadFile("/usr/bin/sleep"), 0755);
    Child reader({"/tmp/bin/reader", "600"}), viewer({"/tmp/bin/viewer", "600"});
    pid_t gone = Child({"/usr/bin/true"}).pid();
    std::map<std::string, std::string> vars = {
        {"self", std::to_string(getpid())}, {"sleeper", std::to_string(sleeper.pid())},
        {"reader", std::to_string(reader.pid())}, {"viewer", std::to_string(viewer.pid())},
        {"gone", std::to_string(gone)}, {"long", std::string(300, 'a')}, {"a150", std::string(150, 'a')},
        {"x246", std::string(246, 'x')}, {"y256", std::string(256, 'y')}};
    for (const Row& row : Table("bus.tsv")) {
        SCOPED_TRACE(row.where + " " + row["case"]);
        if (!row["fixture"].empty()) Reset(row["fixture"]);
        adapter::Clear();
        world->audit.Clear();
        signals_.Take();
        world->syslog->Clear();
        if (!row["fail"].empty()) adapter::Fail(Split(row["fail"], ' ')[0], std::stoi(Split(row["fail"], ' ')[1]));

        const std::string& method = row["method"];
        const std::string args = Fill(row["args"], vars);
        const bool ns = row["caller"].rfind("ns ", 0) == 0;
        vars["arg"] = args;
        vars["exe"] = row["caller"].empty() ? SelfExe() : row["caller"].substr(ns ? 3 : 0);
        Reply reply;
        if (row["caller"].empty()) {
            const bool several = method == "CanAuthorize" || method == "CheckAuthorization";
            reply = client_.Call(method, several ? Split(args, '|') : std::vector<std::string>(method != "ListEntity", args));
        } else {
            Caller caller;
            caller.exe = vars["exe"];
            if (ns) caller.wrapper = {"unshare", "-m", "--propagation", "private"};
            if (!row["label"].empty()) caller.label = row["label"] == "(empty)" ? "" : Fill(row["label"], vars);
            Called called = CallAs(caller, method, args);
            reply = called.reply;
            vars["pid"] = std::to_string(called.pid);
        }
        EXPECT_EQ(reply.error, row["error"]) << reply;
        EXPECT_EQ(Result(method, reply), Fill(row["reply"], vars));

        std::vector<Signal> sent;
        if (!row["signal"].empty()) {
            const auto word = Split(row["signal"], '|');
            const std::string kind = method.find("Mode") != std::string::npos     ? "ModeChanged"
                                     : method.find("Entity") != std::string::npos ? "EntityChanged"
                                                                                   : "PolicyChanged";
            sent.push_back({kind, word.size() > 1 ? row["signal"].substr(word[0].size() + 1) : args, word[0]});
        }
        EXPECT_EQ(signals_.Take(), sent);
        // The one record, as "RESULT MESSAGE" and by whom.
        std::vector<std::string> audit;
        for (auto record : world->audit.Records())
            audit.push_back(record["result"] + " " + record["message"] + " @" + record["comm"]);
        const std::string by = " @" + (row["caller"].empty() ? SelfComm() : vars["exe"]);
        EXPECT_EQ(audit, row["audit"].empty() ? std::vector<std::string>() : std::vector<std::string>{Fill(row["audit"], vars) + by});
        if (!row["files"].empty()) {
            EXPECT_EQ(trees::ServiceFiles(), row["files"] == "-" ? std::vector<std::string>() : Split(Fill(row["files"], vars), ' '));
        }
        EXPECT_EQ(Pushes(), row["pushes"]);
        if (!row["log"].empty()) {
            EXPECT_TRUE(world->syslog->Contains(Fill(row["log"], vars)));
        }
    }
}

// Nothing a caller sends may crash the service, change the trees or get
// other than exactly one reply (here a caller without a label).
TEST_F(Bus, EveryCallIsAnsweredOnceAndBadInputWritesNothing) {
    Reset("queries");
    labels::Set(getpid(), std::nullopt);
    const std::vector<std::string> records = {"/usr/share/olm/sarv/entity.d", "/usr/share/olm/sarv/mode.d",
                                              "/usr/share/olm/sarv/policy.d", "/etc/olm", "/var/lib/olm"};
    const auto before = Snapshot(records);
    const std::vector<std::string> inputs = {
        "", "/", "..", "../../etc/passwd", "camera/../mic", "entity.d/camera.object",
        std::string("cam\x01" "era\n\t\x7f", 9), "{\"object\":\"camera\",\"mode\":",
        "{\"object\":\"../../x\",\"mode\":\"whitelist\"}", "{\"name\":\"/\",\"type\":\"subject\",\"subtype\":\"exe\"}",
        "[1,2,3]", std::string(1 << 20, 'a'), "{\"object\":\"" + std::string(1 << 20, 'b') + "\",\"mode\":\"whitelist\"}"};
    for (const char* method : {"GetMode", "GetEntity", "GetPolicy", "SetMode", "DeleteMode", "SetEntity",
                               "DeleteEntity", "SetPolicy", "DeletePolicy", "CheckAuthorization", "CanAuthorize"})
        for (const auto& input : inputs) {
            Reply first;
            EXPECT_EQ(client_.Replies(method, [&](sd_bus_message* m) {
                if (std::string(method) == "CanAuthorize") return sd_bus_message_append(m, "is", -1, input.c_str());
                if (std::string(method) == "CheckAuthorization")
                    return sd_bus_message_append(m, "ssas", input.c_str(), input.c_str(), 1, "read");
                return sd_bus_message_append(m, "s", input.c_str());
            }, &first), 1) << method << " " << input.substr(0, 40);
            EXPECT_FALSE(first.ok) << method << " " << input.substr(0, 40);
        }
    // Wrong signatures are refused once, by sd-bus, before any handler.
    const Filler none = [](sd_bus_message*) { return 0; };
    const Filler number = [](sd_bus_message* m) { return sd_bus_message_append(m, "i", 7); };
    const Filler text = [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "camera"); };
    const Filler two = [](sd_bus_message* m) { return sd_bus_message_append(m, "ss", "a", "b"); };
    const std::vector<std::pair<const char*, Filler>> wrong = {
        {"CanAuthorize", text}, {"CanAuthorize", none},  {"CheckAuthorization", two}, {"CheckAuthorization", text},
        {"GetMode", number},    {"GetMode", none},       {"SetMode", number},         {"DeleteMode", two},
        {"ListEntity", text},   {"GetEntity", number},   {"SetEntity", none},         {"DeleteEntity", number},
        {"GetPolicy", two},     {"SetPolicy", number},   {"DeletePolicy", none}};
    for (const auto& [method, fill] : wrong) {
        Reply first;
        EXPECT_EQ(client_.Replies(method, fill, &first), 1) << method;
        EXPECT_EQ(first.error, "InvalidArgs") << method;
    }
    EXPECT_EQ(client_.Replies("ListEntity", none), 1);
    labels::Set(getpid(), std::string("nimbra_app"));
    EXPECT_EQ(Snapshot(records), before);
    EXPECT_EQ(client_.Call("GetMode", {"mic"}).text, R"({"mode":"blacklist","object":"mic","version":"1.0"})");
}

TEST_F(Bus, SignalsFromAnotherThreadReachClients) {
    std::thread watcher([] {
        for (int i = 0; i < 50; ++i) EmitAcSignal("ModeChanged", "m" + std::to_string(i), "add");
    });
    for (int i = 0; i < 50; ++i) EXPECT_EQ(Client().Property("Version").text, "1.0");
    watcher.join();
    const std::vector<Signal> got = signals_.Take();
    ASSERT_EQ(got.size(), 50u);
    EXPECT_EQ(got.front(), (Signal{"ModeChanged", "m0", "add"}));
    EXPECT_EQ(got.back(), (Signal{"ModeChanged", "m49", "add"}));
}

TEST_F(Bus, ListEntityRunsWhileTheCacheChanges) {
    Reset("queries");
    ConfigManager* cache = ConfigManager::Instance();
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        for (int i = 0; !done; ++i) {
            EntityInfoData e;
            e.name = "/usr/bin/churn" + std::to_string(i % 50);
            e.type = "subject";
            e.subtype = "exe";
            std::unique_lock<std::shared_mutex> lock(cache->maps_lock);
            if (i % 2) cache->entityMap.erase(e.name); else cache->entityMap[e.name]["/var/lib/olm/sarv/x"] = e;
        }
    });
    for (int i = 0; i < 30; ++i) EXPECT_GE(client_.Call("ListEntity").list.size(), 7u);
    done = true;
    watcher.join();
}

// A caller's pid is kept per connection: each connection must still be
// judged as its own process, and a label taken away counts at once.
TEST_F(Bus, EachConnectionIsJudgedAsItsOwnProcess) {
    Reset("service");
    const Called first = CallAs(Caller(), "DeleteMode", "x"), second = CallAs(Caller(), "DeleteMode", "x");
    ASSERT_NE(first.pid, second.pid);
    for (const Called& c : {first, second})
        EXPECT_EQ(c.reply.message, "process /tmp/clients/untrusted(" + std::to_string(c.pid) + ") has no security sign");
    EXPECT_TRUE(client_.Call("SetMode", {R"({"object":"camera","mode":"whitelist"})"}).ok);
    labels::Set(getpid(), std::nullopt);
    const Reply refused = client_.Call("SetMode", {R"({"object":"camera","mode":"blacklist"})"});
    labels::Set(getpid(), std::string("nimbra_app"));
    EXPECT_EQ(refused.message, "process " + SelfExe() + "(" + std::to_string(getpid()) + ") has no security sign");
    EXPECT_TRUE(client_.Call("SetMode", {R"({"object":"camera","mode":"blacklist"})"}).ok);
}

TEST_F(Bus, TheCallerCheckWorksAgainAfterARestart) {
    Reset("service");
    EXPECT_EQ(service_->Stop(), 0);
    ASSERT_TRUE(service_->Start());
    EXPECT_TRUE(Client().Call("SetMode", {R"({"object":"camera","mode":"whitelist"})"}).ok);
    const Called untrusted = CallAs(Caller(), "DeleteMode", "camera");
    EXPECT_EQ(untrusted.reply.error, "AccessDenied");
    Caller inspector;
    inspector.exe = "/usr/bin/sarv-ac-manager-tools";
    EXPECT_TRUE(CallAs(inspector, "DeleteMode", "camera").reply.ok);
    EXPECT_EQ(trees::ServiceFiles(), std::vector<std::string>());
}

// Whether the kernel module is there is decided once, at a process's first
// stored entity: here without it, in a host started with it.
TEST_F(Bus, TheModuleDecidesAtTheFirstEntityWhetherProgramsAreLabelled) {
    Reset("service");
    WriteFile("/tmp/bin/app", "#!/bin/sh\n", 0755);
    const std::string app = R"({"name":"app","type":"subject","subtype":"exe","attrs":{"exes":["/tmp/bin/app"]}})";
    const auto label = [] {
        char value[64];
        const ssize_t n = lgetxattr("/tmp/bin/app", "security.appid", value, sizeof value);
        return n < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(n));
    };
    ASSERT_TRUE(client_.Call("SetEntity", {app}).ok);
    labels::Module(true);
    ASSERT_TRUE(client_.Call("SetEntity", {R"({"name":"app","type":"subject","subtype":"exe","owner":"x","attrs":{"exes":["/tmp/bin/app"]}})"}).ok);
    EXPECT_EQ(label(), "<none>");

    ASSERT_EQ(service_->Stop(), 0);
    trees::Clear();
    {
        Service host(Service::kHost);
        ASSERT_TRUE(host.Start());
        EXPECT_TRUE(Client().Call("SetEntity", {app}).ok);
        EXPECT_EQ(label(), "app");
        EXPECT_EQ(host.Stop(), 0);
    }
    labels::Module(false);
    ASSERT_TRUE(service_->Start());
}

}  // namespace
