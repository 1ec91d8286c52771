#!/bin/bash
# Builds and runs the cache benchmark in the sandbox (it fills the fixed
# configuration trees with 10,000 files).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target cache_bench -j"$(nproc)"
tests/sandbox/sarv-sandbox build/bench/cache/cache_bench
