#!/usr/bin/env python3
"""Serve a folder over HTTP (or HTTPS) on 127.0.0.1 for tests.

The server binds an ephemeral port on 127.0.0.1 only, writes the port number
to --port-file once it is listening, and exits by itself after --max-seconds.

Example:
    static_server.py --root /tmp/www --port-file /tmp/port --max-seconds 120
    static_server.py --root /tmp/www --tls-cert server.crt --tls-key server.key \
        --port-file /tmp/port
"""
import argparse
import functools
import http.server
import os
import ssl
import sys
import threading


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    # HTTP/1.0 answers close the connection after each request; every file
    # answer carries a Content-Length.
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):
        if os.environ.get("FLINTOR_SERVER_LOG"):
            sys.stderr.write("static_server: " + (fmt % args) + "\n")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Clients that hang up early (cancelled downloads) are normal here.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


def write_port(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.replace(tmp, path)  # readers never see a half-written number


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--root", required=True, help="folder to serve")
    ap.add_argument("--port-file", required=True, help="file that receives the port number")
    ap.add_argument("--tls-cert", help="PEM certificate (chain) for HTTPS")
    ap.add_argument("--tls-key", help="PEM private key for HTTPS")
    ap.add_argument("--max-seconds", type=float, default=600,
                    help="stop after this many seconds (default 600)")
    args = ap.parse_args()

    handler = functools.partial(QuietHandler, directory=args.root)
    server = Server(("127.0.0.1", 0), handler)
    if args.tls_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True)

    # The deadline ends the process even when a client holds a connection.
    timer = threading.Timer(args.max_seconds, lambda: os._exit(0))
    timer.daemon = True
    timer.start()

    write_port(args.port_file, server.server_address[1])
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
