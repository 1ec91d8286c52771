// sarv-ac-manager: the start-up maintenance on its own, or the labelling of
// one entity's executables with --update NAME.
#include <QCoreApplication>
#include <cstring>

#include "config-protection.h"
#include "policy-propagation.h"
#include "service.h"
#include "startup.h"

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    SarvService service;
    RunStartupMaintenance(service);
    set_and_start_service_status();
    if (argc == 3 && std::strcmp(argv[1], "--update") == 0) {
        ConfigManager& cm = *service.cache;
        EntityInfoData entity = cm.GetCache(cm.entityMap, argv[2]);
        if (entity.IsValid()) SetAppElfOlmsecAttr(entity);
        return 0;
    }
    return app.exec();
}
