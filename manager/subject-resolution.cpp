// Which subject an executable belongs to, and which policy entries concern
// a subject or an object.
#include <algorithm>
#include <mutex>

#include "ac-log.h"
#include "config-manager.h"
#include "policy-migration-helper.h"

namespace {

// The entity as a subject sees it: its file records in path order, merged,
// up to (not including) the first record that calls it an object.
EntityInfoData MergedSubject(const std::map<std::string, EntityInfoData>& files) {
    EntityInfoData merged;
    for (const auto& entry : files) {
        if (entry.second.type == kEntityTypeObject) break;
        merged.Merge(entry.second);
    }
    return merged;
}

bool PackageClaims(const EntityInfoData& e, const std::string& exe) {
    std::vector<std::string> candidates = e.attrs.exes;
    candidates.insert(candidates.end(), e.attrs.additional_exes.begin(), e.attrs.additional_exes.end());
    const auto& excluded = e.attrs.exclude_exes;
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const std::string& c) {
                                        return std::find(excluded.begin(), excluded.end(), c) != excluded.end();
                                    }),
                     candidates.end());
    if (candidates.empty()) candidates = PolicyMigrationHelper::Instance()->QueryPackageFileList(e.name.c_str());
    return std::find(candidates.begin(), candidates.end(), exe) != candidates.end();
}

}  // namespace

int ConfigManager::GetExeSubjectInfo(const std::string& exe, EntityInfoData& subject) const {
    std::shared_lock<std::shared_mutex> lock(maps_lock);
    for (const auto& entry : entityMap) {
        EntityInfoData merged = MergedSubject(entry.second);
        if (merged.type != kEntityTypeSubject) continue;
        bool claims = false;
        if (merged.subtype == kEntitySubtypeExe || merged.subtype == kEntitySubtypeFile)
            claims = merged.name == exe;
        else if (merged.subtype == kEntitySubtypePackage)
            claims = PackageClaims(merged, exe);
        if (claims) {
            subject = std::move(merged);
            return 0;
        }
    }
    return -1;
}

int ConfigManager::GetSubjectPolicy(const std::string& subject, PolicyData& policy) const {
    policy = GetCache(policyMap, subject);
    if (policy.IsValid()) return 0;
    AcLog(LOG_WARNING, "AccessControlDbus::GetSubjectPolicy subject %s IsValid failed!", subject.c_str());
    return -1;
}

int ConfigManager::GetObjectPolicy(const std::string& object, PolicyData& policy) const {
    std::vector<std::string> subjects;
    {
        std::shared_lock<std::shared_mutex> lock(maps_lock);
        for (const auto& entry : policyMap) subjects.push_back(entry.first);
    }
    for (const auto& name : subjects) {
        PolicyData full = GetCache(policyMap, name);
        if (full.policies.empty()) {
            AcLog(LOG_INFO, "ConfigManager::GetObjectPolicy object %s policy not existed.", object.c_str());
            continue;
        }
        PolicyData partial;
        for (const auto& entry : full.policies) {
            for (const auto& o : entry.objects) {
                if (o.object != object) continue;
                partial.version = full.version;
                partial.policies.push_back({entry.subject, {o}});
            }
        }
        policy.version = partial.version;
        MergeVector(policy.policies, partial.policies);
    }
    return 0;
}
