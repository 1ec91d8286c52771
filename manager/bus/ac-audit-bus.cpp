#include "ac-audit-bus.h"

#include <systemd/sd-bus.h>

#include "ac-audit.h"
#include "ac-log.h"
#include "caller-check.h"

int get_caller_pid(sd_bus_message* m) {
    // Kept per connection by the caller check (caller-check.h).
    return get_sender_pid(m);
}

void Audit_Msg(sd_bus_message* m, const std::string& message, int result) {
    // The sender is looked up only when there is a connection to write to.
    const int r = AcAudit::AuditLogMsgFrom(message, [m] { return get_sender_comm(m); }, result);
    const char* method = m ? sd_bus_message_get_member(m) : nullptr;
    if (r < 0) AcLog(LOG_ERR, "%s audit_log_user_comm_message failed: %d!", method ? method : "?", r);
}

void Audit_Msg(sd_bus_message* m, const char* message, int result) {
    Audit_Msg(m, std::string(message ? message : ""), result);
}
