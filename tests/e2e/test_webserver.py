"""The program behind a real web server, driven by curl as an endpoint drives it."""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E2ETestCase, sign  # noqa: E402
from webserver import WebServer  # noqa: E402


@unittest.skipUnless(shutil.which("lighttpd") and shutil.which("curl"), "needs lighttpd and curl")
class UnderLighttpd(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.web = WebServer(self.workdir, self.inst, self.logd.pipe_dir)

    def tearDown(self):
        self.web.stop()
        super().tearDown()

    def curl(self, *fields):
        args = ["curl", "-sS", "--max-time", "60"]
        for f in fields:
            args += ["-F", f]
        return subprocess.run(args + [self.web.url], stdout=subprocess.PIPE, check=True).stdout

    def sample(self, content):
        path = os.path.join(self.workdir, "infected.bin")
        with open(path, "wb") as f:
            f.write(content)
        return path

    def test_signed_upload_is_ok_and_filed(self):
        content = os.urandom(4096)
        path = self.sample(content)
        verify = sign(path, "PC7")
        body = self.curl("TempFileName=@" + path, "NewFileSize=%d" % len(content),
                         "ComputerName=PC7", "Verify=" + verify)
        self.assertEqual(body, b"Vendrel_OK\r\r\n")
        filed = self.inst.quarantined()
        self.assertEqual(len(filed), 1)
        with open(os.path.join(self.inst.virus, filed[0]), "rb") as f:
            self.assertEqual(f.read(), content)
        self.assertEqual(os.listdir(self.inst.temp), [])

    def test_tampered_file_and_wrong_signature_are_failed_and_deleted(self):
        path = self.sample(b"original content")
        verify = sign(path, "PC7")
        tampered = self.sample(b"tampered content")
        body = self.curl("TempFileName=@" + tampered, "NewFileSize=16", "ComputerName=PC7",
                         "Verify=" + verify)
        self.assertEqual(body, b"Vendrel_FAILED\r\r\n")
        body = self.curl("TempFileName=@" + tampered, "NewFileSize=16", "ComputerName=PC7",
                         "Verify=" + "f" * 32)
        self.assertEqual(body, b"Vendrel_FAILED\r\r\n")
        self.assertEqual(self.inst.quarantined(), [])
        self.assertEqual(os.listdir(self.inst.temp), [])

    def test_request_without_variables_gets_an_empty_body(self):
        out = subprocess.run(["curl", "-sS", "-i", "--max-time", "60", self.web.url],
                             stdout=subprocess.PIPE, check=True).stdout
        head, _, body = out.partition(b"\r\n\r\n")
        self.assertIn(b"200", head.split(b"\r\n")[0])
        self.assertIn(b"Pragma: no-cache", head)
        self.assertEqual(body, b"")


if __name__ == "__main__":
    unittest.main(verbosity=2)
