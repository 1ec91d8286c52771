// What the bus benchmarks share: a baseline service on a connection of its
// own, waiting for a bus name, writing configuration files and the median.
#pragma once

#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

// Serves `vtable` at `path`/`interface` under `name` the way the service
// serves its own (process, then wait) until `stop` is set; sets `ready` once
// the name has been asked for.
inline void ServeBaseline(const char* name, const char* path, const char* interface, const sd_bus_vtable* vtable,
                          std::atomic<bool>& ready, const std::atomic<bool>& stop) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return;
    sd_bus_slot* slot = nullptr;
    sd_bus_add_object_vtable(bus, &slot, path, interface, vtable, nullptr);
    sd_bus_request_name(bus, name, 0);
    ready = true;
    while (!stop) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(bus, 100000);
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
}

// Whether `name` gets an owner within about 20 seconds.
inline bool WaitForName(sd_bus* bus, const char* name) {
    for (int i = 0; i < 2000; ++i) {
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", nullptr, &reply, "s", name) >= 0)
            sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        if (has) return true;
        usleep(10000);
    }
    return false;
}

// Writes `text` to `path`, creating the missing folders first.
inline void WriteFile(const std::string& path, const std::string& text) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        mkdir(path.substr(0, pos).c_str(), 0755);
    std::ofstream(path) << text;
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
