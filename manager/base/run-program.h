// Runs another program for the service: no shell, nothing of the service's
// state leaks into it, and whatever happens comes back as a value.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ProgramResult {
    bool started = false;    // false: it could not be started; `error` says why
    int error = 0;           // errno of the step that failed: starting it or collecting its status
    int status = -1;         // its wait status; -1 when not started or not collected
    std::string output;      // the start of its standard output, when captured
    bool truncated = false;  // it wrote more than the limit: it was killed and the rest is lost

    // Its exit code; -1 when it did not run to a normal exit.
    int ExitCode() const;
};

struct ProgramOptions {
    bool capture = false;      // standard output to `output`; otherwise the service's own
    size_t capture_limit = 0;  // bytes kept of a captured output

    static ProgramOptions Capturing(size_t limit) { return {true, limit}; }
};

// Runs argv[0], looked up on PATH, with argv as its arguments, and waits for
// it. The child gets an empty signal mask, default dispositions, /dev/null as
// standard input and no descriptor of the service beyond standard output and
// error. A child that writes more than `capture_limit` is killed rather than
// drained: a program that never stops writing must not hold the caller.
ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});
