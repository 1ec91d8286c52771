#!/bin/bash
# Builds and runs the PID information service benchmark in the sandbox (the
# service listens on the fixed socket /tmp/.sarv.dom).
#   bench/run-pid-bench.sh [REQUESTS [ROUNDS]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target pid_bench -j"$(nproc)"
tests/sandbox/sarv-sandbox "$build/bench/pid/pid_bench" "$@"
