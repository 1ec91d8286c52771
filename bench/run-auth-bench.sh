#!/bin/bash
# Builds and runs the authorization benchmark: CheckAuthorization and
# CanAuthorize with 100, 1,000 and 10,000 subjects (two policy files each)
# against empty methods of the same signatures on the same private bus,
# inside the sandbox; the targets and whether they are met; where a
# question's time goes; the peak memory with 10,000 subjects.
#   bench/run-auth-bench.sh [CALLS [ROUNDS]]
#
# Audit records go through the tests' stand-in for libaudit into a file of
# the sandbox's private /tmp: every question writes one, and the machine's
# own audit log is no place for benchmark records.
# With AUTH_BENCH_ONE_CPU=1 everything (client, service, baseline, bus
# daemon) shares one CPU, so that where the scheduler puts each thread does
# not decide the figures on a busy machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARV_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target auth_bench sarv-audit-preload -j"$(nproc)"
preload=$(find "$build/platform/audit" -name 'libsarv-audit-preload.so' | head -n1)
[ -n "$preload" ] || { echo "run-auth-bench: the audit stand-in was not built" >&2; exit 1; }
run=(tests/sandbox/sarv-sandbox tests/sandbox/with-private-bus
     env LD_PRELOAD="$(realpath "$preload")" SARV_AUDIT_LOG=/tmp/auth-bench-audit.log
     "$build/bench/auth/auth_bench" "$@")
if [ "${AUTH_BENCH_ONE_CPU:-0}" = 1 ]; then
    cpu=$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')
    taskset -c "$cpu" "${run[@]}"
else
    "${run[@]}"
fi
