"""The shipped endpoint-access configurations: only a client with a certificate of the
endpoints' CA, from the endpoints' network, reaches the program, and only where the example
grants it; everyone else is turned away by the web server before the program runs, on every
listener the server has (Apache: the plain-HTTP default server as well as the TLS virtual
host)."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E2ETestCase, sign  # noqa: E402
import webserver  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SNIPPETS = os.path.join(HERE, "..", "..", "packaging", "security")
LIGHTTPD_TLS_MODULE = "/usr/lib/lighttpd/mod_openssl.so"
APACHE_TLS_MODULE = os.path.join(webserver.APACHE_MODULES, "mod_ssl.so")
# Ways of writing the program's path that a server might map to it while an access rule written
# for /cgi/bin/ misses them.
PATH_SPELLINGS = ["/cgi/bin/vendrel", "/cgi/bin//vendrel", "/cgi//bin/vendrel",
                  "//cgi/bin/vendrel", "/cgi/bin/./vendrel", "/cgi/x/../bin/vendrel",
                  "/%63gi/bin/vendrel", "/cgi/bin/%76endrel", "/cgi/bin/vendrel/"]


def openssl(*args):
    subprocess.run([harness.tool("openssl")] + list(args), check=True, stdout=subprocess.DEVNULL,
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
    """The same cases through each server; start(endpoints) serves the program with the shipped
    snippet, endpoints being the allowed network, and sets self.tls_url (where endpoints upload)
    and self.plain_urls (every other listener the server has, spoken to in plain HTTP)."""

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
        text = (text.replace("@TLS_DIR@", self.tls).replace("@ENDPOINTS@", endpoints)
                    .replace("@LISTEN@", listen))
        self.assertNotIn("@", "".join(l for l in text.splitlines(True)
                                      if not l.lstrip().startswith("#")),
                         "a placeholder of %s is left" % name)
        return text

    def upload(self, cert=None, url=None):
        """Sends a signed upload; answers curl's exit status and the body followed by a line
        feed and the HTTP status."""
        content = os.urandom(512)
        path = os.path.join(self.workdir, "infected.bin")
        with open(path, "wb") as f:
            f.write(content)
        # HTTP/1.1, as endpoints speak it: over HTTP/2 a refusal that comes before the whole
        # body was read may end the stream rather than show its status. The path is sent as
        # written, whatever dot segments or doubled slashes it holds.
        args = [harness.tool("curl"), "-sS", "--http1.1", "--path-as-is", "--max-time", "60",
                "--cacert", os.path.join(self.tls, "endpoints-ca.pem"), "-o", "-",
                "-w", "\n%{http_code}"]
        if cert:
            args += ["--cert", os.path.join(self.tls, cert + ".crt"),
                     "--key", os.path.join(self.tls, cert + ".key")]
        for field in ("TempFileName=@" + path, "NewFileSize=%d" % len(content),
                      "ComputerName=PC7", "Verify=" + sign(path, "PC7")):
            args += ["-F", field]
        proc = subprocess.run(args + [url or self.tls_url], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=90)
        return proc.returncode, proc.stdout

    def assertNeverReached(self, start):
        """Nothing since log offset start ran the program: no trace, nothing filed."""
        self.assertEqual(self.logd.records(start, settle=0.3), [])
        self.assertEqual(self.inst.quarantined(), [])
        self.assertEqual(os.listdir(self.inst.temp), [])

    def assertTurnedAway(self, code, out):
        """The server refused before the program ran: a failed handshake or connection, or an
        answer other than the program's."""
        self.assertNotIn(b"Vendrel", out)
        self.assertFalse(code == 0 and out.endswith(b"\n200"), out)

    def plain_attempts(self, cert=None):
        """A signed upload to every spelling of the program's path on every plain listener."""
        for base in self.plain_urls:
            for spelling in PATH_SPELLINGS:
                with self.subTest(url=base + spelling, cert=cert):
                    self.assertTurnedAway(*self.upload(cert, base + spelling))

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
        # Every other listener, in plain HTTP, from the endpoints' own network.
        self.plain_attempts()
        self.assertNeverReached(start)

    def test_certificate_from_outside_the_network_is_forbidden(self):
        self.start("10.20.0.0/16")
        start = self.logd.offset()
        code, out = self.upload("endpoint")
        self.assertEqual(code, 0)
        self.assertTrue(out.endswith(b"\n403"), out)
        for spelling in PATH_SPELLINGS:
            with self.subTest(path=spelling):
                self.assertTurnedAway(*self.upload("endpoint",
                                                   self.tls_url.replace("/cgi/bin/vendrel",
                                                                        spelling)))
        # And in plain HTTP on every other listener.
        self.plain_attempts()
        self.assertNeverReached(start)


@harness.posix_only("the web-server configurations are the native build's")
@harness.needs("lighttpd", "curl", "openssl", files=[LIGHTTPD_TLS_MODULE])
class UnderLighttpd(AccessCases, E2ETestCase):
    def start(self, endpoints):
        self.certificates()
        self.web = webserver.WebServer(
            self.workdir, self.inst, self.logd.pipe_dir,
            extra_conf=self.snippet("lighttpd-endpoints.conf", endpoints))
        self.tls_url = self.web.url.replace("http://", "https://")
        # Its one listener speaks TLS only: plain HTTP there is no request at all.
        self.plain_urls = [self.web.url.replace("/cgi/bin/vendrel", "")]


@harness.posix_only("the web-server configurations are the native build's")
@harness.needs("apache2", "curl", "openssl", files=[APACHE_TLS_MODULE])
class UnderApache(AccessCases, E2ETestCase):
    def start(self, endpoints):
        """The package's configuration and the example, on a plain-HTTP default server (the
        package's ScriptAliasMatch serves the program there too) and a TLS virtual host on a
        port of its own."""
        self.certificates()
        user = webserver.SERVER_USER
        self.logd.stop()
        self.logd = webserver.LogServerAs(self.workdir, user)
        webserver.hand_over(self.workdir, self.inst, user)
        plain_port, tls_port = webserver.free_ports(2)
        listen = "127.0.0.1:%d" % tls_port
        self.web = webserver.Apache(
            self.workdir, self.inst, self.logd.pipe_dir, extra_modules=["ssl", "authz_host"],
            extra_conf="Listen %s\n" % listen + self.snippet("apache-endpoints.conf", endpoints,
                                                            listen),
            port=plain_port)
        webserver.wait_for_port(tls_port, self.web.procs, "apache2 on its TLS port", [])
        self.tls_url = "https://%s/cgi/bin/vendrel" % listen
        self.plain_urls = [self.web.url.replace("/cgi/bin/vendrel", "")]


if __name__ == "__main__":
    unittest.main(verbosity=2)
