// Protection of the configuration trees and the file-protection service's
// status, against the real libgardex in the sandbox and a fake systemctl.
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "config-manager.h"
#include "config-protection.h"
#include "gardex.h"
#include "syslog-capture.h"
#include "test-files.h"

using namespace testfiles;

namespace {

const std::string kVarLibProfile = "/etc/gardex.d/3df5e5fba300dae9be30b7330c7b20c4";
const std::string kEtcProfile = "/etc/gardex.d/351e7fcfb8292718b354a9d31adf7627";
const std::string kUsrShareProfile = "/etc/gardex.d/dee1b06594bf5d9a82997a71c9a0b568";

unsigned long Generation() {
    std::string stamp = ReadFile(kGardexUpdateStamp);
    if (stamp.compare(0, 11, "generation ") != 0) return 0;
    return std::stoul(stamp.substr(11));
}

// The order in which the library was asked to set or delete profiles.
std::vector<std::string> ProfileCalls(SyslogCapture& log) {
    std::vector<std::string> calls;
    for (const auto& line : log.Lines()) {
        auto at = line.find("gardex: profile ");
        if (at != std::string::npos) calls.push_back(line.substr(at + 16));
    }
    return calls;
}

class ProtectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getenv("SARV_SANDBOX")) << "runs only in the sandbox";
        ResetTrees();
        ASSERT_TRUE(log.ok());
    }
    SyslogCapture log;
};

TEST_F(ProtectionTest, CountsRegularFilesUpToTwo) {
    const std::string root = "/tmp/count";
    ClearFolder(root);
    EXPECT_EQ(is_dir_contains_files("/tmp/count/missing"), -1);
    EXPECT_EQ(is_dir_contains_files(root.c_str()), 0);

    // Links, folders and special files are not files.
    fs::create_directories(root + "/a/b/c");
    ASSERT_EQ(symlink("/etc/hostname", (root + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/a/fifo").c_str(), 0600), 0);
    EXPECT_EQ(is_dir_contains_files(root.c_str()), 0);

    WriteFile(root + "/a/b/c/deep", "x");
    EXPECT_EQ(is_dir_contains_files(root.c_str()), 1);
    WriteFile(root + "/a/b/c/deeper", "x");
    WriteFile(root + "/a/b/third", "x");
    WriteFile(root + "/top", "x");
    EXPECT_EQ(is_dir_contains_files(root.c_str()), 2);
    EXPECT_EQ(is_dir_contains_files((root + "/").c_str()), 2);
}

TEST_F(ProtectionTest, ProfileHeadMustNameTheMaintenancePrograms) {
    const std::string p = "/tmp/profile";
    EXPECT_EQ(is_config_contains_sarvd("/tmp/no-such-profile"), 0);
    WriteFile(p, "");
    EXPECT_EQ(is_config_contains_sarvd(p.c_str()), 0);
    WriteFile(p, "/usr/sbin/stazictl /usr/bin/pm_dpkg");
    EXPECT_EQ(is_config_contains_sarvd(p.c_str()), 1);
    WriteFile(p, "/usr/sbin/stazictl /usr/bin/dpkg");
    EXPECT_EQ(is_config_contains_sarvd(p.c_str()), 0);
    WriteFile(p, std::string(240, ' ') + "/usr/sbin/stazictl /usr/bin/pm_dpkg");
    EXPECT_EQ(is_config_contains_sarvd(p.c_str()), 0) << "only the first 256 bytes count";

    // The library's own profiles pass even with an owner path of any length.
    ASSERT_EQ(protect_profile("/var/lib/olm/sarv/",
                              {"/usr/bin/dpkg", "/usr/bin/pm_dpkg", "/usr/bin/sarv-ac-manager-tools",
                               "/usr/bin/sarv-ac-manager-configer", "/usr/sbin/sarvd", "/usr/sbin/stazictl"},
                              "/opt/" + std::string(3000, 'd'), 1),
              0);
    EXPECT_EQ(is_config_contains_sarvd(kVarLibProfile.c_str()), 1);
}

TEST_F(ProtectionTest, WhatNeedsProtection) {
    EXPECT_EQ(is_config_need_protect(), 0);
    EXPECT_EQ(is_config_already_unprotect(), 1);
    EXPECT_EQ(is_config_already_protect(), 0);

    // Under /usr/share only the policy folder counts.
    WriteFile("/usr/share/olm/sarv/mode.d/camera.mode", "{}");
    WriteFile("/usr/share/olm/sarv/entity.d/camera.object", "{}");
    EXPECT_EQ(is_config_need_protect(), 0);
    WriteFile("/usr/share/olm/sarv/policy.d/sub/apt.policy", "{}");
    EXPECT_EQ(is_config_need_protect(), 1);
    ResetTrees();

    // Under /etc and /var/lib any file at any depth does.
    WriteFile("/etc/olm/sarv/any/where/file", "");
    EXPECT_EQ(is_config_need_protect(), 1);
    ResetTrees();
    WriteFile("/var/lib/olm/sarv/stray", "");
    EXPECT_EQ(is_config_need_protect(), 1);
}

TEST_F(ProtectionTest, NothingToProtectAndNoProfilesLeavesTheLibraryAlone) {
    EXPECT_EQ(ConfigManager::ProtectConfig(), 0);
    EXPECT_TRUE(ListFolder("/etc/gardex.d").empty());
    EXPECT_FALSE(Exists(kGardexUpdateStamp));
}

TEST_F(ProtectionTest, FirstFileInstallsThreeProfilesInOrderThenUpdatesOnce) {
    WriteFile("/etc/olm/sarv/mode.d/camera.mode", "{}");
    EXPECT_EQ(ConfigManager::ProtectConfig(), 0);
    EXPECT_EQ(ListFolder("/etc/gardex.d"),
              (std::vector<std::string>{"351e7fcfb8292718b354a9d31adf7627", "3df5e5fba300dae9be30b7330c7b20c4",
                                        "dee1b06594bf5d9a82997a71c9a0b568"}));
    EXPECT_EQ(Generation(), 1u);
    ASSERT_TRUE(log.Contains("gardex: applied 3 profiles"));
    EXPECT_EQ(ProfileCalls(log), (std::vector<std::string>{"set for /var/lib/olm/sarv/",
                                                           "set for /usr/share/olm/sarv/", "set for /etc/olm/sarv/"}));

    FaProfile p = fa_get_profile("/var/lib/olm/sarv/");
    EXPECT_EQ(p.file, "/var/lib/olm/sarv/");
    EXPECT_EQ(p.daemon, get_self_exe_path());
    EXPECT_EQ(p.version, "0.0.1");
    EXPECT_EQ(p.flag, 1);
    ASSERT_EQ(p.rules.size(), 2u);
    EXPECT_EQ(p.rules[0].programs,
              (std::list<std::string>{"/usr/bin/dpkg", "/usr/bin/pm_dpkg", "/usr/bin/sarv-ac-manager-tools",
                                      "/usr/bin/sarv-ac-manager-configer", "/usr/sbin/sarvd", "/usr/sbin/stazictl"}));
    EXPECT_EQ(p.rules[1].programs, std::list<std::string>{"*"});
    for (const FaRule& rule : p.rules) {
        EXPECT_EQ(rule.type, 1);
        EXPECT_EQ(rule.ids, std::vector<int32_t>{-1});
    }
    EXPECT_EQ(p.rules[0].access, 15);
    EXPECT_EQ(p.rules[1].access, 5);

    // Protected already: the next file changes nothing.
    WriteFile("/var/lib/olm/sarv/policy.d/apt.policy", "{}");
    EXPECT_EQ(ConfigManager::ProtectConfig(), 0);
    EXPECT_EQ(Generation(), 1u);
}

TEST_F(ProtectionTest, TheFirstExistingProfileDecides) {
    WriteFile("/etc/olm/sarv/mode.d/camera.mode", "{}");
    WriteFile(kVarLibProfile, "/usr/sbin/stazictl /usr/bin/pm_dpkg");
    EXPECT_EQ(ConfigManager::ProtectConfig(), 0);
    EXPECT_EQ(ListFolder("/etc/gardex.d"), std::vector<std::string>{"3df5e5fba300dae9be30b7330c7b20c4"});
    EXPECT_FALSE(Exists(kGardexUpdateStamp));

    // A profile that lacks the maintenance programs is replaced, all three.
    WriteFile(kVarLibProfile, "{\"rules\":[{\"programs\":[\"/usr/bin/dpkg\"]}]}");
    EXPECT_EQ(ConfigManager::ProtectConfig(), 0);
    EXPECT_EQ(ListFolder("/etc/gardex.d").size(), 3u);
    EXPECT_EQ(is_config_contains_sarvd(kVarLibProfile.c_str()), 1);
    EXPECT_EQ(Generation(), 1u);
}

TEST_F(ProtectionTest, WithoutConfigurationOldProfilesAreRemoved) {
    ASSERT_EQ(protect_profile("/etc/olm/sarv/", {"/usr/sbin/stazictl", "/usr/bin/pm_dpkg"}, "", 1), 0);
    WriteFile("/etc/gardex.d/unrelated", "kept");
    ASSERT_TRUE(log.Contains("gardex: profile set for /etc/olm/sarv/"));
    log.Clear();
    EXPECT_EQ(is_config_already_unprotect(), 0);
    EXPECT_EQ(ConfigManager::ProtectConfig(), 0);
    EXPECT_EQ(ListFolder("/etc/gardex.d"), std::vector<std::string>{"unrelated"});
    EXPECT_EQ(Generation(), 1u);
    ASSERT_TRUE(log.Contains("gardex: applied 0 profiles"));
    EXPECT_EQ(ProfileCalls(log), std::vector<std::string>{"deleted for /etc/olm/sarv/"});
}

TEST_F(ProtectionTest, ALibraryFailureStopsAtThatTree) {
    WriteFile("/var/lib/olm/sarv/mode.d/camera.mode", "{}");
    ASSERT_EQ(mkdir(kUsrShareProfile.c_str(), 0755), 0);
    EXPECT_EQ(ConfigManager::ProtectConfig(), -EISDIR);
    EXPECT_TRUE(Exists(kVarLibProfile));
    EXPECT_FALSE(Exists(kEtcProfile));
    EXPECT_FALSE(Exists(kGardexUpdateStamp));
    EXPECT_TRUE(log.Contains("err: fa_set_and_update_profile failed. file = /usr/share/olm/sarv/"));
    EXPECT_TRUE(log.Contains("err: ConfigManager::ProtectConfig /usr/share/olm/sarv/ failed: -21!"));

    // Removal stops the same way.
    ResetTrees();
    ASSERT_EQ(protect_profile("/var/lib/olm/sarv/", {}, "", 1), 0);
    ASSERT_EQ(mkdir(kUsrShareProfile.c_str(), 0755), 0);
    WriteFile(kUsrShareProfile + "/blocker", "");
    WriteFile(kEtcProfile, "old");
    EXPECT_LT(ConfigManager::ProtectConfig(), 0);
    EXPECT_FALSE(Exists(kVarLibProfile));
    EXPECT_TRUE(Exists(kEtcProfile));
    EXPECT_FALSE(Exists(kGardexUpdateStamp));
    EXPECT_TRUE(log.Contains("err: ConfigManager::ProtectConfig delete config /usr/share/olm/sarv/ failed:"));
}

// ---- the service's status ---------------------------------------------------

class ServiceStatusTest : public ProtectionTest {
protected:
    // The fake answers "is-enabled" with the text of /tmp/fakebin-systemctl/state
    // and fails "enable" with status 3 when /tmp/fakebin-systemctl/fail-enable exists.
    FakeCommand systemctl{"systemctl",
                          "d=$(dirname \"$0\")\n"
                          "[ \"$1\" = is-enabled ] && cat \"$d/state\" 2>/dev/null\n"
                          "[ \"$1\" = enable ] && [ -e \"$d/fail-enable\" ] && exit 3\n"
                          "exit 0"};
    void State(const std::string& text) { WriteFile(systemctl.folder() + "/state", text); }
};

TEST_F(ServiceStatusTest, ProfilesPresentAndServiceDisabledStartsAndEnablesIt) {
    WriteFile(kEtcProfile, "x");
    State("disabled\n");
    EXPECT_EQ(set_and_start_service_status(), 0);
    EXPECT_EQ(systemctl.Calls(), (std::vector<std::string>{"is-enabled gardex", "start gardex.service",
                                                           "enable gardex.service"}));
}

TEST_F(ServiceStatusTest, TheStatusOfEnableIsReturned) {
    WriteFile(kEtcProfile, "x");
    State("");
    WriteFile(systemctl.folder() + "/fail-enable", "");
    int status = set_and_start_service_status();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST_F(ServiceStatusTest, NothingChangesWhenTheStateAlreadyFits) {
    WriteFile(kEtcProfile, "x");
    State("enabled\n");
    EXPECT_EQ(set_and_start_service_status(), 0);
    ResetTrees();
    State("disabled\n");
    EXPECT_EQ(set_and_start_service_status(), 0);
    EXPECT_EQ(systemctl.Calls(), (std::vector<std::string>{"is-enabled gardex", "is-enabled gardex"}));
}

TEST_F(ServiceStatusTest, NoProfilesAndServiceEnabledDisablesWithoutStopping) {
    // Links and folders in the profile folder are no profiles.
    ASSERT_EQ(symlink("/etc/hostname", "/etc/gardex.d/link"), 0);
    ASSERT_EQ(mkdir("/etc/gardex.d/empty", 0755), 0);
    State("enabled\n");
    EXPECT_EQ(set_and_start_service_status(), 0);
    EXPECT_EQ(systemctl.Calls(), (std::vector<std::string>{"is-enabled gardex", "disable gardex.service"}));
}

TEST_F(ServiceStatusTest, ASystemctlThatCannotStartChangesNothing) {
    WriteFile(kEtcProfile, "x");
    const char* old = getenv("PATH");
    std::string saved = old ? old : "";
    ClearFolder("/tmp/empty-path");
    setenv("PATH", "/tmp/empty-path", 1);
    int r = set_and_start_service_status();
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(log.Contains("err: popen() failed!"));
    EXPECT_TRUE(systemctl.Calls().empty());
}

}  // namespace
