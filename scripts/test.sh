#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything under the address and undefined-behaviour sanitizers and
# runs every test; explores 370,000 random scenarios in the optimised build;
# then builds everything under the thread sanitizer and runs the stress and
# real-threads tests there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# Each phase says when it starts, so that a slow one shows in the log.
phase() { echo "== $1 (at $((SECONDS / 60)) min $((SECONDS % 60)) s)"; }
phase "sanitizer build and suite"
cmake --preset test
rm -f build/test/trace-formats.txt
cmake --build --preset test -j "$(nproc)"
ctest --preset test -j "$(nproc)"

# clang-tidy over the logic, the simulated platform and the tool, with the
# test build's compile commands; any finding fails.
phase "clang-tidy"
bash scripts/tidy.sh build/test

# The seeded explorer in the optimised build: 370,000 runs, 70,000 sequential
# (fast) and 300,000 interleaved (PCT and random), with faults and concurrent calls; each
# exploration is split into two shards played at once, one per core. A
# failing run prints how to replay it (its shard included). Progress lines are
# dropped.
phase "explorer and systematic faults, optimised build"
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
sharded --runs 200000 --seed 2
sharded --runs 100000 --seed 3 --schedule random

# Systematic fault injection in the optimised build: every end-to-end scenario
# of the suite replayed once per platform call that could fail, with that call
# failing (too many runs for the sanitizer build, whose suite leaves it out).
bash tests/scripts/systematic_suite.sh build/release/vibra-sim
# The blink race scenarios, each under 200 PCT and 200 random interleavings.
bash tests/scripts/race_scenarios.sh build/release/vibra-sim
# The catalogue of small races, each under every schedule with at most 2 preemptions.
bash tests/scripts/exhaustive_scenarios.sh build/release/vibra-sim 2

phase "thread sanitizer"
cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)"
ctest --preset tsan -L 'stress|realthreads'

# The 32-bit ARM build: cross-compiled for armhf, the whole suite under qemu-arm.
phase "armhf under qemu-arm"
cmake --preset armhf
rm -f build/armhf/trace-formats.txt
cmake --build --preset armhf -j "$(nproc)"
ctest --preset armhf -j "$(nproc)"

# The fuzz targets, with everything they link instrumented for coverage and
# the address and undefined-behaviour sanitizers (preset fuzz, clang): each
# runs from its checked-in corpus for VIBRA_FUZZ_SECONDS (30 s); a crash, a
# sanitizer report, a broken invariant, a leak or a hang fails the run. New
# inputs go to build/fuzz/corpus, failing ones to build/fuzz/findings.
phase "fuzzing"
cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"
mkdir -p build/fuzz/findings
for source in fuzz/*_fuzz.cpp; do
  target="$(basename "$source" .cpp)"
  dict=()
  [[ -f "fuzz/$target.dict" ]] && dict=("-dict=fuzz/$target.dict")
  mkdir -p "build/fuzz/corpus/$target"
  if ! "build/fuzz/fuzz/$target" "${dict[@]}" -max_total_time="${VIBRA_FUZZ_SECONDS:-30}" -timeout=30 \
       -print_final_stats=1 -artifact_prefix=build/fuzz/findings/ \
       "build/fuzz/corpus/$target" "fuzz/corpus/$target" 2> "build/fuzz/$target.log"; then
    tail -n 60 "build/fuzz/$target.log" >&2
    echo "fuzz: $target found a failure; its input is in build/fuzz/findings/" >&2
    exit 1
  fi
  echo "fuzz: $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "build/fuzz/$target.log" | tail -n 1)"
done
phase "done"
