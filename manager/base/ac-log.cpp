#include "ac-log.h"

#include <cstdarg>
#include <cstdio>

void AcLog(int priority, const char* format, ...) {
    openlog("sarv-ac-manager", LOG_PID, LOG_USER);
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

std::string LogPrintable(std::string_view text, size_t limit) {
    std::string out;
    for (unsigned char c : text.substr(0, limit)) {
        if (c < 0x20 || c == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    if (text.size() > limit) out += "...";
    return out;
}
