"""Failed allocations: a buffer that cannot grow leaves the stream as it was; a lost result breaks it for good."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest


def run_isolated(script: str) -> list[str]:
    """Runs a script in a fresh interpreter (memory limits must not touch the test process)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


LIMIT_HELPERS = """
    import os, resource, zlib
    import kivio

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
    small = data[: 768 << 10]     # below 1 MiB: through the output buffer
"""


@pytest.mark.parametrize("size", ["small", "data"], ids=["output-buffer", "direct-result"])
def test_output_that_cannot_grow_raises_memory_error_and_keeps_stream(size: str) -> None:
    out = run_isolated(
        LIMIT_HELPERS
        + f"""
    c = kivio.Compressor(0, kivio.GZIP)
    parts = [c.compress(b"head")]
    limit(16 << 10)
    try:
        c.compress({size})
    except MemoryError:
        print("MemoryError")
    unlimit()
    parts += [c.compress({size}), c.flush()]   # the failed call can simply be repeated
    assert zlib.decompress(b"".join(parts), 31) == b"head" + {size}
    print("decoded")
    """
    )
    assert out == ["MemoryError", "decoded"]


def test_lost_result_breaks_the_stream() -> None:
    """The result of a call through the output buffer cannot be made (flushes make theirs the same way)."""
    out = run_isolated(
        LIMIT_HELPERS
        + """
    c = kivio.Compressor(0, kivio.ZLIB)
    head = c.compress(b"head")
    c.compress(small)                      # the output buffer is large enough from here on
    limit(len(small) // 2)                 # room for the engine's work, not for the result
    try:
        c.compress(small)
    except RuntimeError as e:
        print("lost:", "output is lost" in str(e))
    unlimit()
    for later in (lambda: c.compress(b"more"), lambda: c.compress(b""), lambda: c.flush(kivio.SYNC_FLUSH), c.flush):
        try:
            later()
        except RuntimeError as e:
            print("later:", "start a new Compressor" in str(e))
    fresh = kivio.Compressor(0, kivio.ZLIB)   # other objects are unaffected
    assert zlib.decompress(fresh.compress(data) + fresh.flush()) == data
    print("fresh ok")
    """
    )
    assert out == ["lost: True", "later: True", "later: True", "later: True", "later: True", "fresh ok"]
