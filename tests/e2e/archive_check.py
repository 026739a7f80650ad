"""The Windows archive as an operator unpacks it: exactly the files of a home directory, and
that home serving uploads under Wine with no KELSIO_HOME set (the home is then two levels above
cgi\\bin). Usage: archive_check.py ZIP WORKDIR WINEPREFIX"""

import os
import re
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import multipart  # noqa: E402

EXPECTED = {"IIS.txt", "server.ini", "TEMP/", "Virus/", "cgi/", "cgi/bin/"} | {
    "cgi/bin/" + n for n in ("vendrel.exe", "Kelsio.dll", "pelix32.dll", "libstdc++-6.dll",
                             "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "vendrel-logd.exe",
                             "vendrel-sign.exe", "vendrel-quarantine.exe")}
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main(zip_path, workdir, prefix):
    failures = []

    def check(what, ok):
        print("  %s  %s" % ("ok  " if ok else "FAIL", what))
        if not ok:
            failures.append(what)

    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    with zipfile.ZipFile(zip_path) as z:
        names = z.namelist()
        top = names[0].split("/")[0]
        inside = {n[len(top) + 1:] for n in names if n != top + "/"}
        check("the archive holds one home directory %s/ with exactly the shipped files" % top,
              all(n.startswith(top + "/") for n in names) and inside == EXPECTED)
        if inside != EXPECTED:
            print("    missing %s, extra %s" % (sorted(EXPECTED - inside), sorted(inside - EXPECTED)))
        z.extractall(workdir)
    home = os.path.abspath(os.path.join(workdir, top))
    bindir = os.path.join(home, "cgi", "bin")

    # The one setting to change when the home is not C:\Vendrel.
    ini = os.path.join(home, "server.ini")
    with open(ini, "rb") as f:
        text = f.read().decode("ascii")
    check("server.ini sets Quarantine_Folder", "\r\nQuarantine_Folder=C:\\Vendrel\\Virus\r\n" in text)
    text = text.replace("C:\\Vendrel\\Virus", wine_path(os.path.join(home, "Virus")))
    with open(ini, "wb") as f:
        f.write(text.encode("ascii"))

    env = {k: v for k, v in os.environ.items() if k != "KELSIO_HOME"}
    env.update(WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all")
    sample = os.path.join(workdir, "sample.bin")
    content = os.urandom(4096)
    with open(sample, "wb") as f:
        f.write(content)
    out = subprocess.run([WINE, os.path.join(bindir, "vendrel-sign.exe"), wine_path(sample), "PC7"],
                         env=env, stdout=subprocess.PIPE, timeout=120).stdout.decode().strip()
    check("vendrel-sign.exe runs from the archive", re.fullmatch(r"[0-9a-f]{32}", out) is not None)

    def post(verify):
        body, ctype = multipart([("TempFileName", ("sample.bin", content)),
                                 ("NewFileSize", str(len(content))), ("ComputerName", "PC7"),
                                 ("Verify", verify)])
        cgi = dict(env, GATEWAY_INTERFACE="CGI/1.1", SERVER_PROTOCOL="HTTP/1.1",
                   REQUEST_METHOD="POST", CONTENT_TYPE=ctype, CONTENT_LENGTH=str(len(body)),
                   SCRIPT_NAME="/cgi/bin/vendrel.exe", REMOTE_ADDR="127.0.0.1", QUERY_STRING="")
        return subprocess.run([WINE, os.path.join(bindir, "vendrel.exe")], input=body, env=cgi,
                              cwd=bindir, stdout=subprocess.PIPE, timeout=120).stdout

    virus = os.path.join(home, "Virus")
    temp = os.path.join(home, "TEMP")
    check("a signed upload is answered Vendrel_OK", post(out).endswith(b"\r\n\r\nVendrel_OK\r\r\n"))
    filed = [n for n in os.listdir(virus) if n != ".store"]
    same = len(filed) == 1 and open(os.path.join(virus, filed[0]), "rb").read() == content
    check("and filed in the archive's Virus folder", same)
    check("a forged one is answered Vendrel_FAILED",
          post("0" * 32).endswith(b"\r\n\r\nVendrel_FAILED\r\r\n"))
    check("and the upload directory is empty again", os.listdir(temp) == [])
    # The command finds the archive's home two levels above cgi\bin, as the program does.
    listed = subprocess.run([WINE, os.path.join(bindir, "vendrel-quarantine.exe"), "list"],
                            env=env, stdout=subprocess.PIPE, timeout=120).stdout.decode()
    check("vendrel-quarantine.exe lists the filed upload from the archive",
          listed.split()[-2:] == ["PC7", filed[0]] if filed else False)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
