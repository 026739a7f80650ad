"""Faults around a request: the log server gone or stuck, a quarantine folder that is missing,
read-only or full, a damaged size cache, a scanning engine library that is missing or lacks its
export, and an upload that vanishes between the checks and the move. Each case checks the
answer, what became of the upload and the traces."""

import os
import shutil
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import host_path  # noqa: E402
from system_cases import FAILED, OK, Mount, SystemCase, lines_of, messages  # noqa: E402

# Generous: a request takes a fraction of a second natively and a few seconds under Wine.
PROMPT_SECONDS = 30


def store_bytes(value):
    return value.to_bytes(8, "little", signed=True)


class LogServerFaults(SystemCase):
    def test_no_log_server(self):
        self.logd.stop()
        content = b"no log server" * 10
        path, pairs = self.signed_vars(content)
        start = time.time()
        result = self.post_bytes(pairs)
        self.assertLess(time.time() - start, PROMPT_SECONDS)
        self.assertEqual(result.stdout, OK)
        self.assertFalse(os.path.exists(path))
        self.assertFiledOnce(content)
        self.assertEqual(self.inst.store_value(), len(content))
        self.assertEqual(result.records, [])

    @harness.posix_only("the stuck pipe server here is a Unix socket")
    def test_log_server_that_accepts_and_never_reads(self):
        pipe_dir = os.path.join(self.workdir, "stuck-pipes")
        os.makedirs(pipe_dir)
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(os.path.join(pipe_dir, "Log_ServerNamePipe"))
        server.listen(64)
        accepted = []
        stop = threading.Event()

        def accept_forever():
            server.settimeout(0.1)
            while not stop.is_set():
                try:
                    conn, _ = server.accept()
                    accepted.append(conn)
                except socket.timeout:
                    continue
                except OSError:
                    return

        thread = threading.Thread(target=accept_forever, daemon=True)
        thread.start()
        try:
            content = b"stuck log server"
            path, pairs = self.signed_vars(content)
            start = time.time()
            result = self.post_bytes(pairs, extra_env={"VENDREL_PIPE_DIR": pipe_dir})
            elapsed = time.time() - start
            self.assertLess(elapsed, PROMPT_SECONDS)
            self.assertEqual(result.stdout, OK)
            self.assertFalse(os.path.exists(path))
            self.assertFiledOnce(content)
            # The records went out and lie unread in the connections' buffers.
            time.sleep(0.2)
            self.assertGreater(len(accepted), 0)
            unread = 0
            for conn in accepted:
                conn.setblocking(False)
                try:
                    unread += len(conn.recv(1 << 20, socket.MSG_PEEK))
                except BlockingIOError:
                    pass
            self.assertGreater(unread, 0)
            # Nothing reached the real log server either.
            self.assertEqual(result.records, [])
        finally:
            stop.set()
            thread.join(timeout=5)
            for conn in accepted:
                conn.close()
            server.close()


class QuarantineFolderFaults(SystemCase):
    def setUp(self):
        super().setUp()
        self.mount = None

    def tearDown(self):
        if self.mount is not None:
            self.mount.unmount()
        super().tearDown()

    def use_mount(self, size="64k"):
        self.mount = Mount(os.path.join(self.workdir, "qmount"), size)
        self.inst.write_settings({"Quarantine_Folder": host_path(self.mount.path)})
        return self.mount.path

    def assertFilingFailed(self, result, path):
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        texts = messages(result)
        self.assertIn("[Vendrel] VerifyPassPort Pass", texts)
        self.assertIn("[Vendrel] Receive File Failed.", texts)
        self.assertNotIn("[Vendrel] Receive File Success.", texts)
        self.assertEqual(lines_of(result, "MoveInfectedFile] Move file failed")[-1:], [320])
        deletion = [t for t in texts if t.startswith("[Vendrel:MoveInfectedFile] DeleteFile(")]
        self.assertEqual(deletion, ["[Vendrel:MoveInfectedFile] DeleteFile(%s), bRet = 1, "
                                    "error = 0" % host_path(path)])

    def test_missing_folder(self):
        missing = os.path.join(self.workdir, "no-such-folder")
        self.inst.write_settings({"Quarantine_Folder": host_path(missing)})
        path, pairs = self.signed_vars()
        result = self.post_bytes(pairs)
        self.assertFilingFailed(result, path)
        self.assertFalse(os.path.exists(missing))
        texts = messages(result)
        self.assertTrue(any(t.startswith("getFolderSize - CreateFile(") for t in texts), texts)
        self.assertTrue(any(t.startswith("getFolderSize - FindFirstFile(") for t in texts), texts)
        self.assertEqual(lines_of(result, "[Vendrel:writeFolderSize] write Folder Size"),
                         [543, 543, 543])

    def test_read_only_folder(self):
        folder = self.use_mount()
        keep = os.path.join(folder, "PC1_100.0")
        with open(keep, "wb") as f:
            f.write(b"k" * 1000)
        self.mount.read_only()
        path, pairs = self.signed_vars(b"r" * 300)
        result = self.post_bytes(pairs)
        self.assertFilingFailed(result, path)
        self.assertEqual(os.listdir(folder), ["PC1_100.0"])
        with open(keep, "rb") as f:
            self.assertEqual(f.read(), b"k" * 1000)
        # The cache could never be written: every attempt is traced.
        self.assertGreaterEqual(len(lines_of(result, "[Vendrel:writeFolderSize] write Folder")), 2)
        # The capacity check still saw what lies in the folder.
        sizes = [t for t in messages(result) if t.startswith("[Vendrel:updateFolderSize] Folder")]
        self.assertEqual(sizes, ["[Vendrel:updateFolderSize] FolderSize=1000"])

    def test_full_file_system(self):
        folder = self.use_mount("64k")
        filler = os.path.join(folder, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while os.write(fd, b"f" * 1024) > 0:
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        size = os.path.getsize(filler)
        content = os.urandom(16384)
        path, pairs = self.signed_vars(content)
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        self.assertEqual(lines_of(result, "MoveInfectedFile] Move file failed")[-1:], [320])
        failed = [t for t in messages(result) if "Move file failed" in t]
        self.assertIn("error = 112,", failed[0])
        # No partial copy is left behind, and the filler is as it was. Wine's cross-volume
        # copy leaves its target behind, empty, when the copy fails (Windows deletes it):
        # under Wine nothing else than that empty file may be there.
        left = sorted(n for n in os.listdir(folder) if n not in (".store", "filler"))
        if harness.IS_WINDOWS:
            self.assertLessEqual(len(left), 1)
            for name in left:
                self.assertTrue(name.startswith("PC7_"))
                self.assertEqual(os.path.getsize(os.path.join(folder, name)), 0)
        else:
            self.assertEqual(left, [])
        self.assertTrue(os.path.exists(filler))
        self.assertEqual(os.path.getsize(filler), size)


class SizeCacheFaults(SystemCase):
    """A damaged ".store" within its cache life: its value counts as 0, or as the huge number it
    holds; one dated in the future is stale. The folder already holds 1000 bytes."""

    def setUp(self):
        super().setUp()
        with open(os.path.join(self.inst.virus, "PC1_100.0"), "wb") as f:
            f.write(b"o" * 1000)
        self.store = os.path.join(self.inst.virus, ".store")

    def write_store(self, data, mtime=None):
        with open(self.store, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(self.store, (mtime, mtime))

    def scanned(self, result):
        return any(t == "getFolderSize - .store is out of date, need to recalculate"
                   for t in messages(result))

    def test_short_negative_and_zero_count_as_empty(self):
        for label, data in (("short", b"\x05\x00\x00"), ("negative", store_bytes(-5000)),
                            ("zero", store_bytes(0)), ("empty", b"")):
            with self.subTest(store=label):
                self.write_store(data)
                content = label.encode() * 20
                path, pairs = self.signed_vars(content)
                result = self.post_bytes(pairs)
                self.assertEqual(result.stdout, OK)
                self.assertFalse(os.path.exists(path))
                self.assertFiledOnce(content)
                self.assertFalse(self.scanned(result))
                # The folder's real content is not seen until the cache goes stale.
                self.assertIn("[Vendrel:updateFolderSize] FolderSize=0", messages(result))
                self.assertEqual(self.inst.store_value(), len(content))

    def test_longer_file_is_read_by_its_first_eight_bytes(self):
        self.write_store(store_bytes(7000) + b"tail")
        path, pairs = self.signed_vars(b"x" * 10)
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertIn("[Vendrel:updateFolderSize] FolderSize=7000", messages(result))
        self.assertEqual(self.inst.store_value(), 7010)

    def test_garbage_reading_as_a_huge_size_refuses_uploads(self):
        garbage = b"\x13\x37\xca\xfe\xba\xbe\x00\x40"
        self.write_store(garbage)
        huge = int.from_bytes(garbage, "little", signed=True)
        path, pairs = self.signed_vars(b"refused")
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        self.assertEqual(self.inst.quarantined(), ["PC1_100.0"])
        self.assertIn("[Vendrel:VerifyVirusFolderSize] Quarantine folder size is exceed %d" % huge,
                      messages(result))
        # A refused upload never rewrites the cache.
        with open(self.store, "rb") as f:
            self.assertEqual(f.read(), garbage)

    def test_future_dated_cache_is_rescanned(self):
        self.write_store(store_bytes(123456), mtime=time.time() + 86400)
        content = b"f" * 50
        path, pairs = self.signed_vars(content)
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertTrue(self.scanned(result))
        # The scan counts the old file and the cache file itself; then the upload is added.
        self.assertEqual(self.inst.store_value(), 1000 + 8 + len(content))
        self.assertFiledOnce(content)

    def test_stale_cache_is_rescanned(self):
        self.write_store(store_bytes(123456), mtime=time.time() - 21 * 60)
        path, pairs = self.signed_vars(b"s" * 30)
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertTrue(self.scanned(result))
        self.assertEqual(self.inst.store_value(), 1000 + 8 + 30)


class EngineFaults(SystemCase):
    def replace_engine(self, directory):
        source = os.path.join(harness.BIN_DIR, directory, harness.ENGINE_FILE)
        self.assertTrue(os.path.exists(source), "the build lacks its %s engine" % directory)
        target = os.path.join(self.inst.bin, harness.ENGINE_FILE)
        # The installed engine is a hard link to the build's: unlink it, never write through it.
        os.remove(target)
        shutil.copy2(source, target)

    def assertRefusedAtSignature(self, result, path):
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        self.assertEqual(self.inst.quarantined(), [])
        texts = self.handler_texts(result)
        self.assertIn("[Vendrel] VerifyPassPort Failed. Upload file is to be delete.", texts)
        self.assertNotIn("[Vendrel] updateFolderSize OK", texts)
        # The capacity check's scan wrote the cache; nothing was added to it.
        self.assertEqual(self.inst.store_value(), 0)

    def test_missing_engine(self):
        os.remove(os.path.join(self.inst.bin, harness.ENGINE_FILE))
        path, pairs = self.signed_vars()
        result = self.post_bytes(pairs)
        self.assertRefusedAtSignature(result, path)
        self.assertIn("[Vendrel:VerifyPassPort] LoadLibrary pelix32.dll failed.", messages(result))

    def test_engine_without_its_export(self):
        self.replace_engine("noexport")
        path, pairs = self.signed_vars()
        result = self.post_bytes(pairs)
        self.assertRefusedAtSignature(result, path)
        self.assertIn("[Vendrel:VerifyPassPort] GetProcAddress \"PelixGetBackupFileInfoW\" "
                      "failed.", messages(result))

    def test_upload_deleted_between_the_checks_and_the_move(self):
        self.replace_engine("vanishing")
        content = b"v" * 777
        path, pairs = self.signed_vars(content)
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        self.assertEqual(self.inst.quarantined(), [])
        texts = messages(result)
        self.assertIn("[Vendrel] VerifyPassPort Pass", texts)
        self.assertIn("[Vendrel] Receive File Failed.", texts)
        self.assertNotIn("[Vendrel] MoveInfectedFile OK", texts)
        failed = [t for t in texts if "Move file failed" in t]
        self.assertEqual(len(failed), 1)
        self.assertIn("error = 2,", failed[0])
        deletion = [t for t in texts if t.startswith("[Vendrel:MoveInfectedFile] DeleteFile(")]
        self.assertEqual(deletion, ["[Vendrel:MoveInfectedFile] DeleteFile(%s), bRet = 0, "
                                    "error = 2" % host_path(path)])
        # The declared size was counted before the move and stays until the next scan.
        self.assertEqual(self.inst.store_value(), len(content))


if __name__ == "__main__":
    unittest.main(verbosity=2)
