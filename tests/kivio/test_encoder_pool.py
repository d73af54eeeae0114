"""kivio._core.EncoderPool: a stream's pieces encoded on several threads, byte for byte the serial Compressor.

Also its arguments and errors, its threads started and stopped (closed, dropped, closed while another thread
uses it), and a worker whose output region cannot be allocated.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kivio
from kivio._core import EncoderPool
from kivio_support import FORMATS, assert_decodes, text_like
from threads_support import DATA_SETS, data_set, task_count

LEVELS = {"level0": 0, "level1": 1}
THREADS = [1, 2, 3, 8]


def serial(data: bytes, level: int, fmt: int, chunk_size: int) -> bytes:
    """One Compressor fed the same pieces, then finished: what every thread count must reproduce."""
    c = kivio.Compressor(level, fmt)
    parts = [c.compress(data[i : i + chunk_size]) for i in range(0, len(data), chunk_size)]
    return b"".join(parts) + c.flush()


# -- identity --------------------------------------------------------------------------------------------

# Piece sizes: 1 byte, odd ones, a full stored block of 65535 bytes and one byte more, the default 1 MiB.
CHUNKS = {"1B": 1, "997B": 997, "16KiB": 16384, "65535B": 65535, "65536B": 65536, "1MiB": 1 << 20}


def size_for(chunk: int) -> int:
    """Enough input for several pieces a thread, without making 1-byte pieces slow."""
    return 3000 if chunk == 1 else min(max(chunk * 20 + chunk // 3, 200_000), 3 << 20)


@pytest.mark.parametrize("threads", THREADS, ids=[f"threads{t}" for t in THREADS])
@pytest.mark.parametrize("level", LEVELS.values(), ids=LEVELS.keys())
@pytest.mark.parametrize("fmt", FORMATS.values(), ids=FORMATS.keys())
def test_every_data_set_and_piece_size_equals_the_serial_stream(fmt: int, level: int, threads: int) -> None:
    with EncoderPool(threads) as pool:
        assert pool.threads == threads
        for name in DATA_SETS:
            for chunk_name, chunk in CHUNKS.items():
                data = data_set(name, 3 << 20)[: size_for(chunk)]
                expected = serial(data, level, fmt, chunk)
                got = pool.compress(kivio.Compressor(level, fmt), data, chunk, finish=True)
                assert got == expected, f"{name}, {chunk_name} pieces"
            assert_decodes(got, data, fmt)


@pytest.mark.parametrize("threads", [2, 3, 8], ids=["threads2", "threads3", "threads8"])
@pytest.mark.parametrize("level", LEVELS.values(), ids=LEVELS.keys())
@pytest.mark.parametrize("fmt", FORMATS.values(), ids=FORMATS.keys())
def test_calls_sync_flushes_and_serial_calls_interleave(fmt: int, level: int, threads: int) -> None:
    """A stream that mixes pool calls of random piece sizes, ordinary compress calls (empty ones too) and
    sync flushes: every pool call continues the record exactly where the one before left it (a block
    open, bits pending) and leaves it as the serial calls would."""
    rng = random.Random(fmt * 10 + level + threads)
    data = b"".join(data_set(name, 40_000) for name in DATA_SETS)
    pooled, alone = kivio.Compressor(level, fmt), kivio.Compressor(level, fmt)
    got, expected = [], []
    pos = 0
    with EncoderPool(threads) as pool:
        while pos < len(data):
            n = rng.choice([0, 1, 5, 3000, 70_000, 150_000])
            piece = data[pos : pos + n]
            pos += n
            step = rng.random()
            if step < 0.5:
                chunk = rng.choice([1, 100, 4095, 65535, 65536]) if n < 10_000 else rng.randint(3000, 40_000)
                got.append(pool.compress(pooled, piece, chunk))
                expected.append(b"".join(alone.compress(piece[i : i + chunk]) for i in range(0, len(piece), chunk)))
            else:
                got.append(pooled.compress(piece))
                expected.append(alone.compress(piece))
            if step > 0.8:
                got.append(pooled.flush(kivio.SYNC_FLUSH))
                expected.append(alone.flush(kivio.SYNC_FLUSH))
            assert got == expected, f"after {len(got)} results"
    stream = b"".join(got) + pooled.flush()
    assert stream == b"".join(expected) + alone.flush()
    assert_decodes(stream, data, fmt)


@settings(max_examples=40, deadline=None)
@given(
    parts=st.lists(st.tuples(st.sampled_from(sorted(DATA_SETS)), st.integers(0, 60_000)), min_size=1, max_size=5),
    chunk=st.integers(1, 70_000),
    threads=st.sampled_from([2, 3, 8]),
    level=st.sampled_from([0, 1]),
    fmt=st.sampled_from(list(FORMATS.values())),
    seed=st.integers(0, 1000),  # where in the data set a part starts
)
def test_random_inputs_and_piece_sizes(
    parts: list[tuple[str, int]], chunk: int, threads: int, level: int, fmt: int, seed: int
) -> None:
    data = b"".join(data_set(name, 61_000)[seed : seed + n] for name, n in parts)
    chunk = max(chunk, len(data) // 2000)  # at most some 2000 pieces: the point is the joins, not their number
    with EncoderPool(threads) as pool:
        assert pool.compress(kivio.Compressor(level, fmt), data, chunk, finish=True) == serial(data, level, fmt, chunk)


def test_empty_input_writes_nothing_then_finish_writes_the_header() -> None:
    with EncoderPool(2) as pool:
        for fmt in FORMATS.values():
            c = kivio.Compressor(1, fmt)
            assert pool.compress(c, b"", 10) == b""
            assert pool.compress(c, b"", 10, finish=True) == kivio.Compressor(1, fmt).flush()


def test_any_contiguous_buffer_is_read_in_place() -> None:
    import array

    data = text_like(300_000, seed=3)
    expected = serial(data, 1, kivio.GZIP, 10_000)
    with EncoderPool(2) as pool:
        for buf in (bytearray(data), memoryview(data), array.array("B", data), memoryview(data).cast("B", (300, 1000))):
            assert pool.compress(kivio.Compressor(), buf, 10_000, finish=True) == expected


# -- batches in flight: submit and collect -------------------------------------------------------------


@pytest.mark.parametrize("threads", THREADS, ids=[f"threads{t}" for t in THREADS])
@pytest.mark.parametrize("level", LEVELS.values(), ids=LEVELS.keys())
@pytest.mark.parametrize("fmt", FORMATS.values(), ids=FORMATS.keys())
def test_submitted_batches_equal_the_serial_stream(fmt: int, level: int, threads: int) -> None:
    """Batches of random sizes (empty ones too), up to 1 to 3 in flight, sync flushes once all are collected:
    the outputs, collected in order, are what the serial calls return."""
    rng = random.Random(f"{fmt}{level}{threads}")
    data = b"".join(data_set(name, 50_000) for name in DATA_SETS)
    with EncoderPool(threads) as pool:
        for ahead in (1, 2, 3):
            pooled, alone = kivio.Compressor(level, fmt), kivio.Compressor(level, fmt)
            got, expected = [], []
            pos = 0
            while pos < len(data):
                n = rng.choice([0, 1, 4000, 30_000, 100_000])
                chunk = rng.choice([1000, 4096, 65535]) if n > 1 else 7
                batch = data[pos : pos + n]
                pos += n
                pool.submit(pooled, batch, chunk)
                expected += [alone.compress(batch[i : i + chunk]) for i in range(0, len(batch), chunk)]
                while pool.pending > ahead:
                    got.append(pool.collect())
                if rng.random() < 0.15:
                    while pool.pending:
                        got.append(pool.collect())
                    got.append(pooled.flush(kivio.SYNC_FLUSH))
                    expected.append(alone.flush(kivio.SYNC_FLUSH))
            while pool.pending:
                got.append(pool.collect())
            stream = b"".join(got) + pooled.flush()
            assert stream == b"".join(expected) + alone.flush(), f"{ahead} ahead"
    assert_decodes(stream, data, fmt)


def test_pending_batches_hold_their_input_and_their_stream() -> None:
    data = data_set("text", 400_000)
    with EncoderPool(2) as pool:
        c, other = kivio.Compressor(), kivio.Compressor()
        buf = bytearray(data)
        pool.submit(c, buf, 10_000)
        pool.submit(c, bytes(data), 10_000)  # the only reference is the pool's
        assert pool.pending == 2
        with pytest.raises(BufferError):
            buf.append(0)  # exported until collected
        with pytest.raises(RuntimeError, match="collect"):
            c.compress(b"more")
        with pytest.raises(RuntimeError, match="collect"):
            c.flush()
        with pytest.raises(ValueError, match="another Compressor"):
            pool.submit(other, b"abc", 10)
        with pytest.raises(ValueError, match="collect"):
            pool.compress(other, b"abc", 10)
        outputs = [pool.collect(), pool.collect()]
        assert pool.pending == 0
        buf.append(0)
        with pytest.raises(ValueError, match="nothing submitted"):
            pool.collect()
        stream = b"".join(outputs)
    alone = kivio.Compressor()
    assert stream == b"".join(alone.compress(data[i : i + 10_000]) for _ in range(2) for i in range(0, len(data), 10_000))


def test_closing_with_batches_pending_drops_them_and_keeps_the_stream() -> None:
    """The stream stands after the last output collected: it goes on as if the dropped input had never
    been submitted."""
    data = data_set("binary", 300_000)
    before = task_count()
    pool = EncoderPool(3)
    c = kivio.Compressor(1, kivio.ZLIB)
    pool.submit(c, data[:100_000], 7000)
    first = pool.collect()
    for _ in range(3):
        pool.submit(c, data[100_000:], 7000)
    pool.close()
    assert task_count(before) == before
    stream = first + c.compress(data[100_000:]) + c.flush()
    alone = kivio.Compressor(1, kivio.ZLIB)
    head = data[:100_000]
    expected = b"".join(alone.compress(head[i : i + 7000]) for i in range(0, len(head), 7000))
    assert stream == expected + alone.compress(data[100_000:]) + alone.flush()


# -- arguments and errors --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("threads", "error"),
    [(0, ValueError), (-1, ValueError), (1025, ValueError), (10**30, ValueError), (True, TypeError), (2.0, TypeError), ("2", TypeError), (None, TypeError)],
)
def test_pool_refuses_bad_thread_counts(threads: object, error: type) -> None:
    with pytest.raises(error, match="threads"):
        EncoderPool(threads)  # type: ignore[arg-type]


@pytest.mark.parametrize(("chunk", "error"), [(0, ValueError), (-5, ValueError), (False, TypeError), (1.5, TypeError)])
def test_compress_refuses_bad_chunk_sizes(chunk: object, error: type) -> None:
    with EncoderPool(2) as pool:
        c = kivio.Compressor()
        with pytest.raises(error, match="chunk_size"):
            pool.compress(c, b"abc", chunk)  # type: ignore[arg-type]
        one = kivio.Compressor()
        assert pool.compress(c, b"abc", 1 << 100, finish=True) == one.compress(b"abc") + one.flush()  # one piece


def test_compress_refuses_what_the_compressor_refuses() -> None:
    with EncoderPool(2) as pool:
        with pytest.raises(TypeError):
            pool.compress(object(), b"abc", 10)  # type: ignore[arg-type]
        with pytest.raises(TypeError):
            pool.compress(kivio.Compressor(), "text", 10)  # type: ignore[arg-type]
        c = kivio.Compressor()
        c.flush()
        with pytest.raises(ValueError, match="finished"):
            pool.compress(c, b"abc", 10)
        finished = kivio.Compressor()
        pool.compress(finished, b"abc" * 1000, 100, finish=True)
        with pytest.raises(ValueError, match="finished"):
            finished.compress(b"more")
        assert finished.flush() == b""


def test_closed_pool_refuses_work_and_closing_again_does_nothing() -> None:
    pool = EncoderPool(3)
    pool.close()
    pool.close()
    assert pool.threads == 0
    with pytest.raises(ValueError, match="closed"):
        pool.compress(kivio.Compressor(), b"abc", 10)


# -- threads and their end -------------------------------------------------------------------------------


def test_threads_start_with_the_pool_and_end_with_it() -> None:
    before = task_count()
    pool = EncoderPool(4)
    assert task_count() == before + 3
    pool.compress(kivio.Compressor(), text_like(200_000), 10_000)
    pool.close()
    assert task_count() == before
    with EncoderPool(1):
        assert task_count() == before  # one thread: the caller alone
    dropped = EncoderPool(3)
    assert task_count() == before + 2
    del dropped
    assert task_count() == before


def test_close_from_another_thread_waits_for_the_call_in_progress() -> None:
    data = text_like(1 << 20, seed=9)
    expected = serial(data, 1, kivio.GZIP, 1 << 16)
    before = task_count()
    pool = EncoderPool(3)
    results: list[object] = []

    def call() -> None:
        try:
            results.append(pool.compress(kivio.Compressor(), data, 1 << 16, finish=True))
        except ValueError as e:
            results.append(e)

    worker = threading.Thread(target=call)
    worker.start()
    pool.close()  # either before the call (which then raises) or after it
    worker.join()
    assert results == [expected] or (isinstance(results[0], ValueError) and "closed" in str(results[0]))
    assert task_count(before) == before


def test_one_pool_shared_by_several_threads() -> None:
    """Calls from several threads take turns; each stream is its own."""
    inputs = [text_like(300_000, seed=s) for s in range(4)]
    with EncoderPool(2) as pool:
        results: dict[int, bytes] = {}

        def run(i: int) -> None:
            results[i] = pool.compress(kivio.Compressor(1, i % 3), inputs[i], 20_000 + i, finish=True)

        callers = [threading.Thread(target=run, args=(i,)) for i in range(len(inputs))]
        for t in callers:
            t.start()
        for t in callers:
            t.join()
    for i, data in enumerate(inputs):
        assert results[i] == serial(data, 1, i % 3, 20_000 + i)


def run_isolated(script: str) -> list[str]:
    """Runs a script in a fresh interpreter (memory limits must not touch the test process)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's shadow memory needs the address space")
def test_worker_that_cannot_allocate_raises_memory_error_and_keeps_the_stream() -> None:
    """The result fits under the address-space limit, a worker's output region does not: the call raises
    MemoryError in the caller once every thread has stopped, the stream is as it was, and the same call
    succeeds once memory is back."""
    out = run_isolated(
        """
        import os, resource, zlib
        import kivio
        from kivio._core import EncoderPool

        def address_space():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        data = os.urandom(64 << 20)
        chunk = len(data) // 4
        pool = EncoderPool(2)
        c = kivio.Compressor(1, kivio.GZIP)
        head = c.compress(b"head")
        # the result (some 72 MiB) fits, a region of some 18 MiB for a piece does not
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + (80 << 20), hard))
        try:
            pool.compress(c, data, chunk)
        except MemoryError as e:
            print("MemoryError:", "region" in str(e))
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        stream = head + pool.compress(c, data, chunk) + c.flush()
        print("decoded:", zlib.decompress(stream, 31) == b"head" + data)
        pool.close()

        # The same with the input submitted: collect raises, the input is dropped, the stream is unchanged.
        pool = EncoderPool(2)
        c = kivio.Compressor(1, kivio.GZIP)
        head = c.compress(b"head")
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + (80 << 20), hard))
        pool.submit(c, data, chunk)
        try:
            pool.collect()
        except MemoryError:
            print("collect: MemoryError, pending", pool.pending)
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        pool.submit(c, data, chunk)
        stream = head + pool.collect() + c.flush()
        print("decoded:", zlib.decompress(stream, 31) == b"head" + data)
        pool.close()
        print("tasks:", len(os.listdir("/proc/self/task")))
        """
    )
    assert out == ["MemoryError: True", "decoded: True", "collect: MemoryError, pending 0", "decoded: True", "tasks: 1"]
