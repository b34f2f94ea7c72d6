#!/usr/bin/env python3
"""A file system in user space with one file, card.img, that acknowledges
every write and keeps none of it: a worn card, or a reader that ignores the
lock switch. Reads come from the image file given on the command line.

    dropwrites_fs.py IMAGE MOUNTPOINT     (runs in the foreground)
"""
import errno
import os
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations


class DropWrites(Operations):
    def __init__(self, image):
        self.image = image
        self.size = os.path.getsize(image)

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path == "/card.img":
            return {"st_mode": stat.S_IFREG | 0o644, "st_nlink": 1, "st_size": self.size}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "card.img"]

    def open(self, path, flags):
        if path != "/card.img":
            raise FuseOSError(errno.ENOENT)
        return 0

    def read(self, path, size, offset, fh):
        with open(self.image, "rb") as f:
            f.seek(offset)
            return f.read(size)

    def write(self, path, data, offset, fh):
        return len(data)  # acknowledged, dropped

    def truncate(self, path, length, fh=None):
        return 0

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return 0


if __name__ == "__main__":
    # direct_io: no page cache of this file, so what is read back is what
    # the "card" kept.
    FUSE(DropWrites(sys.argv[1]), sys.argv[2], foreground=True, direct_io=True, allow_other=True)
