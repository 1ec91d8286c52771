// Calls per second of CheckAuthorization and CanAuthorize against empty
// methods of the same signatures served on the same private bus in the same
// run, one call at a time and with 16 calls in flight, with 100, 1,000 and
// 10,000 subjects in the trees; whether the targets are met; then where one
// question's time goes, and the peak memory. At 1,000 subjects reference
// rows show empty methods that do one part of a question each, among them
// the audit record alone and libaudit's call alone: no question can be
// faster than the record it writes. Needs a private system bus and the
// sandboxed trees: bench/run-auth-bench.sh provides both.
//
//   auth_bench [CALLS [ROUNDS]]
#include <pthread.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <libaudit.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QHostInfo>
#include <QNetworkInterface>

#include "ac-audit.h"
#include "ac-dbus-service.h"
#include "access-control-dbus.h"
#include "acconstants.h"
#include "bench-support.h"
#include "caller-check.h"
#include "config-manager.h"
#include "policy-migration-helper.h"
#include "proc-readers.h"
#include "service.h"
#include "subject-index.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kBaselineName[] = "org.nimbra.sarv1.AuthBench";
const char kBaselinePath[] = "/org/nimbra/sarv1/AuthBench";
const char kBaselineInterface[] = "org.nimbra.sarv1.AuthBench";
const char kPackageDb[] = "/tmp/auth-bench-dpkg";
const int kScales[] = {100, 1000, 10000};
constexpr int kObjectsPerPolicy = 5;
constexpr int kInFlight = 16;
// The targets: against the empty method, and the largest
// configuration against the smallest.
constexpr double kTargetOneAtATime = 0.9;
constexpr double kTargetInFlight = 0.8;
constexpr double kTargetFlat = 0.9;

std::string self_exe;
int subjects = 0;  // of the configuration in the trees now
int objects = 0;

std::string ObjectName(int i) {
    char name[32];
    snprintf(name, sizeof name, "object%05d", i % objects);
    return name;
}

// Of every 20 subjects, 16 are programs named by their path, 3 packages
// that list their programs (and exclude one), and 1 a package whose
// programs are the package database's. The subject in the middle is this
// program, so that a question about it finds its entity by name, as the
// question of a configured program does.
enum class Kind { kProgram, kListingPackage, kDatabasePackage };

Kind KindOf(int i) {
    if (i == subjects / 2) return Kind::kProgram;
    const int k = i % 20;
    return k < 16 ? Kind::kProgram : k < 19 ? Kind::kListingPackage : Kind::kDatabasePackage;
}

std::string SubjectName(int i) {
    if (i == subjects / 2) return self_exe;
    char name[48];
    switch (KindOf(i)) {
    case Kind::kProgram:
        snprintf(name, sizeof name, "/opt/bench/bin/app%05d", i);
        break;
    case Kind::kListingPackage:
        snprintf(name, sizeof name, "listing%05d", i);
        break;
    case Kind::kDatabasePackage:
        snprintf(name, sizeof name, "dbpkg%05d", i);
        break;
    }
    return name;
}

std::string SubjectText(int i) {
    const std::string name = SubjectName(i);
    switch (KindOf(i)) {
    case Kind::kProgram:
        return "{\"name\":\"" + name + "\",\"type\":\"subject\",\"subtype\":\"exe\"}";
    case Kind::kListingPackage: {
        const std::string bin = "/opt/bench/" + name + "/bin/";
        return "{\"name\":\"" + name + "\",\"type\":\"subject\",\"subtype\":\"package\",\"attrs\":{\"exes\":[\"" + bin +
               "a\",\"" + bin + "b\",\"" + bin + "x\"],\"additional_exes\":[\"" + bin + "c\"],\"exclude_exes\":[\"" +
               bin + "x\"]}}";
    }
    case Kind::kDatabasePackage:
        break;
    }
    return "{\"name\":\"" + name + "\",\"type\":\"subject\",\"subtype\":\"package\"}";
}

// ---- the baselines: the same signatures, nothing done ---------------------------------

int ReadCheckArguments(sd_bus_message* m) {
    const char* exe = nullptr;
    const char* object = nullptr;
    int r = sd_bus_message_read(m, "ss", &exe, &object);
    if (r < 0) return r;
    r = sd_bus_message_enter_container(m, 'a', "s");
    if (r < 0) return r;
    const char* item = nullptr;
    while ((r = sd_bus_message_read(m, "s", &item)) > 0) {
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int CheckEmpty(sd_bus_message* m, void*, sd_bus_error*) {
    int r = ReadCheckArguments(m);
    return r < 0 ? r : sd_bus_reply_method_return(m, "i", 1);
}

int CanEmpty(sd_bus_message* m, void*, sd_bus_error*) {
    int32_t pid = 0;
    const char* object = nullptr;
    int r = sd_bus_message_read(m, "is", &pid, &object);
    return r < 0 ? r : sd_bus_reply_method_return(m, "as", 0);
}

// The empty check plus asking the bus for the sender's pid, as every call
// did before the pid was kept per connection.
int CheckAskingPid(sd_bus_message* m, void*, sd_bus_error*) {
    int r = ReadCheckArguments(m);
    if (r < 0) return r;
    sd_bus_creds* creds = nullptr;
    pid_t pid = 0;
    if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_PID, &creds) >= 0) sd_bus_creds_get_pid(creds, &pid);
    sd_bus_creds_unref(creds);
    return sd_bus_reply_method_return(m, "i", pid > 0 ? 1 : 0);
}

// The same with the pid (and the sender's name) kept per connection.
int CheckKeptPid(sd_bus_message* m, void*, sd_bus_error*) {
    int r = ReadCheckArguments(m);
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "i", get_sender_pid(m) > 0 && !get_sender_comm(m).empty() ? 1 : 0);
}

// The configured row's audit record: the text the service writes for it,
// and the caller's name. Set once the trees are loaded.
std::string record_text;
std::string record_comm;

// The empty check plus the configured row's audit record as the service
// writes it, and nothing else: how far a question can get with its record.
int CheckRecordOnly(sd_bus_message* m, void*, sd_bus_error*) {
    int r = ReadCheckArguments(m);
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "i", AcAudit::AuditLogMsg(record_text, record_comm, 0) == 0 ? 1 : 0);
}

// The empty check plus libaudit's call alone, with the record's fields
// prepared once: the audit system's part of a record.
struct Delivery {
    int fd = -1;
    std::string host, addr;
} delivery;

int CheckDeliveryOnly(sd_bus_message* m, void*, sd_bus_error*) {
    int r = ReadCheckArguments(m);
    if (r < 0) return r;
    r = audit_log_user_comm_message(delivery.fd, AUDIT_USER_MAC_CONFIG_CHANGE, record_text.c_str(),
                                    record_comm.c_str(), delivery.host.c_str(), delivery.addr.c_str(), nullptr, 0);
    return sd_bus_reply_method_return(m, "i", r >= 0 ? 1 : 0);
}

const sd_bus_vtable kBaselineVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CheckAuthorization", "ssas", "i", CheckEmpty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CanAuthorize", "is", "as", CanEmpty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CheckAskingPid", "ssas", "i", CheckAskingPid, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CheckKeptPid", "ssas", "i", CheckKeptPid, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CheckRecordOnly", "ssas", "i", CheckRecordOnly, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CheckDeliveryOnly", "ssas", "i", CheckDeliveryOnly, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

std::atomic<bool> baseline_stop{false};

// ---- the configuration ---------------------------------------------------------------------

std::string FileName(const std::string& name) { return EncodeConfigName(name); }

std::string PolicyText(const std::string& subject, int first, const char* operation) {
    std::string list;
    for (int k = 0; k < kObjectsPerPolicy; ++k) {
        if (k) list += ",";
        list += "{\"object\":\"" + ObjectName(first + k * 97) + "\",\"operations\":[\"" + operation +
                "\"],\"valid_period\":0,\"timestamp\":0}";
    }
    return "{\"version\":\"1.0\",\"policies\":[{\"subject\":{\"name\":\"" + subject + "\"},\"objects\":[" + list +
           "]}]}";
}

void ClearTrees() {
    for (const std::string& folder : kUsrShareFolderList) std::filesystem::remove_all(folder);
    for (const std::string& folder : kEtcFolderList) std::filesystem::remove_all(folder);
    std::filesystem::remove_all(kPackageDb);
}

// `count` subjects with two layers of policy each (shipped and
// administrator's), half as many objects with modes; the database
// packages' lists in a package database of their own.
void WriteConfiguration(int count) {
    subjects = count;
    objects = count / 2;
    static const char* const modes[] = {"blacklist", "whitelist", "read"};
    for (int i = 0; i < objects; ++i) {
        const std::string name = ObjectName(i);
        WriteFile(kUsrShareEntityFolder + "/" + name + ".object",
                  "{\"name\":\"" + name +
                      "\",\"type\":\"object\",\"subtype\":\"exe\",\"available_operations\":[\"read\",\"write\"],"
                      "\"description\":\"A benchmark object with a description of ordinary length\"}");
        WriteFile(kUsrShareModeFolder + "/" + name + ".mode",
                  "{\"object\":\"" + name + "\",\"mode\":\"" + modes[i % 3] + "\",\"version\":\"1.0\"}");
    }
    std::string status;
    for (int i = 0; i < subjects; ++i) {
        const std::string name = SubjectName(i);
        WriteFile(kUsrShareEntityFolder + "/" + FileName(name) + ".subject", SubjectText(i));
        WriteFile(kUsrSharePolicyFolder + "/" + FileName(name) + ".policy", PolicyText(name, i, "read"));
        WriteFile(kEtcPolicyFolder + "/" + FileName(name) + ".policy", PolicyText(name, i + 1, "write"));
        if (KindOf(i) != Kind::kDatabasePackage) continue;
        status += "Package: " + name + "\nStatus: install ok installed\nArchitecture: amd64\nVersion: 1\n\n";
        WriteFile(std::string(kPackageDb) + "/info/" + name + ".list",
                  "/opt\n/opt/" + name + "\n/opt/" + name + "/bin\n/opt/" + name + "/bin/tool\n");
    }
    WriteFile(std::string(kPackageDb) + "/status", status);
}

void LoadConfiguration(int count) {
    ConfigManager* cache = ConfigManager::Instance();
    {
        ConfigManager::MapsChange change(*cache);
        cache->modeMap.clear();
        cache->entityMap.clear();
        cache->policyMap.clear();
    }
    ClearTrees();
    WriteConfiguration(count);
    PolicyMigrationHelper::Instance()->CloseDb();
    cache->InitCache();
}

// ---- calling ---------------------------------------------------------------------------------

struct Target {
    const char* destination;
    const char* path;
    const char* interface;
};

// One question; `i` picks the object.
using Build = std::function<int(sd_bus_message*, int)>;

int BuildCheck(sd_bus_message* m, int i, const std::string& exe) {
    int r = sd_bus_message_append(m, "ss", exe.c_str(), ObjectName(i * 7).c_str());
    return r < 0 ? r : sd_bus_message_append(m, "as", 1, "read");
}

int BuildCan(sd_bus_message* m, int i) {
    return sd_bus_message_append(m, "is", static_cast<int32_t>(getpid()), ObjectName(i * 7).c_str());
}

sd_bus_message* NewCall(sd_bus* bus, const Target& t, const char* member, const Build& build, int i) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(bus, &m, t.destination, t.path, t.interface, member) < 0 || build(m, i) < 0) {
        fprintf(stderr, "cannot build a call of %s\n", member);
        exit(1);
    }
    return m;
}

// Seconds for `calls` calls made one after the other.
double Sequential(sd_bus* bus, const Target& t, const char* member, const Build& build, int calls) {
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        sd_bus_message* m = NewCall(bus, t, member, build, i);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call(bus, m, 0, &error, &reply) < 0) {
            fprintf(stderr, "%s failed: %s\n", member, error.message ? error.message : "");
            exit(1);
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(m);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Flight {
    sd_bus* bus;
    const Target* target;
    const char* member;
    const Build* build;
    int total;
    int sent = 0;
    int answered = 0;
    bool failed = false;
};

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*);

void SendNext(Flight& f) {
    sd_bus_message* m = NewCall(f.bus, *f.target, f.member, *f.build, f.sent++);
    if (sd_bus_call_async(f.bus, nullptr, m, OnReply, &f, 0) < 0) f.failed = true;
    sd_bus_message_unref(m);
}

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto& f = *static_cast<Flight*>(userdata);
    if (sd_bus_message_is_method_error(m, nullptr)) f.failed = true;
    ++f.answered;
    if (f.sent < f.total) SendNext(f);
    return 0;
}

// Seconds for `calls` calls with up to 16 waiting for their answer.
double InFlight(sd_bus* bus, const Target& t, const char* member, const Build& build, int calls) {
    Flight f{bus, &t, member, &build, calls};
    auto start = Clock::now();
    while (f.sent < std::min(kInFlight, calls)) SendNext(f);
    while (f.answered < calls && !f.failed) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus, UINT64_MAX);
    }
    if (f.failed || f.answered < calls) {
        fprintf(stderr, "%s failed in flight\n", member);
        exit(1);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double CpuMicros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

double ThreadCpuMicros() { return CpuMicros(CLOCK_THREAD_CPUTIME_ID); }

// The CPU clock of the bus daemon at the other end of `bus`, as the socket
// recorded it when the connection was made.
std::optional<clockid_t> BusDaemonClock(sd_bus* bus) {
    sd_bus_creds* owner = nullptr;
    pid_t pid = 0;
    const bool known = sd_bus_get_owner_creds(bus, SD_BUS_CREDS_PID, &owner) >= 0 &&
                       sd_bus_creds_get_pid(owner, &pid) >= 0;
    sd_bus_creds_unref(owner);
    clockid_t clock{};
    if (!known || clock_getcpuclockid(pid, &clock) != 0) return std::nullopt;
    return clock;
}

double DaemonMicros(const std::optional<clockid_t>& clock) { return clock ? CpuMicros(*clock) : 0; }

clockid_t CpuClockOf(std::thread& thread) {
    clockid_t clock = CLOCK_THREAD_CPUTIME_ID;
    pthread_getcpuclockid(thread.native_handle(), &clock);
    return clock;
}

// Microseconds of this thread's CPU time (the kernel's included) per run of
// `step`, best of three batches: on a shared machine the time the thread
// waits for a CPU does not count.
double Micros(int runs, const std::function<void()>& step) {
    double best = 1e30;
    for (int batch = 0; batch < 3; ++batch) {
        const double start = ThreadCpuMicros();
        for (int i = 0; i < runs; ++i) step();
        best = std::min(best, (ThreadCpuMicros() - start) / runs);
    }
    return best;
}

// The interfaces as every record listed them before the text was kept.
QString EnumerateInterfaces() {
    QString text;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        if (iface.type() != QNetworkInterface::Ethernet && iface.type() != QNetworkInterface::Wifi) continue;
        const auto entries = iface.addressEntries();
        if (entries.isEmpty()) continue;
        if (!text.isEmpty()) text += QStringLiteral(", ");
        text += iface.hardwareAddress();
        for (const auto& entry : entries)
            if (entry.ip().toIPv4Address() != 0) text += QLatin1Char('-') + entry.ip().toString();
    }
    return text;
}

// ---- the lookup as it was, for comparison --------------------------------------------------

using FileRecords = std::map<std::string, EntityInfoData>;

const std::string& Last(const FileRecords& files, const std::string& (*get)(const EntityInfoData&)) {
    static const std::string empty;
    const std::string* value = &empty;
    for (const auto& [path, record] : files) {
        if (record.type == kEntityTypeObject) break;
        if (!get(record).empty()) value = &get(record);
    }
    return *value;
}

// Every entity looked at in name order, each package of the database asked
// for its whole list: what a question about an unclaimed program cost.
bool WalkEveryEntity(const std::string& exe) {
    ConfigManager* cache = ConfigManager::Instance();
    std::vector<std::string> askDatabase;
    {
        std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
        for (const auto& [name, files] : cache->entityMap) {
            if (Last(files, [](const EntityInfoData& e) -> const std::string& { return e.type; }) != kEntityTypeSubject)
                continue;
            const std::string& subtype = Last(files, [](const EntityInfoData& e) -> const std::string& { return e.subtype; });
            if (subtype == kEntitySubtypeExe || subtype == kEntitySubtypeFile) {
                if (Last(files, [](const EntityInfoData& e) -> const std::string& { return e.name; }) == exe) return true;
                continue;
            }
            if (subtype != kEntitySubtypePackage) continue;
            const EntityInfoData merged = SubjectRecord(files);
            std::vector<std::string> list = merged.attrs.exes;
            list.insert(list.end(), merged.attrs.additional_exes.begin(), merged.attrs.additional_exes.end());
            for (const auto& excluded : merged.attrs.exclude_exes) list.erase(std::remove(list.begin(), list.end(), excluded), list.end());
            if (list.empty()) askDatabase.push_back(merged.name);
            else if (std::find(list.begin(), list.end(), exe) != list.end()) return true;
        }
    }
    for (const std::string& package : askDatabase) {
        const auto list = PolicyMigrationHelper::Instance()->QueryPackageFileList(package.c_str());
        if (std::find(list.begin(), list.end(), exe) != list.end()) return true;
    }
    return false;
}

// ---- measuring -------------------------------------------------------------------------------

struct Row {
    Row(const char* label, const char* member, const Build* build, const char* baseMember, const Target* target,
        bool authorization)
        : label(label), member(member), build(build), baseMember(baseMember), target(target),
          authorization(authorization) {}
    const char* label;
    const char* member;
    const Build* build;
    const char* baseMember;
    const Target* target;
    bool authorization;  // one of the three rows the targets are for
    std::vector<double> seqRate, seqRatio, flightRate, flightRatio, cpuMore, daemonMore;
};

struct Result {
    double seqRatio, flightRatio;
};

long PeakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
    SarvService owner;
    const int calls = argc > 1 ? atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    // Every question writes an audit record: they go to the tests' stand-in
    // for libaudit, never to the machine's audit log.
    const char* preload = getenv("LD_PRELOAD");
    if (!getenv("DBUS_SYSTEM_BUS_ADDRESS") || !getenv("SARV_SANDBOX") || !getenv("SARV_AUDIT_LOG") || !preload ||
        !strstr(preload, "sarv-audit-preload")) {
        fprintf(stderr, "run me through bench/run-auth-bench.sh (private bus and audit stand-in in the sandbox)\n");
        return 2;
    }
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    if (n <= 0) return 1;
    self_exe.assign(exe, static_cast<size_t>(n));
    setenv("DPKG_ADMINDIR", kPackageDb, 1);
    // AUTH_BENCH_NO_AUDIT=1: the audit system is absent, so that a run
    // shows the service's own cost apart from the delivery of its records.
    const bool noAudit = getenv("AUTH_BENCH_NO_AUDIT") && strcmp(getenv("AUTH_BENCH_NO_AUDIT"), "1") == 0;
    if (noAudit) setenv("SARV_AUDIT_OPEN_FAIL", "1", 1);
    else unsetenv("SARV_AUDIT_OPEN_FAIL");
    LoadConfiguration(kScales[0]);

    std::thread service([] { start_ac_dbus(); });
    std::atomic<bool> ready{false};
    std::thread baseline(
        [&] { ServeBaseline(kBaselineName, kBaselinePath, kBaselineInterface, kBaselineVtable, ready, baseline_stop); });
    const clockid_t serviceCpu = CpuClockOf(service), baselineCpu = CpuClockOf(baseline);
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0 || !WaitForName(bus, kSarvACManagerObject.c_str()) ||
        !WaitForName(bus, kBaselineName)) {
        fprintf(stderr, "services did not come up\n");
        return 1;
    }
    // On one CPU a call's time is the sum of what the client, the bus
    // daemon and the serving thread spend on it, so the daemon's share is
    // shown beside the serving thread's.
    const std::optional<clockid_t> daemonCpu = BusDaemonClock(bus);
    record_text = "CheckAuthorization, exe=" + self_exe + ", subjectExe=" + self_exe + ", object=" + ObjectName(7) +
                  ", operations=";
    record_comm = AuditCallerComm(getpid());
    delivery = {audit_open(), QHostInfo::localHostName().toStdString(), GetIp().toStdString()};

    const Target svc{kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(), kSarvAcManagerInterface.c_str()};
    const Target base{kBaselineName, kBaselinePath, kBaselineInterface};
    const Build checkSelf = [](sd_bus_message* m, int i) { return BuildCheck(m, i, self_exe); };
    const Build checkUnclaimed = [](sd_bus_message* m, int i) { return BuildCheck(m, i, "/usr/bin/unclaimed"); };
    const Build can = BuildCan;
    std::vector<Row> rows = {
        {"CheckAuthorization (configured subject)", "CheckAuthorization", &checkSelf, "CheckAuthorization", &svc, true},
        {"CanAuthorize (configured subject)", "CanAuthorize", &can, "CanAuthorize", &svc, true},
        {"CheckAuthorization (unclaimed executable)", "CheckAuthorization", &checkUnclaimed, "CheckAuthorization", &svc,
         true},
        {"empty + pid asked of the bus per call", "CheckAskingPid", &checkSelf, "CheckAuthorization", &base, false},
        {"empty + pid and name kept per connection", "CheckKeptPid", &checkSelf, "CheckAuthorization", &base, false},
        {"empty + the configured row's record alone", "CheckRecordOnly", &checkSelf, "CheckAuthorization", &base,
         false},
        {"empty + libaudit's call alone, fields ready", "CheckDeliveryOnly", &checkSelf, "CheckAuthorization", &base,
         false},
    };

    // The machine is shared: each measurement alternates with its baseline
    // in small blocks, every round gives one ratio, and the median round is
    // reported.
    const int blocks = 10;
    const int block = std::max(1, calls / blocks);
    auto measure = [&](int scale) {
        std::vector<double> emptySeq, emptyFlight;
        std::vector<Result> results;
        for (auto& row : rows) {
            row.seqRate.clear(), row.seqRatio.clear(), row.flightRate.clear(), row.flightRatio.clear();
            row.cpuMore.clear(), row.daemonMore.clear();
            if (!row.authorization && scale != 1000) continue;
            for (int round = 0; round < rounds; ++round) {
                double tBase = 0, tMethod = 0, fBase = 0, fMethod = 0, cpuBase = 0, cpuMethod = 0;
                double daemonBase = 0, daemonMethod = 0;
                const clockid_t serving = row.target == &svc ? serviceCpu : baselineCpu;
                for (int b = 0; b < blocks; ++b) {
                    double cpu = CpuMicros(baselineCpu), daemon = DaemonMicros(daemonCpu);
                    tBase += Sequential(bus, base, row.baseMember, *row.build, block);
                    fBase += InFlight(bus, base, row.baseMember, *row.build, block);
                    cpuBase += CpuMicros(baselineCpu) - cpu;
                    daemonBase += DaemonMicros(daemonCpu) - daemon;
                    cpu = CpuMicros(serving), daemon = DaemonMicros(daemonCpu);
                    tMethod += Sequential(bus, *row.target, row.member, *row.build, block);
                    fMethod += InFlight(bus, *row.target, row.member, *row.build, block);
                    cpuMethod += CpuMicros(serving) - cpu;
                    daemonMethod += DaemonMicros(daemonCpu) - daemon;
                }
                const double total = static_cast<double>(block) * blocks;
                row.cpuMore.push_back((cpuMethod - cpuBase) / (2 * total));
                row.daemonMore.push_back((daemonMethod - daemonBase) / (2 * total));
                row.seqRate.push_back(total / tMethod);
                row.seqRatio.push_back(tBase / tMethod);
                row.flightRate.push_back(total / fMethod);
                row.flightRatio.push_back(fBase / fMethod);
                if (&row == &rows.front()) {
                    emptySeq.push_back(total / tBase);
                    emptyFlight.push_back(total / fBase);
                }
            }
        }
        printf("\n%d subjects (%d objects, %d policy files, %d package subjects of the database)\n", subjects,
               objects, 2 * subjects, subjects / 20);
        printf("calls per second on one private bus, median of %d rounds of %d calls; %s\n", rounds, block * blocks,
               noAudit ? "NO audit system (AUTH_BENCH_NO_AUDIT=1): records go nowhere"
                       : "every question writes its audit record");
        printf("(cpu, daemon: microseconds of CPU the serving thread and the bus daemon spend on a call beyond what "
               "they spend on the empty method)\n");
        printf("%-44s %12s %8s %14s %8s %6s %7s\n", "", "one at a time", "ratio", "16 in flight", "ratio", "cpu",
               "daemon");
        printf("%-44s %12.0f %8s %14.0f %8s\n", "empty method (same signature)", Median(emptySeq), "1.00",
               Median(emptyFlight), "1.00");
        bool met = true;
        for (const auto& row : rows) {
            if (row.seqRate.empty()) continue;
            const Result r{Median(row.seqRatio), Median(row.flightRatio)};
            printf("%-44s %12.0f %8.2f %14.0f %8.2f %6.1f", row.label, Median(row.seqRate), r.seqRatio,
                   Median(row.flightRate), r.flightRatio, Median(row.cpuMore));
            if (daemonCpu) printf(" %7.1f", Median(row.daemonMore));
            else printf(" %7s", "-");
            if (row.authorization) {
                results.push_back(r);
                const bool rowMet = r.seqRatio >= kTargetOneAtATime && r.flightRatio >= kTargetInFlight;
                met = met && rowMet;
                printf("  %s", Verdict(rowMet));
            }
            printf("\n");
        }
        printf("targets: >= %.2f one at a time, >= %.2f with 16 in flight: %s\n", kTargetOneAtATime, kTargetInFlight,
               Verdict(met));
        return std::make_pair(met, results);
    };

    // Warm up both services (and the pid table).
    Sequential(bus, svc, "CheckAuthorization", checkSelf, 200);
    Sequential(bus, base, "CheckAuthorization", checkSelf, 200);

    std::vector<std::vector<Result>> byScale;
    bool allMet = true;
    struct Resolution {
        int scale;
        double index, rebuilt, walk;
    };
    std::vector<Resolution> resolution;
    ConfigManager* cache = ConfigManager::Instance();
    for (int scale : kScales) {
        // The service is idle between measurements.
        if (scale != kScales[0]) LoadConfiguration(scale);
        Sequential(bus, svc, "CheckAuthorization", checkUnclaimed, 50);  // the index and the package database
        auto [met, results] = measure(scale);
        allMet = allMet && met;
        byScale.push_back(results);
        const int runs = std::max(20, 2000000 / (scale * 10));
        EntityInfoData subject;
        resolution.push_back({scale, Micros(5000, [&] { cache->GetExeSubjectInfo("/usr/bin/unclaimed", subject); }),
                              Micros(std::max(5, runs / 20),
                                     [&] {
                                         { ConfigManager::MapsChange change(*cache); }
                                         cache->GetExeSubjectInfo("/usr/bin/unclaimed", subject);
                                     }),
                              Micros(runs, [&] { (void)WalkEveryEntity("/usr/bin/unclaimed"); })});
    }
    const long peak = PeakKiB();

    printf("\ncost flat in the number of subjects: ratio at %d subjects / ratio at %d (target >= %.2f)\n",
           kScales[2], kScales[0], kTargetFlat);
    bool flat = true;
    for (size_t i = 0; i < byScale.front().size(); ++i) {
        const double seq = byScale.back()[i].seqRatio / byScale.front()[i].seqRatio;
        const double flight = byScale.back()[i].flightRatio / byScale.front()[i].flightRatio;
        const bool rowFlat = seq >= kTargetFlat && flight >= kTargetFlat;
        flat = flat && rowFlat;
        printf("  %-42s %8.2f %8.2f  %s\n", rows[i].label, seq, flight, Verdict(rowFlat));
    }
    printf("peak memory (VmHWM) of this process (service, client and baseline) with %d subjects: %.1f MiB\n",
           kScales[2], peak / 1024.0);

    // Where a question's time goes, step by step, in this process.
    LoadConfiguration(1000);
    const int runs = 5000;
    const pid_t self = getpid();
    const std::string object = ObjectName(7);
    printf("\nwhere a question's time goes (microseconds of CPU per step, best of 3 x %d; 1,000 subjects)\n", runs);
    QList<QString> read = {QStringLiteral("read")};
    int permits = 0;
    printf("  a whole question in this process, no bus (CheckAuthorization) %8.2f\n", Micros(runs, [&] {
               (void)AccessControlDbus::Instance()->CheckAuthorization(nullptr, QString::fromStdString(self_exe),
                                                                       QString::fromStdString(object), read, permits);
           }));
    printf("  caller lookup\n");
    printf("    executable link of the subject pid (CanAuthorize)     %8.2f\n",
           Micros(runs, [&] { (void)get_pid_link(self, "exe"); }));
    printf("    sender's name read from /proc (was: every record)     %8.2f\n",
           Micros(runs, [&] { (void)AuditCallerComm(self); }));
    printf("    sender's pid and name: kept per connection, see the two 'empty + pid' rows at 1000 subjects\n");
    printf("  audit record (on the bus: the two 'empty + ... alone' rows at 1000 subjects)\n");
    printf("    whole record (AuditLogMsg), connection kept           %8.2f\n",
           Micros(runs, [&] { AcAudit::AuditLogMsg(record_text, record_comm, 0); }));
    printf("    connection opened and closed (was: every record)      %8.2f\n", Micros(runs, [&] {
               const int fd = audit_open();
               audit_close(fd);
           }));
    printf("    host name from Qt (was: every record)                 %8.2f\n",
           Micros(runs, [&] { (void)QHostInfo::localHostName().toLocal8Bit(); }));
    printf("    host name compared with uname's (now)                 %8.2f\n", Micros(runs, [&] {
               utsname u{};
               uname(&u);
           }));
    printf("  interface enumeration\n");
    printf("    kept, refreshed on change (GetIp)                     %8.2f\n", Micros(runs, [&] { (void)GetIp(); }));
    printf("    listed again for every record                         %8.2f\n",
           Micros(runs / 10, [&] { (void)EnumerateInterfaces(); }));
    printf("  subject resolution\n");
    printf("    object entity + mode                                  %8.2f\n", Micros(runs, [&] {
               (void)ConfigManager::GetEntityInfo(object);
               (void)cache->GetCache(cache->modeMap, object);
           }));
    printf("    subject entity by name + its policy                   %8.2f\n", Micros(runs, [&] {
               PolicyData policy;
               (void)ConfigManager::GetEntityInfo(self_exe);
               cache->GetSubjectPolicy(self_exe, policy);
           }));
    printf("    unclaimed executable                 index  after a change  walk of every entity (was)\n");
    for (const auto& r : resolution)
        printf("      %6d subjects                 %8.2f  %14.1f  %10.1f\n", r.scale, r.index, r.rebuilt, r.walk);

    sd_bus_flush_close_unref(bus);
    baseline_stop = true;
    baseline.join();
    stop_ac_dbus();
    service.join();

    printf("\nresult: authorization targets %s; flat in the number of subjects: %s\n", Verdict(allMet),
           Verdict(flat));
    return allMet && flat ? 0 : 3;
}
