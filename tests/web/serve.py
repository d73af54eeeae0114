"""Runs one ASGI app of ``asgi_apps.py`` under uvicorn on a listening socket inherited from the test.

    python serve.py APP_NAME FD

The test binds 127.0.0.1 on a free port, passes the socket's descriptor and so knows the address
before the server starts; the server stops on SIGTERM.
"""

from __future__ import annotations

import asyncio
import socket
import sys

import uvicorn

import asgi_apps


def main() -> None:
    name, fd = sys.argv[1], int(sys.argv[2])
    asgi_apps.warm_up()
    sock = socket.socket(fileno=fd)  # family and type are read from the descriptor
    config = uvicorn.Config(getattr(asgi_apps, name), log_level="warning", lifespan="off")
    asyncio.run(uvicorn.Server(config).serve(sockets=[sock]))


if __name__ == "__main__":
    main()
