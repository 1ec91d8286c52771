// The record decoders of libsarv-ac. The input is one JSON document, or two
// separated by a NUL byte; each is decoded as a mode, an entity and a policy.
//
// Beyond "no crash": a decoded record encodes to a document that decodes to
// the same record (nothing is lost on the way to a file and back), decoding
// is all or nothing, and merging two records keeps what the merge promises.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "acjson.h"
#include "configfile-helper.h"
#include "fuzz-check.h"

namespace {

// Records compare by their encoding: every field is written, in a fixed
// order, lists in their own order.
template <typename T>
std::string Text(const T& record) {
    return ToJsonText(record);
}

// A decoded record survives encoding and decoding unchanged, from the
// default record and from one whose every field is already set otherwise
// (a decoder that kept a stale field would show there).
template <typename T>
void CheckRoundTrip(const T& record, const T& other) {
    const std::string text = Text(record);
    T again;
    FUZZ_CHECK(ConfigFileHelper::LoadFromJson(text, again) == 0, text);
    FUZZ_CHECK(Text(again) == text, text + "\n  decoded back as\n  " + Text(again));
    T over = other;
    FUZZ_CHECK(ConfigFileHelper::LoadFromJson(text, over) == 0, text);
    FUZZ_CHECK(Text(over) == text, text + "\n  decoded over another record as\n  " + Text(over));
    // The indented form that goes into files reads back the same.
    T indented;
    FUZZ_CHECK(ConfigFileHelper::LoadFromJson(ToJsonText(record, 4), indented) == 0, text);
    FUZZ_CHECK(Text(indented) == text, text);
}

ModeData OtherMode() {
    ModeData m;
    m.object = "\x01other";
    m.mode = "other-mode";
    m.version = "9";
    return m;
}

EntityInfoData OtherEntity() {
    EntityInfoData e;
    e.name = "other";
    e.type = "t";
    e.subtype = "s";
    e.tags = {"x"};
    e.owner = e.level = e.sensitivity = e.description = e.description_zh_CN = "o";
    e.available_operations = {"op"};
    e.version = "9";
    EntityAttrs& a = e.attrs;
    a.dbus_type = a.dbus_msg_type = a.dbus_destination = a.dbus_path = a.dbus_interface = "o";
    a.dbus_path_namespace = a.dbus_sender = a.dbus_eavesdrop = a.veltrin_applicationid = "o";
    a.dbus_members = a.dbus_args = a.exes = a.exclude_exes = a.additional_exes = {"o"};
    return e;
}

PolicyData OtherPolicy() {
    PolicyData p;
    p.version = "9";
    p.policies.push_back(ACPolicy{"other", {PolicyObject{"o", {"op"}, 1, 2}}});
    return p;
}

// A failed decode leaves the output untouched.
template <typename T>
int Decode(const std::string& text, T& out, const T& other) {
    T probe = other;
    const int r = ConfigFileHelper::LoadFromJson(text, probe);
    FUZZ_CHECK(r == 0 || r == -22, "result " + std::to_string(r));
    if (r != 0) FUZZ_CHECK(Text(probe) == Text(other), "a failed decode changed its output");
    return ConfigFileHelper::LoadFromJson(text, out);
}

// ---- merging ------------------------------------------------------------------

template <typename T>
void CheckOverlay(const T& merged, const T& base, const T& layer, const char* field) {
    FUZZ_CHECK(merged == (layer.empty() ? base : layer), std::string("field ") + field);
}

void CheckEntityMerge(const EntityInfoData& a, const EntityInfoData& b) {
    EntityInfoData m = a;
    m.Merge(b);
#define OVERLAY(f) CheckOverlay(m.f, a.f, b.f, #f)
    OVERLAY(version);
    OVERLAY(name);
    OVERLAY(type);
    OVERLAY(subtype);
    OVERLAY(tags);
    OVERLAY(owner);
    OVERLAY(level);
    OVERLAY(sensitivity);
    OVERLAY(available_operations);
    OVERLAY(description);
    OVERLAY(description_zh_CN);
    OVERLAY(attrs.dbus_type);
    OVERLAY(attrs.dbus_msg_type);
    OVERLAY(attrs.dbus_destination);
    OVERLAY(attrs.dbus_path);
    OVERLAY(attrs.dbus_interface);
    OVERLAY(attrs.dbus_members);
    OVERLAY(attrs.dbus_path_namespace);
    OVERLAY(attrs.dbus_sender);
    OVERLAY(attrs.dbus_eavesdrop);
    OVERLAY(attrs.dbus_args);
    OVERLAY(attrs.exes);
    OVERLAY(attrs.exclude_exes);
    OVERLAY(attrs.additional_exes);
    OVERLAY(attrs.veltrin_applicationid);
#undef OVERLAY

    // The layer wins: laying it on again changes nothing.
    EntityInfoData twice = m;
    twice.Merge(b);
    FUZZ_CHECK(Text(twice) == Text(m), "merging the same layer twice");

    // Two valid records give a valid one when the layer decides every field
    // validity depends on: its subtype, and for D-Bus objects its operations.
    if (a.IsValid() && b.IsValid() && !b.subtype.empty() &&
        (b.subtype != kEntitySubtypeDBus || !b.available_operations.empty()))
        FUZZ_CHECK(m.IsValid(), Text(a) + "\n  merged with\n  " + Text(b));
}

std::set<std::string> Subjects(const std::vector<ACPolicy>& list) {
    std::set<std::string> names;
    for (const auto& p : list) names.insert(p.subject);
    return names;
}

void CheckPolicyMerge(const PolicyData& a, const PolicyData& b) {
    std::vector<ACPolicy> into = a.policies;
    MergeVector(into, b.policies);
    // Nothing is removed, everything of the layer arrives.
    FUZZ_CHECK(into.size() >= a.policies.size(), "entries removed");
    const std::set<std::string> have = Subjects(into);
    for (const auto& name : Subjects(a.policies)) FUZZ_CHECK(have.count(name), "subject lost: " + name);
    for (const auto& name : Subjects(b.policies)) FUZZ_CHECK(have.count(name), "subject missing: " + name);
    for (const auto& p : into)
        for (const auto& layer : b.policies) {
            if (layer.subject != p.subject) continue;
            for (const auto& o : layer.objects) {
                bool found = false;
                for (const auto& got : p.objects) found = found || got.object == o.object;
                FUZZ_CHECK(found, "object missing: " + o.object);
            }
        }

    // Valid policies merge into a valid one: the service relies on it when
    // it layers /etc and /var/lib over the shipped files.
    PolicyData merged;
    merged.version = a.version;
    merged.policies = into;
    if (a.IsValid() && b.IsValid()) FUZZ_CHECK(merged.IsValid(), Text(a) + "\n  merged with\n  " + Text(b));

    // Comparison of object lists is an equivalence: reflexive and symmetric.
    for (const auto& p : into) FUZZ_CHECK(CompareVector(p.objects, p.objects), "object list unequal to itself");
    if (!a.policies.empty() && !b.policies.empty())
        FUZZ_CHECK(CompareVector(a.policies[0].objects, b.policies[0].objects) ==
                       CompareVector(b.policies[0].objects, a.policies[0].objects),
                   "object list comparison not symmetric");
}

template <typename T>
struct Decoded {
    bool ok[2] = {false, false};
    T record[2];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    const std::string texts[2] = {input.substr(0, nul), nul == std::string::npos ? input : input.substr(nul + 1)};

    static const ModeData otherMode = OtherMode();
    static const EntityInfoData otherEntity = OtherEntity();
    static const PolicyData otherPolicy = OtherPolicy();

    Decoded<ModeData> modes;
    Decoded<EntityInfoData> entities;
    Decoded<PolicyData> policies;
    for (int i = 0; i < 2; ++i) {
        modes.ok[i] = Decode(texts[i], modes.record[i], otherMode) == 0;
        entities.ok[i] = Decode(texts[i], entities.record[i], otherEntity) == 0;
        policies.ok[i] = Decode(texts[i], policies.record[i], otherPolicy) == 0;
        // Every kind reads the same document: a document that is not an
        // object is nothing, whatever the kind.
        if (modes.ok[i]) CheckRoundTrip(modes.record[i], otherMode);
        if (entities.ok[i]) CheckRoundTrip(entities.record[i], otherEntity);
        if (policies.ok[i]) CheckRoundTrip(policies.record[i], otherPolicy);
        if (entities.ok[i]) entities.record[i].IsValid();
        if (policies.ok[i]) policies.record[i].IsValid();
    }

    // The path a watcher might be handed: any bytes.
    ParseConfigType(texts[0]);

    if (entities.ok[0] && entities.ok[1]) {
        CheckEntityMerge(entities.record[0], entities.record[1]);
        CheckEntityMerge(entities.record[1], entities.record[0]);
        CheckEntityMerge(entities.record[0], entities.record[0]);
        // Entity equality as the cache sees it: an equivalence.
        const EntityAttrs& x = entities.record[0].attrs;
        const EntityAttrs& y = entities.record[1].attrs;
        FUZZ_CHECK(x == x && (x == y) == (y == x), "attrs comparison not an equivalence");
    }
    if (policies.ok[0] && policies.ok[1]) {
        CheckPolicyMerge(policies.record[0], policies.record[1]);
        CheckPolicyMerge(policies.record[1], policies.record[0]);
    }
    return 0;
}
