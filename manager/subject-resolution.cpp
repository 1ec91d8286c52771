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

// The package's own list of executables, without the excluded ones; empty
// when the package database has to be asked.
std::vector<std::string> PackageCandidates(const EntityInfoData& e) {
    std::vector<std::string> candidates = e.attrs.exes;
    candidates.insert(candidates.end(), e.attrs.additional_exes.begin(), e.attrs.additional_exes.end());
    const auto& excluded = e.attrs.exclude_exes;
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const std::string& c) {
                                        return std::find(excluded.begin(), excluded.end(), c) != excluded.end();
                                    }),
                     candidates.end());
    return candidates;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// A subject that claims the executable for sure, or one whose claim only
// the package database can tell.
struct Contender {
    EntityInfoData subject;
    bool ask_database;
};

}  // namespace

// What decides is gathered under the cache's read lock; the package
// database and the files it lists are read after the lock is released, so
// that a slow database never holds up a writer of the cache.
int ConfigManager::GetExeSubjectInfo(const std::string& exe, EntityInfoData& subject) const {
    static const std::string empty;
    std::vector<Contender> contenders;
    {
        std::shared_lock<std::shared_mutex> lock(maps_lock);
        for (const auto& entry : entityMap) {
            const FileRecords& files = entry.second;
            const auto end = SubjectEnd(files);
            if (MergedField(files, end, empty, TypeOf) != kEntityTypeSubject) continue;
            const std::string& subtype = MergedField(files, end, empty, SubtypeOf);
            if (subtype == kEntitySubtypeExe || subtype == kEntitySubtypeFile) {
                if (MergedField(files, end, empty, NameOf) != exe) continue;
                contenders.push_back({MergedSubject(files, end), false});
                break;
            }
            if (subtype != kEntitySubtypePackage) continue;
            EntityInfoData merged = MergedSubject(files, end);
            const std::vector<std::string> candidates = PackageCandidates(merged);
            if (candidates.empty()) {
                contenders.push_back({std::move(merged), true});
            } else if (Contains(candidates, exe)) {
                contenders.push_back({std::move(merged), false});
                break;
            }
        }
    }
    // In name order: the first that claims the executable wins.
    for (auto& contender : contenders) {
        if (contender.ask_database &&
            !Contains(PolicyMigrationHelper::Instance()->QueryPackageFileList(contender.subject.name.c_str()), exe))
            continue;
        subject = std::move(contender.subject);
        return 0;
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
