#!/usr/bin/env bash
# The engine and its test suite cross-compiled for 64-bit ARM and run under qemu-user: the portable
# checksum paths (no x86 vector code is built) against the same tests as on x86-64.
# Installs Debian's cross compiler, qemu-user and the arm64 builds of GoogleTest and zlib when missing.
# Usage: scripts/aarch64.sh [ctest arguments, e.g. -R SyncFlush]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

missing=()
for pkg in g++-aarch64-linux-gnu qemu-user zlib1g-dev:arm64 libgtest-dev:arm64; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DKIV_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-aarch64 -j2 >/dev/null
# Under emulation each test runs several times slower than natively.
ctest --test-dir build-aarch64 --output-on-failure -j2 --timeout 1800 "$@"
