"""What an upload is and what it counts: a name that Windows maps to a device (NUL, CON, COM1,
...) in any spelling is refused at once, before anything is read, counted, deleted or moved; the
size claimed in NewFileSize is traced as received, but the capacity and the cached total count
the admitted file's own bytes, so a lying claim neither fills the folder nor passes its
capacity. The same cases run against both builds: natively these names are no files either."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import SEP, forge, host_path  # noqa: E402
from system_cases import FAILED, OK, SystemCase, lines_of, messages, snapshot  # noqa: E402

DEVICE_NAMES = ["COM1", "AUX.txt", "NUL", "nul.txt", "NUL.", "NUL ", "NUL::$DATA", "CON", "PRN",
                "com9", "COM5.log", "LPT1", "lpt9.dat", "CON.", "aux ", "Prn.", "NUL:"]
# Beyond the time of a refusal of a missing file made just before, what a device name may take:
# a request that opens or reads a serial line or a console waits far longer, or for ever. A
# busy machine can hold up any one process start, so a slow pair is measured again, and only a
# name that is slow in every pair fails.
PROMPT_MARGIN_SECONDS = 1.0
TIMING_PAIRS = 3
KIB = 1024
MEGABYTE = 1048576


def store_bytes(value):
    return value.to_bytes(8, "little", signed=True)


class DeviceNames(SystemCase):
    def setUp(self):
        super().setUp()
        self.pending = self.inst.upload(b"another endpoint's upload, not yet filed")
        self.store = os.path.join(self.inst.virus, ".store")
        with open(self.store, "wb") as f:
            f.write(store_bytes(4242))
        self.forged = forge("ATTACK")

    def attack(self, name, size="0"):
        pairs = [("TempFileName", host_path(self.inst.temp) + SEP + name), ("NewFileSize", size),
                 ("ComputerName", "ATTACK"), ("Verify", self.forged)]
        started = time.monotonic()
        result = self.post_bytes(pairs)
        return result, time.monotonic() - started

    def timed_refusal(self, name):
        """The device name's refusal and how much longer than a missing file's it took."""
        for _ in range(TIMING_PAIRS):
            _, reference = self.attack("missing.bin")
            result, seconds = self.attack(name, "2147483647")
            if seconds < reference + PROMPT_MARGIN_SECONDS:
                break
        return result, seconds - reference

    def test_every_device_spelling_is_refused_at_once_and_touches_nothing(self):
        store_before = os.stat(self.store)
        temp_before = snapshot(self.inst.temp, [])
        for name in DEVICE_NAMES:
            with self.subTest(name=name):
                result, extra = self.timed_refusal(name)
                self.assertEqual(result.stdout, FAILED)
                self.assertEqual(lines_of(result, "[Vendrel] Invalid file."), [106])
                self.assertEqual(lines_of(result, "[Vendrel] Receive File Failed."), [159])
                self.assertIn("[Vendrel] Invalid file.(%s)" % (host_path(self.inst.temp) + SEP +
                                                                name), messages(result))
                # Nothing after the check ran: no capacity check, signature, count or filing.
                for marker in ("IsFileOutOfDate", "VerifyPassPort", "updateFolderSize",
                               "MoveInfectedFile", "DeleteFile"):
                    self.assertEqual(lines_of(result, marker), [], marker)
                self.assertLess(extra, PROMPT_MARGIN_SECONDS,
                                "%.2f s longer than a missing file's refusal" % extra)
        after = os.stat(self.store)
        self.assertEqual((after.st_size, after.st_mtime_ns, after.st_ino),
                         (store_before.st_size, store_before.st_mtime_ns, store_before.st_ino))
        self.assertEqual(self.inst.store_value(), 4242)
        self.assertEqual(snapshot(self.inst.temp, []), temp_before)
        self.assertEqual(self.inst.quarantined(), [])

    def test_a_real_upload_is_still_admitted_afterwards(self):
        for name in ("NUL", "COM1", "CON"):
            self.assertEqual(self.attack(name)[0].stdout, FAILED)
        _, pairs = self.signed_vars(b"a real upload after the device names")
        self.assertEqual(self.post_bytes(pairs).stdout, OK)
        self.assertFiledOnce(b"a real upload after the device names")
        self.assertEqual(self.inst.store_value(), 4242 + len(b"a real upload after the device names"))
        self.assertTrue(os.path.exists(self.pending))


class LyingClaims(SystemCase):
    """NewFileSize claims that differ from the file: only the file's bytes count."""

    def setUp(self):
        super().setUp()
        self.inst.write_settings({"Quarantine_Folder_Capacity": "1"})

    def stage_texts(self, result):
        return [t for t in messages(result) if t.startswith("[Vendrel:updateFolderSize]")]

    def test_claims_neither_fill_nor_bypass_the_capacity(self):
        total = 0
        for claim, size in (("2147483647", 1000), ("1", 3000), ("-100", 500), ("abc", 700),
                            ("99999999999", 20000)):
            with self.subTest(claim=claim):
                content = claim.encode() * (size // len(claim)) + b"." * (size % len(claim))
                path, pairs = self.signed_vars(content, size=claim)
                result = self.post_bytes(pairs)
                self.assertEqual(result.stdout, OK)
                self.assertFalse(os.path.exists(path))
                self.assertIn("[Vendrel] NewFileSize=%s" % claim, messages(result))
                self.assertEqual(self.stage_texts(result),
                                 ["[Vendrel:updateFolderSize] nFileSize=%d" % size,
                                  "[Vendrel:updateFolderSize] FolderSize=%d" % total,
                                  "[Vendrel:updateFolderSize] New FolderSize=%d" % (total + size)])
                total += size
                self.assertEqual(self.inst.store_value(), total)
        # The cache counts what the folder holds, less its own 8 bytes that no listing has seen.
        listed = sum(os.path.getsize(os.path.join(self.inst.virus, n))
                     for n in os.listdir(self.inst.virus))
        self.assertEqual(listed, total + 8)

    def test_two_uploads_claiming_one_byte_against_one_megabyte(self):
        first = b"1" * (600 * KIB)
        path, pairs = self.signed_vars(first, size="1")
        self.assertEqual(self.post_bytes(pairs).stdout, OK)
        self.assertEqual(self.inst.store_value(), 600 * KIB)

        second = b"2" * (600 * KIB)
        path, pairs = self.signed_vars(second, size="1")
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        self.assertIn("[Vendrel:VerifyVirusFolderSize] Quarantine folder size is exceed %d"
                      % (600 * KIB), messages(result))
        self.assertEqual(lines_of(result, "[Vendrel] VerifyVirusFolderSize Failed."), [144])
        self.assertEqual(self.filed_contents(), [first])
        self.assertEqual(self.inst.store_value(), 600 * KIB)

    def test_claim_of_the_whole_capacity_does_not_refuse_a_small_file(self):
        _, pairs = self.signed_vars(b"small", size=str(2 * MEGABYTE))
        self.assertEqual(self.post_bytes(pairs).stdout, OK)
        self.assertEqual(self.inst.store_value(), 5)


class TraceOrder(SystemCase):
    """An admitted request traces its stages exactly as before: only the sizes the stages show
    are the file's own."""

    def test_admitted_request_traces_every_step_in_order(self):
        store = os.path.join(self.inst.virus, ".store")
        with open(store, "wb") as f:
            f.write(store_bytes(1000))
        content = b"t" * 5000
        path, pairs = self.signed_vars(content, size="77")
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, OK)
        steps = [(level, line) for level, line, _ in result.messages()]
        self.assertEqual(steps, [(4, 58), (68, 404), (4, 110), (4, 203), (4, 211), (4, 218),
                                 (4, 234), (4, 243), (4, 117), (4, 121), (4, 577), (68, 404),
                                 (4, 583), (4, 587), (4, 123), (4, 293), (4, 294), (4, 325),
                                 (4, 128), (4, 152)])
        texts = messages(result)
        self.assertEqual(texts[9], "[Vendrel] NewFileSize=77")
        self.assertEqual(texts[10], "[Vendrel:updateFolderSize] nFileSize=5000")
        self.assertTrue(texts[11].startswith("IsFileOutOfDate - File was updated (0) minute ("),
                        texts[11])
        self.assertEqual(texts[12:14], ["[Vendrel:updateFolderSize] FolderSize=1000",
                                        "[Vendrel:updateFolderSize] New FolderSize=6000"])
        self.assertEqual(self.inst.store_value(), 6000)


if __name__ == "__main__":
    unittest.main(verbosity=2)
