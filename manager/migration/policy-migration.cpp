#include "policy-migration.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "ac-log.h"
#include "acjson.h"
#include "config-manager.h"
#include "configfile-helper.h"
#include "gardex.h"
#include "unique-fd.h"

namespace {

// The control center protects the camera and two folders of each home.
const std::string kCameraDevice = "/dev/video0";
const std::string kCameraObject = "camera";
const std::string kUserFolderPrefix = "/home/";
const std::vector<std::string> kUserFolderSuffixes = {"/Documents", "/Pictures"};
// Only its profiles speak for the user; other owners protect for their own reasons.
const std::string kControlCenter = "/usr/bin/calvora";
// Rules of this type protect the control center itself, not the user's data.
constexpr int kSelfProtectionRuleType = 1;
const std::string kOperationAllow = "allow";
const std::string kOperationDeny = "deny";
constexpr int kNothingMigrated = -17;

bool StartsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsProtectedUserFolder(const std::string& path) {
    if (!StartsWith(path, kUserFolderPrefix)) return false;
    for (const auto& suffix : kUserFolderSuffixes)
        if (EndsWith(path, suffix)) return true;
    return false;
}

// The cache validates, compares and persists; a record it already holds or
// rejects leaves everything as it was, and the next start tries again.
template <typename T>
void StoreRecord(ConfigMap<T>& map, const T& record) {
    T out;
    std::string change;
    ConfigManager::Instance()->SetCache(map, ToJsonText(record), out, change);
}

PolicyData DenyPolicy(const std::string& object, const std::string& package) {
    PolicyObject target;
    target.object = object;
    target.operations = {kOperationDeny};
    ACPolicy entry;
    entry.subject = package;
    entry.objects = {target};
    PolicyData policy;
    policy.version = "1.0";
    policy.policies = {entry};
    return policy;
}

// ---- renaming -----------------------------------------------------------------

enum class RecordKind { None, Entity, Mode, Policy };

// The record kind a ".json" file holds, by the record folders its path passes through.
RecordKind KindOf(const std::string& path) {
    auto passes = [&path](const std::string& folder) { return path.find("/" + folder + "/") != std::string::npos; };
    if (passes(kEntityFolderName)) return RecordKind::Entity;
    if (passes(kModeFolderName)) return RecordKind::Mode;
    if (passes(kPolicyFolderName)) return RecordKind::Policy;
    return RecordKind::None;
}

// A plain rename would silently replace a current configuration file with a
// stale legacy one.
int MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -errno;
    // File systems without RENAME_NOREPLACE: link() refuses an existing name as well.
    if (link(from.c_str(), to.c_str()) < 0) return -errno;
    if (unlink(from.c_str()) < 0) {
        int r = -errno;
        unlink(to.c_str());
        return r;
    }
    return 0;
}

template <typename T>
void RenameRecordFile(const std::string& root, const std::string& path, T record) {
    if (ConfigFileHelper::LoadFromFile(path, record) != 0) {
        AcLog(LOG_INFO, "RenameConfigFileExtend: %s does not load, left as it is", path.c_str());
        return;
    }
    std::string target = root + (EndsWith(root, "/") ? "" : "/") + GetConfigFileName(record);
    int r = MoveWithoutReplacing(path, target);
    if (r == -EEXIST)
        AcLog(LOG_WARNING, "RenameConfigFileExtend: %s keeps its name, %s exists", path.c_str(), target.c_str());
    else if (r != 0)
        AcLog(LOG_WARNING, "RenameConfigFileExtend: rename %s to %s failed: %s", path.c_str(), target.c_str(),
              strerror(-r));
}

}  // namespace

void PolicyMigrationHelper::MigrateAll() {
    try {
        std::list<std::string> files = fa_get_files();
        if (files.empty()) return;
        ConfigManager* cm = ConfigManager::Instance();
        for (const std::string& file : files) {
            if (file != kCameraDevice && !IsProtectedUserFolder(file)) continue;
            const bool camera = file == kCameraDevice;
            const std::string name = camera ? kCameraObject : file;
            if (Migrate(QString::fromStdString(name)) != 0) continue;

            if (!camera) {
                EntityInfoData folder = cm->GetCache(cm->entityMap, name);
                if (!folder.IsValid()) {
                    folder.name = name;
                    folder.type = kEntityTypeObject;
                    folder.subtype = kEntitySubtypeFile;
                    folder.available_operations = {kOperationAllow, kOperationDeny};
                    StoreRecord(cm->entityMap, folder);
                }
            }

            ModeData cached = cm->GetCache(cm->modeMap, name);
            if (cached.object.empty() || cached.mode.empty()) {
                ModeData mode;
                mode.object = name;
                mode.mode = kModeBlacklist;
                mode.version = cached.version;
                StoreRecord(cm->modeMap, mode);
            }
        }
    } catch (...) {
        AcLog(LOG_ERR, "MigrateAll failed: out of memory");
    }
}

int PolicyMigrationHelper::Migrate(const QString& qname) {
    try {
        const std::string name = qname.toStdString();
        const bool camera = name == kCameraObject;
        if (!camera && !IsProtectedUserFolder(name)) return kNothingMigrated;

        FaProfile profile = fa_get_profile(camera ? kCameraDevice : name);
        if (profile.daemon != kControlCenter) return kNothingMigrated;

        ConfigManager* cm = ConfigManager::Instance();
        int result = kNothingMigrated;
        for (const FaRule& rule : profile.rules) {
            if (rule.type == kSelfProtectionRuleType || rule.programs.empty()) continue;

            OpenDb();
            std::map<std::string, std::vector<std::string>> packages;
            for (const std::string& program : rule.programs) {
                std::string package = QueryFilePackage(program.c_str()).toStdString();
                if (package.empty()) continue;
                auto known = packages.find(package);
                if (known != packages.end()) {
                    known->second.push_back(program);
                    continue;
                }
                packages.emplace(package, std::vector<std::string>{program});
                StoreRecord(cm->policyMap, DenyPolicy(name, package));
                result = 0;
            }
            CloseDb();
            if (result != 0) continue;

            for (const auto& [package, programs] : packages) {
                EntityInfoData subject = ConfigManager::GetEntityInfo(package);
                if (subject.IsValid()) continue;
                subject.name = package;
                subject.type = kEntityTypeSubject;
                subject.subtype = kEntitySubtypePackage;
                subject.attrs.exes = programs;
                StoreRecord(cm->entityMap, subject);
            }
        }
        return result;
    } catch (...) {
        AcLog(LOG_ERR, "Migrate failed: out of memory");
        return -ENOMEM;
    }
}

void PolicyMigrationHelper::RenameConfigFileExtend() {
    for (const std::string& root : {kVarLibFolder, kUsrShareFolder, kEtcFolder}) RecuriveRenameFolderExtend(root, root);
}

void RecuriveRenameFolderExtend(std::string root, std::string dir) {
    try {
        UniqueDir d(opendir(dir.c_str()));
        if (!d) {
            printf("Folder doesn't Exist!\n");
            return;
        }
        const std::string base = EndsWith(dir, "/") ? dir : dir + "/";
        while (struct dirent* ent = readdir(d.get())) {
            if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
            const std::string path = base + ent->d_name;
            if (ent->d_type == DT_DIR) {
                RecuriveRenameFolderExtend(root, path);
                continue;
            }
            // Links are not followed: the renaming stays inside its tree.
            if (ent->d_type != DT_REG || !EndsWith(path, ".json")) continue;
            switch (KindOf(path)) {
            case RecordKind::Entity:
                RenameRecordFile(root, path, EntityInfoData());
                break;
            case RecordKind::Mode:
                RenameRecordFile(root, path, ModeData());
                break;
            case RecordKind::Policy:
                RenameRecordFile(root, path, PolicyData());
                break;
            case RecordKind::None:
                break;
            }
        }
    } catch (...) {
        AcLog(LOG_ERR, "RenameConfigFileExtend failed: out of memory");
    }
}
