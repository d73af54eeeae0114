"""ASGI apps that the web tests serve with uvicorn in a child process (see ``serve.py``)."""

from __future__ import annotations

import asyncio
import functools
import time
from typing import AsyncIterator

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse, Response, StreamingResponse
from starlette.routing import Route

from kivio.asgi import GZipMiddleware

#: SSE test: events sent, and the pause between them.
SSE_EVENTS = 6
SSE_INTERVAL = 0.2

#: Event-loop test: a response of BIG_CHUNKS chunks of BIG_CHUNK bytes (200 MB in all), each chunk large
#: enough that compressing it on the loop would stall every other request for about 100 ms.
BIG_CHUNK = 50 * 1000 * 1000
BIG_CHUNKS = 4


def big_block() -> bytes:
    """1 MB of text-like bytes that compress to about half (the response repeats it)."""
    import random

    rng = random.Random(20240610)
    words = [bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))) for _ in range(4000)]
    out = bytearray()
    while len(out) < 1000 * 1000:
        out += rng.choice(words) + (b"\n" if rng.random() < 0.1 else b" ")
    return bytes(out[: 1000 * 1000])


async def ping(request: Request) -> Response:
    return PlainTextResponse("pong")


async def events(request: Request) -> Response:
    async def stream() -> AsyncIterator[str]:
        for number in range(SSE_EVENTS):
            # CLOCK_MONOTONIC is one clock for every process of the machine.
            yield f"id: {number}\ndata: {time.monotonic():.6f}\n\n"
            await asyncio.sleep(SSE_INTERVAL)

    return StreamingResponse(stream(), media_type="text/event-stream")


@functools.lru_cache(maxsize=1)
def big_chunk() -> bytes:
    return big_block() * (BIG_CHUNK // 1000 // 1000)


def warm_up() -> None:
    """Makes the big chunk before the server starts, so that its making is not measured."""
    big_chunk()


async def big(request: Request) -> Response:
    chunk = big_chunk()

    async def stream() -> AsyncIterator[bytes]:
        for _ in range(BIG_CHUNKS):
            yield chunk

    return StreamingResponse(stream(), media_type="application/octet-stream")


async def cpu(request: Request) -> Response:
    """CPU seconds used so far by the event loop's thread and by the whole server process."""
    return JSONResponse({"loop": time.thread_time(), "process": time.process_time()})


routes = [Route("/ping", ping), Route("/events", events), Route("/big", big), Route("/cpu", cpu)]
kivio_app = Starlette(routes=routes, middleware=[Middleware(GZipMiddleware)])
