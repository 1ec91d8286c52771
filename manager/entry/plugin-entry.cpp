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

// The plug-in's service, made when the plug-in is loaded (before any entry
// point runs) and destroyed when it is unloaded, after all that start()
// made: a second start() after stop() finds the cache and the adapters of
// the first. (Made by the first start() instead, it went at exit before
// Qt's objects of that start, and parts of its threads' Qt data leaked.)
// The program, built from the same sources, leaves it idle and makes one of
// its own in main().
SarvService plugin_service;

}  // namespace

SARV_PLUGIN_ENTRY const char* pluginID() { return "sarv-ac-manager"; }

SARV_PLUGIN_ENTRY void start() {
    AcLog(LOG_INFO, "%s: %d %s", "start", 31, pluginID());
    SarvService& service = plugin_service;
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
    plugin_service.StopThreads();
}

SARV_PLUGIN_ENTRY void restart() {
    AcLog(LOG_INFO, "%s: %d %s", "restart", 67, pluginID());
    stop_ac_dbus();
    if (start_ac_dbus() != 0) AcLog(LOG_ERR, "restart_ac_dbus failed!");
}
