// The six configuration changes over the bus: replies, files under
// /var/lib/olm/sarv/, signals, audit records, log lines and what the
// adapters receive. The calls come from this test process, which carries the
// label "nimbra_app".
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "audit-records.h"
#include "service-harness.h"

namespace {

const std::string kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

class MutationsTest : public ServiceTest {
public:
    static std::string Json(const ModeData& m) { return ToJsonText(m); }
    static std::string Json(const EntityInfoData& e) { return ToJsonText(e); }
    static std::string Json(const PolicyData& p) { return ToJsonText(p); }

    template <typename T>
    static T Stored(const std::string& relative) {
        T record;
        EXPECT_EQ(ConfigFileHelper::LoadFromFile(kVarLibFolder + relative, record), 0) << relative;
        return record;
    }

    // The two object entities most tests use.
    static void PutObjects() {
        Put(kUsrShareFolder, Entity("camera", "object", "exe", {"read", "write"}));
        Put(kUsrShareFolder, Entity("mic", "object", "exe", {"read"}));
        Put(kUsrShareFolder, Entity("broken", "object", "exe", {"read", "write"}));
        Put(kUsrShareFolder, Entity("flaky", "object", "exe", {"read", "write"}));
        Load();
    }

    void ExpectInvalid(const BusClient::Reply& reply, const std::string& text) {
        EXPECT_FALSE(reply.ok);
        EXPECT_EQ(reply.error_name, kInvalidArgs);
        EXPECT_EQ(reply.error_message, text);
    }
};

// ---- SetMode ---------------------------------------------------------------------------------

TEST_F(MutationsTest, SetModeAddsThenModifiesAndIgnoresARepeat) {
    const std::string first = Json(Mode("camera", "whitelist"));
    ASSERT_TRUE(Call("SetMode", first).ok);
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"ModeChanged", first, "add"}}));
    EXPECT_EQ(Stored<ModeData>("mode.d/camera.mode").mode, "whitelist");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetMode, config=" + audit_records::Hex(first), 1)});
    EXPECT_NE(ExamplePublished("camera").find(R"("mode":{"mode":"whitelist","object":"camera","version":"1.0"})"),
              std::string::npos)
        << ExamplePublished("camera");

    // The signal carries the text as sent, not a re-encoding.
    const std::string second = R"({ "object": "camera", "mode": "blacklist" })";
    ClearAudit();
    ASSERT_TRUE(Call("SetMode", second).ok);
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"ModeChanged", second, "modify"}}));
    EXPECT_EQ(Stored<ModeData>("mode.d/camera.mode").mode, "blacklist");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetMode, config=" + audit_records::Hex(second), 1)});

    ClearAudit();
    ClearPushes();
    EXPECT_TRUE(Call("SetMode", second).ok);
    EXPECT_TRUE(signals_->Take().empty());
    EXPECT_TRUE(AuditLines().empty());
    EXPECT_EQ(ExamplePublished("camera"), "");
}

TEST_F(MutationsTest, SetModeEqualToTheShippedModeChangesNothing) {
    Put(kUsrShareFolder, Mode("camera", "whitelist"));
    Load();
    EXPECT_TRUE(Call("SetMode", Json(Mode("camera", "whitelist"))).ok);
    EXPECT_FALSE(FileExists(kVarLibFolder + "mode.d/camera.mode"));
    EXPECT_TRUE(signals_->Take().empty());
    EXPECT_TRUE(AuditLines().empty());
}

TEST_F(MutationsTest, SetModeRefusedByTheCacheStoresNothing) {
    Put(kUsrShareFolder, Entity("app", "subject", "exe"));
    Load();
    for (const std::string& bad : {std::string("not json"), Json(Mode("app", "read")), Json(Mode("", "read"))}) {
        ClearAudit();
        syslog_->Clear();
        ExpectInvalid(Call("SetMode", bad), "data invalid.");
        EXPECT_EQ(AuditLines(),
                  std::vector<std::string>{OwnAuditLine("SetMode, config=" + audit_records::Hex(bad) + ": " + audit_records::Hex("data invalid."), 0)});
        EXPECT_TRUE(syslog_->Contains("warning: SetMode data IsValid failed: data invalid.!"));
    }
    EXPECT_EQ(ListTree(kVarLibFolder + "mode.d"), std::vector<std::string>{kVarLibFolder + "mode.d"});
    EXPECT_TRUE(signals_->Take().empty());
}

TEST_F(MutationsTest, SetModeReportsAFailingAdapterButKeepsTheChange) {
    PutObjects();
    SetAdapterFailure("broken", -5);
    const std::string arg = Json(Mode("broken", "whitelist"));
    const std::string reason = "AdapterManager::SetPolicy brokenfailed: -5";
    ExpectInvalid(Call("SetMode", arg), "AcAdapter SetMode failed: " + reason);
    EXPECT_EQ(Stored<ModeData>("mode.d/broken.mode").mode, "whitelist");
    EXPECT_EQ(TestAdapterPushes(), std::vector<std::string>{"broken\twhitelist\t"});
    EXPECT_TRUE(signals_->Take().empty());
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetMode, config=" + audit_records::Hex(arg) + ": " + audit_records::Hex(reason), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: SetMode failed: " + reason + "!"));
}

TEST_F(MutationsTest, SetModeTreatsAnAdapterAnsweringMinus2AsSilentSuccess) {
    PutObjects();
    SetAdapterFailure("flaky", -2);
    EXPECT_TRUE(Call("SetMode", Json(Mode("flaky", "read"))).ok);
    EXPECT_EQ(Stored<ModeData>("mode.d/flaky.mode").mode, "read");
    EXPECT_TRUE(signals_->Take().empty());
    EXPECT_TRUE(AuditLines().empty());
    EXPECT_TRUE(syslog_->Contains("warning: SetMode failed: AdapterManager::SetPolicy flakyfailed: -2!"));
}

TEST_F(MutationsTest, SetModeForAnObjectWithoutAdapterSucceeds) {
    const std::string arg = Json(Mode("door", "whitelist"));
    EXPECT_TRUE(Call("SetMode", arg).ok);
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"ModeChanged", arg, "add"}}));
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetMode, config=" + audit_records::Hex(arg), 1)});
}

TEST_F(MutationsTest, ARejectedChangeIsAnsweredExactlyOnce) {
    BusClient::Reply first;
    int replies = client_->CountReplies(
        "SetMode", [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "{"); }, &first);
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(first.error_name, kInvalidArgs);
    replies = client_->CountReplies(
        "DeletePolicy", [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "nobody"); }, &first);
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(first.error_message, "DeleteCache data not exist!");
}

// ---- DeleteMode ------------------------------------------------------------------------------

TEST_F(MutationsTest, DeleteModeShowsTheRemainingLayersAgain) {
    PutObjects();
    Put(kEtcFolder, Mode("camera", "read"));
    Load();
    ASSERT_TRUE(Call("SetMode", Json(Mode("camera", "whitelist"))).ok);
    signals_->Take();
    ClearAudit();
    ClearPushes();

    ASSERT_TRUE(Call("DeleteMode", "camera").ok);
    EXPECT_FALSE(FileExists(kVarLibFolder + "mode.d/camera.mode"));
    EXPECT_EQ(signals_->Take(),
              (std::vector<Signal>{{"ModeChanged", R"({"mode":"whitelist","object":"camera","version":"1.0"})",
                                    "delete"}}));
    EXPECT_NE(ExamplePublished("camera").find(R"("mode":{"mode":"read","object":"camera","version":"1.0"})"),
              std::string::npos)
        << ExamplePublished("camera");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("DeleteMode, object=camera", 1)});
}

TEST_F(MutationsTest, DeleteModeOfTheLastLayerLeavesTheObjectBlacklisted) {
    PutObjects();
    ASSERT_TRUE(Call("SetMode", Json(Mode("broken", "whitelist"))).ok);
    ClearPushes();
    ASSERT_TRUE(Call("DeleteMode", "broken").ok);
    EXPECT_EQ(TestAdapterPushes(), std::vector<std::string>{"broken\tblacklist\t"});
}

TEST_F(MutationsTest, DeleteModeOfShippedOrUnknownModesFails) {
    Put(kUsrShareFolder, Mode("camera", "whitelist"));
    Load();
    const std::string shipped = "config file" + kVarLibFolder + "mode.d/%.mode not existed";
    ExpectInvalid(Call("DeleteMode", "camera"), "DeleteCache failed: " + shipped);
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("DeleteMode, object=camera: " + audit_records::Hex(shipped), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: DeleteMode data not exist: " + shipped + "!"));
    EXPECT_TRUE(FileExists(kUsrShareFolder + "mode.d/camera.mode"));

    ExpectInvalid(Call("DeleteMode", "ghost"), "DeleteCache failed: ghost not existed");
    EXPECT_TRUE(signals_->Take().empty());
}

TEST_F(MutationsTest, DeleteModeReportsTheAdaptersResult) {
    PutObjects();
    ASSERT_TRUE(Call("SetMode", Json(Mode("broken", "whitelist"))).ok);
    signals_->Take();
    ClearAudit();
    SetAdapterFailure("broken", -3);
    ExpectInvalid(Call("DeleteMode", "broken"), "SetMode failed: res = -3");
    EXPECT_FALSE(FileExists(kVarLibFolder + "mode.d/broken.mode"));
    EXPECT_TRUE(signals_->Take().empty());
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("DeleteMode, object=broken", 0)});
    EXPECT_TRUE(syslog_->Contains("warning: DeleteMode failed"));
}

// ---- SetEntity / DeleteEntity ----------------------------------------------------------------

TEST_F(MutationsTest, SetEntityAddsModifiesAndPushesAnObjectWithAMode) {
    ASSERT_TRUE(Call("SetMode", Json(Mode("camera", "whitelist"))).ok);
    signals_->Take();
    ClearAudit();
    ClearPushes();

    EntityInfoData camera = Entity("camera", "object", "exe", {"read", "write"});
    const std::string first = Json(camera);
    ASSERT_TRUE(Call("SetEntity", first).ok);
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"EntityChanged", first, "add"}}));
    EXPECT_EQ(Stored<EntityInfoData>("entity.d/camera.object").available_operations,
              (std::vector<std::string>{"read", "write"}));
    EXPECT_NE(ExamplePublished("camera"), "");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetEntity, entity=" + audit_records::Hex(first), 1)});

    camera.owner = "security-team";
    const std::string second = Json(camera);
    ASSERT_TRUE(Call("SetEntity", second).ok);
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"EntityChanged", second, "modify"}}));

    ClearAudit();
    ASSERT_TRUE(Call("SetEntity", second).ok);
    EXPECT_TRUE(signals_->Take().empty());
    EXPECT_TRUE(AuditLines().empty());
}

TEST_F(MutationsTest, SetEntityRefusedByTheCache) {
    const std::string arg = R"({"name":"","type":"object"})";
    ExpectInvalid(Call("SetEntity", arg), "SetEntity failed: data invalid.");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetEntity, entity=" + audit_records::Hex(arg) + ": " + audit_records::Hex("data invalid."), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: SetEntity entity IsValid failed!"));
    EXPECT_EQ(ListTree(kVarLibFolder + "entity.d"), std::vector<std::string>{kVarLibFolder + "entity.d"});
}

TEST_F(MutationsTest, SetEntitySucceedsWhenItsPushFails) {
    PutObjects();
    ASSERT_TRUE(Call("SetMode", Json(Mode("broken", "whitelist"))).ok);
    signals_->Take();
    ClearAudit();
    SetAdapterFailure("broken", -4);
    EntityInfoData broken = Entity("broken", "object", "exe", {"read"});
    const std::string arg = Json(broken);
    EXPECT_TRUE(Call("SetEntity", arg).ok);
    // The shipped entity is known already: the runtime copy modifies it.
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"EntityChanged", arg, "modify"}}));
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetEntity, entity=" + audit_records::Hex(arg), 1)});
    EXPECT_TRUE(syslog_->Contains("warning: SetEntity UpdateEntityPolicy failed!"));
}

// This program's first stored entity fixes the kernel support flag: the
// sandbox has no credential file then, so nothing is ever labelled here.
TEST_F(MutationsTest, WithoutKernelSupportExecutablesAreNotLabelled) {
    WriteTextFile("/tmp/bin/app", "#!/bin/sh\n");
    EntityInfoData app = Entity("app", "subject", "exe");
    app.attrs.exes = {"/tmp/bin/app"};
    ASSERT_TRUE(Call("SetEntity", Json(app)).ok);
    char value[64];
    EXPECT_LT(lgetxattr("/tmp/bin/app", "security.appid", value, sizeof value), 0);

    // A credential file that appears later is not looked at again.
    WriteTextFile(kFakeProcRoot + "/1/attr/olmsec/cred", "1\n");
    app.owner = "someone";
    ASSERT_TRUE(Call("SetEntity", Json(app)).ok);
    EXPECT_LT(lgetxattr("/tmp/bin/app", "security.appid", value, sizeof value), 0);
    unlink((kFakeProcRoot + "/1/attr/olmsec/cred").c_str());
}

TEST_F(MutationsTest, DeleteEntity) {
    PutObjects();
    const std::string missing = "ghost not existed";
    ExpectInvalid(Call("DeleteEntity", "ghost"), missing);
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("DeleteEntity, entity=ghost: " + audit_records::Hex(missing), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: DeleteEntity data not exist: " + missing + "!"));

    // Only the service's own copy can go.
    ExpectInvalid(Call("DeleteEntity", "camera"), "config file" + kVarLibFolder + "entity.d/%.object not existed");

    ASSERT_TRUE(Call("SetEntity", Json(Entity("camera", "object", "exe", {"read"}))).ok);
    signals_->Take();
    ClearAudit();
    ASSERT_TRUE(Call("DeleteEntity", "camera").ok);
    EXPECT_FALSE(FileExists(kVarLibFolder + "entity.d/camera.object"));
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"EntityChanged", "camera", "delete"}}));
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("DeleteEntity, entity=camera", 1)});
    // The shipped layer shows again.
    EXPECT_EQ(ConfigManager::GetEntityInfo("camera").available_operations,
              (std::vector<std::string>{"read", "write"}));
}

// ---- SetPolicy / DeletePolicy ----------------------------------------------------------------

TEST_F(MutationsTest, SetPolicyStoresSignalsAndPushesEveryNamedObject) {
    PutObjects();
    const std::string arg = Json(Policy("app", {{"camera", {"read"}}, {"mic", {"read"}}}));
    ASSERT_TRUE(Call("SetPolicy", arg).ok);
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"PolicyChanged", arg, "add"}}));
    EXPECT_EQ(Stored<PolicyData>("policy.d/app.policy").policies.at(0).objects.size(), 2u);
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetPolicy, policy=" + audit_records::Hex(arg), 1)});
    for (const char* object : {"camera", "mic"})
        EXPECT_NE(ExamplePublished(object).find(R"("subject":{"name":"app"})"), std::string::npos) << object;

    const std::string more = Json(Policy("app", {{"camera", {"read", "write"}}}));
    ASSERT_TRUE(Call("SetPolicy", more).ok);
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"PolicyChanged", more, "modify"}}));
}

TEST_F(MutationsTest, SetPolicyPushesEachObjectOnceInOrder) {
    PutObjects();
    PolicyData policy = Policy("app", {{"broken", {"read"}}, {"flaky", {"write"}}});
    policy.policies.push_back({"app", {{"broken", {"write"}, 0, 0}}});
    ASSERT_TRUE(Call("SetPolicy", Json(policy)).ok);
    const std::vector<std::string> pushes = TestAdapterPushes();
    ASSERT_EQ(pushes.size(), 2u);
    EXPECT_EQ(pushes[0].substr(0, 7), "broken\t");
    EXPECT_EQ(pushes[1], "flaky\tblacklist\tapp=write");
}

TEST_F(MutationsTest, SetPolicyRefusedByTheCache) {
    PutObjects();
    const std::string arg = Json(Policy("app", {{"mic", {"write"}}}));
    ExpectInvalid(Call("SetPolicy", arg), "SetPolicy SetCache failed: data invalid.");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetPolicy, policy=" + audit_records::Hex(arg) + ": " + audit_records::Hex("data invalid."), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: SetPolicy data IsValid failed: data invalid.!"));
    EXPECT_FALSE(FileExists(kVarLibFolder + "policy.d/app.policy"));
}

TEST_F(MutationsTest, SetPolicyStopsAtTheFirstFailingAdapter) {
    PutObjects();
    SetAdapterFailure("broken", -3);
    const std::string arg = Json(Policy("app", {{"broken", {"read"}}, {"flaky", {"read"}}}));
    const std::string reason = "AcAdapterManager->SetPolicy failed: -3";
    ExpectInvalid(Call("SetPolicy", arg), "SetPolicy failed: " + reason);
    EXPECT_EQ(TestAdapterPushes(), std::vector<std::string>{"broken\tblacklist\tapp=read"});
    EXPECT_TRUE(FileExists(kVarLibFolder + "policy.d/app.policy"));
    EXPECT_TRUE(signals_->Take().empty());
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetPolicy, policy=" + audit_records::Hex(arg), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: SetPolicy failed: " + reason));
}

TEST_F(MutationsTest, DeletePolicyPushesTheObjectsWithoutTheSubject) {
    PutObjects();
    ASSERT_TRUE(Call("SetPolicy", Json(Policy("app", {{"broken", {"read"}}}))).ok);
    ASSERT_TRUE(Call("SetPolicy", Json(Policy("other", {{"broken", {"write"}}}))).ok);
    signals_->Take();
    ClearAudit();
    ClearPushes();

    ASSERT_TRUE(Call("DeletePolicy", "app").ok);
    EXPECT_FALSE(FileExists(kVarLibFolder + "policy.d/app.policy"));
    EXPECT_EQ(TestAdapterPushes(), std::vector<std::string>{"broken\tblacklist\tother=write"});
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"PolicyChanged", "app", "delete"}}));
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("DeletePolicy, policy=app", 1)});
}

TEST_F(MutationsTest, DeletePolicyWithoutARuntimeFileFails) {
    Put(kEtcFolder, Policy("app", {{"camera", {"read"}}}));
    Load();
    for (const std::string name : {"app", "nobody"}) {
        ClearAudit();
        ExpectInvalid(Call("DeletePolicy", name), "DeleteCache data not exist!");
        ASSERT_EQ(AuditLines().size(), 1u);
        const auto record = audit_records::Record(AuditLines()[0]);
        EXPECT_EQ(record.at("message").rfind("DeletePolicy, policy=" + name + ": ", 0), 0u) << AuditLines()[0];
        EXPECT_EQ(record.at("result"), "0");
    }
    EXPECT_TRUE(syslog_->Contains("warning: DeletePolicy DeleteCache data not exist!"));
    EXPECT_TRUE(FileExists(kEtcFolder + "policy.d/app.policy"));
}

TEST_F(MutationsTest, DeletePolicyReportsAFailingAdapter) {
    PutObjects();
    ASSERT_TRUE(Call("SetPolicy", Json(Policy("app", {{"broken", {"read"}}}))).ok);
    ClearAudit();
    SetAdapterFailure("broken", -3);
    const std::string reason = "AcAdapterManager->SetPolicy failed: -3";
    ExpectInvalid(Call("DeletePolicy", "app"), "SetPolicy failed: " + reason);
    EXPECT_FALSE(FileExists(kVarLibFolder + "policy.d/app.policy"));
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("DeletePolicy, policy=app: " + audit_records::Hex(reason), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: DeletePolicy failed: " + reason));
}

// ---- hostile text ----------------------------------------------------------------------------

TEST_F(MutationsTest, CallerTextCannotBreakOrForgeAnAuditRecord) {
    for (const std::string name : {"x\nresult=1\ttty=forged\r", " res=success exe=/usr/bin/x"}) {
        ClearAudit();
        ExpectInvalid(Call("DeleteEntity", name), name + " not existed");
        const std::vector<std::string> lines = AuditLines();
        ASSERT_EQ(lines.size(), 1u);
        const auto record = audit_records::Record(lines[0]);
        ASSERT_FALSE(record.empty()) << lines[0];
        EXPECT_EQ(record.at("result"), "0");
        EXPECT_EQ(record.at("tty"), "(null)");
        EXPECT_EQ(record.at("message"), "DeleteEntity, entity=" + audit_records::Hex(name) + ": " +
                                            audit_records::Hex(name + " not existed"));
    }
}

// A record the kernel would not take once left no trace at all.
TEST_F(MutationsTest, AnOversizeArgumentIsRecordedCut) {
    const std::string arg(9000, 'x');
    ExpectInvalid(Call("SetPolicy", arg), "SetPolicy SetCache failed: data invalid.");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetPolicy, policy=" + std::string(4093, 'x') +
                                                                      "...: " + audit_records::Hex("data invalid."),
                                                                  0)});
}

TEST_F(MutationsTest, NamesCannotLeaveTheRuntimeTree) {
    for (const std::string& object : {std::string("../../../etc/passwd"), std::string("/etc/shadow"),
                                      std::string(".."), std::string(300, 'a') + "/b"}) {
        const std::string arg = Json(Mode(object, "whitelist"));
        ASSERT_TRUE(Call("SetMode", arg).ok) << object;
        EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"ModeChanged", arg, "add"}}));
        ASSERT_TRUE(Call("DeleteMode", object).ok) << object;
        signals_->Take();
    }
    EXPECT_EQ(ListTree("/var/lib/olm/sarv"),
              (std::vector<std::string>{"/var/lib/olm/sarv", "/var/lib/olm/sarv/entity.d", "/var/lib/olm/sarv/mode.d",
                                        "/var/lib/olm/sarv/policy.d"}));
}

}  // namespace
