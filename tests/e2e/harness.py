"""What the black-box tests need to run the real programs against real peers: programs
(cee-agent, cee-updater, cee-status, logger-sim) started with their files in a temporary
folder, a mosquitto broker on a free port of 127.0.0.1, mosquitto_pub/mosquitto_sub, stand-in
scripts, and waits that poll with a deadline.

Environment (set by CTest): CEE_AGENT, CEE_UPDATER, CEE_STATUS, CEE_LOGGER_SIM name the
programs (under the emulator: launchers); CEE_BUILD_DIR is the build folder (its "emulated"
launcher tree for a cross build).
"""
import base64
import json
import os
import re
import shlex
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from contextlib import closing

# Upper bound of every wait: generous for a loaded or emulated machine; a hang still fails.
DEADLINE_S = 20.0
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MOSQUITTO = os.environ.get("MOSQUITTO") or shutil.which("mosquitto") or "/usr/sbin/mosquitto"
# The programs run under qemu-user (a cross build's suite).
EMULATED = os.environ.get("CEE_BUILD_DIR", "").endswith("emulated")


def wait_until(predicate, what, deadline_s=DEADLINE_S):
    """Polls predicate until it returns a true value (returned); fails after deadline_s."""
    end = time.monotonic() + deadline_s
    while not (result := predicate()):
        if time.monotonic() >= end:
            raise AssertionError("timed out after %.0f s waiting for %s" % (deadline_s, what))
        time.sleep(0.05)
    return result


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    return path


def write_script(path, body):
    """An executable /bin/sh script standing in for an outside program."""
    os.chmod(write_text(path, "#!/bin/sh\n" + body + "\n"), 0o755)


def read_text(path):
    """The file's text; "" when there is none."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except (FileNotFoundError, NotADirectoryError, TypeError):
        return ""


def query(db_file, sql, *args):
    """The rows of one query on an SQLite file."""
    with closing(sqlite3.connect(db_file)) as db:
        return db.execute(sql, args).fetchall()


def deep_merge(base, overrides):
    merged = dict(base)
    for key, value in (overrides or {}).items():
        nested = isinstance(value, dict) and isinstance(merged.get(key), dict)
        merged[key] = deep_merge(merged[key], value) if nested else value
    return merged


def binary(env_var, relative_path):
    """A built program: $env_var, else below $CEE_BUILD_DIR or ./build of the source tree."""
    build = os.environ.get("CEE_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
    return os.environ.get(env_var) or os.path.join(build, relative_path)


AGENT = binary("CEE_AGENT", "src/agent/cee-agent")
UPDATER = binary("CEE_UPDATER", "src/updater/cee-updater")
STATUS = binary("CEE_STATUS", "tools/cee-status/cee-status")
LOGGER_SIM = binary("CEE_LOGGER_SIM", "tools/logger-sim/logger-sim")


class E2ETestCase(unittest.TestCase):
    """Hands out temporary folders and stops what a test started, also when it fails; a
    failed test prints the end of the logs of the programs it started."""

    def setUp(self):
        self._logs, self._folders = [], []
        self.addCleanup(self._dump_on_failure)  # runs last: after every program stopped

    def _dump_on_failure(self):
        result = self._outcome.result
        if any(getattr(t, "test_case", t) is self for t, _ in result.failures + result.errors):
            for program in self._logs:
                sys.stderr.write("---- %s log / stderr (end) ----\n%s\n%s\n" % (
                    program.name, program.log()[-6000:], program.stderr()[-2000:]))
        for path in self._folders:
            shutil.rmtree(path, True)

    def temp_dir(self, under=None):
        self._folders.append(tempfile.mkdtemp(prefix="cee-e2e-", dir=under))
        return self._folders[-1]

    def small_fs(self, size="1m"):
        """A fresh tmpfs of `size` mounted for this test (skipped where it cannot be)."""
        folder = self.temp_dir()
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder],
                              capture_output=True, text=True, timeout=DEADLINE_S)
        if done.returncode != 0:
            self.skipTest("cannot mount a tmpfs here (%s)" % done.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", folder], timeout=DEADLINE_S)
        return folder

    def start(self, program, wait_ready=True):
        """Starts a Program (an Agent: waits until it takes orders), stopped at the end."""
        self.addCleanup(program.stop)
        self._logs.append(program)
        program.start()
        if wait_ready and isinstance(program, Agent):
            program.wait_ready()
        return program

    def start_broker(self, **kwargs):
        return self.start(Broker(self.temp_dir(), **kwargs))

    def subscribe(self, broker, topic, durable=False):
        return self.start(Subscriber(broker, topic, durable))


class Program:
    """A binary in the background; stdout and stderr go to files in folder. faketime:
    "YYYY-MM-DD HH:MM:SS", a wall clock that starts there and runs on (libfaketime preloaded
    into the program itself, so that signals reach it and not a wrapper)."""

    def __init__(self, argv, folder, name, extra_env=None, log_path=None, faketime=None):
        self.argv, self.folder, self.name, self.log_path = list(argv), folder, name, log_path
        self.env = dict(os.environ, TZ="JST-9", **(extra_env or {}))
        if faketime:  # $LIB: the loader takes the program's own build (armhf when emulated)
            self.env.update(LD_PRELOAD="/usr/$LIB/faketime/libfaketime.so.1",
                            FAKETIME="@" + faketime, FAKETIME_DONT_FAKE_MONOTONIC="1")
        self.stdout_path = os.path.join(folder, name + ".stdout")
        self.stderr_path = os.path.join(folder, name + ".stderr")
        self.proc, self.stdin = None, subprocess.DEVNULL

    def start(self):
        """Starts the program; a restart appends to the output files."""
        os.makedirs(self.folder, exist_ok=True)
        with open(self.stdout_path, "ab") as out, open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(self.argv, stdin=self.stdin, stdout=out, stderr=err,
                                         env=self.env, cwd=self.folder, text=True)
        return self

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, deadline_s=DEADLINE_S):
        try:
            return self.proc.wait(timeout=deadline_s)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s still running after %.0f s" % (self.name, deadline_s))

    def terminate(self, sig=signal.SIGTERM, deadline_s=DEADLINE_S):
        """Sends sig and returns the exit status."""
        self.proc.send_signal(sig)
        return self.wait_exit(deadline_s)

    def stop(self):
        """Ends the program if it still runs (SIGTERM, then SIGKILL)."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()

    def stdout(self):
        return read_text(self.stdout_path)

    def stderr(self):
        return read_text(self.stderr_path)

    def log(self):
        return read_text(self.log_path)

    def wait_for_log(self, text, count=1, start=0, deadline_s=DEADLINE_S):
        """Waits until text occurs count times in the log from character start on."""
        def check():
            found = self.log()[start:].count(text) >= count
            if not found and not self.running():
                raise AssertionError("%s ended (%s) without logging %r x%d"
                                     % (self.name, self.proc.returncode, text, count))
            return found
        wait_until(check, "%r x%d in the log of %s" % (text, count, self.name), deadline_s)


class Broker(Program):
    """mosquitto on a free port of 127.0.0.1, logging every packet. persistence: sessions and
    queued messages survive its restarts. listener_config: lines for the main listener (TLS).
    side_port: a second, anonymous listener for the test's own clients; start(main_listener=
    False) opens only that one, so the test reaches the broker while the programs cannot."""

    def __init__(self, folder, persistence=False, listener_config="", side_port=False):
        self.persistence, self.listener_config = persistence, listener_config
        self.port, self.side_port = free_port(), free_port() if side_port else None
        self.uri = "tcp://127.0.0.1:%d" % self.port
        self.client_port = self.side_port or self.port  # the test's own clients use this one
        super().__init__([MOSQUITTO, "-c", os.path.join(folder, "mosquitto.conf")], folder,
                         "mosquitto", log_path=os.path.join(folder, "mosquitto.log"))

    def start(self, main_listener=True):
        per_listener = bool(self.side_port and self.listener_config)
        lines = ["per_listener_settings true"] if per_listener else []
        if main_listener:
            lines += ["listener %d 127.0.0.1" % self.port, self.listener_config]
        if self.side_port:
            lines.append("listener %d 127.0.0.1" % self.side_port)
        if per_listener or not self.listener_config:
            lines.append("allow_anonymous true")
        if self.persistence:
            lines += ["persistence true", "persistence_location %s/" % self.folder]
        # mosquitto drops messages queued for a client beyond 1,000 by default: a flood of
        # orders to an agent slowed down by a sanitizer would lose some on the broker.
        lines += ["user root", "log_dest file %s" % self.log_path, "log_type all",
                  "max_queued_messages 10000"]
        write_text(self.argv[-1], "\n".join(lines) + "\n")
        super().start()
        port = self.port if main_listener else self.side_port

        def accepts():
            if not self.running():
                raise AssertionError("mosquitto exited with %s" % self.proc.returncode)
            with socket.socket() as sock:
                return sock.connect_ex(("127.0.0.1", port)) == 0
        wait_until(accepts, "mosquitto on port %d" % port)
        return self


def publish(broker, topic, *payloads, retain=False):
    """One-line messages in order at QoS 1 over one connection (they arrive within
    milliseconds); returns once the broker has them."""
    subprocess.run(["mosquitto_pub", "-p", str(broker.client_port), "-q", "1", "-t", topic,
                    "-l"] + (["-r"] if retain else []), input="".join(p + "\n" for p in payloads),
                   text=True, check=True, timeout=DEADLINE_S, stdout=subprocess.DEVNULL)


class Subscriber(Program):
    """mosquitto_sub collecting payloads; start() returns once subscribed. durable: a
    persistent session, which stop() leaves for the next start() to take over."""

    def __init__(self, broker, topic, durable=False):
        self.broker, self.topic, self.client_id = broker, topic, "e2e-sub-%d" % id(self)
        super().__init__(["mosquitto_sub", "-p", str(broker.client_port), "-q", "1", "-i",
                          self.client_id, "-t", topic, "-F", "%x"] + ["-c"] * durable,
                         broker.folder, self.client_id)

    def start(self):
        suback = "Sending SUBACK to %s\n" % self.client_id
        before = self.broker.log().count(suback)
        super().start()
        self.broker.wait_for_log(suback, before + 1)
        return self

    def payloads(self):
        return [bytes.fromhex(line).decode("utf-8", "replace")  # one hex-encoded payload a line
                for line in self.stdout().split("\n")[:-1]]

    def wait_payloads(self, count, deadline_s=DEADLINE_S):
        """Waits for count messages; returns all received so far."""
        return wait_until(lambda: len(got := self.payloads()) >= count and got,
                          "%d message(s) on %s" % (count, self.topic), deadline_s)

    def wait_answers(self, count, deadline_s=DEADLINE_S):
        return [json.loads(p) for p in self.wait_payloads(count, deadline_s)]


def make_order(indicate, value, terminal=("all",), platform=("all",), group=("all",), **data):
    """The JSON text of a server order carrying the request value (Base64 in data.value) and
    further data members (kept in the answer: they tell answers without a value apart)."""
    target = {"platform": list(platform), "group": list(group), "terminal": list(terminal)}
    data["value"] = base64.b64encode(value.encode()).decode()
    return json.dumps({"order": {"type": "cmd", "indicate": indicate, "target": target},
                       "data": data, "timestamp": "2026/12/06 10:00:00"}, separators=(",", ":"))


def request(n, command="ReadFromEchonetDevice"):
    """A logger application request that its answer names (commandResponse id="n")."""
    return ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="%s"><command>%s'
            '</command><requestData/></commandRequest>' % (n, command))


def order(n, **kwargs):
    return make_order("ReadFromEchonetDevice", request(n), **kwargs)


def answer_value(answer):
    return base64.b64decode(answer["data"]["value"]).decode("utf-8", "replace")


def answer_ids(answers):
    """The request id each answer names ("" for an answer without a body)."""
    return [t.split('commandResponse id="')[1].split('"')[0] if t else ""
            for t in map(answer_value, answers)]


class LinkProxy:
    """A TCP proxy on a free port of 127.0.0.1 in front of `port`, to cut a program's link at
    chosen moments: cut() closes every connection and refuses new ones until mend();
    hold_upstream() drops what the program sends (its acknowledgements never arrive)."""

    def __init__(self, port):
        self.upstream_port, self.up, self.holding = port, True, False
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.uri = "tcp://127.0.0.1:%d" % self.port
        self.links, self.lock = [], threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            if not self.up:
                client.close()
                continue
            server = socket.create_connection(("127.0.0.1", self.upstream_port))
            with self.lock:
                self.links += [client, server]
            for src, dst, upstream in ((client, server, True), (server, client, False)):
                threading.Thread(target=self._pump, args=(src, dst, upstream), daemon=True).start()

    def _pump(self, src, dst, upstream):
        try:
            while data := src.recv(65536):
                if not (upstream and self.holding):
                    dst.sendall(data)
        except OSError:
            pass
        for sock in (src, dst):
            sock.close()

    def hold_upstream(self):
        self.holding = True

    def cut(self):
        self.up = False
        with self.lock:
            for sock in self.links:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.links = []

    def mend(self):
        self.up, self.holding = True, False

    def close(self):
        self.cut()
        self.listener.close()


class Agent(Program):
    """cee-agent with every file in folder: cee.conf (settings merged over the defaults
    below), mqtt_if.conf, group file, substrate code script, log/, db/, spool/. Agents made
    with the same folder and client_id are one terminal stopped and started again."""

    PLATFORM, GROUP, SUBSTRATE_CODE = "e2e-platform", "east", "E2E0001"

    def __init__(self, folder, broker=None, settings=None, mqtt=None, name="cee-agent",
                 faketime=None):
        self.settings = deep_merge({
            "CMD_SUBSTRATE_CODE": os.path.join(folder, "substratecode-generator"),
            "SYSTEM_SETTING_XML_FILE": os.path.join(folder, "SystemSetting.xml"),
            "PLATFORM": self.PLATFORM, "FILE_GROUP": os.path.join(folder, "group"),
            # Large: a rotated log would break the waits that count lines.
            "LOG": {"LOG_DIR": os.path.join(folder, "log"), "LOG_FILE": "cee.log",
                    "LOG_MAX_BYTES": 100000000},
            "QMT_HTTP": {"URL": "http://127.0.0.1:9/", "RETRY_NUM": 0},
            "PKG_UPDATE": {"LIST_FILE_PATH": os.path.join(folder, "zorupdate")},
            "DATABASE": {"DB_PATH": os.path.join(folder, "db"), "DB_FILE": "cee_pkg_upd.db"},
            "SPOOL_DIR": os.path.join(folder, "spool")}, settings)
        self.mqtt = deep_merge({"CLIENT_ID": "e2e-%d-%s" % (os.getpid(), abs(hash(folder))),
                                "CONNECT_TIMEOUT_S": 5, "PUBLISH_TIMEOUT_S": 5,
                                "BROKER_URI": broker.uri if broker else
                                "tcp://127.0.0.1:%d" % free_port()}, mqtt)
        self.broker = broker
        self.client_id = self.mqtt["CLIENT_ID"] + "-cee-agent"  # as the broker sees it
        self.topic_sub, self.topic_pub = "cee/order", "cee/%s/answer" % self.mqtt["CLIENT_ID"]
        self.db_file = os.path.join(self.settings["DATABASE"]["DB_PATH"], "cee_pkg_upd.db")
        self.config_path = write_text(os.path.join(folder, "cee.conf"), json.dumps(self.settings))
        mqtt_conf = write_text(os.path.join(folder, "mqtt_if.conf"), json.dumps(self.mqtt))
        write_text(os.path.join(folder, "group"), "GROUP=%s\n" % self.GROUP)
        write_script(os.path.join(folder, "substratecode-generator"),
                     "echo " + self.SUBSTRATE_CODE)
        super().__init__([AGENT, "--config", self.config_path], folder, name,
                         {"MQTT_IF_CONF": mqtt_conf},
                         os.path.join(self.settings["LOG"]["LOG_DIR"], "cee.log"), faketime)

    def start(self):
        # A restart in the same folder: earlier log text and subscriptions do not count.
        self._log_before = len(self.log())
        self._suback = "Sending SUBACK to %s\n" % self.client_id
        self._subs_before = self.broker.log().count(self._suback) if self.broker else 0
        return super().start()

    def wait_ready(self):
        self.wait_for_log("=== Waiting to receive instructions from the server ===",
                          start=self._log_before)
        if self.broker:
            self.broker.wait_for_log(self._suback, self._subs_before + 1)
        return self

    def spool_files(self):
        """The receipts in the spool folder (numbered files; not its lock file)."""
        folder = self.settings["SPOOL_DIR"]
        return sorted(f for f in os.listdir(folder) if f[0].isdigit()) if os.path.isdir(
            folder) else []

    def spool_orders(self):
        """How many orders the spool folder holds (each has one number and up to four files)."""
        return len({f.split(".")[0] for f in self.spool_files()})

    def spool_answers(self):
        """How many of them have an answer stored (in N.out after its arrival, or in N.ans)."""
        folder = self.settings["SPOOL_DIR"]
        return sum(1 for f in self.spool_files() if f.endswith(".ans") or (
            f.endswith(".out") and os.path.getsize(os.path.join(folder, f)) > 0))

    def send_order(self, *texts):
        publish(self.broker, self.topic_sub, *texts)


class LoggerSim(Program):
    """tools/logger-sim on a free port (logger application or result server); an https URL
    when it is given --tls-cert and --tls-key."""

    def __init__(self, folder, *args, name="logger-sim"):
        super().__init__([LOGGER_SIM, "--port", "0"] + list(args), folder, name)

    def start(self):
        super().start()
        wait_until(lambda: "\n" in self.stdout(), "logger-sim to listen")
        scheme = "https" if "--tls-cert" in self.argv else "http"
        self.url = "%s://127.0.0.1:%s/" % (scheme, self.stdout().split()[2])
        return self

    def requests(self):
        """Bodies received so far (logger-sim escapes backslash, line feed and return)."""
        unescape = {"n": "\n", "r": "\r"}
        return [re.sub(r"\\(.)", lambda m: unescape.get(m.group(1), m.group(1)), line)
                for line in self.stdout().split("\n")[1:-1]]

    def wait_requests(self, count, deadline_s=DEADLINE_S):
        return wait_until(lambda: len(got := self.requests()) >= count and got,
                          "%d request(s) at logger-sim" % count, deadline_s)


# The head of the table "dpkg -l" prints.
DPKG_HEADER = ("Desired=Unknown\n| Status=Not/Inst\n|/ Err?=(none)\n"
               "||/ Name Version Architecture Description\n+++-====-=======-====-====\n")


class Updater(Program):
    """cee-updater with its files in folder: cee_upd.conf, a dpkg first on PATH that lists the
    packages of the file `table` (by default folder/installed, written from `installed`, "name
    version arch" each), a package updater script (body given, by default: records its
    arguments in package_updater.started), which then installs the files of its list into the
    table as a real one would and exits 0, a finish command that does nothing, result/ and
    log/. db_dir: the agent's."""

    def __init__(self, folder, db_dir, installed=(), package_updater=None, name="cee-updater",
                 faketime=None, settings=None, table=None):
        self.settings = deep_merge({
            "SYSTEM_SETTING_XML_FILE": os.path.join(folder, "SystemSetting.xml"),
            "ALIVE_CHECK": {"PING_SERVER": "127.0.0.1"},
            "LOG": {"LOG_DIR": os.path.join(folder, "log"), "LOG_FILE": "cee_upd.log"},
            "PKG_UPDATE": {"LIST_FILE_PATH": os.path.join(folder, "zorupdate"),
                           "UPDATE_LOG_DIR": os.path.join(folder, "update_log"),
                           "UPDATE_CMD_LINE": os.path.join(folder, "package_updater"),
                           "PKG_DIR": os.path.join(folder, "packages"),
                           "RESULT_DIR": os.path.join(folder, "result"),
                           "REBOOT_COMMAND": os.path.join(folder, "update_finish.sh")},
            "DATABASE": {"DB_PATH": db_dir},
            "QMT_HTTP": {"URL": "http://127.0.0.1:9/", "RETRY_NUM": 0},
            # The health check only where a test sets it up.
            "HEALTH": {"ENABLED": False}}, settings)
        self.result_dir = self.settings["PKG_UPDATE"]["RESULT_DIR"]
        os.makedirs(self.result_dir, exist_ok=True)
        if table is None:
            table = write_text(os.path.join(folder, "installed"), "".join(
                "ii  %s %s %s x\n" % tuple(p.split()) for p in installed))
        write_script(os.path.join(folder, "bin", "dpkg"),
                     "printf %%s %s; cat %s" % (shlex.quote(DPKG_HEADER), shlex.quote(table)))
        install = ('for f in $(grep -v "^#" "$1" | awk \'{print $4}\'); do b=${f%%.deb}; '
                   'p=${b%%%%_*}; r=${b#*_}; awk -v n="$p" \'$2 != n\' %(t)s > %(t)s.new; '
                   'echo "ii  $p ${r%%_*} ${r##*_} x" >> %(t)s.new; mv %(t)s.new %(t)s; done'
                   % {"t": shlex.quote(table)})
        write_script(os.path.join(folder, "package_updater"), (package_updater or
                     'echo "$*" >> %s/package_updater.started' % shlex.quote(folder)) +
                     "\n" + install)
        write_script(os.path.join(folder, "update_finish.sh"), "true")
        config = write_text(os.path.join(folder, "cee_upd.conf"), json.dumps(self.settings))
        mqtt = write_text(os.path.join(folder, "mqtt_if.conf"), json.dumps({
            "BROKER_URI": "tcp://127.0.0.1:%d" % free_port(), "CONNECT_TIMEOUT_S": 1}))
        env = {"MQTT_IF_CONF": mqtt,
               "PATH": os.path.join(folder, "bin") + os.pathsep + os.environ["PATH"]}
        super().__init__([UPDATER, "--config", config], folder, name, env,
                         os.path.join(folder, "log", "cee_upd.log"), faketime)
        self.lock_file = os.path.join(db_dir, "db_upd.lock")

