// Legacy profile migration and ".json" renaming, against the real cache,
// libgardex and a fake package database in the sandbox.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <set>

#include <gtest/gtest.h>

#include "acjson.h"
#include "config-manager.h"
#include "configfile-helper.h"
#include "gardex.h"
#include "policy-migration.h"
#include "syslog-capture.h"
#include "test-files.h"

extern char** environ;

using namespace testfiles;

namespace {

const std::string kDpkgAdmin = "/tmp/migration-dpkg";

// Two installed packages (one owns two programs), a removed one and a
// multi-arch one, in dpkg's own formats.
void BuildPackageDatabase() {
    ClearFolder(kDpkgAdmin);
    WriteFile(kDpkgAdmin + "/status",
              "Package: cheese\nStatus: install ok installed\nPriority: optional\nSection: gnome\n"
              "Installed-Size: 100\nMaintainer: T <t@example.org>\nArchitecture: amd64\nVersion: 43.0-1\n"
              "Description: webcam booth\n\n"
              "Package: guvcview\nStatus: install ok installed\nPriority: optional\nSection: video\n"
              "Installed-Size: 100\nMaintainer: T <t@example.org>\nArchitecture: amd64\nVersion: 2.0-1\n"
              "Description: webcam viewer\n\n"
              "Package: libcamtool\nStatus: install ok installed\nPriority: optional\nSection: libs\n"
              "Installed-Size: 10\nMaintainer: T <t@example.org>\nArchitecture: amd64\nMulti-Arch: same\n"
              "Version: 1.0-1\nDescription: camera helpers\n\n"
              "Package: oldcam\nStatus: deinstall ok config-files\nPriority: optional\nSection: video\n"
              "Installed-Size: 10\nMaintainer: T <t@example.org>\nArchitecture: amd64\nVersion: 1.0-1\n"
              "Conffiles:\n /etc/oldcam.conf 0123456789abcdef0123456789abcdef\nDescription: removed tool\n\n");
    WriteFile(kDpkgAdmin + "/info/cheese.list", "/.\n/usr\n/usr/bin\n/usr/bin/cheese\n/usr/bin/cheese-helper\n");
    WriteFile(kDpkgAdmin + "/info/guvcview.list", "/.\n/usr\n/usr/bin\n/usr/bin/guvcview\n");
    WriteFile(kDpkgAdmin + "/info/libcamtool:amd64.list", "/.\n/usr\n/usr/lib\n/usr/lib/camtool-probe\n");
    // Format 1: list files of multi-arch packages carry the architecture.
    WriteFile(kDpkgAdmin + "/info/format", "1\n");
    WriteFile(kDpkgAdmin + "/info/oldcam.list", "/.\n/etc\n/etc/oldcam.conf\n");
    fs::create_directories(kDpkgAdmin + "/updates");
    setenv("DPKG_ADMINDIR", kDpkgAdmin.c_str(), 1);
}

FaRule Rule(int type, std::list<std::string> programs) {
    FaRule r;
    r.type = type;
    r.ids = {-1};
    r.programs = std::move(programs);
    r.access = 15;
    return r;
}

void Protect(const std::string& path, std::vector<FaRule> rules, const std::string& daemon = "/usr/bin/calvora") {
    FaProfile p;
    p.file = path;
    p.daemon = daemon;
    p.version = "0.0.1";
    p.flag = 1;
    p.rules = std::move(rules);
    ASSERT_EQ(fa_set_profile(p), 0);
}

template <typename T>
T Load(const std::string& path) {
    T record;
    EXPECT_EQ(ConfigFileHelper::LoadFromFile(path, record), 0) << path;
    return record;
}

template <typename T>
void Put(const std::string& root, const T& record) {
    ASSERT_EQ(ConfigFileHelper::UpdateFile(root + GetConfigFileName(record), record), 0);
}

// The configuration and the protection state a start leaves behind.
std::map<std::string, std::string> Everything() {
    std::map<std::string, std::string> all;
    for (const std::string& root : {kVarLibFolder, kEtcFolder, kUsrShareFolder, kGardexProfileFolder})
        for (auto& [name, text] : Snapshot(root)) all[root + name] = text;
    return all;
}

const std::string kCheesePolicy = "/var/lib/olm/sarv/policy.d/cheese.policy";
const std::string kGuvcviewPolicy = "/var/lib/olm/sarv/policy.d/guvcview.policy";
const std::string kCheeseEntity = "/var/lib/olm/sarv/entity.d/cheese.subject";
const std::string kCameraMode = "/var/lib/olm/sarv/mode.d/camera.mode";
const std::string kDocuments = "/home/ann/Documents";
const std::string kDocumentsEntity = "/var/lib/olm/sarv/entity.d/%2Fhome%2Fann%2FDocuments.object";
const std::string kDocumentsMode = "/var/lib/olm/sarv/mode.d/%2Fhome%2Fann%2FDocuments.mode";

class MigrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getenv("SARV_SANDBOX")) << "runs only in the sandbox";
        ResetTrees();
        BuildPackageDatabase();
        cm = ConfigManager::Instance();
        cm->modeMap.clear();
        cm->entityMap.clear();
        cm->policyMap.clear();
    }
    void Start() {
        ASSERT_EQ(cm->InitCache(), 0);
        PolicyMigrationHelper::Instance()->MigrateAll();
        PolicyMigrationHelper::RenameConfigFileExtend();
    }
    ConfigManager* cm = nullptr;
};

TEST_F(MigrationTest, NothingToMigrateWritesNothing) {
    Start();
    EXPECT_TRUE(Everything().empty());

    // Profiles of other places, or of the right places owned by someone else.
    Protect("/home/ann/Music", {Rule(2, {"/usr/bin/cheese"})});
    Protect("/srv/ann/Documents", {Rule(2, {"/usr/bin/cheese"})});
    Protect("/home/ann/documents", {Rule(2, {"/usr/bin/cheese"})});
    Protect("/home/ann/Pictures", {Rule(2, {"/usr/bin/cheese"})}, "/usr/bin/other");
    Protect("/dev/video0", {Rule(2, {"/usr/bin/cheese"})}, "/usr/bin/calvora-old");
    Protect("/dev/video1", {Rule(2, {"/usr/bin/cheese"})});
    auto before = Everything();
    Start();
    EXPECT_EQ(Everything(), before);
    EXPECT_TRUE(cm->modeMap.empty());
    EXPECT_TRUE(cm->policyMap.empty());

    auto* helper = PolicyMigrationHelper::Instance();
    EXPECT_EQ(helper->Migrate("/home/ann/Music"), -17);
    EXPECT_EQ(helper->Migrate("/srv/ann/Documents"), -17);
    EXPECT_EQ(helper->Migrate("/home/ann/Pictures"), -17);
    EXPECT_EQ(helper->Migrate("camera"), -17);
    EXPECT_EQ(helper->Migrate("/dev/video0"), -17) << "the device path is no object name";
}

TEST_F(MigrationTest, RulesOfTypeOneAndProgramsWithoutPackageMigrateNothing) {
    Protect("/dev/video0", {Rule(1, {"/usr/bin/cheese", "/usr/bin/guvcview"}), Rule(2, {})});
    Protect(kDocuments, {Rule(2, {"/usr/bin/unpackaged", "/opt/tool"})});
    EXPECT_EQ(PolicyMigrationHelper::Instance()->Migrate("camera"), -17);
    EXPECT_EQ(PolicyMigrationHelper::Instance()->Migrate(QString::fromStdString(kDocuments)), -17);
    Start();
    EXPECT_TRUE(Snapshot(kVarLibFolder).empty());
}

TEST_F(MigrationTest, CameraProfileBecomesDenyPoliciesPackagesAndABlacklist) {
    Protect("/dev/video0", {Rule(2, {"/usr/bin/cheese", "/usr/bin/unpackaged", "/usr/bin/guvcview",
                                     "/usr/bin/cheese-helper"})});
    Start();

    PolicyData cheese = Load<PolicyData>(kCheesePolicy);
    EXPECT_EQ(cheese.version, "1.0");
    ASSERT_EQ(cheese.policies.size(), 1u);
    EXPECT_EQ(cheese.policies[0].subject, "cheese");
    ASSERT_EQ(cheese.policies[0].objects.size(), 1u);
    EXPECT_EQ(cheese.policies[0].objects[0].object, "camera");
    EXPECT_EQ(cheese.policies[0].objects[0].operations, std::vector<std::string>{"deny"});
    EXPECT_EQ(cheese.policies[0].objects[0].valid_period, 0u);
    EXPECT_EQ(cheese.policies[0].objects[0].timestamp, 0u);
    EXPECT_EQ(Load<PolicyData>(kGuvcviewPolicy).policies.at(0).subject, "guvcview");

    // One entity per package, listing every migrated program of it.
    EntityInfoData entity = Load<EntityInfoData>(kCheeseEntity);
    EXPECT_EQ(entity.name, "cheese");
    EXPECT_EQ(entity.type, "subject");
    EXPECT_EQ(entity.subtype, "package");
    EXPECT_EQ(entity.attrs.exes, (std::vector<std::string>{"/usr/bin/cheese", "/usr/bin/cheese-helper"}));

    ModeData mode = Load<ModeData>(kCameraMode);
    EXPECT_EQ(mode.object, "camera");
    EXPECT_EQ(mode.mode, "blacklist");
    EXPECT_EQ(mode.version, "1.0");

    // The camera is a device, not a folder: no entity for it.
    EXPECT_EQ(ListFolder("/var/lib/olm/sarv/entity.d"),
              (std::vector<std::string>{"cheese.subject", "guvcview.subject"}));
    EXPECT_EQ(ListFolder("/var/lib/olm/sarv/policy.d"),
              (std::vector<std::string>{"cheese.policy", "guvcview.policy"}));
}

TEST_F(MigrationTest, FolderProfileCreatesTheFolderObjectAndItsMode) {
    Protect(kDocuments, {Rule(2, {"/usr/bin/guvcview"})});
    Protect("/home/ann/Pictures", {Rule(3, {"/usr/lib/camtool-probe"})});
    Start();

    EntityInfoData folder = Load<EntityInfoData>(kDocumentsEntity);
    EXPECT_EQ(folder.name, kDocuments);
    EXPECT_EQ(folder.type, "object");
    EXPECT_EQ(folder.subtype, "file");
    EXPECT_EQ(folder.available_operations, (std::vector<std::string>{"allow", "deny"}));
    EXPECT_EQ(Load<ModeData>(kDocumentsMode).mode, "blacklist");
    EXPECT_EQ(Load<PolicyData>(kGuvcviewPolicy).policies.at(0).objects.at(0).object, kDocuments);

    // The multi-arch package is named without its architecture.
    PolicyData probe = Load<PolicyData>("/var/lib/olm/sarv/policy.d/libcamtool.policy");
    EXPECT_EQ(probe.policies.at(0).objects.at(0).object, "/home/ann/Pictures");
    EXPECT_EQ(Load<EntityInfoData>("/var/lib/olm/sarv/entity.d/libcamtool.subject").attrs.exes,
              std::vector<std::string>{"/usr/lib/camtool-probe"});
}

TEST_F(MigrationTest, WhatTheConfigurationAlreadyHoldsIsKept) {
    // A shipped camera mode, a shipped cheese entity and a folder entity.
    ModeData whitelist;
    whitelist.object = "camera";
    whitelist.mode = "whitelist";
    Put(kUsrShareFolder, whitelist);
    EntityInfoData cheese;
    cheese.name = "cheese";
    cheese.type = "subject";
    cheese.subtype = "exe";
    cheese.attrs.exes = {"/usr/bin/cheese"};
    Put(kEtcFolder, cheese);
    EntityInfoData docs;
    docs.name = kDocuments;
    docs.type = "object";
    docs.subtype = "file";
    docs.available_operations = {"allow", "deny"};
    docs.description = "kept";
    Put(kEtcFolder, docs);

    Protect("/dev/video0", {Rule(2, {"/usr/bin/cheese", "/usr/bin/cheese-helper"})});
    Protect(kDocuments, {Rule(2, {"/usr/bin/cheese"})});
    Start();

    EXPECT_FALSE(Exists(kCameraMode));
    EXPECT_FALSE(Exists(kCheeseEntity));
    EXPECT_FALSE(Exists(kDocumentsEntity));
    EXPECT_EQ(Load<ModeData>(kDocumentsMode).mode, "blacklist");
    // Both objects end up in the one policy of the package.
    PolicyData policy = cm->GetCache(cm->policyMap, "cheese");
    ASSERT_EQ(policy.policies.size(), 1u);
    std::set<std::string> objects;
    for (const auto& o : policy.policies[0].objects) objects.insert(o.object);
    EXPECT_EQ(objects, (std::set<std::string>{"camera", kDocuments}));
    EXPECT_EQ(cm->GetCache(cm->modeMap, "camera").mode, "whitelist");
}

TEST_F(MigrationTest, AStartRepeatedChangesNoByte) {
    Protect("/dev/video0", {Rule(2, {"/usr/bin/cheese", "/usr/bin/guvcview", "/usr/bin/cheese-helper"})});
    Protect(kDocuments, {Rule(2, {"/usr/bin/cheese", "/usr/bin/guvcview"})});
    Protect("/home/bob/Pictures", {Rule(2, {"/usr/lib/camtool-probe"}), Rule(1, {"/usr/bin/cheese"})});
    ModeData legacy;
    legacy.object = "microphone";
    legacy.mode = "whitelist";
    WriteFile("/etc/olm/sarv/mode.d/old-microphone.json", ToJsonText(legacy, 4));
    WriteFile("/etc/olm/sarv/mode.d/broken.json", "{");

    // Each start is a process of its own, as at boot.
    auto start = []() {
        pid_t pid = -1;
        char* argv[] = {const_cast<char*>(MIGRATION_START), nullptr};
        if (posix_spawn(&pid, MIGRATION_START, nullptr, nullptr, argv, environ) != 0) return -1;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(start(), 0);
    auto first = Everything();
    EXPECT_TRUE(first.count(kCheesePolicy));
    EXPECT_TRUE(first.count(kDocumentsEntity));
    EXPECT_TRUE(first.count("/etc/olm/sarv/mode.d/microphone.mode"));
    EXPECT_TRUE(first.count("/etc/olm/sarv/mode.d/broken.json"));
    EXPECT_EQ(first.count("/etc/olm/sarv/mode.d/old-microphone.json"), 0u);

    ASSERT_EQ(start(), 0);
    EXPECT_EQ(Everything(), first);

    // And within one process, with the cache still holding the first run.
    Start();
    Start();
    EXPECT_EQ(Everything(), first);
}

// ---- renaming -------------------------------------------------------------------

class RenameTest : public MigrationTest {};

TEST_F(RenameTest, JsonFilesTakeTheirRecordsFileNames) {
    ModeData camera;
    camera.object = "camera";
    camera.mode = "whitelist";
    WriteFile("/etc/olm/sarv/mode.d/camera.json", ToJsonText(camera, 4));
    EntityInfoData subject;
    subject.name = "/usr/bin/x";
    subject.type = "subject";
    subject.subtype = "exe";
    WriteFile("/var/lib/olm/sarv/entity.d/sub/deeper/x.json", ToJsonText(subject));
    PolicyData policy;
    policy.policies.push_back({"apt", {{"camera", {"deny"}, 0, 0}}});
    WriteFile("/usr/share/olm/sarv/policy.d/apt.json", ToJsonText(policy));

    PolicyMigrationHelper::RenameConfigFileExtend();
    EXPECT_EQ(ReadFile("/etc/olm/sarv/mode.d/camera.mode"), ToJsonText(camera, 4));
    EXPECT_FALSE(Exists("/etc/olm/sarv/mode.d/camera.json"));
    EXPECT_EQ(ReadFile("/var/lib/olm/sarv/entity.d/%2Fusr%2Fbin%2Fx.subject"), ToJsonText(subject));
    EXPECT_FALSE(Exists("/var/lib/olm/sarv/entity.d/sub/deeper/x.json"));
    EXPECT_EQ(ReadFile("/usr/share/olm/sarv/policy.d/apt.policy"), ToJsonText(policy));
}

TEST_F(RenameTest, WhatCannotBeRenamedSafelyStays) {
    SyslogCapture log;
    ModeData stale;
    stale.object = "camera";
    stale.mode = "whitelist";
    ModeData current;
    current.object = "camera";
    current.mode = "blacklist";
    WriteFile("/etc/olm/sarv/mode.d/camera.json", ToJsonText(stale));
    WriteFile("/etc/olm/sarv/mode.d/camera.mode", ToJsonText(current));
    WriteFile("/etc/olm/sarv/mode.d/broken.json", "{\"object\": 5}");
    WriteFile("/etc/olm/sarv/other.d/camera.json", ToJsonText(current));
    WriteFile("/etc/olm/sarv/xmode.d/mic.json", ToJsonText(current));
    WriteFile("/etc/olm/sarv/mode.d/.json", "x");
    WriteFile("/tmp/outside/mode.d/mic.json", ToJsonText(current));
    ASSERT_EQ(symlink("/tmp/outside/mode.d/mic.json", "/etc/olm/sarv/mode.d/link.json"), 0);
    ASSERT_EQ(symlink("/tmp/outside", "/etc/olm/sarv/mode.d/outside"), 0);
    auto before = Everything();

    PolicyMigrationHelper::RenameConfigFileExtend();
    EXPECT_EQ(Everything(), before);
    EXPECT_TRUE(Exists("/etc/olm/sarv/mode.d/link.json"));
    EXPECT_TRUE(Exists("/tmp/outside/mode.d/mic.json"));
    EXPECT_TRUE(log.Contains("RenameConfigFileExtend: /etc/olm/sarv/mode.d/camera.json keeps its name, "
                             "/etc/olm/sarv/mode.d/camera.mode exists"));
}

TEST_F(RenameTest, AMissingFolderIsReportedOnStandardOutput) {
    testing::internal::CaptureStdout();
    RecuriveRenameFolderExtend("/tmp/no-tree/", "/tmp/no-tree/");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Folder doesn't Exist!\n");
}

}  // namespace
