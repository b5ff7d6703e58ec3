#!/usr/bin/env python3
"""The installer's identity under Wine: an installer packed with an icon, version information
and an execution level installs and extracts, and still does once signed; Windows' own resource
functions (which find entries by binary search) read the strings, the numbers and the icons
back; the icon groups hold the file's images byte for byte; sfxpack.exe under Wine writes the
same bytes as the native sfxpack.
"""

import json
import shutil
import struct
import subprocess
import sys
import unittest
import zlib

import harness

sys.path.insert(0, str(harness.SOURCE_DIR / "tests" / "equipment" / "probe"))
import probedriver  # noqa: E402

VERSION_INFO = {"ProductName": "Acme Installer", "CompanyName": "Acme Ltd",
                "FileDescription": "Acme setup", "FileVersion": "2.4.0.17",
                "ProductVersion": "2.4", "LegalCopyright": "(c) 2026 Acme", "Comments": "x=y"}


def bitmap_image(size):
    """A 32-bit icon image without its file header: the colours, then the mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + bytes((i * 37) & 0xFF for i in range(size * size * 4)) + bytes(size * 4)


def png_image(size):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\0" + bytes((x * 3 + y) & 0xFF for x in range(size * 4))
                    for y in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def icon_file(images):
    """[(size, bits, bytes)] as an .ico."""
    out, offset = struct.pack("<HHH", 0, 1, len(images)), 6 + 16 * len(images)
    for size, bits, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def icon_images(ico):
    """The images of an .ico, in its order."""
    count = struct.unpack_from("<H", ico, 4)[0]
    return [ico[o:o + n] for n, o in (struct.unpack_from("<II", ico, 14 + 16 * i)
                                      for i in range(count))]


def run(command, **kwargs):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120, **kwargs)


class Identity(probedriver.DriverCases, unittest.TestCase):
    PLATFORM = "wine"
    FOLDER_PREFIX = "e2e-identity-"

    def test_identity_installs_extracts_signs_and_reads_back(self):
        d = self.driver
        report = self.case / "report.txt"
        payload = harness.write_tree(self.case / "payload", {
            d.probe_name: d.probe.read_bytes(), "sub/a.txt": b"a\n",
            "probe.cfg": probedriver.probe_config(d.path(report), ("check", "sub\\a.txt"),
                                                  exit_code=7)})
        images = [(16, 32, bitmap_image(16)), (256, 32, png_image(256))]
        icon = self.case / "app.ico"
        icon.write_bytes(icon_file(images))
        identity = ["--icon", icon]
        for key, value in VERSION_INFO.items():
            identity += ["--version-info", f"{key}={value}"]
        identity += ["--execution-level", "requireAdministrator"]

        # The same bytes from both hosts; OriginalFilename is the output's name on both.
        unsigned = harness.pack(d.launcher, payload, self.case / "setup.exe", d.probe_name,
                                *identity)
        (self.case / "wine").mkdir()
        tool = harness.require_file(harness.windows_build() / "tools" / "sfxpack.exe",
                                    "sfxpack.exe")
        done = harness.run_wine([tool, "create", "--stub", d.path(d.launcher), "--dir",
                                 d.path(payload), "--autorun", d.probe_name,
                                 *[d.path(a) if a == icon else a for a in identity],
                                 "-o", d.path(self.case / "wine" / "setup.exe")], timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual((self.case / "wine" / "setup.exe").read_bytes(), unsigned.read_bytes())

        # Signed after packing, with a certificate of the test's own.
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
             "-out", "cert.pem", "-days", "2", "-subj", "/CN=Test"], cwd=self.case)
        signed = self.case / "signed" / "setup.exe"
        signed.parent.mkdir()
        done = run(["osslsigncode", "sign", "-certs", self.case / "cert.pem", "-key",
                    self.case / "key.pem", "-in", unsigned, "-out", signed])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        done = run(["osslsigncode", "verify", "-CAfile", self.case / "cert.pem", "-in", signed])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        done = run([harness.sfxpack(), "verify", signed])
        self.assertEqual(done.returncode, 0, done.stdout)
        # The JSON listing carries the same identity.
        done = run([harness.sfxpack(), "list", "--json", signed])
        listed = json.loads(done.stdout)["identity"]
        self.assertEqual([(i["width"], i["bytes"]) for i in listed["icons"]],
                         [(size, len(data)) for size, _, data in images])
        self.assertEqual((listed["version"]["fileVersion"], listed["executionLevel"]),
                         ("2.4.0.17", "requireAdministrator"))
        self.assertEqual(listed["version"]["strings"],
                         {**VERSION_INFO, "OriginalFilename": "setup.exe"})

        # Windows' functions read the identity back from the signed file.
        probe = harness.windows_tool("versionprobe")
        done = harness.run_wine([probe, d.path(signed), *VERSION_INFO, "OriginalFilename"])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[:2], ["fixed=2.4.0.17 2.4.0.0", "translation=0409 04b0"])
        self.assertEqual(lines[2:2 + len(VERSION_INFO) + 1],
                         [f"string.{k}={v}" for k, v in VERSION_INFO.items()] +
                         ["string.OriginalFilename=setup.exe"])
        for group in (121, 401):
            self.assertIn(f"group.{group}=2 34", lines)
            self.assertIn(next(l for l in lines if l.startswith(f"icon.{group}=")),
                          (f"icon.{group}=16x16", f"icon.{group}=256x256"))
        # The images, byte for byte, as icoutils rebuilds the group into an .ico.
        if shutil.which("wrestool"):
            for group in ("121", "401"):
                done = subprocess.run(["wrestool", "-x", "-t14", "-n" + group, str(signed)],
                                      capture_output=True, timeout=60)
                self.assertEqual(icon_images(done.stdout), [data for _, _, data in images])

        # It installs and extracts, unsigned and signed alike.
        for installer in (unsigned, signed):
            with self.subTest(installer=installer.parent.name):
                report.unlink(missing_ok=True)
                outcome = d.run(installer, [])
                self.assertEqual((outcome.exit_code, outcome.boxes), (7, []), outcome)
                self.assertEqual(probedriver.Report(report).actions(),
                                 [("check", "1 sub\\a.txt"), ("exit", "7")])
                out = installer.parent / "out"
                outcome = d.run(installer, ["-extract=a.txt@" + d.path(out)])
                self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
                self.assertEqual((out / "sub" / "a.txt").read_bytes(), b"a\n")


if __name__ == "__main__":
    harness.main()
