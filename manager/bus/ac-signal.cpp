#include "ac-signal.h"

#include <systemd/sd-bus.h>

#include <cerrno>

#include "acconstants.h"

std::atomic<sd_bus*> g_ac_bus{nullptr};
std::atomic<int> g_is_stop{1};
std::recursive_mutex g_ac_bus_mutex;

int EmitAcSignal(const char* member, const std::string& first, const std::string& change) {
    std::lock_guard<std::recursive_mutex> lock(g_ac_bus_mutex);
    sd_bus* bus = g_ac_bus.load();
    if (!bus) return -ENOTCONN;
    int r = sd_bus_emit_signal(bus, kSarvACManagerPath.c_str(), kSarvAcManagerInterface.c_str(), member, "ss",
                               first.c_str(), change.c_str());
    // The bus loop may be idle in its wait; push the message out now.
    if (r >= 0) sd_bus_flush(bus);
    return r;
}
