// The interface between the access-control manager and its enforcement
// adapters.
//
// An adapter is a shared library placed in the manager's adapter folder
// (/usr/share/olm/sarv/acadapter.d/). It exports one unmangled function
//
//     extern "C" AcAdapterInterface* GetAcAdapter();
//
// (AC_ADAPTER_EXPORT below spells the linkage and visibility) returning its
// adapter object, or null when it cannot work. The object stays owned by the
// adapter and lives as long as the process; the manager never deletes it and
// never unloads the library.
//
// The manager calls the three operations below and nothing else. Their order
// in the class is the plug-in's binary interface: the manager calls them by
// virtual-table slot (SetEntityInfoGetter first, then GetObjectNames, then
// SetPolicy), so never reorder them or put a virtual function before them.
//
// Calling order: right after loading, GetObjectNames once, then
// SetEntityInfoGetter once. From then on SetPolicy whenever the mode or the
// policy of a served object changes, from more than one thread and possibly
// at the same time: an adapter serialises its own state.
//
// The records come from acrecords.h. Their member functions (IsValid, Merge,
// the comparisons) are compiled into the manager, not into this kit: an
// adapter reads and copies the fields and does not call them. Build with the
// same C++ standard library and ABI as the manager (g++, C++17).
#pragma once

#include <list>
#include <string>

#include "acrecords.h"

class AC_SDK_EXPORT AcAdapterInterface {
public:
    // Looks up the layered configuration of one entity by name; an unknown
    // name gives a default record (empty name).
    using EntityInfoGetter = EntityInfoData (*)(const std::string& name);

    // Slot 0: the manager's entity lookup, for adapters that need more than
    // the object's name (its type, subtype, executables, D-Bus match keys).
    virtual void SetEntityInfoGetter(EntityInfoGetter getter) = 0;

    // Slot 1: the object names this adapter serves. The name "file" makes it
    // serve every object entity of subtype "file" that no other adapter
    // claims by its own name.
    virtual std::list<std::string> GetObjectNames() = 0;

    // Slot 2: the object's current mode (its `object` field always holds the
    // object's name) and every policy entry, of any subject, that names the
    // object, each entry holding only that object. 0 for success; any other
    // value is a failure code handed back to the manager's caller unchanged.
    virtual int SetPolicy(const ModeData& mode, const PolicyData& policy) = 0;

protected:
    // Adapters are never deleted through this interface.
    ~AcAdapterInterface() = default;
};

// The entry point's type and its declaration helper:
//     AC_ADAPTER_EXPORT AcAdapterInterface* GetAcAdapter() { ... }
using GetAcAdapterFunction = AcAdapterInterface* (*)();
#define AC_ADAPTER_EXPORT extern "C" __attribute__((visibility("default")))
