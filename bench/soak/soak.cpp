// The service under a long mixed load: configuration changes over the bus (the crash test's clients),
// authorization questions, files installed into /etc/olm/sarv/ by the installer command, and PID-socket
// clients, all at once. Its memory must stay flat after warm-up, and before and after a regular restart
// everything acknowledged is on disk and in the cache. Run by scripts/run-soak.sh.
//
//   SARV_SOAK_MINUTES  how long (default 5); SARV_SOAK_SECONDS overrides it
//   SARV_SOAK_SEED     seed (printed)
#include <gmock/gmock.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <numeric>

#include "crash-model.h"

using namespace crash;
using namespace sarvtest;
using ::testing::IsEmpty;

namespace {

// What the load threads find wrong while they run.
class Findings {
public:
    void Add(const std::string& problem) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (list_.size() < 200) list_.push_back(problem);
    }
    std::vector<std::string> list() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return list_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> list_;
};

long RssKiB(pid_t pid) {
    for (const std::string& line : Split(ReadFile("/proc/" + std::to_string(pid) + "/status"), '\n'))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

std::string ExeOf(pid_t pid) { return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe"); }

State ModeOnBus(Client& client, const std::string& name) {
    const Reply r = client.Call("GetMode", {name});
    return r.ok ? Canonical(kMode, r.text) : State();
}

// The installer command: modes of names of its own dropped into or deleted from /etc/olm/sarv/; the watcher
// must bring each into the cache.
class ConfigerLoad {
public:
    ConfigerLoad(const Names& names, Findings& findings) : names_(names), findings_(findings) {}

    void Run(uint64_t seed, const std::atomic<bool>& stop) {
        std::mt19937_64 rng(seed);
        Client client;
        const std::string input = "/tmp/soak-configer/input.mode";
        while (!stop) {
            const std::string name = names_(kMode, 0, static_cast<int>(rng() % names_.per_thread));
            ModeData m;
            m.object = name;
            m.mode = std::vector<std::string>{kModeWhitelist, kModeBlacklist, "read"}[rng() % 3];
            const std::string target = kEtcFolder + GetConfigFileName(m);
            State wanted;
            if (rng() % 5 == 0) {
                // "delete" reports -1 whatever happened; the file tells.
                sarvtest::Run({SARV_CONFIGER, "delete", target});
                ++deletes;
                if (Exists(target)) {
                    findings_.Add("the installer command left " + target);
                    continue;
                }
            } else {
                WriteFile(input, ToJsonText(m));
                const int status = sarvtest::Run({SARV_CONFIGER, "add", "--mode", input}).status;
                if (status != 0) {
                    findings_.Add("the installer command failed with " + std::to_string(status) + " for " + name);
                    continue;
                }
                ++drops;
                wanted = ToJsonText(m);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                expected_[name] = wanted;
            }
            if (Eventually([&] { return ModeOnBus(client, name) == wanted; }, 30))
                ++reached;
            else
                findings_.Add("the watcher never brought " + name + " = " + Show(wanted) + " into the cache");
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 100));
        }
    }

    // The /etc tree and the cache hold what the command installed.
    void Check(Client& client, Problems& problems) {
        const Tree tree = ReadTree(kEtcFolder, problems);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [name, wanted] : expected_) {
            if ((tree[kMode].count(name) ? State(tree[kMode].at(name)) : State()) != wanted)
                problems.push_back("/etc mode " + name + " differs from what was installed");
            if (ModeOnBus(client, name) != wanted) problems.push_back("cache: /etc mode " + name + " differs");
        }
    }

    std::atomic<uint64_t> drops{0}, deletes{0}, reached{0};

private:
    const Names names_;
    Findings& findings_;
    std::mutex mutex_;
    std::map<std::string, State> expected_;
};

// One answer of the PID socket: zero-terminated strings closed by an empty one.
bool ReadAnswer(int fd, std::vector<std::string>& parts) {
    parts.clear();
    std::string current;
    for (char c;;) {
        const ssize_t n = recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c != '\0') {
            current.push_back(c);
            continue;
        }
        if (current.empty()) return !parts.empty();
        parts.push_back(current);
        current.clear();
    }
}

int ConnectPidSocket() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/tmp/.sarv.dom");
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

void PidClient(const std::atomic<bool>& stop, pid_t service, std::atomic<uint64_t>& answered, Findings& problems) {
    const std::string self = ExeOf(getpid()), service_exe = ExeOf(service);
    for (uint64_t n = 0; !stop;) {
        const int fd = ConnectPidSocket();
        if (fd < 0) {
            problems.Add("cannot connect to /tmp/.sarv.dom");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        for (int i = 0; i < 50 && !stop; ++i, ++n) {
            const int32_t pid = n % 2 ? getpid() : service;
            std::vector<std::string> parts;
            if (send(fd, &pid, sizeof pid, MSG_NOSIGNAL) != sizeof pid || !ReadAnswer(fd, parts)) {
                problems.Add("PID socket: no answer for " + std::to_string(pid));
                break;
            }
            if (parts[0] != (n % 2 ? self : service_exe)) problems.Add("PID socket: " + std::to_string(pid) + " -> " + parts[0]);
            ++answered;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(fd);
    }
}

void AuthClient(const std::atomic<bool>& stop, uint64_t seed, const std::vector<std::string>& objects,
                std::atomic<uint64_t>& asked, Findings& problems) {
    std::mt19937_64 rng(seed);
    Client client;
    sd_bus_set_method_call_timeout(client.bus(), 20 * 1000 * 1000);
    const std::string self = ExeOf(getpid());
    while (!stop) {
        const std::string object = objects[rng() % objects.size()];
        const Reply r = rng() % 2 ? client.Call("CanAuthorize", {std::to_string(getpid()), object})
                                  : client.Call("CheckAuthorization", {rng() % 2 ? self : "/usr/bin/robust-a", object, "allow"});
        // An object that is no entity is refused with InvalidArgs; anything else but an answer is a fault.
        if (!r.ok && r.error != "InvalidArgs") problems.Add("authorization of " + object + ": " + r.error + " " + r.message);
        ++asked;
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 3));
    }
}

double Mean(const std::vector<long>& v, size_t from, size_t to) {
    return to <= from ? 0 : std::accumulate(v.begin() + from, v.begin() + to, 0.0) / static_cast<double>(to - from);
}

}  // namespace

TEST(SoakTest, MixedLoadKeepsMemoryFlatAndLosesNothing) {
    World world;
    const uint64_t seed = EnvNumber("SARV_SOAK_SEED", 77);
    const uint64_t seconds = EnvNumber("SARV_SOAK_SECONDS", EnvNumber("SARV_SOAK_MINUTES", 5) * 60);
    std::cout << "soak: seed " << seed << ", " << seconds << " s\n";
    const Names names{"soak", 3, 8}, etc_names{"soak-etc", 1, 12};
    SeedTrees(names);
    std::vector<std::string> objects = {"camera", "microphone", "screen-saver", "no-such-object"};
    for (int t = 0; t < names.threads; ++t)
        for (int i = 0; i < names.per_thread; ++i)
            if (i % 4 < 2) objects.push_back(names(kEntity, t, i));

    Model model;
    Counts counts{};
    Findings problems;
    Service service(Service::kHost);
    ASSERT_TRUE(service.Start());
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> pid_answers{0}, asked{0};
    ConfigerLoad configer(etc_names, problems);
    std::vector<long> rss;
    const auto interval = std::chrono::milliseconds(std::clamp<long>(static_cast<long>(seconds) * 1000 / 40, 1000, 5000));
    {
        const Driver clients(model, counts, names, seed);
        std::vector<std::thread> load;
        load.emplace_back([&] { configer.Run(seed + 1, stop); });
        for (int i = 0; i < 2; ++i) load.emplace_back([&, i] { AuthClient(stop, seed + 10 + i, objects, asked, problems); });
        for (int i = 0; i < 2; ++i) load.emplace_back([&] { PidClient(stop, service.pid(), pid_answers, problems); });
        // Memory, sampled at even intervals (about 40 samples, every 1 to 5 s).
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end && (rss.empty() || rss.back() > 0)) {
            std::this_thread::sleep_for(interval);
            rss.push_back(RssKiB(service.pid()));
        }
        stop = true;
        for (std::thread& t : load) t.join();
    }
    ASSERT_GT(RssKiB(service.pid()), 0) << "the service died under load";

    // Quiet now: what the running service shows must already be what is on disk and what was acknowledged,
    // before a restart re-reads the trees.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    Client checker;
    Problems live = CheckAgainstModel(model, checker);
    configer.Check(checker, live);
    const int status = service.Stop();
    ASSERT_TRUE(service.Start()) << "the service did not start again";
    Client checker2;
    Problems again = CheckAgainstModel(model, checker2);
    configer.Check(checker2, again);
    const long rss_restarted = RssKiB(service.pid());
    EXPECT_EQ(service.Stop(), 0);

    std::cout << "soak: RSS samples (KiB, every " << interval.count() << " ms):";
    for (long r : rss) std::cout << " " << r;
    const size_t n = rss.size();
    const double q2 = Mean(rss, n / 4, n / 2), q4 = Mean(rss, 3 * n / 4, n);
    std::cout << "\nsoak: RSS start " << (n ? rss.front() : 0) << " KiB, after warm-up (2nd quarter mean) " << q2
              << " KiB, end (last quarter mean) " << q4 << " KiB, after restart " << rss_restarted << " KiB\n"
              << "soak: calls acknowledged " << counts[kAcknowledged] << ", refused " << counts[kRefused]
              << ", denied " << counts[kDenied] << ", undetermined " << counts[kUndetermined]
              << "; authorization questions " << asked << ", installer files dropped " << configer.drops
              << ", deleted " << configer.deletes << ", seen in the cache " << configer.reached
              << ", PID queries answered " << pid_answers << ", stop status " << status << "\n";

    EXPECT_THAT(problems.list(), IsEmpty());
    EXPECT_THAT(live, IsEmpty()) << "before the restart";
    EXPECT_THAT(again, IsEmpty()) << "after the restart";
    EXPECT_EQ(status, 0) << "SIGTERM did not stop the service cleanly";
    EXPECT_EQ(counts[kDenied], 0u);
    EXPECT_GT(counts[kAcknowledged], 0u);
    EXPECT_GT(pid_answers, 0u);
    EXPECT_GT(configer.reached, 0u);
    // Flat after warm-up: the last quarter's mean within 10 % or 4 MiB of the second quarter's, whichever is
    // larger.
    ASSERT_GE(n, 8u) << "too few samples to judge memory";
    EXPECT_LE(q4, std::max(q2 * 1.10, q2 + 4096.0)) << "memory grew under a steady load";
}
