// What the crash test and the soak share: the real host daemon with the
// plug-in as a child process, a driver of random configuration changes over
// the bus that remembers what the service acknowledged, and the check that
// the trees on disk and the service's cache hold exactly that. Only inside
// the test sandbox, with a private bus.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bus-test-support.h"

namespace robust {

// ---- the service as a process ---------------------------------------------------------

// `sarvd libsarv-acmanager.so`, started and stopped by this object only.
class ServiceProcess {
public:
    ServiceProcess(std::string sarvd, std::string plugin) : sarvd_(std::move(sarvd)), plugin_(std::move(plugin)) {}
    ~ServiceProcess();

    // Starts the daemon and waits until the process owns the bus name.
    bool Start(int seconds = 60);
    // Starts the daemon without waiting (for kills during start-up).
    bool Spawn();
    // SIGKILL, then reaps it.
    void Kill();
    // SIGTERM; the exit status, or -1 when it did not end within `seconds`
    // (it is then killed).
    int Terminate(int seconds = 60);
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // VmRSS of the daemon in KiB, 0 when unknown.
    long RssKiB() const;

private:
    std::string sarvd_;
    std::string plugin_;
    pid_t pid_ = -1;
};

// The process id of the current owner of the service's name, 0 when none.
pid_t ServiceOwnerPid(sd_bus* bus);

// ---- names and the model --------------------------------------------------------------

enum Kind { kMode = 0, kEntity = 1, kPolicy = 2 };
const char* KindName(int kind);

// The names one driver thread changes. Each name belongs to one thread, so
// the order in which the service applied two changes of one name is the
// order in which that thread made them.
struct NamePool {
    std::vector<std::string> modes;     // objects without an entity
    std::vector<std::string> entities;  // index % 4: 0, 1 objects, 2 subjects, 3 either, changing
    std::vector<std::string> subjects;  // subject entities seeded into /etc; the policies' names
};

// Names for `threads` threads, `per_thread` of each kind, made of the given
// prefix and a mix of plain names, names with "/" and "%", a leading ".",
// non-ASCII bytes, and names long enough for the hashed file-name form.
std::vector<NamePool> MakePools(const std::string& prefix, int threads, int per_thread);

// The subject entity every policy name stands for (seeded into /etc).
EntityInfoData SeedSubject(const std::string& name);

// What a name may show: the acknowledged state and, after a call whose
// answer was lost with the service, the state that call asked for.
// std::nullopt means "no record".
using State = std::optional<std::string>;
struct Expectation {
    State state;
    bool undetermined = false;
    State alternative;
};

class Model {
public:
    void Acknowledge(int kind, const std::string& name, const State& now);
    void Undetermined(int kind, const std::string& name, const State& wanted);
    std::map<std::string, Expectation> Snapshot(int kind) const;
    // After a check: the state found becomes the acknowledged one.
    void Resolve(int kind, const std::string& name, const State& found);
    bool Knows(int kind, const std::string& name) const;

private:
    mutable std::mutex mutex_;
    std::array<std::map<std::string, Expectation>, 3> names_;
};

// ---- counts -----------------------------------------------------------------------------

enum Method { kSetMode, kDeleteMode, kSetEntity, kDeleteEntity, kSetPolicy, kDeletePolicy, kMethods };
const char* MethodName(int method);

struct Counts {
    std::array<std::atomic<uint64_t>, kMethods> calls{};
    std::atomic<uint64_t> acknowledged{0};
    std::atomic<uint64_t> refused{0};        // InvalidArgs: the service said no
    std::atomic<uint64_t> denied{0};         // AccessDenied: must stay 0
    std::atomic<uint64_t> not_delivered{0};  // no owner of the name: the call never reached a service
    std::atomic<uint64_t> undetermined{0};
    std::atomic<uint64_t> lost{0};
    std::atomic<uint64_t> files_checked{0};
    std::atomic<uint64_t> temporaries{0};
    uint64_t TotalCalls() const;
    std::string Summary() const;
};

// ---- the mutation driver ----------------------------------------------------------------

// Client threads, each on a bus connection of its own, each changing only
// the names of its pool at random, until Stop(). A thread whose call got no
// answer because the service went away records it as undetermined and
// waits for Stop().
class MutationDriver {
public:
    MutationDriver(Model& model, Counts& counts, std::vector<NamePool> pools, std::vector<std::string> objects);
    ~MutationDriver();
    // `pause_us`: upper bound of a random pause between two calls.
    void Start(uint64_t seed, int pause_us = 0);
    void Stop();
    // Calls made since Start.
    uint64_t calls_this_run() const { return calls_this_run_.load(); }

private:
    void Run(size_t index, uint64_t seed, int pause_us);

    Model& model_;
    Counts& counts_;
    std::vector<NamePool> pools_;
    std::vector<std::string> objects_;  // objects the policies may name besides their own
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> calls_this_run_{0};
    std::vector<std::thread> threads_;
};

// ---- the check ------------------------------------------------------------------------

struct CheckResult {
    std::vector<std::string> problems;
    uint64_t files = 0;
    uint64_t temporaries = 0;
    uint64_t undetermined_resolved = 0;
};

// Every file of the three trees parses and has the name its record gives;
// hidden files are counted. For every name the model knows: the service's
// tree on disk and the service's answers on the bus (GetMode, GetEntity,
// GetPolicy, ListEntity) show an allowed state. Undetermined names are
// resolved to what was found. Names the model does not know must have no
// file in the service's tree.
CheckResult CheckAgainstModel(Model& model, BusClient& client);

// The records of one tree on disk (kind -> name -> canonical JSON), with
// every file checked as above.
std::array<std::map<std::string, std::string>, 3> ReadTree(const std::string& root, CheckResult& result);
std::array<std::map<std::string, std::string>, 3> ReadServiceTree(CheckResult& result);

// Canonical text of a record given as JSON; nullopt when it does not parse.
std::optional<std::string> Canonical(int kind, const std::string& json);

// ---- set-up -----------------------------------------------------------------------------

// Empties the three trees, copies the demo configuration (data/demo) into
// /usr/share and /etc, and seeds the pools' subjects into /etc.
void PrepareTrees(const std::string& demo_root, const std::vector<NamePool>& pools);
// Labels this process for the caller check and points the service at the
// fake label tree.
void LabelSelf();

// Seed from the environment variable `name`, or `fallback`.
uint64_t SeedFromEnv(const char* name, uint64_t fallback);
long LongFromEnv(const char* name, long fallback);

// The first `limit` problems, one an indented line, and how many more.
std::string Join(const std::vector<std::string>& lines, size_t limit = 20);

}  // namespace robust
