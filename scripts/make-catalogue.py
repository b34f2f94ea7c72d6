#!/usr/bin/env python3
"""Write a build catalogue for a folder of build archives.

Each archive (*.zip, any letter case) in FOLDER becomes one line

    name;url;time stamp;sha256

where name is the archive's file name without ".zip", url is BASE_URL + "/" +
the file name (percent-encoded where needed), and the time stamp is the
archive's modification time in local time, rounded down to two seconds as a
FAT file system stores it, written "yyyy.MM.dd hh:mm:ss" on the 24-hour clock
(only "yyyy.MM.dd" when the time is exactly 00:00:00). This is the text the
program compares with the file time of a downloaded archive, so an archive
downloaded after the catalogue was written counts as current. sha256 is the
archive's SHA-256 digest in lower-case hex; the program refuses a downloaded
or cached archive with another digest. --no-digest leaves the field out
(three-field lines).

Lines are sorted by file name and end with CR LF; the file is single-byte
(Latin-1) text. The catalogue is written as OUTPUT (default "develop.inf" in
FOLDER); use e.g. --output legacy.inf for the legacy list.

Examples:
    make-catalogue.py builds/ http://127.0.0.1:8080/ML/builds
    make-catalogue.py --output /srv/www/ML/legacy.inf old/ http://mirror.example/old
"""
import argparse
import hashlib
import os
import sys
import time
import urllib.parse


def time_text(mtime):
    t = time.localtime(int(mtime) // 2 * 2)
    if (t.tm_hour, t.tm_min, t.tm_sec) == (0, 0, 0):
        return time.strftime("%Y.%m.%d", t)
    return time.strftime("%Y.%m.%d %H:%M:%S", t)


def file_sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def catalogue_lines(folder, base_url, digest=True):
    base = base_url.rstrip("/")
    lines = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not name.lower().endswith(".zip") or not os.path.isfile(path):
            continue
        display = name[:-4]
        if ";" in name:
            raise ValueError("archive name contains ';': %r" % name)
        url = base + "/" + urllib.parse.quote(name)
        line = "%s;%s;%s" % (display, url, time_text(os.stat(path).st_mtime))
        if digest:
            line += ";" + file_sha256(path)
        lines.append(line)
    return lines


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("folder", help="folder holding the build archives")
    ap.add_argument("base_url", help="address under which the archives are served")
    ap.add_argument("--output", "-o", help='catalogue file to write (default: FOLDER/develop.inf)')
    ap.add_argument("--no-digest", action="store_true",
                    help="write three fields per line, without the SHA-256 digest")
    args = ap.parse_args(argv)

    out = args.output or os.path.join(args.folder, "develop.inf")
    try:
        lines = catalogue_lines(args.folder, args.base_url, digest=not args.no_digest)
        data = "".join(line + "\r\n" for line in lines).encode("latin-1")
    except (OSError, ValueError, UnicodeEncodeError) as e:
        print("make-catalogue: %s" % e, file=sys.stderr)
        return 1
    tmp = out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, out)
    print("%s: %d build(s)" % (out, len(lines)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
