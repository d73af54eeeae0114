"""kivio.asgi.GZipMiddleware with Starlette's and FastAPI's own test clients, and on the ASGI interface."""

from __future__ import annotations

import asyncio
import zlib
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import pytest
from fastapi import FastAPI
from fastapi.responses import PlainTextResponse
from starlette.testclient import TestClient

from webtools import gunzip
from kivio.asgi import PIECE_SIZE, GZipMiddleware

BODY = b"The quick brown fox jumps over the lazy dog. " * 40  # 1800 bytes, compressible


def asgi_app(status: int, headers: Dict[str, str], chunks: List[bytes]) -> Any:
    """A bare ASGI app sending these headers and chunks (one chunk: a whole body; more: a stream)."""

    async def app(scope: Any, receive: Any, send: Any) -> None:
        raw = [(k.lower().encode(), v.encode()) for k, v in headers.items()]
        await send({"type": "http.response.start", "status": status, "headers": raw})
        for number, chunk in enumerate(chunks):
            await send({"type": "http.response.body", "body": chunk, "more_body": number < len(chunks) - 1})

    return app


@dataclass
class Case:
    accept: Optional[str] = "gzip"
    method: str = "GET"
    status: int = 200
    headers: Dict[str, str] = field(default_factory=lambda: {"Content-Type": "text/plain"})
    chunks: List[bytes] = field(default_factory=lambda: [BODY])
    gzip: bool = True  # expected Content-Encoding: gzip
    vary: Optional[str] = "Accept-Encoding"  # expected Vary (None: absent)
    etag: Optional[str] = None  # expected ETag


STREAM = [BODY[:700], b"", BODY[700:]]
CASES = {
    # Accept-Encoding as RFC 9110 reads it
    "gzip": Case(),
    "no-accept-encoding": Case(accept=None, gzip=False),
    "empty-accept-encoding": Case(accept="", gzip=False),
    "gzip-q0-refuses": Case(accept="gzip;q=0", gzip=False),
    "gzip-q0.000-refuses": Case(accept="br, gzip; q=0.000", gzip=False),
    "gzip-low-q": Case(accept="identity;q=0, gzip;q=0.001"),
    "case-insensitive": Case(accept="GZIP;Q=0.5"),
    "x-gzip": Case(accept="x-gzip"),
    "star": Case(accept="*"),
    "star-but-gzip-refused": Case(accept="*, gzip;q=0", gzip=False),
    "gzip-named-over-star-q0": Case(accept="*;q=0, gzip"),
    "other-codings-only": Case(accept="deflate, br", gzip=False),
    "bad-qvalue": Case(accept="gzip;q=2", gzip=False),
    "garbled-qvalue": Case(accept="gzip;q=abc", gzip=False),
    "substring-is-not-gzip": Case(accept="gzipx, xgzip", gzip=False),
    # responses that are never coded, nor marked Vary
    "head": Case(method="HEAD", gzip=False, vary=None),
    "204": Case(status=204, chunks=[b""], gzip=False, vary=None),
    "304": Case(status=304, chunks=[b""], gzip=False, vary=None),
    "206": Case(status=206, gzip=False, vary=None),
    "already-coded": Case(headers={"Content-Encoding": "br"}, gzip=False, vary=None),
    "image": Case(headers={"Content-Type": "image/png"}, gzip=False, vary=None),
    "video-wildcard": Case(headers={"Content-Type": "video/mp4"}, gzip=False, vary=None),
    "small-whole-body": Case(chunks=[b"x" * 499], gzip=False, vary=None),
    # Vary and ETag
    "vary-extended": Case(headers={"Vary": "Cookie"}, vary="Cookie, Accept-Encoding"),
    "vary-already-there": Case(headers={"Vary": "accept-encoding"}, vary="accept-encoding"),
    "vary-star": Case(headers={"Vary": "*"}, vary="*"),
    "vary-when-refused": Case(accept="gzip;q=0", headers={"Vary": "Cookie"}, gzip=False, vary="Cookie, Accept-Encoding"),
    "strong-etag-weakened": Case(headers={"ETag": '"v1"'}, etag='W/"v1"'),
    "weak-etag-kept": Case(headers={"ETag": 'W/"v1"'}, etag='W/"v1"'),
    "etag-kept-when-refused": Case(accept="br", headers={"ETag": '"v1"'}, gzip=False, etag='"v1"'),
    # streams: always coded, whatever the size; no stale Content-Length
    "sse-stream": Case(headers={"Content-Type": "text/event-stream"}, chunks=STREAM),
    "stream-with-length": Case(headers={"Content-Length": str(len(BODY))}, chunks=STREAM),
    "tiny-stream": Case(chunks=[b"a", b"b", b""]),
    "stream-refused": Case(accept="identity", headers={"Content-Length": str(len(BODY))}, chunks=STREAM, gzip=False),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_header_rules(case: Case) -> None:
    app = GZipMiddleware(asgi_app(case.status, case.headers, case.chunks))
    client = TestClient(app)  # used without "with": a bare ASGI app has no lifespan to run
    del client.headers["Accept-Encoding"]  # the client's default one
    request_headers = {} if case.accept is None else {"Accept-Encoding": case.accept}
    with client.stream(case.method, "/", headers=request_headers) as response:
        raw = b"".join(response.iter_raw())
    headers = response.headers
    assert response.status_code == case.status
    assert headers.get("content-encoding") == ("gzip" if case.gzip else case.headers.get("Content-Encoding"))
    assert headers.get("vary") == case.vary
    assert headers.get("etag") == case.etag
    sent = b"".join(case.chunks)
    if case.method == "HEAD" or case.status in (204, 304):
        return
    assert (gunzip(raw) if case.gzip else raw) == sent
    streamed = len(case.chunks) > 1
    if case.gzip:
        assert headers.get("content-length") == (None if streamed else str(len(raw)))
    elif "Content-Length" in case.headers:
        assert headers.get("content-length") == case.headers["Content-Length"]


def test_fastapi_add_middleware() -> None:
    app = FastAPI()
    app.add_middleware(GZipMiddleware, minimum_size=1000)

    @app.get("/text/{size}", response_class=PlainTextResponse)
    def text(size: int) -> str:
        return "k" * size

    with TestClient(app) as client:
        small = client.get("/text/999", headers={"Accept-Encoding": "gzip"})
        large = client.get("/text/1000", headers={"Accept-Encoding": "gzip"})
    assert "content-encoding" not in small.headers and small.text == "k" * 999
    assert large.headers["content-encoding"] == "gzip" and large.text == "k" * 1000
    assert int(large.headers["content-length"]) < 100


def run_asgi(app: Any, accept: str = "gzip") -> List[Dict[str, Any]]:
    """Drives ``app`` through one GET on the ASGI interface and returns the messages it sends."""
    sent: List[Dict[str, Any]] = []

    async def receive() -> Dict[str, Any]:
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message: Dict[str, Any]) -> None:
        sent.append(dict(message))

    scope = {"type": "http", "method": "GET", "path": "/", "headers": [(b"accept-encoding", accept.encode())]}
    asyncio.run(app(scope, receive, send))
    return sent


CHUNKINGS = {
    "events": [b"data: %d\n\n" % n for n in range(20)],
    "empty-first-and-last": [b"", b"x" * 3000, b"y", b""],
    "above-thread-size": [BODY * 400, BODY, BODY * 300],  # 720 KB chunks go to a worker thread
    "above-piece-size": [BODY * 1500, b"end"],  # 2.7 MB: compressed and sent in 1 MiB pieces
}


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
@pytest.mark.parametrize("level", [0, 9])
def test_every_stream_chunk_decodes_on_arrival(chunks: List[bytes], level: int) -> None:
    """When the app's send() of a chunk returns, all it sent so far decodes from what went out."""
    sent: List[Dict[str, Any]] = []
    inflater = zlib.decompressobj(31)
    decoded = bytearray()

    async def app(scope: Any, receive: Any, send: Any) -> None:
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/event-stream")]})
        for number, chunk in enumerate(chunks):
            last = number == len(chunks) - 1
            before = len(sent)
            await send({"type": "http.response.body", "body": chunk, "more_body": not last})
            out = [m for m in sent[before:] if m["type"] == "http.response.body"]
            pieces = [m["body"] for m in out]
            assert [m["more_body"] for m in out] == [True] * (len(out) - 1) + [not last]
            assert all(len(piece) <= 1.1 * PIECE_SIZE for piece in pieces)  # big chunks go in pieces
            for piece in pieces:
                decoded.extend(inflater.decompress(piece))
            assert decoded == b"".join(chunks[: number + 1])  # nothing held back by the compressor

    async def record(message: Dict[str, Any]) -> None:
        sent.append(dict(message))

    scope = {"type": "http", "method": "GET", "path": "/", "headers": [(b"accept-encoding", b"gzip")]}
    asyncio.run(GZipMiddleware(app, compresslevel=level)(scope, None, record))  # type: ignore[arg-type]
    assert inflater.eof and not inflater.unused_data
    assert gunzip(b"".join(m["body"] for m in sent[1:])) == b"".join(chunks)


def test_levels() -> None:
    """0 stores (the coded body is larger than the body), 1 to 9 search and write the same bytes."""
    outputs = {}
    for level in (0, 1, 6, 9, -1):
        (_, body) = [m for m in run_asgi(GZipMiddleware(asgi_app(200, {}, [BODY]), compresslevel=level))]
        outputs[level] = body["body"]
        assert gunzip(body["body"]) == BODY
    assert len(outputs[0]) > len(BODY) > 10 * len(outputs[1])
    assert outputs[1] == outputs[6] == outputs[9] == outputs[-1]


@pytest.mark.parametrize("size", [720_000, 2_700_000], ids=["one-piece", "three-pieces"])
def test_whole_body_in_a_thread_matches_inline(size: int) -> None:
    """A whole body above thread_minimum_size is compressed in a worker thread to the same bytes;
    above PIECE_SIZE it goes out in pieces under the Content-Length of them all."""
    big = (BODY * (size // len(BODY) + 1))[:size]
    inline = run_asgi(GZipMiddleware(asgi_app(200, {}, [big]), thread_minimum_size=1 << 30))
    threaded = run_asgi(GZipMiddleware(asgi_app(200, {}, [big]), thread_minimum_size=0))
    assert inline == threaded
    start, *bodies = threaded
    assert len(bodies) == -(-size // PIECE_SIZE)
    assert [m["more_body"] for m in bodies] == [True] * (len(bodies) - 1) + [False]
    coded = b"".join(m["body"] for m in bodies)
    assert dict(start["headers"])[b"content-length"] == str(len(coded)).encode()
    assert gunzip(coded) == big


def test_other_scopes_and_messages_pass_through() -> None:
    """Lifespan and websocket scopes are the app's own; trailers and early hints pass unchanged."""
    seen: List[str] = []

    async def app(scope: Any, receive: Any, send: Any) -> None:
        seen.append(scope["type"])
        if scope["type"] == "http":
            await send({"type": "http.response.start", "status": 200, "headers": [], "trailers": True})
            await send({"type": "http.response.body", "body": BODY})
            await send({"type": "http.response.trailers", "headers": [(b"x-checksum", b"1")]})

    messages = run_asgi(GZipMiddleware(app))
    start, body, trailers = messages
    headers = dict(start["headers"])
    assert headers[b"content-encoding"] == b"gzip" and b"content-length" not in headers  # trailers follow
    assert gunzip(body["body"]) == BODY
    assert trailers == {"type": "http.response.trailers", "headers": [(b"x-checksum", b"1")]}

    async def other_scope() -> None:
        await GZipMiddleware(app)({"type": "lifespan"}, None, None)  # type: ignore[arg-type]

    asyncio.run(other_scope())
    assert seen == ["http", "lifespan"]


BAD_ARGUMENTS: Dict[str, Tuple[Dict[str, Any], type]] = {
    "level-10": ({"compresslevel": 10}, ValueError),
    "level-minus-2": ({"compresslevel": -2}, ValueError),
    "level-str": ({"compresslevel": "9"}, TypeError),
    "level-bool": ({"compresslevel": True}, TypeError),
    "minimum-negative": ({"minimum_size": -1}, ValueError),
    "minimum-float": ({"minimum_size": 1.5}, TypeError),
    "thread-size-str": ({"thread_minimum_size": "1"}, TypeError),
    "exclude-str": ({"exclude_content_types": "image/png"}, TypeError),
}


@pytest.mark.parametrize("kwargs, error", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_bad_arguments(kwargs: Dict[str, Any], error: type) -> None:
    with pytest.raises(error):
        GZipMiddleware(asgi_app(200, {}, [BODY]), **kwargs)
