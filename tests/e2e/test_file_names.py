"""Computer names that Windows cannot hold in a file name: a control byte (line feed, tab) or one
of < > : " | ? *. The request passes its checks and the signature, and filing then fails as a
failed move does: the upload is deleted, the folder keeps nothing new, and the answer is
Vendrel_FAILED. Natively the platform layer refuses such a name as Windows does, so both builds
file exactly the same names. A leading '-' is an ordinary name and is filed."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from system_cases import FAILED, OK, SystemCase, lines_of, messages  # noqa: E402

ERROR_INVALID_NAME = 123
UNFILEABLE = ["PC\n7", "PC*7", "PC?7", "PC<7", "PC\t7", "PC>7", "PC|7", 'PC"7']
if not harness.IS_WINDOWS:
    # Windows reads a ':' in a file name as the start of a stream name, and Wine keeps it as an
    # ordinary byte of the Unix name (it files "PC:7_<time>.0"), so the Windows build's answer
    # to it cannot be seen under Wine; the native build refuses it as the others.
    UNFILEABLE.append("PC:7")


class ComputerNamesWindowsCannotHold(SystemCase):
    def test_unfileable_names_fail_the_filing_and_delete_the_upload(self):
        for computer in UNFILEABLE:
            with self.subTest(computer=computer):
                content = ("upload of %r" % computer).encode()
                path, pairs = self.signed_vars(content, computer=computer)
                before = self.outside_snapshot()
                result = self.post_bytes(pairs)
                self.assertEqual(result.stdout, FAILED)
                self.assertFalse(os.path.exists(path), "the upload is deleted")
                self.assertEqual(self.inst.quarantined(), [])
                texts = messages(result)
                self.assertIn("[Vendrel] VerifyPassPort Pass", texts)
                self.assertIn("[Vendrel] Receive File Failed.", texts)
                self.assertNotIn("[Vendrel] Receive File Success.", texts)
                failed = [t for t in texts if "Move file failed" in t]
                self.assertEqual(len(failed), 1, texts)
                self.assertIn("error = %d," % ERROR_INVALID_NAME, failed[0])
                self.assertEqual(lines_of(result, "MoveInfectedFile] Move file failed"), [320])
                self.assertEqual(lines_of(result, "MoveInfectedFile] DeleteFile("), [322])
                self.assertEqual(self.outside_snapshot(), before)
                self.assertEqual(os.listdir(self.inst.temp), [])

    def test_leading_dash_is_filed(self):
        content = b"a computer whose name starts with a dash"
        start = int(time.time())
        path, pairs = self.signed_vars(content, computer="-PC7")
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertFalse(os.path.exists(path))
        name = self.assertFiledAlone(content)
        self.assertTrue(name.startswith("-PC7_"), name)
        seconds, n = name[len("-PC7_"):].split(".")
        self.assertGreaterEqual(int(seconds), start)
        self.assertEqual(n, "0")


if __name__ == "__main__":
    unittest.main()
