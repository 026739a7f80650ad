#!/usr/bin/env python3
"""The system benchmark: the program as a CGI under lighttpd on 127.0.0.1 against a trivial
compiled CGI that only answers the same header lines and token, measured side by side in one
run on this machine. A third program, the trivial CGI written with the C++ streams and linked
with the shared C++ runtime, shows what loading that runtime costs each request: the reason the
program carries its runtime statically.

  1./2. requests per second and median latency of signed 4 KiB uploads from concurrent clients,
        with vendrel-logd running and with no log server, and the ratio of the two programs;
  3.    instructions per admitted request (callgrind, the whole process) of both programs;
  4.    the capacity check on quarantine folders of 10, 10,000 and 100,000 files, with a fresh
        and with a stale size cache: instructions of one request and its median wall time;
  5.    CPU time of one request's process when the processes run one after the other, and how
        many loaded requests rescanned the folder because ".store" was being written.

Usage: bench.py --build DIR [--requests N] [--clients N] [--capacity-runs N] [--skip-capacity]
"""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "..", "tests", "e2e")

UPLOAD_SIZE = 4096
OK_BODY = b"Vendrel_OK\r\r\n"
FAILED_BODY = b"Vendrel_FAILED\r\r\n"
CAPACITY_FILES = (10, 10000, 100000)
STORE_OPEN_FAILED = 486


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="a native build directory (release preset)")
    p.add_argument("--requests", type=int, default=2000)
    p.add_argument("--clients", type=int, default=8)
    p.add_argument("--rounds", type=int, default=3,
                   help="each throughput figure is the median of this many rounds")
    p.add_argument("--capacity-runs", type=int, default=30)
    p.add_argument("--skip-capacity", action="store_true")
    return p.parse_args()


ARGS = parse_args()
os.environ["VENDREL_BUILD_DIR"] = os.path.abspath(ARGS.build)
os.environ.pop("VENDREL_WINE", None)
sys.path.insert(0, E2E)
import harness  # noqa: E402
import loadclient  # noqa: E402
from webserver import WebServer  # noqa: E402

TRIVIAL = os.path.join(harness.BIN_DIR, "trivial_cgi")
TRIVIAL_CXX = os.path.join(harness.BIN_DIR, "trivial_cxx_cgi")
PROGRAMS = ("vendrel", "trivial_cgi", "trivial_cxx_cgi")


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    lighttpd = subprocess.run(["lighttpd", "-v"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT).stdout.decode().strip().splitlines()[0]
    return "%d cores (nproc), %s; %s" % (os.cpu_count() or 0, model, lighttpd)


def sign_all(workdir, computers, content):
    """The upload signature of content from each computer, from the signing tool."""
    path = os.path.join(workdir, "sample.bin")
    with open(path, "wb") as f:
        f.write(content)
    with ThreadPoolExecutor(max_workers=4) as pool:
        return list(pool.map(lambda c: harness.sign(path, c), computers))


def upload_body(content, computer, verify):
    return harness.multipart([("TempFileName", ("sample.bin", content)),
                              ("NewFileSize", str(len(content))),
                              ("ComputerName", computer), ("Verify", verify)])


FINISHED_SITES = []


class Site:
    """One installation with both programs, lighttpd in front, and optionally a log server."""

    def __init__(self, with_logd):
        self.root = tempfile.mkdtemp(prefix="vendrel-bench-")
        self.inst = harness.Installation(self.root)
        shutil.copy2(TRIVIAL, os.path.join(self.inst.bin, "trivial_cgi"))
        shutil.copy2(TRIVIAL_CXX, os.path.join(self.inst.bin, "trivial_cxx_cgi"))
        self.logd = harness.LogServer(self.root) if with_logd else None
        self.pipe_dir = self.logd.pipe_dir if self.logd else os.path.join(self.root, "pipes")
        os.makedirs(self.pipe_dir, exist_ok=True)
        self.web = None

    def url(self, program):
        if self.web is None:
            self.web = WebServer(self.root, self.inst, self.pipe_dir)
        return self.web.url.rsplit("/", 1)[0] + "/" + program

    def close(self):
        if self.web:
            self.web.stop()
        if self.logd:
            self.logd.stop()
        # Deleting thousands of quarantined files costs the next file creations on some file
        # systems (ext4 without a journal skips recently freed inodes), so that bill would fall on
        # whichever configuration runs next. The installations go when the whole run is done.
        FINISHED_SITES.append(self.root)


def cgi_env(site, content_type, length):
    env = dict(os.environ)
    env.update({"GATEWAY_INTERFACE": "CGI/1.1", "SERVER_PROTOCOL": "HTTP/1.1",
                "REQUEST_METHOD": "POST", "QUERY_STRING": "", "SCRIPT_NAME": "/cgi/bin/vendrel",
                "REMOTE_ADDR": "127.0.0.1", "CONTENT_TYPE": content_type,
                "CONTENT_LENGTH": str(length), "KELSIO_HOME": site.inst.home,
                "VENDREL_PIPE_DIR": site.pipe_dir})
    return env


def throughput(program, with_logd, bodies, warmup):
    site = Site(with_logd)
    try:
        url = site.url(program)
        outcomes, _ = loadclient.run(url, warmup, ARGS.clients)
        start = site.logd.offset() if site.logd else 0
        outcomes, seconds = loadclient.run(url, bodies, ARGS.clients)
        bad = [o for o in outcomes if o.status != 200 or o.body != OK_BODY]
        if bad:
            raise SystemExit("%s: %d of %d answers were not OK (first: %r %r)" % (
                program, len(bad), len(bodies), bad[0].body, bad[0].error))
        latency = loadclient.median([o.seconds for o in outcomes])
        rescans = None
        if program == "vendrel" and site.logd:
            # A reader of ".store" that meets a writer rescans the folder (trace line 486).
            rescans = len({r.get("pid") for r in site.logd.records(start)
                           if r.get("line") == STORE_OPEN_FAILED})
        return len(bodies) / seconds, latency * 1000.0, rescans
    finally:
        site.close()


def cpu_per_request(content, computers, signatures, with_logd, runs=100):
    """CPU time (user + system) of one process for one admitted request, the processes run one
    after the other: what a request costs with nothing else competing for the machine."""
    runs = min(runs, len(computers) - 1)
    site = Site(with_logd)
    try:
        cost = {}
        for program in PROGRAMS:
            exe = os.path.join(site.inst.bin, program)
            seconds = []
            for i in range(runs + 1):
                body, ctype = upload_body(content, computers[i], signatures[i])
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                stdout = subprocess.run([exe], input=body, stdout=subprocess.PIPE,
                                        env=cgi_env(site, ctype, len(body)),
                                        cwd=site.inst.bin).stdout
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                if not stdout.endswith(OK_BODY):
                    raise SystemExit("%s did not admit the upload: %r" % (program, stdout[-40:]))
                if i > 0:  # the first run creates ".store"
                    seconds.append(after.ru_utime - before.ru_utime +
                                   after.ru_stime - before.ru_stime)
            cost[program] = sum(seconds) / len(seconds) * 1000.0
        return cost
    finally:
        site.close()


def callgrind(exe, env, body, workdir, tag):
    out = os.path.join(workdir, "callgrind.%s" % tag)
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, exe],
                          input=body, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          cwd=os.path.dirname(exe), timeout=900)
    with open(out) as f:
        text = f.read()
    m = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.M)
    if not m:
        raise SystemExit("no instruction count in " + out)
    return int(m.group(1)), proc.stdout


def instructions(content, computers, signatures, with_logd):
    """Instructions of one admitted request of each program (median of three runs)."""
    site = Site(with_logd)
    try:
        counts = {}
        for program in PROGRAMS:
            exe = os.path.join(site.inst.bin, program)
            runs = []
            for i in range(4):
                body, ctype = upload_body(content, computers[i], signatures[i])
                env = cgi_env(site, ctype, len(body))
                if i == 0:
                    # The first request creates ".store"; the measured ones find it fresh.
                    subprocess.run([exe], input=body, env=env, stdout=subprocess.PIPE,
                                   cwd=site.inst.bin, check=True)
                    continue
                count, stdout = callgrind(exe, env, body, site.root, "%s.%d" % (program, i))
                if not stdout.endswith(OK_BODY):
                    raise SystemExit("%s under callgrind did not admit the upload: %r"
                                     % (program, stdout[-40:]))
                runs.append(count)
            counts[program] = sorted(runs)[1]
        return counts
    finally:
        site.close()


def fill_folder(folder, count):
    for i in range(count):
        fd = os.open(os.path.join(folder, "PC%06d_1700000000.0" % i),
                     os.O_WRONLY | os.O_CREAT, 0o644)
        os.write(fd, b"q")
        os.close(fd)


def refused_request(site, content):
    """Body and environment of a request whose signature fails: its upload is made here."""
    path = site.inst.upload(content)
    pairs = [("TempFileName", path), ("NewFileSize", str(len(content))),
             ("ComputerName", "PC7"), ("Verify", "0" * 32)]
    body = harness.urlencode(pairs).encode()
    return path, body, cgi_env(site, "application/x-www-form-urlencoded", len(body))


def capacity(content):
    """The capacity check in folders of many files: one refused request (the signature fails,
    so nothing is added or filed) with the size cache fresh or stale."""
    results = {}
    for count in CAPACITY_FILES:
        site = Site(True)
        try:
            fill_folder(site.inst.virus, count)
            store = os.path.join(site.inst.virus, ".store")
            exe = os.path.join(site.inst.bin, "vendrel")
            # A first request scans and writes ".store"; from here on it is fresh.
            _, body, env = refused_request(site, content)
            subprocess.run([exe], input=body, env=env, stdout=subprocess.PIPE,
                           cwd=site.inst.bin, check=True)
            for state in ("fresh", "stale"):
                times = []
                instr = None
                for run in range(ARGS.capacity_runs + 1):
                    path, body, env = refused_request(site, content)
                    if state == "stale":
                        past = time.time() - 3600
                        os.utime(store, (past, past))
                    if run == 0:
                        instr, stdout = callgrind(exe, env, body, site.root,
                                                  "cap.%d.%s" % (count, state))
                    else:
                        start = time.perf_counter()
                        stdout = subprocess.run([exe], input=body, env=env,
                                                stdout=subprocess.PIPE, cwd=site.inst.bin,
                                                check=True).stdout
                        times.append(time.perf_counter() - start)
                    if not stdout.endswith(FAILED_BODY) or os.path.exists(path):
                        raise SystemExit("capacity run did not refuse the upload: %r" % stdout)
                results[(count, state)] = (instr, loadclient.median(times) * 1000.0)
        finally:
            site.close()
    return results


def main():
    for exe in (TRIVIAL, TRIVIAL_CXX):
        if not os.path.exists(exe):
            raise SystemExit("no %s: build the targets trivial_cgi and trivial_cxx_cgi" % exe)
    print("Machine: %s" % machine())
    print("Load: %d signed uploads of %d bytes, %d concurrent clients (Python http.client), "
          "lighttpd on 127.0.0.1, one CGI process per request; median of %d rounds\n"
          % (ARGS.requests, UPLOAD_SIZE, ARGS.clients, ARGS.rounds))
    work = tempfile.mkdtemp(prefix="vendrel-bench-sign-")
    try:
        content = bytes((i * 7 + 3) & 0xFF for i in range(UPLOAD_SIZE))
        warm_count = 2 * ARGS.clients
        computers = ["PC%05d" % i for i in range(ARGS.requests + warm_count)]
        signatures = sign_all(work, computers, content)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    bodies = [upload_body(content, c, v) for c, v in zip(computers, signatures)]
    warmup, bodies = bodies[:warm_count], bodies[warm_count:]

    # Before the load, which leaves the machine busy writing back for a while.
    cpu = {l: cpu_per_request(content, computers, signatures, l) for l in (True, False)}

    # The four configurations take turns, round after round, so that a slow spell of the
    # machine falls on all of them alike; each figure is the median of its rounds.
    configs = [(p, l) for l in (True, False) for p in PROGRAMS]
    samples = {c: [] for c in configs}
    for r in range(ARGS.rounds):
        for c in configs[r % len(configs):] + configs[:r % len(configs)]:
            samples[c].append(throughput(c[0], c[1], bodies, warmup))
    measured = {c: (loadclient.median([s[0] for s in v]), loadclient.median([s[1] for s in v]))
                for c, v in samples.items()}
    rescans = loadclient.median([s[2] for s in samples[("vendrel", True)]])
    rows = []
    print("| measure | vendrel | trivial CGI | vendrel / trivial | trivial C++ CGI | "
          "trivial C++ / trivial |")
    print("|---|---|---|---|---|---|")
    for with_logd, label in ((True, "with vendrel-logd"), (False, "no log server")):
        v, t, x = (measured[(p, with_logd)] for p in PROGRAMS)
        rows.append("| requests/s, %s | %.0f | %.0f | %.2f | %.0f | %.2f |"
                    % (label, v[0], t[0], v[0] / t[0], x[0], x[0] / t[0]))
        rows.append("| median latency ms, %s | %.2f | %.2f | %.2f | %.2f | %.2f |"
                    % (label, v[1], t[1], v[1] / t[1], x[1], x[1] / t[1]))
    counts = {}
    for with_logd, label in ((True, "with vendrel-logd"), (False, "no log server")):
        c = counts[with_logd] = instructions(content, computers, signatures, with_logd)
        v, t, x = (c[p] for p in PROGRAMS)
        rows.append("| instructions per admitted request (callgrind), %s | %d | %d | %.2f | %d | "
                    "%.2f |" % (label, v, t, v / t, x, x / t))
    for with_logd, label in ((True, "with vendrel-logd"), (False, "no log server")):
        c = cpu[with_logd]
        v, t, x = (c[p] for p in PROGRAMS)
        rows.append("| CPU ms of one request's process, run alone, %s | %.2f | %.2f | %.2f | %.2f "
                    "| %.2f |" % (label, v, t, v / t, x, x / t))
    print("\n".join(rows))
    print("\nUnder load with vendrel-logd, %d of %d requests (median of the rounds) found "
          "\".store\" being written at least once and rescanned the quarantine folder."
          % (rescans, len(bodies)))

    if not ARGS.skip_capacity:
        print("\nCapacity check (one refused request: capacity check, then a failed signature):")
        print("| files in the folder | cache | instructions (callgrind) | median ms |")
        print("|---|---|---|---|")
        cap = capacity(content)
        for count in CAPACITY_FILES:
            for state in ("fresh", "stale"):
                instr, ms = cap[(count, state)]
                print("| %d | %s | %d | %.2f |" % (count, state, instr, ms))

    print("\nGoals:")
    v, t = measured[("vendrel", True)], measured[("trivial_cgi", True)]
    print("- throughput at least 70%% of the trivial CGI's: %.0f%% -> %s"
          % (100 * v[0] / t[0], "met" if v[0] >= 0.7 * t[0] else "NOT met"))
    nv = measured[("vendrel", False)]
    change = (nv[0] - v[0]) / v[0]
    instr_change = (counts[False]["vendrel"] - counts[True]["vendrel"]) / counts[True]["vendrel"]
    print("- no log server within 5%% of the run with it: %+.1f%% requests/s, %+.1f%% "
          "instructions -> %s" % (100 * change, 100 * instr_change,
                                  "met" if change >= -0.05 and instr_change <= 0.05 else
                                  "NOT met"))
    if not ARGS.skip_capacity:
        small, large = cap[(10, "fresh")][0], cap[(100000, "fresh")][0]
        diff = (large - small) / small
        print("- fresh capacity check the same at 10 and 100,000 files (10%%): %+.1f%% "
              "instructions -> %s" % (100 * diff, "met" if abs(diff) <= 0.10 else "NOT met"))


if __name__ == "__main__":
    try:
        main()
    finally:
        for root in FINISHED_SITES:
            shutil.rmtree(root, ignore_errors=True)
