#!/usr/bin/env python3
"""A memory card for the card check's device tests: a file system in user
space with one file, card.img, that claims CLAIM bytes while STORE holds the
bytes the "card" really keeps.

    fusecard.py STORE MOUNTPOINT CLAIM [--wrap | --drop] [--rate BYTES_PER_S]

  (neither)  STORE is as large as CLAIM: a genuine card
  --wrap     address a is kept at a mod len(STORE), as counterfeit cards do
  --drop     writes past len(STORE) vanish; reads there give zeros
  --rate     reads and writes each go through a bounded token bucket

Runs in the foreground; direct_io, so nothing is cached above it.
"""
import argparse
import errno
import os
import stat
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class Bucket:
    """At most `rate` bytes a second; a burst of at most 64 KiB."""

    def __init__(self, rate):
        self.rate = rate
        self.capacity = 64 * 1024
        self.tokens = self.capacity
        self.stamp = time.monotonic()
        self.lock = threading.Lock()

    def take(self, amount):
        if not self.rate:
            return
        with self.lock:
            while True:
                now = time.monotonic()
                self.tokens = min(self.capacity, self.tokens + (now - self.stamp) * self.rate)
                self.stamp = now
                if self.tokens >= min(amount, self.capacity):
                    self.tokens -= amount
                    return
                time.sleep((min(amount, self.capacity) - self.tokens) / self.rate)


class FuseCard(Operations):
    def __init__(self, store, claim, mode, rate):
        self.fd = os.open(store, os.O_RDWR)
        self.real = os.fstat(self.fd).st_size
        self.claim = claim
        self.mode = mode
        self.reads = Bucket(rate)
        self.writes = Bucket(rate)

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path == "/card.img":
            return {"st_mode": stat.S_IFREG | 0o644, "st_nlink": 1, "st_size": self.claim}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "card.img"]

    def open(self, path, flags):
        if path != "/card.img":
            raise FuseOSError(errno.ENOENT)
        return 0

    def pieces(self, offset, size):
        """(card offset, store offset or None, length) for a transfer."""
        end = min(offset + size, self.claim)
        while offset < end:
            if self.mode == "wrap":
                at = offset % self.real
                n = min(end - offset, self.real - at)
            elif offset < self.real:
                at, n = offset, min(end, self.real) - offset
            else:
                at, n = None, end - offset
            yield offset, at, n
            offset += n

    def read(self, path, size, offset, fh):
        self.reads.take(size)
        out = bytearray()
        for _, at, n in self.pieces(offset, size):
            out += os.pread(self.fd, n, at) if at is not None else bytes(n)
        return bytes(out)

    def write(self, path, data, offset, fh):
        self.writes.take(len(data))
        done = 0
        for _, at, n in self.pieces(offset, len(data)):
            if at is not None:
                os.pwrite(self.fd, data[done:done + n], at)
            done += n
        return len(data)

    def truncate(self, path, length, fh=None):
        return 0

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        os.fsync(self.fd)
        return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("store")
    parser.add_argument("mountpoint")
    parser.add_argument("claim", type=int)
    parser.add_argument("--wrap", action="store_const", dest="mode", const="wrap", default="keep")
    parser.add_argument("--drop", action="store_const", dest="mode", const="drop")
    parser.add_argument("--rate", type=float, default=0)
    a = parser.parse_args()
    FUSE(FuseCard(a.store, a.claim, a.mode, a.rate), a.mountpoint, foreground=True, direct_io=True,
         allow_other=True)
