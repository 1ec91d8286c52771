#include "policy-propagation.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "ac-log.h"
#include "adapter-manager.h"
#include "config-manager.h"
#include "unique-fd.h"

Status SetAllPolicy(const PolicyData& policy) {
    std::vector<std::string> objects;
    std::set<std::string> seen;
    for (const auto& entry : policy.policies)
        for (const auto& object : entry.objects)
            if (seen.insert(object.object).second) objects.push_back(object.object);

    Status pushed;
    for (const auto& name : objects) {
        Status r = AdapterManager::Instance()->SetPolicy(name);
        if (!r.ok()) return {-1, "AcAdapterManager->SetPolicy failed: " + std::to_string(r.code)};
        if (!r.reason.empty()) pushed = std::move(r);
    }
    return pushed;
}

Status UpdateEntityPolicy(EntityInfoData& entity) {
    ConfigManager* cache = ConfigManager::Instance();
    if (entity.type == kEntityTypeObject) {
        ModeData mode = cache->GetCache(cache->modeMap, entity.name);
        // Without a mode of its own the object has nothing to enforce yet.
        if (mode.object.empty() || mode.mode.empty()) return {};
        Status pushed = AdapterManager::Instance()->SetPolicy(entity.name);
        if (!pushed.ok()) {
            AcLog(LOG_WARNING, "UpdateEntityPolicy SetMode failed");
            return {-1, pushed.reason};
        }
        return pushed;
    }
    PolicyData policy = cache->GetCache(cache->policyMap, entity.name);
    if (!policy.IsValid()) return {};
    return SetAllPolicy(policy);
}

namespace {

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The folder that holds the last component of the absolute `path`, reached
// from "/" one component at a time, as a descriptor (O_PATH); `last` gets
// that component. A symbolic link on the way is followed only when root
// owns it, as /bin -> usr/bin: a user who owns a folder on a configured
// path could otherwise lead the label onto any file. -errno when refused.
int OpenParentFolder(const std::string& path, std::string& last) {
    std::vector<std::string> parts = Components(path);
    if (parts.empty()) return -EINVAL;
    last = parts.back();
    parts.pop_back();
    std::deque<std::string> todo(parts.begin(), parts.end());
    UniqueFd fd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    int links = 0;
    int refused = 0;  // the errno that stopped the walk
    while (fd && !todo.empty()) {
        const std::string name = todo.front();
        todo.pop_front();
        struct stat st {};
        if (fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            refused = errno;
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            fd.reset(openat(fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            continue;
        }
        if (st.st_uid != 0 || ++links > 40) {
            refused = ELOOP;
            break;
        }
        char target[PATH_MAX];
        const ssize_t n = readlinkat(fd.get(), name.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) == sizeof target) {
            refused = n >= 0 ? ENAMETOOLONG : errno;
            break;
        }
        const std::string link(target, static_cast<size_t>(n));
        const std::vector<std::string> more = Components(link);
        todo.insert(todo.begin(), more.begin(), more.end());
        if (link[0] == '/') fd.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    // A walk stopped on the last folder has nothing left to do, but
    // reached no folder of the path either.
    if (fd && refused == 0) return fd.release();
    return -(refused != 0 ? refused : errno);
}

// Labels one path; 0 or -errno. Only absolute paths without NUL bytes are
// taken: a relative one would depend on the service's working folder, and a
// NUL would silently label a shorter path than the one configured.
int Label(const std::string& path, const std::string& appid) {
    int r = -EINVAL;
    if (!path.empty() && path[0] == '/' && path.find('\0') == std::string::npos) {
        std::string last;
        const int folder = OpenParentFolder(path, last);
        r = folder;
        if (folder >= 0) {
            const UniqueFd owner(folder);
            // The folder as it was reached, whatever is swapped in on the way
            // afterwards; the last component itself is labelled, not followed.
            const std::string at = "/proc/self/fd/" + std::to_string(folder) + "/" + last;
            r = lsetxattr(at.c_str(), sarvSecurityAppidKey.c_str(), appid.data(), appid.size(), 0) == 0 ? 0 : -errno;
        }
    }
    if (r != 0) AcLog(LOG_ERR, "SetAppElfOlmsecAttr lsetxattr %s failed!", LogPrintable(path).c_str());
    return r;
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
