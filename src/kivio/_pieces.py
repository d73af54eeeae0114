"""Cutting input into pieces and encoding them: the one place where a run of pieces becomes output.

kiv keeps no history between `Compressor.compress` calls, so the bytes of a stream depend on where its input
was cut, and on nothing else. `kivio.compress`, the writer of `kivio.open` and the command line all cut their
input into pieces of exactly `chunk_size` bytes (the last piece before a flush or the end may be shorter) and
hand every run of whole pieces to `encode_pieces`. The output is therefore the same bytes as one `Compressor`
fed the same pieces, whatever the number of threads: `encode_pieces` spreads the pieces over the threads of an
`EncoderPool`, which encodes each piece from its own bytes alone and joins them in order, so it gives back
exactly what feeding them one after the other would give.
"""

from __future__ import annotations

import operator
import os
from typing import Callable, Optional

from ._core import Compressor, EncoderPool

DEFAULT_CHUNK_SIZE = 1 << 20
"""1 MiB: big enough that the ratio is within about 1 % of one call per file, small enough to stay in cache."""


def _positive_int(value: object, name: str, expected: str) -> int:
    """`value` as an int of at least 1: TypeError for what is no int (bool included), ValueError below 1."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be {expected}, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be {expected}, not {type(value).__name__}") from None
    if number < 1:
        raise ValueError(f"{name} must be {expected}, not {number}")
    return number


def check_chunk_size(chunk_size: object) -> int:
    """Returns `chunk_size` as an int, or raises TypeError (not an int) or ValueError (below 1)."""
    return _positive_int(chunk_size, "chunk_size", "a positive int")


def check_threads(threads: object) -> Optional[int]:
    """Returns `threads` (None, or a positive int), or raises TypeError (not an int) or ValueError (below 1)."""
    return None if threads is None else _positive_int(threads, "threads", "a positive int or None")


def usable_cores() -> int:
    """The number of processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


# With threads=None, pieces smaller than this are encoded on the calling thread: handing a piece to another
# thread costs some 3 us of locking and waking, about 5 % of a 64 KiB piece at level 1 but twice the work of
# a 1 KiB one (bench/parallel.py --piece-sizes). An explicit thread count is followed at any piece size.
AUTO_THREADS_MIN_CHUNK = 64 << 10

# The writer gathers this many whole pieces per thread before it hands them to the pool. The pool works on
# the next batch while the writer fills the one after, so the threads never wait for a batch to end, and
# two pieces a thread keep them busy while the writer copies and writes...
PIECES_PER_THREAD = 2
# ...but a batch never holds more than this, unless each thread's one piece needs more.
BATCH_MAX = 16 << 20


def threads_for(threads: Optional[int], pieces: int, chunk_size: int, level: int) -> int:
    """How many threads to use for `pieces` pieces of `chunk_size` bytes at `level` (already validated): at
    most `threads`, and never more than pieces. None picks the cores this process may use when the input
    spans several pieces of at least 64 KiB at a searching level, else 1.

    Storing (level 0) runs at the speed of memory on one core (about 5 GB/s for a large result, most of it
    the kernel clearing the result's fresh pages), so further cores only compete for the same memory: on a
    2-core machine two threads stored the corpus at 0.25-0.95x the speed of one, two independent streams
    at 0.3-0.5x, and the writer at 0.4-0.8x (bench/parallel.py).
    """
    if threads is None:
        searching = operator.index(level) != 0
        threads = usable_cores() if searching and chunk_size >= AUTO_THREADS_MIN_CHUNK else 1
    return max(1, min(threads, pieces))


def batch_size(chunk_size: int, threads: int) -> int:
    """How many bytes the writer gathers before it encodes them: one piece on one thread; with more,
    `PIECES_PER_THREAD` pieces a thread, as far as `BATCH_MAX` allows."""
    if threads <= 1:
        return chunk_size
    return max(threads, min(PIECES_PER_THREAD * threads, BATCH_MAX // chunk_size)) * chunk_size


def encode_pieces(
    compressor: Compressor,
    data: memoryview,
    chunk_size: int,
    pool: Optional[EncoderPool],
    emit: Callable[[bytes], object],
) -> None:
    """Feeds `data` (a flat byte view) to `compressor` in pieces of `chunk_size` bytes, the last one possibly
    shorter, and passes every non-empty output to `emit` in stream order.

    The result is exactly what `compressor.compress` called on each piece in turn returns. With a `pool`, the
    pieces are encoded on its threads (the interpreter lock released) and come out as one bytes object;
    without one, one after the other on this thread.
    """
    if pool is not None and len(data) > chunk_size:
        out = pool.compress(compressor, data, chunk_size)
        if out:
            emit(out)
        return
    compress = compressor.compress
    for start in range(0, len(data), chunk_size):
        out = compress(data[start : start + chunk_size])
        if out:
            emit(out)


def byte_view(data: object) -> memoryview:
    """A flat, read-only view of the bytes of any C-contiguous buffer, without copying; TypeError otherwise."""
    view = memoryview(data)  # type: ignore[arg-type]
    if view.ndim == 1 and view.itemsize == 1 and view.format in ("B", "b", "c"):
        return view if view.c_contiguous else _refuse_strided(view)
    if not view.c_contiguous:
        _refuse_strided(view)
    return view.cast("B")


def _refuse_strided(view: memoryview) -> memoryview:
    view.release()
    raise TypeError("a non-contiguous buffer cannot be compressed without a copy: pass bytes(data) instead")
