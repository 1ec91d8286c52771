// The bus service end to end on a private bus that denies what Debian's system bus denies and allows what the
// service's installed policy allows: the frame (status, stop, start, restarts), every method's behaviour as rows
// of tests/data/cases/bus.tsv, and what rows cannot say.
#include <grp.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "ac-dbus-service.h"
#include "ac-globals.h"
#include "access-control-dbus.h"
#include "ac-signal.h"
#include "audit-records.h"
#include "config-manager.h"
#include "harness.h"

using namespace sarvtest;

namespace {

World* world = nullptr;      // made by main()
Service* service = nullptr;  // the Bus tests'

double Seconds(const std::function<void()>& what) {
    const auto start = std::chrono::steady_clock::now();
    what();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The first test of the program: the adapter registry only ever grows. (A stop under calls ends the restart test.)
// A start fails while another process owns the name, and succeeds once it is free.
TEST(Frame, StartNeedsAFreeNameStatusFollowsTheAdaptersAndAnIdleOrStoppedLoopStopsAtOnce) {
    EXPECT_LT(Seconds(stop_ac_dbus), 3.5);
    Service owner(Service::kHost), refused;
    ASSERT_TRUE(owner.Start());
    EXPECT_FALSE(refused.Start());
    EXPECT_EQ(refused.Stop(), -1);
    EXPECT_TRUE(world->syslog->Contains("err: Failed to acquire service name: "));
    EXPECT_EQ(owner.Stop(), 0);
    for (int adapters : {0, 1}) {
        if (adapters) adapter::Install("camera,mic,broken,flaky");
        Service service;
        ASSERT_TRUE(service.Start());
        EXPECT_EQ(Client().Property("Status").number, adapters);
        EXPECT_LT(Seconds([&] { EXPECT_EQ(service.Stop(), 0); }), 3.5);
        EXPECT_EQ(Client().Owner(), 0);
    }
    EXPECT_TRUE(world->syslog->Contains("info: quit the dbus."));
}

// A restart is a stop and then a start on a thread of the host's own, and two may run at once. Under a stream of
// calls, whatever order their steps take, the service ends up serving (one run left, its Version "1.0"), no start
// fails, and callers are still judged as themselves. A stop under calls takes as long as an idle one.
TEST(Frame, RestartsUnderCallsAlwaysEndServing) {
    std::vector<std::thread> runs;
    std::list<std::atomic<bool>> ended;  // one per run
    std::atomic<int> failed{0};
    std::atomic<bool> quit{false};
    const auto launch = [&](bool restart) {
        std::atomic<bool>& end = ended.emplace_back(false);
        runs.emplace_back([&end, &failed, restart] {
            if (restart) stop_ac_dbus();
            failed += start_ac_dbus() != 0;
            end = true;
        });
    };
    std::thread caller([&] {
        for (Client client; !quit;) client.Property("Version");
    });
    Client client;
    const auto serving = [&](const std::atomic<bool>& before) {
        return before && std::count(ended.begin(), ended.end(), false) == 1 &&
               client.Property("Version").text == "1.0";
    };
    launch(false);
    // Else the first restart's start would be the older one, and rightly give way.
    EXPECT_TRUE(Eventually([&] { return client.Property("Version").text == "1.0"; }));
    for (int round = 0; round < 100 && !HasFailure(); ++round) {
        const std::atomic<bool>& before = ended.back();
        for (int i = 0; i <= round % 2; ++i) launch(true);
        EXPECT_TRUE(Eventually([&] { return serving(before); }, 10) && (usleep(20000), serving(before))) << round;
    }
    const Called untrusted = CallAs(Caller(), "DeleteMode", "x");
    EXPECT_EQ(untrusted.reply.message, "process /tmp/clients/untrusted(" + std::to_string(untrusted.pid) +
                                           ") has no security sign");
    EXPECT_LT(Seconds(stop_ac_dbus), 3.5);
    quit = true;
    caller.join();
    for (std::thread& run : runs) run.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(client.Owner(), 0);
}

// The service runs for the rest of the program.
class Bus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        service = new Service;
        ASSERT_TRUE(service->Start());
    }
    static void Reset(const std::string& fixture) {
        trees::Clear();
        trees::Seed(fixture);
        Service::Reload();
    }
    Client client_;
    Signals signals_;
};

// Anyone may call the interface and read a property (what a call by user 65534 gets is a row), but only root may
// own the name, and no one set a property.
TEST_F(Bus, OnlyRootMayOwnTheNameAndNoOneSetAProperty) {
    const pid_t nobody = fork();
    if (nobody == 0) {
        const char *name = "org.nimbra.sarv1", *path = "/org/nimbra/sarv1/AccessControl", *face = "org.nimbra.sarv1.AccessControl";
        sd_bus* bus = nullptr;
        char* version = nullptr;
        if (setgroups(0, nullptr) || setgid(65534) || setuid(65534) || sd_bus_open_system(&bus) < 0) _exit(100);
        if (sd_bus_request_name(bus, name, 0) != -EACCES) _exit(1);
        if (sd_bus_get_property_string(bus, name, path, face, "Version", nullptr, &version) < 0) _exit(2);
        _exit(sd_bus_set_property(bus, name, path, face, "Version", nullptr, "s", "2.0") != -EACCES ? 3 : 0);
    }
    int status = -1;
    waitpid(nobody, &status, 0);
    EXPECT_EQ(status, 0) << "the unprivileged client's check " << WEXITSTATUS(status) << " failed";
}

std::string Result(const std::string& method, const Reply& reply) {
    if (!reply.ok) return reply.message;
    if (method == "CheckAuthorization") return std::to_string(reply.number);
    std::vector<std::string> items = reply.list;  // ListEntity's by name
    for (auto& item : items) item = method == "ListEntity" ? nlohmann::json::parse(item, nullptr, false).value("name", "?") : item;
    return method == "CanAuthorize" || method == "ListEntity" ? Join(items, ",") : reply.text;
}

std::string Pushes() {
    std::string all;
    for (std::string push : adapter::Pushes()) {
        std::replace(push.begin(), push.end(), '\t', ' ');
        all += (all.empty() ? "" : " / ") + push.substr(0, push.find_last_not_of(' ') + 1);
    }
    return all;
}

// An audit cell with each «TEXT» as the record holds it, encoded.
std::string Encoded(std::string text) {
    for (size_t open; (open = text.find("«")) != std::string::npos;) {
        const size_t close = text.find("»", open);
        text.replace(open, close + 2 - open, audit_records::Hex(text.substr(open + 2, close - open - 2)));
    }
    return text;
}

TEST_F(Bus, EveryRowOfTheTable) {
    std::map<std::string, std::string> vars = {{"self", std::to_string(getpid())},
                                               {"gone", std::to_string(Child({"/usr/bin/true"}).pid())}};
    std::list<Child> programs;
    for (const char* name : {"sleeper", "reader", "viewer"}) {
        WriteFile(std::string("/tmp/bin/") + name, ReadFile("/usr/bin/sleep"), 0755);
        vars[name] = std::to_string(programs.emplace_back(std::vector<std::string>{"/tmp/bin/" + std::string(name), "600"}).pid());
    }
    for (const char* filler : {"a300", "a150", "x246", "y256", "x9000", "x4093", "o5000", "o1533", "o1024"})
        vars[filler] = std::string(std::stoul(filler + 1), filler[0]);
    for (const Row& row : Table("bus.tsv")) {
        SCOPED_TRACE(row.where + " " + row["case"]);
        if (!row["fixture"].empty()) Reset(row["fixture"]);
        adapter::Clear();
        world->audit.Clear();
        signals_.Take();
        world->syslog->Clear();
        if (!row["fail"].empty()) adapter::Fail(Split(row["fail"], ' ')[0], std::stoi(Split(row["fail"], ' ')[1]));
        labels::Module(row["module"] == "present");

        const std::string& method = row["method"];
        const std::string args = Fill(row["args"], vars);
        const std::vector<std::string> caller = Split(row["caller"], ' ');  // [ns] [uid=N] PATH
        vars["arg"] = args;
        vars["exe"] = caller.empty() ? SelfExe() : caller.back();
        const std::string cell = row["label"].empty() && caller.empty() ? "nimbra_app" : row["label"];
        const std::optional<std::string> label =
            cell.empty() || cell == "(none)" ? std::nullopt : std::optional(cell == "(empty)" ? "" : Fill(cell, vars));
        Reply reply;
        if (caller.empty()) {
            labels::Set(getpid(), label);
            reply = client_.Call(method, Split(args, '|'));
            labels::Set(getpid(), std::string("nimbra_app"));
        } else {
            Caller as;
            as.exe = vars["exe"];
            as.label = label;
            for (const std::string& word : caller) {
                if (word == "ns") as.wrapper = {"unshare", "-m", "--propagation", "private"};
                if (word.rfind("uid=", 0) == 0) as.uid = std::stoi(word.substr(4));
            }
            const Called called = CallAs(as, method, args);
            reply = called.reply;
            vars["pid"] = std::to_string(called.pid);
        }
        EXPECT_EQ(reply.error, row["error"]) << reply;
        EXPECT_EQ(Result(method, reply), Fill(row["reply"], vars));

        std::vector<Signal> sent;
        const std::vector<std::string> signal = Split(row["signal"], '|');  // WORD[|FIRST] of (Set|Delete)KIND's KINDChanged
        const std::string kind = method.substr(method[0] == 'S' ? 3 : 6) + "Changed";
        if (!signal.empty()) sent.push_back({kind, signal.size() > 1 ? signal[1] : args, signal[0]});
        EXPECT_EQ(signals_.Take(), sent);
        std::string audit;  // the one record, as "RESULT MESSAGE @COMM"
        for (auto record : world->audit.Records()) audit += record["result"] + " " + record["message"] + " @" + record["comm"];
        EXPECT_EQ(audit, row["audit"].empty() ? "" : Encoded(Fill(row["audit"], vars)) + " @" + (caller.empty() ? SelfComm() : vars["exe"]));
        if (!row["files"].empty()) {
            EXPECT_EQ(trees::ServiceFiles(), row["files"] == "-" ? std::vector<std::string>() : Split(Fill(row["files"], vars), ' '));
        }
        EXPECT_EQ(Pushes(), row["pushes"]);
        EXPECT_TRUE(row["log"].empty() || world->syslog->Contains(Fill(row["log"], vars))) << row["log"];
    }
    labels::Module(false);
}

// Nothing a caller sends may crash the service, change the trees or get other than exactly one reply (here a
// caller without a label).
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
    const auto once = [&](const std::string& method, const Filler& fill) {  // the reply, checked to be the only one
        Reply first;
        EXPECT_EQ(client_.Replies(method, fill, &first), 1) << method;
        return first;
    };
    for (const std::string method : {"GetMode", "GetEntity", "GetPolicy", "SetMode", "DeleteMode", "SetEntity",
                                     "DeleteEntity", "SetPolicy", "DeletePolicy", "CheckAuthorization", "CanAuthorize"})
        for (const auto& input : inputs)
            EXPECT_FALSE(once(method, [&](sd_bus_message* m) {
                if (method == "CanAuthorize") return sd_bus_message_append(m, "is", -1, input.c_str());
                if (method == "CheckAuthorization")
                    return sd_bus_message_append(m, "ssas", input.c_str(), input.c_str(), 1, "read");
                return sd_bus_message_append(m, "s", input.c_str());
            }).ok) << method << " " << input.substr(0, 40);
    // Wrong signatures (a string, a number, two strings or nothing) are refused once, by sd-bus.
    const std::vector<std::pair<const char*, std::string>> wrong = {
        {"CanAuthorize", "s"}, {"CanAuthorize", ""},  {"CheckAuthorization", "ss"}, {"CheckAuthorization", "s"},
        {"GetMode", "i"},      {"GetMode", ""},       {"SetMode", "i"},             {"DeleteMode", "ss"},
        {"ListEntity", "s"},   {"GetEntity", "i"},    {"SetEntity", ""},            {"DeleteEntity", "i"},
        {"GetPolicy", "ss"},   {"SetPolicy", "i"},    {"DeletePolicy", ""}};
    for (const auto& [method, signature] : wrong)
        EXPECT_EQ(once(method, [&](sd_bus_message* m) {
            int r = 0;
            for (char type : signature) r = type == 'i' ? sd_bus_message_append(m, "i", 7) : sd_bus_message_append(m, "s", "camera");
            return r;
        }).error, "InvalidArgs") << method;
    once("ListEntity", nullptr);
    labels::Set(getpid(), std::string("nimbra_app"));
    EXPECT_EQ(Snapshot(records), before);
    EXPECT_EQ(client_.Call("GetMode", {"mic"}).text, R"({"mode":"blacklist","object":"mic","version":"1.0"})");
}

// A change leaves the reason of its answer in the documented last-error text, over the older one (a call with no
// sender comes from no process and is refused).
TEST(Changes, LeaveTheirReasonInTheLastErrorText) {
    ac_error_msg = "older";
    const Status refused = AccessControlDbus::Instance()->DeleteMode(nullptr, "camera");
    EXPECT_EQ(refused.reason, "caller(0) and sarv-ac-manager not in same ns/mnt");
    EXPECT_EQ(ac_error_msg, refused.reason);
}

// ListEntity layers each name as GetEntity does, also while a watcher thread changes the cache and sends signals
// (more than the bus loop keeps queued at once: none is lost), and after changes over the bus and from the watcher
// (the texts kept between calls go with them).
TEST_F(Bus, AWatcherThreadChangesAndSignalsWhileCallsRun) {
    Reset("queries");
    const auto asGetEntity = [&] {
        for (const std::string& item : client_.Call("ListEntity").list)
            EXPECT_EQ(item, client_.Call("GetEntity", {nlohmann::json::parse(item).value("name", "")}).text);
    };
    asGetEntity();
    ConfigManager* cache = ConfigManager::Instance();
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        for (int i = 0; !done || i < 3000; ++i) {
            if (i < 3000) EmitAcSignal("ModeChanged", "m" + std::to_string(i), "add");
            const std::string name = "/usr/bin/churn" + std::to_string(i % 50);
            ConfigManager::MapsChange change(*cache);
            if (i % 2) cache->entityMap.erase(name); else cache->entityMap[name] = cache->entityMap["/usr/bin/idle"];
        }
    });
    for (int i = 0; i < 30; ++i) EXPECT_GE(client_.Call("ListEntity").list.size(), 7u);
    done = true;
    watcher.join();
    std::vector<Signal> sent;  // all, in order
    for (int i = 0; i < 3000; ++i) sent.push_back({"ModeChanged", "m" + std::to_string(i), "add"});
    EXPECT_EQ(signals_.Take(), sent);
    ASSERT_TRUE(client_.Call("SetEntity", {R"({"name":"mic","type":"object","subtype":"exe","description":"Mic"})"}).ok);
    WriteFile("/etc/olm/sarv/entity.d/camera.object", R"({"name":"camera","type":"object","description":"Cam"})");
    cache->SetCacheAndUpdatePolicy("/etc/olm/sarv/entity.d/camera.object", true);
    asGetEntity();
}

// Whether the kernel module is there is decided once, at a process's first stored entity: here without it, in a
// host started with it. A link on the way to a program is followed only when root owns it.
TEST_F(Bus, TheModuleDecidesAtTheFirstEntityWhetherProgramsAreLabelled) {
    Reset("service");
    for (const char* name : {"app", "e", "d"}) WriteFile(std::string("/tmp/bin/") + name, "#!/bin/sh\n", 0755);
    ASSERT_EQ(symlink("/tmp/bin", "/tmp/root-link") | symlink("/tmp/bin", "/tmp/user-link"), 0);
    ASSERT_EQ(lchown("/tmp/user-link", 1000, 1000), 0);
    const std::string app = R"({"name":"app","type":"subject","subtype":"exe","attrs":{"exes":["/tmp/bin/app",)"
                            R"("/tmp/root-link/e","/tmp/user-link/d"]}})";
    const auto label = [](const char* name) {
        char value[64];
        const ssize_t n = lgetxattr((std::string("/tmp/bin/") + name).c_str(), "security.appid", value, sizeof value);
        return n < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(n));
    };
    ASSERT_TRUE(client_.Call("SetEntity", {app}).ok);
    labels::Module(true);
    ASSERT_TRUE(client_.Call("SetEntity", {R"({"name":"app","type":"subject","subtype":"exe","owner":"x","attrs":{"exes":["/tmp/bin/app"]}})"}).ok);
    EXPECT_EQ(label("app"), "<none>");

    ASSERT_EQ(service->Stop(), 0);
    trees::Clear();
    Service host(Service::kHost);
    ASSERT_TRUE(host.Start());
    EXPECT_TRUE(Client().Call("SetEntity", {app}).ok);
    EXPECT_EQ(label("app") + " " + label("e") + " " + label("d"), "app app <none>");
    EXPECT_EQ(host.Stop(), 0);
    labels::Module(false);
    ASSERT_TRUE(service->Start());
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    World own("", /*own_bus=*/false);
    own.bus = std::make_unique<PrivateBus>(Source("tests/data/bus/system-like-bus.conf"));
    setenv("DPKG_ADMINDIR", "/tmp/dpkg", 1);
    world = &own;
    const int failed = own.bus->ok() ? RUN_ALL_TESTS() : 1;
    delete service;
    return failed;
}
