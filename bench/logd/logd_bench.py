"""How fast vendrel-logd takes records, and whether silent clients slow anyone down.

Run by hand against either build (the trace client is a test program of the same build):

  python3 bench/logd/logd_bench.py --logd build/native/bin/vendrel-logd \
      --client build/native/bin/trace_client
  WINEPREFIX=$PWD/build/windows/wineprefix python3 bench/logd/logd_bench.py \
      --logd build/windows/bin/vendrel-logd.exe --client build/windows/bin/trace_client.exe \
      --wine /usr/lib/wine/wine64

Two measures, each the median of --rounds runs, on a log server of its own (jsonl to a
temporary file; natively in a pipe directory of its own, under Wine on the real pipe name, so
no other log server may run in that prefix):
  - records/s: --clients trace clients at once, each sending --records records (one connection
    a record, as a request sends them), from their start to the last record in the file;
  - with --silent clients connected and sending nothing: how long they took to be connected
    (taken by the server), how long after a 20-record client ends its last record reaches the
    file, and how long that client took.
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "support"))
from logd import LogdProcess, wine_command, wine_path  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--logd", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--wine", default="")
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--records", type=int, default=100)
    parser.add_argument("--silent", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=3)
    return parser.parse_args()


ARGS = parse_args()


class Server(LogdProcess):
    def __init__(self, workdir, env, name):
        self.output = os.path.join(workdir, name + ".jsonl")
        self.start(wine_command(ARGS.wine, ARGS.logd, "--format", "jsonl", "--output",
                                wine_path(ARGS.wine, self.output)),
                   env, os.path.join(workdir, name + ".stderr"), 60.0)

    def count(self):
        with open(self.output, "rb") as f:
            return f.read().count(b"\n")

    def wait_for(self, count, limit=120.0):
        """Seconds until count lines are in the file (polled every ms), or None."""
        deadline = time.time() + limit
        while time.time() < deadline:
            if self.count() >= count:
                return time.time()
            time.sleep(0.001)
        return None


def client(env, *args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL):
    return subprocess.Popen(wine_command(ARGS.wine, ARGS.client, *args), env=env, stdin=stdin,
                            stdout=stdout, stderr=subprocess.DEVNULL)


def throughput(workdir, env, round_no):
    server = Server(workdir, env, "rate%d" % round_no)
    try:
        total = ARGS.clients * ARGS.records
        start = time.time()
        procs = [client(env, "burst", str(ARGS.records), "C%d" % c) for c in range(ARGS.clients)]
        done = server.wait_for(total)
        for p in procs:
            p.wait(timeout=300)
        return total / (done - start) if done else 0.0
    finally:
        server.stop()


def hold_silent(env, pipe_dir):
    """Holds ARGS.silent connections; answers what to close when done."""
    if ARGS.wine:
        proc = client(env, "hold", str(ARGS.silent), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = proc.stdout.readline().decode("ascii", "replace").strip()
        if line != "held %d" % ARGS.silent:
            raise RuntimeError("holding silent clients: %r" % line)
        return lambda: (proc.stdin.close(), proc.wait(timeout=60))
    socks = []
    for _ in range(ARGS.silent):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(os.path.join(pipe_dir, "Log_ServerNamePipe"))
        socks.append(s)
    return lambda: [s.close() for s in socks]


def with_silent(workdir, env, pipe_dir, round_no):
    server = Server(workdir, env, "silent%d" % round_no)
    release = None
    try:
        begun = time.time()
        release = hold_silent(env, pipe_dir)
        held = time.time() - begun
        time.sleep(0.2)
        start = time.time()
        proc = client(env, "burst", "20", "req")
        proc.wait(timeout=300)
        ended = time.time()
        done = server.wait_for(20, limit=30)
        return (done - ended if done else float("inf")), ended - start, held
    finally:
        if release:
            release()
        server.stop()


def main():
    workdir = tempfile.mkdtemp(prefix="vendrel-logd-bench-")
    pipe_dir = os.path.join(workdir, "pipes")
    env = dict(os.environ)
    if ARGS.wine:
        env["WINEDEBUG"] = "-all"
    else:
        env["VENDREL_PIPE_DIR"] = pipe_dir
    rates = [throughput(workdir, env, r) for r in range(ARGS.rounds)]
    silent = [with_silent(workdir, env, pipe_dir, r) for r in range(ARGS.rounds)]
    print("build: %s" % ("windows (wine)" if ARGS.wine else "native"))
    print("records/s, %d clients x %d records: %.0f (rounds: %s)"
          % (ARGS.clients, ARGS.records, statistics.median(rates),
             ", ".join("%.0f" % r for r in rates)))
    print("%d silent clients connected in %.2f s; then the last record of a 20-record client "
          "was written %.1f ms after it ended, and the client took %.2f s (rounds: %s)"
          % (ARGS.silent, statistics.median(s[2] for s in silent),
             statistics.median(s[0] for s in silent) * 1000,
             statistics.median(s[1] for s in silent),
             ", ".join("%.2f s/%.1f ms/%.2f s" % (c, a * 1000, b) for a, b, c in silent)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
