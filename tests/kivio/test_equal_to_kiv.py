"""For bytes input and FINISH alone, kivio.Compressor writes what kiv.compressobj writes, call for call."""

from __future__ import annotations

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kiv
import kivio
from kivio_support import FORMATS, WBITS, text_like

SOURCE = text_like(1 << 20, seed=11) + random.Random(2).randbytes(200_000) + bytes(range(256)) * 400


def both(chunks: list[bytes], level: int, fmt: int) -> tuple[list[bytes], list[bytes]]:
    ours = kivio.Compressor(level, fmt)
    theirs = kiv.compressobj(0 if level == 0 else 1, fmt)
    a = [ours.compress(x) for x in chunks] + [ours.flush()]
    b = [theirs.compress(x) for x in chunks] + [theirs.flush()]
    return a, b


calls = st.lists(st.tuples(st.integers(0, len(SOURCE)), st.sampled_from([0, 1, 3, 100, 4096, 70_000, 300_000])), max_size=12)


@settings(max_examples=80, deadline=None)
@given(calls=calls, level=st.sampled_from([0, 1, 6, 9, -1]), fmt=st.sampled_from(list(FORMATS.values())))
def test_random_call_sequences(calls: list[tuple[int, int]], level: int, fmt: int) -> None:
    chunks = [SOURCE[start : start + n] for start, n in calls]
    ours, theirs = both(chunks, level, fmt)
    assert ours == theirs


@pytest.mark.parametrize("level", [0, 1])
@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_large_calls_written_straight_into_the_result(fmt_name: str, fmt: int, level: int) -> None:
    chunks = [b"", SOURCE[:3 << 20 // 2], SOURCE[:1 << 20], SOURCE[: (1 << 20) - 1]]
    ours, theirs = both(chunks, level, fmt)
    assert ours == theirs


def huge_threshold(header: int) -> int:
    """The smallest input whose reservation exceeds 2**31 - 1 (the engine's limit for one call)."""
    n = (2**31 - 1 - 6 - header) * 8 // 9
    while n + n // 8 + 6 + header <= 2**31 - 1:
        n += 1
    return n


@pytest.mark.slow
@pytest.mark.parametrize("fmt_name, fmt", [("gzip", kivio.GZIP), ("zlib", kivio.ZLIB)])
def test_huge_input_in_1_gib_pieces(fmt_name: str, fmt: int) -> None:
    """Beyond what one engine call takes (about 1.78 GiB): both hand the input to the engine in pieces of
    1 GiB, so kivio writes what kiv writes."""
    import zlib

    n = huge_threshold(10) + 12_345
    unit = text_like(1 << 20, seed=2)
    data = unit * (n // len(unit)) + unit[: n % len(unit)]
    ours = kivio.Compressor(1, fmt)
    got = [ours.compress(data), ours.flush()]
    theirs = kiv.compressobj(1, fmt)
    assert got == [theirs.compress(data), theirs.flush()]
    # and it is the stream of two engine calls of 1 GiB and the rest
    ref = kivio.Compressor(1, fmt)
    view = memoryview(data)
    pieces = [ref.compress(view[i : i + (1 << 30)]) for i in range(0, n, 1 << 30)]
    assert b"".join(got) == b"".join(pieces) + ref.flush()
    d = zlib.decompressobj(WBITS[fmt])
    pos = 0
    pending = b"".join(got)
    while not d.eof:
        out = d.decompress(pending, 64 << 20)
        pending = d.unconsumed_tail
        assert out == view[pos : pos + len(out)]
        pos += len(out)
    assert pos == n
