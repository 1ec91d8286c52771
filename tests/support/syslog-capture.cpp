#include "syslog-capture.h"

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

sockaddr_un Address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// "<PRI>Mmm dd hh:mm:ss tag[pid]: text" (or "tag: text") as "PRIORITY: text".
std::string Decode(const std::string& raw) {
    static const char* const names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    const size_t head = raw[0] == '<' && raw.find('>') != std::string::npos ? raw.find('>') + 1 : 0;
    const size_t colon = raw.size() > head + 16 ? raw.find(": ", head + 16) : std::string::npos;
    return std::string(names[head ? atoi(raw.c_str() + 1) & 7 : 0]) + ": " +
           raw.substr(colon == std::string::npos ? head : colon + 2);
}

}  // namespace

SyslogCapture::SyslogCapture()
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
            if (n > 0) lines_.push_back(Decode(std::string(buffer, static_cast<size_t>(n)))); else if (errno != EINTR) break;
        }
    });
}

SyslogCapture::~SyslogCapture() {
    if (fd_ < 0) return;
    const sockaddr_un address = Address(path_);
    sendto(fd_, "", 0, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    reader_.join();
    closelog();
    umount2("/dev/log", MNT_DETACH);
    close(fd_);
    unlink(path_.c_str());
}

std::vector<std::string> SyslogCapture::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool SyslogCapture::Contains(const std::string& text, int ms) {
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);;) {
        for (const auto& line : Lines())
            if (line.find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void SyslogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}
