#!/usr/bin/env python3
"""atheris fuzz target over kiv.compressobj, driven the way a careless or hostile caller would drive it.

Each input is read as a script:
  - the constructor's `level` and `format`: small values, anywhere in the signed 32-bit range, just
    outside it or far outside it (TypeError expected, and no object), or a wrong type (TypeError);
    passed positionally or by keyword;
  - then up to 48 operations: compress with bytes (plain, a bytes subclass, repeated for longer
    inputs, by keyword), compress with a wrong type (bytearray, str, None, int, memoryview, list:
    TypeError, and the stream must go on as if the call had not been made), flush, and calls after
    flush (compress raises ValueError, a second flush returns b"");
  - a final flush if none came.
The concatenated results must inflate with Python's zlib to the concatenated accepted inputs, with the
container's checksum and length verified and no byte after the end of the stream.

Usage: python_fuzzer.py [libFuzzer options] [corpus dirs]   (see fuzz/run.sh)
"""
import sys
import zlib

import atheris

import kiv

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
WBITS = {0: 31, 1: 15}  # any other format is raw DEFLATE


class BytesSubclass(bytes):
    pass


class AsIndex:
    """An object pybind11 converts to an int through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@atheris.instrument_func
def pick_int_argument(fdp):
    """Returns (value, accepted, effective int)."""
    mode = fdp.ConsumeIntInRange(0, 7)
    if mode <= 2:
        v = fdp.ConsumeIntInRange(-4, 5)
        return v, True, v
    if mode == 3:
        v = fdp.ConsumeIntInRange(INT32_MIN, INT32_MAX)
        return v, True, v
    if mode == 4:
        v = fdp.PickValueInList([INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1, 256, 258, -256])
        return v, True, v
    if mode == 5:
        beyond = fdp.ConsumeIntInRange(1, 2**70)
        v = INT32_MAX + beyond if fdp.ConsumeBool() else INT32_MIN - beyond
        return v, False, None
    if mode == 6:
        v = fdp.ConsumeIntInRange(-3, 3)
        return AsIndex(v), True, v
    wrong = fdp.PickValueInList([1.5, 0.0, "1", None, b"\x01", [1], 1j])
    return wrong, False, None


@atheris.instrument_func
def construct(fdp):
    """Makes the compressobj; returns (obj, format) or (None, None) when the arguments are refused."""
    level, level_ok, _ = pick_int_argument(fdp)
    fmt, fmt_ok, fmt_value = pick_int_argument(fdp)
    style = fdp.ConsumeIntInRange(0, 3)
    try:
        if style == 0:
            obj = kiv.compressobj(level, fmt)
        elif style == 1:
            obj = kiv.compressobj(level=level, format=fmt)
        elif style == 2:
            obj = kiv.compressobj(level, format=fmt)
        else:
            obj = kiv.compressobj(format=fmt, level=level)
    except TypeError:
        if level_ok and fmt_ok:
            raise
        return None, None
    if not (level_ok and fmt_ok):
        raise AssertionError(f"compressobj({level!r}, {fmt!r}) was accepted")
    return obj, fmt_value


def wrong_typed(fdp, data):
    return fdp.PickValueInList(
        [
            lambda: bytearray(data),
            lambda: data.decode("latin-1"),
            lambda: None,
            lambda: len(data),
            lambda: memoryview(data),
            lambda: [data],
        ]
    )()


def decode(stream, fmt):
    d = zlib.decompressobj(WBITS.get(fmt, -15))
    out = d.decompress(stream) + d.flush()
    if not d.eof:
        raise AssertionError("stream does not end")
    if d.unused_data:
        raise AssertionError(f"{len(d.unused_data)} bytes after the end of the stream")
    return out


@atheris.instrument_func
def test_one_input(raw):
    fdp = atheris.FuzzedDataProvider(raw)
    obj, fmt = construct(fdp)
    if obj is None:
        return
    fed = []
    out = []
    flushed = False
    for _ in range(fdp.ConsumeIntInRange(0, 48)):
        op = fdp.ConsumeIntInRange(0, 9)
        if op <= 4:
            data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 600))
            if op == 4:
                data = data * fdp.ConsumeIntInRange(1, 300)
            kind = fdp.ConsumeIntInRange(0, 2)
            arg = BytesSubclass(data) if kind == 1 else data
            try:
                result = obj.compress(obj=arg) if kind == 2 else obj.compress(arg)
            except ValueError:
                if not flushed:
                    raise
                continue
            if flushed:
                raise AssertionError("compress after flush was accepted")
            if type(result) is not bytes:
                raise AssertionError(f"compress returned {type(result)}")
            fed.append(data)
            out.append(result)
        elif op <= 6:
            bad = wrong_typed(fdp, fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64)))
            try:
                obj.compress(bad)
            except TypeError:
                continue
            raise AssertionError(f"compress({type(bad).__name__}) was accepted")
        elif op == 7:
            result = obj.flush()
            if flushed:
                if result != b"":
                    raise AssertionError("second flush returned bytes")
            else:
                out.append(result)
                flushed = True
        elif op == 8:
            try:
                obj.compress()
            except TypeError:
                continue
            raise AssertionError("compress() without an argument was accepted")
        else:
            try:
                obj.flush(b"")
            except TypeError:
                continue
            raise AssertionError("flush with an argument was accepted")
    if not flushed:
        out.append(obj.flush())
    if obj.flush() != b"":
        raise AssertionError("flush after flush returned bytes")
    stream = b"".join(out)
    expected = b"".join(fed)
    if decode(stream, fmt) != expected:
        raise AssertionError("stream does not decode to the input")


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
