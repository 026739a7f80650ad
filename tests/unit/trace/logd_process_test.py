"""The real vendrel-logd with real clients: every field of every record arrives, from several
clients at once, and malformed records do not stop the server.

Run by CTest: logd_process_test.py --logd PATH --client PATH [--wine WINE]
With --wine the Windows build runs under Wine (WINEPREFIX from the environment) on the one
real log pipe; natively each run has a pipe directory of its own.
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--logd", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--wine", default="")
    return parser.parse_args()


ARGS = parse_args()
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL: " + what)


def command(exe, *args):
    return ([ARGS.wine] if ARGS.wine else []) + [exe] + list(args)


def host_path(path):
    if ARGS.wine:
        return "Z:" + os.path.abspath(path).replace("/", "\\")
    return os.path.abspath(path)


def environment(pipe_dir):
    env = dict(os.environ)
    if ARGS.wine:
        env["WINEDEBUG"] = "-all"
    else:
        env["VENDREL_PIPE_DIR"] = pipe_dir
    return env


class LogServer:
    def __init__(self, workdir, env, fmt="jsonl"):
        self.output = os.path.join(workdir, "out." + fmt)
        self.stderr_path = os.path.join(workdir, "logd-%s.stderr" % fmt)
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(
            command(ARGS.logd, "--format", fmt, "--output", host_path(self.output)),
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._stderr)
        deadline = time.time() + 60
        while time.time() < deadline:
            with open(self.stderr_path, "rb") as f:
                if b"vendrel-logd: listening on " in f.read():
                    return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("vendrel-logd did not start: " + open(self.stderr_path).read())

    def lines(self, count, limit=60.0):
        """The first count output lines, waiting for them to be written."""
        deadline = time.time() + limit
        while True:
            data = open(self.output, "rb").read() if os.path.exists(self.output) else b""
            lines = data.decode("utf-8").splitlines()
            if len(lines) >= count or time.time() > deadline:
                return lines
            time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._stderr.close()
        return self.proc.returncode


def run_client(env, *args):
    proc = subprocess.run(command(ARGS.client, *args), env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return proc.returncode, proc.stdout.decode("ascii", "replace")


def expectations(text):
    out = []
    for line in text.splitlines():
        parts = line.strip().split(" ")
        if len(parts) != 8 or parts[0] != "expect":
            continue
        unhex = lambda h: "" if h == "-" else bytes.fromhex(h).decode("utf-16-le")
        out.append({"time": None if parts[1] == "*" else int(parts[1]), "pid": int(parts[2]),
                    "tid": int(parts[3]), "level": int(parts[4]), "source": unhex(parts[5]),
                    "line": int(parts[6]), "message": unhex(parts[7])})
    return out


def compare(got, want, what):
    check(sorted(got.keys()) == sorted(["command", "time", "pid", "tid", "level", "source",
                                        "line", "message"]), what + ": keys " + str(got.keys()))
    check(got.get("command") == "LOG_WRITE", what + ": command")
    for key in ("pid", "tid", "level", "line", "source", "message"):
        check(got.get(key) == want[key],
              "%s: %s is %r, not %r" % (what, key, got.get(key), want[key]))
    for key in ("time", "pid", "tid", "level", "line"):
        check(type(got.get(key)) is int, what + ": " + key + " is a JSON number")
    if want["time"] is None:
        check(abs(got["time"] - time.time()) < 600, what + ": time is now")
    else:
        check(got["time"] == want["time"], what + ": time %r" % got.get("time"))


def utf16_record(message):
    return ("LOG_WRITE\t1\t2\t3\t4\tslow\t5\t%s\0" % message).encode("utf-16-le")


def dawdling_client(env, pipe_dir, logd, done):
    """A raw client writes half a record and waits while another client sends its records."""
    record = utf16_record("dawdler")
    slow = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        slow.connect(os.path.join(pipe_dir, "Log_ServerNamePipe"))
        slow.sendall(record[:11])
        time.sleep(0.1)  # accepted and waited for by now
        start = time.time()
        rc, out = run_client(env, "burst", "3", "after")
        lines = logd.lines(done + 3, limit=20)
        waited = time.time() - start
        check(rc == 0, "a client after the dawdler delivers")
        check(len(lines) == done + 3, "records of the client after the dawdler: %d"
              % (len(lines) - done))
        check(waited < 10, "the dawdler held the others up %.1f s" % waited)
        slow.sendall(record[11:])
    finally:
        slow.close()
    lines = logd.lines(done + 4, limit=20)
    tail = [json.loads(l) for l in lines[done:]]
    check([t.get("message") for t in tail].count("dawdler") == 1,
          "the dawdler's record is written once, whole: %r" % tail)
    return len(lines)


def main():
    workdir = tempfile.mkdtemp(prefix="vendrel-logd-test-")
    pipe_dir = os.path.join(workdir, "pipes")
    env = environment(pipe_dir)
    logd = LogServer(workdir, env)
    try:
        # 1. Every field of every record.
        rc, out = run_client(env, "records")
        check(rc == 0, "records client reports every send delivered")
        want = expectations(out)
        check(len(want) == 7, "records client sent 7 records, said %d" % len(want))
        lines = logd.lines(len(want))
        check(len(lines) == len(want), "%d lines for %d records" % (len(lines), len(want)))
        got = [json.loads(line) for line in lines]
        # One client sends one record after the other: they are written in that order.
        check([(g.get("source"), g.get("line")) for g in got] ==
              [(w["source"], w["line"]) for w in want], "records in the order sent")
        by_key = {(g.get("source"), g.get("line")): g for g in got}
        for i, expected in enumerate(want):
            record = by_key.get((expected["source"], expected["line"]))
            check(record is not None, "record %d arrived" % (i + 1))
            if record is not None:
                compare(record, expected, "record %d" % (i + 1))
        done = len(lines)

        # A second server on the same pipe is refused: it would take some of the records.
        second = subprocess.run(command(ARGS.logd, "--format", "jsonl", "--output",
                                        host_path(os.path.join(workdir, "second.jsonl"))),
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=60)
        check(second.returncode != 0, "a second server on the pipe exits")
        check(b"another log server listens on" in second.stderr,
              "a second server says why: %r" % second.stderr[-200:])
        check(logd.proc.poll() is None, "the first server goes on")

        # 2. Several clients at once.
        clients, per_client = 4, 40
        procs = [subprocess.Popen(command(ARGS.client, "burst", str(per_client), "C%d" % c),
                                  env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
                 for c in range(clients)]
        codes = [p.wait(timeout=300) for p in procs]
        check(codes == [0] * clients, "burst clients delivered everything: %r" % codes)
        lines = logd.lines(done + clients * per_client)
        burst = [json.loads(l) for l in lines[done:]]
        check(len(burst) == clients * per_client,
              "%d records from concurrent clients" % len(burst))
        seen = {}
        for record in burst:
            tag = record["message"].rsplit("]", 1)[-1]
            seen.setdefault(record["pid"], []).append((record["line"], tag))
        check(len(seen) == clients, "records from %d processes" % len(seen))
        for pid, items in seen.items():
            tags = {t.split(" ")[0] for _, t in items}
            check(len(tags) == 1, "one tag per process %d" % pid)
            tag = tags.pop()
            check(items == [(i, "%s %d" % (tag, i)) for i in range(per_client)],
                  "process %d: every record, in order" % pid)
        done = len(lines)

        # 2b. A client that stays connected in the middle of a record holds the others up
        # for a moment only, and its record is still written whole once it goes on.
        if not ARGS.wine:
            done = dawdling_client(env, pipe_dir, logd, done)

        # 3. Malformed records: written as errors, and the server goes on.
        rc, out = run_client(env, "raw")
        check(rc == 0, "raw client could send")
        lines = logd.lines(done + 4)
        tail = [json.loads(l) for l in lines[done:]]
        check(len(tail) == 4, "3 error lines and 1 record, got %d" % len(tail))
        errors = [t for t in tail if "error" in t]
        check(len(errors) == 3, "3 error lines")
        for e in errors:
            check(sorted(e.keys()) == ["error", "raw"], "error line keys " + str(e.keys()))
        raws = sorted(e.get("raw", "") for e in errors)
        check("LOG_WRITE\tonly\tthree" in raws, "raw text of the short record")
        check("LOG_WRITE\t1\t2\t3\t4\ts\t5\tnever ended" in raws, "raw text of the unended record")
        good = [t for t in tail if "error" not in t]
        check(len(good) == 1 and good[0].get("message") == "still served",
              "a good record after the malformed ones")
        check(logd.proc.poll() is None, "server still running")
    finally:
        code = logd.stop()
    if not ARGS.wine:
        check(code == 0, "server ends cleanly on SIGTERM (status %r)" % code)
        check(not os.path.exists(os.path.join(pipe_dir, "Log_ServerNamePipe")),
              "socket removed at exit")

    # 4. The text form: one readable line a record, control characters escaped.
    if not ARGS.wine:
        text = LogServer(workdir, env, "text")
        try:
            run_client(env, "burst", "1", "tab\there")
            lines = text.lines(1)
            check(len(lines) == 1 and lines[0].endswith("]tab\\there 0"),
                  "text line: %r" % (lines[:1],))
        finally:
            text.stop()

    total = 1
    print("%d passed, %d failed" % (0 if FAILURES else total, 1 if FAILURES else 0))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
