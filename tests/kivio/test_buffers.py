"""Buffers: every kind of bytes-like object is read in place and gives what bytes(buffer) gives; buffers
that are not C-contiguous are refused; an exporter cannot resize or free a buffer while a call reads it."""

from __future__ import annotations

import array
import mmap
import threading
import zlib
from typing import Any, Callable

import pytest

import kivio
from kivio_support import FORMATS, WBITS, text_like

np = pytest.importorskip("numpy")

TEXT = text_like(100_000, seed=7)


def stream_of(chunks: list[Any], level: int, fmt: int) -> list[bytes]:
    c = kivio.Compressor(level, fmt)
    return [c.compress(x) for x in chunks] + [c.flush(kivio.SYNC_FLUSH), c.flush()]


def anonymous_mmap(data: bytes) -> mmap.mmap:
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


# Each kind turns bytes (whose length is a multiple of 16) into a buffer whose bytes(...) is those bytes.
KINDS: dict[str, Callable[[bytes], Any]] = {
    "bytes": lambda b: b,
    "bytes-subclass": lambda b: type("Sub", (bytes,), {})(b),
    "bytearray": bytearray,
    "memoryview": memoryview,
    "memoryview-readonly-slice": lambda b: memoryview(b"xx" + b + b"yy")[2:-2],
    "memoryview-cast-I": lambda b: memoryview(bytearray(b)).cast("I"),
    "memoryview-cast-d-2d": lambda b: memoryview(bytearray(b)).cast("d", [len(b) // 16, 2]) if b else memoryview(b),
    "array-H": lambda b: array.array("H", b),
    "array-d": lambda b: array.array("d", b),
    "mmap": lambda b: anonymous_mmap(b) if b else b,
    "numpy-uint8": lambda b: np.frombuffer(b, dtype=np.uint8),
    "numpy-int64-2d": lambda b: np.frombuffer(b, dtype=np.int64).reshape(-1, 1),
    "numpy-float32-rows-slice": lambda b: np.frombuffer(b"\0" * 16 + b, dtype=np.float32).reshape(-1, 2)[2:],
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("level", [0, 1])
@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_every_buffer_kind_gives_the_bytes_of_bytes_buffer(kind: str, level: int, fmt_name: str, fmt: int) -> None:
    sizes = [0, 16, 4096, 40_000, 270_000]  # the lock kept and released at each level
    data = (TEXT * 4)[: sum(sizes)]
    chunks, pos = [], 0
    for n in sizes:
        chunks.append(data[pos : pos + n])
        pos += n
    buffers = [KINDS[kind](x) for x in chunks]
    assert [bytes(b) for b in buffers] == chunks
    got = stream_of(buffers, level, fmt)
    assert got == stream_of(chunks, level, fmt)
    assert zlib.decompress(b"".join(got), WBITS[fmt]) == data


@pytest.mark.parametrize("kind", KINDS)
def test_every_buffer_kind_in_a_large_call(kind: str) -> None:
    """From 1 MiB on the engine writes straight into the result."""
    data = (TEXT * 21)[:2_000_000]
    got = stream_of([KINDS[kind](data)], 1, kivio.GZIP)
    assert got == stream_of([data], 1, kivio.GZIP)


NON_CONTIGUOUS: dict[str, Callable[[], Any]] = {
    "memoryview-step": lambda: memoryview(TEXT)[::2],
    "memoryview-reversed": lambda: memoryview(TEXT)[::-1],
    "numpy-column": lambda: np.frombuffer(TEXT, dtype=np.uint8).reshape(-1, 4)[:, 1],
    "numpy-fortran": lambda: np.asfortranarray(np.frombuffer(TEXT[:4000], dtype=np.uint8).reshape(40, 100)),
    "numpy-transposed": lambda: np.frombuffer(TEXT[:4000], dtype=np.uint8).reshape(40, 100).T,
}


@pytest.mark.parametrize("kind", NON_CONTIGUOUS)
def test_non_contiguous_buffers_are_refused_and_change_nothing(kind: str) -> None:
    """Compressing the memory in its own order would not give bytes(buffer): such buffers raise TypeError."""
    c = kivio.Compressor(1, kivio.ZLIB)
    first = c.compress(TEXT[:1000])
    with pytest.raises(TypeError, match="C-contiguous buffer"):
        c.compress(NON_CONTIGUOUS[kind]())
    rest = c.compress(TEXT[1000:]) + c.flush()
    assert zlib.decompress(first + rest) == TEXT
    assert bytes(NON_CONTIGUOUS[kind]())  # the documented way round: one copy


def test_released_memoryview_raises_and_changes_nothing() -> None:
    view = memoryview(b"abc")
    view.release()
    c = kivio.Compressor(1, kivio.DEFLATE)
    with pytest.raises(ValueError, match="released memoryview"):
        c.compress(view)
    assert zlib.decompress(c.compress(b"abc") + c.flush(), -15) == b"abc"


def run_while_compressing(make_data: Callable[[], Any], meddle: Callable[[Any], None]) -> tuple[bytes, list[BaseException]]:
    """Compresses one large buffer (the interpreter lock released) while another thread meddles with it
    until the call returns; returns the raw DEFLATE stream and what the meddler's attempts raised.

    The meddler waits for the go that comes right before the call; should it still get in before the
    call has taken its export (a stall of the calling thread), the call fails on a closed or shrunk
    exporter and the whole run is repeated."""
    for _ in range(5):
        data = make_data()
        c = kivio.Compressor(1, kivio.DEFLATE)
        go = threading.Event()
        done = threading.Event()
        raised: list[BaseException] = []

        def meddler() -> None:
            go.wait()
            while not done.is_set():
                try:
                    meddle(data)
                except BaseException as e:  # noqa: BLE001 - what the exporter raises is the point
                    raised.append(e)

        t = threading.Thread(target=meddler)
        t.start()
        try:
            go.set()
            stream = c.compress(data) + c.flush()
        except (ValueError, BufferError):
            continue  # the meddler came first
        finally:
            done.set()
            t.join()
        return stream, raised
    raise AssertionError("the meddler always came before the call")


BIG = text_like(1 << 20, seed=9) * 48  # 48 MiB: long enough for the other thread to get in many times


def test_bytearray_resized_during_a_call_raises_buffer_error_in_the_resizing_thread() -> None:
    def resize(b: bytearray) -> None:
        b.extend(b"x")
        del b[-1:]

    stream, raised = run_while_compressing(lambda: bytearray(BIG), resize)
    assert raised and all(isinstance(e, BufferError) for e in raised)
    assert zlib.decompress(stream, -15) == BIG


def test_bytearray_mutated_in_place_during_a_call_does_not_crash() -> None:
    """Writing into the buffer without resizing it is the caller's race: the stream holds some mix of old
    and new bytes, but it is a valid stream of the buffer's length."""

    def scribble(b: bytearray) -> None:
        for i in range(0, len(b), 1 << 16):
            b[i] = 0x41

    stream, raised = run_while_compressing(lambda: bytearray(BIG), scribble)
    assert raised == []
    assert len(zlib.decompress(stream, -15)) == len(BIG)


@pytest.mark.parametrize(
    "make, meddle",
    [
        pytest.param(lambda: anonymous_mmap(BIG), lambda m: m.close(), id="mmap-close"),
        pytest.param(lambda: anonymous_mmap(BIG), lambda m: m.resize(1 << 20), id="mmap-resize"),
        pytest.param(lambda: memoryview(bytearray(BIG)), lambda v: v.release(), id="memoryview-release"),
    ],
)
def test_exporters_cannot_free_a_buffer_during_a_call(make: Callable[[], Any], meddle: Callable[[Any], None]) -> None:
    stream, raised = run_while_compressing(make, meddle)
    assert raised, "the meddler never got in"
    assert all(isinstance(e, BufferError) for e in raised), raised[:3]
    assert zlib.decompress(stream, -15) == BIG
