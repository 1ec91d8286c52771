// Protection of the configuration trees through libgardex: ProtectConfig over the states of
// protection.tsv and the profile it hands over, and the protection service's status (status.tsv).
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "config-manager.h"
#include "config-protection.h"
#include "gardex.h"
#include "harness.h"

using namespace sarvtest;
namespace fs = std::filesystem;

namespace {

World world("", false);

void ClearProfiles() {
    for (const auto& entry : fs::directory_iterator("/etc/gardex.d")) fs::remove_all(entry.path());
}

TEST(Protection, ProtectConfigOverASequenceOfStates) {
    const std::map<std::string, std::string> vars = {{"var", "/etc/gardex.d/3df5e5fba300dae9be30b7330c7b20c4"},
        {"usr", "/etc/gardex.d/dee1b06594bf5d9a82997a71c9a0b568"}, {"etc", "/etc/gardex.d/351e7fcfb8292718b354a9d31adf7627"},
        {"pad", std::string(240, ' ')}};
    for (const Row& row : Table("protection.tsv")) {
        SCOPED_TRACE(row.where);
        const std::string path = Fill(row["path"], vars);
        if (!row["fresh"].empty()) trees::Clear();
        if (row["fresh"] == "all") ClearProfiles(), fs::remove_all("/var/lib/gardex");
        if (row["kind"] == "file") WriteFile(path, Fill(row["text"], vars));
        if (row["kind"] == "folder") fs::create_directories(path);
        if (row["kind"] == "link") fs::create_symlink("/etc/hostname", path);
        if (row["kind"] == "fifo") mkfifo(path.c_str(), 0600);
        if (row["kind"] == "remove") fs::remove(path);
        EXPECT_EQ(ConfigManager::ProtectConfig(), std::stoi(row["result"]));
        std::string profiles, stamp = ReadFile(kGardexUpdateStamp);
        for (const auto& profile : List("/etc/gardex.d")) profiles += (profiles.empty() ? "" : ",") + profile;
        EXPECT_EQ(profiles, Fill(row["profiles"], vars));
        EXPECT_EQ(stamp.substr(0, stamp.find('\n')), row["stamp"]);
    }
    EXPECT_EQ(ReadFile(vars.at("etc")), "old");  // the failure at /usr/share left it alone
    const FaProfile p = fa_get_profile("/var/lib/olm/sarv/");
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
        ClearProfiles();
        if (row["gardex"] == "profile") WriteFile("/etc/gardex.d/3df5e5fba300dae9be30b7330c7b20c4", "x");
        if (row["gardex"] == "links") fs::create_directories("/etc/gardex.d/folder"), fs::create_symlink("/etc/hostname", "/etc/gardex.d/link");
        WriteFile("/tmp/state", row["state"]), WriteFile("/tmp/enable", row["enable"]), systemctl.Clear("systemctl");
        setenv("PATH", row["state"] == "(no systemctl)" ? "/nowhere" : path.c_str(), 1);
        EXPECT_EQ(set_and_start_service_status(), std::stoi(row["result"]));
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(systemctl.Runs("systemctl"), Split(row["runs"], ','));
    }
}

}  // namespace
