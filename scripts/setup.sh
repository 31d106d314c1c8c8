#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build needs, only when some are missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-tidy libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev help2man zip
          clang-19                                    # the logic compiled in cl mode, as the kit's compiler does
          g++-arm-linux-gnueabihf qemu-user)  # the armhf cross build and its tests
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
