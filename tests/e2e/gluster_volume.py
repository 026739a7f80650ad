"""A GlusterFS volume on this one machine, for the cluster test: glusterd, two bricks (replica 2)
and native FUSE mounts, as the operator's guide "Several servers, one quarantine" sets them up.

glusterd refuses bricks on a loopback address, and the volume's traffic must stay on this
machine, so glusterd, its bricks and the mounts' clients run in a network namespace of their
own whose loopback device carries one more address, TEST_ADDRESS (the benchmarking range, on no
network). Only the network is separate: the mounts are seen by every process of the machine.
glusterd keeps its state, run files, logs and command socket under the volume's own directory,
so a machine's own glusterd (if any) is left alone, and removing that directory after the
teardown leaves nothing behind.

Everything here is machine-global: call hold_machine_lock() first.
"""

import errno
import fcntl
import hashlib
import os
import shutil
import signal
import subprocess
import time
import xml.etree.ElementTree as ET

GLOBAL_LOCK = "/tmp/vendrel-global.lock"
TEST_ADDRESS = "198.18.77.1"
REQUIRED_TOOLS = ("glusterd", "gluster", "glusterfs", "mount.glusterfs", "ip", "nsenter",
                  "mount", "umount")
GLUSTERD_START_SECONDS = 30
BRICK_ONLINE_SECONDS = 30
# A killed brick stays a zombie until the machine's first process reaps it, and glusterd
# takes a brick whose pid still answers for a running one.
BRICK_REAPED_SECONDS = 30
COMMAND_SECONDS = 60
HEAL_NUDGE_SECONDS = 10
MACHINE_RUN_DIR = "/run/gluster"
# A server that reads ".store" under its hold must see what the server before it wrote there:
# the client's cache of small files' contents and the kernel's page cache would otherwise hand
# it a value up to a second old (measured: every such read, without these two), and a close
# that answers before its writes reached the bricks (flush-behind) would let the hold go while
# the new total is still on its way.
VOLUME_OPTIONS = (("performance.quick-read", "off"), ("performance.flush-behind", "off"))
MOUNT_OPTIONS = ("direct-io-mode=enable",)
STALE_RETRIES = 20
# What glusterd makes in the machine's own state directory whatever its working directory is.
MACHINE_STATE_DIRS = ("/var/lib/glusterd/geo-replication", "/var/lib/glusterd/ss_brick")


class ClusterSetupError(RuntimeError):
    """The volume could not be set up or taken down; the message says why."""


def missing_prerequisites():
    """What this machine lacks for the volume, as sentences; empty when nothing."""
    missing = []
    if os.geteuid() != 0:
        missing.append("needs root (glusterd, mounts and network namespaces): run as root or "
                       "with sudo")
    path = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
    tools = [t for t in REQUIRED_TOOLS if shutil.which(t, path=path) is None]
    if tools:
        missing.append("missing %s: install glusterfs-server and glusterfs-client "
                       "(scripts/setup.sh)" % ", ".join(tools))
    if not os.path.exists("/dev/fuse"):
        missing.append("no /dev/fuse: the native GlusterFS client needs FUSE")
    return missing


def hold_machine_lock(limit=900.0):
    """Takes the machine-global lock (an open file whose descriptor holds it). A lock that a
    calling `flock` command already holds for us is taken over through its inherited
    descriptor; otherwise waits up to limit seconds for other holders."""
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.path.realpath("/proc/self/fd/" + name) != GLOBAL_LOCK:
                continue
            fd = int(name)
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return os.fdopen(os.dup(fd), "rb")
        except OSError:
            continue
    handle = open(GLOBAL_LOCK, "a+b")
    deadline = time.time() + limit
    while True:
        try:
            fcntl.flock(handle.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            return handle
        except OSError as e:
            if e.errno not in (errno.EWOULDBLOCK, errno.EAGAIN) or time.time() > deadline:
                handle.close()
                raise ClusterSetupError("could not take %s within %d s: %s"
                                        % (GLOBAL_LOCK, limit, e)) from e
            time.sleep(0.5)


def read_through_mount(path):
    """A file's bytes through a network mount. A file that another client replaced (a rename
    over it) may answer ESTALE until the kernel looks its name up again: asked a few times."""
    for attempt in range(STALE_RETRIES):
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError as e:
            if e.errno != errno.ESTALE or attempt == STALE_RETRIES - 1:
                raise
            time.sleep(0.05)
    raise AssertionError("unreachable")


def file_digests(root, skip=()):
    """name -> SHA-256 of every regular file directly in root (names in skip left out)."""
    out = {}
    for name in os.listdir(root):
        path = os.path.join(root, name)
        if name in skip or not os.path.isfile(path) or os.path.islink(path):
            continue
        out[name] = hashlib.sha256(read_through_mount(path)).hexdigest()
    return out


def tail(path, lines=30):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError as e:
        return "(%s)" % e


class GlusterVolume:
    """A replicated volume of `bricks` bricks under root, served from a namespace of its own."""

    def __init__(self, root, name, bricks=2):
        self.root = os.path.abspath(root)
        self.name = name
        self.netns = name
        self.state = os.path.join(self.root, "state")
        self.run_dir = os.path.join(self.root, "run")
        self.logs = os.path.join(self.root, "logs")
        self.socket = os.path.join(self.run_dir, "glusterd.socket")
        self.bricks = [os.path.join(self.root, "bricks", "brick%d" % (i + 1))
                       for i in range(bricks)]
        self.mounts = []
        # Names that remove_half_made_entries took off a brick, for the report.
        self.half_made = []
        self.sockets = set()
        self.netns_made = False
        self.made_state_dirs = []
        self.timings = {}

    # -- commands -------------------------------------------------------------------------

    def in_namespace(self, argv):
        return ["nsenter", "--net=/run/netns/" + self.netns] + list(argv)

    def run(self, argv, timeout=COMMAND_SECONDS, check=True):
        """Runs argv; answers its standard output. A failure raises ClusterSetupError with
        what the command said."""
        try:
            proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            raise ClusterSetupError("%s: no answer within %d s" % (" ".join(argv), timeout)) from e
        out = proc.stdout.decode(errors="replace")
        if check and proc.returncode != 0:
            raise ClusterSetupError("%s: exit %d: %s %s" % (
                " ".join(argv), proc.returncode, out.strip(),
                proc.stderr.decode(errors="replace").strip()))
        return out

    def gluster(self, *args, timeout=COMMAND_SECONDS, check=True):
        """The gluster command line, talking to this volume's glusterd over its own socket."""
        return self.run(self.in_namespace(
            ["gluster", "--mode=script", "--glusterd-sock=" + self.socket,
             "--log-file=" + os.path.join(self.logs, "cli.log")] + list(args)),
            timeout=timeout, check=check)

    # -- set-up ---------------------------------------------------------------------------

    def start(self):
        """The namespace, glusterd, then the volume created and started."""
        missing = missing_prerequisites()
        if missing:
            raise ClusterSetupError("; ".join(missing))
        for d in [self.state, self.run_dir, self.logs] + self.bricks:
            os.makedirs(d, exist_ok=True)
        self.made_state_dirs = [d for d in MACHINE_STATE_DIRS if not os.path.exists(d)]
        t0 = time.monotonic()
        self.run(["ip", "netns", "add", self.netns])
        self.netns_made = True
        self.run(["ip", "-n", self.netns, "link", "set", "lo", "up"])
        self.run(["ip", "-n", self.netns, "addr", "add", TEST_ADDRESS + "/32", "dev", "lo"])
        self.start_glusterd()
        t1 = time.monotonic()
        bricks = ["%s:%s" % (TEST_ADDRESS, b) for b in self.bricks]
        # force: the bricks lie on the root file system, which glusterd otherwise refuses.
        self.gluster("volume", "create", self.name, "replica", str(len(self.bricks)), *bricks,
                     "force")
        for key, value in VOLUME_OPTIONS:
            self.gluster("volume", "set", self.name, key, value)
        t2 = time.monotonic()
        self.gluster("volume", "start", self.name)
        self.wait_bricks_online()
        t3 = time.monotonic()
        self.timings.update(glusterd=t1 - t0, create=t2 - t1, start=t3 - t2)

    def start_glusterd(self):
        volfile = os.path.join(self.root, "glusterd.vol")
        with open(volfile, "w") as f:
            f.write("volume management\n"
                    "    type mgmt/glusterd\n"
                    "    option working-directory %s\n"
                    "    option run-directory %s\n"
                    "    option logging-directory %s\n"
                    "    option glusterd-sockfile %s\n"
                    "    option transport-type socket\n"
                    "    option transport.socket.listen-port 24007\n"
                    "    option ping-timeout 0\n"
                    "    option event-threads 1\n"
                    "end-volume\n" % (self.state, self.run_dir, self.logs, self.socket))
        log = os.path.join(self.logs, "glusterd.log")
        self.run(self.in_namespace(["glusterd", "-f", volfile, "-l", log,
                                    "-p", os.path.join(self.run_dir, "glusterd.pid")]))
        deadline = time.monotonic() + GLUSTERD_START_SECONDS
        while time.monotonic() < deadline:
            try:
                self.gluster("volume", "list", timeout=10)
                return
            except ClusterSetupError:
                time.sleep(0.2)
        raise ClusterSetupError("glusterd did not answer on %s within %d s; its log:\n%s"
                                % (self.socket, GLUSTERD_START_SECONDS, tail(log)))

    def mount(self, mountpoint, options=MOUNT_OPTIONS):
        """Mounts the volume at mountpoint with the native client (its log in logs/)."""
        log = os.path.join(self.logs, "mount-%d.log" % (len(self.mounts) + 1))
        before = self.clients_per_brick()
        self.run(self.in_namespace(["mount", "-t", "glusterfs",
                                    "-o", ",".join(list(options) + ["log-file=" + log]),
                                    "%s:/%s" % (TEST_ADDRESS, self.name), mountpoint]))
        self.mounts.append(mountpoint)
        if not os.path.ismount(mountpoint):
            raise ClusterSetupError("%s is not a mount point after mounting; the client's "
                                    "log:\n%s" % (mountpoint, tail(log)))
        # The mount answers once one brick has taken the client. What it changes before the
        # other brick has taken it too (the owner of its root, as the guide has it) is pending
        # heal on that brick from then on: the mount is ready once every brick counts it.
        deadline = time.monotonic() + BRICK_ONLINE_SECONDS
        now = self.clients_per_brick()
        while any(n <= b for n, b in zip(now, before)) and time.monotonic() < deadline:
            time.sleep(0.1)
            now = self.clients_per_brick()
        if any(n <= b for n, b in zip(now, before)):
            raise ClusterSetupError("the client of %s did not reach every brick within %d s "
                                    "(clients per brick %s, before %s); its log:\n%s"
                                    % (mountpoint, BRICK_ONLINE_SECONDS, now, before, tail(log)))

    def clients_per_brick(self):
        """How many clients each brick serves, in brick order."""
        root = ET.fromstring(self.gluster("volume", "status", self.name, "clients", "--xml"))
        counts = {node.findtext("path"): int(node.findtext("clientsStatus/clientCount") or "0")
                  for node in root.iter("node")}
        return [counts.get(brick, 0) for brick in self.bricks]

    # -- bricks ---------------------------------------------------------------------------

    def status(self):
        """[(brick path, online, pid)] from glusterd."""
        root = ET.fromstring(self.gluster("volume", "status", self.name, "--xml"))
        out = []
        for node in root.iter("node"):
            path = node.findtext("path")
            if path in self.bricks:
                pid = int(node.findtext("pid") or "0")
                out.append((path, node.findtext("status") == "1", pid))
        return out

    def wait_bricks_online(self, limit=BRICK_ONLINE_SECONDS):
        deadline = time.monotonic() + limit
        seen = []
        while time.monotonic() < deadline:
            seen = self.status()
            if len(seen) == len(self.bricks) and all(online for _, online, _ in seen):
                return
            time.sleep(0.2)
        raise ClusterSetupError("bricks not online within %d s: %s" % (limit, seen))

    def brick_pid(self, index):
        for path, online, pid in self.status():
            if path == self.bricks[index] and online and pid > 0:
                return pid
        raise ClusterSetupError("brick %s is not online" % self.bricks[index])

    def kill_brick(self, index):
        """Kills one brick's process outright, as a crash would; answers its pid."""
        pid = self.brick_pid(index)
        self.sockets.update(socket_arguments(pid))
        os.kill(pid, signal.SIGKILL)
        return pid

    def restart_bricks(self, killed_pid):
        """Brings a killed brick back (`volume start force`) once its process is gone."""
        deadline = time.monotonic() + BRICK_REAPED_SECONDS
        while os.path.exists("/proc/%d" % killed_pid):
            if time.monotonic() > deadline:
                raise ClusterSetupError("killed brick process %d was not reaped within %d s"
                                        % (killed_pid, BRICK_REAPED_SECONDS))
            time.sleep(0.05)
        self.gluster("volume", "start", self.name, "force")
        self.wait_bricks_online()

    def pending_heals(self):
        """Entries waiting for self-heal, summed over the bricks' heal indexes; None while a
        brick cannot be asked. (`heal info` is not used: its helper looks for glusterd only at
        the default socket.)"""
        out = self.gluster("volume", "heal", self.name, "statistics", "heal-count", check=False)
        counts = [line.split(":", 1)[1].strip() for line in out.splitlines()
                  if line.startswith("Number of entries:")]
        if len(counts) != len(self.bricks) or not all(c.isdigit() for c in counts):
            return None
        return sum(int(c) for c in counts)

    def heal_daemon_online(self):
        root = ET.fromstring(self.gluster("volume", "status", self.name, "--xml"))
        return any(node.findtext("hostname") == "Self-heal Daemon"
                   and node.findtext("status") == "1" for node in root.iter("node"))

    def pending_entries(self):
        """What the bricks' heal indexes hold, as 'brickN: path' (the gfid when no path has
        it): for a failure message."""
        out = []
        for i, brick in enumerate(self.bricks):
            index = os.path.join(brick, ".glusterfs", "indices", "xattrop")
            names = sorted(os.listdir(index)) if os.path.isdir(index) else []
            for gfid in names:
                if not gfid.startswith("xattrop-"):
                    out.append("brick%d: %s %s" % (i + 1, gfid_path(brick, gfid),
                                                   replica_marks(brick, gfid)))
        return out

    def remove_half_made_entries(self):
        """A brick killed in the middle of a create can keep the new name, empty, without the
        gfid that the volume gives every entry and on that brick only: self-heal then fails on
        the folder for good (its lookups of the name answer EINVAL). Such a name was never
        made on the volume, so it is removed from the brick, as the operator's guide says.
        Answers the names removed."""
        removed = []
        for i, brick in enumerate(self.bricks):
            for name in os.listdir(brick):
                path = os.path.join(brick, name)
                if name.startswith(".glusterfs") or not os.path.isfile(path) \
                        or os.path.islink(path) or os.path.getsize(path) != 0:
                    continue
                if "trusted.gfid" not in os.listxattr(path, follow_symlinks=False):
                    os.unlink(path)
                    removed.append("brick%d: %s" % (i + 1, name))
        return removed

    def wait_healed(self, limit):
        """Starts an index heal and waits until no entry is pending on any brick. An entry
        still pending after HEAL_NUDGE_SECONDS gets a full heal and a lookup of every name
        through a mount (each looks the entry up on both bricks), half-made entries are
        removed, and a self-heal daemon that is not running is started again."""
        deadline = time.monotonic() + limit
        start = time.monotonic()
        nudge_at = start + HEAL_NUDGE_SECONDS
        pending = None
        while time.monotonic() < deadline:
            # The self-heal daemon may not have reconnected yet: the heal is asked again.
            self.gluster("volume", "heal", self.name, check=False)
            pending = self.pending_heals()
            if pending == 0:
                self.timings["heal"] = time.monotonic() - start
                return
            if time.monotonic() >= nudge_at:
                nudge_at = float("inf")
                self.half_made.extend(self.remove_half_made_entries())
                if not self.heal_daemon_online():
                    self.gluster("volume", "start", self.name, "force", check=False)
                self.gluster("volume", "heal", self.name, "full", check=False)
                for mount in self.mounts[:1]:
                    look_up_every_name(mount)
            time.sleep(0.5)
        raise ClusterSetupError("%s entries still pending heal after %d s: %s; self-heal daemon "
                                "%s" % (pending, limit, self.pending_entries(),
                                        "online" if self.heal_daemon_online() else "offline"))

    def brick_files(self, index):
        """name -> SHA-256 of every regular file at the top of a brick (glusterd's own
        .glusterfs directory aside)."""
        return file_digests(self.bricks[index])

    # -- teardown -------------------------------------------------------------------------

    def namespace_pids(self):
        if not self.netns_made:
            return []
        out = self.run(["ip", "netns", "pids", self.netns], check=False)
        return [int(p) for p in out.split() if p.isdigit()]

    def stop(self):
        """Takes everything down, also after a failed set-up: mounts, the volume, every process
        left in the namespace, the namespace, the directory. Raises ClusterSetupError when
        something could not be removed."""
        problems = []
        # The bricks and the self-heal daemon put their sockets in the machine's gluster run
        # directory whatever glusterd's own is; stopping the volume leaves them there.
        sockets = set(self.sockets)
        for pid in self.namespace_pids():
            sockets.update(socket_arguments(pid))
        for mountpoint in reversed(self.mounts):
            if os.path.ismount(mountpoint):
                proc = subprocess.run(["umount", mountpoint], stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT)
                if proc.returncode != 0:
                    subprocess.run(["umount", "-l", mountpoint], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
                if os.path.ismount(mountpoint):
                    problems.append("could not unmount %s" % mountpoint)
        self.mounts = []
        if self.netns_made and os.path.exists(self.socket):
            self.gluster("volume", "stop", self.name, "force", check=False, timeout=30)
            self.gluster("volume", "delete", self.name, check=False, timeout=30)
        # glusterd, the bricks, the self-heal daemon and the mounts' clients: all started by
        # this volume, all in its namespace.
        pids = self.namespace_pids()
        for sig in (signal.SIGTERM, signal.SIGKILL):
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                pids = [p for p in self.namespace_pids() if not is_zombie(p)]
                if not pids:
                    break
                time.sleep(0.1)
            if not pids:
                break
        if pids:
            problems.append("processes %s outlived SIGKILL" % pids)
        for path in sockets:
            if os.path.realpath(os.path.dirname(path)) == os.path.realpath(MACHINE_RUN_DIR):
                try:
                    os.unlink(path)
                except FileNotFoundError:
                    pass
        if self.netns_made:
            proc = subprocess.run(["ip", "netns", "del", self.netns], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            if proc.returncode != 0:
                problems.append("ip netns del %s: %s" % (self.netns, proc.stdout.decode()))
            self.netns_made = False
        if not pids:
            for d in self.made_state_dirs:
                shutil.rmtree(d, ignore_errors=True)
        shutil.rmtree(self.root, ignore_errors=True)
        if os.path.exists(self.root):
            problems.append("could not remove %s" % self.root)
        if problems:
            raise ClusterSetupError("; ".join(problems))

    def diagnostics(self):
        """The logs' last lines, for a failure message."""
        out = []
        if os.path.isdir(self.logs):
            for dirpath, _, files in os.walk(self.logs):
                for name in sorted(files):
                    path = os.path.join(dirpath, name)
                    out.append("== %s\n%s" % (path, tail(path, 15)))
        return "\n".join(out)


def gfid_path(brick, gfid):
    """The path in the brick of the file or directory that has this gfid, or the gfid."""
    link = os.path.join(brick, ".glusterfs", gfid[:2], gfid[2:4], gfid)
    try:
        st = os.lstat(link)
    except OSError:
        return gfid + " (gone)"
    if os.path.islink(link):  # a directory: a link to its parent's entry
        return "directory " + os.readlink(link)
    for dirpath, dirnames, filenames in os.walk(brick):
        dirnames[:] = [d for d in dirnames if d != ".glusterfs"]
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.lstat(path).st_ino == st.st_ino:
                return os.path.relpath(path, brick)
    return gfid + " (no name)"


def replica_marks(brick, gfid):
    """The replica's bookkeeping on the entry with this gfid: which brick it holds changes
    pending for (trusted.afr.*), as hex."""
    link = os.path.join(brick, ".glusterfs", gfid[:2], gfid[2:4], gfid)
    path = os.path.join(os.path.dirname(link), os.readlink(link)) if os.path.islink(link) else link
    marks = {}
    try:
        for name in os.listxattr(path, follow_symlinks=False):
            if name.startswith("trusted.afr.") or name == "trusted.glusterfs.dht":
                marks[name] = os.getxattr(path, name, follow_symlinks=False).hex()
    except OSError as e:
        return "(%s)" % e
    return marks


def look_up_every_name(root):
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            try:
                os.lstat(os.path.join(dirpath, name))
            except OSError:
                pass


def socket_arguments(pid):
    """The socket paths a gluster process was given (-S PATH or --socket-file=PATH)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().decode(errors="replace").split("\0")
    except OSError:
        return []
    out = []
    for i, arg in enumerate(argv):
        if arg == "-S" and i + 1 < len(argv):
            out.append(argv[i + 1])
        elif arg.startswith("--socket-file="):
            out.append(arg.split("=", 1)[1])
    return [os.path.normpath(p) for p in out if p.endswith(".socket")]


def is_zombie(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return True
