#!/usr/bin/env python3
"""Builds the Debian package of a build folder with CPack and checks what it installs.

    check_deb.py --build-dir BUILD --source-dir SRC --work DIR [--emulator "qemu-arm -L /"]

The package is built once into DIR (the build folder is not written) and checked: where its
files go and with which modes, conffiles, the programs run from the unpacked tree, the units as
systemd reads them (verify; the agent's exposure, the updater's freedom), and the maintainer
scripts with stand-ins that record what they would do to systemd. Python standard library;
dpkg-deb, dpkg, systemd-analyze (package systemd) and cpack.
"""
import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest


ETC = "/usr/local/etc/zorcee/"
UNITS = "/lib/systemd/system/"
# What the device needs, where it needs it: path -> mode as dpkg-deb --contents prints it.
PRIVATE = ["/var/local/zorcee/spool/"]  # the agent's receipt spool, root only
EXPECTED = {
    **dict.fromkeys(["/usr/local/bin/" + p for p in ("cee-agent", "cee-updater", "cee-status")],
                    "-rwxr-xr-x"),
    **dict.fromkeys(["/usr/local/lib/libmqtt-if.so", ETC + "cee.conf", ETC + "cee_upd.conf"] + [
        UNITS + u for u in "cee-agent.service cee-updater.service cee-updater.timer "
        "cee-agent.service.d/hardening.conf".split()], "-rw-r--r--"),
    ETC + "mqtt_if.conf": "-rw-------",  # holds the broker's credentials
    **dict.fromkeys("/usr/local/zorupdate/ /var/local/zorcee/ /var/local/zorlog/ "
                    "/var/local/update_log/".split(), "drwxr-xr-x"),
    **dict.fromkeys(PRIVATE, "drwx------")}
ELF_MACHINES = {"amd64": 0x3E, "armhf": 0x28, "arm64": 0xB7, "i386": 0x03}


def run(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          stdin=subprocess.DEVNULL, **{"timeout": 300, **kwargs})


def checked(argv, **kwargs):
    p = run(argv, **kwargs)
    assert p.returncode == 0, "%s failed (%d):\n%s%s" % (argv, p.returncode, p.stdout, p.stderr)
    return p.stdout


def setUpModule():
    global DEB, ROOT, CONTROL, FIELDS
    out = os.path.join(ARGS.work, "deb")
    checked(["cpack", "-G", "DEB", "--config", os.path.join(ARGS.build_dir, "CPackConfig.cmake"),
             "-B", out])
    (DEB,) = [os.path.join(out, f) for f in os.listdir(out) if f.endswith(".deb")]  # just one
    ROOT, CONTROL = os.path.join(ARGS.work, "root"), os.path.join(ARGS.work, "control")
    checked(["dpkg", "-x", DEB, ROOT])
    checked(["dpkg-deb", "--control", DEB, CONTROL])
    FIELDS = dict(re.findall(r"^(\S+): (.*)$", read(os.path.join(CONTROL, "control")), re.M))


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def values(path, key):
    """The values of every `key=` line of a unit file or drop-in, in order."""
    return re.findall(r"^%s=(.*)$" % key, read(path), re.M)


def security(unit):
    """systemd-analyze security --offline: (exposure level, {json_field: assessment})."""
    argv = ["systemd-analyze", "security", "--offline=yes", "--no-pager", "--root=" + ROOT, unit]
    level = re.search(r"Overall exposure level for \S+: ([0-9.]+) ", run(argv).stdout).group(1)
    return float(level), {i["json_field"]: i for i in json.loads(checked(argv + ["--json=short"]))}


class Package(unittest.TestCase):
    maxDiff = None  # the whole difference of the file lists
    def test_architecture_and_depends(self):
        machine = read(ROOT + "/usr/local/bin/cee-agent", "rb")[18]  # ELF e_machine
        self.assertEqual(ELF_MACHINES.get(FIELDS["Architecture"]), machine)
        depends = FIELDS["Depends"]
        # dpkg-shlibdeps ran (versioned C library); ping and the CA store are set by hand;
        # nothing of the tests.
        self.assertRegex(depends, r"(^|, )libc6 \(>= ")
        self.assertRegex(depends, r"(^|, )iputils-ping\b")
        self.assertRegex(depends, r"(^|, )ca-certificates\b")
        self.assertNotRegex(depends, r"libgtest|libgmock|libcpp-httplib|libmqtt-if")

    def test_files_modes_and_conffiles(self):
        # path without the leading '.' -> (mode, owner)
        entries = {f[5][1:].split(" -> ")[0]: (f[0], f[1]) for f in (
            l.split(None, 5) for l in checked(["dpkg-deb", "--contents", DEB]).splitlines())}
        # Besides the expected entries: only the folders that lead to them.
        self.assertEqual({p: e for p, e in entries.items() if p in EXPECTED or not (
            e[0].startswith("d") and any(x.startswith(p) for x in EXPECTED))},
            {p: (mode, "root/root") for p, mode in EXPECTED.items()})
        # Every settings file is kept on upgrade.
        self.assertEqual(sorted(read(os.path.join(CONTROL, "conffiles")).split()),
                         sorted(p for p in entries if p.startswith(ETC) and p != ETC))
        self.assertIn("ldconfig", read(os.path.join(CONTROL, "triggers")))
        self.assertEqual([os.stat(os.path.join(CONTROL, n)).st_mode & 0o777
                          for n in ("postinst", "prerm", "postrm")], [0o755] * 3)

    def test_programs_run_from_the_tree(self):
        env = {k: v for k, v in os.environ.items() if k[:3] != "LD_"} | {"LD_DEBUG": "libs"}
        for program in ("cee-agent", "cee-updater"):
            # The library is the tree's own, found through the RUNPATH (not one installed on
            # this machine): the loader's trace names the file it initialised.
            p = run(shlex.split(ARGS.emulator) + [ROOT + "/usr/local/bin/" + program, "--version"],
                    env=env, timeout=60)
            self.assertEqual((p.returncode, *p.stdout.split()[:2]), (0, program, FIELDS["Version"]))
            self.assertIn("calling init: %s/usr/local/bin/../lib/libmqtt-if.so\n" % ROOT,
                          p.stderr, program)

    def test_verify(self):
        # The targets and units the package's units refer to come from this machine.
        root = os.path.join(ARGS.work, "verify-root")
        shutil.copytree(UNITS, root + UNITS, symlinks=True)
        shutil.copytree(ROOT, root, symlinks=True, dirs_exist_ok=True)
        p = run(["systemd-analyze", "verify", "--man=no", "--root=" + root]
                + [u for u in EXPECTED if re.search(r"\.(service|timer)$", u)])
        # What systemd only warns about (unknown keys, bad values, also in the drop-in) is on
        # stderr with exit status 0: any output is a failure.
        self.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""))

    def test_agent_sandbox(self):
        level, items = security("cee-agent.service")
        self.assertLessEqual(level, 4.0)
        # /dev stays whole for the substrate code command; the group file the logger application
        # writes is in the real /var/tmp.
        self.assertEqual([k for k in ("DeviceAllow", "PrivateDevices", "PrivateTmp")
                          if items[k]["set"]], [])
        # The folders the packaged settings name are writable (ProtectSystem=strict) and made
        # by the package, root's, with their modes.
        sandbox = ROOT + UNITS + "cee-agent.service.d/hardening.conf"
        writable = [p.lstrip("-").rstrip("/") + "/" for line in values(sandbox, "ReadWritePaths")
                    for p in line.split()]
        agent = json.loads(read(ROOT + ETC + "cee.conf"))
        folders = [agent["DATABASE"]["DB_PATH"], agent["LOG"]["LOG_DIR"],
                   agent.get("SPOOL_DIR", PRIVATE[0])]
        for folder in (os.path.normpath(f) + "/" for f in folders if f):
            self.assertEqual((any(folder.startswith(w) for w in writable), folder in EXPECTED),
                             (True, True), folder)
        # The memory ceiling holds the largest answer the agent reads in all the copies it holds
        # at its peak (measured: six, and one more waiting in the MQTT library while the broker
        # is away; docs/reliability.md), with room for the rest of the agent.
        n, unit = re.fullmatch(r"(\d+)([KMG]?)", values(sandbox, "MemoryMax")[-1]).groups()
        largest = agent["QMT_HTTP"].get("MAX_ANSWER_BYTES", 32 << 20)
        self.assertGreaterEqual(int(n) << " KMG".index(unit or " ") * 10, 7 * largest + (32 << 20))

    def test_updater_keeps_its_powers(self):
        # A package installation, its maintainer scripts and the finish command need root's
        # whole power: systemd rates the updater like a service without any sandbox, but for
        # home folders it only reads.
        with open(ROOT + UNITS + "bare.service", "w") as f:
            f.write("[Service]\nExecStart=/usr/local/bin/cee-updater\n")
        bare, updater = (security(u)[1] for u in ("bare.service", "cee-updater.service"))
        self.assertEqual([k for k in bare if bare[k] != updater.get(k)], ["ProtectHome"])
        unit = ROOT + UNITS + "cee-updater.service"
        # The finish command started in the background outlives the updater's exit.
        self.assertEqual(values(unit, "KillMode"), ["process"])
        # Limits systemd does not rate: memory and hidden or read-only paths.
        self.assertEqual([k for k in ("MemoryMax", "ReadOnlyPaths", "InaccessiblePaths",
                                      "TemporaryFileSystem") if values(unit, k)], [])

    def run_script(self, name, *args, dpkg_root=None):
        """Runs a maintainer script with stand-ins that record their calls, nothing real touched:
        {"verb unit"} of what it asked of systemd. Its files go below dpkg_root."""
        folder = tempfile.mkdtemp(dir=ARGS.work)
        calls = os.path.join(folder, "calls")
        open(calls, "w").close()
        for tool in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl"):
            with open(os.path.join(folder, tool), "w") as f:
                # was-enabled answers "yes": a unit never seen before.
                f.write("#!/bin/sh\necho \"$*\" >> %s\n" % shlex.quote(calls))
            os.chmod(os.path.join(folder, tool), 0o755)
        env = dict(os.environ, PATH=f"{folder}:{os.environ['PATH']}", DPKG_ROOT=dpkg_root or folder)
        p = run(["sh", os.path.join(CONTROL, name)] + list(args), env=env, timeout=60)
        self.assertEqual(p.returncode, 0, "%s %s: %s" % (name, args, p.stderr))
        return {" ".join(w[-2:]) for w in map(str.split, read(calls).splitlines()) if len(w) > 1
                and w[-2] in ("enable", "start", "restart", "stop", "mask", "purge")}

    def test_systemd_actions(self):
        booted = os.path.isdir("/run/systemd/system")

        def act(verb, when=True):
            return {verb + " " + u for u in ("cee-agent.service", "cee-updater.timer") if when}
        # The updater's service is never started or stopped: it may be what runs dpkg.
        for args, expected in [
                (("postinst", "configure", ""), act("enable") | act("start", booted)),
                (("postinst", "configure", "0.9.0"), act("enable") | act("restart", booted)),
                (("prerm", "upgrade", "1.0.1"), set()), (("prerm", "remove"), act("stop", booted)),
                (("postrm", "remove"), act("mask")), (("postrm", "purge"), act("purge"))]:
            with self.subTest(args=args):
                self.assertEqual(self.run_script(*args), expected)

    def test_postinst_makes_the_private_folders_root_only(self):
        # dpkg keeps the mode of a folder that is already there: an upgrade over a spool the
        # agent made 0755 must still leave it 0700. A link in a folder's place is not followed.
        root = tempfile.mkdtemp(dir=ARGS.work)
        spool = root + PRIVATE[0].rstrip("/")
        elsewhere = os.path.join(root, "elsewhere")
        for folder in (spool, elsewhere):
            os.makedirs(folder)
            os.chmod(folder, 0o755)
        self.run_script("postinst", "configure", "0.9.0", dpkg_root=root)
        self.assertEqual(os.stat(spool).st_mode & 0o777, 0o700)
        os.rmdir(spool)
        os.symlink(elsewhere, spool)
        self.run_script("postinst", "configure", "0.9.0", dpkg_root=root)
        self.assertEqual(os.stat(elsewhere).st_mode & 0o777, 0o755)  # the link is not followed
        # On a fresh installation a missing folder is made.
        os.unlink(spool)
        self.run_script("postinst", "configure", "", dpkg_root=root)
        self.assertEqual(oct(os.lstat(spool).st_mode), oct(0o40700))  # a folder, rwx------


def main():
    global ARGS  # the parsed command line
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    # --work: emptied first; --source-dir: accepted, not needed any more
    for name in ("--build-dir", "--source-dir", "--work"):
        parser.add_argument(name, required=True)
    parser.add_argument("--emulator", default="", help="runs the packaged programs")
    ARGS, rest = parser.parse_known_args()
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    unittest.main(argv=[__file__] + rest, verbosity=2)


if __name__ == "__main__":
    main()
