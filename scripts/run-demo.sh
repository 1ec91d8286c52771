#!/bin/bash
# Sets up, builds and runs the service: the host daemon sarvd with the
# plug-in and the example adapter, on a private system bus, inside a sandbox
# seeded with the demo configuration of data/demo/. Ctrl-C stops everything.
# Needs root (the sandbox is a private mount namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build >/dev/null
# Only what runs: the tests and their support are not needed.
cmake --build build -j"$(nproc)" --target sarvd sarv-acmanager sarv-ac-example sarv-ac-manager-configer \
    sarv-ac-manager-tools sarv-audit-preload
# Audit records go to a file in the sandbox, not to this machine's audit log.
export SARV_AUDIT_PRELOAD=$PWD/build/platform/audit/libsarv-audit-preload.so
export SARV_AUDIT_LOG=/tmp/sarv-audit-records.log
exec tests/sandbox/sarv-sandbox tests/sandbox/with-private-bus scripts/demo-inside.sh
