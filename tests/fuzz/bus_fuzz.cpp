// The arguments of every bus method, sent to the service running in this process (its bus loop on a thread),
// in the test sandbox on a private bus (with-private-bus), on the demo trees. Input: calls separated by the
// byte 0x1E. A call's first byte picks the method (modulo 12, in the order of kMethods), the rest split at NUL
// bytes gives its arguments. CanAuthorize reads its first as a process id (empty: this process);
// CheckAuthorization takes those after the second as operations. A first byte 0xFF writes one audit record
// with the arguments as message and program name (a real caller's is its argv[0], which this process cannot
// vary). This process is labelled, so changes pass the caller check. Beyond "no crash": the service's tree and
// the cache agree, each stored file is a loadable record named after it, the other trees are never written, a
// change that was not refused is in effect, and every answer of a query is a record document.
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <shared_mutex>
#include <tuple>

#include "ac-audit.h"
#include "acjson.h"
#include "configfile-watcher.h"
#include "config-manager.h"
#include "fuzz-check.h"
#include "harness.h"

namespace {

enum Method { kGetMode, kListEntity, kGetEntity, kGetPolicy, kSetMode, kDeleteMode, kSetEntity, kDeleteEntity,
              kSetPolicy, kDeletePolicy, kCanAuthorize, kCheckAuthorization, kMethodCount };
const char* const kMethods[kMethodCount] = {"GetMode", "ListEntity", "GetEntity", "GetPolicy", "SetMode",
    "DeleteMode", "SetEntity", "DeleteEntity", "SetPolicy", "DeletePolicy", "CanAuthorize", "CheckAuthorization"};
const AcConfigType kQueryKinds[] = {ModeType, EntityType, EntityType, PolicyType};

std::tuple<ConfigMap<ModeData>, ConfigMap<EntityInfoData>, ConfigMap<PolicyData>> g_loaded;  // after start-up
std::map<std::string, std::string> g_fixedTrees;  // /etc and /usr/share

bool IsMutation(int method) { return method >= kSetMode && method <= kDeletePolicy; }
bool InFolder(const std::string& path, const std::string& folder) { return path.rfind(folder, 0) == 0; }

template <typename F>
void WithRecord(int kind, F f) {
    if (kind == ModeType) f(ModeData());
    if (kind == EntityType) f(EntityInfoData());
    if (kind == PolicyType) f(PolicyData());
}

// A change the method did not refuse is in effect: the layered view of the name shows what was sent (the
// service's tree lies over the others), and a deletion leaves no file of the service's behind for the name.
void CheckChangeInEffect(int method, const std::string& arg) {
    ConfigManager* cache = ConfigManager::Instance();
    const std::string what = std::string(kMethods[method]) + " accepted " + arg;
    if (method == kSetMode) {
        ModeData sent;
        FUZZ_CHECK(ConfigFileHelper::LoadFromJson(arg, sent) == 0, what);
        FUZZ_CHECK(cache->GetCache(cache->modeMap, sent.object).mode == sent.mode, what + ", the mode differs");
    } else if (method == kSetEntity) {
        EntityInfoData sent;
        FUZZ_CHECK(ConfigFileHelper::LoadFromJson(arg, sent) == 0, what);
        const EntityInfoData now = cache->GetCache(cache->entityMap, sent.name);
        FUZZ_CHECK(now.type == sent.type && now.subtype == sent.subtype &&
                       (sent.available_operations.empty() || now.available_operations == sent.available_operations),
                   what + " but the entity is " + ToJsonText(now));
    } else if (method == kSetPolicy) {
        PolicyData sent;
        FUZZ_CHECK(ConfigFileHelper::LoadFromJson(arg, sent) == 0 && sent.IsValid(), what);
        const PolicyData now = cache->GetCache(cache->policyMap, GetConfigName(sent));
        for (const auto& entry : sent.policies)
            for (const auto& object : entry.objects) {
                bool found = false;
                for (const auto& have : now.policies)
                    for (const auto& o : have.objects)  // an empty list keeps what the lower trees grant
                        found = found || (have.subject == entry.subject && o.object == object.object &&
                                          (object.operations.empty() || o.operations == object.operations));
                FUZZ_CHECK(found, what + " but the policy is " + ToJsonText(now));
            }
    } else {
        std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
        auto check = [&](const auto& map) {
            if (map.count(arg))
                for (const auto& file : map.at(arg))
                    FUZZ_CHECK(!InFolder(file.first, kVarLibFolder), "deleted, yet still cached: " + file.first);
        };
        method == kDeleteMode ? check(cache->modeMap) : method == kDeleteEntity ? check(cache->entityMap)
                                                                                : check(cache->policyMap);
    }
}

void Call(int method, std::vector<std::string> args) {
    if (args.size() < 2) args.resize(2);
    if (method == kCanAuthorize) {
        errno = 0;
        const long long pid = args[0].empty() ? getpid() : strtoll(args[0].c_str(), nullptr, 10);
        if (errno != 0 || pid < INT32_MIN || pid > INT32_MAX) return;
        args = {std::to_string(pid), args[1]};
    } else if (method != kCheckAuthorization) {
        args.resize(method == kListEntity ? 0 : 1);
    }
    static sarvtest::Client client;  // once the service is up
    const sarvtest::Reply reply = client.Call(kMethods[method], args);
    if (!reply.ok) return;
    if (IsMutation(method)) CheckChangeInEffect(method, args[0]);
    if (method == kCheckAuthorization) FUZZ_CHECK(reply.number == 0 || reply.number == 1, std::to_string(reply.number));
    if (method > kGetPolicy) return;  // the rest are queries, answered with record documents
    for (const std::string& text : method == kListEntity ? reply.list : std::vector<std::string>{reply.text})
        WithRecord(kQueryKinds[method], [&](auto record) {
            FUZZ_CHECK(ConfigFileHelper::LoadFromJson(text, record) == 0, kMethods[method] + (" answered " + text));
        });
}

void CheckState() {
    ConfigManager* cache = ConfigManager::Instance();
    std::map<std::string, std::string> cached;  // service's file -> the name it is cached under
    std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
    auto collect = [&](const auto& map) {
        for (const auto& [name, files] : map)
            for (const auto& [path, record] : files) {
                const bool ours = InFolder(path, kVarLibFolder);
                FUZZ_CHECK(ours || InFolder(path, kUsrShareFolder) || InFolder(path, kEtcFolder),
                           "cached outside the trees: " + path);
                if (ours) cached[path] = name;
            }
    };
    collect(cache->modeMap);
    collect(cache->entityMap);
    collect(cache->policyMap);
    for (const std::string& path : sarvtest::List(kVarLibFolder)) {
        const std::string relative = path.substr(kVarLibFolder.size());
        if (std::filesystem::is_directory(path)) {
            FUZZ_CHECK(relative == "mode.d" || relative == "entity.d" || relative == "policy.d", "a folder " + path);
            continue;
        }
        FUZZ_CHECK(ParseConfigType(path) != UnknownType, "not a record file: " + path);
        WithRecord(ParseConfigType(path), [&](auto record) {
            FUZZ_CHECK(ConfigFileHelper::LoadFromFile(path, record) == 0, "unreadable record file " + path);
            FUZZ_CHECK(GetConfigFileName(record) == relative, path + " holds " + GetConfigFileName(record));
            FUZZ_CHECK(cached.count(path) && cached[path] == GetConfigName(record), "not cached by its name: " + path);
        });
    }
    for (const auto& [path, name] : cached) FUZZ_CHECK(sarvtest::Exists(path), "cached but not on disk: " + path);
    FUZZ_CHECK(sarvtest::Snapshot({kEtcFolder, kUsrShareFolder}) == g_fixedTrees, "/etc or /usr/share was changed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static sarvtest::World world("demo", /*own_bus=*/false);
    world.syslog.reset();        // the service's complaints about bad input would pile up in memory
    unsetenv("SARV_AUDIT_LOG");  // records go to the stand-in linked in, and nowhere from there
    // dpkg only lists here, so the real one answers, without its complaints about made-up package names.
    static sarvtest::FakeCommands dpkg(
        std::map<std::string, std::string>{{"dpkg", "exec /usr/bin/dpkg \"$@\" 2>/dev/null"}});
    static sarvtest::Service service;
    FUZZ_CHECK(service.Start(), "no private system bus: run it through tests/sandbox/with-private-bus");
    g_fixedTrees = sarvtest::Snapshot({kEtcFolder, kUsrShareFolder});
    sarvtest::Service::Reload();
    ConfigManager* cache = ConfigManager::Instance();
    std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
    g_loaded = {cache->modeMap, cache->entityMap, cache->policyMap};
    FUZZ_CHECK(!cache->modeMap.empty() && !cache->entityMap.empty() && !cache->policyMap.empty(),
               "the demo configuration did not load");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::set<std::string> touched;
    bool changed = false;
    size_t calls = 0;
    for (const std::string& call : Split(std::string(reinterpret_cast<const char*>(data), size), '\x1e')) {
        if (call.empty() || ++calls > 16) continue;
        const std::vector<std::string> args = Split(call.substr(1), '\0');
        const int method = call[0] == '\xff' ? -1 : static_cast<unsigned char>(call[0]) % kMethodCount;
        if (method < 0)
            AcAudit::AuditLogMsg(args[0], args.size() > 1 ? args[1] : std::string(), 1);
        else
            Call(method, args);
        if (!IsMutation(method)) continue;
        changed = true;
        for (const std::string& path : sarvtest::List(kVarLibFolder)) touched.insert(path);
    }
    if (!changed) return 0;
    CheckState();
    // Back to the state after start-up, so that a finding replays on its own: no file of the service's (its tree
    // starts empty and it announces only files it writes or deletes: `touched` has them all), none announced to
    // the idle watcher, the cache as loaded.
    for (const std::string& path : touched) {
        if (!std::filesystem::is_directory(path)) std::filesystem::remove(path);
        FileWatcher::Instance()->UnignoreFile(QString::fromStdString(path));
    }
    ConfigManager* cache = ConfigManager::Instance();
    ConfigManager::MapsChange change(*cache);
    std::tie(cache->modeMap, cache->entityMap, cache->policyMap) = g_loaded;
    cache->entityTexts.DropAll();
    return 0;
}
