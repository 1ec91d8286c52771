// is_elf_file, and get_pkg_elf_list with the real dpkg and with a stand-in
// `dpkg` first on PATH that records how it was started.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "package-elf-list.h"
#include "pkgdb-fixture.h"
#include "policy-migration-helper.h"
#include "syslog-capture.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

bool ChildrenLeft() { return !(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD); }

class ElfTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = scratch.path();
        prog = dir + "/prog";
        fs::copy_file("/usr/bin/true", prog);
        path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        unsetenv("DPKG_ADMINDIR");
    }
    void TearDown() override { setenv("PATH", path.c_str(), 1); }
    // A `dpkg` that notes its arguments in `ran` and then runs `body`.
    void StandIn(const std::string& body) {
        WriteFile(dir + "/bin/dpkg", "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + dir + "/ran\n" + body + "\n");
        chmod((dir + "/bin/dpkg").c_str(), 0755);
        setenv("PATH", (dir + "/bin:" + path).c_str(), 1);
    }
    std::string Ran() {
        std::ifstream in(dir + "/ran");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    ScratchDir scratch;
    std::string dir, prog, path;
};

TEST_F(ElfTest, IsElfFile) {
    fs::copy_file(prog, dir + "/libx.so.1");
    fs::create_directories(dir + "/a.sources");
    fs::copy_file(prog, dir + "/a.sources/prog");
    fs::create_symlink(prog, dir + "/link");
    WriteFile(dir + "/script", "#!/bin/sh\n");
    WriteFile(dir + "/short", "\x7f" "EL");
    WriteFile(dir + "/magic", "\x7f" "ELF");
    WriteFile(dir + "/empty", "");
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);  // opening it would block
    const std::pair<std::string, int> cases[] = {
        {prog, 1},          {dir + "/link", 1},  {dir + "/magic", 1}, {dir + "/libx.so.1", 0},
        {dir + "/a.sources/prog", 0}, {dir + "/script", 0}, {dir, 0}, {dir + "/missing", 0},
        {dir + "/short", 0}, {dir + "/empty", 0}, {dir + "/fifo", 0}, {"/dev/null", 0},  {"", 0},
    };
    for (const auto& [file, want] : cases) EXPECT_EQ(is_elf_file(file.c_str()), want) << file;
    EXPECT_EQ(is_elf_file(nullptr), 0);
}

TEST_F(ElfTest, HostileNamesRunNothing) {
    StandIn("touch " + dir + "/owned-by-stand-in");
    for (std::string name : {"x; touch /tmp/owned", "$(touch /tmp/owned)", "`touch /tmp/owned`", "x|touch /tmp/owned",
                             "x && touch /tmp/owned", "x\ntouch /tmp/owned", "-x", "--admindir=/tmp", "../x", "",
                             "a:b;touch /tmp/owned"}) {
        EXPECT_TRUE(get_pkg_elf_list(name.c_str()).empty()) << name;
        EXPECT_FALSE(fs::exists("/tmp/owned")) << name;
        EXPECT_FALSE(fs::exists(dir + "/ran")) << name;
    }
    EXPECT_TRUE(get_pkg_elf_list(nullptr).empty());
}

TEST_F(ElfTest, NameIsOneArgumentAndOutputIsFiltered) {
    WriteFile(dir + "/out", prog + "\n" + dir + "/libx.so.1\n" + dir + "\n" + std::string(5000, '/') + "\n" + prog +
                                "\0junk\n"s + "\n" + prog);
    fs::copy_file(prog, dir + "/libx.so.1");
    StandIn("cat " + dir + "/out");
    EXPECT_EQ(get_pkg_elf_list("a+b.c:amd64"), (std::vector<std::string>{prog, prog, prog}));
    EXPECT_EQ(Ran(), "-L\na+b.c:amd64\n");
    EXPECT_FALSE(ChildrenLeft());
}

TEST_F(ElfTest, EndlessOutputIsCutAndFailuresAreLogged) {
    SyslogCapture log;
    StandIn("exec yes " + prog);
    EXPECT_TRUE(get_pkg_elf_list("endless").empty());
    EXPECT_FALSE(ChildrenLeft());
    EXPECT_TRUE(log.Contains("generate_pkg_file_list endless: output of dpkg -L too large"));

    StandIn("exit 1");
    EXPECT_TRUE(get_pkg_elf_list("failing").empty());
    setenv("PATH", (dir + "/nowhere").c_str(), 1);
    EXPECT_TRUE(get_pkg_elf_list("coreutils").empty());
    EXPECT_TRUE(log.Contains("warning: Erro to popen dpkg -L coreutils"));
    EXPECT_TRUE(log.Contains("warning: generate_pkg_file_list coreutils"));
    EXPECT_FALSE(ChildrenLeft());
}

TEST_F(ElfTest, AgreesWithTheReaderOnThisMachine) {
    PolicyMigrationHelper::Instance()->CloseDb();
    for (const char* name : {"coreutils", "bash", "dpkg", "libc-bin", "Coreutils", "coreutils:amd64", "no-such-pkg"}) {
        std::vector<std::string> elves = get_pkg_elf_list(name);
        EXPECT_EQ(elves, PolicyMigrationHelper::Instance()->QueryPackageFileList(name)) << name;
        EXPECT_EQ(elves, ElfOnly(DpkgList(name))) << name;
    }
    EXPECT_FALSE(get_pkg_elf_list("coreutils").empty());
}

}  // namespace
