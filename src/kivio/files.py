"""Compressed files: `kivio.open` and the binary `Writer` behind it."""

from __future__ import annotations

import builtins
import codecs
import collections
import contextlib
import gzip
import io
import operator
import os
import sys
import threading
from typing import IO, Any, Callable, Iterator, Literal, Optional, Union, overload

from ._core import FINISH, GZIP, SYNC_FLUSH, Compressor, EncoderPool
from ._pieces import (
    DEFAULT_CHUNK_SIZE,
    batch_size,
    byte_view,
    check_chunk_size,
    check_threads,
    encode_pieces,
    threads_for,
)

__all__ = ["open", "Writer"]

FileArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", IO[bytes], Any]

# A writer starts with a small buffer and grows it to a whole batch at once when more comes, so that a
# 16 MiB chunk_size costs no 16 MiB allocation for a file of a few lines, and a big file one copy at most.
_FIRST_BUFFER = 64 * 1024


def _is_gzip(format: Union[int, str]) -> bool:
    """Whether an already validated `format` argument names gzip."""
    if isinstance(format, str):
        return format.lower() == "gzip"
    return operator.index(format) == GZIP


def _parse_mode(mode: object) -> tuple[str, bool]:
    """Splits a mode into its action ("r", "w", "a" or "x") and whether it is text; ValueError if malformed."""
    if not isinstance(mode, str):
        raise TypeError(f"mode must be a str, not {type(mode).__name__}")
    actions = [c for c in mode if c in "rwax"]
    kinds = [c for c in mode if c in "bt"]
    if len(actions) != 1 or len(kinds) > 1 or len(mode) != len(actions) + len(kinds):
        raise ValueError(f"invalid mode {mode!r}: one of r, w, a, x, optionally followed by b or t")
    return actions[0], kinds == ["t"]


class Writer(io.BufferedIOBase):
    """A binary file that compresses everything written to it into one stream.

    Made by :func:`kivio.open`; the constructor takes the same arguments (binary modes only). Writes are
    gathered into pieces of exactly `chunk_size` bytes, and each whole piece is compressed as it completes;
    a large write is cut into pieces in place, without copying it into the buffer first.

    With several threads (see :func:`kivio.open`), writes are gathered into batches of two pieces a thread
    (at most 16 MiB, at least one piece a thread), which the threads compress while the writer fills the
    next batch and writes out earlier output: up to two batches are in flight. A large write first
    completes the batch in the buffer; its further whole pieces go to the threads in place, and a write of
    ``bytes`` (which cannot change) may still be compressed after the call returns, while the memory of any
    other buffer is done with when the call returns. The threads start with the first batch and end with
    :meth:`close`, also when writing fails or the writer is dropped unclosed. The bytes written never depend
    on the thread count.

    - :meth:`flush` makes a sync flush: everything written so far decodes from what is in the file now.
      Because kiv keeps no history between pieces, every flush point is also a full flush point.
    - :meth:`close` ends the stream (without a sync flush first) and closes the file if the writer opened it
      (never a file object it was given). A writer closed without explicit flushes has written exactly
      ``kivio.compress(all_bytes, level, format, chunk_size=chunk_size)``.
    - After close, every call but close raises ValueError.
    - If writing to the file fails, the OSError propagates and the writer is failed: the stream in the file
      is cut short at an unknown point, so every later write or flush raises OSError and close writes nothing
      more (it still closes a file the writer opened). What the file held after the last successful flush
      stays decodable.

    Calls from several threads are taken one at a time. `fileno` is not offered: bytes written to the
    descriptor directly would land uncompressed in the middle of the stream.
    """

    _closed = True  # until __init__ has succeeded, so that a half-made writer needs no closing

    def __init__(
        self,
        file: FileArg,
        mode: str = "wb",
        level: int = 1,
        *,
        format: Union[int, str] = GZIP,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        threads: Optional[int] = None,
    ) -> None:
        action, text = _parse_mode(mode)
        if action == "r" or text:
            raise ValueError(f"invalid mode {mode!r} for a Writer: use w, a or x, optionally with b")
        self._chunk_size = check_chunk_size(chunk_size)
        wanted = check_threads(threads)
        self._compressor = Compressor(level, format)
        if action == "a" and not _is_gzip(format):
            raise ValueError("mode 'a' appends a gzip member; zlib and raw DEFLATE streams cannot be appended")
        # The most threads a batch may use; their pool starts with the first batch of several pieces.
        self._threads = threads_for(wanted, sys.maxsize, self._chunk_size, level)
        self._pool: Optional[EncoderPool] = None
        # Whole pieces gathered before they are encoded together: several a thread when there are threads.
        self._batch = batch_size(self._chunk_size, self._threads)
        self._buffer = bytearray()
        self._spare = bytearray()  # the other buffer, while the pool compresses one
        # Batches submitted to the pool and collected, counted; the pieces of each one in flight; the number
        # of the submission that last took each buffer (-1: none).
        self._submitted = self._collected = 0
        self._flight: collections.deque[int] = collections.deque()
        self._flight_pieces = 0
        self._buffer_ticket = self._spare_ticket = -1
        self._fill = 0
        self._offset = 0
        self._failure: Optional[BaseException] = None
        self._flushes_deferred = False
        self._lock = threading.RLock()
        self._busy = False

        if isinstance(file, (str, bytes, os.PathLike)):
            self._file: Any = builtins.open(file, action + "b", buffering=0)
            self._owns_file = True
            self._name: Any = file
        elif hasattr(file, "write"):
            if isinstance(file, io.TextIOBase):
                raise TypeError("file must be opened in binary mode: a text file cannot take compressed bytes")
            self._file = file
            self._owns_file = False
            self._name = getattr(file, "name", None)
        else:
            raise TypeError(f"file must be a path or a binary file object with write(), not {type(file).__name__}")
        self._closed = False

    # -- state ------------------------------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def name(self) -> Any:
        """The path the writer opened, or the `name` of the file object it was given."""
        if self._name is None:
            raise AttributeError("the file object has no name")
        return self._name

    def writable(self) -> bool:
        self._check_open()
        return True

    def readable(self) -> bool:
        self._check_open()
        return False

    def seekable(self) -> bool:
        self._check_open()
        return False

    def tell(self) -> int:
        """The number of uncompressed bytes written so far."""
        self._check_open()
        return self._offset

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on closed file")

    def _enter(self) -> None:
        """Starts a call, holding the lock: refuses a closed or failed writer, and a call from a signal
        handler into a call in progress."""
        if self._busy:
            raise RuntimeError("reentrant call inside a kivio writer")
        self._check_open()
        if self._failure is not None:
            raise OSError(
                "an earlier write to the file failed, so the compressed stream in it is incomplete;"
                " this writer takes no more data"
            ) from self._failure
        self._busy = True

    def _guarded(self, step: Callable[[], None]) -> None:
        """Runs a step that writes to the file; whatever escapes it (a failing file, Ctrl-C) fails the writer,
        since the stream in the file may then be cut at any point."""
        try:
            step()
        except BaseException as exc:
            self._failure = exc
            raise

    # -- writing ----------------------------------------------------------------------------------------

    def write(self, data: Any) -> int:
        """Compresses the bytes of any contiguous buffer; returns their number."""
        with self._lock:
            self._enter()
            try:
                if type(data) is bytes or type(data) is bytearray:  # the common small write, kept short
                    n = len(data)
                    end = self._fill + n
                    if end < self._batch and end <= len(self._buffer):
                        self._buffer[self._fill : end] = data
                        self._fill = end
                        self._offset += n
                        return n
                with byte_view(data) as view:
                    n = len(view)
                    if n:
                        self._guarded(lambda: self._take(view))
                        self._offset += n
                    return n
            finally:
                self._busy = False

    def _take(self, view: memoryview) -> None:
        fill, size, n = self._fill, self._chunk_size, len(view)
        # With threads, whole pieces of a bytes object go to them in place however few they are (it cannot
        # change while they work), once the piece begun in the buffer is complete. Other data is gathered
        # into batches, unless it holds a batch itself.
        rest_of_piece = -fill % size
        in_place = self._threads > 1 and isinstance(view.obj, bytes) and n - rest_of_piece >= size
        if not in_place and fill + n < self._batch:
            self._store(view)
            return
        start = 0
        if fill:
            # Complete the piece (in place) or the batch in the buffer from the front of the view, so that the
            # buffer's pieces go to the threads together (on one thread a batch is one piece).
            start = rest_of_piece if in_place else self._batch - fill
            self._store(view[:start])
            self._encode_buffer()
        whole = (n - start) // size * size
        if whole:
            self._encode(view[start : start + whole], owned=False)
        if start + whole < n:
            self._store(view[start + whole :])

    def _store(self, view: memoryview) -> None:
        end = self._fill + len(view)
        if end > len(self._buffer):
            grown = bytearray(self._batch if end > _FIRST_BUFFER else min(self._batch, _FIRST_BUFFER))
            grown[: self._fill] = memoryview(self._buffer)[: self._fill]
            self._buffer = grown
        self._buffer[self._fill : end] = view
        self._fill = end

    def _encode_buffer(self) -> None:
        submitted = self._submitted
        with memoryview(self._buffer) as whole:
            self._encode(whole[: self._fill], owned=True)
        self._fill = 0
        if self._submitted != submitted:
            # The buffer is the pool's until its output is collected: fill the other one meanwhile, once what
            # was submitted from that one is collected.
            self._buffer, self._spare = self._spare, self._buffer
            self._buffer_ticket, self._spare_ticket = self._spare_ticket, self._submitted - 1
            while self._collected <= self._buffer_ticket:
                self._collect_one()

    def _encode(self, view: memoryview, owned: bool) -> None:
        """Compresses whole pieces (the last one shorter before a flush or the end) and writes the output.

        With threads, the pieces go to the pool a batch at a time, and the pool compresses them while this
        thread goes on: up to two batches' pieces stay submitted and not collected. `owned`: the view is the
        writer's buffer, which stays untouched until collected. A bytes object cannot change either; any
        other caller's buffer is compressed to the end before the call returns, since its owner may reuse it.
        A buffer's last piece before a flush or the end goes alone on this thread when nothing is in flight.
        """
        size = self._chunk_size
        if self._threads == 1 or (owned and len(view) <= size and not self._flight):
            encode_pieces(self._compressor, view, size, None, self._write_out)
            return
        if self._pool is None:
            self._pool = EncoderPool(self._threads)
        for start in range(0, len(view), self._batch):
            part = view[start : start + self._batch]
            self._pool.submit(self._compressor, part, size)
            self._submitted += 1
            self._flight.append(-(-len(part) // size))
            self._flight_pieces += self._flight[-1]
            while self._flight_pieces > 2 * self._batch // size:
                self._collect_one()
        if not owned and not isinstance(view.obj, bytes):
            self._collect()

    def _collect_one(self) -> None:
        """Writes out the output of the oldest submitted batch."""
        assert self._pool is not None
        out = self._pool.collect()
        self._flight_pieces -= self._flight.popleft()
        self._collected += 1
        if out:
            self._write_out(out)

    def _collect(self) -> None:
        """Writes out the output of every submitted batch."""
        while self._flight:
            self._collect_one()

    def _write_out(self, data: bytes) -> None:
        """Writes all of `data`, also through a raw file that takes only part of it per call."""
        written = self._file.write(data)
        if written is None or written >= len(data):
            return
        with memoryview(data) as rest:
            while written < len(data):
                more = self._file.write(rest[written:])
                if not more:  # None (would block) or 0: a raw file that cannot take data now
                    raise BlockingIOError(0, "the file took only part of the compressed data", written)
                written += more

    def flush(self) -> None:
        """Sync flush: everything written so far goes out as decodable bytes, then the file is flushed.

        A flush with nothing written since the last one writes nothing. Every flush point is also a point
        where a raw inflater can start decoding.
        """
        with self._lock:
            self._enter()
            try:
                if not self._flushes_deferred:
                    self._guarded(self._sync_flush)
            finally:
                self._busy = False

    def _sync_flush(self) -> None:
        if self._fill:
            self._encode_buffer()
        self._collect()
        out = self._compressor.flush(SYNC_FLUSH)
        if out:
            self._write_out(out)
        if hasattr(self._file, "flush"):
            self._file.flush()

    def close(self) -> None:
        """Ends the stream (final block and trailer) and closes the file if the writer opened it.

        No sync flush is made first. Closing twice does nothing. A failed writer writes nothing more.
        """
        with self._lock:
            if self._closed or self._busy:
                if self._busy:
                    raise RuntimeError("reentrant call inside a kivio writer")
                return
            self._busy = True
            try:
                if self._failure is None:
                    self._guarded(self._finish)
            finally:
                self._closed = True
                self._busy = False
                if self._pool is not None:  # its threads end here, whatever happened before
                    self._pool.close()  # drops what a failed writer left submitted
                    self._pool = None
                self._buffer = self._spare = bytearray()
                if self._owns_file:
                    self._file.close()

    def _finish(self) -> None:
        if self._fill:
            self._encode_buffer()
        self._collect()
        self._write_out(self._compressor.flush(FINISH))
        if not self._owns_file and hasattr(self._file, "flush"):
            self._file.flush()

    @contextlib.contextmanager
    def _deferring_flushes(self) -> Iterator[None]:
        """While active, flush() makes no sync flush (the text wrapper flushes itself on its way to close)."""
        self._flushes_deferred = True
        try:
            yield
        finally:
            self._flushes_deferred = False

    def __repr__(self) -> str:
        state = "closed" if self._closed else "failed" if self._failure is not None else "open"
        return f"<kivio.files.Writer name={self._name!r} {state}>"


class _TextWriter(io.TextIOWrapper):
    """The text wrapper of a Writer; closing it ends the stream without an extra sync flush."""

    def close(self) -> None:
        writer = self.buffer
        if self.closed or not isinstance(writer, Writer):
            return super().close()
        if writer._failure is not None:  # already reported; text still pending here has nowhere to go
            return writer.close()
        with writer._deferring_flushes():
            super().close()


@overload
def open(
    file: FileArg, mode: Literal["w", "wb", "a", "ab", "x", "xb"] = "wb", level: int = 1, *, format: Union[int, str] = GZIP,
    chunk_size: int = DEFAULT_CHUNK_SIZE, threads: Optional[int] = None,
    encoding: None = None, errors: None = None, newline: None = None,
) -> Writer: ...
@overload
def open(
    file: FileArg, mode: Literal["wt", "at", "xt", "rt"], level: int = 1, *, format: Union[int, str] = GZIP,
    chunk_size: int = DEFAULT_CHUNK_SIZE, threads: Optional[int] = None,
    encoding: Optional[str] = None, errors: Optional[str] = None, newline: Optional[str] = None,
) -> io.TextIOWrapper: ...
@overload
def open(
    file: FileArg, mode: Literal["r", "rb"], level: int = 1, *, format: Union[int, str] = GZIP,
    chunk_size: int = DEFAULT_CHUNK_SIZE, threads: Optional[int] = None,
    encoding: None = None, errors: None = None, newline: None = None,
) -> gzip.GzipFile: ...
@overload
def open(
    file: FileArg, mode: str, level: int = 1, *, format: Union[int, str] = GZIP,
    chunk_size: int = DEFAULT_CHUNK_SIZE, threads: Optional[int] = None,
    encoding: Optional[str] = None, errors: Optional[str] = None, newline: Optional[str] = None,
) -> Union[Writer, io.TextIOWrapper, gzip.GzipFile]: ...


def open(
    file: FileArg,
    mode: str = "wb",
    level: int = 1,
    *,
    format: Union[int, str] = GZIP,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    threads: Optional[int] = None,
    encoding: Optional[str] = None,
    errors: Optional[str] = None,
    newline: Optional[str] = None,
) -> Union[Writer, io.TextIOWrapper, gzip.GzipFile]:
    """Opens a compressed file for writing (or a gzip file for reading).

    :param file: a path (str, bytes or path-like), or a binary file object with ``write`` (for reading, one
        with ``read``), which is written from its current position and not closed by the writer.
    :param mode: "w", "a" or "x", alone or with "b" (binary, also what a bare mode means) or "t" (text). "a"
        appends a new gzip member to the file: decoders read the members one after the other. "r", "rb" and
        "rt" read a gzip file through the standard library's :func:`gzip.open`, since kiv has no decoder.
    :param level: 0 stores; 1 to 9 and -1 search for matches.
    :param format: gzip, zlib or raw DEFLATE, as for :func:`kivio.compress`; reading takes gzip only, and
        appending too (a zlib or raw stream has no way to carry a second one).
    :param chunk_size: the size of the pieces the input is cut into (see :func:`kivio.compress`).
    :param threads: at most this many threads compress, the calling one included; None picks the cores this
        process may use when pieces are at least 64 KiB at level 1. Never changes the bytes written (see
        :func:`kivio.compress`).
    :param encoding: for text mode, as for :class:`io.TextIOWrapper`.
    :param errors: for text mode, as for :class:`io.TextIOWrapper`.
    :param newline: for text mode, as for :class:`io.TextIOWrapper`.
    :returns: a :class:`Writer` in binary mode, an :class:`io.TextIOWrapper` over one in text mode; for
        reading, what :func:`gzip.open` returns. Use it as a context manager, or call ``close()``.
    :raises ValueError: a malformed mode, a binary mode with text arguments, an argument out of range.
    :raises TypeError: an argument of the wrong type.
    :raises OSError: the file cannot be opened (FileExistsError for "x" on an existing file).
    """
    action, text = _parse_mode(mode)
    if not text:
        for label, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
            if value is not None:
                raise ValueError(f"argument {label!r} is not supported in binary mode")
    if action == "r":
        check_chunk_size(chunk_size)
        check_threads(threads)
        Compressor(level, format)
        if not _is_gzip(format):
            raise ValueError("kivio.open reads gzip files only; decode zlib or raw DEFLATE with the zlib module")
        return gzip.open(file, mode, encoding=encoding, errors=errors, newline=newline)
    if text:  # refused before the file is created or truncated
        if hasattr(io, "text_encoding"):
            encoding = io.text_encoding(encoding)
        if encoding not in (None, "locale"):  # "locale": the locale's encoding, as io.text_encoding says
            codecs.lookup(encoding)
        if newline not in (None, "", "\n", "\r", "\r\n"):
            raise ValueError(f"illegal newline value: {newline!r}")
    writer = Writer(file, action + "b", level, format=format, chunk_size=chunk_size, threads=threads)
    if not text:
        return writer
    try:
        return _TextWriter(writer, encoding, errors, newline)
    except BaseException:
        writer.close()
        raise
