#!/usr/bin/env python3
"""The CMake package of the native build, installed as a release folder: find_package(sfxpack)
with sfxpack_ROOT and sfxpack_add_installer() build the installer of a folder, rebuild it when a
file changes, appears or goes, and leave it alone when nothing did.
"""

import json
import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402

VERSION = re.search(r"^## ([0-9]+\.[0-9]+)\.", (harness.SOURCE_DIR / "CHANGELOG.md").read_text(),
                    re.M).group(1)


def run(command):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=240)
    if done.returncode:
        raise AssertionError(f"{command} failed: {done.stdout}{done.stderr}")
    return done


class Package(unittest.TestCase):
    def test_builds_and_rebuilds_an_installer(self):
        work = harness.scratch_dir(self, "package-")
        release, app, build = work / "release", work / "app", work / "build"
        run(["cmake", "--install", harness.build_dir("native"), "--prefix", release])
        harness.write_tree(app, {"bin/setup": "#!/bin/sh\n", "data/a.txt": "a"})
        run(["cmake", "-S", Path(__file__).parent / "project", "-B", build,
             f"-Dsfxpack_ROOT={release}", f"-DAPP_DIR={app}", f"-DSFXPACK_WANTED={VERSION}"])
        installer = build / "setup.run"

        def build_and_list(change=None):
            """Builds after change(); the entries {name: size} and whether it was repacked."""
            before = installer.stat().st_mtime_ns if installer.exists() else None
            if change:
                change()
            run(["cmake", "--build", build])
            listing = json.loads(run([release / "sfxpack", "list", "--json", installer]).stdout)
            self.assertEqual(listing["autorun"]["arguments"], "--from $#launcher#")
            entries = {e["name"]: e["size"] for e in listing["entries"]}
            return entries, installer.stat().st_mtime_ns != before

        def later(path):
            # Newer than the installer whatever the file system's time resolution.
            stamp = installer.stat().st_mtime + 5
            os.utime(path, (stamp, stamp))

        def edit():
            (app / "data" / "a.txt").write_text("longer")
            later(app / "data" / "a.txt")

        def add():
            (app / "data" / "new").mkdir()
            (app / "data" / "new" / "b.txt").write_text("b")
            later(app / "data" / "new")

        def remove():
            (app / "data" / "a.txt").unlink()
            later(app / "data")

        first = {"bin\\": 0, "bin\\setup": 10, "data\\": 0, "data\\a.txt": 1}
        self.assertEqual(build_and_list(), (first, True))
        self.assertEqual(build_and_list(), (first, False))
        self.assertEqual(build_and_list(edit), ({**first, "data\\a.txt": 6}, True))
        self.assertEqual(build_and_list(add), ({**first, "data\\a.txt": 6, "data\\new\\": 0,
                                                "data\\new\\b.txt": 1}, True))
        self.assertEqual(build_and_list(remove), ({"bin\\": 0, "bin\\setup": 10, "data\\": 0,
                                                   "data\\new\\": 0, "data\\new\\b.txt": 1}, True))


if __name__ == "__main__":
    harness.main()
