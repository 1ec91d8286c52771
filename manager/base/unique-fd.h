// Owners of file descriptors and directory streams: every path out of a
// function closes what it opened, and a moved owner closes nothing.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closing keeps errno: callers report the failure that made them give
    // the descriptor up, not the close.
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) {
            const int saved = errno;
            close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct DirCloser {
    void operator()(DIR* dir) const {
        const int saved = errno;
        closedir(dir);
        errno = saved;
    }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
