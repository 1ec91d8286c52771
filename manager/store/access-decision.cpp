#include "access-decision.h"

#include <algorithm>
#include <memory>

#include "config-manager.h"

namespace {

// What a subject without a policy of its own may do under `mode`.
std::vector<std::string> ModeDefaults(const std::string& mode, const std::vector<std::string>& all) {
    if (mode == kModeBlacklist) return all;
    if (mode == kModeWhitelist) return {};
    return {mode};
}

}  // namespace

namespace {

using Shared = std::shared_ptr<const EntityInfoData>;

// GetEntityInfo's record, shared: copied only for a package whose programs
// the package database fills in.
Shared EntityOf(const std::string& name) {
    Shared entity = ConfigManager::Instance()->LayeredEntity(name);
    if (entity->subtype == kEntitySubtypePackage && entity->attrs.exes.empty())
        return std::make_shared<const EntityInfoData>(ConfigManager::GetEntityInfo(name));
    return entity;
}

// FindSubject with shared records: the subject, or null with `named` (the
// entity of that name, not valid).
Shared SubjectOf(const std::string& subject, bool& by_name, Shared& named) {
    named = EntityOf(subject);
    by_name = named->IsValid();
    if (by_name) return named;
    auto claimed = std::make_shared<EntityInfoData>();
    if (ConfigManager::Instance()->GetExeSubjectInfo(subject, *claimed) != 0) return nullptr;
    return claimed;
}

}  // namespace

bool FindSubject(const std::string& subject, EntityInfoData& entity, bool& by_name) {
    Shared named;
    const Shared found = SubjectOf(subject, by_name, named);
    entity = found ? *found : *named;
    return found != nullptr;
}

AccessDecision DecideAccess(const std::string& subject, const std::string& object, bool records) {
    ConfigManager* cache = ConfigManager::Instance();
    AccessDecision d;
    const Shared target = EntityOf(object);
    if (records) d.object = *target;
    if (!target->IsValid()) return d;

    d.mode = *cache->LayeredMode(object);
    if (d.mode.object.empty() || d.mode.mode.empty()) {
        d.rule = AccessRule::kNoMode;
        d.permitted = target->available_operations;
        return d;
    }

    d.rule = AccessRule::kNoSubject;
    d.permitted = ModeDefaults(d.mode.mode, target->available_operations);
    Shared named;
    const Shared found = SubjectOf(subject, d.subject_by_name, named);
    if (records) d.subject = found ? *found : *named;
    if (!found) return d;

    d.rule = AccessRule::kNoPolicy;
    const std::shared_ptr<const PolicyData> policy = cache->LayeredPolicy(found->name);
    if (records) d.policy = *policy;
    if (cache->CheckSubjectPolicy(found->name, *policy) != 0) return d;

    d.rule = AccessRule::kPolicy;
    d.permitted.clear();
    for (const auto& entry : policy->policies)
        for (const auto& item : entry.objects)
            if (item.object == object)
                d.permitted.insert(d.permitted.end(), item.operations.begin(), item.operations.end());
    return d;
}

bool PermitsAll(const std::vector<std::string>& permitted, const std::vector<std::string>& requested) {
    for (const auto& operation : requested)
        if (std::find(permitted.begin(), permitted.end(), operation) == permitted.end()) return false;
    return true;
}
