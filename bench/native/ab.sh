#!/bin/sh
# Builds and runs the A/B benchmark: the current engine against the engine of an earlier commit, in one
# process (see ab_bench.cpp). Both are compiled alike, with the flags of the release build.
# Usage: bench/native/ab.sh [ab_bench arguments]
# Environment: KIV_BASELINE (the earlier commit, see fuzz/frozen_engine.sh), BUILD_DIR (default build-ab),
# CXX (default g++), CXXFLAGS (default -O3 -DNDEBUG, as CMake's Release build).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$root/build-ab}
mkdir -p "$build"
"$root/fuzz/frozen_engine.sh" "$build/frozen" >/dev/null
${CXX:-g++} -std=c++17 ${CXXFLAGS:--O3 -DNDEBUG} -g -I"$root/engine" -I"$root/tests/engine" -I"$build" \
    "$here/ab_bench.cpp" "$root/tests/engine/support.cpp" "$root"/engine/*.cpp "$build"/frozen/*.cpp \
    -DKIV_TEST_CORPUS_DIR="\"$root/../shared/corpus/silesia\"" -lz -o "$build/ab_bench"
"$build/ab_bench" "$@"
