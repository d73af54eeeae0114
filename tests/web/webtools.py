"""Helpers of the web tests: independent decoders and uvicorn servers on 127.0.0.1."""

from __future__ import annotations

import contextlib
import gzip
import os
import socket
import subprocess
import sys
import time
import zlib
from pathlib import Path
from typing import Iterator

import httpx
from isal import igzip

HERE = Path(__file__).resolve().parent


def gunzip(data: bytes) -> bytes:
    """``data`` decoded by three independent gzip decoders, CRC-32 and length checked by each; they
    must agree."""
    by_gzip = gzip.decompress(data)
    by_zlib = zlib.decompress(data, 31)
    by_isal = igzip.decompress(data)
    assert by_gzip == by_zlib == by_isal
    return by_gzip


@contextlib.contextmanager
def uvicorn_server(app_name: str) -> Iterator[str]:
    """Serves ``asgi_apps.<app_name>`` with uvicorn in a child process; yields its base URL."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    port = listener.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), *sys.path]))
    child = subprocess.Popen(
        [sys.executable, str(HERE / "serve.py"), app_name, str(listener.fileno())],
        pass_fds=[listener.fileno()],
        env=env,
    )
    listener.close()  # the child holds its own copy
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                httpx.get(url + "/ping", timeout=5).raise_for_status()
                break
            except httpx.TransportError:
                if child.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"the uvicorn child for {app_name} did not start") from None
                time.sleep(0.05)
        yield url
    finally:
        child.terminate()
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
