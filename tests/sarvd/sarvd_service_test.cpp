// sarvd running the real access-control plug-in, as on a machine: no Qt
// application object in the host, start on a thread of the host's. The
// folder watcher and the PID service must work there, and the signals must
// restart and stop the whole service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "acconstants.h"
#include "acjson.h"
#include "bus-test-support.h"
#include "eventually.h"
#include "syslog-capture.h"

namespace fs = std::filesystem;

namespace {

// The executable of `pid` as the PID service reports it, or "" when the
// service does not answer.
std::string AskPidService(int pid) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/tmp/.sarv.dom");
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, &pid, sizeof pid, MSG_NOSIGNAL) == sizeof pid) {
        char c;
        while (recv(fd, &c, 1, 0) == 1) {
            answer.push_back(c);
            if (answer.size() >= 2 && answer[answer.size() - 1] == 0 && answer[answer.size() - 2] == 0) break;
        }
    }
    close(fd);
    return answer.empty() ? "" : answer.substr(0, answer.find('\0'));
}

TEST(SarvdService, RunsTheAccessControlPlugin) {
    ASSERT_TRUE(getenv("SARV_SANDBOX"));
    SyslogCapture log;
    ASSERT_TRUE(log.ok());
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    FakeCommands fakes({"killall", "systemctl", "dpkg"});

    std::string err = "/tmp/sarvd-service.err";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        execl(SARVD_BIN, SARVD_BIN, SARV_PLUGIN, nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    auto running = [&] { return waitpid(pid, nullptr, WNOHANG) == 0; };

    EXPECT_TRUE(log.Contains("info: start: 31 sarv-ac-manager", 30000));
    // The PID service answers from inside the host.
    ASSERT_TRUE(Eventually([&] { return !AskPidService(getpid()).empty(); }));
    EXPECT_EQ(AskPidService(getpid()), fs::read_symlink("/proc/self/exe").string());

    // The watcher sees files written into the administrator's tree. A new
    // name every few seconds, in case one was written before its folder's
    // listing was taken.
    ModeData m;
    m.mode = kModeWhitelist;
    fs::create_directories(kEtcModeFolder);
    int probes = 0;
    bool seen = Eventually([&] {
        std::string path = kEtcModeFolder + "/probe-" + std::to_string(probes) + ".mode";
        if (!fs::exists(path)) {
            m.object = "probe-" + std::to_string(probes);
            std::ofstream(path) << ToJsonText(m, 4);
        }
        if (log.Contains("] file added: " + path, 3000)) return true;
        ++probes;
        return false;
    });
    EXPECT_TRUE(seen) << "the watcher's event loop does not run in the host";

    // SIGHUP restarts the bus service; the original start returns, the
    // daemon stays.
    kill(pid, SIGHUP);
    EXPECT_TRUE(log.Contains("info: restart: 67 sarv-ac-manager", 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(running());

    kill(pid, SIGTERM);
    EXPECT_TRUE(log.Contains("info: stop: 58 sarv-ac-manager", 30000));
    int status = -1;
    ASSERT_TRUE(Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    std::ifstream in(err);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << text;
    EXPECT_FALSE(fs::exists("/tmp/.sarv.dom")) << "the PID service removes its socket when stopped";
}

}  // namespace

namespace {

TEST(SarvdService, EndsCleanlyWhenTheBusServiceCannotStart) {
    ASSERT_TRUE(getenv("SARV_SANDBOX"));
    SyslogCapture log;
    FakeCommands fakes({"killall", "systemctl", "dpkg"});
    pid_t pid = fork();
    if (pid == 0) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/tmp/no-bus-here", 1);
        execl(SARVD_BIN, SARVD_BIN, SARV_PLUGIN, nullptr);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = -1;
    ASSERT_TRUE(Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    // start returned with the watcher and PID threads still running; the
    // host stops the plug-in before it exits instead of tearing down under
    // running threads.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(log.Contains("err: start_ac_dbus failed!", 5000));
    EXPECT_TRUE(log.Contains("info: stop: 58 sarv-ac-manager", 5000));
    EXPECT_FALSE(fs::exists("/tmp/.sarv.dom"));
}

}  // namespace
