// Audit records of configuration changes and access questions, and the
// /proc readers that identify the process behind a bus call.
#pragma once

#include <string>
#include <string_view>

#include <QString>

typedef struct sd_bus_message sd_bus_message;

class AcAudit {
public:
    // One record of type 2312 (user MAC configuration change); result 1 for
    // success, 0 for failure. Nothing is written when the audit system cannot
    // be reached, and the caller never learns of it.
    static void AuditLogMsg(const char* message, const char* comm, int result);
    // The same for texts that may hold NUL bytes: they are escaped like every
    // other control character instead of cutting the text short.
    static void AuditLogMsg(const std::string& message, const std::string& comm, int result);
};

// A record about the sender of `m`, named by its command line.
void Audit_Msg(sd_bus_message* m, const char* message, int result);
void Audit_Msg(sd_bus_message* m, const std::string& message, int result);

// The process id of the sender of `m`, or 0 when the bus cannot tell.
int get_caller_pid(sd_bus_message* m);

// The host's Ethernet and Wifi interfaces as "HW-IPv4-IPv4, HW-IPv4".
QString GetIp();

// The target of /proc/PID/NAME, or "" (logged) when it cannot be read.
std::string get_pid_link(int pid, const char* name);

// The first line of /proc/PID/cmdline (arguments still NUL-separated).
QString get_caller_cmdline(int pid);

// Text as it goes into an audit record: control bytes (below 0x20 and 0x7f)
// become "\xHH", so that caller-supplied text can neither end the record
// early nor start a new line; every other byte is kept.
std::string AuditEscape(std::string_view text);
