// The trees are loaded, layered and resolved by the service's own code, and
// the answers come from the service's own decision (access-decision.h): an
// explanation can only be wrong where the files changed since it was made.
// The report is built once, as JSON; the text form is a rendering of it.
#include "explain.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "ac-audit.h"
#include "ac-log.h"
#include "access-decision.h"
#include "acjson.h"
#include "config-manager.h"
#include "configer.h"
#include "proc-readers.h"

namespace {

using nlohmann::json;

bool StartsWith(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

std::string TreeOf(const std::string& path) {
    for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder})
        if (StartsWith(path, root)) return root;
    return "";
}

const char* TreeRole(const std::string& tree) {
    if (tree == kUsrShareFolder) return "shipped";
    if (tree == kEtcFolder) return "administrator";
    return "service";
}

// A process id as CanAuthorize takes it: a decimal int.
bool ParsePid(const std::string& text, int& pid) {
    if (text.empty() || text.size() > 11) return false;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) return false;
    if (value < INT_MIN || value > INT_MAX) return false;
    pid = static_cast<int>(value);
    return true;
}

// A record as one level of keys, the attributes as "attrs.KEY".
template <typename T>
json Flat(const T& record) {
    const json whole = record;
    json flat = json::object();
    for (const auto& [key, value] : whole.items()) {
        if (key != "attrs")
            flat[key] = value;
        else
            for (const auto& [attr, item] : value.items()) flat["attrs." + attr] = item;
    }
    return flat;
}

json Files(const std::map<std::string, EntityInfoData>& files) {
    json list = json::array();
    for (const auto& [path, record] : files) list.push_back({{"file", path}, {"tree", TreeOf(path)}});
    return list;
}

// The files of a name in the order the cache layers them (LayerFiles), each
// with the fields it changed (the name aside): those in force and those a
// later file overrode.
template <typename T>
json Layers(const std::map<std::string, T>& files) {
    std::vector<std::string> order;
    for (const auto& [path, record] : files)
        if (TreeOf(path) == kUsrShareFolder) order.push_back(path);
    for (const auto& [path, record] : files)
        if (TreeOf(path) != kUsrShareFolder) order.push_back(path);
    std::map<std::string, T> below;
    json before = Flat(LayerFiles(below));
    std::vector<std::vector<std::string>> changed(order.size());
    std::map<std::string, size_t> last;
    for (size_t i = 0; i < order.size(); ++i) {
        below.emplace(order[i], files.at(order[i]));
        json after = Flat(LayerFiles(below));
        for (const auto& [key, value] : after.items())
            if (key != "name" && key != "object" && before[key] != value) {
                changed[i].push_back(key);
                last[key] = i;
            }
        before = std::move(after);
    }
    json layers = json::array();
    for (size_t i = 0; i < order.size(); ++i) {
        json inForce = json::array(), overridden = json::array();
        for (const auto& key : changed[i]) (last[key] == i ? inForce : overridden).push_back(key);
        layers.push_back(
            {{"file", order[i]}, {"tree", TreeOf(order[i])}, {"in_force", inForce}, {"overridden", overridden}});
    }
    return layers;
}

bool Listed(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

json SubjectReport(const std::string& subject, const EntityInfoData& entity, bool found, bool byName) {
    ConfigManager* cache = ConfigManager::Instance();
    if (!found) {
        const auto files = cache->FilesOf(cache->entityMap, subject);
        const std::string why =
            files.empty() ? "no entity is named so" : "the entity of that name is not valid: " + entity.Fault();
        return {{"entity", nullptr},
                {"reason", why + ", and no subject claims it as its executable"},
                {"files", Files(files)}};
    }
    std::string how = "an entity is named so";
    if (!byName && entity.subtype != kEntitySubtypePackage) {
        how = "claimed by the " + entity.subtype + " subject of that name";
    } else if (!byName) {
        const auto& a = entity.attrs;
        const bool own =
            (Listed(a.exes, subject) || Listed(a.additional_exes, subject)) && !Listed(a.exclude_exes, subject);
        how = own ? "listed among the executables of the package subject"
                  : "listed by the package database for the package subject";
    }
    return {{"entity", entity.name},
            {"type", entity.type},
            {"subtype", entity.subtype},
            {"reason", how},
            {"files", Files(cache->FilesOf(cache->entityMap, entity.name))}};
}

json ObjectReport(const std::string& object, const AccessDecision& d) {
    ConfigManager* cache = ConfigManager::Instance();
    const auto entityFiles = cache->FilesOf(cache->entityMap, object);
    json entity = {{"valid", d.object.IsValid()},
                   {"type", d.object.type},
                   {"subtype", d.object.subtype},
                   {"available_operations", d.object.available_operations},
                   {"layers", Layers(entityFiles)}};
    if (!d.object.IsValid()) entity["fault"] = entityFiles.empty() ? "no entity is named so" : d.object.Fault();
    const ModeData mode = cache->GetCache(cache->modeMap, object);
    const bool hasMode = !mode.object.empty() && !mode.mode.empty();
    return {
        {"name", object},
        {"entity", entity},
        {"mode",
         {{"mode", hasMode ? json(mode.mode) : json()}, {"layers", Layers(cache->FilesOf(cache->modeMap, object))}}}};
}

// The entries of the subject's policy files that name the object; the
// decision takes all of them, whichever subject an entry names.
json PolicyReport(const std::string& subject, const std::string& object) {
    ConfigManager* cache = ConfigManager::Instance();
    const PolicyData layered = cache->GetCache(cache->policyMap, subject);
    json entries = json::array();
    for (const auto& [path, record] : cache->FilesOf(cache->policyMap, subject))
        for (const auto& entry : record.policies)
            for (const auto& item : entry.objects)
                if (item.object == object)
                    entries.push_back({{"file", path},
                                       {"tree", TreeOf(path)},
                                       {"subject", entry.subject},
                                       {"operations", item.operations}});
    json report = {{"subject", subject}, {"valid", layered.IsValid()}, {"entries", entries}};
    if (!layered.IsValid()) report["fault"] = layered.Fault();
    return report;
}

const char* RuleName(AccessRule rule) {
    switch (rule) {
    case AccessRule::kInvalidObject: return "invalid-object";
    case AccessRule::kNoMode: return "no-mode";
    case AccessRule::kNoSubject: return "no-subject";
    case AccessRule::kNoPolicy: return "no-policy";
    case AccessRule::kPolicy: return "policy";
    }
    return "";
}

std::string RuleReason(const AccessDecision& d, const std::string& object) {
    const std::string& mode = d.mode.mode;
    const std::string defaults = "the default of mode " + mode + ": " +
                                 (mode == kModeBlacklist   ? std::string("every operation the object offers")
                                  : mode == kModeWhitelist ? std::string("nothing")
                                                           : "\"" + mode + "\" alone");
    switch (d.rule) {
    case AccessRule::kInvalidObject: return object + " is no valid entity: the question is refused";
    case AccessRule::kNoMode: return object + " has no mode: every operation it offers, to everyone";
    case AccessRule::kNoSubject: return "no subject: " + defaults;
    case AccessRule::kNoPolicy: return d.subject.name + " has no valid policy: " + defaults;
    case AccessRule::kPolicy:
        return "the policy of " + d.subject.name + ": exactly what it grants on " + object + ", whatever the mode";
    }
    return "";
}

json Refused(const char* rule, const std::string& reason, const char* error) {
    return {{"rule", rule}, {"reason", reason}, {"error", error}};
}

json Report(const std::string& subject, const std::string& object, const std::vector<std::string>& operations) {
    json report = {{"question", {{"subject", subject}, {"object", object}, {"operations", operations}}}};
    int pid = 0;
    const bool isPid = ParsePid(subject, pid);
    const std::string exe = isPid ? get_pid_link(pid, "exe") : subject;
    if (isPid) report["process"] = {{"pid", pid}, {"exe", exe}};
    if (exe.empty()) {
        const json refused =
            isPid ? Refused("invalid-pid", "no executable can be read for that process", "Invalid subject PID")
                  : Refused("invalid-exe", "the executable is empty", "Invalid exe");
        if (isPid && access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0 && geteuid() != 0)
            fprintf(stderr, "warning: process %d runs, but only root can read its executable\n", pid);
        report["can_authorize"] = report["check_authorization"] = refused;
        return report;
    }
    const AccessDecision d = DecideAccess(exe, object);
    // Where the object decided alone the subject was not looked up; it is
    // for the reader, the same lookup.
    EntityInfoData entity = d.subject;
    bool byName = d.subject_by_name;
    const bool found = d.rule == AccessRule::kNoPolicy || d.rule == AccessRule::kPolicy ||
                       (d.rule != AccessRule::kNoSubject && FindSubject(exe, entity, byName));
    report["subject"] = SubjectReport(exe, entity, found, byName);
    report["object"] = ObjectReport(object, d);
    report["policy"] = found ? PolicyReport(entity.name, object) : json();
    const std::string reason = RuleReason(d, object);
    if (d.rule == AccessRule::kInvalidObject) {
        report["can_authorize"] = report["check_authorization"] = Refused(RuleName(d.rule), reason, "Invalid object");
        return report;
    }
    json denied = json::array();
    for (const auto& operation : operations)
        if (!PermitsAll(d.permitted, {operation})) denied.push_back(operation);
    report["can_authorize"] = {{"rule", RuleName(d.rule)}, {"reason", reason}, {"answer", d.permitted}};
    report["check_authorization"] = {{"rule", RuleName(d.rule)},
                                     {"reason", reason},
                                     {"answer", PermitsAll(d.permitted, operations) ? 1 : 0},
                                     {"denied", denied}};
    return report;
}

// ---- the text form ------------------------------------------------------------------

std::string Text(const json& value) {
    return LogPrintable(value.is_string() ? value.get<std::string>()
                                          : value.dump(-1, ' ', false, json::error_handler_t::replace));
}

std::string List(const json& list) {
    std::string text;
    for (const auto& item : list) text += (text.empty() ? "" : ", ") + Text(item);
    return text.empty() ? "nothing" : text;
}

std::string Where(const json& file) {
    return "    " + Text(file["file"]) + " (" + TreeRole(file["tree"].get<std::string>()) + ")";
}

void PrintLayers(const json& layers) {
    for (const auto& layer : layers) {
        std::string line = Where(layer) + ": ";
        line += layer["in_force"].empty() ? "nothing in force" : "in force " + List(layer["in_force"]);
        if (!layer["overridden"].empty()) line += "; overridden " + List(layer["overridden"]);
        puts(line.c_str());
    }
}

void PrintAnswer(const char* method, const json& answer, const std::string& value) {
    printf("%s: %s\n  rule %s: %s\n", method,
           answer.contains("error") ? ("error \"" + Text(answer["error"]) + "\"").c_str() : value.c_str(),
           Text(answer["rule"]).c_str(), Text(answer["reason"]).c_str());
}

void PrintText(const json& r) {
    printf("subject %s\n", Text(r["question"]["subject"]).c_str());
    if (r.contains("process"))
        printf("  process %d runs %s\n", r["process"]["pid"].get<int>(), Text(r["process"]["exe"]).c_str());
    if (r.contains("subject")) {
        const json& s = r["subject"];
        if (s["entity"].is_null())
            printf("  no entity: %s\n", Text(s["reason"]).c_str());
        else
            printf("  entity %s (%s, %s): %s\n", Text(s["entity"]).c_str(), Text(s["type"]).c_str(),
                   Text(s["subtype"]).c_str(), Text(s["reason"]).c_str());
        for (const auto& file : s["files"]) puts(Where(file).c_str());
    }
    if (r.contains("object")) {
        const json& o = r["object"];
        printf("object %s\n", Text(o["name"]).c_str());
        if (o["entity"]["valid"].get<bool>())
            printf("  entity (%s, %s), operations %s\n", Text(o["entity"]["type"]).c_str(),
                   Text(o["entity"]["subtype"]).c_str(), List(o["entity"]["available_operations"]).c_str());
        else
            printf("  no valid entity: %s\n", Text(o["entity"]["fault"]).c_str());
        PrintLayers(o["entity"]["layers"]);
        printf("  %s\n", o["mode"]["mode"].is_null() ? "no mode" : ("mode " + Text(o["mode"]["mode"])).c_str());
        PrintLayers(o["mode"]["layers"]);
    }
    if (r.contains("policy") && !r["policy"].is_null()) {
        const json& p = r["policy"];
        printf("policy of %s: %s\n", Text(p["subject"]).c_str(),
               p["valid"].get<bool>() ? "valid" : ("not valid: " + Text(p["fault"])).c_str());
        for (const auto& entry : p["entries"])
            printf("%s: %s may %s\n", Where(entry).c_str(), Text(entry["subject"]).c_str(),
                   List(entry["operations"]).c_str());
        if (p["entries"].empty()) printf("    no entry names %s\n", Text(r["question"]["object"]).c_str());
    }
    PrintAnswer("CanAuthorize", r["can_authorize"], List(r["can_authorize"].value("answer", json::array())));
    const json& check = r["check_authorization"];
    const json& asked = r["question"]["operations"];
    std::string value = check.contains("answer") ? std::to_string(check["answer"].get<int>()) : "";
    if (check.contains("denied") && !check["denied"].empty())
        value += " (not permitted: " + List(check["denied"]) + ")";
    PrintAnswer(("CheckAuthorization " + (asked.empty() ? std::string("of no operation") : List(asked))).c_str(), check,
                value);
}

}  // namespace

int Explain(const std::vector<std::string>& args) {
    const bool asJson = !args.empty() && args[0] == "--json";
    const size_t first = asJson ? 1 : 0;
    if (args.size() < first + 2) {
        fputs("usage: sarv-ac-manager-configer explain [--json] SUBJECT OBJECT [OPERATION...]\n", stdout);
        return 2;
    }
    LoadServiceConfiguration();
    const json report =
        Report(args[first], args[first + 1], std::vector<std::string>(args.begin() + first + 2, args.end()));
    if (asJson)
        puts(report.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    else
        PrintText(report);
    return 0;
}
