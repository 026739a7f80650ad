"""What the load, fault and hostile-input suites share: signed requests with byte-exact
values, trace look-ups, a guard over every file outside the upload directory and the quarantine
folder, and small mounts for the file-system faults."""

import hashlib
import os
import subprocess
from urllib.parse import quote_plus

import harness
from harness import E2ETestCase

CHARSET = "windows-1252" if harness.IS_WINDOWS else "UTF-8"
HEADERS = ("Pragma: no-cache\r\nContent-type: text/html;charset=%s\r\n\r\n" % CHARSET).encode()
OK = HEADERS + b"Vendrel_OK\r\r\n"
FAILED = HEADERS + b"Vendrel_FAILED\r\r\n"
EMPTY = HEADERS


def as_bytes(value):
    return value if isinstance(value, bytes) else value.encode("latin-1")


def urlencode_bytes(pairs):
    """An urlencoded body whose values are the given bytes exactly (latin-1 for texts)."""
    return b"&".join(quote_plus(as_bytes(k), safe="").encode() + b"=" +
                     quote_plus(as_bytes(v), safe="").encode() for k, v in pairs)


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def snapshot(root, skip):
    """Every entry below root except those below the paths in skip: kind, size, content
    digest or link target, and modification time."""
    skip = [os.path.abspath(p) for p in skip]
    seen = {}
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        dirnames[:] = [d for d in dirnames
                       if os.path.abspath(os.path.join(dirpath, d)) not in skip]
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            if os.path.abspath(path) in skip:
                continue
            rel = os.path.relpath(path, root)
            st = os.lstat(path)
            if os.path.islink(path):
                seen[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                seen[rel] = ("dir",)
            else:
                seen[rel] = ("file", st.st_size, file_digest(path), st.st_mtime_ns)
    return seen


def messages(result):
    return [text for _, _, text in result.messages()]


def lines_of(result, marker):
    """Source lines of the records whose message holds marker."""
    return [r["line"] for r in result.records if marker in r["message"]]


class SystemCase(E2ETestCase):
    """One installation and log server per test, with signed requests and the checks that the
    program touched nothing it should not."""

    def post_bytes(self, pairs, **kw):
        return self.run_cgi(body=urlencode_bytes(pairs),
                            content_type="application/x-www-form-urlencoded", **kw)

    def handler_texts(self, result):
        return [t for t in messages(result) if t.startswith("[Vendrel] ")]

    def filed_contents(self):
        out = []
        for name in self.inst.quarantined():
            with open(os.path.join(self.inst.virus, name), "rb") as f:
                out.append(f.read())
        return out

    def assertFiledOnce(self, content):
        filed = self.filed_contents()
        self.assertEqual(filed.count(content), 1, "filed %d times" % filed.count(content))

    def outside_snapshot(self, also_skip=()):
        """Everything in the test's tree but the upload directory, the quarantine folder and
        the log server's own files."""
        return snapshot(self.workdir, [self.inst.temp, self.inst.virus, self.logd.pipe_dir,
                                       self.logd.output, self.logd.stderr_path] + list(also_skip))


class Mount:
    """A small tmpfs, mounted for one test, open to every user. Mounting needs root: run as a
    user, the mounts are raised through sudo as the test command raises the package test; a test
    that cannot mount cannot run (harness.cannot_run)."""

    def __init__(self, path, size="64k"):
        self.path = path
        os.makedirs(path, exist_ok=True)
        self.mounted = False
        self._run_as_root(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0777" % size,
                           "vendrel-test", path], "mount a tmpfs")
        self.mounted = True

    def _run_as_root(self, argv, what):
        argv = harness.root_command([harness.tool(argv[0])] + argv[1:])
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        if proc.returncode != 0:
            harness.cannot_run("cannot %s here: %s" % (
                what, proc.stdout.decode(errors="replace").strip()))

    def read_only(self):
        self._run_as_root(["mount", "-o", "remount,ro", self.path], "remount the tmpfs read-only")

    def unmount(self):
        if self.mounted:
            argv = harness.root_command([harness.tool("umount"), "-l", self.path])
            subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=60)
            self.mounted = False
