#!/usr/bin/env python3
"""sfxpack.exe of the Windows build under Wine: create, list, verify and extract from Windows
paths (drive letter, backslashes, blanks); the installer it writes, and its JSON listing, are
byte-identical to those of the native sfxpack from the same tree, also when the output lies inside the packed
folder; and that installer runs, with the probe as its autorun program.
"""

import subprocess
import sys
import unittest

import harness

sys.path.insert(0, str(harness.SOURCE_DIR / "tests" / "equipment" / "probe"))
import probedriver  # noqa: E402

# The launcher of the build under test, as it lies beside its sfxpack.exe.
PLATFORM, STUB_NAME = (("windows", "launcher-windows.exe") if harness.WINEARCH == "win32"
                       else ("windows-x64", "launcher-windows-x64.exe"))


def tree_of(folder):
    """{relative name: bytes, or None for a folder} of everything below folder."""
    return {p.relative_to(folder).as_posix(): None if p.is_dir() else p.read_bytes()
            for p in sorted(folder.rglob("*"))}


class SfxpackWine(probedriver.DriverCases, unittest.TestCase):
    PLATFORM = "wine"
    FOLDER_PREFIX = "e2e-sfxpack-"

    def sfxpack_exe(self, *args, expect=0):
        tool = harness.require_file(harness.windows_build() / "tools" / "sfxpack.exe",
                                    "sfxpack.exe")
        done = harness.run_wine([tool, *args], timeout=120)
        self.assertEqual(done.returncode, expect, done.stdout + done.stderr)
        return done

    def test_same_bytes_as_the_native_tool_and_every_command(self):
        source = self.case / "source tree"
        big = bytes((i * 7 + i // 251) & 0xFF for i in range(200 * 1024))
        harness.write_tree(source, {"bin/run.exe": b"MZ not run here", "read me.txt": b"blanks",
                                    "zero.bin": b"", "data/deeper/big.bin": big,
                                    "data/deeper/small.txt": b"small"})
        for empty in ("empty", "data/empty inner"):
            (source / empty).mkdir()
        out = self.case / "out dir"
        out.mkdir()
        win = harness.windows_path
        options = ["--autorun", "bin\\run.exe", "--require", "bin/*"]
        self.sfxpack_exe("create", "--platform", PLATFORM, "--dir", win(source), *options,
                         "-o", win(out / "setup win.exe"))
        stub = harness.windows_build() / "tools" / "stubs" / STUB_NAME
        native = subprocess.run([str(harness.sfxpack()), "create", "--stub", str(stub), "--dir",
                                 str(source), *options, "-o", str(out / "setup native.exe")],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(native.returncode, 0, native.stderr)
        expected = (out / "setup native.exe").read_bytes()
        self.assertEqual((out / "setup win.exe").read_bytes(), expected)

        # Written twice inside the folder it packs, the installer holds neither itself nor its
        # temporary file.
        inside = source / "setup.exe"
        for _ in range(2):
            self.sfxpack_exe("create", "--platform", PLATFORM, "--dir", win(source) + "\\",
                             *options, "-o", win(inside))
        self.assertEqual(inside.read_bytes(), expected)
        inside.unlink()

        listing = self.sfxpack_exe("list", win(out / "setup win.exe")).stdout
        for line in ("Entries: 10\n", "     15 required bin\\run.exe\n",
                     "    204800 optional data\\deeper\\big.bin\n", " optional empty\\\n",
                     "      6 optional read me.txt\n", "      0 optional zero.bin\n"):
            self.assertIn(line, listing)
        # The JSON listing: the same bytes as the native tool's, line ends included.
        as_json = [[str(harness.WINE_RUNNER), str(harness.windows_build() / "tools" /
                                                  "sfxpack.exe"), "list", "--json",
                    win(out / "setup win.exe")],
                   [str(harness.sfxpack()), "list", "--json", str(out / "setup native.exe")]]
        listed = [subprocess.run(command, capture_output=True, stdin=subprocess.DEVNULL,
                                 env=harness.wine_env(), timeout=120 * harness.SLOWNESS)
                  for command in as_json]
        self.assertEqual([done.returncode for done in listed], [0, 0], listed)
        self.assertIn(b'"format": 1,\n', listed[1].stdout)
        self.assertEqual(listed[0].stdout, listed[1].stdout)
        self.assertIn("OK: ", self.sfxpack_exe("verify", win(out / "setup win.exe")).stdout)
        self.sfxpack_exe("extract", win(out / "setup win.exe"), "-C", win(out / "all of it"))
        self.assertEqual(tree_of(out / "all of it"), tree_of(source))
        damaged = bytearray(expected)
        damaged[-20] ^= 1
        (out / "damaged.exe").write_bytes(damaged)
        refused = self.sfxpack_exe("extract", win(out / "damaged.exe"), "-C", win(out / "no"),
                                   expect=1)
        self.assertIn("damaged: CRC32", refused.stderr)
        self.assertFalse((out / "no").exists())

    def test_an_installer_it_built_runs(self):
        d = self.driver
        report = self.case / "report.txt"
        payload = harness.write_tree(self.case / "pay load", {
            d.probe_name: d.probe.read_bytes(), "sub/a.txt": b"a\n",
            "probe.cfg": probedriver.probe_config(d.path(report), ("check", "sub\\a.txt"),
                                                  exit_code=7)})
        installer = self.case / "my setup.exe"
        stub = self.case / "the launcher.exe"
        stub.write_bytes(d.launcher.read_bytes())
        self.sfxpack_exe("create", "--stub", d.path(stub), "--dir", d.path(payload),
                         "--autorun", d.probe_name, "-o", d.path(installer))
        outcome = d.run(installer, [])
        self.assertEqual((outcome.exit_code, outcome.boxes), (7, []), outcome)
        self.assertEqual(probedriver.Report(report).actions(), [("check", "1 sub\\a.txt"), ("exit", "7")])


if __name__ == "__main__":
    harness.main()
