// Requests per second of the PID information service, against a minimal
// Unix-socket echo server (4 bytes in, 4 bytes out, one poll loop) measured
// in the same run: the ratio shows what the service's own work costs over
// the bare socket round trip.
//
//   pid_bench [REQUESTS [ROUNDS]]     (inside the sandbox: uses /tmp/.sarv.dom)
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

#include "pid-info-service.h"

namespace {

const char kServiceSocket[] = "/tmp/.sarv.dom";
const char kEchoSocket[] = "/tmp/pid-bench-echo.sock";

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

// The baseline: as little as a poll-driven socket server can do.
class EchoServer {
public:
    EchoServer() {
        unlink(kEchoSocket);
        listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = Address(kEchoSocket);
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
        unlink(kEchoSocket);
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
                    send(fds[i].fd, &pid, sizeof pid, MSG_NOSIGNAL);
                } else {
                    close(fds[i].fd);
                    clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
                }
            }
        }
        for (int c : clients) close(c);
    }
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// Reads until `done(answer)` holds; false on end of stream.
template <typename Done>
bool ReadAnswer(int fd, std::string& answer, Done done) {
    answer.clear();
    char buf[8192];
    while (!done(answer)) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        answer.append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool EndsWithTwoZeros(const std::string& s) { return s.size() >= 2 && s[s.size() - 1] == 0 && s[s.size() - 2] == 0; }

// Requests per second for `requests` sequential round trips on one connection.
template <typename Done>
double Measure(const char* path, int requests, Done done) {
    int fd = Connect(path);
    int pid = getpid();
    std::string answer;
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < requests; ++i) {
        if (send(fd, &pid, sizeof pid, MSG_NOSIGNAL) != sizeof pid || !ReadAnswer(fd, answer, done)) {
            fprintf(stderr, "%s: request %d failed\n", path, i);
            exit(1);
        }
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    close(fd);
    return requests / took.count();
}

// The same with `clients` connections at once, each on its own thread.
template <typename Done>
double MeasureParallel(const char* path, int clients, int requests, Done done) {
    std::vector<std::thread> threads;
    auto begin = std::chrono::steady_clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            Measure(path, requests / clients, done);
        });
    for (auto& t : threads) t.join();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    return (requests / clients) * clients / took.count();
}

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("SARV_SANDBOX")) {
        fprintf(stderr, "pid_bench uses %s: run it in tests/sandbox/sarv-sandbox\n", kServiceSocket);
        return 2;
    }
    int requests = argc > 1 ? atoi(argv[1]) : 20000;
    int rounds = argc > 2 ? atoi(argv[2]) : 3;
    if (requests < 10 || rounds < 1) return 2;

    PidInfoService service;
    service.start();
    EchoServer echo;
    auto echo_done = [](const std::string& s) { return s.size() >= 4; };

    // Warm up both paths once.
    Measure(kEchoSocket, 100, echo_done);
    Measure(kServiceSocket, 100, EndsWithTwoZeros);

    double echo_best = 0, service_best = 0, echo_par = 0, service_par = 0;
    for (int r = 0; r < rounds; ++r) {
        echo_best = std::max(echo_best, Measure(kEchoSocket, requests, echo_done));
        service_best = std::max(service_best, Measure(kServiceSocket, requests, EndsWithTwoZeros));
        echo_par = std::max(echo_par, MeasureParallel(kEchoSocket, 8, requests, echo_done));
        service_par = std::max(service_par, MeasureParallel(kServiceSocket, 8, requests, EndsWithTwoZeros));
    }
    printf("requests per round: %d, rounds: %d (best round shown)\n", requests, rounds);
    printf("one client:    echo server %10.0f req/s   pid service %10.0f req/s   ratio %.3f\n", echo_best,
           service_best, service_best / echo_best);
    printf("eight clients: echo server %10.0f req/s   pid service %10.0f req/s   ratio %.3f\n", echo_par,
           service_par, service_par / echo_par);
    service.Stop();
    return 0;
}
