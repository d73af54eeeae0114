"""The module surface: constants, constructor arguments, exact small streams and argument errors."""

from __future__ import annotations

import zlib

import pytest

import kiv
from conftest import GZIP_HEADER, assert_decodes, run_stream, text_like

TEXT = text_like(20000)


def stored(data: bytes) -> bytes:
    """A non-final stored block as a level-0 compress call writes it on an idle raw stream."""
    n = len(data)
    return b"\x00" + n.to_bytes(2, "little") + (n ^ 0xFFFF).to_bytes(2, "little") + data


def test_module_surface() -> None:
    assert (kiv.KIV_FMT_GZIP, kiv.KIV_FMT_ZLIB, kiv.KIV_FMT_DEFLATE) == (0, 1, 2)
    assert all(type(v) is int for v in (kiv.KIV_FMT_GZIP, kiv.KIV_FMT_ZLIB, kiv.KIV_FMT_DEFLATE))
    public = sorted(name for name in vars(kiv) if not name.startswith("_"))
    assert public == ["KIV_FMT_DEFLATE", "KIV_FMT_GZIP", "KIV_FMT_ZLIB", "compressobj"]
    assert kiv.__doc__ is None


@pytest.mark.parametrize(
    "make, level, fmt",
    [
        pytest.param(lambda: kiv.compressobj(), 1, 2, id="no-arguments"),
        pytest.param(lambda: kiv.compressobj(0), 0, 2, id="positional-0"),
        pytest.param(lambda: kiv.compressobj(1, 0), 1, 0, id="positional-1-0"),
        pytest.param(lambda: kiv.compressobj(format=kiv.KIV_FMT_GZIP), 1, 0, id="format-keyword"),
        pytest.param(lambda: kiv.compressobj(level=0, format=kiv.KIV_FMT_ZLIB), 0, 1, id="both-keywords"),
        pytest.param(lambda: kiv.compressobj(format=1, level=1), 1, 1, id="keywords-reversed"),
    ],
)
def test_constructor_defaults_and_order(make, level: int, fmt: int) -> None:
    c = make()
    got = c.compress(obj=TEXT) + c.flush()
    assert got == run_stream([TEXT], level, fmt)
    assert_decodes(got, TEXT, fmt)


def test_level_0_stores_and_level_1_compresses() -> None:
    assert run_stream([TEXT], level=0) == stored(TEXT) + b"\x03\x00"
    assert len(run_stream([TEXT], level=1)) < len(TEXT) * 3 // 4


@pytest.mark.parametrize("fmt", [0, 1, 2])
@pytest.mark.parametrize(
    "level, same_as", [(2, 0), (3, 1), (-1, 1), (-2, 0), (2**31 - 1, 1), (-(2**31), 0)]
)
def test_level_counts_by_lowest_bit(fmt: int, level: int, same_as: int) -> None:
    chunks = [TEXT[:7000], TEXT[7000:]]
    assert run_stream(chunks, level, fmt) == run_stream(chunks, same_as, fmt)


@pytest.mark.parametrize("fmt", [3, -1, 7, 2**31 - 1, -(2**31)])
def test_other_formats_are_raw_deflate(fmt: int) -> None:
    got = run_stream([TEXT], 1, fmt)
    assert got == run_stream([TEXT], 1, kiv.KIV_FMT_DEFLATE)
    assert_decodes(got, TEXT, kiv.KIV_FMT_DEFLATE)


@pytest.mark.parametrize(
    "fmt, first, flushed",
    [
        pytest.param(0, GZIP_HEADER, "0300" + "00" * 8, id="gzip"),
        pytest.param(1, bytes.fromhex("7801"), "030000000001", id="zlib"),
        pytest.param(2, b"", "0300", id="deflate"),
    ],
)
def test_empty_calls(fmt: int, first: bytes, flushed: str) -> None:
    c = kiv.compressobj(1, fmt)
    assert c.compress(b"") == first
    assert c.compress(b"") == b""
    assert c.flush() == bytes.fromhex(flushed)


@pytest.mark.parametrize(
    "fmt, expected",
    [
        pytest.param(0, GZIP_HEADER + bytes.fromhex("0300") + bytes(8), id="gzip-20-bytes"),
        pytest.param(1, bytes.fromhex("7801030000000001"), id="zlib"),
        pytest.param(2, bytes.fromhex("0300"), id="deflate"),
    ],
)
@pytest.mark.parametrize("level", [0, 1])
def test_flush_straight_after_construction(fmt: int, expected: bytes, level: int) -> None:
    out = kiv.compressobj(level, fmt).flush()
    assert out == expected
    assert_decodes(out, b"", fmt)


def test_single_byte_stays_pending_until_flush() -> None:
    c = kiv.compressobj()
    assert c.compress(b"a") == b""
    tail = c.flush()
    assert tail == bytes.fromhex("4a040c00")
    assert zlib.decompress(tail, -15) == b"a"


@pytest.mark.parametrize(
    "data, fmt",
    [
        pytest.param(bytes(range(10)), 0, id="10-bytes-level0-gzip"),
        pytest.param(bytes(range(200, 255)) * 3, 1, id="high-bytes-level0-zlib"),
    ],
)
def test_level_0_small_inputs_exact(data: bytes, fmt: int) -> None:
    c = kiv.compressobj(0, fmt)
    first = c.compress(data)
    header = GZIP_HEADER if fmt == 0 else bytes.fromhex("7801")
    assert first == header + stored(data)
    stream = first + c.flush()
    assert_decodes(stream, data, fmt)


class Bytes(bytes):
    pass


class WeirdBytes(bytes):
    """A subclass whose Python-level view differs from its storage: the storage is what counts."""

    def __len__(self) -> int:
        return 1

    def __bytes__(self) -> bytes:
        return b"x"


@pytest.mark.parametrize("cls", [Bytes, WeirdBytes])
@pytest.mark.parametrize("fmt", [0, 1, 2])
def test_bytes_subclass_compressed_like_bytes(cls: type, fmt: int) -> None:
    chunks = [TEXT[:5000], TEXT[5000:]]
    c = kiv.compressobj(1, fmt)
    got = b"".join(c.compress(cls(chunk)) for chunk in chunks) + c.flush()
    assert got == run_stream(chunks, 1, fmt)


BAD_OBJ = [
    pytest.param(bytearray(b"abc"), id="bytearray"),
    pytest.param(memoryview(b"abc"), id="memoryview"),
    pytest.param("abc", id="str"),
    pytest.param(None, id="None"),
    pytest.param(1, id="int"),
    pytest.param([b"abc"], id="list"),
]


@pytest.mark.parametrize("bad", BAD_OBJ)
@pytest.mark.parametrize("fmt", [0, 1, 2])
def test_compress_refuses_non_bytes_and_keeps_stream(bad: object, fmt: int) -> None:
    c = kiv.compressobj(1, fmt)
    parts = [c.compress(TEXT[:3001])]
    with pytest.raises(TypeError):
        c.compress(bad)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        c.compress(obj=bad)  # type: ignore[arg-type]
    parts += [c.compress(TEXT[3001:]), c.flush()]
    assert b"".join(parts) == run_stream([TEXT[:3001], TEXT[3001:]], 1, fmt)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda c: c.compress(), id="compress-no-argument"),
        pytest.param(lambda c: c.compress(b"a", b"b"), id="compress-two-arguments"),
        pytest.param(lambda c: c.compress(data=b"a"), id="compress-wrong-keyword"),
        pytest.param(lambda c: c.flush(b""), id="flush-argument"),
    ],
)
def test_wrong_call_shapes(call) -> None:
    c = kiv.compressobj(1, 0)
    head = c.compress(TEXT)
    with pytest.raises(TypeError):
        call(c)
    assert head + c.flush() == run_stream([TEXT], 1, 0)


BAD_INT = [
    pytest.param(1.5, id="float"),
    pytest.param(1.0, id="integral-float"),
    pytest.param("1", id="str"),
    pytest.param(None, id="None"),
    pytest.param(2**31, id="2**31"),
    pytest.param(-(2**31) - 1, id="-2**31-1"),
    pytest.param(2**64, id="2**64"),
]


@pytest.mark.parametrize("bad", BAD_INT)
@pytest.mark.parametrize("which", ["level", "format"])
def test_constructor_refuses_bad_ints(bad: object, which: str) -> None:
    with pytest.raises(TypeError):
        kiv.compressobj(**{which: bad})  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        kiv.compressobj(*((bad, 2) if which == "level" else (1, bad)))  # type: ignore[arg-type]


def test_constructor_accepts_index_objects() -> None:
    class Two:
        def __index__(self) -> int:
            return 0

    assert run_stream([TEXT], 1, Two()) == run_stream([TEXT], 1, 0)  # type: ignore[arg-type]


def test_constructor_wrong_keyword() -> None:
    with pytest.raises(TypeError):
        kiv.compressobj(lvl=1)  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        kiv.compressobj(1, 2, 3)  # type: ignore[call-arg]
