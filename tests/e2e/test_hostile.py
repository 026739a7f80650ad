"""Hostile requests: path traversal in every spelling the location and containment checks must
stop, links out of the upload directory, overlong names, invalid multibyte sequences, and
oversized bodies and variables. Whatever the answer, no file outside the upload directory and
the quarantine folder may be moved, deleted or created, and the quarantine folder gains only
admitted uploads."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import SEP, forge, host_path, sign  # noqa: E402
from system_cases import (EMPTY, FAILED, OK, SystemCase, lines_of, snapshot,  # noqa: E402
                          urlencode_bytes)

VICTIM = b"a file that no request may touch\n"


class HostileCase(SystemCase):
    def setUp(self):
        super().setUp()
        self.outside = os.path.join(self.workdir, "outside")
        os.makedirs(self.outside)
        self.victims = {}
        for path in (os.path.join(self.outside, "victim.bin"),
                     os.path.join(self.inst.home, "victim.bin"),
                     os.path.join(self.inst.home, "TEMPX", "victim.bin"),
                     os.path.join(self.inst.temp + "X", "victim.bin")):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(VICTIM)
            self.victims[path] = True
        # Signed as an endpoint would sign the victim: a request naming it passes the
        # signature, so only the location and containment checks stand in its way.
        self.victim_verify = sign(os.path.join(self.outside, "victim.bin"), "PC7")
        self.before = self.outside_snapshot()

    def tearDown(self):
        # Every case ends with the same tree outside the two directories; the log server and
        # the installation go whatever that finds.
        try:
            self.assertEqual(self.outside_snapshot(), self.before)
        finally:
            super().tearDown()

    def victim_request(self, temp_file_name, computer="PC7"):
        return [("TempFileName", temp_file_name), ("NewFileSize", str(len(VICTIM))),
                ("ComputerName", computer), ("Verify", self.victim_verify)]

    def assertUntouched(self):
        self.assertEqual(self.outside_snapshot(), self.before)

    def assertRefusedByLocation(self, result):
        self.assertEqual(result.stdout, FAILED)
        self.assertEqual(lines_of(result, "[Vendrel] Invalid path."), [105])
        self.assertEqual(self.inst.quarantined(), [])
        self.assertUntouched()


class Traversal(HostileCase):
    def spellings(self):
        temp = host_path(self.inst.temp)
        home = host_path(self.inst.home)
        s = SEP
        out = [
            temp + s + ".." + s + "victim.bin",
            temp + s + ".." + s + ".." + s + "outside" + s + "victim.bin",
            temp + s + "." + s + ".." + s + "victim.bin",
            temp + s + s + ".." + s + "victim.bin",
            temp + s + "sub" + s + ".." + s + ".." + s + "victim.bin",
            home + s + s + "TEMP" + s + ".." + s + "victim.bin",
            home + s + "TEMPX" + s + "victim.bin",
            temp + "X" + s + "victim.bin",
            host_path(os.path.join(self.outside, "victim.bin")),
            "victim.bin",
            ".." + s + "victim.bin",
            "",
        ]
        if harness.IS_WINDOWS:
            # Both separators lead the file system to the same place; the check tells them apart.
            out += [temp + "/../victim.bin", temp.replace("\\", "/") + "/../victim.bin",
                    temp + "\\..//victim.bin", "\\\\?\\" + temp + "\\..\\victim.bin",
                    temp[:2] + "..\\victim.bin"]
        else:
            out += [temp + "/..//victim.bin", temp + "//../victim.bin",
                    "/" + temp + "/../victim.bin", temp.replace("/TEMP", "/./TEMP") + "/x"]
        return out

    def test_every_traversal_spelling_is_refused_at_the_location_check(self):
        for spelling in self.spellings():
            with self.subTest(path=spelling):
                result = self.post_bytes(self.victim_request(spelling))
                self.assertRefusedByLocation(result)

    @harness.posix_only("a backslash separates on Windows")
    def test_backslash_is_an_ordinary_name_byte_natively(self):
        # One file name in TEMP that merely looks like a way out: it does not exist, so it is
        # refused as no file at all; the victims stay.
        name = host_path(self.inst.temp) + "/..\\..\\outside\\victim.bin"
        result = self.post_bytes(self.victim_request(name))
        self.assertEqual(result.stdout, FAILED)
        self.assertEqual(lines_of(result, "[Vendrel] Invalid file."), [106])
        self.assertEqual(lines_of(result, "VerifyPassPort"), [])
        self.assertUntouched()

    def test_missing_variable_never_deletes_outside(self):
        for spelling in self.spellings():
            with self.subTest(path=spelling):
                result = self.post_bytes(self.victim_request(spelling)[:3])
                self.assertEqual(result.stdout, EMPTY)
                self.assertEqual(lines_of(result, "[Vendrel] DeleteFile("), [])
                self.assertUntouched()


class Links(HostileCase):
    # Wine resolves a Unix symbolic link in every file operation and shows it to a Windows
    # program as the plain file it points to (no reparse-point attribute, by any query), so
    # MoveFileA there moves the target itself. On Windows a link is a reparse point that
    # MoveFileA moves as itself; the case holds for the native build.
    @harness.posix_only("Wine shows a symbolic link as the file it points to")
    def test_link_to_an_outside_file_is_refused_and_left(self):
        victim = os.path.join(self.outside, "victim.bin")
        link = os.path.join(self.inst.temp, "link.bin")
        os.symlink(victim, link)
        for verify in (self.victim_verify, "0" * 32):
            with self.subTest(verify=verify):
                pairs = self.victim_request(host_path(link))
                pairs[3] = ("Verify", verify)
                result = self.post_bytes(pairs)
                self.assertEqual(result.stdout, FAILED)
                self.assertEqual(lines_of(result, "[Vendrel] Invalid file."), [106])
                self.assertTrue(os.path.islink(link))
                self.assertEqual(self.inst.quarantined(), [])
                self.assertUntouched()

    def test_link_to_an_outside_directory_is_refused(self):
        os.symlink(self.outside, os.path.join(self.inst.temp, "dirlink"))
        name = host_path(self.inst.temp) + SEP + "dirlink" + SEP + "victim.bin"
        result = self.post_bytes(self.victim_request(name))
        self.assertRefusedByLocation(result)
        os.remove(os.path.join(self.inst.temp, "dirlink"))

    def test_dangling_links_in_the_quarantine_folder_are_never_written_through(self):
        # Links under the first candidate names of the next seconds, pointing outside where
        # nothing exists yet: filing must neither follow nor replace them.
        now = int(time.time())
        for stamp in range(now - 1, now + 30):
            os.symlink(os.path.join(self.outside, "planted-%d" % stamp),
                       os.path.join(self.inst.virus, "PC7_%d.0" % stamp))
        links = set(os.listdir(self.inst.virus))
        content = b"filed beside the links"
        path, pairs = self.signed_vars(content)
        result = self.post_bytes(pairs)
        if not harness.IS_WINDOWS:
            self.assertEqual(result.stdout, OK)
        self.assertIn(result.stdout, (OK, FAILED))
        self.assertFalse(os.path.exists(path))
        names = set(os.listdir(self.inst.virus))
        if not harness.IS_WINDOWS:
            # Under Wine a dangling link is no entry at all to a Windows program, so its name
            # counts as free there; natively it is an entry that the move never replaces.
            self.assertTrue(links <= names)
            for name in links:
                self.assertTrue(os.path.islink(os.path.join(self.inst.virus, name)))
            links_now = links
        else:
            links_now = {n for n in names if os.path.islink(os.path.join(self.inst.virus, n))}
        added = [n for n in names - links_now if n != ".store"]
        if result.stdout == OK:
            self.assertEqual(len(added), 1)
            filed = os.path.join(self.inst.virus, added[0])
            self.assertFalse(os.path.islink(filed))
            with open(filed, "rb") as f:
                self.assertEqual(f.read(), content)
        else:
            self.assertEqual(added, [])


class DirectoryAttack(HostileCase):
    """A request that names the upload directory, or a directory in it, signed by the computer
    name alone: no directory is ever moved, and the other endpoints' uploads stay pending."""

    def setUp(self):
        super().setUp()
        self.pending = self.inst.upload(b"another endpoint's upload, not yet filed")
        os.makedirs(os.path.join(self.inst.temp, "sub"))
        with open(os.path.join(self.inst.temp, "sub", "inner.bin"), "wb") as f:
            f.write(b"inside a subdirectory")
        self.temp_before = snapshot(self.inst.temp, [])
        self.forged = forge("ATTACK")

    def attack(self, temp_file_name, size="0"):
        return self.post_bytes([("TempFileName", temp_file_name), ("NewFileSize", size),
                                ("ComputerName", "ATTACK"), ("Verify", self.forged)])

    def assertNothingMoved(self, result):
        self.assertEqual(result.stdout, FAILED)
        self.assertEqual(lines_of(result, "[Vendrel] Receive File Failed."), [159])
        self.assertEqual(lines_of(result, "VerifyPassPort"), [])
        self.assertEqual(lines_of(result, "updateFolderSize"), [])
        self.assertEqual(snapshot(self.inst.temp, []), self.temp_before)
        self.assertTrue(os.path.isdir(self.inst.temp))
        self.assertEqual(self.inst.quarantined(), [])
        self.assertIn(self.inst.store_value(), (None, 0))
        self.assertUntouched()

    def test_every_spelling_of_a_directory_is_refused(self):
        temp = host_path(self.inst.temp)
        s = SEP
        # The check of the location refuses what is not directly in the upload directory; the
        # check of the file refuses a directory that is.
        cases = [(temp, 105), (temp + s + "sub" + s, 105),
                 (temp + s, 106), (temp + s + ".", 106), (temp + s + "sub", 106),
                 (temp + s + "..", 106), (temp + s + "sub" + s + "..", 105)]
        for path, line in cases:
            with self.subTest(path=path):
                result = self.attack(path)
                self.assertNothingMoved(result)
                marker = "[Vendrel] Invalid path." if line == 105 else "[Vendrel] Invalid file."
                self.assertEqual(lines_of(result, marker), [line])
        # The uploads that were pending all along are still admitted.
        path, pairs = self.signed_vars(b"a real upload after the attacks")
        self.assertEqual(self.post_bytes(pairs).stdout, OK)
        self.assertFiledOnce(b"a real upload after the attacks")
        self.assertTrue(os.path.exists(self.pending))

    def test_forged_signature_over_a_missing_file_counts_nothing(self):
        for size in ("2147483647", "1048576"):
            with self.subTest(size=size):
                result = self.attack(host_path(self.inst.temp) + SEP + "missing.bin", size)
                self.assertNothingMoved(result)
                self.assertEqual(lines_of(result, "[Vendrel] Invalid file."), [106])
        # The capacity is still all there for a real upload.
        self.inst.write_settings({"Quarantine_Folder_Capacity": "1"})
        self.before = self.outside_snapshot()
        path, pairs = self.signed_vars(b"fits into one megabyte")
        self.assertEqual(self.post_bytes(pairs).stdout, OK)


@harness.posix_only("FIFOs and device links are POSIX file kinds")
class SpecialFiles(HostileCase):
    """Whatever cannot be read to its end, or blocks whoever opens it, is no upload: each such
    request ends at once with the refusal, and the entry stays where it is."""

    def test_fifo_and_device_links_are_refused_at_once(self):
        fifo = os.path.join(self.inst.temp, "fifo.bin")
        os.mkfifo(fifo)
        zero = os.path.join(self.inst.temp, "zero.bin")
        os.symlink("/dev/zero", zero)
        for path in (fifo, zero):
            with self.subTest(path=path):
                started = time.monotonic()
                result = self.attack_with(path)
                self.assertLess(time.monotonic() - started, 30)
                self.assertEqual(result.stdout, FAILED)
                self.assertEqual(lines_of(result, "[Vendrel] Invalid file."), [106])
                self.assertEqual(lines_of(result, "VerifyPassPort"), [])
                self.assertTrue(os.path.lexists(path))
                self.assertEqual(self.inst.quarantined(), [])
                self.assertUntouched()

    def attack_with(self, path):
        return self.post_bytes([("TempFileName", host_path(path)), ("NewFileSize", "0"),
                                ("ComputerName", "ATTACK"), ("Verify", forge("ATTACK"))])


class OverlongAndMultibyte(HostileCase):
    def test_overlong_file_names_are_refused(self):
        temp = host_path(self.inst.temp) + SEP
        for length in (256, 300, 1000, 5000):
            with self.subTest(length=length):
                result = self.post_bytes(self.victim_request(temp + "a" * length))
                self.assertRefusedByLocation(result)
        # A directory part of more than 255 bytes empties every part.
        deep = temp + ("d" * 200 + SEP) * 2 + "victim.bin"
        self.assertRefusedByLocation(self.post_bytes(self.victim_request(deep)))

    def test_overlong_computer_name_never_loses_or_replaces_an_upload(self):
        # The target name is cut at 260 characters; a name cut before its number cannot count
        # up, so a second upload under the same cut name must fail rather than replace the first.
        for length in (120, 230, 400):
            with self.subTest(length=length):
                computer = "C" * length
                kept = []
                for attempt in range(2):
                    content = b"long name %d, upload %d" % (length, attempt)
                    path, pairs = self.signed_vars(content, computer=computer)
                    result = self.post_bytes(pairs)
                    self.assertIn(result.stdout, (OK, FAILED))
                    self.assertFalse(os.path.exists(path))
                    if result.stdout == OK:
                        kept.append(content)
                    self.assertEqual(sorted(self.filed_contents()), sorted(kept))
                    self.assertUntouched()
                if length == 120:
                    # Short enough to keep its number: both are filed, as n = 0 and n = 1.
                    self.assertEqual(len(kept), 2)
                    for name in self.inst.quarantined():
                        self.assertRegex(name, r"^C{120}_\d+\.[01]$")
                for name in self.inst.quarantined():
                    os.remove(os.path.join(self.inst.virus, name))

    def test_invalid_multibyte_sequences(self):
        temp = host_path(self.inst.temp).encode("latin-1") + SEP.encode()
        names = [temp + b"\xc0\xaf..\xc0\xafvictim.bin",       # an overlong '/'
                 temp + b"\xe0\x80\xaf..\xe0\x80\xafvictim.bin",
                 temp + b"\xff\xfe",
                 temp + b"\x81" + SEP.encode() + b".." + SEP.encode() + b"victim.bin",
                 temp + b"%c0%af..%c0%afvictim.bin"]
        for name in names:
            with self.subTest(name=name):
                result = self.post_bytes(self.victim_request(name))
                self.assertEqual(result.stdout, FAILED)
                self.assertEqual(self.inst.quarantined(), [])
                self.assertUntouched()
        for computer in (b"PC\xc0\xaf", b"\xe0\x80\xae\xe0\x80\xae", b"\xff"):
            with self.subTest(computer=computer):
                path = self.inst.upload(b"multibyte computer")
                pairs = [("TempFileName", host_path(path)), ("NewFileSize", "18"),
                         ("ComputerName", computer), ("Verify", "0" * 32)]
                result = self.post_bytes(pairs)
                self.assertEqual(result.stdout, FAILED)
                self.assertFalse(os.path.exists(path))
                self.assertUntouched()

    def test_multibyte_computer_name_is_filed_inside_the_folder(self):
        content = b"bytes of a name"
        path = self.inst.upload(content)
        # Not UTF-8 (an overlong '/', a lone 0xFF): natively the bytes themselves; under Wine
        # three letters of the ANSI code page, given to the signing tool as such.
        computer = b"PC\xc0\xaf\xff"
        verify = sign(path, harness.argument_for_bytes(computer))
        pairs = [("TempFileName", host_path(path)), ("NewFileSize", str(len(content))),
                 ("ComputerName", computer), ("Verify", verify)]
        result = self.post_bytes(pairs)
        self.assertEqual(result.stdout, OK)
        filed = os.listdir(os.fsencode(self.inst.virus))
        prefix = harness.unix_name_bytes(computer) + b"_"
        self.assertEqual(len([n for n in filed if n.startswith(prefix)]), 1, filed)


class Oversized(HostileCase):
    def assertNothingKept(self, result):
        self.assertEqual(result.stdout, EMPTY)
        self.assertEqual(os.listdir(self.inst.temp), [])
        self.assertEqual(self.inst.quarantined(), [])
        self.assertEqual(lines_of(result, "[Vendrel] cgiGetVars error"), [54])
        self.assertUntouched()

    def multipart_upload(self, content, extra=()):
        fields = [("TempFileName", ("infected.bin", content)),
                  ("NewFileSize", str(len(content))), ("ComputerName", "PC7"),
                  ("Verify", "0" * 32)] + list(extra)
        return harness.multipart(fields)

    def test_body_over_the_upload_limit(self):
        self.inst.write_settings({"Upload_Max_Size": "1"})
        self.before = self.outside_snapshot()
        body, ctype = self.multipart_upload(b"B" * (1024 * 1024 + 10))
        self.assertNothingKept(self.run_cgi(body=body, content_type=ctype))

    def test_variable_over_64_kib(self):
        body, ctype = self.multipart_upload(b"small", [("Padding", "p" * (64 * 1024 + 1))])
        self.assertNothingKept(self.run_cgi(body=body, content_type=ctype))
        pairs = self.victim_request(host_path(self.inst.temp) + SEP + "n" * (70 * 1024))
        result = self.post_bytes(pairs)
        self.assertNothingKept(result)

    def test_too_many_variables(self):
        pairs = [("v%d" % i, "x") for i in range(1001)]
        body, ctype = self.multipart_upload(b"many", pairs)
        self.assertNothingKept(self.run_cgi(body=body, content_type=ctype))

    def test_lying_content_lengths(self):
        body, ctype = self.multipart_upload(b"L" * 5000)
        for length in (len(body) + 1, len(body) * 2, -1, "99999999999999999999", "12abc", ""):
            with self.subTest(length=length):
                self.assertNothingKept(self.run_cgi(body=body, content_type=ctype,
                                                    content_length=length))

    def test_unterminated_multipart(self):
        body, ctype = self.multipart_upload(b"U" * 5000)
        cut = body[:body.rindex(b"--")]
        self.assertNothingKept(self.run_cgi(body=cut, content_type=ctype))

    def test_urlencoded_body_of_bad_escapes(self):
        for body in (b"TempFileName=%zz", b"TempFileName=a%00b&NewFileSize=1", b"%",
                     urlencode_bytes([("a", "b")]) + b"&=%"):
            with self.subTest(body=body):
                result = self.run_cgi(body=body, content_type="application/x-www-form-urlencoded")
                self.assertNothingKept(result)


if __name__ == "__main__":
    unittest.main(verbosity=2)
