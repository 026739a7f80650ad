"""vendrel-sign against the reference vectors of a second implementation of the signature rules:
every row of signature.tsv, run as an endpoint runs the tool, with the file and the computer name
on its command line. A row whose signed text is too long ('-') must be refused: a non-zero exit,
a message, and no signature.

Under Wine the computer name reaches the Windows program through the code pages: the Unix command
line is UTF-8, and the program reads its arguments in the ANSI code page. A name is given as the
text whose ANSI form is the name's bytes, so the tool signs exactly those bytes; a name with a byte
that the ANSI code page has no character for fails its row by name rather than being left out."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

VECTORS = os.path.join(harness.BIN_DIR, "vectors", "signature.tsv")
TOO_LONG = "-"


def vector_rows(path):
    """(line number, content bytes, computer name bytes, verify) of every row."""
    rows = []
    with open(path, "rb") as f:
        for number, line in enumerate(f.read().split(b"\n"), start=1):
            line = line.rstrip(b"\r")
            if not line or line.startswith(b"#"):
                continue
            content, computer, verify = line.split(b"\t")
            rows.append((number, bytes.fromhex(content.decode("ascii")), computer,
                         verify.decode("ascii")))
    return rows


class SignatureVectors(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="vendrel-sign-vectors-")

    def tearDown(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    def sign(self, path, computer):
        tool = os.path.join(harness.BIN_DIR, "vendrel-sign" + harness.EXE)
        return subprocess.run(harness.command(tool, harness.host_path(path), computer),
                              env=dict(os.environ, **harness.wine_env()), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)

    def test_every_row_signs_to_its_verify_value_or_is_refused(self):
        self.assertTrue(os.path.exists(VECTORS),
                        "%s is missing: the build copies it when it is configured" % VECTORS)
        rows = vector_rows(VECTORS)
        self.assertTrue(rows, "no rows in " + VECTORS)
        for number, content, computer, verify in rows:
            with self.subTest(line=number, computer=computer[:20]):
                argument = harness.argument_for_bytes(computer)
                self.assertIsNotNone(argument, "line %d: the computer name %r has a byte that "
                                     "the ANSI code page %s has no character for: this build "
                                     "cannot be given it on a command line"
                                     % (number, computer, harness.ANSI_CODEPAGE))
                path = os.path.join(self.workdir, "row%d.bin" % number)
                with open(path, "wb") as f:
                    f.write(content)
                proc = self.sign(path, argument)
                if verify == TOO_LONG:
                    self.assertNotEqual(proc.returncode, 0)
                    self.assertEqual(proc.stdout, b"")
                    self.assertIn(b"longer than 511 bytes", proc.stderr)
                else:
                    self.assertEqual((proc.returncode, proc.stdout),
                                     (0, verify.encode("ascii") + b"\n"), proc.stderr)

    def test_name_without_its_own_characters_in_the_code_page(self):
        """Natively every name is its bytes and is signed as such. The Windows build would read
        "PC-日本" as "PC-??" (and a name with a letter the code page lacks as a look-alike):
        it refuses such a computer name, or file name, loudly instead of signing another."""
        path = os.path.join(self.workdir, "hello.bin")
        with open(path, "wb") as f:
            f.write(b"hello")
        hello_info = "5:5d41402abc4b2a76b9719d911017c592"
        for name in ("PC-\u65e5\u672c", "\u0100BC", "PC\u22127"):
            with self.subTest(computer=name):
                proc = self.sign(path, name)
                if harness.IS_WINDOWS:
                    self.assertNotEqual(proc.returncode, 0)
                    self.assertEqual(proc.stdout, b"")
                    self.assertIn(b"computer name holds characters", proc.stderr)
                else:
                    self.assertEqual((proc.returncode, proc.stdout),
                                     (0, harness.forge(hello_info + name).encode() + b"\n"),
                                     proc.stderr)
        odd_file = os.path.join(self.workdir, "hell\u014d.bin")
        with open(odd_file, "wb") as f:
            f.write(b"hello")
        proc = self.sign(odd_file, "PC7")
        if harness.IS_WINDOWS:
            self.assertNotEqual(proc.returncode, 0)
            self.assertIn(b"file name holds characters", proc.stderr)
        else:
            self.assertEqual(proc.stdout, b"1bc4d6717a72f27cb6ddffcd0ea385ed\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
