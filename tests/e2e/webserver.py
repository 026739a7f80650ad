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


def free_ports(count):
    """count different free ports: all are held at once while they are picked."""
    held = []
    try:
        for _ in range(count):
            s = socket.socket()
            held.append(s)
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in held]
    finally:
        for s in held:
            s.close()


class WebServer:
    def __init__(self, workdir, inst, pipe_dir, extra_conf=""):
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
        conf += "\n" + extra_conf
        self.conf_path = os.path.join(workdir, "lighttpd.conf")
        with open(self.conf_path, "w") as f:
            f.write(conf)
        self.proc = subprocess.Popen([harness.tool("lighttpd"), "-D", "-f", self.conf_path],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port, [self.proc], "lighttpd", [])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


# The configurations the Debian package ships, with its paths; a test instance replaces them.
PACKAGING = os.path.join(HERE, "..", "..", "packaging")
SHIPPED_PROGRAM_DIR = "/usr/lib/vendrel"
SHIPPED_HOME = "/var/lib/vendrel"
SHIPPED_PIPE_DIR = "/run/vendrel"

# Run as root, the servers hand requests to the account Debian runs them as; a user runs them
# as itself.
SERVER_USER = "www-data" if os.geteuid() == 0 else None


def _account_name():
    import pwd
    return SERVER_USER or pwd.getpwuid(os.geteuid()).pw_name


# The account that the servers run the program as.
SERVER_ACCOUNT = _account_name()


def as_user(user):
    """The command prefix that runs a program as user (nothing when that is the caller)."""
    if user is None:
        return []
    return [harness.tool("setpriv"), "--reuid=" + user, "--regid=" + user, "--init-groups", "--"]


def hand_over(workdir, inst, user):
    """Lets user run the program and alone write the upload directory and quarantine folder."""
    if user is None:
        return
    import pwd
    entry = pwd.getpwnam(user)
    for d in (workdir, inst.home, os.path.dirname(inst.bin), inst.bin):
        os.chmod(d, 0o755)
    for d in (inst.temp, inst.virus):
        for root, dirs, files in os.walk(d):
            for name in dirs + files:
                os.chown(os.path.join(root, name), entry.pw_uid, entry.pw_gid)
        os.chown(d, entry.pw_uid, entry.pw_gid)
        os.chmod(d, 0o700)


def shipped_config(relpath, inst, pipe_dir):
    """A shipped web-server configuration, pointed at a test installation."""
    with open(os.path.join(PACKAGING, relpath)) as f:
        conf = f.read()
    return (conf.replace(SHIPPED_PROGRAM_DIR, inst.bin)
                .replace(SHIPPED_HOME, inst.home)
                .replace(SHIPPED_PIPE_DIR, pipe_dir))


class LogServerAs(harness.LogServer):
    """A vendrel-logd run as the web server's user, so that the program reaches its socket
    whatever mode and group the socket gets."""

    def __init__(self, workdir, user):
        base = os.path.join(workdir, "logd")
        self.output = os.path.join(base, "trace.jsonl")
        self.pipe_dir = os.path.join(base, "pipes")
        os.makedirs(self.pipe_dir, exist_ok=True)
        if user is not None:
            import pwd
            entry = pwd.getpwnam(user)
            for d in (base, self.pipe_dir):
                os.chown(d, entry.pw_uid, entry.pw_gid)
            os.chmod(workdir, 0o755)
        env = dict(os.environ, VENDREL_PIPE_DIR=self.pipe_dir)
        logd = os.path.join(harness.BIN_DIR, "vendrel-logd")
        self.start(as_user(user) + [logd, "--format", "jsonl", "--output", self.output], env,
                   os.path.join(workdir, "logd-as-user.stderr"))


def wait_for_port(port, procs, what, logs):
    deadline = time.time() + 15
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            if any(p.poll() is not None for p in procs):
                break
            time.sleep(0.05)
    said = ""
    for path in logs:
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                said += f.read()
    raise RuntimeError("%s did not start: %s" % (what, said.strip()))


def stop_all(procs):
    """Ends each process, and its process group when it leads one of its own."""
    import signal
    for p in procs:
        try:
            if os.getpgid(p.pid) == p.pid:
                os.killpg(p.pid, signal.SIGTERM)
                continue
        except OSError:
            pass
        if p.poll() is None:
            p.terminate()
    for p in procs:
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


APACHE_MODULES = "/usr/lib/apache2/modules"


class DebianServer:
    """What Apache and nginx share: a port on 127.0.0.1, a run directory, their processes
    started and waited on until the port answers, and their stop."""

    def prepare(self, workdir, name, inst, port=None):
        self.port = port or free_port()
        self.run = os.path.join(workdir, name)
        os.makedirs(self.run, exist_ok=True)
        os.makedirs(os.path.join(inst.home, "www"), exist_ok=True)
        self.url = "http://127.0.0.1:%d/cgi/bin/vendrel" % self.port
        self.procs = []
        self._err = open(os.path.join(self.run, "stderr"), "wb")
        return self.run

    def write_conf(self, name, lines):
        path = os.path.join(self.run, name)
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        return path

    def wait_until_serving(self, what, ready=None):
        """Waits for ready() (when given), then for the port; stops everything if it fails."""
        try:
            deadline = time.time() + 10
            while ready is not None and not ready() and time.time() < deadline:
                time.sleep(0.02)
            wait_for_port(self.port, self.procs, what,
                          [os.path.join(self.run, "stderr"), os.path.join(self.run, "error.log")])
        except RuntimeError:
            self.stop()
            raise

    def stop(self):
        stop_all(self.procs)
        self._err.close()


class Apache(DebianServer):
    """Apache 2.4 with mod_cgid on 127.0.0.1, serving the program with the shipped
    conf-available/vendrel.conf."""

    def __init__(self, workdir, inst, pipe_dir, user=SERVER_USER, extra_modules=(),
                 extra_conf="", port=None):
        run = self.prepare(workdir, "apache", inst, port)
        with open(os.path.join(run, "vendrel.conf"), "w") as f:
            f.write(shipped_config(os.path.join("apache2", "vendrel.conf"), inst, pipe_dir))
        modules = ["mpm_event", "authz_core", "alias", "env", "cgid"] + list(extra_modules)
        lines = ["LoadModule %s_module %s/mod_%s.so" % (m, APACHE_MODULES, m) for m in modules]
        lines += [
            'ServerName 127.0.0.1',
            'Listen 127.0.0.1:%d' % self.port,
            'DefaultRuntimeDir "%s"' % run,
            'PidFile "%s/apache2.pid"' % run,
            'ScriptSock "%s/cgid.sock"' % run,
            'ErrorLog "%s/error.log"' % run,
            'LogLevel warn',
            'StartServers 1',
            'DocumentRoot "%s/www"' % inst.home,
            'Include "%s/vendrel.conf"' % run,
            extra_conf.replace("@PORT@", str(self.port)),
        ]
        if user is not None:
            lines += ["User " + user, "Group " + user]
        self.conf_path = self.write_conf("apache2.conf", lines)
        self.procs.append(subprocess.Popen([harness.tool("apache2"), "-f", self.conf_path,
                                            "-DFOREGROUND"],
                                           stdout=subprocess.DEVNULL, stderr=self._err))
        self.wait_until_serving("apache2")


class Nginx(DebianServer):
    """nginx on 127.0.0.1 with the shipped snippets/vendrel.conf, and fcgiwrap running the
    program."""

    def __init__(self, workdir, inst, pipe_dir, user=SERVER_USER):
        run = self.prepare(workdir, "nginx", inst)
        tmp = os.path.join(run, "tmp")
        os.makedirs(tmp, exist_ok=True)
        fcgi_dir = os.path.join(run, "fcgiwrap")
        os.makedirs(fcgi_dir, exist_ok=True)
        if user is not None:
            import pwd
            entry = pwd.getpwnam(user)
            os.chmod(run, 0o755)
            os.chown(fcgi_dir, entry.pw_uid, entry.pw_gid)
        sock = os.path.join(fcgi_dir, "fcgiwrap.socket")
        snippet = shipped_config(os.path.join("nginx", "vendrel.conf"), inst, pipe_dir)
        snippet = snippet.replace("unix:/run/fcgiwrap.socket", "unix:" + sock)
        snippet = snippet.replace("include fastcgi_params;", "include /etc/nginx/fastcgi_params;")
        with open(os.path.join(run, "vendrel.conf"), "w") as f:
            f.write(snippet)
        conf = ["daemon off;", "worker_processes 1;", 'pid "%s/nginx.pid";' % run,
                'error_log "%s/error.log" warn;' % run]
        if user is not None:
            conf.append("user %s %s;" % (user, user))
        conf += ["events { worker_connections 64; }", "http {", "  access_log off;"]
        for kind in ("client_body", "fastcgi", "proxy", "uwsgi", "scgi"):
            conf.append('  %s_temp_path "%s/%s";' % (kind, tmp, kind))
        conf += ["  server {", "    listen 127.0.0.1:%d;" % self.port,
                 '    root "%s/www";' % inst.home,
                 '    include "%s/vendrel.conf";' % run, "  }", "}"]
        self.conf_path = self.write_conf("nginx.conf", conf)
        # fcgiwrap's workers outlive their parent: a session of their own ends them together.
        self.procs.append(subprocess.Popen(
            as_user(user) + [harness.tool("fcgiwrap"), "-c", "2", "-s", "unix:" + sock],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._err,
            start_new_session=True))
        self.procs.append(subprocess.Popen(
            [harness.tool("nginx"), "-p", run, "-e", os.path.join(run, "error.log"), "-c",
             self.conf_path],
            stdout=subprocess.DEVNULL, stderr=self._err))
        self.wait_until_serving("nginx and fcgiwrap", lambda: os.path.exists(sock))
