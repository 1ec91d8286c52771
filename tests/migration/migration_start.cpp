// The start-up maintenance as a process of its own, so that a test can
// start the service twice the way a machine does.
#include "config-manager.h"
#include "policy-migration.h"

int main() {
    ConfigManager::ProtectConfig();
    ConfigManager::Instance()->InitCache();
    PolicyMigrationHelper::Instance()->MigrateAll();
    PolicyMigrationHelper::RenameConfigFileExtend();
    return 0;
}
