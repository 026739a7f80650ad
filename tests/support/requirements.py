"""What the Python tests need from the machine: programs that may live outside an ordinary
user's PATH, root for the few steps that need it, and strict mode.

The test command and CI set VENDREL_STRICT=1: a test that cannot run for a missing tool,
privilege or fixture then fails with the reason instead of being skipped. Steps that need root
are raised as the test command raises the package installation: run as they are when the tests
run as root, through sudo (without a password prompt) otherwise.
"""

import os
import shutil
import subprocess

STRICT = os.environ.get("VENDREL_STRICT") == "1"

# Web servers and mount helpers live in the system's sbin directories, which an ordinary user's
# PATH lacks; they are looked for there as well.
SYSTEM_PROGRAM_DIRS = ("/usr/local/sbin", "/usr/sbin", "/sbin")


def find_tool(name):
    """The full path of a program on PATH or in the system's sbin directories, or None."""
    found = shutil.which(name)
    if found:
        return found
    for directory in SYSTEM_PROGRAM_DIRS:
        path = os.path.join(directory, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


_sudo_probe = {}


def root_prefix():
    """(prefix, reason): the command prefix that runs a program as root ([] when the tests run
    as root, sudo -n otherwise), or None and the reason why nothing can."""
    if os.geteuid() == 0:
        return [], ""
    sudo = find_tool("sudo")
    if sudo is None:
        return None, "needs root: run the tests as root, or install sudo"
    if "ok" not in _sudo_probe:
        probe = subprocess.run([sudo, "-n", "true"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, timeout=60)
        _sudo_probe["ok"] = probe.returncode == 0
        _sudo_probe["why"] = probe.stderr.decode(errors="replace").strip()
    if not _sudo_probe["ok"]:
        return None, ("needs root, and sudo asks for a password (%s): run the tests as root, or "
                      "with sudo that needs none" % _sudo_probe["why"])
    return [sudo, "-n"], ""
