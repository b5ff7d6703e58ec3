#!/usr/bin/env python3
"""Measures the launcher's extraction against tar and cp, and its memory, on a release build.

Writes a table to build/bench/results.md and prints it. Run from anywhere:
    bench/bench.py [--runs 5] [--skip-big]
It builds the native-release preset (no sanitizers) and uses the win32/win64 builds for the stub
sizes when they exist.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "native-release")
WORK = os.path.join(ROOT, "build", "bench")
TIME = "/usr/bin/time"


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def timed(cmd, cwd=None, env=None):
    """Wall seconds and peak resident KiB of one command."""
    start = time.perf_counter()
    out = subprocess.run([TIME, "-f", "%M"] + cmd, cwd=cwd, env=env, check=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    return elapsed, int(out.stderr.strip().splitlines()[-1])


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def wait_removed(folder):
    # The launcher removes its folder in a detached process; let it finish before the next run.
    for _ in range(600):
        if not any(n.startswith("sfx") for n in os.listdir(folder)):
            return
        time.sleep(0.05)
    raise RuntimeError("extraction folder not removed in " + folder)


def median_of(runs, prepare, cmd, cwd=None, env=None, after=None):
    times, peaks = [], []
    for _ in range(runs):
        prepare()
        subprocess.run(["sync"])
        elapsed, peak = timed(cmd, cwd, env)
        if after:
            after()
        times.append(elapsed)
        peaks.append(peak)
    return statistics.median(times), max(peaks)


def make_installer(name, entries, probe, big_mib):
    tree = os.path.join(WORK, name + "-tree")
    run([sys.executable, os.path.join(ROOT, "scripts", "sample", "make_sample.py"), "--out", tree,
         "--program", probe, "--program-name", "installer.bin", "--config",
         "report=%s\nexit=0\n" % os.path.join(WORK, "probe-report.txt"),
         "--entries", str(entries), "--big-mib", str(big_mib)], stdout=subprocess.DEVNULL)
    installer = os.path.join(WORK, name + ".run")
    run([os.path.join(BUILD, "tools", "sfxpack"), "create", "--stub",
         os.path.join(BUILD, "launcher"), "--dir", tree, "--autorun", "installer\\installer.bin",
         "--folders-twice", "-o", installer], stdout=subprocess.DEVNULL)
    tar = os.path.join(WORK, name + ".tar")
    run(["tar", "-cf", tar, "-C", tree, "."])
    return tree, installer, tar


def compare(name, entries, probe, runs):
    tree, installer, tar = make_installer(name, entries, probe, 3)
    count = sum(len(d) + len(f) for _, d, f in os.walk(tree))
    temp = fresh(os.path.join(WORK, "tmp"))
    env = dict(os.environ, TMPDIR=temp)
    launcher = median_of(runs, lambda: None, [installer], env=env, after=lambda: wait_removed(temp))
    target = os.path.join(WORK, "target")
    tar_x = median_of(runs, lambda: fresh(target), ["tar", "-xf", tar, "-C", target])
    copy = os.path.join(WORK, "copy")
    cp_r = median_of(runs, lambda: shutil.rmtree(copy, ignore_errors=True), ["cp", "-r", tree, copy])
    size = os.path.getsize(installer)
    rows = [("launcher install run", launcher), ("tar -xf", tar_x), ("cp -r", cp_r)]
    lines = ["### %s: %d files and folders, installer %.1f MiB" % (name, count, size / 1048576),
             "", "| what | median s | peak KiB | vs tar |", "|---|---|---|---|"]
    for label, (seconds, peak) in rows:
        lines.append("| %s | %.3f | %d | %.2f |" % (label, seconds, peak, seconds / tar_x[0]))
    for path in (tree, installer, tar, copy, target):
        shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.remove(path)
    return lines


def big_entry(runs):
    tree = fresh(os.path.join(WORK, "big-tree"))
    big = os.path.join(tree, "big.bin")
    with open(big, "wb") as out:
        block = os.urandom(1 << 20)
        for _ in range(1024):
            out.write(block)
    installer = os.path.join(WORK, "big.run")
    run([os.path.join(BUILD, "tools", "sfxpack"), "create", "--stub",
         os.path.join(BUILD, "launcher"), "--dir", tree, "--autorun", "big.bin", "-o", installer],
        stdout=subprocess.DEVNULL)
    target = os.path.join(WORK, "big-target")
    extract = median_of(runs, lambda: fresh(target), [installer, "-extract=big.bin@" + target])
    cat = median_of(runs, lambda: fresh(target),
                    ["sh", "-c", 'cat "$0" > "$1"/big.bin', big, target])
    lines = ["### one 1 GiB entry", "", "| what | median s | MiB/s | peak KiB |", "|---|---|---|---|"]
    for label, (seconds, peak) in (("launcher -extract", extract), ("cat", cat)):
        lines.append("| %s | %.3f | %.0f | %d |" % (label, seconds, 1024 / seconds, peak))
    for path in (tree, target):
        shutil.rmtree(path, ignore_errors=True)
    os.remove(installer)
    return lines


def stub_sizes():
    lines = ["### stub sizes", "", "| build | bytes |", "|---|---|"]
    for label, path in (("win32 launcher.exe", "build/win32/launcher.exe"),
                        ("win64 launcher.exe", "build/win64/launcher.exe"),
                        ("native-release launcher", "build/native-release/launcher")):
        full = os.path.join(ROOT, path)
        lines.append("| %s | %s |" % (label, os.path.getsize(full) if os.path.exists(full) else "not built"))
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--skip-big", action="store_true")
    args = parser.parse_args()
    if not os.path.exists(TIME):
        run(["apt-get", "install", "-y", "-q", "time"], stdout=subprocess.DEVNULL)
    run(["cmake", "--preset", "native-release"], cwd=ROOT, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", BUILD, "-j2", "--target", "launcher", "sfxpack", "probe"], cwd=ROOT,
        stdout=subprocess.DEVNULL)
    os.makedirs(WORK, exist_ok=True)
    probe = os.path.join(BUILD, "tests", "equipment", "probe", "probe")
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    lines = ["# Launcher benchmark", "", "Machine: %s, %d cores, %s, Linux %s; medians of %d runs."
             % (cpu, os.cpu_count(), platform.machine(), platform.release(), args.runs), ""]
    lines += compare("sample", 589, probe, args.runs) + [""]
    lines += compare("sample-50k", 50000, probe, args.runs) + [""]
    if not args.skip_big:
        lines += big_entry(args.runs) + [""]
    lines += stub_sizes()
    results = os.path.join(WORK, "results.md")
    with open(results, "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    print("\nwritten to " + results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
