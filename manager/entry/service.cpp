#include "service.h"

#include <chrono>

#include "ac-log.h"
#include "startup.h"

namespace {

// How long stopping gives the watcher's event loop to end.
constexpr unsigned long kWorkerStopMs = 3000;
// How long stopping gives a pending reload of the bus daemons: the burst's
// 300 ms pause, at most once more, and the command.
constexpr std::chrono::milliseconds kReloadStop{2000};

}  // namespace

void WorkerThread::run() {
    FileWatcher::Instance()->WatchConfigPath();
    exec();
}

SarvService::SarvService() { WireLayers(*cache, *adapters); }

SarvService::~SarvService() { StopThreads(); }

void SarvService::StopThreads() {
    // Waiting (briefly) keeps a running thread from being destroyed with
    // the plug-in, which would abort the host.
    worker.quit();
    worker.wait(kWorkerStopMs);
    // The watcher, now stopped, may have asked for one.
    if (!WaitForBusDaemonReload(kReloadStop)) AcLog(LOG_ERR, "stop: the reload of the bus daemons is still running");
    pis.Stop();
}
