"""HTTP content-coding rules shared by the ASGI and WSGI middleware.

Nothing here imports a web framework: the functions work on plain header strings so that both
middlewares apply exactly the same rules.
"""

from __future__ import annotations

import re
from typing import Iterable, Optional, Tuple

#: Media types that are already compressed (or that a client must receive byte for byte), left alone by
#: default. ``type/*`` covers a whole top-level type. Unlike the zlib-based middleware of some
#: frameworks, ``text/event-stream`` is not listed: every event goes out decodable at once after a sync
#: flush, so Server-Sent Events need no exclusion.
DEFAULT_EXCLUDED_CONTENT_TYPES: Tuple[str, ...] = (
    "application/grpc",
    "application/gzip",
    "application/x-gzip",
    "application/zip",
    "audio/*",
    "font/woff",
    "font/woff2",
    "image/avif",
    "image/gif",
    "image/jpeg",
    "image/png",
    "image/webp",
    "video/*",
)

# RFC 9110, 12.4.2: qvalue = ( "0" [ "." 0*3DIGIT ] ) / ( "1" [ "." 0*3("0") ] )
_QVALUE = re.compile(r"(?:0(?:\.[0-9]{0,3})?|1(?:\.0{0,3})?)\Z")
_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z")


def gzip_quality(accept_encoding: Optional[str]) -> float:
    """The weight that an ``Accept-Encoding`` field value gives to gzip, 0.0 meaning "not acceptable".

    The value is parsed as RFC 9110 (section 12.5.3) says: a comma-separated list of codings, each
    with an optional ``;q=`` weight (1 when absent). ``x-gzip`` is the same coding as ``gzip``
    (section 8.4.1.3); ``*`` gives its weight to gzip when gzip is not named. Codings and parameter
    names are case-insensitive. An element that does not parse (a bad token or a weight outside
    0..1 with at most three decimals) counts as "not acceptable" for the coding it names, so a garbled
    field never leads to a compressed response. No field (None) or an empty one accepts no coding
    but identity.
    """
    if not accept_encoding:
        return 0.0
    named: Optional[float] = None
    wildcard: Optional[float] = None
    for element in accept_encoding.split(","):
        coding, _, params = element.partition(";")
        coding = coding.strip().lower()
        if not coding:
            continue  # empty list elements are allowed and mean nothing (RFC 9110, 5.6.1)
        quality = _weight(params) if _TOKEN.match(coding) else 0.0
        if coding in ("gzip", "x-gzip"):
            # Named more than once: the most favourable weight wins.
            named = quality if named is None else max(named, quality)
        elif coding == "*":
            wildcard = quality if wildcard is None else max(wildcard, quality)
    if named is not None:
        return named
    return wildcard or 0.0


def _weight(params: str) -> float:
    """The ``q`` parameter of one element's parameters (1.0 when absent, 0.0 when malformed)."""
    quality = 1.0
    for param in params.split(";"):
        name, eq, value = param.partition("=")
        name = name.strip().lower()
        if not name:
            continue
        if name != "q" or not eq:
            # Accept-Encoding defines no parameter but the weight; an unknown one is ignored.
            continue
        value = value.strip()
        if not _QVALUE.match(value):
            return 0.0
        quality = float(value)
    return quality


def accepts_gzip(accept_encoding: Optional[str]) -> bool:
    """Whether a request with this ``Accept-Encoding`` value may receive a gzip-coded response."""
    return gzip_quality(accept_encoding) > 0.0


def normalize_content_types(content_types: Iterable[str]) -> Tuple[str, ...]:
    """Media types in the form :func:`is_excluded_media_type` compares: lower case, no parameters."""
    return tuple(t.partition(";")[0].strip().lower() for t in content_types)


def is_excluded_media_type(content_type: Optional[str], excluded: Tuple[str, ...]) -> bool:
    """Whether a ``Content-Type`` value names one of ``excluded`` (normalized), ``type/*`` included.

    ``application/grpc+proto`` and the like count as ``application/grpc``.
    """
    media_type = (content_type or "").partition(";")[0].strip().lower()
    if not media_type:
        return False
    candidates = {media_type, media_type.partition("/")[0] + "/*"}
    if media_type.startswith("application/grpc+"):
        candidates.add("application/grpc")
    return not candidates.isdisjoint(excluded)


def status_allows_body_coding(status: int, method: str) -> bool:
    """Whether a response of this status to this request method may get a content coding at all.

    Never for HEAD (its Content-Length describes a body that is not sent), informational responses,
    204 and 304 (no body), and 206 (ranges address the bytes of the identity representation).
    """
    return method.upper() != "HEAD" and status >= 200 and status not in (204, 206, 304)


def extend_vary(vary: Optional[str]) -> str:
    """The ``Vary`` value with ``Accept-Encoding`` added unless already covered (by name or ``*``)."""
    if not vary or not vary.strip():
        return "Accept-Encoding"
    names = {name.strip().lower() for name in vary.split(",")}
    if "accept-encoding" in names or "*" in names:
        return vary
    return f"{vary}, Accept-Encoding"


def weaken_etag(etag: str) -> str:
    """A strong entity tag made weak (``"x"`` becomes ``W/"x"``), as the coded body is another byte
    sequence; a weak tag stays as it is."""
    stripped = etag.strip()
    if stripped.startswith("W/") or not stripped:
        return etag
    return "W/" + stripped


def validate_compresslevel(compresslevel: int) -> int:
    """Check a zlib-style ``compresslevel`` (0 stores, 1 to 9 and -1 search) and return it."""
    if isinstance(compresslevel, bool) or not isinstance(compresslevel, int):
        raise TypeError(f"compresslevel must be an int, not {type(compresslevel).__name__}")
    if not -1 <= compresslevel <= 9:
        raise ValueError(f"compresslevel must be -1 or 0 to 9, not {compresslevel}")
    return compresslevel


def validate_minimum_size(minimum_size: int) -> int:
    """Check ``minimum_size`` (bytes, not negative) and return it."""
    if isinstance(minimum_size, bool) or not isinstance(minimum_size, int):
        raise TypeError(f"minimum_size must be an int, not {type(minimum_size).__name__}")
    if minimum_size < 0:
        raise ValueError(f"minimum_size must not be negative, not {minimum_size}")
    return minimum_size
