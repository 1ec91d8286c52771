// The reader on admin folders built here, checked against dpkg run on the
// same folders: removed, purged and arch-qualified packages, the updates
// journal, both info layouts, and damaged or hostile databases.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "package-elf-list.h"
#include "pkgdb-fixture.h"
#include "policy-migration-helper.h"
#include "syslog-capture.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

PolicyMigrationHelper* db() { return PolicyMigrationHelper::Instance(); }

std::string Stanza(const std::string& name, const std::string& status, const std::string& arch,
                   const std::string& extra = "") {
    std::string want = status == "installed" ? "install" : status == "config-files" ? "deinstall" : "purge";
    return "Package: " + name + "\nStatus: " + want + " ok " + status + "\nMaintainer: m\nDescription: d\nVersion: 1\n" +
           (arch.empty() ? "" : "Architecture: " + arch + "\n") + extra + "\n";
}

class FakeDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        adm = scratch.path() + "/adm";
        root = scratch.path() + "/root";
        for (const char* elf : {"/bin/alpha", "/lib/libalpha.so.1", "/etc/gone-helper", "/bin/libm-amd64",
                                "/bin/libm-i386", "/bin/forn", "/bin/journ", "/bin/late"}) {
            fs::create_directories(fs::path(root + elf).parent_path());
            fs::copy_file("/usr/bin/true", root + elf);
        }
        WriteFile(root + "/bin/alpha-script", "#!/bin/sh\n");
        WriteFile(root + "/etc/gone.conf", "x\n");
        WriteFile(adm + "/info/format", "1\n");
        // zz names p108 before either exists; p108 and p1773 share a hash
        // bin, so that reference decides which of them dpkg reads first.
        status = Stanza("zz", "installed", "amd64", "Depends: foo | p108:any (>= 1), bar\n") +
                 Stanza("p1773", "installed", "amd64") + Stanza("alpha", "installed", "amd64") +
                 Stanza("libm", "installed", "amd64", "Multi-Arch: same\n") +
                 Stanza("libm", "installed", "i386", "Multi-Arch: same\n") + Stanza("p108", "installed", "amd64") +
                 Stanza("gone", "config-files", "amd64") + Stanza("purged", "not-installed", "amd64") +
                 Stanza("nolist", "installed", "amd64") + Stanza("forn", "installed", "i386") +
                 Stanza("forn-nolist", "installed", "i386") +
                 Stanza("mixed", "installed", "amd64", "Multi-Arch: same\n") +
                 Stanza("mixed", "config-files", "i386", "Multi-Arch: same\n") + Stanza("noarch", "installed", "") +
                 Stanza("empty", "installed", "all") + Stanza("fading", "installed", "amd64");
        WriteFile(adm + "/status", status);
        WriteFile(adm + "/updates/0001", Stanza("journ", "installed", "amd64"));
        WriteFile(adm + "/updates/0002", Stanza("fading", "not-installed", "amd64"));
        WriteFile(adm + "/updates/tmp.i", Stanza("alpha", "not-installed", "amd64"));
        List("alpha", {"/bin", "/bin/alpha", "/bin/alpha-script", "/lib/libalpha.so.1", "/share"});
        List("libm:amd64", {"/share", "/lib/libm", "/bin/libm-amd64"});
        List("libm:i386", {"/share", "/lib/libm", "/bin/libm-i386"});
        List("gone", {"/etc", "/etc/gone.conf", "/etc/gone-helper"});
        List("purged", {"/bin/purged-stale"});
        List("forn", {"/bin/forn", "/share"});
        List("mixed:amd64", {"/share/mixed"});
        List("mixed:i386", {"/etc/mixed"});
        List("noarch", {"/share/noarch", "/share"});
        List("p108", {"/share", "/share/p"});
        List("p1773", {"/share", "/share/p"});
        List("zz", {"/share"});
        List("journ", {"/bin/journ"});
        List("fading", {"/bin/fading"});
        WriteFile(adm + "/info/empty.list", "");
        UseAdminDir(adm);
    }
    void List(const std::string& name, const std::vector<std::string>& paths) {
        std::string text;
        for (const auto& p : paths) text += root + p + "\n";
        WriteFile(adm + "/info/" + name + ".list", text);
    }
    // Every name and path the reader is asked about agrees with dpkg.
    void ExpectAgreement(const std::vector<std::string>& names, std::vector<std::string> paths) {
        for (const auto& pkg : names) {
            EXPECT_EQ(db()->QueryPackageFiles(pkg.c_str()), DpkgList(pkg)) << pkg;
            EXPECT_EQ(get_pkg_elf_list(pkg.c_str()), db()->QueryPackageFileList(pkg.c_str())) << pkg;
        }
        std::map<std::string, std::string> owners = DpkgSearch(paths);
        db()->OpenDb();
        for (const auto& path : paths)
            EXPECT_EQ(db()->QueryFilePackage(path.c_str()).toStdString(), owners.count(path) ? owners[path] : "")
                << path;
    }
    std::vector<std::string> RootPaths(std::vector<std::string> rel) {
        for (auto& p : rel) p = root + p;
        return rel;
    }

    ScratchDir scratch;
    std::string adm, root, status;
};

TEST_F(FakeDbTest, AgreesWithDpkg) {
    ExpectAgreement({"alpha", "Alpha", "alpha:amd64", "alpha:i386", "alpha:AMD64", "libm", "libm:amd64", "LIBM:i386",
                     "gone", "gone:amd64", "purged", "nolist", "forn", "forn:i386", "forn:amd64", "forn-nolist",
                     "mixed", "mixed:amd64", "mixed:i386", "noarch", "noarch:amd64", "p108", "p1773", "zz", "empty",
                     "empty:all", "journ", "fading", "unknown", "x;y", "../x", "/", "", "a:", "a:b_c", "a:b:c"},
                    RootPaths({"", "/bin", "/bin/alpha", "/lib/libalpha.so.1", "/share", "/lib/libm", "/bin/libm-i386",
                               "/etc", "/etc/gone.conf", "/bin/purged-stale", "/bin/forn", "/share/mixed",
                               "/etc/mixed", "/share/noarch", "/share/p", "/bin/journ", "/bin/fading", "/nothing"}));
    // Executables only, from removed-but-listed packages too.
    EXPECT_EQ(db()->QueryPackageFileList("alpha"), RootPaths({"/bin/alpha"}));
    EXPECT_EQ(db()->QueryPackageFileList("gone"), RootPaths({"/etc/gone-helper"}));
    EXPECT_EQ(db()->QueryPackageFileList("libm:i386"), RootPaths({"/bin/libm-i386"}));
    EXPECT_EQ(db()->QueryFilePackage((root + "/bin/libm-amd64").c_str()), "libm");
}

TEST_F(FakeDbTest, LegacyLayoutAgreesWithDpkg) {
    fs::remove(adm + "/info/format");
    WriteFile(adm + "/status", Stanza("solo", "installed", "amd64", "Multi-Arch: same\n"));
    fs::remove_all(adm + "/updates");
    List("solo", {"/bin/alpha"});
    List("solo:amd64", {"/bin/forn"});
    ExpectAgreement({"solo", "solo:amd64"}, RootPaths({"/bin/alpha", "/bin/forn"}));
    EXPECT_EQ(db()->QueryPackageFileList("solo"), RootPaths({"/bin/alpha"}));
}

TEST_F(FakeDbTest, LogsRefusedNamesAndEmptyPackages) {
    SyslogCapture log;
    ASSERT_TRUE(log.ok());
    for (const char* name : {"x;y", "mixed", "forn-nolist", "nolist", "purged", "unknown", "a\nb"})
        EXPECT_TRUE(db()->QueryPackageFileList(name).empty()) << name;
    EXPECT_TRUE(log.Contains("err: needs a valid package name but 'x;y' is not: illegal package name in specifier "
                             "'x;y': character ';' not allowed (only letters, digits and characters '-+._')"));
    EXPECT_TRUE(log.Contains("err: needs a valid package name but 'mixed' is not: ambiguous package name 'mixed' "
                             "with more than one installed instance"));
    EXPECT_TRUE(log.Contains("err: Package 'forn-nolist:i386' does not contain any files (!)"));
    EXPECT_TRUE(log.Contains("err: Package 'nolist' does not contain any files (!)"));
    EXPECT_TRUE(log.Contains("needs a valid package name but 'a\\x0ab' is not"));
    for (const auto& line : log.Lines()) {
        EXPECT_EQ(line.find("purged"), std::string::npos) << line;
        EXPECT_EQ(line.find("unknown"), std::string::npos) << line;
    }
}

TEST_F(FakeDbTest, LoadsOncePerOpen) {
    std::string late = root + "/bin/late";
    db()->OpenDb();
    WriteFile(adm + "/status", status + Stanza("late", "installed", "amd64"));
    List("late", {"/bin/late"});
    EXPECT_EQ(db()->QueryFilePackage(late.c_str()), "");
    EXPECT_TRUE(db()->QueryPackageFileList("late").empty());
    db()->CloseDb();
    EXPECT_EQ(db()->QueryFilePackage((root + "/bin/alpha").c_str()), "");  // closed: no answers
    EXPECT_EQ(db()->QueryPackageFileList("late"), std::vector<std::string>{late});
    EXPECT_EQ(db()->QueryFilePackage(late.c_str()), "late");
}

TEST_F(FakeDbTest, DamagedDatabasesDoNotBreakTheReader) {
    // Every truncation of the status file: what comes before the cut stays readable.
    size_t second = status.find("Package: p1773");
    for (size_t cut = 0; cut <= status.size(); cut += 5) {
        WriteFile(adm + "/status", status.substr(0, cut));
        db()->CloseDb();
        std::vector<std::string> zz = db()->QueryPackageFiles("zz");
        if (cut >= second) {
            EXPECT_EQ(zz, RootPaths({"/share"})) << cut;
        }
        db()->QueryPackageFileList("libm:i386");
        db()->QueryFilePackage((root + "/share").c_str());
    }
    // Random bytes, and text that looks almost right.
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::string junk(4096, '\0');
        for (char& c : junk) c = char(rng() % 4 ? "Package: \nStatus:installed a-z\t:"[rng() % 33] : rng());
        WriteFile(adm + "/status", junk);
        db()->CloseDb();
        db()->QueryPackageFiles("a");
    }
    // Hostile names in the status file never reach a path outside info/.
    fs::create_directories(adm + "/info/evil:..");
    WriteFile(adm + "/x.list", root + "/bin/escaped\n");
    WriteFile(adm + "/status", Stanza("evil", "installed", "../../../x", "Multi-Arch: same\n") +
                                   "Package: ../x\nStatus: install ok installed\n\n" +
                                   Stanza("odd", "installed", "amd64") + Stanza("fifo", "installed", "amd64") +
                                   Stanza("folder", "installed", "amd64") + Stanza("zero", "installed", "amd64"));
    WriteFile(adm + "/info/odd.list", "\n\n" + root + "/a/\n\0\n"s + root + "//bin/./x\n" + root + "/last");
    ASSERT_EQ(mkfifo((adm + "/info/fifo.list").c_str(), 0600), 0);
    fs::create_directories(adm + "/info/folder.list");
    fs::create_symlink("/dev/zero", adm + "/info/zero.list");
    db()->CloseDb();
    EXPECT_EQ(db()->QueryFilePackage((root + "/bin/escaped").c_str()), "");
    EXPECT_TRUE(db()->QueryPackageFiles("evil").empty());
    EXPECT_EQ(db()->QueryPackageFiles("odd"), RootPaths({"/a", "//bin/./x", "/last"}));
    for (const char* name : {"fifo", "folder", "zero"}) EXPECT_TRUE(db()->QueryPackageFiles(name).empty()) << name;
    for (std::string name : {"../x"s, "/"s, "a/../../b"s, std::string(100000, 'a'), "x\x01"s})
        EXPECT_TRUE(db()->QueryPackageFileList(name.c_str()).empty());
    EXPECT_TRUE(db()->QueryPackageFileList(nullptr).empty());
    EXPECT_EQ(db()->QueryFilePackage(nullptr), "");
}

TEST_F(FakeDbTest, ThreadsShareTheDatabase) {
    const std::vector<std::string> alpha = RootPaths({"/bin/alpha"});
    const std::string share = root + "/share";
    db()->OpenDb();
    const QString owner = db()->QueryFilePackage(share.c_str());
    ASSERT_FALSE(owner.isEmpty());
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                wrong += db()->QueryPackageFileList("alpha") != alpha;
                QString seen = db()->QueryFilePackage(share.c_str());  // empty while closed
                wrong += !seen.isEmpty() && seen != owner;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
            db()->CloseDb();
            db()->OpenDb();
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
