// The audit writer and the /proc readers. The program runs in its own
// network and UTS namespaces (set up in main), so the host name and the
// interfaces named in records are the test's own; libaudit's calls are
// replaced by the stand-in linked into this program, which writes each
// record as a line of SARV_AUDIT_LOG.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include "ac-audit.h"
#include "audit-records.h"
#include "syslog-capture.h"

namespace {

const char kHostName[] = "sarv-audit-host";

std::string IpCommand() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(path, X_OK) == 0) return path;
    return "ip";
}

// Runs a program with these arguments (argv[0] included) and waits for it.
int Run(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Ip(std::vector<std::string> args) {
    args.insert(args.begin(), "ip");
    return Run(IpCommand(), args);
}

std::string ReadLink(const std::string& path) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof(buffer));
    return n < 0 ? std::string() : std::string(buffer, n);
}

std::string AddressText() { return GetIp().toStdString(); }

size_t OpenDescriptors() {
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator();
         ++it)
        ++n;
    return n;
}

// A pair of Ethernet-type interfaces, without link-local addresses so that
// only the addresses a test adds appear. Removed again at the end.
class Veth {
public:
    Veth(const std::string& a, const std::string& b) : a_(a) {
        ok_ = Ip({"link", "add", a, "type", "veth", "peer", "name", b}) == 0 &&
              Ip({"link", "set", a, "addrgenmode", "none"}) == 0 && Ip({"link", "set", b, "addrgenmode", "none"}) == 0;
    }
    ~Veth() { Ip({"link", "del", a_}); }
    bool ok() const { return ok_; }

private:
    std::string a_;
    bool ok_ = false;
};

#define REQUIRE_VETH(v) \
    if (!(v).ok()) GTEST_SKIP() << "veth interfaces cannot be created here"

class AuditLog : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/audit-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        log_ = folder_ + "/audit.log";
        setenv("SARV_AUDIT_LOG", log_.c_str(), 1);
        unsetenv("SARV_AUDIT_OPEN_FAIL");
    }
    void TearDown() override {
        unsetenv("SARV_AUDIT_LOG");
        unsetenv("SARV_AUDIT_OPEN_FAIL");
        std::filesystem::remove_all(folder_);
    }
    std::vector<std::string> Lines() const { return audit_records::Lines(log_); }

    std::string folder_;
    std::string log_;
};

}  // namespace

// The address text is rebuilt from change announcements: every change below
// must show in the very next answer.
TEST(NetIdentity, FollowsEveryLinkAndAddressChange) {
    EXPECT_EQ(AddressText(), "");
    ASSERT_EQ(Ip({"link", "set", "lo", "up"}), 0);
    EXPECT_EQ(AddressText(), "") << "loopback is never named";

    Veth veth("ve0", "ve1");
    REQUIRE_VETH(veth);
    ASSERT_EQ(Ip({"link", "set", "ve0", "address", "02:00:00:00:00:0a"}), 0);
    ASSERT_EQ(Ip({"link", "set", "ve1", "address", "02:00:00:00:00:0b"}), 0);
    EXPECT_EQ(AddressText(), "") << "interfaces without addresses are skipped";

    ASSERT_EQ(Ip({"addr", "add", "10.1.2.3/24", "dev", "ve0"}), 0);
    EXPECT_EQ(AddressText(), "02:00:00:00:00:0A-10.1.2.3");

    ASSERT_EQ(Ip({"-6", "addr", "add", "2001:db8::1/64", "dev", "ve0", "nodad"}), 0);
    EXPECT_EQ(AddressText(), "02:00:00:00:00:0A-10.1.2.3") << "IPv6 addresses are left out";

    ASSERT_EQ(Ip({"addr", "add", "10.1.2.4/24", "dev", "ve0"}), 0);
    EXPECT_EQ(AddressText(), "02:00:00:00:00:0A-10.1.2.3-10.1.2.4");

    // An interface with an IPv6 address only is named by its hardware address.
    ASSERT_EQ(Ip({"-6", "addr", "add", "2001:db8::2/64", "dev", "ve1", "nodad"}), 0);
    const std::string first = "02:00:00:00:00:0A-10.1.2.3-10.1.2.4";
    const std::string second = "02:00:00:00:00:0B";
    const bool ve0First = if_nametoindex("ve0") < if_nametoindex("ve1");
    EXPECT_EQ(AddressText(), ve0First ? first + ", " + second : second + ", " + first);

    ASSERT_EQ(Ip({"link", "set", "ve1", "address", "02:00:00:00:00:0c"}), 0);
    const std::string renamed = "02:00:00:00:00:0C";
    EXPECT_EQ(AddressText(), ve0First ? first + ", " + renamed : renamed + ", " + first);

    ASSERT_EQ(Ip({"-6", "addr", "del", "2001:db8::2/64", "dev", "ve1"}), 0);
    ASSERT_EQ(Ip({"addr", "del", "10.1.2.4/24", "dev", "ve0"}), 0);
    EXPECT_EQ(AddressText(), "02:00:00:00:00:0A-10.1.2.3");
    ASSERT_EQ(Ip({"addr", "del", "10.1.2.3/24", "dev", "ve0"}), 0);
    EXPECT_EQ(AddressText(), "02:00:00:00:00:0A");

    ASSERT_EQ(Ip({"link", "del", "ve0"}), 0);
    EXPECT_EQ(AddressText(), "");
}

// Readers on several threads while addresses come and go: each answer is one
// of the states the interfaces were in, and the last answer is current.
TEST(NetIdentity, ConcurrentReadersSeeWholeStates) {
    Veth veth("vc0", "vc1");
    REQUIRE_VETH(veth);
    ASSERT_EQ(Ip({"link", "set", "vc0", "address", "02:00:00:00:01:01"}), 0);
    ASSERT_EQ(Ip({"addr", "add", "10.9.0.1/24", "dev", "vc0"}), 0);
    const std::set<std::string> states = {"02:00:00:00:01:01-10.9.0.1", "02:00:00:00:01:01-10.9.0.1-10.9.0.2"};

    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!done)
                if (!states.count(AddressText())) ++unexpected;
        });
    }
    for (int i = 0; i < 20; ++i) {
        Ip({"addr", "add", "10.9.0.2/24", "dev", "vc0"});
        Ip({"addr", "del", "10.9.0.2/24", "dev", "vc0"});
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(AddressText(), "02:00:00:00:01:01-10.9.0.1");
}

TEST_F(AuditLog, OrdinaryTextsAreRecordedUnchanged) {
    Veth veth("va0", "va1");
    REQUIRE_VETH(veth);
    ASSERT_EQ(Ip({"link", "set", "va0", "address", "02:00:00:00:02:01"}), 0);
    ASSERT_EQ(Ip({"addr", "add", "192.0.2.7/24", "dev", "va0"}), 0);
    const std::string addr = "02:00:00:00:02:01-192.0.2.7";

    AcAudit::AuditLogMsg("add sarv-ac-manager config file /root/camera.mode", "/usr/bin/sarv-ac-manager-configer", 1);
    // JSON with quotes, backslashes, spaces and non-ASCII text passes as is.
    const std::string json = "SetMode, config={\"mode\":\"whitelist\",\"object\":\"相机 \\\"c\\\\d\\\"\"}: refused";
    AcAudit::AuditLogMsg(json.c_str(), "sarv-ac-manager-tools", 0);
    AcAudit::AuditLogMsg(std::string("DeleteEntity, entity=nm"), std::string("/usr/sbin/sarvd"), 1);

    EXPECT_EQ(Lines(),
              (std::vector<std::string>{
                  audit_records::Line("add sarv-ac-manager config file /root/camera.mode",
                                      "/usr/bin/sarv-ac-manager-configer", kHostName, addr, 1),
                  audit_records::Line(json, "sarv-ac-manager-tools", kHostName, addr, 0),
                  audit_records::Line("DeleteEntity, entity=nm", "/usr/sbin/sarvd", kHostName, addr, 1),
              }));
}

TEST_F(AuditLog, ControlCharactersCannotAddFieldsOrLines) {
    AcAudit::AuditLogMsg("SetMode, config=x\nres=1\ttype=1", "prog\r\x1b[2Jname\x7f", 0);
    const std::string withNul("DeleteMode, mode=a\0res=1\nb", 26);
    AcAudit::AuditLogMsg(withNul, std::string("c\0d", 3), 1);
    AcAudit::AuditLogMsg(nullptr, nullptr, 0);

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) EXPECT_EQ(audit_records::Fields(line).size(), 7u) << line;

    auto first = audit_records::Record(lines[0]);
    EXPECT_EQ(first["message"], "SetMode, config=x\\x0ares=1\\x09type=1");
    EXPECT_EQ(first["comm"], "prog\\x0d\\x1b[2Jname\\x7f");
    EXPECT_EQ(first["type"], "2312");
    EXPECT_EQ(first["result"], "0");

    auto second = audit_records::Record(lines[1]);
    EXPECT_EQ(second["message"], "DeleteMode, mode=a\\x00res=1\\x0ab");
    EXPECT_EQ(second["comm"], "c\\x00d");
    EXPECT_EQ(second["result"], "1");

    auto third = audit_records::Record(lines[2]);
    EXPECT_EQ(third["message"], "");
    EXPECT_EQ(third["comm"], "");
}

// libaudit aborts on a long program name that it must encode and drops a
// record longer than the kernel takes; the stand-in does the same.
TEST_F(AuditLog, TextsAreBoundedWithAVisibleCut) {
    ASSERT_EQ(AcAudit::AuditLogMsg(std::string(9000, 'm'), std::string(5000, ' '), 1), 0);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    auto record = audit_records::Record(lines[0]);
    EXPECT_EQ(record["message"], std::string(kAuditMessageLimit - 3, 'm') + "...");
    EXPECT_EQ(record["comm"], std::string(kAuditCommLimit - 3, ' ') + "...");
}

// Caller text can never pose as fields of the record.
TEST(AuditValue, EncodesWhatLibauditWouldAndMarksCuts) {
    struct Case {
        std::string value;
        size_t limit;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"camera", 100, "camera"},
        {"", 100, ""},
        {" res=success exe=/usr/bin/x", 100, audit_records::Hex(" res=success exe=/usr/bin/x")},
        {"{\"object\":\"camera\"}", 100, audit_records::Hex("{\"object\":\"camera\"}")},
        {std::string("a\0b", 3), 100, "610062"},
        {"相机", 100, audit_records::Hex("相机")},
        {"CAFE", 100, "43414645"},  // would read as encoded
        {"cafe", 100, "cafe"},
        {std::string(10, 'x'), 8, "xxxxx..."},
        {std::string(10, ' '), 9, "202020..."},
    };
    for (const auto& c : cases) EXPECT_EQ(AuditValue(c.value, c.limit), c.expected) << c.value;
}

TEST(AuditEscape, KeepsEverythingButControlBytes) {
    EXPECT_EQ(AuditEscape(""), "");
    EXPECT_EQ(AuditEscape("a b=c \"d\" \\x0a é\xff"), "a b=c \"d\" \\x0a é\xff");
    EXPECT_EQ(AuditEscape(std::string("\0\x01\x1f\x20\x7e\x7f\x80", 7)), "\\x00\\x01\\x1f \x7e\\x7f\x80");
}

TEST_F(AuditLog, UnreachableAuditSystemRecordsNothingAndLeaksNothing) {
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 5; ++i) AcAudit::AuditLogMsg("add x", "comm", 1);
    EXPECT_EQ(OpenDescriptors(), before) << "every audit_open is closed again";
    EXPECT_EQ(Lines().size(), 5u);

    setenv("SARV_AUDIT_OPEN_FAIL", "1", 1);
    AcAudit::AuditLogMsg("add y", "comm", 0);
    EXPECT_EQ(Lines().size(), 5u);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(ProcLinks, ReadsLinksAndLogsFailures) {
    SyslogCapture syslog;
    ASSERT_TRUE(syslog.ok());
    EXPECT_EQ(get_pid_link(getpid(), "exe"), ReadLink("/proc/self/exe"));
    EXPECT_EQ(get_pid_link(getpid(), "ns/mnt"), ReadLink("/proc/self/ns/mnt"));
    EXPECT_EQ(get_pid_link(getpid(), "ns/mnt").rfind("mnt:[", 0), 0u);

    EXPECT_EQ(get_pid_link(-1, "ns/mnt"), "");
    EXPECT_TRUE(syslog.Contains("err: readlink error linkpath = /proc/-1/ns/mnt!"));
    EXPECT_EQ(get_pid_link(getpid(), "nothing-here"), "");
    EXPECT_TRUE(syslog.Contains("readlink error linkpath = /proc/" + std::to_string(getpid()) + "/nothing-here!"));
}

// A program under a chosen argv[0] that waits on its standard input.
class WaitingProgram {
public:
    explicit WaitingProgram(const std::string& name) {
        int in[2], ready[2];
        if (pipe(in) != 0 || pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            close(in[0]);
            close(in[1]);
            close(ready[0]);
            char* argv[] = {const_cast<char*>(name.c_str()), const_cast<char*>("-"), nullptr};
            execv("/bin/cat", argv);
            _exit(127);
        }
        close(in[0]);
        close(ready[1]);
        input_ = in[1];
        // The write end closes on exec: from then on /proc shows cat.
        char c;
        while (read(ready[0], &c, 1) > 0) {
        }
        close(ready[0]);
    }
    ~WaitingProgram() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

TEST(ProcLinks, CommandLineIsItsFirstLine) {
    {
        WaitingProgram program("cat\x01name");
        ASSERT_GT(program.pid(), 0);
        const QByteArray line = get_caller_cmdline(program.pid()).toLocal8Bit();
        EXPECT_EQ(line, QByteArray("cat\x01name\0-\0", 11));
        // As a C string, the program name as invoked.
        EXPECT_STREQ(line.constData(), "cat\x01name");
    }
    {
        WaitingProgram program("two\nlines");
        ASSERT_GT(program.pid(), 0);
        EXPECT_EQ(get_caller_cmdline(program.pid()), QString("two"));
    }
    EXPECT_TRUE(get_caller_cmdline(-1).isEmpty());
}

// A private bus with one service that writes a record about each caller of
// its method Ping, and busctl as the caller under a chosen argv[0].
class PrivateBus : public AuditLog {
protected:
    void SetUp() override {
        AuditLog::SetUp();
        const std::string socket = folder_ + "/bus";
        const std::string config = folder_ + "/bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>system</type><listen>unix:path="
                              << socket
                              << "</listen><auth>EXTERNAL</auth>"
                                 "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                                 "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        daemon_ = fork();
        if (daemon_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            const std::string arg = "--config-file=" + config;
            execlp("dbus-daemon", "dbus-daemon", arg.c_str(), "--nofork", "--print-address", nullptr);
            _exit(127);
        }
        close(out[1]);
        // The daemon prints its address once it listens.
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
        close(out[0]);
        ASSERT_FALSE(address_.empty()) << "dbus-daemon did not start";

        ASSERT_GE(sd_bus_new(&bus_), 0);
        ASSERT_GE(sd_bus_set_address(bus_, address_.c_str()), 0);
        ASSERT_GE(sd_bus_set_bus_client(bus_, 1), 0);
        ASSERT_GE(sd_bus_start(bus_), 0);
        ASSERT_GE(sd_bus_request_name(bus_, "org.nimbra.sarv1.AuditTest", 0), 0);
        ASSERT_GE(sd_bus_add_object(bus_, nullptr, "/test", &PrivateBus::OnCall, this), 0);
    }
    void TearDown() override {
        if (bus_) sd_bus_flush_close_unref(bus_);
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            waitpid(daemon_, nullptr, 0);
        }
        AuditLog::TearDown();
    }

    static int OnCall(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<PrivateBus*>(userdata);
        const char* arg = "";
        if (sd_bus_message_read(m, "s", &arg) < 0) arg = "";
        if (self->asText_) Audit_Msg(m, std::string("Ping, arg=") + arg, 1);
        else Audit_Msg(m, (std::string("Ping, arg=") + arg).c_str(), 0);
        return sd_bus_reply_method_return(m, "");
    }

    // Calls Ping(argument) through busctl named `name`; its exit status.
    int Call(const std::string& name, const std::string& argument) {
        const std::string addressArg = "--address=" + address_;
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, STDOUT_FILENO);
            const char* argv[] = {name.c_str(),  addressArg.c_str(),         "call", "org.nimbra.sarv1.AuditTest",
                                  "/test",       "org.nimbra.sarv1.AuditTest", "Ping", "s",
                                  argument.c_str(), nullptr};
            execvp("busctl", const_cast<char* const*>(argv));
            _exit(127);
        }
        // Serve the bus until the caller has its answer and ends; bounded so
        // that a broken bus fails the test instead of hanging it.
        int status = -1;
        for (int round = 0; round < 600; ++round) {
            int r;
            while ((r = sd_bus_process(bus_, nullptr)) > 0) {
            }
            if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            if (r < 0) break;
            sd_bus_wait(bus_, 100000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }

    pid_t daemon_ = -1;
    std::string address_;
    sd_bus* bus_ = nullptr;
    bool asText_ = true;
};

TEST_F(PrivateBus, RecordNamesTheCallingProgram) {
    ASSERT_EQ(Call("busctl", "camera"), 0);
    asText_ = false;
    ASSERT_EQ(Call("bus\tctl", "x\nres=1"), 0);

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    auto first = audit_records::Record(lines[0]);
    EXPECT_EQ(first["message"], "Ping, arg=camera");
    EXPECT_EQ(first["comm"], "busctl");
    EXPECT_EQ(first["hostname"], kHostName);
    EXPECT_EQ(first["result"], "1");

    auto second = audit_records::Record(lines[1]);
    EXPECT_EQ(audit_records::Fields(lines[1]).size(), 7u);
    EXPECT_EQ(second["message"], "Ping, arg=x\\x0ares=1");
    EXPECT_EQ(second["comm"], "bus\\x09ctl");
    EXPECT_EQ(second["result"], "0");
}

// Any user picks the name a program is called by: 9,000 spaces once
// overran libaudit's buffer and ended the service.
TEST_F(PrivateBus, ALongProgramNameIsCut) {
    ASSERT_EQ(Call(std::string(9000, ' '), "camera"), 0);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(audit_records::Record(lines[0])["comm"], std::string(kAuditCommLimit - 3, ' ') + "...");
}

TEST_F(PrivateBus, ARecordThatCannotBeWrittenIsLoggedAndTheCallAnswered) {
    SyslogCapture syslog;
    ASSERT_TRUE(syslog.ok());
    setenv("SARV_AUDIT_LOG", (folder_ + "/missing/audit.log").c_str(), 1);
    EXPECT_EQ(Call("busctl", "camera"), 0);
    EXPECT_TRUE(syslog.Contains("err: Ping audit_log_user_comm_message failed: -2!"));
}

TEST(CallerPid, UnknownWithoutMessage) {
    EXPECT_EQ(get_caller_pid(nullptr), 0);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Records name the host and its interfaces: give the program its own,
    // before the first record starts watching the network namespace.
    if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0 || sethostname(kHostName, strlen(kHostName)) != 0) {
        perror("unshare");
        return 1;
    }
    return RUN_ALL_TESTS();
}
