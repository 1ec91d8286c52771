// Calls per second of CheckAuthorization and CanAuthorize with 1,000
// entities and 1,000 policies in the trees, against empty methods of the
// same signatures served on the same private bus in the same run, one call
// at a time and with 16 calls in flight; then where one question's time
// goes. Needs a private system bus and the sandboxed trees:
// bench/run-auth-bench.sh provides both.
//
//   auth_bench [CALLS [ROUNDS]]
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QHostInfo>
#include <QNetworkInterface>

#include "ac-audit.h"
#include "ac-dbus-service.h"
#include "acconstants.h"
#include "bench-support.h"
#include "caller-check.h"
#include "config-manager.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kBaselineName[] = "org.nimbra.sarv1.AuthBench";
const char kBaselinePath[] = "/org/nimbra/sarv1/AuthBench";
const char kBaselineInterface[] = "org.nimbra.sarv1.AuthBench";
constexpr int kObjects = 500;
constexpr int kSubjects = 500;  // entities: objects + subjects = 1,000
constexpr int kObjectsPerPolicy = 5;
constexpr int kInFlight = 16;

std::string self_exe;

std::string ObjectName(int i) {
    char name[32];
    snprintf(name, sizeof name, "object%04d", i % kObjects);
    return name;
}

// Subject 250 is this program, so that a question about it finds its entity
// by name, as the question of a configured program does.
std::string SubjectName(int i) {
    if (i == kSubjects / 2) return self_exe;
    char name[48];
    snprintf(name, sizeof name, "/opt/bench/bin/app%04d", i);
    return name;
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

// The same with the pid kept per connection.
int CheckKeptPid(sd_bus_message* m, void*, sd_bus_error*) {
    int r = ReadCheckArguments(m);
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "i", get_sender_pid(m) > 0 ? 1 : 0);
}

const sd_bus_vtable kBaselineVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CheckAuthorization", "ssas", "i", CheckEmpty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CanAuthorize", "is", "as", CanEmpty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CheckAskingPid", "ssas", "i", CheckAskingPid, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CheckKeptPid", "ssas", "i", CheckKeptPid, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

std::atomic<bool> baseline_stop{false};

// ---- the configuration ---------------------------------------------------------------------

std::string FileName(const std::string& name) { return EncodeConfigName(name); }

std::string PolicyText(const std::string& subject, int first, const char* operation) {
    std::string objects;
    for (int k = 0; k < kObjectsPerPolicy; ++k) {
        if (k) objects += ",";
        objects += "{\"object\":\"" + ObjectName(first + k * 97) + "\",\"operations\":[\"" + operation +
                   "\"],\"valid_period\":0,\"timestamp\":0}";
    }
    return "{\"version\":\"1.0\",\"policies\":[{\"subject\":{\"name\":\"" + subject + "\"},\"objects\":[" + objects +
           "]}]}";
}

// 500 objects with modes, 500 subjects, and two layers of policy for each
// subject (shipped and administrator's): 1,000 entities, 1,000 policies.
void WriteConfiguration() {
    static const char* const modes[] = {"blacklist", "whitelist", "read"};
    for (int i = 0; i < kObjects; ++i) {
        const std::string name = ObjectName(i);
        WriteFile(kUsrShareEntityFolder + "/" + name + ".object",
                  "{\"name\":\"" + name +
                      "\",\"type\":\"object\",\"subtype\":\"exe\",\"available_operations\":[\"read\",\"write\"],"
                      "\"description\":\"A benchmark object with a description of ordinary length\"}");
        WriteFile(kUsrShareModeFolder + "/" + name + ".mode",
                  "{\"object\":\"" + name + "\",\"mode\":\"" + modes[i % 3] + "\",\"version\":\"1.0\"}");
    }
    for (int i = 0; i < kSubjects; ++i) {
        const std::string name = SubjectName(i);
        WriteFile(kUsrShareEntityFolder + "/" + FileName(name) + ".subject",
                  "{\"name\":\"" + name + "\",\"type\":\"subject\",\"subtype\":\"exe\"}");
        WriteFile(kUsrSharePolicyFolder + "/" + FileName(name) + ".policy", PolicyText(name, i, "read"));
        WriteFile(kEtcPolicyFolder + "/" + FileName(name) + ".policy", PolicyText(name, i + 1, "write"));
    }
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

// Microseconds per run of `step`, best of three batches.
double Micros(int runs, const std::function<void()>& step) {
    double best = 1e30;
    for (int batch = 0; batch < 3; ++batch) {
        auto start = Clock::now();
        for (int i = 0; i < runs; ++i) step();
        best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - start).count() / runs);
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

struct Row {
    Row(const char* text) : label(text) {}  // NOLINT: built from its label
    const char* label;
    std::vector<double> seqRate, seqRatio, flightRate, flightRatio;
};

}  // namespace

int main(int argc, char** argv) {
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

    WriteConfiguration();
    ConfigManager* cache = ConfigManager::Instance();
    cache->InitCache();
    size_t policies = 0;
    for (const auto& entry : cache->policyMap) policies += entry.second.size();
    printf("configuration: %zu entities, %zu policy files, %zu modes\n", cache->entityMap.size(), policies,
           cache->modeMap.size());

    std::thread service([] { start_ac_dbus(); });
    std::atomic<bool> ready{false};
    std::thread baseline(
        [&] { ServeBaseline(kBaselineName, kBaselinePath, kBaselineInterface, kBaselineVtable, ready, baseline_stop); });
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0 || !WaitForName(bus, kSarvACManagerObject.c_str()) ||
        !WaitForName(bus, kBaselineName)) {
        fprintf(stderr, "services did not come up\n");
        return 1;
    }

    const Target svc{kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(), kSarvAcManagerInterface.c_str()};
    const Target base{kBaselineName, kBaselinePath, kBaselineInterface};
    const Build checkSelf = [](sd_bus_message* m, int i) { return BuildCheck(m, i, self_exe); };
    const Build checkUnclaimed = [](sd_bus_message* m, int i) { return BuildCheck(m, i, "/usr/bin/unclaimed"); };
    const Build can = BuildCan;

    struct Pair {
        Row row;
        const char* member;
        const Build* build;
        const char* baseMember;
        const Target* target;
    };
    std::vector<Pair> pairs = {
        {{"CheckAuthorization (configured subject)"}, "CheckAuthorization", &checkSelf, "CheckAuthorization", &svc},
        {{"CanAuthorize (configured subject)"}, "CanAuthorize", &can, "CanAuthorize", &svc},
        {{"CheckAuthorization (unclaimed executable)"}, "CheckAuthorization", &checkUnclaimed, "CheckAuthorization",
         &svc},
        {{"empty + pid asked of the bus per call"}, "CheckAskingPid", &checkSelf, "CheckAuthorization", &base},
        {{"empty + pid kept per connection"}, "CheckKeptPid", &checkSelf, "CheckAuthorization", &base},
    };

    // Warm up both services (and the pid table).
    Sequential(bus, svc, "CheckAuthorization", checkSelf, 200);
    Sequential(bus, base, "CheckAuthorization", checkSelf, 200);

    // The machine is shared: each measurement alternates with its baseline
    // in small blocks, every round gives one ratio, and the median round is
    // reported.
    const int blocks = 10;
    const int block = std::max(1, calls / blocks);
    auto measure = [&](const char* title) {
        std::vector<double> emptySeq, emptyFlight;
        for (auto& p : pairs) p.row = Row(p.row.label);
        for (int round = 0; round < rounds; ++round) {
            for (auto& p : pairs) {
                double tBase = 0, tMethod = 0, fBase = 0, fMethod = 0;
                for (int b = 0; b < blocks; ++b) {
                    tBase += Sequential(bus, base, p.baseMember, *p.build, block);
                    tMethod += Sequential(bus, *p.target, p.member, *p.build, block);
                    fBase += InFlight(bus, base, p.baseMember, *p.build, block);
                    fMethod += InFlight(bus, *p.target, p.member, *p.build, block);
                }
                const double total = static_cast<double>(block) * blocks;
                p.row.seqRate.push_back(total / tMethod);
                p.row.seqRatio.push_back(tBase / tMethod);
                p.row.flightRate.push_back(total / fMethod);
                p.row.flightRatio.push_back(fBase / fMethod);
                if (&p == &pairs.front()) {
                    emptySeq.push_back(total / tBase);
                    emptyFlight.push_back(total / fBase);
                }
            }
        }
        printf("\n%s\n", title);
        printf("calls per second on one private bus, median of %d rounds of %d calls\n", rounds, block * blocks);
        printf("%-44s %12s %8s %14s %8s\n", "", "one at a time", "ratio", "16 in flight", "ratio");
        printf("%-44s %12.0f %8s %14.0f %8s\n", "empty method (same signature)", Median(emptySeq), "1.00",
               Median(emptyFlight), "1.00");
        for (const auto& p : pairs)
            printf("%-44s %12.0f %8.2f %14.0f %8.2f\n", p.row.label, Median(p.row.seqRate), Median(p.row.seqRatio),
                   Median(p.row.flightRate), Median(p.row.flightRatio));
        const bool met = Median(pairs[0].row.seqRatio) >= 0.8 && Median(pairs[0].row.flightRatio) >= 0.5 &&
                         Median(pairs[1].row.seqRatio) >= 0.8 && Median(pairs[1].row.flightRatio) >= 0.5;
        printf("targets (configured subject): >= 0.80 one at a time, >= 0.50 with 16 in flight: %s\n",
               met ? "met" : "NOT met");
        return met;
    };
    // The stand-in reads this at every audit_open; it is switched only
    // while the service is idle between measurements.
    unsetenv("SARV_AUDIT_OPEN_FAIL");
    const bool metWriting = measure("[A] every question writes its audit record (stand-in writes a file)");
    setenv("SARV_AUDIT_OPEN_FAIL", "1", 1);
    const bool metUnreachable = measure("[B] audit system unreachable (audit_open fails, no record is written)");
    unsetenv("SARV_AUDIT_OPEN_FAIL");

    // Where a question's time goes, step by step, in this process.
    const int runs = 5000;
    const pid_t self = getpid();
    const std::string object = ObjectName(7);
    std::string comm = get_caller_cmdline(self).toLocal8Bit().constData();
    const std::string audit = "CheckAuthorization, exe=" + self_exe + ", subjectExe=" + self_exe +
                              ", object=" + object + ", operations=";
    printf("\nwhere a question's time goes (microseconds per step, best of 3 x %d)\n", runs);
    printf("  caller lookup\n");
    printf("    executable link of the subject pid    %8.2f\n",
           Micros(runs, [&] { (void)get_pid_link(self, "exe"); }));
    printf("    command line of the sender            %8.2f\n", Micros(runs, [&] { (void)get_caller_cmdline(self); }));
    printf("    sender pid: see the two 'empty +' rows above (asked of the bus vs kept per connection)\n");
    printf("  audit record\n");
    printf("    whole record (AuditLogMsg)            %8.2f\n",
           Micros(runs, [&] { AcAudit::AuditLogMsg(audit, comm, 0); }));
    printf("    host name                             %8.2f\n",
           Micros(runs, [&] { (void)QHostInfo::localHostName().toLocal8Bit(); }));
    printf("  interface enumeration\n");
    printf("    kept, refreshed on change (GetIp)     %8.2f\n", Micros(runs, [&] { (void)GetIp(); }));
    printf("    listed again for every record         %8.2f\n", Micros(runs / 10, [&] { (void)EnumerateInterfaces(); }));
    printf("  subject resolution\n");
    printf("    object entity + mode                  %8.2f\n", Micros(runs, [&] {
               (void)ConfigManager::GetEntityInfo(object);
               (void)cache->GetCache(cache->modeMap, object);
           }));
    printf("    subject entity by name + its policy   %8.2f\n", Micros(runs, [&] {
               PolicyData policy;
               (void)ConfigManager::GetEntityInfo(self_exe);
               cache->GetSubjectPolicy(self_exe, policy);
           }));
    printf("    unclaimed executable: walk of %d      %8.2f\n", kObjects + kSubjects, Micros(runs / 10, [&] {
               EntityInfoData subject;
               (void)ConfigManager::GetEntityInfo("/usr/bin/unclaimed");
               cache->GetExeSubjectInfo("/usr/bin/unclaimed", subject);
           }));

    sd_bus_flush_close_unref(bus);
    baseline_stop = true;
    baseline.join();
    stop_ac_dbus();
    service.join();

    printf("\nresult: targets %s with records written, %s with the audit system unreachable\n",
           metWriting ? "met" : "NOT met", metUnreachable ? "met" : "NOT met");
    return metWriting && metUnreachable ? 0 : 3;
}
