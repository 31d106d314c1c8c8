#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the bounded exhaustive search on each scenario of
# tests/scenarios/exhaustive: every schedule with at most K preemptions (default
# 2) must hold, and the search must cover the space. Usage:
# exhaustive_scenarios.sh SIM [K]
set -euo pipefail
sim="$1"
bound="${2:-2}"
repo="$(cd "$(dirname "$0")/../.." && pwd)"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
scenarios=0
for file in "$repo"/tests/scenarios/exhaustive/*.vsim; do
  if ! "$sim" --explore --exhaustive --preemptions "$bound" --scenario "$file" > "$out" 2> >(grep -v '^explore: ' >&2); then
    cat "$out" >&2
    echo "exhaustive scenarios: $(basename "$file") failed" >&2
    exit 1
  fi
  if ! grep -q '; covered: ' "$out"; then
    cat "$out" >&2
    echo "exhaustive scenarios: $(basename "$file"): the search did not cover its space" >&2
    exit 1
  fi
  scenarios=$((scenarios + 1))
  echo "$(basename "$file"): $(grep -o '^all [0-9]* schedules' "$out" | cut -d' ' -f2) schedules"
done
echo "exhaustive scenarios: $scenarios scenarios held under every schedule with at most $bound preemptions"
