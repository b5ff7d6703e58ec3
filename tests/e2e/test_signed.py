#!/usr/bin/env python3
"""Code-signed installers under Wine. Signing appends a certificate table behind the payload and
records it in the PE security directory; the launcher takes the start of that table as the end
of its payload, so a signed installer must work exactly as its unsigned twin.

An installer is packed with sfxpack (native build) from the 64-bit launcher, with the probe as
its autorun program, and signed with osslsigncode and a self-signed certificate made here.
The installers carry the payload's CRC-32, which the launcher checks before it extracts: the
signed runs below pass that check. Compared with the unsigned twin, under Wine on an X screen of
the test's own:
  - single-file extraction: the same files and exit status (0 extracted, 1 not);
  - an install run: the same probe report (up to the installer's path and the extraction
    folder's name) and exit status (the probe's own);
  - a signed installer whose security directory was damaged afterwards reads as an unsigned
    file with the table appended: the box that such a file gives, exit status 1, no crash.
"""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

import harness

PAYLOAD_SIGNATURE = b"org.vantrel.kit.sfx"
MANIFEST = "plugins/com.kestrom.tarnix.ide.installer_2.4.0/META-INF/MANIFEST.MF"
SPLASH = "plugins/com.kestrom.tarnix.ide.installer_2.4.0/splash.bmp"
INI = "[probe]\r\n-vmargs\r\n"
APP_INI = "[app]\r\nname=signed run\r\n"
PROBE_EXIT = 7
DAMAGED = "The installer is damaged. Download it again."


def probe_exe():
    return harness.windows_tool("probe")


def bmp(width, height):
    """A 24-bit bottom-up bitmap of one colour."""
    row = b"\x30\x60\xC0" * width + b"\0" * ((-width * 3) % 4)
    pixels = row * height
    return (struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835,
                        0, 0) + pixels)


def pattern(size, seed):
    out = bytearray(size)
    for i in range(size):
        seed = (seed * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = seed >> 16 & 0xFF
    return bytes(out)


def run(command, cwd=None):
    done = subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120, errors="replace")
    return done


# ---- PE files --------------------------------------------------------------------------------


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def security_entry(data):
    """The file offset of data directory 4 (the security directory) of a PE image."""
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise AssertionError("not a PE image")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    return optional + {0x10B: 96, 0x20B: 112}[magic] + 4 * 8


def unsigned_reading_boxes(data):
    """The boxes that the launcher shows when it reads data as an unsigned file: its footer is the
    last 8 bytes, and the header lies PackageSize bytes in front of it; the seek there takes the
    distance 0xFFFFFFF8 - PackageSize as a signed 32-bit value and fails only for a target before
    the start of the file, which the launcher reports as a damaged download."""
    end = len(data)
    if end < 8:
        return ["Failed to navigate to SFX Footer"]
    distance = (0xFFFFFFF8 - u32(data, end - 8)) & 0xFFFFFFFF
    if distance >= 0x80000000:
        distance -= 1 << 32
    target = end + distance
    if target < 0:
        return [DAMAGED]
    header = data[target:target + 20].ljust(20, b"\0")
    if header[:19] == PAYLOAD_SIGNATURE and header[19] <= 1:
        raise AssertionError(f"a payload header at {target}, where none was expected")
    return ["SFX Header invalid"]


# ---- the installers --------------------------------------------------------------------------


class Installers:
    """An unsigned installer, its signed twin and a signed one with a damaged security
    directory, each in a folder of its own, plus the certificate they were signed with."""

    def __init__(self, folder):
        self.folder = folder
        self.report = folder / "report.txt"
        self.fetched = folder / "fetched"
        tree = folder / "tree"
        harness.write_tree(tree, {
            "bin/probe.exe": probe_exe().read_bytes(),
            "bin/probe.ini": INI,
            "bin/probe.cfg": (f"report={harness.windows_path(self.report)}\n"
                              "sleep_ms=500\n"
                              "connect=1\n"
                              f"fetch=extra.zip@{harness.windows_path(self.fetched)}\n"
                              "check=conf\\app.ini\n"
                              "check=repo\\extra.zip\n"
                              f"exit={PROBE_EXIT}\n"),
            "conf/app.ini": APP_INI,
            MANIFEST: "Manifest-Version: 1.0\r\nBundle-Version: 2.4.0.v20240101\r\n",
            SPLASH: bmp(64, 40),
            "repo/extra.zip": pattern(5000, 3),
            # Last in the table: its data ends where the footer, and then the table, begin.
            "zz/last.bin": pattern(4099, 11),
        })
        self.tree = tree
        self.unsigned = harness.pack(harness.windows_launcher(), tree,
                                     self.place("unsigned"), "bin/probe.exe",
                                     "--args", "-installer $#launcher# -mode=full")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
             "-out", "cert.pem", "-days", "2", "-subj", "/CN=Test"], cwd=folder)
        self.cert = folder / "cert.pem"
        if not self.cert.exists():
            raise AssertionError("openssl made no certificate")
        self.signed = self.sign("Signed installer")
        self.damaged = self.place("damaged")
        self.damaged.write_bytes(self.damage(self.signed.read_bytes()))
        # Never signed, the same table appended: what the damaged file must read as.
        self.twin = self.place("twin")
        self.twin.write_bytes(self.unsigned.read_bytes() + self.table())

    def place(self, name):
        folder = self.folder / name
        folder.mkdir(exist_ok=True)
        return folder / "setup.exe"

    def sign(self, description):
        output = self.place("signed")
        output.unlink(missing_ok=True)
        done = run(["osslsigncode", "sign", "-certs", self.cert, "-key", self.folder / "key.pem",
                    "-n", description, "-in", self.unsigned, "-out", output])
        if done.returncode != 0:
            raise AssertionError("osslsigncode sign failed: " + done.stdout + done.stderr)
        return output

    def table(self):
        return self.signed.read_bytes()[len(self.unsigned.read_bytes()):]

    @staticmethod
    def damage(data):
        """Points the security directory outside the file."""
        data = bytearray(data)
        entry = security_entry(data)
        struct.pack_into("<II", data, entry, len(data) + 0x1000, u32(data, entry + 4))
        return bytes(data)


def files_below(folder):
    folder = Path(folder)
    if not folder.exists():
        return None
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file()}


def normalized_report(text, installer):
    """The probe's report with the installer's path and the extraction folder's tick count
    replaced; the report escapes backslashes."""
    path = harness.windows_path(installer)
    text = text.replace(path.replace("\\", "\\\\"), "<installer>").replace(path, "<installer>")
    return re.sub(r"sfx\d+\.tmp", "sfx<ticks>.tmp", text)


class SignedInstaller(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("osslsigncode", "openssl"):
            if not shutil.which(tool):
                raise AssertionError(f"{tool} is missing (scripts/deps.sh installs it)")
        cls.folder = Path(tempfile.mkdtemp(prefix="e2e-signed-"))
        cls.installers = Installers(cls.folder)
        cls.screen = harness.Xvfb().start()

    @classmethod
    def tearDownClass(cls):
        cls.screen.stop()
        if not os.environ.get("E2E_KEEP"):
            shutil.rmtree(cls.folder, True)

    def setUp(self):
        self.wine = harness.Wine(self.screen.display).__enter__()
        self.addCleanup(self.wine.__exit__, None, None, None)

    def launch(self, installer, switches="", timeout=60):
        command = f'"{harness.windows_path(installer)}"' + (" " + switches if switches else "")
        result = self.wine.run(command, keys=None, timeout=timeout)
        self.assertFalse(result.timed_out, result.output)
        return result

    def test_signature_verifies_and_the_pack_tool_reports_it(self):
        inst = self.installers
        plain, signed = inst.unsigned.read_bytes(), inst.signed.read_bytes()
        done = run(["osslsigncode", "verify", "-CAfile", inst.cert, "-in", inst.signed])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        done = run(["osslsigncode", "verify", "-CAfile", inst.cert, "-in", inst.damaged])
        self.assertNotEqual(done.returncode, 0, "a damaged directory still verifies")

        # The installer is a multiple of 8 bytes long, so the table begins right behind its
        # footer; signing changed nothing of it beyond the PE header.
        self.assertEqual(len(plain) % 8, 0)
        entry = security_entry(signed)
        self.assertEqual(struct.unpack_from("<II", signed, entry),
                         (len(plain), len(signed) - len(plain)))
        self.assertEqual(signed[0x400:len(plain)], plain[0x400:])

        listing = {}
        for name in ("unsigned", "signed"):
            done = run([harness.sfxpack(), "list", getattr(inst, name)])
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            listing[name] = done.stdout.splitlines()
        self.assertEqual(listing["unsigned"][1], "Signature: none")
        self.assertEqual(listing["signed"][1],
                         f"Signature: present, certificate table of {len(signed) - len(plain)}"
                         f" bytes at offset {len(plain)}; the payload ends there")
        # The same payload, read in front of the table, with the CRC-32 that the launcher
        # checks: the signature lies outside what it covers.
        self.assertEqual(listing["signed"][2:], listing["unsigned"][2:])
        self.assertIn("CRC: stored; the launcher checks the payload against it", listing["signed"])
        self.assertIn("required zz\\last.bin", listing["signed"][-1])

        done = run([harness.sfxpack(), "verify", inst.signed])
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertIn(f"signature: present, certificate table of {len(signed) - len(plain)} bytes"
                      f" at offset {len(plain)}", done.stdout)
        done = run([harness.sfxpack(), "verify", inst.unsigned])
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertNotIn("signature", done.stdout)

        # The damaged one is no longer seen as signed, and its payload cannot be found.
        done = run([harness.sfxpack(), "list", inst.damaged])
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertEqual(done.stdout.splitlines()[1], "Signature: none")
        self.assertNotEqual(run([harness.sfxpack(), "verify", inst.damaged]).returncode, 0)

    def test_single_file_extraction_as_unsigned(self):
        inst = self.installers
        cases = [("app.ini", {"conf/app.ini": APP_INI.encode()}),
                 ("last.bin", {"zz/last.bin": pattern(4099, 11)}),
                 ("extra.zip", {"repo/extra.zip": pattern(5000, 3)}),
                 ("splash.bmp", {SPLASH: bmp(64, 40)}),
                 ("missing.txt", None)]
        for name, expected in cases:
            with self.subTest(name=name):
                seen = {}
                for kind in ("unsigned", "signed"):
                    out = self.folder / f"out-{kind}-{name}"
                    result = self.launch(getattr(inst, kind),
                                         f"-extract={name}@{harness.windows_path(out)}")
                    seen[kind] = (result.exit_code, result.boxes, files_below(out))
                self.assertEqual(seen["signed"], seen["unsigned"])
                self.assertEqual(seen["signed"], (0 if expected else 1, [], expected))

    def test_install_run_as_unsigned(self):
        inst = self.installers
        seen = {}
        for kind in ("unsigned", "signed"):
            installer = getattr(inst, kind)
            inst.report.unlink(missing_ok=True)
            shutil.rmtree(inst.fetched, True)
            result = self.launch(installer, timeout=90)
            self.assertTrue(inst.report.exists(), f"{kind}: the probe wrote no report; "
                                                  f"{result.output}")
            report = normalized_report(inst.report.read_text(), installer)
            seen[kind] = (result.exit_code, result.boxes, report, files_below(inst.fetched))
        self.assertEqual(seen["signed"], seen["unsigned"])

        # What the run must have done, for both: the ini line with the installer's path, the
        # splash closed by the probe, the zip left in the payload and fetched from it.
        exit_code, boxes, report, fetched = seen["signed"]
        self.assertEqual((exit_code, boxes), (PROBE_EXIT, []))
        lines = report.splitlines()
        self.assertIn("ini=" + INI.replace("\r", "\\r").replace("\n", "\\n") +
                      "-DextractorLoc=<installer>\\r\\n", lines)
        self.assertIn("connect=1", lines)
        self.assertIn("fetch.launcher=<installer>", lines)
        self.assertIn(f"fetch=0 extra.zip@{harness.windows_path(inst.fetched)}"
                      .replace("\\", "\\\\"), lines)
        self.assertIn("check=1 conf\\\\app.ini", lines)
        self.assertIn("check=0 repo\\\\extra.zip", lines)
        self.assertIn(f"exit={PROBE_EXIT}", lines)
        self.assertIn("<installer>", next(l for l in lines if l.startswith("cmdline=")))
        self.assertEqual(fetched, {"repo/extra.zip": pattern(5000, 3)})

    def test_damaged_directory_reads_as_unsigned_with_the_table_appended(self):
        inst = self.installers
        expected = unsigned_reading_boxes(inst.damaged.read_bytes())
        self.assertEqual(expected, unsigned_reading_boxes(inst.twin.read_bytes()))
        temp = harness.wine_temp_folder()
        before = set(temp.glob("sfx*.tmp"))
        for switches in ("", "-extract=app.ini@" + harness.windows_path(self.folder / "out-c")):
            with self.subTest(switches=switches):
                seen = {}
                for kind in ("twin", "damaged"):
                    result = self.launch(getattr(inst, kind), switches)
                    seen[kind] = (result.exit_code, result.boxes)
                self.assertEqual(seen["damaged"], seen["twin"])
                self.assertEqual(seen["damaged"], (1, expected))
        self.assertFalse((self.folder / "out-c").exists())
        self.assertEqual(set(temp.glob("sfx*.tmp")) - before, set(),
                         "a refused payload made an extraction folder")


if __name__ == "__main__":
    harness.main()
