#!/usr/bin/env python3
"""The server side of the web benchmarks: uvicorn + Starlette (or websockets) on an inherited socket.

    python server.py VARIANT FD

VARIANT: ``identity`` (no compression), ``starlette-9`` / ``starlette-1`` (Starlette's GZipMiddleware
at compresslevel 9, its default, and 1), ``kivio`` (kivio.asgi.GZipMiddleware), or for WebSockets
``ws-none``, ``ws-zlib`` (the library's default permessage-deflate), ``ws-kivio`` (kivio.websockets)
and ``ws-kivio-takeover`` (the same with ``client_no_context_takeover=False``). The benchmark binds
the socket, so it knows the address before the server starts.

Routes: ``/json`` (a 100 KB JSON document), ``/text`` (5 MB of text), ``/sse`` (one event of 1 KiB,
then one every ``SSE_PERIOD`` seconds while the stream stays open), ``/ping``.
"""

from __future__ import annotations

import asyncio
import json
import socket
import sys
from pathlib import Path
from typing import Any, AsyncIterator

sys.path.insert(0, str(Path(__file__).resolve().parent))
from data import json_document, text_document  # noqa: E402

SSE_PERIOD = 10.0
SSE_EVENT = b"data: " + b"x" * 1017 + b"\n\n"  # 1 KiB per event


def http_app(variant: str) -> Any:
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.requests import Request
    from starlette.responses import PlainTextResponse, Response, StreamingResponse
    from starlette.routing import Route

    document, text = json_document(), text_document()

    async def json_route(request: Request) -> Response:
        return Response(document, media_type="application/json")

    async def text_route(request: Request) -> Response:
        return Response(text, media_type="text/plain")

    async def sse_route(request: Request) -> Response:
        async def events() -> AsyncIterator[bytes]:
            while True:
                yield SSE_EVENT
                await asyncio.sleep(SSE_PERIOD)

        return StreamingResponse(events(), media_type="text/event-stream")

    async def ping(request: Request) -> Response:
        return PlainTextResponse("pong")

    middleware = []
    if variant.startswith("starlette-"):
        from starlette.middleware.gzip import GZipMiddleware

        # Starlette leaves text/event-stream alone by default; compressing it is what is compared.
        middleware.append(Middleware(GZipMiddleware, compresslevel=int(variant.split("-")[1]), exclude_content_types=()))
    elif variant == "kivio":
        from kivio.asgi import GZipMiddleware as KivioGZip

        middleware.append(Middleware(KivioGZip))
    elif variant != "identity":
        raise SystemExit(f"unknown variant {variant!r}")
    routes = [Route("/json", json_route), Route("/text", text_route), Route("/sse", sse_route), Route("/ping", ping)]
    return Starlette(routes=routes, middleware=middleware)


async def serve_http(variant: str, sock: socket.socket) -> None:
    import uvicorn

    config = uvicorn.Config(http_app(variant), log_level="warning", lifespan="off", access_log=False,
                            backlog=4096, timeout_keep_alive=600)
    await uvicorn.Server(config).serve(sockets=[sock])


async def serve_ws(variant: str, sock: socket.socket) -> None:
    from websockets.asyncio.server import ServerConnection, serve

    async def echo(connection: ServerConnection) -> None:
        async for message in connection:
            await connection.send(message)

    if variant in ("ws-kivio", "ws-kivio-takeover"):
        import kivio.websockets

        factory = kivio.websockets.ServerPerMessageDeflateFactory(client_no_context_takeover=variant == "ws-kivio")
        options: dict[str, Any] = {"extensions": [factory]}
    elif variant == "ws-zlib":
        options = {}  # compression="deflate": the library's default extension
    elif variant == "ws-none":
        options = {"compression": None}
    else:
        raise SystemExit(f"unknown variant {variant!r}")
    async with serve(echo, sock=sock, max_size=None, ping_interval=None, **options) as server:
        await server.serve_forever()


def main() -> None:
    variant, fd = sys.argv[1], int(sys.argv[2])
    sock = socket.socket(fileno=fd)
    runner = serve_ws if variant.startswith("ws-") else serve_http
    print(json.dumps({"ready": variant}), flush=True)
    asyncio.run(runner(variant, sock))


if __name__ == "__main__":
    main()
