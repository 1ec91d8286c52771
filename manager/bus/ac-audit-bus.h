// The audit records of bus calls, named after their sender.
#pragma once

#include <string>

typedef struct sd_bus_message sd_bus_message;

// A record about the sender of `m`, named by its command line as
// get_sender_comm keeps it. A record that could not be written is logged
// with the name of the called method; the caller's answer does not depend
// on it.
void Audit_Msg(sd_bus_message* m, const char* message, int result);
void Audit_Msg(sd_bus_message* m, const std::string& message, int result);

// The process id of the sender of `m`, or 0 when the bus cannot tell.
int get_caller_pid(sd_bus_message* m);
