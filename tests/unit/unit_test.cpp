// The configuration file library, the records and running programs: the rows of
// tests/data/cases/unit.tsv; atomic writes.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "acjson.h"
#include "configfile-helper.h"
#include "harness.h"
#include "run-program.h"
#include "unique-fd.h"

using namespace sarvtest;

namespace {

template <typename T>
T Decoded(const std::string& text) { T record; ConfigFileHelper::LoadFromJson(text, record); return record; }

// The record's file name and the record, or the error (and " changed" when the refusal changed the record).
template <typename T>
std::string Loaded(const std::string& text) {
    T record;
    const int r = ConfigFileHelper::LoadFromJson(text, record);
    if (r != 0) return std::to_string(r) + (ToJsonText(record) == ToJsonText(T()) ? "" : " changed");
    return GetConfigFileName(record) + " " + ToJsonText(record);
}

std::vector<PolicyObject> Objects(const std::string& text) { return Decoded<PolicyData>(text).policies.at(0).objects; }
std::string First(const std::string& in) { return in.substr(0, in.find('|')); }
std::string Second(const std::string& in) { return in.substr(in.find('|') + 1); }

// RunProgram keeping 16 bytes, from a caller that holds an inheritable descriptor and blocks and
// ignores signals: "EXIT:OUTPUT[ truncated]", or "error ERRNO" when it did not start.
std::string Ran(const std::string& in) {
    const UniqueFd inheritable(open("/dev/null", O_RDONLY));
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old);
    signal(SIGINT, SIG_IGN);
    const ProgramResult r = RunProgram(Split(in, '|'), ProgramOptions::Capturing(16));
    signal(SIGINT, SIG_DFL);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!r.started) return "error " + std::to_string(r.error);
    return std::to_string(r.ExitCode()) + ":" + r.output + (r.truncated ? " truncated" : "");
}

// What each kind of row asks of its input ("A|B": two inputs).
const std::map<std::string, std::function<std::string(const std::string&)>> kQuestions = {
    {"mode", Loaded<ModeData>}, {"entity", Loaded<EntityInfoData>}, {"policy", Loaded<PolicyData>},
    {"mode-named", [](auto in) { return ToJsonText(ModeData{in}); }},
    {"name", EncodeConfigName}, {"veltrin", VeltrinApplicationIdFromCgroup},
    {"type", [](auto in) { return std::vector<std::string>{"unknown", "mode", "entity", "policy"}.at(ParseConfigType(in)); }},
    {"pattern", [](auto in) {
         return !is_sarvregex(in) ? "plain" : is_sarvregex_costly(in) ? "costly" : is_sarvregex_invalid(in) ? "usable" : "broken";
     }},
    {"run", Ran},
    {"valid-entity", [](auto in) { return std::to_string(Decoded<EntityInfoData>(in).IsValid()); }},
    {"valid-policy", [](auto in) { return std::to_string(Decoded<PolicyData>(in).IsValid()); }},
    {"same-list", [](auto in) { return std::to_string(CompareVector(Split(First(in), ','), Split(Second(in), ','))); }},
    {"same-objects", [](auto in) { return std::to_string(CompareVector(Objects(First(in)), Objects(Second(in)))); }},
    {"merge-objects", [](auto in) { auto into = Objects(First(in)); MergeVector(into, Objects(Second(in))); return nlohmann::json(into).dump(); }},
    {"every-cut", [](auto in) {  // how many of the document's cuts are refused
         size_t refused = 0;
         for (size_t n = 0; n < in.size(); ++n) refused += Loaded<PolicyData>(in.substr(0, n)) == "-22";
         return std::to_string(refused) + " of " + std::to_string(in.size());
     }},
};

TEST(Unit, EveryRowOfTheTable) {
    const std::string nested = "{\"object\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    const std::map<std::string, std::string> vars = {{"open", std::string(200000, '[')}, {"nested", nested}, {"a2000", std::string(2000, 'a')}};
    for (const Row& row : Table("unit.tsv")) {
        SCOPED_TRACE(row.where + " " + row["case"]);
        EXPECT_EQ(kQuestions.at(row["kind"])(Fill(row["input"], vars)), row["output"]);
    }
}

// A file is replaced whole or not at all: a full disk leaves the old one and no temporary.
TEST(Unit, UpdateFileWritesWholeFilesOrNone) {
    namespace fs = std::filesystem;
    const std::string path = "/tmp/small/policy.d/dpkg.policy";
    fs::create_directory("/tmp/small");
    ASSERT_EQ(mount("small", "/tmp/small", "tmpfs", 0, "size=64k"), 0);
    PolicyData policy = Decoded<PolicyData>(R"({"policies":[{"subject":{"name":"dpkg"},"objects":[{"object":"o"}]}]})");
    const std::string written = ToJsonText(policy, 4) + "\n";
    ASSERT_EQ(ConfigFileHelper::UpdateFile(path, policy), 0);
    EXPECT_EQ(fs::status("/tmp/small/policy.d").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
    WriteFile("/tmp/small/filler", std::string(60 * 1024, 'x'));
    policy.policies[0].objects.resize(300, policy.policies[0].objects[0]);
    EXPECT_EQ(ConfigFileHelper::UpdateFile(path, policy), -ENOSPC);
    EXPECT_EQ(ReadFile(path), written);
    EXPECT_EQ(List("/tmp/small/policy.d"), std::vector<std::string>{path});
    EXPECT_EQ(ConfigFileHelper::DeleteFile(path), 0);
    EXPECT_EQ(ConfigFileHelper::DeleteFile(path), -ENOENT);
    EXPECT_EQ(ConfigFileHelper::UpdateFile("/proc/version/x/y.mode", policy), -ENOTDIR);
    umount("/tmp/small");
}

}  // namespace
