#include "startup.h"

#include <string>

#include "ac-log.h"
#include "ac-signal.h"
#include "service.h"

void WireLayers(ConfigManager& cache, AdapterManager& adapters) {
    CacheCallbacks callbacks;
    callbacks.watching = [] {
        if (is_dbusdaemon_early_then_sarvconfig() == 1) ReloadBusDaemons();
    };
    callbacks.changed = [](const char* signal, const std::string& change) { EmitAcSignal(signal, "", change); };
    callbacks.push = [&adapters](const std::string& object) { return adapters.SetPolicy(object).code; };
    cache.SetCallbacks(std::move(callbacks));
}

void RunStartupMaintenance(SarvService& service) {
    int r = service.cache->ProtectConfig();
    if (r != 0) AcLog(LOG_ERR, "ProtectConfig failed! res = %d\n", r);
    ConfigManager::RemoveStaleTemporaries();
    r = service.cache->InitCache();
    if (r != 0) AcLog(LOG_ERR, "InitCache failed! res = %d\n", r);
    service.packages->MigrateAll();
    PolicyMigrationHelper::RenameConfigFileExtend();
}
