#!/usr/bin/env python3
"""The release archives of dist/ (scripts/release.sh), each unpacked into an empty folder outside
the source tree and used with nothing but what it holds: its sfxpack builds installers from a
small tree with the stubs beside it, and they run, the Windows one under this build's Wine (the
stub of the prefix's architecture), the Linux one natively. The started program is the probe: it
checks an extracted file, fetches the entry left in the installer and sets the exit status.

    test_bundle.py windows   the .zip: sfxpack.exe under Wine builds them
    test_bundle.py linux     the .tar.gz: sfxpack builds them
"""

import os
import re
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402

EXIT = 7
OWN, OTHER = ("windows", "windows-x64") if harness.WINEARCH == "win32" else ("windows-x64",
                                                                              "windows")
# The build takes its version from the newest heading of the changes.
VERSION = re.search(r"^## ([0-9]+\.[0-9]+\.[0-9]+)",
                    (harness.SOURCE_DIR / "CHANGELOG.md").read_text(), re.M).group(1)


def unpack(test, name):
    """The archive's one top folder, unpacked below a new folder outside the source tree."""
    archive = harness.require_file(harness.SOURCE_DIR / "dist" / name,
                                   f"{name} (run scripts/release.sh)")
    base = Path(tempfile.gettempdir()).resolve()
    if base == harness.SOURCE_DIR or harness.SOURCE_DIR in base.parents:
        base = Path("/tmp")
    folder = Path(tempfile.mkdtemp(prefix="bundle-", dir=base))
    test.addCleanup(subprocess.run, ["rm", "-rf", str(folder)])
    with (zipfile.ZipFile if name.endswith(".zip") else tarfile.open)(archive) as unpacked:
        unpacked.extractall(folder)
    (top,) = folder.iterdir()
    test.assertEqual(top.name, re.sub(r"\.(zip|tar\.gz)$", "", name))
    return top


def tree(folder, name, program, report):
    """The probe (as name) with an ini file that learns the installer's path, its
    configuration, a nested file and a .zip entry that the probe fetches."""
    config = (f"report={report}\ncheck=sub/deeper/a.txt\nfetch=data.zip@.\n"
              f"check=lib/data.zip\nexit={EXIT}\n")
    return harness.write_tree(folder, {name: program.read_bytes(), "probe.ini": "-vmargs\r\n",
                                       "probe.cfg": config, "sub/deeper/a.txt": "a",
                                       "lib/data.zip": b"PK"})


class Bundle(unittest.TestCase):
    def assertRanWhole(self, report):
        lines = [line for line in Path(report).read_text().splitlines()
                 if line.split("=")[0] in ("check", "fetch")]
        self.assertEqual(lines, ["check=1 sub/deeper/a.txt", "fetch=0 data.zip@.",
                                 "check=1 lib/data.zip"])

    def pack_windows(self, sfxpack, bundle, work, path):
        """Both Windows installers built by sfxpack(args); the prefix's one runs under Wine."""
        report = work / "windows-report.txt"
        payload = tree(work / "windows", "probe.exe", harness.windows_tool("probe"),
                       harness.windows_path(report))
        installers = {p: work / f"setup-{p}.exe" for p in (OWN, OTHER)}
        for platform, installer in installers.items():
            done = sfxpack(["create", "--platform", platform, "--dir", path(payload),
                            "--autorun", "probe.exe", "-o", path(installer)])
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            stub = (bundle / "stubs" / f"launcher-{platform}.exe").read_bytes()
            self.assertEqual(installer.read_bytes()[:len(stub)], stub)
        ran = harness.run_wine([installers[OWN]], timeout=120)
        self.assertEqual(ran.returncode, EXIT, ran.stdout + ran.stderr)
        self.assertRanWhole(report)

    def pack_linux(self, sfxpack, work, path):
        """The Linux installer built by sfxpack(args), run natively."""
        report, installer = work / "linux-report.txt", work / "setup.run"
        probe = harness.build_dir("native") / "tests" / "equipment" / "probe" / "probe"
        payload = tree(work / "linux", "probe.bin", harness.require_file(probe, "the probe"),
                       report)
        done = sfxpack(["create", "--platform", "linux", "--dir", path(payload), "--autorun",
                        "probe.bin", "-o", path(installer)])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        if path is str:
            self.assertTrue(os.access(installer, os.X_OK), "the stub's modes were not kept")
        else:
            # Written on Windows: made executable when it is carried to Linux.
            installer.chmod(0o755)
        ran = harness.run_native([], env={"TMPDIR": str(work)}, launcher=installer, timeout=120)
        self.assertEqual(ran.returncode, EXIT, ran.stderr)
        self.assertRanWhole(report)

    def check_bundle(self, archive, sfxpack, path):
        """The archive's sfxpack(bundle, args) names the release and builds and runs the Linux
        and Windows installers of one tree."""
        bundle = unpack(self, archive)
        work = harness.scratch_dir(self, "bundle-work-")
        run = lambda args: sfxpack(bundle, args)  # noqa: E731
        self.assertEqual(run(["--version"]).stdout.strip(), f"sfxpack {VERSION}")
        # What an author may do with it, and the package that CMake builds find.
        self.assertIn("MIT License", (bundle / "LICENSE").read_text())
        self.assertIn("GCC RUNTIME LIBRARY EXCEPTION", (bundle / "THIRD-PARTY-NOTICES").read_text())
        self.assertIn(f"## {VERSION}\n", (bundle / "CHANGELOG.md").read_text())
        for name in ("sfxpackConfig.cmake", "sfxpackConfigVersion.cmake"):
            self.assertTrue((bundle / "cmake" / name).is_file(), name)
        self.pack_linux(run, work, path)
        self.pack_windows(run, bundle, work, path)

    def test_windows_zip(self):
        self.check_bundle(f"sfxpack-{VERSION}-windows.zip",
                          lambda bundle, args: harness.run_wine([bundle / "sfxpack.exe", *args],
                                                                timeout=120),
                          harness.windows_path)

    def test_linux_tarball(self):
        self.check_bundle(f"sfxpack-{VERSION}-linux-x86_64.tar.gz",
                          lambda bundle, args: subprocess.run(
                              [str(bundle / "sfxpack"), *args], capture_output=True, text=True,
                              timeout=120, stdin=subprocess.DEVNULL),
                          str)


if __name__ == "__main__":
    sys.argv[1:] = ["Bundle." + {"windows": "test_windows_zip",
                                 "linux": "test_linux_tarball"}[sys.argv[1]]]
    harness.main()
