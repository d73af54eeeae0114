"""kivio.websockets: a websockets server on 127.0.0.1 with kiv's permessage-deflate, read by the
library's own client."""

from __future__ import annotations

import asyncio
import random
import zlib
from typing import Any, Awaitable, Callable, List, Optional

import pytest
from websockets.asyncio.client import ClientConnection, connect
from websockets.asyncio.server import ServerConnection, serve
from websockets.extensions.permessage_deflate import ClientPerMessageDeflateFactory
from websockets.frames import Frame, Opcode

import kivio.websockets

TEXT = "".join(f"event {n}: the quick brown fox jumps over the lazy dog\n" for n in range(20000))
FAR_REPEAT = random.Random(5).randbytes(20_000) * 2  # its only matches lie 20,000 bytes back


async def echo(connection: ServerConnection) -> None:
    async for message in connection:
        await connection.send(message)


def run_server(check: Callable[[str], Awaitable[None]], **factory_options: Any) -> None:
    async def main() -> None:
        factory = kivio.websockets.ServerPerMessageDeflateFactory(**factory_options)
        async with serve(echo, "127.0.0.1", 0, extensions=[factory], max_size=None) as server:
            port = server.sockets[0].getsockname()[1]
            await check(f"ws://127.0.0.1:{port}")

    asyncio.run(main())


def sizes() -> List[Any]:
    rng = random.Random(11)
    out: List[Any] = []
    for size in (10, 100, 1000, 10_000, 100_000, 1_000_000):
        out.append(TEXT.encode()[:size])  # compressible bytes
        out.append(rng.randbytes(size))  # incompressible: stored blocks
        out.append(TEXT[:size])  # a text message
    return out + [b"", "", FAR_REPEAT]


def test_messages_both_ways_with_the_librarys_default_client() -> None:
    async def check(url: str) -> None:
        async with connect(url, max_size=None) as client:  # the library's default permessage-deflate
            agreed = client.response.headers["Sec-WebSocket-Extensions"]
            assert agreed.startswith("permessage-deflate") and "server_no_context_takeover" in agreed
            for message in sizes():
                await client.send(message)
                assert await client.recv() == message

    run_server(check)


def test_compressed_frames_are_kivs() -> None:
    """What the server sends is compressed (RSV1) and is the raw kiv stream minus 00 00 FF FF."""
    seen: List[Frame] = []

    async def check(url: str) -> None:
        async with connect(url, max_size=None) as client:
            extension = client.protocol.extensions[0]
            decode = extension.decode

            def spy(frame: Frame, *, max_size: Optional[int] = None) -> Frame:
                seen.append(frame)
                return decode(frame, max_size=max_size)

            extension.decode = spy  # type: ignore[method-assign]
            await client.send(TEXT)
            assert await client.recv() == TEXT

    run_server(check)
    (frame,) = [frame for frame in seen if frame.opcode is Opcode.TEXT]
    assert frame.rsv1
    assert len(frame.data) < len(TEXT) // 4
    assert zlib.decompressobj(-15).decompress(bytes(frame.data) + b"\x00\x00\xff\xff") == TEXT.encode()
    compressor = kivio.Compressor(1, kivio.DEFLATE)
    assert bytes(frame.data) + b"\x00\x00\xff\xff" == compressor.compress(TEXT.encode()) + compressor.flush(
        kivio.SYNC_FLUSH
    )


@pytest.mark.parametrize("window", [9, 10, 12])
def test_small_server_window_gets_stored_blocks(window: int) -> None:
    """A client that limits the server's window decodes with that window: kiv's far matches would
    break it, stored blocks do not."""

    async def check(url: str) -> None:
        offer = ClientPerMessageDeflateFactory(server_max_window_bits=window)
        async with connect(url, extensions=[offer], compression=None, max_size=None) as client:
            assert f"server_max_window_bits={window}" in client.response.headers["Sec-WebSocket-Extensions"]
            for message in (FAR_REPEAT, TEXT, b"x" * 100):
                await client.send(message)
                assert await client.recv() == message

    run_server(check)


def test_fragmented_message() -> None:
    """Frames of one message each come from a fresh kiv stream; joined they are one valid stream."""

    async def check(url: str) -> None:
        async with connect(url, max_size=None) as client:
            parts = [TEXT[:5000], "", TEXT[5000:90000], TEXT[90000:]]
            await client.send(iter(parts))  # sent as fragments
            assert await client.recv() == TEXT

    async def fragmenting_echo(connection: ServerConnection) -> None:
        async for message in connection:
            await connection.send([message[:7], message[7:7], message[7:60000], message[60000:]])

    async def main() -> None:
        factory = kivio.websockets.ServerPerMessageDeflateFactory()
        async with serve(fragmenting_echo, "127.0.0.1", 0, extensions=[factory], max_size=None) as server:
            await check(f"ws://127.0.0.1:{server.sockets[0].getsockname()[1]}")

    asyncio.run(main())


def test_client_without_compression_connects() -> None:
    async def check(url: str) -> None:
        async with connect(url, compression=None, max_size=None) as client:
            assert "Sec-WebSocket-Extensions" not in client.response.headers
            await client.send(TEXT)
            assert await client.recv() == TEXT

    run_server(check)


@pytest.mark.parametrize("client_no_context_takeover", [True, False])
def test_client_context_takeover_is_negotiable(client_no_context_takeover: bool) -> None:
    async def check(url: str) -> None:
        async with connect(url, max_size=None) as client:
            agreed = client.response.headers["Sec-WebSocket-Extensions"]
            assert ("client_no_context_takeover" in agreed) == client_no_context_takeover
            for message in (TEXT, TEXT, FAR_REPEAT, FAR_REPEAT):  # the client may refer to earlier ones
                await client.send(message)
                assert await client.recv() == message

    run_server(check, client_no_context_takeover=client_no_context_takeover)


def test_factory_arguments() -> None:
    with pytest.raises(ValueError):
        kivio.websockets.ServerPerMessageDeflateFactory(level=10)
    with pytest.raises(TypeError):
        kivio.websockets.ServerPerMessageDeflateFactory(level="1")  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        kivio.websockets.ServerPerMessageDeflateFactory(server_max_window_bits=8)  # the library's rule
