// The service object and its four read-only queries. The queries answer any
// caller from the cache, check nobody and write no audit record.
#include "access-control-dbus.h"

#include <systemd/sd-bus.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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
    // Layered under the cache's read lock, exactly as GetEntity sees each
    // name, so that a change from the watcher thread cannot move the maps
    // under the walk; the package database and the encoding run after it is
    // released.
    std::vector<std::pair<std::string, EntityInfoData>> merged;
    {
        std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
        merged.reserve(cache->entityMap.size());
        for (const auto& [name, files] : cache->entityMap) {
            // Every file of this name was deleted: the name is gone.
            if (files.empty()) continue;
            merged.emplace_back(name, LayerFiles(files));
        }
    }
    QList<QString> result;
    result.reserve(static_cast<qsizetype>(merged.size()));
    for (auto& [name, entity] : merged) {
        if (entity.subtype == kEntitySubtypePackage && entity.attrs.exes.empty())
            entity.attrs.exes = PolicyMigrationHelper::Instance()->QueryPackageFileList(name.c_str());
        result.append(QString::fromStdString(ToJsonText(entity)));
    }
    return result;
}
