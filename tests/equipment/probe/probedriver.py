"""The probe's companion for the end-to-end tests: the probe's configuration and report,
installer payloads rewritten record by record (for the ones that the pack tool refuses to
write), and the launcher run on either platform through tests/e2e/harness.py.

    driver, close = open_driver("native" or "wine", folder)
    outcome = driver.run(installer, ["-extract=conf.ini@" + driver.path(out)])
    outcome.exit_code, outcome.boxes, outcome.output

Arguments are words as a user types them: a word that holds a blank is quoted on the command
line (the POSIX port rebuilds its command line the same way from its argument vector).
"""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import zlib
from pathlib import Path

import harness

SIGNATURE = b"org.vantrel.kit.sfx"
CLOSE_PORT = 12345


# ---- payload records -------------------------------------------------------------------------


class Payload:
    """The records and entries of an installer's payload, to be changed and written back."""

    def __init__(self):
        self.signature = SIGNATURE
        self.version = 1
        self.flags = 0
        self.names = []  # bytes
        self.data = []  # bytes, one per name
        self.required = []
        self.autorun = b""
        self.args = b""

    def add(self, name, data=b""):
        self.names.append(name.encode() if isinstance(name, str) else name)
        self.data.append(data)

    def head(self):
        """The bytes from the header through the strings table."""
        n = len(self.names)
        out = bytearray(self.signature + bytes([self.version]) + struct.pack("<I", n))
        out += struct.pack("<III", self.flags, n, n + 1)
        for i, data in enumerate(self.data):
            out += struct.pack("<II", len(data), i)
        out += struct.pack("<I", len(self.required))
        out += b"".join(struct.pack("<I", r) for r in self.required)
        for text in self.names + [self.autorun, self.args]:
            out += struct.pack("<I", len(text)) + text
        return bytes(out)

    def encode(self):
        body = self.head() + b"".join(self.data)
        return body + struct.pack("<II", len(body), zlib.crc32(body) & 0xFFFFFFFF)


def read_installer(path):
    """(the launcher's bytes before the payload, Payload) of an installer."""
    return read_installer_bytes(Path(path).read_bytes())


def read_installer_bytes(raw):
    """read_installer of an installer's bytes."""
    size, _crc = struct.unpack_from("<II", raw, len(raw) - 8)
    h = len(raw) - 8 - size
    p = Payload()
    p.signature, p.version = raw[h:h + 19], raw[h + 19]
    (n,) = struct.unpack_from("<I", raw, h + 20)
    p.flags = struct.unpack_from("<I", raw, h + 24)[0]
    sizes = [struct.unpack_from("<I", raw, h + 36 + 8 * i)[0] for i in range(n)]
    pos = h + 36 + 8 * n
    (count,) = struct.unpack_from("<I", raw, pos)
    p.required = list(struct.unpack_from("<%dI" % count, raw, pos + 4))
    pos += 4 + 4 * count
    texts = []
    for _ in range(n + 2):
        (length,) = struct.unpack_from("<I", raw, pos)
        texts.append(raw[pos + 4:pos + 4 + length])
        pos += 4 + length
    p.names, p.autorun, p.args = texts[:n], texts[n], texts[n + 1]
    for size in sizes:
        p.data.append(raw[pos:pos + size])
        pos += size
    return raw[:h], p


def write_raw(path, data):
    Path(path).write_bytes(data)
    os.chmod(path, 0o755)
    return Path(path)


def write_installer(path, stub, payload):
    return write_raw(path, stub + payload.encode())


def footer(path):
    """(PackageSize, CRC32) of an installer."""
    with open(path, "rb") as f:
        f.seek(-8, 2)
        return struct.unpack("<II", f.read(8))


def crc_check_trace(path):
    """The debug trace of the launcher's check of an intact installer that stores its CRC."""
    crc = footer(path)[1]
    return f"Payload CRC32 stored={crc} computed={crc} OK\n"


def with_crc(raw):
    """Installer bytes with the footer's CRC32 made to match its payload again: a payload made
    so on purpose, which the launcher's check lets through."""
    size = struct.unpack_from("<I", raw, len(raw) - 8)[0]
    crc = zlib.crc32(raw[len(raw) - 8 - size:len(raw) - 8])
    return bytes(raw[:-4]) + struct.pack("<I", crc)


# ---- the probe's configuration and report ----------------------------------------------------


def probe_config(report, *actions, exit_code=0):
    """probe.cfg: the report path as the probe sees it, the actions (key, value) in order, the
    exit code."""
    lines = ["report=" + report] + ["%s=%s" % action for action in actions]
    lines.append("exit=%d" % exit_code)
    return "".join(line + "\r\n" for line in lines)


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] != "\\":
            out.append(text[i])
            i += 1
        elif text[i + 1] == "x":
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        else:
            out.append({"\\": "\\", "r": "\r", "n": "\n", "t": "\t"}[text[i + 1]])
            i += 2
    return "".join(out)


class Report:
    """A probe report: its (key, value) lines in order, values unescaped."""

    FACTS = {"self", "cmdline", "argc", "argv", "cwd", "config", "ini.path", "ini.exists", "ini"}

    def __init__(self, path):
        self.items = []
        for line in Path(path).read_bytes().decode("latin-1").split("\n"):
            if line:
                key, _, value = line.partition("=")
                self.items.append((key, unescape(value)))

    def all(self, key):
        return [v for k, v in self.items if k == key]

    def get(self, key):
        values = self.all(key)
        if len(values) != 1:
            raise AssertionError("%s appears %d times in the report" % (key, len(values)))
        return values[0]

    def actions(self):
        """What the probe did, in order: every line but the facts it starts with."""
        return [(k, v) for k, v in self.items if k not in self.FACTS]


def wait_for_close_port(timeout=60.0):
    """Waits until nobody listens on the close-signal port, so that the launcher's listener can
    take it."""
    import socket

    def free():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", CLOSE_PORT))
            return True
        except OSError:
            return False
        finally:
            s.close()

    if not harness.wait_until(free, timeout, 0.2):
        raise AssertionError("port %d stays taken by another program" % CLOSE_PORT)


# ---- running the launcher --------------------------------------------------------------------


class Outcome:
    def __init__(self, exit_code, boxes, output):
        self.exit_code, self.boxes, self.output = exit_code, boxes, output

    def __repr__(self):
        return "Outcome(exit=%r, boxes=%r, output=%r)" % (self.exit_code, self.boxes,
                                                          self.output[-3000:])


def quote(word):
    return '"%s"' % word if " " in word else word


def boxes_of(stderr):
    return re.findall(r"Extracting error: ([^\n]*)\n", stderr)


class NativeDriver:
    """The POSIX port: its box is "Extracting error: <text>" on standard error, its debug
    console is standard error, its temporary folder and log follow $TMPDIR (here a folder of
    the driver's own), and it runs without a terminal, so its key waits return at once."""

    name = "native"
    sep = "/"
    probe_name = "probe.bin"
    exe_suffix = ""

    def __init__(self, folder):
        self.launcher = harness.native_launcher()
        self.probe = harness.require_file(harness.build_dir("native") / "tests" / "equipment" / "probe" / "probe",
                                          "the probe (native build)")
        self.temp = Path(folder) / "tmp"
        self.temp.mkdir(parents=True, exist_ok=True)

    def path(self, host_path):
        return str(host_path)

    def host(self, path):
        return Path(path)

    def temp_folder(self):
        return self.temp

    def log_file(self):
        return self.temp / harness.LOG_NAME

    def roots(self):
        """Where a name that leaves its folder upwards or absolutely would land."""
        return [Path("/")]

    def _env(self, path_prepend=None, temp=None):
        extra = {"TMPDIR": str(temp or self.temp)}
        if path_prepend:
            extra["PATH"] = str(path_prepend) + os.pathsep + os.environ.get("PATH", "")
        return harness.native_env(extra)

    def start(self, installer, args, cwd=None, path_prepend=None, temp=None):
        return subprocess.Popen([str(installer), *args], cwd=cwd, env=self._env(path_prepend, temp),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)

    def finish(self, process, timeout=60):
        _out, err = process.communicate(timeout=timeout)
        text = err.decode("latin-1")
        return Outcome(process.returncode, boxes_of(text), text)

    def run(self, installer, args, cwd=None, path_prepend=None, temp=None, timeout=60):
        return self.finish(self.start(installer, args, cwd, path_prepend, temp), timeout)


class WineDriver:
    """The 64-bit Windows launcher under Wine (a harness.Wine on an X screen): raw command
    lines through winharness, which reads and dismisses the boxes and answers every key wait.
    The temporary folder is the prefix's: Wine sets TEMP from the prefix's registry for a
    program started from the host, so a folder of the test's own is set through cmd."""

    name = "wine"
    sep = "\\"
    probe_name = "probe.exe"
    exe_suffix = ".exe"

    def __init__(self, wine):
        self.wine = wine
        self.launcher = harness.windows_launcher()
        self.probe = harness.windows_tool("probe")

    def path(self, host_path):
        return harness.windows_path(host_path)

    def host(self, path):
        if path[:2].upper() == "Z:":
            return Path(path[2:].replace("\\", "/"))
        return harness.prefix_path(path, self.wine.prefix)

    def temp_folder(self):
        return harness.wine_temp_folder(self.wine.prefix)

    def log_file(self):
        return harness.wine_log_path(self.wine.prefix)

    def roots(self):
        return [Path("/"), harness.drive_c(self.wine.prefix)]

    def command_line(self, installer, args):
        return " ".join(quote(word) for word in [self.path(installer), *args])

    def start(self, installer, args, cwd=None, path_prepend=None, temp=None, boxes=None,
              timeout=60, wide=False):
        """wide: the command line goes to the launcher in UTF-16 (CreateProcessW), for paths that
        the ANSI code page cannot hold; Wine must run in a UTF-8 locale to pass them on."""
        raw = self.command_line(installer, args)
        env = self.wine.env()
        if path_prepend:
            env["WINEPATH"] = self.path(path_prepend)  # Wine puts it in front of PATH
        program = [str(harness.winharness_exe())]
        if temp:
            # cmd hands its environment on; its words pass unquoted, so the command line may
            # hold neither blanks nor quotes here.
            if " " in raw or '"' in raw:
                raise ValueError("cannot pass blanks or quotes through cmd: " + raw)
            folder = self.path(temp)
            program = ["cmd", "/c", "set", "TEMP=" + folder + "&&", "set", "TMP=" + folder + "&&",
                       self.path(harness.winharness_exe())]
            program = " ".join(program).split(" ")
        argv = [str(harness.WINE_RUNNER), *program, "run", raw, "--keys", "auto",
                "--timeout", str(timeout)]
        if boxes is not None:
            argv += ["--boxes", str(boxes)]
        if wide:
            argv.append("--wide")
        return harness.start_windows_program(argv, cwd=cwd, env=env)

    def finish(self, program, timeout=90):
        result = program.wait(timeout)
        if result.timed_out or result.exit_code is None:
            raise AssertionError("the launcher did not end:\n" + result.output + result.errors)
        return Outcome(result.exit_code, result.boxes, result.output)

    def run(self, installer, args, cwd=None, path_prepend=None, temp=None, timeout=60,
            wide=False):
        return self.finish(self.start(installer, args, cwd, path_prepend, temp, timeout=timeout,
                                      wide=wide), timeout + 30)


def open_driver(kind, folder):
    """The driver of a platform ("native" or "wine") and the function that closes it. Under
    Wine the runs share one X screen and one Wine session until it is closed."""
    if kind == "native":
        return NativeDriver(folder), lambda: None
    screen = harness.Xvfb().start()
    wine = None
    try:
        wine = harness.Wine(screen.display).__enter__()
        # One wineserver for the whole session, started apart from any run, and a first run
        # that starts Wine's own background programs: otherwise they inherit the standard
        # error of a run, which then ends only when they do (seconds after each run).
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, timeout=120)
        subprocess.run([harness.WINESERVER, "-p"], env=wine.env(), **quiet)
        subprocess.run([str(harness.WINE_RUNNER), str(harness.winharness_exe()), "run",
                        "cmd /c exit"], env=wine.env(), **quiet)
    except BaseException:
        if wine:
            wine.__exit__(None, None, None)
        screen.stop()
        raise

    def close():
        try:
            wine.__exit__(None, None, None)
        finally:
            screen.stop()

    return WineDriver(wine), close


class DriverCases:
    """What the end-to-end cases of one platform share: a scratch folder for the class, the
    platform's driver (set PLATFORM in a subclass), and a folder of each case's own."""

    PLATFORM = None
    FOLDER_PREFIX = "e2e-"

    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix=cls.FOLDER_PREFIX))
        cls.driver, cls.close_driver = open_driver(cls.PLATFORM, cls.folder)

    @classmethod
    def tearDownClass(cls):
        cls.close_driver()
        if not os.environ.get("E2E_KEEP"):
            shutil.rmtree(cls.folder, True)

    def setUp(self):
        self.case = self.folder / self.id().split(".")[-1]
        self.case.mkdir(parents=True)
