"""permessage-deflate (RFC 7692) for servers of the ``websockets`` library, compressed with kiv.

Use it in place of the library's own extension::

    from websockets.asyncio.server import serve
    import kivio.websockets

    async with serve(handler, "127.0.0.1", 8765,
                     extensions=[kivio.websockets.ServerPerMessageDeflateFactory()]):
        ...

Outgoing messages are compressed with kiv and a sync flush, whose closing ``00 00 FF FF`` is stripped
as RFC 7692 says; incoming messages are decompressed by the library's own code with the standard
library's ``zlib``. The negotiation is the library's own, with ``server_no_context_takeover`` always
declared: kiv keeps no history between calls, so the server holds no compression state between
messages. By default it also asks the client for ``client_no_context_takeover``, so that no inflate
state stays open per connection either; pass ``client_no_context_takeover=False`` to let clients keep
their window (better client-to-server ratio, a zlib inflater of 7 KiB plus the window per connection).

kiv's matches reach 32 KiB back. When the client limits the server's window
(``server_max_window_bits`` below 15), a decoder with that window could not follow them, so messages go
out as stored blocks only, valid for every window (still framed as compressed messages).
"""

from __future__ import annotations

import dataclasses
from typing import List, Optional, Sequence, Tuple

from websockets.extensions.base import Extension
from websockets.extensions.permessage_deflate import PerMessageDeflate as _LibraryPerMessageDeflate
from websockets.extensions.permessage_deflate import (
    ServerPerMessageDeflateFactory as _LibraryServerFactory,
)
from websockets.frames import CONT, CTRL_OPCODES, Frame
from websockets.typing import ExtensionParameter

from ._core import DEFLATE, SYNC_FLUSH, Compressor

__all__ = ["PerMessageDeflate", "ServerPerMessageDeflateFactory"]

_EMPTY_STORED_BLOCK_TAIL = b"\x00\x00\xff\xff"


class PerMessageDeflate(_LibraryPerMessageDeflate):
    """The negotiated extension of one server connection: kiv writes, the library's code reads.

    Every outgoing frame is compressed by a fresh raw kiv stream ended with a sync flush. A fresh
    stream holds no bytes of the one before, and a sync flush ends byte-aligned at a block boundary,
    so the frames of a fragmented message join into one valid DEFLATE stream, and a message never
    refers to an earlier one: nothing is kept between frames.
    """

    def __init__(
        self,
        remote_no_context_takeover: bool,
        remote_max_window_bits: int,
        local_max_window_bits: int,
        level: int = 1,
    ) -> None:
        # local_no_context_takeover=True: the library then keeps no zlib compressor of its own.
        super().__init__(remote_no_context_takeover, True, remote_max_window_bits, local_max_window_bits)
        #: The kiv level of outgoing messages: 0 (stored blocks) when the peer's window is below 32 KiB.
        self.kiv_level = 0 if level == 0 or local_max_window_bits < 15 else 1

    def __repr__(self) -> str:
        return f"kivio.websockets.{super().__repr__()[:-1]}, kiv_level={self.kiv_level})"

    def encode(self, frame: Frame) -> Frame:
        """An outgoing frame, compressed (control frames pass unchanged)."""
        if frame.opcode in CTRL_OPCODES:
            return frame
        compressor = Compressor(self.kiv_level, DEFLATE)
        head = compressor.compress(frame.data)
        data = head + compressor.flush(SYNC_FLUSH)
        if frame.fin:
            # The first flush of a stream always writes an empty stored block, even for empty data.
            assert data.endswith(_EMPTY_STORED_BLOCK_TAIL)
            data = data[:-4]
        # RSV1 marks the first frame of a compressed message.
        return dataclasses.replace(frame, data=data, rsv1=frame.opcode is not CONT)


class ServerPerMessageDeflateFactory(_LibraryServerFactory):
    """Server-side permessage-deflate written by kiv, negotiated as the library's own factory does.

    Arguments as the library's ``ServerPerMessageDeflateFactory``, except: ``server_no_context_takeover``
    is always declared (kiv keeps no history); ``client_no_context_takeover`` defaults to True (see the
    module); ``compress_settings`` is replaced by ``level`` (0 stores, 1 to 9 and -1 search; kiv has one
    searching level). ``server_max_window_bits`` below 15, set here or asked for by a client, makes the
    server send stored blocks only.
    """

    def __init__(
        self,
        *,
        client_no_context_takeover: bool = True,
        server_max_window_bits: Optional[int] = None,
        client_max_window_bits: Optional[int] = None,
        require_client_max_window_bits: bool = False,
        level: int = 1,
    ) -> None:
        if isinstance(level, bool) or not isinstance(level, int):
            raise TypeError(f"level must be an int, not {type(level).__name__}")
        if not -1 <= level <= 9:
            raise ValueError(f"level must be -1 or 0 to 9, not {level}")
        super().__init__(
            server_no_context_takeover=True,
            client_no_context_takeover=client_no_context_takeover,
            server_max_window_bits=server_max_window_bits,
            client_max_window_bits=client_max_window_bits,
            require_client_max_window_bits=require_client_max_window_bits,
        )
        self.level = level

    def process_request_params(
        self,
        params: Sequence[ExtensionParameter],
        accepted_extensions: Sequence[Extension],
    ) -> Tuple[List[ExtensionParameter], PerMessageDeflate]:
        """The library's negotiation; the extension it agrees on is then served by kiv."""
        response, agreed = super().process_request_params(params, accepted_extensions)
        extension = PerMessageDeflate(
            agreed.remote_no_context_takeover,
            agreed.remote_max_window_bits,
            agreed.local_max_window_bits,
            self.level,
        )
        return response, extension
