// The local socket service that tells a client which executable (and which
// veltrin application) a process id belongs to.
#pragma once

#include <QThread>

#include <cstdint>

class PidInfoService : public QThread {
    Q_OBJECT
public:
    explicit PidInfoService(QObject* parent = nullptr) : QThread(parent) {}
    ~PidInfoService() override;

    // Wakes the service loop, lets it close its sockets and waits until the
    // thread has returned. Safe to call when the thread is not running.
    void Stop();

protected:
    void run() override;
};

// One client connection of the service loop.
struct connection_slot {
    int socket;         // -1: the slot is free
    char buffer[8192];  // the answer being sent
    int pending;        // answer bytes still to send
    int pid;            // the last process id received
    int64_t deadline;   // monotonic milliseconds by which the next request must be complete
};

extern int listen_sock;
extern connection_slot connection_list[10];

// Serves "/tmp/.sarv.dom" until Stop() is called. A listening socket that
// cannot be set up, or that fails, is set up again after a pause; the
// process never ends for it.
void pidexe_service_run();
// Creates, binds and opens the listening socket; 0 or -1 (logged).
int start_listen_socket(int* sock);
// Accepts one client into the lowest free slot; 0, or -1 when accepting
// failed or every slot is taken (the client is then closed at once).
int handle_new_connection();
