// The access questions over the bus: what a process may do to an object
// (CanAuthorize) and whether an executable may perform a list of operations
// (CheckAuthorization), with their audit records and failures.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "audit-records.h"
#include "service-harness.h"

namespace {

const std::string kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
using Ops = std::vector<std::string>;

// A process this test starts and ends.
class Child {
public:
    // Returns once the child runs `exe` (or has failed to).
    explicit Child(const std::string& exe) {
        pid_ = fork();
        if (pid_ == 0) {
            execl(exe.c_str(), exe.c_str(), "600", static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string link = "/proc/" + std::to_string(pid_) + "/exe";
        for (int i = 0; i < 2000; ++i) {
            char target[4096];
            ssize_t n = readlink(link.c_str(), target, sizeof target);
            if (n < 0 || std::string(target, static_cast<size_t>(n)) == exe) break;
            usleep(1000);
        }
    }
    ~Child() { End(); }
    pid_t pid() const { return pid_; }
    void End() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

std::string SelfExe() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    return n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
}

class AuthorizationTest : public ServiceTest {
public:
    void SetUp() override {
        ServiceTest::SetUp();
        // "camera" may be read and written; this test program is a subject
        // that may read it; "viewer" is a package whose one program may
        // write it; "stranger" has a policy for another object only.
        Put(kUsrShareFolder, Entity("camera", "object", "exe", {"read", "write"}));
        Put(kUsrShareFolder, Entity("mic", "object", "exe", {"read"}));
        Put(kUsrShareFolder, Entity(SelfExe(), "subject", "exe"));
        EntityInfoData viewer = Entity("viewer", "subject", "package");
        viewer.attrs.exes = {kViewer};
        Put(kUsrShareFolder, viewer);
        Put(kUsrShareFolder, Entity("stranger", "subject", "exe"));
        Put(kUsrShareFolder, Policy(SelfExe(), {{"camera", {"read"}}}));
        Put(kUsrShareFolder, Policy("viewer", {{"camera", {"write"}}}));
        Put(kUsrShareFolder, Policy("stranger", {{"mic", {"read"}}}));
        Load();
        std::filesystem::create_directories("/tmp/bin");
        std::filesystem::copy_file("/usr/bin/sleep", kViewer, std::filesystem::copy_options::overwrite_existing);
    }

    void SetCameraMode(const std::string& mode) {
        ResetMode();
        Put(kEtcFolder, Mode("camera", mode));
        Load();
        ClearAudit();
    }
    void ResetMode() { std::filesystem::remove(kEtcFolder + "mode.d/camera.mode"); }

    std::string CanAudit(pid_t pid, const std::string& exe, const std::string& object) {
        return "CanAuthorize, subjectPID=" + std::to_string(pid) + ", subjectExe=" + exe + ", object=" + object +
               ", operations=";
    }
    std::string CheckAudit(const std::string& exe, const std::string& object) {
        return "CheckAuthorization, exe=" + exe + ", subjectExe=" + exe + ", object=" + object + ", operations=";
    }

    // A program that only the package "viewer" claims.
    const std::string kViewer = "/tmp/bin/viewer";
};

// The decision table: a subject with a policy gets what it grants in every
// mode; a process no subject claims gets the mode's defaults.
TEST_F(AuthorizationTest, ModesOnlyDecideForSubjectsWithoutAPolicy) {
    Child sleeper("/usr/bin/sleep");
    struct Row {
        std::string mode;
        Ops unclaimed;
        int unclaimedResult;
    };
    const std::vector<Row> rows = {
        {"blacklist", {"read", "write"}, 1},
        {"whitelist", {}, 0},
        {"read", {"read"}, 0},
    };
    for (const auto& row : rows) {
        SetCameraMode(row.mode);
        CallResult r = CallCanAuthorize(bus(), sleeper.pid(), "camera");
        ASSERT_TRUE(r.ok) << r.error_message;
        EXPECT_EQ(r.list, row.unclaimed) << row.mode;
        EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine(
                                    CanAudit(sleeper.pid(), "/usr/bin/sleep", "camera"), row.unclaimedResult)})
            << row.mode;

        ClearAudit();
        r = CallCanAuthorize(bus(), getpid(), "camera");
        EXPECT_EQ(r.list, Ops{"read"}) << row.mode;
        EXPECT_EQ(AuditLines(),
                  std::vector<std::string>{OwnAuditLine(CanAudit(getpid(), SelfExe(), "camera"), 0)});

        // A subject whose policy names only other objects gets nothing.
        EXPECT_TRUE(CallCheckAuthorization(bus(), "stranger", "camera", {}).number == 1);
        EXPECT_EQ(CallCheckAuthorization(bus(), "stranger", "camera", {"read"}).number, 0) << row.mode;
    }
}

TEST_F(AuthorizationTest, ASubjectClaimingTheExecutableDecides) {
    SetCameraMode("whitelist");
    Child viewer(kViewer);
    CallResult r = CallCanAuthorize(bus(), viewer.pid(), "camera");
    ASSERT_TRUE(r.ok) << r.error_message;
    EXPECT_EQ(r.list, Ops{"write"});
    EXPECT_EQ(CallCheckAuthorization(bus(), kViewer, "camera", {"write"}).number, 1);
    EXPECT_EQ(CallCheckAuthorization(bus(), "viewer", "camera", {"write"}).number, 1);
}

TEST_F(AuthorizationTest, AnObjectWithoutAModeAllowsEverything) {
    Child sleeper("/usr/bin/sleep");
    CallResult r = CallCanAuthorize(bus(), sleeper.pid(), "camera");
    EXPECT_EQ(r.list, (Ops{"read", "write"}));
    // Even for a subject whose policy grants less.
    r = CallCanAuthorize(bus(), getpid(), "camera");
    EXPECT_EQ(r.list, (Ops{"read", "write"}));
    EXPECT_EQ(AuditLines(), (std::vector<std::string>{
                                OwnAuditLine(CanAudit(sleeper.pid(), "/usr/bin/sleep", "camera"), 1),
                                OwnAuditLine(CanAudit(getpid(), SelfExe(), "camera"), 1)}));
    EXPECT_TRUE(syslog_->Contains("warning: AccessControlDbus::CanAuthorize object mode not Valid: camera!"));
}

TEST_F(AuthorizationTest, CheckAuthorizationNeedsEveryRequestedOperation) {
    SetCameraMode("blacklist");
    const std::string self = SelfExe();
    struct Row {
        Ops requested;
        int expected;
    };
    for (const Row& row : std::vector<Row>{{{"read", "write"}, 0}, {{"read"}, 1}, {{}, 1}, {{"Read"}, 0},
                                           {{"read", "read"}, 1}}) {
        ClearAudit();
        CallResult r = CallCheckAuthorization(bus(), self, "camera", row.requested);
        ASSERT_TRUE(r.ok) << r.error_message;
        EXPECT_EQ(r.number, row.expected) << ::testing::PrintToString(row.requested);
        EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine(CheckAudit(self, "camera"), 0)});
    }
    // Unclaimed executables get the blacklist's defaults.
    EXPECT_EQ(CallCheckAuthorization(bus(), "/usr/bin/nobody", "camera", {"read", "write"}).number, 1);
    SetCameraMode("whitelist");
    EXPECT_EQ(CallCheckAuthorization(bus(), "/usr/bin/nobody", "camera", {"read"}).number, 0);
    EXPECT_EQ(CallCheckAuthorization(bus(), "/usr/bin/nobody", "camera", {}).number, 1);
}

TEST_F(AuthorizationTest, UnknownObjectsAreAnErrorAnsweredOnce) {
    CallResult r = CallCanAuthorize(bus(), getpid(), "ghost");
    EXPECT_EQ(r.error_name, kInvalidArgs);
    EXPECT_EQ(r.error_message, "Invalid object");
    r = CallCheckAuthorization(bus(), SelfExe(), "ghost", {});
    EXPECT_EQ(r.error_name, kInvalidArgs);
    EXPECT_EQ(r.error_message, "Invalid object");
    EXPECT_EQ(AuditLines(), (std::vector<std::string>{OwnAuditLine(CanAudit(getpid(), SelfExe(), "ghost"), 0),
                                                      OwnAuditLine(CheckAudit(SelfExe(), "ghost"), 0)}));
    EXPECT_TRUE(syslog_->Contains("warning: :CanAuthorize object entify info not Valid: ghost!"));

    BusClient::Reply first;
    const int replies = client_->CountReplies(
        "CheckAuthorization",
        [](sd_bus_message* m) {
            int r = sd_bus_message_append(m, "ss", "/usr/bin/x", "ghost");
            return r < 0 ? r : sd_bus_message_append(m, "as", 0);
        },
        &first);
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(first.error_message, "Invalid object");
}

TEST_F(AuthorizationTest, AProcessThatHasGoneIsAnInvalidSubject) {
    Child gone("/usr/bin/true");
    const pid_t pid = gone.pid();
    gone.End();
    CallResult r = CallCanAuthorize(bus(), pid, "camera");
    EXPECT_EQ(r.error_name, kInvalidArgs);
    EXPECT_EQ(r.error_message, "Invalid subject PID");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine(CanAudit(pid, "", "camera"), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: CanAuthorize subject PID Is InValid: " + std::to_string(pid) + "!"));

    r = CallCanAuthorize(bus(), -1, "camera");
    EXPECT_EQ(r.error_message, "Invalid subject PID");
}

TEST_F(AuthorizationTest, AnEmptyExecutableIsAnInvalidSubject) {
    CallResult r = CallCheckAuthorization(bus(), "", "camera", {"read"});
    EXPECT_EQ(r.error_name, kInvalidArgs);
    EXPECT_EQ(r.error_message, "Invalid exe");
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine(CheckAudit("", "camera"), 0)});
    EXPECT_TRUE(syslog_->Contains("warning: CheckAuthorization subject Is InValid: !"));
}

// Nothing is remembered: a change through the bus applies to the next
// question.
TEST_F(AuthorizationTest, ChangesApplyToTheNextQuestion) {
    SetCameraMode("whitelist");
    const std::string self = SelfExe();
    EXPECT_EQ(CallCheckAuthorization(bus(), self, "camera", {"write"}).number, 0);
    ASSERT_TRUE(Call("SetPolicy", ToJsonText(Policy(self, {{"camera", {"write"}}}))).ok);
    EXPECT_EQ(CallCheckAuthorization(bus(), self, "camera", {"write"}).number, 1);
    ASSERT_TRUE(Call("SetMode", ToJsonText(Mode("mic", "whitelist"))).ok);
    EXPECT_EQ(CallCanAuthorize(bus(), getpid(), "mic").list, Ops{});
}

TEST_F(AuthorizationTest, HostileTextIsAnsweredAndRecordedOnOneLine) {
    const std::string object = "cam\nresult=1\x01";
    const std::string exe = "/usr/bin/x\ttty=evil res=success";
    CallResult r = CallCheckAuthorization(bus(), exe, object, {"read"});
    EXPECT_EQ(r.error_message, "Invalid object");
    const std::vector<std::string> lines = AuditLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], OwnAuditLine("CheckAuthorization, exe=" + audit_records::Hex(exe) +
                                         ", subjectExe=" + audit_records::Hex(exe) +
                                         ", object=" + audit_records::Hex(object) + ", operations=",
                                     0));
    // The log line too is one line, and bounded.
    EXPECT_TRUE(syslog_->Contains("warning: :CanAuthorize object entify info not Valid: cam\\x0aresult=1\\x01!"));
    CallCheckAuthorization(bus(), exe, std::string(5000, 'o'), {"read"});
    EXPECT_TRUE(syslog_->Contains("Valid: " + std::string(1024, 'o') + "...!"));
}

}  // namespace
