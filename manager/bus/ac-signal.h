// Emitting the service's change signals from any thread.
//
// sd-bus connections are not thread-safe, and changes arrive on the bus
// thread (bus methods) and on the watcher thread (files changed on disk).
// Only the loop's thread ever uses the connection: there a signal goes out
// at once; any other thread queues it and wakes the loop, which sends what
// is queued, in order, whenever it wakes and before it handles each message
// it has read. A peer that saw a signal's cause therefore sees the signal
// before the answer to anything it asks afterwards, as when every thread
// sent on the connection itself.
#pragma once

#include <atomic>
#include <string>

typedef struct sd_bus sd_bus;

// The service's bus connection; null while the service is not running.
// Only the loop's thread uses it; other threads queue their signals.
extern std::atomic<sd_bus*> g_ac_bus;
// 1 while the service is stopped or stopping, 0 while it runs.
extern std::atomic<int> g_is_stop;

// Emits MEMBER(ss) from the service object: at once on the loop's thread
// (the result of sd_bus_emit_signal), otherwise queued for it (0). -ENOTCONN
// when the service is not on the bus, -ENOBUFS when the queue stayed full.
int EmitAcSignal(const char* member, const std::string& first, const std::string& change);

// For the loop, on its own thread: the connection's signals are served from
// Open until Close; Close sends what is still queued and refuses the rest.
void OpenAcSignals(sd_bus* bus);
void CloseAcSignals();
// Sends what other threads have queued.
void FlushAcSignals();

// The descriptor that cuts the loop's wait short: for queued signals and for
// stop_ac_dbus. Created once and never closed, so a late wake can never
// write into a descriptor that has been reused for something else.
int WakeFd();
void WakeLoop();
void DrainWakeFd();
