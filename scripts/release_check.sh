#!/usr/bin/env bash
# The release artefacts: `python -m build` makes the sdist and a wheel built from it, `twine check`
# accepts both, and the sdist installs into a fresh virtualenv (no system packages) and passes a smoke
# test run outside the checkout (both modules, the type information and the kiv command).
# Usage: PYTHON=/path/to/python scripts/release_check.sh     (the python gets build and twine if missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}
out=$root/build-release
rm -rf "$out"
mkdir -p "$out"

"$py" -c 'import build, twine' 2>/dev/null || "$py" -m pip install -q build twine
"$py" -m build --outdir "$out/dist" "$root" >"$out/build.log" 2>&1 || { tail -40 "$out/build.log"; exit 1; }
ls "$out/dist"
"$py" -m twine check --strict "$out"/dist/*

python3 -m venv "$out/venv"
"$out/venv/bin/python" -m pip install -q "$out"/dist/*.tar.gz
cd "$out"
"$out/venv/bin/python" - <<'PY'
import gzip
import pathlib
import subprocess
import sys
import zlib

import kiv
import kivio

data = b"a smoke test of the installed sdist " * 2000
c = kivio.Compressor(1, "gzip")
head = c.compress(memoryview(data)) + c.flush(kivio.SYNC_FLUSH)
assert zlib.decompressobj(31).decompress(head) == data, "sync flush"
stream = head + c.flush()
assert gzip.decompress(stream) == data
k = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
ours = kivio.Compressor(1, kivio.GZIP)
assert k.compress(data) + k.flush() == ours.compress(data) + ours.flush(), "kiv and kivio agree"
command = pathlib.Path(sys.executable).parent / "kiv"
proc = subprocess.run([str(command), "-c"], input=data, capture_output=True, check=True)
assert gzip.decompress(proc.stdout) == data, "the kiv command"
site_packages = pathlib.Path(kivio.__file__).parent.parent
for typing_file in ("kivio/py.typed", "kivio/_core.pyi", "kiv-stubs/py.typed", "kiv-stubs/__init__.pyi"):
    assert (site_packages / typing_file).is_file(), typing_file
print(f"smoke test passed: kivio from {kivio.__file__}")
PY
