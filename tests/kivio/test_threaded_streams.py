"""Threads in kivio.compress and the writer of kivio.open: for every thread count the bytes of one Compressor
fed the same pieces (sync flushes of the writer included), and threads that end with the call or the writer
whatever happens: a normal or early close, a failing file, Ctrl-C, a writer dropped without close."""

from __future__ import annotations

import _thread
import gc
import io
import random
import threading
from typing import Any, Callable, Optional

import pytest
from stream_support import FORMATS, cut, decode, reference
from threads_support import DATA_SETS, data_set, task_count

import kivio
from kivio._pieces import threads_for, usable_cores

THREADS = [1, 2, 3, 8]


@pytest.mark.parametrize("threads", THREADS, ids=[f"threads{t}" for t in THREADS])
@pytest.mark.parametrize("level", [0, 1], ids=["level0", "level1"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_compress_equals_one_compressor_fed_the_pieces(fmt: str, level: int, threads: int) -> None:
    """Every data set, with 1-byte pieces, whole stored blocks (65535 bytes), one byte more, and odd sizes."""
    for name in DATA_SETS:
        for chunk in (1, 65535, 65536, 77_777):
            data = data_set(name, 600_000)[: 2000 if chunk == 1 else None]
            got = kivio.compress(data, level, fmt, chunk_size=chunk, threads=threads)
            assert got == reference(cut(data, chunk), level, fmt), f"{name}, {chunk}-byte pieces"
        decode(got, fmt)


def writer_reference(ops: list[Optional[bytes]], chunk: int, level: int, fmt: str) -> bytes:
    """What the writer must write for these writes (None: a flush) and a close: the data between flushes cut
    into chunk-size pieces, a sync flush at each flush."""
    pieces: list[Optional[bytes]] = []
    pending = bytearray()
    for op in ops:
        if op is None:
            pieces += cut(bytes(pending), chunk)
            pieces.append(None)
            pending.clear()
        else:
            pending += op
    return reference(pieces + cut(bytes(pending), chunk), level, fmt)


def random_ops(rng: random.Random, chunk: int) -> list[Optional[bytes]]:
    """Writes of every size, from empty to many pieces, with flushes between some of them."""
    pool = b"".join(data_set(name, 300_000) for name in DATA_SETS)
    ops: list[Optional[bytes]] = []
    for _ in range(40):
        if rng.random() < 0.2:
            ops.append(None)
            continue
        n = rng.choice([0, 1, 100, chunk - 1, chunk, chunk + 1, 5 * chunk + 17, 20 * chunk])
        start = rng.randrange(len(pool) - n)
        ops.append(pool[start : start + n])
    return ops


@pytest.mark.parametrize("threads", THREADS, ids=[f"threads{t}" for t in THREADS])
@pytest.mark.parametrize("level", [0, 1], ids=["level0", "level1"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_writer_with_flushes_equals_one_compressor(fmt: str, level: int, threads: int) -> None:
    rng = random.Random(f"{fmt}{level}{threads}")
    for chunk in (4096, 65536):
        ops = random_ops(rng, chunk)
        sink = io.BytesIO()
        with kivio.open(sink, "wb", level, format=fmt, chunk_size=chunk, threads=threads) as f:
            for op in ops:
                if op is None:
                    f.flush()
                else:
                    # bytes and views of bytes (in place), bytearrays (gathered, or in place and done with)
                    f.write([op, memoryview(op), bytearray(op)][len(op) % 3])
        stream = sink.getvalue()
        assert stream == writer_reference(ops, chunk, level, fmt), f"{chunk}-byte pieces"
    assert decode(stream, fmt) == b"".join(op for op in ops if op is not None)


def test_text_writer_with_threads_equals_compress() -> None:
    text = data_set("text", 1_000_000).decode("latin-1")
    sink = io.BytesIO()
    with kivio.open(sink, "wt", encoding="utf-8", newline="", chunk_size=1 << 16, threads=3) as f:
        for line in text.splitlines(keepends=True):
            f.write(line)
    assert sink.getvalue() == kivio.compress(text.encode("utf-8"), chunk_size=1 << 16, threads=1)


def test_automatic_thread_count() -> None:
    """None: the usable cores once the input spans several pieces of 64 KiB or more at a searching level,
    else one thread; a number is an upper bound, never above the pieces, at any level and piece size."""
    cores = usable_cores()
    assert threads_for(None, 1, 1 << 20, 1) == 1
    assert threads_for(None, 1000, 1 << 20, 1) == cores
    assert threads_for(None, 1000, 1 << 16, 9) == cores
    assert threads_for(None, 1000, (1 << 16) - 1, 1) == 1
    assert threads_for(None, 1000, 1 << 20, 0) == 1
    assert threads_for(8, 3, 1, 0) == 3
    assert threads_for(2, 1000, 1, 1) == 2


# -- threads end, whatever happens -------------------------------------------------------------------------


class Sink(io.RawIOBase):
    """A raw file that keeps what it is given and, from its `fail_at`-th write on, raises `error`."""

    def __init__(self, fail_at: int = 0, error: Optional[BaseException] = None) -> None:
        self.data = bytearray()
        self.writes = 0
        self.fail_at, self.error = fail_at, error

    def writable(self) -> bool:
        return True

    def write(self, b: Any) -> int:
        self.writes += 1
        if self.error is not None and self.writes >= self.fail_at:
            raise self.error
        self.data += b
        return len(b)


BIG = data_set("text", 1536 << 10)  # three batches of 16 pieces (4 threads, 32 KiB pieces)
CHUNK = 32 << 10


def closed(sink: Sink) -> None:
    with kivio.open(sink, "wb", chunk_size=CHUNK, threads=4) as f:
        f.write(BIG)
    assert decode(bytes(sink.data)) == BIG


def closed_early(sink: Sink) -> None:
    f = kivio.open(sink, "wb", chunk_size=CHUNK, threads=4)
    for piece in cut(BIG, 200_000)[:3]:
        f.write(piece)
    f.close()
    assert decode(bytes(sink.data)) == BIG[:600_000]


def file_fails(sink: Sink) -> None:
    sink.fail_at, sink.error = 3, OSError(28, "No space left on device")
    with pytest.raises(OSError):
        with kivio.open(sink, "wb", chunk_size=CHUNK, threads=4) as f:
            for piece in cut(BIG, 50_000):
                f.write(piece)


def interrupted_by_the_file(sink: Sink) -> None:
    sink.fail_at, sink.error = 2, KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        with kivio.open(sink, "wb", chunk_size=CHUNK, threads=4) as f:
            f.write(BIG)


def dropped_unclosed(sink: Sink) -> None:
    f = kivio.open(sink, "wb", chunk_size=CHUNK, threads=4)
    f.write(BIG)
    del f
    gc.collect()
    assert decode(bytes(sink.data)) == BIG  # closing it ended the stream


def text_mode(sink: Sink) -> None:
    with kivio.open(sink, "wt", chunk_size=CHUNK, threads=4) as f:
        f.write(BIG.decode("latin-1"))


ENDINGS: dict[str, Callable[[Sink], None]] = {
    "closed": closed,
    "closed_early": closed_early,
    "file_fails": file_fails,
    "keyboard_interrupt_from_the_file": interrupted_by_the_file,
    "dropped_unclosed": dropped_unclosed,
    "text_mode": text_mode,
}


@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS.keys())
def test_writer_threads_end_with_the_writer(ending: Callable[[Sink], None]) -> None:
    before = task_count()
    ending(Sink())
    assert task_count(before) == before


def test_ctrl_c_during_threaded_writes_ends_the_threads() -> None:
    """Ctrl-C (the interrupt raised in the main thread) at whatever point of a threaded write it lands: the
    writer is failed, closing it ends the threads, and nothing hangs."""
    before = task_count()
    for delay in (0.0, 0.003, 0.02):
        sink = Sink()
        timer = threading.Timer(delay, _thread.interrupt_main)
        with pytest.raises(KeyboardInterrupt):
            with kivio.open(sink, "wb", chunk_size=CHUNK, threads=3) as f:
                timer.start()
                while True:
                    f.write(BIG)
        timer.join()
        assert task_count(before) == before


def test_compress_leaves_no_thread_behind() -> None:
    before = task_count()
    kivio.compress(BIG, chunk_size=CHUNK, threads=8)
    assert task_count(before) == before
