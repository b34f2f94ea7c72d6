#!/usr/bin/env python3
"""Serve a folder on 127.0.0.1, sending .zip files slowly.

Archives go out in 8 KiB pieces with --delay-ms between them, so a test can
act while a download is still arriving. Writes its port to --port-file and
exits by itself after --max-seconds.
"""
import argparse
import functools
import http.server
import os
import threading
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    delay = 0.05

    def log_message(self, fmt, *args):
        pass

    def copyfile(self, source, outputfile):
        if not self.path.endswith(".zip"):
            return super().copyfile(source, outputfile)
        while True:
            piece = source.read(8192)
            if not piece:
                break
            outputfile.write(piece)
            outputfile.flush()
            time.sleep(self.delay)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--delay-ms", type=float, default=50)
    ap.add_argument("--max-seconds", type=float, default=120)
    args = ap.parse_args()
    Handler.delay = args.delay_ms / 1000.0
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Handler, directory=args.root))
    server.daemon_threads = True
    timer = threading.Timer(args.max_seconds, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
