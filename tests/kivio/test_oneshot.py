"""kivio.compress: the bytes of one Compressor fed chunk_size pieces, for any buffer and any threads value."""

from __future__ import annotations

import array
import mmap

import pytest
from kivio_support import text_like
from stream_support import FORMATS, cut, decode, mixed, reference

import kivio

DATA = mixed(300_000)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("level", [0, 1])
@pytest.mark.parametrize(
    "size, chunk_size",
    [(0, 1 << 20), (1, 1), (5000, 7), (65536, 65536), (65537, 65536), (300_000, 1 << 16), (300_000, 1 << 20)],
    ids=["empty", "one-byte", "tiny-pieces", "exact-piece", "piece-plus-one", "64K-pieces", "one-piece"],
)
def test_same_bytes_as_one_compressor_fed_the_pieces(fmt: str, level: int, size: int, chunk_size: int) -> None:
    data = DATA[:size]
    stream = kivio.compress(data, level, fmt, chunk_size=chunk_size)
    assert stream == reference(cut(data, chunk_size), level, fmt)
    assert decode(stream, fmt) == data


@pytest.mark.parametrize("threads", [None, 1, 2, 3, 8])
def test_threads_never_change_the_bytes(threads: int | None) -> None:
    data = text_like(200_000)
    assert kivio.compress(data, chunk_size=16384, threads=threads) == reference(cut(data, 16384))


def test_chunk_size_drives_the_result() -> None:
    """No history between pieces: smaller pieces find fewer matches; the stream still decodes."""
    data = text_like(1 << 20)
    small, large = (kivio.compress(data, chunk_size=size) for size in (4096, 1 << 20))
    assert len(small) > len(large)
    assert decode(small) == decode(large) == data


def test_format_names_and_codes_agree() -> None:
    data = text_like(10_000)
    for name, code in [("gzip", kivio.GZIP), ("ZLIB", kivio.ZLIB), ("raw", kivio.DEFLATE), ("deflate", 2)]:
        assert kivio.compress(data, 1, name) == kivio.compress(data, 1, code)


def buffers(data: bytes) -> dict[str, object]:
    words = array.array("I")
    words.frombytes(data[: len(data) // 4 * 4])
    mapped = mmap.mmap(-1, len(data))
    mapped.write(data)
    kinds: dict[str, object] = {
        "bytearray": bytearray(data),
        "memoryview-slice": memoryview(b"xx" + data + b"yy")[2:-2],
        "array-of-uint32": words,
        "mmap": mapped,
        "memoryview-2d": memoryview(bytearray(data[:20_000])).cast("B", (100, 200)),
    }
    return kinds


@pytest.mark.parametrize(
    "kind", ["bytearray", "memoryview-slice", "array-of-uint32", "mmap", "memoryview-2d", "numpy-int16"]
)
def test_any_contiguous_buffer_gives_the_bytes_of_bytes_buffer(kind: str) -> None:
    data = text_like(100_003)
    if kind == "numpy-int16":
        numpy = pytest.importorskip("numpy")
        buf: object = numpy.frombuffer(data[:100_002], dtype=numpy.int16)
    else:
        buf = buffers(data)[kind]
    flat = bytes(memoryview(buf).cast("B"))  # type: ignore[arg-type]
    assert kivio.compress(buf, chunk_size=4096) == kivio.compress(flat, chunk_size=4096)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"data": "text"}, TypeError),
        ({"data": memoryview(b"abcdef")[::2]}, TypeError),
        ({"level": 10}, ValueError),
        ({"level": "1"}, TypeError),
        ({"format": "lz4"}, ValueError),
        ({"chunk_size": 0}, ValueError),
        ({"chunk_size": -5}, ValueError),
        ({"chunk_size": 1.5}, TypeError),
        ({"chunk_size": True}, TypeError),
        ({"threads": 0}, ValueError),
        ({"threads": -1}, ValueError),
        ({"threads": 2.0}, TypeError),
        ({"threads": "2"}, TypeError),
        ({"threads": True}, TypeError),
    ],
    ids=lambda v: repr(v) if not isinstance(v, type) else v.__name__,
)
def test_bad_arguments_raise(kwargs: dict[str, object], error: type[Exception]) -> None:
    args: dict[str, object] = {"data": b"abc", **kwargs}
    with pytest.raises(error):
        kivio.compress(**args)  # type: ignore[arg-type]
