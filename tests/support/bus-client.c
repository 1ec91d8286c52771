/* A caller of the service as a program of its own, so that a test chooses
 * what the service sees of it: its path (the file is copied), its mount
 * namespace (run under unshare -m), its label (written for its pid) and its
 * user.
 *
 *   bus-client MEMBER STRING
 *
 * Calls MEMBER(s) on the system bus and prints "ok", or "error", the error
 * name and the error message, each on a line of its own. */
#include <stdio.h>

#include <systemd/sd-bus.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s MEMBER STRING\n", argv[0]);
        return 2;
    }
    sd_bus* bus = NULL;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = NULL;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_call_method(bus, "org.nimbra.sarv1", "/org/nimbra/sarv1/AccessControl",
                               "org.nimbra.sarv1.AccessControl", argv[1], &error, &reply, "s", argv[2]);
    if (r >= 0)
        printf("ok\n");
    else
        printf("error\n%s\n%s\n", error.name ? error.name : "no-bus", error.message ? error.message : "");
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return 0;
}
