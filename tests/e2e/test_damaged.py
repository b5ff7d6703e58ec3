#!/usr/bin/env python3
"""Damaged installers: the payload that does not match the CRC-32 in its footer is refused by
the install run and by the extraction mode with one box, exit status 1, no program started and
nothing left; a download cut short or extended (its footer then points before the file's start)
gets the same box. A stored 0 asks for no check. Each row damages a copy of one installer.

    test_damaged.py native|wine
"""

import re
import struct
import sys
import unittest

import harness
from test_install import bmp

sys.path.insert(0, str(harness.SOURCE_DIR / "tests" / "equipment" / "probe"))
import probedriver  # noqa: E402

DAMAGED = "The installer is damaged. Download it again."
ZIP = b"PK\x03\x04" + bytes(range(200))


def points_before_start(raw):
    size = struct.unpack_from("<I", raw, len(raw) - 8)[0]
    return len(raw) - 8 < size <= 0x7FFFFFF8


def flipped(raw, at, bit=0x20):
    return raw[:at] + bytes([raw[at] ^ bit]) + raw[at + 1:]


def offsets(raw):
    """{stored name: file offset of its length field, "last string": the same of the autorun
    arguments, ("data", stored name): the entry's data}."""
    stub, payload = probedriver.read_installer_bytes(raw)
    pos = len(stub) + 36 + 8 * len(payload.names) + 4 + 4 * len(payload.required)
    found = {}
    for i, text in enumerate(payload.names + [payload.autorun, payload.args]):
        found[text if i < len(payload.names) else i] = found["last string"] = pos
        pos += 4 + len(text)
    for name, data in zip(payload.names, payload.data):
        found["data", name] = pos
        pos += len(data)
    return found


class DamagedCases(probedriver.DriverCases):
    FOLDER_PREFIX = "e2e-damaged-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        d = cls.driver
        cls.report = cls.folder / "report.txt"
        payload = harness.write_tree(cls.folder / "payload", {
            d.probe_name: d.probe.read_bytes(),
            # The probe closes the splash, as an installer's program does.
            "probe.cfg": probedriver.probe_config(d.path(cls.report), ("connect", "1")),
            "plugins/com.kestrom.tarnix.ide.installer_1.0/META-INF/MANIFEST.MF":
                "Manifest-Version: 1.0\r\nBundle-Version: 1.0.0\r\n",
            "splash.bmp": bmp(16, 8),
            "conf/app.ini": b"[app]\r\n",
            "repo/extra.zip": ZIP,
        })
        cls.intact = harness.pack(d.launcher, payload, cls.folder / ("intact" + d.exe_suffix),
                                  d.probe_name).read_bytes()
        cls.at = offsets(cls.intact)

    def setUp(self):
        super().setUp()
        self.report.unlink(missing_ok=True)
        self.before = self.extraction_folders()

    def extraction_folders(self):
        return {p.name for p in self.driver.temp_folder().iterdir()
                if re.fullmatch(r"sfx\d+\.tmp", p.name)}

    def write(self, name, raw):
        # The launcher takes its own file name out of its command line: a name of its own.
        return probedriver.write_raw(self.case / ("setup-" + name + self.driver.exe_suffix), raw)

    def test_damaged_installers_are_refused(self):
        d, raw, at = self.driver, self.intact, self.at
        rows = [
            ("entry", flipped(raw, at["data", b"conf\\app.ini"] + 3)),
            ("zip", flipped(raw, at["data", b"repo\\extra.zip"] + 100)),
            ("name", flipped(raw, at[b"conf\\app.ini"] + 4 + 2)),
            # The length of the last string: every later offset moves by one byte.
            ("strings", flipped(raw, at["last string"], 0x01)),
            ("crc", flipped(raw, len(raw) - 2)),
            # A few bytes less or more, such that the footer read points before the start.
            ("short", next(c for c in (raw[:-k] for k in range(1, 8)) if points_before_start(c))),
            ("extended", next(c for c in (raw + bytes([k]) * 5 for k in range(1, 8))
                              if points_before_start(c))),
        ]
        out = self.case / "out"
        for label, damaged in rows:
            installer = self.write(label, damaged)
            for args in ([], ["-extract=app.ini@" + d.path(out)]):
                with self.subTest(label, args=args):
                    outcome = d.run(installer, args)
                    self.assertEqual((outcome.exit_code, outcome.boxes), (1, [DAMAGED]), outcome)
                    left = lambda: self.extraction_folders() - self.before  # noqa: E731
                    self.assertTrue(harness.wait_until(lambda: not left(), 10), left())
                    self.assertFalse(out.exists())
                    self.assertFalse(self.report.exists(), "a program of it started")

    def test_the_trace_shows_both_values(self):
        d, raw = self.driver, self.intact
        stored = struct.unpack_from("<I", raw, len(raw) - 4)[0]
        installer = self.write("crc", raw[:-4] + struct.pack("<I", stored ^ 1))
        d.log_file().unlink(missing_ok=True)
        outcome = d.run(installer, ["-debug", "-extract=app.ini@" + d.path(self.case / "out")])
        self.assertEqual((outcome.exit_code, outcome.boxes), (1, [DAMAGED]), outcome)
        self.assertIn(f"Parsing Strings Table...OK\nPayload CRC32 stored={stored ^ 1} "
                      f"computed={stored} FAILED!\nIn debug mode",
                      d.log_file().read_bytes().decode("latin-1"))

    def test_a_stored_zero_runs_unchecked(self):
        d = self.driver
        # The .zip changed too: with 0 stored nothing is checked.
        raw = flipped(self.intact, self.at["data", b"repo\\extra.zip"] + 100)
        installer = self.write("zero", raw[:-4] + b"\0\0\0\0")
        outcome = d.run(installer, [])
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        self.assertTrue(self.report.exists(), "the program did not start")
        out = self.case / "out"
        outcome = d.run(installer, ["-extract=extra.zip@" + d.path(out)])
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        self.assertEqual((out / "repo" / "extra.zip").read_bytes(), flipped(ZIP, 100))


class NativeDamaged(DamagedCases, unittest.TestCase):
    PLATFORM = "native"


class WineDamaged(DamagedCases, unittest.TestCase):
    PLATFORM = "wine"


if __name__ == "__main__":
    chosen = {"wine": [WineDamaged], "native": [NativeDamaged]}.get(
        sys.argv.pop(1) if len(sys.argv) > 1 else None)
    harness.main(chosen)
