#!/usr/bin/env bash
# Builds vibra-sim and plays a scenario (the built-in default one unless
# --scenario FILE is given), writing the waveforms to out/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vibra-sim >/dev/null
mkdir -p out
exec build/release/vibra-sim --events out/events.csv --vcd out/vibra.vcd --svg out/vibra.svg "$@"
