"""The Windows archive as an administrator unpacks it: exactly the files of a home directory at
its top, with no folder of its own, so that unpacked into the empty folder C:\\Vendrel (inside the
Wine prefix) that folder is the home and server.ini's Quarantine_Folder=C:\\Vendrel\\Virus holds
unedited. The home then serves uploads under Wine with no KELSIO_HOME set (it is two levels above
cgi\\bin), and the commands of its IIS.txt run as written: the log server registered and started
as a service writes the upload's traces to C:\\Vendrel\\trace.jsonl, the installation's check,
the upgrade's stop and start, and the service's removal. Every command group of IIS.txt that
does not say it is not run by the tests is run here; the test fails otherwise.
Usage: archive_check.py ZIP WORKDIR WINEPREFIX"""

import json
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "docs"))
from harness import multipart  # noqa: E402
from guide_blocks import iis_groups  # noqa: E402

EXPECTED = {"IIS.txt", "server.ini", "TEMP/", "Virus/", "cgi/", "cgi/bin/"} | {
    "cgi/bin/" + n for n in ("vendrel.exe", "Kelsio.dll", "pelix32.dll", "libstdc++-6.dll",
                             "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "vendrel-logd.exe",
                             "vendrel-sign.exe", "vendrel-quarantine.exe")}
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
SERVICE = "vendrel-logd"
STATE_WAIT = 30.0
ERROR_SERVICE_ALREADY_RUNNING = 1056


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class ArchiveCheck:
    def __init__(self, zip_path, workdir, prefix):
        self.zip_path = zip_path
        self.workdir = os.path.abspath(workdir)
        self.prefix = os.path.abspath(prefix)
        self.home = os.path.join(self.prefix, "drive_c", "Vendrel")
        self.bindir = os.path.join(self.home, "cgi", "bin")
        self.env = {k: v for k, v in os.environ.items() if k != "KELSIO_HOME"}
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.failures = []
        self.ran_groups = set()

    def check(self, what, ok):
        print("  %s  %s" % ("ok  " if ok else "FAIL", what))
        if not ok:
            self.failures.append(what)
        return ok

    def wine(self, argv, **kw):
        return subprocess.run([WINE] + argv, env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120, **kw)

    def service_state(self):
        out = self.wine(["sc", "query", SERVICE]).stdout.decode("utf-8", "replace")
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
        return found.group(1) if found else None

    def wait_for_state(self, want):
        deadline = time.time() + STATE_WAIT
        seen = self.service_state()
        while seen != want and time.time() < deadline:
            time.sleep(0.2)
            seen = self.service_state()
        return seen

    def run_group(self, groups, word):
        """Runs, as written and through the command interpreter, the unmarked IIS.txt group whose
        first command holds word; answers each command's exit status and output."""
        found = [(i, g) for i, g in enumerate(groups) if not g[0] and word in g[1][0]]
        if not self.check("IIS.txt has one command group starting with %s" % word,
                          len(found) == 1):
            return []
        index, (_, commands, number) = found[0]
        self.ran_groups.add(index)
        results = []
        for command in commands:
            # The words as typed at the prompt (these commands quote nothing): the interpreter
            # gets them as the rest of its command line. sc's own error reports are kept.
            words = command.split()
            if "--install-service" in words and "IIS_IUSRS" in words:
                # Wine has no IIS_IUSRS group: the service's pipe is opened to the built-in
                # Users instead, which Wine knows, so that the group is still looked up.
                words[words.index("IIS_IUSRS")] = "Users"
            proc = subprocess.run([WINE, "cmd", "/c"] + words,
                                  env=dict(self.env, WINEDEBUG="-all,err+sc"),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=120)
            out = (proc.stdout + proc.stderr).decode("utf-8", "replace")
            status = proc.returncode
            print("    IIS.txt line %d: %s -> %d" % (number, command, status))
            if status != 0 and command.startswith("sc start ") and \
                    "failed to start service %d" % ERROR_SERVICE_ALREADY_RUNNING in out:
                # Wine's service manager ends when idle and, started again by sc, takes that
                # for a boot: it starts the automatic service itself, before sc asks.
                print("    (already started by Wine's service manager at its own start)")
                status = 0
            elif status != 0:
                print("\n".join("    | " + l for l in out.splitlines()))
            results.append((status, out))
        return results

    def unpack(self):
        with zipfile.ZipFile(self.zip_path) as z:
            names = set(z.namelist())
            self.check("the archive's top holds the home's files, in no folder of their own",
                       names == EXPECTED)
            if names != EXPECTED:
                print("    missing %s, extra %s" % (sorted(EXPECTED - names),
                                                    sorted(names - EXPECTED)))
            # Unpacked as IIS.txt says: into the empty folder C:\Vendrel.
            z.extractall(self.home)

    def post(self, content, verify):
        body, ctype = multipart([("TempFileName", ("sample.bin", content)),
                                 ("NewFileSize", str(len(content))), ("ComputerName", "PC7"),
                                 ("Verify", verify)])
        cgi = dict(self.env, GATEWAY_INTERFACE="CGI/1.1", SERVER_PROTOCOL="HTTP/1.1",
                   REQUEST_METHOD="POST", CONTENT_TYPE=ctype, CONTENT_LENGTH=str(len(body)),
                   SCRIPT_NAME="/cgi/bin/vendrel.exe", REMOTE_ADDR="127.0.0.1", QUERY_STRING="")
        return subprocess.run([WINE, os.path.join(self.bindir, "vendrel.exe")], input=body,
                              env=cgi, cwd=self.bindir, stdout=subprocess.PIPE,
                              timeout=120).stdout

    def trace_messages(self, want, limit=20.0):
        path = os.path.join(self.home, "trace.jsonl")
        deadline = time.time() + limit
        while True:
            lines = open(path, "rb").read().decode("utf-8").splitlines() \
                if os.path.exists(path) else []
            messages = [json.loads(l).get("message", "") for l in lines if l.strip()]
            if any(want in m for m in messages) or time.time() > deadline:
                return messages
            time.sleep(0.2)

    def run(self):
        shutil.rmtree(self.workdir, ignore_errors=True)
        os.makedirs(self.workdir)
        # The first command makes the prefix when it does not exist yet.
        self.wine(["cmd", "/c", "ver"])
        if not self.check("the Wine prefix has its drive C:",
                          os.path.isdir(os.path.join(self.prefix, "drive_c"))):
            return 1
        if self.service_state() is not None:
            print("removing the service an earlier run left")
            self.wine([os.path.join(self.bindir, "vendrel-logd.exe"), "--remove-service"])
        shutil.rmtree(self.home, ignore_errors=True)
        os.makedirs(self.home)
        try:
            self.exercise()
        finally:
            if self.service_state() is not None:
                self.wine(["sc", "stop", SERVICE])
                self.wait_for_state("STOPPED")
                self.wine([os.path.join(self.bindir, "vendrel-logd.exe"), "--remove-service"])
            shutil.rmtree(self.home, ignore_errors=True)
        return 1 if self.failures else 0

    def exercise(self):
        self.unpack()
        if not self.check("unpacked into C:\\Vendrel, server.ini lies at C:\\Vendrel\\server.ini",
                          os.path.isfile(os.path.join(self.home, "server.ini"))):
            return
        with open(os.path.join(self.home, "server.ini"), "rb") as f:
            settings = f.read().decode("ascii")
        self.check("server.ini names C:\\Vendrel\\Virus, which is this home's",
                   "\r\nQuarantine_Folder=C:\\Vendrel\\Virus\r\n" in settings)
        with open(os.path.join(self.home, "IIS.txt"), "rb") as f:
            groups = iis_groups(f.read().decode("ascii"))

        sample = os.path.join(self.workdir, "sample.bin")
        content = os.urandom(4096)
        with open(sample, "wb") as f:
            f.write(content)
        proc = self.wine([os.path.join(self.bindir, "vendrel-sign.exe"), wine_path(sample), "PC7"])
        verify = proc.stdout.decode().strip()
        self.check("vendrel-sign.exe runs from the archive",
                   re.fullmatch(r"[0-9a-f]{32}", verify) is not None)

        # IIS.txt's log server: a service, started before the first request.
        results = self.run_group(groups, "--install-service")
        self.check("IIS.txt's service registration and start succeed",
                   bool(results) and all(rc == 0 for rc, _ in results))
        self.check("the service runs", self.wait_for_state("RUNNING") == "RUNNING")

        virus = os.path.join(self.home, "Virus")
        temp = os.path.join(self.home, "TEMP")
        self.check("a signed upload is answered Vendrel_OK",
                   self.post(content, verify).endswith(b"\r\n\r\nVendrel_OK\r\r\n"))
        filed = [n for n in os.listdir(virus) if n != ".store"]
        same = len(filed) == 1 and open(os.path.join(virus, filed[0]), "rb").read() == content
        self.check("and filed in the home's Virus folder, as server.ini names it unedited", same)
        self.check("a forged one is answered Vendrel_FAILED",
                   self.post(content, "0" * 32).endswith(b"\r\n\r\nVendrel_FAILED\r\r\n"))
        self.check("and the upload directory is empty again", os.listdir(temp) == [])
        messages = self.trace_messages("Receive File Failed.")
        self.check("the service wrote the requests' traces to C:\\Vendrel\\trace.jsonl",
                   any("Receive File Success." in m for m in messages) and
                   any("Receive File Failed." in m for m in messages))

        # The command finds the home two levels above cgi\bin, as the program does.
        listed = self.wine([os.path.join(self.bindir, "vendrel-quarantine.exe"), "list"])
        words = listed.stdout.decode().split()
        self.check("vendrel-quarantine.exe lists the filed upload from the archive",
                   bool(filed) and words[-2:] == ["PC7", filed[0]])

        results = self.run_group(groups, "vendrel-quarantine.exe --home C:\\Vendrel check")
        out = results[0][1] if results else ""
        self.check("IIS.txt's check runs and reaches the log server",
                   bool(results) and results[0][0] in (0, 1) and
                   re.search(r"^ok +log server", out, re.M) is not None)
        self.check("it finds the settings and both folders in order",
                   re.search(r"^ok +Quarantine_Folder=C:\\Vendrel\\Virus", out, re.M) is not None
                   and "does not exist" not in out)
        if results and results[0][0] != 0:
            print("    (check under Wine:)\n" + "\n".join("    | " + l for l in out.splitlines()))

        results = self.run_group(groups, "sc stop")
        self.check("IIS.txt's upgrade stop and start succeed",
                   bool(results) and all(rc == 0 for rc, _ in results))
        self.check("the service runs again", self.wait_for_state("RUNNING") == "RUNNING")

        results = self.run_group(groups, "--remove-service")
        self.check("IIS.txt's removal succeeds", bool(results) and results[0][0] == 0)
        self.check("the service is gone", self.service_state() is None)

        unrun = [g[1][0] for i, g in enumerate(groups) if not g[0] and i not in self.ran_groups]
        self.check("every IIS.txt command group not marked as not run was run%s"
                   % (": not " + "; ".join(unrun) if unrun else ""), not unrun)


if __name__ == "__main__":
    sys.exit(ArchiveCheck(*sys.argv[1:4]).run())
