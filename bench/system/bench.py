#!/usr/bin/env python3
"""The system benchmark: the program as a CGI under lighttpd on 127.0.0.1 against a trivial
compiled CGI that only answers the same header lines and token, measured side by side in one
run on this machine. A third program, the trivial CGI written with the C++ streams and linked
with the shared C++ runtime, shows what loading that runtime costs each request: the reason the
program carries its runtime statically.

  1./2. requests per second and median latency of signed 4 KiB uploads from concurrent clients
        (wrk with upload.lua, for a bounded time), with vendrel-logd running and with no log
        server, and the ratio of the two programs;
  3.    instructions per admitted request (callgrind, the whole process) of both programs;
  4.    the capacity check on quarantine folders of 10, 10,000 and 100,000 files, with a fresh
        and with a stale size cache: instructions of one request and its median wall time;
  5.    CPU time of one request's process when the processes run one after the other;
  6.    the rate under the same load with 20,000 and 100,000 files already in the quarantine
        folder, the share of loaded requests that listed the folder (their getFolderSize traces
        at levels 87 and 73), and how far ".store" is from a fresh listing after the run: the
        bytes and uploads that parallel updates of the cache lost, and the updates that did not
        get their hold of ".store" within the bounded wait (their traces show ".store" refused
        for sharing, win32 error 32, between "nFileSize=" and "FolderSize=").

Usage: bench.py --build DIR [--seconds S] [--clients N] [--capacity-runs N] [--skip-capacity]
                [--quarantine-only]
"""

import argparse
import json
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
LOADED_FOLDER_FILES = (20000, 100000)
# getFolderSize's traces of a request that lists the folder: ".store" could not be opened
# (level 87) or is out of date (level 73).
LISTING_LINES = {486: 87, 471: 73}
# updateFolderSize's first trace ("nFileSize=") and the open failure that follows it when
# ".store" stayed held by others for the whole bounded wait.
UPDATE_LINE = 577
FOLDER_SIZE_LINE = 583
STORE_OPEN_FAILED_LINE = 486
SHARING_VIOLATION_TEXT = "failed with win32 error (32)"
# Distinct signed bodies that wrk cycles through; also enough for the one-by-one runs.
BODY_COUNT = 128
WRK_SCRIPT = os.path.join(HERE, "upload.lua")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="a native build directory (release preset)")
    p.add_argument("--seconds", type=int, default=2,
                   help="length of each loaded run in whole seconds (wrk --duration)")
    p.add_argument("--clients", type=int, default=8)
    p.add_argument("--rounds", type=int, default=3,
                   help="each throughput figure is the median of this many rounds")
    p.add_argument("--capacity-runs", type=int, default=15)
    p.add_argument("--skip-capacity", action="store_true")
    p.add_argument("--quarantine-only", action="store_true",
                   help="only the quarantine folder table (the program with vendrel-logd)")
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


def write_bodies(workdir, bodies):
    """The signed bodies as files for upload.lua; all share one content type (one boundary)."""
    types = {ctype for _, ctype in bodies}
    if len(types) != 1:
        raise SystemExit("the bodies do not share one content type")
    os.makedirs(workdir, exist_ok=True)
    for i, (body, _) in enumerate(bodies):
        with open(os.path.join(workdir, "body.%d" % i), "wb") as f:
            f.write(body)
    with open(os.path.join(workdir, "content_type"), "w") as f:
        f.write(types.pop())
    with open(os.path.join(workdir, "count"), "w") as f:
        f.write(str(len(bodies)))


def run_wrk(url, bodies_dir):
    """One bounded wrk run: requests, seconds, median latency in seconds."""
    threads = min(2, ARGS.clients)
    env = dict(os.environ, VENDREL_BENCH_BODIES=bodies_dir)
    proc = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % ARGS.clients,
                           "-d%ds" % ARGS.seconds, "--timeout", "30s", "-s", WRK_SCRIPT, url],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=ARGS.seconds + 120)
    out = proc.stdout.decode(errors="replace")
    m = re.search(r"^RESULT requests=(\d+) seconds=([\d.]+) bad=(\d+) errors=(\d+) "
                  r"p50_us=(\d+) first_bad=(.*)$", out, re.M)
    if proc.returncode != 0 or not m:
        raise SystemExit("wrk failed:\n" + out)
    requests, seconds, bad, errors = int(m.group(1)), float(m.group(2)), int(m.group(3)), \
        int(m.group(4))
    if bad or errors or requests == 0:
        raise SystemExit("%s: %d of %d answers were not OK, %d socket errors (first: %s)"
                         % (url, bad, requests, errors, m.group(6)))
    return requests, seconds, int(m.group(5)) / 1e6


def folder_listing(folder):
    """What a fresh listing of the folder adds up to (".store" included), as getFolderSize's."""
    total = 0
    with os.scandir(folder) as entries:
        for entry in entries:
            total += entry.stat(follow_symlinks=False).st_size
    return total


class Loaded:
    """The outcome of one loaded run."""

    def __init__(self, rate, latency, requests, listed=None, store_gap=None, unheld=None):
        self.rate, self.latency, self.requests = rate, latency, requests
        self.listed, self.store_gap, self.unheld = listed, store_gap, unheld


def updates_without_hold(records):
    """Requests whose size update found ".store" held by others past its bounded wait: a
    sharing violation traced between the update's first trace and its "FolderSize="."""
    updating = set()
    unheld = 0
    for r in records:
        pid, line = r.get("pid"), r.get("line")
        if line == UPDATE_LINE:
            updating.add(pid)
        elif line == FOLDER_SIZE_LINE:
            updating.discard(pid)
        elif (pid in updating and line == STORE_OPEN_FAILED_LINE and
              SHARING_VIOLATION_TEXT in r.get("message", "")):
            updating.discard(pid)
            unheld += 1
    return unheld


def wait_until_quiet(logd, quiet=0.5, limit=30.0):
    """Until the log server's output has not grown for quiet seconds."""
    deadline = time.time() + limit
    last, since = -1, time.time()
    while time.time() < deadline:
        size = logd.offset()
        if size != last:
            last, since = size, time.time()
        elif time.time() - since >= quiet:
            return
        time.sleep(0.02)


def settled_records(logd, start):
    """The records after start once every request's have arrived. CGI processes that the web
    server started before the load ended still trace afterwards, and the log server writes
    whole lines only at the end of a round: a read that meets half a line waits and reads
    again."""
    for attempt in range(10):
        try:
            return logd.records(start, settle=0.25 * (attempt + 1))
        except json.JSONDecodeError:
            time.sleep(0.5)
    raise SystemExit("the log server's output does not settle into whole lines")


def loaded_run(site, program, bodies_dir, warmup):
    url = site.url(program)
    outcomes, _ = loadclient.run(url, warmup, ARGS.clients)
    if any(o.status != 200 or o.body != OK_BODY for o in outcomes):
        raise SystemExit("%s: a warm-up request was not admitted" % program)
    if site.logd:
        # The warm-up's records (and a previous run's late ones) all in, so that the run's start
        # on the output is a line's start.
        wait_until_quiet(site.logd)
    start = site.logd.offset() if site.logd else 0
    requests, seconds, latency = run_wrk(url, bodies_dir)
    result = Loaded(requests / seconds, latency * 1000.0, requests)
    if program == "vendrel" and site.logd:
        records = settled_records(site.logd, start)
        result.listed = len({r.get("pid") for r in records
                             if LISTING_LINES.get(r.get("line")) == r.get("level")})
        # Every request has ended (its traces have settled): the cache against the folder.
        result.store_gap = folder_listing(site.inst.virus) - (site.inst.store_value() or 0)
        result.unheld = updates_without_hold(records)
    return result


def throughput(program, with_logd, bodies_dir, warmup):
    site = Site(with_logd)
    try:
        return loaded_run(site, program, bodies_dir, warmup)
    finally:
        site.close()


def prepare_full_folder(count, content, computer, signature):
    """A site with count files in its quarantine folder and a fresh ".store"."""
    site = Site(True)
    fill_folder(site.inst.virus, count)
    body, ctype = upload_body(content, computer, signature)
    exe = os.path.join(site.inst.bin, "vendrel")
    stdout = subprocess.run([exe], input=body, stdout=subprocess.PIPE,
                            env=cgi_env(site, ctype, len(body)), cwd=site.inst.bin).stdout
    if not stdout.endswith(OK_BODY):
        raise SystemExit("the first request in a full folder was not admitted: %r" % stdout[-40:])
    return site


def cpu_per_request(content, computers, signatures, with_logd, runs=60):
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


def quarantine_table(samples, measured):
    """Prints the quarantine folder table; answers each folder's rate and listing share."""
    print("\nThe quarantine folder under the same load, with vendrel-logd (the folder starts with "
          "the files shown, each of 1 byte, and a fresh \".store\"):\n")
    print("| files in the folder | requests/s | / empty folder | requests that listed the folder "
          "| \".store\" behind a fresh listing after a run | updates without the hold of "
          "\".store\" |")
    print("|---|---|---|---|---|---|")
    empty_rate = measured[("vendrel", True, 0)][0]
    folder = {}
    for n in (0,) + LOADED_FOLDER_FILES:
        runs = samples[("vendrel", True, n)]
        rate = measured[("vendrel", True, n)][0]
        listed = sum(s.listed for s in runs)
        unheld = sum(s.unheld for s in runs)
        total = sum(s.requests for s in runs)
        gap = loadclient.median([s.store_gap for s in runs])
        folder[n] = (rate, listed / total if total else 0.0)
        print("| %s | %.0f | %.2f | %d of %d (%.2f%%) | %d bytes (%.1f uploads) | %d of %d |"
              % ("{:,}".format(n) if n else "empty", rate, rate / empty_rate, listed, total,
                 100.0 * listed / total if total else 0.0, gap, gap / UPLOAD_SIZE, unheld,
                 total))
    print("\nA fresh listing also counts \".store\" itself (8 bytes) once the cache was listed "
          "with it; the rest are the uploads that parallel updates of the cache did not add. "
          "Each figure of a column is the median over the rounds, the counts their sum.")
    return folder


def main():
    for exe in (TRIVIAL, TRIVIAL_CXX):
        if not os.path.exists(exe):
            raise SystemExit("no %s: build the targets trivial_cgi and trivial_cxx_cgi" % exe)
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is needed (apt-get install wrk)")
    print("Machine: %s" % machine())
    print("Load: signed uploads of %d bytes from %d concurrent connections (wrk, %d s a run, "
          "cycling through %d signed bodies), lighttpd on 127.0.0.1, one CGI process per "
          "request; median of %d rounds\n"
          % (UPLOAD_SIZE, ARGS.clients, ARGS.seconds, BODY_COUNT, ARGS.rounds))
    work = tempfile.mkdtemp(prefix="vendrel-bench-sign-")
    try:
        content = bytes((i * 7 + 3) & 0xFF for i in range(UPLOAD_SIZE))
        warm_count = 2 * ARGS.clients
        computers = ["PC%05d" % i for i in range(BODY_COUNT + warm_count)]
        signatures = sign_all(work, computers, content)
        bodies = [upload_body(content, c, v) for c, v in zip(computers, signatures)]
        warmup = bodies[BODY_COUNT:]
        bodies_dir = os.path.join(work, "bodies")
        write_bodies(bodies_dir, bodies[:BODY_COUNT])

        # Before the load, which leaves the machine busy writing back for a while.
        if not ARGS.quarantine_only:
            cpu = {l: cpu_per_request(content, computers, signatures, l) for l in (True, False)}

        # The configurations take turns, round after round, so that a slow spell of the machine
        # falls on all of them alike; each figure is the median of its rounds. The full folders
        # are filled once and keep growing by the uploads of each round.
        full = {n: prepare_full_folder(n, content, computers[-1], signatures[-1])
                for n in LOADED_FOLDER_FILES}
        if ARGS.quarantine_only:
            configs = [("vendrel", True, 0)]
        else:
            configs = [(p, l, 0) for l in (True, False) for p in PROGRAMS]
        configs += [("vendrel", True, n) for n in LOADED_FOLDER_FILES]
        samples = {c: [] for c in configs}
        try:
            for r in range(ARGS.rounds):
                for c in configs[r % len(configs):] + configs[:r % len(configs)]:
                    if c[2]:
                        samples[c].append(loaded_run(full[c[2]], c[0], bodies_dir, warmup))
                    else:
                        samples[c].append(throughput(c[0], c[1], bodies_dir, warmup))
        finally:
            for site in full.values():
                site.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    measured = {c: (loadclient.median([s.rate for s in v]),
                    loadclient.median([s.latency for s in v])) for c, v in samples.items()}
    if ARGS.quarantine_only:
        quarantine_table(samples, measured)
        return
    rows = []
    print("| measure | vendrel | trivial CGI | vendrel / trivial | trivial C++ CGI | "
          "trivial C++ / trivial |")
    print("|---|---|---|---|---|---|")
    for with_logd, label in ((True, "with vendrel-logd"), (False, "no log server")):
        v, t, x = (measured[(p, with_logd, 0)] for p in PROGRAMS)
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

    folder = quarantine_table(samples, measured)

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
    empty_rate = measured[("vendrel", True, 0)][0]
    v, t = measured[("vendrel", True, 0)], measured[("trivial_cgi", True, 0)]
    print("- throughput with vendrel-logd at least 45%% of the trivial CGI's: %.0f%% -> %s"
          % (100 * v[0] / t[0], "met" if v[0] >= 0.45 * t[0] else "NOT met"))
    for n in LOADED_FOLDER_FILES:
        rate, share = folder[n]
        ok = rate >= 0.90 * empty_rate and share <= 0.01
        print("- %s files: at least 90%% of the empty folder's rate and at most 1%% of requests "
              "listing: %.0f%%, %.2f%% -> %s" % ("{:,}".format(n), 100 * rate / empty_rate,
                                                 100 * share, "met" if ok else "NOT met"))
    c = cpu[True]
    print("- CPU of one request's process alone, with vendrel-logd, at most twice the trivial "
          "CGI's: %.2fx -> %s" % (c["vendrel"] / c["trivial_cgi"],
                                  "met" if c["vendrel"] <= 2 * c["trivial_cgi"] else "NOT met"))
    nv = measured[("vendrel", False, 0)]
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
    started = time.perf_counter()
    try:
        main()
        print("\nThe benchmark took %.0f s." % (time.perf_counter() - started))
    finally:
        for root in FINISHED_SITES:
            shutil.rmtree(root, ignore_errors=True)
