// Which subject an executable belongs to, and which policy entries concern
// a subject or an object.
#include <memory>
#include <mutex>

#include "ac-log.h"
#include "config-manager.h"
#include "policy-migration-helper.h"
#include "subject-index.h"

// Under the cache's read lock the index answers for the subjects that list
// the executable themselves; the package database is asked after the lock
// is released, so that a slow database never holds up a writer of the cache.
int ConfigManager::GetExeSubjectInfo(const std::string& exe, EntityInfoData& subject) const {
    std::shared_ptr<const SubjectIndex> index;
    const std::string* listed = nullptr;  // the first entity that lists it, kept alive by `index`
    EntityInfoData claimed;
    {
        std::shared_lock<std::shared_mutex> lock(maps_lock);
        if (entityMap.empty()) return -1;
        index = CurrentSubjectIndex();
        listed = index->ListedClaim(exe);
        auto entity = listed ? entityMap.find(*listed) : entityMap.end();
        if (entity != entityMap.end()) claimed = SubjectRecord(entity->second);
        else listed = nullptr;
    }
    // A package subject before it in name order whose executables are the
    // database's comes first; the database's lists hold only executables,
    // and no path with a NUL byte.
    if (index->HasDatabasePackageBefore(listed) && exe.find('\0') == std::string::npos) {
        const auto* owner =
            index->FirstDatabasePackage(PolicyMigrationHelper::Instance()->QueryPathPackages(exe.c_str()), listed);
        if (owner && is_elf_file(exe.c_str())) {
            subject = owner->subject;
            return 0;
        }
    }
    if (!listed) return -1;
    subject = std::move(claimed);
    return 0;
}

int ConfigManager::GetSubjectPolicy(const std::string& subject, PolicyData& policy) const {
    policy = GetCache(policyMap, subject);
    return CheckSubjectPolicy(subject, policy);
}

int ConfigManager::CheckSubjectPolicy(const std::string& subject, const PolicyData& policy) const {
    if (policy.IsValid()) return 0;
    AcLog(LOG_WARNING, "AccessControlDbus::GetSubjectPolicy subject %s IsValid failed!",
          LogPrintable(subject).c_str());
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
            AcLog(LOG_INFO, "ConfigManager::GetObjectPolicy object %s policy not existed.",
                  LogPrintable(object).c_str());
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
