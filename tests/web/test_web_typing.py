"""mypy on the web modules, and kivio.zlib against aiohttp's own protocol for zlib backends."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

USAGE = """
    import aiohttp
    from aiohttp.compression_utils import ZLibBackendProtocol

    import kivio.zlib

    backend: ZLibBackendProtocol = kivio.zlib  # a module checked as the protocol aiohttp declares
    aiohttp.set_zlib_backend(kivio.zlib)
"""


def test_web_modules_type_check(tmp_path: Path) -> None:
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent(USAGE))
    modules = ["usage", "kivio._http", "kivio.asgi", "kivio.wsgi", "kivio.zlib", "kivio.websockets"]
    # Run from the temporary directory, so that the installed package (with its stubs) is checked.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *(f"-m{m}" for m in modules)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
