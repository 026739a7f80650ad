"""The request handler end to end: every path of a request, its answer bytes, what became of
the upload, the quarantine folder, ".store" and the trace records."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import SEP, E2ETestCase, host_path, sign  # noqa: E402

CHARSET = "windows-1252" if harness.IS_WINDOWS else "UTF-8"
HEADERS = ("Pragma: no-cache\r\nContent-type: text/html;charset=%s\r\n\r\n" % CHARSET).encode()
OK = HEADERS + b"Vendrel_OK\r\r\n"
FAILED = HEADERS + b"Vendrel_FAILED\r\r\n"
SOURCE = ".\\Vendrel"


class RequestCase(E2ETestCase):
    def handler_traces(self, result):
        return [(lvl, line, text) for (lvl, line, text), r in zip(result.messages(), result.records)
                if r["source"] == SOURCE and text.startswith("[Vendrel] ")]

    def assertTraceLines(self, result, expected):
        self.assertEqual([(lvl, line) for lvl, line, _ in self.handler_traces(result)], expected)

    def assertAllRecordsWellFormed(self, result):
        for r in result.records:
            self.assertEqual(r["command"], "LOG_WRITE")
            self.assertTrue(r["message"].startswith("[Vendrel][vendrel"), r["message"])


class Success(RequestCase):
    def test_signed_upload_is_filed_counted_and_answered_ok(self):
        content = b"X" * 4096
        path, pairs = self.signed_vars(content)
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertFalse(os.path.exists(path))
        self.assertRegex(self.assertFiledAlone(content), r"^PC7_\d+\.0$")
        # The first scan sees an empty folder; the upload's own size is then added.
        self.assertEqual(self.inst.store_value(), 4096)
        self.assertTraceLines(result, [(4, 58), (4, 110), (4, 117), (4, 121), (4, 123), (4, 128),
                                       (4, 152)])
        texts = [t for _, _, t in self.handler_traces(result)]
        self.assertIn("[Vendrel] NewFileSize=4096", texts)
        self.assertAllRecordsWellFormed(result)
        verify_lines = [r["line"] for r in result.records if "VerifyPassPort]" in r["message"]]
        self.assertEqual(verify_lines, [203, 211, 218, 234, 243])

    def test_multipart_upload_as_an_endpoint_sends_it(self):
        content = bytes(range(256)) * 8
        probe = self.inst.upload(content, name="probe.bin")
        verify = sign(probe, "PC9")
        os.remove(probe)
        body, ctype = harness.multipart([("TempFileName", ("infected.bin", content)),
                                         ("NewFileSize", str(len(content))),
                                         ("ComputerName", "PC9"), ("Verify", verify)])
        result = self.run_cgi(body=body, content_type=ctype)
        self.assertEqual(result.stdout, OK)
        self.assertFiledAlone(content)
        self.assertEqual(os.listdir(self.inst.temp), [])

    def test_second_upload_in_the_same_second_gets_the_next_number(self):
        for _ in range(2):
            _, pairs = self.signed_vars(b"same computer")
            self.assertEqual(self.post_vars(pairs).stdout, OK)
        names = self.inst.quarantined()
        self.assertEqual(len(names), 2)
        self.assertEqual(self.inst.store_value(), 2 * len(b"same computer"))


class CommandLineWords(RequestCase):
    """The program reads no arguments: a web server passes the words of a query without "="
    as arguments, so --help or --version from a request must change nothing."""

    WORDS = [("--help",), ("--version",), ("-h",), ("--help", "--version"), ("list", "purge")]

    def outcome(self, result):
        return result.stdout, [(lvl, line, text) for lvl, line, text in self.handler_traces(result)]

    def test_signed_upload_answers_and_files_as_without_arguments(self):
        _, pairs = self.signed_vars(b"plain run")
        plain = self.post_vars(pairs)
        self.assertEqual(plain.stdout, OK)
        for words in self.WORDS:
            with self.subTest(words=words):
                before = set(self.inst.quarantined())
                path, pairs = self.signed_vars(b"plain run")
                result = self.post_vars(pairs, args=words)
                self.assertEqual(self.outcome(result), self.outcome(plain))
                self.assertFalse(os.path.exists(path))
                self.assertEqual(len(set(self.inst.quarantined()) - before), 1)

    def test_request_without_variables_answers_as_without_arguments(self):
        plain = self.run_cgi(method="GET", query="--help")
        self.assertEqual(plain.stdout, HEADERS)
        for words in self.WORDS:
            with self.subTest(words=words):
                result = self.run_cgi(method="GET", query=" ".join(words), args=words)
                self.assertEqual(self.outcome(result), self.outcome(plain))
                self.assertEqual(os.listdir(self.inst.temp), [])


class MissingAndBadVariables(RequestCase):
    def test_no_variable_array_gives_empty_body(self):
        # A body shorter than its CONTENT_LENGTH cannot be decoded.
        result = self.run_cgi(body=b"TempFileName=x", content_length=100,
                              content_type="application/x-www-form-urlencoded")
        self.assertEqual(result.stdout, HEADERS)
        self.assertTraceLines(result, [(4, 54)])

    def test_each_missing_variable_gives_empty_body_and_deletes_a_valid_upload(self):
        for missing in ("TempFileName", "NewFileSize", "ComputerName", "Verify"):
            with self.subTest(missing=missing):
                path, pairs = self.signed_vars()
                result = self.post_vars([(k, v) for k, v in pairs if k != missing])
                self.assertEqual(result.stdout, HEADERS)
                if missing == "TempFileName":
                    self.assertTrue(os.path.exists(path))
                    self.assertTraceLines(result, [(4, 58), (4, 67)])
                    os.remove(path)
                else:
                    self.assertFalse(os.path.exists(path))
                    self.assertTraceLines(result, [(4, 58), (4, 67), (4, 71)])
                    text = self.handler_traces(result)[-1][2]
                    self.assertEqual(text, "[Vendrel] DeleteFile(%s), bRet = 1, error = 0"
                                     % host_path(path))
                self.assertEqual(self.inst.quarantined(), [])

    def test_missing_variable_keeps_an_upload_outside_the_upload_directory(self):
        outside = os.path.join(self.workdir, "keep.bin")
        with open(outside, "wb") as f:
            f.write(b"keep")
        result = self.post_vars([("TempFileName", host_path(outside)), ("NewFileSize", "4")])
        self.assertEqual(result.stdout, HEADERS)
        self.assertTrue(os.path.exists(outside))
        self.assertTraceLines(result, [(4, 58), (4, 67)])

    def test_name_differing_only_in_case_is_missing(self):
        path, pairs = self.signed_vars()
        pairs[0] = ("tempfilename", pairs[0][1])
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, HEADERS)
        self.assertTraceLines(result, [(4, 58), (4, 67)])
        self.assertTrue(os.path.exists(path))

    def test_rejected_computer_names_leave_the_upload(self):
        names = ["PC%41", "a/b", "a\\b"]
        for name in names:
            with self.subTest(name=name):
                path, pairs = self.signed_vars(computer="PC7")
                pairs[2] = ("ComputerName", name)
                result = self.post_vars(pairs)
                self.assertEqual(result.stdout, HEADERS)
                self.assertTraceLines(result, [(4, 58), (8, 81)])
                self.assertEqual(self.handler_traces(result)[-1][2],
                                 "[Vendrel] Input parameter error, the request is invaild!")
                self.assertTrue(os.path.exists(path))

    def test_first_of_a_repeated_variable_counts(self):
        path, pairs = self.signed_vars()
        pairs.append(("ComputerName", "a/b"))
        self.assertEqual(self.post_vars(pairs).stdout, OK)


class Location(RequestCase):
    def check_refused(self, temp_file_name, keep):
        _, pairs = self.signed_vars()
        pairs[0] = ("TempFileName", temp_file_name)
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertTraceLines(result, [(4, 58), (4, 105), (4, 159)])
        self.assertTrue(os.path.exists(keep), keep)
        self.assertEqual(self.inst.quarantined(), [])
        return self.handler_traces(result)[1][2]

    def test_paths_outside_the_upload_directory_are_refused_and_kept(self):
        sub = os.path.join(self.inst.temp, "sub")
        os.makedirs(sub)
        inner = os.path.join(sub, "up.dat")
        with open(inner, "wb") as f:
            f.write(b"x")
        self.check_refused(host_path(inner), inner)
        above = os.path.join(self.inst.home, "up.dat")
        with open(above, "wb") as f:
            f.write(b"x")
        dotdot = host_path(self.inst.temp) + SEP + ".." + SEP + "up.dat"
        text = self.check_refused(dotdot, above)
        self.assertEqual(text, "[Vendrel] Invalid path.(%s)(%s)" % (
            host_path(self.inst.temp) + SEP + ".." + SEP, host_path(self.inst.home) + SEP + "TEMP" + SEP))
        self.check_refused("up.dat", above)

    def test_name_of_256_bytes_is_refused(self):
        path = self.inst.upload(b"x", name="n" * 200)
        long_name = host_path(self.inst.temp) + SEP + "n" * 256
        text = self.check_refused(long_name, path)
        self.assertTrue(text.startswith("[Vendrel] Invalid path.()("), text)

    def test_separator_and_case_rules(self):
        path = self.inst.upload(b"x", name="up.dat")
        if harness.IS_WINDOWS:
            # '/' is not '\' on Windows, though the file system takes both.
            self.check_refused(host_path(path).replace("\\", "/"), path)
        else:
            # The POSIX file system tells case apart: temp/ is another directory.
            self.check_refused(host_path(path).replace("/TEMP/", "/temp/"), path)
            self.check_refused(host_path(path).replace("/TEMP/", "/TEMP//"), path)

    @harness.windows_only("Windows paths compare without regard to case")
    def test_windows_location_ignores_case(self):
        content = b"case"
        path = self.inst.upload(content)
        verify = sign(path, "PC7")
        pairs = [("TempFileName", host_path(path).lower()), ("NewFileSize", "4"),
                 ("ComputerName", "PC7"), ("Verify", verify)]
        self.assertEqual(self.post_vars(pairs).stdout, OK)


class CapacityAndSignature(RequestCase):
    def test_capacity_failure_deletes_the_upload(self):
        # One byte over a capacity of 1 MB; the request claims 100 bytes, which does not count.
        self.inst.write_settings({"Quarantine_Folder_Capacity": "1"})
        content = b"y" * 1048577
        path, pairs = self.signed_vars(content, size=100)
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        self.assertTraceLines(result, [(4, 58), (4, 144), (4, 146), (4, 159)])
        capacity = [r for r in result.records if "VerifyVirusFolderSize]" in r["message"]]
        self.assertEqual(capacity[0]["line"], 351)
        self.assertTrue(capacity[0]["message"].endswith("Quarantine folder size is exceed 0"))

    def test_capacity_exactly_reached_fits(self):
        self.inst.write_settings({"Quarantine_Folder_Capacity": "1"})
        _, pairs = self.signed_vars(b"z" * 1048576, size=10)
        self.assertEqual(self.post_vars(pairs).stdout, OK)
        self.assertEqual(self.inst.store_value(), 1048576)

    def test_wrong_signature_deletes_the_upload(self):
        for bad in ("0" * 32, None, " %s", "%s "):
            with self.subTest(bad=bad):
                path, pairs = self.signed_vars()
                good = pairs[3][1]
                value = good.upper() if bad is None else (bad % good if "%s" in bad else bad)
                pairs[3] = ("Verify", value)
                result = self.post_vars(pairs)
                self.assertEqual(result.stdout, FAILED)
                self.assertFalse(os.path.exists(path))
                self.assertTraceLines(result, [(4, 58), (4, 110), (4, 135), (4, 137), (4, 159)])
                self.assertEqual(self.inst.quarantined(), [])

    def test_tampered_file_fails_its_signature(self):
        path, pairs = self.signed_vars(b"original")
        with open(path, "wb") as f:
            f.write(b"tampered")
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))

    def test_claimed_size_is_traced_as_received_and_the_real_size_counts(self):
        for text in ("abc", " 42kB", "99999999999", "-100", "2147483647", "1", ""):
            with self.subTest(text=text):
                store = os.path.join(self.inst.virus, ".store")
                with open(store, "wb") as f:
                    f.write((1000).to_bytes(8, "little", signed=True))
                _, pairs = self.signed_vars(b"sized")
                pairs[1] = ("NewFileSize", text)
                result = self.post_vars(pairs)
                self.assertEqual(result.stdout, OK)
                texts = [t for _, _, t in self.handler_traces(result)]
                self.assertIn("[Vendrel] NewFileSize=%s" % text, texts)
                stage = [t for _, _, t in result.messages() if "updateFolderSize]" in t]
                self.assertEqual(stage, ["[Vendrel:updateFolderSize] nFileSize=5",
                                         "[Vendrel:updateFolderSize] FolderSize=1000",
                                         "[Vendrel:updateFolderSize] New FolderSize=1005"])
                self.assertEqual(self.inst.store_value(), 1005)
                for name in self.inst.quarantined():
                    os.remove(os.path.join(self.inst.virus, name))


class FilingFailure(RequestCase):
    def test_filing_failure_is_answered_failed(self):
        missing = os.path.join(self.workdir, "no-such-folder")
        self.inst.write_settings({"Quarantine_Folder": host_path(missing)})
        path, pairs = self.signed_vars()
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        self.assertTraceLines(result, [(4, 58), (4, 110), (4, 117), (4, 121), (4, 123), (4, 159)])
        lines = [r["line"] for r in result.records if "MoveInfectedFile]" in r["message"]]
        self.assertEqual(lines[-2:], [320, 322])


class NoEngine(RequestCase):
    engine = False

    def test_missing_engine_library_fails_the_signature(self):
        path = self.inst.upload(b"data")
        pairs = [("TempFileName", host_path(path)), ("NewFileSize", "4"),
                 ("ComputerName", "PC7"), ("Verify", "0" * 32)]
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, FAILED)
        self.assertFalse(os.path.exists(path))
        verify = [r["line"] for r in result.records if "VerifyPassPort]" in r["message"]]
        self.assertEqual(verify, [200])


class ThrowingEngine(RequestCase):
    def test_exception_in_a_stage_ends_the_request(self):
        # An engine that runs out of memory: the exception reaches the guard.
        thrower = os.path.join(harness.BIN_DIR, "throwing",
                               harness.ENGINE_FILE)
        self.assertTrue(os.path.exists(thrower), "the build lacks its throwing engine " + thrower)
        os.remove(os.path.join(self.inst.bin, harness.ENGINE_FILE))
        shutil.copy2(thrower, os.path.join(self.inst.bin, harness.ENGINE_FILE))
        path, pairs = self.signed_vars()
        pairs[3] = ("Verify", "0" * 32)
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, HEADERS)
        self.assertTrue(os.path.exists(path))
        self.assertEqual(result.messages()[-1], (4, 170, "[Vendrel] exception happen!!"))


class NoLogServer(RequestCase):
    def test_request_is_served_without_a_log_server(self):
        self.logd.stop()
        path, pairs = self.signed_vars()
        result = self.post_vars(pairs)
        self.assertEqual(result.stdout, OK)
        self.assertEqual(len(self.inst.quarantined()), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
