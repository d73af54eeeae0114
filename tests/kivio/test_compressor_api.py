"""kivio.Compressor's surface: constants, arguments and their errors, exact flush bytes, the end of a stream."""

from __future__ import annotations

import copy
import pickle
from typing import Any

import pytest

import kiv
import kivio
import kivio._core
from kivio_support import FORMATS, MARKER, assert_decodes, text_like

TEXT = text_like(30_000)
GZIP_HEADER = bytes.fromhex("1f8b0800000000000403")
EMPTY_STORED = b"\x00" + MARKER  # an empty stored block from a byte boundary


def kiv_stream(chunks: list[bytes], level: int, fmt: int) -> list[bytes]:
    """What kiv.compressobj returns call for call, the flush last."""
    c = kiv.compressobj(level, fmt)
    return [c.compress(x) for x in chunks] + [c.flush()]


def test_package_surface() -> None:
    assert kivio.Compressor is kivio._core.Compressor
    constants = {name: getattr(kivio, name) for name in ("GZIP", "ZLIB", "DEFLATE", "SYNC_FLUSH", "FULL_FLUSH", "FINISH")}
    assert constants == {"GZIP": 0, "ZLIB": 1, "DEFLATE": 2, "SYNC_FLUSH": 2, "FULL_FLUSH": 3, "FINISH": 4}
    assert all(type(v) is int for v in constants.values())
    import zlib

    assert (kivio.SYNC_FLUSH, kivio.FULL_FLUSH, kivio.FINISH) == (zlib.Z_SYNC_FLUSH, zlib.Z_FULL_FLUSH, zlib.Z_FINISH)
    assert set(kivio.__all__) >= {"Compressor", *constants}


@pytest.mark.parametrize(
    "args, kwargs, level, fmt",
    [
        pytest.param((), {}, 1, kivio.GZIP, id="defaults-gzip-level-1"),
        pytest.param((0,), {}, 0, kivio.GZIP, id="level-0-stores"),
        *[pytest.param((lv,), {}, 1, kivio.GZIP, id=f"level-{lv}-searches") for lv in (-1, 1, 2, 5, 9)],
        pytest.param((True,), {}, 1, kivio.GZIP, id="bool-level"),
        pytest.param((1, 1), {}, 1, kivio.ZLIB, id="positional"),
        pytest.param((), {"format": 2, "level": 0}, 0, kivio.DEFLATE, id="keywords"),
        pytest.param((1, "gzip"), {}, 1, kivio.GZIP, id="str-gzip"),
        pytest.param((1, "ZLIB"), {}, 1, kivio.ZLIB, id="str-ZLIB"),
        pytest.param((1, "Deflate"), {}, 1, kivio.DEFLATE, id="str-Deflate"),
        pytest.param((1, "raw"), {}, 1, kivio.DEFLATE, id="str-raw"),
    ],
)
def test_levels_and_formats(args: tuple[Any, ...], kwargs: dict[str, Any], level: int, fmt: int) -> None:
    """Every accepted level and format writes what kiv writes for its storing or searching level."""
    chunks = [TEXT[:10_000], b"", TEXT[10_000:]]
    c = kivio.Compressor(*args, **kwargs)
    got = [c.compress(x) for x in chunks] + [c.flush()]
    assert got == kiv_stream(chunks, level, fmt)
    assert_decodes(b"".join(got), TEXT, fmt)


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def test_int_like_arguments_are_read_through_index() -> None:
    c = kivio.Compressor(Index(0), Index(1))
    assert c.compress(b"abc") + c.flush(Index(4)) == b"".join(kiv_stream([b"abc"], 0, kivio.ZLIB))


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        pytest.param((10,), {}, ValueError, "level must be 0", id="level-10"),
        pytest.param((-2,), {}, ValueError, "level must be 0", id="level-minus-2"),
        pytest.param((2**70,), {}, ValueError, "level must be 0", id="level-huge"),
        pytest.param((1.0,), {}, TypeError, "level must be an int, not float", id="level-float"),
        pytest.param(("1",), {}, TypeError, "level must be an int, not str", id="level-str"),
        pytest.param((None,), {}, TypeError, "level must be an int", id="level-none"),
        pytest.param((1, 3), {}, ValueError, "format must be GZIP (0)", id="format-3"),
        pytest.param((1, -1), {}, ValueError, "format must be GZIP (0)", id="format-minus-1"),
        pytest.param((1, 2**64), {}, ValueError, "format must be GZIP (0)", id="format-huge"),
        pytest.param((1, "gz"), {}, ValueError, "format must be 'gzip'", id="format-unknown-str"),
        pytest.param((1, " gzip"), {}, ValueError, "format must be 'gzip'", id="format-padded-str"),
        pytest.param((1, b"gzip"), {}, TypeError, "format must be an int or a str, not bytes", id="format-bytes"),
        pytest.param((1, 0.0), {}, TypeError, "format must be an int or a str, not float", id="format-float"),
        pytest.param((1, None), {}, TypeError, "format must be an int or a str", id="format-none"),
        pytest.param((1, 0, 0), {}, TypeError, "at most 2 arguments", id="three-arguments"),
        pytest.param((), {"levl": 1}, TypeError, "levl", id="unknown-keyword"),
        pytest.param((1,), {"level": 1}, TypeError, "level", id="level-twice"),
    ],
)
def test_constructor_errors(args: tuple[Any, ...], kwargs: dict[str, Any], error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        kivio.Compressor(*args, **kwargs)


@pytest.mark.parametrize(
    "call, error, message",
    [
        pytest.param(lambda c: c.compress("text"), TypeError, "bytes-like object is required, not 'str'", id="compress-str"),
        pytest.param(lambda c: c.compress(None), TypeError, "bytes-like object is required", id="compress-none"),
        pytest.param(lambda c: c.compress(3), TypeError, "bytes-like object is required", id="compress-int"),
        pytest.param(lambda c: c.compress([b"a"]), TypeError, "bytes-like object is required", id="compress-list"),
        pytest.param(lambda c: c.compress(), TypeError, "takes exactly one argument", id="compress-nothing"),
        pytest.param(lambda c: c.compress(b"a", b"b"), TypeError, "takes exactly one argument", id="compress-two"),
        pytest.param(lambda c: c.compress(data=b"a"), TypeError, "takes no keyword arguments", id="compress-keyword"),
        pytest.param(lambda c: c.flush(0), ValueError, r"mode must be SYNC_FLUSH \(2\), FULL_FLUSH \(3\) or FINISH \(4\), not 0", id="flush-0"),
        pytest.param(lambda c: c.flush(1), ValueError, "mode must be", id="flush-1"),
        pytest.param(lambda c: c.flush(5), ValueError, "mode must be", id="flush-5"),
        pytest.param(lambda c: c.flush(-4), ValueError, "mode must be", id="flush-minus-4"),
        pytest.param(lambda c: c.flush(2**70), ValueError, "mode must be", id="flush-huge"),
        pytest.param(lambda c: c.flush(4.0), TypeError, "mode must be an int, not float", id="flush-float"),
        pytest.param(lambda c: c.flush("4"), TypeError, "mode must be an int, not str", id="flush-str"),
        pytest.param(lambda c: c.flush(None), TypeError, "mode must be an int", id="flush-none"),
        pytest.param(lambda c: c.flush(2, 3), TypeError, "at most 1 argument", id="flush-two"),
        pytest.param(lambda c: c.flush(2, mode=3), TypeError, "at most 1 argument", id="flush-twice"),
        pytest.param(lambda c: c.flush(mod=2), TypeError, "unexpected keyword argument 'mod'", id="flush-unknown-keyword"),
    ],
)
@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_call_errors_leave_the_stream_as_it_was(call: Any, error: type[Exception], message: str, fmt_name: str, fmt: int) -> None:
    c = kivio.Compressor(1, fmt)
    first = c.compress(TEXT[:5000])
    with pytest.raises(error, match=message):
        call(c)
    got = [first, c.compress(TEXT[5000:]), c.flush()]
    assert got == kiv_stream([TEXT[:5000], TEXT[5000:]], 1, fmt)


@pytest.mark.parametrize(
    "fmt, fresh",
    [
        pytest.param(kivio.GZIP, GZIP_HEADER + EMPTY_STORED, id="gzip"),
        pytest.param(kivio.ZLIB, bytes.fromhex("7801") + EMPTY_STORED, id="zlib"),
        pytest.param(kivio.DEFLATE, EMPTY_STORED, id="deflate"),
    ],
)
@pytest.mark.parametrize("mode", [kivio.SYNC_FLUSH, kivio.FULL_FLUSH], ids=["sync", "full"])
def test_flush_points_exact_bytes(fmt: int, fresh: bytes, mode: int) -> None:
    c = kivio.Compressor(1, fmt)
    assert c.flush(mode) == fresh  # the first flush of a stream always writes
    assert c.flush(kivio.SYNC_FLUSH) == b""  # straight after a flush: the flush point is already there
    assert c.flush(kivio.FULL_FLUSH) == b""
    assert c.compress(b"") == b""
    assert c.flush(mode=mode) == EMPTY_STORED  # any compress call counts, even an empty one
    assert c.compress(b"a") == b""  # 11 bits pending: fixed block header and one literal
    assert c.flush(mode) == bytes.fromhex("4a0400") + MARKER  # 11 + 7 (end of block) + 3 (stored header) bits
    c.compress(b"abc" * 1000)
    out = c.flush(mode)
    assert out.endswith(MARKER) and c.flush(mode) == b""


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_after_finish(fmt_name: str, fmt: int) -> None:
    """FINISH ends the stream: input and flush points are refused, another FINISH returns b""."""
    c = kivio.Compressor(1, fmt)
    stream = c.compress(TEXT) + c.flush(kivio.SYNC_FLUSH) + c.flush()
    for refused in (lambda: c.compress(b""), lambda: c.compress(TEXT), lambda: c.flush(kivio.SYNC_FLUSH), lambda: c.flush(3)):
        with pytest.raises(ValueError, match="the stream is finished"):
            refused()
    assert c.flush() == b"" and c.flush(kivio.FINISH) == b""
    with pytest.raises(TypeError):  # argument errors are still argument errors
        c.compress("text")
    with pytest.raises(ValueError, match="mode must be"):
        c.flush(7)
    assert_decodes(stream, TEXT, fmt)


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_finish_right_after_a_flush_point(fmt_name: str, fmt: int) -> None:
    c = kivio.Compressor(0, fmt)
    stream = c.flush(kivio.SYNC_FLUSH) + c.flush(kivio.FINISH)
    assert_decodes(stream, b"", fmt)
    assert stream.endswith(b"\x03\x00" + (b"\x00" * 8 if fmt == kivio.GZIP else b"\x00\x00\x00\x01" if fmt == kivio.ZLIB else b""))


def test_instance_made_by_new_alone_is_a_default_stream() -> None:
    """Construction happens in __new__: there is no half-made object, and __init__ cannot restart a stream."""
    c = kivio.Compressor.__new__(kivio.Compressor)
    assert c.compress(TEXT) + c.flush() == b"".join(kiv_stream([TEXT], 1, kivio.GZIP))
    d = kivio.Compressor.__new__(kivio.Compressor, 0, "zlib")
    first = d.compress(TEXT[:100])
    d.__init__(1, "gzip")  # type: ignore[misc]
    assert first + d.compress(TEXT[100:]) + d.flush() == b"".join(kiv_stream([TEXT[:100], TEXT[100:]], 0, kivio.ZLIB))


def test_subclass() -> None:
    class Named(kivio.Compressor):
        def __init__(self, level: int = 1, format: int | str = 0, name: str = "") -> None:
            self.name = name

        def __new__(cls, level: int = 1, format: int | str = 0, name: str = "") -> "Named":
            return super().__new__(cls, level, format)

    c = Named(0, "raw", name="x")
    assert c.name == "x"
    assert c.compress(b"abc") + c.flush() == b"".join(kiv_stream([b"abc"], 0, kivio.DEFLATE))


@pytest.mark.parametrize("dup", [copy.copy, copy.deepcopy, pickle.dumps], ids=["copy", "deepcopy", "pickle"])
def test_cannot_be_copied_or_pickled(dup: Any) -> None:
    """A copy would silently start a new stream; the object refuses instead."""
    c = kivio.Compressor()
    c.compress(b"abc")
    with pytest.raises(TypeError, match="cannot pickle"):
        dup(c)


def test_docstrings_and_signatures() -> None:
    """The API reference is generated from these."""
    import inspect

    assert str(inspect.signature(kivio.Compressor)) == "(level=1, format=0)"
    assert str(inspect.signature(kivio.Compressor.compress)) == "(self, data, /)"
    assert str(inspect.signature(kivio.Compressor.flush)) == "(self, /, mode=4)"
    for obj in (kivio.Compressor, kivio.Compressor.compress, kivio.Compressor.flush, kivio._core):
        assert obj.__doc__ and len(obj.__doc__) > 100

