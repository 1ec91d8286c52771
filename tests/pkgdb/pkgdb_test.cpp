// The package database reader and the `dpkg -L` lister against dpkg itself, on this machine's
// database and on the fixtures of tests/data/trees/pkgdb (rows of tests/data/cases/pkgdb.tsv).
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "package-elf-list.h"
#include "policy-migration-helper.h"

using namespace sarvtest;

static PolicyMigrationHelper* db() { return PolicyMigrationHelper::Instance(); }

static void Use(const std::string& admin) {
    static World world("pkgdb", false);
    // What no fixture holds: FIFOs, links, lists that are /dev/zero or a folder, and a folder that
    // lets "evil:../../../x.list" lead to damaged/x.list.
    static const Ran made = Run({"sh", "-c", "cd /tmp/pkgdb && mkfifo root/fifo damaged/info/fifo.list && ln -s /usr/bin/true "
                                 "root/link && cd damaged/info && ln -s /dev/zero zero.list && mkdir folder.list evil:.."});
    ASSERT_EQ(made.status, 0) << made.out;
    setenv("DPKG_ADMINDIR", ("/tmp/pkgdb/" + admin).c_str(), 1);
    db()->CloseDb();
}

// Whether the owners the reader names for `path` include `name`.
static bool Owns(const std::string& name, const std::string& path) {
    const auto owners = db()->QueryPathPackages(path.c_str());
    return std::count(owners.begin(), owners.end(), PackageSpecifierKey(name)) > 0;
}

// The reader's and the lister's answers for `name` against `dpkg -L`; the executables.
static std::vector<std::string> ExpectListing(const std::string& name) {
    std::vector<std::string> files, elves;
    for (const auto& line : Split(sarvtest::Run({"sh", "-c", "dpkg -L \"$0\" 2>/dev/null", name}).out, '\n'))
        if (line.rfind('/', 0) == 0) files.push_back(line);  // not a diversion note
    std::copy_if(files.begin(), files.end(), std::back_inserter(elves), [](auto& f) { return is_elf_file(f.c_str()); });
    for (const auto& file : files) EXPECT_TRUE(Owns(name, file)) << name << " " << file;
    EXPECT_EQ(db()->QueryPackageFiles(name.c_str()), files) << name;
    EXPECT_EQ(db()->QueryPackageFileList(name.c_str()), elves) << name;
    EXPECT_EQ(get_pkg_elf_list(name.c_str()), elves) << name;
    return elves;
}

// The reader's owners against `dpkg -S`'s first ("PKG[:ARCH][, PKG...]: PATH"); the last answer.
static std::string ExpectOwners(const std::vector<std::string>& paths) {
    std::vector<std::string> argv = {"sh", "-c", "dpkg -S \"$@\" 2>/dev/null", "dpkg"};
    argv.insert(argv.end(), paths.begin(), paths.end());
    std::map<std::string, std::string> owners;
    for (const auto& line : Split(Run(argv).out, '\n'))
        if (line.find(": ") != std::string::npos && line.find("diversion ") > 6)
            owners[line.substr(line.find(": ") + 2)] = line.substr(0, line.find_first_of(":,"));
    if (paths.size() == 1 && owners.size() == 1) owners = {{paths[0], owners.begin()->second}};  // spelled as asked
    db()->OpenDb();
    std::string got;
    for (const auto& path : paths)
        EXPECT_EQ(got = db()->QueryFilePackage(path.c_str()).toStdString(), owners.count(path) ? owners[path] : "") << path;
    return got;
}

// A spread of packages (every other one without ":ARCH"), their programs and widely shared folders.
TEST(Pkgdb, RealDatabaseAgreesWithDpkg) {
    Use("");
    unsetenv("DPKG_ADMINDIR");
    const auto all = Split(sarvtest::Run({"dpkg-query", "-W", "-f=${binary:Package}\\n"}).out, '\n');
    ASSERT_GE(all.size(), 50u);
    std::vector<std::string> paths = {"/bin/sh", "/usr/bin", "/usr/lib", "/usr/share/doc", "/etc"};
    // Every stride-th package first; on a machine whose sample holds few programs, the ones in between follow.
    const size_t stride = all.size() / 50;
    for (size_t k = 0, n = 0; k < all.size() && (n < 50 || paths.size() < 100); ++k, ++n) {
        const std::string& name = all[k % 50 * stride + k / 50 % stride];
        for (const auto& elf : ExpectListing(n % 2 ? name.substr(0, name.find(':')) : name))
            if (elf.find_first_of("*?[\\") == std::string::npos) paths.push_back(elf);  // dpkg -S takes patterns
    }
    ASSERT_GE(paths.size(), 100u);
    ExpectOwners(paths);
}

// The owners of a path are exactly the specifiers whose listing holds it, among every path a row's package lists.
TEST(Pkgdb, FixtureRowsAgreeWithDpkg) {
    std::map<std::string, std::set<std::string>> listed;  // admin folder -> paths
    for (const Row& row : Table("pkgdb.tsv")) {
        SCOPED_TRACE(row.where);
        Use(row["db"]);
        if (row["kind"] == "package") { EXPECT_EQ(ExpectListing(row["arg"]), Split(row["want"], ',')); }
        if (row["kind"] == "package")
            for (const auto& file : db()->QueryPackageFiles(row["arg"].c_str())) listed[row["db"]].insert(file);
        if (row["kind"] == "path") { EXPECT_EQ(ExpectOwners({row["arg"]}), row["want"]); }
        if (row["kind"] == "elf") { EXPECT_EQ(is_elf_file(row["arg"].c_str()), std::stoi(row["want"])); }
    }
    for (const Row& row : Table("pkgdb.tsv")) {
        if (row["kind"] != "package") continue;
        Use(row["db"]);
        const auto files = db()->QueryPackageFiles(row["arg"].c_str());
        for (const auto& path : listed[row["db"]])
            EXPECT_EQ(Owns(row["arg"], path), std::count(files.begin(), files.end(), path) > 0) << row.where << " " << path;
    }
}

TEST(Pkgdb, DamagedDatabasesGiveNothingAndLeadNowhere) {
    Use("damaged");
    EXPECT_EQ(db()->QueryPackageFiles("odd"), Split("/tmp/pkgdb/root/a,/tmp/pkgdb/root//bin/./x,/tmp/pkgdb/root/last", ','));
    for (const std::string& name : std::vector<std::string>{"fifo", "zero", "folder", "evil", "../x", std::string(9999, 'a')})
        EXPECT_TRUE(db()->QueryPackageFiles(name.c_str()).empty()) << name;
    EXPECT_EQ(db()->QueryFilePackage("/tmp/pkgdb/root/bin/escaped") + db()->QueryFilePackage(nullptr), "");
    EXPECT_TRUE(db()->QueryPackageFileList(nullptr).empty() && get_pkg_elf_list(nullptr).empty());
}

TEST(Pkgdb, LoadsOncePerOpenAndAfterEachChange) {
    Use("adm");
    db()->OpenDb();
    setenv("DPKG_ADMINDIR", "/tmp/pkgdb/legacy", 1);
    EXPECT_EQ(db()->QueryPackageFileList("alpha"), Split("/tmp/pkgdb/root/bin/alpha", ','));
    db()->CloseDb();
    EXPECT_EQ(db()->QueryFilePackage("/tmp/pkgdb/root/bin/alpha"), "");  // closed: no answers
    EXPECT_EQ(db()->QueryPackageFileList("solo"), Split("/tmp/pkgdb/root/bin/alpha", ','));
    // dpkg renames a package's new list into place: the next answer has it.
    ASSERT_EQ(sarvtest::Run({"sh", "-c", "cd /tmp/pkgdb/legacy/info && echo /tmp/pkgdb/root/bin/forn | cat solo.list - >new && "
                   "mv new solo.list"}).status, 0);
    EXPECT_EQ(db()->QueryPackageFileList("solo"), Split("/tmp/pkgdb/root/bin/alpha,/tmp/pkgdb/root/bin/forn", ','));
    // The whole folder replaced by a copy without that line, then its status file emptied in place.
    ASSERT_EQ(sarvtest::Run({"sh", "-c", "cd /tmp/pkgdb && cp -a legacy new && sed -i '$d' new/info/solo.list && "
                   "mv legacy old && mv new legacy"}).status, 0);
    EXPECT_EQ(db()->QueryPackageFileList("solo"), Split("/tmp/pkgdb/root/bin/alpha", ','));
    ASSERT_EQ(sarvtest::Run({"sh", "-c", ": > /tmp/pkgdb/legacy/status"}).status, 0);
    EXPECT_TRUE(db()->QueryPackageFileList("solo").empty());
}

TEST(Pkgdb, ThreadsShareTheDatabaseWhileItIsReopened) {
    Use("adm");
    std::atomic<int> wrong{0};
    auto read = [&] {
        for (int i = 0; i < 100; ++i) {  // the owner, or nothing while it is closed
            const QString owner = db()->QueryFilePackage("/tmp/pkgdb/root/bin/alpha");
            wrong += db()->QueryPackageFileList("alpha").size() != 1 || !(owner.isEmpty() || owner == "alpha");
        }
    };
    std::thread a(read), b(read), c(read), reopen([] {
        for (int i = 0; i < 100; ++i) db()->CloseDb(), db()->OpenDb();
    });
    a.join(), b.join(), c.join(), reopen.join();
    EXPECT_EQ(wrong, 0);
}

// Hostile names reach no program; a name is one argument; output filtered, cut when endless; no child left.
TEST(Pkgdb, TheListerRunsDpkgSafely) {
    for (const auto& [body, want] : std::map<std::string, std::vector<std::string>>{
             {"cat /tmp/pkgdb/dpkg-out", {3, "/usr/bin/true"}}, {"exec yes /usr/bin/true", {}}, {"exit 1", {}}}) {
        FakeCommands dpkg({{"dpkg", body}});
        for (const Row& row : Table("pkgdb.tsv"))
            if (row["kind"] == "hostile") { EXPECT_TRUE(get_pkg_elf_list(row["arg"].c_str()).empty()) << row.where; }
        EXPECT_EQ(get_pkg_elf_list("a+b.c:amd64"), want) << body;
        EXPECT_EQ(dpkg.Runs("dpkg"), std::vector<std::string>{"-L a+b.c:amd64"}) << body;
        EXPECT_TRUE(waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD) << body;
    }
    const std::string path = getenv("PATH");  // no dpkg to run: no programs
    setenv("PATH", "/nonexistent", 1);
    EXPECT_TRUE(get_pkg_elf_list("a+b.c:amd64").empty());
    setenv("PATH", path.c_str(), 1);
}

