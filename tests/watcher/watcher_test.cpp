// The folder watcher end to end: files written into the sandboxed
// configuration trees reach the real cache through a worker thread's event
// loop, while this (main) thread never runs one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>

#include "acconstants.h"
#include "acjson.h"
#include "config-file-watcher.h"
#include "config-manager.h"
#include "eventually.h"
#include "syslog-capture.h"

namespace fs = std::filesystem;

namespace {

const std::string kEtcMode = "/etc/olm/sarv/mode.d";
const std::string kFakeBin = "/tmp/watcher-fake-bin";
const std::string kKillallCalls = "/tmp/watcher-killall-calls";

// Hosts the watcher the way the plug-in's worker does.
class Worker : public QThread {
public:
    // Whether every folder is watched, in this run of the thread.
    bool Watching() const { return watching_.load(); }

protected:
    void run() override {
        FileWatcher::Instance()->WatchConfigPath();
        watching_ = true;
        exec();
        watching_ = false;
    }

private:
    std::atomic<bool> watching_{false};
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ModeJson(const std::string& object, const std::string& mode) {
    ModeData m;
    m.object = object;
    m.mode = mode;
    return ToJsonText(m, 4);
}

// Written under a hidden name and renamed, as an installer does.
void WriteAtomically(const std::string& path, const std::string& text) {
    fs::path p(path);
    std::string tmp = (p.parent_path() / ("." + p.filename().string() + ".tmp")).string();
    std::ofstream(tmp) << text;
    fs::rename(tmp, path);
}

// Paths the cache holds for `name`.
size_t CachedFiles(const std::string& name) {
    auto* cm = ConfigManager::Instance();
    std::shared_lock<std::shared_mutex> lock(cm->maps_lock);
    auto it = cm->modeMap.find(name);
    return it == cm->modeMap.end() ? 0 : it->second.size();
}

std::string LayeredMode(const std::string& name) {
    auto* cm = ConfigManager::Instance();
    return cm->GetCache(cm->modeMap, name).mode;
}

class Watcher : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(getenv("SARV_SANDBOX")) << "writes the configuration trees: sandbox only";
        log_ = new SyslogCapture;
        // Qt 6 runs a thread's event loop only when an application object
        // exists; this thread never runs one.
        static int argc = 1;
        static char name[] = "watcher_test";
        static char* argv[] = {name, nullptr};
        app_ = new QCoreApplication(argc, argv);

        // A private /run, so the bus socket the start-up looks at is ours.
        ASSERT_EQ(mount("watcher-test", "/run", "tmpfs", 0, "mode=0755"), 0);
        fs::create_directories("/run/dbus");
        std::ofstream("/run/dbus/system_bus_socket") << "";
        fs::create_directories(kVarLibPolicyFolder);
        std::ofstream(kVarLibPolicyFolder + "/tarnwall.policy") << "{}";

        // killall is a fake that records its arguments.
        fs::create_directories(kFakeBin);
        std::ofstream(kFakeBin + "/killall") << "#!/bin/sh\necho \"$@\" >> " << kKillallCalls << "\n";
        fs::permissions(kFakeBin + "/killall", fs::perms::owner_all);
        setenv("PATH", (kFakeBin + ":" + getenv("PATH")).c_str(), 1);

        // Missing folders, and a umask that must not narrow their mode.
        fs::remove_all("/var/lib/olm/sarv/mode.d");
        fs::remove_all("/etc/olm/sarv");
        umask(077);

        // Start-up touches the watcher on a thread without an event loop
        // before the worker exists; it must still end up on the worker.
        FileWatcher::Instance()->IgnoreFile("/nowhere/at-all.mode");
        ConfigManager::Instance()->InitCache();

        worker_ = new Worker;
        worker_->start();
        ASSERT_TRUE(Eventually([] { return worker_->Watching(); }));
        ASSERT_EQ(FileWatcher::Instance()->thread(), worker_);
        Settle(kUsrSharePolicyFolder);
        umask(022);
    }

    static void TearDownTestSuite() {
        if (worker_) {
            worker_->quit();
            worker_->wait();
            delete worker_;
            worker_ = nullptr;
        }
        delete app_;
        app_ = nullptr;
        delete log_;
        log_ = nullptr;
    }

    // Waits until the watcher has handled every change made before: a new
    // sub-directory is itself reported, after the earlier notifications.
    static void Settle(const std::string& folder = kEtcMode) {
        static int n = 0;
        std::string dir = folder + "/settle-" + std::to_string(++n);
        fs::create_directory(dir);
        ASSERT_TRUE(log_->Contains("] file added: " + dir, 20000)) << dir;
        fs::remove(dir);
        ASSERT_TRUE(log_->Contains("] file deleted: " + dir, 20000)) << dir;
    }

    static std::string AllLines() {
        std::string all;
        for (const auto& line : log_->Lines()) all += line + "\n";
        return all;
    }

    static int CountLines(const std::string& text) {
        int n = 0;
        for (const auto& line : log_->Lines()) n += line.find(text) != std::string::npos;
        return n;
    }

    static SyslogCapture* log_;
    static QCoreApplication* app_;
    static Worker* worker_;
};

SyslogCapture* Watcher::log_ = nullptr;
QCoreApplication* Watcher::app_ = nullptr;
Worker* Watcher::worker_ = nullptr;

TEST_F(Watcher, StartUpCreatesTheFoldersAndReloadsAnOlderBusDaemon) {
    for (const auto& folder : kConfigFolderList) {
        SCOPED_TRACE(folder);
        struct stat st {};
        ASSERT_EQ(stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
    }
    struct stat st {};
    ASSERT_EQ(stat("/etc/olm/sarv", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(ReadFile(kKillallCalls), "-s 1 dbus-daemon\n");
    EXPECT_FALSE(log_->Contains("AddPath faied", 0));
}

TEST_F(Watcher, BusDaemonReloadDependsOnTheChangeTimes) {
    const std::string policy = kVarLibPolicyFolder + "/tarnwall.policy";
    // The policy file was written after the socket, within the same second
    // or a later one: the daemon counts as older.
    EXPECT_EQ(is_dbusdaemon_early_then_sarvconfig(), 1);
    // A daemon started (socket changed) in a later second is newer.
    struct stat st {};
    ASSERT_EQ(stat(policy.c_str(), &st), 0);
    ASSERT_TRUE(Eventually([&] { return time(nullptr) > st.st_ctim.tv_sec; }));
    chmod("/run/dbus/system_bus_socket", 0666);
    EXPECT_EQ(is_dbusdaemon_early_then_sarvconfig(), 0);
    // Without the policy file, or without a socket, nothing is reloaded.
    fs::rename(policy, policy + ".away");
    EXPECT_EQ(is_dbusdaemon_early_then_sarvconfig(), 0);
    fs::rename(policy + ".away", policy);
    fs::remove("/run/dbus/system_bus_socket");
    EXPECT_EQ(is_dbusdaemon_early_then_sarvconfig(), 0);
}

TEST_F(Watcher, AddedAndRemovedFilesReachTheCache) {
    const std::string path = kEtcMode + "/camera.mode";
    WriteAtomically(path, ModeJson("camera", "whitelist"));
    ASSERT_TRUE(Eventually([] { return LayeredMode("camera") == "whitelist"; }));
    // Log lines arrive asynchronously: wait for them.
    EXPECT_TRUE(log_->Contains("debug: [", 5000));
    EXPECT_TRUE(log_->Contains("FileChanged] file added: " + path, 5000));

    // A plain copy (written in place, not renamed) is read once it is there.
    const std::string copied = kUsrShareModeFolder + "/microphone.mode";
    std::ofstream(copied) << ModeJson("microphone", "whitelist");
    ASSERT_TRUE(Eventually([] { return LayeredMode("microphone") == "whitelist"; }));

    fs::remove(path);
    fs::remove(copied);
    ASSERT_TRUE(Eventually([] { return CachedFiles("camera") == 0 && CachedFiles("microphone") == 0; }));
    EXPECT_TRUE(log_->Contains("FileChanged] file deleted: " + path, 5000));
    EXPECT_EQ(LayeredMode("camera"), kModeBlacklist);
}

TEST_F(Watcher, TheServicesOwnWritesAreSkippedOnce) {
    auto* cm = ConfigManager::Instance();
    ModeData out;
    std::string change;
    ASSERT_EQ(cm->SetCache(cm->modeMap, ModeJson("speaker", "whitelist"), out, change), 0);
    const std::string path = kVarLibModeFolder + "/speaker.mode";
    ASSERT_TRUE(fs::exists(path));
    ASSERT_TRUE(Eventually([&] { return !FileWatcher::Instance()->IsIgnored(QString::fromStdString(path)); }));
    Settle(kVarLibModeFolder);
    EXPECT_EQ(CountLines("file added: " + path), 0) << AllLines();
    EXPECT_EQ(CachedFiles("speaker"), 1u);

    // Its rewrite of its own file, too.
    ASSERT_EQ(cm->SetCache(cm->modeMap, ModeJson("speaker", "blacklist"), out, change), 0);
    ASSERT_EQ(change, "modify");
    ASSERT_TRUE(Eventually([&] { return !FileWatcher::Instance()->IsIgnored(QString::fromStdString(path)); }));
    Settle(kVarLibModeFolder);
    EXPECT_EQ(CountLines("file replaced: " + path), 0) << AllLines();

    ASSERT_EQ(cm->DeleteCache(cm->modeMap, "speaker", out, change), 0);
    ASSERT_FALSE(fs::exists(path));
    Settle(kVarLibModeFolder);
    EXPECT_EQ(CountLines("file deleted: " + path), 0) << AllLines();
    EXPECT_FALSE(FileWatcher::Instance()->IsIgnored(QString::fromStdString(path)));

    // The announcement is used up: the same path written by someone else
    // is taken in.
    WriteAtomically(path, ModeJson("speaker", "whitelist"));
    ASSERT_TRUE(Eventually([] { return LayeredMode("speaker") == "whitelist"; }));
    Settle(kVarLibModeFolder);
    EXPECT_EQ(CountLines("file added: " + path), 1);
    fs::remove(path);
    ASSERT_TRUE(Eventually([] { return CachedFiles("speaker") == 0; }));

    // Created and deleted again, perhaps before the watcher looked in
    // between: the next look ends both announcements all the same.
    ASSERT_EQ(cm->SetCache(cm->modeMap, ModeJson("speaker", "whitelist"), out, change), 0);
    ASSERT_EQ(cm->DeleteCache(cm->modeMap, "speaker", out, change), 0);
    Settle(kVarLibModeFolder);
    EXPECT_FALSE(FileWatcher::Instance()->IsIgnored(QString::fromStdString(path)));
    WriteAtomically(path, ModeJson("speaker", "blacklist"));
    ASSERT_TRUE(Eventually([] { return LayeredMode("speaker") == "blacklist"; }));
    fs::remove(path);
    ASSERT_TRUE(Eventually([] { return CachedFiles("speaker") == 0; }));
}

TEST_F(Watcher, AnnouncementsAreListedOnceAndCanBeWithdrawn) {
    auto* w = FileWatcher::Instance();
    const QString path = QString::fromStdString(kEtcMode + "/printer.mode");
    w->IgnoreFile(path);
    w->IgnoreFile(path);
    w->UnignoreFile(path);
    EXPECT_FALSE(w->IsIgnored(path)) << "a path is listed at most once";

    // Announced from several threads at once while the watcher works.
    std::thread writers[4];
    for (int t = 0; t < 4; ++t)
        writers[t] = std::thread([t, w] {
            for (int i = 0; i < 500; ++i) w->IgnoreFile(QString("/nowhere/%1-%2").arg(t).arg(i));
        });
    WriteAtomically(path.toStdString(), ModeJson("printer", "whitelist"));
    for (auto& t : writers) t.join();
    ASSERT_TRUE(Eventually([] { return LayeredMode("printer") == "whitelist"; }));
    EXPECT_TRUE(w->IsIgnored("/nowhere/3-499"));
    fs::remove(path.toStdString());
    ASSERT_TRUE(Eventually([] { return CachedFiles("printer") == 0; }));
}

TEST_F(Watcher, PackageTemporariesAndHiddenFilesCauseNoWorkReplacedFilesAreReread) {
    // A package unpacks under ".dpkg-new" and renames.
    const std::string final_name = kEtcMode + "/scanner.mode";
    std::ofstream(final_name + ".dpkg-new") << ModeJson("scanner", "whitelist");
    Settle();
    fs::rename(final_name + ".dpkg-new", final_name);
    ASSERT_TRUE(Eventually([] { return LayeredMode("scanner") == "whitelist"; }));
    Settle();
    EXPECT_EQ(CountLines("file added: " + final_name), 1);
    EXPECT_EQ(CountLines(".dpkg-new"), 0);

    // Replacing the file under its own name (as the installer command does)
    // is taken in once; the folder itself does not change.
    WriteAtomically(final_name, ModeJson("scanner", "blacklist"));
    ASSERT_TRUE(Eventually([] { return LayeredMode("scanner") == "blacklist"; }));
    Settle();
    EXPECT_EQ(CountLines("file added: " + final_name), 1);
    EXPECT_EQ(CountLines("file replaced: " + final_name), 1);
    EXPECT_EQ(CachedFiles("scanner"), 1u);

    // Hidden names are never listed.
    std::ofstream(kEtcMode + "/.hidden.mode") << ModeJson("hidden", "whitelist");
    Settle();
    EXPECT_EQ(CountLines(".hidden.mode"), 0);
    EXPECT_EQ(CachedFiles("hidden"), 0u);
    fs::remove(kEtcMode + "/.hidden.mode");
    fs::remove(final_name);
    ASSERT_TRUE(Eventually([] { return CachedFiles("scanner") == 0; }));
}

TEST_F(Watcher, SubFoldersAreReportedLikeFiles) {
    // Settle itself relies on this; here the cache's answer is checked too.
    const std::string dir = kEtcMode + "/nested.mode";
    fs::create_directory(dir);
    ASSERT_TRUE(log_->Contains("] file added: " + dir, 20000));
    EXPECT_TRUE(log_->Contains("UpdateCache config not existed : " + dir + "!", 20000));
    fs::remove(dir);
    ASSERT_TRUE(log_->Contains("] file deleted: " + dir, 20000));
}

// The worker stopped and started again is the window of a start-up: after
// the cache has read the trees, before the watcher's first look.
TEST_F(Watcher, ASecondRunOfTheWorkerWatchesAgainAndTakesInWhatChangedMeanwhile) {
    worker_->quit();
    ASSERT_TRUE(worker_->wait());
    auto* cm = ConfigManager::Instance();
    ModeData out;
    std::string change;
    auto own = [](const std::string& name) { return kVarLibModeFolder + "/" + name + ".mode"; };
    // Added by an administrator or a package.
    const std::string early = kEtcMode + "/early.mode";
    WriteAtomically(early, ModeJson("early", "whitelist"));
    // Written by the service (the migration, a bus change before the
    // watcher is up); one of them replaced by someone else afterwards, one
    // deleted by the service again.
    for (const char* name : {"kept", "overwritten", "transient"})
        ASSERT_EQ(cm->SetCache(cm->modeMap, ModeJson(name, "whitelist"), out, change), 0) << name;
    WriteAtomically(own("overwritten"), ModeJson("overwritten", "blacklist"));
    ASSERT_EQ(cm->DeleteCache(cm->modeMap, "transient", out, change), 0);
    // Gone while nobody watched.
    const std::string removed = kEtcMode + "/removed.mode";
    WriteAtomically(removed, ModeJson("removed", "whitelist"));
    ASSERT_EQ(cm->SetCacheAndUpdatePolicy(QString::fromStdString(removed), true), 0);
    fs::remove(removed);

    log_->Clear();
    worker_->start();
    ASSERT_TRUE(Eventually([] { return worker_->Watching(); }));
    ASSERT_EQ(FileWatcher::Instance()->thread(), worker_);
    Settle(kUsrSharePolicyFolder);
    EXPECT_EQ(LayeredMode("early"), "whitelist");
    EXPECT_EQ(LayeredMode("overwritten"), "blacklist");
    EXPECT_EQ(CachedFiles("removed"), 0u);
    EXPECT_EQ(CountLines("file added: " + own("kept")), 0) << AllLines();
    for (const char* name : {"kept", "overwritten", "transient"})
        EXPECT_FALSE(FileWatcher::Instance()->IsIgnored(QString::fromStdString(own(name)))) << name;

    // The next change someone else makes to the service's files is taken in.
    fs::remove(own("kept"));
    WriteAtomically(own("transient"), ModeJson("transient", "blacklist"));
    ASSERT_TRUE(Eventually([] { return CachedFiles("kept") == 0 && LayeredMode("transient") == "blacklist"; }));
    // ...and the folders are watched as before.
    const std::string path = kEtcMode + "/late.mode";
    WriteAtomically(path, ModeJson("late", "whitelist"));
    ASSERT_TRUE(Eventually([] { return LayeredMode("late") == "whitelist"; }));
    EXPECT_FALSE(log_->Contains("AddPath faied", 0));
    for (const std::string& file : {path, early, own("overwritten"), own("transient")}) fs::remove(file);
    ASSERT_TRUE(Eventually([] { return CachedFiles("late") + CachedFiles("early") + CachedFiles("transient") == 0; }));
}

}  // namespace
