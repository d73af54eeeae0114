#!/bin/sh
# Builds the engine fuzz target with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: fuzz/build.sh [build-dir]   (default: build-fuzz at the top of the tree)
# The reference model is the oracle, not the code under test: it gets the sanitizers but no coverage
# instrumentation, which would otherwise spend most of the time tracing its comparisons.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-$root/build-fuzz}
mkdir -p "$out"
CXX=${CXX:-clang++}
common="-std=c++17 -O2 -g -fno-omit-frame-pointer -fno-sanitize-recover=all"
"$CXX" $common -fsanitize=address,undefined -I"$root/engine" \
    -c "$root/tests/engine/reference_encoder.cpp" -o "$out/reference_encoder.o"
"$CXX" $common -fsanitize=fuzzer,address,undefined -I"$root/engine" -I"$root/tests/engine" \
    "$here/engine_fuzzer.cpp" "$root"/engine/*.cpp "$out/reference_encoder.o" \
    -lz -o "$out/engine_fuzzer"
echo "$out/engine_fuzzer"
