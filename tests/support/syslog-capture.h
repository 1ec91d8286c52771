// Captures what the code under test sends to syslog. Only inside the test
// sandbox: it binds a datagram socket and mounts it over /dev/log in the
// sandbox's private mount namespace.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SyslogCapture {
public:
    SyslogCapture();
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Messages received so far, without the "<PRI>timestamp tag[pid]: " head,
    // each prefixed by its priority name, e.g. "err: SetCache failed: ...".
    std::vector<std::string> Lines();
    // Whether any message so far contains `text` (waits up to `ms` for it).
    bool Contains(const std::string& text, int ms = 1000);
    void Clear();

private:
    void Run();
    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::string socket_path_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};
