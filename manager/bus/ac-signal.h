// Emitting the service's change signals from any thread.
//
// sd-bus connections are not thread-safe, and changes arrive on the bus
// thread (bus methods) and on the watcher thread (files changed on disk).
// Every use of g_ac_bus outside the bus loop therefore goes through
// g_ac_bus_mutex, and the bus loop holds it while it processes messages
// (never while it waits). It is recursive because bus methods emit signals
// from inside that processing.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

typedef struct sd_bus sd_bus;

// The service's bus connection; null while the service is not running.
extern std::atomic<sd_bus*> g_ac_bus;
// 1 while the service is stopped or stopping, 0 while it runs.
extern std::atomic<int> g_is_stop;
extern std::recursive_mutex g_ac_bus_mutex;

// Emits MEMBER(ss) from the service object; the result of
// sd_bus_emit_signal, or -ENOTCONN when the service is not on the bus.
int EmitAcSignal(const char* member, const std::string& first, const std::string& change);
