// libgardex: where profiles live, what survives a round trip, and that
// damaged profile files are skipped rather than trusted or crashed on.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "gardex.h"
#include "test-files.h"

using namespace testfiles;

namespace {

// md5sum of the paths without their trailing "/".
const std::string kVarLibProfile = "/etc/gardex.d/3df5e5fba300dae9be30b7330c7b20c4";
const std::string kEtcProfile = "/etc/gardex.d/351e7fcfb8292718b354a9d31adf7627";
const std::string kUsrShareProfile = "/etc/gardex.d/dee1b06594bf5d9a82997a71c9a0b568";

FaProfile SampleProfile(const std::string& file) {
    FaProfile p;
    p.file = file;
    p.daemon = "/usr/bin/calvora";
    p.version = "0.0.1";
    p.flag = 1;
    FaRule r1;
    r1.type = 2;
    r1.ids = {-1, 1000};
    r1.programs = {"/usr/bin/cheese", "/usr/bin/guvcview"};
    r1.access = 15;
    FaRule r2;
    r2.type = 1;
    r2.ids = {-1};
    r2.programs = {"*"};
    r2.access = 5;
    p.rules = {r1, r2};
    return p;
}

void ExpectSameProfile(const FaProfile& a, const FaProfile& b) {
    EXPECT_EQ(a.file, b.file);
    EXPECT_EQ(a.daemon, b.daemon);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.flag, b.flag);
    ASSERT_EQ(a.rules.size(), b.rules.size());
    for (size_t i = 0; i < a.rules.size(); ++i) {
        EXPECT_EQ(a.rules[i].type, b.rules[i].type);
        EXPECT_EQ(a.rules[i].ids, b.rules[i].ids);
        EXPECT_EQ(a.rules[i].programs, b.rules[i].programs);
        EXPECT_EQ(a.rules[i].access, b.rules[i].access);
    }
}

unsigned long Generation() {
    std::string stamp = ReadFile(kGardexUpdateStamp);
    if (stamp.compare(0, 11, "generation ") != 0) return 0;
    return std::stoul(stamp.substr(11));
}

class GardexTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getenv("SARV_SANDBOX")) << "runs only in the sandbox";
        ResetTrees();
    }
};

TEST_F(GardexTest, ProfilesAreNamedByTheMd5OfThePathWithoutTrailingSlash) {
    EXPECT_EQ(fa_profile_path("/var/lib/olm/sarv/"), kVarLibProfile);
    EXPECT_EQ(fa_profile_path("/var/lib/olm/sarv"), kVarLibProfile);
    EXPECT_EQ(fa_profile_path("/etc/olm/sarv/"), kEtcProfile);
    EXPECT_EQ(fa_profile_path("/usr/share/olm/sarv/"), kUsrShareProfile);

    ASSERT_EQ(fa_set_profile(SampleProfile("/usr/share/olm/sarv/")), 0);
    EXPECT_EQ(ListFolder("/etc/gardex.d"), std::vector<std::string>{"dee1b06594bf5d9a82997a71c9a0b568"});
    struct stat st {};
    ASSERT_EQ(stat(kUsrShareProfile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // The programs of the first rule open the file.
    EXPECT_EQ(ReadFile(kUsrShareProfile).rfind("{\"rules\":[{\"programs\":[\"/usr/bin/cheese\"", 0), 0u);
}

TEST_F(GardexTest, SetGetListAndDeleteRoundTrip) {
    FaProfile camera = SampleProfile("/dev/video0");
    FaProfile docs = SampleProfile("/home/ann/Documents");
    docs.rules.pop_back();
    docs.flag = -7;
    ASSERT_EQ(fa_set_profile(camera), 0);
    ASSERT_EQ(fa_set_profile(docs), 0);

    ExpectSameProfile(fa_get_profile("/dev/video0"), camera);
    ExpectSameProfile(fa_get_profile("/home/ann/Documents/"), docs);
    EXPECT_EQ(fa_get_files(), (std::list<std::string>{"/dev/video0", "/home/ann/Documents"}));

    // Replacing keeps one file per path.
    camera.daemon = "/usr/bin/other";
    ASSERT_EQ(fa_set_profile(camera), 0);
    EXPECT_EQ(fa_get_profile("/dev/video0").daemon, "/usr/bin/other");
    EXPECT_EQ(ListFolder("/etc/gardex.d").size(), 2u);

    EXPECT_EQ(fa_del_profile("/dev/video0"), 0);
    EXPECT_EQ(fa_get_profile("/dev/video0").file, "");
    EXPECT_EQ(fa_del_profile("/dev/video0"), 0) << "removing an absent profile is no failure";
    EXPECT_EQ(fa_get_files(), std::list<std::string>{"/home/ann/Documents"});
}

TEST_F(GardexTest, RefusesPathsItCannotStoreAndLeavesNoTemporaries) {
    EXPECT_EQ(fa_set_profile(SampleProfile("")), -EINVAL);
    EXPECT_EQ(fa_set_profile(SampleProfile("relative/path")), -EINVAL);
    EXPECT_EQ(fa_set_profile(SampleProfile(std::string("/a\0b", 4))), -EINVAL);
    EXPECT_EQ(fa_set_profile(SampleProfile("/home/\xff\xfe/Documents")), -EINVAL);
    EXPECT_EQ(fa_del_profile("../../etc/passwd"), -EINVAL);
    EXPECT_TRUE(ListFolder("/etc/gardex.d").empty());

    // A directory where the profile belongs makes the write fail cleanly.
    ASSERT_EQ(mkdir(kEtcProfile.c_str(), 0755), 0);
    EXPECT_EQ(fa_set_profile(SampleProfile("/etc/olm/sarv/")), -EISDIR);
    EXPECT_EQ(ListFolder("/etc/gardex.d"), std::vector<std::string>{"351e7fcfb8292718b354a9d31adf7627"});
    EXPECT_EQ(fa_get_profile("/etc/olm/sarv/").file, "");
    EXPECT_TRUE(fa_get_files().empty());
}

TEST_F(GardexTest, DamagedProfileFilesAreSkipped) {
    ASSERT_EQ(fa_set_profile(SampleProfile("/dev/video0")), 0);
    const std::string good = fa_profile_path("/dev/video0");
    const std::string text = ReadFile(good);

    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"/home/a/Documents", "not json at all"},
        {"/home/b/Documents", text.substr(0, text.size() / 2)},
        {"/home/c/Documents", "[1,2,3]"},
        {"/home/d/Documents", "{\"file\":\"/home/d/Documents\",\"daemon\":7,\"version\":\"\",\"flag\":1,\"rules\":[]}"},
        {"/home/e/Documents",
         "{\"file\":\"/home/e/Documents\",\"daemon\":\"x\",\"version\":\"\",\"flag\":4294967296,\"rules\":[]}"},
        {"/home/f/Documents",
         "{\"file\":\"/home/f/Documents\",\"daemon\":\"x\",\"version\":\"\",\"flag\":1,\"rules\":[{\"type\":1,"
         "\"ids\":[\"-1\"],\"programs\":[],\"access\":1}]}"},
        {"/home/g/Documents",
         "{\"file\":\"/home/g/Documents\",\"daemon\":\"x\",\"version\":\"\",\"flag\":1,\"rules\":[{\"type\":1,"
         "\"ids\":[],\"programs\":[null],\"access\":1}]}"},
        {"/home/h/Documents", ""},
        {"/home/i/Documents", std::string("{\"file\":\"/home/i/Documents\"\0garbage", 34)},
        // A valid profile of another path copied under this path's name.
        {"/home/j/Documents", text},
        {"/home/k/Documents", std::string(2 * 1024 * 1024, ' ') + text},
    };
    for (const auto& [path, content] : damaged) WriteFile(fa_profile_path(path), content);
    ASSERT_EQ(symlink(good.c_str(), fa_profile_path("/home/l/Documents").c_str()), 0);
    ASSERT_EQ(mkdir(fa_profile_path("/home/m/Documents").c_str(), 0755), 0);
    WriteFile("/etc/gardex.d/README", text);

    for (const auto& [path, content] : damaged) EXPECT_EQ(fa_get_profile(path).file, "") << path;
    EXPECT_EQ(fa_get_profile("/home/l/Documents").file, "");
    EXPECT_EQ(fa_get_profile("/home/m/Documents").file, "");
    EXPECT_EQ(fa_get_files(), std::list<std::string>{"/dev/video0"});
    EXPECT_EQ(fa_update(), 0);
    EXPECT_NE(ReadFile(kGardexUpdateStamp).find("profiles 1\n"), std::string::npos);
}

TEST_F(GardexTest, UpdateCountsGenerations) {
    EXPECT_FALSE(Exists(kGardexUpdateStamp));
    EXPECT_EQ(fa_update(), 0);
    EXPECT_EQ(Generation(), 1u);
    ASSERT_EQ(fa_set_profile(SampleProfile("/dev/video0")), 0);
    EXPECT_EQ(fa_update(), 0);
    EXPECT_EQ(ReadFile(kGardexUpdateStamp), "generation 2\nprofiles 1\n");
    // A damaged stamp starts the count again instead of failing.
    WriteFile(kGardexUpdateStamp, "\x01garbage");
    EXPECT_EQ(fa_update(), 0);
    EXPECT_EQ(Generation(), 1u);
}

}  // namespace
