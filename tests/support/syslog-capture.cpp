#include "syslog-capture.h"

#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

std::string Decode(const std::string& raw) {
    static const char* names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    int pri = 0;
    size_t pos = 0;
    if (!raw.empty() && raw[0] == '<') {
        pos = raw.find('>');
        pri = atoi(raw.c_str() + 1) & 7;
        pos = pos == std::string::npos ? 0 : pos + 1;
    }
    // Skip "Mmm dd hh:mm:ss tag[pid]: " (or "tag: " without a pid).
    const size_t stamp = 16;
    size_t colon = raw.size() > pos + stamp ? raw.find(": ", pos + stamp) : std::string::npos;
    std::string msg = colon == std::string::npos ? raw.substr(pos) : raw.substr(colon + 2);
    return std::string(names[pri]) + ": " + msg;
}

}  // namespace

SyslogCapture::SyslogCapture() {
    socket_path_ = "/tmp/syslog-capture-" + std::to_string(getpid()) + "-" +
                   std::to_string(reinterpret_cast<uintptr_t>(this));
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socket_path_.c_str(), sizeof addr.sun_path - 1);
    // The sandbox provides an empty /dev/log in its private /dev; outside it
    // there is nothing to mount over and the capture stays off.
    struct stat st {};
    bool mounted = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                   getenv("SARV_SANDBOX") != nullptr && stat("/dev/log", &st) == 0 && S_ISREG(st.st_mode) &&
                   mount(socket_path_.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) == 0;
    if (!mounted || pipe(stop_pipe_) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    closelog();  // the next openlog() connects to our socket
    thread_ = std::thread(&SyslogCapture::Run, this);
}

SyslogCapture::~SyslogCapture() {
    if (fd_ < 0) return;
    (void)!write(stop_pipe_[1], "x", 1);
    thread_.join();
    closelog();
    umount2("/dev/log", MNT_DETACH);
    close(fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    unlink(socket_path_.c_str());
}

void SyslogCapture::Run() {
    char buf[65536];
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[0].revents & POLLIN) {
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(Decode(std::string(buf, static_cast<size_t>(n))));
            }
            continue;
        }
        if (fds[1].revents & POLLIN) return;
    }
}

std::vector<std::string> SyslogCapture::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool SyslogCapture::Contains(const std::string& text, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& l : lines_)
                if (l.find(text) != std::string::npos) return true;
        }
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void SyslogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}
