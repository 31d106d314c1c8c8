#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a job needs, only when some are missing:
#   bash scripts/setup.sh sim    what building and running vibra-sim needs (scripts/run-sim.sh)
#   bash scripts/setup.sh        everything CI uses (scripts/test.sh): the tests, the analysers, the armhf
#                                cross build and its emulator, the fuzzers' runtime, the manual page
set -euo pipefail

sim=(cmake ninja-build g++ libcli11-dev libboost-context-dev)
packages=("${sim[@]}")
case ${1:-all} in
  sim) ;;
  all)
    packages+=(clang clang-tidy libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
               help2man zip python3 libxml2-utils  # the tests; xmllint checks the JUnit schema
               clang-19                            # the logic compiled in cl mode, as the kit's compiler does
               g++-arm-linux-gnueabihf qemu-user)  # the armhf cross build and its tests
    ;;
  *) echo "setup: unknown set '$1'; expected sim, or nothing for all" >&2; exit 2 ;;
esac
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
