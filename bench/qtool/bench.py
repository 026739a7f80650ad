#!/usr/bin/env python3
"""vendrel-quarantine over a quarantine folder of 100,000 quarantined files (1 to 4 KiB, 500
computers, filed over a year), measured against a plain listing of the same folder,
`find -maxdepth 1 -printf '%s\\n'`, which also looks at every entry once and opens none:

  1. wall time and CPU time (user + system) of `list`, `list --format json`, `stats` and
     `stats --format prometheus`, each against find; median of the rounds, the folder's entries
     in the page cache;
  2. their peak resident set, and the system calls of one run (strace -c: the opens, directory
     reads and per-entry looks) against find's;
  3. `purge --keep-bytes 0` of all of them in one pass, with no log server and with vendrel-logd
     keeping the trace record of every deletion.

Usage: bench.py --build DIR [--files N] [--rounds N] [--no-strace]
"""

import argparse
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

COMPUTERS = 500
YEAR = 365 * 86400


def plant(folder, count, now):
    rng = random.Random(7)
    block = os.urandom(4096)
    for i in range(count):
        name = "PC%03d_%d.%d" % (rng.randrange(COMPUTERS), now - rng.randrange(YEAR), i % 3)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(block[:1024 + rng.randrange(3072)])


def measure(argv, env):
    """(wall seconds, CPU seconds, peak RSS in KiB) of one run, output thrown away."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), proc.returncode, err))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def syscalls(argv, env, workdir):
    """System calls of one run by name, from strace -c -f."""
    out = os.path.join(workdir, "strace.txt")
    subprocess.run(["strace", "-c", "-f", "-o", out] + argv, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    calls = {}
    with open(out) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 5 and parts[-1] not in ("syscall", "total") and parts[3].isdigit():
                calls[parts[-1]] = int(parts[3])
    return calls


def summary(calls, names):
    return ", ".join("%s %d" % (n, calls.get(n, 0)) for n in names if calls.get(n, 0))


def start_logd(build, pipe_dir, output):
    err = open(output + ".stderr", "wb")
    proc = subprocess.Popen([os.path.join(build, "bin", "vendrel-logd"), "--format", "jsonl",
                             "--output", output],
                            env=dict(os.environ, VENDREL_PIPE_DIR=pipe_dir),
                            stdout=subprocess.DEVNULL, stderr=err)
    deadline = time.time() + 10
    while time.time() < deadline:
        with open(output + ".stderr", "rb") as f:
            if b"listening on" in f.read():
                return proc
        time.sleep(0.05)
    proc.kill()
    raise RuntimeError("vendrel-logd did not start")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-strace", action="store_true")
    args = parser.parse_args()
    tool = os.path.abspath(os.path.join(args.build, "bin", "vendrel-quarantine"))
    work = tempfile.mkdtemp(prefix="vendrel-qtool-bench-")
    try:
        home = os.path.join(work, "home")
        folder = os.path.join(home, "Virus")
        os.makedirs(os.path.join(home, "TEMP"))
        os.makedirs(folder)
        with open(os.path.join(home, "server.ini"), "w") as f:
            f.write("[INI_SERVER_SECTION]\nQuarantine_Folder=%s\n" % folder)
        pipes = os.path.join(work, "pipes")
        os.makedirs(pipes)
        env = dict(os.environ, KELSIO_HOME=home, VENDREL_PIPE_DIR=pipes)
        now = int(time.time())
        t0 = time.time()
        plant(folder, args.files, now)
        print("folder: %d quarantined files planted in %.1f s; load average %s; %d cores"
              % (args.files, time.time() - t0, " ".join("%.2f" % x for x in os.getloadavg()),
                 os.cpu_count()))

        find = ["find", folder, "-maxdepth", "1", "-printf", "%s\\n"]
        runs = [("list", [tool, "list"]),
                ("list --format json", [tool, "list", "--format", "json"]),
                ("stats", [tool, "stats"]),
                ("stats --format prometheus", [tool, "stats", "--format", "prometheus"])]
        measure(find, env)  # the entries into the page cache
        print()
        print("| command | wall ms | CPU ms | find wall ms | find CPU ms | wall / find | "
              "CPU / find | peak RSS KiB (find) |")
        print("|---|---|---|---|---|---|---|---|")
        for label, argv in runs:
            ours, theirs = [], []
            for _ in range(args.rounds):
                # Interleaved, so that both see the same load.
                ours.append(measure(argv, env))
                theirs.append(measure(find, env))
            wall = statistics.median(r[0] for r in ours) * 1000
            cpu = statistics.median(r[1] for r in ours) * 1000
            fwall = statistics.median(r[0] for r in theirs) * 1000
            fcpu = statistics.median(r[1] for r in theirs) * 1000
            print("| %s | %.0f | %.0f | %.0f | %.0f | %.2f | %.2f | %d (%d) |"
                  % (label, wall, cpu, fwall, fcpu, wall / fwall, cpu / fcpu,
                     max(r[2] for r in ours), max(r[2] for r in theirs)))

        if not args.no_strace and shutil.which("strace"):
            print()
            names = ["openat", "getdents64", "newfstatat", "fstat", "read", "write", "unlinkat",
                     "connect"]
            print("system calls of one run (strace -c -f):")
            print("- find: " + summary(syscalls(find, env, work), names))
            for label, argv in runs[:3:2]:
                print("- %s: %s" % (label, summary(syscalls(argv, env, work), names)))

        print()
        print("| purge --keep-bytes 0 of %d files | wall s | CPU s | files/s | peak RSS KiB |"
              % args.files)
        print("|---|---|---|---|---|")
        wall, cpu, rss = measure([tool, "purge", "--keep-bytes", "0"], env)
        left = len(os.listdir(folder))
        print("| no log server | %.2f | %.2f | %.0f | %d |" % (wall, cpu, args.files / wall, rss))
        plant(folder, args.files, now)
        output = os.path.join(work, "trace.jsonl")
        logd = start_logd(args.build, pipes, output)
        try:
            wall, cpu, rss = measure([tool, "purge", "--keep-bytes", "0"], env)
            time.sleep(1)
        finally:
            logd.send_signal(signal.SIGTERM)
            logd.wait(timeout=30)
        with open(output, "rb") as f:
            records = sum(1 for _ in f)
        print("| with vendrel-logd (%d records) | %.2f | %.2f | %.0f | %d |"
              % (records, wall, cpu, args.files / wall, rss))
        left += len(os.listdir(folder))
        print()
        print("left in the folder after the purges: %d entries (.store)" % left)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
