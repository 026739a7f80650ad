"""A lighttpd on 127.0.0.1 serving one installation's program as a CGI."""

import os
import socket
import subprocess
import time

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, "..", "..", "scripts", "lighttpd-vendrel.conf.in")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WebServer:
    def __init__(self, workdir, inst, pipe_dir):
        self.port = free_port()
        for d in ("lighttpd-uploads", os.path.join("home", "www")):
            os.makedirs(os.path.join(workdir, d), exist_ok=True)
        if harness.IS_WINDOWS:
            # The Windows program runs under Wine: the CGI interpreter is Wine itself.
            assign = '".exe" => "%s"' % harness.WINE
            env = {"WINEPREFIX": harness.wine_env()["WINEPREFIX"], "WINEDEBUG": "-all"}
            self.url = "http://127.0.0.1:%d/cgi/bin/vendrel.exe" % self.port
        else:
            assign = '"" => ""'
            env = {}
            self.url = "http://127.0.0.1:%d/cgi/bin/vendrel" % self.port
        values = {
            "PORT": str(self.port), "HOME": inst.home, "WORK": workdir, "CGI_ASSIGN": assign,
            "KELSIO_HOME": harness.host_path(inst.home).replace("\\", "\\\\"),
            "PIPE_DIR": pipe_dir,
            "EXTRA_ENV": ",\n  ".join('"%s" => "%s"' % kv for kv in env.items()),
        }
        with open(TEMPLATE) as f:
            conf = f.read()
        for k, v in values.items():
            conf = conf.replace("@%s@" % k, v)
        self.conf_path = os.path.join(workdir, "lighttpd.conf")
        with open(self.conf_path, "w") as f:
            f.write(conf)
        self.proc = subprocess.Popen(["lighttpd", "-D", "-f", self.conf_path],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        raise RuntimeError("lighttpd did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
