// A property a fuzz target insists on: when it fails the input is reported
// like a crash (libFuzzer keeps it as an artifact, a replay run fails).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void FuzzCheckFailed(const char* what, const char* file, int line, const std::string& detail) {
    fprintf(stderr, "fuzz property violated at %s:%d: %s\n", file, line, what);
    if (!detail.empty()) fprintf(stderr, "  %s\n", detail.c_str());
    abort();
}

#define FUZZ_CHECK(cond, detail)                                                   \
    do {                                                                           \
        if (!(cond)) FuzzCheckFailed(#cond, __FILE__, __LINE__, std::string(detail)); \
    } while (0)
