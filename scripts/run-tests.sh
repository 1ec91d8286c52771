#!/bin/bash
# Sets up, builds and runs every test. The tests run in private mount
# namespaces and on private buses, so this needs root but never touches the
# machine's own configuration.
#
#   scripts/run-tests.sh                 regular build in build/
#   scripts/run-tests.sh --sanitize address,undefined   sanitizer build in build-address-undefined/
#   extra arguments after -- go to ctest, e.g. -- -R unit_test
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [ "${1:-}" = "--sanitize" ]; then
    sanitize=$2
    shift 2
fi
[ "${1:-}" = "--" ] && shift

scripts/install-deps.sh
build=build
[ -n "$sanitize" ] && build="build-${sanitize//,/-}"
cmake -S . -B "$build" -DSARV_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
