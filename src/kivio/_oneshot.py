"""`kivio.compress`: a whole input to one complete stream in one call."""

from __future__ import annotations

from typing import Union

from ._core import GZIP, Compressor, EncoderPool
from ._pieces import DEFAULT_CHUNK_SIZE, byte_view, check_chunk_size, check_threads, threads_for

__all__ = ["compress"]


def compress(
    data: object,
    level: int = 1,
    format: Union[int, str] = GZIP,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    threads: Union[int, None] = None,
) -> bytes:
    """Compresses `data` into one complete stream and returns it.

    :param data: any object with the buffer protocol and contiguous memory (bytes, bytearray, memoryview,
        array.array, mmap, numpy arrays); it is read in place, never copied.
    :param level: 0 stores; 1 to 9 and -1 search for matches (kiv has one searching level).
    :param format: :data:`GZIP`, :data:`ZLIB`, :data:`DEFLATE`, or "gzip", "zlib", "deflate" / "raw".
    :param chunk_size: the size of the pieces the input is cut into. kiv finds matches only inside one piece,
        so bigger pieces compress a little better and smaller ones a little worse and slower (see
        :doc:`chunk_size`).
    :param threads: at most this many threads share the work, the calling one included (1: the calling
        thread alone). None picks the cores this process may use (``os.sched_getaffinity``) when the input
        spans several pieces of at least 64 KiB at level 1 (storing runs at memory speed on one core), else
        1. Never more threads than pieces. The interpreter lock is released while the pieces are compressed.
    :returns: the same bytes as one :class:`Compressor` fed `data` in pieces of `chunk_size` bytes (the last
        one shorter) and then finished with :data:`FINISH`. Each piece is compressed from its own bytes alone
        and the pieces are joined in order, so the result depends on `data`, `level`, `format` and
        `chunk_size` only: the same on every machine and for every `threads` value.
    :raises TypeError: `data` is not a buffer or not contiguous; an argument has the wrong type.
    :raises ValueError: `level`, `format`, `chunk_size` or `threads` is out of range.
    :raises MemoryError: the output, or a thread's room for its pieces, cannot be allocated.
    :raises RuntimeError: a thread cannot be started.
    """
    size = check_chunk_size(chunk_size)
    wanted = check_threads(threads)
    compressor = Compressor(level, format)
    with byte_view(data) as view:
        pieces = -(-len(view) // size)
        # The output goes straight into the result, also on one thread (a pool of 1 starts no thread).
        with EncoderPool(threads_for(wanted, pieces, size, level)) as pool:
            return pool.compress(compressor, view, size, finish=True)
