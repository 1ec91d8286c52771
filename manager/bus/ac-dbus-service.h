// The service's presence on the system bus: the object
// /org/nimbra/sarv1/AccessControl with the interface
// org.nimbra.sarv1.AccessControl under the name org.nimbra.sarv1, its loop,
// and the thin handlers that sd-bus calls for each member.
#pragma once

#include <systemd/sd-bus.h>

// Runs the service on the calling thread until stop_ac_dbus(); 0 after an
// orderly stop, -1 after any failure (no bus, name already owned, ...).
int start_ac_dbus();
// Asks the loop to end and waits for it, about three seconds at most.
void stop_ac_dbus();

extern const sd_bus_vtable ac_bus_vtable[];

// Property getters.
int AcGetStatus(sd_bus* bus, const char* path, const char* interface, const char* property, sd_bus_message* reply,
                void* userdata, sd_bus_error* error);
int AcGetVersion(sd_bus* bus, const char* path, const char* interface, const char* property, sd_bus_message* reply,
                 void* userdata, sd_bus_error* error);

// Method handlers: each answers its call exactly once.
int AcCanAuthorize(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcCheckAuthorization(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcGetMode(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcSetMode(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcDeleteMode(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcListEntity(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcGetEntity(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcSetEntity(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcDeleteEntity(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcGetPolicy(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcSetPolicy(sd_bus_message* m, void* userdata, sd_bus_error* error);
int AcDeletePolicy(sd_bus_message* m, void* userdata, sd_bus_error* error);
