// The four functions the host daemon drives the plug-in with, and the
// threads they start.
#include <QThread>

#include "ac-dbus-service.h"
#include "ac-log.h"
#include "sarv-build-paths.h"
#include "service.h"
#include "startup.h"

// The build hides every other symbol: these four are all the host may look up.
#define SARV_PLUGIN_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

// The plug-in's service, made by the first start() on the host's thread
// (its Qt objects belong to that thread, as the host's own do), kept across
// stop() and start() (a second start finds the cache and the adapters of the
// first) and destroyed when the plug-in is unloaded.
SarvService& Plugin() {
    static SarvService service;
    return service;
}

}  // namespace

SARV_PLUGIN_ENTRY const char* pluginID() { return "sarv-ac-manager"; }

SARV_PLUGIN_ENTRY void start() {
    AcLog(LOG_INFO, "%s: %d %s", "start", 31, pluginID());
    SarvService& service = Plugin();
    RunStartupMaintenance(service);
    service.worker.start(QThread::InheritPriority);
    int r = service.adapters->LoadAdapters(kAdapterFolder);
    if (r != 0) AcLog(LOG_ERR, "LoadAdapters failed! res = %d\n", r);
    service.pis.start(QThread::InheritPriority);
    if (start_ac_dbus() != 0) AcLog(LOG_ERR, "start_ac_dbus failed!");
}

SARV_PLUGIN_ENTRY void stop() {
    AcLog(LOG_INFO, "%s: %d %s", "stop", 58, pluginID());
    stop_ac_dbus();
    Plugin().StopThreads();
}

SARV_PLUGIN_ENTRY void restart() {
    AcLog(LOG_INFO, "%s: %d %s", "restart", 67, pluginID());
    Plugin();  // the bus methods answer from its members, even without a start() before
    stop_ac_dbus();
    if (start_ac_dbus() != 0) AcLog(LOG_ERR, "restart_ac_dbus failed!");
}
