#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs clang-tidy (checks in .clang-tidy) over every source of the driver's
# logic, the simulated platform and vibra-sim, with the compile commands of a
# configured build (default build/test, the test preset's; or pass its
# directory), or over the sources named after it. Exits 1 on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/test}
shift || true
if [[ ! -f $build/compile_commands.json ]]; then
  echo "tidy: no $build/compile_commands.json; configure first (cmake --preset test)" >&2
  exit 2
fi
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [[ -z $tidy ]]; then
  echo "tidy: clang-tidy not found (apt-get install clang-tidy)" >&2
  exit 2
fi

sources=("$@")
if ((${#sources[@]} == 0)); then
  mapfile -t sources < <(git ls-files 'driver/*.cpp' 'device/*.cpp' 'hwn/*.cpp' 'vibration/*.cpp' 'trace/*.cpp' \
                                       'sim/*.cpp' 'tools/*.cpp')
fi
# The GCC build's flags may name warnings clang does not know.
extra=(-extra-arg=-Wno-unknown-warning-option)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$SECONDS
status=0
runner=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
if [[ -n $runner ]]; then
  # It takes regular expressions over the commands' absolute paths.
  mapfile -t patterns < <(printf '%s\n' "${sources[@]}" | sed "s|^|$PWD/|; s|[.+]|\\\\&|g; s|^|^|; s|\$|\$|")
  "$runner" -quiet -clang-tidy-binary "$tidy" -p "$build" -j "$(nproc)" "${extra[@]}" "${patterns[@]}" \
    >"$log" 2>&1 || status=1
else
  printf '%s\0' "${sources[@]}" |
    xargs -0 -P "$(nproc)" -n 1 "$tidy" -quiet -p "$build" "${extra[@]}" >"$log" 2>&1 || status=1
fi
sed -i 's/\x1b\[[0-9;]*m//g' "$log"  # run-clang-tidy colours its output
if ((status)) || grep -qE '(warning|error): ' "$log"; then
  grep -vE '^(clang-tidy|[0-9]+ warnings? (and [0-9]+ errors? )?generated|Suppressed [0-9]+ warnings)' "$log" >&2 || true
  echo "tidy: findings in ${#sources[@]} files ($((SECONDS - start)) s)" >&2
  exit 1
fi
echo "tidy: ${#sources[@]} files clean ($((SECONDS - start)) s)"
