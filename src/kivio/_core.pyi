"""Type information of the native module kivio._core."""

from typing import Final

from typing_extensions import Buffer, disjoint_base

GZIP: Final = 0
ZLIB: Final = 1
DEFLATE: Final = 2
SYNC_FLUSH: Final = 2
FULL_FLUSH: Final = 3
FINISH: Final = 4

@disjoint_base
class Compressor:
    def __new__(cls, level: int = 1, format: int | str = 0) -> Compressor: ...
    def compress(self, data: Buffer, /) -> bytes: ...
    def flush(self, mode: int = 4) -> bytes: ...
