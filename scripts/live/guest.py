"""The guest of the live check: a Debian 12 root file system, cached, copied for each run, booted
with systemd as PID 1 in a container (systemd-nspawn), and commands run inside it.

Root file system cache: CACHE (default /var/cache/cee-live, environment CEE_LIVE_CACHE) holds
one tree per package set, rootfs-<hash>/ (the newest only), and runs/<n>/, the copies that runs
boot (removed at the end of each run, and at the next start when a run was killed)."""
import fcntl
import glob
import hashlib
import os
import shutil
import signal
import subprocess
import time

CACHE = os.environ.get("CEE_LIVE_CACHE", "/var/cache/cee-live")
# Part of the cache key: a change of how the tree is made builds a new one.
TREE_RECIPE = "1"
# In every tree: systemd as PID 1, the broker, the tools the checks run inside.
BASE_PACKAGES = ["systemd", "systemd-sysv", "dbus", "mosquitto", "mosquitto-clients", "sqlite3",
                 "procps", "iputils-ping"]
GUEST_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def log(text):
    print("live: " + text, flush=True)


def host_sources():
    """The host's APT source files (one-line or deb822 form): the guest's packages come from
    the same Debian archive as the host's."""
    files = [f for f in ["/etc/apt/sources.list"] if os.path.getsize(f) > 0] \
        if os.path.exists("/etc/apt/sources.list") else []
    files += sorted(glob.glob("/etc/apt/sources.list.d/*.list") +
                    glob.glob("/etc/apt/sources.list.d/*.sources"))
    if not files:
        raise RuntimeError("no APT sources on this machine to build the guest from")
    return files


def tree_key(packages, sources):
    digest = hashlib.sha256(TREE_RECIPE.encode())
    for p in sorted(set(packages)):
        digest.update(p.encode() + b"\n")
    for f in sources:
        with open(f, "rb") as fh:
            digest.update(fh.read())
    return digest.hexdigest()[:16]


def cached_tree(packages):
    """The cached root file system holding `packages`; built with mmdebstrap (about a minute)
    when missing. Older trees are removed. Returns its path."""
    sources = host_sources()
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, "rootfs-" + tree_key(packages, sources))
    with open(os.path.join(CACHE, "build.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(path, ".complete")):
            log("guest tree from the cache: %s" % path)
            return path
        started = time.monotonic()
        partial = path + ".partial"
        shutil.rmtree(partial, ignore_errors=True)
        log("building the guest tree %s (mmdebstrap, about a minute)" % path)
        argv = ["mmdebstrap", "--variant=minbase", "--mode=root", "--format=directory",
                "--include=" + ",".join(sorted(set(packages))),
                "--aptopt=Acquire::Languages \"none\"",
                "--dpkgopt=path-exclude=/usr/share/doc/*",
                "--dpkgopt=path-exclude=/usr/share/man/*",
                "--dpkgopt=path-exclude=/usr/share/locale/*",
                "bookworm", partial] + sources
        with open(os.path.join(CACHE, "mmdebstrap.log"), "w") as out:
            if subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL).returncode != 0:
                raise RuntimeError("mmdebstrap failed: see %s" % out.name)
        open(os.path.join(partial, ".complete"), "w").close()
        for old in glob.glob(os.path.join(CACHE, "rootfs-*")):
            if old != partial:
                shutil.rmtree(old, ignore_errors=True)
        os.rename(partial, path)
        log("guest tree built in %d s" % (time.monotonic() - started))
        return path


class RunTree:
    """A copy of the cached tree for one run, under CACHE/runs/, held by a lock for as long as
    the run lasts; a copy whose lock nobody holds is the leftover of a killed run."""

    def __init__(self, cached):
        runs = os.path.join(CACHE, "runs")
        os.makedirs(runs, exist_ok=True)
        self._remove_leftovers(runs)
        self.path = os.path.join(runs, "%d-%d" % (os.getpid(), time.time()))
        os.makedirs(self.path)
        self._lock = open(self.path + ".lock", "w")
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        self.root = os.path.join(self.path, "root")
        subprocess.run(["cp", "-a", "--reflink=auto", cached, self.root], check=True)

    @staticmethod
    def _remove_leftovers(runs):
        for lock_path in glob.glob(os.path.join(runs, "*.lock")):
            with open(lock_path, "w") as lock:
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except OSError:
                    continue  # a run in progress
                shutil.rmtree(lock_path[:-len(".lock")], ignore_errors=True)
                os.unlink(lock_path)

    def file(self, guest_path):
        """The host path of a file of the guest."""
        return os.path.join(self.root, guest_path.lstrip("/"))

    def write(self, guest_path, text, mode=0o644):
        path = self.file(guest_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def read(self, guest_path):
        try:
            with open(self.file(guest_path), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)
        os.unlink(self.path + ".lock")
        self._lock.close()


class Container:
    """The tree booted with systemd as PID 1: its own PID, mount, IPC and UTS namespaces and a
    network of its own with the loopback interface only. The console goes to console_path."""

    def __init__(self, tree, console_path, name="cee-live"):
        self.tree, self.name = tree, name
        self._console = open(console_path, "w")
        argv = ["systemd-nspawn", "--boot", "--register=no", "--keep-unit", "--quiet",
                "--private-network", "--machine=" + name, "--resolv-conf=off",
                "--timezone=off", "--link-journal=no", "--console=read-only", "-D", tree.root,
                "systemd.show_status=1"]
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self._console,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        self.leader = None

    def wait_booted(self, deadline_s=120):
        """Waits until the guest's systemd has finished starting up; returns its state."""
        end = time.monotonic() + deadline_s
        while self.leader is None:
            if self.proc.poll() is not None:
                raise RuntimeError("systemd-nspawn ended at once (status %d)"
                                   % self.proc.returncode)
            self.leader = self._find_leader()
            if self.leader is None:
                if time.monotonic() > end:
                    raise RuntimeError("the container's systemd did not start")
                time.sleep(0.1)
        while True:
            state = self.run(["systemctl", "is-system-running"], timeout=10).stdout.strip()
            if state in ("running", "degraded"):
                return state
            if time.monotonic() > end:
                raise RuntimeError("the guest did not finish booting: %s" % state)
            time.sleep(0.3)

    def _find_leader(self):
        """The container's PID 1 as this machine sees it: the child of systemd-nspawn that
        runs systemd (nspawn's own intermediate child comes and goes first)."""
        try:
            with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
                pids = [int(p) for p in f.read().split()]
        except OSError:
            return None
        for pid in pids:
            try:
                with open("/proc/%d/comm" % pid) as f:
                    if f.read().strip() == "systemd":
                        return pid
            except OSError:
                pass
        return None

    def run(self, argv, timeout=60, stdin=None):
        """Runs argv inside the guest (all its namespaces, its root) as root with a clean
        environment; returns the CompletedProcess (text, stdout and stderr apart)."""
        enter = ["nsenter", "-t", str(self.leader), "-m", "-u", "-i", "-n", "-p", "-r", "-w",
                 "env", "-i", "PATH=" + GUEST_PATH, "LANG=C.UTF-8", "SYSTEMD_PAGER=",
                 "SYSTEMD_COLORS=0"]
        try:
            return subprocess.run(enter + list(argv), capture_output=True, text=True,
                                  timeout=timeout, input=stdin,
                                  stdin=None if stdin is not None else subprocess.DEVNULL)
        except subprocess.TimeoutExpired as e:
            return subprocess.CompletedProcess(argv, 124, e.stdout or "",
                                               "timed out after %d s" % timeout)

    def sh(self, script, timeout=60):
        return self.run(["sh", "-c", script], timeout)

    def stop(self, deadline_s=30):
        """Powers the guest off (SIGRTMIN+4 to its systemd); kills it when that takes longer
        than deadline_s. Always leaves no process of the container behind."""
        if self.proc.poll() is None and self.leader:
            try:
                os.kill(self.leader, signal.SIGRTMIN + 4)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(deadline_s)
            except subprocess.TimeoutExpired:
                log("the guest did not power off in %d s: killed" % deadline_s)
        if self.proc.poll() is None:
            if self.leader:
                try:
                    os.kill(self.leader, signal.SIGKILL)  # ends its whole PID namespace
                except ProcessLookupError:
                    pass
            self.proc.kill()
            self.proc.wait(10)
        self._console.close()
