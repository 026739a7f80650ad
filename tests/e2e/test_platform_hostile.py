"""Hostile entries where the program expects a file, and a reader that goes away: a FIFO or a
symbolic link planted at the quarantine folder's size cache ".store", and a standard output
whose reader closed it before the program wrote. The request must end promptly, write through
no link, and go on to its end (filing the upload, exit status 0). These are POSIX entries; the
Windows file namespace has none of them."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import EXE, command, host_path, wine_env  # noqa: E402
from system_cases import OK, SystemCase, messages  # noqa: E402

# A request takes a fraction of a second natively; one that blocks on a FIFO never ends.
PROMPT_SECONDS = 15
OUTSIDE = b"a file outside the quarantine folder, never written through a link\n"


@harness.posix_only("FIFOs and symbolic links are POSIX entries")
class PlantedStore(SystemCase):
    def store(self):
        return os.path.join(self.inst.virus, ".store")

    def run_cgi_promptly(self, pairs):
        start = time.time()
        result = self.post_bytes(pairs)
        self.assertLess(time.time() - start, PROMPT_SECONDS)
        return result

    def test_fifo_at_store_neither_blocks_nor_is_taken_for_the_cache(self):
        os.mkfifo(self.store(), 0o666)
        content = b"fifo at the cache\n" * 4
        path, pairs = self.signed_vars(content)
        result = self.run_cgi_promptly(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertFiledOnce(content)
        self.assertFalse(os.path.exists(path))
        texts = messages(result)
        # The cache cannot be opened (access denied), so the folder is listed instead.
        self.assertIn("getFolderSize - CreateFile(%s) failed with win32 error (5)"
                      % host_path(self.store()), texts)
        self.assertTrue(any(t.startswith("[Vendrel:writeFolderSize] write Folder Size")
                            for t in texts), texts)
        self.assertTrue(os.path.exists(self.store()))
        self.assertTrue(os.path.stat.S_ISFIFO(os.lstat(self.store()).st_mode))
        self.assertEqual(sorted(os.listdir(self.inst.virus)),
                         sorted([".store"] + self.inst.quarantined()))

    def test_link_at_store_is_never_written_through(self):
        outside = os.path.join(self.workdir, "outside.bin")
        with open(outside, "wb") as f:
            f.write(OUTSIDE)
        # Older than the cache life: the cache is stale, the folder is listed and the program
        # writes the cache back, which is where a followed link would write the outside file.
        old = time.time() - 3600
        os.utime(outside, (old, old))
        before = os.stat(outside)
        os.symlink(outside, self.store())
        content = b"link at the cache\n" * 3
        path, pairs = self.signed_vars(content)
        result = self.run_cgi_promptly(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertFiledOnce(content)
        with open(outside, "rb") as f:
            self.assertEqual(f.read(), OUTSIDE)
        after = os.stat(outside)
        self.assertEqual((after.st_size, after.st_mtime_ns, after.st_ino),
                         (before.st_size, before.st_mtime_ns, before.st_ino))
        self.assertTrue(os.path.islink(self.store()))
        self.assertEqual(os.readlink(self.store()), outside)
        self.assertTrue(any(t.startswith("[Vendrel:writeFolderSize] write Folder Size")
                            for t in messages(result)))
        # Nothing else appeared beside the filed upload: no temporary file is left behind.
        self.assertEqual(sorted(os.listdir(self.inst.virus)),
                         sorted([".store"] + self.inst.quarantined()))


@harness.posix_only("a broken pipe signal exists only on POSIX")
class ClosedStandardOutput(SystemCase):
    def test_request_goes_on_when_the_reader_is_gone(self):
        content = b"nobody reads the answer\n" * 5
        path, pairs = self.signed_vars(content)
        body = harness.urlencode(pairs).encode("latin-1")
        env = dict(os.environ, **wine_env())
        env.update({
            "GATEWAY_INTERFACE": "CGI/1.1",
            "REQUEST_METHOD": "POST",
            "QUERY_STRING": "",
            "SCRIPT_NAME": "/cgi/bin/vendrel",
            "REMOTE_ADDR": "127.0.0.1",
            "CONTENT_TYPE": "application/x-www-form-urlencoded",
            "CONTENT_LENGTH": str(len(body)),
            "KELSIO_HOME": host_path(self.inst.home),
            "VENDREL_PIPE_DIR": self.logd.pipe_dir,
        })
        start = self.logd.offset()
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            # The child gets the default SIGPIPE disposition back (restore_signals), as a web
            # server's CGI child has it.
            proc = subprocess.run(command(os.path.join(self.inst.bin, "vendrel" + EXE)),
                                  input=body, env=env, stdout=write_end,
                                  stderr=subprocess.PIPE, timeout=PROMPT_SECONDS,
                                  cwd=self.inst.bin, restore_signals=True)
        finally:
            os.close(write_end)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertFiledOnce(content)
        self.assertFalse(os.path.exists(path))
        texts = messages(harness.CgiResult(b"", self.logd.records(start)))
        self.assertIn("[Vendrel] Receive File Success.", texts)


if __name__ == "__main__":
    unittest.main()
