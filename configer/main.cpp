#include <QCoreApplication>

#include "config-manager.h"
#include "configer.h"
#include "installed.h"
#include "policy-migration-helper.h"

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // What it reads the trees and explains decisions with, as the service holds it.
    Installed<PolicyMigrationHelper> packages;
    Installed<ConfigManager> cache;
    return RunConfiger(argc, argv);
}
