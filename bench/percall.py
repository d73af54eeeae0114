#!/usr/bin/env python3
"""Per-call cost of small compress calls: kivio.Compressor and kiv.compressobj beside the peers.

Each compressor makes one stream and is fed consecutive pieces of the data, `size` bytes a call; the
figure is the median, over interleaved repetitions, of the wall time of a batch of calls divided by
the number of calls (microseconds per call), with the compression ratio of the stream (its final flush
included) beside it.
Run on a quiet machine; on a shared one compare only figures of the same run.

Usage: python bench/percall.py [--sizes 64,256,4096] [--reps 15] [--calls 2000] [--extra MODULE]
  --extra MODULE: also time MODULE.Compressor(level, format) (an experimental build of the core).
"""

from __future__ import annotations

import argparse
import importlib
import statistics
import time
import zlib
from pathlib import Path
from typing import Any, Callable

import kiv
import kivio

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "silesia"


def load_text(n: int) -> bytes:
    """Text: dickens from the corpus when it is there, else this interpreter's standard-library sources."""
    path = CORPUS / "dickens.zip"
    if path.exists():
        import zipfile

        with zipfile.ZipFile(path) as z, z.open(z.namelist()[0]) as f:
            return f.read(n)
    out = bytearray()
    for p in sorted(Path(zlib.__file__ if hasattr(zlib, "__file__") else argparse.__file__).parent.glob("*.py")):
        out += p.read_bytes()
        if len(out) >= n:
            break
    return bytes(out[:n])


def makers(extra: str | None) -> dict[str, Callable[[], Any]]:
    """Name -> factory of a gzip stream object with `compress` and `flush`."""
    m: dict[str, Callable[[], Any]] = {
        "kivio level 1": lambda: kivio.Compressor(1, kivio.GZIP),
        "kiv level 1": lambda: kiv.compressobj(1, kiv.KIV_FMT_GZIP),
        "kivio level 0": lambda: kivio.Compressor(0, kivio.GZIP),
        "kiv level 0": lambda: kiv.compressobj(0, kiv.KIV_FMT_GZIP),
    }
    if extra:
        mod = importlib.import_module(extra)
        m[f"{extra} level 1"] = lambda: mod.Compressor(1, 0)
        m[f"{extra} level 0"] = lambda: mod.Compressor(0, 0)
    m["zlib level 1"] = lambda: zlib.compressobj(1, zlib.DEFLATED, 31)
    try:
        from isal import isal_zlib

        m["isal level 0"] = lambda: isal_zlib.compressobj(0, isal_zlib.DEFLATED, 31)
        m["isal level 1"] = lambda: isal_zlib.compressobj(1, isal_zlib.DEFLATED, 31)
    except ImportError:
        pass
    try:
        from zlib_ng import zlib_ng

        m["zlib-ng level 1"] = lambda: zlib_ng.compressobj(1, zlib_ng.DEFLATED, 31)
    except ImportError:
        pass
    return m


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="64,256,4096")
    ap.add_argument("--reps", type=int, default=15)
    ap.add_argument("--calls", type=int, default=2000)
    ap.add_argument("--extra")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    data = load_text(4 << 20)
    table = makers(args.extra)
    print(f"{'compressor':<22}" + "".join(f"{f'{s} B: us/call':>16}{'ratio':>7}" for s in sizes))
    results: dict[tuple[str, int], tuple[float, float]] = {}
    for size in sizes:
        calls = min(args.calls, len(data) // size)
        pieces = [data[i * size : (i + 1) * size] for i in range(calls)]
        times: dict[str, list[float]] = {name: [] for name in table}
        ratio: dict[str, float] = {}
        for _ in range(args.reps):
            for name, make in table.items():  # interleaved: every repetition runs every compressor once
                stream = make()
                compress = stream.compress
                start = time.perf_counter()
                out = [compress(p) for p in pieces]
                times[name].append((time.perf_counter() - start) / calls * 1e6)
                out.append(stream.flush())
                ratio[name] = size * calls / sum(map(len, out))
        for name in table:
            results[name, size] = (statistics.median(times[name]), ratio[name])
    for name in table:
        print(f"{name:<22}" + "".join(f"{results[name, s][0]:>16.3f}{results[name, s][1]:>7.2f}" for s in sizes))


if __name__ == "__main__":
    main()
