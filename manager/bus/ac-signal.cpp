#include "ac-signal.h"

#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "ac-log.h"
#include "acconstants.h"

std::atomic<sd_bus*> g_ac_bus{nullptr};
std::atomic<int> g_is_stop{1};

namespace {

// The watcher sends one signal per file it takes in and pauses between
// files, so the loop falls this far behind only while it is stuck in a long
// call. A thread that finds the queue full waits for room rather than lose a
// signal, and gives up (logged) only after kRoomWait.
constexpr size_t kMaxQueued = 1024;
constexpr std::chrono::seconds kRoomWait{5};

struct PendingSignal {
    std::string member;
    std::string first;
    std::string change;
};

// The result reaches a caller on the loop's thread only; for a queued signal
// nobody waits to hear it.
int Send(sd_bus* bus, const PendingSignal& signal) {
    return sd_bus_emit_signal(bus, kSarvACManagerPath.c_str(), kSarvAcManagerInterface.c_str(),
                              signal.member.c_str(), "ss", signal.first.c_str(), signal.change.c_str());
}

void SendAll(sd_bus* bus, const std::deque<PendingSignal>& batch) {
    for (const PendingSignal& signal : batch) Send(bus, signal);
}

// g_ac_bus and the loop's thread change together under mutex_, so a thread
// either queues for a loop that will still send, or learns that none runs.
class SignalQueue {
public:
    void Open(sd_bus* bus) {
        std::lock_guard<std::mutex> lock(mutex_);
        owner_ = std::this_thread::get_id();
        g_ac_bus = bus;
    }

    bool OnLoopThread() {
        std::lock_guard<std::mutex> lock(mutex_);
        return g_ac_bus.load() && owner_ == std::this_thread::get_id();
    }

    int Queue(PendingSignal signal) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait_for(lock, kRoomWait, [&] { return !g_ac_bus.load() || pending_.size() < kMaxQueued; });
        if (!g_ac_bus.load()) return -ENOTCONN;
        if (pending_.size() >= kMaxQueued) {
            AcLog(LOG_ERR, "EmitAcSignal %s dropped: %zu signals still wait for the bus loop", signal.member.c_str(),
                  pending_.size());
            return -ENOBUFS;
        }
        pending_.push_back(std::move(signal));
        lock.unlock();
        WakeLoop();
        return 0;
    }

    // The sending happens outside the lock: a queuing thread never waits
    // for the socket.
    void Flush() {
        std::deque<PendingSignal> batch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            batch.swap(pending_);
        }
        if (batch.empty()) return;
        room_.notify_all();
        SendAll(g_ac_bus.load(), batch);
    }

    void Close() {
        std::deque<PendingSignal> rest;
        sd_bus* bus = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bus = g_ac_bus.exchange(nullptr);
            owner_ = std::thread::id();
            rest.swap(pending_);
        }
        room_.notify_all();
        if (bus) SendAll(bus, rest);
    }

private:
    std::mutex mutex_;
    std::condition_variable room_;
    std::deque<PendingSignal> pending_;
    std::thread::id owner_;
};

// Never destroyed: a loop may still run while the process exits (a service
// owned by a static that ends it from its destructor) and send what is queued.
SignalQueue& Signals() {
    static SignalQueue* const signals = new SignalQueue;
    return *signals;
}

}  // namespace

int EmitAcSignal(const char* member, const std::string& first, const std::string& change) {
    PendingSignal signal{member, first, change};
    if (!Signals().OnLoopThread()) return Signals().Queue(std::move(signal));
    // Sent before the call that caused it is answered (the reply follows
    // once the method returns), and after what other threads queued first.
    Signals().Flush();
    return Send(g_ac_bus.load(), signal);
}

void OpenAcSignals(sd_bus* bus) { Signals().Open(bus); }

void CloseAcSignals() { Signals().Close(); }

void FlushAcSignals() { Signals().Flush(); }

int WakeFd() {
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void DrainWakeFd() {
    uint64_t count;
    while (WakeFd() >= 0 && read(WakeFd(), &count, sizeof count) > 0) {
    }
}

void WakeLoop() {
    if (WakeFd() < 0) return;
    uint64_t one = 1;
    (void)!write(WakeFd(), &one, sizeof one);
}
