"""kivio.open: the writer in every mode, the uses gzip.open has, flushes, append, failures of the file."""

from __future__ import annotations

import csv
import errno
import gzip
import io
import json
import os
import random
import shutil
import tarfile
import threading
import tracemalloc
import zlib
from pathlib import Path
from typing import Any, Callable

import pytest
from kivio_support import text_like
from stream_support import cut, decode, mixed, reference

import kivio

DATA = mixed(200_000)


# -- the uses of a gzip file ------------------------------------------------------------------------------


def binary_writes(f: Any) -> bytes:
    for piece in cut(DATA, 9_999):
        f.write(piece)
    return DATA


def buffer_writes(f: Any) -> bytes:
    f.write(bytearray(DATA[:1000]))
    f.write(memoryview(DATA)[1000:150_000])
    f.write(memoryview(bytearray(DATA[150_000:])))
    return DATA


def writelines(f: Any) -> bytes:
    lines = DATA.splitlines(keepends=True)
    f.writelines(lines)
    return b"".join(lines)


def copyfileobj(f: Any) -> bytes:
    shutil.copyfileobj(io.BytesIO(DATA), f)
    return DATA


def tar_stream(f: Any) -> bytes:
    with tarfile.open(fileobj=f, mode="w|") as tar:
        for name, body in [("a.txt", b"alpha\n" * 1000), ("b.bin", DATA)]:
            info = tarfile.TarInfo(name)
            info.size = len(body)
            tar.addfile(info, io.BytesIO(body))
    return b""  # checked by reading the archive back


def csv_rows(f: Any) -> bytes:
    rows = [[i, f"name {i}", i * 0.5, "quote \" and, comma"] for i in range(3000)]
    csv.writer(f).writerows(rows)
    out = io.StringIO(newline="")
    csv.writer(out).writerows(rows)
    return out.getvalue().encode()


def print_lines(f: Any) -> bytes:
    for i in range(5000):
        print("line", i, "é", file=f)
    return "".join(f"line {i} é\n" for i in range(5000)).encode()


def json_dump(f: Any) -> bytes:
    doc = {"items": [{"id": i, "text": "ünïcödé"} for i in range(2000)]}
    json.dump(doc, f)
    return json.dumps(doc).encode()


USES: list[tuple[Callable[[Any], bytes], str]] = [
    (binary_writes, "wb"),
    (buffer_writes, "wb"),
    (writelines, "wb"),
    (copyfileobj, "wb"),
    (tar_stream, "wb"),
    (csv_rows, "wt"),
    (print_lines, "wt"),
    (json_dump, "wt"),
]


@pytest.mark.parametrize("use, mode", USES, ids=[u.__name__ for u, _ in USES])
def test_every_use_round_trips(tmp_path: Path, use: Callable[[Any], bytes], mode: str) -> None:
    path = tmp_path / "out.gz"
    kwargs = {"encoding": "utf-8", "newline": ""} if mode == "wt" else {}
    with kivio.open(path, mode, chunk_size=16384, **kwargs) as f:
        expected = use(f)
    stream = path.read_bytes()
    plain = decode(stream)
    if use is tar_stream:
        with tarfile.open(fileobj=io.BytesIO(plain), mode="r:") as tar:
            assert tar.extractfile("b.bin").read() == DATA  # type: ignore[union-attr]
        return
    assert plain == expected
    # A writer closed without explicit flushes wrote exactly the one-shot stream, text mode included.
    assert stream == kivio.compress(expected, chunk_size=16384)
    with kivio.open(path, "rb") as back:
        assert back.read() == expected


@pytest.mark.parametrize("chunk_size", [1, 100, 4096, 65536, 1 << 20])
def test_random_writes_give_the_one_shot_stream(chunk_size: int) -> None:
    """Pieces are exactly chunk_size long whatever the writes: small ones gathered, large ones cut in place."""
    rng = random.Random(chunk_size)
    data = DATA if chunk_size > 1 else DATA[:4000]
    sink = io.BytesIO()
    with kivio.open(sink, "wb", chunk_size=chunk_size) as f:
        pos = 0
        while pos < len(data):
            n = rng.choice([0, 1, rng.randrange(chunk_size + 2), chunk_size, rng.randrange(3 * chunk_size + 5)])
            assert f.write(memoryview(data)[pos : pos + n]) == len(data[pos : pos + n])
            pos += n
        assert f.tell() == len(data)
    assert sink.getvalue() == kivio.compress(data, chunk_size=chunk_size)


@pytest.mark.parametrize("fmt", ["gzip", "zlib", "deflate"])
def test_flush_makes_everything_so_far_decodable(fmt: str) -> None:
    rng = random.Random(5)
    sink = io.BytesIO()
    written = bytearray()
    expected_pieces: list[bytes | None] = []
    with kivio.open(sink, "wb", format=fmt, chunk_size=10_000) as f:
        for _ in range(12):
            piece = DATA[len(written) : len(written) + rng.randrange(25_000)]
            f.write(piece)
            written += piece
            f.flush()
            f.flush()  # a second flush adds nothing
            expected_pieces += cut(piece, 10_000) if piece else []
            expected_pieces.append(None)
            d = zlib.decompressobj({"gzip": 31, "zlib": 15, "deflate": -15}[fmt])
            assert d.decompress(sink.getvalue()) == written
    assert decode(sink.getvalue(), fmt) == bytes(written)
    # Pieces restart after each flush: the stream is one Compressor fed these pieces and flushes.
    assert sink.getvalue() == reference(expected_pieces, 1, fmt)


def test_append_adds_a_member(tmp_path: Path) -> None:
    path = tmp_path / "log.gz"
    with kivio.open(path, "wt", encoding="utf-8") as f:
        f.write("first\n")
    with kivio.open(path, "at", encoding="utf-8") as f:
        f.write("second\n")
    with kivio.open(path, "ab", level=0) as f:
        f.write(b"third\n")
    stream = path.read_bytes()
    assert decode(stream, members=3) == b"first\nsecond\nthird\n"
    members = [(b"first\n", 1), (b"second\n", 1), (b"third\n", 0)]
    assert stream == b"".join(kivio.compress(text, level) for text, level in members)


@pytest.mark.parametrize("fmt", ["zlib", "deflate"])
def test_append_refuses_streams_that_cannot_be_joined(tmp_path: Path, fmt: str) -> None:
    with pytest.raises(ValueError, match="append"):
        kivio.open(tmp_path / "x", "ab", format=fmt)
    assert not (tmp_path / "x").exists()


def test_paths_and_file_objects(tmp_path: Path) -> None:
    for i, path in enumerate([str(tmp_path / "a.gz"), os.fsencode(tmp_path / "b.gz"), tmp_path / "c.gz"]):
        with kivio.open(path, "w") as f:  # a bare "w" is binary, as in gzip.open
            f.write(b"%d" % i)
        assert f.name == path and f.closed
        assert gzip.decompress(Path(os.fsdecode(path)).read_bytes()) == b"%d" % i
    # A file object given is written from where it stands, flushed at close, and left open.
    with open(tmp_path / "d.gz", "wb") as raw:
        raw.write(b"prefix")
        writer = kivio.open(raw)
        writer.write(b"data")
        writer.close()
        assert not raw.closed
        raw.write(b"suffix")
    assert gzip.decompress((tmp_path / "d.gz").read_bytes()[6:-6]) == b"data"


def test_exclusive_mode(tmp_path: Path) -> None:
    path = tmp_path / "x.gz"
    with kivio.open(path, "x") as f:
        f.write(b"one")
    with pytest.raises(FileExistsError):
        kivio.open(path, "xb")
    assert gzip.decompress(path.read_bytes()) == b"one"


def test_reading_goes_through_gzip(tmp_path: Path) -> None:
    path = tmp_path / "t.gz"
    with kivio.open(path, "wt", encoding="utf-8", newline="\r\n") as f:
        f.write("a\nb\n")
    assert path.read_bytes() == kivio.compress(b"a\r\nb\r\n")
    with kivio.open(path, "rt", encoding="utf-8", newline="") as f:
        assert isinstance(f, io.TextIOWrapper) and f.read() == "a\r\nb\r\n"
    with kivio.open(path, "r") as f:
        assert isinstance(f, gzip.GzipFile) and f.read() == b"a\r\nb\r\n"
    with pytest.raises(ValueError, match="gzip files only"):
        kivio.open(path, "rb", format="zlib")


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        (("wb+",), {}, ValueError),
        (("rw",), {}, ValueError),
        (("wbt",), {}, ValueError),
        (("",), {}, ValueError),
        ((1,), {}, TypeError),
        (("wb",), {"encoding": "utf-8"}, ValueError),
        (("w",), {"newline": "\n"}, ValueError),
        (("wb", 11), {}, ValueError),
        (("wb",), {"format": "bz2"}, ValueError),
        (("wb",), {"chunk_size": 0}, ValueError),
        (("wb",), {"threads": 0}, ValueError),
        (("wb",), {"threads": "4"}, TypeError),
        (("wt",), {"encoding": "no-such-codec"}, LookupError),
        (("wt",), {"newline": "\t"}, ValueError),
    ],
    ids=lambda v: repr(v),
)
def test_bad_arguments_raise_before_touching_the_file(
    tmp_path: Path, args: tuple[Any, ...], kwargs: dict[str, Any], error: type[Exception]
) -> None:
    path = tmp_path / "f.gz"
    path.write_bytes(b"keep")
    with pytest.raises(error):
        kivio.open(path, *args, **kwargs)
    assert path.read_bytes() == b"keep"


def test_file_argument_types() -> None:
    with pytest.raises(TypeError, match="path or a binary file"):
        kivio.open(42)
    with pytest.raises(TypeError, match="binary mode"):
        kivio.open(io.StringIO())


def test_closed_writer_refuses_calls() -> None:
    sink = io.BytesIO()
    f = kivio.open(sink, "wb")
    f.write(b"abc")
    f.close()
    f.close()  # a second close does nothing
    for call in (lambda: f.write(b"x"), f.flush, f.tell, f.writable, lambda: f.writelines([b"x"])):
        with pytest.raises(ValueError, match="closed"):
            call()
    assert gzip.decompress(sink.getvalue()) == b"abc"
    with pytest.raises(io.UnsupportedOperation):
        kivio.open(io.BytesIO()).fileno()


class FailingFile(io.RawIOBase):
    """A raw file that takes `room` bytes and then fails like a full disk (or a closed pipe)."""

    def __init__(self, room: int, error: OSError) -> None:
        self.data = bytearray()
        self.room = room
        self.error = error
        self.attempts = 0

    def writable(self) -> bool:
        return True

    def write(self, b: Any) -> int:
        self.attempts += 1
        take = min(len(b), self.room - len(self.data))
        if take <= 0:
            raise self.error
        self.data += bytes(b)[:take]
        return take  # a short write, as a raw file may make before it fails


@pytest.mark.parametrize(
    "error", [OSError(errno.ENOSPC, "No space left on device"), BrokenPipeError(errno.EPIPE, "Broken pipe")],
    ids=["disk-full", "broken-pipe"],
)
def test_failing_file(error: OSError) -> None:
    target = FailingFile(60_000, error)
    f = kivio.open(target, "wb", chunk_size=8192)
    f.write(DATA[:20_000])
    f.flush()
    flushed = bytes(target.data)
    with pytest.raises(type(error)) as raised:
        f.write(DATA[20_000:])
        f.flush()
    assert raised.value is error
    # The stream in the file now ends at an unknown point: the writer takes nothing more, writes no trailer.
    attempts = target.attempts
    for call in (lambda: f.write(b"more"), f.flush):
        with pytest.raises(OSError, match="earlier write to the file failed"):
            call()
    f.close()
    assert target.attempts == attempts and f.closed
    # What was flushed before the failure still decodes.
    assert zlib.decompressobj(31).decompress(flushed) == DATA[:20_000]


def test_full_device(tmp_path: Path) -> None:
    with pytest.raises(OSError) as raised:
        with kivio.open("/dev/full", "wb") as f:
            f.write(os.urandom(3 << 20))
    assert raised.value.errno == errno.ENOSPC


def test_interrupted_write_fails_the_writer() -> None:
    """Ctrl-C between a piece's encoding and its write would lose bytes of the stream: the writer stops."""

    class Interrupting(io.BytesIO):
        def write(self, b: Any) -> int:
            raise KeyboardInterrupt

    f = kivio.open(Interrupting(), "wb", chunk_size=100)
    with pytest.raises(KeyboardInterrupt):
        f.write(DATA[:1000])
    with pytest.raises(OSError, match="earlier write"):
        f.write(b"x")
    f.close()


@pytest.mark.parametrize(("threads", "limit"), [(1, 8 << 20), (2, 20 << 20)], ids=["one-thread", "two-threads"])
def test_large_write_is_not_copied(threads: int, limit: int) -> None:
    """A 64 MiB write goes to the compressor piece by piece in place: memory grows by about a piece, with
    threads by a few batches (of 4 pieces for 2 threads): the buffer that completes the first batch, and
    the output of the batches in flight."""

    class Sink(io.RawIOBase):
        def writable(self) -> bool:
            return True

        def write(self, b: Any) -> int:
            return len(b)

    data = bytearray(text_like(1 << 20) * 64)
    f = kivio.open(Sink(), "wb", chunk_size=1 << 20, threads=threads)
    f.write(b"x")  # something in the buffer, so the write starts by completing a piece
    tracemalloc.start()
    try:
        f.write(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    f.close()
    assert peak < limit, f"peak {peak} bytes"


def test_threads_take_turns() -> None:
    """Writes from several threads are taken one at a time: every record arrives whole."""
    sink = io.BytesIO()
    records = {t: [f"{t}:{i}:{'x' * (i % 50)}\n".encode() for i in range(2000)] for t in range(4)}
    with kivio.open(sink, "wb", chunk_size=4096) as f:
        threads = [threading.Thread(target=f.writelines, args=(records[t],)) for t in records]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    lines = decode(sink.getvalue()).splitlines(keepends=True)
    assert sorted(lines) == sorted(line for rs in records.values() for line in rs)
