// Requests per second of the PID information service, against a minimal
// Unix-socket echo server (4 bytes in, 4 bytes out, one poll loop) measured
// in the same run: the ratio shows what the service's work costs over the
// bare socket round trip. All are asked the same way, by one client and by
// eight clients at once, each client waiting for its answer before it sends
// the next process id.
//
// Every answer needs two lookups in /proc (the executable link and the
// cgroup file behind the application id), which the kernel may make dearer
// than the round trip itself. A second echo server makes the same two
// lookups before it answers; the service against that one shows what its
// own loop costs.
//
//   pid_bench [REQUESTS [ROUNDS]]     (inside the sandbox: uses /tmp/.sarv.dom)
//
// REQUESTS is the size of one block (shared out among the eight clients);
// PID_BENCH_VERBOSE=1 prints every round.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "configfile-helper.h"
#include "pid-info-service.h"

namespace {

const char kServiceSocket[] = "/tmp/.sarv.dom";
const char kEchoSocket[] = "/tmp/pid-bench-echo.sock";
const char kLookupSocket[] = "/tmp/pid-bench-lookup.sock";
constexpr int kClients = 8;  // with the one client of the other row: nine of the service's ten slots
constexpr double kTarget = 0.8;

sockaddr_un Address(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    return addr;
}

int Connect(const char* path) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = Address(path);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fprintf(stderr, "cannot connect to %s\n", path);
    exit(1);
}

enum Server { kEcho, kService, kLookup };
const char* const kPaths[] = {kEchoSocket, kServiceSocket, kLookupSocket};
const char* const kNames[] = {"echo", "service", "lookup"};

// The baseline: as little as a poll-driven socket server can do; with
// `lookups`, it also reads what the service's answer is made of.
class EchoServer {
public:
    EchoServer(const char* path, bool lookups) : path_(path), lookups_(lookups) {
        unlink(path_);
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = Address(path_);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 10) != 0) {
            perror("echo server");
            exit(1);
        }
        if (pipe(stop_) != 0) exit(1);
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoServer() {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
        close(listen_);
        unlink(path_);
    }

private:
    void Run() {
        std::vector<int> clients;
        for (;;) {
            std::vector<pollfd> fds{{listen_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            for (int c : clients) fds.push_back({c, POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[1].revents) break;
            if (fds[0].revents & POLLIN) clients.push_back(accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC));
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                int pid;
                ssize_t n = recv(fds[i].fd, &pid, sizeof pid, MSG_DONTWAIT);
                if (n == sizeof pid) {
                    if (lookups_) Lookup(pid);
                    send(fds[i].fd, &pid, sizeof pid, MSG_NOSIGNAL);
                } else {
                    close(fds[i].fd);
                    clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
                }
            }
        }
        for (int c : clients) close(c);
    }
    static void Lookup(int pid) {
        char path[64], exe[4096];
        snprintf(path, sizeof path, "/proc/%d/exe", pid);
        if (readlink(path, exe, sizeof exe) < 0) abort();  // the clients ask for themselves
        (void)GetVeltrinApplicationId(pid);
    }
    const char* path_;
    bool lookups_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// The answer is complete: four bytes from an echo server, a closing empty
// string from the service.
bool Complete(Server server, const std::string& s) {
    return server != kService ? s.size() >= 4 : s.size() >= 2 && s[s.size() - 1] == 0 && s[s.size() - 2] == 0;
}

// Sends `requests` process ids one after the other on `fd`, each after the
// answer to the one before; exits on a failed request.
void Ask(int fd, Server server, int requests) {
    const int pid = getpid();
    std::string answer;
    char buf[8192];
    for (int i = 0; i < requests; ++i) {
        if (send(fd, &pid, sizeof pid, MSG_NOSIGNAL) != sizeof pid) {
            fprintf(stderr, "%s: request %d not sent: %s\n", kNames[server], i, strerror(errno));
            exit(1);
        }
        answer.clear();
        while (!Complete(server, answer)) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                fprintf(stderr, "%s: request %d not answered\n", kNames[server], i);
                exit(1);
            }
            answer.append(buf, static_cast<size_t>(n));
        }
    }
}

// Requests per second of `clients` clients at once, `requests` in all. The
// connections are set up before the clock starts.
double Measure(Server server, int clients, int requests) {
    std::vector<int> fds;
    for (int c = 0; c < clients; ++c) fds.push_back(Connect(kPaths[server]));
    std::atomic<int> waiting{clients};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 1; c < clients; ++c)
        threads.emplace_back([&, c] {
            --waiting;
            while (!go) std::this_thread::yield();
            Ask(fds[c], server, requests / clients);
        });
    --waiting;
    while (waiting > 0) std::this_thread::yield();
    const auto begin = std::chrono::steady_clock::now();
    go = true;
    Ask(fds[0], server, requests / clients);
    for (auto& t : threads) t.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    for (int fd : fds) close(fd);
    return requests / clients * clients / took.count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Row {
    Row(const char* name, int clients) : name(name), clients(clients) {}
    const char* name;
    int clients;
    std::vector<double> rates[3], ratio, ceiling, own;
};

void Print(const Row& row) {
    const double ratio = Median(row.ratio);
    printf("  %-14s echo server %8.0f req/s   pid service %8.0f req/s   ratio %.2f  (target >= %.1f: %s)\n",
           row.name, Median(row.rates[kEcho]), Median(row.rates[kService]), ratio, kTarget,
           ratio >= kTarget ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("SARV_SANDBOX")) {
        fprintf(stderr, "pid_bench uses %s: run it in tests/sandbox/sarv-sandbox\n", kServiceSocket);
        return 2;
    }
    const int requests = argc > 1 ? atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 21;
    if (requests < kClients || rounds < 1) return 2;

    PidInfoService service;
    service.start();
    EchoServer echo(kEchoSocket, false), lookup(kLookupSocket, true);
    for (Server server : {kEcho, kService, kLookup}) Measure(server, 1, 200);  // warm up; the service is up

    // The machine is shared: the servers take turns in blocks (in the
    // opposite order every other round) so that a busy moment slows all
    // alike; each round gives one ratio and the median is shown. The
    // service's block is always the middle one, so that two blocks of eight
    // never follow one another there: its ten slots may not all have seen
    // their last clients leave yet.
    Row rows[] = {{"one client", 1}, {"eight clients", kClients}};
    for (int round = 0; round < rounds; ++round) {
        for (Row& row : rows) {
            for (Server server : {kEcho, kService, kLookup}) {
                const Server s = round % 2 ? Server(2 - server) : server;
                row.rates[s].push_back(Measure(s, row.clients, requests));
            }
            row.ratio.push_back(row.rates[kService].back() / row.rates[kEcho].back());
            row.ceiling.push_back(row.rates[kLookup].back() / row.rates[kEcho].back());
            row.own.push_back(row.rates[kService].back() / row.rates[kLookup].back());
            if (getenv("PID_BENCH_VERBOSE"))
                fprintf(stderr, "round %d %s: echo %.0f/s service %.0f/s lookups %.0f/s ratio %.3f own %.3f\n", round,
                        row.name, row.rates[kEcho].back(), row.rates[kService].back(), row.rates[kLookup].back(),
                        row.ratio.back(), row.own.back());
        }
    }
    printf("PID information socket against a bare Unix-socket echo server: %d requests a block, "
           "median of %d rounds\n", requests, rounds);
    for (const Row& row : rows) Print(row);
    printf("  the echo server making the answer's two /proc lookups: %.2f (one client) and %.2f (eight) of the bare "
           "one;\n  the service: %.2f and %.2f of that one (1.00: no cost on top of the lookups)\n",
           Median(rows[0].ceiling), Median(rows[1].ceiling), Median(rows[0].own), Median(rows[1].own));
    service.Stop();
    return 0;
}
