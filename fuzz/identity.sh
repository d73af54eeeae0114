#!/bin/sh
# Builds and runs the identity checker: the current engine against the engine of an earlier commit,
# byte for byte on edge inputs, the Silesia files and generated data (see fuzz/identity_check.cpp).
# Usage: fuzz/identity.sh [--sanitize] [checker arguments, e.g. --seconds 60 --min-calls 1000000]
#   --sanitize   builds both engines with address and undefined-behaviour sanitizers (slower)
# Environment: KIV_BASELINE (the earlier commit, see fuzz/frozen_engine.sh), BUILD_DIR (default build-identity),
# CXX (default g++). Exits 0 with a note when the checkout lacks the earlier commit.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD_DIR:-$root/build-identity}
flags="-std=c++17 -O2 -g"
if [ "${1:-}" = "--sanitize" ]; then
    shift
    build=$build-asan
    flags="$flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
fi
mkdir -p "$build"
status=0
"$here/frozen_engine.sh" "$build/frozen" >/dev/null || status=$?
if [ $status -eq 3 ]; then
    echo "identity check skipped: the earlier engine is not in this checkout"
    exit 0
elif [ $status -ne 0 ]; then
    exit $status
fi
${CXX:-g++} $flags -I"$root/engine" -I"$root/tests/engine" -I"$build" \
    "$here/identity_check.cpp" "$root/tests/engine/support.cpp" "$root"/engine/*.cpp "$build"/frozen/*.cpp \
    -DKIV_TEST_CORPUS_DIR="\"$root/../shared/corpus/silesia\"" -lz -o "$build/identity_check"
"$build/identity_check" "$@"
