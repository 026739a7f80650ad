"""The shipped endpoint-access configurations: only a client with a certificate of the
endpoints' CA, from the endpoints' network, reaches the program; everyone else is turned away
by the web server before the program runs."""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E2ETestCase, sign  # noqa: E402
import webserver  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SNIPPETS = os.path.join(HERE, "..", "..", "packaging", "security")
HAVE_LIGHTTPD_TLS = (shutil.which("lighttpd") and shutil.which("curl") and
                     shutil.which("openssl") and
                     os.path.exists("/usr/lib/lighttpd/mod_openssl.so"))
HAVE_APACHE_TLS = (shutil.which("apache2") and shutil.which("curl") and shutil.which("openssl") and
                   os.path.exists(os.path.join(webserver.APACHE_MODULES, "mod_ssl.so")))


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def make_certificates(tls_dir):
    """A CA for the endpoints, a server certificate for 127.0.0.1, one endpoint certificate of
    that CA and one of a stranger's CA."""
    os.makedirs(tls_dir)
    p = lambda name: os.path.join(tls_dir, name)  # noqa: E731
    for ca in ("endpoints-ca", "stranger-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=" + ca, "-keyout", p(ca + ".key"), "-out", p(ca + ".pem"))
    for name, ca, extra in (("server", "endpoints-ca", "subjectAltName=IP:127.0.0.1"),
                            ("endpoint", "endpoints-ca", "extendedKeyUsage=clientAuth"),
                            ("stranger", "stranger-ca", "extendedKeyUsage=clientAuth")):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                "-keyout", p(name + ".key"), "-out", p(name + ".csr"))
        ext = p(name + ".ext")
        with open(ext, "w") as f:
            f.write(extra + "\n")
        openssl("x509", "-req", "-in", p(name + ".csr"), "-CA", p(ca + ".pem"),
                "-CAkey", p(ca + ".key"), "-CAcreateserial", "-days", "2",
                "-extfile", ext, "-out", p(name + ".crt"))
    with open(p("server.pem"), "w") as out:
        for part in ("server.crt", "server.key"):
            with open(p(part)) as f:
                out.write(f.read())


class AccessCases:
    """The same cases through each server; start(endpoints) serves the program over TLS with
    the shipped snippet, endpoints being the allowed network."""

    def tearDown(self):
        if getattr(self, "web", None):
            self.web.stop()
        super().tearDown()

    def certificates(self):
        self.tls = os.path.join(self.workdir, "tls")
        if not os.path.isdir(self.tls):
            make_certificates(self.tls)
            os.chmod(self.workdir, 0o755)

    def snippet(self, name, endpoints, listen=""):
        with open(os.path.join(SNIPPETS, name)) as f:
            text = f.read()
        return (text.replace("@TLS_DIR@", self.tls).replace("@ENDPOINTS@", endpoints)
                    .replace("@LISTEN@", listen))

    def upload(self, cert=None):
        content = os.urandom(512)
        path = os.path.join(self.workdir, "infected.bin")
        with open(path, "wb") as f:
            f.write(content)
        # HTTP/1.1, as endpoints speak it: over HTTP/2 a refusal that comes before the whole
        # body was read may end the stream rather than show its status.
        args = ["curl", "-sS", "--http1.1", "--max-time", "60", "--cacert",
                os.path.join(self.tls, "endpoints-ca.pem"), "-o", "-", "-w", "\n%{http_code}"]
        if cert:
            args += ["--cert", os.path.join(self.tls, cert + ".crt"),
                     "--key", os.path.join(self.tls, cert + ".key")]
        for field in ("TempFileName=@" + path, "NewFileSize=%d" % len(content),
                      "ComputerName=PC7", "Verify=" + sign(path, "PC7")):
            args += ["-F", field]
        url = self.web.url.replace("http://", "https://")
        proc = subprocess.run(args + [url], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=90)
        return proc.returncode, proc.stdout

    def test_endpoint_with_certificate_from_its_network_is_served(self):
        self.start("127.0.0.1")
        code, out = self.upload("endpoint")
        self.assertEqual(code, 0)
        self.assertEqual(out, b"Vendrel_OK\r\r\n\n200")
        self.assertEqual(len(self.inst.quarantined()), 1)

    def test_strangers_never_reach_the_program(self):
        self.start("127.0.0.1")
        start = self.logd.offset()
        # No certificate, and a certificate of another CA: the handshake fails.
        for cert in (None, "stranger"):
            with self.subTest(cert=cert):
                code, out = self.upload(cert)
                self.assertNotEqual(code, 0)
                self.assertNotIn(b"Vendrel", out)
        self.assertEqual(self.logd.records(start, settle=0.3), [])
        self.assertEqual(self.inst.quarantined(), [])

    def test_certificate_from_outside_the_network_is_forbidden(self):
        self.start("10.20.0.0/16")
        start = self.logd.offset()
        code, out = self.upload("endpoint")
        self.assertEqual(code, 0)
        self.assertTrue(out.endswith(b"\n403"), out)
        self.assertEqual(self.logd.records(start, settle=0.3), [])
        self.assertEqual(self.inst.quarantined(), [])


@unittest.skipIf(harness.IS_WINDOWS, "the web-server configurations are the native build's")
@unittest.skipUnless(HAVE_LIGHTTPD_TLS, "needs lighttpd with mod_openssl, curl and openssl")
class UnderLighttpd(AccessCases, E2ETestCase):
    def start(self, endpoints):
        self.certificates()
        self.web = webserver.WebServer(
            self.workdir, self.inst, self.logd.pipe_dir,
            extra_conf=self.snippet("lighttpd-endpoints.conf", endpoints))


@unittest.skipIf(harness.IS_WINDOWS, "the web-server configurations are the native build's")
@unittest.skipUnless(HAVE_APACHE_TLS, "needs apache2 with mod_ssl, curl and openssl")
class UnderApache(AccessCases, E2ETestCase):
    def start(self, endpoints):
        self.certificates()
        user = webserver.SERVER_USER
        self.logd.stop()
        self.logd = webserver.LogServerAs(self.workdir, user)
        webserver.hand_over(self.workdir, self.inst, user)
        self.web = webserver.Apache(
            self.workdir, self.inst, self.logd.pipe_dir, extra_modules=["ssl", "authz_host"],
            extra_conf=self.snippet("apache-endpoints.conf", endpoints, "127.0.0.1:@PORT@"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
