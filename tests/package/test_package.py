#!/usr/bin/env python3
"""The CMake package of the native build, installed as a release folder: a project that finds it
(sfxpack_ROOT) builds an installer with sfxpack_add_installer(), and rebuilds it when a file of
the folder changes, appears or goes, and only then.
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


def run(*command):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=240)
    assert done.returncode == 0, f"{command}: {done.stdout}{done.stderr}"
    return done.stdout


class Package(unittest.TestCase):
    def test_builds_and_rebuilds_an_installer(self):
        work = harness.scratch_dir(self, "package-")
        release, app, build = work / "release", work / "app", work / "build"
        version = re.search(r"^## (\d+\.\d+)\.", (harness.SOURCE_DIR / "CHANGELOG.md")
                            .read_text(), re.M).group(1)
        run("cmake", "--install", harness.build_dir("native"), "--prefix", release)
        harness.write_tree(app, {"bin/setup": "#!/bin/sh\n", "data/a.txt": "a"})
        run("cmake", "-S", Path(__file__).parent / "project", "-B", build,
            f"-Dsfxpack_ROOT={release}", f"-DAPP_DIR={app}", f"-DSFXPACK_WANTED={version}")
        installer = build / "setup.run"

        def rebuilt(change, path):
            """{name: size} after change() to path (made newer than the installer) and a build,
            and whether the installer was written again."""
            before = installer.stat().st_mtime_ns if installer.exists() else None
            if change:
                change()
                os.utime(path, (installer.stat().st_mtime + 5,) * 2)
            run("cmake", "--build", build)
            listing = json.loads(run(release / "sfxpack", "list", "--json", installer))
            self.assertEqual(listing["autorun"]["arguments"], "--from $#launcher#")
            return ({e["name"]: e["size"] for e in listing["entries"]},
                    installer.stat().st_mtime_ns != before)

        a, new = app / "data" / "a.txt", app / "data" / "new"
        tree = {"bin\\": 0, "bin\\setup": 10, "data\\": 0, "data\\a.txt": 1}
        self.assertEqual(rebuilt(None, None), (tree, True))
        self.assertEqual(rebuilt(None, None), (tree, False))
        tree["data\\a.txt"] = 6
        self.assertEqual(rebuilt(lambda: a.write_text("longer"), a), (tree, True))
        tree.update({"data\\new\\": 0, "data\\new\\b.txt": 1})
        self.assertEqual(rebuilt(lambda: harness.write_tree(new, {"b.txt": "b"}), new),
                         (tree, True))
        del tree["data\\a.txt"]
        self.assertEqual(rebuilt(a.unlink, a.parent), (tree, True))


if __name__ == "__main__":
    harness.main()
