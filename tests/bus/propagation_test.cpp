// Which objects an entity or policy change pushes, and labelling a
// subject's executables. Labels are real extended attributes on the
// sandbox's tmpfs.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "ac-globals.h"
#include "adapter-manager.h"
#include "bus-test-support.h"
#include "config-manager.h"
#include "policy-propagation.h"
#include "syslog-capture.h"

namespace {

const char kLog[] = "/tmp/propagation.log";

class Recorder : public ::testing::Environment {
public:
    void SetUp() override {
        killall_ = std::make_unique<FakeCommands>(std::vector<std::string>{"killall"});
        CopyAdapter(SARV_RECORDING_ADAPTER, "/tmp/propagation-adapters", "recorder.so");
        setenv("REC_ADAPTER_OBJECTS", "camera,mic,speaker,broken,screen", 1);
        setenv("REC_ADAPTER_LOG", kLog, 1);
        setenv("REC_ADAPTER_FAIL", "broken=-3", 1);
        ASSERT_EQ(0, AdapterManager::Instance()->LoadAdapters("/tmp/propagation-adapters/"));
    }

private:
    std::unique_ptr<FakeCommands> killall_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Recorder);

ConfigManager* Cache() { return ConfigManager::Instance(); }

// The pushes recorded since the last call.
std::vector<std::string> Pushes() {
    std::vector<std::string> pushes;
    std::string text = ReadTextFile(kLog);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (line.rfind("push ", 0) == 0) pushes.push_back(line.substr(5));
    }
    unlink(kLog);
    return pushes;
}

TEST(SetAllPolicy, PushesEachNamedObjectOnceInOrderOfMention) {
    Pushes();
    PolicyData policy = MakePolicy("/usr/bin/a", {{"camera", {"read"}}, {"mic", {"read"}}});
    policy.policies.push_back(MakePolicy("/usr/bin/b", {{"camera", {"write"}}, {"speaker", {}}}).policies[0]);
    EXPECT_EQ(0, SetAllPolicy(policy));
    EXPECT_EQ((std::vector<std::string>{"camera blacklist 0", "mic blacklist 0", "speaker blacklist 0"}), Pushes());
    EXPECT_EQ(0, SetAllPolicy(PolicyData()));
    EXPECT_TRUE(Pushes().empty());
}

TEST(SetAllPolicy, StopsAtTheFirstFailingObject) {
    Pushes();
    EXPECT_EQ(-1, SetAllPolicy(MakePolicy("/usr/bin/a", {{"mic", {"read"}}, {"broken", {"read"}}, {"camera", {}}})));
    EXPECT_EQ("AcAdapterManager->SetPolicy failed: -3", ac_error_msg);
    EXPECT_EQ((std::vector<std::string>{"mic blacklist 0", "broken blacklist 0"}), Pushes());
}

TEST(SetAllPolicy, ObjectsWithoutAdapterCountAsPushed) {
    Pushes();
    EXPECT_EQ(0, SetAllPolicy(MakePolicy("/usr/bin/a", {{"nobody-serves-this", {"read"}}, {"mic", {"read"}}})));
    EXPECT_EQ(std::vector<std::string>{"mic blacklist 0"}, Pushes());
}

TEST(UpdateEntityPolicy, ObjectsArePushedOnlyWithAModeOfTheirOwn) {
    EntityInfoData screen = MakeEntity("screen", "object", "exe", {"read"});
    PutInCache(Cache()->entityMap, screen);
    Pushes();
    EXPECT_EQ(0, UpdateEntityPolicy(screen));
    EXPECT_TRUE(Pushes().empty());

    PutInCache(Cache()->modeMap, MakeMode("screen", "read"), kEtcFolder);
    EXPECT_EQ(0, UpdateEntityPolicy(screen));
    EXPECT_EQ(std::vector<std::string>{"screen read 0"}, Pushes());

    SyslogCapture log;
    EntityInfoData broken = MakeEntity("broken", "object", "exe", {"read"});
    PutInCache(Cache()->modeMap, MakeMode("broken", "whitelist"));
    EXPECT_EQ(-1, UpdateEntityPolicy(broken));
    EXPECT_TRUE(log.Contains("warning: UpdateEntityPolicy SetMode failed"));
}

TEST(UpdateEntityPolicy, SubjectsPushTheObjectsOfTheirValidPolicy) {
    EntityInfoData lonely = MakeEntity("/usr/bin/lonely", "subject", "exe");
    Pushes();
    EXPECT_EQ(0, UpdateEntityPolicy(lonely));
    EXPECT_TRUE(Pushes().empty());

    // A policy without objects is not valid: nothing to push.
    EntityInfoData empty = MakeEntity("/usr/bin/empty", "subject", "exe");
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/empty", {}));
    EXPECT_EQ(0, UpdateEntityPolicy(empty));
    EXPECT_TRUE(Pushes().empty());

    EntityInfoData player = MakeEntity("/usr/bin/player", "subject", "exe");
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/player", {{"speaker", {"write"}}}));
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/player", {{"mic", {"read"}}}), kVarLibFolder);
    EXPECT_EQ(0, UpdateEntityPolicy(player));
    EXPECT_EQ((std::vector<std::string>{"speaker blacklist 1", "mic blacklist 1"}), Pushes());

    EntityInfoData failing = MakeEntity("/usr/bin/failing", "subject", "exe");
    PutInCache(Cache()->policyMap, MakePolicy("/usr/bin/failing", {{"broken", {"read"}}}));
    EXPECT_EQ(-1, UpdateEntityPolicy(failing));
}

std::string Label(const std::string& path) {
    char value[512];
    ssize_t n = lgetxattr(path.c_str(), "security.appid", value, sizeof value);
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<size_t>(n));
}

class Labelling : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a", "b", "c", "d"}) WriteTextFile(std::string(kDir) + "/" + name, "#!/bin/sh\n");
    }
    void TearDown() override { system("rm -rf /tmp/exes"); }
    static std::string P(const char* name) { return std::string(kDir) + "/" + name; }
    static constexpr const char* kDir = "/tmp/exes";
};

TEST_F(Labelling, ExecutablesMinusExclusionsCarryTheSubjectName) {
    EntityInfoData e = MakeEntity("org.example.editor", "subject", "package");
    e.attrs.exes = {P("a"), P("b")};
    e.attrs.additional_exes = {P("b"), P("c")};
    e.attrs.exclude_exes = {P("b")};
    EXPECT_EQ(0, SetAppElfOlmsecAttr(e));
    EXPECT_EQ("org.example.editor", Label(P("a")));
    EXPECT_EQ("<none>", Label(P("b")));
    EXPECT_EQ("org.example.editor", Label(P("c")));
    EXPECT_EQ("<none>", Label(P("d")));

    // A new label replaces the old one.
    e.name = "org.example.other";
    EXPECT_EQ(0, SetAppElfOlmsecAttr(e));
    EXPECT_EQ("org.example.other", Label(P("a")));
}

TEST_F(Labelling, ObjectsAreNotLabelled) {
    EntityInfoData e = MakeEntity(P("a"), "object", "file");
    e.attrs.exes = {P("b")};
    EXPECT_EQ(0, SetAppElfOlmsecAttr(e));
    EXPECT_EQ("<none>", Label(P("a")));
    EXPECT_EQ("<none>", Label(P("b")));
}

TEST_F(Labelling, FileSubjectsLabelThemselves) {
    EntityInfoData e = MakeEntity(P("d"), "subject", "file");
    EXPECT_EQ(0, SetAppElfOlmsecAttr(e));
    EXPECT_EQ(P("d"), Label(P("d")));
}

TEST_F(Labelling, FailuresDoNotStopTheRestAndTheLastOneIsReturned) {
    SyslogCapture log;
    EntityInfoData e = MakeEntity("tool", "subject", "exe");
    e.attrs.exes = {P("missing"), P("a"), "relative/path", P("c")};
    EXPECT_EQ(-EINVAL, SetAppElfOlmsecAttr(e));
    EXPECT_EQ("tool", Label(P("a")));
    EXPECT_EQ("tool", Label(P("c")));
    EXPECT_TRUE(log.Contains("err: SetAppElfOlmsecAttr lsetxattr /tmp/exes/missing failed!"));
    EXPECT_TRUE(log.Contains("err: SetAppElfOlmsecAttr lsetxattr relative/path failed!"));

    e.attrs.exes = {P("a"), P("missing")};
    EXPECT_EQ(-ENOENT, SetAppElfOlmsecAttr(e));
}

TEST_F(Labelling, PathsWithNulBytesAreRefusedNotShortened) {
    EntityInfoData e = MakeEntity("tool", "subject", "exe");
    e.attrs.exes = {P("a") + std::string("\0/evil", 6)};
    EXPECT_EQ(-EINVAL, SetAppElfOlmsecAttr(e));
    EXPECT_EQ("<none>", Label(P("a")));
}

TEST_F(Labelling, ALinkIsLabelledItselfNotItsTarget) {
    ASSERT_EQ(0, symlink(P("a").c_str(), P("link").c_str()));
    EntityInfoData e = MakeEntity("tool", "subject", "exe");
    e.attrs.exes = {P("link")};
    int r = SetAppElfOlmsecAttr(e);
    EXPECT_EQ("<none>", Label(P("a")));
    // tmpfs may refuse attributes on links; a refusal is reported.
    if (r == 0)
        EXPECT_EQ("tool", Label(P("link")));
    else
        EXPECT_LT(r, 0);
}

}  // namespace
