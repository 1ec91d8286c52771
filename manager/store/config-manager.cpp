#include "config-manager.h"

#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "ac-log.h"
#include "installed.h"
#include "acjson.h"
#include "policy-migration-helper.h"
#include "subject-index.h"
#include "unique-fd.h"

// The executables of a package (package-elf-list.cpp).
std::vector<std::string> get_pkg_elf_list(const char* package);

// Serialises every change of the three maps, of every ConfigManager of the
// process (not a member: its name is the one the service documents).
static QMutex static_configmanager_mutex;

namespace {

using ReadLock = std::shared_lock<std::shared_mutex>;

bool StartsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

// ---- one layer over another --------------------------------------------------

void ApplyLayer(ModeData& into, const ModeData& layer) {
    if (!layer.mode.empty()) into.mode = layer.mode;
    if (!layer.version.empty()) into.version = layer.version;
    if (!layer.object.empty()) into.object = layer.object;
}

void ApplyLayer(EntityInfoData& into, const EntityInfoData& layer) { into.Merge(layer); }

void ApplyLayer(PolicyData& into, const PolicyData& layer) {
    if (!layer.version.empty()) into.version = layer.version;
    MergeVector(into.policies, layer.policies);
}

// ListEntity's text of an entity goes with every change of its files; the
// caller holds the maps' write lock.
void Changed(const ConfigMap<ModeData>&, const std::string&) {}
void Changed(const ConfigMap<PolicyData>&, const std::string&) {}
void Changed(const ConfigMap<EntityInfoData>&, const std::string& name) {
    ConfigManager::Instance()->entityTexts.Drop(name);
}

// Layered view of one name; the caller holds the maps' read lock.
template <typename T>
T Layered(const ConfigMap<T>& map, const std::string& name) {
    auto it = map.find(name);
    if (it == map.end()) return T();
    return LayerFiles(it->second);
}

// Whether some name of `map` has a record of the file `path`; the caller
// holds the maps' read lock.
template <typename T>
const T* FindFile(const ConfigMap<T>& map, const std::string& path) {
    for (const auto& [name, files] : map) {
        auto file = files.find(path);
        if (file != files.end()) return &file->second;
    }
    return nullptr;
}

template <typename T>
bool HoldsFileAsOnDisk(const ConfigMap<T>& map, std::shared_mutex& maps_lock, const std::string& path) {
    T record;
    const bool loaded = ConfigFileHelper::LoadFromFile(path, record) == 0;
    ReadLock lock(maps_lock);
    const T* held = FindFile(map, path);
    if (held == nullptr) return !loaded;
    return loaded && ToJsonText(*held) == ToJsonText(record);
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

template <typename T>
void AddCachedPaths(const ConfigMap<T>& map, const std::string& folder, std::set<std::string>& paths) {
    for (const auto& [name, files] : map)
        for (const auto& [path, record] : files)
            if (FolderOf(path) == folder) paths.insert(path);
}

// ---- "nothing changed" tests ---------------------------------------------------

bool SameRecord(const ModeData& a, const ModeData& b) {
    return a.version == b.version && a.object == b.object && a.mode == b.mode;
}

bool SameRecord(const EntityInfoData& a, const EntityInfoData& b) {
    return a.version == b.version && a.name == b.name && a.type == b.type && a.subtype == b.subtype &&
           CompareVector(a.tags, b.tags) && a.attrs == b.attrs && a.owner == b.owner && a.level == b.level &&
           a.sensitivity == b.sensitivity && CompareVector(a.available_operations, b.available_operations) &&
           a.description == b.description && a.description_zh_CN == b.description_zh_CN;
}

bool SameRecord(const PolicyData& a, const PolicyData& b) {
    if (a.version != b.version || a.policies.size() != b.policies.size()) return false;
    for (size_t i = 0; i < a.policies.size(); ++i)
        if (a.policies[i].subject != b.policies[i].subject ||
            !CompareVector(a.policies[i].objects, b.policies[i].objects))
            return false;
    return true;
}

// An entity whose D-Bus patterns cost too much to compile (an adapter
// compiles them for every push) is refused over the bus and never taken in
// from a file.
const char* CostlyPatternField(const EntityInfoData& e) {
    const std::pair<const char*, const std::string*> fields[] = {{"dbus_path", &e.attrs.dbus_path},
                                                                 {"dbus_interface", &e.attrs.dbus_interface},
                                                                 {"dbus_destination", &e.attrs.dbus_destination}};
    for (const auto& [name, value] : fields)
        if (is_sarvregex(*value) && is_sarvregex_costly(*value)) return name;
    return nullptr;
}

// Why a document from the bus is refused before it is parsed, or "".
std::string DocumentRefusal(const std::string& json) {
    if (json.size() > kMaxJsonDocumentSize)
        return "data invalid: larger than " + std::to_string(kMaxJsonDocumentSize) + " bytes.";
    if (JsonNestingDepth(json, kMaxJsonDocumentDepth) > kMaxJsonDocumentDepth)
        return "data invalid: nested deeper than " + std::to_string(kMaxJsonDocumentDepth) + " levels.";
    return "";
}

// Why IsConfigValid refused a record.
template <typename T>
std::string ConfigRefusal(const T&) {
    return "data invalid.";
}
template <>
std::string ConfigRefusal(const EntityInfoData& e) {
    const char* field = CostlyPatternField(e);
    return field ? std::string("data invalid: the ") + field + " pattern is too complex." : "data invalid.";
}

// Whether a record read from `path` may be taken in; logs when not.
template <typename T>
bool MayTakeIn(const std::string&, const T&) {
    return true;
}
template <>
bool MayTakeIn(const std::string& path, const EntityInfoData& e) {
    const char* field = CostlyPatternField(e);
    if (field)
        AcLog(LOG_WARNING, "skipped configuration file %s: the %s pattern is too complex", LogPrintable(path).c_str(),
              field);
    return field == nullptr;
}

Status WriteError(const char* what, const std::string& path, int r) {
    Status failed{r, std::string(what) + " config file " + path + " failed: " + strerror(-r)};
    AcLog(LOG_ERR, "%s", failed.reason.c_str());
    return failed;
}


}  // namespace

template <typename T>
T LayerFiles(const std::map<std::string, T>& files) {
    T result;
    for (const auto& [path, record] : files)
        if (StartsWith(path, kUsrShareFolder)) result = record;
    for (const auto& [path, record] : files)
        if (!StartsWith(path, kUsrShareFolder)) ApplyLayer(result, record);
    return result;
}

template ModeData LayerFiles<ModeData>(const std::map<std::string, ModeData>&);
template EntityInfoData LayerFiles<EntityInfoData>(const std::map<std::string, EntityInfoData>&);
template PolicyData LayerFiles<PolicyData>(const std::map<std::string, PolicyData>&);

// ---- instance and loading -------------------------------------------------------

ConfigManager* ConfigManager::Instance() { return InstalledSlot<ConfigManager>::Get(); }

ConfigManager::ConfigManager(QObject* parent)
    : QObject(parent),
      mode_memo_(std::make_unique<LayeredMemo<ModeData>>()),
      entity_memo_(std::make_unique<LayeredMemo<EntityInfoData>>()),
      policy_memo_(std::make_unique<LayeredMemo<PolicyData>>()) {}

ConfigManager::~ConfigManager() = default;

void ConfigManager::SetCallbacks(CacheCallbacks callbacks) { callbacks_ = std::move(callbacks); }

int ConfigManager::InitCache() {
    QMutexLocker guard(&static_configmanager_mutex);
    ReadTrees();
    DropSupersededEntityFiles();
    for (const auto* list : {&kEtcFolderList, &kVarLibFolderList})
        for (const std::string& folder : *list) NoteUnusedFiles(folder);
    return 0;
}

// What InitCache takes in, for a reader beside the service: the files a
// start-up would remove are left out, and left on disk.
int ConfigManager::LoadTrees() {
    QMutexLocker guard(&static_configmanager_mutex);
    ReadTrees();
    for (const std::string& path : SupersededEntityFiles()) ForgetEntityFile(path);
    return 0;
}

void ConfigManager::ReadTrees() {
    MapsChange change(*this);
    entityTexts.DropAll();
    for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder}) {
        ConfigFileHelper::LoadFromFolder(root + kEntityFolderName, true, entityMap);
        ConfigFileHelper::LoadFromFolder(root + kModeFolderName, true, modeMap);
        ConfigFileHelper::LoadFromFolder(root + kPolicyFolderName, true, policyMap);
    }
    for (auto name = entityMap.begin(); name != entityMap.end();) {
        auto& files = name->second;
        for (auto file = files.begin(); file != files.end();)
            file = MayTakeIn(file->first, file->second) ? std::next(file) : files.erase(file);
        name = files.empty() ? entityMap.erase(name) : std::next(name);
    }
}

void ConfigManager::ForgetEntityFile(const std::string& path) {
    MapsChange change(*this);
    for (auto& [name, files] : entityMap)
        if (files.erase(path)) entityTexts.Drop(name);
}

// A change of an entity's type writes the file of the new type, then
// removes the old one. A service killed in between leaves both: the newer
// one is the change.
std::vector<std::string> ConfigManager::SupersededEntityFiles() const {
    std::vector<std::string> superseded;
    ReadLock lock(maps_lock);
    for (const auto& [name, files] : entityMap) {
        std::string newest;
        timespec newestTime{};
        for (const auto& [path, record] : files) {
            if (FolderOf(path) != kVarLibEntifyFolder) continue;
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) continue;
            const bool newer = newest.empty() || st.st_mtim.tv_sec > newestTime.tv_sec ||
                               (st.st_mtim.tv_sec == newestTime.tv_sec && st.st_mtim.tv_nsec > newestTime.tv_nsec);
            if (!newest.empty()) superseded.push_back(newer ? newest : path);
            if (newer) {
                newest = path;
                newestTime = st.st_mtim;
            }
        }
    }
    return superseded;
}

void ConfigManager::DropSupersededEntityFiles() {
    for (const std::string& path : SupersededEntityFiles()) {
        if (ConfigFileHelper::DeleteFile(path) < 0) continue;
        AcLog(LOG_WARNING, "removed %s: a newer file of its entity replaced it", path.c_str());
        ForgetEntityFile(path);
    }
}

void ConfigManager::NoteUnusedFiles(const std::string& folder) {
    const std::set<std::string> cached = CachedPaths(folder);
    UniqueDir dir(opendir(folder.c_str()));
    if (!dir) return;
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = folder + "/" + entry->d_name;
        struct stat st {};
        if (ParseConfigType(path) == UnknownType || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (cached.count(path) == 0) NoteUnusedFile(path);
    }
}

void ConfigManager::NoteUnusedFile(const std::string& path) {
    std::vector<std::string> below;
    std::string relative;
    if (StartsWith(path, kVarLibFolder)) {
        relative = path.substr(kVarLibFolder.size());
        below = {kEtcFolder, kUsrShareFolder};
    } else if (StartsWith(path, kEtcFolder)) {
        relative = path.substr(kEtcFolder.size());
        below = {kUsrShareFolder};
    } else {
        return;
    }
    if (!unused_files_.insert(path).second) return;
    std::string inForce = "the built-in defaults";
    {
        ReadLock lock(maps_lock);
        for (const std::string& root : below) {
            const std::string lower = root + relative;
            if (FindFile(modeMap, lower) || FindFile(entityMap, lower) || FindFile(policyMap, lower)) {
                inForce = lower;
                break;
            }
        }
    }
    AcLog(LOG_ERR, "configuration file %s is corrupt or unreadable and not used; in force instead: %s", path.c_str(),
          inForce.c_str());
}

void ConfigManager::NoteUsedFile(const std::string& path) { unused_files_.erase(path); }

int ConfigManager::RemoveStaleTemporaries(int min_age_s) {
    const time_t cutoff = time(nullptr) - min_age_s;
    const size_t prefixLength = strlen(kTemporaryFilePrefix);
    int removed = 0;
    std::vector<std::string> folders = kVarLibFolderList;
    // The installer command writes the administrator's tree the same way.
    folders.insert(folders.end(), kEtcFolderList.begin(), kEtcFolderList.end());
    for (const std::string& folder : folders) {
        UniqueDir dir(opendir(folder.c_str()));
        if (!dir) continue;
        while (const dirent* entry = readdir(dir.get())) {
            if (strncmp(entry->d_name, kTemporaryFilePrefix, prefixLength) != 0) continue;
            struct stat st {};
            if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (!S_ISREG(st.st_mode) || st.st_mtime > cutoff) continue;
            if (unlinkat(dirfd(dir.get()), entry->d_name, 0) == 0) ++removed;
        }
    }
    if (removed > 0) AcLog(LOG_INFO, "removed %d unfinished temporary files", removed);
    return removed;
}

// ---- lookups ----------------------------------------------------------------------

// Every access question layers the same few names (its object's entity and
// mode, its subject's entity and policy), each time walking the map and
// merging the files again. The layered records of the names asked for are
// therefore kept, by name, until the maps change: only names the map holds,
// so that there are never more than the map has.
template <typename T>
struct ConfigManager::LayeredMemo {
    std::mutex mutex;
    uint64_t generation = 0;  // of the maps the records were layered from
    std::unordered_map<std::string, std::shared_ptr<const T>> records;
};

template <typename T>
std::shared_ptr<const T> ConfigManager::LayeredView(const ConfigMap<T>& map, const std::string& name,
                                                    LayeredMemo<T>* memo) const {
    static const auto none = std::make_shared<const T>();
    ReadLock lock(maps_lock);
    if (!memo) return std::make_shared<const T>(Layered(map, name));
    const uint64_t generation = maps_generation_.load(std::memory_order_acquire);
    {
        std::lock_guard<std::mutex> guard(memo->mutex);
        if (memo->generation != generation) {
            memo->records.clear();
            memo->generation = generation;
        }
        auto kept = memo->records.find(name);
        if (kept != memo->records.end()) return kept->second;
    }
    auto files = map.find(name);
    if (files == map.end()) return none;
    auto layered = std::make_shared<const T>(LayerFiles(files->second));
    std::lock_guard<std::mutex> guard(memo->mutex);
    if (memo->generation == generation) memo->records.emplace(name, layered);
    return layered;
}

ModeData ConfigManager::GetCache(const ConfigMap<ModeData>& map, const std::string& name) const {
    return *LayeredView(map, name, &map == &modeMap ? mode_memo_.get() : nullptr);
}

EntityInfoData ConfigManager::GetCache(const ConfigMap<EntityInfoData>& map, const std::string& name) const {
    return *LayeredView(map, name, &map == &entityMap ? entity_memo_.get() : nullptr);
}

PolicyData ConfigManager::GetCache(const ConfigMap<PolicyData>& map, const std::string& name) const {
    return *LayeredView(map, name, &map == &policyMap ? policy_memo_.get() : nullptr);
}

std::shared_ptr<const ModeData> ConfigManager::LayeredMode(const std::string& name) const {
    return LayeredView(modeMap, name, mode_memo_.get());
}

std::shared_ptr<const EntityInfoData> ConfigManager::LayeredEntity(const std::string& name) const {
    return LayeredView(entityMap, name, entity_memo_.get());
}

std::shared_ptr<const PolicyData> ConfigManager::LayeredPolicy(const std::string& name) const {
    return LayeredView(policyMap, name, policy_memo_.get());
}

std::shared_ptr<const SubjectIndex> ConfigManager::CurrentSubjectIndex() const {
    // Stable while the caller holds the read lock: changes are counted
    // under the write lock.
    const uint64_t generation = maps_generation_.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> guard(subject_index_mutex_);
    if (!subject_index_ || subject_index_generation_ != generation) {
        subject_index_ = std::make_shared<const SubjectIndex>(entityMap);
        subject_index_generation_ = generation;
    }
    return subject_index_;
}

EntityInfoData ConfigManager::GetEntityInfo(const std::string& name) {
    ConfigManager* self = Instance();
    EntityInfoData e = self->GetCache(self->entityMap, name);
    if (e.subtype == kEntitySubtypePackage && e.attrs.exes.empty())
        e.attrs.exes = PolicyMigrationHelper::Instance()->QueryPackageFileList(name.c_str());
    return e;
}

void ConfigManager::BetweenChanges(const std::function<void()>& body) {
    QMutexLocker guard(&static_configmanager_mutex);
    body();
}

std::set<std::string> ConfigManager::CachedPaths(const std::string& folder) const {
    std::set<std::string> paths;
    ReadLock lock(maps_lock);
    AddCachedPaths(modeMap, folder, paths);
    AddCachedPaths(entityMap, folder, paths);
    AddCachedPaths(policyMap, folder, paths);
    return paths;
}

bool ConfigManager::HoldsAsOnDisk(const std::string& path) const {
    switch (ParseConfigType(path)) {
    case ModeType:
        return HoldsFileAsOnDisk(modeMap, maps_lock, path);
    case EntityType:
        return HoldsFileAsOnDisk(entityMap, maps_lock, path);
    case PolicyType:
        return HoldsFileAsOnDisk(policyMap, maps_lock, path);
    default:
        return false;
    }
}

std::vector<std::string> ConfigManager::EntityNames() const {
    ReadLock lock(maps_lock);
    std::vector<std::string> names;
    names.reserve(entityMap.size());
    for (const auto& [name, files] : entityMap)
        if (!files.empty()) names.push_back(name);
    return names;
}

bool IsVectorContains(const std::vector<std::string>& have, const std::vector<std::string>& wanted) {
    for (const auto& w : wanted)
        if (std::find(have.begin(), have.end(), w) == have.end()) return false;
    return true;
}

// ---- checks of a change ------------------------------------------------------------

std::string StructuralFault(const ModeData& m) {
    return m.object.empty() || m.mode.empty() ? "a mode needs an object and a mode" : "";
}
std::string StructuralFault(const EntityInfoData& e) { return e.Fault(); }
std::string StructuralFault(const PolicyData& p) { return p.Fault(); }

namespace {

// Sets *why (when asked for) and returns false.
bool Refuse(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

std::string Joined(const std::vector<std::string>& list) {
    std::string text;
    for (const auto& item : list) text += (text.empty() ? "" : ", ") + item;
    return text;
}

// Whether the object entity `e` offers `operations`; an entity that is not
// valid is not known yet and offers anything.
bool Offers(const EntityInfoData& e, const std::string& name, const std::vector<std::string>& operations,
            std::string* why) {
    if (!e.IsValid()) return true;
    if (e.type == kEntityTypeSubject) return Refuse(why, name + " is a subject, not an object");
    if (e.type == kEntityTypeObject && e.available_operations.empty())
        return Refuse(why, name + " offers no operations");
    for (const auto& operation : operations)
        if (!IsVectorContains(e.available_operations, {operation}))
            return Refuse(why, name + " offers " + Joined(e.available_operations) + ", not \"" + operation + "\"");
    return true;
}

}  // namespace

bool ConfigManager::IsConfigValid(ModeData& m, std::string* why) {
    if (m.mode == kModeWhitelist || m.mode == kModeBlacklist) return true;
    return Offers(GetEntityInfo(m.object), m.object, {m.mode}, why);
}

bool ConfigManager::IsConfigValid(EntityInfoData& e, std::string* why) {
    if (e.subtype == kEntitySubtypePackage && e.attrs.exes.empty()) e.attrs.exes = get_pkg_elf_list(e.name.c_str());
    if (e.subtype != kEntitySubtypeDBus) return true;
    const std::pair<const char*, const std::string*> fields[] = {{"dbus_path", &e.attrs.dbus_path},
                                                                 {"dbus_interface", &e.attrs.dbus_interface},
                                                                 {"dbus_destination", &e.attrs.dbus_destination}};
    for (const auto& [name, value] : fields) {
        if (!is_sarvregex(*value) || is_sarvregex_invalid(*value)) continue;
        return Refuse(why, std::string("the ") + name +
                               (is_sarvregex_costly(*value) ? " pattern is too complex"
                                                            : " pattern does not compile or is over 1024 bytes"));
    }
    return true;
}

bool ConfigManager::IsConfigValid(PolicyData& p, std::string* why) {
    for (const auto& policy : p.policies)
        for (const auto& o : policy.objects)
            if (!Offers(GetEntityInfo(o.object), o.object, o.operations, why)) return false;
    return true;
}

template <typename T>
int ConfigManager::CheckChange(const std::string& json, T& record, ChangeFault& fault) {
    fault.step = ChangeStep::kDocument;
    fault.refusal = DocumentRefusal(json);
    if (!fault.refusal.empty()) {
        fault.why = fault.refusal;
        return -EINVAL;
    }
    int r = ConfigFileHelper::LoadFromJson(json, record);
    if (r != 0) {
        fault.refusal = "data invalid.";
        fault.why = "not a document of its kind";
        return r;
    }
    fault.step = ChangeStep::kStructure;
    fault.why = StructuralFault(record);
    if (!fault.why.empty()) {
        fault.refusal = "data invalid.";
        return -EINVAL;
    }
    fault.step = ChangeStep::kSemantics;
    if (!IsConfigValid(record, &fault.why)) {
        fault.refusal = ConfigRefusal(record);
        return -EINVAL;
    }
    return 0;
}

template int ConfigManager::CheckChange<ModeData>(const std::string&, ModeData&, ChangeFault&);
template int ConfigManager::CheckChange<EntityInfoData>(const std::string&, EntityInfoData&, ChangeFault&);
template int ConfigManager::CheckChange<PolicyData>(const std::string&, PolicyData&, ChangeFault&);

// ---- changes made through the service --------------------------------------------

template <typename T>
Status ConfigManager::SetCache(ConfigMap<T>& map, const std::string& json, T& out, std::string& changeType) {
    T record;
    ChangeFault fault;
    int r = CheckChange(json, record, fault);
    if (r != 0) {
        const std::string text = LogPrintable(json);
        if (fault.step == ChangeStep::kDocument)
            AcLog(LOG_ERR, "SetCache failed: LoadFromJson json %s!", text.c_str());
        else if (fault.step == ChangeStep::kStructure)
            AcLog(LOG_ERR, "SetCache failed: IsValid data %s!", text.c_str());
        else
            AcLog(LOG_ERR, "SetCache failed: IsConfigValid %s!", text.c_str());
        return {r, fault.refusal};
    }
    out = record;
    const std::string path = kVarLibFolder + GetConfigFileName(record);
    const std::string name = GetConfigName(record);

    // Held from the comparison to the map update, so that two writers of one
    // name cannot both act on the same stale view.
    QMutexLocker guard(&static_configmanager_mutex);
    if (SameRecord(record, GetCache(map, name))) return {-EEXIST, "data no changed."};

    bool nameKnown = false;
    bool pathKnown = false;
    T stored;
    // Files the name has in the service's folder under another file name:
    // an entity stored before with the other type.
    std::vector<std::string> superseded;
    {
        ReadLock lock(maps_lock);
        auto it = map.find(name);
        nameKnown = it != map.end() && !it->second.empty();
        if (nameKnown) {
            auto file = it->second.find(path);
            pathKnown = file != it->second.end();
            if (pathKnown) stored = file->second;
            for (const auto& entry : it->second)
                if (entry.first != path && FolderOf(entry.first) == FolderOf(path)) superseded.push_back(entry.first);
        }
    }

    T toWrite = record;
    if (pathKnown) {
        ApplyLayer(stored, record);
        toWrite = stored;
    }
    // Announced for rewrites as well: the file is replaced atomically, and
    // the watcher takes in files replaced under their own name.
    ownWrites.Announce(QString::fromStdString(path));
    r = ConfigFileHelper::UpdateFile(path, toWrite);
    if (r < 0) {
        ownWrites.Withdraw(QString::fromStdString(path));
        return WriteError("write", path, r);
    }
    // One name has one record in the service's tree. Written first and
    // removed second, so a kill in between loses nothing (InitCache keeps
    // the newer file).
    std::vector<std::string> removed;
    for (const std::string& old : superseded) {
        ownWrites.Announce(QString::fromStdString(old));
        int d = ConfigFileHelper::DeleteFile(old);
        if (d < 0 && d != -ENOENT) {
            ownWrites.Withdraw(QString::fromStdString(old));
            AcLog(LOG_ERR, "cannot remove %s, replaced by %s: %s", old.c_str(), path.c_str(), strerror(-d));
            continue;
        }
        removed.push_back(old);
    }
    MapsChange change(*this);
    Changed(map, name);
    if (!nameKnown) {
        map[name] = {{path, toWrite}};
        changeType = kChangeTypeAdd;
    } else {
        for (const std::string& old : removed) map[name].erase(old);
        map[name][path] = toWrite;
        changeType = kChangeTypeModify;
    }
    return {};
}

template <typename T>
Status ConfigManager::DeleteCache(ConfigMap<T>& map, const std::string& name, T& out, std::string& changeType) {
    QMutexLocker guard(&static_configmanager_mutex);
    const std::string prefix = kVarLibFolder + GetConfigFolder(out);
    std::string path = kVarLibFolder + GetConfigFileName(out);
    bool found = false;
    {
        ReadLock lock(maps_lock);
        auto it = map.find(name);
        if (it == map.end()) {
            Status absent{-EEXIST, name + " not existed"};
            AcLog(LOG_INFO, "%s", LogPrintable(absent.reason).c_str());
            return absent;
        }
        for (const auto& entry : it->second)
            if (StartsWith(entry.first, prefix)) path = entry.first;
        auto file = it->second.find(path);
        found = file != it->second.end();
        if (found) out = file->second;
    }
    if (!found) {
        Status absent{-EEXIST, "config file" + path + " not existed"};
        AcLog(LOG_INFO, "%s", absent.reason.c_str());
        return absent;
    }
    ownWrites.Announce(QString::fromStdString(path));
    int r = ConfigFileHelper::DeleteFile(path);
    if (r < 0 && r != -ENOENT) {
        ownWrites.Withdraw(QString::fromStdString(path));
        return WriteError("delete", path, r);
    }
    MapsChange change(*this);
    Changed(map, name);
    map[name].erase(path);
    changeType = kChangeTypeDelete;
    return {};
}

template Status ConfigManager::SetCache<ModeData>(ConfigMap<ModeData>&, const std::string&, ModeData&,
                                                  std::string&);
template Status ConfigManager::SetCache<EntityInfoData>(ConfigMap<EntityInfoData>&, const std::string&,
                                                        EntityInfoData&, std::string&);
template Status ConfigManager::SetCache<PolicyData>(ConfigMap<PolicyData>&, const std::string&, PolicyData&,
                                                    std::string&);
template Status ConfigManager::DeleteCache<ModeData>(ConfigMap<ModeData>&, const std::string&, ModeData&,
                                                     std::string&);
template Status ConfigManager::DeleteCache<EntityInfoData>(ConfigMap<EntityInfoData>&, const std::string&,
                                                           EntityInfoData&, std::string&);
template Status ConfigManager::DeleteCache<PolicyData>(ConfigMap<PolicyData>&, const std::string&, PolicyData&,
                                                       std::string&);

// ---- changes found on disk ---------------------------------------------------------

template <typename T>
int UpdateCacheFromFile(const std::string& path, ConfigMap<T>& map, bool& exists, T& out) {
    ConfigManager* self = ConfigManager::Instance();
    // The watcher reports a change some time after it happened, and the
    // service may have changed the same file again since (SetCache and
    // DeleteCache hold the mutex from their write to their map update).
    // The file is therefore looked at under the mutex, and what is on disk
    // now wins over what the notification said: a late report can never
    // undo a newer change of the service's.
    QMutexLocker guard(&static_configmanager_mutex);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        exists = true;
    else if (errno == ENOENT)
        exists = false;
    if (exists) {
        T record;
        int r = ConfigFileHelper::LoadFromFile(path, record);
        if (r == 0 && !MayTakeIn(path, record)) r = -EINVAL;
        if (r != 0) {
            AcLog(LOG_ERR, "UpdateCache config not existed : %s!", path.c_str());
            self->NoteUnusedFile(path);
            return r;
        }
        self->NoteUsedFile(path);
        ConfigManager::MapsChange change(*self);
        // A file holds one record: a rewritten file may carry another name.
        for (auto& [name, files] : map)
            if (files.erase(path)) Changed(map, name);
        Changed(map, GetConfigName(record));
        map[GetConfigName(record)][path] = record;
        out = std::move(record);
        return 0;
    }
    self->NoteUsedFile(path);
    ConfigManager::MapsChange change(*self);
    for (auto& [name, files] : map) {
        auto file = files.find(path);
        if (file == files.end()) continue;
        out = file->second;
        files.erase(file);
        Changed(map, name);
        return 0;
    }
    AcLog(LOG_ERR, "UpdateCache config not existed : %s!", path.c_str());
    return -ENOENT;
}

template int UpdateCacheFromFile<ModeData>(const std::string&, ConfigMap<ModeData>&, bool&, ModeData&);
template int UpdateCacheFromFile<EntityInfoData>(const std::string&, ConfigMap<EntityInfoData>&, bool&,
                                                 EntityInfoData&);
template int UpdateCacheFromFile<PolicyData>(const std::string&, ConfigMap<PolicyData>&, bool&, PolicyData&);

// The word of the log line and of the signal names the operation performed:
// what was on disk when the file was looked at, not what the notification
// said.
int ConfigManager::SetCacheAndUpdatePolicy(const QString& qpath, bool exists) {
    const std::string path = qpath.toStdString();
    const AcConfigType type = ParseConfigType(path);
    ModeData m;
    EntityInfoData e;
    PolicyData p;
    int r = 0;
    if (type == ModeType) r = UpdateCacheFromFile(path, modeMap, exists, m);
    if (type == EntityType) r = UpdateCacheFromFile(path, entityMap, exists, e);
    if (type == PolicyType) r = UpdateCacheFromFile(path, policyMap, exists, p);
    const std::string change = exists ? kChangeTypeAdd : kChangeTypeDelete;
    AC_LOG_DEBUG("file %s %s", path.c_str(), change.c_str());
    switch (type) {
    case UnknownType:
        AcLog(LOG_ERR, "ConfigManager::UpdateConfig AcConfigType::UnknownType!");
        return -ENOENT;
    case ModeType:
        if (r != 0) {
            AcLog(LOG_ERR, "ConfigManager::UpdateConfig UpdateCacheFromFile failed!");
            return r;
        }
        if (callbacks_.changed) callbacks_.changed("ModeChanged", change);
        r = callbacks_.push ? callbacks_.push(m.object) : 0;
        if (r != 0) {
            AcLog(LOG_ERR, "ConfigManager::UpdateConfig SetMode failed");
            return r;
        }
        return 0;
    case EntityType:
        if (callbacks_.changed) callbacks_.changed("EntityChanged", change);
        return r;
    case PolicyType: {
        if (r != 0) {
            AcLog(LOG_ERR, "ConfigManager::UpdateConfig UpdateCacheFromFile failed!");
            return r;
        }
        if (callbacks_.changed) callbacks_.changed("PolicyChanged", change);
        if (!p.IsValid()) {
            AcLog(LOG_ERR, "ConfigManager::UpdateConfig policy not valid!");
            return 0;
        }
        const std::string& object = p.policies[0].objects[0].object;
        r = callbacks_.push ? callbacks_.push(object) : 0;
        if (r != 0) {
            AcLog(LOG_WARNING, "AccessControlDbus::SetPolicy %s failed", object.c_str());
            return r;
        }
        return 0;
    }
    }
    return 0;
}
