// The access-control records: plain values that every deliverable and every
// adapter plug-in exchange. Behaviour beyond defaults, the two structural
// checks, merging and comparison lives nowhere else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acconstants.h"

// The records cross from the manager into the adapter plug-ins: they stay
// visible however the code that includes them is built.
#define AC_SDK_EXPORT __attribute__((visibility("default")))

struct AC_SDK_EXPORT ModeData {
    std::string object;
    std::string mode = kModeBlacklist;
    std::string version = "1.0";
};

struct AC_SDK_EXPORT EntityAttrs {
    std::string dbus_type;
    std::string dbus_msg_type = kDbusMsgTypeMethodCall;
    std::string dbus_destination;
    std::string dbus_path;
    std::string dbus_interface;
    std::vector<std::string> dbus_members;
    std::string dbus_path_namespace;
    std::string dbus_sender;
    std::string dbus_eavesdrop = kEntityStringTrue;
    std::vector<std::string> dbus_args;
    std::vector<std::string> exes;
    std::vector<std::string> exclude_exes;
    std::vector<std::string> additional_exes;
    std::string veltrin_applicationid;

    bool operator==(const EntityAttrs& o) const;
    bool operator!=(const EntityAttrs& o) const { return !(*this == o); }
};

struct AC_SDK_EXPORT EntityInfoData {
    std::string name;
    std::string type;
    std::string subtype;
    std::vector<std::string> tags;
    EntityAttrs attrs;
    std::string owner;
    std::string level;
    std::string sensitivity;
    std::vector<std::string> available_operations;
    std::string description;
    std::string description_zh_CN;
    std::string version = "1.0";

    bool IsValid() const;
    // Why IsValid refuses the record, for people; "" when it passes.
    std::string Fault() const;
    // Overlays the non-empty fields of `other`; lists are replaced whole.
    void Merge(const EntityInfoData& other);
};

struct AC_SDK_EXPORT PolicyObject {
    std::string object;
    std::vector<std::string> operations;
    uint64_t valid_period = 0;
    uint64_t timestamp = 0;

    bool operator<(const PolicyObject& o) const;
};

struct AC_SDK_EXPORT ACPolicy {
    std::string subject;
    std::vector<PolicyObject> objects;
};

struct AC_SDK_EXPORT PolicyData {
    std::string version = "1.0";
    std::vector<ACPolicy> policies;

    bool IsValid() const;
    // Why IsValid refuses the record, for people; "" when it passes.
    std::string Fault() const;
};

// Equality of two lists taken as sets.
template <typename T>
bool CompareVector(const std::vector<T>& a, const std::vector<T>& b);
template <>
bool CompareVector<std::string>(const std::vector<std::string>& a, const std::vector<std::string>& b);
template <>
bool CompareVector<PolicyObject>(const std::vector<PolicyObject>& a, const std::vector<PolicyObject>& b);

// Overlays `from` on `into` in place; entries of `into` are never removed.
template <typename T>
void MergeVector(std::vector<T>& into, const std::vector<T>& from);
template <>
void MergeVector<PolicyObject>(std::vector<PolicyObject>& into, const std::vector<PolicyObject>& from);
template <>
void MergeVector<ACPolicy>(std::vector<ACPolicy>& into, const std::vector<ACPolicy>& from);
