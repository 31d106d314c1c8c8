#!/usr/bin/env bash
# Builds everything under the address and undefined-behaviour sanitizers and
# runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset test
rm -f build/test/trace-formats.txt
cmake --build --preset test -j "$(nproc)"
ctest --preset test -j "$(nproc)"
