// The local socket service that tells a client which executable (and which
// veltrin application) a process id belongs to.
#pragma once

#include <QThread>

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "unique-fd.h"

struct pollfd;

// One client connection of the service loop.
struct connection_slot {
    int socket;         // -1: the slot is free
    char buffer[8192];  // the answer being sent
    int pending;        // answer bytes still to send
    int pid;            // the last process id received
    int64_t deadline;   // monotonic milliseconds by which the next request must be complete
};

// Creates, binds and opens the listening socket; 0 or -1 (logged).
int start_listen_socket(int* sock);

// Holds all the service's state, so that a fresh object starts afresh; one
// serves the path at a time.
class PidInfoService : public QThread {
    Q_OBJECT
public:
    explicit PidInfoService(QObject* parent = nullptr);
    ~PidInfoService() override;

    // Wakes the service loop, lets it close its sockets and waits until the
    // thread has returned. Safe to call when the thread is not running.
    void Stop();

protected:
    void run() override;

private:
    // Serves "/tmp/.sarv.dom" until Stop() is called. A listening socket
    // that cannot be set up, or that fails, is set up again after a pause;
    // the process never ends for it.
    void pidexe_service_run();
    // Accepts one client into the lowest free slot; 0, or -1 when accepting
    // failed or every slot is taken (the client is then closed at once).
    int handle_new_connection();

    void DrainWakeFd();
    void RememberSocketFile();
    void RemoveOwnSocketFile();
    bool WaitForStop(int ms);
    bool SetUpListening();
    void close_all();
    void close_and_unlink();
    int CloseIdleClients(int64_t now, pollfd* entries);
    bool ServeClients();

    // Only the service thread touches these two.
    int listen_sock = -1;
    connection_slot connection_list[10];

    // Set by Stop() before it pokes the wake descriptor; cleared once the
    // service thread has returned.
    std::atomic<bool> stop_requested_{false};
    // QThread::wait() orders everything an ended service thread did before
    // what the waiting thread does next, but through Qt's own primitives,
    // which thread checkers cannot see. This release/acquire pair states
    // the same order where they can: the next service thread reuses the
    // same sockets and slots.
    std::atomic<unsigned> runs_ended_{0};
    // The loop sleeps in poll() on its sockets and on this descriptor,
    // which Stop() makes readable. Without it (-1) the loop falls back to
    // checking the stop request every 200 ms.
    const UniqueFd wake_fd_;
    // Identity of the socket file this service created, so that stopping
    // never removes a file some later instance has put in its place.
    bool socket_known_ = false;
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
};
