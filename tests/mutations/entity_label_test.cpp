// SetEntity on a kernel that labels processes by "security.appid": the
// credential file exists before the first entity is stored, so a subject's
// executables receive its name.
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "audit-records.h"
#include "service-harness.h"

namespace {

class EntityLabelTest : public ServiceTest {
public:
    static void SetUpTestSuite() {
        WriteTextFile(kFakeProcRoot + "/1/attr/olmsec/cred", "1\n");
        ServiceTest::SetUpTestSuite();
    }

    static std::string Label(const std::string& path) {
        char value[256];
        ssize_t n = lgetxattr(path.c_str(), "security.appid", value, sizeof value);
        return n < 0 ? "<none>" : std::string(value, static_cast<size_t>(n));
    }
};

TEST_F(EntityLabelTest, ASubjectsExecutablesCarryItsNameExceptTheExcludedOnes) {
    for (const char* name : {"a", "b", "c", "d", "e"}) WriteTextFile(std::string("/tmp/bin/") + name, "#!/bin/sh\n");
    // A link that root made is followed; one that a user owns is not, or the
    // user could lead the label onto any file.
    ASSERT_EQ(symlink("/tmp/bin", "/tmp/root-link"), 0);
    ASSERT_EQ(symlink("/tmp/bin", "/tmp/user-link"), 0);
    ASSERT_EQ(lchown("/tmp/user-link", 1000, 1000), 0);
    EntityInfoData app = Entity("app", "subject", "exe");
    app.attrs.exes = {"/tmp/bin/a", "/tmp/bin/b", "/tmp/bin/missing", "/tmp/root-link/e", "/tmp/user-link/d"};
    app.attrs.additional_exes = {"/tmp/bin/b", "/tmp/bin/c"};
    app.attrs.exclude_exes = {"/tmp/bin/b"};
    const std::string arg = ToJsonText(app);

    // A path that cannot be labelled does not make the change fail.
    ASSERT_TRUE(Call("SetEntity", arg).ok);
    EXPECT_EQ(Label("/tmp/bin/a"), "app");
    EXPECT_EQ(Label("/tmp/bin/b"), "<none>");
    EXPECT_EQ(Label("/tmp/bin/c"), "app");
    EXPECT_EQ(Label("/tmp/bin/d"), "<none>");
    EXPECT_EQ(Label("/tmp/bin/e"), "app");
    EXPECT_TRUE(syslog_->Contains("err: SetAppElfOlmsecAttr lsetxattr /tmp/bin/missing failed!"));
    EXPECT_TRUE(syslog_->Contains("err: SetAppElfOlmsecAttr lsetxattr /tmp/user-link/d failed!"));
    EXPECT_EQ(signals_->Take(), (std::vector<Signal>{{"EntityChanged", arg, "add"}}));
    EXPECT_EQ(AuditLines(), std::vector<std::string>{OwnAuditLine("SetEntity, entity=" + audit_records::Hex(arg), 1)});

    // Deleting the subject leaves the labels in place.
    ASSERT_TRUE(Call("DeleteEntity", "app").ok);
    EXPECT_EQ(Label("/tmp/bin/a"), "app");
}

TEST_F(EntityLabelTest, ObjectsAreNeverLabelled) {
    WriteTextFile("/tmp/bin/viewer", "#!/bin/sh\n");
    EntityInfoData viewer = Entity("viewer", "object", "exe", {"read"});
    viewer.attrs.exes = {"/tmp/bin/viewer"};
    ASSERT_TRUE(Call("SetEntity", ToJsonText(viewer)).ok);
    EXPECT_EQ(Label("/tmp/bin/viewer"), "<none>");
}

}  // namespace
