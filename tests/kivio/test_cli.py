"""The kiv command, run as a subprocess on real files: results, exit statuses, and every failure leaving the
input as it was and no output behind."""

from __future__ import annotations

import ctypes
import errno
import fcntl
import gzip
import os
import pty
import resource
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
import zlib
from pathlib import Path
from typing import Any, Callable, Iterator, Optional

import pytest
from kivio_support import text_like
from stream_support import decode, mixed

import kivio

KIV = [sys.executable, "-m", "kivio"]
DATA = mixed(400_000)


def kiv(*args: Any, **kwargs: Any) -> subprocess.CompletedProcess[bytes]:
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("timeout", 60)
    return subprocess.run([*KIV, *map(str, args)], **kwargs)


def one_line(stderr: bytes) -> str:
    text = stderr.decode()
    assert text.count("\n") == 1 and text.startswith("kiv: ") and "Traceback" not in text, text
    return text


def snapshot(folder: Path) -> dict[str, bytes]:
    """Every file under `folder` with its bytes (temporary files included, so stray output shows)."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture
def sample(tmp_path: Path) -> Path:
    path = tmp_path / "data.bin"
    path.write_bytes(DATA)
    os.utime(path, (1_000_000_000, 1_200_000_000))
    path.chmod(0o640)
    return path


# -- what the command makes ---------------------------------------------------------------------------------


def test_compress_replaces_the_file_and_keeps_its_metadata(sample: Path) -> None:
    proc = kiv(sample)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, b"", b"")
    out = sample.with_name("data.bin.gz")
    assert not sample.exists()
    stream = out.read_bytes()
    assert decode(stream) == DATA
    assert stream == kivio.compress(DATA)  # whole pieces straight from the reads
    st = out.stat()
    assert (st.st_mtime, st.st_mode & 0o777) == (1_200_000_000, 0o640)
    # And back.
    proc = kiv("-d", out)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert sample.read_bytes() == DATA and not out.exists() and sample.stat().st_mtime == 1_200_000_000


@pytest.mark.parametrize(
    "fmt, suffix, wbits", [("gzip", ".gz", 31), ("zlib", ".zz", 15), ("raw", ".deflate", -15)]
)
@pytest.mark.parametrize("level", ["-0", "-1", "-9"])
def test_formats_levels_and_chunk_size(sample: Path, fmt: str, suffix: str, wbits: int, level: str) -> None:
    proc = kiv("-k", level, "--format", fmt, "--chunk-size", "64K", sample)
    assert proc.returncode == 0, proc.stderr
    stream = sample.with_name(sample.name + suffix).read_bytes()
    assert stream == kivio.compress(DATA, int(level[1]), "deflate" if fmt == "raw" else fmt, chunk_size=65536)
    assert zlib.decompress(stream, wbits) == DATA
    assert sample.read_bytes() == DATA


def test_stdout_stdin_and_suffix(sample: Path, tmp_path: Path) -> None:
    proc = kiv("-c", sample)
    assert proc.returncode == 0 and sample.exists() and decode(proc.stdout) == DATA
    proc = kiv(input=DATA)  # no FILE: standard input to standard output
    assert proc.returncode == 0 and proc.stdout == kivio.compress(DATA)
    proc = kiv("-", "-d", input=proc.stdout)
    assert proc.stdout == DATA
    assert kiv("-S", ".kz", sample).returncode == 0
    assert decode(sample.with_name("data.bin.kz").read_bytes()) == DATA
    assert kiv("-d", "-S", ".kz", sample.with_name("data.bin.kz")).returncode == 0
    assert sample.read_bytes() == DATA


def test_decompress_reads_members_and_what_gzip_writes(tmp_path: Path) -> None:
    path = tmp_path / "two.gz"
    path.write_bytes(kivio.compress(b"first\n") + gzip.compress(b"second\n", 9))
    proc = kiv("-dc", path)
    assert (proc.returncode, proc.stdout) == (0, b"first\nsecond\n")


def test_recursive(tmp_path: Path) -> None:
    tree = {"a.txt": b"a" * 1000, "sub/b.txt": text_like(5000), "sub/deeper/c": b"", "sub/old.gz": b"not ours"}
    for name, body in tree.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(body)
    proc = kiv("-r", tmp_path)
    assert (proc.returncode, proc.stderr) == (0, b"")
    assert sorted(snapshot(tmp_path)) == ["a.txt.gz", "sub/b.txt.gz", "sub/deeper/c.gz", "sub/old.gz"]
    assert (tmp_path / "sub/old.gz").read_bytes() == b"not ours"  # already compressed: left alone, silently
    proc = kiv("-t", "-r", "-v", tmp_path / "sub" / "deeper")
    assert proc.returncode == 0 and b"OK" in proc.stderr
    proc = kiv("-dr", tmp_path)
    assert proc.returncode == 1  # sub/old.gz is no gzip data
    assert snapshot(tmp_path) == tree


def test_verbose_prints_ratio_and_speed(sample: Path) -> None:
    proc = kiv("-v", "-k", sample)
    line = proc.stderr.decode()
    assert proc.returncode == 0 and line.count("\n") == 1
    assert line.startswith(f"{sample}:") and "ratio" in line and "MB/s" in line and "written to" in line


def test_test_mode(sample: Path, tmp_path: Path) -> None:
    good = tmp_path / "good.gz"
    good.write_bytes(kivio.compress(DATA))
    assert kiv("-t", good).returncode == 0
    for name, body, message in [
        ("cut.gz", kivio.compress(DATA)[:-5], "unexpected end of file"),
        ("crc.gz", kivio.compress(DATA)[:-8] + b"\0" * 8, "incorrect data check"),
        ("junk.gz", kivio.compress(DATA) + b"junk", "invalid compressed data"),
        ("empty.gz", b"", "empty input"),
    ]:
        (tmp_path / name).write_bytes(body)
        proc = kiv("-t", tmp_path / name)
        assert proc.returncode == 1 and message in one_line(proc.stderr), (name, proc.stderr)


# -- files left alone, with a warning (exit status 2) ------------------------------------------------------


def test_warnings(tmp_path: Path, sample: Path) -> None:
    (tmp_path / "dir").mkdir()
    (tmp_path / "data.bin.gz").write_bytes(b"existing")
    (tmp_path / "link").symlink_to(sample)
    (tmp_path / "plain").write_bytes(b"plain")
    before = snapshot(tmp_path)
    for args, message in [
        ((sample,), "already exists; not overwritten"),
        ((tmp_path / "dir",), "is a directory -- ignored"),
        ((tmp_path / "data.bin.gz",), "already has .gz suffix -- unchanged"),
        ((tmp_path / "link",), "is a symbolic link -- ignored"),
        (("-d", tmp_path / "plain"), "unknown suffix -- ignored"),
    ]:
        proc = kiv(*args)
        assert proc.returncode == 2 and message in one_line(proc.stderr), (args, proc.stderr)
        assert kiv("-q", *args).stderr == b""
    assert snapshot(tmp_path) == before
    # -f replaces the existing output.
    assert kiv("-f", sample).returncode == 0
    assert decode((tmp_path / "data.bin.gz").read_bytes()) == DATA and not sample.exists()


def test_hard_linked_input_is_not_removed_without_force(sample: Path) -> None:
    os.link(sample, sample.with_name("other"))
    proc = kiv(sample)
    assert proc.returncode == 2 and "has 1 other link" in one_line(proc.stderr)
    assert kiv("-k", sample).returncode == 0  # keeping the input is safe


# -- failures: exit status 1, input untouched, nothing left behind -----------------------------------------


def assert_untouched(folder: Path, before: dict[str, bytes]) -> None:
    assert snapshot(folder) == before, "the input changed, or output was left behind"


def test_missing_input(tmp_path: Path) -> None:
    proc = kiv(tmp_path / "nothere", "-v")
    assert proc.returncode == 1 and "No such file or directory" in one_line(proc.stderr)
    assert snapshot(tmp_path) == {}


def test_errors_win_over_warnings_and_other_files_go_on(tmp_path: Path, sample: Path) -> None:
    (tmp_path / "dir").mkdir()
    proc = kiv(tmp_path / "dir", tmp_path / "nothere", sample)
    assert proc.returncode == 1 and proc.stderr.count(b"\n") == 2
    assert decode(sample.with_name("data.bin.gz").read_bytes()) == DATA


def test_file_size_limit_as_a_full_disk(tmp_path: Path) -> None:
    """RLIMIT_FSIZE makes writes past 100 KB fail (EFBIG), as a full disk would, at a known point."""
    path = tmp_path / "random.bin"
    path.write_bytes(os.urandom(1 << 20))
    before = snapshot(tmp_path)

    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))

    proc = kiv(path, preexec_fn=limit)
    assert proc.returncode == 1 and "File too large" in one_line(proc.stderr)
    assert_untouched(tmp_path, before)


def test_full_standard_output(sample: Path) -> None:
    with open("/dev/full", "wb") as full:
        proc = kiv("-c", sample, stdout=full, stderr=subprocess.PIPE, capture_output=False)
    assert proc.returncode == 1 and "stdout: No space left on device" in one_line(proc.stderr)
    assert sample.read_bytes() == DATA


def test_corrupt_input_leaves_no_output(tmp_path: Path) -> None:
    (tmp_path / "bad.gz").write_bytes(kivio.compress(DATA)[:50_000])
    before = snapshot(tmp_path)
    proc = kiv("-d", tmp_path / "bad.gz")
    assert proc.returncode == 1 and "invalid compressed data -- unexpected end of file" in one_line(proc.stderr)
    assert_untouched(tmp_path, before)


def drop_file_permission_override() -> None:
    """Makes root a user whom file modes bind: the process and what it runs lose the capabilities that
    bypass them (PR_CAPBSET_DROP of CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH)."""
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2):
        if libc.prctl(24, capability, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


@pytest.fixture
def locked(tmp_path: Path) -> Iterator[tuple[Path, Optional[Callable[[], None]]]]:
    """A folder the command may not write into, holding a file it may read and one it may not; and how to
    run the command so that this holds, also as root."""
    folder = tmp_path / "locked"
    folder.mkdir()
    (folder / "readable.txt").write_bytes(DATA)
    (folder / "secret.txt").write_bytes(DATA)
    (folder / "secret.txt").chmod(0o000)
    demote = None
    if os.geteuid() == 0:
        if subprocess.run(["true"], preexec_fn=drop_file_permission_override).returncode != 0:
            pytest.skip("cannot drop the capabilities that bypass file modes")
        for path in (folder, *folder.iterdir()):
            os.chown(path, 65534, 65534)  # someone else's, so that ownership grants root nothing
        demote = drop_file_permission_override
    folder.chmod(0o555)
    yield folder, demote
    folder.chmod(0o755)


def test_permission_denied(locked: tuple[Path, Optional[Callable[[], None]]]) -> None:
    folder, demote = locked
    before = snapshot(folder) if demote else None
    proc = kiv(folder / "readable.txt", preexec_fn=demote)
    assert proc.returncode == 1 and "Permission denied" in one_line(proc.stderr)
    proc = kiv("-c", folder / "secret.txt", preexec_fn=demote)
    assert proc.returncode == 1 and "Permission denied" in one_line(proc.stderr) and proc.stdout == b""
    folder.chmod(0o755)
    (folder / "secret.txt").chmod(0o600)
    assert snapshot(folder) == {"readable.txt": DATA, "secret.txt": DATA}
    assert before is None or snapshot(folder) == before


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_signal_midway(tmp_path: Path, signum: int) -> None:
    """Stopped while the temporary file grows: it goes away, the input stays, the process dies by the signal."""
    path = tmp_path / "input.txt"
    path.write_bytes(text_like(2 << 20))
    before = snapshot(tmp_path)
    # One-byte pieces make the work slow enough to stop it in the middle, whatever the machine.
    with subprocess.Popen([*KIV, "--chunk-size", "1", path], stderr=subprocess.PIPE) as proc:
        deadline = time.monotonic() + 30
        while not any(p.name.startswith(".kiv-") and p.stat().st_size > 0 for p in tmp_path.iterdir()):
            assert proc.poll() is None and time.monotonic() < deadline, "no temporary file appeared"
            time.sleep(0.005)
        proc.send_signal(signum)
        _, stderr = proc.communicate(timeout=30)
    assert proc.returncode == -signum
    one_line(stderr)
    assert_untouched(tmp_path, before)


def test_broken_pipe_ends_quietly(tmp_path: Path) -> None:
    path = tmp_path / "random.bin"
    path.write_bytes(os.urandom(4 << 20))
    with subprocess.Popen([*KIV, "-c", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout is not None and proc.stderr is not None
        assert len(proc.stdout.read(10)) == 10  # like `kiv -c big | head -c 10`
        proc.stdout.close()
        stderr = proc.stderr.read()
        proc.wait(timeout=30)
    assert (proc.returncode, stderr) == (-signal.SIGPIPE, b"")
    assert path.stat().st_size == 4 << 20 and sorted(p.name for p in tmp_path.iterdir()) == ["random.bin"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["-T", "0"], "invalid thread count"),
        (["--threads=-2"], "invalid thread count"),
        (["-T", "x"], "invalid thread count"),
        (["--chunk-size", "0"], "chunk_size must be a positive int"),
        (["--chunk-size", "1Q"], "invalid size"),
        (["--format", "lz4"], "invalid choice"),
        (["-S", ""], "invalid suffix"),
        (["-S", "a/b"], "invalid suffix"),
        (["--no-such-flag"], "unrecognized arguments"),
        (["--format", "zlib", "-c", "a", "b"], "cannot be joined"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_usage_errors(args: list[str], message: str) -> None:
    proc = kiv(*args, input=b"")
    assert proc.returncode == 1 and message in one_line(proc.stderr) and proc.stdout == b""


def test_threads_option_keeps_the_bytes(sample: Path) -> None:
    outputs = {kiv("-c", "-T", n, "--chunk-size", "16K", sample).stdout for n in (1, 2, 7)}
    assert outputs == {kivio.compress(DATA, chunk_size=16384)}


# -- terminals ---------------------------------------------------------------------------------------------


def run_on_terminal(args: list[Any], which: str, **kwargs: Any) -> tuple[int, bytes, bytes]:
    """Runs the command with standard output or standard error (`which`) on a pseudo-terminal of 80x24;
    returns the exit status, what reached the terminal, and the other stream."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, which: slave}
    with subprocess.Popen([*KIV, *map(str, args)], stdin=kwargs.pop("stdin", subprocess.DEVNULL), **streams) as proc:
        os.close(slave)
        seen = bytearray()
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError as exc:  # EIO: every end of the terminal is closed
                assert exc.errno == errno.EIO
                break
            if not chunk:
                break
            seen += chunk
        other = (proc.stderr if which == "stdout" else proc.stdout).read()  # type: ignore[union-attr]
        proc.wait(timeout=60)
    os.close(master)
    return proc.returncode, bytes(seen), other


def test_refuses_to_write_compressed_data_to_a_terminal(sample: Path) -> None:
    for args in (["-c", sample], []):
        with open(sample, "rb") as stdin:
            status, screen, stderr = run_on_terminal(args, "stdout", stdin=stdin)
        assert status == 1 and screen == b"" and "not written to a terminal" in one_line(stderr)
    assert sample.read_bytes() == DATA
    status, screen, _ = run_on_terminal(["-c", "-f", sample], "stdout")
    assert status == 0 and len(screen) > 0


def test_progress_bar_on_a_terminal(tmp_path: Path) -> None:
    path = tmp_path / "big.txt"
    path.write_bytes(text_like(6 << 20))
    status, screen, _ = run_on_terminal(["-k", path], "stderr")
    assert status == 0 and b"ratio" in screen and b"B/s" in screen and b"big.txt" in screen
    status, screen, _ = run_on_terminal(["-k", "-f", "-q", path], "stderr")
    assert status == 0 and screen == b""
    assert decode((tmp_path / "big.txt.gz").read_bytes()) == path.read_bytes()


def test_console_script_and_module_agree(sample: Path) -> None:
    script = Path(sys.executable).with_name("kiv")
    if not script.exists():
        pytest.skip("the console script is not installed beside this interpreter")
    proc = subprocess.run([script, "-c", sample], capture_output=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout == kiv("-c", sample).stdout


def test_every_option_is_documented() -> None:
    page = Path(__file__).resolve().parents[2] / "docs" / "cli.rst"
    if not page.exists():
        pytest.skip("no docs/ beside the tests")
    from kivio.cli import build_parser

    text = page.read_text()
    options = {s for action in build_parser()._actions for s in action.option_strings}
    missing = sorted(o for o in options if f"``{o}" not in text and not ("-2" <= o <= "-8" and len(o) == 2))
    assert missing == []
