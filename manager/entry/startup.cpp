#include "startup.h"

#include <mutex>
#include <string>

#include "ac-log.h"
#include "ac-signal.h"
#include "adapter-manager.h"
#include "config-manager.h"
#include "policy-migration-helper.h"

void WireLayers() {
    static std::once_flag once;
    std::call_once(once, [] {
        CacheCallbacks callbacks;
        callbacks.watching = [] {
            if (is_dbusdaemon_early_then_sarvconfig() == 1) ReloadBusDaemons();
        };
        callbacks.changed = [](const char* signal, const std::string& change) { EmitAcSignal(signal, "", change); };
        callbacks.push = [](const std::string& object) { return AdapterManager::Instance()->SetPolicy(object).code; };
        ConfigManager::Instance()->SetCallbacks(std::move(callbacks));
    });
}

void RunStartupMaintenance() {
    WireLayers();
    int r = ConfigManager::Instance()->ProtectConfig();
    if (r != 0) AcLog(LOG_ERR, "ProtectConfig failed! res = %d\n", r);
    ConfigManager::RemoveStaleTemporaries();
    r = ConfigManager::Instance()->InitCache();
    if (r != 0) AcLog(LOG_ERR, "InitCache failed! res = %d\n", r);
    PolicyMigrationHelper::Instance()->MigrateAll();
    PolicyMigrationHelper::RenameConfigFileExtend();
}
