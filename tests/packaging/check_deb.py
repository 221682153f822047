#!/usr/bin/env python3
"""Builds the Debian package of a build folder with CPack and checks it.

    check_deb.py --build-dir BUILD --source-dir SRC --work DIR [--emulator "qemu-arm -L /"]

Steps, each a test of its own (unittest, run in order):
  1. cpack -G DEB with BUILD's CPackConfig.cmake, output into DIR (the build folder itself is
     not written);
  2. control fields: name, architecture (that of the compiled programs), Depends as
     dpkg-shlibdeps found them (the C library, SQLite, curl, Paho MQTT, ...) and nothing of
     the tests;
  3. contents: every file and folder with its mode and owner, nothing else (no tests,
     logger-sim, benchmarks or headers);
  4. control archive: conffiles, maintainer scripts (executable, valid sh);
  5. the tree unpacked with dpkg -x: settings files are the repository's defaults and valid
     JSON, the programs run from the tree (--version; they find libmqtt-if through their
     RUNPATH, with no help from ld.so's cache), the systemd units name programs of the package;
  6. systemd-analyze verify of the three units (and the agent's sandbox drop-in) against the
     unpacked tree (--root), with the systemd units of this machine beside them so that the
     targets they name resolve; systemd-analyze security --offline rates the agent's exposure
     at 4.0 or less; the sandbox lets the agent write the folders its packaged settings name
     and nothing keeps the updater from installing packages;
  7. the maintainer scripts run with stand-ins for deb-systemd-helper, deb-systemd-invoke and
     systemctl that only record their arguments: on a fresh installation postinst enables the
     agent and the timer (and starts them only where systemd is running), prerm and postrm act
     on remove and purge; nothing touches this machine's systemd. postinst runs with DPKG_ROOT
     set to a scratch folder and gives the agent's private folders mode 0700 there.

Python standard library only; the Debian tools used are dpkg-deb, dpkg, systemd-analyze
(package systemd) and cpack (cmake). dpkg-shlibdeps (dpkg-dev) runs inside cpack.
"""
import argparse
import configparser
import glob
import json
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None  # parsed command line, set in main()

PREFIX = "./usr/local/"
UNIT_DIR = "./lib/systemd/system/"
UNITS = ("cee-agent.service", "cee-updater.service", "cee-updater.timer")
AGENT_DROPIN = UNIT_DIR + "cee-agent.service.d/hardening.conf"
# Highest exposure level ("systemd-analyze security") the agent's sandbox may have.
AGENT_EXPOSURE_MAX = 4.0
# Copies of the largest answer the agent holds at once at its peak (measured: six, and one more
# waiting in the MQTT library while the broker is away; docs/reliability.md).
AGENT_ANSWER_COPIES = 7
# Options the updater's unit must not set: each could keep a package installation, a
# maintainer script or the finish command from doing its work.
UPDATER_FORBIDDEN = {
    "User", "Group", "DynamicUser", "PrivateUsers", "NoNewPrivileges", "RestrictSUIDSGID",
    "CapabilityBoundingSet", "AmbientCapabilities", "SystemCallFilter",
    "SystemCallArchitectures", "RestrictAddressFamilies", "RestrictNamespaces",
    "MemoryDenyWriteExecute", "LockPersonality", "RestrictRealtime", "PrivateTmp",
    "PrivateDevices", "DevicePolicy", "DeviceAllow", "ProtectSystem", "ReadOnlyPaths",
    "InaccessiblePaths", "ReadWritePaths", "TemporaryFileSystem", "ProtectKernelModules",
    "ProtectKernelTunables", "ProtectKernelLogs", "ProtectControlGroups", "ProtectClock",
    "ProtectHostname", "PrivateNetwork", "IPAddressDeny", "MemoryMax", "UMask", "ProtectProc",
    "ProcSubset"}
CONF_FILES = {"cee.conf": "-rw-r--r--", "cee_upd.conf": "-rw-r--r--",
              "mqtt_if.conf": "-rw-------"}

# path in the package -> mode string as dpkg-deb --contents prints it
EXPECTED = {
    "./usr/local/bin/cee-agent": "-rwxr-xr-x",
    "./usr/local/bin/cee-updater": "-rwxr-xr-x",
    "./usr/local/lib/libmqtt-if.so": "-rw-r--r--",
    "./usr/local/zorupdate/": "drwxr-xr-x",
    "./var/local/zorcee/": "drwxr-xr-x",
    "./var/local/zorlog/": "drwxr-xr-x",
    "./var/local/update_log/": "drwxr-xr-x",
    "./var/local/zorcee/spool/": "drwx------",
    "./var/local/zorcee/mqtt/": "drwx------",
    UNIT_DIR + "cee-agent.service.d/": "drwxr-xr-x",
    AGENT_DROPIN: "-rw-r--r--",
}
EXPECTED.update({"./usr/local/etc/zorcee/" + name: mode for name, mode in CONF_FILES.items()})
EXPECTED.update({UNIT_DIR + name: "-rw-r--r--" for name in UNITS})
# Files that may be there besides: programs other teams add with install rules of their own.
OPTIONAL = {"./usr/local/bin/cee-status": "-rwxr-xr-x"}
# Parent folders that appear as entries of their own.
PARENTS = {"./", "./lib/", "./lib/systemd/", "./usr/", "./usr/local/", "./usr/local/bin/",
           "./usr/local/etc/", "./usr/local/etc/zorcee/", "./usr/local/lib/", "./var/",
           "./var/local/", UNIT_DIR}

# Depends that the programs' libraries must bring (dpkg-shlibdeps) or that are set by hand.
REQUIRED_DEPENDS = ("libc6", "libstdc++6", "libsqlite3-0", "libcurl4", "libpaho-mqtt1.3",
                    "libtinyxml2-9", "iputils-ping")
# Libraries of tests and tools only: they must not show up.
FORBIDDEN_DEPENDS = ("libgtest", "libcpp-httplib", "libgmock")

ELF_MACHINES = {"amd64": 0x3E, "armhf": 0x28, "arm64": 0xB7, "i386": 0x03}


def run(argv, **kwargs):
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 300)
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run(argv, **kwargs)


def elf_machine(path):
    """e_machine of an ELF file (little-endian), None for anything else."""
    with open(path, "rb") as f:
        header = f.read(20)
    if header[:4] != b"\x7fELF" or header[5] != 1:
        return None
    return int.from_bytes(header[18:20], "little")


class Package:
    """The package built once for all tests."""
    path = None
    work = None
    root = None  # the unpacked tree

    @classmethod
    def build(cls):
        if cls.path is not None:
            return cls.path
        out = os.path.join(ARGS.work, "deb")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        config = os.path.join(ARGS.build_dir, "CPackConfig.cmake")
        p = run(["cpack", "-G", "DEB", "--config", config, "-B", out])
        if p.returncode != 0:
            raise AssertionError("cpack failed (%d):\n%s\n%s" % (p.returncode, p.stdout,
                                                                 p.stderr))
        debs = glob.glob(os.path.join(out, "*.deb"))
        if len(debs) != 1:
            raise AssertionError("expected one .deb in %s, found %s\n%s" % (out, debs, p.stdout))
        cls.path = debs[0]
        return cls.path

    @classmethod
    def unpacked(cls):
        if cls.root is None:
            root = os.path.join(ARGS.work, "root")
            shutil.rmtree(root, ignore_errors=True)
            os.makedirs(root)
            p = run(["dpkg", "-x", cls.build(), root])
            if p.returncode != 0:
                raise AssertionError("dpkg -x failed: %s" % p.stderr)
            cls.root = root
        return cls.root


def field(name):
    p = run(["dpkg-deb", "--field", Package.build(), name])
    if p.returncode != 0:
        raise AssertionError("dpkg-deb --field %s: %s" % (name, p.stderr))
    return p.stdout.strip()


def contents():
    """{path: (mode, owner)} of dpkg-deb --contents."""
    p = run(["dpkg-deb", "--contents", Package.build()])
    if p.returncode != 0:
        raise AssertionError("dpkg-deb --contents: %s" % p.stderr)
    entries = {}
    for line in p.stdout.splitlines():
        parts = line.split(None, 5)
        mode, owner, path = parts[0], parts[1], parts[5]
        if mode.startswith("l"):
            path = path.split(" -> ")[0]
        entries[path] = (mode, owner)
    return entries


def control_file(name):
    """Text of a member of the control archive, None when it is missing."""
    folder = os.path.join(ARGS.work, "control")
    if not os.path.isdir(folder):
        p = run(["dpkg-deb", "--control", Package.build(), folder])
        if p.returncode != 0:
            raise AssertionError("dpkg-deb --control: %s" % p.stderr)
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return f.read()


def read_unit(path):
    parser = configparser.ConfigParser(strict=False, interpolation=None,
                                       delimiters=("=",), comment_prefixes=("#", ";"))
    parser.optionxform = str  # keys are case-sensitive
    with open(path) as f:
        parser.read_file(f)
    return parser


def service_settings(path):
    """{key: [values in order]} of the [Service] section of a unit file or drop-in: keys such
    as ReadWritePaths= may be given more than once."""
    settings = {}
    section = None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
            elif section == "[Service]":
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def size_bytes(text):
    """A systemd size ("256M", "1G", "1048576") in bytes."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    if text[-1:].upper() in units:
        return int(text[:-1]) * units[text[-1:].upper()]
    return int(text)


def agent_write_folders(root):
    """{folder: mode} of the folders the agent writes, as the packaged settings name them. A
    key a settings file leaves out has the program's default; PERSISTENCE_DIR "" means the
    MQTT client keeps its messages in memory."""
    def load(name):
        with open(os.path.join(root, "usr/local/etc/zorcee", name)) as f:
            return json.load(f)
    agent, mqtt = load("cee.conf"), load("mqtt_if.conf")
    folders = {agent["DATABASE"]["DB_PATH"]: 0o755, agent["LOG"]["LOG_DIR"]: 0o755,
               agent.get("SPOOL_DIR", "/var/local/zorcee/spool"): 0o700}
    persistence = mqtt.get("PERSISTENCE_DIR", "/var/local/zorcee/mqtt")
    if persistence:
        folders[persistence] = 0o700
    return {os.path.normpath(path): mode for path, mode in folders.items()}


def security(root, unit):
    """systemd-analyze security --offline of a unit of root: (overall exposure level,
    {json_field: its assessment (set, description, ...)}), the options as systemd itself reads
    them, implied ones included."""
    argv = ["systemd-analyze", "security", "--offline=yes", "--no-pager", "--root=" + root]
    p = run(argv + [unit])
    found = re.search(r"Overall exposure level for %s: ([0-9]+\.[0-9]) " % re.escape(unit),
                      p.stdout)
    if found is None:
        raise AssertionError("no exposure level for %s (%d):\n%s\n%s"
                             % (unit, p.returncode, p.stdout, p.stderr))
    p = run(argv + ["--json=short", unit])
    items = {item["json_field"]: item for item in json.loads(p.stdout)}
    return float(found.group(1)), items


class A_Build(unittest.TestCase):
    def test_cpack_builds_one_package(self):
        path = Package.build()
        self.assertRegex(os.path.basename(path), r"^cee_[0-9][^_]*_[a-z0-9]+\.deb$")


class B_Control(unittest.TestCase):
    def test_name_architecture_and_depends(self):
        self.assertEqual(field("Package"), "cee")
        arch = field("Architecture")
        agent = os.path.join(ARGS.build_dir, "src", "agent", "cee-agent")
        self.assertIn(arch, ELF_MACHINES)
        self.assertEqual(elf_machine(agent), ELF_MACHINES[arch],
                         "package architecture %s does not fit the built programs" % arch)
        depends = [d.strip() for d in field("Depends").split(",")]
        names = [d.split()[0] for d in depends]
        for name in REQUIRED_DEPENDS:
            self.assertIn(name, names, "Depends: %s" % depends)
        for name in names:
            for forbidden in FORBIDDEN_DEPENDS:
                self.assertFalse(name.startswith(forbidden), "Depends: %s" % depends)
        self.assertNotIn("libmqtt-if", " ".join(names))
        # dpkg-shlibdeps writes versions for what it found in shlibs/symbols files.
        self.assertTrue(any(d.startswith("libc6 (>= ") for d in depends), depends)


class C_Contents(unittest.TestCase):
    def test_files_modes_and_owners(self):
        entries = contents()
        for path, mode in EXPECTED.items():
            self.assertIn(path, entries, "missing from the package")
            self.assertEqual(entries[path][0], mode, path)
        for path, (mode, owner) in entries.items():
            self.assertEqual(owner, "root/root", path)
            if path in EXPECTED or path in PARENTS:
                continue
            if path in OPTIONAL:
                self.assertEqual(mode, OPTIONAL[path], path)
                continue
            self.fail("unexpected entry in the package: %s %s" % (mode, path))
        for path in PARENTS:
            if path != "./":
                self.assertTrue(entries[path][0].startswith("d"), path)


class D_ControlArchive(unittest.TestCase):
    def test_conffiles(self):
        conffiles = control_file("conffiles")
        self.assertIsNotNone(conffiles, "no conffiles")
        self.assertEqual(sorted(conffiles.split()),
                         sorted("/usr/local/etc/zorcee/" + n for n in CONF_FILES))

    def test_ldconfig_trigger(self):
        triggers = control_file("triggers")
        self.assertIsNotNone(triggers, "no triggers")
        lines = [l for l in triggers.splitlines() if l.strip() and not l.startswith("#")]
        self.assertEqual(lines, ["activate-noawait ldconfig"])

    def test_maintainer_scripts(self):
        folder = os.path.join(ARGS.work, "control")
        for name in ("postinst", "prerm", "postrm"):
            text = control_file(name)
            self.assertIsNotNone(text, name)
            self.assertTrue(text.startswith("#!/bin/sh\n"), name)
            mode = stat.S_IMODE(os.stat(os.path.join(folder, name)).st_mode)
            self.assertEqual(mode, 0o755, name)
            p = run(["sh", "-n", os.path.join(folder, name)])
            self.assertEqual(p.returncode, 0, "%s: %s" % (name, p.stderr))


class E_Tree(unittest.TestCase):
    def test_settings_are_the_repository_defaults(self):
        root = Package.unpacked()
        for name in CONF_FILES:
            with open(os.path.join(root, "usr/local/etc/zorcee", name)) as f:
                packaged = f.read()
            with open(os.path.join(ARGS.source_dir, "packaging", "etc", name)) as f:
                self.assertEqual(packaged, f.read(), name)
            value = json.loads(packaged)
            self.assertIsInstance(value, dict, name)
            self.assertTrue(value, name)

    def test_programs_run_from_the_tree(self):
        root = Package.unpacked()
        env = {k: v for k, v in os.environ.items() if not k.startswith("LD_")}
        emulator = shlex.split(ARGS.emulator or "")
        for program in ("cee-agent", "cee-updater"):
            binary = os.path.join(root, "usr/local/bin", program)
            p = run(emulator + [binary, "--version"], env=env, timeout=60)
            self.assertEqual((p.returncode, p.stderr), (0, ""), program)
            self.assertEqual(p.stdout.split()[0], program)
            self.assertEqual(p.stdout.split()[1], field("Version"))
            # The library is the tree's own, found through the RUNPATH (not one installed on
            # this machine): the loader's trace names the file it initialised.
            p = run(emulator + [binary, "--version"], env=dict(env, LD_DEBUG="libs"),
                    timeout=60)
            self.assertEqual(p.returncode, 0, program)
            self.assertIn("calling init: %s/usr/local/bin/../lib/libmqtt-if.so\n" % root,
                          p.stderr, program)

    def test_units_start_the_packaged_programs(self):
        root = Package.unpacked()
        units = {name: read_unit(os.path.join(root, UNIT_DIR, name)) for name in UNITS}
        agent = units["cee-agent.service"]
        self.assertEqual(agent["Service"]["ExecStart"], "/usr/local/bin/cee-agent")
        self.assertEqual(agent["Service"]["Restart"], "on-failure")
        self.assertEqual(agent["Service"]["KillSignal"], "SIGTERM")
        self.assertIn("network-online.target", agent["Unit"]["After"].split())
        self.assertIn("network-online.target", agent["Unit"]["Wants"].split())
        self.assertEqual(agent["Install"]["WantedBy"], "multi-user.target")
        updater = units["cee-updater.service"]
        self.assertEqual(updater["Service"]["Type"], "oneshot")
        self.assertEqual(updater["Service"]["ExecStart"], "/usr/local/bin/cee-updater")
        self.assertEqual(updater["Service"]["SuccessExitStatus"].split(), ["100"])
        self.assertFalse(updater.has_section("Install"), "started by the timer only")
        # The finish command started in the background outlives the updater's exit.
        self.assertEqual(updater["Service"].get("KillMode"), "process")
        timer = units["cee-updater.timer"]
        self.assertEqual(timer["Timer"]["Unit"], "cee-updater.service")
        self.assertEqual(timer["Timer"]["OnUnitActiveSec"], "5min")
        self.assertEqual(timer["Install"]["WantedBy"], "timers.target")
        for name, unit in units.items():
            for section in ("Service",):
                if unit.has_section(section) and "ExecStart" in unit[section]:
                    program = unit[section]["ExecStart"].split()[0]
                    self.assertTrue(os.access(root + program, os.X_OK), "%s: %s" % (name,
                                                                                    program))


class F_SystemdAnalyze(unittest.TestCase):
    def test_verify(self):
        if shutil.which("systemd-analyze") is None:
            self.fail("systemd-analyze is missing (package systemd; scripts/install-deps.sh)")
        root = os.path.join(ARGS.work, "verify-root")
        shutil.rmtree(root, ignore_errors=True)
        shutil.copytree(Package.unpacked(), root, symlinks=True)
        # The targets and units the package's units refer to come from this machine.
        units = os.path.join(root, UNIT_DIR)
        for host_dir in ("/lib/systemd/system", "/usr/lib/systemd/system"):
            if not os.path.isdir(host_dir):
                continue
            for name in os.listdir(host_dir):
                target = os.path.join(units, name)
                if not os.path.lexists(target):
                    source = os.path.join(host_dir, name)
                    if os.path.isdir(source) and not os.path.islink(source):
                        shutil.copytree(source, target, symlinks=True)
                    else:
                        shutil.copy2(source, target, follow_symlinks=False)
        p = run(["systemd-analyze", "verify", "--man=no", "--root=" + root]
                + ["/lib/systemd/system/" + name for name in UNITS])
        # Problems that systemd only warns about (unknown keys, bad values, also those of the
        # drop-in) are on stderr with exit status 0: any output is a failure.
        self.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""))

    def test_agent_exposure(self):
        root = Package.unpacked()
        results = {unit: security(root, unit) for unit in UNITS if unit.endswith(".service")}
        print("\nexposure levels: %s" % {unit: r[0] for unit, r in results.items()},
              file=sys.stderr)
        level, items = results["cee-agent.service"]
        self.assertLessEqual(level, AGENT_EXPOSURE_MAX)
        # As systemd reads the sandbox (options that imply others included): no device list,
        # so /dev stays whole for the substrate code command, and the real /var/tmp.
        self.assertEqual(items["DeviceAllow"]["description"], "Service has no device ACL")
        self.assertEqual((items["PrivateDevices"]["set"], items["PrivateTmp"]["set"]),
                         (False, False))

    def test_agent_sandbox_fits_the_settings(self):
        root = Package.unpacked()
        sandbox = service_settings(root + AGENT_DROPIN[1:])
        self.assertEqual(sandbox.get("ProtectSystem"), ["strict"])
        writable = [path.lstrip("-") for line in sandbox.get("ReadWritePaths", [])
                    for path in line.split()]
        entries = contents()
        for folder, mode in agent_write_folders(root).items():
            self.assertTrue(any(folder == w or folder.startswith(w.rstrip("/") + "/")
                                for w in writable),
                            "%s is not writable in the sandbox (%s)" % (folder, writable))
            # The package creates the folder, owned by root, with its mode.
            self.assertEqual(entries.get("." + folder + "/"),
                             (stat.filemode(stat.S_IFDIR | mode), "root/root"), folder)
        # The group file in /var/tmp is written by the logger application: the agent must see
        # the real /var/tmp. /dev stays for the substrate code command.
        for key in ("PrivateTmp", "PrivateDevices"):
            self.assertIn(sandbox.get(key, ["no"])[-1], ("no", "false"), key)
        for key in ("DevicePolicy", "DeviceAllow", "InaccessiblePaths", "TemporaryFileSystem"):
            self.assertNotIn(key, list(sandbox))
        # The ceiling holds the largest answer the agent reads (QMT_HTTP.MAX_ANSWER_BYTES) in
        # the copies an order needs at once, with room for the rest of the agent.
        with open(os.path.join(root, "usr/local/etc/zorcee/cee.conf")) as f:
            largest = json.load(f)["QMT_HTTP"].get("MAX_ANSWER_BYTES", 32 << 20)
        self.assertGreaterEqual(size_bytes(sandbox.get("MemoryMax", ["0"])[-1]),
                                AGENT_ANSWER_COPIES * largest + (32 << 20))

    def test_updater_keeps_its_powers(self):
        root = Package.unpacked()
        updater = service_settings(os.path.join(root, UNIT_DIR, "cee-updater.service"))
        # Nothing that could change what a package installation (or the finish command) may
        # do: users, capabilities, system calls, devices, file system, network, /tmp.
        restricting = [key for key in updater if key in UPDATER_FORBIDDEN]
        self.assertEqual(restricting, [])
        self.assertFalse(os.path.exists(root + UNIT_DIR + "cee-updater.service.d"))


class G_MaintainerScripts(unittest.TestCase):
    """The scripts run with stand-ins that record their calls (nothing real is touched)."""

    def run_script(self, name, *args, dpkg_root=None):
        """Runs a maintainer script; what it writes goes below dpkg_root (a scratch folder
        unless given), never into this machine's /var."""
        folder = tempfile.mkdtemp(dir=ARGS.work, prefix="scripts-")
        if dpkg_root is None:
            dpkg_root = os.path.join(folder, "root")
            os.makedirs(dpkg_root)
        bin_dir = os.path.join(folder, "bin")
        os.makedirs(bin_dir)
        calls = os.path.join(folder, "calls")
        open(calls, "w").close()
        for tool in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl"):
            path = os.path.join(bin_dir, tool)
            with open(path, "w") as f:
                # was-enabled answers "yes": a unit never seen before.
                f.write("#!/bin/sh\necho \"%s $*\" >> %s\nexit 0\n" % (tool, shlex.quote(calls)))
            os.chmod(path, 0o755)
        script = os.path.join(ARGS.work, "control", name)
        control_file(name)
        env = dict(os.environ, PATH=bin_dir + ":/usr/sbin:/usr/bin:/sbin:/bin",
                   DPKG_ROOT=dpkg_root)
        p = run(["sh", script] + list(args), env=env, timeout=60)
        self.assertEqual(p.returncode, 0, "%s %s: %s" % (name, args, p.stderr))
        with open(calls) as f:
            return f.read().splitlines()

    def test_postinst_configure_enables_agent_and_timer(self):
        calls = self.run_script("postinst", "configure", "")
        booted = os.path.isdir("/run/systemd/system")
        expected = []
        for unit in ("cee-agent.service", "cee-updater.timer"):
            expected += ["deb-systemd-helper unmask " + unit,
                         "deb-systemd-helper --quiet was-enabled " + unit,
                         "deb-systemd-helper enable " + unit]
        if booted:
            expected += ["systemctl --system daemon-reload",
                         "deb-systemd-invoke start cee-agent.service",
                         "deb-systemd-invoke start cee-updater.timer"]
        self.assertEqual(calls, expected)
        self.assertFalse([c for c in calls if "cee-updater.service" in c])

    def test_postinst_makes_the_private_folders_root_only(self):
        # dpkg keeps the mode of a folder that is already there: an upgrade over a spool the
        # agent made 0755 must still leave it 0700. A link in a folder's place is not followed.
        root = tempfile.mkdtemp(dir=ARGS.work, prefix="dpkg-root-")
        private = [path for path, mode in EXPECTED.items() if mode == "drwx------"]
        self.assertEqual(len(private), 2, private)
        spool, persistence = (os.path.join(root, path[2:]) for path in private)
        os.makedirs(spool, mode=0o755)
        os.chmod(spool, 0o755)
        elsewhere = os.path.join(root, "elsewhere")
        os.makedirs(elsewhere, mode=0o755)
        os.chmod(elsewhere, 0o755)
        os.symlink(elsewhere, persistence.rstrip("/"))
        self.run_script("postinst", "configure", "0.9.0", dpkg_root=root)
        self.assertEqual(stat.S_IMODE(os.stat(spool).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(elsewhere).st_mode), 0o755)
        # On a fresh installation a missing folder is made.
        os.unlink(persistence.rstrip("/"))
        self.run_script("postinst", "configure", "", dpkg_root=root)
        for folder in (spool, persistence):
            info = os.lstat(folder.rstrip("/"))
            self.assertTrue(stat.S_ISDIR(info.st_mode), folder)
            self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid),
                             (0o700, 0, 0), folder)

    def test_postinst_upgrade_restarts_only_when_booted(self):
        calls = self.run_script("postinst", "configure", "0.9.0")
        starts = [c for c in calls if c.startswith("deb-systemd-invoke")]
        if os.path.isdir("/run/systemd/system"):
            self.assertEqual(starts, ["deb-systemd-invoke restart cee-agent.service",
                                      "deb-systemd-invoke restart cee-updater.timer"])
        else:
            self.assertEqual(starts, [])

    def test_prerm_and_postrm(self):
        booted = os.path.isdir("/run/systemd/system")
        self.assertEqual(self.run_script("prerm", "upgrade", "1.0.1"), [])
        self.assertEqual(self.run_script("prerm", "remove"),
                         ["deb-systemd-invoke stop cee-updater.timer",
                          "deb-systemd-invoke stop cee-agent.service"] if booted else [])
        reload = ["systemctl --system daemon-reload"] if booted else []
        self.assertEqual(self.run_script("postrm", "remove"),
                         reload + ["deb-systemd-helper mask cee-agent.service",
                                   "deb-systemd-helper mask cee-updater.timer"])
        self.assertEqual(self.run_script("postrm", "purge"),
                         reload + ["deb-systemd-helper purge cee-agent.service",
                                   "deb-systemd-helper unmask cee-agent.service",
                                   "deb-systemd-helper purge cee-updater.timer",
                                   "deb-systemd-helper unmask cee-updater.timer"])


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--work", required=True, help="scratch folder (emptied first)")
    parser.add_argument("--emulator", default="", help="runs the packaged programs")
    ARGS, rest = parser.parse_known_args()
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    # Unit tests run in the order of their class names: the package is built first.
    unittest.main(argv=[sys.argv[0], "-v"] + rest, verbosity=2)


if __name__ == "__main__":
    main()
