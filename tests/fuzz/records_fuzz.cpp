// The record decoders of libsarv-ac. The input is one JSON document, or two separated by a NUL byte; each is
// decoded as a mode, an entity and a policy. Beyond "no crash": a decoded record encodes to a document that
// decodes to the same record (nothing is lost on the way to a file and back), decoding is all or nothing, and
// merging two records keeps what the merge promises.
#include <map>
#include <set>

#include "acjson.h"
#include "configfile-helper.h"
#include "fuzz-check.h"

using nlohmann::json;

namespace {

// Every field of every kind set otherwise than by default: a decoder that kept a stale field shows over it.
const char kOther[] = R"({"object": "\u0001other", "mode": "other-mode", "version": "9", "name": "other",
  "type": "t", "subtype": "s", "tags": ["x"], "owner": "o", "level": "o", "sensitivity": "o", "description": "o",
  "available_operations": ["op"], "description_zh_CN": "o", "attrs": {"dbus_type": "o", "dbus_msg_type": "o",
  "dbus_destination": "o", "dbus_path": "o", "dbus_interface": "o", "dbus_members": ["o"], "dbus_sender": "o",
  "veltrin_applicationid": "o", "dbus_path_namespace": "o", "exes": ["o"], "dbus_eavesdrop": "o",
  "dbus_args": ["o"], "exclude_exes": ["o"], "additional_exes": ["o"]}, "policies": [{"subject": {"name": "o"},
  "objects": [{"object": "o", "operations": ["op"], "valid_period": 1, "timestamp": 2}]}]})";

// A decode fails whole or succeeds whatever the record held before, and what it gives survives encoding and
// decoding unchanged: compact or indented as in files, into a default record or into `other`.
template <typename T>
bool Decode(const std::string& text, T& out) {
    static T other;
    static const bool loaded = ConfigFileHelper::LoadFromJson(kOther, other) == 0;
    FUZZ_CHECK(loaded, kOther);
    T probe = other;
    const int r = ConfigFileHelper::LoadFromJson(text, probe);
    FUZZ_CHECK(r == 0 || r == -22, "result " + std::to_string(r));
    FUZZ_CHECK(r == 0 || ToJsonText(probe) == ToJsonText(other), "a failed decode changed its output");
    if (r != 0) return false;
    FUZZ_CHECK(ConfigFileHelper::LoadFromJson(text, out) == 0, "decoded over one record only");
    const std::string canonical = ToJsonText(out);
    for (const std::string& form : {canonical, ToJsonText(out, 4)})
        for (T again : {T(), other})
            FUZZ_CHECK(ConfigFileHelper::LoadFromJson(form, again) == 0 && ToJsonText(again) == canonical,
                       form + "\n  decoded back as\n  " + ToJsonText(again));
    return true;
}

bool Blank(const json& value) { return value == "" || value == json::array(); }

// Merge lays `layer` over `base` field by field: a field the layer leaves empty keeps the base's.
void CheckOverlay(const json& merged, const json& base, const json& layer, const std::string& at) {
    for (const auto& [key, value] : merged.items())
        if (value.is_object())
            CheckOverlay(value, base.at(key), layer.at(key), at + key + ".");
        else
            FUZZ_CHECK(value == (Blank(layer.at(key)) ? base.at(key) : layer.at(key)), "field " + at + key);
}

void CheckEntityMerge(const EntityInfoData& a, const EntityInfoData& b) {
    EntityInfoData m = a;
    m.Merge(b);
    CheckOverlay(json(m), json(a), json(b), "");
    // Valid records merge into a valid one when the layer sets what validity hangs on: subtype, D-Bus operations.
    if (a.IsValid() && b.IsValid() && !b.subtype.empty() &&
        (b.subtype != kEntitySubtypeDBus || !b.available_operations.empty()))
        FUZZ_CHECK(m.IsValid(), ToJsonText(a) + "\n  merged with\n  " + ToJsonText(b));
}

void CheckPolicyMerge(const PolicyData& a, const PolicyData& b) {
    PolicyData merged = a;
    MergeVector(merged.policies, b.policies);
    // Nothing is removed and everything of the layer arrives: each entry, subject and object of both.
    FUZZ_CHECK(merged.policies.size() >= a.policies.size(), "entries removed");
    std::map<std::string, std::set<std::string>> kept;  // subject -> objects
    for (const auto& p : merged.policies) {
        FUZZ_CHECK(CompareVector(p.objects, p.objects), "an object list unequal to itself");
        auto& objects = kept[p.subject];
        for (const auto& o : p.objects) objects.insert(o.object);
    }
    for (const auto* from : {&a, &b})
        for (const auto& p : from->policies) {
            FUZZ_CHECK(kept.count(p.subject), "subject lost: " + p.subject);
            for (const auto& o : p.objects) FUZZ_CHECK(kept[p.subject].count(o.object), "object lost: " + o.object);
        }
    // The service layers /etc and /var/lib over the shipped files on this.
    if (a.IsValid() && b.IsValid()) FUZZ_CHECK(merged.IsValid(), ToJsonText(a) + "\n  merged with\n  " + ToJsonText(b));
    if (!a.policies.empty() && !b.policies.empty()) {
        const auto &x = a.policies[0].objects, &y = b.policies[0].objects;
        FUZZ_CHECK(CompareVector(x, y) == CompareVector(y, x), "object list comparison not symmetric");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    const std::string texts[2] = {input.substr(0, nul), nul == std::string::npos ? input : input.substr(nul + 1)};
    ModeData modes[2];
    EntityInfoData entities[2];
    PolicyData policies[2];
    bool entity = true, policy = true;
    for (int i = 0; i < 2; ++i) {
        Decode(texts[i], modes[i]);
        entity = Decode(texts[i], entities[i]) && entity;
        policy = Decode(texts[i], policies[i]) && policy;
    }
    ParseConfigType(texts[0]);  // the path a watcher may be handed: any bytes
    ModeData raw;
    raw.object = texts[0], raw.mode = texts[1];
    for (const ModeData* mode : {&modes[0], &modes[1], &raw})
        FUZZ_CHECK(ToJsonText(*mode) == ToJsonText<ModeData>(*mode), "a mode's text is not the library's: " +
                                                                          ToJsonText<ModeData>(*mode));
    const EntityAttrs &x = entities[0].attrs, &y = entities[1].attrs;
    if (entity) FUZZ_CHECK(x == x && (x == y) == (y == x), "attrs comparison not an equivalence");
    for (const auto& [i, j] : {std::pair(0, 1), std::pair(1, 0), std::pair(0, 0)}) {  // each over the other and itself
        if (entity) CheckEntityMerge(entities[i], entities[j]);
        if (policy) CheckPolicyMerge(policies[i], policies[j]);
    }
    return 0;
}
