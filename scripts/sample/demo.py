#!/usr/bin/env python3
"""The demo: builds the sample installer for Windows and for Linux, runs the Windows one under
Wine on a virtual screen (keeping a screenshot of its splash) and the Linux one natively, and
tells what happened. Expects the native, native-release, win64 and win32 builds (scripts/demo.sh
makes them). Everything it writes goes to build/demo/.
"""
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import harness  # noqa: E402
import make_sample  # noqa: E402

OUT = ROOT / "build" / "demo"
REQUIRE = ["--require", "installer\\*", "--require", "plugins\\*", "--require", "features\\*"]
FETCH = "org.kestrom.repo00_2.0.0.zip"


def make_installer(stub, program, program_name, config, output):
    tree = OUT / (output.stem + "-tree")
    subprocess.run([sys.executable, str(ROOT / "scripts" / "sample" / "make_sample.py"), "--out",
                    str(tree), "--program", str(program), "--program-name", program_name,
                    "--config", config], check=True, stdout=subprocess.DEVNULL)
    harness.pack(stub, tree, output, "installer\\" + program_name, "--folders-twice", *REQUIRE)
    return output, tree


def probe_config(report, fetched, windows):
    name = harness.windows_path if windows else str
    # The probe waits a moment so that the splash can be seen, closes it, fetches an archive
    # that the install run left in the installer, and ends.
    return (f"report={name(report)}\nsleep_ms=2500\nconnect=1\n"
            f"fetch={FETCH}@{name(fetched)}\nexit=0\n")


def required_names(installer):
    """The stored names of the installer's required entries, from sfxpack list."""
    listing = subprocess.run([str(harness.sfxpack()), "list", str(installer)], capture_output=True,
                             text=True, stdin=subprocess.DEVNULL, timeout=60, check=True).stdout
    return set(re.findall(r"^ *\d+ +\d+ required (.*)$", listing, re.M))


def summary(platform, log, report, exit_code, removed, installer, tree, fetched,
            screenshot=None):
    """The run's lines, and the names of the checks that failed."""
    text = log.decode(errors="replace")
    extracted = set(re.findall(r"^extracting '(.*)' to '.*'\.\.\.OK$", text, re.M))
    ignored = len(re.findall(r"^Ignoring ZIP: ", text, re.M))
    required = required_names(installer)
    expected = {name for name in required if not name.endswith(".zip")}
    version = re.search(r"^Read version: (.*)$", text, re.M)
    closed = "Incoming connection from" in text
    fetch = re.search(r"^fetch=(-?\d+) ", report, re.M)
    arrived = fetched / "repository" / "plugins" / FETCH
    original = tree / "repository" / "plugins" / FETCH
    checks = [
        ("entries extracted",
         f"{len(extracted)} (the required ones; {ignored} .zip skipped)",
         extracted == expected and ignored == len(required) - len(expected)),
        ("version read", version.group(1) if version else "(none)",
         bool(version) and version.group(1) == make_sample.VERSION),
        ("splash closed", "yes, by the program" if closed else "no", closed),
        ("archive fetched",
         f"{FETCH}: exit {fetch.group(1) if fetch else '?'}, "
         f"{'arrived' if arrived.is_file() else 'missing'}",
         bool(fetch) and fetch.group(1) == "0" and arrived.is_file()
         and arrived.read_bytes() == original.read_bytes()),
        ("program exit code", str(exit_code), exit_code == 0),
        ("folder removed", "yes" if removed else "NO", removed),
    ]
    lines = [f"== {platform}"]
    lines += [f"  {name:<21} {value}{'' if ok else '   FAILED'}" for name, value, ok in checks]
    if screenshot:
        lines.append(f"  splash screenshot     {screenshot}")
    return "\n".join(lines), [name for name, _, ok in checks if not ok]


def forget(*paths):
    """Removes what an earlier demo left, so that a check never passes on it."""
    for path in paths:
        if path.is_dir():
            shutil.rmtree(path)
        else:
            path.unlink(missing_ok=True)


def wait_gone(folder, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not any(p.name.startswith("sfx") for p in folder.iterdir()):
            return True
        time.sleep(0.2)
    return False


def windows_demo():
    win64 = harness.build_dir("win64")
    work = OUT / "win64"
    work.mkdir(parents=True, exist_ok=True)
    report, fetched = work / "report.txt", work / "fetched"
    prefix = work / "wineprefix"
    forget(report, fetched, harness.wine_log_path(prefix))
    installer, tree = make_installer(win64 / "launcher.exe",
                                     win64 / "tests" / "equipment" / "probe" / "probe.exe",
                                     "installer.exe", probe_config(report, fetched, True),
                                     OUT / "sample-setup-win64.exe")
    win32 = harness.build_dir("win32")
    if (win32 / "tests" / "equipment" / "probe" / "probe.exe").is_file():
        make_installer(win32 / "launcher.exe", win32 / "tests" / "equipment" / "probe" / "probe.exe",
                       "installer.exe", probe_config(report, fetched, True),
                       OUT / "sample-setup-win32.exe")
    shot = OUT / "splash-win64.png"
    with harness.Xvfb() as screen, harness.Wine(screen.display, prefix) as wine:
        temp = harness.wine_temp_folder(prefix)
        program = wine.start(f'"{harness.windows_path(installer)}" -debug', keys="auto",
                             timeout=120)
        deadline = time.monotonic() + 60
        while "Corvalis Software Installer" not in screen.window_names():
            if time.monotonic() > deadline:
                raise AssertionError("the splash did not appear")
            time.sleep(0.2)
        time.sleep(0.8)
        ppm = subprocess.run(["import", "-display", screen.display, "-window", "root", "-depth",
                              "8", "png:" + str(shot)], stdin=subprocess.DEVNULL)
        result = program.wait(150)
        removed = wait_gone(temp)
    log = harness.read_wine_log(prefix) or b""
    report_text = report.read_text(errors="replace") if report.exists() else ""
    return summary("Windows (64-bit, under Wine)", log, report_text, result.exit_code, removed,
                   installer, tree, fetched, shot if ppm.returncode == 0 else None)


def linux_demo():
    release = harness.build_dir("native-release")
    work = OUT / "linux"
    temp = work / "tmp"
    temp.mkdir(parents=True, exist_ok=True)
    report, fetched = work / "report.txt", work / "fetched"
    forget(report, fetched, temp / harness.LOG_NAME)
    installer, tree = make_installer(release / "launcher",
                                     release / "tests" / "equipment" / "probe" / "probe",
                                     "installer.bin", probe_config(report, fetched, False),
                                     OUT / "sample-setup-linux.run")
    done = subprocess.run([str(installer), "-debug"], env=dict(os.environ, TMPDIR=str(temp)),
                          stdin=subprocess.DEVNULL, capture_output=True, start_new_session=True,
                          timeout=120)
    removed = wait_gone(temp)
    log = (temp / harness.LOG_NAME).read_bytes() if (temp / harness.LOG_NAME).exists() else b""
    report_text = report.read_text(errors="replace") if report.exists() else ""
    return summary("Linux (native)", log, report_text, done.returncode, removed, installer, tree,
                   fetched)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    failed = []
    for platform, run in (("Linux (native)", linux_demo),
                          ("Windows (64-bit, under Wine)", windows_demo)):
        try:
            text, failures = run()
        except Exception as error:  # a run that broke off: the message says where
            text, failures = f"== {platform}\n  run broke off: {error}", ["run broke off"]
        print(text)
        print()
        failed += [f"{platform}: {step}" for step in failures]
    print("Installers: " + ", ".join(str(p) for p in sorted(OUT.glob("sample-setup-*"))
                                     if p.is_file()))
    for step in failed:
        print(f"demo FAILED: {step}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
