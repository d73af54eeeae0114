"""Helpers of the one-shot, file and command-line tests: test data, the reference stream, and decoding with
independent decoders.

A module of its own rather than a conftest.py, so that these tests and tests/python, whose conftest is
imported by name, can run in one pytest session.
"""

from __future__ import annotations

import gzip
import random
import shutil
import struct
import subprocess
import zlib
from typing import Iterable, Union

from kivio_support import text_like

import kivio

WBITS = {"gzip": 31, "zlib": 15, "deflate": -15}
FORMATS = ["gzip", "zlib", "deflate"]


def mixed(n: int, seed: int = 2) -> bytes:
    """Text, random bytes and runs in turn: every kind of block the engine writes."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < n:
        kind = rng.randrange(3)
        size = rng.randint(1, 40_000)
        if kind == 0:
            out += text_like(size, rng.randrange(1 << 30))
        elif kind == 1:
            out += rng.randbytes(size)
        else:
            out += bytes([rng.randrange(256)]) * size
    return bytes(out[:n])


def reference(
    pieces: Iterable[Union[bytes, None]], level: int = 1, fmt: Union[int, str] = "gzip"
) -> bytes:
    """One Compressor fed `pieces` in turn (None stands for a sync flush), then finished."""
    c = kivio.Compressor(level, fmt)
    out = [c.flush(kivio.SYNC_FLUSH) if piece is None else c.compress(piece) for piece in pieces]
    out.append(c.flush(kivio.FINISH))
    return b"".join(out)


def cut(data: bytes, size: int) -> list[bytes]:
    return [data[i : i + size] for i in range(0, len(data), size)]


def gzip_command(stream: bytes) -> bytes:
    proc = subprocess.run(["gzip", "-dc"], input=stream, capture_output=True, check=True)
    assert proc.stderr == b""
    return proc.stdout


def decode(stream: bytes, fmt: str = "gzip", *, members: int = 1) -> bytes:
    """Decodes with zlib and ISA-L (and for gzip with the gzip module and the gzip command), checksums and
    lengths verified by each; all must agree. Returns the data."""
    from isal import igzip, isal_zlib

    results = []
    if fmt == "gzip":
        results.append(gzip.decompress(stream))
        results.append(igzip.decompress(stream))
        if shutil.which("gzip"):
            results.append(gzip_command(stream))
    if members == 1:
        for module in (zlib, isal_zlib):
            d = module.decompressobj(WBITS[fmt])
            results.append(d.decompress(stream) + d.flush())
            assert d.eof and d.unused_data == b"", "the stream does not end exactly at its last byte"
    if fmt == "gzip" and members == 1:
        assert stream[-4:] == struct.pack("<I", len(results[0]) & 0xFFFFFFFF)
    assert all(r == results[0] for r in results)
    return results[0]
