"""Helpers of the kivio tests: formats, test data and decoding with independent decoders.

A module of its own rather than a conftest.py, so that these tests and tests/python, whose conftest
is imported by name, can run in one pytest session.
"""

from __future__ import annotations

import gzip
import random
import struct
import zlib

import kivio

FORMATS = {"gzip": kivio.GZIP, "zlib": kivio.ZLIB, "deflate": kivio.DEFLATE}
WBITS = {kivio.GZIP: 31, kivio.ZLIB: 15, kivio.DEFLATE: -15}
MARKER = b"\x00\x00\xff\xff"  # LEN and NLEN of the empty stored block that ends every flush point


def text_like(n: int, seed: int = 1) -> bytes:
    """Words from a small vocabulary with a share of high bytes: many short matches, some stored runs."""
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"etaoinshrdlucmfw") for _ in range(rng.randint(1, 9))) for _ in range(400)]
    words += [bytes(rng.randrange(144, 256) for _ in range(rng.randint(40, 70))) for _ in range(5)]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words) + rng.choice([b" ", b" ", b", ", b".\n"])
    return bytes(out[:n])


def decode_zlib(stream: bytes, fmt: int) -> bytes:
    """Python's zlib; the stream must end exactly at its last byte (checksums verified by zlib)."""
    d = zlib.decompressobj(WBITS[fmt])
    out = d.decompress(stream) + d.flush()
    assert d.eof, "the stream does not end"
    assert d.unused_data == b"", "bytes after the end of the stream"
    return out


def decode_isal(stream: bytes, fmt: int) -> bytes:
    """ISA-L's decoder, independent of zlib."""
    from isal import igzip, isal_zlib

    if fmt == kivio.GZIP:
        return igzip.decompress(stream)
    d = isal_zlib.decompressobj(WBITS[fmt])
    out = d.decompress(stream) + d.flush()
    assert d.eof and d.unused_data == b""
    return out


def assert_decodes(stream: bytes, data: bytes, fmt: int) -> None:
    """zlib, ISA-L and (gzip) the gzip module give back data; the trailer holds its checksum and length."""
    assert decode_zlib(stream, fmt) == data
    assert decode_isal(stream, fmt) == data
    if fmt == kivio.GZIP:
        assert gzip.decompress(stream) == data
        assert stream[-8:] == struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    elif fmt == kivio.ZLIB:
        assert stream[-4:] == struct.pack(">I", zlib.adler32(data))
