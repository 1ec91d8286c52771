// Audit records of configuration changes and access questions. The records
// of bus calls, which name their sender, are made in the bus layer
// (ac-audit-bus.h).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <QString>

// libaudit formats a record into fixed buffers and refuses, or the kernel
// cuts, a record of more than 8560 bytes of text (AUDIT_MESSAGE_TEXT_MAX).
// With these bounds a whole record, the service's own executable path and
// the terminal included, stays well below that.
inline constexpr size_t kAuditMessageLimit = 6144;
inline constexpr size_t kAuditCommLimit = 256;
inline constexpr size_t kAuditHostLimit = 255;
// libaudit keeps at most INET6_ADDRSTRLEN - 1 bytes of the address text.
inline constexpr size_t kAuditAddrLimit = 45;
// The default bound of one caller-supplied value in a message.
inline constexpr size_t kAuditValueLimit = 1536;

class AcAudit {
public:
    // One record of type 2312 (user MAC configuration change); result 1 for
    // success, 0 for failure. Every text is bounded as above, a cut ending in
    // "...". Returns 0, also when the audit system cannot be reached, or
    // libaudit's negative result when the record could not be written.
    // Every thread of the process writes on one connection, kept open
    // between records and opened again after a record that failed.
    static int AuditLogMsg(const char* message, const char* comm, int result);
    // The same for texts that may hold NUL bytes: they are escaped like every
    // other control character instead of cutting the text short.
    static int AuditLogMsg(const std::string& message, const std::string& comm, int result);
    // The same, with the name asked of `comm` only when there is a
    // connection to write to.
    static int AuditLogMsgFrom(const std::string& message, const std::function<std::string()>& comm, int result);
};

// Caller-supplied text as the value of a field in a record's message, so
// that it can never be read as fields of its own: kept as it is when libaudit
// would not encode it, otherwise (a space, a quote, a control or non-ASCII
// byte) written as upper-case hexadecimal digits the way libaudit encodes
// values, as audit tools expect. Plain text that looks like such digits is
// encoded too, so that a reader can always tell. At most `limit` bytes; a
// longer value is cut and ends in "...".
std::string AuditValue(std::string_view value, size_t limit = kAuditValueLimit);

// The host's Ethernet and Wifi interfaces as "HW-IPv4-IPv4, HW-IPv4".
QString GetIp();

// The name a record gives the process `pid`: its command line up to the
// first NUL, in the local 8-bit encoding. Only the first kAuditCommLimit + 1
// bytes are kept: a record shows no more, and marks a longer name as cut.
std::string AuditCallerComm(int pid);

// Text as it goes into an audit record: control bytes (below 0x20 and 0x7f)
// become "\xHH", so that caller-supplied text can neither end the record
// early nor start a new line; every other byte is kept.
std::string AuditEscape(std::string_view text);
