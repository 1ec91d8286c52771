#include "pid-info-service.h"

#include <poll.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "ac-log.h"
#include "configfile-helper.h"
#include "unique-fd.h"

namespace {

const char kSocketPath[] = "/tmp/.sarv.dom";
constexpr int kSlots = 10;  // of connection_list
constexpr int kMaxExePath = 4096;
// Process ids taken in by one read; more that have arrived at once are
// read in the next pass.
constexpr size_t kRequestsPerRead = 16;
// A client that has not completed a request this long after connecting or
// after its last request loses its slot, so that idle clients cannot hold
// all ten for good.
constexpr int64_t kIdleLimitMs = 5000;
// Pauses between attempts to set up the listening socket.
constexpr int kFirstRetryMs = 500;
constexpr int kLastRetryMs = 60000;

int64_t NowMs() {
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Makes the socket path free to bind. A socket left behind is removed, and
// so is a file or a link. A folder that some user made there is renamed out
// of the way: removing a tree in a folder that every user writes to is not
// safe for root.
void ClearSocketPath() {
    struct stat st {};
    if (lstat(kSocketPath, &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(kSocketPath);
        return;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        uint64_t token = 0;
        if (getrandom(&token, sizeof token, GRND_NONBLOCK) != sizeof token) token = static_cast<uint64_t>(NowMs());
        char aside[64];
        snprintf(aside, sizeof aside, "%s.moved-%016llx", kSocketPath, static_cast<unsigned long long>(token));
        if (renameat2(AT_FDCWD, kSocketPath, AT_FDCWD, aside, RENAME_NOREPLACE) == 0) {
            AcLog(LOG_ERR, "%s was not a socket, moved to %s", kSocketPath, aside);
            return;
        }
        if (errno != EEXIST) return;
    }
}

void close_slot(connection_slot& slot) {
    close(slot.socket);
    slot.socket = -1;
    memset(slot.buffer, 0, sizeof slot.buffer);
    slot.pending = 0;
}

void send_answer(connection_slot& slot) {
    // Never block the loop on a slow reader, and never let a reader that
    // has gone raise SIGPIPE in the host process.
    ssize_t n = send(slot.socket, slot.buffer, static_cast<size_t>(slot.pending), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        slot.pending -= static_cast<int>(n);
        if (slot.pending > 0) memmove(slot.buffer, slot.buffer + n, static_cast<size_t>(slot.pending));
        return;
    }
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    AcLog(LOG_ERR, "send() from peer error");
    close_slot(slot);
}

// Puts the executable path of `pid` and a zero at the start of the slot's
// buffer; the path's length, or -1 (logged) when the link cannot be read.
ssize_t read_exe_path(connection_slot& slot, int pid) {
    char exe_path[64] = {0};
    snprintf(exe_path, sizeof exe_path, "/proc/%d/exe", pid);
    ssize_t len = readlink(exe_path, slot.buffer, kMaxExePath);
    if (len < 0) {
        int exe_len = -errno;
        AcLog(LOG_ERR, "readlink error exePath = %s!", exe_path);
        AcLog(LOG_ERR, "get_pid_exepath error exe_len = %d", exe_len);
        return -1;
    }
    slot.buffer[len] = '\0';
    return len;
}

// Reads the requests that have arrived and answers the last of them: the
// executable path, a zero, the application id and a zero when there is
// one, and a closing zero. A request read before the answer to the one
// before has gone out replaces that answer, so the earlier ones are only
// checked (the connection ends at the first that cannot be answered). The
// answer is sent at once; what the socket does not take waits for the
// loop to see it writable.
void read_request(connection_slot& slot, int64_t now) {
    int32_t pids[kRequestsPerRead];
    ssize_t n = recv(slot.socket, pids, sizeof pids, MSG_DONTWAIT);
    if (n <= 0 || n % static_cast<ssize_t>(sizeof pids[0]) != 0) {
        // End of stream, an error, or a fragment of a process id: a stream
        // that has lost its alignment cannot be answered any more.
        close_slot(slot);
        return;
    }
    slot.deadline = now + kIdleLimitMs;
    ssize_t len = -1;
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof pids[0]; ++i) {
        slot.pid = pids[i];
        len = read_exe_path(slot, slot.pid);
        if (len < 0) {
            close_slot(slot);
            return;
        }
    }
    size_t answer = static_cast<size_t>(len) + 1;
    std::string appid;
    try {
        appid = GetVeltrinApplicationId(slot.pid);
    } catch (...) {
        appid.clear();
    }
    if (!appid.empty()) {
        // Leave room for the id's zero and the closing zero.
        size_t room = sizeof slot.buffer - answer - 2;
        size_t copied = std::min(appid.size(), room);
        memcpy(slot.buffer + answer, appid.data(), copied);
        slot.buffer[answer + copied] = '\0';
        answer += copied + 1;
    }
    slot.buffer[answer] = '\0';
    slot.pending = static_cast<int>(answer + 1);
    send_answer(slot);
}

// Points the poll entry of a slot at its socket (-1: poll() skips it) and
// asks for writability only while part of an answer waits.
void watch_slot(pollfd& entry, const connection_slot& slot) {
    entry.fd = slot.socket;
    entry.events = static_cast<short>(POLLIN | POLLPRI | (slot.pending > 0 ? POLLOUT : 0));
}

}  // namespace

namespace {

// start_listen_socket without its log line: the step that failed is left
// in `failed`, errno tells why.
int OpenListenSocket(int* sock, const char** failed) {
    *sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (*sock < 0) {
        *failed = "socket()";
        return -1;
    }
    int on = 1;
    if (setsockopt(*sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        *failed = "setsockopt()";
        return -1;
    }
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, kSocketPath, sizeof kSocketPath - 1);
    socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kSocketPath - 1);
    if (bind(*sock, reinterpret_cast<sockaddr*>(&addr), addr_len) < 0) {
        *failed = "bind";
        return -1;
    }
    if (listen(*sock, 10) < 0) {
        *failed = "listen()";
        return -1;
    }
    chmod(kSocketPath, 0777);
    return 0;
}

}  // namespace

PidInfoService::PidInfoService(QObject* parent)
    : QThread(parent), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void PidInfoService::DrainWakeFd() {
    uint64_t value;
    if (wake_fd_) (void)!read(wake_fd_.get(), &value, sizeof value);
}

void PidInfoService::RememberSocketFile() {
    struct stat st {};
    socket_known_ = stat(kSocketPath, &st) == 0;
    socket_dev_ = st.st_dev;
    socket_ino_ = st.st_ino;
}

void PidInfoService::RemoveOwnSocketFile() {
    struct stat st {};
    if (socket_known_ && stat(kSocketPath, &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_)
        unlink(kSocketPath);
    socket_known_ = false;
}

// Waits up to `ms` for a stop request; true when one came.
bool PidInfoService::WaitForStop(int ms) {
    const int64_t end = NowMs() + ms;
    for (int64_t left = ms; left > 0 && !stop_requested_.load(); left = end - NowMs()) {
        pollfd wake{wake_fd_.get(), POLLIN, 0};
        const int slice = wake_fd_ ? static_cast<int>(left) : static_cast<int>(std::min<int64_t>(left, 200));
        if (wake_fd_) {
            if (poll(&wake, 1, slice) > 0) break;
        } else {
            usleep(static_cast<useconds_t>(slice) * 1000);
        }
    }
    return stop_requested_.load();
}

void PidInfoService::close_all() {
    if (listen_sock >= 0) close(listen_sock);
    listen_sock = -1;
    for (auto& slot : connection_list)
        if (slot.socket != -1) close_slot(slot);
}

// Sets up the listening socket, and while that fails tries again after a
// pause that doubles up to a minute, until it works (true) or a stop is
// requested (false). The service must not end its host for a path that
// any user can occupy. A failure is logged when it differs from the last.
bool PidInfoService::SetUpListening() {
    std::string lastFailure;
    for (int pause = kFirstRetryMs;; pause = std::min(pause * 2, kLastRetryMs)) {
        if (stop_requested_.load()) return false;
        ClearSocketPath();
        const char* failed = "";
        if (OpenListenSocket(&listen_sock, &failed) == 0) {
            RememberSocketFile();
            return true;
        }
        const std::string failure = std::string(failed) + " " + strerror(errno);
        if (listen_sock >= 0) close(listen_sock);
        listen_sock = -1;
        if (failure != lastFailure) AcLog(LOG_ERR, "%s %s", "start_listen_socket", failed);
        lastFailure = failure;
        if (WaitForStop(pause)) return false;
    }
}

int start_listen_socket(int* sock) {
    const char* failed = "";
    if (OpenListenSocket(sock, &failed) == 0) return 0;
    AcLog(LOG_ERR, "%s %s", "start_listen_socket", failed);
    return -1;
}

int PidInfoService::handle_new_connection() {
    sockaddr_un addr {};
    socklen_t addr_len = sizeof addr;
    UniqueFd client(accept4(listen_sock, reinterpret_cast<sockaddr*>(&addr), &addr_len, SOCK_CLOEXEC));
    if (!client) {
        int err = errno;
        AcLog(LOG_ERR, "handle_new_connection accept() %d new_client_sock = %d", err, client.get());
        // Out of descriptors or memory: the client stays queued and the
        // listening socket stays readable; do not spin on it.
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) usleep(100000);
        return -1;
    }
    for (auto& slot : connection_list) {
        if (slot.socket != -1) continue;
        slot.socket = client.release();
        slot.pending = 0;
        slot.deadline = NowMs() + kIdleLimitMs;
        return 0;
    }
    return -1;
}

void PidInfoService::close_and_unlink() {
    close_all();
    RemoveOwnSocketFile();
}

// The milliseconds until the first client's time is up (-1: no client),
// closing every client whose time is up already.
int PidInfoService::CloseIdleClients(int64_t now, pollfd* entries) {
    int64_t next = -1;
    for (int i = 0; i < kSlots; ++i) {
        connection_slot& slot = connection_list[i];
        if (slot.socket == -1) continue;
        if (slot.deadline <= now) {
            close_slot(slot);
            watch_slot(entries[i], slot);
            continue;
        }
        if (next < 0 || slot.deadline - now < next) next = slot.deadline - now;
    }
    return static_cast<int>(next);
}

// Serves the clients until a stop is requested (true) or the listening
// socket fails (false). The poll set has a fixed entry for every slot and
// changes only where a slot does.
bool PidInfoService::ServeClients() {
    pollfd fds[2 + kSlots];
    pollfd* const entries = fds + 2;
    fds[0] = {listen_sock, POLLIN | POLLPRI, 0};
    fds[1] = {wake_fd_.get(), POLLIN, 0};
    for (int i = 0; i < kSlots; ++i) {
        entries[i].revents = 0;
        watch_slot(entries[i], connection_list[i]);
    }
    int64_t now = NowMs();
    while (!stop_requested_.load()) {
        int timeout = CloseIdleClients(now, entries);
        if (!wake_fd_ && (timeout < 0 || timeout > 200)) timeout = 200;
        int ready = poll(fds, 2 + kSlots, timeout);
        now = NowMs();
        if (ready < 0) {
            if (errno == EINTR) continue;
            AcLog(LOG_ERR, "select() error %d", errno);
            return false;
        }
        if (ready == 0) continue;
        if (fds[1].revents != 0) continue;  // a stop request; checked above

        // The new client's entry had no socket in this poll, so its events
        // are empty; the other entries keep theirs.
        if (fds[0].revents & POLLIN && handle_new_connection() == 0)
            for (int i = 0; i < kSlots; ++i) watch_slot(entries[i], connection_list[i]);
        if (fds[0].revents & (POLLPRI | POLLERR | POLLHUP | POLLNVAL)) {
            AcLog(LOG_ERR, "Exception listen socket fd.\n");
            return false;
        }
        for (int i = 0; i < kSlots; ++i) {
            connection_slot& slot = connection_list[i];
            const short events = entries[i].revents;
            if (events == 0 || slot.socket == -1) continue;
            if (events & POLLNVAL) {
                // Not open any more: nothing to close, only the slot to free.
                slot.socket = -1;
                slot.pending = 0;
            } else {
                // A hang-up or error reads as end of stream or a failed read.
                if (events & (POLLIN | POLLHUP | POLLERR)) read_request(slot, now);
                if (slot.socket != -1 && (events & POLLOUT) && slot.pending > 0) send_answer(slot);
                if (slot.socket != -1 && (events & POLLPRI)) close_slot(slot);
            }
            watch_slot(entries[i], slot);
        }
    }
    return true;
}

void PidInfoService::pidexe_service_run() {
    for (auto& slot : connection_list) {
        slot.socket = -1;
        memset(slot.buffer, 0, sizeof slot.buffer);
        slot.pending = 0;
        slot.pid = 0;
        slot.deadline = 0;
    }
    // A failing listening socket is set up anew; nothing here ends the
    // process, which hosts other services too.
    while (SetUpListening()) {
        const bool stopped = ServeClients();
        close_and_unlink();
        if (stopped || WaitForStop(kFirstRetryMs)) break;
    }
    close_and_unlink();
}

PidInfoService::~PidInfoService() {
    if (QThread::currentThread() != this) Stop();
}

void PidInfoService::run() {
    pidexe_service_run();
    runs_ended_.fetch_add(1, std::memory_order_release);
}

void PidInfoService::Stop() {
    if (QThread::currentThread() == this) {
        stop_requested_ = true;
        return;
    }
    if (!isRunning()) {
        (void)runs_ended_.load(std::memory_order_acquire);
        return;
    }
    stop_requested_ = true;
    uint64_t one = 1;
    if (wake_fd_) (void)!write(wake_fd_.get(), &one, sizeof one);
    wait();
    (void)runs_ended_.load(std::memory_order_acquire);
    stop_requested_ = false;
    DrainWakeFd();
}
