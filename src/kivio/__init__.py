"""kivio: gzip, zlib and raw DEFLATE streams written by kiv's engine, for files, programs and servers.

:class:`Compressor` is the native stream object; the constants name its formats and flush modes.
"""

from kivio._core import DEFLATE, FINISH, FULL_FLUSH, GZIP, SYNC_FLUSH, ZLIB, Compressor

__all__ = ["Compressor", "GZIP", "ZLIB", "DEFLATE", "SYNC_FLUSH", "FULL_FLUSH", "FINISH"]
