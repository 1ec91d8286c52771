#include "ac-log.h"

#include <cstdarg>

void AcLog(int priority, const char* format, ...) {
    openlog("sarv-ac-manager", LOG_PID, LOG_USER);
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}
