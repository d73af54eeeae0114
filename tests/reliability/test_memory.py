"""Memory: objects and calls leave nothing behind, and an object's output buffer is reused, not regrown."""

from __future__ import annotations

import gc
import zlib

import pytest

import kiv

from reliability_support import MIB, decode, foreign_allocator, heap_in_use, noise, rss_bytes, text_like

# A sanitizer's or valgrind's allocator keeps freed blocks in quarantine and keeps its own books.
pytestmark = pytest.mark.skipif(foreign_allocator() is not None, reason=f"allocator replaced by {foreign_allocator()}")

# Allowed growth of the resident set once warmed up: far above what a leak of one small block per
# object or per call would cost over these runs (100,000 x 16 bytes = 1.6 MB at the very least).
RSS_SLACK = 8 * MIB


def use_one_object(i: int, payloads: list[bytes]) -> bytes:
    """Creates a stream, drives every path of a normal life and some error paths, and returns it."""
    c = kiv.compressobj(i & 3, i % 3)
    parts = [c.compress(p) for p in payloads]
    with pytest.raises(TypeError):
        c.compress(bytearray(b"x"))
    parts.append(c.flush())
    with pytest.raises(ValueError):
        c.compress(b"after")
    assert c.flush() == b""
    return b"".join(parts)


def test_many_objects_leave_no_resident_growth() -> None:
    payloads = [b"", text_like(100, seed=1), noise(700, seed=2), text_like(5000, seed=3)]
    expected = b"".join(payloads)

    for i in range(10_000):  # warm-up: allocator pools, pybind11 type caches, exception machinery
        use_one_object(i, payloads)
    gc.collect()
    start = rss_bytes()
    curve = []
    for i in range(100_000):
        stream = use_one_object(i, payloads)
        if i % 997 == 0:
            assert decode(stream, i % 3) == expected
        if (i + 1) % 10_000 == 0:
            gc.collect()
            curve.append(rss_bytes() - start)
    print("RSS growth per 10,000 objects (KiB):", [g // 1024 for g in curve])
    assert max(curve) < RSS_SLACK, curve


def test_a_million_small_calls_on_one_object_leave_no_resident_growth() -> None:
    chunks = [text_like(n, seed=n) for n in (1, 3, 4, 7, 16, 33, 64)] + [noise(20, seed=5), b""]
    c = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
    d = zlib.decompressobj(31)
    fed = decoded = 0
    start = 0
    curve = []
    for i in range(1_100_000):
        chunk = chunks[i % len(chunks)]
        decoded += len(d.decompress(c.compress(chunk)))
        fed += len(chunk)
        if i == 99_999:  # warm-up done
            gc.collect()
            start = rss_bytes()
        elif i > 99_999 and (i + 1) % 100_000 == 0:
            gc.collect()
            curve.append(rss_bytes() - start)
    decoded += len(d.decompress(c.flush()))
    decoded += len(d.flush())
    assert d.eof and d.unused_data == b""  # zlib has checked the CRC-32 and the length
    assert decoded == fed
    print("RSS growth per 100,000 calls (KiB):", [g // 1024 for g in curve])
    assert max(curve) < RSS_SLACK, curve


def test_output_buffer_grows_once_and_is_reused_until_the_object_dies() -> None:
    # Calls below 1 MiB go through the object's output buffer; larger ones are written straight into
    # their result (see the test below).
    top = 768 * 1024
    big = noise(top, seed=7)
    sizes = [top, top // 4, 1000, 0, top * 3 // 4, 17, top]
    inputs = {n: big[:n] for n in sizes}
    decode(kiv.compressobj(0).compress(b"warm") + b"\x03\x00", kiv.KIV_FMT_DEFLATE)
    d = zlib.decompressobj(-15)
    gc.collect()
    baseline = heap_in_use()

    c = kiv.compressobj(0, kiv.KIV_FMT_DEFLATE)  # level 0: output about as large as the input
    fed = decoded = 0

    def call(n: int) -> None:
        nonlocal fed, decoded
        out = c.compress(inputs[n])
        decoded += len(d.decompress(out))
        fed += n
        del out

    call(top)
    held = heap_in_use() - baseline
    bound = top + top // 8 + 6
    # The object holds one buffer of about the reservation for its largest call, not more.
    assert bound <= held < bound + MIB, held

    samples = []
    for _ in range(50):
        for n in sizes:
            call(n)
        samples.append(heap_in_use() - baseline - held)
    print("heap in use beyond the object's buffer, after each round of 7 calls (bytes):", samples[:5], "...", samples[-5:])
    # Calls up to the largest size so far allocate nothing that outlives them: no growth, no second buffer,
    # and the buffer does not shrink for the small calls.
    assert max(abs(s) for s in samples) < 256 * 1024, samples

    decoded += len(d.decompress(c.flush()))
    assert d.eof and decoded == fed
    del c
    gc.collect()
    released = heap_in_use() - baseline
    assert released < 256 * 1024, released


def test_large_calls_are_written_into_their_result_and_leave_no_buffer() -> None:
    big = noise(4 * MIB, seed=11)
    decode(kiv.compressobj(0).compress(b"warm") + b"\x03\x00", kiv.KIV_FMT_DEFLATE)
    gc.collect()
    baseline = heap_in_use()
    c = kiv.compressobj(0, kiv.KIV_FMT_DEFLATE)
    out = c.compress(big) + c.compress(big[: 2 * MIB])
    held = heap_in_use() - baseline - len(out)
    assert held < 256 * 1024, held
    assert decode(out + c.flush(), kiv.KIV_FMT_DEFLATE) == big + big[: 2 * MIB]
