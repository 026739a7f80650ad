"""Upload files the program does not take: extra file parts, the upload of a request the program
turns away, the partial upload of a process killed while it reads its body, and the stale files
that killed processes left. Whatever the request, the upload directory ends empty (or as the
test left it), the admitted upload is filed as before and the handler's trace is unchanged."""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import host_path, sign  # noqa: E402
from system_cases import EMPTY, OK, SystemCase  # noqa: E402

SOURCE = ".\\Vendrel"


class CleanupCase(SystemCase):
    def trace_lines(self, result):
        return [(r["level"], r["line"]) for r, (_, _, text) in zip(result.records,
                                                                   result.messages())
                if r["source"] == SOURCE and text.startswith("[Vendrel] ")]

    def signed_parts(self, content, computer="PC7"):
        probe = self.inst.upload(content, name="probe.bin")
        verify = sign(probe, computer)
        os.remove(probe)
        return [("TempFileName", ("infected.bin", content)), ("NewFileSize", str(len(content))),
                ("ComputerName", computer), ("Verify", verify)]

    def post_multipart(self, fields):
        body, ctype = harness.multipart(fields)
        return self.run_cgi(body=body, content_type=ctype)

    def assertTempEmpty(self):
        self.assertEqual(os.listdir(self.inst.temp), [])


class ProgramDoesNotTake(CleanupCase):
    def test_extra_file_parts_go_and_the_upload_is_filed(self):
        content = b"the upload itself\x00\r\n"
        plain = self.post_multipart(self.signed_parts(content))
        self.assertEqual(plain.stdout, OK)
        self.assertTempEmpty()

        extra = [("Attachment", ("a.bin", b"A" * 70000)), ("Attachment", ("b.bin", b"")),
                 ("Note", "x")]
        fields = self.signed_parts(content)
        result = self.post_multipart(fields[:1] + extra[:1] + fields[1:] + extra[1:])
        self.assertEqual(result.stdout, OK)
        self.assertTempEmpty()
        filed = self.filed_contents()
        self.assertEqual(filed, [content, content])
        self.assertEqual(self.trace_lines(result), self.trace_lines(plain))

    def test_lone_file_part(self):
        body, ctype = harness.multipart([("TempFileName", ("infected.bin", b"lone"))])
        result = self.run_cgi(body=body, content_type=ctype)
        self.assertEqual(result.stdout, EMPTY)
        self.assertEqual(self.trace_lines(result), [(4, 58), (4, 67), (4, 71)])
        self.assertTempEmpty()
        self.assertEqual(self.inst.quarantined(), [])

    def test_rejected_computer_name(self):
        content = b"rejected computer"
        # The same request with the upload already in place, as a web server's upload leaves it.
        path = self.inst.upload(content)
        reference = self.post_bytes([("TempFileName", host_path(path)),
                                     ("NewFileSize", str(len(content))), ("ComputerName", "a/b"),
                                     ("Verify", sign(path, "a/b"))])
        self.assertNotEqual(reference.stdout, OK)
        # The handler turns the name away before it looks at the upload, and the library never
        # deletes a file it did not make.
        self.assertEqual(os.listdir(self.inst.temp), [os.path.basename(path)])
        os.remove(path)

        result = self.post_multipart(self.signed_parts(content, computer="a/b") +
                                     [("Extra", ("e.bin", b"extra"))])
        self.assertEqual(result.stdout, reference.stdout)
        self.assertEqual(self.trace_lines(result), self.trace_lines(reference))
        self.assertTempEmpty()
        self.assertEqual(self.inst.quarantined(), [])

    def test_refused_request_leaves_nothing(self):
        body, ctype = harness.multipart(self.signed_parts(b"cut short"))
        result = self.run_cgi(body=body[:-10], content_type=ctype, content_length=len(body))
        self.assertEqual(result.stdout, EMPTY)
        self.assertTempEmpty()


class StaleUploads(CleanupCase):
    def test_next_request_sweeps_stale_upload_files_only(self):
        old = time.time() - 2 * 3600
        stale = self.inst.upload(b"left by a killed process", name="upload_0123456789abcdef")
        fresh = self.inst.upload(b"another request's", name="upload_fedcba9876543210")
        others = [self.inst.upload(b"other", name=n)
                  for n in ("notes.txt", "upload_123", "upload_0123456789abcdefX")]
        for path in [stale] + others:
            os.utime(path, (old, old))
        content = b"the request that sweeps"
        result = self.post_multipart(self.signed_parts(content))
        self.assertEqual(result.stdout, OK)
        self.assertFalse(os.path.exists(stale))
        self.assertEqual(sorted(os.listdir(self.inst.temp)),
                         sorted(os.path.basename(p) for p in [fresh] + others))
        self.assertEqual(self.filed_contents(), [content])

    def test_setting_changes_what_is_stale(self):
        path = self.inst.upload(b"ten minutes old", name="upload_00000000000000aa")
        old = time.time() - 600
        os.utime(path, (old, old))
        self.inst.write_settings({"Upload_Stale_Minutes": "0"})
        self.run_cgi(method="GET")
        self.assertTrue(os.path.exists(path))
        self.inst.write_settings({"Upload_Stale_Minutes": "5"})
        self.run_cgi(method="GET")
        self.assertFalse(os.path.exists(path))


@harness.posix_only("POSIX signals")
class KilledWhileReading(CleanupCase):
    def start(self, body, ctype):
        env = dict(os.environ)
        env.update({"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST",
                    "QUERY_STRING": "", "CONTENT_TYPE": ctype,
                    "CONTENT_LENGTH": str(len(body)), "KELSIO_HOME": host_path(self.inst.home),
                    "VENDREL_PIPE_DIR": self.logd.pipe_dir})
        exe = os.path.join(self.inst.bin, "vendrel")
        return subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env, cwd=self.inst.bin)

    def wait_for_upload(self, proc):
        deadline = time.time() + 20
        while time.time() < deadline and proc.poll() is None:
            names = [n for n in os.listdir(self.inst.temp) if n.startswith("upload_")]
            if names and os.path.getsize(os.path.join(self.inst.temp, names[0])) > 0:
                return names[0]
            time.sleep(0.01)
        self.fail("no partial upload appeared")

    def test_end_signals_remove_the_partial_upload(self):
        bystander = self.inst.upload(b"not ours", name="upload_99")
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig):
                body, ctype = harness.multipart(
                    self.signed_parts(b"P" * (1024 * 1024)) + [("Extra", ("e", b"e" * 10))])
                proc = self.start(body, ctype)
                try:
                    proc.stdin.write(body[:len(body) // 2])
                    proc.stdin.flush()
                    self.wait_for_upload(proc)
                    proc.send_signal(sig)
                    self.assertEqual(proc.wait(timeout=20), -sig, "ended by the signal itself")
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                    proc.stdin.close()
                self.assertEqual(os.listdir(self.inst.temp), ["upload_99"])
        with open(bystander, "rb") as f:
            self.assertEqual(f.read(), b"not ours")


if __name__ == "__main__":
    unittest.main()
