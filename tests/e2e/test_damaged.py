#!/usr/bin/env python3
"""Damaged installers: the launcher checks the payload against the CRC-32 in its footer and
refuses one that does not match, in the install run and in the extraction mode alike, with one
box, exit status 1, no program started and nothing left on disk. Downloads cut short or extended
(whose footer points before the start of the file) end with the same box, not silently. A
stored 0 asks for no check.

One intact installer is packed (probe, version manifest, splash, a .zip left in the payload)
and each row damages a copy of it.

    test_damaged.py native    the POSIX launcher
    test_damaged.py wine      the Windows launcher of the build under test, under Wine
"""

import re
import struct
import sys
import unittest

import harness

sys.path.insert(0, str(harness.SOURCE_DIR / "tests" / "equipment" / "probe"))
import probedriver  # noqa: E402

DAMAGED = "The installer is damaged or incomplete. Download it again."
MANIFEST = "plugins/com.kestrom.tarnix.ide.installer_1.0/META-INF/MANIFEST.MF"
APP_INI = b"[app]\r\nname=checked\r\n"
ZIP = b"PK\x03\x04" + bytes(range(200))


def points_before_start(raw):
    """True when the footer of raw puts the payload's first byte before the file's start."""
    size = struct.unpack_from("<I", raw, len(raw) - 8)[0]
    return size > len(raw) - 8 and size <= 0x7FFFFFF8


class Layout:
    """Where the parts of an installer's payload lie, as file offsets."""

    def __init__(self, raw):
        stub, payload = probedriver.read_installer_bytes(raw)
        self.payload = payload
        n = len(payload.names)
        pos = len(stub) + 36 + 8 * n + 4 + 4 * len(payload.required)
        self.string = []  # offset of each string's length field
        for text in payload.names + [payload.autorun, payload.args]:
            self.string.append(pos)
            pos += 4 + len(text)
        self.data = []
        for data in payload.data:
            self.data.append(pos)
            pos += len(data)

    def entry(self, suffix):
        return next(i for i, name in enumerate(self.payload.names) if name.endswith(suffix))


def flipped(raw, at, bit=0x20):
    raw = bytearray(raw)
    raw[at] ^= bit
    return bytes(raw)


def first_before_start(candidates):
    """The first of the candidate files whose footer points before the start of the file."""
    return next(raw for raw in candidates if points_before_start(raw))


class DamagedCases(probedriver.DriverCases):
    FOLDER_PREFIX = "e2e-damaged-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        d = cls.driver
        cls.report = cls.folder / "report.txt"
        tree = {
            d.probe_name: d.probe.read_bytes(),
            # The probe closes the splash, as an installer's program does.
            "probe.cfg": probedriver.probe_config(d.path(cls.report), ("connect", "1")),
            MANIFEST: "Manifest-Version: 1.0\r\nBundle-Version: 1.0.0\r\n",
            "splash.bmp": bmp(),
            "conf/app.ini": APP_INI,
            "repo/extra.zip": ZIP,
        }
        payload = harness.write_tree(cls.folder / "payload", tree)
        cls.intact = harness.pack(d.launcher, payload, cls.folder / ("intact" + d.exe_suffix),
                                  d.probe_name).read_bytes()

    def setUp(self):
        super().setUp()
        self.report.unlink(missing_ok=True)
        self.before = self.extraction_folders()

    def extraction_folders(self):
        temp = self.driver.temp_folder()
        return {p.name for p in temp.iterdir() if re.fullmatch(r"sfx\d+\.tmp", p.name)}

    def write(self, name, raw):
        # The launcher takes its own file name out of its command line: a name of its own.
        return probedriver.write_raw(self.case / ("setup-" + name + self.driver.exe_suffix), raw)

    def variants(self):
        """(name, bytes) of each damage."""
        raw, at = self.intact, Layout(self.intact)
        app, zip_entry = at.entry(b"app.ini"), at.entry(b".zip")
        return [
            ("entry", flipped(raw, at.data[app] + 3)),
            ("zip", flipped(raw, at.data[zip_entry] + 100)),
            ("name", flipped(raw, at.string[app] + 4 + 2)),
            # The length of the last string: every later offset moves by one byte.
            ("strings", flipped(raw, at.string[-1], 0x01)),
            ("crc", flipped(raw, len(raw) - 2)),
            # A few bytes less or more, such that the footer read points before the start.
            ("short", first_before_start(raw[:-k] for k in range(1, 8))),
            ("extended", first_before_start(raw + bytes([k]) * 5 for k in range(1, 8))),
        ]

    def assertNothingLeft(self, out):
        left = lambda: self.extraction_folders() - self.before  # noqa: E731
        self.assertTrue(harness.wait_until(lambda: not left(), 10), f"left behind: {left()}")
        self.assertEqual(list(out.rglob("*")) if out.exists() else [], [])
        self.assertFalse(self.report.exists(), "the program of a damaged installer started")

    def test_damaged_installers_are_refused(self):
        d = self.driver
        for label, raw in self.variants():
            installer = self.write(label, raw)
            for mode in ("install", "extract"):
                with self.subTest(label, mode=mode):
                    out = self.case / "out"
                    args = [] if mode == "install" else ["-extract=app.ini@" + d.path(out)]
                    outcome = d.run(installer, args)
                    self.assertEqual((outcome.exit_code, outcome.boxes), (1, [DAMAGED]), outcome)
                    self.assertNothingLeft(out)

    def test_the_trace_shows_both_values(self):
        d = self.driver
        raw = self.intact
        stored = struct.unpack_from("<I", raw, len(raw) - 4)[0]
        installer = self.write("crc", raw[:-4] + struct.pack("<I", stored ^ 1))
        d.log_file().unlink(missing_ok=True)
        outcome = d.run(installer, ["-debug", "-extract=app.ini@" + d.path(self.case / "out")])
        self.assertEqual((outcome.exit_code, outcome.boxes), (1, [DAMAGED]), outcome)
        log = d.log_file().read_bytes().decode("latin-1")
        self.assertIn(f"Parsing Strings Table...OK\nChecking payload CRC32...stored={stored ^ 1} "
                      f"computed={stored} FAILED!\nIn debug mode", log)

    def test_a_stored_zero_runs_unchecked(self):
        d = self.driver
        raw = self.intact
        # A byte of the left .zip changed too: with 0 stored, nothing is checked.
        at = Layout(raw)
        raw = flipped(raw, at.data[at.entry(b".zip")] + 100)
        installer = self.write("zero", raw[:-4] + b"\0\0\0\0")
        outcome = d.run(installer, [])
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        self.assertTrue(self.report.exists(), "the program did not start")
        out = self.case / "out"
        outcome = d.run(installer, ["-extract=extra.zip@" + d.path(out)])
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        self.assertEqual((out / "repo" / "extra.zip").read_bytes(),
                         ZIP[:100] + bytes([ZIP[100] ^ 0x20]) + ZIP[101:])


def bmp(width=16, height=8):
    """A 24-bit bottom-up bitmap of one colour."""
    row = b"\x40\x80\xC0" * width + b"\0" * ((-width * 3) % 4)
    pixels = row * height
    return (struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835,
                        0, 0) + pixels)


class NativeDamaged(DamagedCases, unittest.TestCase):
    PLATFORM = "native"


class WineDamaged(DamagedCases, unittest.TestCase):
    PLATFORM = "wine"


if __name__ == "__main__":
    PLATFORMS = {"wine": [WineDamaged], "native": [NativeDamaged]}
    chosen = PLATFORMS.get(sys.argv[1]) if len(sys.argv) > 1 else None
    if chosen:
        del sys.argv[1]
    harness.main(chosen)
