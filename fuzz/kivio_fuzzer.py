#!/usr/bin/env python3
"""atheris fuzz target over kivio.Compressor: any constructor arguments, buffers of every kind, flush modes.

Each input is read as a script:
  - the constructor's `level` and `format`: valid values (ints, strings in any case), values just or far
    outside the valid range (ValueError, and no object), or wrong types (TypeError);
  - then up to 48 operations: compress with a buffer of some kind (bytes, bytearray, memoryview slices and
    casts, array.array, non-contiguous views that must raise TypeError and change nothing), flush with
    SYNC_FLUSH, FULL_FLUSH or FINISH, flush with a wrong mode (ValueError or TypeError), and calls after
    FINISH (ValueError; another FINISH returns b"");
  - a final FINISH if none came.
After every flush point the bytes so far must inflate to exactly the input so far; a flush straight after
another writes nothing and every other one ends with 00 00 FF FF. The whole stream must inflate with its
checksum verified and nothing after its end.

Usage: kivio_fuzzer.py [libFuzzer options] [corpus dirs]   (see fuzz/run.sh)
"""
import array
import sys
import zlib

import atheris

with atheris.instrument_imports():
    import kivio

WBITS = {kivio.GZIP: 31, kivio.ZLIB: 15, kivio.DEFLATE: -15}
FORMAT_NAMES = {"gzip": kivio.GZIP, "zlib": kivio.ZLIB, "deflate": kivio.DEFLATE, "raw": kivio.DEFLATE}


@atheris.instrument_func
def pick_level(fdp):
    """Returns (value, expected exception or None, effective engine level)."""
    mode = fdp.ConsumeIntInRange(0, 4)
    if mode <= 2:
        v = fdp.ConsumeIntInRange(-3, 12)
        return v, (None if -1 <= v <= 9 else ValueError), v
    if mode == 3:
        v = fdp.ConsumeIntInRange(-(2**70), 2**70)
        return v, (None if -1 <= v <= 9 else ValueError), v
    return fdp.PickValueInList([1.0, "1", None, b"\x01"]), TypeError, None


@atheris.instrument_func
def pick_format(fdp):
    """Returns (value, expected exception or None, format code)."""
    mode = fdp.ConsumeIntInRange(0, 4)
    if mode <= 1:
        v = fdp.ConsumeIntInRange(-2, 4)
        return v, (None if 0 <= v <= 2 else ValueError), v
    if mode == 2:
        name = fdp.PickValueInList(list(FORMAT_NAMES))
        cased = "".join(ch.upper() if fdp.ConsumeBool() else ch for ch in name)
        return cased, None, FORMAT_NAMES[name]
    if mode == 3:
        return fdp.ConsumeUnicodeNoSurrogates(6), "str", None
    return fdp.PickValueInList([0.0, b"gzip", None, [0]]), TypeError, None


def as_buffer(fdp, data):
    """A contiguous buffer whose bytes are `data`, of a kind chosen by the input."""
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return data
    if kind == 1:
        return bytearray(data)
    if kind == 2:
        return memoryview(data)
    if kind == 3:
        return memoryview(b"<" + data + b">")[1:-1]
    if kind == 4 and len(data) % 4 == 0 and data:
        return memoryview(bytearray(data)).cast("I")
    if kind == 5 and len(data) % 2 == 0:
        return array.array("H", data)
    return bytes(data)


@atheris.instrument_func
def construct(fdp):
    level, level_error, _ = pick_level(fdp)
    fmt, fmt_error, fmt_value = pick_format(fdp)
    if fmt_error == "str":  # a random string: valid only when it names a format
        fmt_error = None if fmt.lower() in FORMAT_NAMES else ValueError
        fmt_value = FORMAT_NAMES.get(fmt.lower())
    expected = level_error or fmt_error  # the level is checked first
    try:
        if fdp.ConsumeBool():
            obj = kivio.Compressor(level, fmt)
        else:
            obj = kivio.Compressor(format=fmt, level=level)
    except (TypeError, ValueError) as e:
        if type(e) is not expected:
            raise AssertionError(f"Compressor({level!r}, {fmt!r}) raised {e!r}") from e
        return None, None
    if expected is not None:
        raise AssertionError(f"Compressor({level!r}, {fmt!r}) was accepted")
    return obj, fmt_value


@atheris.instrument_func
def test_one_input(raw):
    fdp = atheris.FuzzedDataProvider(raw)
    obj, fmt = construct(fdp)
    if obj is None:
        return
    inflater = zlib.decompressobj(WBITS[fmt])
    fed = bytearray()
    decoded = bytearray()
    out = []
    finished = False
    flushed_last = False
    for _ in range(fdp.ConsumeIntInRange(0, 48)):
        op = fdp.ConsumeIntInRange(0, 9)
        if op <= 3:
            data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 600))
            if op == 3:
                data = data * fdp.ConsumeIntInRange(1, 300)
            try:
                result = obj.compress(as_buffer(fdp, data))
            except ValueError:
                if not finished:
                    raise
                continue
            if finished:
                raise AssertionError("compress after FINISH was accepted")
            if type(result) is not bytes:
                raise AssertionError(f"compress returned {type(result)}")
            fed += data
            out.append(result)
            decoded += inflater.decompress(result)
            flushed_last = False
        elif op == 4:
            bad = fdp.PickValueInList([memoryview(b"abcdefgh")[::2], "text", None, 5, [b"a"]])
            try:
                obj.compress(bad)
            except TypeError:
                continue
            raise AssertionError(f"compress({bad!r}) was accepted")
        elif op <= 7:
            mode = kivio.SYNC_FLUSH if op == 5 else kivio.FULL_FLUSH
            try:
                result = obj.flush(mode) if fdp.ConsumeBool() else obj.flush(mode=mode)
            except ValueError:
                if not finished:
                    raise
                continue
            if finished:
                raise AssertionError("a flush point after FINISH was accepted")
            if flushed_last != (result == b""):
                raise AssertionError(f"flush point wrote {result!r} (straight after another: {flushed_last})")
            if result and not result.endswith(b"\x00\x00\xff\xff"):
                raise AssertionError(f"flush point {result!r} does not end with an empty stored block")
            flushed_last = True
            out.append(result)
            decoded += inflater.decompress(result)
            if decoded != fed:
                raise AssertionError("the bytes so far do not decode to the input so far")
        elif op == 8:
            result = obj.flush() if fdp.ConsumeBool() else obj.flush(kivio.FINISH)
            if finished and result != b"":
                raise AssertionError("FINISH after FINISH wrote bytes")
            out.append(result)
            finished = True
        else:
            bad_mode = fdp.PickValueInList([0, 1, 5, -1, 2**40, 4.0, "4", None])
            try:
                obj.flush(bad_mode)
            except (ValueError, TypeError):
                continue
            raise AssertionError(f"flush({bad_mode!r}) was accepted")
    if not finished:
        out.append(obj.flush())
    stream = b"".join(out)
    d = zlib.decompressobj(WBITS[fmt])
    whole = d.decompress(stream) + d.flush()
    if not d.eof or d.unused_data:
        raise AssertionError("the stream does not end exactly at its last byte")
    if whole != fed:
        raise AssertionError("the stream does not decode to the input")


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
