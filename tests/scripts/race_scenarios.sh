#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks each scenario of tests/scenarios/races as the explorer does, under 200
# seeds each of the PCT and random schedules. Usage: race_scenarios.sh SIM [SEEDS]
set -euo pipefail
sim="$1"
seeds="${2:-200}"
repo="$(cd "$(dirname "$0")/../.." && pwd)"
runs=0
for file in "$repo"/tests/scenarios/races/*.vsim; do
  for schedule in pct random; do
    for ((seed = 1; seed <= seeds; ++seed)); do
      if ! "$sim" --explore --scenario "$file" --schedule "$schedule" --seed "$seed" > /tmp/race_scenarios.$$ 2>&1; then
        cat /tmp/race_scenarios.$$ >&2
        rm -f /tmp/race_scenarios.$$
        echo "race scenarios: $(basename "$file") failed under --schedule $schedule --seed $seed" >&2
        exit 1
      fi
      runs=$((runs + 1))
    done
  done
done
rm -f /tmp/race_scenarios.$$
echo "race scenarios: $runs runs held"
