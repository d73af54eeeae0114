"""After flush, failed allocations and inputs too large for one engine call."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import zlib

import pytest

import kiv
from conftest import FORMATS, WBITS, assert_decodes, run_stream, text_like

TEXT = text_like(30_000)


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
@pytest.mark.parametrize("level", [0, 1])
def test_compress_after_flush_raises_and_changes_nothing(fmt_name: str, fmt: int, level: int) -> None:
    c = kiv.compressobj(level, fmt)
    stream = c.compress(TEXT) + c.flush()
    for data in (b"", b"a", TEXT):
        with pytest.raises(ValueError, match="stream is finished"):
            c.compress(data)
    assert c.flush() == b""
    assert stream == run_stream([TEXT], level, fmt)
    assert_decodes(stream, TEXT, fmt)


@pytest.mark.parametrize("fmt_name, fmt", FORMATS.items())
def test_second_flush_is_empty(fmt_name: str, fmt: int) -> None:
    for chunks in ([], [b""], [b"a"], [TEXT]):
        c = kiv.compressobj(1, fmt)
        stream = b"".join(c.compress(x) for x in chunks) + c.flush()
        assert c.flush() == b""
        assert c.flush() == b""
        assert_decodes(stream, b"".join(chunks), fmt)


def test_argument_errors_after_flush_are_still_type_errors() -> None:
    c = kiv.compressobj()
    c.flush()
    with pytest.raises(TypeError):
        c.compress(bytearray(b"a"))  # type: ignore[arg-type]


def run_isolated(script: str) -> str:
    """Runs a script in a fresh interpreter (memory limits must not touch the test process)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


LIMIT_HELPERS = """
    import os, resource, zlib
    import kiv

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        raise AssertionError("no VmSize")

    def limit(extra):
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, hard))

    def unlimit():
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

    N = 192 << 20
    data = os.urandom(N)          # level 0 output is as large as the input
    RESERVATION = N + N // 8 + 6  # what the compress call of data reserves
"""


def test_buffer_that_cannot_grow_raises_memory_error_and_keeps_stream() -> None:
    out = run_isolated(
        LIMIT_HELPERS
        + """
    c = kiv.compressobj(0, kiv.KIV_FMT_GZIP)
    parts = [c.compress(b"head")]
    limit(16 << 20)
    try:
        c.compress(data)
    except MemoryError:
        print("MemoryError")
    unlimit()
    parts += [c.compress(data), c.flush()]   # the failed call can simply be repeated
    assert zlib.decompress(b"".join(parts), 31) == b"head" + data
    print("decoded")
    """
    )
    assert out.split() == ["MemoryError", "decoded"]


def test_lost_result_breaks_the_stream() -> None:
    out = run_isolated(
        LIMIT_HELPERS
        + """
    # Inputs from 1 MiB on are written straight into their result, which is allocated before any
    # work is done; below that the output buffer is used and the result is made afterwards.
    small = data[: 768 << 10]
    c = kiv.compressobj(0, kiv.KIV_FMT_ZLIB)
    head = c.compress(b"head")
    limit(len(small) + len(small) // 8 + 6 + (192 << 10))   # room for the output buffer, not for the result
    try:
        c.compress(small)
    except RuntimeError as e:
        print(e)
    unlimit()
    for call in (lambda: c.compress(b"more"), lambda: c.compress(b""), c.flush):
        try:
            call()
        except RuntimeError as e:
            print("later:", "lost output" in str(e))
    fresh = kiv.compressobj(0, kiv.KIV_FMT_ZLIB)   # other objects are unaffected
    assert zlib.decompress(fresh.compress(data) + fresh.flush()) == data
    print("fresh ok")
    """
    )
    assert out.splitlines() == [
        "Could not allocate bytes object!",
        "later: True",
        "later: True",
        "later: True",
        "fresh ok",
    ]


def huge_threshold(header: int) -> int:
    """The smallest input whose reservation exceeds 2**31 - 1."""
    n = (2**31 - 1 - 6 - header) * 8 // 9
    while n + n // 8 + 6 + header <= 2**31 - 1:
        n += 1
    return n


def test_huge_threshold_arithmetic() -> None:
    n = huge_threshold(10)
    assert n + n // 8 + 16 > 2**31 - 1 >= (n - 1) + (n - 1) // 8 + 16


@pytest.mark.slow
@pytest.mark.parametrize("fmt_name, fmt", [("gzip", kiv.KIV_FMT_GZIP), ("deflate", kiv.KIV_FMT_DEFLATE)])
def test_huge_input_is_compressed_in_1_gib_pieces(fmt_name: str, fmt: int) -> None:
    piece = 1 << 30
    n = huge_threshold(10 if fmt == kiv.KIV_FMT_GZIP else 0) + 12_345
    unit = text_like(1 << 20, seed=2)
    data = unit * (n // len(unit)) + unit[: n % len(unit)]
    c = kiv.compressobj(1, fmt)
    stream = c.compress(data) + c.flush()

    # Byte for byte what the engine gives for the same input handed over in two calls of 1 GiB and the rest.
    ref = kiv.compressobj(1, fmt)
    parts = []
    for start in range(0, n, piece):
        chunk = data[start : start + piece]
        parts.append(ref.compress(chunk))
        del chunk
    assert stream == b"".join(parts) + ref.flush()

    d = zlib.decompressobj(WBITS[fmt])
    view = memoryview(data)
    pos = 0
    pending = stream
    while not d.eof:
        out = d.decompress(pending, 64 << 20)
        pending = d.unconsumed_tail
        assert out == view[pos : pos + len(out)]
        pos += len(out)
    assert pos == n and d.unused_data == b""
