// The installer command, run as a program inside the sandbox with the audit
// stand-in preloaded. The test program has its own network and UTS
// namespaces (see main), so every audit record is known to the byte.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "acjson.h"
#include "audit-records.h"
#include "configfile-helper.h"

namespace fs = std::filesystem;

namespace {

const char kHostName[] = "sarv-configer-host";

const std::string kHelp =
    "administrator configer Usage: \n"
    "  -h, --help              Show this help message\n"
    "  add --entity [file]     Add Entity config file\n"
    "  add --mode [file]       Add Mode config file\n"
    "  add --policy [file]     Add policy config file\n"
    "  delete [file]           Delete policy config file\n";

struct Outcome {
    int status = -1;
    std::string out;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) names.insert(entry.path().filename().string());
    return names;
}

mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

ModeData Camera(const std::string& mode = "whitelist") {
    ModeData m;
    m.object = "camera";
    m.mode = mode;
    return m;
}

EntityInfoData Entity(const std::string& name, const std::string& type) {
    EntityInfoData e;
    e.name = name;
    e.type = type;
    e.subtype = "exe";
    e.attrs.exes = {"/usr/bin/" + name};
    return e;
}

PolicyData Policy(const std::string& subject) {
    PolicyData p;
    ACPolicy entry;
    entry.subject = subject;
    PolicyObject object;
    object.object = "camera";
    object.operations = {"read"};
    entry.objects = {object};
    p.policies = {entry};
    return p;
}

class Configer : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& entry : fs::directory_iterator(kEtcFolder)) fs::remove_all(entry.path());
        char pattern[] = "/tmp/configer-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        log_ = folder_ + "/audit.log";
        program_ = fs::canonical(SARV_CONFIGER).string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Runs the command with these arguments after its name, in the test's
    // folder, and collects what it prints.
    Outcome Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                mode_t mask = 022) {
        std::vector<std::string> all = {SARV_CONFIGER};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (pipe(out) != 0) return {};
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            if (chdir(folder_.c_str()) != 0) _exit(126);
            umask(mask);
            // A command that hangs fails the test instead of hanging it.
            alarm(30);
            setenv("LD_PRELOAD", SARV_AUDIT_PRELOAD, 1);
            setenv("SARV_AUDIT_LOG", log_.c_str(), 1);
            // A sanitizer build wants its runtime first; the stand-in only
            // replaces three audit calls, so the order does not matter here.
            std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
            setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
            for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        Outcome outcome;
        char buffer[4096];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof(buffer))) > 0) outcome.out.append(buffer, n);
        close(out[0]);
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
        return outcome;
    }

    std::vector<std::string> Audit() const { return audit_records::Lines(log_); }
    std::string AuditLine(const std::string& message, int result) const {
        return audit_records::Line(message, program_, kHostName, "", result);
    }

    template <typename T>
    std::string Source(const std::string& name, const T& record) {
        const std::string path = folder_ + "/" + name;
        WriteFile(path, ToJsonText(record, 4));
        return path;
    }

    std::string folder_;
    std::string log_;
    std::string program_;
};

TEST_F(Configer, HelpForHelpWordsAndEveryIncompleteCommand) {
    const std::string file = Source("camera.mode", Camera());
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-h"},
        {"--help"},
        {"--help", "add", "--mode", file},
        {"add", "--mode", file, "-h"},
        {"add", file},
        {"add", "--mode"},
        {"--mode", file},
        {"delete"},
        {"delete", file, file},
        {"add", "--mode", file, file},
        {"add", "delete", "--mode", file},
        {"add", "delete", file},
        {"frobnicate"},
        {"install", "--mode", file},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, 0) << shown;
        EXPECT_EQ(o.out, kHelp) << shown;
    }
    EXPECT_TRUE(Audit().empty());
    EXPECT_TRUE(Listing(kEtcFolder).empty());
}

// Each kind lands where the service would write the same record, below
// /etc/olm/sarv/ instead of /var/lib/olm/sarv/, whatever the source is called.
TEST_F(Configer, AddInstallsUnderTheRecordsOwnFileName) {
    struct Case {
        std::string option;
        std::string source;
        std::string expected;
        AcConfigType type;
    };
    const std::string longName(300, 'n');
    std::vector<Case> cases;
    auto add = [&](const std::string& option, const std::string& text, const std::string& relative, AcConfigType type) {
        const std::string source = folder_ + "/source-" + std::to_string(cases.size()) + ".json";
        WriteFile(source, text);
        cases.push_back({option, source, kEtcFolder + relative, type});
    };
    add("--mode", ToJsonText(Camera(), 4), GetConfigFileName(Camera()), ModeType);
    ModeData odd = Camera();
    odd.object = "../../etc/passwd x";
    add("--mode", ToJsonText(odd), GetConfigFileName(odd), ModeType);
    add("--entity", ToJsonText(Entity("browser", "subject")), GetConfigFileName(Entity("browser", "subject")),
        EntityType);
    add("--entity", ToJsonText(Entity(".hidden/obj", "object")), GetConfigFileName(Entity(".hidden/obj", "object")),
        EntityType);
    add("--entity", ToJsonText(Entity(longName, "object")), GetConfigFileName(Entity(longName, "object")),
        EntityType);
    add("--policy", ToJsonText(Policy("browser"), 2), GetConfigFileName(Policy("browser")), PolicyType);

    std::vector<std::string> expectedAudit;
    for (const auto& c : cases) {
        const Outcome o = Run({"add", c.option, c.source});
        EXPECT_EQ(o.status, 0) << c.source;
        EXPECT_EQ(o.out, "") << c.source;
        EXPECT_EQ(ReadFile(c.expected), ReadFile(c.source)) << c.expected;
        EXPECT_EQ(ParseConfigType(c.expected), c.type) << c.expected;
        EXPECT_EQ(fs::path(c.expected).parent_path().parent_path().string() + "/", kEtcFolder) << c.expected;
        EXPECT_EQ(Mode(c.expected), 0644u) << c.expected;
        expectedAudit.push_back(AuditLine("add sarv-ac-manager config file " + c.source, 1));
    }
    EXPECT_EQ(Audit(), expectedAudit);

    // Exactly the installed files, no left-over copies.
    EXPECT_EQ(Listing(kEtcModeFolder).size(), 2u);
    EXPECT_EQ(Listing(kEtcEntityFolder).size(), 3u);
    EXPECT_EQ(Listing(kEtcPolicyFolder).size(), 1u);
}

TEST_F(Configer, MissingFoldersAreMadeAgainstTheUmask) {
    const std::string file = Source("camera.mode", Camera());
    const Outcome o = Run({"add", "--mode", file}, {}, 077);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(Mode(kEtcModeFolder), 0755u);
    EXPECT_EQ(Mode(kEtcFolder + GetConfigFileName(Camera())), 0600u) << "a new file follows the umask";
}

TEST_F(Configer, WordsMayComeInAnyOrderAndTheLastChoiceWins) {
    const std::string file = Source("camera.mode", Camera());
    const std::string installed = kEtcFolder + GetConfigFileName(Camera());

    EXPECT_EQ(Run({"--mode", "add", file}).status, 0);
    EXPECT_TRUE(fs::exists(installed));
    fs::remove(installed);

    // The file is always the last word, whatever else it reads like; these
    // files lie in the command's working folder.
    WriteFile(folder_ + "/add", ToJsonText(Camera()));
    Outcome o = Run({"delete", "--mode", "add"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_TRUE(fs::exists(installed));
    fs::remove(installed);

    // Only the mode kind accepts this file.
    WriteFile(folder_ + "/--mode", ToJsonText(Camera()));
    o = Run({"--entity", "add", "--mode"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(ReadFile(installed), ToJsonText(Camera()));

    // Three words with the last choice "delete": the file is "delete".
    o = Run({"add", "delete"});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, "Not /etc/olm/sarv/ folder.\n");
}

TEST_F(Configer, ExistingFileIsReplacedNotAppended) {
    ModeData first = Camera("whitelist");
    const std::string file = Source("camera.mode", first);
    ASSERT_EQ(Run({"add", "--mode", file}).status, 0);
    const std::string installed = kEtcFolder + GetConfigFileName(first);

    const std::string shorter = ToJsonText(Camera("read"));
    WriteFile(file, shorter);
    ASSERT_EQ(Run({"add", "--mode", file}).status, 0);
    EXPECT_EQ(ReadFile(installed), shorter);
    EXPECT_EQ(Listing(kEtcModeFolder), std::set<std::string>{"camera.mode"});
}

TEST_F(Configer, UnparsableOrInvalidFilesAreRefusedAndAudited) {
    struct Case {
        std::string option;
        std::string name;  // in the test's folder, or an absolute path
        std::string text;  // empty: no such file; "<fifo>": a FIFO without a writer
        bool parses;
    };
    ModeData noObject = Camera();
    noObject.object = "";
    ModeData noMode = Camera();
    noMode.mode = "";
    const std::vector<Case> cases = {
        {"--mode", "missing.mode", "", false},
        {"--mode", "garbage.mode", "{not json", false},
        {"--mode", "array.mode", "[1,2]", false},
        {"--mode", "no-object.mode", ToJsonText(noObject), true},
        {"--mode", "no-mode.mode", ToJsonText(noMode), true},
        {"--entity", "bad-type.object", ToJsonText(Entity("x", "thing")), true},
        {"--policy", "mode-as-policy.policy", ToJsonText(Camera()), true},
        {"--mode", "fifo.mode", "<fifo>", false},
        {"--mode", "/dev/zero", "", false},
    };
    std::vector<std::string> expectedAudit;
    for (const auto& c : cases) {
        const std::string path = c.name[0] == '/' ? c.name : folder_ + "/" + c.name;
        if (c.text == "<fifo>") ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        else if (!c.text.empty()) WriteFile(path, c.text);
        int code = -22;
        std::string first = "set_config_file failed: invald json " + path + "!";
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            first = "set_config_file failed: not a regular file " + path + "!";
        } else if (!c.parses) {
            ModeData probe;
            code = ConfigFileHelper::LoadFromFile(path, probe);
            ASSERT_NE(code, 0);
            first = "set_config_file failed: invald file " + path + "!";
        }
        const Outcome o = Run({"add", c.option, path});
        EXPECT_EQ(o.status, code & 0xff) << c.name;
        EXPECT_EQ(o.out, first + "set_config_file failed: res = " + std::to_string(code) + "\n") << c.name;
        expectedAudit.push_back(AuditLine("add sarv-ac-manager config file " + path, 0));
    }
    EXPECT_EQ(Audit(), expectedAudit);
    EXPECT_TRUE(Listing(kEtcFolder).empty());
}

TEST_F(Configer, DeleteAlwaysExitsWith255) {
    const std::string file = Source("camera.mode", Camera());
    ASSERT_EQ(Run({"add", "--mode", file}).status, 0);
    const std::string installed = kEtcFolder + GetConfigFileName(Camera());
    std::vector<std::string> expectedAudit = {AuditLine("add sarv-ac-manager config file " + file, 1)};

    // Outside the folder: refused, file kept, no record.
    Outcome o = Run({"delete", file});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, "Not /etc/olm/sarv/ folder.\n");
    EXPECT_TRUE(fs::exists(file));

    o = Run({"delete", installed});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(installed));
    expectedAudit.push_back(AuditLine("delete sarv-ac-manager config file " + installed, 1));

    o = Run({"delete", installed});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, "remove failed No such file or directory\n");
    expectedAudit.push_back(AuditLine("delete sarv-ac-manager config file " + installed, 0));

    // The folder text may stand anywhere in a path whose folder is the
    // real one.
    const std::string plain = "/." + kEtcFolder + "mode.d/x.mode";
    WriteFile(kEtcFolder + "mode.d/x.mode", "x");
    o = Run({"delete", plain});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(kEtcFolder + "mode.d/x.mode"));
    expectedAudit.push_back(AuditLine("delete sarv-ac-manager config file " + plain, 1));

    // Paths that hold the folder text but lead elsewhere are refused like
    // any other outside path.
    const std::string victim = folder_ + "/victim";
    WriteFile(victim, "v");
    fs::create_directory_symlink(folder_, kEtcFolder + "link.d");
    fs::create_directories(folder_ + "/etc/olm/sarv/mode.d");
    WriteFile(folder_ + "/etc/olm/sarv/mode.d/x.mode", "x");
    for (const std::string& path : {folder_ + "/etc/olm/sarv/mode.d/x.mode", kEtcFolder + "../../.." + victim,
                                    kEtcFolder + "mode.d/../../../.." + victim, kEtcFolder + "link.d/victim"}) {
        o = Run({"delete", path});
        EXPECT_EQ(o.status, 255) << path;
        EXPECT_EQ(o.out, "Not /etc/olm/sarv/ folder.\n") << path;
    }
    EXPECT_TRUE(fs::exists(victim));
    EXPECT_TRUE(fs::exists(folder_ + "/etc/olm/sarv/mode.d/x.mode"));

    EXPECT_EQ(Audit(), expectedAudit);
}

// A full disk while the copy is written: the previous file stays as it was
// and no partial copy is left behind.
TEST_F(Configer, FullDiskKeepsThePreviousFile) {
    ASSERT_EQ(mount("configer-test", kEtcFolder.c_str(), "tmpfs", 0, "size=64k,mode=0755"), 0) << strerror(errno);
    struct Unmount {
        ~Unmount() { umount2(kEtcFolder.c_str(), MNT_DETACH); }
    } unmount;

    const std::string file = Source("camera.mode", Camera());
    ASSERT_EQ(Run({"add", "--mode", file}).status, 0);
    const std::string installed = kEtcFolder + GetConfigFileName(Camera());
    const std::string previous = ReadFile(installed);

    // The same record padded far beyond the space left.
    WriteFile(file, ToJsonText(Camera("read")) + std::string(512 * 1024, ' '));
    const Outcome o = Run({"add", "--mode", file});
    EXPECT_EQ(o.status, (-ENOSPC) & 0xff);
    EXPECT_EQ(o.out, "set_config_file failed: res = -28\n");
    EXPECT_EQ(ReadFile(installed), previous);
    EXPECT_EQ(Listing(kEtcModeFolder), std::set<std::string>{"camera.mode"});
    EXPECT_EQ(Audit(), (std::vector<std::string>{AuditLine("add sarv-ac-manager config file " + file, 1),
                                                 AuditLine("add sarv-ac-manager config file " + file, 0)}));
}

// An install killed while it writes (here by the file size limit) leaves
// its copy under the prefix the service's start-up sweeps away.
TEST_F(Configer, AKilledInstallLeavesOnlyATemporaryOfTheServicesPrefix) {
    const std::string file = folder_ + "/camera.mode";
    WriteFile(file, ToJsonText(Camera()) + std::string(4096, ' '));
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = {100, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Outcome o = Run({"add", "--mode", file});
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(o.status, -1) << "killed by SIGXFSZ";
    const std::set<std::string> left = Listing(kEtcModeFolder);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.begin()->rfind(kTemporaryFilePrefix, 0), 0u) << *left.begin();
}

TEST_F(Configer, UnwritableDestinationIsReportedWithItsErrno) {
    const std::string file = Source("camera.mode", Camera());

    // The kind's folder is a plain file.
    WriteFile(kEtcModeFolder, "");
    Outcome o = Run({"add", "--mode", file});
    EXPECT_EQ(o.status, (-ENOTDIR) & 0xff);
    EXPECT_EQ(o.out, "set_config_file failed: res = -20\n");
    fs::remove(kEtcModeFolder);

    // The destination is a folder that is not empty.
    const std::string installed = kEtcFolder + GetConfigFileName(Camera());
    fs::create_directories(installed);
    WriteFile(installed + "/keep", "k");
    o = Run({"add", "--mode", file});
    EXPECT_EQ(o.status, (-EISDIR) & 0xff);
    EXPECT_EQ(o.out, "set_config_file failed: res = -21\n");
    EXPECT_EQ(ReadFile(installed + "/keep"), "k");
    EXPECT_EQ(Listing(kEtcModeFolder), std::set<std::string>{"camera.mode"}) << "no copy left behind";

    EXPECT_EQ(Audit().size(), 2u);
}

TEST_F(Configer, FileNamesWithControlCharactersKeepTheRecordWhole) {
    const std::string file = Source("cam\nres=1\ttype=0.mode", Camera());
    const Outcome o = Run({"add", "--mode", file});
    EXPECT_EQ(o.status, 0);
    const auto lines = Audit();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], AuditLine("add sarv-ac-manager config file " + audit_records::Hex(file), 1));
}

TEST_F(Configer, WorksWithoutAnAuditSystem) {
    const std::string file = Source("camera.mode", Camera());
    const Outcome o = Run({"add", "--mode", file}, {"SARV_AUDIT_OPEN_FAIL=1"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(fs::exists(kEtcFolder + GetConfigFileName(Camera())));
    EXPECT_TRUE(Audit().empty());
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The command's records name the host and its interfaces: give it a
    // fixed name and no network interfaces but loopback.
    if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0 || sethostname(kHostName, strlen(kHostName)) != 0) {
        perror("unshare");
        return 1;
    }
    return RUN_ALL_TESTS();
}
