#!/bin/bash
# Soak test: the host daemon with the plug-in under a mixed load for MINUTES
# (default 5): configuration changes over the bus, authorization questions,
# files installed by sarv-ac-manager-configer, and PID-socket clients, all
# at once. Prints the daemon's memory every few seconds and fails when it
# grows after warm-up, when the daemon dies, or when an acknowledged change
# is missing after a restart. Runs in the test sandbox on a private bus. The
# program is bench/soak/soak.cpp, built with the benchmarks.
#
#   scripts/run-soak.sh [MINUTES]
#   BUILD_DIR=build-address-undefined scripts/run-soak.sh 10
#   SARV_SOAK_SEED=N replays a run's random choices.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-5}
case "$minutes" in
'' | *[!0-9]*) echo "usage: $0 [MINUTES]" >&2; exit 2 ;;
esac
build=${BUILD_DIR:-build}

scripts/install-deps.sh
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target soak -j"$(nproc)"

top=$PWD
cd "$build"
export SARV_SOAK_MINUTES=$minutes
export SARV_SANDBOX_KEEP="$PWD $top"
export SARV_AUDIT_PRELOAD=$PWD/platform/audit/libsarv-audit-preload.so
exec "$top/tests/sandbox/sarv-sandbox" "$PWD/bench/soak/soak"
