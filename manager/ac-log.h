// Logging to syslog under the service's own identity.
#pragma once

#include <syslog.h>

// Every message is preceded by openlog("sarv-ac-manager", LOG_PID, LOG_USER).
void AcLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// File events carry "[file:line function] " in front of the message.
#define AC_LOG_DEBUG(fmt, ...) AcLog(LOG_DEBUG, "[%s:%d %s] " fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
