// What an operation reports back to the layer that asked: 0 or a negated
// errno value, and why it failed in words. The reason travels with the
// result instead of in a process-wide variable, so that it cannot be
// overwritten or read stale on the way.
#pragma once

#include <string>

struct Status {
    int code = 0;
    std::string reason;  // empty on success

    bool ok() const { return code == 0; }
};
