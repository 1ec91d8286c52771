#!/bin/bash
# Builds the fuzz targets (tests/fuzz/) with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/, and runs
# each for SECONDS (default 60) in the test sandbox, the bus target on a
# private system bus as well. Fails on any crash, leak, sanitizer report,
# violated property or hang; the input is left in
# build-fuzz/fuzz-artifacts/TARGET/. Prints per target: inputs run, inputs
# per second, coverage and corpus size.
#
#   scripts/run-fuzz.sh [SECONDS_PER_TARGET]
#   FUZZ_JOBS=2 scripts/run-fuzz.sh 3600     2 fuzzing processes per target, sharing one corpus
#   FUZZ_TARGETS=bus_fuzz scripts/run-fuzz.sh 300
#
# The corpus grows in build-fuzz/fuzz-corpus/TARGET/ from run to run; every
# run starts from it, from tests/fuzz/seeds/TARGET/ (most made from
# data/demo/) and from tests/fuzz/regressions/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=${FUZZ_JOBS:-1}
read -r -a targets <<< "${FUZZ_TARGETS:-records_fuzz filename_fuzz bus_fuzz pkgdb_fuzz}"

scripts/install-deps.sh fuzz
build=$PWD/build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DSARV_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" sarv-fuzz-audit-preload

# Every process in the sandbox records audit through the tests' stand-in.
export SARV_AUDIT_PRELOAD=$build/tests/fuzz/libsarv-fuzz-audit-preload.so
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus=$build/fuzz-corpus/$target
    artifacts=$build/fuzz-artifacts/$target
    logs=$build/fuzz-logs
    mkdir -p "$corpus" "$artifacts" "$logs"
    wrapper=(tests/sandbox/sarv-sandbox)
    [ "$target" = bus_fuzz ] && wrapper+=(tests/sandbox/with-private-bus)

    echo "== $target: ${seconds}s x $jobs"
    pids=()
    for ((j = 1; j <= jobs; j++)); do
        # Each process has a sandbox (and bus) of its own; they share the
        # corpus folder and pick up each other's finds.
        "${wrapper[@]}" "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
            -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" \
            "$corpus" "tests/fuzz/seeds/$target" "tests/fuzz/regressions/$target" > "$logs/$target.$j.log" 2>&1 &
        pids+=($!)
    done
    status=0
    for pid in "${pids[@]}"; do
        wait "$pid" || status=1
    done

    runs=0 rate=0 cov="" found=""
    for ((j = 1; j <= jobs; j++)); do
        log=$logs/$target.$j.log
        if grep -qE 'ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:|fuzz property violated|deadly signal|Test unit written' "$log"; then
            status=1
        fi
        n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
        r=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
        runs=$((runs + ${n:-0}))
        rate=$((rate + ${r:-0}))
        c=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n1 || true)
        [ -n "$c" ] && cov=$c
        if [ "$status" -ne 0 ] && [ -z "$found" ]; then
            found=$log
        fi
    done
    size=$(find "$corpus" -type f | wc -l)
    line=$(printf '%-14s runs %10d  exec/s %6d  %-22s corpus %d' "$target" "$runs" "$rate" "${cov:-cov: ?}" "$size")
    summary+=("$line")
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        echo "!! $target failed; log: ${found:-$logs/$target.1.log}, inputs: $artifacts/"
        tail -n 60 "${found:-$logs/$target.1.log}"
    fi
done

echo
echo "fuzzing, ${seconds}s per target and process, $jobs process(es) per target:"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
