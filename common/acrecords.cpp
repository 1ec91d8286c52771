#include "acrecords.h"

#include <algorithm>
#include <set>

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

template <typename T>
void TakeIfSet(T& field, const T& from) {
    if (!from.empty()) field = from;
}

}  // namespace

bool EntityInfoData::IsValid() const { return Fault().empty(); }

std::string EntityInfoData::Fault() const {
    if (name.empty()) return "the entity has no name";
    static const std::vector<std::string> subtypes = {kEntitySubtypeExe, kEntitySubtypePackage,
                                                      kEntitySubtypeVeltrin, kEntitySubtypeFile,
                                                      kEntitySubtypeDBus};
    if (!Contains(subtypes, subtype) && name != kEntityNameClipboard && name != kEntityNameProhibitScreenshot)
        return "subtype \"" + subtype + "\" is none of exe, package, veltrin-package, file, dbus";
    if (type != kEntityTypeObject && type != kEntityTypeSubject)
        return "type \"" + type + "\" is neither \"object\" nor \"subject\"";
    if (subtype != kEntitySubtypeDBus) return "";

    if (attrs.dbus_msg_type != kDbusMsgTypeMethodCall) return "dbus_msg_type is not \"method_call\"";
    if (attrs.dbus_eavesdrop != kEntityStringTrue && attrs.dbus_eavesdrop != kEntityStringFalse)
        return "dbus_eavesdrop is neither \"true\" nor \"false\"";
    if (attrs.dbus_type.empty()) return "a dbus entity without dbus_type";
    if (attrs.dbus_destination.empty() && attrs.dbus_path.empty() && attrs.dbus_interface.empty())
        return "a dbus entity without dbus_destination, dbus_path or dbus_interface";
    for (const auto& op : available_operations)
        if (!Contains(kDbusOperationList, op))
            return "operation \"" + op + "\" is none of read, write, readwrite, allow, deny";
    return "";
}

void EntityInfoData::Merge(const EntityInfoData& o) {
    TakeIfSet(version, o.version);
    TakeIfSet(name, o.name);
    TakeIfSet(type, o.type);
    TakeIfSet(subtype, o.subtype);
    TakeIfSet(tags, o.tags);
    TakeIfSet(attrs.dbus_type, o.attrs.dbus_type);
    TakeIfSet(attrs.dbus_msg_type, o.attrs.dbus_msg_type);
    TakeIfSet(attrs.dbus_destination, o.attrs.dbus_destination);
    TakeIfSet(attrs.dbus_path, o.attrs.dbus_path);
    TakeIfSet(attrs.dbus_interface, o.attrs.dbus_interface);
    TakeIfSet(attrs.dbus_path_namespace, o.attrs.dbus_path_namespace);
    TakeIfSet(attrs.dbus_sender, o.attrs.dbus_sender);
    TakeIfSet(attrs.dbus_eavesdrop, o.attrs.dbus_eavesdrop);
    TakeIfSet(attrs.dbus_args, o.attrs.dbus_args);
    TakeIfSet(attrs.veltrin_applicationid, o.attrs.veltrin_applicationid);
    TakeIfSet(attrs.dbus_members, o.attrs.dbus_members);
    TakeIfSet(attrs.exes, o.attrs.exes);
    TakeIfSet(attrs.exclude_exes, o.attrs.exclude_exes);
    TakeIfSet(attrs.additional_exes, o.attrs.additional_exes);
    TakeIfSet(owner, o.owner);
    TakeIfSet(level, o.level);
    TakeIfSet(sensitivity, o.sensitivity);
    TakeIfSet(available_operations, o.available_operations);
    TakeIfSet(description, o.description);
    TakeIfSet(description_zh_CN, o.description_zh_CN);
}

bool PolicyData::IsValid() const { return Fault().empty(); }

std::string PolicyData::Fault() const {
    if (policies.empty()) return "the policy has no entries";
    for (const auto& p : policies) {
        if (p.subject.empty()) return "an entry without a subject";
        if (p.objects.empty()) return "the entry of " + p.subject + " has no objects";
        for (const auto& o : p.objects) {
            if (o.object.empty()) return "an object of " + p.subject + " without a name";
            for (const auto& op : o.operations)
                if (op.empty()) return "an empty operation on " + o.object + " for " + p.subject;
        }
    }
    return "";
}

bool EntityAttrs::operator==(const EntityAttrs& o) const {
    return dbus_type == o.dbus_type && dbus_msg_type == o.dbus_msg_type && dbus_destination == o.dbus_destination &&
           dbus_path == o.dbus_path && dbus_interface == o.dbus_interface &&
           dbus_path_namespace == o.dbus_path_namespace && dbus_sender == o.dbus_sender &&
           dbus_eavesdrop == o.dbus_eavesdrop && veltrin_applicationid == o.veltrin_applicationid &&
           CompareVector(dbus_args, o.dbus_args) && CompareVector(dbus_members, o.dbus_members) &&
           CompareVector(exes, o.exes) && CompareVector(exclude_exes, o.exclude_exes) &&
           CompareVector(additional_exes, o.additional_exes);
}

bool PolicyObject::operator<(const PolicyObject& o) const {
    if (object != o.object) return object < o.object;
    if (valid_period != o.valid_period) return valid_period < o.valid_period;
    if (timestamp != o.timestamp) return timestamp < o.timestamp;
    std::set<std::string> a(operations.begin(), operations.end());
    std::set<std::string> b(o.operations.begin(), o.operations.end());
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

template <>
bool CompareVector<std::string>(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    return std::set<std::string>(a.begin(), a.end()) == std::set<std::string>(b.begin(), b.end());
}

template <>
bool CompareVector<PolicyObject>(const std::vector<PolicyObject>& a, const std::vector<PolicyObject>& b) {
    std::set<PolicyObject> sa(a.begin(), a.end());
    std::set<PolicyObject> sb(b.begin(), b.end());
    if (sa.size() != sb.size()) return false;
    for (auto i = sa.begin(), j = sb.begin(); i != sa.end(); ++i, ++j) {
        if (i->object != j->object || !CompareVector(i->operations, j->operations) ||
            i->valid_period != j->valid_period || i->timestamp != j->timestamp)
            return false;
    }
    return true;
}

template <>
void MergeVector<PolicyObject>(std::vector<PolicyObject>& into, const std::vector<PolicyObject>& from) {
    std::vector<PolicyObject> leftovers;
    for (const auto& f : from) {
        bool matched = false;
        for (auto& t : into) {
            if (t.object != f.object) continue;
            matched = true;
            if (!f.operations.empty()) t.operations = f.operations;
            t.valid_period = f.valid_period;
            t.timestamp = f.timestamp;
        }
        if (!matched) leftovers.push_back(f);
    }
    into.insert(into.end(), leftovers.begin(), leftovers.end());
}

template <>
void MergeVector<ACPolicy>(std::vector<ACPolicy>& into, const std::vector<ACPolicy>& from) {
    std::vector<ACPolicy> leftovers;
    for (const auto& f : from) {
        bool matched = false;
        for (auto& t : into) {
            if (t.subject != f.subject) continue;
            matched = true;
            MergeVector(t.objects, f.objects);
        }
        if (!matched) leftovers.push_back(f);
    }
    into.insert(into.end(), leftovers.begin(), leftovers.end());
}
