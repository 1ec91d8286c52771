/* A caller of the service as a program of its own, so that a test chooses what the service
 * sees of it: its path (the file is copied), mount namespace, label and user.
 *   bus-client MEMBER STRING
 * calls MEMBER(s) on the system bus; on an error it prints the error's name and message,
 * each on a line of its own, and exits 1. */
#include <stdio.h>

#include <systemd/sd-bus.h>

int main(int argc, char** argv) {
    sd_bus* bus = NULL;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = argc == 3 ? sd_bus_open_system(&bus) : -1;
    if (r >= 0)
        r = sd_bus_call_method(bus, "org.nimbra.sarv1", "/org/nimbra/sarv1/AccessControl",
                               "org.nimbra.sarv1.AccessControl", argv[1], &error, NULL, "s", argv[2]);
    if (r < 0) printf("%s\n%s", error.name ? error.name : "no-bus", error.message ? error.message : "");
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return r < 0;
}
