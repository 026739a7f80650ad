"""The real vendrel-logd with real clients: every field of every record arrives, from several
clients at once, and malformed records do not stop the server; the text form shows one line a
record whatever it holds; size rotation keeps its generations and every record whole; --help,
--version and usage errors answer as every command does. Silent clients hold nobody back and
are closed after 10 s (natively: raw socket clients; Windows: pipe clients held by the trace
client), and at most 1,000 are served at once. Natively also: running out of descriptors
closes single connections only, the socket admits only its user and group, SIGHUP reopens
the output, and a new output file is 0640 whatever the umask.

Run by CTest: logd_process_test.py --logd PATH --client PATH --version-string V [--wine WINE]
With --wine the Windows build runs under Wine (WINEPREFIX from the environment) on the one
real log pipe; natively each run has a pipe directory of its own.
"""

import argparse
import grp
import json
import os
import resource
import stat
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from logd import LogdProcess, wine_command, wine_path  # noqa: E402
import requirements  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--logd", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--version-string", required=True)
    parser.add_argument("--wine", default="")
    return parser.parse_args()


ARGS = parse_args()
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL: " + what)


def cannot_run(what):
    """A check that lacks a privilege or a fixture: a failure in strict mode, else a note."""
    if requirements.STRICT:
        check(False, "cannot run in strict mode: " + what)
    else:
        print("SKIP: " + what)


# Connects to the socket given as the argument: exit 0 when it may, 3 when it is refused.
CONNECT_PROBE = """
import socket, sys
probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
try:
    probe.connect(sys.argv[1])
except PermissionError:
    sys.exit(3)
"""


def connect_as_stranger(socket_path):
    """The exit status of a connection attempt by a user outside the socket's user and group
    (nobody), or None when nothing here may switch users."""
    if os.geteuid() == 0:
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
                probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                try:
                    probe.connect(socket_path)
                    code = 0
                except PermissionError:
                    code = 3
            finally:
                os._exit(code)
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    prefix, reason = requirements.root_prefix()
    setpriv = requirements.find_tool("setpriv")
    if prefix is None or setpriv is None:
        cannot_run("another user's connection: " + (reason or "needs setpriv"))
        return None
    # The system's interpreter: the one running this script may lie in a home that nobody
    # cannot enter.
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    proc = subprocess.run(prefix + [setpriv, "--reuid=65534", "--regid=65534", "--clear-groups",
                                    "--", python, "-c", CONNECT_PROBE, socket_path],
                          stdin=subprocess.DEVNULL, timeout=60)
    return proc.returncode


def group_besides_own():
    """A group other than the caller's own that the server may give its socket to: any group
    as root; one of the caller's supplementary groups otherwise (a user cannot give a file to
    a group it is not in)."""
    if os.geteuid() == 0:
        others = [g for g in grp.getgrall() if g.gr_gid != os.getegid()]
    else:
        others = [grp.getgrgid(g) for g in os.getgroups() if g != os.getegid()]
    return others[0] if others else None


def command(exe, *args):
    return wine_command(ARGS.wine, exe, *args)


def host_path(path):
    return wine_path(ARGS.wine, path)


def environment(pipe_dir):
    env = dict(os.environ)
    if ARGS.wine:
        env["WINEDEBUG"] = "-all"
    else:
        env["VENDREL_PIPE_DIR"] = pipe_dir
    return env


class LogServer(LogdProcess):
    def __init__(self, workdir, env, fmt="jsonl", extra=(), name=None, preexec_fn=None):
        name = name or fmt
        self.output = os.path.join(workdir, "out-%s.%s" % (name, fmt))
        self.start(command(ARGS.logd, "--format", fmt, "--output", host_path(self.output), *extra),
                   env, os.path.join(workdir, "logd-%s.stderr" % name), 60.0, preexec_fn)

    def lines(self, count, limit=60.0, path=None):
        """The first count output lines, waiting for them to be written."""
        path = path or self.output
        deadline = time.time() + limit
        while True:
            data = open(path, "rb").read() if os.path.exists(path) else b""
            # The server may be in the middle of writing a long line: only whole lines count.
            lines = data[:data.rfind(b"\n") + 1].decode("utf-8").splitlines()
            if len(lines) >= count or time.time() > deadline:
                return lines
            time.sleep(0.05)


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


def connect_raw(pipe_dir):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(os.path.join(pipe_dir, "Log_ServerNamePipe"))
    return sock


def closed_by_server(sock, limit):
    """True when the server closes sock within limit seconds."""
    sock.settimeout(limit)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def silent_clients(workdir, env, pipe_dir):
    """60 clients connected and silent do not hold back a request's 20 records, and are closed
    after 10 s; a half record among them is then written as an error line."""
    logd = LogServer(workdir, env, name="silent")
    idle = []
    try:
        for _ in range(60):
            idle.append(connect_raw(pipe_dir))
        idle[0].sendall(utf16_record("half")[:30])
        time.sleep(0.2)
        start = time.time()
        rc, _ = run_client(env, "burst", "20", "req")
        lines = logd.lines(20, limit=10)
        took = time.time() - start
        check(rc == 0, "the request's client delivered with 60 silent clients connected")
        check(len(lines) == 20, "20 records with 60 silent clients: %d" % len(lines))
        check([json.loads(l).get("line") for l in lines] == list(range(20)),
              "the request's records in order")
        check(took < 1.0, "20 records reached the output in %.2f s" % took)
        check(logd.proc.poll() is None, "the server stays up with 60 silent clients")
        closed = [closed_by_server(s, 14 - (time.time() - start)) for s in idle]
        check(all(closed), "silent clients closed after 10 s: %d of 60" % closed.count(True))
        tail = [json.loads(l) for l in logd.lines(21, limit=5)[20:]]
        check(len(tail) == 1 and "error" in tail[0] and tail[0].get("raw", "").startswith("LOG_W"),
              "the silent client's half record is an error line: %r" % tail)
        check(logd.proc.poll() is None, "the server goes on after closing silent clients")
    finally:
        for s in idle:
            s.close()
        check(logd.stop() == 0, "server ends cleanly after the silent clients")


def descriptor_shortage(workdir, env, pipe_dir):
    """With few descriptors, clients beyond them are closed one by one with a line on standard
    error, and once descriptors are free again the server serves as before."""
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24))
    logd = LogServer(workdir, env, name="fds", preexec_fn=limit)
    clients = []
    try:
        for _ in range(40):
            clients.append(connect_raw(pipe_dir))
        closed = [closed_by_server(s, 5) for s in clients[-10:]]
        check(all(closed), "clients beyond the descriptors are closed: %r" % closed)
        check("cannot take a client" in logd.errors(),
              "a line on standard error for each: %r" % logd.errors()[-300:])
        check(logd.proc.poll() is None, "the server goes on without descriptors")
    finally:
        for s in clients:
            s.close()
    time.sleep(0.3)
    rc, _ = run_client(env, "burst", "5", "freed")
    lines = logd.lines(5, limit=10)
    check(rc == 0 and len(lines) == 5, "served again once descriptors are free: %d" % len(lines))
    check(logd.stop() == 0, "server ends cleanly after the shortage")


def hostile_bytes(workdir, env, pipe_dir):
    """Garbage, a cut unit and a half record, each from a client that then vanishes, are error
    lines at most; the server goes on."""
    logd = LogServer(workdir, env, name="hostile")
    try:
        for payload in (os.urandom(5000), b"\x00" * 7, utf16_record("cut")[:41],
                        b"\xff\xfe" * 40000):
            sock = connect_raw(pipe_dir)
            sock.sendall(payload)
            sock.close()
        rc, _ = run_client(env, "burst", "1", "still")
        deadline = time.time() + 10
        while time.time() < deadline:
            found = [l for l in logd.lines(1) if "still 0" in l]
            if found:
                break
            time.sleep(0.05)
        check(bool(found), "a record after the hostile clients is written")
        check(logd.proc.poll() is None, "hostile clients do not stop the server")
    finally:
        check(logd.stop() == 0, "server ends cleanly after hostile clients")


def socket_access(workdir, env, pipe_dir):
    """The socket is mode 0660, in the server's group or the one --group names; a user outside
    both cannot connect; an unknown group stops the start with a message."""
    socket_path = os.path.join(pipe_dir, "Log_ServerNamePipe")
    logd = LogServer(workdir, env, name="access")
    try:
        st = os.stat(socket_path)
        check(stat.S_IMODE(st.st_mode) == 0o660, "socket mode %o" % stat.S_IMODE(st.st_mode))
        check(st.st_gid == os.getegid(), "socket in the server's group")
        # The pipe directory is open to walk through, so only the socket's mode refuses.
        os.chmod(workdir, 0o755)
        os.chmod(pipe_dir, 0o755)
        code = connect_as_stranger(socket_path)
        if code is not None:
            check(code == 3, "another user cannot connect (status %d)" % code)
    finally:
        logd.stop()

    group = group_besides_own()
    if group is None:
        cannot_run("--group with another group: the user belongs to no group besides its own; "
                   "run the tests as root, or as a user in a further group (sudo, say)")
    else:
        logd = LogServer(workdir, env, name="group", extra=("--group", group.gr_name))
        try:
            st = os.stat(socket_path)
            check(st.st_gid == group.gr_gid, "socket in the group given: %d, not %d"
                  % (st.st_gid, group.gr_gid))
            check(stat.S_IMODE(st.st_mode) == 0o660, "--group socket mode %o"
                  % stat.S_IMODE(st.st_mode))
        finally:
            logd.stop()

    bad = subprocess.run(command(ARGS.logd, "--group", "no-such-group-vendrel"), env=env,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, timeout=30)
    check(bad.returncode != 0, "an unknown group fails at start")
    check(b"unknown group no-such-group-vendrel" in bad.stderr,
          "an unknown group is named: %r" % bad.stderr[-200:])
    check(not os.path.exists(socket_path), "no socket left by a failed start")


def log_rotation(workdir, env):
    """SIGHUP after the output was renamed: new records go to a new file at the old name."""
    logd = LogServer(workdir, env, name="rotate")
    try:
        run_client(env, "burst", "2", "before")
        check(len(logd.lines(2, limit=10)) == 2, "records before the rotation")
        rotated = logd.output + ".1"
        os.rename(logd.output, rotated)
        logd.proc.send_signal(signal.SIGHUP)
        deadline = time.time() + 10
        while not os.path.exists(logd.output) and time.time() < deadline:
            time.sleep(0.02)
        check(os.path.exists(logd.output), "SIGHUP makes a new output file at the old name")
        run_client(env, "burst", "3", "after")
        new = logd.lines(3, limit=10)
        old = logd.lines(2, limit=1, path=rotated)
        check(len(new) == 3 and all("after" in l for l in new), "new records in the new file")
        check(len(old) == 2 and all("before" in l for l in old), "old file keeps the old ones")
        check(logd.proc.poll() is None, "the server goes on after SIGHUP")
    finally:
        check(logd.stop() == 0, "server ends cleanly after a rotation")


def output_mode(workdir, env):
    """Started from a shell with umask 022, the server makes its output 0640 (its records hold
    computed signatures); after a rename and SIGHUP the new file is 0640 too; an output that
    exists keeps its mode."""
    def loose_umask():
        os.umask(0o022)

    def mode(path):
        return stat.S_IMODE(os.stat(path).st_mode) if os.path.exists(path) else None

    logd = LogServer(workdir, env, name="mode", preexec_fn=loose_umask)
    try:
        run_client(env, "burst", "1", "mode")
        check(len(logd.lines(1, limit=10)) == 1, "a record in the new output")
        check(mode(logd.output) == 0o640, "a new output is 0640: %r" % mode(logd.output))
        os.rename(logd.output, logd.output + ".1")
        logd.proc.send_signal(signal.SIGHUP)
        deadline = time.time() + 10
        while not os.path.exists(logd.output) and time.time() < deadline:
            time.sleep(0.02)
        check(mode(logd.output) == 0o640, "reopened after SIGHUP: 0640: %r" % mode(logd.output))
    finally:
        check(logd.stop() == 0, "server ends cleanly after the mode checks")
    kept = os.path.join(workdir, "out-kept.jsonl")
    with open(kept, "wb"):
        pass
    os.chmod(kept, 0o644)
    logd = LogServer(workdir, env, name="kept", preexec_fn=loose_umask)
    try:
        check(mode(kept) == 0o644, "an existing output keeps its mode: %r" % mode(kept))
    finally:
        logd.stop()


def run_logd(env, *args):
    """vendrel-logd run to its end with args: exit status, standard output, standard error."""
    proc = subprocess.run(command(ARGS.logd, *args), env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), \
        proc.stderr.decode("utf-8", "replace")


def usage_answers(workdir, env):
    """--help and --version answer on standard output with exit 0; a usage error gives the
    usage on standard error and exit 2, serves nothing and creates no file."""
    rc, out, err = run_logd(env, "--help")
    check(rc == 0 and out.startswith("usage: vendrel-logd ") and err == "",
          "--help: %r %r %r" % (rc, out[:80], err[:200]))
    for option in ("--max-size MB", "--keep N", "--install-service", "--remove-service",
                   "--version"):
        check(option in out, "--help names %s" % option)
    rc, out, err = run_logd(env, "--version")
    check(rc == 0 and out == "vendrel-logd %s\n" % ARGS.version_string and err == "",
          "--version: %r %r %r" % (rc, out, err[:200]))
    rc, out, err = run_logd(env, "--output", host_path(os.path.join(workdir, "h.log")), "--help")
    check(rc == 0 and out.startswith("usage:"), "--help after other options: %r" % rc)

    never = os.path.join(workdir, "never.log")
    bad = [
        (["--bogus"], "unknown option: --bogus"),
        (["--format", "xml"], "'xml'"),
        (["--output", host_path(never), "--max-size", "0"], "'0'"),
        (["--output", host_path(never), "--max-size", "1048577"], "'1048577'"),
        (["--output", host_path(never), "--max-size", "ten"], "'ten'"),
        (["--output", host_path(never), "--max-size", "5", "--keep", "0"], "'0'"),
        (["--output", host_path(never), "--max-size", "5", "--keep", "x"], "'x'"),
        (["--output", host_path(never), "--keep", "3"], "--keep needs --max-size"),
        (["--max-size", "5"], "--max-size needs --output"),
        (["--pipe"], "--pipe needs a value"),
    ]
    if not ARGS.wine:
        bad += [(["--install-service", "--output", host_path(never)],
                 "--install-service registers a Windows service"),
                (["--remove-service"], "--remove-service registers a Windows service")]
    else:
        bad += [(["--install-service"], "a service needs --output FILE"),
                (["--remove-service", "--format", "jsonl"], "takes no other options")]
    for args, named in bad:
        rc, out, err = run_logd(env, *args)
        check(rc == 2 and out == "" and err.startswith("vendrel-logd: ") and named in err,
              "%r: exit %r, stdout %r, stderr %r" % (args, rc, out[:80], err[:200]))
        check("usage: vendrel-logd" in err, "%r: the usage follows the message" % args)
    check(not os.path.exists(never), "a usage error creates no output file")
    if not ARGS.wine:
        check(not os.path.exists(os.path.join(workdir, "pipes", "Log_ServerNamePipe")),
              "a usage error makes no socket")


def text_lines(data):
    """Lines as anything that shows text sees them: every Unicode line boundary splits."""
    return data.decode("utf-8").splitlines()


def text_controls(workdir, env):
    """Whatever a record holds (C0, DEL, C1, U+2028/9, lone surrogates, units cut short), the
    text form shows one line a record with nothing a terminal obeys, and jsonl one object a
    line that a JSON reader gives back whole."""
    for fmt in ("text", "jsonl"):
        logd = LogServer(workdir, env, fmt=fmt, name="controls-" + fmt)
        try:
            rc, out = run_client(env, "controls")
            check(rc == 0, "%s: the controls client delivered" % fmt)
            want = int(out.split()[-1]) if out.startswith("lines ") else -1
            check(want == 9, "%s: the controls client said %r" % (fmt, out))
            deadline = time.time() + 20
            while time.time() < deadline and len(open(logd.output, "rb").read().split(b"\n")) \
                    <= want:
                time.sleep(0.05)
            time.sleep(0.3)  # nothing more comes
            data = open(logd.output, "rb").read()
            check(data.count(b"\n") == want, "%s: %d line feeds for %d records"
                  % (fmt, data.count(b"\n"), want))
            lines = text_lines(data)
            check(len(lines) == want, "%s: %d lines as a viewer splits them: %r"
                  % (fmt, len(lines), lines))
            for line in lines:
                bad = [c for c in line if ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f
                       or c in "\u2028\u2029"]
                check(not bad, "%s: controls left in %r" % (fmt, line))
            if fmt == "text":
                joined = "\n".join(lines)
                for escaped in ("\\x01\\x1b[31m\\x1f", "a\\r\\nb\\nc\\r", "del\\x7f",
                                "c1\\u0080\\u0085\\u009b31m\\u009f", "l\\u2028p\\u2029",
                                "s\ufffdx\ufffd\ufffd"):
                    check(joined.count(escaped) >= 2, "text: %r shown escaped in the record's "
                          "fields" % escaped)
                check(sum(1 for l in lines if l.startswith("error: ")) == 3,
                      "text: the 3 broken records are error lines")
            else:
                objects = [json.loads(l) for l in lines]
                messages = [o.get("message") for o in objects if "message" in o]
                check("c1\x80\x85\x9b31m\x9f" in messages and "l\u2028p\u2029" in messages,
                      "jsonl: the characters come back whole to a JSON reader: %r" % messages)
                check(sum(1 for o in objects if "error" in o) == 3, "jsonl: 3 error lines")
        finally:
            check(logd.stop() == 0 or ARGS.wine, "%s: the server ends cleanly" % fmt)


def fill_lines(path):
    """The lines of one output file, each checked to be whole JSON."""
    if not os.path.exists(path):
        return []
    out = []
    data = open(path, "rb").read()
    check(data == b"" or data.endswith(b"\n"), "%s ends with a whole line" % path)
    for line in data.split(b"\n")[:-1]:
        try:
            out.append(json.loads(line))
        except ValueError:
            check(False, "%s: a cut line %r" % (path, line[:80]))
    return out


def size_rotation(workdir, env):
    """--max-size 1 --keep 3: the output becomes .1, .1 becomes .2 and so on; exactly 3
    generations and the live file, each at most 1 MiB, every record once and whole, in order
    across them; once more is written the oldest go. Natively a SIGHUP in between changes
    none of it."""
    limit, keep, units = 1024 * 1024, 3, 3000
    logd = LogServer(workdir, env, name="size", extra=("--max-size", "1", "--keep", str(keep)))
    generations = [logd.output + ".%d" % n for n in range(keep, 0, -1)] + [logd.output]

    def everything(count):
        deadline = time.time() + 120
        while True:
            records = [r for path in generations for r in fill_lines(path)]
            if len(records) >= count or time.time() > deadline:
                return records
            time.sleep(0.2)

    def message(tag, i):
        text = "%s %d " % (tag, i)
        return text + "f" * (units - len(text))

    try:
        # 1,200 records of about 3.1 KB fill 3 generations and part of the live file.
        rc, _ = run_client(env, "fill", "1200", str(units), "A")
        check(rc == 0, "the fill client delivered")
        records = everything(1200)
        check(len(records) == 1200, "every record kept: %d of 1200" % len(records))
        check([r.get("line") for r in records] == list(range(1200)), "records in order")
        check(all(r.get("message") == message("A", r.get("line")) for r in records),
              "every record whole")
        for path in generations:
            check(os.path.exists(path) and 0 < os.path.getsize(path) <= limit,
                  "%s exists within the limit" % os.path.basename(path))
        check(not os.path.exists(logd.output + ".%d" % (keep + 1)), "no generation beyond 3")
        if not ARGS.wine:
            logd.proc.send_signal(signal.SIGHUP)
            time.sleep(0.3)
        rc, _ = run_client(env, "fill", "900", str(units), "B")
        check(rc == 0, "the second fill client delivered")
        deadline = time.time() + 120
        while time.time() < deadline:
            last = fill_lines(logd.output)
            if last and last[-1].get("message") == message("B", 899):
                break
            time.sleep(0.2)
        records = [r for path in generations for r in fill_lines(path)]
        tags = [(r.get("message", "").split(" ")[0], r.get("line")) for r in records]
        want = [("A", i) for i in range(1200)] + [("B", i) for i in range(900)]
        check(len(tags) < len(want) and tags == want[len(want) - len(tags):],
              "the newest records kept, in order, the oldest dropped: %d kept" % len(tags))
        check(all(r.get("message") == message(*t) for r, t in zip(records, tags)),
              "every kept record whole")
        for path in generations:
            check(os.path.exists(path) and os.path.getsize(path) <= limit,
                  "%s within the limit after more" % os.path.basename(path))
        names = sorted(n for n in os.listdir(workdir) if n.startswith("out-size"))
        check(names == sorted(os.path.basename(p) for p in generations),
              "exactly the live file and 3 generations: %r" % names)
        check(logd.proc.poll() is None, "the server goes on after rotating")
    finally:
        check(logd.stop() == 0 or ARGS.wine, "server ends cleanly after size rotation")


class HeldClients:
    """trace_client hold: n pipe connections kept open by one Windows process."""

    def __init__(self, env, count, half=False):
        args = ["hold", str(count)] + (["half"] if half else [])
        self.started = time.time()
        self.proc = subprocess.Popen(command(ARGS.client, *args), env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.answer = self.proc.stdout.readline().decode("ascii", "replace").strip()
        self.held_at = time.time()

    def ask(self, line):
        self.proc.stdin.write((line + "\n").encode("ascii"))
        self.proc.stdin.flush()
        return self.proc.stdout.readline().decode("ascii", "replace").strip()

    def closed(self):
        """How many of the connections the server has closed."""
        answer = self.ask("probe").split()
        return int(answer[1]) if len(answer) == 4 and answer[0] == "closed" else -1

    def end(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def silent_pipe_clients(workdir, env):
    """Windows: 60 pipe clients connected and silent do not hold back a request's 20 records,
    and are closed after 10 s; a half record among them is then written as an error line."""
    logd = LogServer(workdir, env, name="silent")
    held = None
    try:
        held = HeldClients(env, 60, half=True)
        check(held.answer == "held 60", "60 silent clients connected: %r" % held.answer)
        start = time.time()
        rc, _ = run_client(env, "burst", "20", "req")
        ended = time.time()
        lines = logd.lines(20, limit=10)
        check(rc == 0, "the request's client delivered with 60 silent clients connected")
        check(len(lines) == 20, "20 records with 60 silent clients: %d" % len(lines))
        check([json.loads(l).get("line") for l in lines] == list(range(20)),
              "the request's records in order")
        check(time.time() - ended < 1.0, "the records were written when their client ended "
              "(%.2f s later)" % (time.time() - ended))
        check(ended - start < 5.0, "the request's client took %.2f s" % (ended - start))
        early = held.closed()
        check(early == 0 or time.time() - held.held_at >= 9.5,
              "no silent client closed before 10 s: %d" % early)
        closed = 0
        while time.time() - held.held_at < 15:
            closed = held.closed()
            if closed == 60:
                break
            time.sleep(0.25)
        waited = time.time() - held.held_at
        check(closed == 60, "silent clients closed after 10 s: %d of 60" % closed)
        check(waited >= 9.5, "closed only after 10 s of silence (%.1f s)" % waited)
        tail = [json.loads(l) for l in logd.lines(21, limit=5)[20:]]
        check(len(tail) == 1 and "error" in tail[0] and
              "\thalf\t5\tnever ended" in tail[0].get("raw", ""),
              "the silent client's half record is an error line: %r" % tail)
        check(logd.proc.poll() is None, "the server goes on after closing silent clients")
    finally:
        if held:
            held.end()
        logd.stop()


def connection_cap(workdir, env):
    """Windows: with 1,000 connections held, the next client finds every instance busy and
    waits; one closed connection lets it in, and its record is written."""
    logd = LogServer(workdir, env, name="cap")
    held = None
    waiting = None
    try:
        held = HeldClients(env, 1000)
        check(held.answer == "held 1000", "1,000 clients connected: %r" % held.answer)
        took = held.held_at - held.started
        _, tried = run_client(env, "try")
        check(tried.strip() == "busy", "the 1,001st finds every instance busy: %r" % tried)
        waiting = subprocess.Popen(command(ARGS.client, "burst", "1", "waited"), env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        time.sleep(2)
        check(logd.lines(1, limit=0) == [], "the waiting client is not served beyond the cap")
        check(time.time() - held.held_at < 9, "the cap was seen before any idle close")
        check(held.ask("close 1") == "ok", "one held connection closed")
        check(waiting.wait(timeout=60) == 0, "the waiting client delivered")
        lines = logd.lines(1, limit=10)
        check(len(lines) == 1 and json.loads(lines[0]).get("message", "").endswith("waited 0"),
              "the waiting client's record once a connection closed: %r" % lines)
        check(logd.proc.poll() is None, "the server goes on at its cap")
        print("1,000 connections held in %.1f s" % took)
    finally:
        if waiting and waiting.poll() is None:
            waiting.kill()
        if held:
            held.end()
        logd.stop()


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

    # 4. Silent, hostile and starved clients, access to the socket, and log rotation.
    if ARGS.wine:
        silent_pipe_clients(workdir, env)
        connection_cap(workdir, env)
    if not ARGS.wine:
        silent_clients(workdir, env, pipe_dir)
        descriptor_shortage(workdir, env, pipe_dir)
        hostile_bytes(workdir, env, pipe_dir)
        socket_access(workdir, env, pipe_dir)
        log_rotation(workdir, env)
        output_mode(workdir, env)

    # 4b. Windows: --group opens the pipe to a group's writers; an unknown one stops the start.
    if ARGS.wine:
        grouped = LogServer(workdir, env, name="group", extra=("--group", "Users"))
        try:
            run_client(env, "burst", "1", "grouped")
            check(len(grouped.lines(1, limit=30)) == 1, "served with --group Users")
        finally:
            grouped.stop()
        bad = subprocess.run(command(ARGS.logd, "--group", "no-such-group-vendrel"), env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, timeout=60)
        check(bad.returncode != 0, "an unknown group fails at start")
        check(b"unknown group no-such-group-vendrel" in bad.stderr,
              "an unknown group is named: %r" % bad.stderr[-200:])

    # 5. The text form: one readable line a record, control characters escaped.
    if not ARGS.wine:
        text = LogServer(workdir, env, "text")
        try:
            run_client(env, "burst", "1", "tab\there")
            lines = text.lines(1)
            check(len(lines) == 1 and lines[0].endswith("]tab\\there 0"),
                  "text line: %r" % (lines[:1],))
        finally:
            text.stop()

    # 6. Every control escaped, rotation by size, and the answers of the command line.
    text_controls(workdir, env)
    size_rotation(workdir, env)
    usage_answers(workdir, env)

    total = 1
    print("%d passed, %d failed" % (0 if FAILURES else total, 1 if FAILURES else 0))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
