// The adapters, one step of tests/data/cases/adapters.tsv per row (loading them, what a push hands
// them, reloading the bus daemons instead, labelling programs), and the host's stop waiting for a
// reload. The adapter registry only ever grows.
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "adapter-manager.h"
#include "configfile-helper.h"
#include "harness.h"
#include "policy-propagation.h"

using namespace sarvtest;
namespace fs = std::filesystem;

namespace {

struct Fixture : public ::testing::Environment {
    void SetUp() override { Service::Reload(); }  // the cache holds tests/data/trees/adapters
    World world{"adapters", false};
};
World& world = static_cast<Fixture*>(::testing::AddGlobalTestEnvironment(new Fixture))->world;
AdapterManager* Adapters() { return AdapterManager::Instance(); }

// SetPolicy of `name` from `threads` threads, `calls` times each, 20 ms apart: the sum of the results.
int Burst(const std::string& name, int threads, int calls) {
    std::atomic<int> sum{0};
    std::vector<std::thread> pushers;
    for (int t = 0; t < threads; ++t)
        pushers.emplace_back([&] {
            for (int i = 0; i < calls; ++i, usleep(20000)) sum += Adapters()->SetPolicy(name).code;
        });
    for (auto& pusher : pushers) pusher.join();
    return sum;
}

std::string Step(const std::vector<std::string>& word, const std::string& text) {
    const auto arg = [&](size_t i) { return word.size() > i ? word[i] : std::string(); };
    EntityInfoData entity;
    if (word[0] == "load") return std::to_string(Adapters()->LoadAdapters(arg(1)));
    if (word[0] == "write") WriteFile(arg(1), "");
    if (word[0] == "copy") WriteFile(arg(2), ReadFile(arg(1)));
    if (word[0] == "link") fs::create_directory_symlink(arg(1), arg(2));
    if (word[0] == "install") adapter::Install(arg(2) == "-" ? "" : arg(2), arg(1));
    if (word[0] == "example") adapter::InstallExample(arg(2), arg(1));
    if (word[0] == "example" && !arg(3).empty()) setenv("SARV_AC_EXAMPLE_DIR", arg(3).c_str(), 1);  // read when loaded
    if (word[0] == "serves") return std::to_string(Adapters()->GetAdapter(arg(1)) == Adapters()->GetAdapter(arg(2)));
    if (word[0] == "count") return std::to_string(Adapters()->AdapterCount());
    if (word[0] == "push") return std::to_string(Adapters()->SetPolicy(arg(1)).code);
    std::vector<std::string> published;
    for (const auto& path : List("/tmp/example-adapter")) published.push_back(fs::path(path).filename());
    if (word[0] == "published") return Join(published, " ");
    if (word[0] == "burst") return std::to_string(Burst(arg(1), std::stoi(arg(2)), std::stoi(arg(3))));
    if (word[0] == "label" && ConfigFileHelper::LoadFromJson(text, entity) == 0) return std::to_string(SetAppElfOlmsecAttr(entity));
    return "0";
}

TEST(Adapters, EveryRowOfTheTable) {
    for (char file = 'a'; file <= 'k'; ++file) WriteFile(std::string("/tmp/exes/") + file, "#!/bin/sh\n", 0755);
    fs::create_symlink("/tmp/exes/j", "/tmp/exes/link");
    fs::create_directory_symlink(".", "/tmp/exes/root-link");
    fs::create_directory_symlink(".", "/tmp/exes/user-link");
    ASSERT_EQ(lchown("/tmp/exes/user-link", 1000, 1000), 0);
    for (const Row& row : Table("adapters.tsv")) {
        SCOPED_TRACE(row.where + " " + row["case"]);
        adapter::Clear();
        world.fakes.Clear("killall");
        if (!row["fail"].empty()) adapter::Fail(Split(row["fail"], ' ')[0], std::stoi(Split(row["fail"], ' ')[1]));
        const std::string result = Step(Split(row["step"], ' '), row["text"]);
        EXPECT_TRUE(WaitForBusDaemonReload(std::chrono::seconds(5)));
        EXPECT_TRUE(row["result"].empty() || result == row["result"]) << result;
        const std::string log = Join(adapter::Pushes(), " / ");
        EXPECT_TRUE(row["log"].empty() || (log.empty() ? "-" : log) == row["log"]) << log;
        EXPECT_TRUE(row["file"].empty() || ReadFile("/tmp/example-adapter/" + row["file"]) == row["document"]) << row["file"];
        EXPECT_TRUE(row["reloads"].empty() || world.fakes.Runs("killall").size() == std::stoul(row["reloads"]));
        for (const std::string& item : Split(row["labels"], ' ')) {
            char value[256];
            const ssize_t n = lgetxattr(("/tmp/exes/" + item.substr(0, item.find('='))).c_str(), "security.appid", value, sizeof value);
            EXPECT_EQ(item, item.substr(0, item.find('=') + 1) + (n < 0 ? "<none>" : std::string(value, n)));
        }
    }
}

// The host's stop waits for a reload under way, up to the end of its command.
TEST(Adapters, WaitingForAReloadWaitsForItsCommand) {
    FakeCommands slow(std::map<std::string, std::string>{{"killall", "sleep 1; touch /tmp/reloaded"}});
    EXPECT_EQ(Adapters()->SetPolicy("netobj").code, 0);
    EXPECT_TRUE(WaitForBusDaemonReload(std::chrono::seconds(5)));
    EXPECT_TRUE(Exists("/tmp/reloaded"));
}

}  // namespace
