"""Helpers of the reliability tests: process memory figures, stream decoding, test data.

A module of its own rather than a conftest.py, so that these tests and tests/python, whose conftest
is imported by name, can run in one pytest session.
"""

from __future__ import annotations

import ctypes
import os
import random
import zlib

import pytest

import kiv

WBITS = {kiv.KIV_FMT_GZIP: 31, kiv.KIV_FMT_ZLIB: 15, kiv.KIV_FMT_DEFLATE: -15}
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20


def foreign_allocator() -> str | None:
    """Names the tool that has replaced the C allocator in this process (its figures then mean nothing)."""
    if hasattr(ctypes.CDLL(None), "__asan_init"):
        return "AddressSanitizer"
    if "vgpreload" in os.environ.get("LD_PRELOAD", ""):
        return "valgrind"
    return None


def rss_bytes() -> int:
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_SIZE


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


def _load_mallinfo2():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    fn.restype = _MallInfo2
    fn.argtypes = []
    return fn


_mallinfo2 = _load_mallinfo2()


def heap_in_use() -> int:
    """Bytes the C allocator has handed out and not yet taken back (heap and mmapped blocks)."""
    if _mallinfo2 is None:
        pytest.skip("the C library has no mallinfo2")
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def decode(stream: bytes, fmt: int) -> bytes:
    """Python's zlib; the stream must end exactly at its last byte, checksum and length verified."""
    d = zlib.decompressobj(WBITS.get(fmt, -15))
    out = d.decompress(stream) + d.flush()
    assert d.eof, "the stream does not end"
    assert d.unused_data == b"", "bytes after the end of the stream"
    return out


def text_like(n: int, seed: int = 0) -> bytes:
    """Compressible data with matches at many distances and a share of high bytes."""
    rng = random.Random(seed)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(400)]
    words += [bytes(rng.randrange(144, 256) for _ in range(rng.randrange(2, 6))) for _ in range(40)]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words)
        out += b" "
    return bytes(out[:n])


def noise(n: int, seed: int = 0) -> bytes:
    return random.Random(seed).randbytes(n)
