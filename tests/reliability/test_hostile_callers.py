"""Callers that bend the object model: skipped or repeated __init__, bytes subclasses that lie about themselves.

Whatever Python code does, the interpreter must not crash and no stream may be silently corrupted.
Cases that could take the interpreter down run in a child process.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import kiv

from reliability_support import decode, text_like


def run_child(script: str) -> subprocess.CompletedProcess[str]:
    """Runs the script in a fresh interpreter; the test judges its exit status and output.

    Under the sanitizers the child reports to its own stderr, which the test sees, rather than to
    the log files of the parent's run.
    """
    env = dict(os.environ)
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] = ":".join(o for o in env[name].split(":") if not o.startswith("log_path="))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120, env=env
    )


@pytest.mark.parametrize("call", ["compress(b'abc')", "flush()"])
def test_methods_of_an_instance_whose_init_never_ran_raise_type_error(call: str) -> None:
    proc = run_child(
        f"""
        import kiv
        c = kiv.compressobj.__new__(kiv.compressobj)
        try:
            c.{call}
        except TypeError:
            print("TypeError")
        """
    )
    assert proc.returncode == 0, f"child died with status {proc.returncode}: {proc.stderr[-500:]}"
    assert proc.stdout.strip() == "TypeError"


def test_subclass_that_skips_the_base_init_is_refused() -> None:
    class Careless(kiv.compressobj):
        def __init__(self) -> None:  # never calls the base __init__
            pass

    with pytest.raises(TypeError):
        Careless()


@pytest.mark.parametrize("fmt", [kiv.KIV_FMT_GZIP, kiv.KIV_FMT_ZLIB, kiv.KIV_FMT_DEFLATE], ids=["gzip", "zlib", "deflate"])
def test_a_second_init_does_not_restart_or_corrupt_the_stream(fmt: int) -> None:
    data = text_like(50_000, seed=3)
    c = kiv.compressobj(1, fmt)
    first = c.compress(data[:20_000])
    c.__init__(0, kiv.KIV_FMT_ZLIB if fmt != kiv.KIV_FMT_ZLIB else kiv.KIV_FMT_GZIP)  # type: ignore[misc]
    stream = first + c.compress(data[20_000:]) + c.flush()
    assert decode(stream, fmt) == data


class LyingBytes(bytes):
    """A bytes subclass whose Python-level length, buffer and conversion all disagree with its storage."""

    def __len__(self) -> int:
        return 10**12

    def __bytes__(self) -> bytes:
        return b"something else"

    def __buffer__(self, flags: int) -> memoryview:  # used from Python 3.12 on
        return memoryview(b"another thing")


def test_bytes_subclass_is_read_from_its_own_storage() -> None:
    data = text_like(10_000, seed=4)
    c = kiv.compressobj(1, kiv.KIV_FMT_GZIP)
    stream = c.compress(LyingBytes(data)) + c.flush()
    assert decode(stream, kiv.KIV_FMT_GZIP) == data
