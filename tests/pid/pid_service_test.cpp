// The PID information service on its real socket "/tmp/.sarv.dom" (the
// sandbox's private /tmp), driven by real clients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "configfile-helper.h"
#include "pid-info-service.h"
#include "eventually.h"
#include "syslog-capture.h"

namespace fs = std::filesystem;

// Stands in for the library's cgroup lookup, so the tests choose which
// processes belong to an application.
namespace {
std::mutex g_ids_mutex;
std::map<int, std::string> g_ids;
void SetAppId(int pid, const std::string& id) {
    std::lock_guard<std::mutex> lock(g_ids_mutex);
    g_ids[pid] = id;
}
}  // namespace

std::string GetVeltrinApplicationId(int pid) {
    std::lock_guard<std::mutex> lock(g_ids_mutex);
    auto it = g_ids.find(pid);
    return it == g_ids.end() ? std::string() : it->second;
}

namespace {

const char kSocket[] = "/tmp/.sarv.dom";

int Connect() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, kSocket);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{10, 0};  // a lost answer fails the test instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

bool SendPid(int fd, int pid) { return send(fd, &pid, sizeof pid, MSG_NOSIGNAL) == sizeof pid; }

// Reads one answer: everything up to and including the first two zero
// bytes in a row. Returns "EOF" + what came before when the stream ended.
std::string ReadAnswer(int fd) {
    std::string got;
    char c;
    while (got.size() < 2 || got.compare(got.size() - 2, 2, std::string(2, '\0')) != 0) {
        ssize_t n = recv(fd, &c, 1, 0);
        if (n <= 0) return "EOF" + got;
        got.push_back(c);
    }
    return got;
}

// True when nothing more arrives on `fd` within a short grace period.
bool NothingMore(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 300) == 0) return true;
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) == 0;  // end of stream is fine too
}

std::string ExeOf(int pid) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

std::string Answer(const std::string& exe, const std::string& id = "") {
    std::string a = exe + std::string(1, '\0');
    if (!id.empty()) a += id + std::string(1, '\0');
    return a + std::string(1, '\0');
}

// A child that sleeps until killed; reaped by the destructor.
struct Sleeper {
    pid_t pid;
    explicit Sleeper(const char* program = "/bin/sleep") {
        pid = fork();
        if (pid == 0) {
            execl(program, program, "1000", nullptr);
            _exit(127);
        }
        Eventually([&] { return ExeOf(pid).find("sleep") != std::string::npos; });
    }
    ~Sleeper() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

class PidService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getenv("SARV_SANDBOX")) << "uses /tmp/.sarv.dom: sandbox only";
        Start();
    }
    void TearDown() override { service.Stop(); }
    void Start() {
        service.start(QThread::InheritPriority);
        ASSERT_TRUE(Eventually([] {
            int fd = Connect();
            if (fd >= 0) close(fd);
            return fd >= 0;
        }));
    }
    SyslogCapture log;
    PidInfoService service;
};

TEST_F(PidService, AnswersAreByteExact) {
    struct stat st{};
    ASSERT_EQ(stat(kSocket, &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0777u);

    Sleeper plain;
    Sleeper app;
    SetAppId(app.pid, "org.example.Viewer");
    int fd = Connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendPid(fd, plain.pid));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(plain.pid)));
    ASSERT_TRUE(SendPid(fd, app.pid));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(app.pid), "org.example.Viewer"));
    EXPECT_TRUE(NothingMore(fd));
    close(fd);
}

TEST_F(PidService, PassesOnTheKernelsTextForARemovedExecutable) {
    fs::path copy = fs::temp_directory_path() / "pid-test-sleep";
    fs::copy_file("/bin/sleep", copy, fs::copy_options::overwrite_existing);
    Sleeper gone(copy.c_str());
    fs::remove(copy);
    int fd = Connect();
    ASSERT_TRUE(SendPid(fd, gone.pid));
    EXPECT_EQ(ReadAnswer(fd), Answer(copy.string() + " (deleted)"));
    close(fd);
}

TEST_F(PidService, OverlongApplicationIdStaysInsideTheAnswer) {
    Sleeper app;
    const std::string id(9000, 'x');
    SetAppId(app.pid, id);
    int fd = Connect();
    ASSERT_TRUE(SendPid(fd, app.pid));
    std::string got = ReadAnswer(fd);
    const std::string exe = ExeOf(app.pid);
    ASSERT_EQ(got.size(), 8192u);
    EXPECT_EQ(got.substr(0, exe.size() + 1), exe + std::string(1, '\0'));
    EXPECT_EQ(got.substr(exe.size() + 1, 8192 - exe.size() - 3), id.substr(0, 8192 - exe.size() - 3));
    EXPECT_TRUE(NothingMore(fd));
    close(fd);
}

TEST_F(PidService, UnanswerableRequestsEndTheConnection) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);

    int fd = Connect();
    ASSERT_TRUE(SendPid(fd, dead));
    EXPECT_EQ(ReadAnswer(fd), "EOF");
    close(fd);
    const std::string link = "/proc/" + std::to_string(dead) + "/exe";
    EXPECT_TRUE(log.Contains("err: readlink error exePath = " + link + "!"));
    EXPECT_TRUE(log.Contains("err: get_pid_exepath error exe_len = -2"));

    for (int pid : {0, -1, -2147483647 - 1}) {
        fd = Connect();
        ASSERT_TRUE(SendPid(fd, pid));
        EXPECT_EQ(ReadAnswer(fd), "EOF") << pid;
        close(fd);
    }

    // A fragment of a process id is dropped with its connection.
    fd = Connect();
    ASSERT_EQ(send(fd, "ab", 2, 0), 2);
    EXPECT_EQ(ReadAnswer(fd), "EOF");
    close(fd);

    // The service is still there.
    fd = Connect();
    ASSERT_TRUE(SendPid(fd, getpid()));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
    close(fd);
}

TEST_F(PidService, TenClientsAtOnceAndTheEleventhIsClosed) {
    const std::string self = Answer(ExeOf(getpid()));
    std::vector<int> clients;
    for (int i = 0; i < 10; ++i) {
        int fd = Connect();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendPid(fd, getpid()));
        ASSERT_EQ(ReadAnswer(fd), self) << "client " << i;
        clients.push_back(fd);
    }
    int eleventh = Connect();
    ASSERT_GE(eleventh, 0);
    SendPid(eleventh, getpid());
    EXPECT_EQ(ReadAnswer(eleventh), "EOF");
    close(eleventh);

    // Every one of the ten still works.
    for (int fd : clients) {
        ASSERT_TRUE(SendPid(fd, getpid()));
        EXPECT_EQ(ReadAnswer(fd), self);
    }
    // One leaves; a newcomer gets its slot once the service has seen it go.
    close(clients[3]);
    clients.erase(clients.begin() + 3);
    EXPECT_TRUE(Eventually([&] {
        int fd = Connect();
        bool served = SendPid(fd, getpid()) && ReadAnswer(fd) == self;
        if (served)
            clients.push_back(fd);
        else
            close(fd);
        return served;
    }));
    for (int fd : clients) close(fd);
}

// Clients that never complete a request once held all ten slots for good.
TEST_F(PidService, ClientsWithoutACompleteRequestLoseTheirSlot) {
    std::vector<int> idle;
    for (int i = 0; i < 10; ++i) {
        int fd = Connect();
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    const auto start = std::chrono::steady_clock::now();
    for (int fd : idle) {
        pollfd p{fd, POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&p, 1, 8000) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) == 0) << "closed by the service";
        close(fd);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    int fd = Connect();
    ASSERT_TRUE(SendPid(fd, getpid()));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
    close(fd);
}

TEST_F(PidService, TwoRequestsBackToBackGetOnlyTheSecondAnswer) {
    Sleeper first;
    Sleeper second;
    SetAppId(first.pid, "org.example.First");
    int fd = Connect();
    int both[2] = {first.pid, getpid()};
    ASSERT_EQ(send(fd, both, sizeof both, 0), static_cast<ssize_t>(sizeof both));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
    EXPECT_TRUE(NothingMore(fd));
    close(fd);
}

TEST_F(PidService, OneConnectionServesManyRequests) {
    Sleeper app;
    SetAppId(app.pid, "org.example.Many");
    const std::string self = Answer(ExeOf(getpid()));
    const std::string other = Answer(ExeOf(app.pid), "org.example.Many");
    int fd = Connect();
    for (int i = 0; i < 200; ++i) {
        bool odd = i % 2;
        ASSERT_TRUE(SendPid(fd, odd ? app.pid : getpid()));
        ASSERT_EQ(ReadAnswer(fd), odd ? other : self) << "request " << i;
    }
    close(fd);
}

TEST_F(PidService, APeerThatStoppedReadingCostsOnlyItsConnection) {
    // Without MSG_NOSIGNAL the answer to this client would raise SIGPIPE
    // and end this whole process.
    int fd = Connect();
    ASSERT_EQ(shutdown(fd, SHUT_RD), 0);
    ASSERT_TRUE(SendPid(fd, getpid()));
    EXPECT_TRUE(log.Contains("err: send() from peer error", 5000));
    close(fd);

    fd = Connect();
    ASSERT_TRUE(SendPid(fd, getpid()));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
    close(fd);
}

// The kernel id of the service thread (Qt names threads after their class).
pid_t ServiceThread() {
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name == "PidInfoService") return std::stoi(task.path().filename().string());
    }
    return -1;
}

TEST_F(PidService, ASignalDuringTheWaitIsNotFatal) {
    struct sigaction sa{};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART: the wait is interrupted
    pid_t tid = ServiceThread();
    ASSERT_GT(tid, 0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(syscall(SYS_tgkill, getpid(), tid, SIGUSR1), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int fd = Connect();
    ASSERT_TRUE(SendPid(fd, getpid()));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
    close(fd);
    EXPECT_FALSE(log.Contains("select() error", 0));
}

TEST_F(PidService, StopReturnsWithTheThreadEndedAndStartWorksAgain) {
    int idle = Connect();
    ASSERT_GE(idle, 0);
    service.Stop();
    EXPECT_TRUE(service.isFinished());
    EXPECT_FALSE(fs::exists(kSocket));
    EXPECT_EQ(ReadAnswer(idle), "EOF") << "open connections are closed by stop";
    close(idle);
    EXPECT_EQ(Connect(), -1);

    // A stale socket file, as a forced stop or a crash leaves it, and a
    // restrictive mode on it, do not hinder the next start.
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, kSocket);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    chmod(kSocket, 0600);
    close(stale);

    Start();
    struct stat st{};
    ASSERT_EQ(stat(kSocket, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    int fd = Connect();
    ASSERT_TRUE(SendPid(fd, getpid()));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
    close(fd);
}

// Whatever any user left at the path, the service (root) takes it over:
// a folder is moved aside as it is, anything else is removed.
TEST(PidServiceStart, WhateverIsInTheWayIsReplaced) {
    ASSERT_TRUE(getenv("SARV_SANDBOX"));
    const std::vector<std::function<void()>> leftovers = {
        [] { std::ofstream(kSocket) << "junk"; },
        [] { fs::create_directories(std::string(kSocket) + "/occupied"); },
        [] { fs::create_symlink("/etc/passwd", kSocket); },
    };
    for (size_t i = 0; i < leftovers.size(); ++i) {
        SCOPED_TRACE(i);
        leftovers[i]();
        PidInfoService service;
        service.start();
        EXPECT_TRUE(Eventually([] {
            struct stat st{};
            return lstat(kSocket, &st) == 0 && S_ISSOCK(st.st_mode);
        }));
        int fd = Connect();
        ASSERT_TRUE(SendPid(fd, getpid()));
        EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
        close(fd);
        service.Stop();
    }
    EXPECT_TRUE(fs::exists("/etc/passwd"));
    size_t moved = 0;
    for (const auto& entry : fs::directory_iterator("/tmp"))
        if (entry.path().filename().string().rfind(".sarv.dom.moved-", 0) == 0) {
            EXPECT_TRUE(fs::exists(entry.path() / "occupied"));
            fs::remove_all(entry.path());
            ++moved;
        }
    EXPECT_EQ(moved, 1u);
}

// A path that cannot be freed (here a mount point) once ended the whole
// host daemon. Now the service tries again, logs the failure once and
// serves as soon as the path is free.
TEST(PidServiceStart, APathThatCannotBeFreedIsTriedAgain) {
    ASSERT_TRUE(getenv("SARV_SANDBOX"));
    SyslogCapture log;
    fs::create_directories(kSocket);
    ASSERT_EQ(mount("pid-test", kSocket, "tmpfs", 0, "size=16k"), 0) << strerror(errno);
    PidInfoService service;
    service.start();
    EXPECT_TRUE(log.Contains("err: start_listen_socket bind"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));  // beyond the first two retries
    size_t logged = 0;
    for (const auto& line : log.Lines()) logged += line.find("start_listen_socket bind") != std::string::npos;
    EXPECT_EQ(logged, 1u);
    ASSERT_EQ(umount2(kSocket, MNT_DETACH), 0);
    EXPECT_TRUE(Eventually([] {
        int fd = Connect();
        if (fd >= 0) close(fd);
        return fd >= 0;
    }));
    int fd = Connect();
    ASSERT_TRUE(SendPid(fd, getpid()));
    EXPECT_EQ(ReadAnswer(fd), Answer(ExeOf(getpid())));
    close(fd);
    service.Stop();
    for (const auto& entry : fs::directory_iterator("/tmp"))
        if (entry.path().filename().string().rfind(".sarv.dom.moved-", 0) == 0) fs::remove_all(entry.path());
}

}  // namespace
