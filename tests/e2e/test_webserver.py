"""The program behind real web servers, driven by curl as an endpoint drives it.

One list of cases, run through lighttpd (the demo's configuration, both builds), and natively
through Apache with mod_cgid and nginx with fcgiwrap, each with the configuration the Debian
package ships, pointed at a test installation.
"""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E2ETestCase, sign  # noqa: E402
import webserver  # noqa: E402
from webserver import WebServer  # noqa: E402


class Cases:
    """What every web server must give an endpoint; self.web is the running server."""

    def start_server(self):
        raise NotImplementedError

    def setUp(self):
        super().setUp()
        self.web = self.start_server()

    def tearDown(self):
        self.web.stop()
        super().tearDown()

    def curl(self, *fields):
        args = [harness.tool("curl"), "-sS", "--max-time", "60"]
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
        self.assertFiledAlone(content)
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
        out = subprocess.run([harness.tool("curl"), "-sS", "-i", "--max-time", "60", self.web.url],
                             stdout=subprocess.PIPE, check=True).stdout
        head, _, body = out.partition(b"\r\n\r\n")
        self.assertIn(b"200", head.split(b"\r\n")[0])
        self.assertIn(b"Pragma: no-cache", head)
        self.assertEqual(body, b"")

    def test_each_request_is_traced_to_the_log_server(self):
        start = self.logd.offset()
        self.curl("ComputerName=PC7")
        messages = [r["message"] for r in self.logd.records(start)]
        self.assertTrue(any("cgiGetVars error" in m for m in messages), messages)


@harness.needs("lighttpd", "curl")
class UnderLighttpd(Cases, E2ETestCase):
    def start_server(self):
        return WebServer(self.workdir, self.inst, self.logd.pipe_dir)


class UnderDebianServer(Cases):
    """A server that runs the program as its own user when the tests run as root: the
    installation and a log server are handed to that user first."""

    def setUp(self):
        E2ETestCase.setUp(self)
        user = webserver.SERVER_USER
        self.logd.stop()
        try:
            self.logd = webserver.LogServerAs(self.workdir, user)
            webserver.hand_over(self.workdir, self.inst, user)
            self.web = self.start_server()
        except BaseException:
            # tearDown does not run after a failed setUp: nothing started may outlive the test.
            self.logd.stop()
            shutil.rmtree(self.workdir, ignore_errors=True)
            raise

    def test_program_runs_as_the_servers_user(self):
        # As root the server hands the request to www-data; run by a user, it runs the program
        # as that user. Either way the filed upload belongs to the server's account.
        import pwd
        path = self.sample(os.urandom(512))
        body = self.curl("TempFileName=@" + path, "NewFileSize=512", "ComputerName=PC7",
                         "Verify=" + sign(path, "PC7"))
        self.assertEqual(body, b"Vendrel_OK\r\r\n")
        filed = os.path.join(self.inst.virus, self.inst.quarantined()[0])
        self.assertEqual(pwd.getpwuid(os.stat(filed).st_uid).pw_name, webserver.SERVER_ACCOUNT)


@harness.posix_only("the Windows build runs under lighttpd only")
@harness.needs("apache2", "curl")
class UnderApache(UnderDebianServer, E2ETestCase):
    def start_server(self):
        return webserver.Apache(self.workdir, self.inst, self.logd.pipe_dir)


@harness.posix_only("the Windows build runs under lighttpd only")
@harness.needs("nginx", "fcgiwrap", "curl")
class UnderNginx(UnderDebianServer, E2ETestCase):
    def start_server(self):
        return webserver.Nginx(self.workdir, self.inst, self.logd.pipe_dir)


if __name__ == "__main__":
    unittest.main(verbosity=2)
