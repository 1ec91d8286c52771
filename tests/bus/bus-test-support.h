// Tools for tests that talk to the service over a bus. Only inside the test
// sandbox: they start daemons, write into /tmp and change PATH.
#pragma once

#include <systemd/sd-bus.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "config-manager.h"

// A private dbus-daemon that serves as this process's system bus
// (DBUS_SYSTEM_BUS_ADDRESS) for the object's lifetime. Only the daemon it
// started is stopped.
class PrivateBus {
public:
    // With the tests' allow-everything configuration, or with `config`.
    explicit PrivateBus(const std::string& config = "");
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return pid_ > 0 && !address_.empty(); }
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

// Stand-ins for commands the service runs, put first on PATH. Each run
// appends its arguments, joined by blanks, as one line to NAME.log.
class FakeCommands {
public:
    explicit FakeCommands(const std::vector<std::string>& names);
    std::vector<std::string> Runs(const std::string& name) const;
    void Clear(const std::string& name) const;

private:
    std::string dir_;
};

// start_ac_dbus on a thread of its own.
class ServiceRunner {
public:
    ~ServiceRunner();
    // Starts the loop and waits until the service owns its name; false when
    // the loop ended first (its result is then in result()).
    bool Start();
    // stop_ac_dbus, then joins the loop; the loop's result.
    int Stop();
    bool finished() const { return finished_.load(); }
    int result() const { return result_.load(); }

private:
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<int> result_{0};
};

// A plain sd-bus client of the service on the system bus.
class BusClient {
public:
    struct Reply {
        bool ok = false;
        std::string error_name;
        std::string error_message;
        std::string text;               // "s" results
        std::vector<std::string> list;  // "as" results
        int32_t number = 0;             // "i" results
    };

    BusClient();
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    sd_bus* bus() const { return bus_; }
    bool ok() const { return bus_ != nullptr; }

    // A method of the service with one string argument; reads an "s"
    // result when there is one.
    Reply CallString(const std::string& member, const std::string& arg);
    // A method without arguments that answers "as".
    Reply CallList(const std::string& member);
    // A property of the service ('i' or 's').
    Reply GetProperty(const std::string& name, char type);
    // Whether `name` has an owner on the bus.
    bool HasOwner(const std::string& name);

    // Sends one call of `member` whose arguments `fill` appends, then a
    // ping behind it, and counts the replies to the first call that arrive
    // before the ping's answer (the service answers in order, so a second
    // reply would come before it). The first reply is copied to `first`.
    int CountReplies(const std::string& member, const std::function<int(sd_bus_message*)>& fill, Reply* first);

private:
    sd_bus* bus_ = nullptr;
};

// Puts a record into the cache as if it had been read from the tree `root`.
template <typename T>
void PutInCache(ConfigMap<T>& map, const T& record, const std::string& root = kUsrShareFolder) {
    ConfigManager* cache = ConfigManager::Instance();
    std::unique_lock<std::shared_mutex> lock(cache->maps_lock);
    map[GetConfigName(record)][root + GetConfigFileName(record)] = record;
}
EntityInfoData MakeEntity(const std::string& name, const std::string& type, const std::string& subtype,
                          const std::vector<std::string>& operations = {});
ModeData MakeMode(const std::string& object, const std::string& mode);
// One subject's policy: object -> operations.
PolicyData MakePolicy(const std::string& subject,
                      const std::vector<std::pair<std::string, std::vector<std::string>>>& objects);

// Copies an adapter library to FOLDER/FILE (a file of its own, so that it
// loads as a separate adapter) and returns the copy's path.
std::string CopyAdapter(const std::string& library, const std::string& folder, const std::string& file);

// Small file helpers.
void WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);
bool FileExists(const std::string& path);
// Every path below `root` (files and folders), sorted.
std::vector<std::string> ListTree(const std::string& root);
