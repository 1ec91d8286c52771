// The reader against dpkg itself on this machine's package database, which
// both only read.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "pkgdb-fixture.h"
#include "policy-migration-helper.h"

namespace {

PolicyMigrationHelper* db() { return PolicyMigrationHelper::Instance(); }

class RealDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DPKG_ADMINDIR");
        unsetenv("DPKG_ROOT");
        db()->CloseDb();
    }
};

TEST_F(RealDbTest, FileListsAgreeWithDpkgL) {
    std::vector<std::string> all;
    std::istringstream in(RunCommand({"dpkg-query", "-W", "-f=${binary:Package}\\n"}));
    for (std::string line; std::getline(in, line);) all.push_back(line);
    ASSERT_GE(all.size(), 50u);

    // A spread over the whole database; of the packages dpkg names with
    // ":ARCH", every other one is asked for by its bare name.
    std::vector<std::string> names = {"coreutils", "bash", "dpkg"};
    for (size_t i = 0, n = 0; i < all.size(); i += std::max<size_t>(1, all.size() / 55), ++n)
        names.push_back(n % 2 ? all[i].substr(0, all[i].find(':')) : all[i]);
    size_t packages = 0, executables = 0;
    for (const auto& pkg : names) {
        std::vector<std::string> want = DpkgList(pkg);
        EXPECT_EQ(db()->QueryPackageFiles(pkg.c_str()), want) << pkg;
        std::vector<std::string> elves = db()->QueryPackageFileList(pkg.c_str());
        EXPECT_EQ(elves, ElfOnly(want)) << pkg;
        packages += !want.empty();
        executables += elves.size();
    }
    EXPECT_GE(packages, 50u);
    EXPECT_GT(executables, 0u);
    printf("compared %zu package names (%zu with files) with dpkg -L; %zu executables\n", names.size(), packages,
           executables);
}

TEST_F(RealDbTest, OwnersAgreeWithDpkgS) {
    // Every listed path, counted by how many packages list it.
    std::map<std::string, int> listed;
    DIR* dir = opendir("/var/lib/dpkg/info");
    ASSERT_NE(dir, nullptr);
    while (auto* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() < 6 || name.substr(name.size() - 5) != ".list") continue;
        std::ifstream list("/var/lib/dpkg/info/" + name);
        for (std::string line; std::getline(list, line);) ++listed[line];
    }
    closedir(dir);
    ASSERT_GT(listed.size(), 1000u);

    // dpkg -S takes glob characters as patterns; the rest is sampled evenly,
    // paths listed by one package apart from those (mostly folders) that
    // several packages list and where the order of the owners matters.
    std::vector<std::string> paths = {"/bin/sh", "/usr/bin", "/usr/share/doc", "/sarv-pkgdb/not-packaged"};
    std::vector<std::string> single, shared;
    for (const auto& [path, count] : listed)
        if (path.find_first_of("*?[\\") == std::string::npos && path != "/.")
            (count > 1 ? shared : single).push_back(path);
    for (size_t i = 0; i < single.size(); i += std::max<size_t>(1, single.size() / 250)) paths.push_back(single[i]);
    for (size_t i = 0; i < shared.size(); i += std::max<size_t>(1, shared.size() / 100)) paths.push_back(shared[i]);
    std::map<std::string, std::string> owners = DpkgSearch(paths);
    ASSERT_GE(owners.size(), 200u);

    db()->OpenDb();
    for (const auto& path : paths) {
        std::string want = owners.count(path) ? owners[path] : "";
        EXPECT_EQ(db()->QueryFilePackage(path.c_str()).toStdString(), want) << path;
    }
    // Spellings dpkg folds onto the same path.
    std::string ls = owners.count("/bin/sh") ? owners["/bin/sh"] : "?";
    EXPECT_EQ(db()->QueryFilePackage("//./bin/sh").toStdString(), ls);
    EXPECT_EQ(db()->QueryFilePackage("/usr/bin/").toStdString(), owners["/usr/bin"]);
    EXPECT_EQ(db()->QueryFilePackage("/usr/bin/.").toStdString(), owners["/usr/bin"]);
    printf("compared %zu paths (%zu of %zu listed by several packages; %zu owned) with dpkg -S\n", paths.size(),
           std::min<size_t>(shared.size(), 100), shared.size(), owners.size());
}

}  // namespace
