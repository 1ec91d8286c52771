#include "policy-migration-helper.h"

PolicyMigrationHelper* PolicyMigrationHelper::Instance() {
    static PolicyMigrationHelper instance;
    return &instance;
}

void PolicyMigrationHelper::OpenDb() {}
void PolicyMigrationHelper::CloseDb() {}
QString PolicyMigrationHelper::QueryFilePackage(const char*) { return QString(); }
std::vector<std::string> PolicyMigrationHelper::QueryPackageFileList(const char*) { return {}; }
int is_elf_file(const char*) { return 0; }
