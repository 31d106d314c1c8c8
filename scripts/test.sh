#!/usr/bin/env bash
# Builds everything under the address and undefined-behaviour sanitizers and
# runs every test; explores 10,000 random scenarios in the optimised build;
# then builds everything under the thread sanitizer and runs the stress and
# real-threads tests there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset test
rm -f build/test/trace-formats.txt
cmake --build --preset test -j "$(nproc)"
ctest --preset test -j "$(nproc)"

# clang-tidy over the logic, the simulated platform and the tool, with the
# test build's compile commands; any finding fails.
bash scripts/tidy.sh build/test

# The seeded explorer in the optimised build: interleaved (PCT and random) and
# sequential schedules, faults and concurrent calls; a failing run prints how
# to replay it. Progress lines are dropped.
cmake --preset release
cmake --build --preset release -j "$(nproc)"
explore() { build/release/vibra-sim --explore --runs 2000 "$@" 2> >(grep -v '^explore: ' >&2); }
for seed in 1 2 3; do explore --seed "$seed"; done
explore --seed 4 --schedule random
explore --seed 5 --schedule sequential

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)"
ctest --preset tsan -L 'stress|realthreads'
