// The cache and the folder watcher as the service runs them, with the bus loop in this process
// carrying the change signals: the steps of tests/data/cases/cache.tsv, and changes, lookups and
// announcements at once while the watcher works.
#include <dlfcn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "adapter-manager.h"
#include "configfile-watcher.h"
#include "config-manager.h"
#include "harness.h"
#include "service.h"

using namespace sarvtest;
namespace fs = std::filesystem;

namespace {

std::atomic<bool> fail_folder_sync{false};

struct Fixture : public ::testing::Environment {
    void SetUp() override {
        ASSERT_EQ(mount("cache-test", "/run", "tmpfs", 0, "mode=0755"), 0);  // for a bus daemon's socket of our own
        adapter::Install("camera,mic,speaker,scanner,printer,early,kept,overwritten,transient,removed,settle");
        FileWatcher::Instance()->IgnoreFile("/nowhere");  // touched first on a thread without an event loop
        ASSERT_TRUE(service.Start());
    }
    void TearDown() override { worker.quit(), worker.wait(), service.Stop(); }
    World world;
    Service service;
    Signals changes;
    WorkerThread& worker = world.service->worker;  // the plug-in's, hosting the watcher
};
Fixture* const f = static_cast<Fixture*>(::testing::AddGlobalTestEnvironment(new Fixture));
ConfigManager* Cache() { return ConfigManager::Instance(); }

std::string LastPush() {
    const std::vector<std::string> pushes = adapter::Pushes();
    return pushes.empty() ? "" : pushes.back();
}

// Returns once the watcher has handled every change made in `folder`: a file of its own added
// there (whole) and removed again has been pushed both times.
void Settle(const std::string& folder) {
    ASSERT_TRUE(Eventually([&] { return fs::exists(folder); }));
    WriteFile(folder + "/.settle", R"({"object":"settle","mode":"whitelist"})");
    rename((folder + "/.settle").c_str(), (folder + "/settle.mode").c_str());
    ASSERT_TRUE(Eventually([] { return LastPush() == "settle\twhitelist\t"; }));
    unlink((folder + "/settle.mode").c_str());
    ASSERT_TRUE(Eventually([] { return LastPush() == "settle\tblacklist\t"; }));
}

std::string Pushes() {  // as "OBJECT MODE SUBJECT=OPS", without Settle's
    std::vector<std::string> pushes;
    for (std::string line : adapter::Pushes())
        if (line.rfind("settle", 0) != 0 && line != "getter") pushes.push_back(Join(Split(line, '\t'), " "));
    return pushes.empty() ? "-" : Join(pushes, " / ");
}

std::string Unused() {  // the step's lines saying that a file is not used, sorted
    syslog(LOG_INFO, "cache_test: step done");  // arrives after every line logged before
    f->world.syslog->Contains("cache_test: step done");
    std::vector<std::string> lines;
    for (const auto& line : f->world.syslog->Lines())
        if (line.find(" is corrupt or unreadable and not used; in force instead: ") != std::string::npos) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return Join(lines, " | ");
}

// The step's result, with the change word of the service's own changes or their error, or the
// change signals sent.
std::string Step(const std::vector<std::string>& word, const std::string& text) {
    const std::string path = word.size() > 1 ? word[1] : "";
    const std::string hidden = fs::path(path).parent_path() / ("." + fs::path(path).filename().string());
    const bool own = word[0] == "set-mode" || word[0] == "set-entity" || word[0] == "delete-mode";
    const bool report = word[0] == "report-add" || word[0] == "report-delete";
    const time_t now = time(nullptr);
    std::string change;
    ModeData mode;
    EntityInfoData entity;
    int r = 0;
    if (word[0] == "write" || word[0] == "put") WriteFile(word[0] == "put" ? path : hidden, text);
    if (word[0] == "write") r = rename(hidden.c_str(), path.c_str());  // whole, as installers write
    if (word[0] == "age") fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(5));
    if (word[0] == "rename") r = rename(path.c_str(), word.at(2).c_str());
    if (word[0] == "remove") r = fs::remove_all(path) ? 0 : -1;
    if (word[0] == "mode") r = std::stoi("0" + sarvtest::Run({"stat", "-L", "-c", "%a", path}).out);  // as octal digits
    if (word[0] == "reloads") r = static_cast<int>(f->world.fakes.Runs("killall").size());
    if (report) r = Cache()->SetCacheAndUpdatePolicy(QString::fromStdString(path), word[0] == "report-add");
    for (const Signal& signal : report ? f->changes.Take() : std::vector<Signal>())
        change += (change.empty() ? "" : " / ") + signal.member + " " + signal.second;
    if (word[0] == "start") Service::Reload();
    if (word[0] == "sweep") r = ConfigManager::RemoveStaleTemporaries();
    if (word[0] == "bus-older") r = is_dbusdaemon_early_then_sarvconfig();
    if (word[0] == "later") r = Eventually([&] { return time(nullptr) > now; }) ? chmod(path.c_str(), 0666) : -1;
    if (word[0] == "watch") f->worker.start();
    if (word[0] == "unwatch") r = (f->worker.quit(), f->worker.wait()) ? 0 : -1;
    Status stored;
    if (word[0] == "set-mode") stored = Cache()->SetCache(Cache()->modeMap, text, mode, change);
    if (word[0] == "set-entity") stored = Cache()->SetCache(Cache()->entityMap, text, entity, change);
    if (word[0] == "delete-mode") stored = Cache()->DeleteCache(Cache()->modeMap, path, mode, change);
    if (own) r = stored.code;
    return std::to_string(r) + (own && r != 0 ? " " + stored.reason : change.empty() ? "" : " " + change);
}

TEST(Cache, EveryRowOfTheTable) {
    const std::string big = R"({"object":"big","mode":"whitelist","version":")" + std::string(1 << 20, 'v') + "\"}";
    const char* tree = kVarLibFolder.c_str();
    bool watching = false;
    for (const Row& row : Table("cache.tsv")) {
        SCOPED_TRACE(row.where + " " + row["case"]);
        adapter::Clear();
        f->changes.Take();
        f->world.syslog->Clear();
        const std::vector<std::string> word = Split(row["step"], ' ');
        if (row["disk"] == "read-only") {
            ASSERT_EQ(sarvtest::Run({"sh", "-c", "mount --bind $0 $0 && mount -o remount,bind,ro $0", tree}).status, 0);
        }
        fail_folder_sync = row["disk"] == "no-folder-sync";
        const mode_t mask = umask(row["disk"] == "umask-077" ? 077 : 022);
        const std::string result = Step(word, Fill(row["text"], {{"big", big}}));
        fail_folder_sync = false;
        if (row["disk"] == "read-only") umount(tree);
        watching = word[0] == "watch" || (watching && word[0] != "unwatch");
        const bool file = word.size() > 1 && word[1][0] == '/';
        const std::string folder = file ? fs::path(word[1]).parent_path().string() : kVarLibModeFolder;
        if (watching && (word[0] == "watch" || !(row["modes"] + row["pushes"]).empty()))
            Settle(word[0] == "watch" ? kUsrShareModeFolder : folder);
        umask(mask);
        EXPECT_TRUE(row["result"].empty() || result == row["result"]) << result;
        const auto name = [](const std::string& item) { return item.substr(0, item.find('=')); };  // of NAME=VALUE
        for (const std::string& item : Split(row["modes"], ' '))
            EXPECT_EQ(item, name(item) + "=" + Cache()->GetCache(Cache()->modeMap, name(item)).mode);
        for (const std::string& item : Split(row["entities"], ' '))
            EXPECT_EQ(item, name(item) + "=" + Cache()->GetCache(Cache()->entityMap, name(item)).type);
        EXPECT_TRUE(row["pushes"].empty() || Pushes() == row["pushes"]) << Pushes();
        for (const std::string& file : Split(row["present"], ' ')) EXPECT_TRUE(Exists(file)) << file;
        for (const std::string& file : Split(row["absent"], ' ')) EXPECT_FALSE(Exists(file)) << file;
        EXPECT_EQ(Unused(), row["unused"]);
    }
}

// For the thread checker: lookups and announcements while the service changes records and the
// watcher takes files in; no change may be lost or undone, and a subject is found only once it is there.
TEST(Cache, ChangesLookupsAndAnnouncementsAtOnce) {
    std::atomic<bool> done{false}, adding{false}, added{false};
    std::atomic<int> wrong{0};
    const auto reader = [&](int t) {
        EntityInfoData subject;
        PolicyData policy;
        for (int i = 0; !done; ++i) {
            const bool was = added;
            const int found = Cache()->GetExeSubjectInfo("/usr/bin/app", subject);
            wrong += (was && found != 0) || (found == 0 && (!adding || subject.name != "/usr/bin/app"));
            Cache()->GetObjectPolicy("lens", policy);
            FileWatcher::Instance()->IgnoreFile(QString("/nowhere/%1-%2").arg(t).arg(i % 500));
        }
    };
    std::thread readers[] = {std::thread(reader, 0), std::thread(reader, 1), std::thread(reader, 2), std::thread(reader, 3)};
    const auto name = [](const char* kind, int i) { return std::string(kind) + "-" + std::to_string(i); };
    for (int i = 0; i < 10; ++i) WriteFile(kEtcModeFolder + "/" + name("disk", i) + ".mode", R"({"object":")" + name("disk", i) + "\"}");
    std::string change;
    ModeData mode;
    PolicyData policy;
    EntityInfoData app;
    for (int i = 0; i < 300; ++i) {
        if (i == 150) {
            adding = true;
            EXPECT_EQ(Cache()->SetCache(Cache()->entityMap, R"({"name":"/usr/bin/app","type":"subject","subtype":"exe"})", app, change).code, 0);
            added = true;
        }
        const std::string set = R"({"policies":[{"subject":{"name":")" + name("s", i) + R"("},"objects":[{"object":"lens"}]}]})";
        EXPECT_EQ(Cache()->SetCache(Cache()->modeMap, R"({"object":")" + name("obj", i) + R"(","mode":"whitelist"})", mode, change).code, 0);
        EXPECT_EQ(Cache()->SetCache(Cache()->policyMap, set, policy, change).code, 0);
        EXPECT_EQ(i % 3 ? 0 : Cache()->DeleteCache(Cache()->modeMap, name("obj", i), mode, change).code, 0);
    }
    Settle(kEtcModeFolder);
    Settle(kVarLibModeFolder);
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(wrong, 0);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(Cache()->GetCache(Cache()->modeMap, name("obj", i)).mode, i % 3 ? "whitelist" : "blacklist");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Cache()->GetCache(Cache()->modeMap, name("disk", i)).object, name("disk", i));
    Cache()->GetObjectPolicy("lens", policy = PolicyData());
    EXPECT_EQ(policy.policies.size(), 300u);
}

}  // namespace

// While asked to, syncing a folder fails (files still sync).
extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    struct stat st {};
    if (fail_folder_sync && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) return errno = EIO, -1;
    return real(fd);
}
