"""Types of the pure-Python layer: mypy --strict accepts the package's own modules, and kivio.open's result
type follows its mode."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

USAGE = """
    import kivio

    reveal_type(kivio.open("a.gz"))
    reveal_type(kivio.open("a.gz", "ab", 0, chunk_size=1 << 16, threads=2))
    reveal_type(kivio.open("a.gz", "wt", encoding="utf-8"))
    reveal_type(kivio.open("a.gz", "rb"))
    blob: bytes = kivio.compress(memoryview(b"abc"), 1, "zlib", chunk_size=4096, threads=None)
"""


def mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # Run from a temporary directory, so that the types come from the installed distribution.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", "3.11", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
    )


def test_package_passes_strict_mypy(tmp_path: Path) -> None:
    proc = mypy("-p", "kivio", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_open_result_type_follows_the_mode(tmp_path: Path) -> None:
    (tmp_path / "usage.py").write_text(textwrap.dedent(USAGE))
    proc = mypy("usage.py", cwd=tmp_path)
    revealed = [line.split("Revealed type is ")[1] for line in proc.stdout.splitlines() if "Revealed" in line]
    assert len(revealed) == 4, proc.stdout
    assert revealed[:2] == ['"kivio.files.Writer"'] * 2 and revealed[3] == '"gzip.GzipFile"', proc.stdout
    assert "TextIOWrapper" in revealed[2], proc.stdout
    assert proc.returncode == 0, proc.stdout
