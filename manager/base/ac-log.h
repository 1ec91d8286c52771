// Logging to syslog under the service's own identity.
#pragma once

#include <syslog.h>

#include <string>
#include <string_view>

// Every message is preceded by openlog("sarv-ac-manager", LOG_PID, LOG_USER).
void AcLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// File events carry "[file:line function] " in front of the message.
#define AC_LOG_DEBUG(fmt, ...) AcLog(LOG_DEBUG, "[%s:%d %s] " fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)

// The default bound of one untrusted value in a log line.
inline constexpr size_t kLogValueLimit = 1024;

// The one escaping of untrusted text, for the log and for audit records
// alike: each control byte becomes "\xNN", everything else stays as it is.
std::string EscapeControls(std::string_view text);

// Untrusted text on its way into the log, at most `limit` bytes of it
// (a longer text is cut and ends in "..."): control bytes become "\xNN", so
// they cannot forge lines.
std::string LogPrintable(std::string_view text, size_t limit = kLogValueLimit);
