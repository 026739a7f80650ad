"""Concurrent requests through lighttpd: valid uploads mixed with wrong signatures, missing
variables and path attacks, from several clients at once, against one quarantine folder.

Afterwards every upload answered "Vendrel_OK" lies in the quarantine folder exactly once with its
exact content, every refused upload is gone, the files that were in the folder before are
untouched, and ".store" holds a total that the folder's listing explains."""

import os
import random
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import loadclient  # noqa: E402
from harness import SEP, host_path, sign  # noqa: E402
from system_cases import SystemCase, file_digest, snapshot  # noqa: E402
from webserver import WebServer  # noqa: E402

# The native build carries the full load; under Wine each request starts a Windows process,
# so the same mix runs smaller.
if harness.IS_WINDOWS:
    REQUESTS, CLIENTS = 120, 4
else:
    REQUESTS, CLIENTS = 2000, 8
UPLOAD_SIZE = 4096
COMPUTERS = ["PC1", "PC2", "PC3", "PC4"]
BODY_OK = b"Vendrel_OK\r\r\n"
BODY_FAILED = b"Vendrel_FAILED\r\r\n"
# Files that lie in the folder before the load; their sizes are not multiples of an upload's.
OLD_FILES = {"OLD_1.0": 1000, "OLD_2.0": 333}


class Job:
    def __init__(self, kind, body, content_type, expect, content=None):
        self.kind = kind
        self.body = body
        self.content_type = content_type
        self.expect = expect
        self.content = content


@harness.needs("lighttpd")
class ConcurrentLoad(SystemCase):
    def setUp(self):
        super().setUp()
        self.web = WebServer(self.workdir, self.inst, self.logd.pipe_dir)
        self.rng = random.Random(20240607)
        self.outside = os.path.join(self.workdir, "outside")
        os.makedirs(self.outside)
        self.victim = os.path.join(self.outside, "victim.bin")
        self.home_victim = os.path.join(self.inst.home, "victim.bin")
        for path in (self.victim, self.home_victim):
            with open(path, "wb") as f:
                f.write(b"v" * UPLOAD_SIZE)
        for name, size in OLD_FILES.items():
            with open(os.path.join(self.inst.virus, name), "wb") as f:
                f.write(b"o" * size)

    def tearDown(self):
        self.web.stop()
        super().tearDown()

    def content(self, index):
        head = b"upload %06d " % index
        return head + self.rng.randbytes(UPLOAD_SIZE - len(head))

    def sign_all(self, pairs):
        """Signatures of (content, computer) pairs from the signing tool, a few at a time."""
        sign_dir = os.path.join(self.workdir, "sign")
        os.makedirs(sign_dir, exist_ok=True)

        def one(item):
            index, (content, computer) = item
            path = os.path.join(sign_dir, "%d.bin" % index)
            with open(path, "wb") as f:
                f.write(content)
            verify = sign(path, computer)
            os.remove(path)
            return verify

        with ThreadPoolExecutor(max_workers=4) as pool:
            return list(pool.map(one, enumerate(pairs)))

    def jobs(self):
        kinds = []
        for i in range(REQUESTS):
            roll = self.rng.random()
            kinds.append("valid" if roll < 0.5 else "wrong" if roll < 0.7 else
                         "missing" if roll < 0.85 else "path")
        contents = [self.content(i) for i in range(REQUESTS)]
        computers = [COMPUTERS[i % len(COMPUTERS)] for i in range(REQUESTS)]
        to_sign = [(contents[i], computers[i]) for i in range(REQUESTS) if kinds[i] == "valid"]
        signatures = iter(self.sign_all(to_sign))
        victim_verify = sign(self.victim, "PC1")
        temp = host_path(self.inst.temp)
        out = []
        for i, kind in enumerate(kinds):
            content, computer = contents[i], computers[i]
            fields = [("TempFileName", ("sample.bin", content)),
                      ("NewFileSize", str(len(content))), ("ComputerName", computer)]
            if kind == "valid":
                fields.append(("Verify", next(signatures)))
                expect = BODY_OK
            elif kind == "wrong":
                fields.append(("Verify", "%032x" % self.rng.getrandbits(128)))
                expect = BODY_FAILED
            elif kind == "missing":
                # The upload arrives, but a variable does not: it is deleted, the body empty.
                del fields[self.rng.randrange(1, 3)]
                fields.append(("Verify", "0" * 32))
                expect = b""
            else:
                target = self.rng.choice([
                    temp + SEP + ".." + SEP + "victim.bin",
                    temp + SEP + ".." + SEP + ".." + SEP + "outside" + SEP + "victim.bin",
                    host_path(self.victim), temp + SEP + SEP + "x" + SEP + ".." + SEP + "v"])
                fields = [("TempFileName", target), ("NewFileSize", str(UPLOAD_SIZE)),
                          ("ComputerName", "PC1"), ("Verify", victim_verify)]
                expect = BODY_FAILED
            body, ctype = harness.multipart(fields)
            out.append(Job(kind, body, ctype, expect, content if kind != "path" else None))
        return out

    def send(self, jobs, clients):
        outcomes, seconds = loadclient.run(self.web.url, [(j.body, j.content_type) for j in jobs],
                                           clients)
        return outcomes, seconds

    def test_mixed_load(self):
        # One request first, so that ".store" exists before requests race for it.
        warm = self.jobs_for_warmup()
        outcomes, _ = self.send([warm], 1)
        self.assertEqual(outcomes[0].body, BODY_OK, outcomes[0].error)
        old = snapshot(self.inst.virus, [])
        old = {k: v for k, v in old.items() if k in OLD_FILES}
        jobs = self.jobs()
        outside_before = self.outside_snapshot()
        outcomes, seconds = self.send(jobs, CLIENTS)
        wrong = [(i, jobs[i].kind, jobs[i].expect, o.status, o.body, o.error)
                 for i, o in enumerate(outcomes) if o.status != 200 or o.body != jobs[i].expect]
        self.assertEqual(wrong[:5], [], "%d of %d answers differ" % (len(wrong), len(jobs)))

        # Every admitted upload exactly once, with its content; nothing refused is kept.
        filed = {}
        for name in self.inst.quarantined():
            if name in OLD_FILES:
                continue
            with open(os.path.join(self.inst.virus, name), "rb") as f:
                data = f.read()
            filed[data] = filed.get(data, 0) + 1
        admitted = [warm.content] + [j.content for j in jobs if j.kind == "valid"]
        for content in admitted:
            self.assertEqual(filed.get(content, 0), 1, content[:14])
        self.assertEqual(sum(filed.values()), len(admitted))
        self.assertEqual(os.listdir(self.inst.temp), [])
        now = {k: v for k, v in snapshot(self.inst.virus, []).items() if k in OLD_FILES}
        self.assertEqual(now, old)
        self.assertEqual(self.outside_snapshot(), outside_before)
        for path in (self.victim, self.home_victim):
            self.assertEqual(os.path.getsize(path), UPLOAD_SIZE)

        # ".store" is advisory: parallel updates may each write back their own sum, so the
        # total may fall short of the listing by whole uploads, and by the cache file's own
        # 8 bytes when no scan has counted it; it never holds more than the folder.
        listed = self.listing_total()
        stored = self.inst.store_value()
        self.assertIsInstance(stored, int)
        shortfall = listed - stored
        self.assertGreaterEqual(shortfall, 0, (listed, stored))
        self.assertIn(shortfall % UPLOAD_SIZE, (0, 8), (listed, stored))
        self.assertLessEqual(shortfall // UPLOAD_SIZE, len(admitted))

        # Once stale, the next request rescans: the cache then agrees with the listing.
        past = time.time() - 3600
        os.utime(os.path.join(self.inst.virus, ".store"), (past, past))
        last = self.jobs_for_warmup(index=REQUESTS + 1)
        outcomes, _ = self.send([last], 1)
        self.assertEqual(outcomes[0].body, BODY_OK)
        self.assertEqual(self.inst.store_value(), self.listing_total())
        sys.stderr.write("\n%d requests, %d clients: %.1f requests/s, %d uploads short in "
                         ".store\n" % (len(jobs), CLIENTS, len(jobs) / seconds,
                                       shortfall // UPLOAD_SIZE))

    def jobs_for_warmup(self, index=REQUESTS):
        content = self.content(index)
        path = os.path.join(self.workdir, "warm.bin")
        with open(path, "wb") as f:
            f.write(content)
        fields = [("TempFileName", ("warm.bin", content)), ("NewFileSize", str(len(content))),
                  ("ComputerName", "PC1"), ("Verify", sign(path, "PC1"))]
        body, ctype = harness.multipart(fields)
        return Job("valid", body, ctype, BODY_OK, content)

    def outside_snapshot(self):
        # The web server's own log and upload buffers change under load; nothing else may.
        web_files = [os.path.join(self.workdir, n) for n in
                     ("lighttpd-error.log", "lighttpd-uploads", "lighttpd.pid")]
        return super().outside_snapshot(web_files)

    def listing_total(self):
        return sum(os.path.getsize(os.path.join(self.inst.virus, n))
                   for n in os.listdir(self.inst.virus))


if __name__ == "__main__":
    unittest.main(verbosity=2)
