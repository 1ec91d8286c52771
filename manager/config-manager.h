// The in-memory cache of every mode, entity and policy record of the three
// configuration trees, and the lookups built on it.
#pragma once

#include <QObject>
#include <list>
#include <map>
#include <shared_mutex>
#include <string>
#include <vector>

#include "acrecords.h"
#include "configfile-helper.h"

class QString;

template <typename T>
using ConfigMap = ConfigCacheMap<T>;

class ConfigManager : public QObject {
    Q_OBJECT
public:
    static ConfigManager* Instance();
    explicit ConfigManager(QObject* parent = nullptr);
    ~ConfigManager() override;

    int InitCache();
    // Removes what writes cut short left in the service's own tree and in
    // the administrator's (the installer command): hidden temporaries older
    // than `min_age_s` seconds. Younger ones may belong to a write still
    // under way (another instance of the program starts up while the
    // service runs, an install runs). Returns how many were removed.
    static int RemoveStaleTemporaries(int min_age_s = 60);

    // Layered view of one name: /usr/share as base, /etc then /var/lib over it.
    ModeData GetCache(const ConfigMap<ModeData>& map, const std::string& name) const;
    EntityInfoData GetCache(const ConfigMap<EntityInfoData>& map, const std::string& name) const;
    PolicyData GetCache(const ConfigMap<PolicyData>& map, const std::string& name) const;

    // Validate, persist under /var/lib/olm/sarv/ and cache one record given as JSON.
    template <typename T>
    int SetCache(ConfigMap<T>& map, const std::string& json, T& out, std::string& changeType);
    // Delete the /var/lib/olm/sarv/ file of `name`.
    template <typename T>
    int DeleteCache(ConfigMap<T>& map, const std::string& name, T& out, std::string& changeType);

    // The folder watcher's entry point for a file added (exists) or removed.
    int SetCacheAndUpdatePolicy(const QString& path, bool exists);

    static bool IsConfigValid(ModeData& m);
    static bool IsConfigValid(EntityInfoData& e);
    static bool IsConfigValid(PolicyData& p);

    // The layered entity of a name, with the executables of a package filled in.
    static EntityInfoData GetEntityInfo(const std::string& name);

    int GetExeSubjectInfo(const std::string& exe, EntityInfoData& subject) const;
    int GetSubjectPolicy(const std::string& subject, PolicyData& policy) const;
    int GetObjectPolicy(const std::string& object, PolicyData& policy) const;

    // Snapshot of every entity name (ascending) for listing.
    std::vector<std::string> EntityNames() const;

    // Protects the configuration trees with file-protection profiles.
    static int ProtectConfig();

    ConfigMap<ModeData> modeMap;
    ConfigMap<EntityInfoData> entityMap;
    ConfigMap<PolicyData> policyMap;

    // Readers hold it shared; the writers (always under
    // static_configmanager_mutex as well) hold it exclusively while they
    // change a map. It is never held across a call that may come back in.
    mutable std::shared_mutex maps_lock;
};

template <typename T>
int UpdateCacheFromFile(const std::string& path, ConfigMap<T>& map, bool exists, T& out);

// True when every entry of `wanted` occurs in `have` (true for an empty `wanted`).
bool IsVectorContains(const std::vector<std::string>& have, const std::vector<std::string>& wanted);
