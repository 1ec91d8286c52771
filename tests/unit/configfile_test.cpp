// The configuration file library: decoding, file names, atomic writes and
// folder loading. Runs in the sandbox: the trees and /tmp are private.
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "acjson.h"
#include "configfile-helper.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (auto* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

EntityInfoData FullEntity() {
    EntityInfoData e;
    e.name = "nm";
    e.type = "object";
    e.subtype = "dbus";
    e.tags = {"net", "sys"};
    e.attrs.dbus_type = "method_call";
    e.attrs.dbus_destination = "org.example.Net";
    e.attrs.dbus_path = "/org/example/Net";
    e.attrs.dbus_interface = "org.example.Net";
    e.attrs.dbus_members = {"Enable", "Disable"};
    e.attrs.dbus_path_namespace = "/org";
    e.attrs.dbus_sender = ":1.2";
    e.attrs.dbus_eavesdrop = "false";
    e.attrs.dbus_args = {"a0"};
    e.attrs.exes = {"/usr/bin/nm"};
    e.attrs.exclude_exes = {"/usr/bin/x"};
    e.attrs.additional_exes = {"/usr/bin/y"};
    e.attrs.veltrin_applicationid = "org.example.app";
    e.owner = "root";
    e.level = "2";
    e.sensitivity = "high";
    e.available_operations = {"allow", "deny"};
    e.description = "network";
    e.description_zh_CN = "网络";
    e.version = "2.0";
    return e;
}

PolicyData FullPolicy() {
    PolicyData p;
    p.version = "1.1";
    p.policies.push_back({"dpkg", {{"camera", {"allow"}, 5, UINT64_MAX}, {"mic", {}, 0, 0}}});
    p.policies.push_back({"apt", {{"camera", {"deny", "read"}, 1, 2}}});
    return p;
}

template <typename T>
void ExpectRoundTrip(const T& record) {
    T back;
    ASSERT_EQ(ConfigFileHelper::LoadFromJson(ToJsonText(record), back), 0);
    EXPECT_EQ(ToJsonText(back), ToJsonText(record));
    const std::string path = "/tmp/roundtrip/" + GetConfigFileName(record);
    ASSERT_EQ(ConfigFileHelper::UpdateFile(path, record), 0);
    T fromFile;
    ASSERT_EQ(ConfigFileHelper::LoadFromFile(path, fromFile), 0);
    EXPECT_EQ(ToJsonText(fromFile), ToJsonText(record));
}

}  // namespace

TEST(Decode, RoundTripsEveryRecord) {
    ModeData m;
    m.object = "camera";
    m.mode = "whitelist";
    ExpectRoundTrip(m);
    ExpectRoundTrip(ModeData());
    ExpectRoundTrip(FullEntity());
    ExpectRoundTrip(EntityInfoData());
    ExpectRoundTrip(FullPolicy());
    ExpectRoundTrip(PolicyData());
}

TEST(Decode, MissingKeysKeepDefaultsUnknownKeysIgnored) {
    ModeData m;
    ASSERT_EQ(ConfigFileHelper::LoadFromJson(R"({"object":"camera","extra":[1,2]})", m), 0);
    EXPECT_EQ(m.object, "camera");
    EXPECT_EQ(m.mode, "blacklist");
    EntityInfoData e;
    ASSERT_EQ(ConfigFileHelper::LoadFromJson(R"({"name":"x","attrs":{"exes":["/bin/a"]}})", e), 0);
    EXPECT_EQ(e.attrs.dbus_eavesdrop, "true");
    EXPECT_EQ(e.attrs.exes, std::vector<std::string>{"/bin/a"});
    PolicyData p;
    ASSERT_EQ(ConfigFileHelper::LoadFromJson(R"({"policies":[{"subject":{"name":"s"},"objects":[{"object":"o"}]}]})", p), 0);
    EXPECT_EQ(p.policies.at(0).objects.at(0).timestamp, 0u);
}

TEST(Decode, WrongTypesAndBrokenTextAreRefused) {
    const std::vector<std::string> badModes = {
        "", "{", "[]", "null", "\"camera\"", R"({"object":1})", R"({"mode":null})", R"({"version":["1.0"]})",
        R"({"object":"camera",)", R"({"object":"c"} trailing)",
    };
    for (const auto& text : badModes) {
        ModeData m;
        m.object = "unchanged";
        EXPECT_EQ(ConfigFileHelper::LoadFromJson(text, m), -22) << text;
        EXPECT_EQ(m.object, "unchanged") << text;
    }
    const std::vector<std::string> entityKeys = {"name", "type", "subtype", "owner", "level", "sensitivity",
                                                 "description", "description_zh_CN", "version"};
    for (const auto& key : entityKeys) {
        EntityInfoData e;
        EXPECT_EQ(ConfigFileHelper::LoadFromJson("{\"" + key + "\":42}", e), -22) << key;
    }
    const std::vector<std::string> listKeys = {"tags", "available_operations"};
    for (const auto& key : listKeys) {
        EntityInfoData e;
        EXPECT_EQ(ConfigFileHelper::LoadFromJson("{\"" + key + "\":\"x\"}", e), -22) << key;
        EXPECT_EQ(ConfigFileHelper::LoadFromJson("{\"" + key + "\":[\"x\",1]}", e), -22) << key;
    }
    nlohmann::json attrs = EntityAttrs();
    for (auto& [key, value] : attrs.items()) {
        EntityInfoData e;
        nlohmann::json doc = {{"attrs", {{key, value.is_array() ? nlohmann::json(7) : nlohmann::json::array()}}}};
        EXPECT_EQ(ConfigFileHelper::LoadFromJson(doc.dump(), e), -22) << key;
    }
    const std::vector<std::string> badPolicies = {
        R"({"policies":{}})",
        R"({"policies":[1]})",
        R"({"policies":[{"subject":"dpkg","objects":[]}]})",
        R"({"policies":[{"subject":{"name":3},"objects":[]}]})",
        R"({"policies":[{"subject":{"name":"s"},"objects":{}}]})",
        R"({"policies":[{"subject":{"name":"s"},"objects":[{"object":"o","timestamp":-1}]}]})",
        R"({"policies":[{"subject":{"name":"s"},"objects":[{"object":"o","valid_period":1.5}]}]})",
        R"({"policies":[{"subject":{"name":"s"},"objects":[{"object":"o","timestamp":"1"}]}]})",
        R"({"policies":[{"subject":{"name":"s"},"objects":[{"object":"o","operations":"allow"}]}]})",
        R"({"policies":[{"subject":{"name":"s"},"objects":[{"object":"o","timestamp":18446744073709551616}]}]})",
        R"({"version":1})",
    };
    for (const auto& text : badPolicies) {
        PolicyData p;
        EXPECT_EQ(ConfigFileHelper::LoadFromJson(text, p), -22) << text;
    }
}

TEST(Decode, DeepNestingAndTruncationNeverCrash) {
    std::string deep(200000, '[');
    ModeData m;
    EXPECT_EQ(ConfigFileHelper::LoadFromJson(deep, m), -22);
    std::string closed = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(ConfigFileHelper::LoadFromJson("{\"object\":" + closed + "}", m), -22);
    const std::string full = ToJsonText(FullPolicy());
    for (size_t n = 0; n < full.size(); ++n) {
        PolicyData p;
        EXPECT_EQ(ConfigFileHelper::LoadFromJson(full.substr(0, n), p), -22) << n;
    }
    EntityInfoData e;
    EXPECT_EQ(ConfigFileHelper::LoadFromJson(std::string("{\"name\":\"a\xff\"}"), e), -22);
}

TEST(FileNames, PlainNamesStayReadable) {
    ModeData m;
    m.object = "camera";
    EXPECT_EQ(GetConfigFileName(m), "mode.d/camera.mode");
    EntityInfoData s;
    s.name = "org.example.App";
    s.type = "subject";
    EXPECT_EQ(GetConfigFileName(s), "entity.d/org.example.App.subject");
    s.type = "object";
    EXPECT_EQ(GetConfigFileName(s), "entity.d/org.example.App.object");
    PolicyData p;
    p.policies.push_back({"dpkg", {}});
    EXPECT_EQ(GetConfigFileName(p), "policy.d/dpkg.policy");
    EXPECT_EQ(GetConfigFolder(p), "policy.d");
    EXPECT_EQ(GetConfigFileName(PolicyData()), "policy.d/%.policy");
    EXPECT_EQ(EncodeConfigName(".."), "%2E.");
    EXPECT_EQ(EncodeConfigName("a/b"), "a%2Fb");
    EXPECT_EQ(EncodeConfigName("50%"), "50%25");
}

TEST(FileNames, EncodingIsInjectiveAndConfined) {
    std::mt19937 rng(20261206);
    std::set<std::string> names;
    std::map<std::string, std::string> seen;
    const std::string alphabet = std::string("ab./%~\x01\n\xff\xc3\xa9 ", 13);
    for (int i = 0; i < 20000; ++i) {
        size_t len = i < 5000 ? rng() % 8 : rng() % 400;
        std::string name;
        for (size_t k = 0; k < len; ++k)
            name.push_back(i % 2 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()]);
        if (!names.insert(name).second) continue;
        ModeData m;
        m.object = name;
        const std::string rel = GetConfigFileName(m);
        const std::string file = rel.substr(std::string("mode.d/").size());
        ASSERT_EQ(rel.compare(0, 7, "mode.d/"), 0);
        EXPECT_LE(file.size(), 255u);
        EXPECT_EQ(file.find('/'), std::string::npos);
        EXPECT_NE(file[0], '.');
        EXPECT_EQ(file.find('\0'), std::string::npos);
        for (unsigned char c : file) EXPECT_TRUE(c > 0x20 && c < 0x7f) << "byte " << int(c);
        auto [it, fresh] = seen.emplace(file, name);
        EXPECT_TRUE(fresh) << "two names share " << file;
        EXPECT_EQ(ParseConfigType(kVarLibFolder + rel), ModeType);
    }
    // Names that differ only past the hashed cut still differ.
    std::string longName(1000, 'x');
    std::string other = longName;
    other.back() = 'y';
    EXPECT_NE(EncodeConfigName(longName), EncodeConfigName(other));
    EXPECT_LE(EncodeConfigName(std::string(1000, '\n')).size(), 215u);
}

TEST(FileNames, ConfigTypes) {
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/mode.d/camera.mode"), ModeType);
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/entity.d/x.subject"), EntityType);
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/entity.d/x.object"), EntityType);
    EXPECT_EQ(ParseConfigType("/usr/share/olm/sarv/policy.d/p.policy"), PolicyType);
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/mode.d/camera.policy"), UnknownType);
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/mode.d/.camera.mode"), UnknownType);
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/mode.d/camera.mode.dpkg-new"), UnknownType);
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/mode.d/camera.json"), UnknownType);
    EXPECT_EQ(ParseConfigType("/etc/olm/sarv/mode.d"), UnknownType);
    EXPECT_EQ(ParseConfigType(""), UnknownType);
}

TEST(UpdateFile, ReplacesAtomicallyAndCreatesFolders) {
    ModeData m;
    m.object = "camera";
    const std::string path = kVarLibFolder + GetConfigFileName(m);
    ASSERT_EQ(ConfigFileHelper::UpdateFile(path, m), 0);
    struct stat st {};
    ASSERT_EQ(stat(kVarLibModeFolder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    m.mode = "whitelist";
    ASSERT_EQ(ConfigFileHelper::UpdateFile(path, m), 0);
    ModeData back;
    ASSERT_EQ(ConfigFileHelper::LoadFromFile(path, back), 0);
    EXPECT_EQ(back.mode, "whitelist");
    EXPECT_EQ(ListFolder(kVarLibModeFolder), std::vector<std::string>{"camera.mode"});

    EXPECT_EQ(ConfigFileHelper::DeleteFile(path), 0);
    EXPECT_EQ(ConfigFileHelper::DeleteFile(path), -2);
    EXPECT_EQ(ConfigFileHelper::UpdateFile("/proc/version/x/y.mode", m), -20);
}

TEST(UpdateFile, FullDiskKeepsOldFileAndLeavesNoTemporary) {
    const std::string dir = "/tmp/small";
    mkdir(dir.c_str(), 0755);
    ASSERT_EQ(mount("small", dir.c_str(), "tmpfs", 0, "size=64k"), 0) << "needs the sandbox (root)";
    PolicyData p = FullPolicy();
    const std::string path = dir + "/policy.d/dpkg.policy";
    ASSERT_EQ(ConfigFileHelper::UpdateFile(path, p), 0);
    const std::string before = ReadFile(path);

    WriteFile(dir + "/filler", std::string(60 * 1024, 'x'));
    for (int i = 0; i < 200; ++i)
        p.policies[0].objects.push_back({"object-" + std::to_string(i), {"allow"}, 0, 0});
    int r = ConfigFileHelper::UpdateFile(path, p);
    EXPECT_EQ(r, -28);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(ListFolder(dir + "/policy.d"), std::vector<std::string>{"dpkg.policy"});
    umount(dir.c_str());
}

TEST(LoadFromFolder, TakesRecordFilesAndSkipsTheRest) {
    const std::string folder = kEtcModeFolder;
    ModeData cam;
    cam.object = "camera";
    ASSERT_EQ(ConfigFileHelper::UpdateFile(kEtcFolder + GetConfigFileName(cam), cam), 0);
    WriteFile(folder + "/broken.mode", "{not json");
    WriteFile(folder + "/.hidden.mode", ToJsonText(cam));
    WriteFile(folder + "/notes.txt", ToJsonText(cam));
    WriteFile(folder + "/other-name.mode", R"({"object":"camera","mode":"whitelist"})");
    mkdir((folder + "/sub.mode").c_str(), 0755);

    ConfigCacheMap<ModeData> cache;
    EXPECT_EQ(ConfigFileHelper::LoadFromFolder(folder + "/", true, cache), 2);
    ASSERT_EQ(cache.size(), 1u);
    const auto& files = cache["camera"];
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files.begin()->first, "/etc/olm/sarv/mode.d/camera.mode");
    EXPECT_EQ(files.rbegin()->second.mode, "whitelist");

    ModeData out;
    EXPECT_EQ(ConfigFileHelper::InsertFromFile(folder + "/broken.mode", cache, out), -22);
    EXPECT_EQ(ConfigFileHelper::InsertFromFile(folder + "/missing.mode", cache, out), -2);
    EXPECT_LT(ConfigFileHelper::LoadFromFolder("/nonexistent", true, cache), 0);
}

TEST(Patterns, SyntaxOfDbusFields) {
    EXPECT_FALSE(is_sarvregex("org.example.Net"));
    EXPECT_FALSE(is_sarvregex("/org/example/Net"));
    EXPECT_TRUE(is_sarvregex("org.example.*"));
    EXPECT_TRUE(is_sarvregex_invalid("org\\.example\\..*"));
    EXPECT_TRUE(is_sarvregex_invalid("/org/(a|b)/x"));
    EXPECT_FALSE(is_sarvregex_invalid("org.(example"));
    EXPECT_FALSE(is_sarvregex_invalid("[z-a]"));
    EXPECT_FALSE(is_sarvregex_invalid(std::string(2000, 'a') + "*"));
    // What regcomp would make of these grows with the product of the counts.
    for (const std::string costly : {"((a{1,100}){1,100}){1,100}", "(a{1,100}){1,100}", "a{5000}", "(ab+){3000}",
                                     "((x|y){50,}){100}", "[a-z]{4097}"})
        EXPECT_FALSE(is_sarvregex_invalid(costly)) << costly;
    for (const std::string bounded : {"[0-9]{1,3}", "(a{1,10}){1,10}", "/org/[A-Za-z_]{1,255}/x", "a{4000}",
                                      "x{1,2}{3}", "(a|b){2000}"})
        EXPECT_TRUE(is_sarvregex_invalid(bounded)) << bounded;
}

TEST(VeltrinApplicationId, ReadFromScopeName) {
    EXPECT_EQ(VeltrinApplicationIdFromCgroup(
                  "0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-veltrin-org.example.Cam-4711.scope\n"),
              "org.example.Cam");
    EXPECT_EQ(VeltrinApplicationIdFromCgroup("0::/app.slice/app-veltrin-my-app-x1.scope"), "my-app");
    EXPECT_EQ(VeltrinApplicationIdFromCgroup("0::/app.slice/app-gnome-org.example-1.scope"), "");
    EXPECT_EQ(VeltrinApplicationIdFromCgroup("0::/app.slice/app-veltrin-nodash.scope"), "");
    EXPECT_EQ(VeltrinApplicationIdFromCgroup("0::/app.slice/app-veltrin-x-1.service"), "");
    EXPECT_EQ(VeltrinApplicationIdFromCgroup(""), "");
    EXPECT_EQ(GetVeltrinApplicationId(getpid()), "");
    EXPECT_EQ(GetVeltrinApplicationId(-1), "");
}

#include "syslog-capture.h"

TEST(LoadFromFolder, LogsTheFileItSkips) {
    SyslogCapture log;
    ASSERT_TRUE(log.ok());
    mkdir(kUsrShareFolder.c_str(), 0755);
    mkdir(kUsrSharePolicyFolder.c_str(), 0755);
    WriteFile(kUsrSharePolicyFolder + "/bad.policy", "[1,2");
    ConfigCacheMap<PolicyData> cache;
    EXPECT_EQ(ConfigFileHelper::LoadFromFolder(kUsrSharePolicyFolder, true, cache), 0);
    EXPECT_TRUE(log.Contains("warning: skipped configuration file /usr/share/olm/sarv/policy.d/bad.policy"));
}
