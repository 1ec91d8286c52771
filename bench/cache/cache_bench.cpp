// Loading the cache and resolving subjects.
//
//   InitCache over 10,000 record files (all kinds, all three trees) against
//   a baseline that only reads and parses the same files with nlohmann;
//   GetExeSubjectInfo among 1,000 subjects: median microseconds per lookup;
//   peak RSS.
//
// Uses the fixed configuration paths: run it through bench/run-cache-bench.sh.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "acjson.h"
#include "config-manager.h"
#include "service.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

void WriteTrees(int files) {
    const std::string roots[] = {kUsrShareFolder, kEtcFolder, kVarLibFolder};
    int subjects = 0;
    for (int i = 0; i < files; ++i) {
        const std::string& root = roots[i % 3];
        switch ((i / 3) % 3) {
        case 0: {
            // 1,000 subjects among the entities; the rest are objects.
            const bool subject = subjects++ < 1000;
            EntityInfoData e;
            e.name = subject ? "/usr/bin/prog" + std::to_string(i) : "object" + std::to_string(i);
            e.type = subject ? "subject" : "object";
            e.subtype = subject ? "exe" : "file";
            e.available_operations = {"read", "write"};
            e.description = "benchmark entity";
            ConfigFileHelper::UpdateFile(root + GetConfigFileName(e), e);
            break;
        }
        case 1: {
            ModeData m;
            m.object = "object" + std::to_string(i);
            m.mode = "whitelist";
            ConfigFileHelper::UpdateFile(root + GetConfigFileName(m), m);
            break;
        }
        default: {
            PolicyData p;
            p.policies.push_back({"subject" + std::to_string(i), {{"object" + std::to_string(i), {"read"}, 0, 0},
                                                                  {"camera", {"read", "write"}, 0, 0}}});
            ConfigFileHelper::UpdateFile(root + GetConfigFileName(p), p);
        }
        }
    }
}

// What any loader must do at least: list the nine folders, read and parse each file.
size_t ReadAndParseOnly() {
    size_t parsed = 0;
    for (const auto& folder : kConfigFolderList) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            auto j = nlohmann::json::parse(text.str(), nullptr, false);
            parsed += !j.is_discarded();
        }
    }
    return parsed;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    SarvService owner;
    WriteTrees(10000);
    ConfigManager* cm = ConfigManager::Instance();

    std::vector<double> baseline, load;
    for (int round = 0; round < 5; ++round) {
        auto t0 = Clock::now();
        size_t n = ReadAndParseOnly();
        baseline.push_back(Seconds(t0));
        if (n != 10000) std::fprintf(stderr, "baseline parsed %zu files\n", n);
        cm->modeMap.clear();
        cm->entityMap.clear();
        cm->policyMap.clear();
        t0 = Clock::now();
        cm->InitCache();
        load.push_back(Seconds(t0));
    }
    double b = Median(baseline), l = Median(load);
    std::printf("InitCache, 10000 files:        %8.1f ms   read+parse baseline %8.1f ms   ratio %.2f (target <= 1.5)\n",
                l * 1e3, b * 1e3, l / b);

    size_t subjects = 0;
    for (const auto& name : cm->EntityNames()) subjects += ConfigManager::GetEntityInfo(name).type == "subject";
    std::vector<std::string> exes;
    for (const auto& name : cm->EntityNames())
        if (name.rfind("/", 0) == 0) exes.push_back(name);
    std::vector<double> us;
    for (int i = 0; i < 2000; ++i) {
        EntityInfoData s;
        auto t0 = Clock::now();
        cm->GetExeSubjectInfo(exes[(i * 7919) % exes.size()], s);
        us.push_back(Seconds(t0) * 1e6);
    }
    std::printf("GetExeSubjectInfo among %zu subjects (%zu entities): median %.1f us per lookup\n", subjects,
                cm->EntityNames().size(), Median(us));

    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("peak RSS: %.1f MiB\n", ru.ru_maxrss / 1024.0);
    return 0;
}
