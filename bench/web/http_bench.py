#!/usr/bin/env python3
"""HTTP compression under load: Starlette's GZipMiddleware (compresslevel 9 and 1) against kivio's.

Each variant runs in its own uvicorn process (one worker) on 127.0.0.1; a bounded load generator
(``wrk`` when installed, the Debian package, else an httpx async loop) asks for a 100 KB JSON document
and a 5 MB text file with ``Accept-Encoding: gzip``. Measured per variant and document: requests per
second, the server's CPU seconds (all its threads, from /proc) per MB of body compressed, the same less
what the uncompressed server spends (the compression's own share), and the response size. Rounds
interleave the variants; figures are medians over the rounds.

    python bench/web/http_bench.py                  # 3 rounds of 5 s per variant and document
    python bench/web/http_bench.py --quick          # 1 round of 2 s, a smoke test
    python bench/web/http_bench.py --out results.md # also write the table to a file

The client shares the machine with the server: on 2 cores give the load generator one thread and few
connections (the defaults) so that the server keeps about one core.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, Iterator, List, Tuple

import httpx

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from data import json_document, text_document  # noqa: E402

VARIANTS = ["identity", "starlette-9", "starlette-1", "kivio"]
DOCUMENTS = {"json": ("/json", len(json_document())), "text": ("/text", len(text_document()))}
TICKS = os.sysconf("SC_CLK_TCK")


@dataclass
class Server:
    variant: str
    url: str
    process: subprocess.Popen  # type: ignore[type-arg]

    def cpu_seconds(self) -> float:
        """User and system CPU of the server process, all threads, so far."""
        fields = Path(f"/proc/{self.process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS


@contextmanager
def start_server(variant: str) -> Iterator[Server]:
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4096)
    port = listener.getsockname()[1]
    process = subprocess.Popen(
        [sys.executable, str(HERE / "server.py"), variant, str(listener.fileno())],
        pass_fds=[listener.fileno()],
        stdout=subprocess.DEVNULL,
    )
    listener.close()
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                httpx.get(url + "/ping", timeout=10)  # any answer (a WebSocket server's 426 too)
                break
            except httpx.TransportError:
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"server {variant} did not start") from None
                time.sleep(0.1)
        yield Server(variant, url, process)
    finally:
        process.terminate()
        process.wait(20)


def response_size(url: str) -> Tuple[int, str]:
    """Bytes on the wire of one response, and its Content-Encoding; checks that it decodes."""
    import zlib

    with httpx.stream("GET", url, headers={"Accept-Encoding": "gzip"}, timeout=60) as response:
        raw = b"".join(response.iter_raw())
        coding = response.headers.get("content-encoding", "identity")
    if coding == "gzip":
        zlib.decompress(raw, 31)
    return len(raw), coding


def load_wrk(url: str, seconds: float, connections: int) -> int:
    out = subprocess.run(
        ["wrk", "-t1", f"-c{connections}", f"-d{max(1, round(seconds))}s", "--timeout", "30s",
         "-H", "Accept-Encoding: gzip", url],
        capture_output=True, text=True, check=True,
    ).stdout
    match = re.search(r"(\d+) requests in", out)
    if not match:
        raise RuntimeError(f"cannot read wrk's output:\n{out}")
    return int(match.group(1))


def load_httpx(url: str, seconds: float, connections: int) -> int:
    async def main() -> int:
        done = 0
        end = time.monotonic() + seconds
        limits = httpx.Limits(max_connections=connections)
        async with httpx.AsyncClient(limits=limits, timeout=30, headers={"Accept-Encoding": "gzip"}) as client:

            async def worker() -> None:
                nonlocal done
                while time.monotonic() < end:
                    async with client.stream("GET", url) as response:
                        async for _ in response.aiter_raw():
                            pass
                    done += 1

            await asyncio.gather(*(worker() for _ in range(connections)))
        return done

    return asyncio.run(main())


@dataclass
class Figures:
    rps: List[float] = field(default_factory=list)
    cpu_per_mb: List[float] = field(default_factory=list)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=5.0, help="load time per variant, document and round")
    parser.add_argument("--connections", type=int, default=4)
    parser.add_argument("--quick", action="store_true", help="1 round of 2 s")
    parser.add_argument("--httpx", action="store_true", help="use the httpx load loop even if wrk is there")
    parser.add_argument("--out", type=Path, help="also write the table (Markdown) here")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.seconds = 1, 2.0
    use_wrk = shutil.which("wrk") is not None and not args.httpx
    load = load_wrk if use_wrk else load_httpx
    figures: Dict[Tuple[str, str], Figures] = {(v, d): Figures() for v in VARIANTS for d in DOCUMENTS}
    sizes: Dict[Tuple[str, str], Tuple[int, str]] = {}
    with ExitStack() as stack:
        servers = {variant: stack.enter_context(start_server(variant)) for variant in VARIANTS}
        for (variant, document), _ in figures.items():
            sizes[variant, document] = response_size(servers[variant].url + DOCUMENTS[document][0])
        for round_number in range(args.rounds):
            order = VARIANTS[round_number % len(VARIANTS):] + VARIANTS[: round_number % len(VARIANTS)]
            for document, (path, body_size) in DOCUMENTS.items():
                for variant in order:
                    server = servers[variant]
                    cpu_before = server.cpu_seconds()
                    requests = load(server.url + path, args.seconds, args.connections)
                    cpu = server.cpu_seconds() - cpu_before
                    entry = figures[variant, document]
                    entry.rps.append(requests / args.seconds)
                    if requests:
                        entry.cpu_per_mb.append(cpu / (requests * body_size / 1e6))
                    print(f"round {round_number + 1} {document:4} {variant:12} {requests / args.seconds:8.1f} req/s "
                          f"{cpu:6.2f} s CPU", file=sys.stderr)

    lines = [
        f"Load: {'wrk -t1' if use_wrk else 'httpx loop'}, {args.connections} connections, {args.seconds:g} s per "
        f"variant and document, {args.rounds} rounds, medians. Server: uvicorn {_version('uvicorn')}, Starlette "
        f"{_version('starlette')}, one process, 127.0.0.1. {os.cpu_count()} cores.",
        "",
        "| document | server | req/s | server CPU ms per MB of body | of it compression | response bytes (ratio) |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for document, (_, body_size) in DOCUMENTS.items():
        identity_cpu = statistics.median(figures["identity", document].cpu_per_mb or [float("nan")])
        for variant in VARIANTS:
            entry = figures[variant, document]
            cpu = statistics.median(entry.cpu_per_mb) if entry.cpu_per_mb else float("nan")
            size, coding = sizes[variant, document]
            extra = "" if variant == "identity" else f"{(cpu - identity_cpu) * 1000:.2f}"
            lines.append(
                f"| {document} ({body_size / 1e3:.0f} KB) | {variant} | {statistics.median(entry.rps):.1f} | "
                f"{cpu * 1000:.2f} | {extra} | {size} ({body_size / size:.2f}, {coding}) |"
            )
    table = "\n".join(lines)
    print(table)
    if args.out:
        args.out.write_text(table + "\n")


def _version(name: str) -> str:
    from importlib.metadata import version

    return version(name)


if __name__ == "__main__":
    main()
