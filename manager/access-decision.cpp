#include "access-decision.h"

#include <algorithm>

#include "config-manager.h"

namespace {

// What a subject without a policy of its own may do under `mode`.
std::vector<std::string> ModeDefaults(const std::string& mode, const std::vector<std::string>& all) {
    if (mode == kModeBlacklist) return all;
    if (mode == kModeWhitelist) return {};
    return {mode};
}

}  // namespace

bool FindSubject(const std::string& subject, EntityInfoData& entity, bool& by_name) {
    entity = ConfigManager::GetEntityInfo(subject);
    by_name = entity.IsValid();
    return by_name || ConfigManager::Instance()->GetExeSubjectInfo(subject, entity) == 0;
}

AccessDecision DecideAccess(const std::string& subject, const std::string& object) {
    ConfigManager* cache = ConfigManager::Instance();
    AccessDecision d;
    d.object = ConfigManager::GetEntityInfo(object);
    if (!d.object.IsValid()) return d;

    d.mode = cache->GetCache(cache->modeMap, object);
    if (d.mode.object.empty() || d.mode.mode.empty()) {
        d.rule = AccessRule::kNoMode;
        d.permitted = d.object.available_operations;
        return d;
    }

    d.rule = AccessRule::kNoSubject;
    d.permitted = ModeDefaults(d.mode.mode, d.object.available_operations);
    if (!FindSubject(subject, d.subject, d.subject_by_name)) return d;

    d.rule = AccessRule::kNoPolicy;
    d.policy.version = "1.0";
    if (cache->GetSubjectPolicy(d.subject.name, d.policy) != 0) return d;

    d.rule = AccessRule::kPolicy;
    d.permitted.clear();
    for (const auto& entry : d.policy.policies)
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
