#!/usr/bin/env bash
# Builds everything under the address and undefined-behaviour sanitizers and
# runs every test; explores 100,000 random scenarios in the optimised build;
# then builds everything under the thread sanitizer and runs the stress and
# real-threads tests there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset test
rm -f build/test/trace-formats.txt
cmake --build --preset test -j "$(nproc)"
ctest --preset test -j "$(nproc)"

# The seeded explorer in the optimised build: 100,000 runs, sequential (fast)
# and interleaved (PCT and random), with faults and concurrent calls; each
# exploration is split into two shards played at once, one per core. A
# failing run prints how to replay it (its shard included). Progress lines are
# dropped.
cmake --preset release
cmake --build --preset release -j "$(nproc)"
explore() { build/release/vibra-sim --explore "$@" 2> >(grep -v '^explore: ' >&2); }
sharded() {
  local first second status=0
  explore "$@" --shard 1/2 & first=$!
  explore "$@" --shard 2/2 & second=$!
  wait "$first" || status=$?
  wait "$second" || status=$?
  return "$status"
}
sharded --runs 70000 --seed 1 --schedule sequential
sharded --runs 20000 --seed 2
sharded --runs 10000 --seed 3 --schedule random

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)"
ctest --preset tsan -L 'stress|realthreads'
