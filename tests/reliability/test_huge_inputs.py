"""Huge inputs: a single call beyond the 2^31 - 1 reservation limit, and a stream longer than 2^32 bytes.

Both need several GiB of memory and tens of seconds; they are marked slow. Streams are decoded
incrementally with zlib and compared piece by piece against the input, never as one huge bytes object.
"""

from __future__ import annotations

import struct
import time
import zlib

import pytest

import kiv
import kivio

from reliability_support import MIB, WBITS, noise, text_like

pytestmark = pytest.mark.slow

BLOCK = 64 * MIB


def check_stream_against_repeats(stream_parts, block: bytes, tail: bytes, total: int, fmt: int) -> None:
    """Inflates the concatenated parts, which must give `block` repeated then `tail`, `total` bytes in all.

    zlib checks the container's checksum and, for gzip, the length modulo 2^32 when it reaches the end.
    The input goes to zlib in slices of 1 MiB (an unconsumed tail is copied on every call) and the
    output comes back in pieces of at most 64 MiB.
    """
    d = zlib.decompressobj(WBITS[fmt])
    body = total - len(tail)
    pos = 0

    def compare(out: bytes) -> None:
        nonlocal pos
        i = 0
        while i < len(out):
            if pos >= body:
                assert out[i:] == tail[pos - body : pos - body + len(out) - i], "tail differs"
                pos += len(out) - i
                return
            at = pos % len(block)
            take = min(len(out) - i, len(block) - at, body - pos)
            # Slices of bytes compare with memcmp; comparisons of memoryviews go element by element.
            assert out[i : i + take] == block[at : at + take], f"mismatch near offset {pos}"
            i += take
            pos += take

    for part in stream_parts:
        view = memoryview(part)
        for start in range(0, len(part), MIB):
            pending = view[start : start + MIB]
            while pending:
                compare(d.decompress(pending, BLOCK))
                pending = d.unconsumed_tail
    compare(d.flush())
    assert d.eof and d.unused_data == b""
    assert pos == total


@pytest.mark.parametrize(
    "level, fmt_name, fmt",
    [(0, "zlib", kiv.KIV_FMT_ZLIB), (1, "gzip", kiv.KIV_FMT_GZIP)],
    ids=["level0-zlib", "level1-gzip"],
)
def test_one_call_just_over_2_gib(level: int, fmt_name: str, fmt: int) -> None:
    """Its reservation exceeds 2^31 - 1: the input goes to the engine in pieces, and the stream is whole."""
    # Incompressible blocks with runs of high bytes: stored blocks at level 0, stored runs and literals
    # at level 1, so the output is about as large as the input and pieces end in every block state.
    block = noise(BLOCK, seed=11)
    tail = text_like(12_345, seed=12)
    repeats = 32  # 2 GiB
    data = block * repeats + tail
    n = len(data)
    assert n + n // 8 + 6 > 2**31 - 1

    started = time.perf_counter()
    c = kiv.compressobj(level, fmt)
    body = c.compress(data)
    end = c.flush()
    took = time.perf_counter() - started
    del data
    print(f"{fmt_name} level {level}: {n} bytes in one call -> {len(body) + len(end)} bytes, {took:.1f} s")

    check_stream_against_repeats([body, end], block, tail, n, fmt)
    if fmt == kiv.KIV_FMT_GZIP:
        crc = zlib.crc32(tail, _crc_of_repeats(block, repeats))
        assert end[-8:] == struct.pack("<II", crc, n & 0xFFFFFFFF)
    print(f"  checked in {time.perf_counter() - started - took:.1f} s")


def _crc_of_repeats(block: bytes, repeats: int) -> int:
    crc = 0
    for _ in range(repeats):
        crc = zlib.crc32(block, crc)
    return crc


def test_gzip_stream_longer_than_4_gib_ends_with_isize_modulo_2_32() -> None:
    """2^32 + 5 input bytes in calls of 64 MiB: ISIZE is 5, and zlib accepts the CRC-32 and the length."""
    block = text_like(BLOCK, seed=21)
    tail = b"tail!"
    calls = (1 << 32) // BLOCK
    total = calls * BLOCK + len(tail)
    assert total == 2**32 + 5

    started = time.perf_counter()
    c = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
    parts = [c.compress(block) for _ in range(calls)]
    parts.append(c.compress(tail))
    parts.append(c.flush())
    took = time.perf_counter() - started
    size = sum(map(len, parts))
    print(f"gzip level 1: {total} bytes in {calls + 1} calls -> {size} bytes, {took:.1f} s")

    trailer = parts[-1][-8:]
    crc = zlib.crc32(tail, _crc_of_repeats(block, calls))
    assert trailer == struct.pack("<II", crc, 5)
    check_stream_against_repeats(parts, block, tail, total, kiv.KIV_FMT_GZIP)
    print(f"  checked in {time.perf_counter() - started - took:.1f} s")


def test_one_call_between_1_and_1_78_gib_is_one_engine_call() -> None:
    """An input whose reservation still fits 2^31 - 1 is compressed in one engine call, whatever its size,
    by kiv's compressobj, kivio's Compressor and kivio's threads alike.

    Zeros at level 1 make one literal and then matches to the end of the call; a call split at 1 GiB
    would start over with a literal there, so its stream differs from the one-call stream.
    """
    n = (1 << 30) + (1 << 28)  # 1.25 GiB: above the 1 GiB pieces of the largest inputs
    assert n + n // 8 + 6 + 10 <= 2**31 - 1
    data = bytes(n)
    one_call = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
    stream = one_call.compress(data) + one_call.flush()
    split = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
    view = memoryview(data)
    split_stream = split.compress(bytes(view[: 1 << 30])) + split.compress(bytes(view[1 << 30 :])) + split.flush()
    del view
    assert stream != split_stream
    assert zlib.decompress(stream, 31) == data

    ours = kivio.Compressor(1, kivio.GZIP)
    assert ours.compress(data) + ours.flush() == stream
    assert kivio.compress(data, chunk_size=n, threads=2) == stream
