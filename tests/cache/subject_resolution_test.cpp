// Which subject claims an executable, and which policy entries concern a
// subject or an object.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "cache_fixture.h"
#include "policy-migration-helper.h"

namespace {

EntityInfoData Package(const std::string& name, std::vector<std::string> exes,
                       std::vector<std::string> excluded = {}) {
    EntityInfoData e = CacheTest::Entity(name, "subject", "package");
    e.attrs.exes = std::move(exes);
    e.attrs.exclude_exes = std::move(excluded);
    return e;
}

}  // namespace

TEST_F(CacheTest, ExecutablesResolveToTheirSubjects) {
    Put(kEtcFolder, Entity("/usr/bin/app", "subject", "exe"));
    Put(kEtcFolder, Package("pkg-b", {"/usr/bin/a", "/usr/bin/b"}, {"/usr/bin/b"}));
    Put(kEtcFolder, Package("pkg-a", {"/usr/bin/shared"}));
    Put(kEtcFolder, Package("pkg-c", {"/usr/bin/shared"}));
    cm->InitCache();

    EntityInfoData s;
    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/app", s), 0);
    EXPECT_EQ(s.name, "/usr/bin/app");
    s = EntityInfoData();
    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/app2", s), -1);
    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/../bin/app", s), -1);
    EXPECT_EQ(s.name, "");  // untouched on failure

    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/a", s), 0);
    EXPECT_EQ(s.name, "pkg-b");
    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/b", s), -1);
    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/shared", s), 0);
    EXPECT_EQ(s.name, "pkg-a");  // the first name wins
}

// The package database is read after the cache's lock is released: no
// writer waits for a slow lookup.
TEST_F(CacheTest, ASlowPackageDatabaseHoldsUpNoWriter) {
    // One package whose list names a regular file 50 000 times: a lookup
    // tests every entry.
    const std::string admin = "/tmp/slow-dpkg";
    std::filesystem::create_directories(admin + "/info");
    std::ofstream(admin + "/status") << "Package: slow\nStatus: install ok installed\nVersion: 1\n"
                                        "Architecture: amd64\nMaintainer: m\nDescription: d\n\n";
    {
        std::ofstream list(admin + "/info/slow.list");
        for (int i = 0; i < 50000; ++i) list << admin << "/status\n";
    }
    setenv("DPKG_ADMINDIR", admin.c_str(), 1);
    PolicyMigrationHelper::Instance()->CloseDb();
    Put(kEtcFolder, Package("slow", {}));
    cm->InitCache();
    auto seconds = [](auto&& f) {
        const auto start = std::chrono::steady_clock::now();
        f();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto lookup = [&] {
        EntityInfoData s;
        EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/none", s), -1);
    };
    lookup();  // loads the database
    const double alone = seconds(lookup);
    std::thread asker(lookup);
    usleep(static_cast<useconds_t>(alone * 1e6 / 4));
    ModeData out;
    std::string change;
    const std::string mode = R"({"object":"cam","mode":"whitelist"})";
    const double write = seconds([&] { cm->SetCache(cm->modeMap, mode, out, change); });
    asker.join();
    EXPECT_EQ(change, "add");
    EXPECT_LT(write, alone / 4) << "a lookup takes " << alone << " s, the write took " << write << " s";
    unsetenv("DPKG_ADMINDIR");
    PolicyMigrationHelper::Instance()->CloseDb();
}

TEST_F(CacheTest, AnObjectRecordFirstNeverMakesASubject) {
    // Path order: /etc sorts before /usr/share and /var/lib.
    Put(kEtcFolder, Entity("/usr/bin/tool", "object", "exe"));
    Put(kVarLibFolder, Entity("/usr/bin/tool", "subject", "exe"));
    // /usr/share sorts before /var/lib, which wins the merge.
    Put(kUsrShareFolder, Entity("/usr/bin/other", "subject", "file"));
    EntityInfoData later = Entity("/usr/bin/other", "", "");
    later.owner = "var";
    Put(kVarLibFolder, later);
    cm->InitCache();
    EntityInfoData s;
    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/tool", s), -1);
    EXPECT_EQ(cm->GetExeSubjectInfo("/usr/bin/other", s), 0);
    EXPECT_EQ(s.owner, "var");
}

TEST_F(CacheTest, ObjectPolicyGathersEveryMentionPerSubject) {
    PolicyData two;
    two.policies.push_back({"player", {{"camera", {"read"}, 0, 0}, {"mic", {"read"}, 0, 0}}});
    Put(kEtcFolder, two);
    Put(kEtcFolder, Policy("recorder", "camera", {"write"}, 7));
    Put(kEtcFolder, Policy("other", "speaker", {"allow"}));
    cm->InitCache();

    PolicyData p;
    EXPECT_EQ(cm->GetObjectPolicy("camera", p), 0);
    ASSERT_EQ(p.policies.size(), 2u);
    EXPECT_EQ(p.policies[0].subject, "player");
    ASSERT_EQ(p.policies[0].objects.size(), 1u);
    EXPECT_EQ(p.policies[0].objects[0].operations, std::vector<std::string>{"read"});
    EXPECT_EQ(p.policies[1].subject, "recorder");
    EXPECT_EQ(p.policies[1].objects[0].timestamp, 7u);

    PolicyData none;
    EXPECT_EQ(cm->GetObjectPolicy("nothing", none), 0);
    EXPECT_TRUE(none.policies.empty());
}

TEST_F(CacheTest, SubjectPolicyMustBeValid) {
    Put(kEtcFolder, Policy("good", "camera", {"allow"}));
    PolicyData empty;
    empty.policies.push_back({"hollow", {}});
    Put(kEtcFolder, empty);
    cm->InitCache();
    PolicyData p;
    EXPECT_EQ(cm->GetSubjectPolicy("good", p), 0);
    EXPECT_EQ(cm->GetSubjectPolicy("hollow", p), -1);
    ASSERT_EQ(p.policies.size(), 1u);
    EXPECT_EQ(p.policies[0].subject, "hollow");
    EXPECT_EQ(cm->GetSubjectPolicy("missing", p), -1);
    EXPECT_TRUE(p.policies.empty());
}
