"""The installed type information of kivio: mypy accepts correct use, rejects wrong use, and the stub of
the native core matches the module."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

GOOD = """
    import array
    import mmap
    import kivio
    from kivio import Compressor

    c: Compressor = kivio.Compressor(1, kivio.GZIP)
    d = kivio.Compressor(level=0, format="zlib")
    e = kivio.Compressor()
    parts: list[bytes] = [c.compress(b"abc"), c.compress(bytearray(b"x")), c.compress(memoryview(b"y"))]
    parts += [c.compress(array.array("H", [1, 2])), c.flush(kivio.SYNC_FLUSH), c.flush(mode=kivio.FULL_FLUSH)]
    parts.append(c.flush())
    reveal_type(kivio.FINISH)
"""

BAD = """
    import kivio

    c = kivio.Compressor(1.5)
    c.compress("text")
    c.compress()
    c.flush("sync")
    s: str = c.flush()
    kivio.Compressor(levl=1)
    kivio.GZIP = 3
    c.compress(data=b"abc")
"""


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    path = tmp_path / "usage.py"
    path.write_text(textwrap.dedent(source))
    # Run from the temporary directory, so that the types come from the installed distribution.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", "3.11", str(path)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )


def test_correct_usage_passes(tmp_path: Path) -> None:
    proc = run_mypy(tmp_path, GOOD)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert 'Revealed type is "Literal[4]?"' in proc.stdout or 'Revealed type is "int"' in proc.stdout


def test_wrong_usage_fails(tmp_path: Path) -> None:
    proc = run_mypy(tmp_path, BAD)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    lines = sorted({int(line.split(":")[1]) for line in proc.stdout.splitlines() if ": error:" in line})
    assert lines == [4, 5, 6, 7, 8, 9, 10, 11], proc.stdout


def test_stub_matches_the_module(tmp_path: Path) -> None:
    """mypy's stubtest compares the stub with the imported module: names, kinds, signatures, constants."""
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kivio._core"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
