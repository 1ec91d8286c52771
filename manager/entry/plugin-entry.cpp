// The four functions the host daemon drives the plug-in with, and the
// threads they start.
#include <QThread>

#include "ac-dbus-service.h"
#include "ac-log.h"
#include "adapter-manager.h"
#include "configfile-watcher.h"
#include "pid-info-service.h"
#include "sarv-build-paths.h"
#include "startup.h"

// The build hides every other symbol: these four are all the host may look up.
#define SARV_PLUGIN_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

// How long stop() gives the watcher's event loop to end.
constexpr unsigned long kWorkerStopMs = 3000;
// How long stop() gives a pending reload of the bus daemons: the burst's
// 300 ms pause, at most once more, and the command.
constexpr std::chrono::milliseconds kReloadStop{2000};

}  // namespace

// Hosts the folder watcher.
class WorkerThread : public QThread {
protected:
    void run() override {
        FileWatcher::Instance()->WatchConfigPath();
        exec();
    }
};

static WorkerThread worker;
static PidInfoService pis;

SARV_PLUGIN_ENTRY const char* pluginID() { return "sarv-ac-manager"; }

SARV_PLUGIN_ENTRY void start() {
    AcLog(LOG_INFO, "%s: %d %s", "start", 31, pluginID());
    RunStartupMaintenance();
    worker.start(QThread::InheritPriority);
    int r = AdapterManager::Instance()->LoadAdapters(kAdapterFolder);
    if (r != 0) AcLog(LOG_ERR, "LoadAdapters failed! res = %d\n", r);
    pis.start(QThread::InheritPriority);
    if (start_ac_dbus() != 0) AcLog(LOG_ERR, "start_ac_dbus failed!");
}

SARV_PLUGIN_ENTRY void stop() {
    AcLog(LOG_INFO, "%s: %d %s", "stop", 58, pluginID());
    stop_ac_dbus();
    // Waiting (briefly) keeps a running thread from being destroyed with
    // the plug-in, which would abort the host.
    worker.quit();
    worker.wait(kWorkerStopMs);
    // The watcher, now stopped, may have asked for one.
    if (!WaitForBusDaemonReload(kReloadStop)) AcLog(LOG_ERR, "stop: the reload of the bus daemons is still running");
    pis.Stop();
}

SARV_PLUGIN_ENTRY void restart() {
    AcLog(LOG_INFO, "%s: %d %s", "restart", 67, pluginID());
    stop_ac_dbus();
    if (start_ac_dbus() != 0) AcLog(LOG_ERR, "restart_ac_dbus failed!");
}
