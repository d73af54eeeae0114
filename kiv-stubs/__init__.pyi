from typing import Final

KIV_FMT_GZIP: Final = 0
KIV_FMT_ZLIB: Final = 1
KIV_FMT_DEFLATE: Final = 2

class compressobj:
    def __init__(self, level: int = 1, format: int = 2) -> None: ...
    def compress(self, obj: bytes) -> bytes: ...
    def flush(self) -> bytes: ...
