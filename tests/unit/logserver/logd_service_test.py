"""vendrel-logd.exe as a Windows service, under Wine's service manager: --install-service
registers it (automatic start, the serving options and an absolute output path in its command
line), the service manager starts it, it receives a request's records, the manager's stop ends
it cleanly, and --remove-service stops and deletes it; `sc query` shows each state.

Run by CTest (Windows build only): logd_service_test.py --logd PATH --client PATH --wine WINE
with WINEPREFIX from the environment. Every wait is bounded; a service left by an earlier run
that was killed is removed first.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from logd import wine_command, wine_path  # noqa: E402

SERVICE = "vendrel-logd"
STATE_WAIT = 30.0

parser = argparse.ArgumentParser()
parser.add_argument("--logd", required=True)
parser.add_argument("--client", required=True)
parser.add_argument("--wine", required=True)
ARGS = parser.parse_args()
ENV = dict(os.environ, WINEDEBUG="-all")
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL: " + what)


def run(argv, cwd=None):
    """Exit status, standard output and standard error of one command under Wine."""
    proc = subprocess.run(argv, env=ENV, cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return (proc.returncode, proc.stdout.decode("utf-8", "replace"),
            proc.stderr.decode("utf-8", "replace"))


def logd(*args, cwd=None):
    return run(wine_command(ARGS.wine, ARGS.logd, *args), cwd=cwd)


def sc(*args):
    return run([ARGS.wine, "sc"] + list(args))


def state():
    """The service's state as `sc query` shows it (RUNNING, STOPPED, ...), or None when the
    service does not exist."""
    rc, out, _ = sc("query", SERVICE)
    found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
    return found.group(1) if rc == 0 and found else None


def wait_for_state(want):
    deadline = time.time() + STATE_WAIT
    seen = state()
    while seen != want and time.time() < deadline:
        time.sleep(0.2)
        seen = state()
    return seen


def registry_value(name):
    rc, out, _ = run([ARGS.wine, "reg", "query",
                      "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE, "/v", name])
    found = re.search(name + r"\s+REG_\w+\s+(.*)", out)
    return found.group(1).strip() if rc == 0 and found else None


def send(count, tag):
    """A request's records through the trace client: True when every send was delivered."""
    proc = subprocess.run(wine_command(ARGS.wine, ARGS.client, "burst", str(count), tag),
                          env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120)
    return proc.returncode == 0


def records(path, count, limit=10.0):
    deadline = time.time() + limit
    while True:
        lines = open(path, "rb").read().decode("utf-8").splitlines() \
            if os.path.exists(path) else []
        if len(lines) >= count or time.time() > deadline:
            return [json.loads(l) for l in lines]
        time.sleep(0.1)


def main():
    if state() is not None:
        print("removing the service an earlier run left")
        logd("--remove-service")
    check(state() is None, "no service %s before the test" % SERVICE)

    rc, _, err = logd("--remove-service")
    check(rc == 1 and "is not installed" in err, "removing a missing service: %r %r" % (rc, err))

    # A relative output, from a directory whose name has a blank: the service runs elsewhere,
    # so the path it is given must be whole, and quoted.
    workdir = tempfile.mkdtemp(prefix="vendrel-logd-service-")
    outdir = os.path.join(workdir, "svc dir")
    os.mkdir(outdir)
    output = os.path.join(outdir, "trace.jsonl")
    try:
        rc, out, err = logd("--install-service", "--output", "trace.jsonl", "--format", "jsonl",
                            "--max-size", "1", "--keep", "2", cwd=outdir)
        check(rc == 0 and "service vendrel-logd installed" in out,
              "install: %r %r %r" % (rc, out, err))
        rc, _, err = logd("--install-service", "--output", "again.jsonl")
        check(rc == 1 and "exists already" in err, "a second install: %r %r" % (rc, err))
        check(state() == "STOPPED", "installed, not yet started: %r" % state())
        check(registry_value("Start") == "0x2", "started at boot (automatic): %r"
              % registry_value("Start"))
        image = registry_value("ImagePath") or ""
        check(" --service " in image and
              ('--output "%s"' % wine_path(ARGS.wine, output)) in image and
              "--format jsonl --max-size 1 --keep 2" in image,
              "the command line holds the options: %r" % image)

        rc, _, _ = sc("start", SERVICE)
        check(rc == 0, "sc start")
        check(wait_for_state("RUNNING") == "RUNNING", "running after sc start: %r" % state())
        check(send(5, "svc"), "a request's records delivered to the service")
        got = records(output, 5)
        check([r.get("message", "").rsplit("]", 1)[-1] for r in got] ==
              ["svc %d" % i for i in range(5)], "the service wrote the records: %r" % got)

        rc, _, _ = sc("stop", SERVICE)
        check(rc == 0, "sc stop")
        check(wait_for_state("STOPPED") == "STOPPED", "stopped after sc stop: %r" % state())
        rc, out, _ = sc("query", SERVICE)
        check(re.search(r"WIN32_EXIT_CODE\s*:\s*0\b", out) is not None,
              "a clean stop, exit code 0: %r" % out)
        check(not send(1, "stopped"), "nothing serves the pipe once the service stopped")

        # Removal stops a running service first.
        rc, _, _ = sc("start", SERVICE)
        check(wait_for_state("RUNNING") == "RUNNING", "running again: %r" % state())
        rc, out, err = logd("--remove-service")
        check(rc == 0 and "service vendrel-logd removed" in out,
              "remove: %r %r %r" % (rc, out, err))
        check(state() is None, "sc query finds no service after the removal")
        check(not send(1, "removed"), "nothing serves the pipe once the service is removed")
        check(len(records(output, 6, limit=1)) == 5, "the records stay, no more")
    finally:
        if state() is not None:
            logd("--remove-service")
    print("%d passed, %d failed" % (0 if FAILURES else 1, 1 if FAILURES else 0))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
