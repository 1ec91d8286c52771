// The world the inspector tests run in: the sandbox, the program's trusted
// path, the service hosted by sarvd on the private bus, the configuration
// the service starts from, and a recorder of the calls sent to it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "configfile-helper.h"

namespace insptest {

inline constexpr char kTrustedInspectorPath[] = "/usr/bin/sarv-ac-manager-tools";

// True inside tests/sandbox/sarv-sandbox: /usr is an overlay whose changes
// never reach the machine.
bool InsideSandbox();

// Installs `program` (a file) at the trusted path, inside the sandbox only.
bool InstallAtTrustedPath(const std::string& program);

// Makes the calling process run from the trusted path: copies its own
// executable there and executes it again with the same arguments. Returns
// only when the process already runs from there; refuses (and exits) when
// not inside the sandbox.
void RunFromTrustedPath(char** argv);

// Empties the three configuration trees (the adapter folder stays).
void ClearConfigTrees();

template <typename T>
std::string WriteRecord(const std::string& root, const T& record) {
    const std::string path = root + GetConfigFileName(record);
    ConfigFileHelper::UpdateFile(path, record);
    return path;
}

EntityInfoData ObjectRecord(const std::string& name, const std::string& subtype, std::vector<std::string> operations);
EntityInfoData SubjectRecord(const std::string& exe);
ModeData ModeRecord(const std::string& object, const std::string& mode);
// One subject, one object, one operation per entry of `grants`.
PolicyData PolicyRecord(const std::string& subject, const std::vector<std::pair<std::string, std::string>>& grants);

// Puts the example adapter into the adapter folder, serving every file
// object and publishing into /tmp.
void InstallExampleAdapter();

// The service as it runs on a real system: the host daemon sarvd with the
// manager plug-in, on this process's system bus.
class ServiceProcess {
public:
    ~ServiceProcess();
    // Waits until the service owns its bus name.
    bool Start();
    void Stop();
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// Every method call addressed to the service, seen from a bus monitor.
class CallRecorder {
public:
    struct Call {
        std::string member;
        std::vector<std::string> args;  // string arguments
    };

    CallRecorder();
    ~CallRecorder();
    bool ok() const { return ok_; }
    // The calls sent since the last Take, once the monitor has seen all of
    // them (a marker call sent now must come through first).
    std::vector<Call> Take();

private:
    void Run();

    void* bus_ = nullptr;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Call> calls_;
    int marker_ = 0;
};

}  // namespace insptest
