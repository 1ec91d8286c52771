// A property a fuzz target insists on: a failure is reported like a crash, so libFuzzer keeps the input and
// a replay fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

[[noreturn]] inline void FuzzCheckFailed(const char* what, const char* file, int line, const std::string& detail) {
    fprintf(stderr, "fuzz property violated at %s:%d: %s\n  %s\n", file, line, what, detail.c_str());
    abort();
}
#define FUZZ_CHECK(cond, detail) ((cond) ? void(0) : FuzzCheckFailed(#cond, __FILE__, __LINE__, detail))

// The pieces of `text` between separators: n separators give n + 1 pieces.
inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) separator == c ? void(parts.emplace_back()) : parts.back().push_back(c);
    return parts;
}
