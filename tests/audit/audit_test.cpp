// Audit records as the libaudit stand-in receives them (audit.tsv), bus callers, records that cannot be written, the
// address text (netid.tsv); in network and UTS namespaces of its own, so records name the test's host and interfaces.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ac-audit.h"
#include "harness.h"

using namespace sarvtest;

const char kHost[] = "sarv-audit-host";
const bool kOwnHost = [] {  // before the World and the first record
    if (unshare(CLONE_NEWNET | CLONE_NEWUTS) == 0 && sethostname(kHost, sizeof kHost - 1) == 0) return true;
    perror("unshare");
    exit(1);
}();
World world;

// Rebuilt on the kernel's announcements: each change shows once announced; other threads see only whole states.
// The kernel announces an IPv6 address from a worker, possibly after `ip` has returned.
TEST(Audit, TheAddressTextFollowsTheNetwork) {
    if (sarvtest::Run({"ip", "link", "add", "ve1", "type", "veth", "peer", "name", "ve0"}).status != 0) GTEST_SKIP() << "no veth";
    std::map<std::string, int> states;
    for (const Row& row : Table("netid.tsv")) states[row["text"]];
    std::atomic<int> done{0}, torn{0};
    auto read = [&] { while (!done) torn += !states.count(GetIp().toStdString()); };
    std::thread a(read), b(read), c(read);
    for (const Row& row : Table("netid.tsv")) {
        const bool changed = sarvtest::Run({"sh", "-c", "ip " + row["command"]}).status == 0;
        EXPECT_TRUE(changed) << row.where << ": ip failed";
        EXPECT_TRUE(changed && Eventually([&] { return GetIp().toStdString() == row["text"]; }, 5))
            << row.where << ": " << GetIp().toStdString();
    }
    done = 1;
    a.join(), b.join(), c.join();
    EXPECT_EQ(torn, 0);
}

// Each row's record or value; the writer keeps no descriptor but its one connection. A renamed host shows at once.
TEST(Audit, RecordsAndValues) {
    const std::map<std::string, std::string> vars = {{"m9000", std::string(9000, 'm')}, {"s5000", std::string(5000, ' ')},
                                                     {"m6141", std::string(6141, 'm')}, {"s253", std::string(253, ' ')}};
    AcAudit::AuditLogMsg(nullptr, nullptr, 0);
    const size_t open = List("/proc/self/fd").size();
    for (const Row& row : Table("audit.tsv")) {
        SCOPED_TRACE(row.where);
        const std::string text = Fill(row["text"], vars), want = Fill(row["message"], vars);
        if (row["call"] == "value") { EXPECT_EQ(AuditValue(text, std::stoul(row["limit"])), want); }
        if (row["call"] != "record") continue;
        world.audit.Clear();
        setenv("SARV_AUDIT_OPEN_FAIL", row["audit"] == "off" ? "1" : "0", 1);
        EXPECT_EQ(AcAudit::AuditLogMsg(text, Fill(row["comm"], vars), std::stoi(row["result"])), 0);
        const std::string line = "type=2312\tmessage=" + want + "\tcomm=" + Fill(row["record_comm"], vars) +
                                 "\thostname=" + kHost + "\taddr=\ttty=(null)\tresult=" + row["result"];
        EXPECT_EQ(world.audit.Lines(), row["audit"] == "off" ? std::vector<std::string>{} : std::vector<std::string>{line});
    }
    unsetenv("SARV_AUDIT_OPEN_FAIL");
    EXPECT_EQ(List("/proc/self/fd").size(), open);
    world.audit.Clear();
    const std::vector<std::string> hosts = {"renamed", kHost};
    for (const std::string& host : hosts) sethostname(host.data(), host.size()), AcAudit::AuditLogMsg("x", "c", 1);
    std::vector<std::string> named;
    for (auto& record : world.audit.Records()) named.push_back(record["hostname"]);
    EXPECT_EQ(named, hosts);
}

// A caller is named as invoked (its command line up to the first NUL or line end), cut to the bound (9000 spaces once
// overran libaudit's buffer); a record that cannot be written is logged with the method's name; the answer stays.
TEST(Audit, BusCallersAreNamedByTheirCommandLine) {
    Service service;
    ASSERT_TRUE(service.Start());
    const std::string call = "exec -a \"$0\" busctl --system call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl "
                             "org.nimbra.sarv1.AccessControl CheckAuthorization ssas x ghost 0 2>&1";
    auto ask = [&](const std::string& name) { return sarvtest::Run({"bash", "-c", call, name}).out; };
    world.audit.Clear();
    const std::string answer = ask("bus\tctl");
    EXPECT_EQ((std::vector<std::string>{ask(std::string(9000, ' ')), ask("two\nlines")}), std::vector<std::string>(2, answer));
    std::vector<std::string> comms;
    for (auto& record : world.audit.Records()) comms.push_back(record["comm"]);
    EXPECT_EQ(comms, (std::vector<std::string>{"bus\\x09ctl", std::string(253, ' ') + "...", "two"}));
    // A folder where the log should be: the record cannot be written. (The environment stays as it is: the
    // service's thread reads it.)
    world.audit.Clear();
    ASSERT_EQ(mkdir(world.audit.path.c_str(), 0755), 0);
    EXPECT_EQ(ask("busctl"), answer);
    rmdir(world.audit.path.c_str());
    EXPECT_TRUE(world.syslog->Contains("err: CheckAuthorization audit_log_user_comm_message failed: -21!"));
}
