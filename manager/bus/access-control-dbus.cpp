// The service object and its four read-only queries. The queries answer any
// caller from the cache, check nobody and write no audit record.
#include "access-control-dbus.h"

#include <systemd/sd-bus.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "ac-log.h"
#include "acjson.h"
#include "config-manager.h"
#include "policy-migration-helper.h"

AccessControlDbus* AccessControlDbus::Instance() {
    static AccessControlDbus instance(nullptr);
    return &instance;
}

AccessControlDbus::AccessControlDbus(QObject* parent) : QObject(parent), version_(QStringLiteral("1.0")) {}

int AccessControlDbus::ReplyError(sd_bus_message* m, const char* name, const char* format, ...) {
    answered_ = m;
    answered_flag_ = true;
    va_list ap;
    va_start(ap, format);
    char* raw = nullptr;
    int n = vasprintf(&raw, format, ap);
    va_end(ap);
    // The texts may carry bytes from outside (file contents, paths); the bus
    // takes only UTF-8, and a reply that cannot be built answers nothing.
    const QByteArray text = QString::fromUtf8(n >= 0 && raw ? raw : "").toUtf8();
    free(raw);
    int r = sd_bus_reply_method_errorf(m, name, "%s", text.constData());
    if (r < 0) r = sd_bus_reply_method_errorf(m, name, "%s", "");
    return r;
}

QString AccessControlDbus::GetMode(sd_bus_message* m, const QString& qname) {
    ConfigManager* cache = ConfigManager::Instance();
    const std::string name = qname.toStdString();
    ModeData mode = cache->GetCache(cache->modeMap, name);
    if (mode.object.empty() || mode.mode.empty()) {
        if (!ConfigManager::GetEntityInfo(name).IsValid()) {
            AcLog(LOG_WARNING, "GetMode data IsValid failed!");
            ReplyError(m, SD_BUS_ERROR_INVALID_ARGS, "Invalid arguments");
            return QString();
        }
        // A known object without a mode of its own is enforced as a blacklist.
        mode.object = name;
        mode.mode = kModeBlacklist;
    }
    return QString::fromStdString(ToJsonText(mode));
}

QString AccessControlDbus::GetEntity(sd_bus_message* m, const QString& qname) {
    EntityInfoData entity = ConfigManager::GetEntityInfo(qname.toStdString());
    if (!entity.IsValid()) {
        AcLog(LOG_WARNING, "GetEntity data IsValid failed!");
        ReplyError(m, SD_BUS_ERROR_INVALID_ARGS, "GetEntity data not valid.");
        return QString();
    }
    return QString::fromStdString(ToJsonText(entity));
}

QString AccessControlDbus::GetPolicy(sd_bus_message* m, const QString& qname) {
    ConfigManager* cache = ConfigManager::Instance();
    const std::string name = qname.toStdString();
    EntityInfoData entity = ConfigManager::GetEntityInfo(name);
    if (!entity.IsValid()) {
        AcLog(LOG_WARNING, "GetPolicy data IsValid failed!");
        ReplyError(m, SD_BUS_ERROR_INVALID_ARGS, "GetCache failed");
        return QString();
    }
    if (entity.type != kEntityTypeSubject) {
        PolicyData policy;
        policy.version = "1.0";
        cache->GetObjectPolicy(name, policy);
        return QString::fromStdString(ToJsonText(policy));
    }
    PolicyData policy = cache->GetCache(cache->policyMap, name);
    // A subject without rules reads as one empty entry, not as an error.
    if (!policy.IsValid()) policy.policies.push_back(ACPolicy{name, {}});
    return QString::fromStdString(ToJsonText(policy));
}

QList<QString> AccessControlDbus::ListEntity(sd_bus_message*) {
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
    return result;
}
