"""Every stream decodes, with zlib, the gzip module, ISA-L and the gzip command, to the concatenated inputs."""

from __future__ import annotations

import os
import random
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kiv
from conftest import (
    FORMATS,
    assert_decodes,
    decode_zlib,
    run_stream,
    split,
    text_like,
    worst_growth,
)

DATASETS = {
    "empty": b"",
    "one-byte": b"a",
    "four-bytes": b"abab",
    "text-300": text_like(300, seed=3),
    "text-200k": text_like(200_000),
    "random-150k": random.Random(5).randbytes(150_000),
    "zeros-300k": bytes(300_000),
    "worst-growth-120k": worst_growth(120_000),
    "long-run-mixed": b"x" * 70_000 + random.Random(9).randbytes(70_000) + b"ab" * 40_000,
}


def chunkings(data: bytes) -> dict[str, list[bytes]]:
    rng = random.Random(len(data))
    n = len(data)
    return {
        "whole": [data],
        "4k-calls": [data[i : i + 4096] for i in range(0, n, 4096)] or [b""],
        "uneven-with-empties": [
            b"",
            *split(data, [rng.randrange(n + 1) for _ in range(6)] + [1, n - 1]),
            b"",
        ],
    }


GRID = [
    pytest.param(name, chunking, fmt, level, id=f"{name}-{chunking}-{fmt_name}-L{level}")
    for name in DATASETS
    for chunking in ("whole", "4k-calls", "uneven-with-empties")
    for fmt_name, fmt in FORMATS.items()
    for level in (0, 1)
]


@pytest.mark.parametrize("name, chunking, fmt, level", GRID)
def test_grid(name: str, chunking: str, fmt: int, level: int) -> None:
    data = DATASETS[name]
    chunks = chunkings(data)[chunking]
    stream = run_stream(chunks, level, fmt)
    assert_decodes(stream, data, fmt, gzip_command=True)
    if level == 0:
        assert len(stream) >= len(data)


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
@pytest.mark.parametrize("call_size", [256, 65536, 1 << 20])
def test_real_text_in_calls(dickens: bytes, fmt_name: str, fmt: int, call_size: int) -> None:
    chunks = [dickens[i : i + call_size] for i in range(0, len(dickens), call_size)]
    stream = run_stream(chunks, 1, fmt)
    assert_decodes(stream, dickens, fmt, gzip_command=True)
    if call_size >= 65536:
        assert len(stream) < len(dickens) * 3 // 4


def test_many_calls_on_one_object_reuse_and_grow() -> None:
    """Sizes going up and down on one object: the buffer is reused and grows; the stream stays whole."""
    rng = random.Random(11)
    sizes = [0, 10, 5000, 3, 200_000, 1, 70_000, 0, 131_072, 9] * 3
    chunks = [text_like(s, seed=i) if i % 2 else rng.randbytes(s) for i, s in enumerate(sizes)]
    for fmt in FORMATS.values():
        assert_decodes(run_stream(chunks, 1, fmt), b"".join(chunks), fmt)


def test_each_result_is_the_bytes_written_so_far() -> None:
    """The prefix returned by the compress calls decodes to a prefix of the input (nothing withheld beyond a word)."""
    data = text_like(100_000)
    c = kiv.compressobj(1, kiv.KIV_FMT_DEFLATE)
    prefix = c.compress(data[:50_000])
    d = zlib.decompressobj(-15)
    got = d.decompress(prefix)
    assert data[:50_000].startswith(got)
    assert len(got) > 49_000
    assert not d.eof


# Data with structure: a small alphabet makes matches of every length likely; raw bytes exercise stored runs.
payloads = st.one_of(
    st.binary(max_size=5000),
    st.lists(st.sampled_from([b"a", b"b", b"ab", b"abcd", b"\xff\xfe", b"the ", b"\x00" * 300]), max_size=600).map(
        b"".join
    ),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    data=payloads,
    cuts=st.lists(st.integers(min_value=0, max_value=5000), max_size=8),
    fmt=st.sampled_from(sorted(FORMATS.values())),
    level=st.integers(min_value=-4, max_value=4),
)
def test_random_data_and_splits_round_trip(data: bytes, cuts: list[int], fmt: int, level: int) -> None:
    stream = run_stream(split(data, cuts), level, fmt)
    assert_decodes(stream, data, fmt)


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(min_value=0, max_value=2**32 - 1), ncalls=st.integers(min_value=1, max_value=40))
def test_random_large_streams_round_trip(seed: int, ncalls: int) -> None:
    rng = random.Random(seed)
    chunks = []
    for _ in range(ncalls):
        kind = rng.randrange(4)
        size = rng.choice([0, 1, 17, 300, 4096, 65_535, 65_536, 100_000])
        if kind == 0:
            chunks.append(rng.randbytes(size))
        elif kind == 1:
            chunks.append(text_like(size, seed=rng.randrange(1000)))
        elif kind == 2:
            chunks.append(bytes([rng.randrange(256)]) * size)
        else:
            chunks.append(worst_growth(size))
    fmt = rng.choice(sorted(FORMATS.values()))
    stream = run_stream(chunks, rng.randrange(2), fmt)
    assert decode_zlib(stream, fmt) == b"".join(chunks)


def test_urandom_megabytes_level_1_all_formats() -> None:
    data = os.urandom(3 << 20)
    for fmt in FORMATS.values():
        assert_decodes(run_stream([data[:1 << 20], data[1 << 20 :]], 1, fmt), data, fmt)
