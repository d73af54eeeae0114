"""Helpers of the tests of threaded compression: data sets that exercise every kind of join, and the
threads of this process counted."""

from __future__ import annotations

import functools
import os
import random
import time
from typing import Callable

from kivio_support import text_like

# Bytes 0..255 mapped onto 144..255: nine-bit literals only.
TO_HIGH = bytes(144 + b * 112 // 256 for b in range(256))


def high_bytes(n: int, seed: int) -> bytes:
    """Bytes 144..255 only: nine-bit literals, so level 1 sends them as stored blocks."""
    return random.Random(seed).randbytes(n).translate(TO_HIGH)


def adversarial(n: int, seed: int) -> bytes:
    """Runs of 51 high bytes, each followed by a 4-byte match: level 1's most expensive input, switching
    between stored blocks and fixed codes all the time."""
    noise = high_bytes(51 * (n // 55 + 1), seed)
    return b"".join(run + run[:4] for run in (noise[i : i + 51] for i in range(0, len(noise), 51)))[:n]


def runs(n: int, seed: int) -> bytes:
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < n:
        out += bytes([rng.randrange(256)]) * rng.randint(1, 600)
    return bytes(out[:n])


def binary(n: int, seed: int) -> bytes:
    """Records of small integers and repeated fields, like a table in a database file."""
    rng = random.Random(seed)
    fields = [rng.randbytes(rng.randint(2, 12)) for _ in range(30)]
    out = bytearray()
    while len(out) < n:
        out += rng.randrange(1 << 16).to_bytes(4, "little") + rng.choice(fields)
    return bytes(out[:n])


DATA_SETS: dict[str, Callable[[int, int], bytes]] = {
    "text": lambda n, seed: text_like(n, seed),
    "binary": binary,
    "runs": runs,
    "incompressible": lambda n, seed: random.Random(seed).randbytes(n),
    "high_bytes": high_bytes,
    "adversarial": adversarial,
}


@functools.lru_cache(maxsize=None)
def data_set(name: str, n: int) -> bytes:
    """`n` bytes of the named data set, made once."""
    return DATA_SETS[name](n, len(name))


def task_count(expected: int | None = None) -> int:
    """Threads of this process, native ones included. With `expected`, waits up to a second for the count
    to settle there: a joined Python thread's system thread may take a moment more to end."""
    deadline = time.monotonic() + 1
    while True:
        n = len(os.listdir("/proc/self/task"))
        if n == expected or expected is None or time.monotonic() > deadline:
            return n
        time.sleep(0.005)
