// The running service as the tests of the changing and asking methods see
// it: a private system bus, the service loop on a thread of its own, two
// adapters (the example adapter and a test adapter that can be told to
// fail), a fake tree for the kernel's security-label files, the audit
// stand-in and a syslog capture. Only inside the test sandbox.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include "acjson.h"
#include "bus-test-support.h"
#include "config-manager.h"
#include "syslog-capture.h"

// Where the security-label files of the fake kernel module live.
inline const std::string kFakeProcRoot = "/tmp/fake-proc";
inline const std::string kAuditLog = "/tmp/audit.log";
inline const std::string kAdapterFolder = kUsrShareFolder + "acadapter.d/";
inline const std::string kExampleAdapterOut = "/tmp/example-adapter/";
inline const std::string kTestAdapterLog = "/tmp/test-adapter.log";
inline const std::string kTestAdapterFail = "/tmp/test-adapter.fail";
// Objects served by the example adapter, and by the test adapter.
inline const std::string kExampleObjects = "camera,mic,file";
inline const std::string kTestObjects = "broken,flaky,absent";

struct Signal {
    std::string member;
    std::string first;
    std::string second;
    bool operator==(const Signal& o) const { return member == o.member && first == o.first && second == o.second; }
};
std::ostream& operator<<(std::ostream& out, const Signal& s);

// Collects ModeChanged, EntityChanged and PolicyChanged on a connection of
// its own.
class SignalRecorder {
public:
    SignalRecorder();
    ~SignalRecorder();
    // Every signal the service sent before it answered a ping sent now, and
    // not returned before.
    std::vector<Signal> Take();

private:
    static int OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*);
    sd_bus* bus_ = nullptr;
    std::vector<Signal> received_;
};

struct CallResult {
    bool ok = false;
    std::string error_name;
    std::string error_message;
    std::vector<std::string> list;
    int number = 0;
};

CallResult CallCanAuthorize(sd_bus* bus, int pid, const std::string& object);
CallResult CallCheckAuthorization(sd_bus* bus, const std::string& exe, const std::string& object,
                                  const std::vector<std::string>& operations);

// A run of tests/mutations/mutation-client.
struct ClientRun {
    pid_t pid = 0;
    bool ok = false;
    std::string error_name;
    std::string error_message;
};
// Runs the client binary found at `exe` as `command` (the client's path
// possibly behind a wrapper such as "unshare -m"), after writing `label` as
// its security label when there is one.
ClientRun RunClient(const std::vector<std::string>& command, const std::string& member, const std::string& arg,
                    const std::optional<std::string>& label);
// The built client program.
std::string ClientBinary();
// Copies the client program to `path` (mode 0755).
void InstallClient(const std::string& path);

// The security label of `pid` in the fake tree; nullopt removes it.
void SetLabel(pid_t pid, const std::optional<std::string>& bytes);

// Audit records written since the last ClearAudit, one line each.
std::vector<std::string> AuditLines();
void ClearAudit();
// The line of a record about this test process (comm = its argv[0]).
std::string OwnAuditLine(const std::string& message, int result);
// The same for another program, named `comm`.
std::string AuditLineFor(const std::string& message, const std::string& comm, int result);

// Test adapter: pushes recorded since the last ClearPushes, and failures.
std::vector<std::string> TestAdapterPushes();
void ClearPushes();
void SetAdapterFailure(const std::string& object, int code);
void ClearAdapterFailures();
// What the example adapter last published for `object` ("" when nothing).
std::string ExamplePublished(const std::string& object);

// The service with its bus and adapters, shared by the tests of one program.
class ServiceTest : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    // Empties the record folders of the three trees and the cache.
    static void ResetTrees();
    template <typename T>
    static void Put(const std::string& root, const T& record) {
        ASSERT_EQ(ConfigFileHelper::UpdateFile(root + GetConfigFileName(record), record), 0);
    }
    // Loads the trees into the cache as start-up does.
    static void Load();

    static ModeData Mode(const std::string& object, const std::string& mode);
    static EntityInfoData Entity(const std::string& name, const std::string& type, const std::string& subtype,
                                 std::vector<std::string> ops = {});
    static PolicyData Policy(const std::string& subject,
                             std::vector<std::pair<std::string, std::vector<std::string>>> objects);

    // Calls from this test process, which carries the label "nimbra_app".
    BusClient::Reply Call(const std::string& member, const std::string& arg) {
        return client_->CallString(member, arg);
    }
    sd_bus* bus() { return client_->bus(); }

    static std::unique_ptr<PrivateBus> private_bus_;
    static std::unique_ptr<FakeCommands> fakes_;
    static std::unique_ptr<ServiceRunner> service_;
    static std::unique_ptr<SyslogCapture> syslog_;
    std::unique_ptr<BusClient> client_;
    std::unique_ptr<SignalRecorder> signals_;
};
