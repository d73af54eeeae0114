"""Shared helpers: test data, running a stream through kiv, and decoding it with independent decoders."""

from __future__ import annotations

import gzip
import random
import shutil
import struct
import subprocess
import zipfile
import zlib
from pathlib import Path
from typing import Iterable, Sequence

import pytest

import kiv

FORMATS = {
    "gzip": kiv.KIV_FMT_GZIP,
    "zlib": kiv.KIV_FMT_ZLIB,
    "deflate": kiv.KIV_FMT_DEFLATE,
}
WBITS = {kiv.KIV_FMT_GZIP: 31, kiv.KIV_FMT_ZLIB: 15, kiv.KIV_FMT_DEFLATE: -15}
GZIP_HEADER = bytes.fromhex("1f8b0800000000000403")
ZLIB_HEADER = bytes.fromhex("7801")

SILESIA = Path("/work/shared/corpus/silesia")


def run_stream(chunks: Iterable[bytes], level: int = 1, fmt: int = kiv.KIV_FMT_DEFLATE) -> bytes:
    """Compresses the chunks call by call on one object and returns the whole stream."""
    c = kiv.compressobj(level, fmt)
    parts = [c.compress(chunk) for chunk in chunks]
    parts.append(c.flush())
    return b"".join(parts)


def split(data: bytes, cuts: Sequence[int]) -> list[bytes]:
    """Splits data at the given offsets (clamped, in any order)."""
    points = sorted(min(max(c, 0), len(data)) for c in cuts)
    edges = [0, *points, len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


def decode_zlib(stream: bytes, fmt: int) -> bytes:
    """Python's zlib, requiring the stream to end exactly at its last byte (checksums verified by zlib)."""
    d = zlib.decompressobj(WBITS[fmt])
    out = d.decompress(stream) + d.flush()
    assert d.eof, "stream has no final block / trailer"
    assert d.unused_data == b"", "bytes after the end of the stream"
    return out


def decode_second(stream: bytes, fmt: int) -> bytes:
    """ISA-L's decoder, independent of zlib."""
    from isal import igzip, isal_zlib

    if fmt == kiv.KIV_FMT_GZIP:
        return igzip.decompress(stream)
    d = isal_zlib.decompressobj(WBITS[fmt])
    out = d.decompress(stream) + d.flush()
    assert d.eof and d.unused_data == b""
    return out


def check_trailer(stream: bytes, data: bytes, fmt: int) -> None:
    """The container framing byte for byte: header and the checksum/length trailer."""
    if fmt == kiv.KIV_FMT_GZIP:
        assert stream[:10] == GZIP_HEADER
        assert stream[-8:] == struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    elif fmt == kiv.KIV_FMT_ZLIB:
        assert stream[:2] == ZLIB_HEADER
        assert stream[-4:] == struct.pack(">I", zlib.adler32(data))


def gzip_command_decode(stream: bytes) -> bytes:
    proc = subprocess.run(["gzip", "-dc"], input=stream, capture_output=True, check=True)
    assert proc.stderr == b""
    return proc.stdout


def assert_decodes(stream: bytes, data: bytes, fmt: int, *, gzip_command: bool = False) -> None:
    """Every decoder at hand must give back data; checksums and framing verified."""
    check_trailer(stream, data, fmt)
    assert decode_zlib(stream, fmt) == data
    assert decode_second(stream, fmt) == data
    if fmt == kiv.KIV_FMT_GZIP:
        assert gzip.decompress(stream) == data
        if gzip_command and shutil.which("gzip"):
            assert gzip_command_decode(stream) == data


def text_like(n: int, seed: int = 1) -> bytes:
    """Words from a small vocabulary: many short matches, like prose."""
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"etaoinshrdlucmfw") for _ in range(rng.randint(1, 9))) for _ in range(400)]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words) + rng.choice([b" ", b" ", b", ", b".\n"])
    return bytes(out[:n])


def worst_growth(n: int) -> bytes:
    """Runs of 51 bytes >= 144 (9-bit literals), each followed by a 4-byte match: the engine's largest output."""
    rng = random.Random(7)
    out = bytearray()
    while len(out) < n:
        run = bytes(rng.randrange(144, 256) for _ in range(51))
        out += run + run[:4]
    return bytes(out[:n])


def silesia_sample(name: str, n: int) -> bytes | None:
    path = SILESIA / f"{name}.zip"
    if not path.exists():
        return None
    with zipfile.ZipFile(path) as z:
        with z.open(z.namelist()[0]) as f:
            return f.read(n)


@pytest.fixture(scope="session")
def dickens() -> bytes:
    data = silesia_sample("dickens", 1 << 20)
    if data is None:
        pytest.skip("Silesia corpus not available")
    return data
