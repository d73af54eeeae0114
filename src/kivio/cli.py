"""The `kiv` command: gzip's habits, kiv's speed, and no file lost on the way.

Compressing or decompressing a file writes a temporary file in the target folder, flushes and syncs it, gives
it the input's mode and times, moves it to its name and only then removes the input. On any failure (missing
or unreadable input, no room, a full disk, a signal) the temporary file is removed and the input is left as
it was. Messages are one line on standard error; exit status 0 is success, 1 an error, 2 a warning (a file
left alone), as gzip has it. A closed output pipe ends the command quietly, through SIGPIPE.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import signal
import stat
import sys
import tempfile
import time
import zlib
from types import FrameType
from typing import IO, Any, Iterator, NamedTuple, NoReturn, Optional, Sequence

from ._pieces import DEFAULT_CHUNK_SIZE, check_chunk_size, check_threads
from .files import Writer

PROG = "kiv"
EXIT_OK, EXIT_ERROR, EXIT_WARNING = 0, 1, 2

FORMATS = {"gzip": "gzip", "zlib": "zlib", "raw": "deflate", "deflate": "deflate"}
SUFFIXES = {"gzip": ".gz", "zlib": ".zz", "deflate": ".deflate"}
WBITS = {"gzip": 31, "zlib": 15, "deflate": -15}

# Inputs smaller than this finish before a progress bar would tell anything.
PROGRESS_MIN_BYTES = 4 << 20
# Reads and decoded output are handled in blocks of about this size: large enough that system calls cost
# nothing next to the compression, small enough to keep the memory of the command low.
IO_BLOCK = 1 << 20
# Signals that end the command after it has cleaned up (Ctrl-C raises KeyboardInterrupt by itself).
CLEANUP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Skipped(Exception):
    """A file left alone, with a warning (exit status 2)."""


class Failed(Exception):
    """A file that could not be done (exit status 1)."""


class Corrupt(Exception):
    """Compressed input that does not decode."""


class Signalled(BaseException):
    """A termination signal, turned into an exception so that the clean-up runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class Options(NamedTuple):
    decompress: bool
    test: bool
    stdout: bool
    keep: bool
    force: bool
    recursive: bool
    quiet: bool
    verbose: bool
    level: int
    format: str
    suffix: str
    chunk_size: int
    threads: Optional[int]


# -- arguments ----------------------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """Usage errors: one line and exit status 1, as gzip does."""
        self.exit(EXIT_ERROR, f"{PROG}: {message} (see {PROG} --help)\n")


def _chunk_size(text: str) -> int:
    match = re.fullmatch(r"(\d+)\s*([kmg]?)(?:i?b)?", text.strip(), re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: a number of bytes, optionally with K, M or G")
    factor = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[match.group(2).lower()]
    try:
        return check_chunk_size(int(match.group(1)) * factor)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _threads(text: str) -> int:
    try:
        count = check_threads(int(text))
    except ValueError:
        count = None
    if count is None:
        raise argparse.ArgumentTypeError(f"invalid thread count {text!r}: a positive number")
    return count


class _Version(argparse.Action):
    """--version, reading the installed version only when asked (importing the metadata costs time)."""

    def __call__(self, parser: argparse.ArgumentParser, *args: Any, **kwargs: Any) -> NoReturn:
        try:
            from importlib.metadata import version

            number = version("kiv")
        except Exception:  # running from a source tree
            number = "(not installed)"
        print(f"{PROG} {number}")
        parser.exit(EXIT_OK)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Compress or decompress FILEs in place (FILE becomes FILE.gz), or standard input to "
        "standard output when no FILE is given or FILE is -. Fast gzip, zlib or raw DEFLATE with kiv.",
        epilog="Exit status: 0 success, 1 error, 2 warning (a file left alone).",
    )
    parser.add_argument("files", nargs="*", metavar="FILE", help="files to (de)compress; - is standard input")
    parser.add_argument("-c", "--stdout", action="store_true", help="write to standard output, keep the input files")
    parser.add_argument("-d", "--decompress", action="store_true", help="decompress")
    parser.add_argument("-t", "--test", action="store_true", help="check that the compressed files decode")
    parser.add_argument("-k", "--keep", action="store_true", help="keep (don't delete) the input files")
    parser.add_argument(
        "-f", "--force", action="store_true",
        help="overwrite existing outputs, follow symbolic links, write compressed data to a terminal",
    )
    parser.add_argument("-r", "--recursive", action="store_true", help="walk into directories")
    parser.add_argument("-q", "--quiet", action="store_true", help="no warnings and no progress bar")
    parser.add_argument("-v", "--verbose", action="store_true", help="print ratio and speed for each file")
    parser.add_argument("-S", "--suffix", metavar="SUF", help="suffix of compressed files (default .gz; "
                        ".zz for zlib, .deflate for raw)")
    parser.add_argument("--format", choices=sorted(FORMATS), default="gzip",
                        help="container of the compressed data (default gzip)")
    # As in gzip, the last level given counts.
    levels = parser.add_argument_group("levels")
    levels.add_argument("-0", dest="level", action="store_const", const=0, help="store only, no compression")
    levels.add_argument("-1", "--fast", dest="level", action="store_const", const=1,
                        help="search for matches (the default)")
    for digit in range(2, 9):
        levels.add_argument(f"-{digit}", dest="level", action="store_const", const=digit, help=argparse.SUPPRESS)
    levels.add_argument("-9", "--best", dest="level", action="store_const", const=9,
                        help="-2 to -9 and --best are the same as -1: kiv has one searching level")
    parser.add_argument("--chunk-size", type=_chunk_size, default=DEFAULT_CHUNK_SIZE, metavar="SIZE",
                        help="input piece size, e.g. 64K or 4M (default 1M): larger compresses a little better")
    parser.add_argument("-T", "--threads", type=_threads, metavar="N",
                        help="use at most N threads (default: the available cores); the output is the same")
    parser.add_argument("-V", "--version", action=_Version, nargs=0, help="print the version and exit")
    parser.set_defaults(level=1)
    return parser


def parse_options(argv: Optional[Sequence[str]]) -> tuple[Options, list[str]]:
    parser = build_parser()
    args = parser.parse_args(argv)
    fmt = FORMATS[args.format]
    suffix = SUFFIXES[fmt] if args.suffix is None else args.suffix
    if not suffix or os.sep in suffix or (os.altsep and os.altsep in suffix):
        parser.error(f"invalid suffix {suffix!r}")
    opts = Options(
        decompress=args.decompress or args.test, test=args.test, stdout=args.stdout or args.test,
        keep=args.keep or args.stdout or args.test, force=args.force, recursive=args.recursive,
        quiet=args.quiet, verbose=args.verbose and not args.quiet, level=args.level, format=fmt,
        suffix=suffix, chunk_size=args.chunk_size, threads=args.threads,
    )
    return opts, args.files or ["-"]


# -- moving data --------------------------------------------------------------------------------------------


class _Counter:
    """A binary sink that counts what passes through to `target` (None: discard), and names `target` in the
    errors it raises."""

    def __init__(self, target: Optional[IO[bytes]], label: str) -> None:
        self.target = target
        self.label = label
        self.count = 0

    def write(self, data: bytes) -> Optional[int]:
        try:
            written = len(data) if self.target is None else self.target.write(data)
        except OSError as exc:
            if exc.filename is None:
                exc.filename = self.label
            raise
        self.count += len(data) if written is None else written
        return written

    def flush(self) -> None:
        pass  # the callers sync what needs syncing


class _Progress:
    """A progress bar on standard error, only where a person watches it: a terminal, a big input, no -q."""

    def __init__(self, opts: Options, name: str, total: Optional[int]) -> None:
        self.bar: Any = None
        if opts.quiet or opts.test or total is None or total < PROGRESS_MIN_BYTES or not _isatty(sys.stderr):
            return
        from tqdm import tqdm  # type: ignore[import-untyped]  # here: only a terminal ever shows it

        self.bar = tqdm(total=total, desc=os.path.basename(name), unit="B", unit_scale=True, leave=False,
                        file=sys.stderr, dynamic_ncols=True, mininterval=0.2, postfix="ratio -")

    def update(self, consumed: int, raw: int, packed: int) -> None:
        if self.bar is not None:
            ratio = raw / packed if packed else 0.0
            self.bar.set_postfix_str(f"ratio {ratio:.2f}", refresh=False)
            self.bar.update(consumed)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream is not None and os.isatty(stream.fileno()))
    except (OSError, ValueError, AttributeError):
        return False


class Result(NamedTuple):
    raw: int
    packed: int
    seconds: float


def compress_stream(src: IO[bytes], dst: _Counter, opts: Options, progress: _Progress) -> Result:
    """Compresses all of `src` into `dst` as one stream."""
    out = dst
    started = time.perf_counter()
    # Reads of whole pieces go to the compressor without a copy. With threads the writer gathers them into
    # its batches, which its threads compress while the next blocks are read.
    block = bytearray(opts.chunk_size * max(1, IO_BLOCK // opts.chunk_size))
    raw = 0
    with memoryview(block) as view:
        writer = Writer(out, "wb", opts.level, format=opts.format, chunk_size=opts.chunk_size,
                        threads=opts.threads)
        try:
            while True:
                n = src.readinto(view)  # type: ignore[attr-defined]
                if not n:
                    break
                writer.write(view[:n])
                raw += n
                progress.update(n, raw, out.count)
        finally:
            writer.close()
    return Result(raw, out.count, time.perf_counter() - started)


def decompress_stream(src: IO[bytes], dst: _Counter, opts: Options, progress: _Progress) -> Result:
    """Decodes all of `src` into `dst` (None: only check it); Corrupt if it does not decode to its end.

    A gzip input may hold several members (as `kivio.open(..., "a")` makes); a zlib or raw input holds one
    stream. Output is made in bounded blocks, so a small input that expands enormously needs no memory.
    """
    out = dst
    started = time.perf_counter()
    wbits = WBITS[opts.format]
    decoder: Any = zlib.decompressobj(wbits)
    in_member = False
    packed = 0
    pending = b""
    try:
        while True:
            if not pending:
                pending = src.read(IO_BLOCK)
                if not pending:
                    break
                packed += len(pending)
                progress.update(len(pending), out.count, packed)
            in_member = True
            out.write(decoder.decompress(pending, IO_BLOCK))
            pending = decoder.unconsumed_tail
            if decoder.eof:
                pending, in_member = decoder.unused_data, False
                if opts.format != "gzip":
                    if pending or src.read(1):
                        raise Corrupt("trailing data after the end of the stream")
                    break
                decoder = zlib.decompressobj(wbits)  # the next member, or trailing data that it refuses
        if in_member:
            out.write(decoder.flush())  # the end of a match whose input came last
            if not decoder.eof:
                raise Corrupt("unexpected end of file")
        elif packed == 0:
            raise Corrupt("empty input")
    except zlib.error as exc:
        raise Corrupt(str(exc).split(": ", 1)[-1]) from None
    return Result(out.count, packed, time.perf_counter() - started)


# -- one input ----------------------------------------------------------------------------------------------


def _describe(exc: OSError, name: str) -> str:
    return f"{exc.filename if exc.filename is not None else name}: {exc.strerror or exc}"


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds Ctrl-C and the termination signals back for a few system calls that must run to their end."""
    held = {signal.SIGINT, *CLEANUP_SIGNALS}
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    before = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def _remove_quietly(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)


def _sync_folder(folder: str) -> None:
    """Makes a rename in `folder` durable; file systems that cannot sync a folder are left as they are."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def _install(tmp: str, target: str, force: bool) -> None:
    """Gives the finished temporary file its name; without `force` never replaces a file that appeared."""
    if force:
        os.replace(tmp, target)
        return
    try:
        os.link(tmp, target)  # fails if the target exists, where a rename would replace it
    except FileExistsError:
        raise Skipped(f"{target} already exists; not overwritten") from None
    except OSError:  # a file system without hard links
        if os.path.lexists(target):
            raise Skipped(f"{target} already exists; not overwritten") from None
        os.replace(tmp, target)
        return
    os.unlink(tmp)


def _target_of(path: str, opts: Options) -> str:
    name = os.path.basename(path)
    if opts.decompress:
        if not name.endswith(opts.suffix) or name == opts.suffix:
            raise Skipped(f"{path}: unknown suffix -- ignored")
        return path[: -len(opts.suffix)]
    if name.endswith(opts.suffix):
        raise Skipped(f"{path} already has {opts.suffix} suffix -- unchanged")
    return path + opts.suffix


def _open_input(path: str, opts: Options) -> tuple[IO[bytes], os.stat_result]:
    """Opens a regular file for reading; symbolic links only with -f. Skipped or OSError otherwise."""
    try:
        st = os.lstat(path)
    except OSError as exc:
        raise Failed(_describe(exc, path)) from None
    if stat.S_ISDIR(st.st_mode):
        raise Skipped(f"{path} is a directory -- ignored")
    if stat.S_ISLNK(st.st_mode) and not opts.force:
        raise Skipped(f"{path} is a symbolic link -- ignored (use -f to follow it)")
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)
    if not opts.force:
        flags |= getattr(os, "O_NOFOLLOW", 0)
    try:
        fd = os.open(path, flags)
    except OSError as exc:
        raise Failed(_describe(exc, path)) from None
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode):
        os.close(fd)
        kind = "a directory" if stat.S_ISDIR(st.st_mode) else "not a directory or a regular file"
        raise Skipped(f"{path} is {kind} -- ignored")
    if st.st_nlink > 1 and not opts.force and not opts.keep:
        os.close(fd)
        others = st.st_nlink - 1
        raise Skipped(f"{path} has {others} other link{'s' if others > 1 else ''} -- unchanged")
    return os.fdopen(fd, "rb"), st


def _copy_metadata(fd: int, st: os.stat_result) -> None:
    """The input's permissions, owner (when allowed) and times go to the output, as gzip does."""
    with contextlib.suppress(OSError):
        os.fchown(fd, st.st_uid, st.st_gid)
    os.fchmod(fd, stat.S_IMODE(st.st_mode))
    os.utime(fd, ns=(st.st_atime_ns, st.st_mtime_ns))


def _transform(src: IO[bytes], dst: Optional[IO[bytes]], label: str, opts: Options, name: str,
               total: Optional[int]) -> Result:
    """(De)compresses `src` (called `name`) into `dst` (called `label`; None: only decode)."""
    progress = _Progress(opts, name, total)
    out = _Counter(dst, label)
    try:
        if opts.decompress:
            return decompress_stream(src, out, opts, progress)
        return compress_stream(src, out, opts, progress)
    finally:
        progress.close()


def _report(opts: Options, name: str, result: Result, outcome: str) -> None:
    if not opts.verbose:
        return
    if opts.test:
        print(f"{name}:\tOK", file=sys.stderr)
        return
    raw, packed = result.raw, result.packed
    ratio = raw / packed if packed else 0.0
    saved = 100.0 * (1 - packed / raw) if raw else 0.0
    speed = raw / result.seconds / 1e6 if result.seconds > 0 else 0.0
    print(f"{name}:\tratio {ratio:.3f} ({saved:.1f}% saved), {speed:.1f} MB/s{outcome}", file=sys.stderr)


def process_file(path: str, opts: Options, stdout: Optional[IO[bytes]]) -> None:
    """(De)compresses one named file: to standard output with -c or -t, else through a temporary file."""
    if not opts.stdout or not (opts.decompress or opts.force):
        target = _target_of(path, opts)
    if not opts.stdout:
        if os.path.lexists(target) and not opts.force:
            raise Skipped(f"{target} already exists; not overwritten")
    src, st = _open_input(path, opts)
    with src:
        try:
            if opts.stdout:
                result = _transform(src, None if opts.test else stdout, "stdout", opts, path, st.st_size)
                _report(opts, path, result, "")
                return
            result = _to_temporary_then_rename(src, st, target, opts, path)
        except Corrupt as exc:
            raise Failed(f"{path}: invalid compressed data -- {exc}") from None
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise Failed(_describe(exc, path)) from None
    if not opts.keep:
        try:
            os.unlink(path)
        except OSError as exc:
            raise Failed(f"{_describe(exc, path)} (the output {target} is complete; the input was kept)") from None
    _report(opts, path, result, f" -- written to {target}" if opts.keep else f" -- replaced with {target}")


def _to_temporary_then_rename(src: IO[bytes], st: os.stat_result, target: str, opts: Options, path: str) -> Result:
    folder = os.path.dirname(target) or "."
    try:
        fd, tmp = tempfile.mkstemp(prefix=".kiv-", suffix=".tmp", dir=folder)
    except OSError as exc:
        raise Failed(f"{target}: cannot create a file in {folder}: {exc.strerror or exc}") from None
    done = False
    try:
        with os.fdopen(fd, "wb", buffering=0) as dst:
            result = _transform(src, dst, target, opts, path, st.st_size)
            os.fsync(dst.fileno())
            _copy_metadata(dst.fileno(), st)
        with _signals_held():
            _install(tmp, target, opts.force)
            done = True
            _sync_folder(folder)
        return result
    finally:
        if not done:
            with _signals_held():
                _remove_quietly(tmp)


def process_stdin(opts: Options, stdout: Optional[IO[bytes]]) -> None:
    src = sys.stdin.buffer if sys.stdin is not None else None
    if src is None:
        raise Failed("standard input is closed")
    if opts.decompress and not opts.force and _isatty(sys.stdin):
        raise Failed("compressed data not read from a terminal; use -f to force decompression")
    total = None
    with contextlib.suppress(OSError, ValueError):
        st = os.fstat(src.fileno())
        if stat.S_ISREG(st.st_mode):
            total = st.st_size - src.tell()
    try:
        result = _transform(src, None if opts.test else stdout, "stdout", opts, "stdin", total)
    except Corrupt as exc:
        raise Failed(f"stdin: invalid compressed data -- {exc}") from None
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise Failed(_describe(exc, "stdin")) from None
    _report(opts, "stdin", result, "")


def _expand(paths: Sequence[str], opts: Options) -> Iterator[str]:
    """The inputs, with the regular files under directories with -r (in a stable order); recursion skips
    files that do not fit the direction (already compressed, or without the suffix) silently, as gzip does."""
    for path in paths:
        if path == "-" or not opts.recursive or not os.path.isdir(path) or os.path.islink(path):
            yield path
            continue
        for folder, dirs, files in os.walk(path):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(opts.suffix) != opts.decompress:
                    continue
                yield os.path.join(folder, name)


# -- the command --------------------------------------------------------------------------------------------


def _raise_signalled(signum: int, frame: Optional[FrameType]) -> None:
    raise Signalled(signum)


def _die_by(signum: int) -> int:
    """Ends the process by `signum`, as a tool killed by it would end, so that a shell sees the signal."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        sys.stderr.flush()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    return 128 + signum  # not reached where the signal kills


def _stdout_file() -> Optional[IO[bytes]]:
    """Standard output as an unbuffered binary file, so that nothing is left in a buffer at exit."""
    if sys.stdout is None:
        return None
    try:
        return open(sys.stdout.fileno(), "wb", buffering=0, closefd=False)
    except (OSError, ValueError, AttributeError):
        return None


def run(opts: Options, paths: Sequence[str]) -> int:
    writes_stdout = (opts.stdout and not opts.test) or (not opts.test and "-" in paths)
    stdout = _stdout_file() if writes_stdout else None
    if writes_stdout and stdout is None:
        return _fail("standard output is closed")
    if writes_stdout and not opts.decompress and not opts.force and _isatty(sys.stdout):
        return _fail("compressed data not written to a terminal; use -f to force compression")
    if writes_stdout and opts.format != "gzip" and not opts.decompress and len(paths) > 1:
        return _fail(f"{opts.format} streams cannot be joined: give one input with -c, or use gzip")
    status = EXIT_OK
    for path in _expand(paths, opts):
        try:
            if path == "-":
                process_stdin(opts, stdout)
            else:
                process_file(path, opts, stdout)
        except Skipped as exc:
            if not opts.quiet:
                print(f"{PROG}: {exc}", file=sys.stderr)
            if status == EXIT_OK:
                status = EXIT_WARNING
        except Failed as exc:
            print(f"{PROG}: {exc}", file=sys.stderr)
            status = EXIT_ERROR
    return status


def _fail(message: str) -> int:
    print(f"{PROG}: {message}", file=sys.stderr)
    return EXIT_ERROR


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command; returns its exit status (or ends the process by the signal that stopped it)."""
    previous = {signum: signal.signal(signum, _raise_signalled) for signum in CLEANUP_SIGNALS}
    try:
        opts, paths = parse_options(argv)
        return run(opts, paths)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return _die_by(signal.SIGINT)
    except Signalled as exc:
        print(f"{PROG}: stopped by {signal.Signals(exc.signum).name}", file=sys.stderr)
        return _die_by(exc.signum)
    except BrokenPipeError:
        return _die_by(signal.SIGPIPE) if hasattr(signal, "SIGPIPE") else EXIT_ERROR
    except MemoryError:
        return _fail("out of memory")
    except Exception as exc:  # a fault of the command itself: still one line, never a traceback
        return _fail(f"internal error: {type(exc).__name__}: {exc}")
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
