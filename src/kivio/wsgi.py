"""gzip for WSGI applications (Flask, Django through WSGI, any PEP 3333 app), compressed with kiv.

:class:`GZipMiddleware` applies the rules of :class:`kivio.asgi.GZipMiddleware` to a WSGI app: whole
bodies are compressed in one piece and get the compressed ``Content-Length``; streamed bodies are
compressed chunk by chunk with a sync flush after each, so a client decodes every chunk as it arrives.
The module needs no web framework.
"""

from __future__ import annotations

from types import TracebackType
from typing import (
    Any,
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    Optional,
    Sequence,
    Tuple,
    Type,
    Union,
)

from . import _http
from ._core import FINISH, GZIP, SYNC_FLUSH, Compressor

__all__ = ["GZipMiddleware", "DEFAULT_EXCLUDED_CONTENT_TYPES"]

DEFAULT_EXCLUDED_CONTENT_TYPES = _http.DEFAULT_EXCLUDED_CONTENT_TYPES

ExcInfo = Tuple[Type[BaseException], BaseException, Optional[TracebackType]]
OptExcInfo = Union[ExcInfo, Tuple[None, None, None]]
Headers = List[Tuple[str, str]]
Write = Callable[[bytes], Any]
StartResponse = Callable[..., Write]
Environ = Dict[str, Any]
WSGIApp = Callable[[Environ, StartResponse], Iterable[bytes]]


class GZipMiddleware:
    """Compresses the responses of a WSGI application with gzip when the request accepts it.

    Arguments and rules as :class:`kivio.asgi.GZipMiddleware` (``minimum_size``, ``compresslevel``,
    keyword-only ``exclude_content_types``; ``Accept-Encoding`` per RFC 9110; no coding on HEAD,
    204, 206, 304, excluded media types or responses with a ``Content-Encoding``; ``Vary``; strong
    ``ETag`` made weak).

    What counts as a whole body, compressed in one piece with the compressed ``Content-Length``:

    - an application result that is one ``bytes`` object, or has a ``len()`` of 1 (a one-item list or
      tuple: PEP 3333's own rule for knowing the length), or of 0;
    - a result whose first chunk is exactly as long as the ``Content-Length`` the application
      declared (as Flask and Django send whole bodies): the rest of the iterable is drained first and
      must be empty, otherwise the body is handled as a stream after all.

    Anything else is a stream: ``Content-Length`` is removed and every chunk goes out compressed and
    sync-flushed. The application's iterable is always closed. An application that writes through the
    ``write`` callable of ``start_response`` gets a stream that starts with those writes.
    """

    def __init__(
        self,
        app: WSGIApp,
        minimum_size: int = 500,
        compresslevel: int = 9,
        *,
        exclude_content_types: Sequence[str] = DEFAULT_EXCLUDED_CONTENT_TYPES,
    ) -> None:
        self.app = app
        self.minimum_size = _http.validate_minimum_size(minimum_size)
        self.compresslevel = _http.validate_compresslevel(compresslevel)
        if isinstance(exclude_content_types, str):
            raise TypeError("exclude_content_types must be a sequence of media types, not a str")
        self.exclude_content_types = _http.normalize_content_types(exclude_content_types)

    def __call__(self, environ: Environ, start_response: StartResponse) -> Iterable[bytes]:
        responder = _Responder(self, environ, start_response)
        result = self.app(environ, responder.start_response)
        return responder.respond(result)


class _Responder:
    """One request: captures the application's status and headers, then chooses how to send."""

    def __init__(self, config: GZipMiddleware, environ: Environ, start_response: StartResponse) -> None:
        self.config = config
        self.server_start_response = start_response
        self.accepted = _http.accepts_gzip(environ.get("HTTP_ACCEPT_ENCODING"))
        self.method: str = environ.get("REQUEST_METHOD", "GET")
        self.status: Optional[str] = None
        self.headers: Headers = []
        self.server_write: Optional[Write] = None  # set once the server has the headers
        self.compressor: Optional[Compressor] = None

    # -- the callable handed to the application

    def start_response(self, status: str, headers: Headers, exc_info: Optional[OptExcInfo] = None) -> Write:
        if exc_info is not None and self.server_write is not None:
            # Headers already went out: the server re-raises (PEP 3333).
            self.server_start_response(status, headers, exc_info)
        elif self.status is not None and exc_info is None:
            raise AssertionError("start_response called a second time without exc_info")
        # exc_info is not kept: when the headers go out later, no earlier headers exist to replace.
        self.status, self.headers = status, list(headers)
        return self.write

    def write(self, data: bytes) -> None:
        """The legacy ``write`` callable: the body becomes a stream that starts here."""
        if self.server_write is None:
            self._start_stream()
        assert self.server_write is not None
        out = self._encode(data, finish=False)
        if out:
            self.server_write(out)

    # -- choosing what to send

    def respond(self, result: Iterable[bytes]) -> Iterable[bytes]:
        if self.server_write is not None:  # the application used write(): already a stream
            return _StreamBody(self, result, iter(result), [])
        try:
            whole = _whole_body(result)
            iterator: Optional[Iterator[bytes]] = None
            pulled: List[bytes] = []
            if whole is None:
                iterator = iter(result)
                first = _next_chunk(iterator)
                if first is not None:
                    pulled.append(first)
            if self.status is None:
                raise RuntimeError("the WSGI application returned without calling start_response")
            if not self._eligible():
                self._send_headers(self.headers)
                if whole is not None:
                    return _ClosingBody([whole], result)
                return _ClosingBody(_chain(pulled, iterator), result)
            if whole is None and pulled:
                whole = self._declared_whole(pulled, iterator)
            if whole is None:
                if not pulled:  # an empty iterable: a whole empty body
                    whole = b""
                else:
                    self._start_stream()
                    return _StreamBody(self, result, iterator, pulled)
            return _ClosingBody([self._whole(whole)], result)
        except BaseException:
            _close(result)
            raise

    def _eligible(self) -> bool:
        """Whether the response, by its status and headers, may be coded at all."""
        assert self.status is not None
        return (
            _http.status_allows_body_coding(_status_code(self.status), self.method)
            and _header(self.headers, "content-encoding") is None
            and not _http.is_excluded_media_type(_header(self.headers, "content-type"), self.config.exclude_content_types)
        )

    def _declared_whole(self, pulled: List[bytes], iterator: Optional[Iterator[bytes]]) -> Optional[bytes]:
        """The body, when the first chunk is as long as the declared Content-Length and nothing follows.

        The iterator is read on only when the first chunk already holds the declared length, so a
        stream without a length (or with one its first chunk doesn't meet) is never held back. A chunk
        that does follow stays in ``pulled`` for the stream.
        """
        declared = _header(self.headers, "content-length")
        if declared is None or iterator is None or not declared.strip().isdigit():
            return None
        if len(pulled[0]) != int(declared):
            return None
        extra = _next_chunk(iterator)
        if extra is None:
            return pulled[0]
        pulled.append(extra)  # more than the declared length: not a whole body after all
        return None

    def _whole(self, body: bytes) -> bytes:
        if len(body) < self.config.minimum_size:
            self._send_headers(self.headers)
            return body
        headers = self._coded_headers()
        if not self.accepted:
            self._send_headers(headers)
            return body
        compressed = Compressor(self._kiv_level(), GZIP)
        out = compressed.compress(body) + compressed.flush(FINISH)
        headers.append(("Content-Length", str(len(out))))
        self._send_headers(headers)
        return out

    def _start_stream(self) -> None:
        if self.status is None:
            raise AssertionError("write() called before start_response")
        if self.server_write is not None:
            return
        if not self._eligible():
            self._send_headers(self.headers)
            return
        headers = self._coded_headers()
        if self.accepted:
            self.compressor = Compressor(self._kiv_level(), GZIP)
        self._send_headers(headers)

    def _coded_headers(self) -> Headers:
        """The application's headers with Vary extended and, if gzip goes out, the coding headers set
        (Content-Length left out: the caller adds it for a whole body)."""
        headers: Headers = []
        vary: Optional[str] = None
        for name, value in self.headers:
            lname = name.lower()
            if lname == "vary":
                vary = value if vary is None else f"{vary}, {value}"
            elif self.accepted and lname == "content-length":
                continue
            elif self.accepted and lname == "etag":
                headers.append((name, _http.weaken_etag(value)))
            else:
                headers.append((name, value))
        headers.append(("Vary", _http.extend_vary(vary)))
        if self.accepted:
            headers.append(("Content-Encoding", "gzip"))
        return headers

    def _send_headers(self, headers: Headers) -> None:
        assert self.status is not None
        self.server_write = self.server_start_response(self.status, headers)

    def _kiv_level(self) -> int:
        return 0 if self.config.compresslevel == 0 else 1

    def _encode(self, chunk: bytes, *, finish: bool) -> bytes:
        """A stream chunk as it goes out: compressed and flushed when gzip is on, else unchanged."""
        compressor = self.compressor
        if compressor is None:
            return chunk
        head = compressor.compress(chunk)
        tail = compressor.flush(FINISH if finish else SYNC_FLUSH)
        return head + tail if head else tail


class _ClosingBody:
    """Yields ``chunks`` and closes the application's iterable when the server closes this one."""

    def __init__(self, chunks: Iterable[bytes], result: Iterable[bytes]) -> None:
        self._chunks = iter(chunks)
        self._result = result

    def __iter__(self) -> Iterator[bytes]:
        return self

    def __next__(self) -> bytes:
        return next(self._chunks)

    def close(self) -> None:
        _close(self._result)


class _StreamBody:
    """A streamed body: the application's chunks, compressed and sync-flushed one by one when gzip is
    on, the end of the gzip stream after the last. Closing it closes the application's iterable."""

    def __init__(
        self, responder: _Responder, result: Iterable[bytes], iterator: Optional[Iterator[bytes]], pulled: List[bytes]
    ) -> None:
        self._responder = responder
        self._result = result
        self._iterator = iterator
        self._pending = pulled
        self._done = False

    def __iter__(self) -> Iterator[bytes]:
        return self

    def __next__(self) -> bytes:
        while not self._done:
            if self._pending:
                chunk: Optional[bytes] = self._pending.pop(0)
            else:
                chunk = _next_chunk(self._iterator) if self._iterator is not None else None
            if chunk is None:
                self._done = True
                out = self._responder._encode(b"", finish=True)
            else:
                out = self._responder._encode(chunk, finish=False)
            if out:
                return out
        raise StopIteration

    def close(self) -> None:
        self._done = True
        _close(self._result)


def _whole_body(result: Iterable[bytes]) -> Optional[bytes]:
    """The body, when the result's type tells that it is one piece (bytes, or a length of 0 or 1)."""
    if isinstance(result, (bytes, bytearray, memoryview)):
        return bytes(result)
    try:
        size = len(result)  # type: ignore[arg-type]
    except TypeError:  # no len(): a generator or the like
        return None
    if size == 0:
        return b""
    if size == 1:
        return b"".join(result)
    return None


def _next_chunk(iterator: Optional[Iterator[bytes]]) -> Optional[bytes]:
    """The next non-empty chunk, or None at the end."""
    if iterator is None:
        return None
    for chunk in iterator:
        if chunk:
            return chunk
    return None


def _chain(pulled: List[bytes], iterator: Optional[Iterator[bytes]]) -> Iterator[bytes]:
    yield from pulled
    if iterator is not None:
        yield from iterator


def _close(result: Iterable[bytes]) -> None:
    close = getattr(result, "close", None)
    if close is not None:
        close()


def _header(headers: Headers, name: str) -> Optional[str]:
    for key, value in headers:
        if key.lower() == name:
            return value
    return None


def _status_code(status: str) -> int:
    try:
        return int(status.split(None, 1)[0])
    except (ValueError, IndexError):
        raise ValueError(f"malformed WSGI status line: {status!r}") from None

