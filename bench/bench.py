#!/usr/bin/env python3
"""Measures the launcher's extraction against tar and cp, and its memory, on a release build.

Writes a table to build/bench/results.md and prints it. Run from anywhere:
    bench/bench.py [--runs 5] [--skip-big] [--big-count 12] [--big-mib 4] [--before REV]
                   [--only-crc]
It builds the native-release preset (no sanitizers) and uses the win32/win64 builds for the stub
sizes when they exist. Three payloads are timed: the sample, one of 50 000 entries, and one with
--big-count archives of --big-mib MiB beside the small entries (the copy path). For each, the
system calls of one install run are counted with strace -c against those of tar -xf.
The payload's CRC-32 check is measured last (alone with --only-crc): its throughput on a
cached 200 MiB installer on both paths, and install runs and an extraction with the CRC stored
against the same installer with 0 stored.
--before REV also builds that git revision's native-release launcher (in a temporary worktree)
and puts it beside the current one, with the same payloads, in every table.
"""
import argparse
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
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
    # 50 000 entries take a while to remove on a busy machine.
    for _ in range(6000):
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


def pack(stub, tree, installer):
    run([os.path.join(BUILD, "tools", "sfxpack"), "create", "--stub", stub, "--dir", tree,
         "--autorun", "installer\\installer.bin", "--folders-twice", "-o", installer],
        stdout=subprocess.DEVNULL)
    return installer


def make_installers(name, entries, probe, big_mib, big_count, stubs):
    """The sample tree, one installer per stub (label: launcher path) and its tar file."""
    tree = os.path.join(WORK, name + "-tree")
    run([sys.executable, os.path.join(ROOT, "scripts", "sample", "make_sample.py"), "--out", tree,
         "--program", probe, "--program-name", "installer.bin", "--config",
         "report=%s\nexit=0\n" % os.path.join(WORK, "probe-report.txt"),
         "--entries", str(entries), "--big-mib", str(big_mib), "--big-count", str(big_count)],
        stdout=subprocess.DEVNULL)
    installers = [(label, pack(stub, tree, os.path.join(WORK, "%s-%s.run" % (name, label))))
                  for label, stub in stubs]
    tar = os.path.join(WORK, name + ".tar")
    run(["tar", "-cf", tar, "-C", tree, "."])
    return tree, installers, tar


# The strace -c rows that the tables sum up, by the kind of call.
SYSCALL_KINDS = [
    ("reads", {"read", "pread64", "readv"}),
    ("writes", {"write", "pwrite64", "writev"}),
    ("seeks", {"lseek", "_llseek"}),
    ("status queries", {"stat", "fstat", "lstat", "newfstatat", "statx", "fstatat64", "stat64",
                        "fstat64", "lstat64"}),
    ("folder creations", {"mkdir", "mkdirat"}),
]


def syscall_counts(cmd, env=None):
    """{kind: calls} of one run of cmd (its main process only) under strace -c, and "total"."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as report:
        subprocess.run(["strace", "-c", "-o", report.name] + cmd, env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        calls = {}
        for line in report.read().splitlines():
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors,] syscall
            if len(fields) >= 5 and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    counts = {kind: sum(calls.get(n, 0) for n in names) for kind, names in SYSCALL_KINDS}
    counts["total"] = calls.get("total", 0)
    return counts


def compare(name, entries, probe, runs, stubs, big_mib=3, big_count=4):
    tree, installers, tar = make_installers(name, entries, probe, big_mib, big_count, stubs)
    count = sum(len(d) + len(f) for _, d, f in os.walk(tree))
    temp = fresh(os.path.join(WORK, "tmp"))
    env = dict(os.environ, TMPDIR=temp)
    target = os.path.join(WORK, "target")
    rows, traced = [], []
    for label, installer in installers:
        rows.append(("launcher install run (%s)" % label,
                     median_of(runs, lambda: None, [installer], env=env,
                               after=lambda: wait_removed(temp))))
        traced.append((label, syscall_counts([installer], env)))
        wait_removed(temp)
    tar_x = median_of(runs, lambda: fresh(target), ["tar", "-xf", tar, "-C", target])
    fresh(target)
    traced.append(("tar -xf", syscall_counts(["tar", "-xf", tar, "-C", target])))
    copy = os.path.join(WORK, "copy")
    cp_r = median_of(runs, lambda: shutil.rmtree(copy, ignore_errors=True), ["cp", "-r", tree, copy])
    size = os.path.getsize(installers[-1][1])
    rows += [("tar -xf", tar_x), ("cp -r", cp_r)]
    lines = ["### %s: %d files and folders, installer %.1f MiB" % (name, count, size / 1048576),
             "", "| what | median s | peak KiB | vs tar |", "|---|---|---|---|"]
    for label, (seconds, peak) in rows:
        lines.append("| %s | %.3f | %d | %.2f |" % (label, seconds, peak, seconds / tar_x[0]))
    kinds = [kind for kind, _ in SYSCALL_KINDS] + ["total"]
    lines += ["", "System calls of one run (strace -c, the launcher's main process):", "",
              "| calls | " + " | ".join(label for label, _ in traced) + " |",
              "|---|" + "---|" * len(traced)]
    for kind in kinds:
        lines.append("| %s | %s |" % (kind, " | ".join(str(c[kind]) for _, c in traced)))
    for path in [tree, tar, copy, target] + [i for _, i in installers]:
        shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.remove(path)
    return lines


def build_revision(revision):
    """The native-release launcher of a git revision, built in a temporary worktree; the path
    of a copy of it and the worktree to remove."""
    worktree = tempfile.mkdtemp(prefix="bench-before-")
    run(["git", "-C", ROOT, "worktree", "add", "--detach", worktree, revision],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run(["cmake", "--preset", "native-release"], cwd=worktree, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", os.path.join(worktree, "build", "native-release"), "-j2",
         "--target", "launcher"], cwd=worktree, stdout=subprocess.DEVNULL)
    stub = os.path.join(WORK, "launcher-before")
    shutil.copy2(os.path.join(worktree, "build", "native-release", "launcher"), stub)
    return stub, worktree


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


def zero_crc(installer):
    """A twin of the installer with 0 stored as its CRC32: the launcher then checks nothing."""
    twin = installer + "-nocrc"
    shutil.copy2(installer, twin)
    with open(twin, "r+b") as f:
        f.seek(-4, 2)
        if f.read(4) == b"\0\0\0\0":
            raise RuntimeError(installer + " stores no CRC32")
        f.seek(-4, 2)
        f.write(b"\0\0\0\0")
    return twin


def random_tree(name, files):
    """A tree of {relative name: size} with random bytes; its folder."""
    tree = fresh(os.path.join(WORK, name))
    for rel, size in files.items():
        path = os.path.join(tree, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            for left in range(size, 0, -(1 << 20)):
                out.write(os.urandom(min(left, 1 << 20)))
    return tree


def crc_check(runs, probe):
    """The payload check: its throughput on a cached file, and what it adds to an install run
    and to an extraction, against the same installer with 0 stored."""
    sfxpack = os.path.join(BUILD, "tools", "sfxpack")
    stub = os.path.join(BUILD, "launcher")
    temp = fresh(os.path.join(WORK, "tmp"))
    env = dict(os.environ, TMPDIR=temp)
    lines = ["### payload CRC-32 check", ""]

    # A 200 MiB installer, read once so that it is in the page cache.
    tree = random_tree("crc-200", {"data/big.bin": 200 << 20, "conf/small.ini": 100})
    big = os.path.join(WORK, "crc-200.run")
    run([sfxpack, "create", "--stub", stub, "--dir", tree, "--autorun", "conf/small.ini", "-o",
         big], stdout=subprocess.DEVNULL)
    big_zero = zero_crc(big)
    run(["cat", big, big_zero], stdout=subprocess.DEVNULL)
    speed = subprocess.run([os.path.join(BUILD, "crcspeed"), big], check=True,
                           capture_output=True, text=True).stdout.split("\n")
    lines += ["Throughput (GB/s of processor time; the file read in 64 KiB pieces as the check "
              "reads it, and 4 KiB buffers in memory):", "", "| source | path | GB/s |", "|---|---|---|"]
    for line in filter(None, speed):
        source, path, rate, _ = line.split()
        lines.append("| %s | %s | %s |" % ("cached 200 MiB installer" if source == "file"
                                            else "4 KiB buffer", path, rate))

    target = os.path.join(WORK, "crc-target")
    rows = []
    for label, installer in (("-extract= of a 100-byte entry, 200 MiB installer", big),):
        with_check = median_of(runs, lambda: fresh(target),
                               [installer, "-extract=small.ini@" + target])
        without = median_of(runs, lambda: fresh(target),
                            [installer + "-nocrc", "-extract=small.ini@" + target])
        rows.append((label, with_check[0], without[0]))

    # Whole install runs: three 64 MiB entries, and the sample's small files.
    def install_pair(label, tree, autorun, extra=()):
        installer = os.path.join(WORK, "crc-install.run")
        run([sfxpack, "create", "--stub", stub, "--dir", tree, "--autorun", autorun, *extra,
             "-o", installer], stdout=subprocess.DEVNULL)
        twin = zero_crc(installer)
        run(["cat", installer, twin], stdout=subprocess.DEVNULL)
        times = {}
        # Alternated, so that both see the same state of the machine; wall time, and the
        # processor time of the launcher and its program, which a busy machine disturbs less.
        for _ in range(runs):
            for name, path in (("crc", installer), ("zero", twin)):
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                start = time.perf_counter()
                run([path], env=env, stdout=subprocess.DEVNULL)
                elapsed = time.perf_counter() - start
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                user = after.ru_utime - before.ru_utime
                system = after.ru_stime - before.ru_stime
                wait_removed(temp)
                times.setdefault(name, []).append(elapsed)
                times.setdefault(name + " cpu", []).append(user + system)
        rows.append((label, statistics.median(times["crc"]), statistics.median(times["zero"])))
        rows.append((label + " (processor time)", statistics.median(times["crc cpu"]),
                     statistics.median(times["zero cpu"])))
        os.remove(installer)
        os.remove(twin)

    config = "report=%s\nexit=0\n" % os.path.join(WORK, "probe-report.txt")
    big_tree = random_tree("crc-big-tree", {"data/a.bin": 64 << 20, "data/b.bin": 64 << 20,
                                            "data/c.bin": 64 << 20})
    shutil.copy2(probe, os.path.join(big_tree, "probe.bin"))
    with open(os.path.join(big_tree, "probe.cfg"), "w") as out:
        out.write(config)
    install_pair("install run, three 64 MiB entries", big_tree, "probe.bin")
    small_tree = os.path.join(WORK, "crc-small-tree")
    shutil.rmtree(small_tree, ignore_errors=True)
    run([sys.executable, os.path.join(ROOT, "scripts", "sample", "make_sample.py"), "--out",
         small_tree, "--program", probe, "--program-name", "installer.bin", "--config", config],
        stdout=subprocess.DEVNULL)
    install_pair("install run, sample tree (589 entries)", small_tree, "installer\\installer.bin",
                 ("--folders-twice",))

    lines += ["", "| run | CRC stored, median s | 0 stored, median s | ratio |",
              "|---|---|---|---|"]
    for label, checked, unchecked in rows:
        lines.append("| %s | %.4f | %.4f | %.3f |" % (label, checked, unchecked,
                                                      checked / unchecked))
    for path in (tree, big_tree, small_tree, target, big, big_zero):
        shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.remove(path)
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
    parser.add_argument("--big-count", type=int, default=12,
                        help="archives of --big-mib MiB in the large-entry payload")
    parser.add_argument("--big-mib", type=int, default=4)
    parser.add_argument("--only-crc", action="store_true",
                        help="measure the payload CRC-32 check only")
    parser.add_argument("--before", metavar="REV",
                        help="a git revision whose launcher is measured beside the current one")
    args = parser.parse_args()
    for program, package in ((TIME, "time"), ("strace", "strace")):
        if not shutil.which(program):
            run(["apt-get", "install", "-y", "-q", package], stdout=subprocess.DEVNULL)
    run(["cmake", "--preset", "native-release"], cwd=ROOT, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", BUILD, "-j2", "--target", "launcher", "sfxpack", "probe",
         "crcspeed"], cwd=ROOT, stdout=subprocess.DEVNULL)
    os.makedirs(WORK, exist_ok=True)
    probe = os.path.join(BUILD, "tests", "equipment", "probe", "probe")
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    lines = ["# Launcher benchmark", "", "Machine: %s, %d cores, %s, Linux %s; medians of %d runs."
             % (cpu, os.cpu_count(), platform.machine(), platform.release(), args.runs), ""]
    stubs = [("now", os.path.join(BUILD, "launcher"))]
    worktree = None
    if args.only_crc:
        lines += crc_check(args.runs, probe) + [""] + stub_sizes()
        print("\n".join(lines))
        return 0
    try:
        if args.before:
            before, worktree = build_revision(args.before)
            stubs.insert(0, ("before", before))
            lines[-1:-1] = ["Before: %s (%s)." % (args.before, subprocess.run(
                ["git", "-C", ROOT, "rev-parse", "--short", args.before], capture_output=True,
                text=True).stdout.strip())]
        lines += compare("sample", 589, probe, args.runs, stubs) + [""]
        lines += compare("sample-50k", 50000, probe, args.runs, stubs) + [""]
        lines += compare("large-entries", 589, probe, args.runs, stubs, args.big_mib,
                         args.big_count) + [""]
    finally:
        if worktree:
            run(["git", "-C", ROOT, "worktree", "remove", "--force", worktree])
    if not args.skip_big:
        lines += big_entry(args.runs) + [""]
    lines += crc_check(args.runs, probe) + [""]
    lines += stub_sizes()
    results = os.path.join(WORK, "results.md")
    with open(results, "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    print("\nwritten to " + results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
