// The administrator's tools: "check" says why "add" or the service would refuse a file and changes nothing;
// "explain", a process reading the trees, answers random questions on random configurations as the service does.
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <random>

#include <gtest/gtest.h>

#include "acjson.h"
#include "configfile-helper.h"
#include "harness.h"

using namespace sarvtest;
using nlohmann::json;

namespace {

std::unique_ptr<World> world;
std::unique_ptr<Service> service;

struct Environment : ::testing::Environment {
    void SetUp() override {
        // The programs the questions name; the package "pkg-db" owns p2 before the service reads the database.
        for (const std::string p : {"p0", "p1", "p2"})
            WriteFile("/tmp/bin/" + p, ReadFile("/usr/bin/sleep"), 0755);
        WriteFile("/tmp/admin-dpkg/status", "Package: pkg-db\nStatus: install ok installed\nVersion: 1\n\n");
        WriteFile("/tmp/admin-dpkg/info/pkg-db.list", "/tmp/bin/p2\n");
        setenv("DPKG_ADMINDIR", "/tmp/admin-dpkg", 1);
        world = std::make_unique<World>("demo");
        ASSERT_TRUE((service = std::make_unique<Service>())->Start());
    }
    void TearDown() override {
        service.reset();
        world.reset();
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

std::string Pid(const Child& child) { return std::to_string(child.pid()); }

// On the demo configuration, as a user other than root.
TEST(Check, EveryRowOfTheTable) {
    const auto before = Snapshot({trees::kRoots[0], trees::kRoots[1], trees::kRoots[2]});
    const std::map<std::string, std::string> vars = {{"big", std::string(kMaxJsonDocumentSize, ' ')},
                                                     {"deep", std::string(65, '[') + std::string(65, ']')}};
    for (const Row& row : Table("check.tsv")) {
        SCOPED_TRACE(row.where + " " + row["case"]);
        std::string file = row["path"];
        if (file.empty()) WriteFile(file = "/tmp/check/" + row["case"], Fill(row["text"], vars));
        const Ran ran = sarvtest::Run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", SARV_CONFIGER,
                                       "check", "--" + row["kind"], file});
        EXPECT_EQ(ran.out, file + ": " + row["reply"] + "\n");
        EXPECT_EQ(ran.status, std::stoi(row["status"]));
    }
    EXPECT_EQ(Snapshot({trees::kRoots[0], trees::kRoots[1], trees::kRoots[2]}), before);
    EXPECT_EQ(world->audit.Lines(), std::vector<std::string>());
}

// The service answered the question `args` of `method` with `reply`.
void ExpectSameAnswer(const std::string& method, std::vector<std::string> args, const Reply& reply) {
    args.insert(args.begin(), {SARV_CONFIGER, "explain", "--json"});
    const std::string out = Run(args).out;
    const bool can = method == "CanAuthorize";
    const json report = json::parse(out, nullptr, false);
    const json answer = report.is_object() ? report[can ? "can_authorize" : "check_authorization"] : json::object();
    const json want = !reply.ok ? json(reply.message) : can ? json(reply.list) : json(reply.number);
    EXPECT_EQ(answer.value(reply.ok ? "answer" : "error", json()), want) << out;
}

// Three programs (claimed by name, by a package's list, by the package database), three objects; every record
// spread over the trees with fields left empty at random: layers override, keep or break each other. Questions
// also name an object that is no entity and a process that has ended.
TEST(Explain, AnswersAsTheServiceOnRandomConfigurations) {
    std::mt19937 random(static_cast<unsigned>(EnvNumber("SARV_SEED", 20)));
    const auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    const auto some = [&](std::vector<std::string> from) {
        from.erase(std::remove_if(from.begin(), from.end(), [&](const auto&) { return random() % 2; }), from.end());
        return from;
    };
    const std::vector<std::string> ops = {"read", "write", "allow"}, objects = {"o0", "o1", "o2", "ghost"},
                                   subjects = {"/tmp/bin/p0", "/tmp/bin/p1", "/tmp/bin/p2", "pkg-list", "/tmp/bin/no"};
    Child p0({"/tmp/bin/p0", "600"}), p1({"/tmp/bin/p1", "600"}), p2({"/tmp/bin/p2", "600"});
    const std::vector<std::string> pids = {Pid(p0), Pid(p1), Pid(p2), Pid(Child({"/usr/bin/true"}))};
    Client client;
    for (uint64_t round = 0; round < EnvNumber("SARV_ROUNDS", 25); ++round) {
        trees::Clear();
        const auto write = [&](const auto& record) {
            if (random() % 2) WriteFile(trees::kRoots[random() % 3] + GetConfigFileName(record), ToJsonText(record));
        };
        for (const std::string name : {"/tmp/bin/p0", "pkg-list", "pkg-db", "o0", "o1", "o2"})
            for (int copy = 0; copy < 3; ++copy) {
                EntityInfoData e;
                e.name = name;
                const std::string own = name[0] == 'o' ? "object" : "subject";
                e.type = pick({own, own, own, "", "object"});
                e.subtype = pick({name[0] == '/' ? "exe" : "package", "package", "", "file"});
                if (name == "pkg-list") e.attrs.exes = some({"/tmp/bin/p1", "/tmp/bin/p0"});
                e.attrs.exclude_exes = some({"/tmp/bin/p1"});
                e.available_operations = some(ops);
                write(e);
                write(ModeData{name, pick({"", "whitelist", "blacklist", "read", "write"}), "1.0"});
                PolicyData p{"1.0", {{name, {}}, {pick({"/tmp/bin/p0", "pkg-list", "pkg-db"}), {}}}};
                for (auto& entry : p.policies)
                    for (const auto& object : some(objects)) entry.objects.push_back({object, some(ops), 0, 0});
                write(p);
            }
        Service::Reload();
        for (int question = 0; question < 8; ++question) {
            const bool can = random() % 2;
            const std::string method = can ? "CanAuthorize" : "CheckAuthorization";
            std::vector<std::string> args = {pick(can ? pids : subjects), pick({"o0", "o1", "o2", "ghost"})};
            for (const auto& op : can ? std::vector<std::string>() : some(ops)) args.push_back(op);
            ExpectSameAnswer(method, args, client.Call(method, args));
        }
    }
}

}  // namespace
