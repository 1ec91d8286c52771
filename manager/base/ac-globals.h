// Process-wide state of the bus service.
#pragma once

#include <atomic>
#include <string>

typedef struct sd_bus sd_bus;

// The service's bus connection; null while the service is not running.
extern std::atomic<sd_bus*> g_ac_bus;
// 1 while the service is stopped or stopping, 0 while it runs.
extern std::atomic<int> g_is_stop;
// Text of the last failure reported by the caller check, the cache or the
// adapter dispatch. Each thread has its own copy: it is written and read
// within one call on one thread, and a shared string written from the
// bus and watcher threads at once would be a data race.
extern thread_local std::string ac_error_msg;
