"""kivio.wsgi.GZipMiddleware with Flask's test client, bare WSGI apps, and wsgiref on 127.0.0.1."""

from __future__ import annotations

import threading
import zlib
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional
from wsgiref.simple_server import WSGIRequestHandler, make_server

import httpx
import pytest
from flask import Flask, Response
from werkzeug.test import Client

from kivio.wsgi import GZipMiddleware
from webtools import gunzip

BODY = b"The quick brown fox jumps over the lazy dog. " * 40  # 1800 bytes
GZIP = {"Accept-Encoding": "gzip"}


@pytest.fixture
def flask_app() -> Flask:
    app = Flask(__name__)

    @app.get("/whole")
    def whole() -> Response:
        return Response(BODY, headers={"ETag": '"v1"'}, mimetype="text/plain")

    @app.get("/small")
    def small() -> bytes:
        return b"tiny"

    @app.get("/stream")
    def stream() -> Response:
        def events() -> Iterator[bytes]:
            for number in range(30):
                yield b"data: %d\n\n" % number

        return Response(events(), mimetype="text/event-stream")

    @app.get("/png")
    def png() -> Response:
        return Response(BODY, mimetype="image/png")

    app.wsgi_app = GZipMiddleware(app.wsgi_app)  # type: ignore[method-assign]
    return app


def test_flask_whole_body(flask_app: Flask) -> None:
    response = flask_app.test_client().get("/whole", headers=GZIP)
    assert response.headers["Content-Encoding"] == "gzip"
    assert response.headers["Vary"] == "Accept-Encoding"
    assert response.headers["ETag"] == 'W/"v1"'
    assert response.headers["Content-Length"] == str(len(response.data))  # a whole body, not a stream
    assert gunzip(response.data) == BODY


@pytest.mark.parametrize(
    "path, accept, coded, vary",
    [
        ("/whole", "gzip;q=0", False, "Accept-Encoding"),
        ("/whole", "*", True, "Accept-Encoding"),
        ("/small", "gzip", False, None),
        ("/png", "gzip", False, None),
    ],
    ids=["refused", "star", "small", "excluded-type"],
)
def test_flask_rules(flask_app: Flask, path: str, accept: str, coded: bool, vary: Optional[str]) -> None:
    response = flask_app.test_client().get(path, headers={"Accept-Encoding": accept})
    assert response.headers.get("Content-Encoding") == ("gzip" if coded else None)
    assert response.headers.get("Vary") == vary
    assert int(response.headers["Content-Length"]) == len(response.data)


def test_flask_head_is_left_alone(flask_app: Flask) -> None:
    response = flask_app.test_client().head("/whole", headers=GZIP)
    assert "Content-Encoding" not in response.headers
    assert response.headers["Content-Length"] == str(len(BODY)) and response.data == b""


def test_flask_stream_decodes_chunk_by_chunk(flask_app: Flask) -> None:
    response = flask_app.test_client().get("/stream", headers=GZIP, buffered=False)
    assert response.headers["Content-Encoding"] == "gzip" and "Content-Length" not in response.headers
    inflater = zlib.decompressobj(31)
    decoded = b""
    expected = [b"data: %d\n\n" % number for number in range(30)]
    for number, chunk in enumerate(response.response):
        decoded += inflater.decompress(chunk)
        if number < len(expected):
            assert decoded == b"".join(expected[: number + 1])  # each chunk decodes on arrival
    response.close()
    assert inflater.eof and decoded == b"".join(expected)


class Recorder:
    """A bare WSGI app returning ``chunks`` as a list (response started at once) or as an iterator
    (started on the first read, as PEP 3333 allows); counts the closing of what it returned."""

    def __init__(self, chunks: List[bytes], *, as_list: bool = False, headers: Optional[Dict[str, str]] = None) -> None:
        self.chunks = chunks
        self.as_list = as_list
        self.headers = [("Content-Type", "text/plain"), *(headers or {}).items()]
        self.closed = 0

    def __call__(self, environ: Dict[str, Any], start_response: Any) -> Iterable[bytes]:
        if self.as_list:
            start_response("200 OK", self.headers)
            return ClosingList(self.chunks, self)
        return ClosingIterator(self.chunks, self, lambda: start_response("200 OK", self.headers))


class ClosingList(list):  # type: ignore[type-arg]
    def __init__(self, chunks: List[bytes], recorder: Recorder) -> None:
        super().__init__(chunks)
        self.recorder = recorder

    def close(self) -> None:
        self.recorder.closed += 1


class ClosingIterator:
    def __init__(self, chunks: List[bytes], recorder: Recorder, start: Callable[[], Any]) -> None:
        self.chunks, self.recorder, self.start = chunks, recorder, start

    def __iter__(self) -> Iterator[bytes]:
        self.start()
        return iter(self.chunks)

    def close(self) -> None:
        self.recorder.closed += 1


LENGTH = {"Content-Length": str(len(BODY))}
WHOLE_OR_STREAM = {
    # (chunks, returned as a list?, headers, whole body?)
    "one-item-list": ([BODY], True, {}, True),
    "empty-list": ([], True, {}, True),
    "declared-length-one-chunk": ([BODY], False, LENGTH, True),
    "declared-length-then-empty-chunks": ([b"", BODY, b""], False, LENGTH, True),
    "two-item-list": ([BODY[:900], BODY[900:]], True, {}, False),
    "iterator-without-length": ([BODY], False, {}, False),
    "declared-length-two-chunks": ([BODY[:900], BODY[900:]], False, LENGTH, False),
    "declared-length-too-short": ([BODY, b"extra"], False, LENGTH, False),
}


@pytest.mark.parametrize("chunks, as_list, headers, whole", WHOLE_OR_STREAM.values(), ids=WHOLE_OR_STREAM.keys())
def test_whole_or_stream(chunks: List[bytes], as_list: bool, headers: Dict[str, str], whole: bool) -> None:
    app = Recorder(chunks, as_list=as_list, headers=headers)
    response = Client(GZipMiddleware(app, minimum_size=0)).get("/", headers=GZIP)
    assert response.headers["Content-Encoding"] == "gzip"
    if whole:
        assert response.headers["Content-Length"] == str(len(response.data))
    else:
        assert "Content-Length" not in response.headers  # never a stale one
    assert gunzip(response.data) == b"".join(chunks)
    response.close()
    assert app.closed == 1


def test_bytes_result_is_a_whole_body() -> None:
    def app(environ: Dict[str, Any], start_response: Any) -> bytes:
        start_response("200 OK", [("Content-Type", "text/plain")])
        return BODY  # not a list: servers would send its ints; the middleware takes it whole

    response = Client(GZipMiddleware(app)).get("/", headers=GZIP)
    assert gunzip(response.data) == BODY and response.headers["Content-Length"] == str(len(response.data))


def test_write_callable_starts_a_stream() -> None:
    def app(environ: Dict[str, Any], start_response: Any) -> List[bytes]:
        write = start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "9999")])
        write(BODY[:1000])
        write(b"")
        return [BODY[1000:]]

    response = Client(GZipMiddleware(app)).get("/", headers=GZIP)
    assert "Content-Length" not in response.headers
    assert gunzip(response.data) == BODY


def test_iterable_closed_when_the_server_stops_early() -> None:
    app = Recorder([b"a" * 1000, b"b" * 1000, b"c" * 1000])
    response = Client(GZipMiddleware(app)).get("/", headers=GZIP, buffered=False)
    first = next(iter(response.response))
    assert zlib.decompressobj(31).decompress(first) == b"a" * 1000
    response.close()
    assert app.closed == 1


def test_error_after_start_response_with_exc_info() -> None:
    """An app may replace its headers with exc_info before the body: the new ones go out."""

    def app(environ: Dict[str, Any], start_response: Any) -> List[bytes]:
        start_response("200 OK", [("Content-Type", "text/plain")])
        try:
            raise KeyError("boom")
        except KeyError:
            import sys

            start_response("500 Internal Server Error", [("Content-Type", "text/plain")], sys.exc_info())
        return [b"failed " * 100]

    response = Client(GZipMiddleware(app)).get("/", headers=GZIP)
    assert response.status_code == 500
    assert gunzip(response.data) == b"failed " * 100


class QuietHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        pass


def test_wsgiref_stream_on_loopback() -> None:
    """A real server: chunks read off the socket one by one decode as they arrive."""
    sent = [b"event %d\n" % number * 20 for number in range(8)]
    arrived = threading.Event()

    def app(environ: Dict[str, Any], start_response: Any) -> Iterator[bytes]:
        start_response("200 OK", [("Content-Type", "text/plain")])
        for chunk in sent:
            yield chunk
            # The next chunk waits until the client decoded this one: a buffering middleware hangs.
            if not arrived.wait(10):
                raise TimeoutError("the client never decoded a chunk")
            arrived.clear()

    server = make_server("127.0.0.1", 0, GZipMiddleware(app), handler_class=QuietHandler)
    thread = threading.Thread(target=server.handle_request, daemon=True)
    thread.start()
    try:
        url = f"http://127.0.0.1:{server.server_port}/"
        inflater = zlib.decompressobj(31)
        decoded = b""
        expected = b""
        with httpx.stream("GET", url, headers=GZIP, timeout=15) as response:
            assert response.headers["content-encoding"] == "gzip"
            chunks = response.iter_raw()
            for chunk in sent:
                expected += chunk
                while decoded != expected:
                    decoded += inflater.decompress(next(chunks))
                arrived.set()
            for rest in chunks:
                decoded += inflater.decompress(rest)
        assert inflater.eof and decoded == b"".join(sent)
    finally:
        thread.join(15)
        server.server_close()
