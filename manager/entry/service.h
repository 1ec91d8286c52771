// The one owner of every subsystem's state of the plug-in and the program.
#pragma once

#include <QThread>

#include "access-control-dbus.h"
#include "adapter-manager.h"
#include "config-manager.h"
#include "configfile-watcher.h"
#include "installed.h"
#include "pid-info-service.h"
#include "policy-migration-helper.h"

// Hosts the folder watcher.
class WorkerThread : public QThread {
protected:
    void run() override;
};

// Members are made in the order they are declared, each after everything
// it uses, and destroyed in the reverse order:
//   packages  the package database, read by the cache, the migration and
//             the bus methods;
//   cache     the three trees in memory; the constructor then hands it its
//             callbacks (WireLayers), which reach the members below;
//   watcher   takes changes made on disk into the cache;
//   adapters  receive the pushes of the cache and the bus methods;
//   bus       the methods behind the bus interface;
//   pis       the PID information socket, on a thread of its own;
//   worker    the thread the watcher runs on.
// The destructor first stops the two threads, and waits for the reload of
// the bus daemons that the watcher may have asked for, so that nothing
// still runs on a member when the members go; the bus loop, which runs on
// a caller's thread, must have ended before. X::Instance() returns the
// member of class X while this object lives; one made while another lives
// takes over until it goes (a test's fresh service inside its program's).
class SarvService {
public:
    SarvService();
    ~SarvService();
    SarvService(const SarvService&) = delete;
    SarvService& operator=(const SarvService&) = delete;

    // Ends the watcher's event loop, the reload of the bus daemons and the
    // PID thread, each waited for briefly; safe when they never ran.
    void StopThreads();

    Installed<PolicyMigrationHelper> packages;
    Installed<ConfigManager> cache;
    Installed<FileWatcher> watcher;
    Installed<AdapterManager> adapters;
    Installed<AccessControlDbus> bus;
    PidInfoService pis;
    WorkerThread worker;
};
