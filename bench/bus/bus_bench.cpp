// Calls per second of GetMode over the system bus against an empty method,
// and of ListEntity (1,000 entities, some of them packages whose programs
// come from a package database set up here) against a method that answers
// the very texts ListEntity gave, precomputed: both replies carry the same
// bytes, so the bus's own copying costs both sides alike and the ratio is
// what building the list costs. Both baselines are served the same way on
// the same bus in the same run. Needs a private system bus and the
// sandboxed trees: bench/run-bus-bench.sh provides both.
//
//   bus_bench [CALLS [ROUNDS]]
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ac-dbus-service.h"
#include "acconstants.h"
#include "bench-support.h"
#include "config-manager.h"
#include "service.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kBaselineName[] = "org.nimbra.sarv1.Bench";
const char kBaselinePath[] = "/org/nimbra/sarv1/Bench";
const char kBaselineInterface[] = "org.nimbra.sarv1.Bench";
constexpr int kEntities = 1000;
// Of those, package subjects without "exes": their programs come from the
// package database below (its file lists name real programs of this machine
// beside files that are no programs).
constexpr int kPackages = 100;
const char kAdminDir[] = "/tmp/bench-dpkg";
constexpr double kGetModeTarget = 0.9;
constexpr double kListTarget = 0.5;

// The texts the list baseline answers with: ListEntity's own first answer.
std::vector<std::string> list_texts;

// The baseline: reads its argument and answers an empty string.
int Empty(sd_bus_message* m, void*, sd_bus_error*) {
    const char* text = nullptr;
    int r = sd_bus_message_read(m, "s", &text);
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "s", "");
}

// The list baseline: the reply built the way the service builds its own.
int List(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
    for (size_t i = 0; r >= 0 && i < list_texts.size(); ++i) r = sd_bus_message_append_basic(reply, 's', list_texts[i].c_str());
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(sd_bus_message_get_bus(m), reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

const sd_bus_vtable kBaselineVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Empty", "s", "s", Empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("List", "", "as", List, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

std::atomic<bool> baseline_stop{false};

void WritePackages() {
    const char* const programs[] = {"/usr/bin/true", "/usr/bin/false", "/usr/bin/env", "/usr/bin/cat", "/usr/bin/ls"};
    const char* const others[] = {"/usr", "/usr/bin", "/etc/hostname", "/usr/share/doc", "/etc/passwd"};
    std::string status;
    for (int i = 0; i < kPackages; ++i) {
        char name[32];
        snprintf(name, sizeof name, "pkg%04d", i);
        status += std::string("Package: ") + name + "\nStatus: install ok installed\nVersion: 1\nArchitecture: amd64\n\n";
        std::string list;
        for (int k = 0; k < 5; ++k) list += std::string(others[k]) + "\n" + programs[(i + k) % 5] + "\n";
        WriteFile(std::string(kAdminDir) + "/info/" + name + ".list", list);
        WriteFile(kUsrShareEntityFolder + "/" + name + ".subject",
                  std::string("{\"name\":\"") + name +
                      "\",\"type\":\"subject\",\"subtype\":\"package\",\"description\":\"A benchmark package\"}");
    }
    WriteFile(std::string(kAdminDir) + "/status", status);
    setenv("DPKG_ADMINDIR", kAdminDir, 1);
}

void WriteConfiguration() {
    WritePackages();
    for (int i = 0; i < kEntities - kPackages; ++i) {
        char name[32];
        snprintf(name, sizeof name, "object%04d", i);
        WriteFile(kUsrShareEntityFolder + "/" + name + ".object",
                  std::string("{\"name\":\"") + name +
                      "\",\"type\":\"object\",\"subtype\":\"exe\",\"available_operations\":[\"read\",\"write\"],"
                      "\"description\":\"A benchmark object with a description of ordinary length\"}");
        WriteFile(kUsrShareModeFolder + "/" + name + ".mode",
                  std::string("{\"object\":\"") + name + "\",\"mode\":\"whitelist\",\"version\":\"1.0\"}");
    }
}

// Seconds taken by `calls` synchronous calls made by `one`.
template <typename Call>
double Time(int calls, Call one) {
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i)
        if (!one(i)) {
            fprintf(stderr, "call failed\n");
            exit(1);
        }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Makes the call; when `texts` is given, reads the reply's strings into it.
bool Call(sd_bus* bus, const char* dest, const char* path, const char* iface, const char* member, const char* arg,
          std::vector<std::string>* texts = nullptr) {
    sd_bus_message* reply = nullptr;
    int r = arg ? sd_bus_call_method(bus, dest, path, iface, member, nullptr, &reply, "s", arg)
                : sd_bus_call_method(bus, dest, path, iface, member, nullptr, &reply, "");
    if (r >= 0 && texts) {
        char** strv = nullptr;
        r = sd_bus_message_read_strv(reply, &strv);
        texts->clear();
        for (char** s = strv; r >= 0 && s && *s; ++s) texts->push_back(*s);
        for (char** s = strv; s && *s; ++s) free(*s);
        free(strv);
    }
    sd_bus_message_unref(reply);
    return r >= 0;
}

const char* Verdict(double ratio, double target) { return ratio >= target ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
    SarvService owner;
    const int calls = argc > 1 ? atoi(argv[1]) : 3000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (!getenv("DBUS_SYSTEM_BUS_ADDRESS") || !getenv("SARV_SANDBOX")) {
        fprintf(stderr, "run me through bench/run-bus-bench.sh (private bus inside the sandbox)\n");
        return 2;
    }

    WriteConfiguration();
    ConfigManager::Instance()->InitCache();

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

    const char* svc = kSarvACManagerObject.c_str();
    const char* path = kSarvACManagerPath.c_str();
    const char* iface = kSarvAcManagerInterface.c_str();
    std::vector<std::string> names;
    for (int i = 0; i < kEntities - kPackages; ++i) {
        char name[32];
        snprintf(name, sizeof name, "object%04d", (i * 7919) % (kEntities - kPackages));
        names.push_back(name);
    }
    // The baseline's texts, and a check that the packages' programs came in.
    if (!Call(bus, svc, path, iface, "ListEntity", nullptr, &list_texts) || list_texts.size() != size_t(kEntities) ||
        list_texts[kEntities - kPackages].find("/usr/bin/true") == std::string::npos) {
        fprintf(stderr, "ListEntity did not give the %d entities with their packages' programs\n", kEntities);
        return 1;
    }

    // The machine is shared: the method and its baseline alternate in small
    // blocks so that a busy moment slows both alike, and each round gives
    // one ratio; the median round is reported.
    const int blocks = 10;
    const int block = std::max(1, calls / blocks);
    const int listCalls = std::max(1, calls / 20);
    auto empty = [&](int) { return Call(bus, kBaselineName, kBaselinePath, kBaselineInterface, "Empty", "object0001"); };
    auto getMode = [&](int i) { return Call(bus, svc, path, iface, "GetMode", names[i % names.size()].c_str()); };
    auto list = [&](int) { return Call(bus, kBaselineName, kBaselinePath, kBaselineInterface, "List", nullptr); };
    auto listEntity = [&](int) { return Call(bus, svc, path, iface, "ListEntity", nullptr); };
    std::vector<double> emptyRates, getModeRates, getModeRatios, listRates, listRatios;
    for (int round = 0; round < rounds; ++round) {
        double tEmpty = 0, tGetMode = 0, tBaselineList = 0, tList = 0;
        for (int b = 0; b < blocks; ++b) {
            tEmpty += Time(block, empty);
            tGetMode += Time(block, getMode);
        }
        for (int b = 0; b < listCalls; ++b) {
            tBaselineList += Time(1, list);
            tList += Time(1, listEntity);
        }
        emptyRates.push_back(block * blocks / tEmpty);
        getModeRates.push_back(block * blocks / tGetMode);
        getModeRatios.push_back(tEmpty / tGetMode);
        listRates.push_back(listCalls / tList);
        listRatios.push_back(tBaselineList / tList);
        if (getenv("BUS_BENCH_VERBOSE"))
            fprintf(stderr, "round %d: empty %.0f/s GetMode %.0f/s (%.2f) ListEntity %.1f/s (%.3f)\n", round,
                    emptyRates.back(), getModeRates.back(), getModeRatios.back(), listRates.back(),
                    listRatios.back());
    }
    std::vector<std::string> last;
    if (!Call(bus, svc, path, iface, "ListEntity", nullptr, &last) || last != list_texts) {
        fprintf(stderr, "ListEntity's answer changed during the run\n");
        return 1;
    }
    const double ratio = Median(getModeRatios);
    const double listRatio = Median(listRatios);
    printf("bus round trips on a private bus, median of %d rounds\n", rounds);
    printf("  empty method           %9.0f calls/s\n", Median(emptyRates));
    printf("  GetMode                %9.0f calls/s  ratio to empty %.3f (target >= %.2f: %s)\n", Median(getModeRates),
           ratio, kGetModeTarget, Verdict(ratio, kGetModeTarget));
    printf("  ListEntity (%d, %d packages) %6.1f calls/s  ratio to the same texts precomputed %.3f (target >= %.2f: %s)\n",
           kEntities, kPackages, Median(listRates), listRatio, kListTarget, Verdict(listRatio, kListTarget));

    sd_bus_flush_close_unref(bus);
    baseline_stop = true;
    baseline.join();
    stop_ac_dbus();
    service.join();
    return ratio >= kGetModeTarget && listRatio >= kListTarget ? 0 : 3;
}
