#include "service-harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QHostInfo>

#include "ac-audit.h"
#include "adapter-manager.h"
#include "audit-records.h"

#ifndef SARV_EXAMPLE_ADAPTER
#error "SARV_EXAMPLE_ADAPTER must name the example adapter"
#endif
#ifndef SARV_TEST_ADAPTER
#error "SARV_TEST_ADAPTER must name the test adapter"
#endif
#ifndef SARV_MUTATION_CLIENT
#error "SARV_MUTATION_CLIENT must name the client program"
#endif

namespace fs = std::filesystem;

std::unique_ptr<PrivateBus> ServiceTest::private_bus_;
std::unique_ptr<FakeCommands> ServiceTest::fakes_;
std::unique_ptr<ServiceRunner> ServiceTest::service_;
std::unique_ptr<SyslogCapture> ServiceTest::syslog_;

namespace {

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

void WriteBytes(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void CopyFile(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    chmod(to.c_str(), 0755);
}

CallResult Finish(int r, sd_bus_message* reply, sd_bus_error& error) {
    CallResult result;
    result.ok = r >= 0;
    if (!result.ok) {
        result.error_name = error.name ? error.name : "";
        result.error_message = error.message ? error.message : "";
    } else {
        const char* signature = sd_bus_message_get_signature(reply, 1);
        const std::string sig = signature ? signature : "";
        if (sig == "i") {
            sd_bus_message_read(reply, "i", &result.number);
        } else if (sig == "as" && sd_bus_message_enter_container(reply, 'a', "s") > 0) {
            const char* item = nullptr;
            while (sd_bus_message_read(reply, "s", &item) > 0) result.list.push_back(item ? item : "");
            sd_bus_message_exit_container(reply);
        }
    }
    sd_bus_error_free(&error);
    return result;
}

// argv[0] of this process as it was invoked: what records name it by.
std::string OwnComm() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string first;
    std::getline(in, first, '\0');
    return first;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Signal& s) {
    return out << s.member << "(\"" << s.first << "\", \"" << s.second << "\")";
}

// ---- signals ----------------------------------------------------------------------

SignalRecorder::SignalRecorder() {
    if (sd_bus_open_system(&bus_) < 0) {
        bus_ = nullptr;
        return;
    }
    for (const char* member : {"ModeChanged", "EntityChanged", "PolicyChanged"})
        sd_bus_match_signal(bus_, nullptr, nullptr, kSarvACManagerPath.c_str(), kSarvAcManagerInterface.c_str(),
                            member, OnSignal, this);
}

SignalRecorder::~SignalRecorder() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

int SignalRecorder::OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SignalRecorder*>(userdata);
    const char* first = nullptr;
    const char* second = nullptr;
    if (sd_bus_message_read(m, "ss", &first, &second) < 0) return 0;
    self->received_.push_back({sd_bus_message_get_member(m), first ? first : "", second ? second : ""});
    return 0;
}

std::vector<Signal> SignalRecorder::Take() {
    if (!bus_) return {};
    // The service's signals reach this connection in the order it sent them,
    // so all that it sent before answering the ping are queued by then.
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    sd_bus_call_method(bus_, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(), "org.freedesktop.DBus.Peer",
                       "Ping", &error, &reply, "");
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    std::vector<Signal> taken;
    taken.swap(received_);
    return taken;
}

// ---- calls ------------------------------------------------------------------------

CallResult CallCanAuthorize(sd_bus* bus, int pid, const std::string& object) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                               kSarvAcManagerInterface.c_str(), "CanAuthorize", &error, &raw, "is", pid,
                               object.c_str());
    MessagePtr reply(raw);
    return Finish(r, raw, error);
}

CallResult CallCheckAuthorization(sd_bus* bus, const std::string& exe, const std::string& object,
                                  const std::vector<std::string>& operations) {
    sd_bus_message* rawCall = nullptr;
    sd_bus_message_new_method_call(bus, &rawCall, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                                   kSarvAcManagerInterface.c_str(), "CheckAuthorization");
    MessagePtr call(rawCall);
    sd_bus_message_append(rawCall, "ss", exe.c_str(), object.c_str());
    sd_bus_message_open_container(rawCall, 'a', "s");
    for (const auto& operation : operations) sd_bus_message_append_basic(rawCall, 's', operation.c_str());
    sd_bus_message_close_container(rawCall);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call(bus, rawCall, 0, &error, &raw);
    MessagePtr reply(raw);
    return Finish(r, raw, error);
}

// ---- the client program -----------------------------------------------------------------

std::string ClientBinary() { return SARV_MUTATION_CLIENT; }

void InstallClient(const std::string& path) { CopyFile(ClientBinary(), path); }

ClientRun RunClient(const std::vector<std::string>& command, const std::string& member, const std::string& arg,
                    const std::optional<std::string>& label) {
    ClientRun run;
    std::vector<std::string> args = command;
    args.push_back(member);
    args.push_back(arg);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int go[2], out[2];
    if (pipe2(go, O_CLOEXEC) != 0) return run;
    if (pipe2(out, O_CLOEXEC) != 0) return run;
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until the exec.
        char byte;
        while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        dup2(out[1], STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(go[0]);
    close(out[1]);
    run.pid = pid;
    // The label is in place before the client can call.
    SetLabel(pid, label);
    (void)!write(go[1], "x", 1);
    close(go[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    SetLabel(pid, std::nullopt);
    std::istringstream lines(text);
    std::string verdict;
    std::getline(lines, verdict);
    std::getline(lines, run.error_name);
    // The message may span lines (a label keeps its newline).
    std::string rest((std::istreambuf_iterator<char>(lines)), std::istreambuf_iterator<char>());
    if (!rest.empty() && rest.back() == '\n') rest.pop_back();
    run.error_message = rest;
    run.ok = verdict == "ok";
    return run;
}

// ---- labels, audit, adapters -------------------------------------------------------------

void SetLabel(pid_t pid, const std::optional<std::string>& bytes) {
    const std::string path = kFakeProcRoot + "/" + std::to_string(pid) + "/attr/usid";
    if (bytes)
        WriteBytes(path, *bytes);
    else
        unlink(path.c_str());
}

std::vector<std::string> AuditLines() { return audit_records::Lines(kAuditLog); }

void ClearAudit() { unlink(kAuditLog.c_str()); }

std::string AuditLineFor(const std::string& message, const std::string& comm, int result) {
    return audit_records::Line(message, comm, QHostInfo::localHostName().toStdString(), GetIp().toStdString(),
                               result);
}

std::string OwnAuditLine(const std::string& message, int result) { return AuditLineFor(message, OwnComm(), result); }

std::vector<std::string> TestAdapterPushes() { return ReadLines(kTestAdapterLog); }

void ClearPushes() {
    unlink(kTestAdapterLog.c_str());
    fs::remove_all(kExampleAdapterOut);
}

void SetAdapterFailure(const std::string& object, int code) {
    std::ofstream(kTestAdapterFail, std::ios::app) << object << " " << code << "\n";
}

void ClearAdapterFailures() { unlink(kTestAdapterFail.c_str()); }

std::string ExamplePublished(const std::string& object) {
    const std::string path = kExampleAdapterOut + object + ".json";
    if (!FileExists(path)) return "";
    return ReadTextFile(path);
}

// ---- the fixture ---------------------------------------------------------------------------

void ServiceTest::SetUpTestSuite() {
    ASSERT_NE(getenv("SARV_SANDBOX"), nullptr) << "run this test through tests/sandbox/sarv-sandbox";
    setenv("SARV_PROC_ATTR_ROOT", kFakeProcRoot.c_str(), 1);
    setenv("SARV_AUDIT_LOG", kAuditLog.c_str(), 1);
    setenv("SARV_AC_EXAMPLE_DIR", kExampleAdapterOut.c_str(), 1);
    setenv("SARV_AC_EXAMPLE_OBJECTS", kExampleObjects.c_str(), 1);
    setenv("SARV_TEST_ADAPTER_OBJECTS", kTestObjects.c_str(), 1);
    setenv("SARV_TEST_ADAPTER_LOG", kTestAdapterLog.c_str(), 1);
    setenv("SARV_TEST_ADAPTER_FAIL", kTestAdapterFail.c_str(), 1);
    // This process changes the configuration in most tests.
    SetLabel(getpid(), std::string("nimbra_app"));

    fakes_ = std::make_unique<FakeCommands>(std::vector<std::string>{"killall"});
    syslog_ = std::make_unique<SyslogCapture>();
    ASSERT_TRUE(syslog_->ok());
    private_bus_ = std::make_unique<PrivateBus>();
    ASSERT_TRUE(private_bus_->ok());

    CopyFile(SARV_EXAMPLE_ADAPTER, kAdapterFolder + "example-adapter.so");
    CopyFile(SARV_TEST_ADAPTER, kAdapterFolder + "test-adapter.so");
    ASSERT_EQ(AdapterManager::Instance()->LoadAdapters(kAdapterFolder), 0);
    ASSERT_NE(AdapterManager::Instance()->GetAdapter("camera"), nullptr);
    ASSERT_NE(AdapterManager::Instance()->GetAdapter("broken"), nullptr);

    ResetTrees();
    service_ = std::make_unique<ServiceRunner>();
    ASSERT_TRUE(service_->Start());
}

void ServiceTest::TearDownTestSuite() {
    if (service_) service_->Stop();
    service_.reset();
    private_bus_.reset();
    syslog_.reset();
    fakes_.reset();
}

void ServiceTest::SetUp() {
    ASSERT_TRUE(service_ && !service_->finished());
    ResetTrees();
    ClearAudit();
    ClearPushes();
    ClearAdapterFailures();
    client_ = std::make_unique<BusClient>();
    ASSERT_TRUE(client_->ok());
    signals_ = std::make_unique<SignalRecorder>();
    signals_->Take();
    syslog_->Clear();
}

void ServiceTest::ResetTrees() {
    for (const std::string& root : {kUsrShareFolder, kEtcFolder, kVarLibFolder}) {
        for (const std::string& folder : {kEntityFolderName, kModeFolderName, kPolicyFolderName}) {
            fs::remove_all(root + folder);
            fs::create_directories(root + folder);
        }
    }
    ConfigManager* cm = ConfigManager::Instance();
    std::unique_lock<std::shared_mutex> lock(cm->maps_lock);
    cm->modeMap.clear();
    cm->entityMap.clear();
    cm->policyMap.clear();
}

void ServiceTest::Load() {
    {
        ConfigManager* cm = ConfigManager::Instance();
        std::unique_lock<std::shared_mutex> lock(cm->maps_lock);
        cm->modeMap.clear();
        cm->entityMap.clear();
        cm->policyMap.clear();
    }
    ConfigManager::Instance()->InitCache();
}

ModeData ServiceTest::Mode(const std::string& object, const std::string& mode) {
    ModeData m;
    m.object = object;
    m.mode = mode;
    return m;
}

EntityInfoData ServiceTest::Entity(const std::string& name, const std::string& type, const std::string& subtype,
                                   std::vector<std::string> ops) {
    EntityInfoData e;
    e.name = name;
    e.type = type;
    e.subtype = subtype;
    e.available_operations = std::move(ops);
    return e;
}

PolicyData ServiceTest::Policy(const std::string& subject,
                               std::vector<std::pair<std::string, std::vector<std::string>>> objects) {
    PolicyData p;
    ACPolicy entry;
    entry.subject = subject;
    for (auto& [object, ops] : objects) entry.objects.push_back({object, std::move(ops), 0, 0});
    p.policies.push_back(std::move(entry));
    return p;
}
