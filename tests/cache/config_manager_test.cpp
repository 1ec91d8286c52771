// The layered cache: loading, lookups, changes through the service and
// changes found on disk, on files in the sandboxed trees.
#include <dlfcn.h>
#include <sys/mount.h>

#include <atomic>

#include "ac-globals.h"
#include "cache_fixture.h"
#include "config-file-watcher.h"
#include "syslog-capture.h"

namespace {

std::string ModePath(const std::string& root, const std::string& object) {
    return root + GetConfigFileName(CacheTest::Mode(object, ""));
}

// While set, syncing a folder fails (files still sync).
std::atomic<bool> g_fail_folder_sync{false};

}  // namespace

extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    struct stat st {};
    if (g_fail_folder_sync && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

TEST_F(CacheTest, LayersMergeUsrShareThenEtcThenVarLib) {
    Put(kUsrShareFolder, Mode("camera", "whitelist"));
    Put(kEtcFolder, Mode("camera", "blacklist"));
    ModeData empty = Mode("camera", "");
    empty.version = "";
    Put(kVarLibFolder, empty);  // empty fields never override
    EntityInfoData base = Entity("cam", "object", "file", {"read"});
    base.owner = "root";
    Put(kUsrShareFolder, base);
    EntityInfoData over = Entity("cam", "", "", {"read", "write"});
    Put(kVarLibFolder, over);
    Put(kUsrShareFolder, Policy("dpkg", "camera", {"allow"}, 1));
    Put(kEtcFolder, Policy("dpkg", "mic", {"deny"}, 2));
    EntityInfoData costly = Entity("bus", "object", "dbus");
    costly.attrs.dbus_path = "(/a{1,100}){1,100}";
    Put(kEtcFolder, costly);

    ASSERT_EQ(cm->InitCache(), 0);
    EXPECT_EQ(cm->entityMap.count("bus"), 0u) << "a pattern too costly to compile is skipped";
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "blacklist");
    EXPECT_EQ(cm->modeMap["camera"].size(), 3u);
    EntityInfoData e = cm->GetCache(cm->entityMap, "cam");
    EXPECT_EQ(e.owner, "root");
    EXPECT_EQ(e.type, "object");
    EXPECT_EQ(e.available_operations, (std::vector<std::string>{"read", "write"}));
    PolicyData p = cm->GetCache(cm->policyMap, "dpkg");
    ASSERT_EQ(p.policies.size(), 1u);
    ASSERT_EQ(p.policies[0].objects.size(), 2u);
    EXPECT_EQ(p.policies[0].objects[1].object, "mic");

    ModeData none = cm->GetCache(cm->modeMap, "unknown");
    EXPECT_EQ(ToJsonText(none), ToJsonText(ModeData()));
}

TEST_F(CacheTest, SetModeReportsAddModifyAndNoChange) {
    Put(kUsrShareFolder, Mode("camera", "blacklist"));
    Put(kEtcFolder, Mode("mic", "blacklist"));
    cm->InitCache();
    ModeData out;
    std::string change;

    ac_error_msg.clear();
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"camera","mode":"blacklist"})", out, change), -17);
    EXPECT_EQ(ac_error_msg, "data no changed.");
    EXPECT_FALSE(Exists(ModePath(kVarLibFolder, "camera")));

    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"speaker","mode":"whitelist"})", out, change), 0);
    EXPECT_EQ(change, "add");
    EXPECT_EQ(out.object, "speaker");
    EXPECT_TRUE(Exists(kVarLibFolder + "mode.d/speaker.mode"));
    EXPECT_EQ(cm->GetCache(cm->modeMap, "speaker").mode, "whitelist");

    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"mic","mode":"whitelist"})", out, change), 0);
    EXPECT_EQ(change, "modify");
    ModeData written;
    ASSERT_EQ(ConfigFileHelper::LoadFromFile(ModePath(kVarLibFolder, "mic"), written), 0);
    EXPECT_EQ(ToJsonText(written), R"({"mode":"whitelist","object":"mic","version":"1.0"})");
    EXPECT_EQ(cm->GetCache(cm->modeMap, "mic").mode, "whitelist");

    // The service's own files are announced to the watcher before they are written.
    EXPECT_TRUE(FileWatcher::Instance()->IsIgnored(QString::fromStdString(ModePath(kVarLibFolder, "mic"))));

    // Rewriting the service's own file merges into it.
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"mic","mode":"blacklist"})", out, change), 0);
    EXPECT_EQ(change, "modify");
    EXPECT_EQ(cm->GetCache(cm->modeMap, "mic").mode, "blacklist");
}

TEST_F(CacheTest, RefusedRecordsLeaveEverythingAsItWas) {
    Put(kUsrShareFolder, Entity("rw-object", "object", "file", {"readwrite"}));
    Put(kUsrShareFolder, Entity("bare-object", "object", "file"));
    Put(kUsrShareFolder, Entity("/usr/bin/app", "subject", "exe"));
    cm->InitCache();
    ModeData out;
    std::string change;
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"rw-object","mode":"readwrite"})", out, change), 0);
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"/usr/bin/app","mode":"readwrite"})", out, change), -22);
    EXPECT_EQ(ac_error_msg, "data invalid.");
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"bare-object","mode":"readwrite"})", out, change), -22);
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"nobody-knows","mode":"readwrite"})", out, change), 0);
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"","mode":"blacklist"})", out, change), -22);
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":7})", out, change), -22);
    EXPECT_EQ(cm->SetCache(cm->modeMap, "not json", out, change), -22);
    // Documents whose building alone would cost the service dearly.
    const std::string deep = std::string(65, '[') + std::string(65, ']');
    EXPECT_EQ(cm->SetCache(cm->modeMap, deep, out, change), -22);
    EXPECT_EQ(ac_error_msg, "data invalid: nested deeper than 64 levels.");
    const std::string big = R"({"object":"big","mode":"whitelist","version":")" + std::string(1024 * 1024, 'v') + "\"}";
    EXPECT_EQ(cm->SetCache(cm->modeMap, big, out, change), -22);
    EXPECT_EQ(ac_error_msg, "data invalid: larger than 1048576 bytes.");
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"[[[[","mode":"whitelist","version":"1.0"})", out, change), 0);

    PolicyData pout;
    EXPECT_EQ(cm->SetCache(cm->policyMap, ToJsonText(Policy("x", "rw-object", {"write"})), pout, change), -22);
    EXPECT_EQ(cm->SetCache(cm->policyMap, ToJsonText(Policy("x", "/usr/bin/app", {})), pout, change), -22);
    EXPECT_EQ(cm->SetCache(cm->policyMap, ToJsonText(Policy("x", "rw-object", {"readwrite"})), pout, change), 0);
    EXPECT_EQ(change, "add");

    EntityInfoData eout;
    EntityInfoData bad = Entity("bus", "object", "dbus");
    bad.attrs.dbus_type = "method_call";
    bad.attrs.dbus_interface = "org.(broken";
    EXPECT_EQ(cm->SetCache(cm->entityMap, ToJsonText(bad), eout, change), -22);
    // Compiling this once took seconds and a GiB.
    bad.attrs.dbus_interface = "((a{1,100}){1,100}){1,100}";
    EXPECT_EQ(cm->SetCache(cm->entityMap, ToJsonText(bad), eout, change), -22);
    EXPECT_EQ(ac_error_msg, "data invalid: the dbus_interface pattern is too complex.");
    bad.attrs.dbus_interface = "org\\.example\\..*";
    EXPECT_EQ(cm->SetCache(cm->entityMap, ToJsonText(bad), eout, change), 0);
    EXPECT_FALSE(Exists(kVarLibFolder + "mode.d/%2Fusr%2Fbin%2Fapp.mode"));
}

TEST_F(CacheTest, EntityChangesAreComparedFieldByField) {
    Put(kEtcFolder, Entity("docs", "object", "file", {"read", "write"}));
    cm->InitCache();
    EntityInfoData out;
    std::string change;
    EntityInfoData same = Entity("docs", "object", "file", {"write", "read", "read"});
    EXPECT_EQ(cm->SetCache(cm->entityMap, ToJsonText(same), out, change), -17);
    same.owner = "admin";
    EXPECT_EQ(cm->SetCache(cm->entityMap, ToJsonText(same), out, change), 0);
    EXPECT_EQ(change, "modify");
    EXPECT_EQ(cm->GetCache(cm->entityMap, "docs").owner, "admin");
}

TEST_F(CacheTest, DeleteRemovesOnlyTheServicesCopy) {
    Put(kUsrShareFolder, Mode("camera", "whitelist"));
    Put(kUsrShareFolder, Mode("shipped", "whitelist"));
    cm->InitCache();
    ModeData out;
    std::string change;
    ASSERT_EQ(cm->SetCache(cm->modeMap, R"({"object":"camera","mode":"blacklist"})", out, change), 0);
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "blacklist");

    ModeData deleted;
    EXPECT_EQ(cm->DeleteCache(cm->modeMap, "camera", deleted, change), 0);
    EXPECT_EQ(change, "delete");
    EXPECT_EQ(deleted.mode, "blacklist");
    EXPECT_FALSE(Exists(ModePath(kVarLibFolder, "camera")));
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "whitelist");  // the shipped layer shows again

    ModeData again;
    EXPECT_EQ(cm->DeleteCache(cm->modeMap, "camera", again, change), -17);
    EXPECT_EQ(ac_error_msg, "config file/var/lib/olm/sarv/mode.d/%.mode not existed");
    ModeData shipped;
    EXPECT_EQ(cm->DeleteCache(cm->modeMap, "shipped", shipped, change), -17);
    EXPECT_EQ(cm->DeleteCache(cm->modeMap, "nothing", shipped, change), -17);
    EXPECT_EQ(ac_error_msg, "nothing not existed");

    // After a delete the name is new again.
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"camera","mode":"blacklist"})", out, change), 0);
}

TEST_F(CacheTest, FailedWritesAreReportedAndChangeNothing) {
    Put(kEtcFolder, Mode("camera", "whitelist"));
    cm->InitCache();
    ModeData out;
    std::string change;
    ASSERT_EQ(cm->SetCache(cm->modeMap, R"({"object":"camera","mode":"blacklist"})", out, change), 0);

    // The sandbox is a private mount namespace: make the service's tree read-only.
    ASSERT_EQ(mount(kVarLibFolder.c_str(), kVarLibFolder.c_str(), nullptr, MS_BIND, nullptr), 0);
    struct Restore {
        ~Restore() { umount(kVarLibFolder.c_str()); }
    } restore;
    ASSERT_EQ(mount(nullptr, kVarLibFolder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    const std::string micPath = ModePath(kVarLibFolder, "mic");
    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"mic","mode":"blacklist"})", out, change), -30);
    EXPECT_EQ(ac_error_msg, "write config file " + micPath + " failed: Read-only file system");
    EXPECT_EQ(cm->modeMap.count("mic"), 0u);
    EXPECT_FALSE(FileWatcher::Instance()->IsIgnored(QString::fromStdString(micPath)));

    EXPECT_EQ(cm->SetCache(cm->modeMap, R"({"object":"camera","mode":"whitelist"})", out, change), -30);
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "blacklist");

    ModeData deleted;
    EXPECT_EQ(cm->DeleteCache(cm->modeMap, "camera", deleted, change), -30);
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "blacklist");
    EXPECT_TRUE(Exists(ModePath(kVarLibFolder, "camera")));
}

// The file is in place once renamed: a folder that cannot be synced after
// that makes a warning, not a failed change.
TEST_F(CacheTest, AFailedFolderSyncAfterTheRenameIsOnlyAWarning) {
    SyslogCapture log;
    cm->InitCache();
    ModeData out;
    std::string change;
    g_fail_folder_sync = true;
    const int r = cm->SetCache(cm->modeMap, R"({"object":"camera","mode":"whitelist"})", out, change);
    g_fail_folder_sync = false;
    EXPECT_EQ(r, 0);
    EXPECT_EQ(change, "add");
    EXPECT_TRUE(Exists(ModePath(kVarLibFolder, "camera")));
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "whitelist");
    EXPECT_TRUE(log.Contains("warning: cannot sync folder " + kVarLibModeFolder));
}

// One name has one entity: storing it with the other type replaces the
// service's file of the old type, in the cache and on disk, in one change.
TEST_F(CacheTest, AnEntityStoredWithTheOtherTypeReplacesItsFile) {
    cm->InitCache();
    EntityInfoData out;
    std::string change;
    const std::string subject = kVarLibFolder + GetConfigFileName(Entity("tool", "subject", "exe"));
    const std::string object = kVarLibFolder + GetConfigFileName(Entity("tool", "object", "exe"));
    ASSERT_EQ(cm->SetCache(cm->entityMap, ToJsonText(Entity("tool", "object", "exe", {"read"})), out, change), 0);
    for (const char* type : {"subject", "object", "subject"}) {
        SCOPED_TRACE(type);
        ASSERT_EQ(cm->SetCache(cm->entityMap, ToJsonText(Entity("tool", type, "exe", {"read"})), out, change), 0);
        EXPECT_EQ(change, "modify");
        EXPECT_EQ(Exists(subject), std::string(type) == "subject");
        EXPECT_EQ(Exists(object), std::string(type) == "object");
        EXPECT_EQ(cm->entityMap["tool"].size(), 1u);
        EXPECT_EQ(cm->GetCache(cm->entityMap, "tool").type, type);
    }
    // No stale object record hides the subject from the authorization.
    EntityInfoData s;
    EXPECT_EQ(cm->GetExeSubjectInfo("tool", s), 0);

    // A service killed between writing the new file and removing the old
    // one leaves both: the next start keeps the newer.
    Put(kVarLibFolder, Entity("tool", "object", "exe", {"read"}));
    cm->entityMap.clear();
    cm->InitCache();
    EXPECT_FALSE(Exists(subject));
    EXPECT_TRUE(Exists(object));
    EXPECT_EQ(cm->entityMap["tool"].size(), 1u);
}

// A corrupt or unreadable override leaves its name to the layers below:
// said once, at LOG_ERR, with the file now in force.
TEST_F(CacheTest, UnusableOverridesAreLoggedOnceWithTheLayerInForce) {
    SyslogCapture log;
    Put(kUsrShareFolder, Mode("cam-a", "whitelist"));
    Put(kEtcFolder, Mode("cam-b", "whitelist"));
    const struct {
        std::string path;
        std::string in_force;
    } rows[] = {
        {ModePath(kEtcFolder, "cam-a"), ModePath(kUsrShareFolder, "cam-a")},
        {ModePath(kVarLibFolder, "cam-a"), ModePath(kUsrShareFolder, "cam-a")},
        {ModePath(kVarLibFolder, "cam-b"), ModePath(kEtcFolder, "cam-b")},
        {ModePath(kVarLibFolder, "cam-c"), "the built-in defaults"},
    };
    for (const auto& row : rows) {
        std::filesystem::create_directories(std::filesystem::path(row.path).parent_path());
        std::ofstream(row.path) << "{\"object\": \"cam";
    }
    cm->InitCache();
    // Seen again by the watcher: not said again.
    EXPECT_NE(cm->SetCacheAndUpdatePolicy(QString::fromStdString(rows[0].path), true), 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const std::string line = "err: configuration file " + row.path +
                                 " is corrupt or unreadable and not used; in force instead: " + row.in_force;
        EXPECT_TRUE(log.Contains(line));
        const auto lines = log.Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1);
    }
    EXPECT_EQ(cm->GetCache(cm->modeMap, "cam-a").mode, "whitelist");
}

TEST_F(CacheTest, FilesFoundOnDiskEnterAndLeaveTheCache) {
    SyslogCapture log;
    cm->InitCache();
    Put(kEtcFolder, Mode("camera", "whitelist"));
    const QString path = QString::fromStdString(ModePath(kEtcFolder, "camera"));
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(path, true), 0);
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "whitelist");
    EXPECT_TRUE(log.Contains("debug: [") && log.Contains("SetCacheAndUpdatePolicy] file " + path.toStdString() + " add"));

    // A rewritten file that now names another object leaves no ghost behind.
    ModeData renamed = Mode("mic", "whitelist");
    ASSERT_EQ(ConfigFileHelper::UpdateFile(path.toStdString(), renamed), 0);
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(path, true), 0);
    EXPECT_TRUE(cm->modeMap["camera"].empty());
    EXPECT_EQ(cm->GetCache(cm->modeMap, "mic").mode, "whitelist");

    ASSERT_EQ(ConfigFileHelper::DeleteFile(path.toStdString()), 0);
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(path, false), 0);
    EXPECT_EQ(cm->GetCache(cm->modeMap, "mic").mode, "blacklist");

    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(path, false), -2);
    EXPECT_TRUE(log.Contains("err: UpdateCache config not existed : " + path.toStdString() + "!"));

    // What is on disk when the file is looked at decides, and the word
    // names what was done, whatever the report said.
    Put(kEtcFolder, Mode("camera", "whitelist"));
    log.Clear();
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(path, false), 0);
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "whitelist");
    EXPECT_TRUE(log.Contains("SetCacheAndUpdatePolicy] file " + path.toStdString() + " add"));
    ASSERT_EQ(ConfigFileHelper::DeleteFile(path.toStdString()), 0);
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(path, true), 0);
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "blacklist");
    EXPECT_TRUE(log.Contains("SetCacheAndUpdatePolicy] file " + path.toStdString() + " delete"));
    for (const char* word : {" add", " delete"}) {
        const auto lines = log.Lines();
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
                      return l.find("file " + path.toStdString() + word) != std::string::npos;
                  })) << word;
    }
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy("/etc/olm/sarv/mode.d/notes.txt", true), -2);
    EXPECT_TRUE(log.Contains("err: ConfigManager::UpdateConfig AcConfigType::UnknownType!"));

    const std::string broken = kEtcFolder + "policy.d/broken.policy";
    std::filesystem::create_directories(kEtcPolicyFolder);
    std::ofstream(broken) << "{";
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(QString::fromStdString(broken), true), -22);

    // A policy whose object has no adapter is still taken in.
    Put(kEtcFolder, Policy("dpkg", "camera", {"allow"}));
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(QString::fromStdString(kEtcFolder + "policy.d/dpkg.policy"), true), 0);
    EXPECT_EQ(cm->GetCache(cm->policyMap, "dpkg").policies.size(), 1u);

    Put(kEtcFolder, Entity("cam", "object", "file"));
    EXPECT_EQ(cm->SetCacheAndUpdatePolicy(QString::fromStdString(kEtcFolder + "entity.d/cam.object"), true), 0);
    EXPECT_EQ(ConfigManager::GetEntityInfo("cam").subtype, "file");
}

TEST_F(CacheTest, OnlyStaleTemporariesAreRemoved) {
    namespace fs = std::filesystem;
    fs::create_directories(kVarLibModeFolder);
    fs::create_directories(kVarLibEntifyFolder);
    fs::create_directories(kEtcModeFolder);
    const std::string prefix = kTemporaryFilePrefix;
    const std::string staleMode = kVarLibModeFolder + "/" + prefix + "a1b2c3";
    const std::string staleEntity = kVarLibEntifyFolder + "/" + prefix + "d4e5f6";
    const std::string fresh = kVarLibModeFolder + "/" + prefix + "g7h8i9";
    const std::string folder = kVarLibModeFolder + "/" + prefix + "folder";
    const std::string config = kVarLibModeFolder + "/camera.mode";
    // What a killed installer command left in the administrator's tree.
    const std::string install = kEtcModeFolder + "/" + prefix + "camera.mode.123.0";
    for (const std::string& path : {staleMode, staleEntity, fresh, config, install}) std::ofstream(path) << "{";
    fs::create_directory(folder);
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
    for (const std::string& path : {staleMode, staleEntity, folder, config, install}) fs::last_write_time(path, old);

    EXPECT_EQ(ConfigManager::RemoveStaleTemporaries(), 3);
    for (const std::string& path : {staleMode, staleEntity, install}) EXPECT_FALSE(Exists(path)) << path;
    // A write may still be under way; a folder or a configuration file is
    // nobody's leftover.
    for (const std::string& path : {fresh, folder, config}) EXPECT_TRUE(Exists(path)) << path;
    EXPECT_EQ(ConfigManager::RemoveStaleTemporaries(), 0);
}
