#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds vibra-sim in the repository (build/release) and plays a scenario (the
# built-in one unless --scenario FILE is given) from the directory it is called
# in, so that relative paths mean what they say there. Unless -o/--out DIR is
# given, every output lands in out/ of that directory: out/events.csv,
# out/waves.vcd, out/timing.svg. Arguments are passed on to vibra-sim.
#
# The build's progress and errors go to stderr; stdout carries only the run's
# report. VIBRA_SIM=PATH plays with that vibra-sim and builds nothing.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# --out is added unless the arguments name an output place of their own or a
# mode that writes no waveforms (and refuses --out).
has_out=0
for arg in "$@"; do
  case $arg in
    -o|--out|--out=*|-o?*) has_out=1 ;;
    --systematic|--explore|--timing|--check|--list|--list=*|--print-default|--version|-h|--help) has_out=1 ;;
  esac
done

sim=${VIBRA_SIM:-}
if [[ -z $sim ]]; then
  bash "$repo/scripts/setup.sh" sim >&2
  build() {
    if ! (cd "$repo" && "$@") >&2 </dev/null; then
      echo "run-sim: building vibra-sim failed (see above): $*" >&2
      exit 1
    fi
  }
  if [[ ! -f $repo/build/release/build.ninja ]]; then
    echo "run-sim: configuring and building vibra-sim in $repo/build/release (a first build takes a few minutes)" >&2
    build cmake --preset release
  fi
  build cmake --build --preset release --target vibra-sim
  sim=$repo/build/release/vibra-sim
fi

outputs=()
((has_out)) || outputs=(--out out)
exec "$sim" "${outputs[@]}" "$@"
