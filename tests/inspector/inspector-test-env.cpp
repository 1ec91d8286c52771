#include "inspector-test-env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "acconstants.h"
#include "bus-test-support.h"

#ifndef SARVD_BIN
#error "SARVD_BIN must name the host daemon"
#endif
#ifndef SARV_MANAGER_PLUGIN
#error "SARV_MANAGER_PLUGIN must name the manager plug-in"
#endif
#ifndef SARV_EXAMPLE_ADAPTER
#error "SARV_EXAMPLE_ADAPTER must name the example adapter"
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace insptest {

namespace {

const char kAdapterFolder[] = "/usr/share/olm/sarv/acadapter.d";

std::string SelfExe() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool CopyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::error_code ec;
    fs::create_directories(fs::path(to).parent_path(), ec);
    const std::string tmp = to + ".inspector-test";
    fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
    chmod(tmp.c_str(), mode);
    fs::rename(tmp, to, ec);
    return !ec;
}

}  // namespace

bool InsideSandbox() {
    const char* flag = getenv("SARV_SANDBOX");
    if (!flag || std::string(flag) != "1") return false;
    // mountinfo: ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [TAGS] - FSTYPE ...
    std::ifstream in("/proc/self/mountinfo");
    bool usr_overlay = false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, point;
        fields >> id >> parent >> dev >> root >> point;
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string fstype;
        tail >> fstype;
        // The last mount on /usr is the one in effect.
        if (point == "/usr") usr_overlay = fstype == "overlay";
    }
    return usr_overlay;
}

bool InstallAtTrustedPath(const std::string& program) {
    if (!InsideSandbox()) return false;
    return CopyFile(program, kTrustedInspectorPath, 0755);
}

void RunFromTrustedPath(char** argv) {
    if (SelfExe() == kTrustedInspectorPath) return;
    if (!InsideSandbox()) {
        fprintf(stderr, "This test installs itself as %s and runs only inside tests/sandbox/sarv-sandbox.\n",
                kTrustedInspectorPath);
        exit(2);
    }
    if (!InstallAtTrustedPath(SelfExe())) {
        fprintf(stderr, "cannot install the test at %s\n", kTrustedInspectorPath);
        exit(2);
    }
    execv(kTrustedInspectorPath, argv);
    fprintf(stderr, "cannot run %s: %s\n", kTrustedInspectorPath, strerror(errno));
    exit(2);
}

void ClearConfigTrees() {
    for (const std::string& root : {kVarLibFolder, kEtcFolder, kUsrShareFolder}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root, ec)) {
            if (entry.path() == kAdapterFolder) continue;
            fs::remove_all(entry.path(), ec);
        }
    }
}

EntityInfoData ObjectRecord(const std::string& name, const std::string& subtype, std::vector<std::string> operations) {
    EntityInfoData e;
    e.name = name;
    e.type = kEntityTypeObject;
    e.subtype = subtype;
    e.available_operations = std::move(operations);
    if (subtype == kEntitySubtypeDBus) {
        e.attrs.dbus_type = "method_call";
        e.attrs.dbus_destination = name;
    }
    return e;
}

EntityInfoData SubjectRecord(const std::string& exe) {
    EntityInfoData e;
    e.name = exe;
    e.type = kEntityTypeSubject;
    e.subtype = kEntitySubtypeExe;
    return e;
}

ModeData ModeRecord(const std::string& object, const std::string& mode) {
    ModeData m;
    m.object = object;
    m.mode = mode;
    return m;
}

PolicyData PolicyRecord(const std::string& subject, const std::vector<std::pair<std::string, std::string>>& grants) {
    ACPolicy rule;
    rule.subject = subject;
    for (const auto& [object, operation] : grants) {
        PolicyObject o;
        o.object = object;
        o.operations = {operation};
        rule.objects.push_back(o);
    }
    PolicyData p;
    p.policies = {rule};
    return p;
}

void InstallExampleAdapter() {
    CopyFile(SARV_EXAMPLE_ADAPTER, std::string(kAdapterFolder) + "/libsarv-ac-example.so", 0644);
    setenv("SARV_AC_EXAMPLE_OBJECTS", "file", 1);
    setenv("SARV_AC_EXAMPLE_DIR", "/tmp/sarv-ac-example/", 1);
}

// ---- ServiceProcess ------------------------------------------------------------------

ServiceProcess::~ServiceProcess() { Stop(); }

bool ServiceProcess::Start() {
    if (pid_ > 0) return true;
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        execl(SARVD_BIN, "sarvd", SARV_MANAGER_PLUGIN, static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    BusClient probe;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
        if (probe.ok() && probe.HasOwner(kSarvACManagerObject)) return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        usleep(20000);
    }
    return false;
}

void ServiceProcess::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    // The name goes with the connection; wait until the bus has let it go so
    // that the next test sees the service either fully there or gone.
    BusClient probe;
    const auto name_deadline = Clock::now() + std::chrono::seconds(10);
    while (probe.ok() && probe.HasOwner(kSarvACManagerObject) && Clock::now() < name_deadline) usleep(10000);
}

// ---- CallRecorder --------------------------------------------------------------------

namespace {

const std::string kMarkerPrefix = "inspector-test-marker-";

sd_bus* OpenMonitor() {
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address) return nullptr;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address) < 0 || sd_bus_set_monitor(bus, 1) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus.Monitoring", "BecomeMonitor");
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "s");
    const std::string rule = "type='method_call',destination='" + kSarvACManagerObject + "'";
    if (r >= 0) r = sd_bus_message_append(m, "s", rule.c_str());
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_append(m, "u", 0u);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (r >= 0) r = sd_bus_call(bus, m, 0, &error, nullptr);
    sd_bus_error_free(&error);
    sd_bus_message_unref(m);
    if (r < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

}  // namespace

CallRecorder::CallRecorder() {
    sd_bus* bus = OpenMonitor();
    if (!bus) return;
    bus_ = bus;
    ok_ = true;
    thread_ = std::thread([this] { Run(); });
}

CallRecorder::~CallRecorder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_) sd_bus_flush_close_unref(static_cast<sd_bus*>(bus_));
}

void CallRecorder::Run() {
    auto* bus = static_cast<sd_bus*>(bus_);
    while (!stop_) {
        sd_bus_message* m = nullptr;
        const int r = sd_bus_process(bus, &m);
        if (r < 0) break;
        if (m) {
            uint8_t type = 0;
            sd_bus_message_get_type(m, &type);
            const char* member = sd_bus_message_get_member(m);
            if (type == SD_BUS_MESSAGE_METHOD_CALL && member) {
                Call call;
                call.member = member;
                char kind = 0;
                while (sd_bus_message_peek_type(m, &kind, nullptr) > 0 && kind == SD_BUS_TYPE_STRING) {
                    const char* text = nullptr;
                    if (sd_bus_message_read(m, "s", &text) <= 0) break;
                    call.args.push_back(text ? text : "");
                }
                std::lock_guard<std::mutex> lock(mutex_);
                calls_.push_back(std::move(call));
            }
            sd_bus_message_unref(m);
            continue;
        }
        if (r > 0) continue;
        sd_bus_wait(bus, 50000);
    }
}

std::vector<CallRecorder::Call> CallRecorder::Take() {
    std::vector<Call> taken;
    if (!ok_) return taken;
    const std::string marker = kMarkerPrefix + std::to_string(++marker_);
    {
        BusClient client;
        client.CallString("GetMode", marker);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t i = 0; i < calls_.size(); ++i) {
                const Call& c = calls_[i];
                if (c.member == "GetMode" && c.args.size() == 1 && c.args[0] == marker) {
                    for (size_t j = 0; j < i; ++j)
                        if (calls_[j].args.empty() || calls_[j].args[0].rfind(kMarkerPrefix, 0) != 0)
                            taken.push_back(calls_[j]);
                    calls_.erase(calls_.begin(), calls_.begin() + static_cast<long>(i) + 1);
                    return taken;
                }
            }
        }
        usleep(5000);
    }
    // The monitor fell behind or lost the bus: make that visible to the test.
    taken.push_back({"<bus monitor missed the marker call>", {}});
    return taken;
}

}  // namespace insptest
