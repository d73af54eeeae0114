"""kivio.zlib: zlib's compressing calls written by kiv, decoded by zlib, gzip and isal."""

from __future__ import annotations

import gzip
import random
import zlib
from typing import Any, Dict, List, Tuple

import pytest
from isal import isal_zlib

import kivio.zlib as kzlib

TEXT = b"".join(b"line %d: the quick brown fox jumps over the lazy dog\n" % n for n in range(3000))
NOISE = random.Random(7).randbytes(40_000)
FAR_REPEAT = NOISE[:20_000] * 2  # its only matches lie 20,000 bytes back


def decoders(wbits: int, data: bytes) -> List[bytes]:
    """``data`` decoded by every independent decoder that reads this container, each checking the
    stream's checksum; the zlib decoder is limited to exactly the stream's window."""
    results = [zlib.decompress(data, wbits)]
    if wbits > 15:
        results += [gzip.decompress(data), isal_zlib.decompress(data, wbits=31)]
    elif wbits > 0:
        results.append(isal_zlib.decompress(data, wbits=15))
    else:
        results.append(isal_zlib.decompress(data, wbits=-15))
    return results


WBITS = [9, 12, 15, 25, 28, 31, -9, -12, -15]


@pytest.mark.parametrize("wbits", WBITS)
@pytest.mark.parametrize("level", [0, 1, 9, -1])
def test_streams_decode_with_the_window_they_declare(wbits: int, level: int) -> None:
    """Sync and full flushes between pieces, then the end: exact round trips, decoded with exactly the
    window the stream was made for. kiv's matches reach 32 KiB back, so below that the stream must be
    stored blocks: FAR_REPEAT, whose matches lie 20,000 bytes back, would not decode otherwise."""
    stream = kzlib.compressobj(level, kzlib.DEFLATED, wbits)
    parts = []
    pieces = [(TEXT, kzlib.Z_SYNC_FLUSH), (FAR_REPEAT, kzlib.Z_FULL_FLUSH), (TEXT, kzlib.Z_NO_FLUSH)]
    for piece, mode in pieces:
        parts.append(stream.compress(piece))
        parts.append(stream.flush(mode))
    parts.append(stream.flush(kzlib.Z_FINISH))
    data = b"".join(parts)
    for decoded in decoders(wbits, data):
        assert decoded == TEXT + FAR_REPEAT + TEXT
    searched = level != 0 and abs(wbits) % 16 == 15
    assert (len(data) < 2 * len(TEXT) + len(FAR_REPEAT)) == searched


@pytest.mark.parametrize("wbits", [15, 31, -15, 10])
def test_every_flush_point_decodes_what_came_before(wbits: int) -> None:
    stream = kzlib.compressobj(wbits=wbits)
    inflater = zlib.decompressobj(wbits)
    sent = b""
    for number in range(12):
        piece = TEXT[number * 997 : number * 997 + 3000]
        sent += piece
        out = stream.compress(piece) + stream.flush(kzlib.Z_SYNC_FLUSH)
        assert out.endswith(b"\x00\x00\xff\xff")
        assert inflater.decompress(out) == piece
    assert inflater.decompress(stream.flush()) == b"" and inflater.eof


def test_repeated_flush_writes_an_empty_stored_block_as_zlib_does() -> None:
    """A message that adds nothing still needs its own flush marker (WebSocket peers rely on it)."""
    ours, theirs = kzlib.compressobj(1, kzlib.DEFLATED, -15), zlib.compressobj(1, zlib.DEFLATED, -15)
    ours.compress(b"abc")
    theirs.compress(b"abc")
    ours.flush(kzlib.Z_SYNC_FLUSH)
    theirs.flush(zlib.Z_SYNC_FLUSH)
    for mode in (kzlib.Z_SYNC_FLUSH, kzlib.Z_FULL_FLUSH):
        assert ours.compress(b"") + ours.flush(mode) == theirs.compress(b"") + theirs.flush(mode) == b"\x00\x00\x00\xff\xff"


def test_one_shot_compress() -> None:
    for wbits in (15, 31, -15, 9):
        assert zlib.decompress(kzlib.compress(TEXT, wbits=wbits), wbits) == TEXT
    assert zlib.decompress(kzlib.compress(memoryview(TEXT))) == TEXT
    assert zlib.decompress(kzlib.compress(b"", 0)) == b""


def test_strategy_and_memlevel_are_hints() -> None:
    """zlib's strategies never change what a stream decodes to: each is accepted, the bytes are kiv's."""
    reference = kzlib.compress(TEXT)
    for strategy in (kzlib.Z_DEFAULT_STRATEGY, kzlib.Z_FILTERED, kzlib.Z_HUFFMAN_ONLY, kzlib.Z_RLE, kzlib.Z_FIXED):
        for mem_level in (1, 9):
            stream = kzlib.compressobj(strategy=strategy, memLevel=mem_level)
            assert stream.compress(TEXT) + stream.flush() == reference


BAD: Dict[str, Tuple[Dict[str, Any], type, str]] = {
    "zdict": ({"zdict": b"the quick brown fox"}, ValueError, "dictionary"),
    "empty-zdict": ({"zdict": b""}, ValueError, "dictionary"),
    "strategy": ({"strategy": 5}, ValueError, "strategy"),
    "level-10": ({"level": 10}, ValueError, "level"),
    "level-str": ({"level": "1"}, TypeError, "level"),
    "method": ({"method": 7}, ValueError, "method"),
    "memLevel": ({"memLevel": 10}, ValueError, "memLevel"),
    "wbits-8": ({"wbits": 8}, ValueError, "wbits"),
    "wbits-16": ({"wbits": 16}, ValueError, "wbits"),
    "wbits-24": ({"wbits": 24}, ValueError, "wbits"),
    "wbits-32": ({"wbits": 32}, ValueError, "wbits"),
    "wbits-minus-8": ({"wbits": -8}, ValueError, "wbits"),
    "wbits-0": ({"wbits": 0}, ValueError, "wbits"),
    "wbits-float": ({"wbits": 15.0}, TypeError, "wbits"),
}


@pytest.mark.parametrize("kwargs, error, word", BAD.values(), ids=BAD.keys())
def test_bad_arguments(kwargs: Dict[str, Any], error: type, word: str) -> None:
    with pytest.raises(error, match=word):
        kzlib.compressobj(**kwargs)


def test_flush_modes_and_finished_streams() -> None:
    stream = kzlib.compressobj(wbits=31)
    assert stream.flush(kzlib.Z_NO_FLUSH) == b""
    with pytest.raises(ValueError, match="flush mode"):
        stream.flush(kzlib.Z_TREES)  # an inflate-only mode
    body = stream.compress(TEXT)
    for weaker in (kzlib.Z_PARTIAL_FLUSH, kzlib.Z_BLOCK):  # answered with a sync flush
        body += stream.flush(weaker)
        assert zlib.decompressobj(31).decompress(body) == TEXT
    body += stream.flush()
    assert gzip.decompress(body) == TEXT
    assert stream.flush() == b""  # ended already
    with pytest.raises(ValueError):
        stream.compress(b"more")
    with pytest.raises(ValueError):
        stream.flush(kzlib.Z_SYNC_FLUSH)


def test_small_window_zlib_stream_ends_once() -> None:
    """The small-window zlib stream writes its own header and Adler-32: once, even when flushed twice."""
    stream = kzlib.compressobj(wbits=10)
    data = stream.flush(kzlib.Z_SYNC_FLUSH) + stream.compress(TEXT) + stream.flush() + stream.flush()
    assert data[:2] == b"\x28\x15"  # a 1 KiB window, FLEVEL 0, as zlib writes it
    assert zlib.decompress(data, 10) == TEXT
    assert data[-4:] == zlib.adler32(TEXT).to_bytes(4, "big")


def test_delegated_names_are_the_standard_librarys() -> None:
    """Decompression, checksums and errors are zlib's own objects, so code mixing both agrees."""
    for name in ("decompress", "decompressobj", "crc32", "adler32", "error", "MAX_WBITS", "Z_SYNC_FLUSH"):
        assert getattr(kzlib, name) is getattr(zlib, name)
