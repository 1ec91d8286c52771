// The service under a long mixed load: configuration changes over the bus,
// authorization questions, files installed into /etc/olm/sarv/ by the
// installer command, and PID-socket clients, all at once. Its memory must
// stay flat after warm-up, and after a regular restart everything
// acknowledged is on disk and in the cache. Run by scripts/run-soak.sh.
//
//   SARV_SOAK_MINUTES  how long (default 5); SARV_SOAK_SECONDS overrides it
//   SARV_SOAK_SEED     seed (printed)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>

#include "acjson.h"
#include "configfile-helper.h"
#include "eventually.h"
#include "robustness-support.h"
#include "service-harness.h"

using namespace robust;
namespace fs = std::filesystem;

namespace {

// Problems found by the load threads while they run.
class Problems {
public:
    void Add(const std::string& p) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (list_.size() < 200) list_.push_back(p);
    }
    std::vector<std::string> list() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return list_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> list_;
};

int RunProgram(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ExeOf(pid_t pid) {
    char buf[4096];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// ---- installer command: modes of names of its own in /etc/olm/sarv/ --------------------

class ConfigerLoad {
public:
    ConfigerLoad(std::vector<std::string> names, Problems& problems) : names_(std::move(names)), problems_(problems) {}

    void Run(uint64_t seed, std::atomic<bool>& stop) {
        std::mt19937_64 rng(seed);
        BusClient client;
        const std::string input = "/tmp/soak-configer/input.mode";
        fs::create_directories("/tmp/soak-configer");
        while (!stop) {
            const std::string name = names_[rng() % names_.size()];
            ModeData m;
            m.object = name;
            m.mode = std::vector<std::string>{kModeWhitelist, kModeBlacklist, "read"}[rng() % 3];
            const std::string target = kEtcFolder + GetConfigFileName(m);
            State wanted;
            if (rng() % 5 == 0) {
                // "delete" reports -1 whatever happened; the file tells.
                RunProgram({SARV_CONFIGER, "delete", target});
                deletes++;
                if (access(target.c_str(), F_OK) == 0) {
                    problems_.Add("installer command left " + target);
                    continue;
                }
            } else {
                WriteTextFile(input, ToJsonText(m));
                int status = RunProgram({SARV_CONFIGER, "add", "--mode", input});
                if (status != 0) {
                    problems_.Add("installer command failed with " + std::to_string(status) + " for " + name);
                    continue;
                }
                drops++;
                wanted = ToJsonText(m);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                expected_[name] = wanted;
            }
            // The watcher takes the file in: wait until the cache shows it.
            auto shows = [&] {
                BusClient::Reply r = client.CallString("GetMode", name);
                State found = r.ok ? Canonical(kMode, r.text) : State();
                return found == wanted;
            };
            if (Eventually(shows, 30))
                reached++;
            else
                problems_.Add("the watcher never brought " + name + " = " + (wanted ? *wanted : "(none)") +
                              " into the cache");
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 100));
        }
    }

    // The /etc tree and the cache hold what the command installed.
    void Check(BusClient& client, CheckResult& result) {
        auto tree = ReadTree(kEtcFolder, result);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [name, wanted] : expected_) {
            auto it = tree[kMode].find(name);
            State disk = it == tree[kMode].end() ? State() : State(it->second);
            if (disk != wanted) result.problems.push_back("/etc mode " + name + " differs from what was installed");
            BusClient::Reply r = client.CallString("GetMode", name);
            State found = r.ok ? Canonical(kMode, r.text) : State();
            if (found != wanted) result.problems.push_back("cache: /etc mode " + name + " differs");
        }
    }

    std::atomic<uint64_t> drops{0}, deletes{0}, reached{0};

private:
    std::vector<std::string> names_;
    Problems& problems_;
    std::mutex mutex_;
    std::map<std::string, State> expected_;
};

// ---- PID socket clients --------------------------------------------------------------------

// One answer: zero-terminated strings closed by an empty one.
bool ReadAnswer(int fd, std::vector<std::string>& parts) {
    parts.clear();
    std::string current;
    char c;
    for (;;) {
        ssize_t n = recv(fd, &c, 1, 0);
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
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

void PidClient(std::atomic<bool>& stop, pid_t service, std::atomic<uint64_t>& answered, Problems& problems) {
    const std::string self = ExeOf(getpid());
    const std::string serviceExe = ExeOf(service);
    uint64_t n = 0;
    while (!stop) {
        int fd = ConnectPidSocket();
        if (fd < 0) {
            problems.Add("cannot connect to /tmp/.sarv.dom");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        for (int i = 0; i < 50 && !stop; ++i, ++n) {
            const int32_t pid = n % 2 ? getpid() : service;
            const std::string& want = n % 2 ? self : serviceExe;
            std::vector<std::string> parts;
            if (send(fd, &pid, sizeof pid, MSG_NOSIGNAL) != sizeof pid || !ReadAnswer(fd, parts)) {
                problems.Add("PID socket: no answer for " + std::to_string(pid));
                break;
            }
            if (parts[0] != want) problems.Add("PID socket: " + std::to_string(pid) + " -> " + parts[0]);
            answered++;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(fd);
    }
}

// ---- authorization questions -----------------------------------------------------------------

void AuthClient(std::atomic<bool>& stop, uint64_t seed, std::vector<std::string> objects,
                std::atomic<uint64_t>& can, std::atomic<uint64_t>& check, Problems& problems) {
    std::mt19937_64 rng(seed);
    BusClient client;
    sd_bus_set_method_call_timeout(client.bus(), 20ull * 1000 * 1000);
    const std::string self = ExeOf(getpid());
    while (!stop) {
        const std::string object = objects[rng() % objects.size()];
        const bool asksCan = rng() % 2;
        CallResult r = asksCan ? CallCanAuthorize(client.bus(), getpid(), object)
                               : CallCheckAuthorization(client.bus(), rng() % 2 ? self : "/usr/bin/robust-a", object,
                                                        {"allow"});
        // An object that is no entity is refused with InvalidArgs; anything
        // else than an answer or that refusal is a fault.
        if (!r.ok && r.error_name != "org.freedesktop.DBus.Error.InvalidArgs")
            problems.Add("authorization question about " + object + ": " + r.error_name + " " + r.error_message);
        (asksCan ? can : check)++;
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 3));
    }
}

double Mean(const std::vector<long>& v, size_t from, size_t to) {
    if (to <= from) return 0;
    return std::accumulate(v.begin() + from, v.begin() + to, 0.0) / static_cast<double>(to - from);
}

}  // namespace

TEST(SoakTest, MixedLoadKeepsMemoryFlatAndLosesNothing) {
    ASSERT_TRUE(getenv("SARV_SANDBOX")) << "starts the service on the fixed paths: sandbox only";
    const uint64_t seed = SeedFromEnv("SARV_SOAK_SEED", 77);
    long seconds = LongFromEnv("SARV_SOAK_SECONDS", LongFromEnv("SARV_SOAK_MINUTES", 5) * 60);
    std::printf("soak: seed %llu, %ld s\n", static_cast<unsigned long long>(seed), seconds);

    auto pools = MakePools("soak", 3, 8);
    std::vector<std::string> etcNames;
    for (int i = 0; i < 12; ++i) etcNames.push_back(MakePools("soak-etc", 1, 12)[0].modes[i]);
    PrepareTrees(SARV_DEMO_DATA, pools);
    FakeCommands fakes({"killall", "systemctl"});
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    LabelSelf();

    std::vector<std::string> objects;
    for (const auto& pool : pools)
        for (size_t i = 0; i < pool.entities.size(); ++i)
            if (i % 4 < 2) objects.push_back(pool.entities[i]);
    std::vector<std::string> authObjects = objects;
    for (const char* o : {"camera", "microphone", "screen-saver", "no-such-object"}) authObjects.push_back(o);

    Model model;
    Counts counts;
    Problems problems;
    MutationDriver driver(model, counts, pools, objects);
    ServiceProcess service(SARVD_BIN, SARV_PLUGIN);
    ASSERT_TRUE(service.Start());
    uint64_t restarts = 0;

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> pidAnswers{0}, canAuthorize{0}, checkAuthorization{0};
    ConfigerLoad configer(etcNames, problems);
    std::vector<std::thread> load;
    driver.Start(seed, 2000);
    load.emplace_back([&] { configer.Run(seed + 1, stop); });
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&, i] { AuthClient(stop, seed + 10 + i, authObjects, canAuthorize, checkAuthorization, problems); });
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&] { PidClient(stop, service.pid(), pidAnswers, problems); });

    // Memory, sampled at even intervals (about 40 samples, every 1 to 5 s).
    const auto interval = std::chrono::milliseconds(std::clamp<long>(seconds * 1000 / 40, 1000, 5000));
    std::vector<long> rss;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(interval);
        rss.push_back(service.RssKiB());
        if (rss.back() == 0) break;  // the service is gone
    }
    stop = true;
    driver.Stop();
    for (auto& t : load) t.join();
    ASSERT_TRUE(service.running() && service.RssKiB() > 0) << "the service died under load";

    // Quiet now: what the running service shows must already be what is on
    // disk and what was acknowledged, before any restart re-reads the trees.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    BusClient checker;
    CheckResult live = CheckAgainstModel(model, checker);
    configer.Check(checker, live);

    const int status = service.Terminate();
    ASSERT_TRUE(service.Start()) << "the service did not start again";
    ++restarts;
    BusClient checker2;
    CheckResult again = CheckAgainstModel(model, checker2);
    configer.Check(checker2, again);
    const long rssRestarted = service.RssKiB();
    EXPECT_EQ(service.Terminate(), 0);

    for (const auto& p : live.problems)
        if (p.rfind("LOST", 0) == 0) counts.lost++;
    for (const auto& p : again.problems)
        if (p.rfind("LOST", 0) == 0) counts.lost++;
    counts.files_checked = live.files + again.files;
    counts.temporaries = again.temporaries;

    std::printf("soak: RSS samples (KiB, every %lld ms):", static_cast<long long>(interval.count()));
    for (long r : rss) std::printf(" %ld", r);
    std::printf("\n");
    const size_t n = rss.size();
    const double q2 = Mean(rss, n / 4, n / 2), q4 = Mean(rss, 3 * n / 4, n);
    std::printf("soak: RSS start %ld KiB, after warm-up (2nd quarter mean) %.0f KiB, end (last quarter mean) %.0f "
                "KiB, after restart %ld KiB\n",
                n ? rss.front() : 0, q2, q4, rssRestarted);
    std::printf("soak: %s\n", counts.Summary().c_str());
    std::printf("soak: CanAuthorize answered %llu, CheckAuthorization answered %llu, installer files dropped %llu, "
                "deleted %llu, seen in the cache %llu, PID queries answered %llu, restarts %llu, stop status %d\n",
                static_cast<unsigned long long>(canAuthorize.load()),
                static_cast<unsigned long long>(checkAuthorization.load()),
                static_cast<unsigned long long>(configer.drops.load()),
                static_cast<unsigned long long>(configer.deletes.load()),
                static_cast<unsigned long long>(configer.reached.load()),
                static_cast<unsigned long long>(pidAnswers.load()), static_cast<unsigned long long>(restarts), status);

    EXPECT_TRUE(problems.list().empty()) << Join(problems.list());
    EXPECT_TRUE(live.problems.empty()) << "before the restart:\n" << Join(live.problems);
    EXPECT_TRUE(again.problems.empty()) << "after the restart:\n" << Join(again.problems);
    EXPECT_EQ(status, 0) << "SIGTERM did not stop the service cleanly";
    EXPECT_EQ(counts.lost.load(), 0u);
    EXPECT_EQ(counts.denied.load(), 0u);
    EXPECT_GT(counts.acknowledged.load(), 0u);
    EXPECT_GT(pidAnswers.load(), 0u);
    EXPECT_GT(configer.reached.load(), 0u);
    // Flat after warm-up: the last quarter's mean within 10 % or 4 MiB of
    // the second quarter's, whichever is larger.
    ASSERT_GE(n, 8u) << "too few samples to judge memory";
    EXPECT_LE(q4, std::max(q2 * 1.10, q2 + 4096.0)) << "memory grew under a steady load";
}
