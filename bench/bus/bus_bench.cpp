// Calls per second of GetMode and of ListEntity (1,000 entities) over the
// system bus, against an empty method served the same way on the same bus
// in the same run. Needs a private system bus and the sandboxed trees:
// bench/run-bus-bench.sh provides both.
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

namespace {

using Clock = std::chrono::steady_clock;

const char kBaselineName[] = "org.nimbra.sarv1.Bench";
const char kBaselinePath[] = "/org/nimbra/sarv1/Bench";
const char kBaselineInterface[] = "org.nimbra.sarv1.Bench";
constexpr int kEntities = 1000;

// The baseline: reads its argument and answers an empty string.
int Empty(sd_bus_message* m, void*, sd_bus_error*) {
    const char* text = nullptr;
    int r = sd_bus_message_read(m, "s", &text);
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "s", "");
}

const sd_bus_vtable kBaselineVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Empty", "s", "s", Empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

std::atomic<bool> baseline_stop{false};

void WriteConfiguration() {
    for (int i = 0; i < kEntities; ++i) {
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

bool Call(sd_bus* bus, const char* dest, const char* path, const char* iface, const char* member, const char* arg) {
    sd_bus_message* reply = nullptr;
    int r = arg ? sd_bus_call_method(bus, dest, path, iface, member, nullptr, &reply, "s", arg)
                : sd_bus_call_method(bus, dest, path, iface, member, nullptr, &reply, "");
    sd_bus_message_unref(reply);
    return r >= 0;
}

}  // namespace

int main(int argc, char** argv) {
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
    for (int i = 0; i < kEntities; ++i) {
        char name[32];
        snprintf(name, sizeof name, "object%04d", (i * 7919) % kEntities);
        names.push_back(name);
    }

    // The machine is shared: the method and its baseline alternate in small
    // blocks so that a busy moment slows both alike, and each round gives
    // one ratio; the median round is reported.
    const int blocks = 10;
    const int block = std::max(1, calls / blocks);
    const int listCalls = std::max(1, calls / 100);
    auto empty = [&](int) { return Call(bus, kBaselineName, kBaselinePath, kBaselineInterface, "Empty", "object0001"); };
    auto getMode = [&](int i) { return Call(bus, svc, path, iface, "GetMode", names[i % kEntities].c_str()); };
    auto listEntity = [&](int) { return Call(bus, svc, path, iface, "ListEntity", nullptr); };
    std::vector<double> emptyRates, getModeRates, getModeRatios, listRates, listRatios;
    for (int round = 0; round < rounds; ++round) {
        double tEmpty = 0, tGetMode = 0, tEmptyForList = 0, tList = 0;
        for (int b = 0; b < blocks; ++b) {
            tEmpty += Time(block, empty);
            tGetMode += Time(block, getMode);
        }
        for (int b = 0; b < listCalls; ++b) {
            tEmptyForList += Time(1, empty);
            tList += Time(1, listEntity);
        }
        emptyRates.push_back(block * blocks / tEmpty);
        getModeRates.push_back(block * blocks / tGetMode);
        getModeRatios.push_back(tEmpty / tGetMode);
        listRates.push_back(listCalls / tList);
        listRatios.push_back(tEmptyForList / tList);
        if (getenv("BUS_BENCH_VERBOSE"))
            fprintf(stderr, "round %d: empty %.0f/s GetMode %.0f/s (%.2f) ListEntity %.1f/s (%.4f)\n", round,
                    emptyRates.back(), getModeRates.back(), getModeRatios.back(), listRates.back(),
                    listRatios.back());
    }
    const double ratio = Median(getModeRatios);
    printf("bus round trips on a private bus, median of %d rounds\n", rounds);
    printf("  empty method        %9.0f calls/s\n", Median(emptyRates));
    printf("  GetMode             %9.0f calls/s  ratio to empty %.2f (target >= 0.70)\n", Median(getModeRates), ratio);
    printf("  ListEntity (%d)   %9.1f calls/s  ratio to empty %.4f\n", kEntities, Median(listRates),
           Median(listRatios));

    sd_bus_flush_close_unref(bus);
    baseline_stop = true;
    baseline.join();
    stop_ac_dbus();
    service.join();
    return ratio >= 0.7 ? 0 : 3;
}
