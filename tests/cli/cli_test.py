#!/usr/bin/env python3
"""flintor-cli on card images, as an ordinary user.

Images are made with mkfs.fat (FAT12, FAT16, FAT32) and mkfs.exfat, bare and
inside MBR and GPT tables (sfdisk). Each `set` must write the markers at the
volume's place in the file, change nothing but the marker places (and what
mirrors them: the exFAT checksum and backup region, the FAT32 backup boot
sector), and leave a volume that fsck accepts.

usage: cli_test.py FLINTOR_CLI
"""
import functools
import http.server
import json
import os
import threading
import zipfile
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

CLI = None
REGION = 24 * 512
TOOLS = ["mkfs.fat", "mkfs.exfat", "sfdisk", "fsck.fat", "fsck.exfat", "dd"]

# Marker places per file system: label, boot, script.
PLACES = {"FAT": (0x2B, 0x40, 0x1F0), "FAT32": (0x47, 0x5C, 0x1F0), "exFAT": (0x82, 0x7A, None)}


def user_prefix():
    """Run the program as nobody when the tests run as root."""
    if os.geteuid() != 0:
        return []
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


class Images(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [t for t in TOOLS if shutil.which(t) is None and not os.path.exists("/sbin/" + t)]
        if missing:
            if os.environ.get("CI") == "true":
                raise RuntimeError("missing tools in CI: " + ", ".join(missing))
            raise unittest.SkipTest("missing tools: " + ", ".join(missing))
        cls.dir = tempfile.mkdtemp(prefix="flintor-cli-")
        os.chmod(cls.dir, 0o777)
        cls.env = dict(os.environ, XDG_CACHE_HOME=os.path.join(cls.dir, "cache"), HOME=cls.dir)
        cls.env.pop("FLINTOR_INCLUDE_LOOP", None)
        cls.count = 0

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    # ----------------------------------------------------------- helpers

    def path(self, name):
        return os.path.join(self.dir, name)

    def tool(self, *argv):
        exe = shutil.which(argv[0]) or "/sbin/" + argv[0]
        r = subprocess.run([exe, *argv[1:]], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, f"{argv}: {r.stdout}{r.stderr}")
        return r

    def volume(self, fs, mib, label):
        type(self).count += 1
        p = self.path(f"vol{self.count}")
        with open(p, "wb") as f:
            f.truncate(mib << 20)
        if fs == "exFAT":
            self.tool("mkfs.exfat", "-L", label, p)
        else:
            self.tool("mkfs.fat", "-F", fs[3:], "-n", label, p)
        return p

    def image(self, fs, table, name):
        """An image with one volume; returns (path, byte offset of the volume, size)."""
        mib = {"FAT12": 8, "FAT16": 16, "FAT32": 40, "exFAT": 24}[fs]
        vol = self.volume(fs, mib, "EOS_DIGITAL")
        out = self.path(name)
        if table == "bare":
            shutil.move(vol, out)
            offset = 0
        else:
            with open(out, "wb") as f:
                f.truncate((mib + 2) << 20)
            kind = "c" if table == "dos" else "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
            script = f"label: {table}\nstart=2048, size={(mib << 20) // 512}, type={kind}\n"
            exe = shutil.which("sfdisk") or "/sbin/sfdisk"
            r = subprocess.run([exe, "-q", out], input=script, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.tool("dd", f"if={vol}", f"of={out}", "bs=1M", "seek=1", "conv=notrunc", "status=none")
            os.remove(vol)
            offset = 1 << 20
        os.chmod(out, 0o666)
        return out, offset, mib << 20

    def cli(self, *args):
        return subprocess.run(user_prefix() + [CLI, *args], capture_output=True, text=True, env=self.env)

    def read(self, p):
        with open(p, "rb") as f:
            return f.read()

    def fsck(self, image, offset, size, fs):
        part = self.path("part.fsck")
        with open(image, "rb") as f:
            f.seek(offset)
            data = f.read(size)
        with open(part, "wb") as f:
            f.write(data)
        exe = "fsck.exfat" if fs == "exFAT" else "fsck.fat"
        r = subprocess.run([shutil.which(exe) or "/sbin/" + exe, "-n", part], capture_output=True, text=True)
        if r.returncode == 0:
            return
        # fsck.fat reports the label marker itself: the label place differs
        # from the root directory's label. Anything else is a fault, a backup
        # boot sector that differs from the boot sector too.
        self.assertEqual(r.returncode, 1, f"{exe} -n: {r.stdout}{r.stderr}")
        self.assertNotEqual(fs, "exFAT", r.stdout)
        for line in (r.stdout + r.stderr).splitlines():
            line = line.strip().lstrip(",").strip()
            if not line or line.startswith("fsck.fat ") or line.startswith(part + ":"):
                continue
            if line in ("Leaving filesystem unchanged.",
                        "Auto-copying volume label from root directory to boot sector.",
                        "Auto-removing label from boot sector."):
                continue
            if line.startswith("Volume label '") and "stored in boot sector and different" in line:
                continue
            if line.startswith("Label in boot sector is '") and "no volume label in root directory" in line:
                continue
            self.fail(f"{exe} -n complains: {line}\n{r.stdout}{r.stderr}")

    def set_and_compare(self, image, offset, size, fs, preset):
        """Runs set --preset and checks that only marker places changed: on
        exFAT also its checksum sector and the backup region that mirrors
        the boot sector, on FAT32 the backup boot sector that mirrors it."""
        before = self.read(image)
        r = self.cli("set", image, "--preset", preset)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Write succesful", r.stdout)
        after = self.read(image)
        self.assertEqual(len(after), len(before))
        self.assertEqual(after[:offset], before[:offset], "bytes before the volume changed")
        self.assertEqual(after[offset + REGION:], before[offset + REGION:], "bytes after the boot region changed")
        layout = "FAT" if fs in ("FAT12", "FAT16") else fs
        places = [(p, w) for p, w in zip(PLACES[layout], (11, 8, 6)) if p] + [(0x1E0, 8)]
        if layout != "exFAT":
            places.append((0x5C, 8))
        if layout == "FAT":
            places.append((0x40, 8))
        changeable = set()
        for base in ((0, 6 * 512) if layout == "FAT32" else (0, 12 * 512) if layout == "exFAT" else (0,)):
            for at, width in places:
                changeable.update(range(base + at, base + at + width))
        if layout == "exFAT":
            changeable.update(range(11 * 512, 12 * 512))
            changeable.update(range(23 * 512, 24 * 512))
        got, was = after[offset:offset + REGION], before[offset:offset + REGION]
        for i in range(REGION):
            if got[i] != was[i] and i not in changeable:
                self.fail(f"{fs} {preset}: byte 0x{i:X} of the region changed (0x{was[i]:02X} to 0x{got[i]:02X})")
        if layout == "FAT32":
            self.assertEqual(got[6 * 512:7 * 512], got[:512], "the backup boot sector follows the boot sector")
        if layout == "exFAT":
            self.assertEqual(got[12 * 512:13 * 512], got[:512], "the backup region follows the boot sector")
        self.fsck(image, offset, size, fs)
        return before, after

    def show(self, image, *extra):
        r = self.cli("show", image, "--json", *extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        return json.loads(r.stdout)

    # ----------------------------------------------------------- tests

    def test_presets_write_the_windows_bytes_on_every_layout(self):
        for fs in ("FAT12", "FAT16", "FAT32", "exFAT"):
            for table in ("bare", "dos", "gpt"):
                with self.subTest(fs=fs, table=table):
                    image, offset, size = self.image(fs, table, f"{fs}-{table}.img")
                    layout = "FAT" if fs in ("FAT12", "FAT16") else fs
                    label, boot, script = PLACES[layout]

                    _, after = self.set_and_compare(image, offset, size, fs, "ml")
                    sector = after[offset:offset + 512]
                    self.assertEqual(sector[label:label + 11], b"EOS_DEVELOP")
                    self.assertEqual(sector[boot:boot + 8], b"BOOTDISK")
                    if script:
                        self.assertEqual(sector[script:script + 6], b"SCRIPT")
                    shown = self.show(image)
                    self.assertEqual(shown["fileSystem"], layout)
                    self.assertTrue(shown["magicLanternBootable"])
                    self.assertFalse(shown["chdkBootable"])
                    self.assertEqual(shown["places"]["boot"]["offset"], f"0x{boot:03X}")
                    if layout == "exFAT":
                        self.assertEqual(shown["exfatChecksums"], {"main": True, "backup": True})

                    if layout == "exFAT":
                        before = self.read(image)
                        r = self.cli("set", image, "--preset", "chdk")
                        self.assertEqual(r.returncode, 1)
                        self.assertIn("exFAT", r.stderr)
                        self.assertEqual(self.read(image), before)
                    else:
                        _, after = self.set_and_compare(image, offset, size, fs, "chdk")
                        sector = after[offset:offset + 512]
                        self.assertEqual(sector[0x1E0:0x1E8], b"BOOTDISK")
                        self.assertEqual(sector[boot:boot + 8], b" " * 8)
                        self.assertEqual(sector[label:label + 11], b" " * 11)
                        shown = self.show(image)
                        self.assertTrue(shown["chdkBootable"])
                        self.assertFalse(shown["magicLanternBootable"])
                        self.assertEqual(shown["markers"]["bootPlace"], "0x1E0")

                    self.set_and_compare(image, offset, size, fs, "none")
                    shown = self.show(image)
                    self.assertEqual(shown["markers"], {"label": False, "boot": False, "script": False,
                                                        "bootPlace": shown["markers"]["bootPlace"]})
                    os.remove(image)

    def test_single_markers_and_the_boot_place(self):
        image, offset, _ = self.image("FAT32", "bare", "single.img")
        r = self.cli("set", image, "--boot", "on", "--boot-place", "0x1E0")
        self.assertEqual(r.returncode, 0, r.stderr)
        sector = self.read(image)[:512]
        self.assertEqual(sector[0x1E0:0x1E8], b"BOOTDISK")
        self.assertEqual(sector[0x5C:0x64], b" " * 8)
        r = self.cli("set", image, "--boot-place", "0x5C", "--script", "on")
        self.assertEqual(r.returncode, 0, r.stderr)
        sector = self.read(image)[:512]
        self.assertEqual(sector[0x5C:0x64], b"BOOTDISK")
        self.assertEqual(sector[0x1E0:0x1E8], b" " * 8)
        self.assertEqual(sector[0x1F0:0x1F6], b"SCRIPT")
        shown = self.show(image)
        self.assertEqual(shown["markers"], {"label": False, "boot": True, "bootPlace": "0x05C", "script": True})

        ex, _, _ = self.image("exFAT", "bare", "single-ex.img")
        before = self.read(ex)
        for args, words in ((["--script", "on"], "no script place"), (["--boot-place", "0x1E0"], "FAT and FAT32")):
            r = self.cli("set", ex, *args)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(words, r.stderr)
        self.assertEqual(self.read(ex), before)

    def test_magic_lantern_markers_need_autoexec_when_the_files_are_visible(self):
        image, _, _ = self.image("FAT16", "bare", "mlcheck.img")
        root = self.path("mounted")
        os.makedirs(root, exist_ok=True)
        os.chmod(root, 0o777)
        before = self.read(image)
        r = self.cli("--root", root, "set", image, "--preset", "ml")
        self.assertEqual(r.returncode, 1)
        self.assertIn("autoexec.bin", r.stderr)
        self.assertEqual(self.read(image), before)
        # Letter case does not count, as on the card.
        with open(os.path.join(root, "AUTOEXEC.BIN"), "wb") as f:
            f.write(b"\0" * 8 + b"Magic Lantern test\0")
        r = self.cli("--root", root, "set", image, "--preset", "ml")
        self.assertEqual(r.returncode, 0, r.stderr)
        shown = self.show(image, "--root", root)
        self.assertTrue(shown["content"]["autoexec.bin"])
        # Without --root nothing can be checked: it writes and says so.
        r = self.cli("set", image, "--preset", "none")
        self.assertEqual(r.returncode, 0, r.stderr)
        r = self.cli("set", image, "--preset", "ml")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Could not check", r.stderr)

    def test_backup_and_restore_bring_the_region_back(self):
        image, _, _ = self.image("exFAT", "dos", "restore.img")
        original = self.read(image)
        r = self.cli("set", image, "--preset", "ml")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotEqual(self.read(image), original)
        r = self.cli("backups", image, "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(json.loads(r.stdout)), 1)
        r = self.cli("restore", image)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Boot record restored", r.stdout)
        self.assertEqual(self.read(image), original)

    def test_bad_images_and_command_lines_change_nothing(self):
        image, _, _ = self.image("FAT32", "bare", "cut.img")
        with open(image, "r+b") as f:
            f.truncate(20 << 20)
        zeros = self.path("zeros.img")
        with open(zeros, "wb") as f:
            f.truncate(4 << 20)
        os.chmod(zeros, 0o666)
        mbr, _, _ = self.image("FAT16", "dos", "mbr.img")
        ro, _, _ = self.image("FAT16", "bare", "ro.img")
        os.chmod(ro, 0o444)
        cases = [
            (["set", image, "--preset", "ml"], 1, "truncated"),
            (["set", zeros, "--preset", "ml"], 1, "neither a FAT or exFAT volume nor a partition table"),
            (["--partition", "3", "set", mbr, "--preset", "ml"], 1, "no partition 3"),
            (["--partition", "x", "set", mbr, "--preset", "ml"], 2, "--partition"),
            (["set", mbr, "--preset", "ml", "--partition", "1", "--label", "on"], 2, "cannot be combined"),
            (["set", mbr, "--preset", "sometimes"], 2, "ml, chdk or none"),
            (["set", mbr], 2, "needs --preset"),
            (["frobnicate", mbr], 2, "Unknown command: frobnicate"),
            (["set", mbr, "--preset", "ml", "--shiny"], 2, "Unknown option: --shiny"),
            (["show", mbr, "--yes"], 2, "does not apply"),
            (["show", self.path("nothere.img")], 1, "nothere.img"),
            (["--catalogue-host", "ftp://mirror.example", "builds"], 2, "--catalogue-host needs"),
        ]
        if user_prefix() or os.geteuid() != 0:
            cases.append((["set", ro, "--preset", "ml"], 1, "write-protected"))
        files = [image, zeros, mbr, ro]
        for args, status, words in cases:
            with self.subTest(args=args):
                before = [self.read(p) for p in files]
                r = self.cli(*args)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                self.assertIn(words, r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertEqual([self.read(p) for p in files], before)

    def make_build(self, path):
        with zipfile.ZipFile(path, "w") as z:
            z.writestr("autoexec.bin", b"\0" * 8 + b"Magic Lantern cli test\0" + b"\0" * 300)
            z.writestr("ML/", b"")
            z.writestr("ML/modules/a.mo", b"module")
            z.writestr("5D3-123.fir", b"firmware")
        os.chmod(path, 0o644)

    def test_install_and_remove_through_the_given_root(self):
        image, _, _ = self.image("FAT32", "gpt", "install.img")
        root = self.path("card-files")
        os.makedirs(root)
        os.chmod(root, 0o777)
        build = self.path("build.zip")
        self.make_build(build)
        r = self.cli("set", image, "--preset", "ml", "--yes", "--root", root)
        self.assertEqual(r.returncode, 0, r.stderr)
        marked = self.read(image)
        r = self.cli("--root", root, "install", image, "--build", build)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("ML succesfully installed", r.stdout)
        self.assertTrue(os.path.isfile(os.path.join(root, "autoexec.bin")))
        self.assertTrue(os.path.isfile(os.path.join(root, "ML", "modules", "a.mo")))
        self.assertFalse(os.path.exists(os.path.join(root, "5D3-123.fir")), "--build leaves firmware files out")
        self.assertEqual(self.read(image), marked, "install leaves the markers as they are")
        # A second install finds the start file and does nothing.
        r = self.cli("--root", root, "install", image, "--build", build)
        self.assertEqual(r.returncode, 1)
        self.assertIn("already holds autoexec.bin", r.stderr)
        r = self.cli("--root", root, "remove", image)
        self.assertEqual(r.returncode, 1, "no --yes and no one to ask")
        self.assertTrue(os.path.isfile(os.path.join(root, "autoexec.bin")))
        # The card would start the build: its markers go first, then the files.
        r = self.cli("--root", root, "remove", image, "--yes")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("its markers are cleared first", r.stderr)
        self.assertEqual(sorted(os.listdir(root)), [])
        self.assertFalse(self.show(image)["magicLanternBootable"])
        cleared = self.read(image)
        # Without --root the files cannot be reached: refused, nothing changed.
        r = self.cli("install", image, "--build", build)
        self.assertEqual(r.returncode, 1)
        self.assertIn("--root DIR", r.stderr)
        self.assertEqual(self.read(image), cleared)

    def test_builds_and_install_from_the_catalogue(self):
        served = self.path("served")
        os.makedirs(os.path.join(served, "ML"))
        self.make_build(os.path.join(served, "ML", "nightly-7.zip"))
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

        handler = functools.partial(Quiet, directory=served)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        port = server.server_address[1]
        with open(os.path.join(served, "ML", "develop.inf"), "w") as f:
            f.write(f"Nightly 7;http://127.0.0.1:{port}/ML/nightly-7.zip;2026.01.02 03:04:05\r\n")
        with open(os.path.join(served, "ML", "legacy.inf"), "w") as f:
            f.write(f"Old 1;http://127.0.0.1:{port}/ML/nightly-7.zip;2020.01.01 00:00:00\r\n")
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            host = f"127.0.0.1:{port}"
            r = self.cli("--catalogue-host", host, "builds", "--json")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual([b["name"] for b in json.loads(r.stdout)], ["Nightly 7"])
            r = self.cli("--catalogue-host", host, "builds", "--legacy")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("Old 1", r.stdout)

            image, _, _ = self.image("exFAT", "bare", "fetched.img")
            root = self.path("fetched-files")
            os.makedirs(root)
            os.chmod(root, 0o777)
            r = self.cli("--catalogue-host", host, "--root", root, "install", image, "--develop", "Nightly 8")
            self.assertEqual(r.returncode, 1)
            self.assertIn("No build named", r.stderr)
            r = self.cli("--catalogue-host", host, "--root", root, "install", image, "--legacy", "old 1")
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(os.path.isfile(os.path.join(root, "5D3-123.fir")), "legacy builds bring firmware files")
            self.assertTrue(os.path.isfile(os.path.join(self.dir, "cache", "flintor001", "nightly-7.zip")))
        finally:
            server.shutdown()
            server.server_close()

    def camera_card(self, model, firmware):
        """A folder of a card's files whose photo names the camera (no photo for
        an empty model): a CR2 made here, its Exif data written by exiv2."""
        type(self).count += 1
        root = self.path(f"camera{self.count}")
        folder = os.path.join(root, "DCIM", "100CANON")
        os.makedirs(folder)
        if model:
            photo = os.path.join(folder, "IMG_0001.CR2")
            with open(photo, "wb") as f:  # TIFF with "CR" 2 and a directory of width and height
                f.write(b"II*\0" + struct.pack("<I", 16) + b"CR\2\0" + struct.pack("<IH", 0, 2) +
                        struct.pack("<HHII", 0x100, 3, 1, 8) + struct.pack("<HHII", 0x101, 3, 1, 8) + b"\0" * 4)
            self.tool("exiv2", "-M", "set Exif.Image.Make Canon", "-M", "set Exif.Image.Model " + model,
                      "-M", "set Exif.Canon.FirmwareVersion Firmware Version " + firmware, photo)
        for d, _, _ in os.walk(root):
            os.chmod(d, 0o777)
        return root

    def test_the_cards_camera_is_shown_and_chooses_the_build(self):
        if shutil.which("exiv2") is None:
            self.assertNotEqual(os.environ.get("CI"), "true", "the exiv2 tool is missing")
            self.skipTest("the exiv2 tool is missing")
        served = self.path("camera-served")
        os.makedirs(os.path.join(served, "ML"))
        builds = {"Nightly 7": "nightly-7.zip", "Nightly 5D3 1.2.3": "magiclantern-Nightly.2018Jul03.5D3123.zip",
                  "v2.3 550D": "magiclantern-v2.3.550D109.zip"}
        for archive in builds.values():
            self.make_build(os.path.join(served, "ML", archive))

        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=served))
        host = f"127.0.0.1:{server.server_address[1]}"
        for catalogue, names in (("develop.inf", list(builds)[:2]), ("legacy.inf", list(builds)[2:])):
            with open(os.path.join(served, "ML", catalogue), "w") as f:
                f.writelines(f"{n};http://{host}/ML/{builds[n]};2020.01.01 00:00:00\r\n" for n in names)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        image, _, _ = self.image("FAT32", "bare", "camera.img")
        try:
            root = self.camera_card("Canon EOS 5D Mark III", "1.2.3")
            r = self.cli("--root", root, "show", image)
            self.assertIn("\nCamera: Canon EOS 5D Mark III firmware 1.2.3\n", r.stdout)
            r = self.cli("--root", root, "show", image, "--json")
            self.assertEqual(json.loads(r.stdout)["camera"], {"model": "Canon EOS 5D Mark III", "firmware": "1.2.3"})
            r = self.cli("--root", self.camera_card("", ""), "show", image, "--json")
            self.assertIsNone(json.loads(r.stdout)["camera"])
            # model, firmware, options, exit status, what it says, a legacy build's firmware file on the card
            mk3, dev = "Canon EOS 5D Mark III", ["--develop", "Nightly 5D3 1.2.3"]
            cases = [
                (mk3, "1.2.3", [], 0, "firmware 1.2.3: Nightly 5D3 1.2.3", False),
                ("Canon EOS Kiss X4", "1.0.9", [], 0, "Canon EOS Kiss X4 firmware 1.0.9: v2.3 550D", True),
                (mk3, "1.0.0", [], 1, "No build for the Canon EOS 5D Mark III firmware 1.0.0", False),
                ("Canon EOS 550D", "1.0.9", dev, 1, "taken with the Canon EOS 550D. The camera does not", False),
                (mk3, "1.1.3", dev + ["--yes"], 0, "Update the camera's firmware to 1.2.3 first", False),
            ]
            for model, firmware, options, status, says, fir in cases:
                root = self.camera_card(model, firmware)
                r = self.cli("--catalogue-host", host, "--root", root, "install", image, *options)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(says, r.stderr)
                self.assertEqual(os.path.isfile(os.path.join(root, "autoexec.bin")), status == 0, model)
                self.assertEqual(os.path.isfile(os.path.join(root, "5D3-123.fir")), fir, model)
        finally:
            server.shutdown()
            server.server_close()

    def test_help_and_version(self):
        r = self.cli("--version")
        self.assertEqual((r.returncode, r.stdout), (0, "Flintor 1.51\n"))
        r = self.cli("--help")
        self.assertEqual(r.returncode, 0)
        for command in ("list", "show", "set", "install", "remove", "builds", "backup", "restore", "backups"):
            self.assertIn("  " + command + " ", r.stdout)


if __name__ == "__main__":
    CLI = sys.argv[1]
    unittest.main(argv=[sys.argv[0], "-v"])
