// ProtectConfig over the states of protection.tsv and the profile it hands to libgardex (a stand-in);
// the protection service's status over the rows of status.tsv.
#include <gtest/gtest.h>

#include "config-manager.h"
#include "config-protection.h"
#include "gardex.h"
#include "harness.h"

using namespace sarvtest;

World world("", false);
const std::map<std::string, std::string> kMake = {
    {"folder", "mkdir -p"}, {"link", "ln -s /etc/hostname"}, {"fifo", "mkfifo"}, {"remove", "rm"}};

TEST(Protection, ProtectConfigOverASequenceOfStates) {
    std::map<std::string, std::string> vars = {{"pad", std::string(240, ' ')}};
    for (const std::string root : trees::kRoots) vars[root.substr(1, 3)] = fa_profile_path(root);  // usr etc var
    for (const Row& row : Table("protection.tsv")) {
        SCOPED_TRACE(row.where);
        const std::string path = Fill(row["path"], vars);
        if (!row["fresh"].empty()) trees::Clear();
        if (row["fresh"] == "all") sarvtest::Run({"sh", "-c", "rm -rf /etc/gardex.d/* /var/lib/gardex"});
        if (row["kind"] == "file") WriteFile(path, Fill(row["text"], vars));
        const auto make = kMake.find(row["kind"]);
        if (make != kMake.end()) { ASSERT_EQ(sarvtest::Run({"sh", "-c", make->second + " \"$0\"", path}).status, 0); }
        EXPECT_EQ(ConfigManager::ProtectConfig(), std::stoi(row["result"]));
        EXPECT_EQ(Join(List("/etc/gardex.d"), ",") + " | " + Split(ReadFile(kGardexUpdateStamp) + "\n", '\n')[0],
                  Fill(row["profiles"] + " | " + row["stamp"], vars));  // the profiles | the update generation
    }
    EXPECT_EQ(ReadFile(vars.at("etc")), "old");  // the failure at /usr/share left it alone
    const FaProfile p = fa_get_profile("/var/lib/olm/sarv/");  // the maintenance programs may write, others only read
    const std::list<std::string> trusted = {"/usr/bin/dpkg", "/usr/bin/pm_dpkg", "/usr/bin/sarv-ac-manager-tools",
                                            "/usr/bin/sarv-ac-manager-configer", "/usr/sbin/sarvd", "/usr/sbin/stazictl"};
    EXPECT_EQ(std::tie(p.file, p.daemon, p.version, p.flag), std::make_tuple("/var/lib/olm/sarv/", SelfExe(), "0.0.1", 1));
    ASSERT_EQ(p.rules.size(), 2u);
    for (int i : {0, 1})
        EXPECT_EQ(std::tie(p.rules[i].type, p.rules[i].ids, p.rules[i].programs, p.rules[i].access),
                  std::make_tuple(1, std::vector<int32_t>{-1}, i ? std::list<std::string>{"*"} : trusted, i ? 5 : 15));
}

TEST(Protection, TheServiceIsEnabledExactlyWhenProfilesExist) {
    const std::string fake = "[ \"$1\" = is-enabled ] && cat /tmp/state; [ \"$1\" != enable ] || exit $(cat /tmp/enable)";
    FakeCommands systemctl({{"systemctl", fake}});
    const std::string path = getenv("PATH");
    for (const Row& row : Table("status.tsv")) {
        SCOPED_TRACE(row.where);
        sarvtest::Run({"sh", "-c", "rm -rf /etc/gardex.d/*"});
        if (row["gardex"] == "profile") WriteFile(fa_profile_path("/var/lib/olm/sarv"), "x");
        if (row["gardex"] == "links") {
            ASSERT_EQ(sarvtest::Run({"sh", "-c", "cd /etc/gardex.d && mkdir folder && ln -s /etc/hostname link"}).status, 0);
        }
        WriteFile("/tmp/state", row["state"]);
        WriteFile("/tmp/enable", row["enable"]);
        systemctl.Clear("systemctl");
        setenv("PATH", row["state"] == "(no systemctl)" ? "/nowhere" : path.c_str(), 1);
        EXPECT_EQ(set_and_start_service_status(), std::stoi(row["result"]));
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(systemctl.Runs("systemctl"), Split(row["runs"], ','));
    }
}
