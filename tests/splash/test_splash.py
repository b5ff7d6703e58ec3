#!/usr/bin/env python3
"""The splash window as the user sees it: the launcher's splash code, run by splashprobe.exe
under Wine on an X screen of the test's own (1920x1080), checked pixel by pixel in screenshots.

The probe is taken from the Windows build under test (LAUNCHER_BUILD_WINDOWS, else build/win64 of this
checkout); one screenshot is kept in <that build>/splash-test/.
"""

import queue
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402
from harness import SCREEN  # noqa: E402

PORT = 12345

# Where the splash code puts things inside a W x H picture: the label box and the bar.
LABEL = (185, 80)
BAR = (100, 15)
BAR_BOTTOM_OFFSET = 20

# How long the probe may take to start under Wine and show its window.
SHOW_TIMEOUT = 20.0 * harness.SLOWNESS

# The X screen of the test run, a harness.Xvfb.
SCREEN_SERVER = None


# ---- pictures ----------------------------------------------------------------------------


def pattern(x, y):
    """The colour of picture pixel (x, y): it tells the position (modulo 200) and is never
    black, white or grey, so that background, text and bar all stand apart from it."""
    return (40 + x % 200, 40 + y % 200, 120)


def write_bmp(path, width, height):
    rows = []
    pad = (-width * 3) % 4
    for y in range(height - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(width):
            r, g, b = pattern(x, y)
            row += bytes((b, g, r))
        row += b"\0" * pad
        rows.append(bytes(row))
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


class Shot:
    """One screenshot: RGB bytes of the whole root window."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def px(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i : i + 3])

    def region(self, left, top, right, bottom):
        """Pixels of [left, right) x [top, bottom), clipped to the screen, with positions."""
        for y in range(max(top, 0), min(bottom, self.height)):
            for x in range(max(left, 0), min(right, self.width)):
                yield x, y, self.px(x, y)

    def save_png(self, path):
        raw = b"".join(
            b"\0" + self.data[y * self.width * 3 : (y + 1) * self.width * 3]
            for y in range(self.height)
        )

        def chunk(kind, body):
            crc = zlib.crc32(kind + body) & 0xFFFFFFFF
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", crc)

        ihdr = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr))
            f.write(chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def screenshot():
    return Shot(*SCREEN_SERVER.screenshot())


# ---- the probe ---------------------------------------------------------------------------


def probe_exe():
    return harness.windows_tool("splashprobe")


class Probe:
    """splashprobe.exe under Wine; its event lines are collected as they come."""

    def __init__(self, bitmap, *options, version="3.1.0"):
        self.proc = subprocess.Popen(
            [str(harness.WINE_RUNNER), str(probe_exe()), bitmap, version, *options],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=harness.wine_env(SCREEN_SERVER.display),
            text=True,
        )
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.strip())
        self.lines.put(None)

    def wait_for(self, event, timeout=SHOW_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(deadline - time.monotonic(), 0.01))
            except queue.Empty:
                raise AssertionError("probe did not report %r in time" % event)
            if line is None:
                raise AssertionError("probe ended (%s) before %r" % (self.proc.wait(), event))
            if line == event:
                return

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


def connect():
    """One connection to the close-signal port, closed at once; False when refused, or reset
    by a listener that closed with the connection still in its backlog."""
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=2):
            return True
    except (ConnectionRefusedError, ConnectionResetError):
        return False


def refused_soon():
    """True when connections are refused within a second: the listener closes its socket just
    after the accept, and a connection that comes in between still completes."""
    deadline = time.monotonic() + 1.0
    while connect():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def poll(condition, timeout, interval=0.05):
    """Screenshots until condition(shot) holds; that shot, or None when time ran out. A shot
    begun before the deadline counts."""
    deadline = time.monotonic() + timeout
    while True:
        begun = time.monotonic()
        shot = screenshot()
        if condition(shot):
            return shot
        if begun >= deadline:
            return None
        time.sleep(interval)


# ---- what the screen shows ---------------------------------------------------------------


def placement(width, height):
    """Screen origin of a centred W x H splash, truncated toward zero like the launcher."""
    return int((SCREEN[0] - width) / 2), int((SCREEN[1] - height) / 2)


def label_box(left, top, width, height):
    return (left + width - LABEL[0], top + height - LABEL[1], left + width, top + height)


def bar_box(left, top, width, height):
    x, y = left + width - LABEL[0], top + height - BAR_BOTTOM_OFFSET
    return (x, y, x + BAR[0], y + BAR[1])


def inside(box, x, y):
    return box[0] <= x < box[2] and box[1] <= y < box[3]


def picture_mismatches(shot, left, top, width, height, skip=(), step=7):
    """Sampled picture pixels that are on the screen but do not show the picture there."""
    bad = []
    for py in range(0, height, step):
        for px_ in range(0, width, step):
            x, y = left + px_, top + py
            if not (0 <= x < shot.width and 0 <= y < shot.height):
                continue
            if any(inside(box, x, y) for box in skip):
                continue
            if shot.px(x, y) != pattern(px_, py):
                bad.append((x, y))
    return bad


def shows_picture_at(left, top, width, height):
    def condition(shot):
        corners = [(0, 0), (width - 1, 0), (0, height - 1), (width // 2, height // 3)]
        for cx, cy in corners:
            x, y = left + cx, top + cy
            if 0 <= x < shot.width and 0 <= y < shot.height and shot.px(x, y) != pattern(cx, cy):
                return False
        return True

    return condition


# Screen points spread over the whole screen: no picture pixel may show at any of them.
SAMPLE_POINTS = [(x, y) for y in range(0, SCREEN[1], 23) for x in range(0, SCREEN[0], 29)]


def looks_like_picture(rgb):
    r, g, b = rgb
    return b == 120 and 40 <= r < 240 and 40 <= g < 240


def picture_gone(shot):
    return not any(looks_like_picture(shot.px(x, y)) for x, y in SAMPLE_POINTS)


def text_rows(shot, left, top, width, height):
    """Label box rows (screen y) holding pixels that are not the picture, the bar left out,
    grouped into text lines: a list of (first row, last row, min x, max x)."""
    box = label_box(left, top, width, height)
    bar = bar_box(left, top, width, height)
    rows = {}
    for x, y, rgb in shot.region(*box):
        if inside(bar, x, y):
            continue
        if rgb != pattern(x - left, y - top):
            lo, hi = rows.get(y, (x, x))
            rows[y] = (min(lo, x), max(hi, x))
    lines = []
    for y in sorted(rows):
        lo, hi = rows[y]
        if lines and lines[-1][1] == y - 1:
            first, _, mn, mx = lines[-1]
            lines[-1] = (first, y, min(mn, lo), max(mx, hi))
        else:
            lines.append((y, y, lo, hi))
    return lines


# ---- the tests ---------------------------------------------------------------------------


class SplashTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        global SCREEN_SERVER
        probe_exe()
        harness.ensure_wine_prefix()
        # Wine's desktop process stays bound to the screen it started on: a session left from
        # another screen must end before the probes start on this one.
        harness.stop_wine()
        SCREEN_SERVER = harness.Xvfb().start()
        cls.work = harness.windows_build() / "splash-test"
        cls.work.mkdir(parents=True, exist_ok=True)
        cls.bitmaps = {}
        for width, height in ((640, 400), (2001, 300)):
            path = cls.work / ("picture-%dx%d.bmp" % (width, height))
            write_bmp(path, width, height)
            cls.bitmaps[(width, height)] = harness.windows_path(path)
        cls.baseline = screenshot()

    @classmethod
    def tearDownClass(cls):
        harness.stop_wine()
        if SCREEN_SERVER is not None:
            SCREEN_SERVER.stop()

    def setUp(self):
        self.probes = []
        self.assertTrue(picture_gone(screenshot()), "a splash is still on the screen")

    def tearDown(self):
        for probe in self.probes:
            probe.stop()
        # The next test needs the port and an empty screen again.
        poll(picture_gone, 5.0)

    def probe(self, bitmap, *options):
        probe = Probe(bitmap, *options)
        self.probes.append(probe)
        return probe

    def show(self, size, *options):
        """Starts a probe on a picture of size and waits until the splash is on the screen."""
        probe = self.probe(self.bitmaps[size], *options)
        left, top = placement(*size)
        shot = poll(shows_picture_at(left, top, *size), SHOW_TIMEOUT)
        self.assertIsNotNone(shot, "the splash did not appear at (%d, %d)" % (left, top))
        return probe, left, top

    def test_picture_label_and_bar_are_placed_on_a_1920x1080_screen(self):
        size = (640, 400)
        probe, left, top = self.show(size, "--alive", "15000")
        self.assertEqual((left, top), (640, 340))
        label = label_box(left, top, *size)
        bar = bar_box(left, top, *size)
        self.assertEqual(label, (1095, 660, 1280, 740))
        self.assertEqual(bar, (1095, 720, 1195, 735))
        # Let the label take its size and paint its text.
        time.sleep(0.7)
        first = screenshot()
        time.sleep(0.5)
        second = screenshot()
        keep = self.work / "splash-640x400.png"
        first.save_png(keep)
        print("\nsplash screenshot: %s" % keep, file=sys.stderr)

        # The picture everywhere but under the label; the background right around it.
        self.assertEqual(picture_mismatches(first, left, top, *size, skip=[label], step=3), [])
        for x, y in [(left - 1, top), (left, top - 1), (left + 640, top + 399),
                     (left + 639, top + 400), (left - 1, top + 399)]:
            self.assertEqual(first.px(x, y), self.baseline.px(x, y), (x, y))

        # White text, and only inside the label box.
        white = [(x, y) for x, y, rgb in first.region(left - 5, top - 5, left + 645, top + 405)
                 if rgb == (255, 255, 255)]
        self.assertGreater(len(white), 40, "no white label text")
        outside = [p for p in white if not inside(label, *p)]
        self.assertEqual(outside, [])
        lines = text_rows(first, left, top, *size)
        self.assertGreaterEqual(len(lines), 3, "expected title, version and status lines")
        self.assertTrue(all(line[1] < bar[1] for line in lines), lines)

        # The bar covers its box; the picture shows right beside and below it.
        covered = sum(1 for x, y, rgb in first.region(*bar)
                      if rgb != pattern(x - left, y - top))
        self.assertGreater(covered, 0.9 * BAR[0] * BAR[1])
        around = [(bar[0] - 1, y) for y in range(bar[1], bar[3])]
        around += [(bar[2], y) for y in range(bar[1], bar[3])]
        around += [(x, bar[3]) for x in range(bar[0], bar[2])]
        self.assertEqual([p for p in around if first.px(*p) != pattern(p[0] - left, p[1] - top)],
                         [])

        # The marquee moves: the bar's pixels change within half a second.
        moved = sum(1 for x, y, rgb in first.region(*bar) if second.px(x, y) != rgb)
        self.assertGreater(moved, 10, "the marquee bar did not move")
        # Only the bar moves.
        self.assertEqual(picture_mismatches(second, left, top, *size, skip=[label], step=5), [])
        self.assertTrue(probe.alive())

    def test_picture_wider_than_the_screen_is_centred_truncating_toward_zero(self):
        size = (2001, 300)
        probe, left, top = self.show(size, "--alive", "15000")
        self.assertEqual((left, top), (-40, 390))
        time.sleep(0.3)
        shot = screenshot()
        # Screen column 0 shows picture column 40 (41 would mean rounding down to -41).
        for y in (top, top + 50, top + 150, top + 299):
            self.assertEqual(shot.px(0, y), pattern(40, y - top), y)
            self.assertEqual(shot.px(1919, y), pattern(1959, y - top), y)
        self.assertEqual(shot.px(0, top - 1), self.baseline.px(0, top - 1))
        self.assertEqual(shot.px(0, top + 300), self.baseline.px(0, top + 300))
        label = label_box(left, top, *size)
        self.assertEqual(picture_mismatches(shot, left, top, *size, skip=[label], step=11), [])

    def test_first_connection_closes_the_splash_and_later_ones_are_refused(self):
        size = (640, 400)
        probe, _, _ = self.show(size, "--alive", "15000")
        self.assertTrue(connect(), "the listener did not accept")
        gone = poll(picture_gone, 1.0)
        self.assertIsNotNone(gone, "the splash was still shown a second after the connection")
        self.assertTrue(refused_soon(), "a second connection was accepted")
        # The splash closing does not end the process.
        self.assertTrue(probe.alive())

    def test_close_request_before_the_window_exists_still_closes_it(self):
        # --connect-early races the splash thread with a real connection; --close-first makes
        # sure that the request comes before the thread's first window call.
        for option, by_connection in (("--connect-early", True), ("--close-first", False)):
            with self.subTest(option=option):
                probe = self.probe(self.bitmaps[(640, 400)], option, "--alive", "15000")
                probe.wait_for("connected" if by_connection else "started")
                self.assertIsNotNone(poll(picture_gone, 1.0), "the splash stayed")
                # Closed for good: it does not come up later either.
                time.sleep(1.5)
                self.assertTrue(picture_gone(screenshot()), "the splash came up after all")
                # The listener took one connection: the probe's own, or this one.
                if not by_connection:
                    self.assertTrue(connect(), "the listener did not accept")
                self.assertTrue(refused_soon(), "a second connection was accepted")
                self.assertTrue(probe.alive())
                probe.stop()

    def test_port_taken_by_another_process_leaves_the_splash_up(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # Earlier tests leave the port in TIME_WAIT; a listener on it still excludes others.
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            blocker.bind(("0.0.0.0", PORT))
            blocker.listen(10)
            size = (640, 400)
            probe, left, top = self.show(size, "--alive", "15000")
            # The port's owner takes this connection; the splash must not care.
            with socket.create_connection(("127.0.0.1", PORT), timeout=2):
                pass
            time.sleep(1.5)
            self.assertTrue(shows_picture_at(left, top, *size)(screenshot()),
                            "the splash closed although its listener could not start")
            self.assertTrue(probe.alive())
        finally:
            blocker.close()

    def test_status_text_is_replaced_without_traces(self):
        size = (640, 400)
        probe, left, top = self.show(size, "--text-after", "2500", "--alive", "15000")
        time.sleep(0.7)
        before = screenshot()
        probe.wait_for("text set", 10.0)
        time.sleep(0.7)
        after = screenshot()

        old, new = text_rows(before, left, top, *size), text_rows(after, left, top, *size)
        self.assertGreaterEqual(len(old), 3, old)
        self.assertEqual(len(new), len(old), (old, new))
        # Title and version lines are untouched, pixel for pixel.
        for first, last, _, _ in old[:-1]:
            for y in range(first, last + 1):
                for x in range(left + 640 - LABEL[0], left + 640):
                    self.assertEqual(after.px(x, y), before.px(x, y), (x, y))
        # "Initializing..." is shorter than "Extracting files...": the status line must end
        # clearly further left, with nothing of the old text beyond its end.
        self.assertEqual(new[-1][2], old[-1][2], "status line moved")
        self.assertLess(new[-1][3], old[-1][3] - 10, (old[-1], new[-1]))
        status_top, status_bottom = old[-1][0], old[-1][1]
        for x, y, rgb in after.region(new[-1][3] + 1, status_top, left + 640, status_bottom + 1):
            self.assertEqual(rgb, pattern(x - left, y - top), (x, y))
        white = [(x, y) for x, y, rgb in after.region(left, top, left + 640, top + 400)
                 if rgb == (255, 255, 255)]
        self.assertGreater(len(white), 40)
        self.assertTrue(all(inside(label_box(left, top, *size), *p) for p in white))
        self.assertTrue(probe.alive())

    def test_status_text_set_while_the_window_is_being_made_is_not_lost(self):
        # The install run may set its status before the splash thread has made the label
        # (a small payload extracts at once); the newest status must still be the one shown.
        size = (640, 400)
        ends = {}
        for options in ((), ("--text-after", "0")):
            probe, left, top = self.show(size, *options, "--alive", "15000")
            if options:
                probe.wait_for("text set", 10.0)
            time.sleep(0.7)
            lines = text_rows(screenshot(), left, top, *size)
            self.assertGreaterEqual(len(lines), 3, lines)
            ends[options] = lines[-1][3]
            probe.stop()
            self.assertIsNotNone(poll(picture_gone, 5.0))
        # "Initializing..." ends well left of "Extracting files...".
        self.assertLess(ends[("--text-after", "0")], ends[()] - 10, ends)

    def test_no_picture_shows_nothing_while_the_listener_still_accepts(self):
        missing = harness.windows_path(self.work / "no-such-picture.bmp")
        for bitmap in (missing, "-"):
            with self.subTest(bitmap=bitmap):
                probe = self.probe(bitmap, "--alive", "15000")
                probe.wait_for("started")
                deadline = time.monotonic() + 5.0
                while not connect():
                    self.assertLess(time.monotonic(), deadline, "the listener never accepted")
                    time.sleep(0.05)
                shot = screenshot()
                self.assertTrue(picture_gone(shot))
                changed = [p for p in SAMPLE_POINTS if shot.px(*p) != self.baseline.px(*p)]
                self.assertEqual(changed, [], "something was drawn without a picture")
                self.assertTrue(refused_soon(), "the listener accepted twice")
                self.assertTrue(probe.alive())
                probe.stop()


if __name__ == "__main__":
    harness.main()
