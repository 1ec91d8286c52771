#include "ac-log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

void AcLog(int priority, const char* format, ...) {
    openlog("sarv-ac-manager", LOG_PID, LOG_USER);
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

namespace {

bool IsControl(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x20 || c == 0x7f;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    // Most texts hold no control byte: the text up to the first one is
    // copied whole.
    const auto first = std::find_if(text.begin(), text.end(), IsControl);
    std::string out(text.begin(), first);
    if (first == text.end()) return out;
    out.reserve(text.size() + 12);
    for (auto it = first; it != text.end(); ++it) {
        if (IsControl(*it)) {
            const auto c = static_cast<unsigned char>(*it);
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        } else {
            out += *it;
        }
    }
    return out;
}

std::string LogPrintable(std::string_view text, size_t limit) {
    std::string out = EscapeControls(text.substr(0, limit));
    if (text.size() > limit) out += "...";
    return out;
}
