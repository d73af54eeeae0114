"""aiohttp with ``set_zlib_backend(kivio.zlib)``: responses and WebSocket messages on 127.0.0.1."""

from __future__ import annotations

import asyncio
import random
from typing import Any, AsyncIterator, Awaitable, Callable, Iterator

import aiohttp
import httpx
import pytest
from aiohttp import web
from aiohttp.compression_utils import ZLibBackend

import kivio.zlib
from webtools import gunzip

TEXT = b"".join(b"row %d, the quick brown fox jumps over the lazy dog\n" % n for n in range(20000))


@pytest.fixture
def kiv_backend() -> Iterator[None]:
    """kivio.zlib as aiohttp's backend for one test; aiohttp's own choice is module-wide."""
    previous = ZLibBackend._zlib_backend
    aiohttp.set_zlib_backend(kivio.zlib)
    try:
        yield
    finally:
        aiohttp.set_zlib_backend(previous)


async def whole(request: web.Request) -> web.Response:
    response = web.Response(body=TEXT, content_type="text/plain")
    response.enable_compression()
    return response


async def streamed(request: web.Request) -> web.StreamResponse:
    response = web.StreamResponse(headers={"Content-Type": "text/plain"})
    response.enable_compression()
    await response.prepare(request)
    for start in range(0, len(TEXT), 100_000):
        await response.write(TEXT[start : start + 100_000])
    await response.write_eof()
    return response


async def echo(request: web.Request) -> web.WebSocketResponse:
    ws = web.WebSocketResponse(max_msg_size=0)
    await ws.prepare(request)
    async for message in ws:
        if message.type == aiohttp.WSMsgType.BINARY:
            await ws.send_bytes(message.data)
        elif message.type == aiohttp.WSMsgType.TEXT:
            await ws.send_str(message.data)
    return ws


def serve(check: Callable[[str], Awaitable[None]]) -> None:
    """Runs ``check(base_url)`` against the app on a real socket of 127.0.0.1."""

    async def main() -> None:
        app = web.Application()
        app.add_routes([web.get("/whole", whole), web.get("/streamed", streamed), web.get("/ws", echo)])
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        site = web.TCPSite(runner, "127.0.0.1", 0)
        await site.start()
        port = site._server.sockets[0].getsockname()[1]  # type: ignore[union-attr]
        try:
            await check(f"http://127.0.0.1:{port}")
        finally:
            await runner.cleanup()

    asyncio.run(main())


@pytest.mark.parametrize("path", ["/whole", "/streamed"])
def test_responses_are_kivs_and_decode(kiv_backend: None, path: str) -> None:
    async def check(url: str) -> None:
        async with aiohttp.ClientSession() as session:
            async with session.get(url + path, headers={"Accept-Encoding": "gzip"}, auto_decompress=False) as r:
                raw = await r.read()
                assert r.headers["Content-Encoding"] == "gzip"
            async with session.get(url + path, headers={"Accept-Encoding": "gzip"}) as r:
                assert await r.read() == TEXT  # decoded by aiohttp's client
        async with httpx.AsyncClient() as client:
            response = await client.get(url + path, headers={"Accept-Encoding": "gzip"})
            assert response.content == TEXT  # decoded by httpx
        assert gunzip(raw) == TEXT
        if path == "/whole":
            # The very bytes kiv writes: the backend is in use, not zlib.
            assert raw == kivio.zlib.compress(TEXT, wbits=31)

    serve(check)


FAR_REPEAT = random.Random(3).randbytes(20_000) * 2  # its only matches lie 20,000 bytes back
MESSAGES = [b"", b"x" * 10, TEXT[:1000], b"", TEXT[:100_000], FAR_REPEAT, TEXT[:1_000_000]]


@pytest.mark.parametrize("compress", [15, 10], ids=["window-32k", "window-1k"])
def test_websocket_echo_with_compression(kiv_backend: None, compress: int) -> None:
    """Both ends use the backend (aiohttp's client compresses its messages too). Empty messages after
    others check that every message ends in a flush marker; a server window of 1 KiB, asked for by
    the client, is served too (aiohttp's reader decodes with 32 KiB whatever it asked for, so the
    window itself is checked in test_zlib_backend)."""

    async def check(url: str) -> None:
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(url + "/ws", compress=compress, max_msg_size=0) as ws:
                extensions = ws._response.headers["Sec-WebSocket-Extensions"]
                assert extensions.startswith("permessage-deflate")
                assert ("server_max_window_bits=10" in extensions) == (compress == 10)
                for message in MESSAGES:
                    await ws.send_bytes(message)
                    assert (await ws.receive_bytes()) == message
                await ws.send_str("héllo " * 500)
                assert await ws.receive_str() == "héllo " * 500

    serve(check)
