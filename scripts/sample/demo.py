#!/usr/bin/env python3
"""The demo: builds the sample installer for Windows and for Linux, runs the Windows one under
Wine on a virtual screen (keeping a screenshot of its splash) and the Linux one natively, and
tells what happened. Expects the native, native-release, win64 and win32 builds (scripts/demo.sh
makes them). Everything it writes goes to build/demo/.
"""
import os
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import harness  # noqa: E402

OUT = ROOT / "build" / "demo"
REQUIRE = ["--require", "installer\\*", "--require", "plugins\\*", "--require", "features\\*"]
FETCH = "org.kestrom.repo00_2.0.0.zip"


def make_installer(stub, program, program_name, config, output):
    tree = OUT / (output.stem + "-tree")
    subprocess.run([sys.executable, str(ROOT / "scripts" / "sample" / "make_sample.py"), "--out",
                    str(tree), "--program", str(program), "--program-name", program_name,
                    "--config", config], check=True, stdout=subprocess.DEVNULL)
    harness.pack(stub, tree, output, "installer\\" + program_name, "--folders-twice", *REQUIRE)
    return output


def probe_config(report, fetched, windows):
    name = harness.windows_path if windows else str
    # The probe waits a moment so that the splash can be seen, closes it, fetches an archive
    # that the install run left in the installer, and ends.
    return (f"report={name(report)}\nsleep_ms=2500\nconnect=1\n"
            f"fetch={FETCH}@{name(fetched)}\nexit=0\n")


def summary(platform, log, report, exit_code, removed, fetched, screenshot=None):
    text = log.decode(errors="replace")
    extracted = len(re.findall(r"^extracting '.*\.\.\.OK$", text, re.M))
    ignored = len(re.findall(r"^Ignoring ZIP: ", text, re.M))
    version = re.search(r"^Read version: (.*)$", text, re.M)
    closed = "Incoming connection from" in text
    fetch = re.search(r"^fetch=(-?\d+) ", report, re.M)
    lines = [f"== {platform}",
             f"  entries extracted     {extracted} (the required ones; {ignored} .zip skipped)",
             f"  version read          {version.group(1) if version else '(none)'}",
             f"  splash closed         {'yes, by the program' if closed else 'no'}",
             f"  archive fetched       {FETCH}: exit {fetch.group(1) if fetch else '?'}, "
             f"{'arrived' if (fetched / 'repository' / 'plugins' / FETCH).is_file() else 'missing'}",
             f"  program exit code     {exit_code}",
             f"  folder removed        {'yes' if removed else 'NO'}"]
    if screenshot:
        lines.append(f"  splash screenshot     {screenshot}")
    return "\n".join(lines)


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
    for stale in (report,):
        stale.unlink(missing_ok=True)
    installer = make_installer(win64 / "launcher.exe", win64 / "tests" / "equipment" / "probe" / "probe.exe",
                               "installer.exe", probe_config(report, fetched, True),
                               OUT / "sample-setup-win64.exe")
    win32 = harness.build_dir("win32")
    if (win32 / "tests" / "equipment" / "probe" / "probe.exe").is_file():
        make_installer(win32 / "launcher.exe", win32 / "tests" / "equipment" / "probe" / "probe.exe",
                       "installer.exe", probe_config(report, fetched, True),
                       OUT / "sample-setup-win32.exe")
    prefix = work / "wineprefix"
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
                   fetched, shot if ppm.returncode == 0 else None)


def linux_demo():
    release = harness.build_dir("native-release")
    work = OUT / "linux"
    temp = work / "tmp"
    temp.mkdir(parents=True, exist_ok=True)
    report, fetched = work / "report.txt", work / "fetched"
    report.unlink(missing_ok=True)
    installer = make_installer(release / "launcher", release / "tests" / "equipment" / "probe" / "probe",
                               "installer.bin", probe_config(report, fetched, False),
                               OUT / "sample-setup-linux.run")
    done = subprocess.run([str(installer), "-debug"], env=dict(os.environ, TMPDIR=str(temp)),
                          stdin=subprocess.DEVNULL, capture_output=True, start_new_session=True,
                          timeout=120)
    removed = wait_gone(temp)
    log = (temp / harness.LOG_NAME).read_bytes() if (temp / harness.LOG_NAME).exists() else b""
    report_text = report.read_text(errors="replace") if report.exists() else ""
    return summary("Linux (native)", log, report_text, done.returncode, removed, fetched)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    print(linux_demo())
    print()
    print(windows_demo())
    print()
    print("Installers: " + ", ".join(str(p) for p in sorted(OUT.glob("sample-setup-*"))
                                     if p.is_file()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
