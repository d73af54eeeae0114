#!/usr/bin/env bash
# The reliability stage: bounded fuzzing of the engine and of the modules, the engine against its earlier
# build byte for byte (plain and sanitized), the Python tests against the modules built with address and
# undefined-behaviour sanitizers, and under valgrind memcheck.
# Usage: PYTHON=/path/to/python-with-kiv scripts/reliability.sh [fuzz-seconds-per-target]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
py=${PYTHON:-python3}

stage() { printf '\n==== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }

stage "fuzzing, ${seconds}s per target"
PYTHON="$py" fuzz/run.sh "$seconds" engine python kivio

stage "engine identity with its earlier build"
fuzz/identity.sh --seconds 20 --min-calls 1000000
fuzz/identity.sh --sanitize --no-corpus --seconds 20 --min-calls 100000

stage "python tests, sanitized module"
fuzz/asan_pytest.sh

stage "python tests under valgrind"
fuzz/valgrind_pytest.sh
