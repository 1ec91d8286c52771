// The last-error text the layers share.
#pragma once

#include <string>

// Text of the last failure reported by the caller check, the cache or the
// adapter dispatch. Each thread has its own copy: it is written and read
// within one call on one thread, and a shared string written from the
// bus and watcher threads at once would be a data race.
extern thread_local std::string ac_error_msg;
