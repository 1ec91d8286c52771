// Who may change the configuration: real callers (separate processes) at
// trusted and untrusted paths, in the service's mount namespace and in
// another one, with and without security labels.
#include <unistd.h>

#include <string>
#include <vector>

#include "audit-records.h"
#include "caller-check.h"
#include "service-harness.h"

namespace {

const std::string kUntrusted = "/tmp/clients/untrusted";
const std::string kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
const std::string kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

class CallerCheckTest : public ServiceTest {
public:
    static void SetUpTestSuite() {
        ServiceTest::SetUpTestSuite();
        InstallClient(kUntrusted);
        for (const char* path : {"/usr/bin/sarv-ac-manager-tools", "/usr/bin/calvora", "/usr/sbin/sarvd",
                                 "/usr/bin/Sarv-ac-manager-tools", "/usr/bin/sarv-ac-manager-tools-x"})
            InstallClient(path);
    }

    static std::string CameraMode(const std::string& mode = "whitelist") { return ToJsonText(Mode("camera", mode)); }
    static bool CameraStored() { return FileExists(kVarLibFolder + "mode.d/camera.mode"); }
    static std::string NoSign(const std::string& exe, pid_t pid) {
        return "process " + exe + "(" + std::to_string(pid) + ") has no security sign";
    }
};

// Without the kernel security module anyone could run a trusted program
// with a library of their own: only root is trusted by the path then.
TEST_F(CallerCheckTest, TrustedProgramsInTheServiceNamespaceNeedNoLabel) {
    const std::string module = kFakeProcRoot + "/1/attr/olmsec/cred";
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    for (const bool present : {true, false}) {
        if (present)
            WriteTextFile(module, "1\n");
        else
            unlink(module.c_str());
        for (const std::string exe : {"/usr/bin/sarv-ac-manager-tools", "/usr/bin/calvora", "/usr/sbin/sarvd"}) {
            for (const bool root : {true, false}) {
                SCOPED_TRACE(exe + (present ? ", module present" : ", no module") + (root ? ", root" : ", nobody"));
                ResetTrees();
                std::vector<std::string> command = root ? std::vector<std::string>{} : asNobody;
                command.push_back(exe);
                ClientRun run = RunClient(command, "SetMode", CameraMode(), std::nullopt);
                if (present || root) {
                    EXPECT_TRUE(run.ok) << run.error_name << " " << run.error_message;
                    EXPECT_TRUE(CameraStored());
                } else {
                    EXPECT_EQ(run.error_name, kAccessDenied);
                    EXPECT_EQ(run.error_message, "process " + exe + "(" + std::to_string(run.pid) + ") not run by root");
                    EXPECT_FALSE(CameraStored());
                }
            }
        }
    }
}

TEST_F(CallerCheckTest, AnotherMountNamespaceIsRefusedWhateverTheProgramAndLabel) {
    const std::string arg = CameraMode();
    ClientRun run = RunClient({"unshare", "-m", "--propagation", "private", "/usr/bin/sarv-ac-manager-tools"},
                              "SetMode", arg, std::string("nimbra_sys"));
    const std::string reason = "caller(" + std::to_string(run.pid) + ") and sarv-ac-manager not in same ns/mnt";
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.error_name, kAccessDenied);
    EXPECT_EQ(run.error_message, reason);
    EXPECT_FALSE(CameraStored());
    EXPECT_TRUE(syslog_->Contains("warning: SetMode check_caller_usid failed: " + reason + "!"));
    EXPECT_EQ(AuditLines(),
              std::vector<std::string>{AuditLineFor("SetMode, config=" + audit_records::Hex(arg) + ": " + audit_records::Hex(reason),
                                                    "/usr/bin/sarv-ac-manager-tools", 0)});
    EXPECT_TRUE(signals_->Take().empty());
}

TEST_F(CallerCheckTest, WithoutALabelOrWithAnEmptyOneAnUntrustedProgramIsRefused) {
    for (const std::optional<std::string>& label : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ClientRun run = RunClient({kUntrusted}, "SetMode", CameraMode(), label);
        EXPECT_EQ(run.error_name, kAccessDenied);
        EXPECT_EQ(run.error_message, NoSign(kUntrusted, run.pid));
    }
    EXPECT_FALSE(CameraStored());
}

TEST_F(CallerCheckTest, WhitelistComparesTheWholePathWithLetterCase) {
    for (const std::string exe : {"/usr/bin/Sarv-ac-manager-tools", "/usr/bin/sarv-ac-manager-tools-x"}) {
        ClientRun run = RunClient({exe}, "SetMode", CameraMode(), std::nullopt);
        EXPECT_EQ(run.error_name, kAccessDenied) << exe;
        EXPECT_EQ(run.error_message, NoSign(exe, run.pid));
    }
    EXPECT_FALSE(CameraStored());
}

TEST_F(CallerCheckTest, AnyAcceptedNameAnywhereInTheFirst256BytesIsEnough) {
    const std::vector<std::string> accepted = {
        "nimbra_app",
        "system_u:nimbra_sys:s0\n",
        "xx nimbra_sec",
        std::string("abc\0nimbra_app", 14),          // beyond a zero byte
        std::string(246, 'x') + "nimbra_sys",  // ends exactly at byte 256
    };
    for (const auto& label : accepted) {
        ResetTrees();
        ClientRun run = RunClient({kUntrusted}, "SetMode", CameraMode(), label);
        EXPECT_TRUE(run.ok) << label << ": " << run.error_message;
        EXPECT_TRUE(CameraStored()) << label;
    }
}

TEST_F(CallerCheckTest, ALabelWithoutAnAcceptedNameIsQuotedRightAfterThePid) {
    struct Case {
        std::string label;
        std::string quoted;
    };
    const std::vector<Case> cases = {
        {"user_app\n", "user_app\n"},               // the newline stays
        {std::string("abc\0def", 7), "abc"},        // up to the first zero byte
        {"nimbra_ap", "nimbra_ap"},                 // a near miss
        {std::string(256, 'y') + "nimbra_app", std::string(256, 'y')},  // past the bytes read
    };
    for (const auto& c : cases) {
        ClientRun run = RunClient({kUntrusted}, "SetMode", CameraMode(), c.label);
        EXPECT_EQ(run.error_name, kAccessDenied);
        EXPECT_EQ(run.error_message,
                  "process " + kUntrusted + "(" + std::to_string(run.pid) + c.quoted + ") not security sign");
    }
    EXPECT_FALSE(CameraStored());
}

TEST_F(CallerCheckTest, ALabelThatIsNoTextStillGetsExactlyOneRefusal) {
    ClientRun run = RunClient({kUntrusted}, "SetMode", CameraMode(), std::string("\xff\xfe\x80"));
    EXPECT_EQ(run.error_name, kAccessDenied);
    EXPECT_EQ(run.error_message.rfind("process " + kUntrusted + "(" + std::to_string(run.pid), 0), 0u)
        << run.error_message;
    EXPECT_NE(run.error_message.find(") not security sign"), std::string::npos);
    ASSERT_EQ(AuditLines().size(), 1u);
    EXPECT_NE(AuditLines()[0].find("\tresult=0"), std::string::npos);
}

TEST_F(CallerCheckTest, EveryChangeIsCheckedLoggedAndRecorded) {
    struct Case {
        const char* member;
        std::string arg;
        std::string audit;
    };
    const std::string mode = CameraMode();
    const std::string entity = ToJsonText(Entity("camera", "object", "exe", {"read"}));
    const std::string policy = ToJsonText(Policy("app", {{"camera", {"read"}}}));
    const std::vector<Case> cases = {
        {"SetMode", mode, "SetMode, config=" + audit_records::Hex(mode)},
        {"DeleteMode", "camera", "DeleteMode, object=camera"},
        {"SetEntity", entity, "SetEntity, entity=" + audit_records::Hex(entity)},
        {"DeleteEntity", "camera", "DeleteEntity, entity=camera"},
        {"SetPolicy", policy, "SetPolicy, policy=" + audit_records::Hex(policy)},
        {"DeletePolicy", "app", "DeletePolicy, policy=app"},
    };
    for (const auto& c : cases) {
        ClearAudit();
        ClientRun run = RunClient({kUntrusted}, c.member, c.arg, std::string("unconfined"));
        const std::string reason =
            "process " + kUntrusted + "(" + std::to_string(run.pid) + "unconfined) not security sign";
        EXPECT_EQ(run.error_name, kAccessDenied) << c.member;
        EXPECT_EQ(run.error_message, reason) << c.member;
        EXPECT_EQ(AuditLines(), std::vector<std::string>{AuditLineFor(c.audit + ": " + audit_records::Hex(reason), kUntrusted, 0)});
        EXPECT_TRUE(syslog_->Contains(std::string("warning: ") + c.member + " check_caller_usid failed: " + reason +
                                      "!"));
    }
    EXPECT_EQ(ListTree(kVarLibFolder + "mode.d"), std::vector<std::string>{kVarLibFolder + "mode.d"});
    EXPECT_TRUE(signals_->Take().empty());
}

// The sender's pid is kept per connection; each connection must still be
// judged as its own process, and a label taken away counts at once.
TEST_F(CallerCheckTest, EachConnectionIsJudgedAsItsOwnProcess) {
    ClientRun first = RunClient({kUntrusted}, "DeleteMode", "x", std::nullopt);
    ClientRun second = RunClient({kUntrusted}, "DeleteMode", "x", std::nullopt);
    ASSERT_NE(first.pid, second.pid);
    EXPECT_EQ(first.error_message, NoSign(kUntrusted, first.pid));
    EXPECT_EQ(second.error_message, NoSign(kUntrusted, second.pid));

    EXPECT_TRUE(Call("SetMode", CameraMode()).ok);
    SetLabel(getpid(), std::nullopt);
    BusClient::Reply refused = Call("SetMode", CameraMode("blacklist"));
    SetLabel(getpid(), std::string("nimbra_app"));
    EXPECT_EQ(refused.error_name, kAccessDenied);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    EXPECT_EQ(refused.error_message, NoSign(std::string(exe, n), getpid()));
    EXPECT_TRUE(Call("SetMode", CameraMode("blacklist")).ok);
}

// A connection's pid is forgotten when its name leaves the bus, so callers
// that come and go do not pile up.
TEST_F(CallerCheckTest, APidIsForgottenWhenItsConnectionCloses) {
    ASSERT_TRUE(Call("DeleteMode", "x").error_name == kInvalidArgs);
    const size_t before = known_sender_pids();
    for (int i = 0; i < 20; ++i) RunClient({kUntrusted}, "DeleteMode", "x", std::nullopt);
    // The departures reach the service as signals of the bus; ask until
    // they have been taken in.
    size_t after = known_sender_pids();
    for (int i = 0; i < 500 && after > before; ++i) {
        signals_->Take();
        after = known_sender_pids();
    }
    EXPECT_EQ(after, before);
}

TEST_F(CallerCheckTest, TheCheckWorksAgainAfterTheServiceRestarts) {
    EXPECT_EQ(service_->Stop(), 0);
    service_ = std::make_unique<ServiceRunner>();
    ASSERT_TRUE(service_->Start());
    client_ = std::make_unique<BusClient>();

    EXPECT_TRUE(Call("SetMode", CameraMode()).ok);
    ClientRun run = RunClient({kUntrusted}, "DeleteMode", "camera", std::nullopt);
    EXPECT_EQ(run.error_message, NoSign(kUntrusted, run.pid));
    ClientRun trusted = RunClient({"/usr/bin/sarv-ac-manager-tools"}, "DeleteMode", "camera", std::nullopt);
    EXPECT_TRUE(trusted.ok) << trusted.error_message;
    EXPECT_FALSE(CameraStored());
}

}  // namespace
