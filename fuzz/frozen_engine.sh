#!/bin/sh
# Writes the engine as it was at an earlier commit into DIR, every declaration moved into the namespace
# kiv_frozen, so that it links beside the current engine: the identity checker and the A/B benchmark
# run both in one process and compare them byte for byte and call for call.
# Usage: fuzz/frozen_engine.sh DIR [REVISION]
#   REVISION defaults to $KIV_BASELINE, else to the last engine before the pipelined scan (the bytes
#   every later engine must reproduce). Exits 3 when the checkout lacks that commit (a shallow clone).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:?usage: frozen_engine.sh DIR [REVISION]}
rev=${2:-${KIV_BASELINE:-75391dbc3264154033a961dbbad06b5eca98132d}}
if ! git -C "$root" cat-file -e "$rev^{commit}" 2>/dev/null; then
    echo "frozen_engine.sh: commit $rev is not in this checkout (shallow clone?)" >&2
    exit 3
fi
rm -rf "$out"
mkdir -p "$out"
git -C "$root" archive "$rev" engine | tar -x -C "$out" --strip-components=1
# Every engine file has its #include lines at the top: open the namespace after the last one and close
# it at the end of the file, or before the file's last #endif when the includes sit inside a conditional
# that wraps the rest of the file. System headers stay outside; the engine's own headers, included from
# inside no namespace, open it themselves.
for f in "$out"/*.h "$out"/*.cpp; do
    awk '{ lines[NR] = $0
           if ($0 ~ /^#include|^#pragma once/) { last = NR; open_at_last = depth }
           if ($0 ~ /^#if/) depth++
           if ($0 ~ /^#endif/) { depth--; last_endif = NR } }
         END { close_at = (open_at_last > 0) ? last_endif : NR + 1
               for (i = 1; i <= NR; i++) {
                   if (i == close_at) print "}  // namespace kiv_frozen"
                   print lines[i]
                   if (i == last) print "namespace kiv_frozen {"
               }
               if (close_at == NR + 1) print "}  // namespace kiv_frozen" }' "$f" >"$f.tmp"
    mv "$f.tmp" "$f"
done
echo "$out"
