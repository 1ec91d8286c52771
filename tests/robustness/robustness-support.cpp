#include "robustness-support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "acconstants.h"
#include "acjson.h"
#include "configfile-helper.h"
#include "eventually.h"
#include "service-harness.h"

namespace fs = std::filesystem;

namespace robust {

namespace {

using Clock = std::chrono::steady_clock;

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};

}  // namespace

// ---- ServiceProcess ---------------------------------------------------------------------

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) Kill();
}

bool ServiceProcess::Spawn() {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        execl(sarvd_.c_str(), sarvd_.c_str(), plugin_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    return true;
}

bool ServiceProcess::Start(int seconds) {
    if (!Spawn()) return false;
    BusClient probe;
    const pid_t mine = pid_;
    return Eventually(
        [&] {
            int status = 0;
            if (waitpid(mine, &status, WNOHANG) == mine) {
                pid_ = -1;
                return true;  // ended: reported below
            }
            return probe.ok() && ServiceOwnerPid(probe.bus()) == mine;
        },
        seconds) && pid_ == mine;
}

void ServiceProcess::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

int ServiceProcess::Terminate(int seconds) {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    const pid_t mine = pid_;
    if (!Eventually([&] { return waitpid(mine, &status, WNOHANG) == mine; }, seconds)) {
        Kill();
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

long ServiceProcess::RssKiB() const {
    if (pid_ <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

pid_t ServiceOwnerPid(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetConnectionUnixProcessID", &error, &raw, "s", kSarvACManagerObject.c_str());
    std::unique_ptr<sd_bus_message, MessageUnref> m(raw);
    sd_bus_error_free(&error);
    uint32_t pid = 0;
    if (r < 0 || sd_bus_message_read(raw, "u", &pid) <= 0) return 0;
    return static_cast<pid_t>(pid);
}

// ---- names --------------------------------------------------------------------------------

const char* KindName(int kind) {
    static const char* names[] = {"mode", "entity", "policy"};
    return names[kind];
}

namespace {

// The shapes a record name takes: each stresses another part of the
// file-name encoding.
std::string ShapedName(const std::string& prefix, const std::string& kind, int thread, int index) {
    const std::string id = std::to_string(thread) + "-" + std::to_string(index);
    switch (index % 6) {
    case 0:
        return prefix + "-" + kind + "-" + id;
    case 1:
        return "/" + prefix + "/" + kind + "/" + id;
    case 2:
        // Looks like the encoding of a "/": must not meet the name with one.
        return prefix + "%" + kind + "%2F" + id;
    case 3:
        return "." + prefix + "-" + kind + " " + id;
    case 4:
        return prefix + "-" + kind + "-\u00fc\u6f22-" + id;
    default:
        // Long names share their first 150 encoded bytes: only the hash
        // of the whole name tells their files apart.
        return prefix + "-long-" + kind + std::string(220, 'y') + "/" + id;
    }
}

}  // namespace

std::vector<NamePool> MakePools(const std::string& prefix, int threads, int per_thread) {
    std::vector<NamePool> pools(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < per_thread; ++i) {
            pools[t].modes.push_back(ShapedName(prefix, "m", t, i));
            pools[t].entities.push_back(ShapedName(prefix, "e", t, i));
        }
        for (int i = 0; i < std::max(2, per_thread / 3); ++i)
            pools[t].subjects.push_back(ShapedName(prefix, "s", t, i * 5 + t));
    }
    return pools;
}

EntityInfoData SeedSubject(const std::string& name) {
    EntityInfoData e;
    e.name = name;
    e.type = kEntityTypeSubject;
    e.subtype = kEntitySubtypeExe;
    e.attrs.exes = {"/usr/bin/robust-seeded"};
    e.description = "seeded subject";
    return e;
}

// ---- model --------------------------------------------------------------------------------

void Model::Acknowledge(int kind, const std::string& name, const State& now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Expectation& e = names_[kind][name];
    e.state = now;
    e.undetermined = false;
    e.alternative.reset();
}

void Model::Undetermined(int kind, const std::string& name, const State& wanted) {
    std::lock_guard<std::mutex> lock(mutex_);
    Expectation& e = names_[kind][name];
    e.undetermined = true;
    e.alternative = wanted;
}

std::map<std::string, Expectation> Model::Snapshot(int kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_[kind];
}

void Model::Resolve(int kind, const std::string& name, const State& found) {
    std::lock_guard<std::mutex> lock(mutex_);
    Expectation& e = names_[kind][name];
    e.state = found;
    e.undetermined = false;
    e.alternative.reset();
}

bool Model::Knows(int kind, const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_[kind].count(name) > 0;
}

// ---- counts -------------------------------------------------------------------------------

const char* MethodName(int method) {
    static const char* names[] = {"SetMode", "DeleteMode", "SetEntity", "DeleteEntity", "SetPolicy", "DeletePolicy"};
    return names[method];
}

uint64_t Counts::TotalCalls() const {
    uint64_t total = 0;
    for (const auto& c : calls) total += c.load();
    return total;
}

std::string Counts::Summary() const {
    std::ostringstream out;
    out << "calls " << TotalCalls() << " (";
    for (int m = 0; m < kMethods; ++m) out << (m ? ", " : "") << MethodName(m) << " " << calls[m].load();
    out << "), acknowledged " << acknowledged.load() << ", refused " << refused.load() << ", not delivered "
        << not_delivered.load() << ", denied " << denied.load() << ", undetermined " << undetermined.load()
        << ", lost " << lost.load() << ", files checked " << files_checked.load() << ", leftover temporaries "
        << temporaries.load();
    return out.str();
}

// ---- the mutation driver -------------------------------------------------------------------

namespace {

template <typename T>
T Pick(std::mt19937_64& rng, const std::vector<T>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
}

// A non-empty, sorted subset without repeats: the service compares these
// lists as sets, so an acknowledged "no change" must not hinge on order.
std::vector<std::string> Subset(std::mt19937_64& rng, std::vector<std::string> from) {
    std::vector<std::string> out;
    while (out.empty())
        for (const auto& s : from)
            if (rng() & 1) out.push_back(s);
    std::sort(out.begin(), out.end());
    return out;
}

// Every field a record of a name ever gets is non-empty in every change of
// that name, and the fields it never gets stay empty: then the service's
// merge of a change into the stored file gives exactly the change, and the
// model needs no merge rules of its own.
std::string ModeChange(std::mt19937_64& rng, const std::string& name) {
    ModeData m;
    m.object = name;
    m.mode = Pick<std::string>(rng, {kModeWhitelist, kModeBlacklist, "read", "write", "allow"});
    m.version = Pick<std::string>(rng, {"1.0", "1.1", "2.0"});
    return ToJsonText(m);
}

std::string EntityChange(std::mt19937_64& rng, const std::string& name, bool subject) {
    EntityInfoData e;
    e.name = name;
    e.type = subject ? kEntityTypeSubject : kEntityTypeObject;
    e.subtype = subject ? kEntitySubtypeExe : kEntitySubtypeFile;
    e.tags = Subset(rng, {"a", "b", "robust"});
    e.owner = Pick<std::string>(rng, {"root", "alice", "bob"});
    e.level = Pick<std::string>(rng, {"1", "2"});
    e.sensitivity = Pick<std::string>(rng, {"low", "high"});
    if (subject)
        e.attrs.exes = Subset(rng, {"/usr/bin/robust-a", "/usr/bin/robust-b", "/opt/robust/c d"});
    else
        e.available_operations = Subset(rng, {"allow", "deny", "read", "write"});
    e.description = Pick<std::string>(rng, {"plain", "quote \" and \\ backslash", "line\nbreak", "\u00e9t\u00e9"});
    e.description_zh_CN = Pick<std::string>(rng, {"\u6444\u50cf\u5934", "\u9ea6\u514b\u98ce"});
    e.version = Pick<std::string>(rng, {"1.0", "1.1"});
    return ToJsonText(e);
}

// The objects of one subject's policy never change (only their operations
// and numbers do), for the same reason as above.
std::string PolicyChange(std::mt19937_64& rng, const std::string& subject, const std::vector<std::string>& objects) {
    ACPolicy entry;
    entry.subject = subject;
    for (const auto& object : objects) {
        PolicyObject o;
        o.object = object;
        if (object == "camera" || object == "microphone")
            o.operations = Subset(rng, {"allow", "deny"});
        else
            o.operations = Subset(rng, {"allow", "deny", "read", "write"});
        o.valid_period = rng() >> (rng() % 64);
        o.timestamp = rng();
        entry.objects.push_back(o);
    }
    PolicyData p;
    p.version = Pick<std::string>(rng, {"1.0", "1.2"});
    p.policies.push_back(entry);
    return ToJsonText(p);
}

// The fixed objects of a subject's policy: a shipped object, an object
// without entity, and one of the driver's own objects.
std::vector<std::string> PolicyObjects(const std::string& subject, const std::vector<std::string>& objects) {
    size_t h = std::hash<std::string>()(subject);
    std::vector<std::string> out = {h % 2 ? "camera" : "microphone", "robust-free-" + std::to_string(h % 7)};
    if (!objects.empty()) out.push_back(objects[h % objects.size()]);
    return out;
}

enum class Outcome { kAcknowledged, kRefused, kDenied, kNotDelivered, kUndetermined };

Outcome Classify(const BusClient::Reply& reply) {
    if (reply.ok) return Outcome::kAcknowledged;
    if (reply.error_name == "org.freedesktop.DBus.Error.InvalidArgs") return Outcome::kRefused;
    if (reply.error_name == "org.freedesktop.DBus.Error.AccessDenied") return Outcome::kDenied;
    // The bus had no owner for the name: nothing reached any service.
    if (reply.error_name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        reply.error_name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return Outcome::kNotDelivered;
    // NoReply (the service died with the call), a timeout, a broken
    // connection: the change may or may not have been made.
    return Outcome::kUndetermined;
}

}  // namespace

MutationDriver::MutationDriver(Model& model, Counts& counts, std::vector<NamePool> pools,
                               std::vector<std::string> objects)
    : model_(model), counts_(counts), pools_(std::move(pools)), objects_(std::move(objects)) {}

MutationDriver::~MutationDriver() { Stop(); }

void MutationDriver::Start(uint64_t seed, int pause_us) {
    Stop();
    stop_ = false;
    calls_this_run_ = 0;
    for (size_t i = 0; i < pools_.size(); ++i)
        threads_.emplace_back([this, i, seed, pause_us] { Run(i, seed * 1000003 + i, pause_us); });
}

void MutationDriver::Stop() {
    stop_ = true;
    for (auto& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

void MutationDriver::Run(size_t index, uint64_t seed, int pause_us) {
    std::mt19937_64 rng(seed);
    BusClient client;
    if (!client.ok()) return;
    // A hung service shows up as undetermined calls, not as a hung test.
    sd_bus_set_method_call_timeout(client.bus(), 20ull * 1000 * 1000);
    const NamePool& pool = pools_[index];
    bool gone = false;
    while (!stop_) {
        if (gone) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        // Changes more often than deletions, so that names hold records.
        static const int weights[kMethods] = {4, 1, 4, 1, 4, 1};
        std::discrete_distribution<int> which(std::begin(weights), std::end(weights));
        const int method = which(rng);
        const int kind = method / 2;
        const bool remove = method % 2 == 1;
        std::string name;
        std::string arg;
        if (kind == kMode) {
            name = Pick(rng, pool.modes);
            arg = remove ? name : ModeChange(rng, name);
        } else if (kind == kEntity) {
            size_t i = std::uniform_int_distribution<size_t>(0, pool.entities.size() - 1)(rng);
            name = pool.entities[i];
            // Every fourth name changes its type back and forth.
            const bool subject = i % 4 == 2 || (i % 4 == 3 && (rng() & 1));
            arg = remove ? name : EntityChange(rng, name, subject);
        } else {
            name = Pick(rng, pool.subjects);
            arg = remove ? name : PolicyChange(rng, name, PolicyObjects(name, objects_));
        }
        const State wanted = remove ? State() : Canonical(kind, arg);
        counts_.calls[method]++;
        calls_this_run_++;
        const BusClient::Reply reply = client.CallString(MethodName(method), arg);
        switch (Classify(reply)) {
        case Outcome::kAcknowledged:
            counts_.acknowledged++;
            model_.Acknowledge(kind, name, wanted);
            break;
        case Outcome::kRefused:
            counts_.refused++;
            // The name is known from now on, so that a stray file of it is
            // noticed; its state stays what was acknowledged before.
            if (!model_.Knows(kind, name)) model_.Acknowledge(kind, name, State());
            break;
        case Outcome::kDenied:
            counts_.denied++;
            break;
        case Outcome::kNotDelivered:
            counts_.not_delivered++;
            gone = true;
            break;
        case Outcome::kUndetermined:
            counts_.undetermined++;
            model_.Undetermined(kind, name, wanted);
            gone = true;
            break;
        }
        if (pause_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % pause_us));
    }
}

// ---- the check ------------------------------------------------------------------------------

namespace {

template <typename T>
std::optional<std::string> CanonicalOf(const std::string& json) {
    T record;
    if (ConfigFileHelper::LoadFromJson(json, record) != 0) return std::nullopt;
    return ToJsonText(record);
}

template <typename T>
bool LoadFile(const std::string& path, std::string& name, std::string& canonical, std::string& expected_path,
              const std::string& root) {
    T record;
    if (ConfigFileHelper::LoadFromFile(path, record) != 0) return false;
    name = GetConfigName(record);
    canonical = ToJsonText(record);
    expected_path = root + GetConfigFileName(record);
    return true;
}

std::string Show(const State& s) {
    if (!s) return "(none)";
    return s->size() > 300 ? s->substr(0, 300) + "..." : *s;
}

bool Allowed(const Expectation& e, const State& found) {
    return found == e.state || (e.undetermined && found == e.alternative);
}

}  // namespace

std::optional<std::string> Canonical(int kind, const std::string& json) {
    switch (kind) {
    case kMode:
        return CanonicalOf<ModeData>(json);
    case kEntity:
        return CanonicalOf<EntityInfoData>(json);
    default:
        return CanonicalOf<PolicyData>(json);
    }
}

std::array<std::map<std::string, std::string>, 3> ReadTree(const std::string& root, CheckResult& result) {
    std::array<std::map<std::string, std::string>, 3> tree;
    const std::string folders[3] = {kModeFolderName, kEntityFolderName, kPolicyFolderName};
    for (int kind = 0; kind < 3; ++kind) {
        const std::string folder = root + folders[kind];
        DIR* dir = opendir(folder.c_str());
        if (!dir) continue;
        while (struct dirent* ent = readdir(dir)) {
            const std::string file = ent->d_name;
            if (file == "." || file == "..") continue;
            const std::string path = folder + "/" + file;
            struct stat st {};
            if (lstat(path.c_str(), &st) != 0) continue;
            if (file[0] == '.') {
                // A writer's temporary left by a kill: never configuration.
                result.temporaries++;
                continue;
            }
            if (!S_ISREG(st.st_mode)) {
                result.problems.push_back("not a regular file: " + path);
                continue;
            }
            result.files++;
            if (st.st_size == 0) {
                result.problems.push_back("empty configuration file: " + path);
                continue;
            }
            if (ParseConfigType(path) != kind + 1) {
                result.problems.push_back("file of no configuration kind: " + path);
                continue;
            }
            std::string name, canonical, expected_path;
            bool loaded = kind == kMode     ? LoadFile<ModeData>(path, name, canonical, expected_path, root)
                          : kind == kEntity ? LoadFile<EntityInfoData>(path, name, canonical, expected_path, root)
                                            : LoadFile<PolicyData>(path, name, canonical, expected_path, root);
            if (!loaded) {
                result.problems.push_back("torn or unreadable configuration file: " + path + ": " +
                                          ReadTextFile(path).substr(0, 200));
                continue;
            }
            if (expected_path != path) {
                result.problems.push_back("record " + name + " lies in " + path + ", its name gives " + expected_path);
                continue;
            }
            if (tree[kind].count(name)) {
                // An entity of two types would have a file of each.
                result.problems.push_back("two files for the " + std::string(KindName(kind)) + " " + name);
            }
            tree[kind][name] = canonical;
        }
        closedir(dir);
    }
    return tree;
}

std::array<std::map<std::string, std::string>, 3> ReadServiceTree(CheckResult& result) {
    return ReadTree(kVarLibFolder, result);
}

CheckResult CheckAgainstModel(Model& model, BusClient& client) {
    CheckResult result;
    // The other trees must parse too; their names are not the model's.
    ReadTree(kUsrShareFolder, result);
    ReadTree(kEtcFolder, result);
    auto disk = ReadServiceTree(result);

    for (int kind = 0; kind < 3; ++kind) {
        auto expected = model.Snapshot(kind);
        for (const auto& [name, file] : disk[kind])
            if (!expected.count(name))
                result.problems.push_back(std::string("unexpected ") + KindName(kind) + " file for " + name);
        for (const auto& [name, e] : expected) {
            auto it = disk[kind].find(name);
            State found = it == disk[kind].end() ? State() : State(it->second);
            if (!Allowed(e, found)) {
                result.problems.push_back(std::string("LOST: ") + KindName(kind) + " " + name + " on disk is " +
                                          Show(found) + ", acknowledged " + Show(e.state) +
                                          (e.undetermined ? ", or undetermined " + Show(e.alternative) : ""));
                continue;
            }
            if (e.undetermined) result.undetermined_resolved++;
            model.Resolve(kind, name, found);
        }
    }

    // The service's cache, as the bus shows it, equals what is on disk.
    auto fromBus = [&](int kind, const std::string& member, const std::string& name) -> std::optional<State> {
        BusClient::Reply r = client.CallString(member, name);
        if (r.ok) return State(Canonical(kind, r.text));
        if (r.error_name == "org.freedesktop.DBus.Error.InvalidArgs") return State();
        result.problems.push_back(member + "(" + name + ") failed: " + r.error_name + " " + r.error_message);
        return std::nullopt;
    };
    for (const auto& [name, e] : model.Snapshot(kMode)) {
        auto found = fromBus(kMode, "GetMode", name);
        if (found && *found != e.state)
            result.problems.push_back("cache: mode " + name + " is " + Show(*found) + ", disk " + Show(e.state));
    }
    auto entities = model.Snapshot(kEntity);
    for (const auto& [name, e] : entities) {
        auto found = fromBus(kEntity, "GetEntity", name);
        if (found && *found != e.state)
            result.problems.push_back("cache: entity " + name + " is " + Show(*found) + ", disk " + Show(e.state));
    }
    BusClient::Reply list = client.CallList("ListEntity");
    if (!list.ok) {
        result.problems.push_back("ListEntity failed: " + list.error_name);
    } else {
        std::map<std::string, std::string> listed;
        for (const auto& text : list.list) {
            EntityInfoData e;
            if (ConfigFileHelper::LoadFromJson(text, e) != 0) {
                result.problems.push_back("ListEntity gave no entity: " + text);
                continue;
            }
            if (entities.count(e.name)) listed[e.name] = ToJsonText(e);
        }
        for (const auto& [name, e] : entities) {
            auto it = listed.find(name);
            State found = it == listed.end() ? State() : State(it->second);
            if (found != e.state)
                result.problems.push_back("ListEntity: " + name + " is " + Show(found) + ", disk " + Show(e.state));
        }
    }
    for (const auto& [name, e] : model.Snapshot(kPolicy)) {
        auto found = fromBus(kPolicy, "GetPolicy", name);
        if (!found) continue;
        // A subject without policy reads as one entry without objects.
        State want = e.state;
        if (!want) {
            PolicyData empty;
            ACPolicy entry;
            entry.subject = name;
            empty.policies.push_back(entry);
            want = ToJsonText(empty);
        }
        if (*found != want)
            result.problems.push_back("cache: policy " + name + " is " + Show(*found) + ", disk " + Show(e.state));
    }
    return result;
}

// ---- set-up -------------------------------------------------------------------------------

void PrepareTrees(const std::string& demo_root, const std::vector<NamePool>& pools) {
    for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root, ec)) fs::remove_all(entry.path(), ec);
        fs::create_directories(root, ec);
    }
    for (const std::string& root : {kUsrShareFolder, kEtcFolder}) {
        const std::string from = demo_root + root;
        std::error_code ec;
        fs::copy(from, root, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    }
    for (const auto& pool : pools)
        for (const auto& subject : pool.subjects) {
            EntityInfoData e = SeedSubject(subject);
            ConfigFileHelper::UpdateFile(kEtcFolder + GetConfigFileName(e), e);
        }
    std::error_code ec;
    for (const auto& profile : fs::directory_iterator("/etc/gardex.d", ec)) fs::remove_all(profile.path(), ec);
}

void LabelSelf() {
    setenv("SARV_PROC_ATTR_ROOT", kFakeProcRoot.c_str(), 1);
    SetLabel(getpid(), std::string("nimbra_app"));
}

uint64_t SeedFromEnv(const char* name, uint64_t fallback) {
    const char* v = getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

long LongFromEnv(const char* name, long fallback) {
    const char* v = getenv(name);
    return v && *v ? std::strtol(v, nullptr, 0) : fallback;
}

std::string Join(const std::vector<std::string>& lines, size_t limit) {
    std::string out;
    for (size_t i = 0; i < lines.size() && i < limit; ++i) out += "  " + lines[i] + "\n";
    if (lines.size() > limit) out += "  ... " + std::to_string(lines.size() - limit) + " more\n";
    return out;
}

}  // namespace robust
