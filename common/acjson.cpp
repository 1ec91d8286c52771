#include "acjson.h"

#include <algorithm>

using nlohmann::json;

void to_json(json& j, const ModeData& m) {
    j = json{{"object", m.object}, {"mode", m.mode}, {"version", m.version}};
}

namespace {

// Whether the library writes `text` between quotes as it is.
bool Verbatim(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte <= 0x7e && byte != '"' && byte != '\\';
    });
}

}  // namespace

std::string ToJsonText(const ModeData& mode, int indent) {
    if (indent >= 0 || !Verbatim(mode.mode) || !Verbatim(mode.object) || !Verbatim(mode.version))
        return ToJsonText<ModeData>(mode, indent);
    // The library's order: keys sorted.
    std::string text = R"({"mode":")";
    text.reserve(text.size() + mode.mode.size() + mode.object.size() + mode.version.size() + 28);
    text += mode.mode;
    text += R"(","object":")";
    text += mode.object;
    text += R"(","version":")";
    text += mode.version;
    text += R"("})";
    return text;
}

void to_json(json& j, const EntityAttrs& a) {
    j = json{{"dbus_type", a.dbus_type},
             {"dbus_msg_type", a.dbus_msg_type},
             {"dbus_destination", a.dbus_destination},
             {"dbus_path", a.dbus_path},
             {"dbus_interface", a.dbus_interface},
             {"dbus_members", a.dbus_members},
             {"veltrin_applicationid", a.veltrin_applicationid},
             {"dbus_path_namespace", a.dbus_path_namespace},
             {"exes", a.exes},
             {"dbus_sender", a.dbus_sender},
             {"dbus_eavesdrop", a.dbus_eavesdrop},
             {"dbus_args", a.dbus_args},
             {"exclude_exes", a.exclude_exes},
             {"additional_exes", a.additional_exes}};
}

void to_json(json& j, const EntityInfoData& e) {
    j = json{{"name", e.name},
             {"type", e.type},
             {"subtype", e.subtype},
             {"tags", e.tags},
             {"attrs", e.attrs},
             {"owner", e.owner},
             {"level", e.level},
             {"sensitivity", e.sensitivity},
             {"available_operations", e.available_operations},
             {"description", e.description},
             {"description_zh_CN", e.description_zh_CN},
             {"version", e.version}};
}

void to_json(json& j, const PolicyObject& o) {
    j = json{{"object", o.object},
             {"operations", o.operations},
             {"valid_period", o.valid_period},
             {"timestamp", o.timestamp}};
}

void to_json(json& j, const ACPolicy& p) {
    j = json{{"subject", json{{"name", p.subject}}}, {"objects", p.objects}};
}

void to_json(json& j, const PolicyData& p) {
    j = json{{"version", p.version}, {"policies", p.policies}};
}

size_t JsonNestingDepth(std::string_view text, size_t limit) {
    size_t depth = 0;
    size_t deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size() && deepest <= limit; ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}
