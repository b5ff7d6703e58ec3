"""Helpers of the end-to-end tests: build folders, the Wine prefix, an X screen of the tests'
own, running the Windows launcher through winharness, running the POSIX launcher, and the
files that a run leaves.

Build folders are build/<preset> of this checkout unless the environment names them:
LAUNCHER_BUILD_NATIVE, and LAUNCHER_BUILD_WINDOWS for the Windows build under test (CTest sets
both; by hand the default is build/win64). LAUNCHER_WINE names the Wine of that build's
architecture (default: the 64-bit one; the 32-bit one, /usr/lib/wine/wine, runs under qemu-i386
and starts programs 10 to 30 times slower). WINEPREFIX, when set, names the prefix; otherwise it
is <Windows build>/wineprefix, made by the wine_prefix test of that build (or here, when a test
is started by hand and the prefix is missing).

A test script is a unittest module that ends with `harness.main()`.
"""

import fcntl
import os
import pty
import queue
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
from dataclasses import dataclass, field
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
WINE_RUNNER = SOURCE_DIR / "tests" / "wine" / "wine.sh"
WINE_PREFIX_SCRIPT = SOURCE_DIR / "tests" / "wine" / "prefix.sh"
# The 64-bit server program serves the prefixes of both architectures.
WINESERVER = "/usr/lib/wine/wineserver64"
WINE = os.environ.get("LAUNCHER_WINE") or "/usr/lib/wine/wine64"
WINEARCH = "win32" if Path(WINE).name == "wine" else "win64"
# How much longer than under the 64-bit Wine a Windows program may take: the limits of the waits
# in the Wine tests are multiplied by it.
SLOWNESS = 4 if WINEARCH == "win32" else 1
SCREEN = (1920, 1080)

# The debug console's title and the log file name, as the launcher spells them.
DEBUG_CONSOLE_TITLE = "org.vantrel.kit.sfx native launcher debug console"
LOG_NAME = "quillane.log"
KEY_PROMPT = b"In debug mode, press any key to close this window"


# ---- build folders ---------------------------------------------------------------------------


def build_dir(preset):
    """The build folder of a preset ("native", "win64", ...)."""
    named = os.environ.get("LAUNCHER_BUILD_" + preset.upper().replace("-", "_"))
    return Path(named) if named else SOURCE_DIR / "build" / preset


def require_file(path, what):
    """path, or a failure that says which build makes it."""
    path = Path(path)
    if not path.is_file():
        raise AssertionError(f"{what} is missing: {path} (build the presets first)")
    return path


def native_launcher():
    return require_file(build_dir("native") / "launcher", "the POSIX launcher")


def windows_build():
    """The folder of the Windows build under test (win32 or win64)."""
    named = os.environ.get("LAUNCHER_BUILD_WINDOWS")
    return Path(named) if named else build_dir("win64")


def windows_launcher():
    return require_file(windows_build() / "launcher.exe", f"the Windows launcher ({WINEARCH})")


def windows_tool(name):
    """A test helper program of the Windows build (tests/equipment/<name>/<name>.exe)."""
    return require_file(windows_build() / "tests" / "equipment" / name / (name + ".exe"),
                        f"{name}.exe ({WINEARCH})")


def winharness_exe():
    return windows_tool("winharness")


def sfxpack():
    return require_file(build_dir("native") / "tools" / "sfxpack", "the pack tool")


def pack(stub, folder, output, autorun, *extra):
    """Builds an installer from a launcher stub and a folder with sfxpack create; extra are
    further sfxpack options (for example "--require", "bin/*")."""
    command = [str(sfxpack()), "create", "--stub", str(stub), "--dir", str(folder),
               "--autorun", autorun, *extra, "-o", str(output)]
    done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          timeout=60, env=native_env())
    if done.returncode != 0:
        raise AssertionError(f"sfxpack failed ({done.returncode}): {done.stderr}")
    return Path(output)


def write_tree(folder, files):
    """Writes {relative name: bytes or text} below folder; '/' separates folder names."""
    folder = Path(folder)
    for name, content in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content.encode() if isinstance(content, str) else content)
    return folder


# ---- paths -----------------------------------------------------------------------------------


def windows_path(path):
    """The Windows name under Wine of a Linux file: Z: and the absolute path, backslashes."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine_prefix():
    named = os.environ.get("WINEPREFIX")
    return Path(named) if named else windows_build() / "wineprefix"


def drive_c(prefix=None):
    return Path(prefix or wine_prefix()) / "drive_c"


def prefix_path(windows_name, prefix=None):
    """The Linux path of a C: path of the prefix, such as C:\\quillane.log."""
    if not windows_name[:3].upper() == "C:\\":
        raise ValueError("not a path on drive C: " + windows_name)
    return drive_c(prefix).joinpath(*[p for p in windows_name[3:].split("\\") if p])


def wine_log_path(prefix=None):
    """Where C:\\quillane.log of the prefix lies."""
    return drive_c(prefix) / LOG_NAME


def read_wine_log(prefix=None):
    """The bytes of C:\\quillane.log, or None when there is none."""
    path = wine_log_path(prefix)
    return path.read_bytes() if path.exists() else None


def wine_temp_folder(prefix=None):
    """The user's temporary folder of the prefix (GetTempPathA), as a Linux path."""
    users = drive_c(prefix) / "users"
    for user in sorted(users.iterdir()) if users.is_dir() else []:
        if user.name != "Public" and (user / "Temp").is_dir():
            return user / "Temp"
    raise AssertionError(f"no user temporary folder in {users}")


# ---- X screen --------------------------------------------------------------------------------


class Xvfb:
    """An X server of the test's own, 1920x1080 in 24 bits, on a free display number:

        with Xvfb() as screen:
            ... screen.display (":N"), screen.env(), screen.screenshot()
    """

    def __init__(self, width=SCREEN[0], height=SCREEN[1]):
        self.size = (width, height)
        self.display = None
        self._process = None

    def start(self):
        read_end, write_end = os.pipe()
        try:
            # -displayfd: the server picks a free display and writes its number when ready.
            self._process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-br", "-nolisten", "tcp", "-screen", "0",
                 f"{self.size[0]}x{self.size[1]}x24"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.monotonic() + 20
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise AssertionError("Xvfb did not start")
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise AssertionError("Xvfb ended at start")
                number += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        self.display = ":" + number.decode().strip()
        return self

    def stop(self):
        if self._process and self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def env(self):
        return {"DISPLAY": self.display}

    def screenshot(self):
        """The whole screen as (width, height, RGB bytes, 3 per pixel, rows top down)."""
        done = subprocess.run(["import", "-display", self.display, "-window", "root", "-depth",
                               "8", "ppm:-"], capture_output=True, timeout=60,
                              stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise AssertionError("screenshot failed: " + done.stderr.decode(errors="replace"))
        return parse_ppm(done.stdout)

    def window_names(self):
        """The names of every X window on the screen (xwininfo -root -tree)."""
        done = subprocess.run(["xwininfo", "-display", self.display, "-root", "-tree"],
                              capture_output=True, text=True, timeout=30,
                              stdin=subprocess.DEVNULL)
        names = []
        for line in done.stdout.splitlines():
            line = line.strip()
            # 0x600004 "name": ("class" "Class")  800x600+0+0  +0+0
            if line.startswith("0x") and '"' in line:
                start = line.index('"') + 1
                end = line.find('":', start)
                if end > start:
                    names.append(line[start:end])
        return names


def parse_ppm(data):
    """(width, height, pixels) of a binary PPM (P6) with 8-bit channels."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise ValueError("not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:pos + 1 + width * height * 3]
    if len(pixels) != width * height * 3:
        raise ValueError("short PPM")
    return width, height, pixels


def pixel(shot, x, y):
    """The (r, g, b) of one pixel of a screenshot."""
    width, _, pixels = shot
    i = (y * width + x) * 3
    return tuple(pixels[i:i + 3])


# ---- Wine ------------------------------------------------------------------------------------


def wine_env(display=None, prefix=None):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix or wine_prefix()), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH=WINEARCH, LAUNCHER_WINE=WINE)
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def ensure_wine_prefix(prefix=None):
    """Makes the prefix when it is missing (a test started by hand, without the fixture)."""
    prefix = Path(prefix or wine_prefix())
    if not (prefix / "system.reg").exists():
        subprocess.run([str(WINE_PREFIX_SCRIPT), "create", str(prefix)], check=True,
                       env=wine_env(prefix=prefix), stdin=subprocess.DEVNULL, timeout=600)
    return prefix


def stop_wine(prefix=None):
    """Ends every Wine process of the prefix and waits for the end of its wineserver; the next
    Wine run starts a new one (on the X screen of that run)."""
    env = wine_env(prefix=prefix)
    subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run([WINESERVER, "-w"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def run_wine(args, display=None, timeout=60, prefix=None):
    """Runs a Windows program with Wine's own argument quoting; CompletedProcess (text)."""
    return subprocess.run([str(WINE_RUNNER), *map(str, args)], env=wine_env(display, prefix),
                          capture_output=True, text=True, timeout=timeout * SLOWNESS,
                          stdin=subprocess.DEVNULL, errors="replace")


@dataclass
class HarnessResult:
    """What winharness saw of one run."""
    pid: int = None
    boxes: list = field(default_factory=list)   # texts of the dismissed error boxes, in order
    keys: str = ""                               # the key lines typed
    exit_code: int = None                        # the program's exit code (signed); None on time-out
    timed_out: bool = False
    output: str = ""                             # winharness's whole standard output
    errors: str = ""                             # its standard error


def _unescape(text):
    return text.replace("\\r", "\r").replace("\\n", "\n")


class WineDidNotStart(AssertionError):
    """Wine ended before winharness printed anything."""


def start_windows_program(argv, tries=3, **popen_args):
    """Starts winharness through Wine (argv) and waits for its PID line; a WindowsProgram.
    A Wine that ends before winharness runs is started again, up to tries times."""
    for attempt in range(tries):
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, errors="replace",
                                   **popen_args)
        try:
            return WindowsProgram(process)
        except WineDidNotStart:
            if attempt + 1 == tries:
                raise
            time.sleep(1)


class WindowsProgram:
    """A Windows program that winharness runs with a raw command line; started by
    Wine.start(). Its lines are read as they come, so a test can act while it runs."""

    def __init__(self, process):
        self._process = process
        self._lines = queue.Queue()
        self._result = HarnessResult()
        self._errors = []
        threading.Thread(target=self._read, args=(process.stdout, self._lines), daemon=True).start()
        self._error_reader = threading.Thread(target=self._read_errors, daemon=True)
        self._error_reader.start()
        line = self._next_line(60 * SLOWNESS)
        if line is None or not line.startswith("PID: "):
            ended = self._process.poll() is not None
            self._process.kill()
            code = self._process.wait()
            self._error_reader.join(5)
            if line is None and ended and not self._errors:
                # Wine itself ended before winharness ran (seen now and then while the
                # prefix's server winds down): nothing of the program has happened yet.
                raise WineDidNotStart(f"wine ended with {code} before winharness ran")
            raise AssertionError(
                f"winharness did not start the program: {line!r} {''.join(self._errors)}")
        self._result.pid = int(line[5:])
        self._result.output = line + "\n"

    @staticmethod
    def _read(stream, lines):
        for line in stream:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def _read_errors(self):
        for line in self._process.stderr:
            self._errors.append(line)

    def _next_line(self, timeout):
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def _take(self, line):
        result = self._result
        result.output += line + "\n"
        if line.startswith("BOX: "):
            result.boxes.append(_unescape(line[5:]))
        elif line.startswith("KEY: "):
            result.keys += line[5:]
        elif line.startswith("EXIT: "):
            result.exit_code = int(line[6:])
        elif line == "TIMEOUT":
            result.timed_out = True

    @property
    def pid(self):
        return self._result.pid

    @property
    def boxes(self):
        """The boxes dismissed so far (call poll() first to take in new lines)."""
        return list(self._result.boxes)

    def poll(self):
        """Takes in the lines that came; True while the program runs."""
        while True:
            try:
                line = self._lines.get_nowait()
            except queue.Empty:
                return True
            if line is None:
                self._lines.put(None)
                return False
            self._take(line)

    def running(self):
        return self.poll() and self._result.exit_code is None and not self._result.timed_out

    def wait(self, timeout=60):
        """Waits for the end of the run; the HarnessResult."""
        deadline = time.monotonic() + timeout * SLOWNESS
        while True:
            line = self._next_line(max(0.0, deadline - time.monotonic()))
            if line is None:
                break
            self._take(line)
        try:
            self._process.wait(max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
            self._result.timed_out = True
        self._error_reader.join(5)
        self._process.stdout.close()
        self._process.stderr.close()
        self._result.errors = "".join(self._errors)
        return self._result


class Wine:
    """Runs Windows programs in the test prefix, on an X screen when one is given:

        with Xvfb() as screen, Wine(screen.display) as wine:
            result = wine.run('"Z:\\...\\launcher.exe" -debug', keys="auto")

    Leaving the block ends the prefix's Wine processes, so the next test starts clean.
    """

    def __init__(self, display=None, prefix=None):
        self.display = display
        self.prefix = Path(prefix) if prefix else wine_prefix()

    def __enter__(self):
        ensure_wine_prefix(self.prefix)
        return self

    def __exit__(self, *exc):
        stop_wine(self.prefix)

    def env(self):
        return wine_env(self.display, self.prefix)

    def _harness(self, *args, timeout=60):
        return subprocess.run([str(WINE_RUNNER), str(winharness_exe()), *map(str, args)],
                              env=self.env(), capture_output=True, text=True,
                              timeout=timeout * SLOWNESS,
                              stdin=subprocess.DEVNULL, errors="replace")

    def start(self, command_line, boxes=None, keys=None, timeout=60):
        """Starts command_line unchanged (CreateProcessA) under winharness; a WindowsProgram.
        boxes: at most that many boxes are dismissed (None: all); keys: "auto" answers every
        key wait, other text types one key line per character; timeout: seconds after which
        the program is killed."""
        args = ["run", command_line, "--timeout", str(timeout * SLOWNESS)]
        if boxes is not None:
            args += ["--boxes", str(boxes)]
        if keys:
            args += ["--keys", keys]
        return start_windows_program([str(WINE_RUNNER), str(winharness_exe()), *args],
                                     env=self.env())

    def run(self, command_line, boxes=None, keys="auto", timeout=60):
        """Runs command_line to its end: dismisses its boxes, answers its key waits; the
        HarnessResult."""
        return self.start(command_line, boxes, keys, timeout).wait(timeout + 30)

    def console_title(self, pid):
        """(console title, window text or None, visible) of the console of process pid, or
        None when it has no console."""
        done = self._harness("title", pid)
        if done.returncode != 0:
            return None
        fields = dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)
        return (fields.get("TITLE", ""), fields.get("WINDOW"), fields.get("VISIBLE") == "1")

    def console_text(self, pid):
        """The lines of the console screen of process pid, blanks at their ends removed, up to
        the last line that holds text; None when it has no console."""
        done = self._harness("text", pid)
        if done.returncode != 0:
            return None
        return [line[6:] for line in done.stdout.splitlines() if line.startswith("LINE: ")]

    def dismiss_boxes(self, pid, count=1, timeout=30):
        """Reads and dismisses count error boxes of process pid (winharness boxes); their
        texts. Fails when they do not come in time."""
        done = self._harness("boxes", pid, "--boxes", count, "--timeout", timeout * SLOWNESS,
                             timeout=timeout + 30)
        texts = [_unescape(line[5:]) for line in done.stdout.splitlines()
                 if line.startswith("BOX: ")]
        if done.returncode != 0 or len(texts) != count:
            raise AssertionError(f"expected {count} boxes of process {pid}: {done.stdout}"
                                 f"{done.stderr}")
        return texts

    def type_keys(self, pid, keys):
        """Types each character of keys and Enter into the console of process pid."""
        done = self._harness("key", pid, keys)
        if done.returncode != 0:
            raise AssertionError("typing into the console failed: " + done.stderr)


# ---- the POSIX launcher ----------------------------------------------------------------------


def native_env(extra=None):
    """The environment of a native run. The launcher keeps its blocks to the end of the process,
    as designed, so leak reports are off; every other sanitizer finding still fails the run."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0:exitcode=86"
    env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1:exitcode=87"
    if extra:
        env.update(extra)
    return env


def run_native(args, env=None, cwd=None, timeout=60, launcher=None):
    """Runs the POSIX launcher (or another program given as launcher) with an argument list and
    extra environment; no terminal, so key waits return at once. CompletedProcess (bytes)."""
    program = str(launcher or native_launcher())
    return subprocess.run([program, *map(str, args)], env=native_env(env), cwd=cwd,
                          capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)


class NativeTerminalRun:
    """The POSIX launcher on a terminal of its own (a pseudo-terminal that is its controlling
    terminal), for key waits; standard error is collected apart from the terminal."""

    def __init__(self, args, env=None, cwd=None, launcher=None):
        program = str(launcher or native_launcher())
        self._master, slave = pty.openpty()

        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen(
            [program, *map(str, args)], env=native_env(env), cwd=cwd, stdin=slave,
            stdout=slave, stderr=subprocess.PIPE, start_new_session=True,
            preexec_fn=take_terminal)
        os.close(slave)
        self._stderr = []
        self._reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._reader.start()
        self._screen = []
        threading.Thread(target=self._drain_terminal, daemon=True).start()

    def _read_stderr(self):
        for chunk in iter(lambda: self.process.stderr.read1(4096), b""):
            self._stderr.append(chunk)

    def _drain_terminal(self):
        while True:
            try:
                chunk = os.read(self._master, 4096)
            except OSError:
                return
            if not chunk:
                return
            self._screen.append(chunk)

    def stderr(self):
        return b"".join(self._stderr)

    def type(self, text):
        os.write(self._master, text.encode() if isinstance(text, str) else text)

    def wait(self, timeout=30):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        self._reader.join(5)
        return code

    def kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def close(self):
        self.kill()
        self._reader.join(5)
        self.process.stderr.close()
        try:
            os.close(self._master)
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---- waiting ---------------------------------------------------------------------------------


def wait_until(condition, timeout, step=0.1):
    """Polls condition until it returns a true value; that value, or None after timeout (made
    longer under the slower Wine)."""
    deadline = time.monotonic() + timeout * SLOWNESS
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)


def scratch_dir(test, name="e2e-"):
    """A fresh folder for one test, removed at its end (kept when E2E_KEEP is set)."""
    folder = Path(tempfile.mkdtemp(prefix=name))
    if not os.environ.get("E2E_KEEP"):
        test.addCleanup(shutil.rmtree, folder, True)
    return folder


def main(cases=None):
    """Runs the calling script's tests, or only those of the given TestCase classes; exit
    status 0 only when tests ran and all passed. Command-line arguments go to unittest."""
    if cases is None:
        program = unittest.main(module="__main__", exit=False, verbosity=2)
    else:
        loader = unittest.defaultTestLoader
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(case) for case in cases)
        program = unittest.main(module=None, defaultTest=None, argv=sys.argv[:1], exit=False,
                                verbosity=2, testLoader=_FixedLoader(suite))
    result = program.result
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)


class _FixedLoader(unittest.TestLoader):
    """Hands unittest.main a suite chosen beforehand."""

    def __init__(self, suite):
        super().__init__()
        self._suite = suite

    def loadTestsFromModule(self, module, *args, **kwargs):
        return self._suite

    def loadTestsFromNames(self, names, module=None):
        return self._suite

    def discover(self, *args, **kwargs):
        return self._suite
