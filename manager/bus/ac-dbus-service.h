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

// The interface: the properties Status and Version, the methods and the
// three change signals. Its handlers (AcGetStatus, AcGetMode, ...) are
// private to ac-dbus-service.cpp; each answers its call exactly once.
extern const sd_bus_vtable ac_bus_vtable[];
