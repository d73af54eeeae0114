"""gzip for ASGI applications (Starlette, FastAPI, any ASGI 3 app), compressed with kiv.

:class:`GZipMiddleware` takes the arguments of Starlette's ``GZipMiddleware`` and behaves the same on
whole responses, so ``app.add_middleware(kivio.asgi.GZipMiddleware, minimum_size=1000)`` works in
Starlette and FastAPI. Beyond it, every chunk of a streamed response leaves with a sync flush, so a
client decodes each Server-Sent Event or streamed JSON line as soon as it arrives.

The module needs no web framework. Large chunks are compressed in a worker thread through AnyIO when it
is installed (as it is with Starlette), else through the running asyncio loop's default executor.
"""

from __future__ import annotations

import asyncio
import os
from typing import Any, Awaitable, Callable, List, MutableMapping, Optional, Sequence, Tuple

from . import _http
from ._core import FINISH, GZIP, SYNC_FLUSH, Compressor

try:
    import anyio
    import anyio.lowlevel
    import anyio.to_thread
except ImportError:  # pragma: no cover - AnyIO comes with Starlette; plain asyncio needs no limiter
    _LIMITER: Optional["anyio.lowlevel.RunVar[anyio.CapacityLimiter]"] = None
else:
    # One limiter per event loop (a RunVar is the per-loop slot AnyIO provides).
    _LIMITER = anyio.lowlevel.RunVar("kivio_gzip_limiter")

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

__all__ = ["GZipMiddleware", "DEFAULT_EXCLUDED_CONTENT_TYPES", "THREAD_MINIMUM_SIZE", "PIECE_SIZE"]

DEFAULT_EXCLUDED_CONTENT_TYPES = _http.DEFAULT_EXCLUDED_CONTENT_TYPES

#: Body chunks of at least this many bytes are compressed in a worker thread; smaller ones inline.
#: Measured with ``bench/web/thread_threshold.py`` (text, level 1): handing a chunk to a thread and
#: back costs the loop 40-250 us of its own CPU time and the chunk 2-3x its wall time; compressing
#: inline holds the loop 0.1 ms at 64 KiB, about 0.5 ms at 256 KiB, 4 ms at 1 MiB. Below 256 KiB the
#: hand-over costs the loop a good part of what it saves and each stall stays within what serving one
#: small request costs; from 256 KiB on, offloading saves the loop four times its cost and more.
#: (Level 0 stores at several GB/s and would stay cheap inline far beyond; one threshold keeps the
#: rule simple.)
THREAD_MINIMUM_SIZE = 256 * 1024

#: Chunks longer than this are compressed (and sent) in pieces of this size. The server then copies
#: and writes one piece at a time, with the event loop free between them, instead of one huge buffer;
#: and no piece's output is joined to another's. kiv matches only within a call, and 1 MiB calls lose
#: next to nothing against one call for the whole chunk (its matches reach back 32 KiB).
PIECE_SIZE = 1 << 20

# The states of one response.
_WAITING = 0  # http.response.start held back until the first body message decides
_PASS = 1  # everything goes out as the application sent it
_GZIP = 2  # a gzip stream has started; every body message is compressed


class GZipMiddleware:
    """Compresses HTTP responses with gzip when the request accepts it.

    ``minimum_size``: whole bodies shorter than this many bytes go out as they are (streamed bodies
    are always compressed). ``compresslevel``: zlib-style, 0 stores, 1 to 9 (and -1) search for
    matches; kiv has one searching level, so 1 and 9 write the same bytes.

    Keyword-only: ``thread_minimum_size``, the chunk size from which compression runs in a worker
    thread (default :data:`THREAD_MINIMUM_SIZE`); ``exclude_content_types``, media types left alone
    (``type/*`` covers a whole type; default :data:`DEFAULT_EXCLUDED_CONTENT_TYPES`).

    The rules, for ``http`` scopes (others pass through):

    - ``Content-Encoding: gzip`` only when the request's ``Accept-Encoding`` gives gzip a weight above
      0 (RFC 9110: ``gzip;q=0`` refuses, ``*`` covers gzip unless gzip is named); never on a response
      that has a ``Content-Encoding`` already, on HEAD, on 204, 206 or 304, or on an excluded media type.
    - ``Vary: Accept-Encoding`` is added (or appended to) on every response that the middleware would
      compress for a client that accepts gzip, whether this client does or not.
    - A whole body (one ``http.response.body`` message) gets ``Content-Length`` set to the compressed
      size (removed when the response announces trailers). A streamed body (``more_body``) loses its
      ``Content-Length``; each chunk is compressed and sync-flushed, so the bytes sent so far always
      decode to the body sent so far. A strong ``ETag`` becomes weak.
    """

    def __init__(
        self,
        app: ASGIApp,
        minimum_size: int = 500,
        compresslevel: int = 9,
        *,
        thread_minimum_size: int = THREAD_MINIMUM_SIZE,
        exclude_content_types: Sequence[str] = DEFAULT_EXCLUDED_CONTENT_TYPES,
    ) -> None:
        self.app = app
        self.minimum_size = _http.validate_minimum_size(minimum_size)
        self.compresslevel = _http.validate_compresslevel(compresslevel)
        if isinstance(thread_minimum_size, bool) or not isinstance(thread_minimum_size, int):
            raise TypeError(f"thread_minimum_size must be an int, not {type(thread_minimum_size).__name__}")
        self.thread_minimum_size = thread_minimum_size
        if isinstance(exclude_content_types, str):
            raise TypeError("exclude_content_types must be a sequence of media types, not a str")
        self.exclude_content_types = _http.normalize_content_types(exclude_content_types)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        accept_encoding = ", ".join(
            value.decode("latin-1") for name, value in scope.get("headers", ()) if name.lower() == b"accept-encoding"
        )
        responder = _Responder(self, send, _http.accepts_gzip(accept_encoding), scope.get("method", "GET"))
        await self.app(scope, receive, responder.send)


class _Responder:
    """The state of one response: holds the start message until the first body message decides."""

    __slots__ = ("config", "downstream", "accepted", "method", "state", "start", "compressor")

    def __init__(self, config: GZipMiddleware, downstream: Send, accepted: bool, method: str) -> None:
        self.config = config
        self.downstream = downstream
        self.accepted = accepted
        self.method = method
        self.state = _PASS
        self.start: Optional[Message] = None
        self.compressor: Optional[Compressor] = None

    async def send(self, message: Message) -> None:
        kind = message["type"]
        if kind == "http.response.start":
            headers = message.get("headers", ())
            if self._eligible(message["status"], headers):
                self.state = _WAITING
                self.start = message
                return
            self.state = _PASS
        elif self.state == _WAITING:
            start, self.start = self.start, None
            assert start is not None
            if kind == "http.response.body":
                await self._first_body(start, message)
                return
            # A body sent any other way (pathsend, zero-copy send): the server sends it as it is.
            self.state = _PASS
            await self.downstream(start)
        elif self.state == _GZIP and kind == "http.response.body":
            more = bool(message.get("more_body", False))
            pieces = await self._compress(message.get("body", b""), finish=not more)
            await self._send_pieces(message, pieces)
            return
        await self.downstream(message)

    def _eligible(self, status: int, headers: Any) -> bool:
        if not _http.status_allows_body_coding(status, self.method):
            return False
        content_type = None
        for name, value in headers:
            lname = name.lower()
            if lname == b"content-encoding":
                return False
            if lname == b"content-type":
                content_type = value.decode("latin-1")
        return not _http.is_excluded_media_type(content_type, self.config.exclude_content_types)

    async def _first_body(self, start: Message, message: Message) -> None:
        body = message.get("body", b"")
        more = bool(message.get("more_body", False))
        if not more and len(body) < self.config.minimum_size:
            self.state = _PASS
            await self.downstream(start)
            await self.downstream(message)
            return
        headers: List[Tuple[bytes, bytes]] = []
        vary: Optional[str] = None
        etag: Optional[str] = None
        for name, value in start.get("headers", ()):
            lname = name.lower()
            if lname == b"vary":
                vary = value.decode("latin-1") if vary is None else f"{vary}, {value.decode('latin-1')}"
            elif self.accepted and lname == b"content-length":
                pass  # replaced below for a whole body, dropped for a stream
            elif self.accepted and lname == b"etag":
                etag = value.decode("latin-1")
            else:
                headers.append((name, value))
        headers.append((b"vary", _http.extend_vary(vary).encode("latin-1")))
        if not self.accepted:
            self.state = _PASS
            await self.downstream({**start, "headers": headers})
            await self.downstream(message)
            return
        self.state = _GZIP
        self.compressor = Compressor(0 if self.config.compresslevel == 0 else 1, GZIP)
        headers.append((b"content-encoding", b"gzip"))
        if etag is not None:
            headers.append((b"etag", _http.weaken_etag(etag).encode("latin-1")))
        pieces = await self._compress(body, finish=not more)
        if not more and not start.get("trailers", False):
            headers.append((b"content-length", str(sum(map(len, pieces))).encode("latin-1")))
        await self.downstream({**start, "headers": headers})
        await self._send_pieces(message, pieces)

    async def _compress(self, body: bytes, *, finish: bool) -> List[bytes]:
        compressor = self.compressor
        assert compressor is not None
        if len(body) >= self.config.thread_minimum_size:
            return await _run_in_thread(_compress_chunk, compressor, body, finish)
        return _compress_chunk(compressor, body, finish)

    async def _send_pieces(self, message: Message, pieces: List[bytes]) -> None:
        """One body message as several when its compressed body came in pieces; the last one carries
        the message's own ``more_body``."""
        for piece in pieces[:-1]:
            await self.downstream({"type": "http.response.body", "body": piece, "more_body": True})
        await self.downstream({**message, "body": pieces[-1]})


def _compress_chunk(compressor: Compressor, body: bytes, finish: bool) -> List[bytes]:
    """``body`` compressed and flushed (to the end of the stream, or with a sync flush), as the outputs
    of its pieces: at least one, the last ending with the flush."""
    view = memoryview(body).cast("B")
    pieces = []
    for start in range(0, len(view), PIECE_SIZE):
        out = compressor.compress(view[start : start + PIECE_SIZE])
        if out:
            pieces.append(out)
    tail = compressor.flush(FINISH if finish else SYNC_FLUSH)
    if pieces:
        pieces[-1] += tail
    else:
        pieces.append(tail)
    return pieces


async def _run_in_thread(func: Callable[..., List[bytes]], *args: Any) -> List[bytes]:
    """``func(*args)`` in a worker thread. With AnyIO, a cancelled caller still waits for the thread to
    end, so the compressor is never touched by two threads; the compression threads have a limiter of
    their own, one token per processor, so they neither crowd out nor wait behind the application's
    own worker threads."""
    if _LIMITER is None:  # plain asyncio without AnyIO
        return await asyncio.get_running_loop().run_in_executor(None, func, *args)
    try:
        limiter = _LIMITER.get()
    except LookupError:
        limiter = anyio.CapacityLimiter(os.cpu_count() or 1)
        _LIMITER.set(limiter)
    return await anyio.to_thread.run_sync(func, *args, limiter=limiter)
