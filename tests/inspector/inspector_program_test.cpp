// The installed program itself: sarv-ac-manager-tools copied to its trusted
// path inside the sandbox and used through its window (a preloaded driver
// clicks and reads it), against sarvd with the manager plug-in on a private
// bus.
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bus-test-support.h"
#include "inspector-test-env.h"

#ifndef SARV_INSPECTOR_BIN
#error "SARV_INSPECTOR_BIN must name the built program"
#endif
#ifndef SARV_INSPECTOR_DRIVER
#error "SARV_INSPECTOR_DRIVER must name the driver"
#endif

namespace fs = std::filesystem;
using namespace insptest;
using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

using Lines = std::vector<std::vector<std::string>>;

// Sanitizer runtimes must stay first in line (AddressSanitizer's at the
// very front) when the driver is preloaded into an instrumented program.
std::string PreloadList() {
    std::string asan, ubsan;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        const std::string path = line.substr(slash);
        const std::string name = fs::path(path).filename();
        if (name.rfind("libasan.so", 0) == 0) asan = path + ":";
        if (name.rfind("libubsan.so", 0) == 0) ubsan = path + ":";
    }
    return asan + ubsan + SARV_INSPECTOR_DRIVER;
}

struct ProgramRun {
    int status = -1;  // exit status, -1 when it did not exit normally
    Lines report;

    std::vector<std::string> Values(const std::string& key) const {
        std::vector<std::string> values;
        for (const auto& fields : report)
            if (!fields.empty() && fields[0] == key) values.push_back(fields.size() > 1 ? fields[1] : "");
        return values;
    }
    Lines Boxes() const {
        Lines boxes;
        for (const auto& fields : report)
            if (!fields.empty() && fields[0] == "box") boxes.push_back(fields);
        return boxes;
    }
};

// Runs the program at `program` with the driver and `script`, as `uid`.
ProgramRun RunInspector(const std::string& program, const std::string& script, uid_t uid = 0) {
    static int count = 0;
    const std::string base = "/tmp/inspector-run-" + std::to_string(++count);
    const std::string script_file = base + ".script", report_file = base + ".report";
    std::ofstream(script_file) << script;
    fs::remove(report_file);

    ProgramRun run;
    const pid_t pid = fork();
    if (pid < 0) return run;
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("LD_PRELOAD", PreloadList().c_str(), 1);
        setenv("SARV_INSPECTOR_SCRIPT", script_file.c_str(), 1);
        setenv("SARV_INSPECTOR_REPORT", report_file.c_str(), 1);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(20000);
    }
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    std::ifstream in(report_file);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        run.report.push_back(fields);
    }
    return run;
}

const char kNewMicrophoneMode[] = R"({"mode":"whitelist","object":"microphone","version":"1.0"})";
const std::string kMicrophoneModeFile = kVarLibFolder + "mode.d/microphone.mode";

std::string SaveNewModeScript() {
    return std::string("report\nclick-tree New Mode\ntype ") + kNewMicrophoneMode +
           "\npress pushButton_refresh\nreport\nquit\n";
}

class InstalledInspector : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fakes_ = new FakeCommands({"systemctl", "killall"});
        bus_ = new PrivateBus;
        InstallExampleAdapter();
    }
    static void TearDownTestSuite() {
        delete bus_;
        delete fakes_;
    }

    void SetUp() override {
        ASSERT_TRUE(bus_->ok());
        ClearConfigTrees();
        WriteRecord(kUsrShareFolder, ObjectRecord("camera", "file", {"allow", "deny"}));
        WriteRecord(kUsrShareFolder, ObjectRecord("microphone", "file", {"allow", "deny"}));
        WriteRecord(kUsrShareFolder, SubjectRecord("/usr/bin/arecord"));
        WriteRecord(kUsrShareFolder, ModeRecord("microphone", "blacklist"));
        WriteRecord(kUsrShareFolder, PolicyRecord("/usr/bin/arecord", {{"microphone", "allow"}}));
        for (const char* folder : {"entity.d", "mode.d", "policy.d"})
            fs::create_directories(kVarLibFolder + folder);
        ASSERT_TRUE(InstallAtTrustedPath(SARV_INSPECTOR_BIN));
    }
    void TearDown() override { service_.Stop(); }

    static FakeCommands* fakes_;
    static PrivateBus* bus_;
    ServiceProcess service_;
};

FakeCommands* InstalledInspector::fakes_ = nullptr;
PrivateBus* InstalledInspector::bus_ = nullptr;

TEST_F(InstalledInspector, ChangesMadeInTheWindowAreTakenByTheService) {
    ASSERT_TRUE(service_.Start());
    const ProgramRun run = RunInspector(kTrustedInspectorPath, SaveNewModeScript());
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.Values("done"), ::testing::SizeIs(1));
    EXPECT_THAT(run.Values("failed"), IsEmpty());
    EXPECT_THAT(run.Boxes(), IsEmpty());
    ASSERT_THAT(run.Values("objects"), ::testing::SizeIs(2));
    EXPECT_EQ(run.Values("objects")[0], "camera,microphone");
    EXPECT_THAT(run.Values("tree"), Contains(kMicrophoneModeFile)) << "the tree is rebuilt after the save";

    ASSERT_TRUE(fs::exists(kMicrophoneModeFile));
    BusClient client;
    const BusClient::Reply mode = client.CallString("GetMode", "microphone");
    ASSERT_TRUE(mode.ok);
    EXPECT_EQ(mode.text, kNewMicrophoneMode);
}

TEST_F(InstalledInspector, FromAnotherPathTheSameProgramIsRefused) {
    ASSERT_TRUE(service_.Start());
    const ProgramRun run = RunInspector(SARV_INSPECTOR_BIN, SaveNewModeScript());
    EXPECT_EQ(run.status, 0);
    const Lines boxes = run.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    ASSERT_EQ(boxes[0].size(), 3u);
    EXPECT_EQ(boxes[0][1], "SetMode");
    EXPECT_THAT(boxes[0][2], StartsWith("org.freedesktop.DBus.Error.AccessDenied:process " +
                                        std::string(SARV_INSPECTOR_BIN) + "("));
    EXPECT_FALSE(fs::exists(kMicrophoneModeFile));
}

TEST_F(InstalledInspector, AUserWhoIsNotRootIsToldThatChangesNeedRoot) {
    ASSERT_TRUE(service_.Start());
    const uid_t nobody = 65534;
    const ProgramRun run = RunInspector(SARV_INSPECTOR_BIN, SaveNewModeScript(), nobody);
    const Lines boxes = run.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    ASSERT_EQ(boxes[0].size(), 3u);
    EXPECT_THAT(boxes[0][2], StartsWith("Changes to the access-control configuration need root."));
    EXPECT_THAT(boxes[0][2], ::testing::HasSubstr("pkexec /usr/bin/sarv-ac-manager-tools"));
}

TEST_F(InstalledInspector, OpensWithoutTheService) {
    const ProgramRun run = RunInspector(kTrustedInspectorPath, "report\nquit\n");
    EXPECT_EQ(run.status, 0);
    ASSERT_THAT(run.Values("objects"), ::testing::SizeIs(1));
    EXPECT_EQ(run.Values("objects")[0], "");
    EXPECT_THAT(run.Values("tree"), Contains(kUsrShareFolder + "entity.d/camera.object"));
    EXPECT_THAT(run.Values("tree"), Contains("New Policy"));
    EXPECT_THAT(run.Boxes(), IsEmpty());
}

}  // namespace
