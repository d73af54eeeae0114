"""Flush points: everything so far decodes from the bytes so far, and decoding can restart at each of them."""

from __future__ import annotations

import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kivio
from kivio_support import FORMATS, MARKER, WBITS, assert_decodes, text_like

TEXT = text_like(400_000, seed=3)
NOISE = __import__("random").Random(5).randbytes(100_000)


def chunks_of(data: bytes, sizes: list[int]) -> list[bytes]:
    out, pos = [], 0
    for n in sizes:
        out.append(data[pos : pos + n])
        pos += n
    return out


@pytest.mark.parametrize("level", [0, 1])
@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_input_so_far_decodes_at_every_flush_point_and_decoding_restarts_there(fmt_name: str, fmt: int, level: int) -> None:
    data = TEXT[:150_000] + NOISE[:30_000] + TEXT[150_000:200_000]
    pieces = chunks_of(data, [0, 1, 7, 300, 5_000, 40_000, 65_535, 65_536, 3, 10_000, 200_000])
    c = kivio.Compressor(level, fmt)
    inflater = zlib.decompressobj(WBITS[fmt])
    stream = b""
    points: list[tuple[int, int]] = []  # (stream offset, input offset) after each flush point
    fed = 0
    for i, piece in enumerate(pieces):
        out = c.compress(piece)
        fed += len(piece)
        mode = kivio.SYNC_FLUSH if i % 2 else kivio.FULL_FLUSH
        out += c.flush(mode)
        assert out.endswith(MARKER)
        stream += out
        assert inflater.decompress(out) == piece
        points.append((len(stream), fed))
    stream += c.flush()
    assert_decodes(stream, data, fmt)

    # A raw inflater started at a flush point decodes the rest, up to the end of the final block.
    trailer = {kivio.GZIP: 8, kivio.ZLIB: 4, kivio.DEFLATE: 0}[fmt]
    for at, done in points:
        d = zlib.decompressobj(-15)
        assert d.decompress(stream[at:]) == data[done:]
        assert d.eof and len(d.unused_data) == trailer


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_decoder_fed_byte_by_byte_sees_each_message_complete_at_its_flush(fmt_name: str, fmt: int) -> None:
    """The streaming use: each message is whole once the bytes up to its flush point have arrived."""
    messages = [b"data: %d\n\n" % i * (i % 5 + 1) for i in range(50)] + [b"", TEXT[:3000]]
    c = kivio.Compressor(1, fmt)
    d = zlib.decompressobj(WBITS[fmt])
    for message in messages:
        out = c.compress(message) + c.flush(kivio.SYNC_FLUSH)
        got = b"".join(d.decompress(out[i : i + 1]) for i in range(len(out)))
        assert got == message
    tail = c.flush()
    assert d.decompress(tail) == b"" and d.eof


operations = st.lists(
    st.one_of(
        st.tuples(st.just("compress"), st.integers(0, 70_000), st.integers(0, len(TEXT))),
        st.tuples(st.sampled_from(["sync", "full"]), st.just(0), st.just(0)),
    ),
    max_size=25,
)


@settings(max_examples=60, deadline=None)
@given(ops=operations, level=st.sampled_from([0, 1, -1, 9]), fmt=st.sampled_from(list(FORMATS.values())))
def test_random_interleavings_decode_with_every_decoder(ops: list[tuple[str, int, int]], level: int, fmt: int) -> None:
    c = kivio.Compressor(level, fmt)
    parts: list[bytes] = []
    fed = bytearray()
    flushed_last = False
    for op, n, start in ops:
        if op == "compress":
            piece = (TEXT + NOISE)[start : start + n]
            parts.append(c.compress(piece))
            fed += piece
            flushed_last = False
        else:
            out = c.flush(kivio.SYNC_FLUSH if op == "sync" else kivio.FULL_FLUSH)
            assert (out == b"") == flushed_last, "a flush writes unless it follows another flush"
            flushed_last = True
            parts.append(out)
            assert zlib.decompressobj(WBITS[fmt]).decompress(b"".join(parts)) == fed
    parts.append(c.flush(kivio.FINISH))
    assert_decodes(b"".join(parts), bytes(fed), fmt)
