// sarv-ac-manager: the start-up maintenance on its own, or the labelling of
// one entity's executables with --update NAME.
#include <QCoreApplication>
#include <cstring>

#include "config-manager.h"
#include "config-protection.h"
#include "policy-propagation.h"
#include "startup.h"

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    RunStartupMaintenance();
    set_and_start_service_status();
    if (argc == 3 && std::strcmp(argv[1], "--update") == 0) {
        ConfigManager* cm = ConfigManager::Instance();
        EntityInfoData entity = cm->GetCache(cm->entityMap, argv[2]);
        if (entity.IsValid()) SetAppElfOlmsecAttr(entity);
        return 0;
    }
    return app.exec();
}
