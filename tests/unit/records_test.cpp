// Records: defaults, structural checks, merging, comparison and their JSON
// documents.
#include <gtest/gtest.h>

#include "acjson.h"
#include "acrecords.h"

namespace {

EntityInfoData DbusEntity() {
    EntityInfoData e;
    e.name = "nm";
    e.type = "object";
    e.subtype = "dbus";
    e.attrs.dbus_type = "method_call";
    e.attrs.dbus_interface = "org.example.Net";
    return e;
}

PolicyObject Obj(const std::string& name, std::vector<std::string> ops, uint64_t ts = 0, uint64_t vp = 0) {
    PolicyObject o;
    o.object = name;
    o.operations = std::move(ops);
    o.timestamp = ts;
    o.valid_period = vp;
    return o;
}

}  // namespace

TEST(Records, DefaultsAndLayoutConstants) {
    ModeData m;
    EXPECT_EQ(m.mode, "blacklist");
    EXPECT_EQ(m.version, "1.0");
    EXPECT_FALSE(EntityInfoData().IsValid());
    EXPECT_FALSE(PolicyData().IsValid());
    EXPECT_EQ(PolicyData().version, "1.0");
    EXPECT_EQ(kVarLibEntifyFolder, "/var/lib/olm/sarv/entity.d");
    ASSERT_EQ(kConfigFolderList.size(), 9u);
    EXPECT_EQ(kConfigFolderList.front(), "/var/lib/olm/sarv/entity.d");
    EXPECT_EQ(kConfigFolderList.back(), "/usr/share/olm/sarv/policy.d");
    EXPECT_EQ(kVarLibFolderList,
              (std::vector<std::string>{"/var/lib/olm/sarv/mode.d", "/var/lib/olm/sarv/policy.d",
                                        "/var/lib/olm/sarv/entity.d"}));
}

TEST(Records, EntityValidity) {
    EntityInfoData clip;
    clip.name = "clipboard";
    clip.type = "object";
    clip.subtype = "screen";
    EXPECT_TRUE(clip.IsValid());
    clip.name = "clip";
    EXPECT_FALSE(clip.IsValid());

    EntityInfoData file;
    file.name = "docs";
    file.type = "object";
    file.subtype = "file";
    file.available_operations = {"execute"};
    EXPECT_TRUE(file.IsValid());
    file.type = "Subject";
    EXPECT_FALSE(file.IsValid());

    EntityInfoData d = DbusEntity();
    EXPECT_TRUE(d.IsValid());
    d.attrs.dbus_eavesdrop = "yes";
    EXPECT_FALSE(d.IsValid());
    d = DbusEntity();
    d.attrs.dbus_interface.clear();
    EXPECT_FALSE(d.IsValid());
    d = DbusEntity();
    d.attrs.dbus_type.clear();
    EXPECT_FALSE(d.IsValid());
    d = DbusEntity();
    d.attrs.dbus_msg_type = "signal";
    EXPECT_FALSE(d.IsValid());
    d = DbusEntity();
    d.available_operations = {"read", "deny"};
    EXPECT_TRUE(d.IsValid());
    d.available_operations.push_back("execute");
    EXPECT_FALSE(d.IsValid());
}

TEST(Records, PolicyValidity) {
    PolicyData p;
    p.policies.push_back({"dpkg", {}});
    EXPECT_FALSE(p.IsValid());
    p.policies[0].objects.push_back(Obj("camera", {}));
    EXPECT_TRUE(p.IsValid());
    p.policies[0].objects[0].operations = {""};
    EXPECT_FALSE(p.IsValid());
    p.policies[0].objects[0].operations = {"allow"};
    p.policies.push_back({"", {Obj("camera", {"allow"})}});
    EXPECT_FALSE(p.IsValid());
}

TEST(Records, MergeSetsButNeverClears) {
    EntityInfoData base = DbusEntity();
    base.tags = {"a"};
    base.owner = "root";
    EntityInfoData over;
    over.version.clear();
    over.attrs.dbus_msg_type.clear();
    over.attrs.dbus_eavesdrop.clear();
    base.Merge(over);
    EXPECT_EQ(base.tags, std::vector<std::string>{"a"});
    EXPECT_EQ(base.owner, "root");
    EXPECT_EQ(base.version, "1.0");
    over.tags = {"b"};
    over.attrs.exes = {"/usr/bin/x"};
    over.description_zh_CN = "说明";
    base.Merge(over);
    EXPECT_EQ(base.tags, std::vector<std::string>{"b"});
    EXPECT_EQ(base.attrs.exes, std::vector<std::string>{"/usr/bin/x"});
    EXPECT_EQ(base.description_zh_CN, "说明");
    EXPECT_EQ(base.attrs.dbus_interface, "org.example.Net");
}

TEST(Records, ListsCompareAsSets) {
    EXPECT_TRUE(CompareVector(std::vector<std::string>{}, std::vector<std::string>{}));
    EXPECT_TRUE(CompareVector(std::vector<std::string>{"a"}, std::vector<std::string>{"a", "a"}));
    EXPECT_TRUE(CompareVector(std::vector<std::string>{"read", "write", "read"},
                              std::vector<std::string>{"write", "read"}));
    EXPECT_FALSE(CompareVector(std::vector<std::string>{"a"}, std::vector<std::string>{"a", "b"}));

    std::vector<PolicyObject> a = {Obj("A", {"allow"}, 1), Obj("B", {"deny"}, 2)};
    std::vector<PolicyObject> b = {Obj("B", {"deny"}, 2), Obj("A", {"allow", "allow"}, 1)};
    EXPECT_TRUE(CompareVector(a, b));
    b[0].timestamp = 3;
    EXPECT_FALSE(CompareVector(a, b));
    EXPECT_FALSE(CompareVector(a, {Obj("A", {"allow"}, 1)}));

    EntityAttrs x, y;
    x.exes = {"/a", "/b"};
    y.exes = {"/b", "/a", "/a"};
    EXPECT_TRUE(x == y);
    y.dbus_sender = "s";
    EXPECT_FALSE(x == y);
}

TEST(Records, PolicyObjectOrder) {
    EXPECT_TRUE(Obj("a", {"x"}) < Obj("b", {}));
    EXPECT_TRUE(Obj("a", {}, 9, 1) < Obj("a", {}, 0, 2));  // valid_period before timestamp
    EXPECT_TRUE(Obj("a", {}, 1) < Obj("a", {}, 2));
    EXPECT_TRUE(Obj("a", {"r"}) < Obj("a", {"r", "w"}));  // a proper prefix first
    EXPECT_FALSE(Obj("a", {"w", "r", "r"}) < Obj("a", {"r", "w"}));
    EXPECT_FALSE(Obj("a", {"r", "w"}) < Obj("a", {"w", "r", "r"}));
}

TEST(Records, MergeVectorOverlaysByKey) {
    std::vector<PolicyObject> into = {Obj("A", {"allow"}, 1)};
    MergeVector(into, {Obj("A", {}, 5), Obj("B", {"deny"}, 2)});
    ASSERT_EQ(into.size(), 2u);
    EXPECT_EQ(into[0].operations, std::vector<std::string>{"allow"});
    EXPECT_EQ(into[0].timestamp, 5u);
    EXPECT_EQ(into[1].object, "B");
    EXPECT_EQ(into[1].timestamp, 2u);

    std::vector<ACPolicy> pols = {{"s1", {Obj("A", {"allow"})}}};
    MergeVector(pols, {{"s2", {Obj("B", {"deny"})}}, {"s1", {Obj("A", {"deny"}), Obj("C", {"read"})}}});
    ASSERT_EQ(pols.size(), 2u);
    EXPECT_EQ(pols[0].subject, "s1");
    ASSERT_EQ(pols[0].objects.size(), 2u);
    EXPECT_EQ(pols[0].objects[0].operations, std::vector<std::string>{"deny"});
    EXPECT_EQ(pols[1].subject, "s2");
}

TEST(RecordJson, DocumentsAreByteExact) {
    EXPECT_EQ(ToJsonText(ModeData()), R"({"mode":"blacklist","object":"","version":"1.0"})");

    PolicyData p;
    p.policies.push_back({"dpkg", {Obj("clipboard", {"allow"})}});
    EXPECT_EQ(ToJsonText(p),
              R"({"policies":[{"objects":[{"object":"clipboard","operations":["allow"],"timestamp":0,)"
              R"("valid_period":0}],"subject":{"name":"dpkg"}}],"version":"1.0"})");

    EntityInfoData e;
    e.name = "docs";
    e.type = "object";
    e.subtype = "file";
    nlohmann::json j = e;
    EXPECT_EQ(j["attrs"].size(), 14u);
    EXPECT_EQ(j["attrs"]["dbus_msg_type"], "method_call");
    EXPECT_EQ(j["attrs"]["dbus_eavesdrop"], "true");
    EXPECT_EQ(j.size(), 12u);
    EXPECT_TRUE(j["tags"].is_array());

    PolicyObject big = Obj("x", {}, UINT64_MAX, UINT64_MAX);
    EXPECT_EQ(nlohmann::json(big).dump(),
              R"({"object":"x","operations":[],"timestamp":18446744073709551615,)"
              R"("valid_period":18446744073709551615})");
}

TEST(RecordJson, InvalidUtf8NeverThrows) {
    ModeData m;
    m.object = std::string("bad\xff\xfe", 5);
    EXPECT_NO_THROW(ToJsonText(m));
}
