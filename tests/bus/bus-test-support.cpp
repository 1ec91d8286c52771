#include "bus-test-support.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ac-dbus-service.h"
#include "acconstants.h"

#ifndef SARV_PRIVATE_BUS_CONF
#error "SARV_PRIVATE_BUS_CONF must name the private bus configuration"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

void CopyError(const sd_bus_error& error, BusClient::Reply& reply) {
    reply.error_name = error.name ? error.name : "";
    reply.error_message = error.message ? error.message : "";
}

void ReadResult(sd_bus_message* m, BusClient::Reply& reply) {
    const char* signature = sd_bus_message_get_signature(m, 1);
    std::string sig = signature ? signature : "";
    if (sig == "s") {
        const char* text = nullptr;
        if (sd_bus_message_read(m, "s", &text) > 0) reply.text = text ? text : "";
    } else if (sig == "i") {
        sd_bus_message_read(m, "i", &reply.number);
    } else if (sig == "as") {
        if (sd_bus_message_enter_container(m, 'a', "s") > 0) {
            const char* item = nullptr;
            while (sd_bus_message_read(m, "s", &item) > 0) reply.list.push_back(item ? item : "");
            sd_bus_message_exit_container(m);
        }
    }
}

}  // namespace

// ---- PrivateBus -------------------------------------------------------------------------

PrivateBus::PrivateBus(const std::string& config) {
    const std::string configArg = "--config-file=" + (config.empty() ? std::string(SARV_PRIVATE_BUS_CONF) : config);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (pid == 0) {
        // The address goes to descriptor 3, which must survive the exec.
        if (dup2(fds[1], 3) < 0) _exit(127);
        execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile", "--print-address=3",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    close(fds[1]);
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    auto end = line.find('\n');
    if (end == std::string::npos) return;
    address_ = line.substr(0, end);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

// ---- FakeCommands -------------------------------------------------------------------------

FakeCommands::FakeCommands(const std::vector<std::string>& names) {
    char dir[] = "/tmp/fake-bin.XXXXXX";
    if (!mkdtemp(dir)) return;
    dir_ = dir;
    for (const auto& name : names) {
        const std::string script = dir_ + "/" + name;
        WriteTextFile(script, "#!/bin/sh\necho \"$*\" >> '" + dir_ + "/" + name + ".log'\nexit 0\n");
        chmod(script.c_str(), 0755);
    }
    const char* path = getenv("PATH");
    std::string newPath = dir_ + ":" + (path ? path : "/usr/bin:/bin");
    setenv("PATH", newPath.c_str(), 1);
}

std::vector<std::string> FakeCommands::Runs(const std::string& name) const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ + "/" + name + ".log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void FakeCommands::Clear(const std::string& name) const { unlink((dir_ + "/" + name + ".log").c_str()); }

// ---- ServiceRunner ------------------------------------------------------------------------

ServiceRunner::~ServiceRunner() {
    if (thread_.joinable()) Stop();
}

bool ServiceRunner::Start() {
    finished_ = false;
    thread_ = std::thread([this] {
        result_ = start_ac_dbus();
        finished_ = true;
    });
    BusClient probe;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        if (finished_) return false;
        if (probe.ok() && probe.HasOwner(kSarvACManagerObject)) return true;
        usleep(10000);
    }
    return false;
}

int ServiceRunner::Stop() {
    stop_ac_dbus();
    if (thread_.joinable()) thread_.join();
    return result_;
}

// ---- BusClient ----------------------------------------------------------------------------

BusClient::BusClient() {
    if (sd_bus_open_system(&bus_) < 0) bus_ = nullptr;
}

BusClient::~BusClient() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

BusClient::Reply BusClient::CallString(const std::string& member, const std::string& arg) {
    Reply reply;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus_, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                               kSarvAcManagerInterface.c_str(), member.c_str(), &error, &raw, "s", arg.c_str());
    MessagePtr m(raw);
    reply.ok = r >= 0;
    if (reply.ok)
        ReadResult(raw, reply);
    else
        CopyError(error, reply);
    sd_bus_error_free(&error);
    return reply;
}

BusClient::Reply BusClient::CallList(const std::string& member) {
    Reply reply;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus_, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                               kSarvAcManagerInterface.c_str(), member.c_str(), &error, &raw, "");
    MessagePtr m(raw);
    reply.ok = r >= 0;
    if (reply.ok)
        ReadResult(raw, reply);
    else
        CopyError(error, reply);
    sd_bus_error_free(&error);
    return reply;
}

BusClient::Reply BusClient::GetProperty(const std::string& name, char type) {
    Reply reply;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    const char signature[2] = {type, 0};
    int r = sd_bus_get_property(bus_, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                                kSarvAcManagerInterface.c_str(), name.c_str(), &error, &raw, signature);
    MessagePtr m(raw);
    reply.ok = r >= 0;
    if (reply.ok) {
        if (type == 'i') {
            sd_bus_message_read(raw, "i", &reply.number);
        } else {
            const char* text = nullptr;
            if (sd_bus_message_read(raw, "s", &text) > 0) reply.text = text ? text : "";
        }
    } else {
        CopyError(error, reply);
    }
    sd_bus_error_free(&error);
    return reply;
}

bool BusClient::HasOwner(const std::string& name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error, &raw, "s", name.c_str());
    MessagePtr m(raw);
    sd_bus_error_free(&error);
    int has = 0;
    return r >= 0 && sd_bus_message_read(raw, "b", &has) > 0 && has;
}

namespace {

struct ReplyCount {
    uint64_t call = 0;
    uint64_t ping = 0;
    int replies = 0;
    bool ping_answered = false;
    BusClient::Reply first;
};

int CountFilter(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* state = static_cast<ReplyCount*>(userdata);
    uint64_t cookie = 0;
    if (sd_bus_message_get_reply_cookie(m, &cookie) < 0) return 0;
    if (cookie == state->ping) {
        state->ping_answered = true;
    } else if (cookie == state->call) {
        if (state->replies++ == 0) {
            state->first.ok = !sd_bus_message_is_method_error(m, nullptr);
            if (state->first.ok) {
                ReadResult(m, state->first);
            } else {
                const sd_bus_error* error = sd_bus_message_get_error(m);
                if (error) CopyError(*error, state->first);
            }
        }
    }
    return 0;
}

}  // namespace

int BusClient::CountReplies(const std::string& member, const std::function<int(sd_bus_message*)>& fill,
                            Reply* first) {
    ReplyCount state;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_filter(bus_, &slot, CountFilter, &state) < 0) return -1;

    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &raw, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                                           kSarvAcManagerInterface.c_str(), member.c_str());
    MessagePtr call(raw);
    if (r >= 0 && fill) r = fill(raw);
    if (r >= 0) r = sd_bus_send(bus_, raw, &state.call);
    sd_bus_message* rawPing = nullptr;
    if (r >= 0)
        r = sd_bus_message_new_method_call(bus_, &rawPing, kSarvACManagerObject.c_str(), kSarvACManagerPath.c_str(),
                                           "org.freedesktop.DBus.Peer", "Ping");
    MessagePtr ping(rawPing);
    if (r >= 0) r = sd_bus_send(bus_, rawPing, &state.ping);

    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (r >= 0 && !state.ping_answered && Clock::now() < deadline) {
        r = sd_bus_process(bus_, nullptr);
        if (r == 0) r = sd_bus_wait(bus_, 100000);
    }
    sd_bus_slot_unref(slot);
    if (!state.ping_answered) return -1;
    if (first) *first = state.first;
    return state.replies;
}

// ---- files --------------------------------------------------------------------------------

void WriteTextFile(const std::string& path, const std::string& text) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        mkdir(path.substr(0, pos).c_str(), 0755);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

namespace {
std::vector<std::string>* tree_listing = nullptr;
int AddToListing(const char* path, const struct stat*, int, struct FTW*) {
    tree_listing->push_back(path);
    return 0;
}
}  // namespace

std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> paths;
    tree_listing = &paths;
    nftw(root.c_str(), AddToListing, 16, FTW_PHYS);
    tree_listing = nullptr;
    std::sort(paths.begin(), paths.end());
    return paths;
}

// ---- records ------------------------------------------------------------------------------

EntityInfoData MakeEntity(const std::string& name, const std::string& type, const std::string& subtype,
                          const std::vector<std::string>& operations) {
    EntityInfoData e;
    e.name = name;
    e.type = type;
    e.subtype = subtype;
    e.available_operations = operations;
    if (subtype == kEntitySubtypeDBus) {
        e.attrs.dbus_type = "method_call";
        e.attrs.dbus_destination = "org.example." + name;
    }
    return e;
}

ModeData MakeMode(const std::string& object, const std::string& mode) {
    ModeData m;
    m.object = object;
    m.mode = mode;
    return m;
}

PolicyData MakePolicy(const std::string& subject,
                      const std::vector<std::pair<std::string, std::vector<std::string>>>& objects) {
    PolicyData p;
    ACPolicy entry;
    entry.subject = subject;
    for (const auto& [object, operations] : objects) {
        PolicyObject o;
        o.object = object;
        o.operations = operations;
        entry.objects.push_back(o);
    }
    p.policies.push_back(entry);
    return p;
}

std::string CopyAdapter(const std::string& library, const std::string& folder, const std::string& file) {
    const std::string target = folder + "/" + file;
    WriteTextFile(target, ReadTextFile(library));
    return target;
}
