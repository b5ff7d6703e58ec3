#!/usr/bin/env python3
"""The release archives of dist/ (scripts/release.sh), each unpacked into an empty folder
outside the source tree and used with nothing but what it holds: its sfxpack builds installers
from a small tree with the stubs that ship beside it, and the installers run, the Windows one
under this build's Wine (the stub of the prefix's architecture) and the Linux one natively. The
started program is the tests' probe: it reports, fetches the entry left in the installer and
sets the exit status.

    test_bundle.py windows      sfxpack-<version>-windows.zip: sfxpack.exe under Wine builds
                                both Windows installers (it holds no Linux stub)
    test_bundle.py linux        sfxpack-<version>-linux-x86_64.tar.gz: sfxpack builds a Linux
                                and a Windows installer
"""

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

DIST = harness.SOURCE_DIR / "dist"
EXIT = 7
# The stub that the prefix runs, and the other Windows one.
OWN, OTHER = (("windows", "windows-x64") if harness.WINEARCH == "win32"
              else ("windows-x64", "windows"))


def version():
    text = (harness.SOURCE_DIR / "CMakeLists.txt").read_text()
    return re.search(r"project\(\w+ VERSION ([0-9.]+)", text).group(1)


def unpack(test, name):
    """The archive's one top folder, unpacked below a new folder outside the source tree."""
    archive = harness.require_file(DIST / name, f"{name} (run scripts/release.sh)")
    base = Path(tempfile.gettempdir())
    if harness.SOURCE_DIR in base.resolve().parents or base.resolve() == harness.SOURCE_DIR:
        base = Path("/tmp")
    folder = Path(tempfile.mkdtemp(prefix="bundle-", dir=base))
    test.addCleanup(subprocess.run, ["rm", "-rf", str(folder)])
    if name.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            z.extractall(folder)
            # zipfile keeps no modes; the archive's are checked and applied.
            for info in z.infolist():
                mode = info.external_attr >> 16 & 0o777
                test.assertIn(mode, (0o644, 0o755), info.filename)
                (folder / info.filename).chmod(mode)
    else:
        with tarfile.open(archive) as t:
            t.extractall(folder)
    (top,) = folder.iterdir()
    test.assertEqual(top.name, Path(name).name.split(".zip")[0].split(".tar")[0])
    return top


def tree(folder, name, program, report):
    """The small tree: the probe as the started program (name), its ini file that learns the
    installer's path, its configuration, a nested file and a .zip entry that stays in the
    installer until the probe fetches it."""
    probe_cfg = (f"report={report}\r\ncheck=sub/deeper/a.txt\r\nfetch=data.zip@.\r\n"
                 f"check=lib/data.zip\r\nexit={EXIT}\r\n")
    return harness.write_tree(folder, {name: program.read_bytes(), "probe.ini": "-vmargs\r\n",
                                       "probe.cfg": probe_cfg, "sub/deeper/a.txt": "a",
                                       "lib/data.zip": b"PK"})


def ran_whole(report):
    """Whether the probe found the extracted file and fetched the one left in the installer."""
    lines = Path(report).read_text().splitlines()
    return [line for line in lines if line.split("=")[0] in ("check", "fetch")] == [
        "check=1 sub/deeper/a.txt", "fetch=0 data.zip@.", "check=1 lib/data.zip"]


class Bundle(unittest.TestCase):
    def pack_windows(self, run_sfxpack, bundle, work, path):
        """Windows installers of both architectures built by run_sfxpack; the one of the
        prefix's architecture runs under Wine."""
        report = work / "windows-report.txt"
        payload = tree(work / "windows", "probe.exe", harness.windows_tool("probe"),
                       harness.windows_path(report))
        installers = {}
        for platform in (OWN, OTHER):
            installers[platform] = work / f"setup-{platform}.exe"
            done = run_sfxpack(["create", "--platform", platform, "--dir", path(payload),
                                "--autorun", "probe.exe", "-o", path(installers[platform])])
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        other = run_sfxpack(["verify", path(installers[OTHER])])
        self.assertEqual(other.returncode, 0, other.stdout + other.stderr)
        stub = (bundle / "stubs" / f"launcher-{OWN}.exe").read_bytes()
        self.assertEqual(installers[OWN].read_bytes()[:len(stub)], stub)
        ran = harness.run_wine([installers[OWN]], timeout=120)
        self.assertEqual(ran.returncode, EXIT, ran.stdout + ran.stderr)
        self.assertTrue(ran_whole(report), report.read_text())

    def test_windows_zip(self):
        bundle = unpack(self, f"sfxpack-{version()}-windows.zip")
        self.assertEqual(sorted(p.name for p in (bundle / "stubs").iterdir()),
                         ["launcher-windows-x64.exe", "launcher-windows.exe"])
        work = harness.scratch_dir(self, "bundle-work-")
        sfxpack = bundle / "sfxpack.exe"
        done = harness.run_wine([sfxpack, "--version"])
        self.assertEqual(done.stdout.strip(), f"sfxpack {version()}")
        self.pack_windows(lambda args: harness.run_wine([sfxpack, *args], timeout=120),
                          bundle, work, harness.windows_path)

    def test_linux_tarball(self):
        bundle = unpack(self, f"sfxpack-{version()}-linux-x86_64.tar.gz")
        work = harness.scratch_dir(self, "bundle-work-")
        sfxpack = bundle / "sfxpack"

        def run(args):
            return subprocess.run([str(sfxpack), *args], capture_output=True, text=True,
                                  timeout=120, stdin=subprocess.DEVNULL)

        self.assertEqual(run(["--version"]).stdout.strip(), f"sfxpack {version()}")
        # Linux: the release launcher, run natively.
        report = work / "linux-report.txt"
        probe = harness.require_file(harness.build_dir("native") / "tests" / "equipment" / "probe"
                                     / "probe", "the probe (native build)")
        payload = tree(work / "linux", "probe.bin", probe, report)
        installer = work / "setup.run"
        done = run(["create", "--platform", "linux", "--dir", str(payload), "--autorun", "probe.bin",
                    "-o", str(installer)])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        ran = harness.run_native([], env={"TMPDIR": str(work)}, launcher=installer, timeout=120)
        self.assertEqual(ran.returncode, EXIT, ran.stderr)
        self.assertTrue(ran_whole(report), report.read_text())
        self.pack_windows(run, bundle, work, str)


if __name__ == "__main__":
    chosen = {"windows": "test_windows_zip", "linux": "test_linux_tarball"}[sys.argv[1]]
    sys.argv[1:] = ["Bundle." + chosen]
    harness.main()
