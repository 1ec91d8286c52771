// The one harness of the end-to-end tests. Only inside tests/sandbox/sarv-sandbox (it writes the
// fixed paths, mounts over /dev/log, changes PATH); every object stops only what it started. A
// program makes one World, then mostly: adapter::Install("camera") (before the service loads
// adapters), Service service; service.Start(); trees::Seed("service"); Service::Reload();
// Client().Call("GetMode", {"camera"}). Cases that differ only in data are rows of a Table().
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

class SarvService;

namespace sarvtest {

// Waits for what another thread or process does, with a limit generous enough for a slow machine.
template <typename F>
bool Eventually(F condition, int seconds = 30) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() > until) return false;
    return true;
}

std::string ReadFile(const std::string& path);                    // "" when unreadable
void WriteFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);  // makes parents
bool Exists(const std::string& path);                            // lstat: a dangling link exists
std::vector<std::string> List(const std::string& root);         // every path below root, sorted
std::map<std::string, std::string> Snapshot(const std::vector<std::string>& roots);  // file -> bytes
std::string Source(const std::string& relative);                 // a path in the source tree
std::string SelfExe();                                          // this program's /proc/self/exe
std::string SelfComm();                                         // its argv[0], as audit records name it
uint64_t EnvNumber(const char* name, uint64_t fallback);         // seeds and rounds from the environment

// Exit status (128 + signal; -1: still running at the deadline, then killed), standard output,
// and the pid it ran as (every exec of env and of the command keeps it).
struct Ran {
    int status = -1;
    std::string out;
    pid_t pid = 0;
};
Ran Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}, int seconds = 30);

// A program in the background, exec'd when the constructor returns; killed and reaped at the end.
class Child {
public:
    struct Options {
        uid_t uid = 0;                           // as this user (and group)
        std::function<void(pid_t)> before_exec;  // e.g. label the pid first
        int out_fd = -1;                         // its standard output
    };
    explicit Child(const std::vector<std::string>& argv, const Options& options);
    explicit Child(const std::vector<std::string>& argv) : Child(argv, Options()) {}
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    void Signal(int sig) const;
    int Wait(int seconds = 30);  // as Ran; -1 when it did not end (it keeps running)
    void Kill();                 // SIGKILL and reap
private:
    pid_t pid_ = -1;
};

// Case tables: tests/data/cases/NAME, tab-separated, a header line naming the columns,
// '#' and empty lines skipped; cells decode \t \n \r \\ \xNN. SCOPED_TRACE(row.where): "bus.tsv:17".
struct Row {
    std::map<std::string, std::string> cell;
    std::string where;
    const std::string& operator[](const std::string& column) const;  // "" when absent
};
std::vector<Row> Table(const std::string& name);
std::string Fill(std::string text, const std::map<std::string, std::string>& vars);  // ${name} -> value
std::vector<std::string> Split(const std::string& text, char separator);        // "" -> {}
std::string Join(const std::vector<std::string>& parts, const std::string& separator);

namespace trees {
inline const char* const kRoots[] = {"/usr/share/olm/sarv/", "/etc/olm/sarv/", "/var/lib/olm/sarv/"};
void Clear();  // all but acadapter.d of the three trees
// tests/data/trees/FIXTURE (or data/demo for "demo") copied over "/": a fixture mirrors the
// real layout (usr/share/olm/sarv/mode.d/..., etc/..., var/lib/..., tmp/dpkg/...).
void Seed(const std::string& fixture);
std::vector<std::string> ServiceFiles();  // the files below /var/lib/olm/sarv/, relative
}  // namespace trees

// Commands first on PATH: each run logs its arguments ("$*"), then runs its shell body.
class FakeCommands {
public:
    explicit FakeCommands(const std::map<std::string, std::string>& bodies);
    ~FakeCommands();  // PATH as it was
    std::vector<std::string> Runs(const std::string& name) const;
    void Clear(const std::string& name) const;
    std::string folder;
private:
    std::string old_path_;
};

// The kernel module's files in a tree of their own (SARV_PROC_ATTR_ROOT, read at the
// service's first look): "PID/attr/usid" labels, "1/attr/olmsec/cred" for the module.
namespace labels {
inline const std::string kRoot = "/tmp/fake-proc";
void Use();
void Set(pid_t pid, const std::optional<std::string>& bytes);  // nullopt: no label file
void Module(bool present);
}  // namespace labels

// Adapters copied to acadapter.d (or `folder`); each reads the objects it serves when it is
// loaded. The test adapter (test-adapter.cpp) logs "getter" and its pushes,
// "OBJECT<TAB>MODE<TAB>SUBJECT=OP,OP;SUBJECT=...", and fails those Fail() names.
namespace adapter {
inline const std::string kFolder = "/usr/share/olm/sarv/acadapter.d/";
void Install(const std::string& objects, const std::string& folder = kFolder, const std::string& file = "test.so");
std::vector<std::string> Pushes();               // since the last Clear()
void Clear();                                    // forgets the pushes and the failures
void Fail(const std::string& object, int code);  // code 0: no longer
void InstallExample(const std::string& objects, const std::string& folder = kFolder);  // publishes to /tmp/example-adapter/
}  // namespace adapter

// What the libaudit stand-in recorded (SARV_AUDIT_LOG): fields by name (type message comm
// hostname addr tty result); {} for a line that is no well-formed record.
class Audit {
public:
    Audit();
    std::vector<std::map<std::string, std::string>> Records() const;
    std::vector<std::string> Lines() const;
    void Clear() const;
    const std::string path = "/tmp/audit.log";
};

// What this process and its children send to syslog: a datagram socket bound over the sandbox's
// empty /dev/log. Lines() are "PRIORITY: message" ("err: SetCache failed: ..."), without the head.
class Syslog {
public:
    Syslog();
    ~Syslog();
    Syslog(const Syslog&) = delete;
    Syslog& operator=(const Syslog&) = delete;
    bool ok() const { return fd_ >= 0; }
    std::vector<std::string> Lines();
    bool Contains(const std::string& text, int ms = 1000);  // waits up to `ms` for it
    void Clear();
private:
    int fd_ = -1;
    std::string path_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// This process's system bus while it lives; `config` defaults to tests/sandbox/private-bus.conf.
class PrivateBus {
public:
    explicit PrivateBus(const std::string& config = "");
    ~PrivateBus();
    bool ok() const { return !address.empty(); }
    std::string address;
private:
    std::unique_ptr<Child> daemon_;
};

// `error`: the error name without "org.freedesktop.DBus.Error." ("InvalidArgs"), `message`
// its text; "s", "i" and "as" results land in text, number and list.
struct Reply {
    bool ok = false;
    std::string error, message, text;
    std::vector<std::string> list;
    int32_t number = 0;
};
std::ostream& operator<<(std::ostream& out, const Reply& reply);
using Filler = std::function<int(sd_bus_message*)>;

class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    sd_bus* bus() const { return bus_; }
    // Arguments as text: CanAuthorize {pid, object}, CheckAuthorization {exe, object,
    // operation...}, ListEntity {}, the others {one string}.
    Reply Call(const std::string& member, const std::vector<std::string>& args = {});
    // Replies to the call that arrive before a ping's answer; -1 when the ping got none.
    int Replies(const std::string& member, const Filler& fill, Reply* first = nullptr);
    Reply Property(const std::string& name);
    pid_t Owner();  // pid owning org.nimbra.sarv1, 0 when none
private:
    sd_bus* bus_ = nullptr;
};

struct Signal {
    std::string member, first, second;
    bool operator==(const Signal& o) const { return member == o.member && first == o.first && second == o.second; }
};
std::ostream& operator<<(std::ostream& out, const Signal& s);

// ModeChanged, EntityChanged and PolicyChanged, on a connection of its own.
class Signals {
public:
    Signals();
    ~Signals();
    std::vector<Signal> Take();  // all the service sent before answering a ping sent now
private:
    sd_bus* bus_ = nullptr;
    std::vector<Signal> got_;
};

// A caller as a process of its own: bus-client.c copied to `exe`, run behind `wrapper`
// (e.g. {"unshare", "-m"}), with `label` in place before it calls, as `uid`.
struct Caller {
    std::string exe = "/tmp/clients/untrusted";
    std::vector<std::string> wrapper;
    std::optional<std::string> label;
    uid_t uid = 0;
};
struct Called {
    pid_t pid = 0;
    Reply reply;
};
Called CallAs(const Caller& caller, const std::string& member, const std::string& arg);

// The service: kInProcess is start_ac_dbus on a thread, with this process's cache and
// the adapters of acadapter.d (loaded at every Start); kHost is sarvd + libsarv-acmanager.
class Service {
public:
    enum Kind { kInProcess, kHost };
    explicit Service(Kind kind = kInProcess) : kind_(kind) {}
    ~Service();
    bool Start(int seconds = 60);  // until its pid owns the name; false when it ended first
    bool Spawn();                  // kHost: without waiting
    int Stop(int seconds = 30);    // loop result or exit status; -1: it hung (a host is killed)
    void Kill();                   // kHost: SIGKILL and reap
    void Signal(int sig);          // kHost: e.g. SIGHUP restarts the bus service
    pid_t pid() const;             // the process serving; 0 when not started
    static void Reload();          // this process's cache emptied and loaded from the trees
private:
    Kind kind_;
    std::thread loop_;
    std::shared_ptr<std::atomic<int>> result_;
    std::unique_ptr<Child> host_;
};

// One per program: refuses to run outside the sandbox; fakes killall and systemctl; the
// label tree with this process labelled "nimbra_app"; the audit log; syslog; a private bus
// unless `own_bus` is false (with-private-bus gave one); then trees::Seed(fixture); and the
// service object whose members the Instance() accessors return.
struct World {
    explicit World(const std::string& fixture = "", bool own_bus = true);
    ~World();
    FakeCommands fakes;
    Audit audit;
    std::unique_ptr<Syslog> syslog;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<SarvService> service;
};

}  // namespace sarvtest
