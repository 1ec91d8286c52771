// The installer command as an administrator runs it: the rows of tests/data/cases/configer.tsv,
// and what needs a file system of its own (the umask, an unwritable destination, a full disk).
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "configfile-helper.h"
#include "harness.h"

using namespace sarvtest;
namespace fs = std::filesystem;

namespace {

World& TheWorld() {
    static World world("configer", false);
    return world;
}

// `command` (${configer} is the installer) run in /tmp/src.
Ran Command(const std::string& command, const std::vector<std::string>& env = {}) {
    TheWorld();
    std::vector<std::string> argv = {"env", "-C", "/tmp/src"};
    for (const std::string& word : Split(command, '|')) argv.push_back(Fill(word, {{"configer", SARV_CONFIGER}}));
    return Run(argv, env);
}

std::string Installed() {  // below /etc/olm/sarv/, relative; "-": none
    std::string files;
    for (const auto& path : List(kEtcFolder))
        if (!fs::is_directory(path)) files += (files.empty() ? "" : " ") + path.substr(kEtcFolder.size());
    return files.empty() ? "-" : files;
}

TEST(Configer, EveryRowOfTheTable) {
    TheWorld();
    ASSERT_EQ(mkfifo("/tmp/src/fifo.mode", 0644), 0);
    fs::create_directory_symlink("/tmp/src", kEtcFolder + "link.d");
    std::map<std::string, std::string> vars = {{"help", ReadFile(Source("tests/data/cases/configer-help.txt"))}};
    for (const Row& row : Table("configer.tsv")) {
        SCOPED_TRACE(row.where + " " + row["case"]);
        TheWorld().audit.Clear();
        const Ran ran = Command(row["command"], Split(row["env"], '|'));
        vars["pid"] = std::to_string(ran.pid);
        EXPECT_EQ(std::to_string(ran.status) + " " + ran.out, row["status"] + " " + Fill(row["out"], vars));
        std::string audit;
        for (auto record : TheWorld().audit.Records()) audit += record["result"] + " " + record["message"];
        EXPECT_EQ(audit, row["audit"]);
        EXPECT_EQ(Installed(), Fill(row["etc"], vars));
        const std::string source = fs::path("/tmp/src") / Split(row["command"], '|').back();  // the last word
        EXPECT_TRUE(row["installed"].empty() || ReadFile(row["installed"]) == ReadFile(source)) << source;
        EXPECT_TRUE(row["kept"].empty() || Exists(row["kept"]));
    }
}

TEST(Configer, MissingFoldersAreMadeAgainstTheUmaskAndTheFileFollowsIt) {
    trees::Clear();
    ASSERT_EQ(Command("sh|-c|umask 077 && exec \"$0\" \"$@\"|${configer}|add|--mode|camera.mode").status, 0);
    EXPECT_EQ(fs::status(kEtcModeFolder).permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(kEtcModeFolder + "/camera.mode").permissions(), fs::perms(0600));
}

TEST(Configer, AnUnwritableDestinationOrAFullDiskKeepsThePreviousFile) {
    trees::Clear();
    WriteFile(kEtcModeFolder, "");  // the kind's folder is a file
    Ran ran = Command("${configer}|add|--mode|camera.mode");
    EXPECT_EQ(std::to_string(ran.status) + " " + ran.out, "236 set_config_file failed: res = -20\n");
    fs::remove(kEtcModeFolder);
    WriteFile(kEtcModeFolder + "/camera.mode/keep", "k");  // the destination is a folder
    ran = Command("${configer}|add|--mode|camera.mode");
    EXPECT_EQ(std::to_string(ran.status) + " " + ran.out, "235 set_config_file failed: res = -21\n");
    EXPECT_EQ(Installed(), "mode.d/camera.mode/keep");

    ASSERT_EQ(mount("configer", kEtcFolder.c_str(), "tmpfs", 0, "size=64k,mode=0755"), 0);
    ASSERT_EQ(Command("${configer}|add|--mode|camera.mode").status, 0);
    WriteFile("/tmp/src/padded.mode", ReadFile("/tmp/src/camera-read.mode") + std::string(512 * 1024, ' '));
    ran = Command("${configer}|add|--mode|padded.mode");
    EXPECT_EQ(std::to_string(ran.status) + " " + ran.out, "228 set_config_file failed: res = -28\n");
    EXPECT_EQ(ReadFile(kEtcModeFolder + "/camera.mode"), ReadFile("/tmp/src/camera.mode"));
    EXPECT_EQ(Installed(), "mode.d/camera.mode");
    EXPECT_EQ(TheWorld().audit.Records().back()["result"], "0");
    umount2(kEtcFolder.c_str(), MNT_DETACH);
}

}  // namespace
