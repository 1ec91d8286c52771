// A property a fuzz target insists on: when it fails the input is reported
// like a crash (libFuzzer keeps it as an artifact, a replay run fails).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

[[noreturn]] inline void FuzzCheckFailed(const char* what, const char* file, int line, const std::string& detail) {
    fprintf(stderr, "fuzz property violated at %s:%d: %s\n", file, line, what);
    if (!detail.empty()) fprintf(stderr, "  %s\n", detail.c_str());
    abort();
}

#define FUZZ_CHECK(cond, detail)                                                   \
    do {                                                                           \
        if (!(cond)) FuzzCheckFailed(#cond, __FILE__, __LINE__, std::string(detail)); \
    } while (0)

// The pieces of `text` between separators; n separators give n + 1 pieces.
inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}
