// Which subject an executable belongs to, and which policy entries concern
// a subject or an object.
#include <algorithm>
#include <mutex>

#include "ac-log.h"
#include "config-manager.h"
#include "policy-migration-helper.h"

namespace {

// The records of an entity that count for a subject: its file records in
// path order, up to (not including) the first that calls it an object.
using FileRecords = std::map<std::string, EntityInfoData>;

FileRecords::const_iterator SubjectEnd(const FileRecords& files) {
    for (auto it = files.begin(); it != files.end(); ++it)
        if (it->second.type == kEntityTypeObject) return it;
    return files.end();
}

EntityInfoData MergedSubject(const FileRecords& files, FileRecords::const_iterator end) {
    EntityInfoData merged;
    for (auto it = files.begin(); it != end; ++it) merged.Merge(it->second);
    return merged;
}

// One field as the merge would leave it, without building the whole record:
// the last non-empty value wins.
template <typename Field>
const Field& MergedField(const FileRecords& files, FileRecords::const_iterator end, const Field& fallback,
                         const Field& (*get)(const EntityInfoData&)) {
    const Field* value = &fallback;
    for (auto it = files.begin(); it != end; ++it)
        if (!get(it->second).empty()) value = &get(it->second);
    return *value;
}

const std::string& TypeOf(const EntityInfoData& e) { return e.type; }
const std::string& SubtypeOf(const EntityInfoData& e) { return e.subtype; }
const std::string& NameOf(const EntityInfoData& e) { return e.name; }

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
    static const std::string empty;
    std::shared_lock<std::shared_mutex> lock(maps_lock);
    for (const auto& entry : entityMap) {
        const FileRecords& files = entry.second;
        const auto end = SubjectEnd(files);
        if (MergedField(files, end, empty, TypeOf) != kEntityTypeSubject) continue;
        const std::string& subtype = MergedField(files, end, empty, SubtypeOf);
        bool claims = false;
        if (subtype == kEntitySubtypeExe || subtype == kEntitySubtypeFile) {
            claims = MergedField(files, end, empty, NameOf) == exe;
        } else if (subtype == kEntitySubtypePackage) {
            claims = PackageClaims(MergedSubject(files, end), exe);
        }
        if (claims) {
            subject = MergedSubject(files, end);
            return 0;
        }
    }
    return -1;
}

int ConfigManager::GetSubjectPolicy(const std::string& subject, PolicyData& policy) const {
    policy = GetCache(policyMap, subject);
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
