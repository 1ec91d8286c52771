#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ac-dbus-service.h"
#include "adapter-manager.h"
#include "audit-records.h"
#include "config-manager.h"
#include "service.h"

namespace fs = std::filesystem;

namespace sarvtest {
namespace {

const char kService[] = "org.nimbra.sarv1", kPath[] = "/org/nimbra/sarv1/AccessControl",
           kInterface[] = "org.nimbra.sarv1.AccessControl", kPeer[] = "org.freedesktop.DBus.Peer";
const std::string kAdapterLog = "/tmp/test-adapter.log", kAdapterFail = "/tmp/test-adapter.fail",
                  kExampleOut = "/tmp/example-adapter/";

struct Unref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, Unref>;

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;)
        if (n > 0) text.append(buffer, static_cast<size_t>(n)); else if (errno != EINTR) break;
    close(fd);
    return text;
}

// Runs `argv` to its end (killed after `seconds`), its output read meanwhile.
Ran Capture(const std::vector<std::string>& argv, Child::Options options, int seconds) {
    Ran ran;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return ran;
    options.out_fd = out[1];
    Child child(argv, options);
    ran.pid = child.pid();
    close(out[1]);
    std::thread reader([&] { ran.out = ReadAll(out[0]); });
    ran.status = child.Wait(seconds);
    child.Kill();
    reader.join();
    return ran;
}

std::string ShortName(const std::string& name) {
    const std::string prefix = "org.freedesktop.DBus.Error.";
    return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
}

// Reads the next value of `m` into `reply`, by its type.
void ReadValue(sd_bus_message* m, Reply& reply) {
    char type = 0;
    const char *contents = nullptr, *text = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0) return;
    if (type == 's' && sd_bus_message_read_basic(m, 's', &text) > 0) reply.text = text;
    if (type == 'i' || type == 'u') sd_bus_message_read_basic(m, type, &reply.number);
    if ((type == 'v' || type == 'a') && sd_bus_message_enter_container(m, type, contents) > 0) {
        if (type == 'v') ReadValue(m, reply);
        while (type == 'a' && sd_bus_message_read_basic(m, 's', &text) > 0) reply.list.push_back(text);
        sd_bus_message_exit_container(m);
    }
}

Reply ToReply(sd_bus_message* m) {
    Reply reply;
    reply.ok = !sd_bus_message_is_method_error(m, nullptr);
    if (reply.ok) ReadValue(m, reply);
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        reply.error = ShortName(e->name ? e->name : "");
        reply.message = e->message ? e->message : "";
    }
    return reply;
}

Message NewCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const std::string& member, const Filler& fill) {
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, destination, path, interface, member.c_str()) < 0) return nullptr;
    Message owned(call);
    return fill && fill(call) < 0 ? nullptr : std::move(owned);
}

Reply Ask(sd_bus* bus, const char* destination, const char* path, const char* interface, const std::string& member,
          const Filler& fill = nullptr) {
    sd_bus_message* answer = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    Message call = NewCall(bus, destination, path, interface, member, fill);
    if (call) sd_bus_call(bus, call.get(), 0, &error, &answer);
    Message owned(answer);
    Reply reply = answer ? ToReply(answer) : Reply();
    if (!answer) reply.error = ShortName(error.name ? error.name : "no reply");
    if (!answer) reply.message = error.message ? error.message : "";
    sd_bus_error_free(&error);
    return reply;
}

std::string Decode(const std::string& raw) {  // a table cell
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i] == '\\' && i + 1 < raw.size() ? raw[++i] : 0;
        if (c == 'x' && i + 2 < raw.size()) {
            out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 0 ? raw[i] : c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        }
    }
    return out;
}

}  // namespace

// ---- files, processes ---------------------------------------------------------------

std::string Source(const std::string& relative) { return std::string(SARV_SOURCE_DIR) + "/" + relative; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes, mode_t mode) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    chmod(path.c_str(), mode);
}

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

std::vector<std::string> List(const std::string& root) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it); it.increment(ec))
        paths.push_back(it->path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::map<std::string, std::string> Snapshot(const std::vector<std::string>& roots) {
    std::map<std::string, std::string> files;
    for (const auto& root : roots)
        for (const auto& path : List(root)) files[path] = fs::is_directory(path) ? "<dir>" : ReadFile(path);
    return files;
}

std::string SelfExe() { return fs::read_symlink("/proc/self/exe").string(); }

std::string SelfComm() { return ReadFile("/proc/self/cmdline").c_str(); }

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    return getenv(name) && *getenv(name) ? std::strtoull(getenv(name), nullptr, 0) : fallback;
}

Child::Child(const std::vector<std::string>& argv, const Options& options) {
    // `go` lets the child exec once before_exec has run; `exec` closes at the exec.
    int go[2], exec[2];
    if (pipe2(go, O_CLOEXEC) != 0 || pipe2(exec, O_CLOEXEC) != 0) return;
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    char byte;
    if ((pid_ = fork()) == 0) {  // only async-signal-safe calls until the exec
        close(go[1]);
        // Ends with this process, so that a test that dies leaves no daemon holding its output open.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() == 1) _exit(125);
        while (read(go[0], &byte, 1) < 0 && errno == EINTR) continue;
        if (options.out_fd >= 0) dup2(options.out_fd, STDOUT_FILENO);
        if (options.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 || setuid(options.uid) != 0))
            _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(go[0]);
    close(exec[1]);
    if (pid_ > 0 && options.before_exec) options.before_exec(pid_);
    close(go[1]);
    while (pid_ > 0 && read(exec[0], &byte, 1) < 0 && errno == EINTR) continue;
    close(exec[0]);
}

Child::~Child() { Kill(); }

void Child::Signal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
}

int Child::Wait(int seconds) {
    int raw = 0;
    if (pid_ <= 0 || !Eventually([&] { return waitpid(pid_, &raw, WNOHANG) == pid_; }, seconds)) return -1;
    pid_ = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

void Child::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) continue;
    pid_ = -1;
}

Ran Run(const std::vector<std::string>& argv, const std::vector<std::string>& env, int seconds) {
    std::vector<std::string> command = {"env"};
    command.insert(command.end(), env.begin(), env.end());
    command.insert(command.end(), argv.begin(), argv.end());
    return Capture(command, {}, seconds);
}

// ---- case tables --------------------------------------------------------------------

const std::string& Row::operator[](const std::string& column) const {
    static const std::string none;
    return cell.count(column) ? cell.at(column) : none;
}

std::vector<Row> Table(const std::string& name) {
    std::ifstream in(Source("tests/data/cases/" + name));
    std::vector<std::string> columns;
    std::vector<Row> rows;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields = Split(line, '\t');
        for (auto& field : fields) field = Decode(field);
        if (columns.empty()) {
            columns = fields;
            continue;
        }
        Row& row = rows.emplace_back(Row{{}, name + ":" + std::to_string(number)});
        for (size_t i = 0; i < fields.size() && i < columns.size(); ++i) row.cell[columns[i]] = fields[i];
    }
    return rows;
}

std::string Fill(std::string text, const std::map<std::string, std::string>& vars) {
    for (const auto& [name, value] : vars)
        for (size_t at; (at = text.find("${" + name + "}")) != std::string::npos;) text.replace(at, name.size() + 3, value);
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const auto& part : parts) out += (&part == &parts.front() ? "" : separator) + part;
    return out;
}

// ---- trees and stand-ins --------------------------------------------------------------

void trees::Clear() {
    for (const char* root : kRoots) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root, ec))
            if (entry.path().filename() != "acadapter.d") fs::remove_all(entry.path(), ec);
    }
}

void trees::Seed(const std::string& fixture) {
    const fs::path from = fixture == "demo" ? Source("data/demo") : Source("tests/data/trees/" + fixture);
    for (const auto& entry : fs::recursive_directory_iterator(from))
        if (entry.is_regular_file()) WriteFile("/" + fs::relative(entry.path(), from).string(), ReadFile(entry.path()));
}

std::vector<std::string> trees::ServiceFiles() {
    std::vector<std::string> files;
    for (const auto& path : List(kRoots[2]))
        if (!fs::is_directory(path)) files.push_back(path.substr(std::string(kRoots[2]).size()));
    return files;
}

FakeCommands::FakeCommands(const std::map<std::string, std::string>& bodies) {
    char dir[] = "/tmp/fake-bin.XXXXXX";
    folder = mkdtemp(dir) ? dir : "/tmp";
    for (const auto& [name, body] : bodies)
        WriteFile(folder + "/" + name, "#!/bin/sh\necho \"$*\" >> '" + folder + "/" + name + ".log'\n" + body + "\n", 0755);
    old_path_ = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (folder + ":" + old_path_).c_str(), 1);
}

FakeCommands::~FakeCommands() { setenv("PATH", old_path_.c_str(), 1); }

std::vector<std::string> FakeCommands::Runs(const std::string& name) const {
    return Split(ReadFile(folder + "/" + name + ".log"), '\n');
}

void FakeCommands::Clear(const std::string& name) const { unlink((folder + "/" + name + ".log").c_str()); }

void labels::Use() { setenv("SARV_PROC_ATTR_ROOT", kRoot.c_str(), 1); }

void labels::Set(pid_t pid, const std::optional<std::string>& bytes) {
    const std::string path = kRoot + "/" + std::to_string(pid) + "/attr/usid";
    if (bytes) WriteFile(path, *bytes); else unlink(path.c_str());
}

void labels::Module(bool present) {
    if (present) WriteFile(kRoot + "/1/attr/olmsec/cred", "1\n"); else unlink((kRoot + "/1/attr/olmsec/cred").c_str());
}

void adapter::Install(const std::string& objects, const std::string& folder, const std::string& file) {
    setenv("SARV_TEST_ADAPTER_OBJECTS", objects.c_str(), 1);
    setenv("SARV_TEST_ADAPTER_LOG", kAdapterLog.c_str(), 1);
    setenv("SARV_TEST_ADAPTER_FAIL", kAdapterFail.c_str(), 1);
    WriteFile(folder + file, ReadFile(SARV_TEST_ADAPTER), 0755);
}

std::vector<std::string> adapter::Pushes() { return Split(ReadFile(kAdapterLog), '\n'); }

void adapter::Clear() {
    unlink(kAdapterLog.c_str());
    unlink(kAdapterFail.c_str());
}

void adapter::Fail(const std::string& object, int code) {
    std::ofstream(kAdapterFail, std::ios::app) << object << " " << code << "\n";
}

void adapter::InstallExample(const std::string& objects, const std::string& folder) {
    setenv("SARV_AC_EXAMPLE_OBJECTS", objects.c_str(), 1);
    setenv("SARV_AC_EXAMPLE_DIR", kExampleOut.c_str(), 1);
    WriteFile(folder + "example.so", ReadFile(SARV_EXAMPLE_ADAPTER), 0755);
}

Audit::Audit() {
    setenv("SARV_AUDIT_LOG", path.c_str(), 1);
    Clear();
}

std::vector<std::string> Audit::Lines() const { return audit_records::Lines(path); }

std::vector<std::map<std::string, std::string>> Audit::Records() const {
    std::vector<std::map<std::string, std::string>> records;
    for (const auto& line : Lines()) records.push_back(audit_records::Record(line));
    return records;
}

void Audit::Clear() const { unlink(path.c_str()); }

// ---- syslog ---------------------------------------------------------------------------

namespace {

sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// "<PRI>Mmm dd hh:mm:ss tag[pid]: text" (or "tag: text") as "PRIORITY: text".
std::string DecodeSyslog(const std::string& raw) {
    static const char* const names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    const size_t head = raw[0] == '<' && raw.find('>') != std::string::npos ? raw.find('>') + 1 : 0;
    const size_t colon = raw.size() > head + 16 ? raw.find(": ", head + 16) : std::string::npos;
    return std::string(names[head ? atoi(raw.c_str() + 1) & 7 : 0]) + ": " +
           raw.substr(colon == std::string::npos ? head : colon + 2);
}

}  // namespace

Syslog::Syslog()
    : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
      path_("/tmp/syslog-capture-" + std::to_string(getpid()) + "-" + std::to_string(reinterpret_cast<uintptr_t>(this))) {
    const sockaddr_un address = Address(path_);
    struct stat st {};
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || !getenv("SARV_SANDBOX") ||
        stat("/dev/log", &st) != 0 || !S_ISREG(st.st_mode) ||
        mount(path_.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    closelog();  // the next openlog() connects to this socket
    reader_ = std::thread([this] {
        char buffer[65536];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, 0)) != 0;) {  // the destructor's empty message ends it
            std::lock_guard<std::mutex> lock(mutex_);
            if (n > 0) lines_.push_back(DecodeSyslog(std::string(buffer, static_cast<size_t>(n)))); else if (errno != EINTR) break;
        }
    });
}

Syslog::~Syslog() {
    if (fd_ < 0) return;
    const sockaddr_un address = Address(path_);
    sendto(fd_, "", 0, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    reader_.join();
    closelog();
    umount2("/dev/log", MNT_DETACH);
    close(fd_);
    unlink(path_.c_str());
}

std::vector<std::string> Syslog::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool Syslog::Contains(const std::string& text, int ms) {
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);;) {
        for (const auto& line : Lines())
            if (line.find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Syslog::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

// ---- the bus --------------------------------------------------------------------------

PrivateBus::PrivateBus(const std::string& config) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    Child::Options options;
    options.out_fd = out[1];
    daemon_ = std::make_unique<Child>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile", "--print-address=1",
                                 "--config-file=" + (config.empty() ? Source("tests/sandbox/private-bus.conf") : config)},
        options);
    close(out[1]);
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';) address += c;
    close(out[0]);
    if (ok()) setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
}

PrivateBus::~PrivateBus() {
    if (daemon_) daemon_->Signal(SIGTERM), daemon_->Wait();
}

std::ostream& operator<<(std::ostream& out, const Reply& r) {
    out << (r.ok ? "ok" : r.error + ": " + r.message) << " text=" << r.text << " number=" << r.number << " list=";
    for (const auto& item : r.list) out << item << ",";
    return out;
}

std::ostream& operator<<(std::ostream& out, const Signal& s) {
    return out << s.member << "(" << s.first << ", " << s.second << ")";
}

Client::Client() { sd_bus_open_system(&bus_); }

Client::~Client() { sd_bus_flush_close_unref(bus_); }

Reply Client::Call(const std::string& member, const std::vector<std::string>& args) {
    return Ask(bus_, kService, kPath, kInterface, member, [&](sd_bus_message* m) {
        if (member == "CanAuthorize") return sd_bus_message_append(m, "is", std::stoi(args.at(0)), args.at(1).c_str());
        const bool check = member == "CheckAuthorization";  // two strings, then the array
        int r = 0;
        for (size_t i = 0; i < args.size() && (!check || i < 2) && r >= 0; ++i)
            r = sd_bus_message_append_basic(m, 's', args[i].c_str());
        if (!check || r < 0) return r;
        r = sd_bus_message_open_container(m, 'a', "s");
        for (size_t i = 2; i < args.size() && r >= 0; ++i) r = sd_bus_message_append_basic(m, 's', args[i].c_str());
        return r < 0 ? r : sd_bus_message_close_container(m);
    });
}

int Client::Replies(const std::string& member, const Filler& fill, Reply* first) {
    uint64_t call = 0, ping = 0;
    Message m = NewCall(bus_, kService, kPath, kInterface, member, fill);
    Message p = NewCall(bus_, kService, kPath, kPeer, "Ping", nullptr);
    int r = m && p ? sd_bus_send(bus_, m.get(), &call) : -EINVAL;
    if (r >= 0) r = sd_bus_send(bus_, p.get(), &ping);
    int replies = 0;  // replies come back unhandled, in order
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (r >= 0 && std::chrono::steady_clock::now() < end) {
        sd_bus_message* got = nullptr;
        if ((r = sd_bus_process(bus_, &got)) == 0) r = sd_bus_wait(bus_, 100000);
        Message owned(got);
        uint64_t cookie = 0;
        if (!got || sd_bus_message_get_reply_cookie(got, &cookie) < 0) continue;
        if (cookie == ping) return replies;
        if (cookie == call && replies++ == 0 && first) *first = ToReply(got);
    }
    return -1;
}

Reply Client::Property(const std::string& name) {
    return Ask(bus_, kService, kPath, "org.freedesktop.DBus.Properties", "Get",
               [&](sd_bus_message* m) { return sd_bus_message_append(m, "ss", kInterface, name.c_str()); });
}

pid_t Client::Owner() {
    return Ask(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID",
               [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kService); }).number;
}

Signals::Signals() {
    const auto collect = [](sd_bus_message* m, void* got, sd_bus_error*) {
        const char *first = nullptr, *second = nullptr;
        if (sd_bus_message_read(m, "ss", &first, &second) > 0)
            static_cast<std::vector<Signal>*>(got)->push_back({sd_bus_message_get_member(m), first, second});
        return 0;
    };
    if (sd_bus_open_system(&bus_) < 0) return;
    for (const char* member : {"ModeChanged", "EntityChanged", "PolicyChanged"})
        sd_bus_match_signal(bus_, nullptr, nullptr, kPath, kInterface, member, collect, &got_);
}

Signals::~Signals() { sd_bus_flush_close_unref(bus_); }

std::vector<Signal> Signals::Take() {
    Ask(bus_, kService, kPath, kPeer, "Ping");
    while (sd_bus_process(bus_, nullptr) > 0) continue;
    return std::exchange(got_, {});
}

Called CallAs(const Caller& caller, const std::string& member, const std::string& arg) {
    WriteFile(caller.exe, ReadFile(SARV_BUS_CLIENT), 0755);  // never a program of the machine
    std::vector<std::string> argv = caller.wrapper;
    argv.insert(argv.end(), {caller.exe, member, arg});
    Called called;
    Child::Options options;
    options.uid = caller.uid;
    options.before_exec = [&](pid_t pid) { labels::Set(called.pid = pid, caller.label); };
    const Ran ran = Capture(argv, options, 30);
    labels::Set(called.pid, std::nullopt);
    const size_t name = ran.out.find('\n');  // bus-client exits 1 with the error's name and message
    called.reply.ok = ran.status == 0;
    if (ran.status == 1 && name != std::string::npos) {
        called.reply.error = ShortName(ran.out.substr(0, name));
        called.reply.message = ran.out.substr(name + 1);
    }
    return called;
}

// ---- the service ----------------------------------------------------------------------

Service::~Service() {
    if (loop_.joinable() || host_) Stop();
}

bool Service::Spawn() {
    host_ = std::make_unique<Child>(std::vector<std::string>{SARVD_BIN, SARV_PLUGIN});
    return host_->pid() > 0;
}

bool Service::Start(int seconds) {
    if (kind_ == kHost && !Spawn()) return false;
    if (kind_ == kInProcess) {
        AdapterManager::Instance()->LoadAdapters(adapter::kFolder);
        result_ = std::make_shared<std::atomic<int>>(1);
        loop_ = std::thread([result = result_] { *result = start_ac_dbus(); });
    }
    Client probe;
    // Or until it ended: a host that exited, a loop that returned.
    Eventually([&] { return probe.Owner() == pid() || (host_ ? host_->Wait(0) != -1 : *result_ != 1); }, seconds);
    return probe.Owner() == pid() && pid() > 0;
}

int Service::Stop(int seconds) {
    if (kind_ == kInProcess) {
        if (!loop_.joinable()) return -1;
        stop_ac_dbus();
        loop_.join();
        return *result_;
    }
    if (!host_) return -1;
    host_->Signal(SIGTERM);
    const int status = host_->Wait(seconds);
    host_.reset();
    return status;
}

void Service::Kill() { host_.reset(); }

void Service::Signal(int sig) {
    if (host_) host_->Signal(sig);
}

pid_t Service::pid() const {
    if (kind_ == kInProcess) return loop_.joinable() ? getpid() : 0;
    return host_ ? host_->pid() : 0;
}

void Service::Reload() {
    ConfigManager* cache = ConfigManager::Instance();
    {
        std::unique_lock<std::shared_mutex> lock(cache->maps_lock);
        cache->modeMap.clear();
        cache->entityMap.clear();
        cache->policyMap.clear();
    }
    cache->InitCache();
}

// ---- the whole set-up -----------------------------------------------------------------

namespace {
std::map<std::string, std::string> Guarded() {
    if (!getenv("SARV_SANDBOX")) {
        fprintf(stderr, "refusing to run: start this test through tests/sandbox/sarv-sandbox\n");
        exit(1);
    }
    return {{"killall", ""}, {"systemctl", ""}};
}
}  // namespace

World::World(const std::string& fixture, bool own_bus) : fakes(Guarded()), syslog(std::make_unique<Syslog>()) {
    labels::Use();
    labels::Set(getpid(), std::string("nimbra_app"));
    if (own_bus) bus = std::make_unique<PrivateBus>();
    if (!fixture.empty()) trees::Seed(fixture);
    // Its Qt objects are made on this thread, as a host makes them on its own.
    service = std::make_unique<SarvService>();
}

World::~World() = default;

}  // namespace sarvtest
