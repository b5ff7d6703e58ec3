#!/usr/bin/env python3
"""Debug mode as a user sees it: " -debug" opens a titled console that shows the trace, the same
bytes go to the log file, and the launcher waits for a key before it ends.

    test_debug.py wine      the 64-bit Windows launcher under Wine, on an X screen of its own
    test_debug.py native    the POSIX launcher: trace on standard error, log in $TMPDIR

An installer is packed with sfxpack (native build) so that the extraction mode has something to
extract; the trace of that run is known up to the reader's own lines.
"""

import sys
import time
import unittest

import harness

INI = "[app]\nname=debug run\n"


def make_installer(test, stub, name):
    folder = harness.scratch_dir(test, "e2e-debug-")
    tree = harness.write_tree(folder / "tree",
                              {"bin/start.exe": b"MZ stand-in", "conf/app.ini": INI})
    return folder, harness.pack(stub, tree, folder / name, "bin/start.exe")


def expected_trace_start(wanted):
    return b"Browsing for required file:" + wanted.encode() + b"\n"


class WineDebugMode(unittest.TestCase):
    def setUp(self):
        self.folder, self.installer = make_installer(self, harness.windows_launcher(), "setup.exe")
        self.screen = harness.Xvfb().start()
        self.addCleanup(self.screen.stop)
        self.wine = harness.Wine(self.screen.display).__enter__()
        self.addCleanup(self.wine.__exit__, None, None, None)
        self.log = harness.wine_log_path()
        self.log.unlink(missing_ok=True)

    def command(self, switches):
        return f'"{harness.windows_path(self.installer)}" {switches}'

    def test_console_log_and_closing_key(self):
        out = self.folder / "out"
        program = self.wine.start(
            self.command(f"-debug -extract=app.ini@{harness.windows_path(out)}"), timeout=90)

        log = harness.wait_until(
            lambda: self.log.exists() and self.log.read_bytes().endswith(harness.KEY_PROMPT), 45)
        self.assertIsNotNone(log, f"no key prompt in the log: {harness.read_wine_log()!r}")
        log = self.log.read_bytes()
        self.assertTrue(log.startswith(expected_trace_start("app.ini")), log)
        self.assertIn(b"conf\\app.ini : Required file found!\nExtracting to: " +
                      harness.windows_path(out).encode() + b"\n", log)
        self.assertNotIn(b"\r", log, "log lines end with LF alone")
        self.assertEqual((out / "conf" / "app.ini").read_text(), INI)

        # The console: a window of its own with the fixed title, showing the same trace.
        console = self.wine.console_title(program.pid)
        self.assertEqual(console, (harness.DEBUG_CONSOLE_TITLE, harness.DEBUG_CONSOLE_TITLE, True))
        self.assertIn(harness.DEBUG_CONSOLE_TITLE, self.screen.window_names())
        shown = self.wine.console_text(program.pid)
        # Rows wrap at the console's width: compare the characters without blanks and breaks.
        self.assertEqual("".join(shown).replace(" ", ""),
                         log.decode().replace("\n", "").replace(" ", ""))

        # It waits for the key: still running a while after the prompt, then ends on one key.
        time.sleep(1.5)
        self.assertTrue(program.running(), "the launcher ended without a key")
        self.wine.type_keys(program.pid, "q")
        result = program.wait(30)
        self.assertFalse(result.timed_out, result.output)
        self.assertEqual(result.exit_code, 0, result.output)
        self.assertEqual(result.boxes, [])
        self.assertEqual(self.log.read_bytes(), log, "nothing is written after the key")

    def test_error_box_comes_before_the_prompt(self):
        # Drive Q: does not exist in the prefix: the file cannot be created there. The box is
        # left on the screen at first: the launcher must stay in it, before its prompt.
        program = self.wine.start(self.command("-debug -extract=app.ini@Q:\\nowhere"), boxes=0,
                                  timeout=90)
        self.assertTrue(harness.wait_until(
            lambda: "Extracting error" in self.screen.window_names(), 45), "no error box shown")
        time.sleep(1.0)
        log = harness.read_wine_log() or b""
        self.assertTrue(log.startswith(expected_trace_start("app.ini")), log)
        self.assertNotIn(harness.KEY_PROMPT, log, "the prompt came while the box was up")
        self.assertEqual(self.wine.dismiss_boxes(program.pid), ["Failed to extract required file"])

        self.assertTrue(harness.wait_until(
            lambda: (harness.read_wine_log() or b"").endswith(harness.KEY_PROMPT), 30),
            harness.read_wine_log())
        self.assertTrue(program.running(), "the launcher ended without a key")
        self.wine.type_keys(program.pid, "q")
        result = program.wait(30)
        # A failed extraction: only that it ends is looked at, not its exit status.
        self.assertFalse(result.timed_out, result.output)
        self.assertIsNotNone(result.exit_code, result.output)

    def test_every_key_wait_is_answered_in_an_install_run(self):
        # The autorun program is no program: the start fails with a box, then the launcher waits
        # for a key before the folder's removal and once more before it ends.
        result = self.wine.run(self.command("-debug"), keys="auto", timeout=60)
        self.assertFalse(result.timed_out, result.output)
        self.assertEqual(result.boxes, ["Failed to start or wait for executable."])
        self.assertNotEqual(result.keys, "", result.output)
        log = self.log.read_bytes()
        self.assertIn(b"CreateProcess returned FALSE\n", log)
        self.assertTrue(log.endswith(b"\n[DEBUG] Press any key clean temporary folder..." +
                                     harness.KEY_PROMPT), log)

    def test_without_the_switch_no_console_log_or_wait(self):
        out = self.folder / "plain"
        # No keys are typed: the run must end by itself.
        result = self.wine.run(self.command(f"-extract=conf\\app.ini@{harness.windows_path(out)}"),
                               keys=None, timeout=30)
        self.assertEqual((result.exit_code, result.boxes, result.timed_out), (0, [], False),
                         result.output)
        self.assertEqual((out / "conf" / "app.ini").read_text(), INI)
        self.assertFalse(self.log.exists())
        self.assertNotIn(harness.DEBUG_CONSOLE_TITLE, self.screen.window_names())

    def test_switch_glued_to_a_quote_is_no_switch(self):
        # " -debug" needs its blank: right after the closing quote of the path it is a word of
        # the argument text, and the run ends without a key.
        out = self.folder / "glued"
        result = self.wine.run(
            f'"{harness.windows_path(self.installer)}"-debug -extract=app.ini@'
            f"{harness.windows_path(out)}", keys=None, timeout=30)
        self.assertEqual((result.exit_code, result.timed_out), (0, False), result.output)
        self.assertFalse(self.log.exists())


class WineDebugWithoutConsole(unittest.TestCase):
    """Without a display Wine makes a console but cannot title it: debug mode cannot start."""

    def test_a_console_that_cannot_be_made_ends_the_run_with_minus_one(self):
        folder, installer = make_installer(self, harness.windows_launcher(), "setup.exe")
        out = folder / "out"
        log = harness.wine_log_path()
        log.unlink(missing_ok=True)
        with harness.Wine(None) as wine:
            result = wine.run(f'"{harness.windows_path(installer)}" -debug '
                              f"-extract=app.ini@{harness.windows_path(out)}", keys=None,
                              timeout=30)
        self.assertEqual((result.exit_code, result.timed_out), (-1, False), result.output)
        self.assertFalse(out.exists(), "no mode runs")
        # The log file is made before the console is known to have failed, and stays empty.
        self.assertEqual(log.read_bytes(), b"")


class NativeDebugMode(unittest.TestCase):
    def setUp(self):
        self.folder, self.installer = make_installer(self, harness.native_launcher(), "setup")
        self.tmp = self.folder / "tmp"
        self.tmp.mkdir()
        self.env = {"TMPDIR": str(self.tmp)}
        self.log = self.tmp / harness.LOG_NAME

    def test_trace_log_and_closing_key(self):
        out = self.folder / "out"
        with harness.NativeTerminalRun(["-debug", f"-extract=app.ini@{out}/"], env=self.env,
                                       launcher=self.installer) as run:
            prompt = harness.wait_until(lambda: run.stderr().endswith(harness.KEY_PROMPT), 30)
            self.assertIsNotNone(prompt, f"no key prompt on stderr: {run.stderr()!r}")
            time.sleep(1.0)
            self.assertIsNone(run.process.poll(), "the launcher ended without a key")
            run.type("q\n")
            self.assertEqual(run.wait(30), 0, run.stderr())
            trace = run.stderr()
        self.assertTrue(trace.startswith(expected_trace_start("app.ini")), trace)
        self.assertIn(b"conf\\app.ini : Required file found!\nExtracting to: " +
                      str(out).encode() + b"/\n", trace)
        self.assertEqual(self.log.read_bytes(), trace, "log file and trace hold the same bytes")
        self.assertEqual((out / "conf" / "app.ini").read_text(), INI)

    def test_without_a_terminal_the_key_wait_returns(self):
        done = harness.run_native(["-debug", "-extract=missing.txt@" + str(self.folder)],
                                  env=self.env, launcher=self.installer, timeout=30)
        # It ended by itself (run_native has a time limit); a name that is not found is a
        # failed extraction, so the exit status is not looked at.
        self.assertTrue(done.stderr.startswith(expected_trace_start("missing.txt")), done.stderr)
        self.assertNotIn(b"Sanitizer", done.stderr)
        self.assertEqual(self.log.read_bytes(), done.stderr)
        self.assertIn(b"required file not found\n", done.stderr)
        self.assertTrue(done.stderr.endswith(harness.KEY_PROMPT), done.stderr)

    def test_without_the_switch_nothing_is_traced(self):
        out = self.folder / "plain"
        done = harness.run_native([f"-extract=app.ini@{out}"], env=self.env,
                                  launcher=self.installer, timeout=30)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertFalse(self.log.exists())
        self.assertEqual((out / "conf" / "app.ini").read_text(), INI)


if __name__ == "__main__":
    # The first argument chooses the platform: wine or native (default: both).
    PLATFORMS = {"wine": [WineDebugMode, WineDebugWithoutConsole], "native": [NativeDebugMode]}
    chosen = PLATFORMS.get(sys.argv[1]) if len(sys.argv) > 1 else None
    harness.main(chosen)
