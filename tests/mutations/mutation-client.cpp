// A minimal client of the service, run as a separate program so that a test
// controls what the service sees of its caller: its executable path (the
// binary is copied to trusted or untrusted places), its mount namespace
// (run under `unshare -m`) and its security label (written for its pid).
//
//   mutation-client MEMBER STRING
//
// Calls MEMBER(s) on the system bus and prints "ok" or "error", then the
// error name and the error message, each on a line of its own.
#include <cstdio>

#include <systemd/sd-bus.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s MEMBER STRING\n", argv[0]);
        return 2;
    }
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        printf("error\nno-bus\n\n");
        return 1;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.nimbra.sarv1", "/org/nimbra/sarv1/AccessControl",
                               "org.nimbra.sarv1.AccessControl", argv[1], &error, &reply, "s", argv[2]);
    if (r >= 0)
        printf("ok\n\n\n");
    else
        printf("error\n%s\n%s\n", error.name ? error.name : "", error.message ? error.message : "");
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return 0;
}
