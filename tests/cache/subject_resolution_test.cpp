// Which subject claims an executable, and which policy entries concern a
// subject or an object.
#include "cache_fixture.h"

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
