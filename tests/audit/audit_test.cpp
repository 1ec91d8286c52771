// Audit records as the libaudit stand-in receives them (audit.tsv), bus callers named by their command
// line, a record that cannot be written, the address text following the network (netid.tsv). The
// program runs in network and UTS namespaces of its own (main): host name and interfaces are the test's.
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

#include "ac-audit.h"
#include "audit-records.h"
#include "harness.h"

using namespace sarvtest;

namespace {

const char kHost[] = "sarv-audit-host";
World* world = nullptr;

// The address text is rebuilt on the kernel's announcements: each change shows in the next
// answer, and readers on other threads see only whole states.
TEST(Audit, TheAddressTextFollowsTheNetwork) {
    if (sarvtest::Run({"ip", "link", "add", "ve1", "type", "veth", "peer", "name", "ve0"}).status != 0) GTEST_SKIP() << "no veth";
    ASSERT_LT(if_nametoindex("ve0"), if_nametoindex("ve1"));
    const auto rows = Table("netid.tsv");
    std::set<std::string> states;
    for (const Row& row : rows) states.insert(row["text"]);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    auto read = [&] { while (!done) torn += !states.count(GetIp().toStdString()); };
    std::thread a(read), b(read), c(read);
    for (const Row& row : rows) {
        EXPECT_EQ(sarvtest::Run({"sh", "-c", "ip " + row["command"]}).status, 0) << row.where;
        EXPECT_EQ(GetIp().toStdString(), row["text"]) << row.where;
    }
    done = true;
    a.join(), b.join(), c.join();
    EXPECT_EQ(torn, 0);
}

// Each row's record or value; no descriptor the writer opens stays open.
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
        world->audit.Clear();
        setenv("SARV_AUDIT_OPEN_FAIL", row["audit"] == "off" ? "1" : "0", 1);
        EXPECT_EQ(AcAudit::AuditLogMsg(text, Fill(row["comm"], vars), std::stoi(row["result"])), 0);
        const std::string line = audit_records::Line(want, Fill(row["record_comm"], vars), kHost, "", std::stoi(row["result"]));
        EXPECT_EQ(world->audit.Lines(), row["audit"] == "off" ? std::vector<std::string>{} : std::vector<std::string>{line});
    }
    unsetenv("SARV_AUDIT_OPEN_FAIL");
    EXPECT_EQ(List("/proc/self/fd").size(), open);
}

// A bus caller is named as invoked (its command line up to the first NUL or line end), cut to the
// bound (9000 spaces once overran libaudit's buffer); a record that cannot be written is logged
// with the method's name, and the caller's answer stays the same.
TEST(Audit, BusCallersAreNamedByTheirCommandLine) {
    Service service;
    ASSERT_TRUE(service.Start());
    world->audit.Clear();
    auto ask = [](const std::string& name) {
        return sarvtest::Run({"bash", "-c", "exec -a \"$0\" busctl --system call org.nimbra.sarv1 /org/nimbra/sarv1/AccessControl "
                                  "org.nimbra.sarv1.AccessControl CheckAuthorization ssas x ghost 0 2>&1", name}).out;
    };
    const std::string answer = ask("bus\tctl");
    EXPECT_EQ(ask(std::string(9000, ' ')), answer);
    EXPECT_EQ(ask("two\nlines"), answer);
    std::vector<std::string> comms;
    for (auto& record : world->audit.Records()) comms.push_back(record["comm"]);
    EXPECT_EQ(comms, (std::vector<std::string>{"bus\\x09ctl", std::string(253, ' ') + "...", "two"}));
    setenv("SARV_AUDIT_LOG", "/tmp/missing/audit.log", 1);
    EXPECT_EQ(ask("busctl"), answer);
    setenv("SARV_AUDIT_LOG", world->audit.path.c_str(), 1);
    EXPECT_TRUE(world->syslog->Contains("err: CheckAuthorization audit_log_user_comm_message failed: -2!"));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Records name the host and its interfaces: the program's own, before the first record.
    if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0 || sethostname(kHost, sizeof kHost - 1) != 0) return perror("unshare"), 1;
    World here;
    world = &here;
    return RUN_ALL_TESTS();
}
