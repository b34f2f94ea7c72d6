#!/usr/bin/env python3
"""Checks scripts/make-catalogue.py: line format, time rounding, midnight."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "make-catalogue.py")
ENV = dict(os.environ, TZ="Europe/Berlin")
os.environ["TZ"] = ENV["TZ"]
time.tzset()


def set_mtime(path, text):
    t = time.mktime(time.strptime(text, "%Y-%m-%d %H:%M:%S"))
    os.utime(path, (t, t))


def run(*args):
    return subprocess.run([sys.executable, SCRIPT, *args], env=ENV, capture_output=True)


class MakeCatalogueTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def archive(self, name, when, content=b""):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(content)
        set_mtime(path, when)

    def test_lines_rounding_and_midnight(self):
        self.archive("crop 2.zip", "2024-07-01 13:07:09")    # odd second: rounded down
        self.archive("alpha.ZIP", "2024-01-31 00:00:01")     # rounds to midnight: date only
        self.archive("late.zip", "2023-12-31 23:59:59")
        open(os.path.join(self.dir, "readme.txt"), "w").close()
        out = os.path.join(self.dir, "legacy.inf")
        r = run("--no-digest", "--output", out, self.dir, "http://127.0.0.1:8080/ML/")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), (
                b"alpha;http://127.0.0.1:8080/ML/alpha.ZIP;2024.01.31\r\n"
                b"crop 2;http://127.0.0.1:8080/ML/crop%202.zip;2024.07.01 13:07:08\r\n"
                b"late;http://127.0.0.1:8080/ML/late.zip;2023.12.31 23:59:58\r\n"))

    def test_fourth_field_is_the_sha256_of_the_archive(self):
        # Digests known from elsewhere: SHA-256 of "abc" and of nothing.
        self.archive("a.zip", "2024-07-01 13:07:08", b"abc")
        self.archive("b.zip", "2024-07-01 13:07:08", b"")
        r = run(self.dir, "http://h/x")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.dir, "develop.inf"), "rb") as f:
            self.assertEqual(f.read(), (
                b"a;http://h/x/a.zip;2024.07.01 13:07:08;"
                b"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\r\n"
                b"b;http://h/x/b.zip;2024.07.01 13:07:08;"
                b"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\r\n"))

    def test_default_name_and_empty_folder(self):
        r = run(self.dir, "http://h/x")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.dir, "develop.inf"), "rb") as f:
            self.assertEqual(f.read(), b"")

    def test_name_with_separator_is_refused(self):
        self.archive("a;b.zip", "2024-01-01 10:00:00")
        r = run(self.dir, "http://h/x")
        self.assertNotEqual(r.returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "develop.inf")))


if __name__ == "__main__":
    unittest.main()
