// What the crash test and the soak (bench/soak) share: the model of what the service acknowledged, the client
// threads that change the configuration at random and keep it, and the check of the trees and answers against it.
#pragma once

#include <algorithm>
#include <array>
#include <filesystem>
#include <mutex>
#include <random>

#include "acjson.h"
#include "configfile-helper.h"
#include "harness.h"

namespace crash {

using nlohmann::json;
enum Kind { kMode, kEntity, kPolicy };
constexpr const char* kKinds[] = {"mode", "entity", "policy"};
constexpr const char* kChanges[] = {"SetMode", "DeleteMode", "SetEntity", "DeleteEntity", "SetPolicy", "DeletePolicy"};

// The names of client threads; one thread changes a name, so the service applied its changes in their order.
// Entity i is an object for i % 4 < 2, a subject for 2, either for 3; policies are named after seeded subjects.
struct Names {
    std::string prefix;
    int threads, per_thread;
    int Count(int kind) const { return kind == kPolicy ? 2 : per_thread; }
    // Shapes that stress the file-name encoding: "/", the look of an escaped "/", a leading ".", non-ASCII
    // bytes, and long names whose first 150 encoded bytes agree (only the digest of the whole name differs).
    std::string operator()(int kind, int thread, int index) const {
        const std::string k = std::string(1, "mes"[kind]), id = std::to_string(thread) + "-" + std::to_string(index);
        const std::string shapes[] = {prefix + "-" + k + "-" + id, "/" + prefix + "/" + k + "/" + id,
                                      prefix + "%" + k + "%2F" + id, "." + prefix + "-" + k + " " + id,
                                      prefix + "-" + k + "-\u00fc\u6f22-" + id,
                                      prefix + "-long-" + k + std::string(220, 'y') + "/" + id};
        return shapes[(kind == kPolicy ? index * 5 + thread : index) % 6];
    }
};

// The demo configuration, and a subject entity in /etc for every policy name.
inline void SeedTrees(const Names& names) {
    sarvtest::trees::Clear();
    sarvtest::trees::Seed("demo");
    for (int t = 0; t < names.threads; ++t)
        for (int i = 0; i < names.Count(kPolicy); ++i) {
            EntityInfoData e;
            e.name = names(kPolicy, t, i);
            e.type = kEntityTypeSubject;
            e.subtype = kEntitySubtypeExe;
            e.attrs.exes = {"/usr/bin/robust-seeded"};
            sarvtest::WriteFile(kEtcFolder + GetConfigFileName(e), ToJsonText(e));
        }
}

template <typename F>
auto WithRecord(int kind, F f) {
    return kind == kMode ? f(ModeData()) : kind == kEntity ? f(EntityInfoData()) : f(PolicyData());
}

// A record as the service writes it; nullopt for none (or no record of the kind).
using State = std::optional<std::string>;
inline State Canonical(int kind, const std::string& text) {
    return WithRecord(kind, [&](auto record) {
        return ConfigFileHelper::LoadFromJson(text, record) == 0 ? State(ToJsonText(record)) : std::nullopt;
    });
}

inline std::string Show(const State& s) { return !s ? "(none)" : s->size() > 300 ? s->substr(0, 300) + "..." : *s; }

enum Outcome { kAcknowledged, kRefused, kDenied, kNotDelivered, kUndetermined };
using Counts = std::array<std::atomic<uint64_t>, 5>;  // calls by outcome

// The states each name may show: the acknowledged one, then those of calls whose answers died with the service.
struct Model {
    void Record(int kind, const std::string& name, Outcome outcome, const State& wanted) {
        std::lock_guard<std::mutex> lock(mutex_);
        // Known from now on (with no record unless acknowledged), so that a stray file of it is noticed.
        auto& allowed = names_[kind].try_emplace(name, std::vector<State>{std::nullopt}).first->second;
        if (outcome == kAcknowledged) allowed = {wanted};
        if (outcome == kUndetermined) allowed.push_back(wanted);
    }
    std::map<std::string, std::vector<State>> Snapshot(int kind) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return names_[kind];
    }
    mutable std::mutex mutex_;
    std::array<std::map<std::string, std::vector<State>>, 3> names_;
};

inline std::string Pick(std::mt19937_64& rng, std::vector<std::string> from) { return from[rng() % from.size()]; }

// Non-empty, sorted, no repeats: the service compares such lists as sets, so "no change" must not hinge on order.
inline std::vector<std::string> Subset(std::mt19937_64& rng, const std::vector<std::string>& from) {
    std::vector<std::string> out;
    while (out.empty())
        std::copy_if(from.begin(), from.end(), std::back_inserter(out), [&](const std::string&) { return rng() & 1; });
    std::sort(out.begin(), out.end());
    return out;
}

// A random change of a name. Each sets every field the name's records ever get, so the service's merge of it
// into the stored file gives exactly the change and the model needs no merge rules. So a policy's objects stay
// (a shipped one, one without an entity, one another thread changes); their operations and numbers vary.
inline std::string Change(std::mt19937_64& rng, int kind, const std::string& name, bool subject,
                          const std::string& object_of_another) {
    if (kind == kMode) return json{{"object", name}, {"mode", Pick(rng, {"whitelist", "blacklist", "read"})}}.dump();
    if (kind == kEntity) {
        json e = {{"name", name}, {"type", subject ? "subject" : "object"}, {"subtype", subject ? "exe" : "file"},
                  {"tags", Subset(rng, {"a", "b", "robust"})}, {"owner", Pick(rng, {"root", "\u00e9t\u00e9"})},
                  {"description", Pick(rng, {"plain", "quote \" and \\ backslash", "line\nbreak", "\u6444\u50cf"})}};
        if (subject) e["attrs"] = {{"exes", Subset(rng, {"/usr/bin/robust-a", "/usr/bin/robust-b", "/opt/c d"})}};
        if (!subject) e["available_operations"] = Subset(rng, {"allow", "deny", "read", "write"});
        return e.dump();
    }
    const size_t h = std::hash<std::string>()(name);
    json entries = json::array();
    for (const std::string& object :
         {std::string(h % 2 ? "camera" : "microphone"), "robust-free-" + std::to_string(h % 7), object_of_another}) {
        std::vector<std::string> operations = {"allow", "deny", "read", "write"};
        if (object == "camera" || object == "microphone") operations.resize(2);  // all that they offer
        entries.push_back({{"object", object}, {"operations", Subset(rng, operations)},
                           {"valid_period", rng() >> (rng() % 64)}, {"timestamp", rng()}});
    }
    const json policy = {{"subject", {{"name", name}}}, {"objects", entries}};
    return json{{"version", Pick(rng, {"1.0", "1.2"})}, {"policies", json::array({policy})}}.dump();
}

// Client threads while it lives, each on a connection of its own changing only its names at random. A thread
// ends when a call gets no answer because the service went away.
class Driver {
public:
    Driver(Model& model, Counts& counts, const Names& names, uint64_t seed) {
        for (int t = 0; t < names.threads; ++t)
            threads_.emplace_back(&Driver::Run, this, std::ref(model), std::ref(counts), names, t, seed * 1000003 + t);
    }
    ~Driver() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
    }

private:
    void Run(Model& model, Counts& counts, const Names& names, int thread, uint64_t seed) {
        std::mt19937_64 rng(seed);
        sarvtest::Client client;
        sd_bus_set_method_call_timeout(client.bus(), 20 * 1000 * 1000);  // a hung service: undetermined calls
        std::discrete_distribution<int> which({4, 1, 4, 1, 4, 1});  // deletions rarer, so that names hold records
        for (bool gone = false; !stop_ && !gone;) {
            const int method = which(rng), kind = method / 2, i = static_cast<int>(rng() % names.Count(kind));
            const std::string name = names(kind, thread, i);
            const bool subject = i % 4 == 2 || (i % 4 == 3 && (rng() & 1));
            const std::string object = names(kEntity, (thread + 1) % names.threads, i % 2);  // never a subject
            const std::string arg = method % 2 ? name : Change(rng, kind, name, subject, object);
            const sarvtest::Reply r = client.Call(kChanges[method], {arg});
            // ServiceUnknown: the call reached no service; no answer: the change may have been made or not.
            const Outcome outcome = r.ok ? kAcknowledged : r.error == "InvalidArgs" ? kRefused
                                  : r.error == "AccessDenied" ? kDenied : r.error == "ServiceUnknown" ? kNotDelivered
                                  : kUndetermined;
            ++counts[outcome];
            model.Record(kind, name, outcome, method % 2 ? State() : Canonical(kind, arg));
            gone = outcome >= kNotDelivered;
        }
    }
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

using Problems = std::vector<std::string>;
using Tree = std::array<std::map<std::string, std::string>, 3>;  // kind -> name -> record

// Each file of a tree's record folders is a whole record of the folder's kind, where its name puts it, the only
// one of its name (none left of an entity's old type); hidden ones are temporaries a kill left, no configuration.
inline Tree ReadTree(const std::string& root, Problems& problems) {
    Tree tree;
    const std::string folders[] = {kModeFolderName, kEntityFolderName, kPolicyFolderName};
    for (int kind = 0; kind < 3; ++kind)
        for (const std::string& path : sarvtest::List(root + folders[kind])) {
            if (std::filesystem::path(path).filename().string()[0] == '.') continue;
            const std::string problem = WithRecord(kind, [&](auto record) -> std::string {
                if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path)) ||
                    ParseConfigType(path) != kind + 1)
                    return "no record file";
                if (ConfigFileHelper::LoadFromFile(path, record) != 0)
                    return "torn or unreadable: " + sarvtest::ReadFile(path).substr(0, 200);
                if (root + GetConfigFileName(record) != path) return "not where its name puts it";
                if (!tree[kind].emplace(GetConfigName(record), ToJsonText(record)).second) return "another of its name";
                return "";
            });
            if (!problem.empty()) problems.push_back(path + ": " + problem);
        }
    return tree;
}

// Every tree parses; the service's holds what the model allows for each name it knows (undetermined ones take
// what is found) and nothing else; the service's answers (GetMode, GetEntity, GetPolicy) show it.
inline Problems CheckAgainstModel(Model& model, sarvtest::Client& client) {
    Problems problems;
    ReadTree(kUsrShareFolder, problems);
    ReadTree(kEtcFolder, problems);
    const Tree disk = ReadTree(kVarLibFolder, problems);
    const char* const getters[] = {"GetMode", "GetEntity", "GetPolicy"};
    for (int kind = 0; kind < 3; ++kind) {
        const auto expected = model.Snapshot(kind);
        for (const auto& [name, record] : disk[kind])
            if (!expected.count(name)) problems.push_back(std::string("unexpected ") + kKinds[kind] + " " + name);
        for (const auto& [name, allowed] : expected) {
            const State now = disk[kind].count(name) ? State(disk[kind].at(name)) : State();
            if (std::find(allowed.begin(), allowed.end(), now) != allowed.end())
                model.Record(kind, name, kAcknowledged, now);
            else
                problems.push_back(std::string("LOST: ") + kKinds[kind] + " " + name + " is " + Show(now) +
                                   ", acknowledged " + Show(allowed.front()));
            const sarvtest::Reply r = client.Call(getters[kind], {name});
            State want = now;
            if (kind == kPolicy && !now)  // a subject without a policy reads as one entry without objects
                want = Canonical(kPolicy, json{{"policies", {json{{"subject", {{"name", name}}}}}}}.dump());
            if (!r.ok && r.error != "InvalidArgs")
                problems.push_back(std::string(getters[kind]) + "(" + name + "): " + r.error + " " + r.message);
            else if ((r.ok ? Canonical(kind, r.text) : State()) != want)
                problems.push_back(std::string("cache: ") + kKinds[kind] + " " + name + " is " + Show(r.text));
        }
    }
    return problems;
}

}  // namespace crash
