#!/bin/bash
# Builds and runs the PID information service benchmark in the sandbox (the
# service listens on the fixed socket /tmp/.sarv.dom): the service against a
# bare Unix-socket echo server, one client and eight clients at once.
#   bench/run-pid-bench.sh [REQUESTS [ROUNDS]]
#
# With PID_BENCH_ONE_CPU=1 the clients and both servers share one CPU, so
# that where the scheduler puts each thread does not decide the figures on a
# busy machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target pid_bench -j"$(nproc)"
run=(tests/sandbox/sarv-sandbox "$build/bench/pid/pid_bench" "$@")
if [ "${PID_BENCH_ONE_CPU:-0}" = 1 ]; then
    cpu=$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')
    taskset -c "$cpu" "${run[@]}"
else
    "${run[@]}"
fi
