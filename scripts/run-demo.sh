#!/bin/bash
# Sets up and builds everything, then says what is ready to run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
echo
echo "Built: libsarv-ac (configuration file library) and its tests."
echo "The service itself is not built yet; run scripts/run-tests.sh for the tests."
