"""vendrel-quarantine as an operator runs it, against the real executables of one build: a home
made for the test, a running vendrel-logd whose jsonl output keeps the command's audit trail, and
a quarantine folder holding quarantined files of known computers and ages beside entries that
are no quarantined files (a directory, other names, ".store", hidden temporary names old and
young, and natively a symbolic link named like a quarantined file that points outside). Each
command must see, count, group and delete exactly the quarantined files it is asked for, touch
nothing else, and leave ".store" equal to the folder's total as the program counts it."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import BIN_DIR, EXE, E2ETestCase, command, host_path, wine_env  # noqa: E402
from system_cases import Mount  # noqa: E402

DAY = 86400
TOOL = "vendrel-quarantine" + EXE
TEMP_NAME = re.compile(r"^\..+\.~[a-z0-9]{6}$")
OUTSIDE = b"a file outside the quarantine folder, never deleted through a link\n"


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class ToolCase(E2ETestCase):
    """An installation with the command beside the program, and a planted folder."""

    def setUp(self):
        super().setUp()
        harness.place(os.path.join(BIN_DIR, TOOL), os.path.join(self.inst.bin, TOOL))
        self.now = int(time.time())
        self.files = {}
        self.plant()

    def quarantine(self, computer, age, content, n=0):
        name = "%s_%d.%d" % (computer, self.now - age, n)
        self.put(name, content)
        self.files[name] = content
        return name

    def put(self, name, content, age=None):
        path = os.path.join(self.inst.virus, name)
        with open(path, "wb") as f:
            f.write(content)
        if age is not None:
            old = time.time() - age
            os.utime(path, (old, old))
        return path

    def plant(self):
        self.old = self.quarantine("PC7", 100 * DAY, b"A" * 100)
        self.mid = self.quarantine("PC8", 50 * DAY, b"B" * 200)
        self.sample_a = self.quarantine("HOST_A_B", 20 * DAY, b"outbreak sample")
        self.sample_b = self.quarantine("PC7", DAY, b"outbreak sample")
        self.young = self.quarantine("PC7", 600, b"young", n=1)
        self.put("notes.txt", b"not quarantined")
        self.put("PC7_1700000000.0.bak", b"not a filing name")
        os.makedirs(os.path.join(self.inst.virus, "PC9_1700000000.0"))
        self.put(os.path.join("PC9_1700000000.0", "inner_1700000000.0"), b"never entered")
        self.put(".store", (1).to_bytes(8, "little"))
        self.old_leftover = "..store.~abc123"
        self.put(self.old_leftover, b"left by a killed replacement", age=7200)
        self.young_leftover = ".PC7_1700000000.0.~k3j9x2"
        self.put(self.young_leftover, b"a copy in progress")
        self.outside = os.path.join(self.workdir, "outside.bin")
        with open(self.outside, "wb") as f:
            f.write(OUTSIDE)
        if not harness.IS_WINDOWS:
            os.symlink(self.outside, os.path.join(self.inst.virus, "PC1_1600000000.0"))

    def run_tool(self, *args, home=True, env=None, cwd=None):
        full_env = dict(os.environ, **wine_env(), VENDREL_PIPE_DIR=self.logd.pipe_dir)
        full_env.pop("KELSIO_HOME", None)
        full_env.update(env or {})
        argv = (["--home", host_path(self.inst.home)] if home else []) + list(args)
        proc = subprocess.run(command(os.path.join(self.inst.bin, TOOL), *argv), env=full_env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
                              cwd=cwd or self.workdir)
        return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")

    def settled_offset(self):
        """The end of the log server's output once earlier commands' records are all written:
        under Wine a record's serving thread may write it after its sender has ended."""
        self.logd.records(self.logd.offset())
        return self.logd.offset()

    def tool_records(self, start):
        return [r for r in self.logd.records(start) if r["source"] == ".\\vendrel-quarantine"]

    def tool_messages(self, start):
        out = []
        for r in self.tool_records(start):
            self.assertTrue(r["message"].startswith("[vendrel-quarantine][vendrel-quarantine"),
                            r["message"])
            out.append(r["message"][r["message"].index("]", r["message"].index("]") + 1) + 1:])
        return out

    def snapshot(self):
        """The folder's entries but ".store", and the link's target."""
        seen = {}
        for name in os.listdir(self.inst.virus):
            if name == ".store":
                continue
            path = os.path.join(self.inst.virus, name)
            st = os.lstat(path)
            if os.path.islink(path):
                seen[name] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                seen[name] = ("dir", sorted(os.listdir(path)))
            else:
                with open(path, "rb") as f:
                    seen[name] = ("file", f.read(), st.st_ino, st.st_mtime_ns)
        with open(self.outside, "rb") as f:
            seen["<outside>"] = f.read()
        return seen

    def without(self, snapshot, *names):
        return {k: v for k, v in snapshot.items() if k not in names}

    def folder_total(self):
        """The folder's total as the program's own listing counts it: every entry's size,
        directories 0; natively the platform's listing leaves out hidden temporary names."""
        total = 0
        for name in os.listdir(self.inst.virus):
            path = os.path.join(self.inst.virus, name)
            if not harness.IS_WINDOWS and TEMP_NAME.match(name):
                continue
            st = os.lstat(path)
            if not os.path.isdir(path) or os.path.islink(path):
                total += st.st_size
        return total

    def path(self, name):
        return host_path(os.path.join(self.inst.virus, name))

    def iso(self, seconds):
        return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))

    def filed(self, name):
        return int(name.rsplit("_", 1)[1].split(".")[0])

    def sorted_files(self, names=None):
        names = self.files if names is None else names
        return sorted(names, key=lambda n: (self.filed(n), n))


class Listing(ToolCase):
    def test_list_shows_exactly_the_quarantined_files_oldest_first(self):
        before = self.snapshot()
        rc, out, err = self.run_tool("list")
        self.assertEqual(rc, 0, err)
        expected = ["%s  %12d  %s  %s" % (self.iso(self.filed(n)), len(self.files[n]),
                                          n.rsplit("_", 1)[0], n) for n in self.sorted_files()]
        self.assertEqual(out.splitlines(), expected)
        self.assertEqual(self.snapshot(), before)

    def test_json_and_csv_carry_every_field(self):
        rc, out, err = self.run_tool("list", "--format", "json", "--sha256")
        self.assertEqual(rc, 0, err)
        rows = json.loads(out)
        self.assertEqual([r["name"] for r in rows], self.sorted_files())
        for row in rows:
            name = row["name"]
            self.assertEqual(set(row), {"name", "computer", "time", "seconds", "size", "path",
                                        "sha256"})
            self.assertEqual(row["computer"], name.rsplit("_", 1)[0])
            self.assertEqual(row["seconds"], self.filed(name))
            self.assertEqual(row["time"], self.iso(self.filed(name)))
            self.assertEqual(row["size"], len(self.files[name]))
            self.assertEqual(row["path"], self.path(name))
            self.assertEqual(row["sha256"], sha256(self.files[name]))

        rc, out, err = self.run_tool("list", "--format", "csv", "--computer", "PC7",
                                     "--older-than", "1h")
        self.assertEqual(rc, 0, err)
        lines = out.split("\r\n")
        self.assertEqual(lines[0], "name,computer,time,seconds,size,path")
        self.assertEqual(lines[-1], "")
        self.assertEqual([line.split(",")[0].strip('"') for line in lines[1:-1]],
                         [self.old, self.sample_b])

    def test_newer_than_takes_the_recent_files(self):
        rc, out, err = self.run_tool("list", "--newer-than", "2d", "--format", "json")
        self.assertEqual(rc, 0, err)
        self.assertEqual([r["name"] for r in json.loads(out)], [self.sample_b, self.young])

    def test_stats_counts_files_others_and_the_cache(self):
        rc, out, err = self.run_tool("stats", "--format", "json")
        self.assertEqual(rc, 0, err)
        stats = json.loads(out)
        others = [n for n in os.listdir(self.inst.virus) if n not in self.files]
        other_bytes = sum(os.lstat(os.path.join(self.inst.virus, n)).st_size
                          for n in others if not os.path.isdir(os.path.join(self.inst.virus, n))
                          or os.path.islink(os.path.join(self.inst.virus, n)))
        self.assertEqual(stats["files"], 5)
        self.assertEqual(stats["bytes"], sum(len(c) for c in self.files.values()))
        self.assertEqual(stats["capacity_bytes"], 10240 * 1048576)
        self.assertEqual(stats["folder_bytes"], self.folder_total())
        self.assertEqual(stats["store_bytes"], 1)
        self.assertEqual(stats["store_drift_bytes"], 1 - self.folder_total())
        self.assertEqual(stats["oldest_seconds"], self.filed(self.old))
        self.assertEqual(stats["newest"], self.iso(self.filed(self.young)))
        self.assertEqual(stats["other_entries"], len(others))
        self.assertEqual(stats["other_bytes"], other_bytes)
        self.assertEqual([(c["computer"], c["files"], c["bytes"]) for c in stats["computers"]],
                         [("PC8", 1, 200), ("PC7", 3, 120), ("HOST_A_B", 1, 15)])

        rc, out, err = self.run_tool("stats", "--format", "prometheus")
        self.assertEqual(rc, 0, err)
        samples = dict(line.split(" ") for line in out.splitlines() if not line.startswith("#"))
        self.assertEqual(samples, {
            "vendrel_quarantine_files": "5",
            "vendrel_quarantine_bytes": str(stats["bytes"]),
            "vendrel_quarantine_capacity_bytes": str(10240 * 1048576),
            "vendrel_quarantine_store_bytes": "1",
            "vendrel_quarantine_oldest_file_timestamp_seconds": str(self.filed(self.old)),
            "vendrel_quarantine_newest_file_timestamp_seconds": str(self.filed(self.young)),
            "vendrel_quarantine_other_entries": str(len(others)),
        })
        for name in samples:
            self.assertIn("# HELP %s " % name, out)
            self.assertIn("# TYPE %s gauge\n" % name, out)

    def test_samples_group_by_content(self):
        rc, out, err = self.run_tool("samples", "--format", "json")
        self.assertEqual(rc, 0, err)
        rows = json.loads(out)
        self.assertEqual(rows[0], {"sha256": sha256(b"outbreak sample"), "files": 2,
                                   "computers": 2, "size": 15,
                                   "first": self.iso(self.filed(self.sample_a)),
                                   "last": self.iso(self.filed(self.sample_b))})
        # Then one file each, the newest first.
        self.assertEqual([r["sha256"] for r in rows[1:]],
                         [sha256(b"young"), sha256(b"B" * 200), sha256(b"A" * 100)])
        rc, out, err = self.run_tool("samples", "--since", "30d", "--computer", "PC7",
                                     "--format", "csv")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.split("\r\n")[1:-1], [
            "%s,1,1,5,%s,%s" % (sha256(b"young"), self.iso(self.filed(self.young)),
                                self.iso(self.filed(self.young))),
            "%s,1,1,15,%s,%s" % (sha256(b"outbreak sample"), self.iso(self.filed(self.sample_b)),
                                 self.iso(self.filed(self.sample_b))),
        ])


class Purging(ToolCase):
    def assertStoreIsTheListing(self):
        self.assertEqual(self.inst.store_value(), self.folder_total())

    def test_purge_older_than_deletes_and_traces_exactly_those_files(self):
        before = self.snapshot()
        start = self.settled_offset()
        rc, out, err = self.run_tool("purge", "--older-than", "30d")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.snapshot(), self.without(before, self.old, self.mid,
                                                       self.old_leftover))
        self.assertStoreIsTheListing()
        lines = out.splitlines()
        self.assertTrue(lines[0].endswith("  PC7  " + self.old), lines)
        self.assertTrue(lines[1].endswith("  PC8  " + self.mid), lines)
        self.assertTrue(lines[2].startswith("removed leftover " + self.old_leftover), lines)
        self.assertTrue(lines[3].startswith("purge: deleted 2 files, 300 bytes"), lines)
        # The log server writes each record as its connection completes; under Wine a record's
        # serving thread may finish after the next one's, so the trail is compared as a set.
        messages = sorted(self.tool_messages(start))
        summary = [m for m in messages if m.startswith("[vendrel-quarantine:purge] deleted 2 ")]
        self.assertEqual(len(summary), 1, messages)
        self.assertIn(".store %d bytes" % self.folder_total(), summary[0])
        self.assertEqual(sorted(set(messages) - set(summary)), sorted([
            "[vendrel-quarantine:purge] deleted %s (100 bytes, computer PC7, filed %s)"
            % (self.path(self.old), self.iso(self.filed(self.old))),
            "[vendrel-quarantine:purge] deleted %s (200 bytes, computer PC8, filed %s)"
            % (self.path(self.mid), self.iso(self.filed(self.mid))),
            "[vendrel-quarantine:purge] removed leftover %s (%d bytes)"
            % (self.path(self.old_leftover), len(b"left by a killed replacement")),
        ]))
        self.assertEqual(len(messages), 4)

    def test_keep_bytes_and_computer_bound_the_deletion(self):
        before = self.snapshot()
        rc, out, err = self.run_tool("purge", "--keep-bytes", "10", "--computer", "PC7")
        self.assertEqual(rc, 0, err)
        # PC7 holds 100 + 15 + 5 bytes: the two oldest go, the 5 bytes stay.
        self.assertEqual(self.snapshot(), self.without(before, self.old, self.sample_b,
                                                       self.old_leftover))
        self.assertStoreIsTheListing()
        rc, out, err = self.run_tool("purge", "--keep-bytes", "0K")
        self.assertEqual(rc, 0, err)
        self.assertEqual(sorted(n for n in os.listdir(self.inst.virus) if n in self.files), [])
        self.assertStoreIsTheListing()

    def test_dry_run_prints_the_same_and_changes_nothing(self):
        self.inst.write_settings({"Quarantine_Retention_Days": "30"})
        before = self.snapshot()
        store = self.inst.store_value()
        start = self.settled_offset()
        rc, dry, err = self.run_tool("purge", "--dry-run")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(self.inst.store_value(), store)
        self.assertEqual(self.tool_records(start), [])
        rc, real, err = self.run_tool("purge")
        self.assertEqual(rc, 0, err)
        self.assertEqual(dry.splitlines()[:2], real.splitlines()[:2])
        self.assertEqual(self.snapshot(), self.without(before, self.old, self.mid,
                                                       self.old_leftover))

    def test_retention_zero_keeps_everything_and_says_so(self):
        before = self.snapshot()
        store = self.inst.store_value()
        start = self.settled_offset()
        for settings in ({}, {"Quarantine_Retention_Days": "0"}):
            self.inst.write_settings(settings)
            rc, out, err = self.run_tool("purge")
            self.assertEqual(rc, 0, err)
            self.assertIn("kept forever; nothing deleted", out)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(self.inst.store_value(), store)
        self.assertEqual(self.tool_records(start), [])

    def test_rescan_writes_the_listing_and_prints_old_and_new(self):
        os.remove(os.path.join(self.inst.virus, self.mid))
        before = self.snapshot()
        rc, out, err = self.run_tool("rescan")
        self.assertEqual(rc, 0, err)
        self.assertStoreIsTheListing()
        self.assertEqual(self.snapshot(), self.without(before, self.old_leftover))
        self.assertIn("old .store: 1 bytes\n", out)
        self.assertIn("new .store: %d bytes" % self.folder_total(), out)

    def test_a_cache_that_a_full_disk_keeps_from_being_written_fails_rescan(self):
        mount = Mount(os.path.join(self.workdir, "full"), "64k")
        self.addCleanup(mount.unmount)
        folder = mount.path
        self.inst.write_settings({"Quarantine_Folder": host_path(folder)})
        with open(os.path.join(folder, "PC7_%d.0" % (self.now - DAY)), "wb") as f:
            f.write(b"q" * 1000)
        # No cache yet: writing one needs room that the full disk does not have (rewriting an
        # existing one in place could reuse its own block).
        fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while os.write(fd, b"f" * 1024) > 0:
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        rc, out, err = self.run_tool("rescan")
        self.assertEqual(rc, 1, out)
        self.assertIn(".store holds ", err)
        self.assertIn("the write failed (is the disk full?)", err)
        # The file is still there; the cache is missing or empty, never a wrong total.
        self.assertTrue(os.path.exists(os.path.join(folder, "PC7_%d.0" % (self.now - DAY))))
        store = os.path.join(folder, ".store")
        self.assertTrue(not os.path.exists(store) or os.path.getsize(store) == 0)

    def test_a_file_the_program_filed_is_listed_and_purged(self):
        content = b"filed through the program\n" * 3
        path, pairs = self.signed_vars(content, computer="EDGE_01")
        result = self.post_vars(pairs)
        self.assertIn(b"Vendrel_OK", result.stdout)
        rc, out, err = self.run_tool("list", "--computer", "EDGE_01", "--format", "json",
                                     "--sha256")
        self.assertEqual(rc, 0, err)
        rows = json.loads(out)
        self.assertEqual(len(rows), 1)
        self.assertEqual(rows[0]["sha256"], sha256(content))
        self.assertRegex(rows[0]["name"], r"^EDGE_01_\d+\.0$")
        rc, out, err = self.run_tool("purge", "--keep-bytes", "0", "--computer", "EDGE_01")
        self.assertEqual(rc, 0, err)
        self.assertFalse(os.path.exists(os.path.join(self.inst.virus, rows[0]["name"])))
        self.assertStoreIsTheListing()


class Usage(ToolCase):
    BAD = [
        (("purge", "--older-than", "12x"), "'12x'"),
        (("purge", "--older-than", "-3d"), "'-3d'"),
        (("purge", "--keep-bytes", "1.5G"), "'1.5G'"),
        (("purge", "--keep-bytes", "ten"), "'ten'"),
        (("list", "--newer-than", "3w"), "'3w'"),
        (("samples", "--since", ""), "''"),
        (("purge", "--force"), "'--force'"),
        (("stats", "--format", "xml"), "'xml'"),
        (("remove",), "'remove'"),
        (("purge", "--older-than", "1d", "--keep-bytes", "1"), "--keep-bytes"),
    ]

    def test_bad_values_are_usage_errors_that_change_nothing(self):
        before = self.snapshot()
        store = self.inst.store_value()
        start = self.settled_offset()
        for args, named in self.BAD:
            with self.subTest(args=args):
                rc, out, err = self.run_tool(*args)
                self.assertEqual(rc, 2)
                self.assertIn(named, err)
                self.assertEqual(out, "")
        missing = host_path(os.path.join(self.workdir, "no-such-home"))
        rc, out, err = self.run_tool("--home", missing, "purge", "--older-than", "1d", home=False)
        self.assertEqual(rc, 2)
        self.assertIn(missing, err)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(self.inst.store_value(), store)
        self.assertEqual(self.tool_records(start), [])

    def test_output_that_cannot_be_written_fails_the_command(self):
        # A metrics file written through a redirection onto a full disk must not be taken for a
        # good one: the exit status says so, and the rename after it is not made.
        env = dict(os.environ, **wine_env(), VENDREL_PIPE_DIR=self.logd.pipe_dir)
        with open("/dev/full", "wb") as full:
            proc = subprocess.run(command(os.path.join(self.inst.bin, TOOL), "--home",
                                          host_path(self.inst.home), "stats", "--format",
                                          "prometheus"),
                                  env=env, stdout=full, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"cannot write the output", proc.stderr)

    def test_help_and_version(self):
        rc, out, err = self.run_tool("--help", home=False)
        self.assertEqual(rc, 0)
        self.assertTrue(out.startswith("usage: vendrel-quarantine"), out)
        rc, out, err = self.run_tool("--version", home=False)
        self.assertEqual((rc, out), (0, "vendrel-quarantine 1.0.0\n"))

    def test_home_from_the_environment_or_beside_the_command(self):
        rc, by_option, err = self.run_tool("list")
        self.assertEqual(rc, 0, err)
        rc, by_env, err = self.run_tool("list", home=False,
                                        env={"KELSIO_HOME": host_path(self.inst.home)})
        self.assertEqual((rc, by_env), (0, by_option), err)
        # The build used here names no home of its own: the command finds the home two levels
        # above its directory, as the program does.
        rc, beside, err = self.run_tool("list", home=False)
        self.assertEqual((rc, beside), (0, by_option), err)


class Checking(ToolCase):
    def setUp(self):
        super().setUp()
        if not harness.IS_WINDOWS:
            os.chmod(self.inst.temp, 0o700)
            os.chmod(self.inst.virus, 0o700)

    def test_a_good_installation_passes_and_the_log_server_gets_the_record(self):
        self.assertEqual(self.run_tool("rescan")[0], 0)
        start = self.settled_offset()
        rc, out, err = self.run_tool("check")
        self.assertEqual(rc, 0, out + err)
        self.assertNotIn("FAILED ", out)
        self.assertIn("log server reachable", out)
        self.assertEqual(self.tool_messages(start),
                         ["[vendrel-quarantine:check] check of " + host_path(self.inst.home)])

    def test_broken_installations_fail_naming_the_fault(self):
        nowhere = host_path(os.path.join(self.workdir, "nowhere"))
        self.inst.write_settings({"Quarantine_Folder": nowhere,
                                  "Quarantine_Folder_Capacity": "10G",
                                  "Quarantine_Folder_Capasity": "1"})
        shutil.rmtree(self.inst.temp)
        rc, out, err = self.run_tool("check")
        self.assertEqual(rc, 1, out)
        failed = [line for line in out.splitlines() if line.startswith("FAILED")]
        self.assertTrue(any("quarantine folder %s does not exist" % nowhere in line
                            for line in failed), out)
        self.assertTrue(any("TEMP does not exist" in line for line in failed), out)
        self.assertTrue(any("Quarantine_Folder_Capacity=10G is not a whole number" in line
                            for line in failed), out)
        self.assertIn("warning  unknown key Quarantine_Folder_Capasity", out)
        self.assertFalse(os.path.exists(os.path.join(self.workdir, "nowhere")))

    def test_a_missing_log_server_is_a_warning(self):
        self.assertEqual(self.run_tool("rescan")[0], 0)
        self.logd.stop()
        rc, out, err = self.run_tool("check")
        self.assertEqual(rc, 0, out)
        self.assertIn("warning  log server not reachable", out)


if __name__ == "__main__":
    unittest.main()
