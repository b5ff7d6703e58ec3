#!/usr/bin/env python3
"""The Java helper (tools/helpers/SfxLauncher.java) end to end: compiled for Java 8 with a small
program that uses it, packed as the started program of a Linux installer in java mode, run by
the POSIX launcher. The program finds the launcher through the system property and through the
ini file, closes the splash (the listener runs because the installer carries a splash bitmap)
and fetches an entry into a folder with a blank."""

import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402

HERE = Path(__file__).resolve().parent
HELPER = harness.SOURCE_DIR / "tools" / "helpers" / "SfxLauncher.java"


class JavaHelper(unittest.TestCase):
    def test_started_program_uses_every_operation(self):
        for tool in ("java", "javac"):
            if not shutil.which(tool):
                self.fail(f"{tool} is missing: scripts/deps.sh installs a JDK")
        folder = harness.scratch_dir(self, "java-helper-")
        payload = folder / "payload"
        classes = payload / "classes"
        subprocess.run(["javac", "--release", "8", "-Xlint:all", "-Xlint:-options", "-Werror",
                        "-d", str(classes), str(HELPER), str(HERE / "HelperCheck.java")],
                       check=True, timeout=300, stdin=subprocess.DEVNULL)
        harness.write_tree(payload, {"java.ini": b"-vmargs\r\n", "lib/data.zip": b"PK data",
                                     "splash.bmp": b"BM"})
        installer = harness.pack(harness.native_launcher(), payload, folder / "setup.run",
                                 "-cp classes", "--java", "--args",
                                 "-DextractorLoc=$#launcher# HelperCheck")
        report, fetched = folder / "report.txt", folder / "fetched here"
        done = harness.run_native([report, fetched], env={"TMPDIR": str(folder)}, timeout=120,
                                  launcher=installer)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertEqual(report.read_text(), f"property={installer}\nini={installer}\n"
                         "close=true\nfetch=true\nmissing=false\n")
        self.assertEqual((fetched / "lib" / "data.zip").read_bytes(), b"PK data")
        self.assertEqual([p.name for p in fetched.iterdir()], ["lib"])


if __name__ == "__main__":
    harness.main()
