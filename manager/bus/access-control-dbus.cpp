// The service object and its four read-only queries. The queries answer any
// caller from the cache, check nobody and write no audit record.
#include "access-control-dbus.h"

#include <cerrno>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "ac-log.h"
#include "installed.h"
#include "acjson.h"
#include "config-manager.h"
#include "policy-migration-helper.h"

AccessControlDbus* AccessControlDbus::Instance() { return InstalledSlot<AccessControlDbus>::Get(); }

AccessControlDbus::AccessControlDbus(QObject* parent) : QObject(parent), version_(QStringLiteral("1.0")) {}

namespace {

// A query that has no answer for the name: logged, and answered with
// org.freedesktop.DBus.Error.InvalidArgs and `text`.
Status Refused(const char* log, const char* text) {
    AcLog(LOG_WARNING, "%s", log);
    return {-EINVAL, text};
}

}  // namespace

Status AccessControlDbus::GetMode(sd_bus_message*, const QString& qname, QString& json) {
    ConfigManager* cache = ConfigManager::Instance();
    const std::string name = qname.toStdString();
    ModeData mode = cache->GetCache(cache->modeMap, name);
    if (mode.object.empty() || mode.mode.empty()) {
        if (!ConfigManager::GetEntityInfo(name).IsValid())
            return Refused("GetMode data IsValid failed!", "Invalid arguments");
        // A known object without a mode of its own is enforced as a blacklist.
        mode.object = name;
        mode.mode = kModeBlacklist;
    }
    json = QString::fromStdString(ToJsonText(mode));
    return {};
}

Status AccessControlDbus::GetEntity(sd_bus_message*, const QString& qname, QString& json) {
    EntityInfoData entity = ConfigManager::GetEntityInfo(qname.toStdString());
    if (!entity.IsValid()) return Refused("GetEntity data IsValid failed!", "GetEntity data not valid.");
    json = QString::fromStdString(ToJsonText(entity));
    return {};
}

Status AccessControlDbus::GetPolicy(sd_bus_message*, const QString& qname, QString& json) {
    ConfigManager* cache = ConfigManager::Instance();
    const std::string name = qname.toStdString();
    EntityInfoData entity = ConfigManager::GetEntityInfo(name);
    if (!entity.IsValid()) return Refused("GetPolicy data IsValid failed!", "GetCache failed");
    PolicyData policy;
    if (entity.type != kEntityTypeSubject) {
        policy.version = "1.0";
        cache->GetObjectPolicy(name, policy);
    } else {
        policy = cache->GetCache(cache->policyMap, name);
        // A subject without rules reads as one empty entry, not as an error.
        if (!policy.IsValid()) policy.policies.push_back(ACPolicy{name, {}});
    }
    json = QString::fromStdString(ToJsonText(policy));
    return {};
}

Status AccessControlDbus::ListEntity(sd_bus_message*, QList<QString>& entities) {
    ConfigManager* cache = ConfigManager::Instance();
    // Walked under the cache's read lock, each name layered exactly as
    // GetEntity sees it, so that a change from the watcher thread cannot
    // move the maps under the walk. Texts kept from earlier calls answer
    // for the entities that did not change; the others are made after the
    // lock is released, as the package database and the encoding take time.
    struct Missing {
        qsizetype at;
        std::string name;
        EntityInfoData entity;
        std::optional<EntityTexts::Kept> kept;  // a package's text, good while its database is unchanged
    };
    QList<QString> result;
    std::vector<Missing> missing;
    uint64_t drops = 0;
    {
        std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
        result.reserve(static_cast<qsizetype>(cache->entityMap.size()));
        drops = cache->entityTexts.Read([&](const auto& find) {
            for (const auto& [name, files] : cache->entityMap) {
                // Every file of this name was deleted: the name is gone.
                if (files.empty()) continue;
                const EntityTexts::Kept* kept = find(name);
                if (kept && !kept->from_packages) {
                    result.append(kept->text);
                    continue;
                }
                missing.push_back({result.size(), name, LayerFiles(files), kept ? std::optional(*kept) : std::nullopt});
                result.append(QString());
            }
        });
    }
    std::vector<std::pair<std::string, EntityTexts::Kept>> made;
    bool asked = false;
    uint64_t generation = 0;
    for (Missing& m : missing) {
        const bool fromPackages = m.entity.subtype == kEntitySubtypePackage && m.entity.attrs.exes.empty();
        if (fromPackages && !asked) {
            // Whether the package database changed is asked once per call.
            generation = PolicyMigrationHelper::Instance()->Generation();
            asked = true;
        }
        if (fromPackages && m.kept && m.kept->packages == generation) {
            result[m.at] = m.kept->text;
            continue;
        }
        if (fromPackages) m.entity.attrs.exes = PolicyMigrationHelper::Instance()->QueryPackageFileList(m.name.c_str());
        result[m.at] = QString::fromStdString(ToJsonText(m.entity));
        made.push_back({std::move(m.name), {result[m.at], fromPackages, generation}});
    }
    cache->entityTexts.Keep(drops, made);
    entities = std::move(result);
    return {};
}
