#!/bin/bash -eu
# SPDX-License-Identifier: MIT
# Builds the fuzz targets the way OSS-Fuzz and ClusterFuzzLite expect:
#   $CXX, $CXXFLAGS        compiler and flags (sanitizer and coverage
#                          instrumentation included) for every library and target
#   $CC, $CFLAGS           passed on; the project has no C sources
#   $LIB_FUZZING_ENGINE    what supplies main(): -fsanitize=fuzzer, or an
#                          engine's library
#   $OUT                   where the targets, <target>_seed_corpus.zip and
#                          <target>.dict go
#   $WORK                  scratch space for the build (default: a temporary
#                          folder, removed afterwards)
# The sources are found from this script's place, so $SRC is not needed.
# Locally, for example:
#   CXX=clang++ CXXFLAGS="-fsanitize=address,fuzzer-no-link" \
#     LIB_FUZZING_ENGINE=-fsanitize=fuzzer OUT=/tmp/out bash fuzz/build.sh
project="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
: "${OUT:?set OUT to the folder that receives the targets}"
: "${LIB_FUZZING_ENGINE:?set LIB_FUZZING_ENGINE, e.g. -fsanitize=fuzzer}"
CC="${CC:-clang}"
CXX="${CXX:-clang++}"
CFLAGS="${CFLAGS:-}"
CXXFLAGS="${CXXFLAGS:-}"
if [[ -z "${WORK:-}" ]]; then
  WORK="$(mktemp -d)"
  trap 'rm -rf "$WORK"' EXIT
fi
build="$WORK/vibra-fuzz-build"
mkdir -p "$OUT" "$build"
OUT="$(cd "$OUT" && pwd)"

# No build type: the optimisation and debug flags are the caller's, in CXXFLAGS.
cmake -S "$project" -B "$build" -G Ninja --no-warn-unused-cli \
  -DCMAKE_BUILD_TYPE= \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_C_FLAGS="$CFLAGS" \
  -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_FLAGS="$CXXFLAGS" \
  -DVIBRA_FUZZING_ENGINE="$LIB_FUZZING_ENGINE" \
  -DVIBRA_TESTS=OFF -DVIBRA_BENCH=OFF
cmake --build "$build" --target vibra_fuzzers -j "$(nproc)"

for source in "$project"/fuzz/*_fuzz.cpp; do
  target="$(basename "$source" .cpp)"
  cp "$build/fuzz/$target" "$OUT/"
  rm -f "$OUT/${target}_seed_corpus.zip"
  (cd "$project/fuzz/corpus/$target" && zip -q -r "$OUT/${target}_seed_corpus.zip" .)
  if [[ -f "$project/fuzz/$target.dict" ]]; then
    cp "$project/fuzz/$target.dict" "$OUT/$target.dict"
  fi
  echo "build.sh: $OUT/$target"
done
