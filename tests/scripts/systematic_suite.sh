#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Systematic fault injection over every end-to-end scenario of the suite: the
# built-in scenario, the examples of the README and of docs/vibra-sim.md, and
# the well-formed scenarios of tests/scenarios. Usage: systematic_suite.sh SIM
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
sim=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Each fenced block whose first line is a scenario line ("at ..." or a
# comment followed by one) becomes a file of its own.
for doc in "$repo/README.md" "$repo/docs/vibra-sim.md"; do
  awk -v out="$scratch/$(basename "$doc" .md)" '
    /^```/ { fence = !fence; if (fence) { n++; state = "head"; lines = "" } else if (state == "in") close(file); next }
    !fence || state == "no" { next }
    state == "in" { print > file; next }
    /^at / { file = out "-" n ".vsim"; printf "%s%s\n", lines, $0 > file; state = "in"; next }
    /^#/ { lines = lines $0 "\n"; next }
    { state = "no" }
  ' "$doc"
done
# Blocks that only show the syntax ("at TIME ...") do not parse and are left out.
files=()
for file in "$scratch"/*.vsim "$repo"/tests/scenarios/*.vsim; do
  "$sim" --check --scenario "$file" > /dev/null 2>&1 && files+=("$file")
done
echo "scenarios: the built-in one and ${#files[@]} files"
# Two scenarios at a time, one per core, each with its report kept apart and
# printed in order at the end; "" stands for the built-in scenario.
printf '%s\0' "" "${files[@]}" |
  xargs -0 -n 1 -P 2 bash -c '
    out="$2/$(printf %s "$3" | md5sum | cut -c1-16).out"
    if [[ -z $3 ]]; then "$1" --systematic >"$out" 2>&1; else "$1" --systematic --scenario "$3" >"$out" 2>&1; fi ||
      { echo "failed" >>"$out"; exit 255; }' _ "$sim" "$scratch" && status=0 || status=$?
for file in "" "${files[@]}"; do
  cat "$scratch/$(printf %s "$file" | md5sum | cut -c1-16).out"
done
exit "$status"
