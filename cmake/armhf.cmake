# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit ARM (armhf) with Debian's cross compiler; the tests
# run under qemu-user. Needs g++-arm-linux-gnueabihf and qemu-user
# (scripts/setup.sh installs them).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Libraries come from the target's tree only. Headers and package files may
# also come from the host: the only ones found that way are header-only
# (CLI11), which fit every architecture.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# CTest runs every test program, and the tests every vibra-sim they start,
# through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)

# The project builds with a 16-bit wchar_t (see CMakeLists.txt) and passes no
# wide string to the C library; the ARM linker would warn about the mismatch
# with the system's objects for every program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--no-wchar-size-warning")

# Everything is built by this one compiler: GCC's notes that the ARM argument
# passing of some types changed in GCC 7.1 concern no one here.
# GCC 12 for ARM reports std::optional members as maybe-uninitialised at -O1
# where they are not (the host build, with the same code, does not); the
# warning is left to the host builds.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi -Wno-maybe-uninitialized")
