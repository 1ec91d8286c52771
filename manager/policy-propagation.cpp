#include "policy-propagation.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "ac-globals.h"
#include "ac-log.h"
#include "adapter-manager.h"
#include "config-manager.h"

int SetAllPolicy(const PolicyData& policy) {
    std::vector<std::string> objects;
    std::set<std::string> seen;
    for (const auto& entry : policy.policies)
        for (const auto& object : entry.objects)
            if (seen.insert(object.object).second) objects.push_back(object.object);

    for (const auto& name : objects) {
        int r = AdapterManager::Instance()->SetPolicy(name);
        if (r != 0) {
            ac_error_msg = "AcAdapterManager->SetPolicy failed: " + std::to_string(r);
            return -1;
        }
    }
    return 0;
}

int UpdateEntityPolicy(EntityInfoData& entity) {
    ConfigManager* cache = ConfigManager::Instance();
    if (entity.type == kEntityTypeObject) {
        ModeData mode = cache->GetCache(cache->modeMap, entity.name);
        // Without a mode of its own the object has nothing to enforce yet.
        if (mode.object.empty() || mode.mode.empty()) return 0;
        if (AdapterManager::Instance()->SetPolicy(entity.name) != 0) {
            AcLog(LOG_WARNING, "UpdateEntityPolicy SetMode failed");
            return -1;
        }
        return 0;
    }
    PolicyData policy = cache->GetCache(cache->policyMap, entity.name);
    if (!policy.IsValid()) return 0;
    return SetAllPolicy(policy);
}

namespace {

// Labels one path; 0 or -errno. Only absolute paths without NUL bytes are
// taken: a relative one would depend on the service's working folder, and a
// NUL would silently label a shorter path than the one configured.
int Label(const std::string& path, const std::string& appid) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) {
        AcLog(LOG_ERR, "SetAppElfOlmsecAttr lsetxattr %s failed!", path.c_str());
        return -EINVAL;
    }
    if (lsetxattr(path.c_str(), sarvSecurityAppidKey.c_str(), appid.data(), appid.size(), 0) != 0) {
        int err = errno;
        AcLog(LOG_ERR, "SetAppElfOlmsecAttr lsetxattr %s failed!", path.c_str());
        return -err;
    }
    return 0;
}

}  // namespace

int SetAppElfOlmsecAttr(EntityInfoData& entity) {
    if (entity.type != kEntityTypeSubject) return 0;
    int result = 0;
    if (entity.subtype == kEntitySubtypeFile) {
        int r = Label(entity.name, entity.name);
        if (r != 0) result = r;
    }

    std::vector<std::string> targets = entity.attrs.exes;
    targets.insert(targets.end(), entity.attrs.additional_exes.begin(), entity.attrs.additional_exes.end());
    const auto& excluded = entity.attrs.exclude_exes;
    targets.erase(std::remove_if(targets.begin(), targets.end(),
                                 [&](const std::string& path) {
                                     return std::find(excluded.begin(), excluded.end(), path) != excluded.end();
                                 }),
                  targets.end());

    for (const auto& path : targets) {
        int r = Label(path, entity.name);
        if (r != 0) result = r;
    }
    return result;
}
