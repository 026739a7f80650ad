#!/usr/bin/env python3
"""One large upload through the program against the least work that keeps it durably.

The program takes a signed multipart request whose file part is SIZE MiB (default 64), with the
upload directory and the quarantine folder on one file system and vendrel-logd running: it
writes the part to TEMP and flushes it, reads it back for its signature (MD5), updates ".store",
moves the file into the folder and syncs the folder. The yardstick, write_flush_hash, writes the
same request body from standard input to a file in TEMP, flushes it, reads it back and hashes
it. Both run one after the other, alternately, RUNS times each, each after a sync(2) so that
neither pays for the other's leftovers; the table gives the medians of their wall times and of
their CPU times (user and system, from the child's resource usage), and the ratios. The goal:
the request within 15% of the yardstick's time. Wall times wait on the disk, and so vary with
whatever else uses it; CPU times do not.

Usage: large_upload.py --build DIR [--size MIB] [--runs N] [--dir DIR]
(a native release build with the targets vendrel, vendrel-logd, vendrel-sign, Kelsio, pelix32
and write_flush_hash)
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "..", "tests", "e2e")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True)
    p.add_argument("--size", type=int, default=64, help="MiB in the file part")
    p.add_argument("--runs", type=int, default=7)
    p.add_argument("--dir", default=None,
                   help="where the installation lies (default: the temp directory); a tmpfs "
                        "such as /dev/shm leaves the disk out and shows the CPU's share alone")
    return p.parse_args()


ARGS = parse_args()
os.environ["VENDREL_BUILD_DIR"] = os.path.abspath(ARGS.build)
os.environ.pop("VENDREL_WINE", None)
sys.path.insert(0, E2E)
import harness  # noqa: E402


def timed(argv, stdin_path, env=None, cwd=None):
    """Wall and CPU seconds of one run, and its standard output."""
    os.sync()
    with open(stdin_path, "rb") as body:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=body, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, cwd=cwd)
        out, err = proc.communicate()
        elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit("%s failed: %s" % (argv[0], err.decode(errors="replace")))
    return elapsed, cpu_of_last_child(), out


_last_children = resource.getrusage(resource.RUSAGE_CHILDREN)


def cpu_of_last_child():
    """CPU seconds of the children that ended since the last call (here: the one run)."""
    global _last_children
    now = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (now.ru_utime - _last_children.ru_utime) + (now.ru_stime - _last_children.ru_stime)
    _last_children = now
    return cpu


def main():
    yardstick = os.path.join(harness.BIN_DIR, "write_flush_hash")
    if not os.path.exists(yardstick):
        raise SystemExit("build the target write_flush_hash first")
    workdir = tempfile.mkdtemp(prefix="vendrel-large-upload-", dir=ARGS.dir)
    logd = None
    try:
        inst = harness.Installation(workdir, settings={"Upload_Max_Size": str(ARGS.size + 8)})
        logd = harness.LogServer(workdir)
        content = os.urandom(ARGS.size * 1024 * 1024)
        probe = os.path.join(workdir, "probe.bin")
        with open(probe, "wb") as f:
            f.write(content)
        verify = harness.sign(probe, "PC7")
        os.remove(probe)
        body, ctype = harness.multipart([("TempFileName", ("big.bin", content)),
                                         ("NewFileSize", str(len(content))),
                                         ("ComputerName", "PC7"), ("Verify", verify)])
        body_path = os.path.join(workdir, "body.bin")
        with open(body_path, "wb") as f:
            f.write(body)
        del content, body
        env = dict(os.environ, GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="POST",
                   QUERY_STRING="", CONTENT_TYPE=ctype,
                   CONTENT_LENGTH=str(os.path.getsize(body_path)), KELSIO_HOME=inst.home,
                   VENDREL_PIPE_DIR=logd.pipe_dir)
        program = os.path.join(inst.bin, "vendrel")
        times = {"request": [], "yardstick": []}
        cpus = {"request": [], "yardstick": []}
        cpu_of_last_child()
        yard_file = os.path.join(inst.temp, "yardstick.bin")
        for _ in range(ARGS.runs):
            elapsed, cpu, out = timed([program], body_path, env=env, cwd=inst.bin)
            if not out.endswith(b"Vendrel_OK\r\r\n"):
                raise SystemExit("the request was not admitted: %r" % out[-40:])
            times["request"].append(elapsed)
            cpus["request"].append(cpu)
            for name in inst.quarantined():
                os.remove(os.path.join(inst.virus, name))
            elapsed, cpu, _ = timed([yardstick, yard_file], body_path)
            times["yardstick"].append(elapsed)
            cpus["yardstick"].append(cpu)
            os.remove(yard_file)
        med = {k: statistics.median(v) * 1000 for k, v in times.items()}
        cpu = {k: statistics.median(v) * 1000 for k, v in cpus.items()}
        print("Large upload: %d MiB file part, %d runs each, medians, in %s; load average %.2f"
              % (ARGS.size, ARGS.runs, workdir, os.getloadavg()[0]))
        print("| measure | wall ms | CPU ms |")
        print("|---|---|---|")
        print("| request (vendrel, vendrel-logd running) | %.1f | %.1f |"
              % (med["request"], cpu["request"]))
        print("| write, flush, read back and hash the body (write_flush_hash) | %.1f | %.1f |"
              % (med["yardstick"], cpu["yardstick"]))
        print("| request / yardstick (goal: wall at most 1.15) | %.3f | %.3f |"
              % (med["request"] / med["yardstick"], cpu["request"] / cpu["yardstick"]))
    finally:
        if logd is not None:
            logd.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
