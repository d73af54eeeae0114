#!/bin/sh
# Runs the fuzz targets for a bounded time each and fails on any finding.
# Usage: fuzz/run.sh [seconds-per-target] [target ...]     targets: engine python kivio (default: engine)
#   First replays every input kept under fuzz/regressions/<target>/, then fuzzes from the seed corpus
#   (plus the working corpus of earlier runs in fuzz/corpus-run/<target>/, which is not committed).
#   Crash inputs are written as fuzz/crash-* (also not committed). Exit status non-zero on any finding.
# Environment: BUILD_DIR (default build-fuzz at the top of the tree), PYTHON (python with kiv, kivio and atheris).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-engine}
build=${BUILD_DIR:-$root/build-fuzz}

for target in $targets; do
    corpus=$here/corpus-run/$target
    mkdir -p "$corpus"
    case $target in
    engine)
        "$here/build.sh" "$build" >/dev/null
        if [ ! -d "$here/seeds/engine" ]; then python3 "$here/make_seeds.py"; fi
        if [ -d "$here/regressions/engine" ] && [ -n "$(ls -A "$here/regressions/engine")" ]; then
            echo "== engine: replaying regressions"
            "$build/engine_fuzzer" -runs=0 "$here"/regressions/engine/*
        fi
        echo "== engine: fuzzing for ${seconds}s"
        "$build/engine_fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=4096 \
            -print_final_stats=1 -artifact_prefix="$here/crash-engine-" "$corpus" "$here/seeds/engine"
        ;;
    python | kivio)
        # kiv.compressobj (python_fuzzer.py) or kivio.Compressor (kivio_fuzzer.py); both read their input
        # as a script of calls, so they start from the same seeds.
        py=${PYTHON:-python3}
        fuzzer=$here/${target}_fuzzer.py
        if [ -d "$here/regressions/$target" ] && [ -n "$(ls -A "$here/regressions/$target")" ]; then
            echo "== $target: replaying regressions"
            "$py" "$fuzzer" -runs=0 "$here"/regressions/"$target"/*
        fi
        echo "== $target: fuzzing for ${seconds}s"
        "$py" "$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=4096 \
            -print_final_stats=1 -artifact_prefix="$here/crash-$target-" "$corpus" "$here/seeds/python"
        ;;
    *)
        echo "unknown fuzz target: $target" >&2
        exit 2
        ;;
    esac
done
