#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the engine's native suite (plain and with address
# and undefined-behaviour sanitizers; its threaded tests with the thread sanitizer), the Python suite, and
# the reliability checks.
# Usage: scripts/test.sh [--quick]    --quick skips the sanitizer, aarch64, release, fuzzing, valgrind and slow stages.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
quick=0
[ "${1:-}" = "--quick" ] && quick=1

stage() { printf '\n==== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }

stage "system packages"
missing=()
for pkg in cmake g++ make libgtest-dev zlib1g-dev clang libclang-rt-14-dev valgrind gzip unzip; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

stage "python environment"
venv=${KIV_VENV:-$root/.venv}
# Every pip call below (and in the scripts it runs) installs the versions the suite was checked with.
export PIP_CONSTRAINT=$root/tests/constraints.txt
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
py=$venv/bin/python
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q "$root[test,fuzz,docs]"

stage "engine tests"
cmake -S . -B build-tests -DKIV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-tests -j2 >/dev/null
ctest --test-dir build-tests --output-on-failure -j2

if [ $quick -eq 0 ]; then
    stage "engine tests, sanitized"
    cmake -S . -B build-tests-asan -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build-tests-asan -j2 >/dev/null
    ctest --test-dir build-tests-asan --output-on-failure -j2

    stage "engine threads, thread sanitizer"
    cmake -S . -B build-tests-tsan -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build-tests-tsan -j2 --target kiv_engine_thread_tests >/dev/null
    ctest --test-dir build-tests-tsan --output-on-failure -j2 -R Threaded
fi

if [ $quick -eq 0 ]; then
    stage "engine tests, aarch64 under qemu-user"
    scripts/aarch64.sh
fi

stage "python tests"
if [ $quick -eq 0 ]; then
    "$py" -m pytest
else
    "$py" -m pytest -m "not slow"
fi

stage "documentation"
# The site under docs/, its API reference read from the installed package; any warning fails the build.
"$py" -m sphinx -W --keep-going -q -b html docs build-docs/html

if [ $quick -eq 0 ]; then
    stage "release artefacts"
    PYTHON="$py" scripts/release_check.sh
fi

if [ -x scripts/reliability.sh ] && [ $quick -eq 0 ]; then
    stage "reliability"
    PYTHON="$py" scripts/reliability.sh
fi

stage "done"
