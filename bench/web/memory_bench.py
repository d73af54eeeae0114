#!/usr/bin/env python3
"""Server memory per open compressed connection: 2,000 SSE streams and 2,000 WebSocket connections.

For each variant a fresh server process (see ``server.py``) runs on 127.0.0.1 and this process opens
the connections:

- SSE: uvicorn + Starlette; each client asks for ``/sse`` with ``Accept-Encoding: gzip`` and reads the
  first 1 KiB event, decoding it. Variants: no compression, Starlette's GZipMiddleware at its default
  compresslevel 9 (the framework's zlib default; told not to skip text/event-stream), kivio's.
- WebSockets: the websockets library; each client (the library's own, with its default
  permessage-deflate) sends one 1 KiB text message and reads the echo. Variants: no compression, the
  library's default server extension (zlib), kivio.websockets as it comes, and kivio.websockets letting
  the clients keep their context (``client_no_context_takeover=False``: a zlib inflater per connection).

Measured: the server's resident memory (VmRSS) before and after, per connection, and the same less the
uncompressed variant's (what the compression state costs). Then every connection must still work: each
SSE stream decodes the next event the server sends, each WebSocket echoes a second message; connections
lost are counted.

    python bench/web/memory_bench.py                # 2,000 connections
    python bench/web/memory_bench.py --quick        # 200 connections
"""

from __future__ import annotations

import argparse
import asyncio
import resource
import sys
import time
import zlib
from pathlib import Path
from typing import Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from data import text_document  # noqa: E402
from http_bench import start_server  # noqa: E402
from server import SSE_EVENT, SSE_PERIOD  # noqa: E402

SSE_VARIANTS = ["identity", "starlette-9", "kivio"]
WS_VARIANTS = ["ws-none", "ws-zlib", "ws-kivio", "ws-kivio-takeover"]
OPENING_AT_ONCE = 100  # connections being opened at the same time


def rss_bytes(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


class SseClient:
    """One raw HTTP/1.1 connection reading a chunked SSE response, decoding gzip as it arrives."""

    def __init__(self) -> None:
        self.reader: Optional[asyncio.StreamReader] = None
        self.writer: Optional[asyncio.StreamWriter] = None
        self.inflater: Optional["zlib._Decompress"] = None
        self.text = b""

    async def open(self, host: str, port: int) -> None:
        self.reader, self.writer = await asyncio.open_connection(host, port)
        self.writer.write(b"GET /sse HTTP/1.1\r\nHost: bench\r\nAccept-Encoding: gzip\r\n\r\n")
        head = await self.reader.readuntil(b"\r\n\r\n")
        if b" 200 " not in head.split(b"\r\n", 1)[0]:
            raise RuntimeError(head.decode("latin-1"))
        if b"content-encoding: gzip" in head.lower():
            self.inflater = zlib.decompressobj(31)
        await self.next_event()

    async def next_event(self) -> bytes:
        assert self.reader is not None
        while b"\n\n" not in self.text:
            size = int((await self.reader.readuntil(b"\r\n")).strip(), 16)
            data = await self.reader.readexactly(size + 2)
            payload = data[:-2]
            self.text += self.inflater.decompress(payload) if self.inflater else payload
        event, self.text = self.text.split(b"\n\n", 1)
        if event + b"\n\n" != SSE_EVENT:
            raise RuntimeError("a garbled event")
        return event

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()


async def sse_round(url: str, count: int) -> Tuple[List[SseClient], int]:
    host, port = url.removeprefix("http://").split(":")
    clients = [SseClient() for _ in range(count)]
    gate = asyncio.Semaphore(OPENING_AT_ONCE)

    async def open_one(client: SseClient) -> None:
        async with gate:
            await client.open(host, int(port))

    await asyncio.gather(*(open_one(c) for c in clients))
    return clients, 0


async def sse_check(clients: List[SseClient]) -> int:
    """Connections that failed to decode the next event (sent within SSE_PERIOD)."""

    async def one(client: SseClient) -> bool:
        try:
            await asyncio.wait_for(client.next_event(), SSE_PERIOD + 10)
            return True
        except Exception:  # noqa: BLE001 - any failure is a lost connection
            return False

    results = await asyncio.gather(*(one(c) for c in clients))
    return results.count(False)


async def ws_round(url: str, count: int, message: str) -> Tuple[list, int]:  # type: ignore[type-arg]
    from websockets.asyncio.client import connect

    gate = asyncio.Semaphore(OPENING_AT_ONCE)
    ws_url = url.replace("http://", "ws://")

    async def open_one() -> object:
        async with gate:
            connection = await connect(ws_url, max_size=None, ping_interval=None, open_timeout=60)
            await connection.send(message)
            if await connection.recv() != message:
                raise RuntimeError("a garbled echo")
            return connection

    connections = await asyncio.gather(*(open_one() for _ in range(count)))
    return list(connections), 0


async def ws_check(connections: list, message: str) -> int:  # type: ignore[type-arg]
    async def one(connection) -> bool:  # type: ignore[no-untyped-def]
        try:
            await connection.send(message[::-1])
            return await asyncio.wait_for(connection.recv(), 60) == message[::-1]
        except Exception:  # noqa: BLE001 - any failure is a lost connection
            return False

    results = await asyncio.gather(*(one(c) for c in connections))
    for connection in connections:
        await connection.close()
    return results.count(False)


def measure(variant: str, count: int, message: str) -> Tuple[float, int, str]:
    """(server RSS bytes per connection, connections lost, negotiated coding) for one variant."""

    async def main(url: str, pid: int) -> Tuple[float, int, str]:
        await asyncio.sleep(0.5)
        before = rss_bytes(pid)
        if variant.startswith("ws-"):
            connections, _ = await ws_round(url, count, message)
            coding = connections[0].response.headers.get("Sec-WebSocket-Extensions", "none")
            await asyncio.sleep(1.0)
            after = rss_bytes(pid)
            lost = await ws_check(connections, message)
        else:
            clients, _ = await sse_round(url, count)
            coding = "gzip" if clients[0].inflater else "identity"
            await asyncio.sleep(1.0)
            after = rss_bytes(pid)
            lost = await sse_check(clients)
            for client in clients:
                client.close()
        return (after - before) / count, lost, coding

    with start_server(variant) as server:
        return asyncio.run(main(server.url, server.process.pid))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--connections", type=int, default=2000)
    parser.add_argument("--quick", action="store_true", help="200 connections")
    parser.add_argument("--out", type=Path, help="also write the table (Markdown) here")
    args = parser.parse_args()
    count = 200 if args.quick else args.connections
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 2 * count + 100:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4 * count + 1000), hard))
    text = text_document().decode("latin-1")
    message = text[100_000:101_024]  # 1 KiB of English text

    results: Dict[str, Tuple[float, int, str]] = {}
    for variant in SSE_VARIANTS + WS_VARIANTS:
        started = time.monotonic()
        results[variant] = measure(variant, count, message)
        per, lost, coding = results[variant]
        print(f"{variant:12} {per / 1024:8.2f} KiB per connection, {lost} lost, {coding} "
              f"({time.monotonic() - started:.0f} s)", file=sys.stderr)

    lines = [
        f"{count} connections per variant, server on 127.0.0.1, resident memory (VmRSS) after every "
        "connection has sent one 1 KiB message, less before.",
        "",
        "| connections | server | KiB per connection | compression state, KiB per connection | lost |",
        "|---|---|---:|---:|---:|",
    ]
    for group, baseline in ((SSE_VARIANTS, "identity"), (WS_VARIANTS, "ws-none")):
        base = results[baseline][0]
        for variant in group:
            per, lost, coding = results[variant]
            state = "" if variant == baseline else f"{(per - base) / 1024:.2f}"
            kind = "SSE" if group is SSE_VARIANTS else "WebSocket"
            lines.append(f"| {kind} | {variant} ({coding}) | {per / 1024:.2f} | {state} | {lost} |")
    table = "\n".join(lines)
    print(table)
    if args.out:
        args.out.write_text(table + "\n")


if __name__ == "__main__":
    main()
