#include "adapter-manager.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ac-log.h"
#include "installed.h"
#include "config-manager.h"
#include "run-program.h"
#include "unique-fd.h"

namespace {

// Sub-folders deeper than this are not scanned; a plug-in folder has no
// reason to nest, and the bound keeps a hostile tree from exhausting the
// stack.
constexpr int kMaxAdapterFolderDepth = 16;

// The bus daemons reload their configuration on SIGHUP.
const std::vector<std::string> kReloadCommand = {"killall", "-s", "1", "dbus-daemon"};

const char* DlErrorText() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}

}  // namespace

AcAdapterInterface* GetAcAdapter(const std::string& path) {
    // Bind every symbol now: with lazy binding a plug-in missing a symbol
    // would take the whole host daemon down at its first call instead of
    // failing here.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        AcLog(LOG_ERR, "GetAcAdapter dlopen failed: %s", DlErrorText());
        return nullptr;
    }
    dlerror();
    auto entry = reinterpret_cast<GetAcAdapterFunction>(dlsym(handle, "GetAcAdapter"));
    if (!entry) {
        AcLog(LOG_ERR, "GetAcAdapter dlsym failed: %s", DlErrorText());
        dlclose(handle);
        return nullptr;
    }
    AcAdapterInterface* adapter = nullptr;
    try {
        adapter = entry();
    } catch (...) {
        adapter = nullptr;
    }
    if (!adapter) {
        AcLog(LOG_ERR, "GetAcAdapter GetAcAdapter failed path: %s", path.c_str());
        dlclose(handle);
        return nullptr;
    }
    return adapter;
}

AdapterManager* AdapterManager::Instance() { return InstalledSlot<AdapterManager>::Get(); }

// Adapters and their libraries stay: other threads may still be inside one.
AdapterManager::~AdapterManager() {
    std::unique_lock<std::shared_mutex> lock(registry_lock_);
    registry_.clear();
}

size_t AdapterManager::AdapterCount() const {
    std::shared_lock<std::shared_mutex> lock(registry_lock_);
    return registry_.size();
}

int AdapterManager::LoadAdapters(const std::string& dir) {
    std::set<std::pair<dev_t, ino_t>> visited;
    return ScanFolder(dir, visited, 0);
}

int AdapterManager::ScanFolder(const std::string& dir, std::set<std::pair<dev_t, ino_t>>& visited, int depth) {
    UniqueDir folder(opendir(dir.c_str()));
    if (!folder) {
        AcLog(LOG_ERR, "AdapterManager::LoadAdapters opendir[%s] error: %m\n", dir.c_str());
        return -2;
    }
    struct stat self {};
    if (fstat(dirfd(folder.get()), &self) == 0) {
        // A link back up the tree would otherwise be scanned forever.
        if (!visited.insert({self.st_dev, self.st_ino}).second) return 0;
    }

    while (struct dirent* entry = readdir(folder.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            AcLog(LOG_ERR, "AdapterManager::LoadAdapters invalid path: %s", dir.c_str());
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            AcLog(LOG_ERR, "AdapterManager::LoadAdapters %s/\n", name.c_str());
            if (depth < kMaxAdapterFolderDepth) ScanFolder(path + "/", visited, depth + 1);
            continue;
        }
        AcLog(LOG_INFO, "AdapterManager::LoadAdapters %s", name.c_str());
        AcAdapterInterface* adapter = GetAcAdapter(path);
        if (!adapter) continue;

        std::list<std::string> names;
        try {
            names = adapter->GetObjectNames();
        } catch (...) {
            AcLog(LOG_ERR, "AdapterManager::LoadAdapters %s failed to name its objects", name.c_str());
            continue;
        }
        {
            std::unique_lock<std::shared_mutex> lock(registry_lock_);
            for (const auto& object : names) registry_[object] = adapter;
        }
        try {
            adapter->SetEntityInfoGetter(&ConfigManager::GetEntityInfo);
        } catch (...) {
            AcLog(LOG_ERR, "AdapterManager::LoadAdapters %s refused the entity lookup", name.c_str());
        }
    }
    return 0;
}

AcAdapterInterface* AdapterManager::GetAdapter(const std::string& name) {
    {
        std::shared_lock<std::shared_mutex> lock(registry_lock_);
        auto it = registry_.find(name);
        if (it != registry_.end()) return it->second;
    }
    // Looked up outside the registry lock: the cache takes its own.
    EntityInfoData entity = ConfigManager::GetEntityInfo(name);
    if (!entity.IsValid() || entity.type != kEntityTypeObject || entity.subtype != kEntitySubtypeFile) return nullptr;
    std::shared_lock<std::shared_mutex> lock(registry_lock_);
    auto it = registry_.find(kEntitySubtypeFile);
    return it == registry_.end() ? nullptr : it->second;
}

Status AdapterManager::SetPolicy(const std::string& name) {
    ConfigManager* cache = ConfigManager::Instance();
    EntityInfoData entity = ConfigManager::GetEntityInfo(name);
    if (entity.subtype == kEntitySubtypeDBus) {
        if (entity.IsValid() && entity.type == kEntityTypeObject) RequestBusDaemonReload();
        return {};
    }

    AcAdapterInterface* adapter = GetAdapter(name);
    if (!adapter) {
        Status none{0, "AdapterManager::SetPolicy adapter not exist: " + name};
        AcLog(LOG_ERR, "%s", LogPrintable(none.reason).c_str());
        return none;
    }

    ModeData mode = cache->GetCache(cache->modeMap, name);
    if (mode.object.empty()) mode.object = name;
    PolicyData policy;
    policy.version = "1.0";
    cache->GetObjectPolicy(mode.object, policy);

    int r;
    try {
        r = adapter->SetPolicy(mode, policy);
    } catch (...) {
        r = -EIO;
    }
    if (r != 0) {
        Status failed{r, "AdapterManager::SetPolicy " + name + "failed: " + std::to_string(r)};
        AcLog(LOG_ERR, "%s", LogPrintable(failed.reason).c_str());
        return failed;
    }
    return {};
}

// ---- reloading the bus daemons ------------------------------------------------------
//
// The requesting threads (bus and watcher) and the reload thread share the
// request flag and the thread's identity under one mutex. A request that
// arrives while the command runs makes the same thread wait and reload once
// more, so no change is left without a reload. The thread is joined, never
// detached: the plug-in's stop waits for it, so that no code of the plug-in
// runs after the host has been told it may unload it.

namespace {

// Owns the reload thread. One left running at process exit is let go
// rather than taking the process down.
struct ReloadThread {
    std::thread thread;
    ~ReloadThread() {
        if (thread.joinable()) thread.detach();
    }
};

std::mutex reload_mutex;
std::condition_variable reload_done;
bool is_still_append_sighub = false;
std::thread::id tid;  // the reload thread; default (no thread) when none runs
ReloadThread reload_thread;

// Runs "killall -s 1 dbus-daemon" without a shell; the exit status, or -1
// when it could not be started.
int RunKillall() {
    const ProgramResult run = RunProgram(kReloadCommand);
    if (run.error != 0) errno = run.error;
    return run.ExitCode();
}

void kill_sigup_to_dbusdaemon() {
    std::unique_lock<std::mutex> lock(reload_mutex);
    for (;;) {
        while (is_still_append_sighub) {
            is_still_append_sighub = false;
            lock.unlock();
            usleep(300000);
            lock.lock();
        }
        lock.unlock();
        if (RunKillall() != 0) AcLog(LOG_ERR, "killall -s 1 dbus-daemon failed %m");
        lock.lock();
        if (!is_still_append_sighub) break;
    }
    tid = std::thread::id();
    reload_done.notify_all();
}

}  // namespace

void RequestBusDaemonReload() {
    std::lock_guard<std::mutex> lock(reload_mutex);
    if (is_still_append_sighub) return;
    is_still_append_sighub = true;
    if (tid != std::thread::id()) return;
    // The previous thread has done its work and is only returning.
    if (reload_thread.thread.joinable()) reload_thread.thread.join();
    try {
        reload_thread.thread = std::thread(kill_sigup_to_dbusdaemon);
        tid = reload_thread.thread.get_id();
    } catch (const std::exception&) {
        is_still_append_sighub = false;
        AcLog(LOG_ERR, "killall -s 1 dbus-daemon failed: no thread");
    }
}

bool BusDaemonReloadPending() {
    std::lock_guard<std::mutex> lock(reload_mutex);
    return is_still_append_sighub || tid != std::thread::id();
}

bool WaitForBusDaemonReload(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(reload_mutex);
    if (!reload_done.wait_for(lock, timeout, [] { return tid == std::thread::id(); })) return false;
    if (reload_thread.thread.joinable()) reload_thread.thread.join();
    return true;
}

// ---- the reload when watching starts ------------------------------------------------

namespace {

const char kBusSocket[] = "/run/dbus/system_bus_socket";
const char kBusPolicyFile[] = "/var/lib/olm/sarv/policy.d/tarnwall.policy";

}  // namespace

int is_dbusdaemon_early_then_sarvconfig() {
    struct stat bus {}, policy {};
    if (stat(kBusSocket, &bus) != 0 || stat(kBusPolicyFile, &policy) != 0) return 0;
    return bus.st_ctim.tv_sec <= policy.st_ctim.tv_sec ? 1 : 0;
}

// Asks the bus daemons to reload their configuration. The command line is
// fixed and goes straight to exec: no shell ever sees it.
void ReloadBusDaemons() {
    const ProgramResult run = RunProgram(kReloadCommand);
    if (!run.started) AcLog(LOG_ERR, "killall -s 1 dbus-daemon: %s", strerror(run.error));
}
