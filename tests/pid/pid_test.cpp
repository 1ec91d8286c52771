// The PID information socket at its real path (the sandbox's /tmp): byte-exact answers (pid.tsv),
// deaf peers and signals, ten slots and idle clients, stop and start over whatever is at the path.
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>

#include "harness.h"
#include "pid-info-service.h"
#include "service.h"

using namespace sarvtest;
namespace fs = std::filesystem;

std::atomic<int> g_app{0}, g_long{0};
std::string GetVeltrinApplicationId(int pid) {  // stands in for the library's cgroup lookup
    return pid == g_long ? std::string(9000, 'x') : pid == g_app ? "org.example.Viewer" : "";
}

const sockaddr_un kAddress{AF_UNIX, "/tmp/.sarv.dom"};

struct Peer {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&kAddress), sizeof kAddress) == 0;
    ~Peer() { close(fd); }
    // What comes back before the service falls silent; "(closed)" where it ends the connection.
    std::string Ask(const std::string& bytes, int ms = 200) {
        std::string got;
        char buffer[9000];
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, ms) == 1; got.append(buffer, recv(fd, buffer, sizeof buffer, 0)))
            if (recv(fd, buffer, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) return got + "(closed)";
        return got;
    }
};

static std::string Pid(int pid) { return std::string(reinterpret_cast<const char*>(&pid), sizeof pid); }
const std::string kSelf = Pid(getpid()), kAnswer = SelfExe() + std::string(2, '\0');
static bool Serving() { return Peer().Ask(kSelf) == kAnswer; }

World world("", false);  // refuses to run outside the sandbox: the socket's path is fixed

struct Started : PidInfoService {  // stopped by the destructor
    Started() {
        start();
        Eventually(Serving);
    }
};

TEST(Pid, AnswersAreByteExactAndDeafPeersAndSignalsCostNothing) {
    Started service;
    Peer deaf;  // answering a peer that stopped reading must not raise SIGPIPE
    shutdown(deaf.fd, SHUT_RD);
    deaf.Ask(kSelf);
    signal(SIGUSR1, [](int) {});  // nor may a signal during the service's wait end it
    for (const auto& task : fs::directory_iterator("/proc/self/task"))
        syscall(SYS_tgkill, getpid(), std::stoi(task.path().filename()), SIGUSR1);
    fs::copy_file("/bin/sleep", "/tmp/pid-sleep");
    Child app({"sleep", "100"}), removed({"/tmp/pid-sleep", "100"}), gone({"true"});
    fs::remove("/tmp/pid-sleep");
    const std::string sleep = fs::read_symlink("/proc/" + std::to_string(app.pid()) + "/exe").string();
    const std::map<std::string, std::string> vars = {{"app", std::to_string(g_app = app.pid())},
        {"removed", std::to_string(removed.pid())}, {"gone", std::to_string(gone.pid())},
        {"self", std::to_string(getpid())}, {"sleep", sleep}, {"test", SelfExe()}};
    gone.Wait();
    auto peer = std::make_unique<Peer>();
    for (const Row& row : Table("pid.tsv")) {
        SCOPED_TRACE(row.where);
        std::string request;
        for (const auto& pid : Split(Fill(row["send"], vars), ' ')) request += Pid(std::stoi(pid));
        const std::string got = peer->Ask(row["cut"].empty() ? request : request.substr(0, std::stoul(row["cut"])));
        EXPECT_EQ(got, Fill(row["answer"], vars));
        if (got.find("(closed)") != std::string::npos) peer = std::make_unique<Peer>();
    }
    g_long = app.pid();  // an id too long for the answer's 8192 bytes is cut to fit
    EXPECT_EQ(Peer().Ask(Pid(g_long)), sleep + '\0' + std::string(8189 - sleep.size(), 'x') + '\0' + '\0');
}

// Ten clients are served at once and an eleventh is closed; a slot is free again once its client
// has left or has sent no complete request for five seconds.
TEST(Pid, TenSlotsAndIdleClientsLoseTheirs) {
    Started service;
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(peers.emplace_back(std::make_unique<Peer>())->Ask(kSelf), kAnswer) << i;
    EXPECT_EQ(Peer().Ask(kSelf), "(closed)");
    peers.pop_back();
    EXPECT_TRUE(Eventually(Serving));
    const auto start = std::chrono::steady_clock::now();
    for (auto& idle : peers) EXPECT_EQ(idle->Ask("", 8000), "(closed)");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// A start takes over whatever is at the path: a stale socket with a narrow mode (as a crash leaves
// it), a file, a link, a folder (moved aside, never removed), a mount point (tried again until it is
// gone; this once ended the host). Stop closes the connections and removes the socket.
TEST(Pid, StopAndStartOverWhateverIsInTheWay) {
    bind(socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<const sockaddr*>(&kAddress), sizeof kAddress);
    for (const char* leave : {"chmod 600 /tmp/.sarv.dom", "echo junk >/tmp/.sarv.dom", "ln -s /etc/passwd /tmp/.sarv.dom",
                              "mkdir -p /tmp/.sarv.dom/occupied", "mkdir /tmp/.sarv.dom && mount -t tmpfs pid /tmp/.sarv.dom "
                              "&& (sleep 1; umount -l /tmp/.sarv.dom) >/dev/null &"}) {
        sarvtest::Run({"sh", "-c", leave});
        Started service;
        EXPECT_EQ(sarvtest::Run({"stat", "-c", "%F %a", kAddress.sun_path}).out, "socket 777\n") << leave;
        Peer idle;
        service.Stop();
        EXPECT_TRUE(service.isFinished() && !Exists(kAddress.sun_path) && idle.Ask("") == "(closed)") << leave;
    }
    EXPECT_TRUE(Exists("/etc/passwd"));
    EXPECT_EQ(sarvtest::Run({"sh", "-c", "test -e /tmp/.sarv.dom.moved-*/occupied"}).status, 0);
}

// A service object stops its PID thread when it goes, and the next one made in the process serves afresh.
TEST(Pid, FreshServiceObjectsOneAfterAnother) {
    for (int i = 0; i < 2; ++i) {
        SarvService service;
        service.pis.start();
        EXPECT_TRUE(Eventually(Serving)) << i;
    }
    EXPECT_FALSE(Exists(kAddress.sun_path));
}
