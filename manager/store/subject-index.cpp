#include "subject-index.h"

#include <algorithm>

#include "policy-migration-helper.h"

namespace {

using FileRecords = std::map<std::string, EntityInfoData>;

FileRecords::const_iterator SubjectEnd(const FileRecords& files) {
    for (auto it = files.begin(); it != files.end(); ++it)
        if (it->second.type == kEntityTypeObject) return it;
    return files.end();
}

// One field as the merge would leave it, without building the whole record:
// the last non-empty value wins.
template <typename Field>
const Field& MergedField(const FileRecords& files, FileRecords::const_iterator end,
                         const Field& (*get)(const EntityInfoData&)) {
    static const Field empty{};
    const Field* value = &empty;
    for (auto it = files.begin(); it != end; ++it)
        if (!get(it->second).empty()) value = &get(it->second);
    return *value;
}

using Text = std::string;
using List = std::vector<std::string>;
const Text& TypeOf(const EntityInfoData& e) { return e.type; }
const Text& SubtypeOf(const EntityInfoData& e) { return e.subtype; }
const Text& NameOf(const EntityInfoData& e) { return e.name; }
const List& ExesOf(const EntityInfoData& e) { return e.attrs.exes; }
const List& AdditionalExesOf(const EntityInfoData& e) { return e.attrs.additional_exes; }
const List& ExcludedExesOf(const EntityInfoData& e) { return e.attrs.exclude_exes; }

EntityInfoData Merged(const FileRecords& files, FileRecords::const_iterator end) {
    EntityInfoData merged;
    for (auto it = files.begin(); it != end; ++it) merged.Merge(it->second);
    return merged;
}

}  // namespace

EntityInfoData SubjectRecord(const FileRecords& files) { return Merged(files, SubjectEnd(files)); }

// The entities are visited in name order and the first claim of an
// executable is the one kept, which is the order a lookup would have met
// them in one by one.
SubjectIndex::SubjectIndex(const ConfigCacheMap<EntityInfoData>& entities) {
    listed_.reserve(entities.size());
    for (const auto& [name, files] : entities) {
        const auto end = SubjectEnd(files);
        if (MergedField(files, end, TypeOf) != kEntityTypeSubject) continue;
        const std::string& subtype = MergedField(files, end, SubtypeOf);
        if (subtype == kEntitySubtypeExe || subtype == kEntitySubtypeFile) {
            listed_.emplace(MergedField(files, end, NameOf), name);
            continue;
        }
        if (subtype != kEntitySubtypePackage) continue;
        // Its own list: `exes` and `additional_exes`, less every entry that
        // `exclude_exes` names.
        const List& excluded = MergedField(files, end, ExcludedExesOf);
        bool lists = false;
        for (const List* own : {&MergedField(files, end, ExesOf), &MergedField(files, end, AdditionalExesOf)})
            for (const std::string& exe : *own) {
                if (std::find(excluded.begin(), excluded.end(), exe) != excluded.end()) continue;
                listed_.emplace(exe, name);
                lists = true;
            }
        if (lists) continue;
        EntityInfoData merged = Merged(files, end);
        // A name that is no package specifier lists nothing. The database
        // has always been asked with the name as a C string.
        const std::string package = PackageSpecifierKey(merged.name.c_str());
        if (!package.empty()) database_by_package_.emplace(package, database_.size());
        database_.push_back({name, std::move(merged)});
    }
}

const std::string* SubjectIndex::ListedClaim(const std::string& exe) const {
    auto it = listed_.find(exe);
    return it == listed_.end() ? nullptr : &it->second;
}

bool SubjectIndex::HasDatabasePackageBefore(const std::string* name) const {
    return !database_.empty() && (!name || database_.front().name < *name);
}

const SubjectIndex::DatabasePackage* SubjectIndex::FirstDatabasePackage(const std::vector<std::string>& packages,
                                                                        const std::string* name) const {
    const DatabasePackage* first = nullptr;
    for (const std::string& package : packages) {
        auto it = database_by_package_.find(package);
        if (it == database_by_package_.end()) continue;
        const DatabasePackage* candidate = &database_[it->second];
        if (!first || candidate->name < first->name) first = candidate;
    }
    return first && (!name || first->name < *name) ? first : nullptr;
}
