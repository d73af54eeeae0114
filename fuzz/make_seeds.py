#!/usr/bin/env python3
"""Writes the seed corpus of the engine fuzz target into fuzz/seeds/engine/.

Each seed is a fuzz input in the layout that engine_fuzzer.cpp reads: level and format selectors,
a control byte (number of calls, `more` of the last call, repeat and filler flags), repeat count,
filler length, two bytes per call for its length, then the payload. Run it again after changing the
layout; the files are deterministic.
"""
import os
import random
import struct
import sys

# pick_int in the fuzzer maps v < 0xF8 to v % 8 - 2, and 0xF8.. to the int32 edges.
LEVEL = {0: 2, 1: 3, 2: 4, 3: 5, -1: 1, "INT_MIN": 0xF8, "INT_MAX": 0xF9}
FORMAT = {"gzip": 2, "zlib": 3, "raw": 4, 3: 5, -1: 1, "INT_MIN": 0xF8, "INT_MAX": 0xF9, 256: 0xFC}


def seed(level, fmt, lengths, payload, more=1, repeat=1, gap=0):
    """lengths: the length of every call but the last (the last takes the rest)."""
    calls = len(lengths) + 1
    assert calls <= 31
    control = calls | (more << 5)
    if repeat > 1:
        control |= 0x40
    if gap:
        assert gap % 128 == 0
        control |= 0x80
    head = bytes([LEVEL[level], FORMAT[fmt], control, (repeat - 1) & 0xFF, gap // 128])
    body = b"".join(struct.pack("<H", n) for n in lengths) + struct.pack("<H", 0)
    return head + body + payload


def no_calls(level, fmt):
    return bytes([LEVEL[level], FORMAT[fmt], 0, 0, 0])


def main():
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds", "engine")
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(20240519)
    text = (
        b"It was the best of times, it was the worst of times, it was the age of wisdom, "
        b"it was the age of foolishness, it was the epoch of belief, it was the epoch of incredulity. "
    ) * 8
    high = bytes(rng.randrange(144, 256) for _ in range(51))
    adversarial = b"".join(high + b"WXYZ" for _ in range(1)) + b"".join(
        bytes(rng.randrange(144, 256) for _ in range(51)) + b"WXYZ" for _ in range(30)
    )
    noise = bytes(rng.randrange(256) for _ in range(1500))
    seeds = {
        # finish straight after init, every format and both levels
        "empty_gzip_l1": no_calls(1, "gzip"),
        "empty_zlib_l0": no_calls(0, "zlib"),
        "empty_raw_l1": no_calls(1, "raw"),
        "empty_calls_gzip": seed(1, "gzip", [0, 0, 0], b""),
        "digits_gzip_3calls": seed(1, "gzip", [3, 3], b"123456789"),
        "digits_zlib_3calls": seed(0, "zlib", [4, 0], b"123456789"),
        "abc_level0_gzip": seed(0, "gzip", [], b"abc"),
        "a300_raw": seed(1, "raw", [], b"a" * 300),
        "a300_twice_raw": seed(1, "raw", [300], b"a" * 600),
        "abcdabcd_final": seed(1, "raw", [], b"abcdabcd", more=0),
        "abcdabcdx_final": seed(1, "raw", [], b"abcdabcdx", more=0),
        "high51_literals": seed(1, "zlib", [], bytes([200]) + bytes(rng.randrange(144, 256) for _ in range(50))),
        "high52_stored": seed(1, "raw", [], bytes(rng.randrange(144, 256) for _ in range(52)), more=0),
        "high52_then_match5": seed(1, "raw", [], bytes(rng.randrange(144, 256) for _ in range(60)) + b"QRSTU" * 2),
        "adversarial_growth": seed(1, "gzip", [], adversarial),
        "adversarial_split": seed(1, "raw", [55, 1, 0, 200], adversarial, more=0),
        "text_level1_calls": seed(1, "gzip", [100, 0, 7, 1, 600], text),
        "text_level3_zlib": seed(3, "zlib", [], text, more=0),
        "text_level2_raw": seed(2, "raw", [50], text),
        "noise_level1": seed(1, "raw", [700], noise),
        "noise_level1_final": seed(1, "zlib", [], noise, more=0),
        # 256 x 256 = 65536 bytes: two stored blocks at level 0
        "stored_65536": seed(0, "gzip", [], bytes(range(256)), repeat=256),
        "stored_65535_final": seed(0, "raw", [65535 - 256], bytes(range(255)) + b"!", repeat=256, more=0),
        "long_match_run": seed(1, "zlib", [], b"xyz" * 300, repeat=40),
        # copies at distances 8192, 8193, 16385, 32768 and 32769
        "distance_8192": seed(1, "raw", [], b"abcd" + bytes(rng.randrange(256) for _ in range(124)), repeat=3, gap=8064),
        "distance_8193": seed(1, "raw", [], b"abcd" + bytes(rng.randrange(256) for _ in range(125)), repeat=3, gap=8064),
        "distance_16385": seed(1, "gzip", [], b"abcd" + bytes(rng.randrange(256) for _ in range(129)), repeat=3, gap=16256),
        "distance_32768": seed(1, "raw", [], b"pqrstuvw" * 16, repeat=3, gap=32640),
        "distance_32769": seed(1, "raw", [], b"pqrstuvw" * 16 + b"!", repeat=3, gap=32640),
        "level_int_min": seed("INT_MIN", "INT_MAX", [10], text[:200]),
        "level_int_max": seed("INT_MAX", "INT_MIN", [], text[:200], more=0),
        "format_3": seed(-1, 3, [5], text[:100]),
        "format_minus1": seed(1, -1, [], text[:100]),
        "format_256": seed(1, 256, [], text[:100]),
    }
    for name, data in seeds.items():
        assert len(data) <= 4096, name
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)
    print(f"{len(seeds)} seeds in {out_dir}", file=sys.stderr)

    # The Python target reads its input through atheris' FuzzedDataProvider: any bytes make a script.
    py_dir = os.path.join(os.path.dirname(out_dir), "python")
    os.makedirs(py_dir, exist_ok=True)
    for i, size in enumerate([0, 8, 32, 64, 200, 500, 1000, 2000, 3000, 4000]):
        with open(os.path.join(py_dir, f"random_{i:02d}"), "wb") as f:
            f.write(bytes(rng.randrange(256) for _ in range(size)))
    with open(os.path.join(py_dir, "text"), "wb") as f:
        f.write(text[:2000])


if __name__ == "__main__":
    main()
