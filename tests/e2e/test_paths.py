#!/usr/bin/env python3
"""The Windows launcher under Wine with the paths of real users' machines: a temporary folder
and an installer folder whose names the ANSI code page (1252 here) cannot hold, and a payload
whose deepest entry makes a path beyond MAX_PATH. The probe is the started program. Wine runs in
a UTF-8 locale, so that Linux paths with such names reach it.

    test_paths.py    (Windows build under test: LAUNCHER_BUILD_WINDOWS, as for every Wine test)
"""

import os
import re
import shutil
import sys
import unittest

import harness

sys.path.insert(0, str(harness.SOURCE_DIR / "tests" / "equipment" / "probe"))
import probedriver  # noqa: E402

CYRILLIC = "\u0414\u043c\u0438\u0442\u0440\u0438\u0439"  # a user's name
DOWNLOADS = "\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0438"  # "Downloads"
INI = b"-vmargs\r\n"


def ansi_path(text):
    """True for a path that the ANSI functions can use as it is: no "?" in place of a character
    that the code page lacks, nothing outside ASCII."""
    return "?" not in text and all(ord(c) < 128 for c in text)


class WinePaths(probedriver.DriverCases, unittest.TestCase):
    PLATFORM = "wine"
    FOLDER_PREFIX = "e2e-paths-"

    @classmethod
    def setUpClass(cls):
        os.environ["LANG"] = "C.UTF-8"
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.temp = self.driver.temp_folder()
        self.before = self.extraction_folders(self.temp)

    @staticmethod
    def extraction_folders(folder):
        return {p.name for p in folder.iterdir() if re.fullmatch(r"sfx\d+\.tmp", p.name)}

    def installer(self, folder, files, actions, args=None):
        """The probe, its ini file and configuration and the files, packed into folder/setup.exe;
        (installer, report path)."""
        d = self.driver
        report = self.case / "report.txt"
        tree = dict(files)
        tree[d.probe_name] = d.probe.read_bytes()
        tree["probe.ini"] = INI
        tree["probe.cfg"] = probedriver.probe_config(d.path(report), *actions)
        payload = harness.write_tree(self.case / "payload", tree)
        folder.mkdir(parents=True, exist_ok=True)
        extra = ["--args", args] if args else []
        return harness.pack(d.launcher, payload, folder / "setup.exe", d.probe_name,
                            *extra), report

    def run_clean(self, installer, args=(), wide=False):
        """Runs the installer, which must end with 0 and no box."""
        outcome = self.driver.run(installer, list(args), wide=wide)
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)

    def assertNoFolderLeft(self, temp):
        left = lambda: self.extraction_folders(temp) - self.before  # noqa: E731
        self.assertTrue(harness.wait_until(lambda: not left(), 10), f"left behind: {left()}")

    def set_user_temp(self, value):
        """Sets TEMP and TMP of the prefix's user (HKCU\\Environment), which every program that
        Wine starts from Linux then gets; the old values come back at the end of the case."""
        def reg(*args):
            done = harness.run_wine(["reg", *args])
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            return done.stdout

        key = "HKCU\\Environment"
        for name in ("TEMP", "TMP"):
            old = re.search(r"^\s*%s\s+(REG_\w+)\s+(.*?)\s*$" % name,
                            reg("query", key, "/v", name), re.M)
            self.assertIsNotNone(old, name)
            self.addCleanup(reg, "add", key, "/v", name, "/t", old.group(1), "/d", old.group(2),
                            "/f")
            reg("add", key, "/v", name, "/d", value, "/f")

    # ---- the cases ------------------------------------------------------------------------

    def test_temporary_folder_outside_the_code_page(self):
        user_temp = self.temp / CYRILLIC
        user_temp.mkdir()
        self.addCleanup(shutil.rmtree, user_temp, True)
        windows_temp = "C:\\users\\%s\\Temp\\%s" % (self.temp.parent.name, CYRILLIC)
        self.set_user_temp(windows_temp)
        installer, report_path = self.installer(self.case, {"sub/a.txt": b"a"},
                                                [("check", "sub\\a.txt")])
        self.run_clean(installer)
        report = probedriver.Report(report_path)
        # The extraction folder lies in the user's folder, named in its short form.
        cwd = report.get("cwd")
        self.assertRegex(cwd, r"^C:\\users\\[^\\]+\\Temp\\[^\\]+\\sfx\d+\.tmp$")
        self.assertTrue(ansi_path(cwd), cwd)
        self.assertEqual(report.actions(), [("check", "1 sub\\a.txt"), ("exit", "0")])
        self.assertTrue(harness.wait_until(lambda: not any(user_temp.iterdir()), 10),
                        f"left behind: {list(user_temp.iterdir())}")

    def test_installer_in_a_folder_outside_the_code_page(self):
        installer, report_path = self.installer(
            self.case / DOWNLOADS, {"lib/x.zip": b"PK x"},
            [("fetch", "lib\\x.zip@."), ("check", "lib\\x.zip")], args="--launcher $#launcher#")
        # Only a UTF-16 command line can name it.
        self.run_clean(installer, ["u1"], wide=True)
        report = probedriver.Report(report_path)
        # One short form of the installer's path everywhere: in the ini file, for $#launcher#,
        # and taken out of the command line.
        launcher = report.get("fetch.launcher")
        self.assertTrue(ansi_path(launcher), launcher)
        self.assertRegex(launcher, r"^Z:\\.+\\setup\.exe$")
        program = report.get("cwd") + "\\" + self.driver.probe_name
        self.assertEqual(report.get("ini"), (INI + b"-DextractorLoc=%s\r\n"
                                             % launcher.encode()).decode())
        self.assertEqual(report.get("cmdline"), f'"{program}" --launcher {launcher}  u1')
        self.assertEqual(report.actions(), [
            ("fetch.launcher", launcher), ("fetch", "0 lib\\x.zip@."), ("check", "1 lib\\x.zip"),
            ("exit", "0"),
        ])
        self.assertNoFolderLeft(self.temp)

    def test_deep_payload(self):
        # Below C:\users\<user>\Temp\sfx<tick>.tmp\ the deepest entry makes about 300 characters,
        # below the -extract= folder more.
        level = "org.kestrom.tarnix.feature.with.a.long.versioned.name_1.2.3.v20240101-1200"
        deep = "plugins\\" + "\\".join([level] * 3) + "\\lib\\deep-entry-of-the-payload.txt"
        got = self.case / "got"
        fetch = "deep-entry-of-the-payload.txt@" + self.driver.path(got)
        installer, report_path = self.installer(self.case, {deep.replace("\\", "/"): b"deep"},
                                                [("check", deep), ("fetch", fetch)])
        self.run_clean(installer)
        report = probedriver.Report(report_path)
        self.assertGreaterEqual(len(report.get("cwd")) + 1 + len(deep), 290)
        self.assertEqual(report.actions(), [
            ("check", "1 " + deep), ("fetch.launcher", self.driver.path(installer)),
            ("fetch", "0 " + fetch), ("exit", "0"),
        ])
        self.assertEqual(got.joinpath(*deep.split("\\")).read_bytes(), b"deep")
        self.assertNoFolderLeft(self.temp)


if __name__ == "__main__":
    harness.main()
