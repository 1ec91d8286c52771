// Loads the enforcement adapter plug-ins and pushes objects' modes and
// policies to them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <shared_mutex>
#include <string>
#include <utility>

#include "acadapter-interface.h"
#include "status.h"

// Loads one adapter plug-in file; null when it is not one. The library stays
// loaded for the life of the process.
AcAdapterInterface* GetAcAdapter(const std::string& path);

class AdapterManager {
public:
    // The one the service object installed (installed.h); null when none is.
    static AdapterManager* Instance();
    ~AdapterManager();

    // Registers every adapter found in `dir` (which ends with "/") and its
    // sub-folders. 0, or -2 when `dir` cannot be opened.
    int LoadAdapters(const std::string& dir);
    // The adapter serving object `name` (the "file" adapter for file
    // objects without one of their own), or null.
    AcAdapterInterface* GetAdapter(const std::string& name);
    // Pushes the current mode and policy of object `name` to its adapter;
    // an object without an adapter is a success (whose reason says so), and
    // a D-Bus object asks the bus daemons to reload their configuration
    // instead. The code is the adapter's result.
    Status SetPolicy(const std::string& name);

    // Number of object names that have an adapter.
    size_t AdapterCount() const;

private:
    int ScanFolder(const std::string& dir, std::set<std::pair<dev_t, ino_t>>& visited, int depth);

    mutable std::shared_mutex registry_lock_;
    // object name -> adapter (not owned)
    std::map<std::string, AcAdapterInterface*> registry_;
};

// Asks every dbus-daemon to reload its configuration once a burst of
// requests has settled (300 ms without a new one).
void RequestBusDaemonReload();
// Whether a reload is requested or running; for tests and orderly shutdown.
bool BusDaemonReloadPending();
// Waits up to `timeout` for a requested reload to be carried out and its
// thread to end; false when it has not ended by then.
bool WaitForBusDaemonReload(std::chrono::milliseconds timeout);

// 1 when the system bus daemon is not newer than the service's bus policy
// file and must reload its configuration, else 0.
int is_dbusdaemon_early_then_sarvconfig();
// Asks the bus daemons to reload their configuration now, on the calling
// thread (the folder watcher's, when it starts).
void ReloadBusDaemons();
