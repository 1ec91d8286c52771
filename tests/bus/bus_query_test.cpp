// The four queries over a private bus, answered from configuration files in
// the three sandboxed trees, and what bad input does to the service.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "acjson.h"
#include "bus-test-support.h"
#include "config-manager.h"
#include "syslog-capture.h"

namespace {

const char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

// ---- the configuration: one file per record, layered over the trees -----------------

const char* const kFiles[][2] = {
    {"/usr/share/olm/sarv/entity.d/camera.object",
     R"({"name":"camera","type":"object","subtype":"exe","available_operations":["read","write"],)"
     R"("description":"Camera","description_zh_CN":"摄像头","level":"1"})"},
    {"/etc/olm/sarv/entity.d/camera.object",
     R"({"name":"camera","type":"object","description":"Kamera","owner":"admin"})"},
    {"/var/lib/olm/sarv/entity.d/camera.object", R"({"name":"camera","level":"3"})"},
    {"/usr/share/olm/sarv/entity.d/mic.object",
     R"({"name":"mic","type":"object","subtype":"exe","available_operations":["read"]})"},
    {"/usr/share/olm/sarv/entity.d/%2Fusr%2Fbin%2Fcheese.subject",
     R"({"name":"/usr/bin/cheese","type":"subject","subtype":"exe"})"},
    {"/etc/olm/sarv/entity.d/%2Fusr%2Fbin%2Fzoom.subject",
     R"({"name":"/usr/bin/zoom","type":"subject","subtype":"exe"})"},
    {"/var/lib/olm/sarv/entity.d/%2Fusr%2Fbin%2Fidle.subject",
     R"({"name":"/usr/bin/idle","type":"subject","subtype":"exe"})"},
    {"/usr/share/olm/sarv/entity.d/pkg-tool.subject", R"({"name":"pkg-tool","type":"subject","subtype":"package"})"},
    {"/var/lib/olm/sarv/entity.d/gone.object", R"({"name":"gone","type":"object","subtype":"exe"})"},

    {"/usr/share/olm/sarv/mode.d/camera.mode", R"({"object":"camera","mode":"whitelist","version":"1.0"})"},
    {"/etc/olm/sarv/mode.d/camera.mode", R"({"object":"camera","mode":"read"})"},
    // An empty mode never hides the one below it.
    {"/var/lib/olm/sarv/mode.d/camera.mode", R"({"object":"camera","mode":"","version":"2.0"})"},

    {"/usr/share/olm/sarv/policy.d/%2Fusr%2Fbin%2Fcheese.policy",
     R"({"version":"1.0","policies":[{"subject":{"name":"/usr/bin/cheese"},)"
     R"("objects":[{"object":"camera","operations":["read"],"valid_period":0,"timestamp":1}]}]})"},
    {"/etc/olm/sarv/policy.d/%2Fusr%2Fbin%2Fcheese.policy",
     R"({"policies":[{"subject":{"name":"/usr/bin/cheese"},"objects":[)"
     R"({"object":"camera","operations":["write","read"],"timestamp":5},{"object":"mic","operations":["read"]}]}]})"},
    {"/etc/olm/sarv/policy.d/%2Fusr%2Fbin%2Fzoom.policy",
     R"({"policies":[{"subject":{"name":"/usr/bin/zoom"},"objects":[{"object":"camera","operations":["write"]}]}]})"},
};

// A package database with one package: a program, a library and a text file.
void WritePackageDatabase() {
    WriteTextFile("/tmp/pkgroot/usr/bin/tool", ReadTextFile("/bin/true"));
    WriteTextFile("/tmp/pkgroot/usr/lib/libtool.so.1", ReadTextFile("/bin/true"));
    WriteTextFile("/tmp/pkgroot/usr/share/doc/tool/README", "text\n");
    WriteTextFile("/tmp/dpkg/status",
                  "Package: pkg-tool\nStatus: install ok installed\nVersion: 1\nArchitecture: amd64\n"
                  "Maintainer: m\nDescription: d\n\n");
    WriteTextFile("/tmp/dpkg/info/pkg-tool.list",
                  "/.\n/tmp/pkgroot\n/tmp/pkgroot/usr/bin/tool\n/tmp/pkgroot/usr/lib/libtool.so.1\n"
                  "/tmp/pkgroot/usr/share/doc/tool/README\n");
    setenv("DPKG_ADMINDIR", "/tmp/dpkg", 1);
}

class QueryEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        killall_ = std::make_unique<FakeCommands>(std::vector<std::string>{"killall"});
        bus_ = std::make_unique<PrivateBus>();
        ASSERT_TRUE(bus_->ok());
        for (const auto& file : kFiles) WriteTextFile(file[0], file[1]);
        WritePackageDatabase();
        ConfigManager* cache = ConfigManager::Instance();
        ASSERT_EQ(0, cache->InitCache());
        // "gone" had its last file deleted: the name stays with no files.
        {
            std::unique_lock<std::shared_mutex> lock(cache->maps_lock);
            ASSERT_EQ(1u, cache->entityMap["gone"].size());
            cache->entityMap["gone"].clear();
        }
        service_ = std::make_unique<ServiceRunner>();
        ASSERT_TRUE(service_->Start());
    }
    void TearDown() override {
        if (service_) {
            EXPECT_EQ(0, service_->Stop());
        }
        service_.reset();
        bus_.reset();
    }

private:
    std::unique_ptr<FakeCommands> killall_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceRunner> service_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QueryEnvironment);

const char kDefaultAttrs[] =
    R"("attrs":{"additional_exes":[],"dbus_args":[],"dbus_destination":"","dbus_eavesdrop":"true",)"
    R"("dbus_interface":"","dbus_members":[],"dbus_msg_type":"method_call","dbus_path":"",)"
    R"("dbus_path_namespace":"","dbus_sender":"","dbus_type":"","exclude_exes":[],"exes":[],)"
    R"("veltrin_applicationid":""})";

std::string Camera(const std::string& description) {
    return std::string("{") + kDefaultAttrs + R"(,"available_operations":["read","write"],"description":")" +
           description + R"(","description_zh_CN":"摄像头","level":"3","name":"camera","owner":"admin",)" +
           R"("sensitivity":"","subtype":"exe","tags":[],"type":"object","version":"1.0"})";
}

EntityInfoData Subject(const std::string& name, const std::string& subtype) {
    EntityInfoData e;
    e.name = name;
    e.type = "subject";
    e.subtype = subtype;
    return e;
}

class Queries : public ::testing::Test {
protected:
    BusClient client_;
    SyslogCapture log_;

    void ExpectText(const std::string& method, const std::string& arg, const std::string& expected) {
        BusClient::Reply reply = client_.CallString(method, arg);
        EXPECT_TRUE(reply.ok) << method << "(" << arg << "): " << reply.error_message;
        EXPECT_EQ(expected, reply.text) << method << "(" << arg << ")";
    }
    void ExpectError(const std::string& method, const std::string& arg, const std::string& text) {
        BusClient::Reply reply = client_.CallString(method, arg);
        EXPECT_FALSE(reply.ok) << method << "(" << arg.substr(0, 40) << ")";
        EXPECT_EQ(kInvalidArgs, reply.error_name) << method;
        EXPECT_EQ(text, reply.error_message) << method;
    }
};

TEST_F(Queries, GetModeLayersTheTreesAndFallsBackForKnownObjects) {
    ExpectText("GetMode", "camera", R"({"mode":"read","object":"camera","version":"2.0"})");
    ExpectText("GetMode", "mic", R"({"mode":"blacklist","object":"mic","version":"1.0"})");
    ExpectError("GetMode", "ghost", "Invalid arguments");
    EXPECT_TRUE(log_.Contains("warning: GetMode data IsValid failed!"));
    ExpectError("GetMode", "Camera", "Invalid arguments");
}

TEST_F(Queries, GetEntityMergesOverTheShippedRecord) {
    ExpectText("GetEntity", "camera", Camera("Kamera"));
    ExpectText("GetEntity", "/usr/bin/zoom", ToJsonText(Subject("/usr/bin/zoom", "exe")));
    ExpectError("GetEntity", "ghost", "GetEntity data not valid.");
    EXPECT_TRUE(log_.Contains("warning: GetEntity data IsValid failed!"));
    ExpectError("GetEntity", "CAMERA", "GetEntity data not valid.");
    ExpectError("GetEntity", "gone", "GetEntity data not valid.");
}

TEST_F(Queries, GetEntityOfAPackageListsItsPrograms) {
    EntityInfoData tool = Subject("pkg-tool", "package");
    tool.attrs.exes = {"/tmp/pkgroot/usr/bin/tool"};
    ExpectText("GetEntity", "pkg-tool", ToJsonText(tool));
}

TEST_F(Queries, GetPolicyGathersObjectsAndFillsEmptySubjects) {
    ExpectText("GetPolicy", "camera",
               R"({"policies":[{"objects":[{"object":"camera","operations":["write","read"],"timestamp":5,)"
               R"("valid_period":0}],"subject":{"name":"/usr/bin/cheese"}},{"objects":[{"object":"camera",)"
               R"("operations":["write"],"timestamp":0,"valid_period":0}],"subject":{"name":"/usr/bin/zoom"}}],)"
               R"("version":"1.0"})");
    ExpectText("GetPolicy", "mic",
               R"({"policies":[{"objects":[{"object":"mic","operations":["read"],"timestamp":0,"valid_period":0}],)"
               R"("subject":{"name":"/usr/bin/cheese"}}],"version":"1.0"})");
    ExpectText("GetPolicy", "/usr/bin/cheese",
               R"({"policies":[{"objects":[{"object":"camera","operations":["write","read"],"timestamp":5,)"
               R"("valid_period":0},{"object":"mic","operations":["read"],"timestamp":0,"valid_period":0}],)"
               R"("subject":{"name":"/usr/bin/cheese"}}],"version":"1.0"})");
    ExpectText("GetPolicy", "/usr/bin/idle",
               R"({"policies":[{"objects":[],"subject":{"name":"/usr/bin/idle"}}],"version":"1.0"})");
    ExpectError("GetPolicy", "ghost", "GetCache failed");
    EXPECT_TRUE(log_.Contains("warning: GetPolicy data IsValid failed!"));
}

TEST_F(Queries, ListEntityLayersEachNameAsGetEntityDoes) {
    BusClient::Reply reply = client_.CallList("ListEntity");
    ASSERT_TRUE(reply.ok) << reply.error_message;
    EntityInfoData tool = Subject("pkg-tool", "package");
    tool.attrs.exes = {"/tmp/pkgroot/usr/bin/tool"};
    EntityInfoData mic;
    mic.name = "mic";
    mic.type = "object";
    mic.subtype = "exe";
    mic.available_operations = {"read"};
    // The administrator's description over the shipped one, as GetEntity
    // shows it. "gone" has no files.
    const std::vector<std::string> expected = {
        ToJsonText(Subject("/usr/bin/cheese", "exe")), ToJsonText(Subject("/usr/bin/idle", "exe")),
        ToJsonText(Subject("/usr/bin/zoom", "exe")),   Camera("Kamera"),
        ToJsonText(mic),                               ToJsonText(tool),
    };
    EXPECT_EQ(expected, reply.list);
}

TEST_F(Queries, ListEntityRunsWhileTheCacheChanges) {
    ConfigManager* cache = ConfigManager::Instance();
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        for (int i = 0; !done; ++i) {
            EntityInfoData e = Subject("/usr/bin/churn" + std::to_string(i % 50), "exe");
            std::unique_lock<std::shared_mutex> lock(cache->maps_lock);
            if (i % 2) cache->entityMap.erase(e.name);
            else cache->entityMap[e.name][kVarLibFolder + GetConfigFileName(e)] = e;
        }
    });
    for (int i = 0; i < 30; ++i) {
        BusClient::Reply reply = client_.CallList("ListEntity");
        ASSERT_TRUE(reply.ok);
        EXPECT_GE(reply.list.size(), 6u);
    }
    done = true;
    watcher.join();
    std::unique_lock<std::shared_mutex> lock(cache->maps_lock);
    for (int i = 0; i < 50; ++i) cache->entityMap.erase("/usr/bin/churn" + std::to_string(i));
}

// Nothing a caller sends may crash the service or change the trees.
TEST_F(Queries, BadInputIsAnsweredOnceAndWritesNothing) {
    std::vector<std::string> before;
    for (const char* root : {"/usr/share/olm", "/etc/olm", "/var/lib/olm"})
        for (const auto& path : ListTree(root)) before.push_back(path + "\n" + ReadTextFile(path));

    const std::vector<std::string> inputs = {
        "",
        "/",
        "..",
        "../../etc/passwd",
        "camera/../mic",
        "entity.d/camera.object",
        std::string("cam\x01" "era\n\t\x7f", 9),
        "{\"object\":\"camera\",\"mode\":",
        "{\"object\":\"../../x\",\"mode\":\"whitelist\"}",
        "{\"name\":\"/\",\"type\":\"subject\",\"subtype\":\"exe\"}",
        "[1,2,3]",
        std::string(1 << 20, 'a'),
        "{\"object\":\"" + std::string(1 << 20, 'b') + "\",\"mode\":\"whitelist\"}",
    };
    for (const char* method : {"GetMode", "GetEntity", "GetPolicy"}) {
        for (const auto& input : inputs) {
            BusClient::Reply first;
            EXPECT_EQ(1, client_.CountReplies(method, [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "s", input.c_str());
            }, &first)) << method;
            EXPECT_FALSE(first.ok) << method << "(" << input.substr(0, 40) << ")";
            EXPECT_EQ(kInvalidArgs, first.error_name) << method;
        }
    }
    for (const char* method : {"SetMode", "DeleteMode", "SetEntity", "DeleteEntity", "SetPolicy", "DeletePolicy"}) {
        for (const auto& input : inputs) {
            BusClient::Reply first;
            EXPECT_EQ(1, client_.CountReplies(method, [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "s", input.c_str());
            }, &first)) << method;
            EXPECT_FALSE(first.ok) << method << "(" << input.substr(0, 40) << ")";
        }
    }
    for (const auto& input : inputs) {
        EXPECT_EQ(1, client_.CountReplies("CheckAuthorization", [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ssas", input.c_str(), input.c_str(), 2, input.c_str(), "read");
        }, nullptr));
        EXPECT_EQ(1, client_.CountReplies("CanAuthorize", [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "is", -1, input.c_str());
        }, nullptr));
    }

    std::vector<std::string> after;
    for (const char* root : {"/usr/share/olm", "/etc/olm", "/var/lib/olm"})
        for (const auto& path : ListTree(root)) after.push_back(path + "\n" + ReadTextFile(path));
    EXPECT_EQ(before, after);
    // And the service still answers.
    ExpectText("GetMode", "mic", R"({"mode":"blacklist","object":"mic","version":"1.0"})");
}

}  // namespace
