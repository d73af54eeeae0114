"""The parts of the standard library's ``zlib`` that compress, written by kiv; the rest is ``zlib``'s own.

Made to be handed to ``aiohttp.set_zlib_backend(kivio.zlib)``, so that aiohttp's response compression
and its WebSocket permessage-deflate write with kiv; any other code written against ``zlib``'s
``compressobj`` and ``compress`` can use it too. What kiv does not do (decompression, checksums) is
the standard library's: ``decompressobj``, ``decompress``, ``crc32``, ``adler32``, ``error`` and the
constants are the very objects of ``zlib``.

Differences with ``zlib``, all documented in the docs' web page:

- ``level``: 0 stores; 1 to 9 and -1 all use kiv's one searching level.
- ``wbits`` picks the container (9 to 15 zlib, 25 to 31 gzip, -9 to -15 raw DEFLATE) and the window.
  kiv's matches reach up to 32 KiB back, which a decoder limited to a smaller window cannot follow, so
  for a magnitude below 15 the stream is made of stored blocks only (valid for every window) and a
  zlib header declares the smaller window.
- ``memLevel`` and ``strategy`` are checked and then ignored: in zlib they tune speed and ratio and
  never change what a stream decodes to. A preset dictionary (``zdict``) raises ValueError: kiv cannot
  refer to one, and a stream that ignored it would mean something else to the caller.
- A Compress object cannot be copied. After ``Z_FINISH``, ``compress`` and a sync or full flush raise
  ValueError (zlib raises ``zlib.error``); another ``Z_FINISH`` returns ``b""``.
"""

from __future__ import annotations

from zlib import (
    DEF_BUF_SIZE,
    DEF_MEM_LEVEL,
    DEFLATED,
    MAX_WBITS,
    ZLIB_RUNTIME_VERSION,
    ZLIB_VERSION,
    Z_BEST_COMPRESSION,
    Z_BEST_SPEED,
    Z_BLOCK,
    Z_DEFAULT_COMPRESSION,
    Z_DEFAULT_STRATEGY,
    Z_FILTERED,
    Z_FINISH,
    Z_FIXED,
    Z_FULL_FLUSH,
    Z_HUFFMAN_ONLY,
    Z_NO_COMPRESSION,
    Z_NO_FLUSH,
    Z_PARTIAL_FLUSH,
    Z_RLE,
    Z_SYNC_FLUSH,
    Z_TREES,
    adler32,
    crc32,
    decompress,
    decompressobj,
    error,
)
from typing import Any, Callable, Optional

from ._core import DEFLATE, FINISH, FULL_FLUSH, GZIP, SYNC_FLUSH, ZLIB, Compressor

__all__ = [
    "DEF_BUF_SIZE",
    "DEF_MEM_LEVEL",
    "DEFLATED",
    "MAX_WBITS",
    "ZLIB_RUNTIME_VERSION",
    "ZLIB_VERSION",
    "Z_BEST_COMPRESSION",
    "Z_BEST_SPEED",
    "Z_BLOCK",
    "Z_DEFAULT_COMPRESSION",
    "Z_DEFAULT_STRATEGY",
    "Z_FILTERED",
    "Z_FINISH",
    "Z_FIXED",
    "Z_FULL_FLUSH",
    "Z_HUFFMAN_ONLY",
    "Z_NO_COMPRESSION",
    "Z_NO_FLUSH",
    "Z_PARTIAL_FLUSH",
    "Z_RLE",
    "Z_SYNC_FLUSH",
    "Z_TREES",
    "Compress",
    "adler32",
    "compress",
    "compressobj",
    "crc32",
    "decompress",
    "decompressobj",
    "error",
]

_STRATEGIES = frozenset((Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED))

# What a sync or full flush writes when the stream is already flushed and byte aligned: one empty
# non-final stored block, as zlib writes for a flush that has nothing new to flush. Without it a
# message that compresses to nothing would be lost on a WebSocket (whose peer appends 00 00 FF FF
# after stripping them here and expects them to close a block).
_EMPTY_STORED_BLOCK = b"\x00\x00\x00\xff\xff"

# zlib's flush modes that ask for everything so far to be decodable (a partial flush and a block
# flush are weaker requests, which a sync flush more than meets), mapped to kiv's two flushes.
_FLUSHES = {Z_PARTIAL_FLUSH: SYNC_FLUSH, Z_SYNC_FLUSH: SYNC_FLUSH, Z_BLOCK: SYNC_FLUSH, Z_FULL_FLUSH: FULL_FLUSH}


def _container(wbits: int) -> "tuple[int, int]":
    """(kiv format, window bits) for a zlib ``wbits`` value; ValueError outside zlib's ranges."""
    if isinstance(wbits, bool) or not isinstance(wbits, int):
        raise TypeError(f"wbits must be an int, not {type(wbits).__name__}")
    if 9 <= wbits <= 15:
        return ZLIB, wbits
    if 25 <= wbits <= 31:
        return GZIP, wbits - 16
    if -15 <= wbits <= -9:
        return DEFLATE, -wbits
    raise ValueError(f"wbits must be 9..15 (zlib), 25..31 (gzip) or -15..-9 (raw DEFLATE), not {wbits}")


def _check_int(name: str, value: Any, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be in {low}..{high}, not {value}")
    return value


class Compress:
    """A compression stream, the counterpart of the object that ``zlib.compressobj`` returns.

    ``compress(data)`` takes any buffer and returns the bytes this call completed (kiv holds back up to
    31 bits between calls); ``flush(mode=Z_FINISH)``: ``Z_NO_FLUSH`` returns ``b""``; ``Z_SYNC_FLUSH``,
    ``Z_FULL_FLUSH`` (and the weaker ``Z_PARTIAL_FLUSH`` and ``Z_BLOCK``) make everything so far
    decodable from the bytes returned so far, ending in ``00 00 FF FF``, and the stream goes on (kiv
    keeps no history, so every such point is a full flush); ``Z_FINISH`` ends the stream.
    """

    __slots__ = ("compress", "_core", "_adler", "_header")

    compress: Callable[[Any], bytes]

    def __init__(self, level: int, wbits: int) -> None:
        fmt, window = _container(wbits)
        store = level == 0 or window < 15
        self._header = b""
        self._adler: Optional[int] = None  # the running Adler-32 when the trailer is written here
        if fmt == ZLIB and window < 15:
            # kiv's zlib header declares a 32 KiB window, which a decoder set to a smaller one
            # refuses; write the header for this window here and the Adler-32 trailer at the end.
            cmf = (window - 8) << 4 | DEFLATED
            self._header = bytes((cmf, (31 - cmf * 256 % 31) % 31))  # FLEVEL 0 as kiv's own header
            self._adler = 1
            self._core = Compressor(0, DEFLATE)
            self.compress = self._compress_with_adler
        else:
            self._core = Compressor(0 if store else 1, fmt)
            self.compress = self._core.compress

    def _compress_with_adler(self, data: Any) -> bytes:
        assert self._adler is not None
        self._adler = adler32(data, self._adler)
        return self._take_header(self._core.compress(data))

    def _take_header(self, out: bytes) -> bytes:
        if self._header:
            out, self._header = self._header + out, b""
        return out

    def flush(self, mode: int = Z_FINISH) -> bytes:
        """Flushes as ``zlib``'s ``Compress.flush`` does (see the class)."""
        if mode == Z_FINISH:
            out = self._core.flush(FINISH)
            if self._adler is not None and out:  # out is empty only once finished before
                out = self._take_header(out) + self._adler.to_bytes(4, "big")
            return out
        if mode == Z_NO_FLUSH:
            return b""
        kiv_mode = _FLUSHES.get(mode)
        if kiv_mode is None:
            raise ValueError(f"unknown flush mode {mode!r}")
        out = self._core.flush(kiv_mode)
        if not out:
            out = _EMPTY_STORED_BLOCK
        return self._take_header(out)


def compressobj(
    level: int = Z_DEFAULT_COMPRESSION,
    method: int = DEFLATED,
    wbits: int = MAX_WBITS,
    memLevel: int = DEF_MEM_LEVEL,
    strategy: int = Z_DEFAULT_STRATEGY,
    zdict: Optional[Any] = None,
) -> Compress:
    """A new compression stream, with ``zlib.compressobj``'s arguments (see the module for how each
    one is taken)."""
    _check_int("level", level, -1, 9)
    _check_int("method", method, DEFLATED, DEFLATED)
    _check_int("memLevel", memLevel, 1, 9)
    if isinstance(strategy, bool) or not isinstance(strategy, int):
        raise TypeError(f"strategy must be an int, not {type(strategy).__name__}")
    if strategy not in _STRATEGIES:
        raise ValueError(f"unknown strategy {strategy}")
    if zdict is not None:
        raise ValueError("kiv cannot compress with a preset dictionary (zdict): it keeps no history to prime")
    return Compress(level, wbits)


def compress(data: Any, /, level: int = Z_DEFAULT_COMPRESSION, wbits: int = MAX_WBITS) -> bytes:
    """``data`` (any buffer) compressed into one complete stream, as ``zlib.compress`` returns it."""
    stream = compressobj(level, DEFLATED, wbits)
    head = stream.compress(data)
    return head + stream.flush(Z_FINISH)
