"""Cutting input into pieces and encoding them: the one place where a run of pieces becomes output.

kiv keeps no history between `Compressor.compress` calls, so the bytes of a stream depend on where its input
was cut, and on nothing else. `kivio.compress`, the writer of `kivio.open` and the command line all cut their
input into pieces of exactly `chunk_size` bytes (the last piece before a flush or the end may be shorter) and
hand every run of whole pieces to `encode_pieces`. The output is therefore the same bytes as one `Compressor`
fed the same pieces, whatever the number of threads: `encode_pieces` may spread the pieces over threads, but it
must give back exactly what feeding them one after the other would give.
"""

from __future__ import annotations

import operator
import os
from typing import Callable, Optional

from ._core import Compressor

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


def threads_for(threads: Optional[int], pieces: int) -> int:
    """How many threads to use for `pieces` pieces: at most `threads`; None picks the usable cores when the
    input spans several pieces, else 1. Never more threads than pieces."""
    wanted = usable_cores() if threads is None else threads
    return max(1, min(wanted, pieces))


def encode_pieces(
    compressor: Compressor,
    data: memoryview,
    chunk_size: int,
    threads: int,
    emit: Callable[[bytes], object],
) -> None:
    """Feeds `data` (a flat byte view) to `compressor` in pieces of `chunk_size` bytes, the last one possibly
    shorter, and passes every non-empty output to `emit` in stream order.

    The result is exactly what `compressor.compress` called on each piece in turn returns. `threads` is how
    many threads may share the work; today every piece is encoded on the calling thread.
    """
    del threads  # the pieces are encoded one after the other on this thread
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
