#!/usr/bin/env python3
"""Scripted HTTP(S) server for tests of the network clients.

Listens on 127.0.0.1 on a free port, writes the port to --port-file, and
exits by itself after --max-seconds. Every answer is HTTP/1.0 and closes the
connection. Paths:

  /data?size=N[&ms=M]    N bytes (byte i is i % 251) with Content-Length;
                         with ms, sent in 1000-byte pieces M ms apart
  /nolength?size=N       N bytes, no Content-Length, ended by closing
  /short                 Content-Length 1000, only 500 bytes, then close
  /notfound              404 with a 13-byte body and its Content-Length
  /redirect              301 to /data?size=100
  /chain/K               K redirects in a row (the last to /data?size=10)
  /to-http?port=P        302 to http://127.0.0.1:P/data?size=10
  /goto?url=U            302 to U
  /slow?seconds=S        waits S seconds (at most 60) before answering
  /reset                 reads the request, then resets the connection
  /echo                  body = request line and header lines as received,
                         then the request body
  /auth                  200 "welcome" with Basic user:secret, else 401
  /endless[?length=N]    pattern bytes without end, until the client goes;
                         with length, Content-Length N is announced first
  /trickle?ms=M          Content-Length 1000000, then one byte every M ms
                         (at least 10) until the client goes

TLS: --tls-cert/--tls-key serve HTTPS; --tls-max-version TLSv1 or TLSv1_1
limits the server to that old protocol (as far as the local OpenSSL allows).
"""
import argparse
import base64
import http.server
import os
import socket
import ssl
import struct
import sys
import threading
import time

from static_server import write_port
import urllib.parse
import warnings

MAX_SLEEP = 60.0


def pattern(n):
    return bytes(i % 251 for i in range(n))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):
        if os.environ.get("FLINTOR_SERVER_LOG"):
            sys.stderr.write("fault_server: " + (fmt % args) + "\n")

    def send_body(self, code, body, length=True, ctype="application/octet-stream",
                  extra=()):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        if length:
            self.send_header("Content-Length", str(len(body)))
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def redirect(self, code, location):
        self.send_body(code, b"moved\n", ctype="text/plain", extra=[("Location", location)])

    def stream(self, piece, pause):
        """Writes piece() again and again, pause seconds apart, until the
        client closes the connection (or the server's time is up)."""
        try:
            while True:
                self.wfile.write(piece())
                self.wfile.flush()
                if pause:
                    time.sleep(pause)
        except (ConnectionError, ssl.SSLError, OSError):
            self.close_connection = True

    def do_POST(self):
        self.do_GET()

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        q = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        path = url.path
        if path == "/data":
            size = int(q.get("size", "0"))
            ms = int(q.get("ms", "0"))
            body = pattern(size)
            if not ms:
                self.send_body(200, body)
                return
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            for i in range(0, size, 1000):
                self.wfile.write(body[i:i + 1000])
                self.wfile.flush()
                time.sleep(ms / 1000.0)
        elif path == "/nolength":
            self.send_body(200, pattern(int(q.get("size", "0"))), length=False)
        elif path == "/short":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(pattern(500))
            self.wfile.flush()
        elif path == "/notfound":
            self.send_body(404, b"no such file\n", ctype="text/plain")
        elif path == "/redirect":
            self.redirect(301, "/data?size=100")
        elif path.startswith("/chain/"):
            k = int(path[len("/chain/"):])
            if k <= 0:
                self.send_body(200, pattern(10))
            elif k == 1:
                self.redirect(302, "/data?size=10")
            else:
                self.redirect(302, "/chain/%d" % (k - 1))
        elif path == "/goto":
            self.redirect(302, q["url"])
        elif path == "/to-http":
            self.redirect(302, "http://127.0.0.1:%s/data?size=10" % q["port"])
        elif path == "/slow":
            time.sleep(min(float(q.get("seconds", "30")), MAX_SLEEP))
            self.send_body(200, b"late\n", ctype="text/plain")
        elif path == "/reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
        elif path == "/echo":
            n = int(self.headers.get("Content-Length", "0") or "0")
            body = self.rfile.read(n) if n else b""
            text = (self.requestline + "\r\n").encode("latin-1")
            for k, v in self.headers.items():
                text += ("%s: %s\r\n" % (k, v)).encode("latin-1")
            self.send_body(200, text + b"\r\n" + body, ctype="text/plain")
        elif path == "/endless":
            self.send_response(200)
            if "length" in q:
                self.send_header("Content-Length", q["length"])
            self.end_headers()
            block = pattern(65536)
            self.stream(lambda: block, 0)
        elif path == "/trickle":
            self.send_response(200)
            self.send_header("Content-Length", "1000000")
            self.end_headers()
            self.stream(lambda: b"t", max(int(q.get("ms", "1000")), 10) / 1000.0)
        elif path == "/auth":
            want = "Basic " + base64.b64encode(b"user:secret").decode()
            if self.headers.get("Authorization") == want:
                self.send_body(200, b"welcome", ctype="text/plain")
            else:
                self.send_body(401, b"who are you", ctype="text/plain",
                               extra=[("WWW-Authenticate", 'Basic realm="t"')])
        else:
            self.send_body(404, b"unknown path\n", ctype="text/plain")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that goes away mid-answer is part of the tests (cancel,
        # time-outs); it is not worth a traceback.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    ap.add_argument("--tls-max-version", choices=["TLSv1", "TLSv1_1"])
    ap.add_argument("--max-seconds", type=float, default=600)
    args = ap.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    if args.tls_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if args.tls_max_version:
            warnings.simplefilter("ignore", DeprecationWarning)
            version = getattr(ssl.TLSVersion, args.tls_max_version)
            # Old protocols need the lowest security level in OpenSSL 3.
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            ctx.minimum_version = version
            ctx.maximum_version = version
        ctx.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True)

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
