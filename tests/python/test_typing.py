"""The installed type information: mypy finds the stubs, accepts correct use and rejects wrong use."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import kiv

pytest.importorskip("mypy")

GOOD = """
    import kiv

    c: kiv.compressobj = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
    d = kiv.compressobj(level=0, format=kiv.KIV_FMT_ZLIB)
    e = kiv.compressobj()
    out: bytes = c.compress(b"abc") + c.compress(obj=b"") + c.flush()
    fmt: int = kiv.KIV_FMT_DEFLATE
    reveal_type(kiv.KIV_FMT_ZLIB)
"""

BAD = """
    import kiv

    c = kiv.compressobj("1")
    c.compress("text")
    c.compress()
    c.flush(b"")
    s: str = c.flush()
    kiv.compressobj(levl=1)
    kiv.KIV_FMT_GZIP = 3
"""


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    path = tmp_path / "usage.py"
    path.write_text(textwrap.dedent(source))
    # Run from the temporary directory, so that the stubs come from the installed distribution.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", "3.11", str(path)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )


def test_correct_usage_passes(tmp_path: Path) -> None:
    proc = run_mypy(tmp_path, GOOD)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert 'Revealed type is "Literal[1]?"' in proc.stdout or 'Revealed type is "int"' in proc.stdout


def test_wrong_usage_fails(tmp_path: Path) -> None:
    proc = run_mypy(tmp_path, BAD)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    lines = sorted({int(line.split(":")[1]) for line in errors})
    assert lines == [4, 5, 6, 7, 8, 9, 10], proc.stdout


def test_stub_matches_the_module(tmp_path: Path) -> None:
    """mypy's stubtest compares the stubs with the imported module: names, kinds and constant values."""
    allowlist = tmp_path / "allowlist.txt"
    # The class's metaclass is the binding library's own type, which the stub does not spell out.
    allowlist.write_text("kiv.compressobj\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "kiv"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
