// What the code under test sends to syslog, this process's and its children's. Only inside the
// test sandbox: a datagram socket is mounted over the empty /dev/log of its private /dev.
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
    // The messages so far without their "<PRI>timestamp tag[pid]: " head, each after the
    // name of its priority: "err: SetCache failed: ...".
    std::vector<std::string> Lines();
    bool Contains(const std::string& text, int ms = 1000);  // waits up to `ms` for it
    void Clear();

private:
    int fd_ = -1;
    std::string path_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};
