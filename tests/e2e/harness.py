"""Drives the real executables of one build as a web server would.

Each test gets an installation of its own (home directory, TEMP, quarantine folder, server.ini,
cgi/bin with the program and its libraries) and a running vendrel-logd writing jsonl, whose
records the test reads back. The same cases run against the native build and, under Wine,
against the Windows build: set VENDREL_BUILD_DIR (and VENDREL_WINE for the Windows build).
"""

import functools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from logd import LogdProcess, wine_command, wine_path  # noqa: E402
import requirements  # noqa: E402

BUILD_DIR = os.environ.get("VENDREL_BUILD_DIR", "")
WINE = os.environ.get("VENDREL_WINE", "")
IS_WINDOWS = bool(WINE)
BIN_DIR = os.path.join(BUILD_DIR, "bin")
SEP = "\\" if IS_WINDOWS else "/"
EXE = ".exe" if IS_WINDOWS else ""

if IS_WINDOWS:
    PROGRAM_FILES = ["vendrel.exe", "Kelsio.dll", "pelix32.dll", "libstdc++-6.dll",
                     "libgcc_s_seh-1.dll", "libwinpthread-1.dll"]
else:
    PROGRAM_FILES = ["vendrel", "libKelsio.so", "libpelix32.so"]
ENGINE_FILE = "pelix32.dll" if IS_WINDOWS else "libpelix32.so"
# The ANSI code page of the Wine prefix (the Windows build's charset is its name); natively the
# program's texts are UTF-8 bytes.
ANSI_CODEPAGE = "cp1252" if IS_WINDOWS else None

STRICT = requirements.STRICT
SYSTEM_PROGRAM_DIRS = requirements.SYSTEM_PROGRAM_DIRS
find_tool = requirements.find_tool


def cannot_run(reason):
    """Ends a test that lacks what it needs: a skip, or in strict mode a failure with the
    reason. Call it from setUp or the test itself."""
    if STRICT:
        raise unittest.TestCase.failureException("cannot run in strict mode: " + reason)
    raise unittest.SkipTest(reason)


def tool(name):
    """The full path of a program the test needs; the test cannot run without it."""
    path = find_tool(name)
    if path is None:
        cannot_run("needs %s (not on PATH, nor in %s)" % (name, ", ".join(SYSTEM_PROGRAM_DIRS)))
    return path


def needs(*tools, files=()):
    """Class decorator: every test of the class needs these programs and files, and is
    ended by cannot_run, before its setUp, when one is missing."""
    def decorate(cls):
        if cls is None:
            return None
        set_up = cls.setUp

        @functools.wraps(set_up)
        def checked_set_up(self):
            for name in tools:
                tool(name)
            for path in files:
                if not os.path.exists(path):
                    cannot_run("needs %s" % path)
            set_up(self)

        cls.setUp = checked_set_up
        return cls
    return decorate


def _only_on(applies):
    def decorate(item):
        # A test of the other build is not registered at all: a class or method bound to None
        # is not collected by the test loader.
        return item if applies else None
    return decorate


def posix_only(why):
    """Decorator for a test class or method that exists only in the native build, because of
    why (a POSIX file kind, signal or socket); the Windows build does not register it."""
    return _only_on(not IS_WINDOWS)


def windows_only(why):
    """Decorator for a test class or method that exists only in the Windows build."""
    return _only_on(IS_WINDOWS)


def root_command(argv):
    """argv raised to root the way the test command raises the package installation: as it is
    when the tests run as root, through sudo (without a password prompt) otherwise. The test
    cannot run when neither works."""
    prefix, reason = requirements.root_prefix()
    if prefix is None:
        cannot_run("%s %s" % (os.path.basename(argv[0]), reason))
    return prefix + list(argv)


def argument_for_bytes(text):
    """The command-line argument that a program of this build reads as these bytes: natively
    the bytes themselves; under Wine the text whose ANSI form they are, since Wine hands a
    Windows program its arguments in the ANSI code page. None when a byte has no character in
    that code page."""
    if not IS_WINDOWS:
        return os.fsdecode(text)
    try:
        return text.decode(ANSI_CODEPAGE)
    except UnicodeDecodeError:
        return None


def unix_name_bytes(text):
    """The bytes of the file name on the Unix side for a name the program wrote as these ANSI
    bytes: the same bytes natively, their UTF-8 form under Wine."""
    return text.decode(ANSI_CODEPAGE).encode("utf-8") if IS_WINDOWS else text


def wine_env():
    env = {}
    if IS_WINDOWS:
        env["WINEPREFIX"] = os.environ.get("WINEPREFIX", os.path.join(BUILD_DIR, "wineprefix"))
        env["WINEDEBUG"] = "-all"
    return env


def command(exe_path, *args):
    """The command line that runs one of the build's executables."""
    return wine_command(WINE, exe_path, *args)


def host_path(path):
    """A path as the program sees it."""
    return wine_path(WINE, path)


def place(src, dst):
    try:
        os.link(src, dst)
    except OSError:
        shutil.copy2(src, dst)


class LogServer(LogdProcess):
    """A vendrel-logd on a pipe of its own (natively: a pipe directory of its own)."""

    def __init__(self, workdir):
        self.output = os.path.join(workdir, "trace.jsonl")
        self.pipe_dir = os.path.join(workdir, "pipes")
        os.makedirs(self.pipe_dir, exist_ok=True)
        env = dict(os.environ, **wine_env(), VENDREL_PIPE_DIR=self.pipe_dir)
        logd = os.path.join(BIN_DIR, "vendrel-logd" + EXE)
        self.start(command(logd, "--format", "jsonl", "--output", host_path(self.output)), env,
                   os.path.join(workdir, "logd.stderr"))

    def offset(self):
        return os.path.getsize(self.output) if os.path.exists(self.output) else 0

    # Under Wine a record's serving thread may be scheduled late on a busy machine.
    SETTLE_SECONDS = 0.6 if IS_WINDOWS else 0.25

    def records(self, start=0, settle=None, limit=10.0):
        """Records written after byte offset start, once the output has stopped growing."""
        settle = self.SETTLE_SECONDS if settle is None else settle
        deadline = time.time() + limit
        last = -1
        stable_since = time.time()
        while time.time() < deadline:
            size = self.offset()
            if size != last:
                last = size
                stable_since = time.time()
            elif time.time() - stable_since >= settle:
                break
            time.sleep(0.02)
        if not os.path.exists(self.output):
            return []
        with open(self.output, "rb") as f:
            f.seek(start)
            data = f.read()
        return [json.loads(line) for line in data.decode("utf-8").splitlines() if line.strip()]


class Installation:
    """A home directory laid out as the program is installed."""

    def __init__(self, root, engine=True, settings=None):
        self.home = os.path.join(root, "home")
        self.temp = os.path.join(self.home, "TEMP")
        self.virus = os.path.join(self.home, "Virus")
        self.bin = os.path.join(self.home, "cgi", "bin")
        for d in (self.temp, self.virus, self.bin):
            os.makedirs(d, exist_ok=True)
        for name in PROGRAM_FILES:
            if name == ENGINE_FILE and not engine:
                continue
            place(os.path.join(BIN_DIR, name), os.path.join(self.bin, name))
        self.write_settings(settings or {})

    def write_settings(self, settings):
        values = {"Quarantine_Folder": host_path(self.virus)}
        values.update(settings)
        lines = ["[INI_SERVER_SECTION]"]
        lines += ["%s=%s" % (k, v) for k, v in values.items() if v is not None]
        with open(os.path.join(self.home, "server.ini"), "w") as f:
            f.write("\r\n".join(lines) + "\r\n")

    def upload(self, content, name=None):
        """A file in the upload directory, as the web server's upload left it."""
        path = os.path.join(self.temp, name or ("upload_" + uuid.uuid4().hex[:12]))
        with open(path, "wb") as f:
            f.write(content)
        return path

    def quarantined(self):
        return sorted(n for n in os.listdir(self.virus) if n != ".store")

    def store_value(self):
        path = os.path.join(self.virus, ".store")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            data = f.read()
        return int.from_bytes(data, "little", signed=True) if len(data) == 8 else data


def sign(path, computer):
    """The upload signature an endpoint sends, from vendrel-sign."""
    tool = os.path.join(BIN_DIR, "vendrel-sign" + EXE)
    out = subprocess.run(command(tool, host_path(path), computer), env=dict(os.environ, **wine_env()),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True, timeout=60)
    return out.stdout.decode("ascii").strip()


def forge(text):
    """The signature of a signed text that no file backs (the computer name alone, say)."""
    tool = os.path.join(BIN_DIR, "forge-signature" + EXE)
    out = subprocess.run(command(tool, text), env=dict(os.environ, **wine_env()),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True, timeout=60)
    return out.stdout.decode("ascii").strip()


def urlencode(pairs):
    from urllib.parse import quote_plus
    return "&".join(quote_plus(k, safe="") + "=" + quote_plus(v, safe="") for k, v in pairs)


def multipart(fields, boundary="----vendrel" + "7d9a3f"):
    """fields: (name, value) or (name, (filename, bytes))."""
    parts = []
    for name, value in fields:
        if isinstance(value, tuple):
            filename, data = value
            head = ('Content-Disposition: form-data; name="%s"; filename="%s"\r\n'
                    "Content-Type: application/octet-stream\r\n\r\n" % (name, filename))
            parts.append(b"--" + boundary.encode() + b"\r\n" + head.encode() + data + b"\r\n")
        else:
            head = 'Content-Disposition: form-data; name="%s"\r\n\r\n' % name
            parts.append(b"--" + boundary.encode() + b"\r\n" + head.encode() +
                         value.encode("latin-1") + b"\r\n")
    body = b"".join(parts) + b"--" + boundary.encode() + b"--\r\n"
    return body, "multipart/form-data; boundary=" + boundary


class CgiResult:
    def __init__(self, stdout, records):
        self.stdout = stdout
        self.records = records

    def body(self):
        head, sep, rest = self.stdout.partition(b"\r\n\r\n")
        return rest if sep else None

    def messages(self):
        """(level, line, text after the two-bracket prefix) of every record."""
        out = []
        for r in self.records:
            msg = r["message"]
            # "[Vendrel][vendrel.exe]text": drop the two leading brackets.
            for _ in range(2):
                if msg.startswith("["):
                    msg = msg[msg.index("]") + 1:]
            out.append((r["level"], r["line"], msg))
        return out


class E2ETestCase(unittest.TestCase):
    """One installation and one log server per test."""

    engine = True

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="vendrel-e2e-")
        self.inst = Installation(self.workdir, engine=self.engine)
        self.logd = LogServer(self.workdir)

    def tearDown(self):
        self.logd.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def signed_vars(self, content=b"infected payload\n", computer="PC7", size=None, name=None):
        """An upload of content and the form fields that file it, signed for computer."""
        path = self.inst.upload(content, name=name)
        verify = sign(path, computer)
        return path, [("TempFileName", host_path(path)),
                      ("NewFileSize", str(len(content) if size is None else size)),
                      ("ComputerName", computer), ("Verify", verify)]

    def assertFiledAlone(self, content):
        """The quarantine folder holds one file, with this content; answers its name."""
        filed = self.inst.quarantined()
        self.assertEqual(len(filed), 1)
        with open(os.path.join(self.inst.virus, filed[0]), "rb") as f:
            self.assertEqual(f.read(), content)
        return filed[0]

    def run_cgi(self, method="POST", query="", body=b"", content_type=None, extra_env=None,
                content_length=None, args=()):
        """Runs the program as a web server would; args are command-line words, which some
        web servers pass (the words of a query without "=")."""
        env = dict(os.environ, **wine_env())
        env.update({
            "GATEWAY_INTERFACE": "CGI/1.1",
            "SERVER_PROTOCOL": "HTTP/1.1",
            "SERVER_SOFTWARE": "vendrel-e2e",
            "REQUEST_METHOD": method,
            "QUERY_STRING": query,
            "SCRIPT_NAME": "/cgi/bin/vendrel",
            "REMOTE_ADDR": "127.0.0.1",
            "KELSIO_HOME": host_path(self.inst.home),
            "VENDREL_PIPE_DIR": self.logd.pipe_dir,
        })
        for k in ("CONTENT_TYPE", "CONTENT_LENGTH"):
            env.pop(k, None)
        if content_type is not None:
            env["CONTENT_TYPE"] = content_type
        if method == "POST":
            env["CONTENT_LENGTH"] = str(len(body) if content_length is None else content_length)
        if extra_env:
            env.update(extra_env)
        start = self.logd.offset()
        exe = os.path.join(self.inst.bin, "vendrel" + EXE)
        proc = subprocess.run(command(exe, *args), input=body, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120, cwd=self.inst.bin)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return CgiResult(proc.stdout, self.logd.records(start))

    def post_vars(self, pairs, **kw):
        return self.run_cgi(body=urlencode(pairs).encode("latin-1"),
                            content_type="application/x-www-form-urlencoded", **kw)
