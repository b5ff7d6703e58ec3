#!/usr/bin/env python3
"""The install run from outside, with the probe as the autorun program: what the program gets
(command line, working directory, ini lines), what is extracted and when, the removal of the
extraction folder, the exit status (the program's own, 1 for a failure), the failure boxes and
the debug trace. Installers are packed with sfxpack; the ones that the pack tool refuses to
write are rewritten record by record.

    test_install.py native    the POSIX launcher (temporary folder: $TMPDIR of the test's own)
    test_install.py wine      the 64-bit Windows launcher under Wine, on an X screen of its own
                              (temporary folder: the prefix's)
"""

import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest
from pathlib import Path

import harness

sys.path.insert(0, str(harness.SOURCE_DIR / "tests" / "equipment" / "probe"))
import probedriver  # noqa: E402

MANIFEST_NAME = "plugins\\com.kestrom.tarnix.ide.installer_3.1.4\\META-INF\\MANIFEST.MF"
MANIFEST = b"Manifest-Version: 1.0\r\nBundle-Name: Installer\r\nBundle-Version: 3.1.4.v20240101\r\n"
INI = b"-startup\r\nplugins\\boot.jar\r\n-vmargs\r\n-Xms40m\r\n"
BOX_ACCESSIBLE = ("Failed to extract file(s). Ensure that your temporary folder is accessible "
                  "and have enough free size.")
BOX_ACCESSABLE = BOX_ACCESSIBLE.replace("accessible", "accessable")


def bmp(width=64, height=32):
    row = b"\x30\x60\xc0" * width + b"\0" * (-width * 3 % 4)
    pixels = row * height
    return (struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835,
                          0, 0)
            + pixels)


def unreadable_arguments(installer):
    """The installer's bytes with the length of its autorun arguments beyond the file's end."""
    stub, payload = probedriver.read_installer(installer)
    raw = bytearray(payload.encode())
    at = 36 + 8 * len(payload.names) + 4 + 4 * len(payload.required)
    for text in payload.names + [payload.autorun]:
        at += 4 + len(text)
    raw[at:at + 4] = (0x7FFFFF00).to_bytes(4, "little")
    return probedriver.with_crc(stub + bytes(raw))


class InstallCases(probedriver.DriverCases):
    """The cases; a subclass names the platform."""

    FOLDER_PREFIX = "e2e-install-"

    def setUp(self):
        super().setUp()
        self.before = self.extraction_folders()

    # ---- helpers ------------------------------------------------------------------------

    def rel(self, name):
        """A stored name as the probe checks it in its working directory."""
        return name.rstrip("\\").replace("\\", self.driver.sep)

    def extraction_folders(self):
        temp = self.driver.temp_folder()
        return {p.name for p in temp.iterdir() if re.fullmatch(r"sfx\d+\.tmp(\.live)?", p.name)}

    def installer(self, name, files, actions=(), exit_code=0, probe=True, autorun=None, args=None,
                  mode=(), require=()):
        """Packs the files, the probe (as the autorun program unless autorun names another) and
        a probe.cfg of the actions; returns the installer and the report path."""
        d = self.driver
        report = self.case / (name + "-report.txt")
        tree = {n.replace("\\", "/"): data for n, data in files.items() if data is not None}
        if probe:
            tree[d.probe_name] = d.probe.read_bytes()
            tree["probe.cfg"] = probedriver.probe_config(d.path(report), *actions,
                                                         exit_code=exit_code)
        payload = harness.write_tree(self.case / (name + "-payload"), tree)
        for folder in (n for n, data in files.items() if data is None):
            (payload / folder.rstrip("\\").replace("\\", "/")).mkdir(parents=True, exist_ok=True)
        extra = list(mode)
        if args is not None:
            extra += ["--args", args]
        for pattern in require:
            extra += ["--require", pattern]
        installer = harness.pack(d.launcher, payload, self.case / (name + d.exe_suffix),
                                 autorun or d.probe_name, *extra)
        return installer, report

    def rewrite(self, installer, change):
        stub, payload = probedriver.read_installer(installer)
        change(payload)
        probedriver.write_installer(installer, stub, payload)

    def folder_of(self, report):
        """The extraction folder (host path) that the probe ran in: a new "sfx<ticks>.tmp" of
        the temporary folder."""
        cwd = report.get("cwd")
        self.assertRegex(cwd, r"[\\/]sfx\d+\.tmp$")
        folder = self.driver.host(cwd)
        self.assertEqual(folder.parent, self.driver.temp_folder())
        self.assertNotIn(folder.name, self.before)
        return folder

    def assertRemoved(self, folder):
        self.assertTrue(harness.wait_until(lambda: not folder.exists(), 10), f"{folder} stays")

    def assertNoFolderLeft(self):
        left = lambda: self.extraction_folders() - self.before  # noqa: E731
        self.assertTrue(harness.wait_until(lambda: not left(), 10), f"left behind: {left()}")

    # ---- the run ------------------------------------------------------------------------

    def test_full_run(self):
        d = self.driver
        files = {
            "probe.ini": INI,
            "sub\\a.txt": b"a\n",
            "sub\\deeper\\b.txt": b"b\n",
            "emptydir\\": None,
            "lib\\first.zip": b"PK first",
            "lib\\second.zip": b"PK second",
            "UPPER.ZIP": b"a capital .ZIP is no .zip",
        }
        extracted = [n for n in files if not n.endswith(".zip")] + ["probe.cfg", d.probe_name]
        first, second = self.rel("lib\\first.zip"), self.rel("lib\\second.zip")
        # Fetched by its full stored name it arrives; by the end of it, it lands below its
        # stored folder, not at FOLDER/first.zip. (The launcher takes its own file name out of
        # its command line wherever it occurs: no folder here holds "setup-full".)
        got = d.path(self.case / "got here")
        gets = ["lib\\first.zip@" + got, "first.zip@" + got, "absent.zip@" + got]
        actions = [("check", self.rel(n)) for n in extracted] + [
            ("check", first), ("check", second),
            ("fetch", "second.zip@."),
            ("check", second), ("check", first),
        ] + [("get", g) for g in gets]
        installer, report_path = self.installer(
            "setup-full", files, actions, exit_code=42, args="--launcher $#launcher# --twice=$#launcher#")
        outcome = d.run(installer, ["u1", "u 2", "-vmargs", "-Dk=v", "-Xmx1m"])
        self.assertEqual((outcome.exit_code, outcome.boxes), (42, []), outcome)

        report = probedriver.Report(report_path)
        folder = self.folder_of(report)
        launcher = d.path(installer)
        program = report.get("cwd") + d.sep + d.probe_name
        self.assertEqual(report.get("self"), program)
        self.assertEqual(report.all("argv"),
                         [program, "--launcher", launcher, "--twice=" + launcher, "u1", "u 2"])
        if d.name == "wine":
            # The quoted program path, a blank, the stored arguments, a blank, then what is left
            # of the launcher's command line: its leading blank, up to the blank before -vmargs.
            self.assertEqual(report.get("cmdline"),
                             f'"{program}" --launcher {launcher} --twice={launcher}  u1 "u 2" ')
        self.assertEqual(report.get("ini"), (INI + b"-DextractorLoc=%s\r\n-Dk=v\r\n-Xmx1m\r\n"
                                             % launcher.encode()).decode())
        self.assertEqual(report.actions(), [("check", "1 " + self.rel(n)) for n in extracted] + [
            ("check", "0 " + first), ("check", "0 " + second),
            ("fetch.launcher", launcher), ("fetch", "0 second.zip@."),
            ("check", "1 " + second), ("check", "0 " + first),
            ("get", "1 " + gets[0]), ("get", "0 " + gets[1]), ("get", "0 " + gets[2]),
            ("exit", "42"),
        ])
        self.assertEqual((self.case / "got here" / "lib" / "first.zip").read_bytes(), b"PK first")
        self.assertRemoved(folder)
        self.assertNoFolderLeft()

    def test_required_files_table(self):
        files = {
            "probe.ini": INI,
            "sub\\a.txt": b"a\n",
            "sub\\b.txt": b"b\n",
            "other.txt": b"other\n",
            "lib\\x.zip": b"PK",
        }
        actions = [
            ("check", self.rel("sub\\a.txt")),
            ("check", self.rel("sub\\b.txt")),
            ("check", "other.txt"),
            ("check", "probe.ini"),
            # A listed .zip stays in the payload too, so its folder is not made either.
            ("check", "lib"),
            ("fetch", "b.txt@."),
            ("check", self.rel("sub\\b.txt")),
        ]
        # Without its ini file the probe finds the launcher in its arguments.
        installer, report_path = self.installer(
            "required", files, actions, args="-DextractorLoc=$#launcher#",
            require=["probe.*", "sub/a.txt", "lib/x.zip"])
        outcome = self.driver.run(installer, [])
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        report = probedriver.Report(report_path)
        self.assertEqual(report.actions(), [
            ("check", "1 " + self.rel("sub\\a.txt")),
            ("check", "0 " + self.rel("sub\\b.txt")),
            ("check", "0 other.txt"),
            ("check", "1 probe.ini"),
            ("check", "0 lib"),
            ("fetch.launcher", self.driver.path(installer)),
            ("fetch", "0 b.txt@."),
            ("check", "1 " + self.rel("sub\\b.txt")),
            ("exit", "0"),
        ])
        self.assertRemoved(self.folder_of(report))

    def test_java_modes(self):
        d = self.driver
        bin_folder = self.case / "bin"
        bin_folder.mkdir()
        for name in ("java", "javax"):
            shutil.copy(d.probe, bin_folder / (name + d.exe_suffix))
        # The ini file of "java": "jini" on Windows (the last three characters made "ini"),
        # "java.ini" on Linux (".ini" appended to a name without extension).
        inis = ("jini", "jaini") if d.name == "wine" else ("java.ini", "javax.ini")
        for mode, program, ini in (("--java", "java", inis[0]), ("--javax", "javax", inis[1])):
            with self.subTest(program):
                files = {n: b"-vmargs\r\n" for n in inis}
                files["app\\launch.jar"] = b"PK"
                actions = [("read", ini), ("check", self.rel("app\\launch.jar"))]
                # Not named after the program: Windows looks beside the launcher first.
                installer, report_path = self.installer(
                    "setup-" + program, files, actions, exit_code=3, autorun="-jar app/launch.jar",
                    args="-data $#launcher#", mode=[mode])
                outcome = d.run(installer, ["u1"], path_prepend=bin_folder)
                self.assertEqual((outcome.exit_code, outcome.boxes), (3, []), outcome)
                report = probedriver.Report(report_path)
                launcher = d.path(installer)
                self.assertEqual(report.get("self"), d.path(bin_folder / (program + d.exe_suffix)))
                self.assertEqual(report.all("argv")[1:],
                                 ["-jar", "app/launch.jar", "-data", launcher, "u1"])
                if d.name == "wine":
                    self.assertEqual(report.get("cmdline"),
                                     f"{program} -jar app/launch.jar -data {launcher}  u1")
                self.assertEqual(report.actions(), [
                    ("read", "1 " + ini),
                    ("read.content", f"-vmargs\r\n-DextractorLoc={launcher}\r\n"),
                    ("check", "1 " + self.rel("app\\launch.jar")),
                    ("exit", "3"),
                ])
                # The ini file beside the program on the search path is left alone.
                self.assertEqual(report.get("ini.exists"), "0")
                self.assertRemoved(self.folder_of(report))

    def test_a_long_command_line_is_passed_whole(self):
        words = [c * 500 for c in "xyz"]
        installer, report_path = self.installer("long", {}, args="A" * 300)
        outcome = self.driver.run(installer, words)
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        report = probedriver.Report(report_path)
        self.assertEqual(report.all("argv")[1:], ["A" * 300] + words)
        if self.driver.name == "wine":
            self.assertTrue(report.get("cmdline").endswith("A" * 300 + "  " + " ".join(words)))

    def test_flag_2_alone_starts_the_extracted_program(self):
        installer, report_path = self.installer("flags2", {}, exit_code=4)
        self.rewrite(installer, lambda p: setattr(p, "flags", 2))
        outcome = self.driver.run(installer, [])
        self.assertEqual((outcome.exit_code, outcome.boxes), (4, []), outcome)
        report = probedriver.Report(report_path)
        self.assertEqual(report.get("self"),
                         report.get("cwd") + self.driver.sep + self.driver.probe_name)

    def test_temporary_folder_with_a_blank(self):
        temp = self.case / "temp with blank"
        temp.mkdir()
        installer, report_path = self.installer("blank", {"sub\\a.txt": b"a"},
                                                [("check", self.rel("sub\\a.txt"))])
        outcome = self.driver.run(installer, [], temp=temp)
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        report = probedriver.Report(report_path)
        cwd = report.get("cwd")
        self.assertRegex(cwd, r"temp with blank[\\/]sfx\d+\.tmp$")
        self.assertEqual(report.actions(),
                         [("check", "1 " + self.rel("sub\\a.txt")), ("exit", "0")])
        self.assertRemoved(self.driver.host(cwd))
        # The mark beside the folder goes after it.
        self.assertTrue(harness.wait_until(lambda: not list(temp.iterdir()), 10),
                        list(temp.iterdir()))

    def test_two_launchers_at_once(self):
        runs = [self.installer(name, {"a.txt": b"a"}, [("sleep_ms", "1500")], exit_code=code)
                + (code,) for name, code in (("first", 11), ("second", 12))]
        started = [self.driver.start(installer, []) for installer, _, _ in runs]
        outcomes = [self.driver.finish(program) for program in started]
        folders = []
        for (_, report_path, code), outcome in zip(runs, outcomes):
            self.assertEqual((outcome.exit_code, outcome.boxes), (code, []), outcome)
            folders.append(self.folder_of(probedriver.Report(report_path)))
        self.assertNotEqual(folders[0], folders[1])
        for folder in folders:
            self.assertRemoved(folder)

    def plant(self, temp, offset, span_ms):
        """Plants something under each folder name, or its mark's name, that the tick counts of
        the coming span_ms milliseconds give (the launcher's tick count is the host's clock plus
        offset): links to a folder with a file in it, links to a file, files. Returns the
        planted paths and the two link targets."""
        folder, file = self.case / "target", self.case / "target.txt"
        folder.mkdir()
        (folder / "keep.txt").write_bytes(b"keep")
        file.write_bytes(b"file")
        now = lambda: int(time.monotonic() * 1000) + offset  # noqa: E731
        planted = []
        tick = now() - 300
        # Up to span_ms after the planting has ended, which may take a while on a busy machine.
        while tick < now() + span_ms:
            tick += 1
            kind = tick % 4
            path = temp / (f"sfx{tick}.tmp" + (".live" if kind == 3 else ""))
            if kind == 0:
                path.write_bytes(b"planted")
            else:
                path.symlink_to(file if kind == 3 else folder)
            planted.append(path)
        return planted, folder, file

    def test_planted_names_are_passed_over(self):
        # Whatever has the names that the next seconds give is never used, followed or removed:
        # the run moves on to names from the random source.
        d = self.driver
        temp = d.temp_folder()
        if d.name == "native":
            # A temporary folder that every user may write to, as /tmp is.
            temp = self.case / "tmp"
            temp.mkdir()
            temp.chmod(0o1777)
        installer, report_path = self.installer("planted", {"a.txt": b"mine"},
                                                [("check", "a.txt")])
        # A first run tells the launcher's tick count (Wine's has a start of its own).
        before = int(time.monotonic() * 1000)
        d.run(installer, [], temp=temp if d.name == "native" else None)
        tick = int(re.search(r"sfx(\d+)\.tmp$", probedriver.Report(report_path).get("cwd"))[1])
        planted, folder, file = self.plant(temp, tick - before, 3000 * harness.SLOWNESS)
        try:
            d.log_file().unlink(missing_ok=True)
            outcome = d.run(installer, ["-debug"], temp=temp if d.name == "native" else None)
            self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
            report = probedriver.Report(report_path)
            self.assertEqual(report.actions(), [("check", "1 a.txt"), ("exit", "0")])
            made = d.host(report.get("cwd"))
            self.assertEqual(made.parent, temp)
            self.assertNotIn(made, planted)
            log = (outcome.output if d.name == "native"
                   else d.log_file().read_bytes().decode("latin-1"))
            first, last, mine = (int(re.search(r"\d+", p.name)[0])
                                 for p in (planted[0], planted[-1], made))
            if "taken" not in log and not first <= mine <= last:
                self.skipTest(f"the run's tick count missed the planted names: {made.name}")
            self.assertEqual(log.count("Extraction folder name taken: "), 4, log)
            self.assertTrue(harness.wait_until(lambda: not made.exists(), 10), f"{made} stays")
            self.assertFalse(made.with_name(made.name + ".live").exists())
            self.assertEqual(sorted(p.name for p in folder.iterdir()), ["keep.txt"])
            self.assertEqual((folder / "keep.txt").read_bytes(), b"keep")
            self.assertEqual(file.read_bytes(), b"file")
            self.assertEqual([p for p in planted if not (p.is_symlink() or p.is_file())], [])
        finally:
            for path in planted:
                path.unlink()

    def test_a_killed_launchers_folder_goes_once_its_program_has_ended(self):
        d = self.driver
        temp = d.temp_folder()
        go = self.case / "go"
        held, held_report = self.installer("held", {"a.txt": b"a"}, [("wait_for", d.path(go))])
        quick, _ = self.installer("quick", {"b.txt": b"b"})
        # Named as the launcher names its folders, but without a mark: never touched.
        unmarked = temp / "sfx123.tmp"
        unmarked.mkdir()
        (unmarked / "keep.txt").write_bytes(b"keep")
        program = d.start(held, [])
        try:
            # The mark beside the folder holds both processes once the program runs.
            marked = lambda: [m for m in temp.glob("sfx*.tmp.live") if m.stat().st_size == 40]  # noqa: E731
            self.assertTrue(harness.wait_until(marked, 30), "no mark of launcher and program")
            mark = marked()[0]
            folder = mark.with_suffix("")
            # Others have no access: mode 0700; under Wine the DACL of the user and SYSTEM
            # comes out as the owner's bits and the group's read and search bits.
            self.assertEqual(folder.stat().st_mode & 0o777, 0o700 if d.name == "native" else 0o750)
            if d.name == "native":
                # Its output pipes stay open in the program: only the launcher's end is awaited.
                os.kill(program.pid, signal.SIGKILL)
                program.wait(10)
                program.stdout.close()
                program.stderr.close()
            else:
                # Wine ends the program along with a launcher killed from outside. A folder is
                # made as a killed launcher would have left it: its mark names this run's
                # program and, as its launcher, a process that has ended (this launcher's id
                # with another start time).
                record = mark.read_bytes()
                launcher = bytearray(record[8:24])
                launcher[8] ^= 1
                folder, mark = temp / "sfx124.tmp", temp / "sfx124.tmp.live"
                folder.mkdir()
                (folder / "a.txt").write_bytes(b"a")
                mark.write_bytes(record[:8] + bytes(launcher) + record[24:])
            # The program still runs: another run leaves the folder alone.
            self.assertEqual(d.run(quick, []).exit_code, 0)
            time.sleep(0.5)
            self.assertTrue((folder / "a.txt").exists() and mark.exists())
            go.write_bytes(b"")
            self.assertTrue(harness.wait_until(held_report.exists, 30), "the program did not end")
            if d.name != "native":
                self.assertEqual(d.finish(program).exit_code, 0)
            time.sleep(0.5)
            self.assertEqual(d.run(quick, []).exit_code, 0)
            self.assertTrue(harness.wait_until(lambda: not folder.exists() and not mark.exists(),
                                               10), f"{folder} stays")
            self.assertEqual((unmarked / "keep.txt").read_bytes(), b"keep")
        finally:
            go.write_bytes(b"")
            shutil.rmtree(unmarked, True)

    # ---- failures -----------------------------------------------------------------------

    def refused(self, name, required):
        """An installer whose stored entry "..\\escaped.txt" may not be extracted; good
        entries come first, so the extraction folder exists when the refusal comes."""
        installer, _ = self.installer(name, {"a.txt": b"a", "b.txt": b"b"},
                                      require=["a.txt", "b.txt", "probe.*"] if required else ())

        def add(payload):
            payload.add("..\\escaped.txt", b"must not land")
            if required:
                payload.required.append(len(payload.names) - 1)

        self.rewrite(installer, add)
        return installer

    def test_failures(self):
        d = self.driver
        missing, _ = self.installer("missing", {"a.txt": b"a"})
        absent = b"absent" + d.probe_name[-4:].encode()
        self.rewrite(missing, lambda p: setattr(p, "autorun", absent))
        zips, _ = self.installer("zips", {"a.zip": b"PK a", "b.zip": b"PK b"}, probe=False,
                                 autorun="a.zip")
        no_args = probedriver.write_raw(self.case / ("no-args" + d.exe_suffix),
                                        unreadable_arguments(zips))
        header, _ = self.installer("header", {"a.txt": b"a"})
        self.rewrite(header, lambda p: setattr(p, "version", 2))
        manifest, _ = self.installer("manifest", {"a.txt": b"a"})
        self.rewrite(manifest, lambda p: p.add("..\\" + MANIFEST_NAME, MANIFEST))
        splash, _ = self.installer("splash", {"a.txt": b"a"})
        self.rewrite(splash, lambda p: p.add("..\\splash.bmp", bmp()))
        # The temporary folder's path does not fit the 260 characters that the launcher reads.
        long_temp = self.case / ("t" * 120) / ("u" * 120)
        long_temp.mkdir(parents=True)
        missing_temp = self.case / "absent" / "temp"
        rows = [
            ("damaged header", header, "SFX Header invalid", 1, None),
            ("temporary folder too long", self.refused("long", False),
             "Failed to get system temporary folder", 1, long_temp),
            # Nothing is made outside the run's own folder: a missing one is no temporary folder.
            ("temporary folder missing", self.refused("gone", False),
             "Failed to get system temporary folder", 1, missing_temp),
            ("manifest refused", manifest, "Failed to extract version file.", 1, None),
            ("splash bitmap refused", splash, "Failed to extract splash bitmap.", 1, None),
            ("every entry, one refused", self.refused("all", False), BOX_ACCESSIBLE, 1, None),
            ("required entries, one refused", self.refused("req", True), BOX_ACCESSABLE, 1, None),
            # Nothing was extracted, so there is no folder to enter.
            ("only .zip entries", zips, "Failed to set current directory", 1, None),
            ("arguments unreadable", no_args, "Failed to retreive arguments for executable.", 1,
             None),
            ("missing program", missing, "Failed to start or wait for executable.", 1, None),
        ]
        for label, installer, box, status, temp in rows:
            with self.subTest(label):
                outcome = d.run(installer, [], temp=temp)
                self.assertEqual((outcome.exit_code, outcome.boxes), (status, [box] if box else []),
                                 outcome)
                self.assertNoFolderLeft()
                self.assertFalse((self.case / "absent").exists())
                if temp:
                    self.assertEqual(list(temp.iterdir()) if temp.exists() else [], [])
                temp = d.temp_folder()
                for place in (temp, temp.parent):
                    self.assertFalse((place / "escaped.txt").exists(), place)

    # ---- debug trace --------------------------------------------------------------------

    def test_debug_trace_of_a_run(self):
        d = self.driver
        files = {MANIFEST_NAME: MANIFEST, "splash.bmp": bmp(), "lib\\x.zip": b"PK"}
        # The probe waits before its connection, so that the start's own lines come first (a
        # spawned program may run before its parent writes them), and after it, so that the
        # listener's lines come before the end of the wait.
        installer, report_path = self.installer(
            "debug", files, [("sleep_ms", "300"), ("connect", "1"), ("sleep_ms", "500")])
        d.log_file().unlink(missing_ok=True)
        probedriver.wait_for_close_port()
        outcome = d.run(installer, ["-debug"])
        self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
        report = probedriver.Report(report_path)
        self.assertEqual(report.actions(), [("slept", "300"), ("connect", "1"), ("slept", "500"),
                                            ("exit", "0")])
        folder = report.get("cwd") + d.sep
        if d.name == "wine":
            # Empty stored arguments: a blank from the join, a blank before the empty rest.
            self.assertEqual(report.get("cmdline"), f'"{folder}{d.probe_name}"  ')

        def extracting(name):
            return f"extracting '{name}' to '{folder}{name.replace(chr(92), d.sep)}'...OK\n"

        _, payload = probedriver.read_installer(installer)
        required = "".join(f"Ignoring ZIP: {n}\n" if n.endswith(".zip") else extracting(n)
                           for n in (name.decode() for name in payload.names))
        size, crc = probedriver.footer(installer)
        expected = (
            f"launcher file name ='{d.path(installer)}'\n"
            f"SFX Footer record parsed:PackageSize={size} CRC={crc}\n"
            "SFX Header record parsing...OK\n"
            "Execution Info parsing...OK\n"
            "File Information Table parsing...OK\n"
            "Required Files Table parsing...OK\n"
            "Allocating memory for Strings Table...OK\n"
            "Parsing Strings Table...OK\n"
            "Getting system temporary folder...OK\n"
            "Forming temporary folder...OK\n"
            "Creating extraction folder...OK\n"
            "Browsing for version file...\n"
            f"{MANIFEST_NAME} : version file found!\n"
            + extracting(MANIFEST_NAME)
            + "Read version: 3.1.4.v20240101\n"
            "Browsing for splash bitmap...\n"
            "splash.bmp : Splash bitmap found!\n"
            + extracting("splash.bmp")
            + "Splash thread created\n"
            "Tcp wait thread created\n"
            "Extracting required files\n"
            + required
            + probedriver.crc_check_trace(installer)
            + "Extraction succeeded\n"
            "Reading autorun arguments...OK\n"
            "Arguments = ''\n"
            "Reading autorun path...OK\n"
            f"Autorun path = '{d.probe_name}'\n"
            f"VM arguments to '{folder}probe.ini'...not written\n"
            + (f"Executing autorun: '\"{folder}{d.probe_name}\"' with arguments:' '..."
               if d.name == "wine" else
               f"Executing autorun: '{folder}{d.probe_name}' with arguments:...")
            + "CreateProcess Success\n"
            "Waiting end of launched process\n"
            "\nIncoming connection from 127.0.0.1: closing splash screen.\n"
            "OK\n"
            "Removing temporary folder..."
            "\n[DEBUG] Press any key clean temporary folder..."
            "FINISHED\n"
            "All went OK\n"
            "In debug mode, press any key to close this window")
        self.assertEqual(d.log_file().read_bytes().decode("latin-1"), expected)
        if d.name == "native":
            # The debug console is standard error: the same bytes.
            self.assertEqual(outcome.output, expected)
        self.assertRemoved(d.host(report.get("cwd")))


class NativeInstall(InstallCases, unittest.TestCase):
    PLATFORM = "native"

    def test_argument_vector_arrives_byte_for_byte(self):
        # Words that a shell would take as syntax, and the launcher's path and temporary folder
        # holding them too: the program gets each word as it was given, with no shell between.
        user = ["a b", "it's", 'say "hi"', "$HOME", "`echo BQ`", "c$(echo INJ)d", "*",
                "C:\\dir\\x", "\\\"", "", "caf\u00e9", "\udcff\udc80", "-v  --x= y"]
        stored = 'first --at=$#launcher# "$#launcher#" "say \\"q\\"" C:\\a\\b "x\\\\y" \'z\''
        rows = [
            ("blanks", "my setup", "my setup.run"),
            ("shell syntax", "$(echo INJ) `echo BQ` \"q\" 'a' * \\", "$x*.run"),
            ("non-ASCII", "caf\u00e9 \udcff", "\u00e9t\u00e9.run"),
        ]
        for label, folder_name, name in rows:
            with self.subTest(label):
                place = self.case / folder_name
                place.mkdir()
                temp = self.case / ("temp of " + folder_name)
                temp.mkdir()
                installer, report_path = self.installer(label.replace(" ", "-"), {}, args=stored)
                installer = installer.rename(place / name)
                outcome = self.driver.run(installer, user, temp=temp)
                self.assertEqual((outcome.exit_code, outcome.boxes), (0, []), outcome)
                report = probedriver.Report(report_path)
                # The report holds bytes, one character each.
                latin = lambda text: os.fsencode(text).decode("latin-1")  # noqa: E731
                launcher, cwd = latin(installer), report.get("cwd")
                self.assertEqual(os.path.dirname(cwd), latin(temp))
                self.assertEqual(report.all("argv"), [
                    cwd + "/" + self.driver.probe_name, "first", "--at=" + launcher, launcher,
                    'say "q"', "C:\\a\\b", "x\\y", "'z'", *map(latin, user)])
                self.assertRemoved(Path(os.fsdecode(cwd.encode("latin-1"))))

    def test_programs_that_cannot_start_and_one_that_ends_with_126(self):
        # A program that cannot be executed is known at its start: the box, the removal, exit
        # status 1. A program that ran keeps its own exit code, 126 too. Extracted files that
        # begin as programs (a script, an ELF image) are executable, and only they.
        checks = ("#!/bin/sh\n"
                  "test -x bin/helper.sh && test -x bin/elf && test ! -x data.txt || exit 5\n"
                  "bin/helper.sh && bin/elf && exit 126\n")
        elf = Path("/bin/true").read_bytes()
        box = "Failed to start or wait for executable."
        rows = [
            ("not executable", {"data.txt": b"echo data\n"}, "data.txt", 1, [box]),
            ("interpreter missing", {"run.sh": b"#!/no/such/interpreter\n"}, "run.sh", 1, [box]),
            ("foreign binary", {"run": b"\x7fELF" + bytes(60)}, "run", 1, [box]),
            ("exits 126", {"start.sh": checks.encode(), "bin/helper.sh": b"#!/bin/sh\nexit 0\n",
                           "bin/elf": elf, "data.txt": b"# data\n"}, "start.sh", 126,
             []),
        ]
        for label, files, autorun, status, boxes in rows:
            with self.subTest(label):
                installer, _ = self.installer(label.replace(" ", "-"), files, probe=False,
                                              autorun=autorun)
                outcome = self.driver.run(installer, [])
                self.assertEqual((outcome.exit_code, outcome.boxes), (status, boxes), outcome)
                self.assertNoFolderLeft()


class WineInstall(InstallCases, unittest.TestCase):
    PLATFORM = "wine"

    # The box waits for the user here (the POSIX port only writes its text).
    def test_removal_comes_after_the_box(self):
        installer = self.refused("order", False)
        program = self.driver.start(installer, [], boxes=0)
        try:
            new = lambda: {n for n in self.extraction_folders() - self.before  # noqa: E731
                           if not n.endswith(".live")}
            self.assertTrue(harness.wait_until(lambda: len(new()) == 1, 20), "no extraction folder")
            folder = self.driver.temp_folder() / new().pop()
            time.sleep(1.0)
            self.assertTrue(folder.exists(), "removed while the box is up")
            self.assertEqual(self.driver.wine.dismiss_boxes(program.pid), [BOX_ACCESSIBLE])
            self.assertRemoved(folder)
        finally:
            outcome = self.driver.finish(program)
        self.assertEqual(outcome.exit_code, 1, outcome)


if __name__ == "__main__":
    PLATFORMS = {"wine": [WineInstall], "native": [NativeInstall]}
    chosen = PLATFORMS.get(sys.argv[1]) if len(sys.argv) > 1 else None
    harness.main(chosen)
