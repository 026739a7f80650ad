"""Several servers, one quarantine: two installations on this machine, each with its own home,
upload directory, log server and Apache, whose server.ini files name their own mount of one
GlusterFS volume (two bricks, replica 2) as the quarantine folder, as the operator's guide sets
it up. Uploads go through both servers at once, with computer names that both use, so that
their filings race for the same names across the two clients.

After every run: each upload answered Vendrel_OK is filed exactly once, intact, and the same
through both mounts; each refused one is gone; both upload directories are empty; the folder
holds nothing but quarantined names and ".store"; ".store" reads the same through both mounts
and is explained by the listing. The runs are repeated with one brick killed in the middle and
brought back, then healed: the bricks then hold the same files.

Needs root, glusterfs-server and glusterfs-client, Apache; takes the machine-global lock. A
missing prerequisite fails the test with the reason. Run by scripts/cluster-test.sh."""

import collections
import fcntl
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import loadclient  # noqa: E402
import webserver  # noqa: E402
from gluster_volume import (ClusterSetupError, GlusterVolume, file_digests,  # noqa: E402
                            hold_machine_lock, missing_prerequisites, read_through_mount)

SERVER_USER = "www-data"
# One write of the filing's copy: a listing that runs while a copy is under way then counts the
# file whole or empty, and ".store" stays a whole number of uploads off the listing.
UPLOAD_SIZE = 60 * 1024
# Both servers file for the same computers, so that their free-name searches collide.
COMPUTERS = ("PC1", "PC2")
CLIENTS_PER_SERVER = 3
VALID_PER_SERVER = 60
WRONG_PER_SERVER = 20
# The brick outage: killed once this many answers have come back, restarted at the second.
KILL_AT_ANSWER = 40
RESTART_AT_ANSWER = 110
HEAL_SECONDS = 60
LARGE_UPLOAD = 48 * 1024 * 1024
STORE_ROUNDS = 20
HOLD_WAIT_SECONDS = 5
KILL_WATCH_SECONDS = 60
STORE = ".store"
BODY_OK = b"Vendrel_OK\r\r\n"
BODY_FAILED = b"Vendrel_FAILED\r\r\n"
# <ComputerName>_<seconds>.<n>
FILED_NAME = re.compile(r"^(%s)_-?[0-9]+\.[0-9]+$" % "|".join(COMPUTERS))


def ended_by_signal(signum, frame):
    raise ClusterSetupError("ended by signal %d" % signum)


class Job:
    def __init__(self, kind, content, computer, verify):
        self.kind = kind
        self.content = content
        self.digest = hashlib.sha256(content).hexdigest()
        self.body, self.content_type = harness.multipart([
            ("TempFileName", ("sample.bin", content)), ("NewFileSize", str(len(content))),
            ("ComputerName", computer), ("Verify", verify)])


class Server:
    """One web server of the cluster: its home, log server and Apache, its mount of the
    volume as the home's quarantine folder."""

    def __init__(self, root, volume):
        os.makedirs(root)
        self.root = root
        self.web = None
        self.logd = None
        self.inst = harness.Installation(root)
        volume.mount(self.inst.virus)
        self.logd = webserver.LogServerAs(root, SERVER_USER)
        # The mount's root takes the owner and mode that the guide gives it: www-data, 0700.
        webserver.hand_over(root, self.inst, SERVER_USER)
        self.web = webserver.Apache(root, self.inst, self.logd.pipe_dir, user=SERVER_USER)

    def stop(self):
        if self.web is not None:
            self.web.stop()
        if self.logd is not None:
            self.logd.stop()

    def program_pids(self):
        """The program's processes that this server is running now."""
        exe = os.path.realpath(os.path.join(self.inst.bin, "vendrel"))
        pids = []
        for name in os.listdir("/proc"):
            if name.isdigit():
                try:
                    if os.path.realpath("/proc/%s/exe" % name) == exe:
                        pids.append(int(name))
                except OSError:
                    pass
        return pids


class TwoServersOneQuarantine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = missing_prerequisites()
        if shutil.which("apache2", path=os.environ.get("PATH", "") + ":/usr/sbin") is None:
            missing.append("missing apache2 (scripts/setup.sh)")
        if missing:
            raise ClusterSetupError("the cluster test cannot run: " + "; ".join(missing))
        cls.lock = hold_machine_lock()
        # A time limit's SIGTERM ends the case at hand, and the volume is still taken down.
        signal.signal(signal.SIGTERM, ended_by_signal)
        cls.workdir = tempfile.mkdtemp(prefix="vendrel-cluster-")
        os.chmod(cls.workdir, 0o755)
        cls.volume = GlusterVolume(os.path.join(cls.workdir, "gluster"),
                                   "vendrel-cluster-%d" % os.getpid())
        cls.servers = []
        try:
            cls.volume.start()
            for i in (1, 2):
                cls.servers.append(Server(os.path.join(cls.workdir, "server%d" % i),
                                          cls.volume))
        except BaseException as e:
            detail = cls.volume.diagnostics() if isinstance(e, ClusterSetupError) else ""
            cls.take_down()
            if detail:
                raise ClusterSetupError("%s\n%s" % (e, detail)) from e
            raise
        sys.stderr.write("\nvolume: glusterd answered after %.1f s, created in %.1f s, started "
                         "in %.1f s\n" % (cls.volume.timings["glusterd"],
                                          cls.volume.timings["create"],
                                          cls.volume.timings["start"]))

    @classmethod
    def tearDownClass(cls):
        cls.take_down()

    @classmethod
    def take_down(cls):
        try:
            for server in cls.servers:
                server.stop()
            cls.volume.stop()
        finally:
            shutil.rmtree(cls.workdir, ignore_errors=True)
            cls.lock.close()

    def setUp(self):
        # Each case starts from an empty quarantine folder and healthy bricks.
        folder = self.servers[0].inst.virus
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        self.volume.wait_healed(HEAL_SECONDS)
        for server in self.servers:
            self.assertEqual(os.listdir(server.inst.temp), [])
        self.rng = random.Random(20261208)
        self.sign_dir = os.path.join(self.workdir, "sign")
        os.makedirs(self.sign_dir, exist_ok=True)

    def empty_upload_directories(self):
        for server in self.servers:
            for name in os.listdir(server.inst.temp):
                os.unlink(os.path.join(server.inst.temp, name))

    # -- uploads --------------------------------------------------------------------------

    def job(self, kind, tag, computer, size=UPLOAD_SIZE):
        head = b"%s %s " % (tag.encode(), computer.encode())
        content = head + self.rng.randbytes(size - len(head))
        if kind == "valid":
            path = os.path.join(self.sign_dir, tag)
            with open(path, "wb") as f:
                f.write(content)
            verify = harness.sign(path, computer)
            os.remove(path)
        else:
            verify = "%032x" % self.rng.getrandbits(128)
        return Job(kind, content, computer, verify)

    def jobs(self, phase):
        """For each server: its valid and wrongly signed uploads, shuffled."""
        out = []
        for s in range(len(self.servers)):
            kinds = ["valid"] * VALID_PER_SERVER + ["wrong"] * WRONG_PER_SERVER
            self.rng.shuffle(kinds)
            out.append([self.job(kind, "%s-s%d-%d" % (phase, s, i), COMPUTERS[i % 2])
                        for i, kind in enumerate(kinds)])
        return out

    def send(self, jobs_by_server, on_answer=None):
        """Sends each server's jobs through it, both servers at once."""
        results = [None] * len(self.servers)

        def drive(s):
            callback = None if on_answer is None else (lambda i, o: on_answer(s, i, o))
            results[s], _ = loadclient.run(
                self.servers[s].web.url, [(j.body, j.content_type) for j in jobs_by_server[s]],
                CLIENTS_PER_SERVER, on_answer=callback)

        threads = [threading.Thread(target=drive, args=(s,)) for s in range(len(self.servers))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return results

    def warm_up(self):
        """One upload first, so that ".store" exists before the servers race for it."""
        job = self.warm_up_job("warm-up")
        self.upload_through(0, job)
        return job

    def warm_up_job(self, tag):
        return self.job("valid", tag, COMPUTERS[0])

    def upload_through(self, s, job):
        """One upload through server s, which must answer Vendrel_OK."""
        out, _ = loadclient.run(self.servers[s].web.url, [(job.body, job.content_type)], 1)
        self.assertEqual(out[0].body, BODY_OK, out[0].error)

    # -- checks ---------------------------------------------------------------------------

    def folder_through(self, server):
        """name -> SHA-256 of each regular file in the folder as one server's mount shows it,
        and every name listed there."""
        names = sorted(os.listdir(server.inst.virus))
        return file_digests(server.inst.virus), names

    def store_through(self, server):
        data = read_through_mount(os.path.join(server.inst.virus, STORE))
        self.assertEqual(len(data), 8, data)
        return int.from_bytes(data, "little", signed=True)

    def check_cluster(self, jobs_by_server, outcomes_by_server, warm, allow_failed_filing,
                      exact_store, offsets):
        """The checks every run ends with; answers the uploads admitted and the drift of
        ".store" from the listing, in bytes. With exact_store, ".store" must count every upload
        but those that a listing in place of the cache could miss: each update holds it from
        reading to writing, across both mounts, and only a process whose bounded wait for the
        hold ran out lists the folder and replaces the cache while others are under way."""
        admitted = [warm]
        counted_not_filed = 0
        for s, (jobs, outcomes) in enumerate(zip(jobs_by_server, outcomes_by_server)):
            for job, outcome in zip(jobs, outcomes):
                self.assertEqual(outcome.status, 200, (s, job.kind, outcome.error))
                if job.kind == "wrong":
                    self.assertEqual(outcome.body, BODY_FAILED, (s, job.digest))
                elif outcome.body == BODY_OK:
                    admitted.append(job)
                else:
                    # Filing failed (an answer the endpoint retries); never otherwise.
                    self.assertTrue(allow_failed_filing, (s, job.digest, outcome.body))
                    self.assertEqual(outcome.body, BODY_FAILED, (s, job.digest))
                    counted_not_filed += 1

        views = [self.folder_through(server) for server in self.servers]
        digests, names = views[0]
        for other_digests, other_names in views[1:]:
            self.assertEqual(other_names, names, "the two mounts list different folders")
            self.assertEqual(other_digests, digests, "the two mounts read different files")
        strays = [n for n in names if n != STORE and not FILED_NAME.match(n)]
        self.assertEqual(strays, [], "entries that are no quarantined file")
        filed = collections.Counter(v for k, v in digests.items() if k != STORE)
        expected = collections.Counter(job.digest for job in admitted)
        self.assertEqual(filed - expected, collections.Counter(),
                         "filed contents that were never admitted, or filed twice")
        self.assertEqual(expected - filed, collections.Counter(),
                         "uploads answered Vendrel_OK but not filed intact")
        for server in self.servers:
            self.assertEqual(os.listdir(server.inst.temp), [], server.inst.temp)

        # Every update holds ".store" from reading the total to writing the new one, so with
        # both bricks up it is the listing, but for its own 8 bytes when the listing that
        # created it could not count them. A brick that comes back has lost the locks taken
        # while it was down: then parallel updates may each write back their own sum, and it
        # may fall short by whole uploads, or stand above the listing by uploads counted whose
        # filing then failed.
        stored = [self.store_through(server) for server in self.servers]
        self.assertEqual(len(set(stored)), 1, stored)
        listed = sum(os.path.getsize(os.path.join(self.servers[0].inst.virus, n)) for n in names)
        drift = listed - stored[0]
        if exact_store:
            # A listing misses at most the uploads counted but not yet filed: one a client.
            in_flight = CLIENTS_PER_SERVER * len(self.servers)
            waits_out = self.waits_run_out(offsets)
            self.assertLessEqual(drift, waits_out * in_flight * UPLOAD_SIZE + 8,
                                 (listed, stored[0], waits_out, self.trace_summary(offsets)))
        self.assertIn(drift % UPLOAD_SIZE, (0, 8), (listed, stored[0]))
        self.assertLessEqual(drift, len(admitted) * UPLOAD_SIZE + 8, (listed, stored[0]))
        self.assertGreaterEqual(drift, -counted_not_filed * UPLOAD_SIZE, (listed, stored[0]))
        return admitted, drift

    def trace_offsets(self):
        return [server.logd.offset() for server in self.servers]

    def waits_run_out(self, offsets):
        """How many processes of both servers since offsets found ".store" held by others for
        their whole bounded wait (sharing violation, error 32) and listed the folder instead."""
        return sum(1 for server, start in zip(self.servers, offsets)
                   for record in server.logd.records(start)
                   if "getFolderSize - CreateFile" in record["message"]
                   and "win32 error (32)" in record["message"])

    def trace_summary(self, offsets):
        """What both servers traced since offsets: listings of the folder, lost name races,
        failed filings, and the Win32 errors that the size cache's routines met."""
        counts = collections.Counter()
        errors = collections.Counter()
        for server, start in zip(self.servers, offsets):
            for record in server.logd.records(start):
                message = record["message"]
                if "getFolderSize - CreateFile" in message or ".store is out of date" in message:
                    counts["listings"] += 1
                if "was taken meanwhile" in message:
                    counts["name races lost"] += 1
                if "Move file failed" in message:
                    counts["filings failed"] += 1
                found = re.search(r"win32 error \((\d+)\)", message)
                if found:
                    errors[found.group(1)] += 1
        return "%s; size cache errors %s" % (
            ", ".join("%s %d" % kv for kv in sorted(counts.items())) or "no listing",
            dict(errors) or "none")

    def report(self, what, admitted, drift, offsets, extra=""):
        sys.stderr.write("\n%s: %d uploads filed, .store %s the listing by %d bytes (%d uploads)"
                         "%s; %s\n" % (what, len(admitted),
                                       "behind" if drift >= 0 else "ahead of", abs(drift),
                                       abs(drift) // UPLOAD_SIZE, extra,
                                       self.trace_summary(offsets)))

    # -- cases ----------------------------------------------------------------------------

    def test_uploads_through_both_servers_are_filed_once_and_seen_by_both(self):
        warm = self.warm_up()
        jobs = self.jobs("both")
        offsets = self.trace_offsets()
        outcomes = self.send(jobs)
        admitted, drift = self.check_cluster(jobs, outcomes, warm, allow_failed_filing=False,
                                             exact_store=True, offsets=offsets)
        self.assertEqual(len(admitted), 1 + VALID_PER_SERVER * len(self.servers))
        self.report("two servers", admitted, drift, offsets)

    def test_a_cache_replaced_through_one_server_is_updated_through_the_other(self):
        # A listing puts a new ".store" in place by a rename through one server's mount. The
        # other mount's client keeps the file it looked up before for about a second and
        # hands that out, gone as it is: the update through that server must still reach the
        # new file, not list the folder in its place (which would drop counts in flight).
        self.upload_through(0, self.warm_up_job("replace-0"))
        self.upload_through(1, self.warm_up_job("replace-1"))
        total = self.store_through(self.servers[0])
        folder = self.servers[0].inst.virus
        fresh = os.path.join(folder, ".store-replacement")
        old = os.stat(os.path.join(folder, STORE))
        with open(fresh, "wb") as f:
            f.write(total.to_bytes(8, "little", signed=True))
        # The servers' own file, as their listing would have made it.
        os.chown(fresh, old.st_uid, old.st_gid)
        os.chmod(fresh, old.st_mode & 0o7777)
        # The other mount looks the name up just before: its client then keeps what it found
        # for the next second, in which the upload below comes.
        os.stat(os.path.join(self.servers[1].inst.virus, STORE))
        os.rename(fresh, os.path.join(folder, STORE))
        offsets = self.trace_offsets()
        job = self.warm_up_job("replace-2")
        self.upload_through(1, job)
        records = [r["message"] for r in self.servers[1].logd.records(offsets[1])]
        self.assertEqual([m for m in records if "win32 error" in m or "out of date" in m], [],
                         self.trace_summary(offsets))
        self.assertEqual(self.store_through(self.servers[0]), total + UPLOAD_SIZE)

    def test_a_brick_killed_in_the_middle_loses_no_admitted_upload(self):
        warm = self.warm_up()
        jobs = self.jobs("outage")
        lock = threading.Lock()
        answered = []
        reached = {KILL_AT_ANSWER: threading.Event(), RESTART_AT_ANSWER: threading.Event()}
        window = {}
        errors = []

        def on_answer(s, i, outcome):
            with lock:
                answered.append((time.monotonic(), s, i))
                count = len(answered)
            if count in reached:
                reached[count].set()

        def control():
            try:
                reached[KILL_AT_ANSWER].wait()
                window["killed"] = time.monotonic()
                pid = self.volume.kill_brick(0)
                reached[RESTART_AT_ANSWER].wait()
                window["restarting"] = time.monotonic()
                self.volume.restart_bricks(pid)
                window["back"] = time.monotonic()
            except BaseException as e:  # reported by the test's own thread
                errors.append(e)
                for event in reached.values():
                    event.set()

        offsets = self.trace_offsets()
        controller = threading.Thread(target=control)
        controller.start()
        outcomes = self.send(jobs, on_answer)
        for event in reached.values():
            event.set()
        controller.join()
        if errors:
            raise errors[0]
        self.assertIn("back", window, "the brick was not brought back")

        admitted, drift = self.check_cluster(jobs, outcomes, warm, allow_failed_filing=True,
                                             exact_store=False, offsets=offsets)
        down = [(s, i) for t, s, i in answered if window["killed"] < t < window["restarting"]]
        ok_while_down = [(s, i) for s, i in down if outcomes[s][i].body == BODY_OK]
        self.assertGreater(len(ok_while_down), 0, "no upload was admitted while the brick was "
                           "down: the outage did not fall in the middle of the run")

        # Healed, the brick that was down holds what the other holds.
        self.volume.wait_healed(HEAL_SECONDS)
        through_mount, _ = self.folder_through(self.servers[0])
        self.assertEqual(self.volume.brick_files(0), through_mount)
        self.assertEqual(self.volume.brick_files(1), through_mount)
        self.report("one brick killed", admitted, drift, offsets,
                    ", %d admitted while the brick was down (%.1f s), healed in %.1f s%s"
                    % (len(ok_while_down), window["restarting"] - window["killed"],
                       self.volume.timings["heal"],
                       "; half-made names removed from a brick: %s" % self.volume.half_made
                       if self.volume.half_made else ""))

    def test_store_held_on_one_mount_is_held_and_read_fresh_on_the_other(self):
        # What the size cache's exclusive hold rests on, as the guide mounts the volume: a hold
        # taken through one server's mount shuts out the other's, and the value written under
        # it is the one the other reads once it holds the file in turn.
        paths = [os.path.join(server.inst.virus, STORE) for server in self.servers]
        with open(paths[0], "wb") as f:
            f.write((0).to_bytes(8, "little"))
        # The case before left a ".store" that the line above replaced: until the other mount
        # looks the name up again (a listing does), its opens answer ESTALE for about a second.
        os.listdir(self.servers[1].inst.virus)
        stale = []
        for value in range(1, STORE_ROUNDS + 1):
            writer, reader = (paths[0], paths[1]) if value % 2 else (paths[1], paths[0])
            fd = os.open(writer, os.O_RDWR)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                other = os.open(reader, os.O_RDWR)
                try:
                    with self.assertRaises(BlockingIOError):
                        fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
                finally:
                    os.close(other)
                os.pwrite(fd, value.to_bytes(8, "little"), 0)
                os.fsync(fd)
            finally:
                os.close(fd)
            fd = os.open(reader, os.O_RDWR)
            try:
                deadline = time.monotonic() + HOLD_WAIT_SECONDS
                while True:
                    try:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                        break
                    except BlockingIOError:
                        # The writer's release reaches the bricks a moment after its close.
                        self.assertLess(time.monotonic(), deadline, "hold never released")
                        time.sleep(0.002)
                seen = int.from_bytes(os.pread(fd, 8, 0), "little")
            finally:
                os.close(fd)
            if seen != value:
                stale.append((value, seen))
        self.assertEqual(stale, [], "values read under the hold that the other mount had "
                         "already replaced")

    def test_a_filing_killed_midway_leaves_no_partial_quarantined_file(self):
        server = self.servers[1]
        # The killed request's own upload waits in its upload directory for the stale sweep
        # of a later request (after Upload_Stale_Minutes): the next case must not find it.
        self.addCleanup(self.empty_upload_directories)
        job = self.job("valid", "large", COMPUTERS[0], size=LARGE_UPLOAD)
        folder = server.inst.virus
        answer = []
        sender = threading.Thread(target=lambda: answer.append(loadclient.run(
            server.web.url, [(job.body, job.content_type)], 1)[0][0]))
        sender.start()
        # The copy into the folder has begun once a new entry there has bytes: the program
        # filing it is then killed outright, as a crash or an administrator's kill would.
        killed = []
        deadline = time.monotonic() + KILL_WATCH_SECONDS
        while not killed and sender.is_alive() and time.monotonic() < deadline:
            for name in os.listdir(folder):
                # The upload's own copy (hidden or not), not a rewrite of ".store".
                if not name.lstrip(".").startswith(COMPUTERS[0] + "_"):
                    continue
                try:
                    growing = os.lstat(os.path.join(folder, name)).st_size > 0
                except FileNotFoundError:
                    continue
                if growing:
                    for pid in server.program_pids():
                        os.kill(pid, signal.SIGKILL)
                        killed.append(pid)
                    break
            time.sleep(0.002)
        sender.join()
        self.assertTrue(killed, "the filing ended before it could be killed: %r"
                        % (answer[0].body if answer else None))

        digests, names = self.folder_through(server)
        self.assertEqual(names, sorted(self.folder_through(self.servers[0])[1]))
        quarantined = {n: d for n, d in digests.items() if n != STORE and not n.startswith(".")}
        # Under a quarantined name only the whole upload, or nothing; a partial copy may stay
        # only under a hidden temporary name, for the folder's sweep.
        self.assertEqual([n for n in names if n != STORE and not n.startswith(".")
                          and not FILED_NAME.match(n)], [])
        for name, digest in quarantined.items():
            self.assertEqual(digest, job.digest, "%s is a partial copy under a quarantined "
                             "name" % name)
        if answer[0].body == BODY_OK:
            self.assertEqual(list(quarantined.values()), [job.digest])
        self.assertLessEqual(len(os.listdir(server.inst.temp)), 1, "more than the killed "
                             "request's own upload in its upload directory")
        hidden = [n for n in names if n.startswith(".") and n != STORE]
        sys.stderr.write("\nfiling killed: %d quarantined, hidden leftovers %s\n"
                         % (len(quarantined), hidden))

        # The operator's sweep removes a leftover once it is older than an hour (no live
        # writer holds one that old), and ".store" is then the listing, through both mounts.
        old = time.time() - 2 * 3600
        for name in hidden:
            os.utime(os.path.join(folder, name), (old, old))
        tool = os.path.join(harness.BIN_DIR, "vendrel-quarantine")
        swept = subprocess.run(webserver.as_user(SERVER_USER) + [tool, "--home", server.inst.home,
                                                                 "rescan"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual(swept.returncode, 0, swept.stdout)
        digests, names = self.folder_through(self.servers[0])
        self.assertEqual([n for n in names if n.startswith(".") and n != STORE], [],
                         "hidden leftovers after the sweep")
        listed = sum(os.path.getsize(os.path.join(folder, n)) for n in names)
        for other in self.servers:
            self.assertEqual(self.store_through(other), listed)


if __name__ == "__main__":
    unittest.main(verbosity=2)
