#!/usr/bin/env bash
# Builds everything under the address and undefined-behaviour sanitizers and
# runs every test; then builds everything under the thread sanitizer and runs
# the stress and real-threads tests there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset test
rm -f build/test/trace-formats.txt
cmake --build --preset test -j "$(nproc)"
ctest --preset test -j "$(nproc)"

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)"
ctest --preset tsan -L 'stress|realthreads'
