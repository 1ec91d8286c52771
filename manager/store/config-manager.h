// The in-memory cache of every mode, entity and policy record of the three
// configuration trees, and the lookups built on it.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "acrecords.h"
#include "configfile-helper.h"
#include "entity-texts.h"
#include "own-writes.h"
#include "status.h"

class QString;
class SubjectIndex;

template <typename T>
using ConfigMap = ConfigCacheMap<T>;

// What the cache reports to the layers above it, which it cannot call
// itself. The entry points set them once at start-up; one that is not set
// is not called.
struct CacheCallbacks {
    // The folder watcher is about to take its first looks.
    std::function<void()> watching;
    // A file the watcher handed over changed records of one kind: the
    // signal to send ("ModeChanged", "EntityChanged", "PolicyChanged") and
    // the change word.
    std::function<void(const char* signal, const std::string& change)> changed;
    // Pushes the mode and policy of `object` to its adapter; 0 or the
    // failure.
    std::function<int(const std::string& object)> push;
};

class ConfigManager : public QObject {
    Q_OBJECT
public:
    // The one the service object installed (installed.h); null when none is.
    static ConfigManager* Instance();
    explicit ConfigManager(QObject* parent = nullptr);
    ~ConfigManager() override;

    int InitCache();
    // Called before any thread that reports changes runs.
    void SetCallbacks(CacheCallbacks callbacks);
    const CacheCallbacks& Callbacks() const { return callbacks_; }
    // The trees as InitCache takes them in, for a process beside the
    // service (the installer command); nothing on disk is changed.
    int LoadTrees();
    // Removes what writes cut short left in the service's own tree and in
    // the administrator's (the installer command): hidden temporaries older
    // than `min_age_s` seconds. Younger ones may belong to a write still
    // under way (another instance of the program starts up while the
    // service runs, an install runs). Returns how many were removed.
    static int RemoveStaleTemporaries(int min_age_s = 60);

    // Layered view of one name: /usr/share as base, /etc then /var/lib over it.
    // For the cache's own maps it is kept, by name, until they change.
    ModeData GetCache(const ConfigMap<ModeData>& map, const std::string& name) const;
    EntityInfoData GetCache(const ConfigMap<EntityInfoData>& map, const std::string& name) const;
    PolicyData GetCache(const ConfigMap<PolicyData>& map, const std::string& name) const;
    // The same records of the cache's own maps, shared instead of copied;
    // never null. An access question reads them without copying them.
    std::shared_ptr<const ModeData> LayeredMode(const std::string& name) const;
    std::shared_ptr<const EntityInfoData> LayeredEntity(const std::string& name) const;
    std::shared_ptr<const PolicyData> LayeredPolicy(const std::string& name) const;

    // Validate, persist under /var/lib/olm/sarv/ and cache one record given as JSON.
    // A code of -EEXIST: the record equals what the layers already show.
    template <typename T>
    Status SetCache(ConfigMap<T>& map, const std::string& json, T& out, std::string& changeType);
    // Delete the /var/lib/olm/sarv/ file of `name`. A code of -EEXIST: there is none.
    template <typename T>
    Status DeleteCache(ConfigMap<T>& map, const std::string& name, T& out, std::string& changeType);

    // The folder watcher's entry point for a file added (exists) or removed.
    int SetCacheAndUpdatePolicy(const QString& path, bool exists);

    // Runs `body` between two changes of the cache: every change the
    // service makes (its announcement to the watcher, the file and the maps)
    // happens wholly before or wholly after it. `body` changes nothing.
    void BetweenChanges(const std::function<void()>& body);
    // Paths of the files of `folder` that the cache holds records of.
    std::set<std::string> CachedPaths(const std::string& folder) const;
    // Whether the cache holds exactly what the file `path` holds now, or
    // holds nothing of it while there is no such file.
    bool HoldsAsOnDisk(const std::string& path) const;

    // Semantic checks against the cached entities; `why`, when given,
    // receives the reason of a refusal, for people.
    static bool IsConfigValid(ModeData& m, std::string* why = nullptr);
    static bool IsConfigValid(EntityInfoData& e, std::string* why = nullptr);
    static bool IsConfigValid(PolicyData& p, std::string* why = nullptr);

    // Everything SetCache checks before it stores a change given as JSON:
    // the document's size and depth, parsing, the structural and the
    // semantic checks (patterns included). 0 with the record filled in, or
    // SetCache's result for the refusal, described in `fault`.
    enum class ChangeStep { kDocument, kStructure, kSemantics };
    struct ChangeFault {
        ChangeStep step = ChangeStep::kDocument;
        std::string refusal;  // the text the bus answers with
        std::string why;      // what exactly is wrong
    };
    template <typename T>
    static int CheckChange(const std::string& json, T& record, ChangeFault& fault);

    // The layered entity of a name, with the executables of a package filled in.
    static EntityInfoData GetEntityInfo(const std::string& name);

    int GetExeSubjectInfo(const std::string& exe, EntityInfoData& subject) const;
    int GetSubjectPolicy(const std::string& subject, PolicyData& policy) const;
    // GetSubjectPolicy's check and log line for `policy`, the subject's
    // policy as the cache shows it.
    int CheckSubjectPolicy(const std::string& subject, const PolicyData& policy) const;
    int GetObjectPolicy(const std::string& object, PolicyData& policy) const;

    // Snapshot of every entity name (ascending) for listing.
    std::vector<std::string> EntityNames() const;
    // Snapshot of the files of one name: path -> record as stored.
    template <typename T>
    std::map<std::string, T> FilesOf(const ConfigMap<T>& map, const std::string& name) const {
        std::shared_lock<std::shared_mutex> lock(maps_lock);
        auto it = map.find(name);
        return it == map.end() ? std::map<std::string, T>() : it->second;
    }

    // Protects the configuration trees with file-protection profiles.
    static int ProtectConfig();

    ConfigMap<ModeData> modeMap;
    ConfigMap<EntityInfoData> entityMap;
    ConfigMap<PolicyData> policyMap;

    // Readers hold it shared; the writers (always under
    // static_configmanager_mutex as well) hold it exclusively, through a
    // MapsChange, while they change a map. It is never held across a call
    // that may come back in.
    mutable std::shared_mutex maps_lock;
    // ListEntity's texts; whoever changes an entity's files under
    // maps_lock drops that entity's text there.
    EntityTexts entityTexts;
    // The files the service itself is writing; the watcher skips them.
    OwnWrites ownWrites;

    // The exclusive hold of maps_lock that every change of the maps takes.
    // The change is counted before the lock is released, so that what is
    // derived from the maps (the subject index) is built again for the next
    // reader. Code that changes the maps directly must hold one too.
    class MapsChange {
    public:
        explicit MapsChange(const ConfigManager& cache) : cache_(cache), lock_(cache.maps_lock) {}
        ~MapsChange() { cache_.maps_generation_.fetch_add(1, std::memory_order_release); }
        MapsChange(const MapsChange&) = delete;
        MapsChange& operator=(const MapsChange&) = delete;

    private:
        const ConfigManager& cache_;
        std::unique_lock<std::shared_mutex> lock_;
    };

    // A file of /etc or /var/lib that does not load leaves its name to the
    // layers below it, which may allow more: it is logged at LOG_ERR, once
    // until it loads or goes away, with the file now in force. Called by the
    // loading code under static_configmanager_mutex.
    void NoteUnusedFile(const std::string& path);
    void NoteUsedFile(const std::string& path);

private:
    // The subject index of the maps as they are now, built again when they
    // have changed since; the caller holds maps_lock shared.
    std::shared_ptr<const SubjectIndex> CurrentSubjectIndex() const;

    template <typename T>
    struct LayeredMemo;
    // GetCache's record, shared, kept in `memo` (when given) until the maps
    // change.
    template <typename T>
    std::shared_ptr<const T> LayeredView(const ConfigMap<T>& map, const std::string& name,
                                         LayeredMemo<T>* memo) const;

    void ReadTrees();
    void NoteUnusedFiles(const std::string& folder);
    std::vector<std::string> SupersededEntityFiles() const;
    void DropSupersededEntityFiles();
    void ForgetEntityFile(const std::string& path);

    std::set<std::string> unused_files_;
    CacheCallbacks callbacks_;

    mutable std::atomic<uint64_t> maps_generation_{0};  // changes of the maps so far
    mutable std::mutex subject_index_mutex_;
    mutable std::shared_ptr<const SubjectIndex> subject_index_;
    mutable uint64_t subject_index_generation_ = 0;
    const std::unique_ptr<LayeredMemo<ModeData>> mode_memo_;
    const std::unique_ptr<LayeredMemo<EntityInfoData>> entity_memo_;
    const std::unique_ptr<LayeredMemo<PolicyData>> policy_memo_;
};

// The one layering of a name's files (file path -> record): the
// /usr/share/olm/sarv/ record as the base, every other file over it in path
// order, so /etc/olm/sarv/ before /var/lib/olm/sarv/.
template <typename T>
T LayerFiles(const std::map<std::string, T>& files);

// Takes the file `path` into the map or drops it. What is on disk wins over
// `exists` as given: on return it tells which of the two was done.
template <typename T>
int UpdateCacheFromFile(const std::string& path, ConfigMap<T>& map, bool& exists, T& out);

// Why the structural check of a change refuses a record, for people; ""
// when it passes.
std::string StructuralFault(const ModeData& m);
std::string StructuralFault(const EntityInfoData& e);
std::string StructuralFault(const PolicyData& p);

// True when every entry of `wanted` occurs in `have` (true for an empty `wanted`).
bool IsVectorContains(const std::vector<std::string>& have, const std::vector<std::string>& wanted);
