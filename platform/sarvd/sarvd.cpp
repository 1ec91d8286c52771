// sarvd: the suite's host security daemon.
//
// It loads plug-ins (shared objects) and drives each through four entry
// points with C linkage:
//   const char* pluginID()  any time; names the plug-in
//   void start()            once per load, on a thread of its own; may block
//                           for the whole life of the service
//   void stop()             from another thread, on SIGTERM or SIGINT
//   void restart()          on SIGHUP, on a new thread that may block again
// The daemon exits when no start or restart call of any plug-in is running
// any more. A plug-in whose start returned without being stopped (its service
// could not run) may still have threads of its own; it is stopped before the
// daemon exits, so that nothing of it runs while the process tears down.
//
//   sarvd [PLUGIN.so | FOLDER]...
// With no argument the plug-ins of the default folder are loaded; a folder
// contributes its non-hidden "*.so" files in name order.

#include <dirent.h>
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifndef SARVD_PLUGIN_DIR
#define SARVD_PLUGIN_DIR "/usr/lib/sarvd/plugins"
#endif

namespace {

using IdFunction = const char* (*)();
using EntryFunction = void (*)();

// A stop that has not made the plug-in's calls return is repeated after
// this long: the signal may have come before the plug-in was serving.
constexpr auto kStopRepeat = std::chrono::seconds(5);

struct Plugin {
    std::string path;
    std::string id;
    void* handle = nullptr;
    EntryFunction start = nullptr;
    EntryFunction stop = nullptr;
    EntryFunction restart = nullptr;
    // Guarded by g_mutex.
    int serving = 0;            // start and restart calls still running
    bool stop_running = false;  // a stop call has not returned yet
    bool stopped = false;       // stop has been called at least once
    std::chrono::steady_clock::time_point last_stop{};
};

struct Task {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
};

std::mutex g_mutex;
int g_wake_fd = -1;  // written whenever a plug-in call returns

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    fprintf(stderr, "sarvd: %s\n", line);
    fflush(stderr);
}

void Wake() {
    uint64_t one = 1;
    (void)!write(g_wake_fd, &one, sizeof one);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> PluginsOfFolder(const std::string& folder) {
    std::vector<std::string> paths;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        Log("cannot read plug-in folder %s: %s", folder.c_str(), strerror(errno));
        return paths;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || name.size() < 4 || name.compare(name.size() - 3, 3, ".so") != 0)
            continue;
        std::string path = folder + (folder.back() == '/' ? "" : "/") + name;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) paths.push_back(path);
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::unique_ptr<Plugin> LoadPlugin(const std::string& path, const std::list<std::unique_ptr<Plugin>>& loaded) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        Log("cannot load %s: %s", path.c_str(), why ? why : "unknown error");
        return nullptr;
    }
    for (const auto& p : loaded) {
        if (p->handle == handle) {
            Log("%s is already loaded", path.c_str());
            return nullptr;
        }
    }
    auto plugin = std::make_unique<Plugin>();
    plugin->path = path;
    plugin->handle = handle;
    auto id = reinterpret_cast<IdFunction>(dlsym(handle, "pluginID"));
    plugin->start = reinterpret_cast<EntryFunction>(dlsym(handle, "start"));
    plugin->stop = reinterpret_cast<EntryFunction>(dlsym(handle, "stop"));
    plugin->restart = reinterpret_cast<EntryFunction>(dlsym(handle, "restart"));
    if (!id || !plugin->start || !plugin->stop || !plugin->restart) {
        // Not ours to drive; it stays mapped, since unloading code whose
        // constructors have run is not safe in general.
        Log("%s lacks an entry point (pluginID, start, stop, restart); not used", path.c_str());
        return nullptr;
    }
    const char* name = id();
    plugin->id = name ? name : "";
    for (const auto& p : loaded) {
        if (p->id == plugin->id) {
            Log("%s: a plug-in named \"%s\" is already loaded; not used", path.c_str(), plugin->id.c_str());
            return nullptr;
        }
    }
    Log("loaded \"%s\" from %s", plugin->id.c_str(), path.c_str());
    return plugin;
}

// Runs a start or restart call; its plug-in was counted as serving before.
void Serve(Plugin* plugin, EntryFunction entry, const char* what) {
    try {
        entry();
    } catch (...) {
        Log("\"%s\": %s ended with an exception", plugin->id.c_str(), what);
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        --plugin->serving;
    }
    Log("\"%s\": %s returned", plugin->id.c_str(), what);
    Wake();
}

void Stop(Plugin* plugin) {
    try {
        plugin->stop();
    } catch (...) {
        Log("\"%s\": stop ended with an exception", plugin->id.c_str());
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        plugin->stop_running = false;
    }
    Wake();
}

template <typename F>
bool Spawn(std::list<Task>& tasks, F body) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread thread([finished, body]() {
            body();
            *finished = true;
        });
        tasks.push_back(Task{std::move(thread), finished});
        return true;
    } catch (const std::system_error& e) {
        Log("cannot start a thread: %s", e.what());
        return false;
    }
}

void JoinFinished(std::list<Task>& tasks) {
    for (auto it = tasks.begin(); it != tasks.end();) {
        if (*it->finished) {
            it->thread.join();
            it = tasks.erase(it);
        } else {
            ++it;
        }
    }
}

// Caller holds g_mutex.
void BeginStop(std::list<Task>& tasks, Plugin* plugin) {
    plugin->stop_running = true;
    plugin->stopped = true;
    plugin->last_stop = std::chrono::steady_clock::now();
    Log("\"%s\": stop", plugin->id.c_str());
    if (!Spawn(tasks, [plugin] { Stop(plugin); })) plugin->stop_running = false;
}

void Usage(FILE* out) {
    fprintf(out,
            "usage: sarvd [PLUGIN.so | FOLDER]...\n"
            "Loads the given plug-ins (default: the folder %s) and runs them.\n"
            "SIGTERM or SIGINT stops them, SIGHUP restarts them.\n",
            SARVD_PLUGIN_DIR);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "-h" || arg == "--help")) {
            Usage(stdout);
            return 0;
        } else if (options && !arg.empty() && arg[0] == '-') {
            Usage(stderr);
            return 2;
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty()) args.push_back(SARVD_PLUGIN_DIR);

    // Blocked before any plug-in is loaded, so that every thread a plug-in
    // creates inherits the mask and the signals reach only the signalfd.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        Log("cannot block signals");
        return 1;
    }
    int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signal_fd < 0 || g_wake_fd < 0) {
        Log("cannot set up the signal descriptors: %s", strerror(errno));
        return 1;
    }

    std::list<std::unique_ptr<Plugin>> plugins;
    for (const auto& arg : args) {
        std::vector<std::string> paths = IsFolder(arg) ? PluginsOfFolder(arg) : std::vector<std::string>{arg};
        for (const auto& path : paths)
            if (auto plugin = LoadPlugin(path, plugins)) plugins.push_back(std::move(plugin));
    }
    if (plugins.empty()) {
        Log("no plug-in loaded");
        return 1;
    }

    std::list<Task> tasks;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto& p : plugins) {
            Plugin* plugin = p.get();
            ++plugin->serving;
            Log("\"%s\": start", plugin->id.c_str());
            if (!Spawn(tasks, [plugin] { Serve(plugin, plugin->start, "start"); })) --plugin->serving;
        }
    }

    bool stopping = false;
    for (;;) {
        JoinFinished(tasks);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            bool busy = false;
            for (auto& p : plugins) busy = busy || p->serving > 0 || p->stop_running;
            if (!busy) break;
            if (stopping) {
                auto now = std::chrono::steady_clock::now();
                for (auto& p : plugins) {
                    if (p->serving > 0 && !p->stop_running && now - p->last_stop >= kStopRepeat) {
                        Log("\"%s\" is still running", p->id.c_str());
                        BeginStop(tasks, p.get());
                    }
                }
            }
        }
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {g_wake_fd, POLLIN, 0}};
        if (poll(fds, 2, stopping ? 1000 : -1) < 0 && errno != EINTR) {
            Log("poll: %s", strerror(errno));
            return 1;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            (void)!read(g_wake_fd, &count, sizeof count);
        }
        if (!(fds[0].revents & POLLIN)) continue;
        signalfd_siginfo info {};
        if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;

        std::lock_guard<std::mutex> lock(g_mutex);
        if (info.ssi_signo == SIGHUP) {
            if (stopping) continue;
            for (auto& p : plugins) {
                Plugin* plugin = p.get();
                if (plugin->serving == 0) continue;
                ++plugin->serving;
                Log("\"%s\": restart", plugin->id.c_str());
                if (!Spawn(tasks, [plugin] { Serve(plugin, plugin->restart, "restart"); })) --plugin->serving;
            }
            continue;
        }
        if (stopping) {
            // A second request while the plug-ins are still stopping.
            Log("stopping takes too long; exiting now");
            _exit(1);
        }
        stopping = true;
        for (auto& p : plugins)
            if (p->serving > 0) BeginStop(tasks, p.get());
    }

    for (auto& task : tasks) task.thread.join();
    for (auto& p : plugins) {
        if (p->stopped) continue;
        Log("\"%s\": stop", p->id.c_str());
        Stop(p.get());
    }
    Log("every plug-in has returned; exiting");
    return 0;
}
