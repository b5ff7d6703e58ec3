#!/usr/bin/env python3
"""The extraction mode ("-extract=NAME@FOLDER") from outside: which entry lands where, with
which bytes and folders, the exit status (0 extracted, 1 not), the error boxes and the debug
trace. An installer is packed with sfxpack; damaged ones are rewritten record by record.

    test_extract.py native    the POSIX launcher
    test_extract.py wine      the 64-bit Windows launcher under Wine, on an X screen of its own
"""

import hashlib
import random
import shutil
import sys
import unittest
from pathlib import Path

import harness

sys.path.insert(0, str(harness.SOURCE_DIR / "tests" / "equipment" / "probe"))
import probedriver  # noqa: E402

CONTENT = {
    "Config.ini": b"[upper]\r\n",
    "alpha": b"alpha bytes\n",
    "aaa/long/same.txt": b"the deeper one, lower id\n",
    "conf/conf.ini": b"[in conf]\r\nkey=1\r\n",
    "file c.txt": b"a blank in the name\n",
    "myconf.ini": b"[mine]\r\n",
    "same.txt": b"the exact name, higher id\n",
    # Larger than 1 MiB and no multiple of the copy buffer.
    "big.bin": random.Random(7).randbytes((1 << 20) + 12345),
}
PROBE_EXIT = 5
OPENING_TRACE = (
    "SFX Header record parsing...OK\n"
    "Execution Info parsing...OK\n"
    "File Information Table parsing...OK\n"
    "Required Files Table parsing...OK\n"
    "Allocating memory for Strings Table...OK\n"
    "Parsing Strings Table...OK\n"
)
CLOSING_TRACE = "In debug mode, press any key to close this window"
EXTRACT_BOX = "Failed to extract required file"


def tree(folder):
    """{relative path: bytes, or None for a folder (with a trailing "/")} below folder."""
    found = {}
    for path in sorted(Path(folder).rglob("*")):
        rel = path.relative_to(folder).as_posix()
        found[rel + "/" if path.is_dir() else rel] = None if path.is_dir() else path.read_bytes()
    return found


def with_parents(files):
    """The files and folders given, plus every folder above them."""
    expected = dict(files)
    for path in files:
        parts = path.rstrip("/").split("/")[:-1]
        for i in range(1, len(parts) + 1):
            expected["/".join(parts[:i]) + "/"] = None
    return expected


class ExtractCases(probedriver.DriverCases):
    """The cases; a subclass names the platform."""

    FOLDER_PREFIX = "e2e-extract-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        d = cls.driver
        cls.report = cls.folder / "report.txt"
        files = dict(CONTENT)
        # The autorun program, for the command lines that run the install instead.
        files[d.probe_name] = d.probe.read_bytes()
        files["probe.cfg"] = probedriver.probe_config(d.path(cls.report), exit_code=PROBE_EXIT)
        files["probe.ini"] = b"-vmargs\r\n"
        payload = harness.write_tree(cls.folder / "payload", files)
        (payload / "emptydir").mkdir()
        cls.installer = harness.pack(d.launcher, payload, cls.folder / ("setup" + d.exe_suffix),
                                     d.probe_name)

    def setUp(self):
        super().setUp()
        self.out = self.case / "run"
        self.out.mkdir()
        self.report.unlink(missing_ok=True)
        self.driver.log_file().unlink(missing_ok=True)

    def extract(self, *args, installer=None):
        return self.driver.run(installer or self.installer, list(args), cwd=self.out)

    def fresh_out(self):
        shutil.rmtree(self.out)
        self.out.mkdir()

    def variant(self, name, change):
        """A copy of the installer with its payload changed by change(payload)."""
        stub, payload = probedriver.read_installer(self.installer)
        change(payload)
        path = self.case / (name + self.driver.exe_suffix)
        return probedriver.write_installer(path, stub, payload)

    def assertExtracted(self, outcome, expected):
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        self.assertEqual(tree(self.out), with_parents(expected))
        self.assertFalse(self.report.exists(), "the install ran")

    # ---- what lands ---------------------------------------------------------------------

    def test_the_first_entry_that_ends_with_the_name_lands_below_the_folder(self):
        d = self.driver
        out = d.path(self.out)
        sub = lambda *names: d.sep.join([out, *names])  # noqa: E731
        conf = CONTENT["conf/conf.ini"]
        cases = [
            ("plain", ["-extract=conf.ini@" + sub("x")], {"x/conf/conf.ini": conf}),
            # A word with blanks is the whole switch in double quotes; the folders are new.
            ("quoted, blanks", ["-extract=conf.ini@" + sub("new dir", "x y")],
             {"new dir/x y/conf/conf.ini": conf}),
            ("blank in the name", ["-extract=file c.txt@" + out],
             {"file c.txt": CONTENT["file c.txt"]}),
            # Name "a", folder "...\b@c": the first "@" separates.
            ("a@b@c", ["-extract=a@" + sub("b@c")], {"b@c/alpha": CONTENT["alpha"]}),
            # An empty name matches every entry: the first one.
            ("empty name", ["-extract=@" + out], {"Config.ini": CONTENT["Config.ini"]}),
            # Nothing after "@": the current directory.
            ("empty folder", ["-extract=myconf.ini@"], {"myconf.ini": CONTENT["myconf.ini"]}),
            ("full stored name", ["-extract=conf\\conf.ini@" + out], {"conf/conf.ini": conf}),
            ("end of a name", ["-extract=onf.ini@" + out], {"conf/conf.ini": conf}),
            # Two names end with the request: the lower id wins, even over an exact name.
            ("lower id", ["-extract=same.txt@" + out],
             {"aaa/long/same.txt": CONTENT["aaa/long/same.txt"]}),
            # A folder entry, asked for with its trailing backslash, becomes a folder.
            ("folder entry", ["-extract=emptydir\\@" + sub("f")], {"f/emptydir/": None}),
            ("large entry", ["-extract=big.bin@" + out], {"big.bin": CONTENT["big.bin"]}),
        ]
        for label, args, expected in cases:
            with self.subTest(label):
                self.fresh_out()
                outcome = self.extract(*args)
                big = self.out / "big.bin"
                if "big.bin" in expected and big.exists():
                    self.assertEqual(hashlib.sha256(big.read_bytes()).hexdigest(),
                                     hashlib.sha256(CONTENT["big.bin"]).hexdigest())
                self.assertExtracted(outcome, expected)

    def test_requests_that_extract_nothing(self):
        out = self.driver.path(self.out)
        cases = [
            # Letter case matters: Config.ini is no config.ini.
            ("letter case", ["-extract=config.ini@" + out], 1),
            ("unknown name", ["-extract=nothing.txt@" + out], 1),
            # Without "@" neither mode runs.
            ("no @", ["-extract=conf.ini"], 0),
        ]
        for label, args, status in cases:
            with self.subTest(label):
                outcome = self.extract(*args)
                self.assertEqual((outcome.exit_code, outcome.boxes), (status, []), outcome)
                self.assertEqual(tree(self.out), {})
                self.assertFalse(self.report.exists(), "the install ran")

    def test_a_switch_after_vmargs_is_a_vm_argument(self):
        target = self.driver.path(self.out / "x")
        outcome = self.extract("-vmargs", "-extract=conf.ini@" + target)
        self.assertEqual((outcome.exit_code, outcome.boxes), (PROBE_EXIT, []), outcome)
        self.assertEqual(tree(self.out), {})
        report = probedriver.Report(self.report)
        self.assertEqual(report.get("ini"),
                         "-vmargs\r\n-DextractorLoc=%s\r\n-extract=conf.ini@%s\r\n"
                         % (self.driver.path(self.installer), target))

    # ---- failures -----------------------------------------------------------------------

    def test_damaged_payloads_show_their_box(self):
        def signature(p):
            p.signature = b"org.vantrel.kit.sfy"

        def version(p):
            p.version = 2

        def no_entries(p):
            p.names, p.data = [], []

        cases = [
            ("signature", signature, "SFX Header invalid"),
            ("version", version, "SFX Header invalid"),
            ("no entries", no_entries, "Failed to parse File Information Table"),
        ]
        for label, change, box in cases:
            with self.subTest(label):
                outcome = self.extract("-extract=conf.ini@" + self.driver.path(self.out),
                                       installer=self.variant(label, change))
                self.assertEqual((outcome.exit_code, outcome.boxes), (1, [box]), outcome)
                self.assertEqual(tree(self.out), {})

    def test_required_count_beyond_the_file(self):
        stub, payload = probedriver.read_installer(self.installer)
        raw = bytearray(payload.encode())
        at = 36 + 8 * len(payload.names)
        raw[at:at + 4] = (0x10000000).to_bytes(4, "little")
        installer = probedriver.write_raw(self.case / ("count" + self.driver.exe_suffix),
                                          stub + raw)
        outcome = self.extract("-extract=conf.ini@" + self.driver.path(self.out),
                               installer=installer)
        self.assertEqual((outcome.exit_code, outcome.boxes),
                         (1, ["Failed to parse Required Files Table"]), outcome)

    def test_unwritable_target(self):
        # A file stands where the target folder would have to be made.
        (self.out / "blocker").write_bytes(b"x")
        target = self.driver.path(self.out / "blocker" / "sub")
        outcome = self.extract("-extract=conf.ini@" + target)
        self.assertEqual((outcome.exit_code, outcome.boxes), (1, [EXTRACT_BOX]), outcome)
        self.assertEqual(tree(self.out), {"blocker": b"x"})

    def test_names_that_leave_the_target_are_refused(self):
        refused = {
            "dots": "..\\escaped1.txt",
            "dots deeper": "inner/../../escaped2.txt",
            "absolute": "\\escaped4.txt",
        }
        if self.driver.name == "wine":
            # A drive on Windows; on Linux a colon is a plain character of a name.
            refused["drive"] = "C:escaped3.txt"

        def add(p):
            for name in refused.values():
                p.add(name, b"must not land\n")

        installer = self.variant("refused", add)
        # Two folders down: an escape upwards would still land in this test's folder.
        target = self.driver.path(self.out / "a" / "b")
        for label, name in refused.items():
            with self.subTest(label):
                wanted = name.replace("/", "\\").split("\\")[-1].split(":")[-1]
                outcome = self.extract("-extract=%s@%s" % (wanted, target), installer=installer)
                self.assertEqual((outcome.exit_code, outcome.boxes), (1, [EXTRACT_BOX]), outcome)
                self.assertEqual([p for p in tree(self.case) if "escaped" in p], [])
                for root in self.driver.roots():
                    self.assertFalse((root / wanted).exists(), root / wanted)

    # ---- debug trace --------------------------------------------------------------------

    def read_log(self):
        return self.driver.log_file().read_bytes().decode("latin-1")

    def test_debug_trace_of_a_found_file(self):
        d = self.driver
        target = d.path(self.out / "d")
        outcome = self.extract("-debug", "-extract=conf.ini@" + target)
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        self.assertEqual(
            self.read_log(),
            "Browsing for required file:conf.ini\n"
            + OPENING_TRACE
            + probedriver.crc_check_trace(self.installer)
            + "conf\\conf.ini : Required file found!\n"
            + "Extracting to: %s\n" % target
            + "extracting 'conf\\conf.ini' to '%s'...OK\n"
            % d.sep.join([target, "conf", "conf.ini"])
            + CLOSING_TRACE)
        self.assertEqual(tree(self.out),
                         with_parents({"d/conf/conf.ini": CONTENT["conf/conf.ini"]}))

    def test_debug_trace_of_a_missing_file(self):
        outcome = self.extract("-debug", "-extract=Conf.ini@" + self.driver.path(self.out))
        self.assertEqual((outcome.exit_code, outcome.boxes), (1, []), outcome)
        self.assertEqual(self.read_log(), "Browsing for required file:Conf.ini\n" + OPENING_TRACE
                         + probedriver.crc_check_trace(self.installer)
                         + "required file not found\n" + CLOSING_TRACE)
        if self.driver.name == "native":
            # The debug console is standard error: the same bytes.
            self.assertEqual(outcome.output, self.read_log())


class NativeExtract(ExtractCases, unittest.TestCase):
    PLATFORM = "native"


class WineExtract(ExtractCases, unittest.TestCase):
    PLATFORM = "wine"


if __name__ == "__main__":
    PLATFORMS = {"wine": [WineExtract], "native": [NativeExtract]}
    chosen = PLATFORMS.get(sys.argv[1]) if len(sys.argv) > 1 else None
    if chosen:
        del sys.argv[1]
    harness.main(chosen)
