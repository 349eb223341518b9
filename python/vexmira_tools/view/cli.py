"""vexmira-view FILE [FILE2]: serve a page that shows the files' frames and how they were
compressed, on this machine's loopback interface unless --host names another."""

import argparse
import os
import socket
import sys
import threading
import webbrowser

PROGRAM = "vexmira-view"


def fail(message: str, status: int) -> int:
    print(f"{PROGRAM}: {message}", file=sys.stderr)
    return status


def listening_socket(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    listener.bind((host, port))
    listener.listen(64)
    return listener


def url_of(listener: socket.socket) -> str:
    host, port = listener.getsockname()[:2]
    return f"http://{f'[{host}]' if ':' in host else host}:{port}/"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__)
    parser.add_argument("files", nargs="+", metavar="FILE", help="one video file, or two encodes of one source")
    parser.add_argument("--port", type=int, default=8765, help="port to serve on (0: any free one)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="interface to serve on; anything but loopback lets other machines read the files")
    parser.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    args = parser.parse_args(argv)
    if len(args.files) > 2:
        return fail("at most two files, side by side", 2)
    for path in args.files:
        if not os.path.isfile(path):
            return fail(f"{path}: no such file", 2)

    import uvicorn

    from vexmira_tools.view.routes import create_app
    from vexmira_tools.view.sources import VideoSource

    try:
        sources = [VideoSource(path) for path in args.files]
    except RuntimeError as error:
        return fail(str(error), 1)
    try:
        listener = listening_socket(args.host, args.port)
    except OSError as error:
        return fail(f"cannot listen on {args.host}:{args.port}: {error}", 1)
    url = url_of(listener)
    server = uvicorn.Server(uvicorn.Config(create_app(sources), log_level="warning"))
    try:
        # From the line that says where the page is, Ctrl-C stops the server, even before
        # uvicorn has taken the signal over.
        print(f"{PROGRAM}: serving {', '.join(args.files)} at {url} (Ctrl-C stops)", flush=True)
        if not args.no_browser:
            threading.Timer(0.5, webbrowser.open, (url,)).start()
        server.run(sockets=[listener])
    except KeyboardInterrupt:
        # uvicorn shuts down on the first Ctrl-C and then raises it again: stopping is what
        # the user asked for, not an error.
        pass
    finally:
        for source in sources:
            source.close()
    print(f"{PROGRAM}: stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
