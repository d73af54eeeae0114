"""kivio: gzip, zlib and raw DEFLATE streams written by kiv's engine, for files, programs and servers.

:class:`Compressor` is the native stream object; the constants name its formats and flush modes.
:func:`compress` turns a whole input into a stream, :func:`open` writes compressed files.
"""

from kivio._core import DEFLATE, FINISH, FULL_FLUSH, GZIP, SYNC_FLUSH, ZLIB, Compressor
from kivio._oneshot import compress
from kivio.files import open

__all__ = ["Compressor", "GZIP", "ZLIB", "DEFLATE", "SYNC_FLUSH", "FULL_FLUSH", "FINISH", "compress", "open"]
