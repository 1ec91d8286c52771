// The arguments of every method of the bus interface, handed to the methods
// of AccessControlDbus directly with a real call message from this process.
//
// Input: calls separated by the byte 0x1E. The first byte of a call picks
// the method (modulo 12, in the order of kMethods), the rest is split at
// NUL bytes into its arguments (D-Bus strings hold no NUL). CanAuthorize
// reads its first argument as a process id (empty: this process);
// CheckAuthorization takes every argument after the second as an operation.
// A call whose first byte is 0xFF writes one audit record through the
// writer the methods use, with its first argument as the message and its
// second as the program name: a real call's program name is the caller's
// argv[0], which this process cannot vary from input to input.
//
// Runs only inside the test sandbox with a private system bus. The caller
// check passes through a label file in a private tree, so changes reach the
// cache and /var/lib/olm/sarv/; after every input the cache and that folder
// are put back as they were after start-up, so every input starts from the
// demo configuration and a finding replays on its own.
//
// Beyond "no crash": the files under /var/lib/olm/sarv/ and the cache agree,
// every stored file is a loadable record named after its record, the other
// trees are never written, a change that was not refused is in effect, and
// every answer of a query is a record document.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <QList>
#include <QString>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "ac-audit.h"
#include "ac-globals.h"
#include "access-control-dbus.h"
#include "acjson.h"
#include "config-file-watcher.h"
#include "config-manager.h"
#include "configfile-helper.h"
#include "fuzz-check.h"

#ifndef SARV_FUZZ_DEMO_DIR
#error "SARV_FUZZ_DEMO_DIR must name the demo configuration"
#endif

namespace fs = std::filesystem;

namespace {

enum Method {
    kGetMode,
    kListEntity,
    kGetEntity,
    kGetPolicy,
    kSetMode,
    kDeleteMode,
    kSetEntity,
    kDeleteEntity,
    kSetPolicy,
    kDeletePolicy,
    kCanAuthorize,
    kCheckAuthorization,
    kMethodCount
};

const char* const kMethods[kMethodCount] = {"GetMode",      "ListEntity", "GetEntity",    "GetPolicy",
                                            "SetMode",      "DeleteMode", "SetEntity",    "DeleteEntity",
                                            "SetPolicy",    "DeletePolicy", "CanAuthorize", "CheckAuthorization"};

constexpr size_t kMaxCalls = 16;
constexpr unsigned char kAuditRecord = 0xFF;
constexpr char kCallSeparator = '\x1e';
const char* const kRecordFolders[] = {"mode.d", "entity.d", "policy.d"};

sd_bus* g_bus = nullptr;
const char* g_me = nullptr;
uint64_t g_cookie = 0;

ConfigMap<ModeData> g_modes;
ConfigMap<EntityInfoData> g_entities;
ConfigMap<PolicyData> g_policies;
std::map<std::string, std::string> g_fixedTrees;  // path -> contents of /etc and /usr/share

[[noreturn]] void Refuse(const char* why) {
    fprintf(stderr, "bus_fuzz: %s\n", why);
    fprintf(stderr, "run it as: tests/sandbox/sarv-sandbox tests/sandbox/with-private-bus bus_fuzz ...\n");
    exit(2);
}

void WriteText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::map<std::string, std::string> Snapshot(const std::vector<std::string>& roots) {
    std::map<std::string, std::string> files;
    for (const auto& root : roots) {
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(root, ec))
            files[entry.path().string()] = entry.is_regular_file() ? ReadText(entry.path().string()) : "<dir>";
    }
    return files;
}

bool IsMutation(int method) { return method >= kSetMode && method <= kDeletePolicy; }

// ---- the call message ---------------------------------------------------------------

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// A sealed call as the bus would deliver it from this process, without a
// reply expected (the methods' error answers go nowhere). Null when the bus
// would refuse the arguments (a string that is not UTF-8).
MessagePtr BuildCall(int method, const std::vector<std::string>& args, int pid) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(g_bus, &raw, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                                       kSarvAcManagerInterface.c_str(), kMethods[method]) < 0)
        return nullptr;
    MessagePtr m(raw);
    int r = 0;
    auto arg = [&](size_t i) { return i < args.size() ? args[i].c_str() : ""; };
    switch (method) {
    case kListEntity:
        break;
    case kCanAuthorize:
        r = sd_bus_message_append(raw, "is", pid, arg(1));
        break;
    case kCheckAuthorization:
        r = sd_bus_message_append(raw, "ss", arg(0), arg(1));
        if (r >= 0) r = sd_bus_message_open_container(raw, 'a', "s");
        for (size_t i = 2; r >= 0 && i < args.size(); ++i) r = sd_bus_message_append_basic(raw, 's', arg(i));
        if (r >= 0) r = sd_bus_message_close_container(raw);
        break;
    default:
        r = sd_bus_message_append(raw, "s", arg(0));
        break;
    }
    if (r < 0) return nullptr;
    if (sd_bus_message_set_sender(raw, g_me) < 0 || sd_bus_message_set_expect_reply(raw, 0) < 0 ||
        sd_bus_message_seal(raw, ++g_cookie, 0) < 0)
        return nullptr;
    return m;
}

template <typename T>
void CheckRecordText(const QString& text, const char* method) {
    T record;
    FUZZ_CHECK(ConfigFileHelper::LoadFromJson(text.toStdString(), record) == 0,
               std::string(method) + " answered " + text.toStdString());
}

// A change the method did not refuse is in effect: the layered view of the
// name shows what was sent (the service's own tree lies over the others),
// and a deletion leaves no file of the service's behind for the name.
void CheckChangeInEffect(int method, const std::string& arg) {
    ConfigManager* cache = ConfigManager::Instance();
    switch (method) {
    case kSetMode: {
        ModeData sent;
        FUZZ_CHECK(ConfigFileHelper::LoadFromJson(arg, sent) == 0, "SetMode accepted " + arg);
        const ModeData now = cache->GetCache(cache->modeMap, sent.object);
        FUZZ_CHECK(now.mode == sent.mode, "SetMode accepted " + arg + " but the mode is " + now.mode);
        break;
    }
    case kSetEntity: {
        EntityInfoData sent;
        FUZZ_CHECK(ConfigFileHelper::LoadFromJson(arg, sent) == 0, "SetEntity accepted " + arg);
        const EntityInfoData now = cache->GetCache(cache->entityMap, sent.name);
        FUZZ_CHECK(now.type == sent.type && now.subtype == sent.subtype,
                   "SetEntity accepted " + arg + " but the entity is " + ToJsonText(now));
        if (!sent.available_operations.empty())
            FUZZ_CHECK(now.available_operations == sent.available_operations,
                       "SetEntity accepted " + arg + " but the entity is " + ToJsonText(now));
        break;
    }
    case kSetPolicy: {
        PolicyData sent;
        FUZZ_CHECK(ConfigFileHelper::LoadFromJson(arg, sent) == 0, "SetPolicy accepted " + arg);
        FUZZ_CHECK(sent.IsValid(), "SetPolicy accepted " + arg);
        const PolicyData now = cache->GetCache(cache->policyMap, GetConfigName(sent));
        for (const auto& entry : sent.policies)
            for (const auto& object : entry.objects) {
                bool found = false;
                for (const auto& have : now.policies)
                    if (have.subject == entry.subject)
                        for (const auto& o : have.objects)
                            // An empty list keeps what the lower trees grant.
                            found = found || (o.object == object.object &&
                                              (object.operations.empty() || o.operations == object.operations));
                FUZZ_CHECK(found, "SetPolicy accepted " + arg + " but the policy is " + ToJsonText(now));
            }
        break;
    }
    case kDeleteMode:
    case kDeleteEntity:
    case kDeletePolicy: {
        std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
        auto check = [&](const auto& map) {
            auto it = map.find(arg);
            if (it == map.end()) return;
            for (const auto& file : it->second)
                FUZZ_CHECK(file.first.rfind(kVarLibFolder, 0) != 0, "deleted, yet still cached: " + file.first);
        };
        if (method == kDeleteMode) check(cache->modeMap);
        if (method == kDeleteEntity) check(cache->entityMap);
        if (method == kDeletePolicy) check(cache->policyMap);
        break;
    }
    }
}

// The handler's part: the arguments as the service reads them from the
// message (UTF-8 into QString), the method, and its answer.
void Call(int method, const std::vector<std::string>& args) {
    int pid = getpid();
    if (method == kCanAuthorize && !args.empty() && !args[0].empty()) {
        errno = 0;
        const long long wanted = strtoll(args[0].c_str(), nullptr, 10);
        if (errno != 0 || wanted < INT32_MIN || wanted > INT32_MAX) return;
        pid = static_cast<int>(wanted);
    }
    MessagePtr message = BuildCall(method, args, pid);
    if (!message) return;
    sd_bus_message* m = message.get();
    auto q = [&](size_t i) { return QString::fromUtf8(i < args.size() ? args[i].c_str() : ""); };

    AccessControlDbus* ac = AccessControlDbus::Instance();
    ac->BeginCall(m);
    switch (method) {
    case kGetMode: {
        const QString answer = ac->GetMode(m, q(0));
        if (!ac->HasReplied(m)) CheckRecordText<ModeData>(answer, "GetMode");
        break;
    }
    case kListEntity:
        for (const QString& entity : ac->ListEntity(m)) CheckRecordText<EntityInfoData>(entity, "ListEntity");
        break;
    case kGetEntity: {
        const QString answer = ac->GetEntity(m, q(0));
        if (!ac->HasReplied(m)) CheckRecordText<EntityInfoData>(answer, "GetEntity");
        break;
    }
    case kGetPolicy: {
        const QString answer = ac->GetPolicy(m, q(0));
        if (!ac->HasReplied(m)) CheckRecordText<PolicyData>(answer, "GetPolicy");
        break;
    }
    case kSetMode:
        ac->SetMode(m, q(0));
        break;
    case kDeleteMode:
        ac->DeleteMode(m, q(0));
        break;
    case kSetEntity:
        ac->SetEntity(m, q(0));
        break;
    case kDeleteEntity:
        ac->DeleteEntity(m, q(0));
        break;
    case kSetPolicy:
        ac->SetPolicy(m, q(0));
        break;
    case kDeletePolicy:
        ac->DeletePolicy(m, q(0));
        break;
    case kCanAuthorize:
        ac->CanAuthorize(m, pid, q(1));
        break;
    case kCheckAuthorization: {
        QList<QString> operations;
        for (size_t i = 2; i < args.size(); ++i) operations.append(q(i));
        const int answer = ac->CheckAuthorization(m, q(0), q(1), operations);
        FUZZ_CHECK(answer == 0 || answer == 1, "CheckAuthorization answered " + std::to_string(answer));
        break;
    }
    }
    if (IsMutation(method) && !ac->HasReplied(m)) CheckChangeInEffect(method, args.empty() ? "" : args[0]);
}

// ---- what the calls left behind ------------------------------------------------------

template <typename T>
void CollectVarLibPaths(const ConfigMap<T>& map, std::map<std::string, std::string>& paths) {
    for (const auto& [name, files] : map)
        for (const auto& [path, record] : files) {
            FUZZ_CHECK(path.rfind(kUsrShareFolder, 0) == 0 || path.rfind(kEtcFolder, 0) == 0 ||
                           path.rfind(kVarLibFolder, 0) == 0,
                       "cached outside the trees: " + path);
            if (path.rfind(kVarLibFolder, 0) == 0) paths[path] = name;
        }
}

template <typename T>
void CheckStoredFile(const std::string& path, const std::string& relative,
                     const std::map<std::string, std::string>& cached) {
    T record;
    FUZZ_CHECK(ConfigFileHelper::LoadFromFile(path, record) == 0, "unreadable record file " + path);
    FUZZ_CHECK(GetConfigFileName(record) == relative, path + " holds a record named " + GetConfigFileName(record));
    auto it = cached.find(path);
    FUZZ_CHECK(it != cached.end(), "file not in the cache: " + path);
    FUZZ_CHECK(it->second == GetConfigName(record), "cached under another name: " + path);
}

void CheckState() {
    ConfigManager* cache = ConfigManager::Instance();
    std::map<std::string, std::string> cached;
    {
        std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
        CollectVarLibPaths(cache->modeMap, cached);
        CollectVarLibPaths(cache->entityMap, cached);
        CollectVarLibPaths(cache->policyMap, cached);
    }
    std::set<std::string> onDisk;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(kVarLibFolder, ec)) {
        const std::string path = entry.path().string();
        const std::string relative = path.substr(kVarLibFolder.size());
        if (entry.is_directory()) {
            bool known = false;
            for (const char* folder : kRecordFolders) known = known || relative == folder;
            FUZZ_CHECK(known, "unexpected folder " + path);
            continue;
        }
        onDisk.insert(path);
        switch (ParseConfigType(path)) {
        case ModeType:
            CheckStoredFile<ModeData>(path, relative, cached);
            break;
        case EntityType:
            CheckStoredFile<EntityInfoData>(path, relative, cached);
            break;
        case PolicyType:
            CheckStoredFile<PolicyData>(path, relative, cached);
            break;
        case UnknownType:
            FUZZ_CHECK(false, "not a record file: " + path);
        }
    }
    for (const auto& [path, name] : cached) FUZZ_CHECK(onDisk.count(path), "cached but not on disk: " + path);
    FUZZ_CHECK(Snapshot({kEtcFolder, kUsrShareFolder}) == g_fixedTrees, "/etc or /usr/share was changed");
}

// Back to the state after start-up: no file of the service, the cache as
// loaded, nothing announced to the (idle) folder watcher.
void Reset(const std::set<std::string>& touched) {
    std::set<std::string> paths = touched;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(kVarLibFolder, ec))
        if (!entry.is_directory()) paths.insert(entry.path().string());
    for (const char* folder : kRecordFolders) {
        for (const auto& entry : fs::directory_iterator(kVarLibFolder + folder, ec)) fs::remove_all(entry.path(), ec);
    }
    for (const auto& path : paths) FileWatcher::Instance()->UnignoreFile(QString::fromStdString(path));

    ConfigManager* cache = ConfigManager::Instance();
    std::unique_lock<std::shared_mutex> lock(cache->maps_lock);
    cache->modeMap = g_modes;
    cache->entityMap = g_entities;
    cache->policyMap = g_policies;
}

// The /var/lib paths a call may have written or announced.
void NoteTouched(int method, const std::vector<std::string>& args, std::set<std::string>& touched) {
    const std::string arg = args.empty() ? std::string() : args[0];
    auto named = [&](auto record) { touched.insert(kVarLibFolder + GetConfigFileName(record)); };
    switch (method) {
    case kSetMode: {
        ModeData r;
        if (ConfigFileHelper::LoadFromJson(arg, r) == 0) named(r);
        break;
    }
    case kSetEntity: {
        EntityInfoData r;
        if (ConfigFileHelper::LoadFromJson(arg, r) == 0) named(r);
        break;
    }
    case kSetPolicy: {
        PolicyData r;
        if (ConfigFileHelper::LoadFromJson(arg, r) == 0) named(r);
        break;
    }
    case kDeleteMode: {
        ModeData r;
        r.object = arg;
        named(r);
        break;
    }
    case kDeleteEntity:
        for (const std::string& type : {kEntityTypeSubject, kEntityTypeObject}) {
            EntityInfoData r;
            r.name = arg;
            r.type = type;
            named(r);
        }
        break;
    case kDeletePolicy: {
        PolicyData r;
        r.policies.push_back(ACPolicy{arg, {}});
        named(r);
        // DeleteCache names the file by the record it is handed: one without policies.
        named(PolicyData{});
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* sandbox = getenv("SARV_SANDBOX");
    if (!sandbox || strcmp(sandbox, "1") != 0) Refuse("refusing to run outside the test sandbox");
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address || !*address) Refuse("no private system bus (DBUS_SYSTEM_BUS_ADDRESS)");
    // Audit records go to the stand-in, and nowhere from there.
    unsetenv("SARV_AUDIT_LOG");

    // Commands the service may start: stand-ins first on PATH. dpkg only
    // lists here, so the real one answers, without its complaints about
    // made-up package names.
    const std::string bin = "/tmp/sarv-fuzz-bin";
    fs::create_directories(bin);
    for (const char* command : {"killall", "systemctl"}) {
        const std::string fake = bin + "/" + command;
        std::error_code ec;
        fs::remove(fake, ec);
        fs::create_symlink("/bin/true", fake);
    }
    WriteText(bin + "/dpkg", "#!/bin/sh\nexec /usr/bin/dpkg \"$@\" 2>/dev/null\n");
    fs::permissions(bin + "/dpkg", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
    const char* path = getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);

    // This process carries a label, so the caller check lets its changes through.
    const std::string attrRoot = "/tmp/sarv-fuzz-proc";
    WriteText(attrRoot + "/" + std::to_string(getpid()) + "/attr/usid", "nimbra_app");
    setenv("SARV_PROC_ATTR_ROOT", attrRoot.c_str(), 1);

    const std::string demo = getenv("SARV_FUZZ_DEMO_DIR") ? getenv("SARV_FUZZ_DEMO_DIR") : SARV_FUZZ_DEMO_DIR;
    for (const std::string& tree : {kUsrShareFolder, kEtcFolder}) {
        std::error_code ec;
        fs::copy(demo + tree, tree, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
        if (ec) Refuse(("cannot copy the demo configuration from " + demo + tree).c_str());
    }
    for (const char* folder : kRecordFolders) {
        std::error_code ec;
        fs::remove_all(kVarLibFolder + folder, ec);
        fs::create_directories(kVarLibFolder + folder);
    }
    g_fixedTrees = Snapshot({kEtcFolder, kUsrShareFolder});

    ConfigManager* cache = ConfigManager::Instance();
    cache->InitCache();
    {
        std::shared_lock<std::shared_mutex> lock(cache->maps_lock);
        g_modes = cache->modeMap;
        g_entities = cache->entityMap;
        g_policies = cache->policyMap;
    }
    if (g_modes.empty() || g_entities.empty() || g_policies.empty()) Refuse("the demo configuration did not load");

    if (sd_bus_open_system(&g_bus) < 0 || sd_bus_get_unique_name(g_bus, &g_me) < 0) Refuse("cannot reach the bus");
    // The service's signals go out on this connection.
    g_ac_bus = g_bus;
    g_is_stop = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::set<std::string> touched;
    bool changed = false;
    size_t calls = 0;
    for (const std::string& call : Split(input, kCallSeparator)) {
        if (call.empty() || ++calls > kMaxCalls) continue;
        const std::vector<std::string> args = Split(call.substr(1), '\0');
        if (static_cast<unsigned char>(call[0]) == kAuditRecord) {
            AcAudit::AuditLogMsg(args[0], args.size() > 1 ? args[1] : std::string(), 1);
            continue;
        }
        const int method = static_cast<unsigned char>(call[0]) % kMethodCount;
        Call(method, args);
        if (IsMutation(method)) {
            changed = true;
            NoteTouched(method, args, touched);
        }
    }
    // Whatever the bus sent this connection (the service's own signals come
    // back to nobody; name changes feed the sender table).
    while (sd_bus_process(g_bus, nullptr) > 0) {
    }
    if (changed) {
        CheckState();
        Reset(touched);
    }
    return 0;
}
