"""The guide checker itself: what it takes for a command, how it runs a block, and that the
static check catches each way a document can drift from the tests."""

import os
import shutil
import subprocess
import tempfile
import unittest

import guide_blocks
from guide_blocks import GuideError, block_script, check_sources, iis_groups, parse_guide

GUIDE = """# Guide

See `vendrel(8)`, `vendrel-logd(8)`, `vendrel-quarantine(8)` and `vendrel-sign(1)`.
Settings: Alpha_Key, Beta_Key. The example ex.conf has `@HOST@`. Reload with
`systemctl reload x`; run `vendrel-quarantine ...` as www-data.

<!-- test: first -->
```sh
echo one \\
    two
# a comment
echo three
```

```sh
# not run by the tests: needs a running systemd
systemctl reload x
```

```ini
[INI_SERVER_SECTION]
```
"""
RUNNER = "guide_run first\n"
IIS = ("Steps\r\n  1. Run (not run by the tests: needs Windows):\r\n     > icacls C:\\Vendrel\r\n"
       "  2. Then:\r\n     > sc start vendrel-logd\r\n")
EXAMPLE = "# Example.\n#   @HOST@  the host\nserver = @HOST@\n"
CHECK_SOURCE = 'static const char* const kKnownKeys[] = {"Alpha_Key", "Beta_Key"};\n'


class Parsing(unittest.TestCase):
    def test_blocks_names_marks_and_commands(self):
        blocks = parse_guide(GUIDE)
        self.assertEqual([(b.kind, b.name, b.marked()) for b in blocks],
                         [("sh", "first", False), ("sh", None, True), ("ini", None, False)])
        self.assertEqual(blocks[0].commands(), ["echo one two", "echo three"])
        self.assertEqual(blocks[1].commands(), ["systemctl reload x"])
        self.assertEqual(blocks[1].mark(), "not run by the tests: needs a running systemd")

    def test_console_and_cron_commands(self):
        cases = [
            ("console", ["$ tool list", "output line", "$ tool stats --format json", "{}"],
             ["tool list", "tool stats --format json"]),
            ("cron", ["*/5 * * * * root f=/x; tool >\"$f\"", "# comment", "",
                      "30 0 * * * www-data tool purge"],
             ["f=/x; tool >\"$f\"", "tool purge"]),
        ]
        for kind, lines, want in cases:
            with self.subTest(kind=kind):
                self.assertEqual(guide_blocks.Block(kind, "n", lines, 1).commands(), want)

    def test_malformed_guides_are_refused(self):
        for text in ("```sh\necho never closed\n", "```\necho no kind\n```\n"):
            with self.subTest(text=text):
                with self.assertRaises(GuideError):
                    parse_guide(text)

    def test_iis_groups_and_their_marks(self):
        self.assertEqual(iis_groups(IIS), [(True, ["icacls C:\\Vendrel"], 3),
                                           (False, ["sc start vendrel-logd"], 5)])


class Scripts(unittest.TestCase):
    def run_script(self, block, replacements=()):
        script = block_script(block, replacements)
        return subprocess.run(["bash", "-c", script], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=30)

    def test_a_replacement_must_occur(self):
        block = parse_guide(GUIDE)[0]
        self.assertEqual(self.run_script(block, [("three", "four")]).stdout,
                         b"one two\nfour\n")
        with self.assertRaises(GuideError):
            block_script(block, [("http://127.0.0.1/", "http://127.0.0.1:8080/")])

    def test_a_console_command_may_fail_but_not_with_a_usage_error(self):
        for status, passes in ((0, True), (1, True), (2, False), (3, False)):
            with self.subTest(status=status):
                block = guide_blocks.Block("console", "c", ["$ (exit %d)" % status, "out"], 1)
                self.assertEqual(self.run_script(block).returncode == 0, passes)

    def test_a_failing_sh_line_fails_the_block(self):
        block = guide_blocks.Block("sh", "s", ["false", "echo not reached"], 1)
        result = self.run_script(block)
        self.assertNotEqual(result.returncode, 0)
        self.assertNotIn(b"not reached", result.stdout)

    def test_cron_lines_run_as_their_user(self):
        block = guide_blocks.Block("cron", "c", ["30 0 * * * www-data tool purge",
                                                 "* * * * * root echo 'a b'"], 1)
        script = block_script(block)
        self.assertIn("runuser -u www-data -- /bin/sh -c 'tool purge'", script)
        self.assertIn("/bin/sh -c 'echo '\"'\"'a b'\"'\"''", script)
        with self.assertRaises(GuideError):
            block_script(guide_blocks.Block("cron", "c", ["@daily root tool"], 1))


GUIDE_MD = "packaging/doc/operators-guide.md"
RUNNER_SH = "scripts/package-test.sh"


class StaticCheck(unittest.TestCase):
    FILES = {
        GUIDE_MD: GUIDE,
        RUNNER_SH: RUNNER,
        "packaging/windows/IIS.txt": IIS,
        "packaging/security/ex.conf": EXAMPLE,
        "tools/vendrel-quarantine/cmd_check.cpp": CHECK_SOURCE,
        "packaging/man/vendrel.8": "Alpha_Key Beta_Key\n",
        "packaging/server.ini": "Alpha_Key=1\nBeta_Key=2\n",
        "packaging/windows/server.ini": "Alpha_Key=1\r\nBeta_Key=2\r\n",
    }

    def problems(self, changes=None):
        """The check's problems for the sources with changes: {path: (old text, new text)}."""
        root = tempfile.mkdtemp(prefix="vendrel-guide-check-")
        self.addCleanup(shutil.rmtree, root)
        for path, text in self.FILES.items():
            if path in (changes or {}):
                old, new = changes[path]
                self.assertIn(old, text)
                text = text.replace(old, new)
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w", newline="") as f:
                f.write(text)
        return check_sources(root)[0]

    def test_consistent_sources_pass(self):
        self.assertEqual(self.problems(), [])

    def test_each_drift_is_named(self):
        cases = [
            ("a block neither run nor marked",
             {GUIDE_MD: ("# not run by the tests: needs a running systemd\n", "")},
             "no test runs and no mark explains: systemctl reload x"),
            ("a named block the package test never runs",
             {RUNNER_SH: ("guide_run first", "")}, "never runs it (guide_run first)"),
            ("the package test runs a block the guide lacks",
             {RUNNER_SH: ("guide_run first", "guide_run first\nguide_run gone")},
             "runs guide block gone, which the guide lacks"),
            ("a block both named and marked",
             {GUIDE_MD: ("```sh\necho one", "```sh\n# not run by the tests: x\necho")},
             "both run by the tests and marked"),
            ("a name given to a block without commands",
             {GUIDE_MD: ("\n```ini", "\n<!-- test: settings -->\n```ini")},
             "holds no commands to run, but is named settings"),
            ("an unknown block kind", {GUIDE_MD: ("```ini", "```yaml")},
             "unknown block kind 'yaml'"),
            ("an IIS.txt command neither marked nor runnable under Wine",
             {"packaging/windows/IIS.txt": ("(not run by the tests: needs Windows):", "Run:")},
             "icacls C:\\Vendrel is neither marked"),
            ("a placeholder not explained at the example's top",
             {"packaging/security/ex.conf": ("server = @HOST@", "server = @HOST@ @PORT@")},
             "@PORT@ is not explained at its top"),
            ("a placeholder the guide does not explain",
             {GUIDE_MD: ("has `@HOST@`", "has a host")},
             "does not explain @HOST@ of ex.conf"),
            ("a setting missing from the manual page",
             {"packaging/man/vendrel.8": ("Beta_Key", "")},
             "man/vendrel.8 does not document the setting Beta_Key"),
            ("a setting missing from the Windows settings",
             {"packaging/windows/server.ini": ("Beta_Key=2\r\n", "")},
             "windows/server.ini does not document the setting Beta_Key"),
            ("a command named in the text that no block holds",
             {GUIDE_MD: ("`systemctl reload x`", "`systemctl restart x`")},
             "the command `systemctl restart x` in the text is in no block"),
            ("a manual page the guide does not point to",
             {GUIDE_MD: ("`vendrel-sign(1)`", "vendrel-sign")},
             "does not point to vendrel-sign(1)"),
        ]
        for what, changes, expected in cases:
            with self.subTest(what):
                found = self.problems(changes)
                self.assertTrue(any(expected in p for p in found), found)


if __name__ == "__main__":
    unittest.main()
