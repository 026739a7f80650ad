"""What the native build promises of the disk, checked on the real program: the upload and its
new name reach the disk before "Vendrel_OK" is written (the order of the system calls, traced
with strace), and a move into a quarantine folder on another file system (a tmpfs mounted for
the test) never shows a partial file under a quarantined name, however the copy is cut off:
SIGTERM in the middle of it leaves no temporary file either, SIGKILL leaves only the hidden
temporary file (".<name>.~xxxxxx") that listings skip. Needs root (mount) and strace."""

import ctypes
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import host_path, sign  # noqa: E402
from system_cases import OK, Mount, SystemCase  # noqa: E402

TEMP_NAME = re.compile(r"^\..+\.~[a-z0-9]{6}$")
# The temporary file of the upload's copy, not that of a new ".store" ("..store.~xxxxxx").
COPY_NAME = re.compile(r"^\.PC7_\d+\.0\.~[a-z0-9]{6}$")
# Large enough that copying it onto the tmpfs takes a while after its temporary file appears.
LARGE = 48 * 1024 * 1024
ATTEMPTS = 5

IN_CREATE = 0x100
IN_NONBLOCK = 0o4000


class CreateWatch:
    """inotify on one directory: the names created in it, as soon as they are."""

    def __init__(self, directory):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(IN_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if self.libc.inotify_add_watch(self.fd, directory.encode(), IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")

    def wait_for(self, match, limit):
        deadline = time.time() + limit
        while time.time() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if not ready:
                continue
            data = os.read(self.fd, 65536)
            offset = 0
            while offset < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode()
                offset += 16 + length
                if match(name):
                    return name
        return None

    def close(self):
        os.close(self.fd)


def temp_names(directory):
    return [n for n in os.listdir(directory) if TEMP_NAME.match(n)]


class DurabilityCase(SystemCase):
    def multipart_upload(self, content, computer="PC7"):
        probe = os.path.join(self.workdir, "probe.bin")
        with open(probe, "wb") as f:
            f.write(content)
        verify = sign(probe, computer)
        os.remove(probe)
        return harness.multipart([("TempFileName", ("infected.bin", content)),
                                  ("NewFileSize", str(len(content))), ("ComputerName", computer),
                                  ("Verify", verify)])

    def cgi_env(self, body, ctype):
        env = dict(os.environ)
        env.update({"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST",
                    "QUERY_STRING": "", "CONTENT_TYPE": ctype,
                    "CONTENT_LENGTH": str(len(body)), "KELSIO_HOME": host_path(self.inst.home),
                    "VENDREL_PIPE_DIR": self.logd.pipe_dir})
        return env

    def traced_request(self, body, ctype):
        """Runs one request under strace; its answer and the traced calls, one a line."""
        if shutil.which("strace") is None:
            self.fail("strace is needed (scripts/setup.sh installs it)")
        log = os.path.join(self.workdir, "strace.log")
        exe = os.path.join(self.inst.bin, "vendrel")
        env = self.cgi_env(body, ctype)
        # A sanitized build's leak check cannot run under ptrace; every other run keeps it.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        proc = subprocess.run(["strace", "-f", "-y", "-s", "64", "-o", log, "-e",
                               "trace=fsync,fdatasync,write,renameat2,rename,linkat,link,"
                               "unlink,unlinkat", exe],
                              input=body, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120, cwd=self.inst.bin)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(log) as f:
            return proc.stdout, f.read().splitlines()

    def first(self, calls, pattern, after=-1):
        """Index of the first traced call after index `after` that matches pattern."""
        regex = re.compile(pattern)
        for i in range(after + 1, len(calls)):
            if regex.search(calls[i]):
                return i
        self.fail("no call matching %r after #%d in:\n%s" % (pattern, after, "\n".join(calls)))


class DurableBeforeOk(DurabilityCase):
    def test_upload_and_its_name_are_on_the_disk_before_the_token(self):
        content = os.urandom(200000)
        body, ctype = self.multipart_upload(content)
        out, calls = self.traced_request(body, ctype)
        self.assertEqual(out, OK)
        self.assertFiledOnce(content)
        temp = re.escape(self.inst.temp + "/")
        virus = re.escape(self.inst.virus)
        data = self.first(calls, r"^\d+\s+fsync\(\d+<%s[^>]*>" % temp)
        move = self.first(calls, r"renameat2\(.*%s.*%s/PC7_\d+\.0\", RENAME_NOREPLACE\) = 0"
                          % (temp, virus), data)
        name = self.first(calls, r"fsync\(\d+<%s>\) = 0" % virus, move)
        token = self.first(calls, r"^\d+\s+write\(1<[^>]*>, \"Vendrel_OK", name)
        self.assertLess(name, token)


class CrossFileSystem(DurabilityCase):
    def setUp(self):
        super().setUp()
        self.mount = Mount(os.path.join(self.workdir, "qmount"), "160m")
        self.folder = self.mount.path
        self.inst.write_settings({"Quarantine_Folder": host_path(self.folder)})

    def tearDown(self):
        self.mount.unmount()
        super().tearDown()

    def quarantined(self):
        return sorted(n for n in os.listdir(self.folder) if not n.startswith("."))

    def assertOnlyWholeFiles(self, content):
        for name in self.quarantined():
            with open(os.path.join(self.folder, name), "rb") as f:
                self.assertEqual(f.read(), content, "%s is not the whole upload" % name)

    def test_copy_is_flushed_under_its_hidden_name_before_it_gets_the_target_name(self):
        content = os.urandom(300000)
        body, ctype = self.multipart_upload(content)
        out, calls = self.traced_request(body, ctype)
        self.assertEqual(out, OK)
        self.assertEqual(len(self.quarantined()), 1)
        self.assertOnlyWholeFiles(content)
        self.assertEqual(temp_names(self.folder), [])
        self.assertEqual(os.listdir(self.inst.temp), [])
        folder = re.escape(self.folder)
        copy = self.first(calls, r"fsync\(\d+<%s/\.PC7_\d+\.0\.~[a-z0-9]{6}>\) = 0" % folder)
        link = self.first(calls,
                          r"link(at)?\(.*\"%s/\.PC7_\d+\.0\.~[a-z0-9]{6}\".*\"%s/PC7_\d+\.0\""
                          % (folder, folder), copy)
        name = self.first(calls, r"fsync\(\d+<%s>\) = 0" % folder, link)
        gone = self.first(calls, r"unlink(at)?\(.*%s/upload_" % re.escape(self.inst.temp), name)
        self.first(calls, r"^\d+\s+write\(1<[^>]*>, \"Vendrel_OK", gone)

    def cut_off(self, sig, content, body, ctype):
        """Starts a request, sends sig as soon as its copy's temporary file appears; answers
        whether the signal landed in the middle of the copy."""
        watch = CreateWatch(self.folder)
        exe = os.path.join(self.inst.bin, "vendrel")
        proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=self.cgi_env(body, ctype),
                                cwd=self.inst.bin)

        def feed():
            try:
                proc.stdin.write(body)
                proc.stdin.close()
            except OSError:
                pass

        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        try:
            temp = watch.wait_for(COPY_NAME.match, 60)
            self.assertIsNotNone(temp, "the copy's temporary file never appeared")
            proc.send_signal(sig)
            try:
                size = os.path.getsize(os.path.join(self.folder, temp))
            except OSError:
                size = -1
            self.assertEqual(proc.wait(timeout=60), -sig, "ended by the signal itself")
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            feeder.join(10)
            watch.close()
        return size < len(content) and not self.quarantined()

    def test_sigterm_during_the_copy_leaves_no_file_behind(self):
        content = os.urandom(LARGE)
        body, ctype = self.multipart_upload(content)
        for attempt in range(ATTEMPTS):
            mid_copy = self.cut_off(signal.SIGTERM, content, body, ctype)
            self.assertOnlyWholeFiles(content)
            self.assertEqual(temp_names(self.folder), [])
            # The CGI library's own handler ran after the copy's: its upload is gone too.
            self.assertEqual(os.listdir(self.inst.temp), [])
            if mid_copy:
                return
            for name in self.quarantined():
                os.remove(os.path.join(self.folder, name))
        self.fail("the signal never landed in the middle of the copy in %d attempts" % ATTEMPTS)

    def test_sigkill_during_the_copy_leaves_only_the_hidden_temporary_file(self):
        content = os.urandom(LARGE)
        body, ctype = self.multipart_upload(content)
        for attempt in range(ATTEMPTS):
            mid_copy = self.cut_off(signal.SIGKILL, content, body, ctype)
            self.assertOnlyWholeFiles(content)
            if mid_copy:
                temps = temp_names(self.folder)
                self.assertEqual(len(temps), 1, os.listdir(self.folder))
                self.assertTrue(temps[0].startswith(".PC7_"), temps[0])
                self.assertLess(os.path.getsize(os.path.join(self.folder, temps[0])), LARGE)
                # The next request lists the folder without it and files its own upload.
                small = b"after the killed copy"
                path, pairs = self.signed_vars(small)
                result = self.post_bytes(pairs)
                self.assertEqual(result.stdout, OK)
                with open(os.path.join(self.folder, self.quarantined()[0]), "rb") as f:
                    self.assertEqual(f.read(), small)
                return
            for name in self.quarantined() + temp_names(self.folder):
                os.remove(os.path.join(self.folder, name))
            for name in os.listdir(self.inst.temp):
                os.remove(os.path.join(self.inst.temp, name))
        self.fail("the signal never landed in the middle of the copy in %d attempts" % ATTEMPTS)


if __name__ == "__main__":
    unittest.main()
