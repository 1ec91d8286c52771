// Legacy protection profiles into records and ".json" files renamed, as the program does them at
// every start: rows of tests/data/cases/migration.tsv, each a start repeated on fixture trees.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "harness.h"

using namespace sarvtest;
namespace fs = std::filesystem;

namespace {

// The files below `top` of the configuration trees and of tmp/outside, by path; links left out.
std::map<std::string, std::string> Files(const std::string& top) {
    std::map<std::string, std::string> files;
    for (const char* tree : {"usr/share/olm/sarv", "etc/olm/sarv", "var/lib/olm/sarv", "tmp/outside"})
        for (const auto& [path, bytes] : Snapshot({top + tree}))
            if (fs::is_regular_file(fs::symlink_status(path))) files["/" + path.substr(top.size())] = bytes;
    return files;
}

TEST(Migration, AStartConvertsAndARepeatedStartChangesNoByte) {
    World world("", false);
    for (const Row& row : Table("migration.tsv")) {
        SCOPED_TRACE(row.where);
        trees::Clear();
        for (const char* folder : {"/etc/gardex.d", "/tmp/outside", "/tmp/dpkg"}) sarvtest::Run({"sh", "-c", "rm -rf $0/*", folder});
        for (const auto& fixture : Split(row["seed"], ',')) trees::Seed(fixture);
        if (Exists("/tmp/outside")) {  // a link to a record outside the tree, and one to a folder there
            fs::create_symlink("/tmp/outside/mode.d/mic.json", "/etc/olm/sarv/mode.d/link.json");
            fs::create_symlink("/tmp/outside", "/etc/olm/sarv/mode.d/outside");
        }
        const auto after = row["after"].empty() ? decltype(Files("")){} : Files(Source("tests/data/trees/" + row["after"]) + "/");
        for (int start = 0; start < 2; ++start) {
            EXPECT_EQ(sarvtest::Run({SARV_PROGRAM, "--update", "nobody"}, {"DPKG_ADMINDIR=/tmp/dpkg"}).status, 0);
            EXPECT_EQ(Files("/"), after) << "start " << start;
        }
        EXPECT_TRUE(fs::is_symlink("/etc/olm/sarv/mode.d/link.json") || !Exists("/tmp/outside"));
    }
}

}  // namespace
