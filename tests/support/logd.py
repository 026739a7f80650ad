"""Running the build's executables from Python tests, and a vendrel-logd among them.

Shared by the end-to-end harness (tests/e2e/harness.py) and the log server's process test
(tests/unit/logserver/logd_process_test.py). With wine set, the Windows build runs under it.
"""

import os
import signal
import subprocess
import time


def wine_command(wine, exe_path, *args):
    """The command line that runs one of the build's executables."""
    return ([wine] if wine else []) + [exe_path] + list(args)


def wine_path(wine, path):
    """A path as the program sees it: the Wine drive Z: maps the whole Unix tree."""
    if wine:
        return "Z:" + os.path.abspath(path).replace("/", "\\")
    return os.path.abspath(path)


class LogdProcess:
    """A vendrel-logd process; subclasses say how it is started."""

    def start(self, argv, env, stderr_path, limit=30.0, preexec_fn=None):
        """Starts the server and waits until it listens; one that does not within limit
        seconds is stopped, and RuntimeError tells what it said."""
        self.stderr_path = stderr_path
        self._stderr = open(stderr_path, "wb")
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self._stderr,
                                     preexec_fn=preexec_fn)
        deadline = time.time() + limit
        while time.time() < deadline:
            if "vendrel-logd: listening on " in self.errors():
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("vendrel-logd did not start listening: " + self.errors().strip())

    def errors(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, timeout=20):
        """Ends the server (SIGTERM, then a kill after timeout s); answers its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._stderr.close()
        return self.proc.returncode
