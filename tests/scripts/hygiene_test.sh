#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks of the project's scripts and install rules, one case per argument:
#   run-sim SIM              outputs land under the caller's directory, with -o where it says
#   run-sim-build-error      a failing build is reported on stderr with its reason
#   install BUILD_DIR MAN    cmake --install puts the program, docs, completion (and man page when MAN=1);
#                            the installed program runs (through $VIBRA_SIM_RUNNER when set, e.g. an emulator)
#   completion SIM           the bash completion offers the program's long options
#   plain-build SRC          a plain Release configure does not turn warnings into errors
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [[ -s $1 ]] || fail "missing or empty: ${1#"$scratch"/}"; }

case $1 in
run-sim)
  cd "$scratch" || exit 1
  printf 'at 0ms start\nat 10ms set-state on\nat 20ms set-state off\n' > my.vsim
  VIBRA_SIM=$2 bash "$repo/scripts/run-sim.sh" --scenario my.vsim > report.txt 2> errors.txt \
    || fail "run-sim.sh with a scenario relative to the caller exited $?: $(cat errors.txt)"
  for file in events.csv waves.vcd timing.svg; do expect_file "$scratch/out/$file"; done
  VIBRA_SIM=$2 bash "$repo/scripts/run-sim.sh" -s my.vsim -o elsewhere > /dev/null 2>&1 || fail "-o elsewhere exited $?"
  for file in events.csv waves.vcd timing.svg; do expect_file "$scratch/elsewhere/$file"; done
  [[ ! -e $repo/my.vsim && ! -e $repo/elsewhere ]] || fail "run-sim.sh wrote into the repository"
  # Modes that write no waveforms refuse --out: the script adds none.
  VIBRA_SIM=$2 bash "$repo/scripts/run-sim.sh" --systematic -s my.vsim --inject-at 1 > sys.txt 2>&1 \
    || fail "run-sim.sh --systematic exited $?: $(cat sys.txt)"
  ;;
run-sim-build-error)
  # A cmake that fails as a broken build does (ninja reports errors on stdout);
  # the script must pass that on and say so, not exit silently.
  mkdir -p "$scratch/bin"
  printf '#!/bin/sh\necho "FAILED: the build broke here"\nexit 1\n' > "$scratch/bin/cmake"
  chmod +x "$scratch/bin/cmake"
  cd "$scratch" || exit 1
  PATH=$scratch/bin:$PATH bash "$repo/scripts/run-sim.sh" > out.txt 2> err.txt
  status=$?
  [[ $status -ne 0 ]] || fail "a failed build exited 0"
  grep -q "the build broke here" err.txt || fail "the build's error is not on stderr: $(cat err.txt)"
  grep -q "run-sim: building vibra-sim failed" err.txt || fail "no closing line saying the build failed"
  ;;
install)
  prefix=$scratch/prefix
  cmake --install "$2" --prefix "$prefix" > /dev/null || fail "cmake --install exited $?"
  expect_file "$prefix/bin/vibra-sim"
  for file in README.md LICENSE docs/vibra-sim.md docs/examples/three-seconds.vsim; do
    expect_file "$prefix/share/doc/vibra/$file"
  done
  # Every link of the installed README to a file leads to an installed file.
  while read -r link; do
    [[ -e $prefix/share/doc/vibra/$link ]] || fail "the installed README links $link, which is not installed"
  done < <(grep -o '](docs/[^)#]*' "$prefix/share/doc/vibra/README.md" | cut -c3- | sort -u)
  expect_file "$prefix/share/bash-completion/completions/vibra-sim"
  if [[ $3 == 1 ]]; then
    expect_file "$prefix/share/man/man1/vibra-sim.1"
    grep -qF -- '\-\-scenario' "$prefix/share/man/man1/vibra-sim.1" || fail "the man page lacks the options"
    grep -q 'SCENARIO LANGUAGE' "$prefix/share/man/man1/vibra-sim.1" || fail "the man page lacks the scenario language"
  fi
  # shellcheck disable=SC2086  # VIBRA_SIM_RUNNER is a command line: an emulator and its options
  ${VIBRA_SIM_RUNNER:-} "$prefix/bin/vibra-sim" --version | grep -q '^vibra-sim ' \
    || fail "the installed vibra-sim does not run"
  ;;
completion)
  # shellcheck source=/dev/null
  source "$repo/scripts/completion/vibra-sim"
  complete -p vibra-sim > /dev/null || fail "no completion registered for vibra-sim"
  COMP_WORDS=("$2" --sce); COMP_CWORD=1; _vibra_sim
  [[ " ${COMPREPLY[*]} " == *" --scenario "* ]] || fail "--sce did not complete to --scenario: ${COMPREPLY[*]}"
  COMP_WORDS=("$2" --list f); COMP_CWORD=2; _vibra_sim
  [[ " ${COMPREPLY[*]} " == " faults " ]] || fail "--list f did not complete to faults: ${COMPREPLY[*]}"
  cd "$scratch" || exit 1
  mkdir dir; touch a.vsim b.txt
  COMP_WORDS=("$2" --scenario ""); COMP_CWORD=2; _vibra_sim
  [[ " ${COMPREPLY[*]} " == *" a.vsim "* && " ${COMPREPLY[*]} " != *" b.txt "* ]] \
    || fail "--scenario did not offer the .vsim files only: ${COMPREPLY[*]}"
  ;;
plain-build)
  cmake -S "$2" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIBRA_BENCH=OFF > "$scratch/log" 2>&1 \
    || { cat "$scratch/log" >&2; fail "a plain Release configure failed"; }
  grep -q -- '-Wall' "$scratch/build/compile_commands.json" || fail "no compile commands with warnings on"
  if grep -q -- '-Werror' "$scratch/build/compile_commands.json"; then
    fail "a plain build turns warnings into errors"
  fi
  ;;
*)
  echo "unknown case $1" >&2; exit 2 ;;
esac
if ((failures)); then exit 1; fi
echo "$1: passed"
