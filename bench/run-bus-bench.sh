#!/bin/bash
# Builds and runs the bus benchmark inside the sandbox: GetMode against an
# empty method, and ListEntity (1,000 entities, 100 of them packages) against
# a method answering the same texts precomputed, on the same private bus.
# Prints the median ratios with their targets; exits 3 when one is not met.
#   bench/run-bus-bench.sh [CALLS [ROUNDS]]
#
# Everything (client, service, baseline and the bus daemon) runs on one CPU:
# on a virtual machine a wake-up across CPUs costs more than the call itself,
# and where the scheduler happens to put each thread would otherwise decide
# the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bus_bench -j"$(nproc)"
cpu=$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')
taskset -c "$cpu" tests/sandbox/sarv-sandbox tests/sandbox/with-private-bus "$build/bench/bus/bus_bench" "$@"
