"""Shared helpers for the black-box tests of cee-agent and cee-updater.

Everything a test needs to run the real programs against real peers, with every file in a
temporary folder and every waiting bounded by a deadline:

- ``E2ETestCase``: a ``unittest.TestCase`` that hands out temporary folders, stops what the
  test started even when it fails, and prints the log files of a failed test.
- ``Broker``: a mosquitto broker of its own on a free port of 127.0.0.1.
- ``publish`` / ``publish_many`` / ``Subscriber``: the real ``mosquitto_pub`` and
  ``mosquitto_sub`` clients.
- ``Program``: any binary started in the background (its standard output and error go to
  files), with waits on its log file or its output and a bounded stop.
- ``Agent``: a ``Program`` for cee-agent that writes its settings file, its MQTT settings file,
  the group file and a substrate code generator script into a folder first.
- ``make_order`` / ``b64``: server order texts.
- ``LoggerSim``: tools/logger-sim on a free port (logger application or result server), with
  the request bodies it received.
- ``Updater`` / ``create_database``: cee-updater with its settings, a fake ``dpkg`` first on
  PATH and recording stand-ins for the package updater and the finish command; a command
  database made with the agent's schema.
- ``read_log`` / ``LogLine`` / ``exact`` / ``find_lines`` / ``find_in_order``: reading the
  programs' log files and finding lines in them.

A typical test:

    class OrderTest(E2ETestCase):
        def test_unknown_order(self):
            broker = self.start_broker()
            agent = self.start_agent(self.temp_dir(), broker)   # waits until it is ready
            agent.send_order(make_order("NoSuchCommand", "<request/>"))
            agent.wait_for_log(exact("in startMain loop : end Execute Thread (join)"))
            status, _ = agent.terminate()
            find_in_order(agent.log(), [exact("in CreateCmdInfoObj : command not found", "W")])

Nothing here sleeps a fixed time to let something happen: waits poll a condition until a
deadline (``DEADLINE_S``, generous so that a slow or loaded machine does not fail a test).

Environment:
    CEE_AGENT       path of the cee-agent binary (set by CTest)
    CEE_BUILD_DIR   build folder; binaries are looked up below it when the variable of the
                    program itself is not set
    CEE_E2E_KEEP=1  keep the temporary folders of the tests (their paths are printed)
"""
import base64
import collections
import copy
import itertools
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
import sysconfig
import tempfile
import threading
import time
import unittest

# Upper bound of every wait: long enough for a loaded machine, short enough that a hang fails.
DEADLINE_S = 15.0
POLL_S = 0.05
# Lines of a file shown for a failed test.
ARTIFACT_TAIL_LINES = 200

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))

_counter = itertools.count(1)


def unique_name(prefix):
    """A name that no other object of this test process uses (client ids, topics)."""
    return "%s-%d-%d" % (prefix, os.getpid(), next(_counter))


# ---------------------------------------------------------------------------------------------
# Waiting


def wait_until(predicate, what, deadline_s=DEADLINE_S, poll_s=POLL_S):
    """Calls predicate until it returns a true value and returns that value.

    Raises AssertionError naming `what` when deadline_s passes first. The predicate may raise
    AssertionError itself to give up early (for example when a process died).
    """
    end = time.monotonic() + deadline_s
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= end:
            raise AssertionError("timed out after %.1f s waiting for %s" % (deadline_s, what))
        time.sleep(poll_s)


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_accepts(port, host="127.0.0.1"):
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False


# ---------------------------------------------------------------------------------------------
# Files


def write_text(path, text, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    if mode is not None:
        os.chmod(path, mode)
    return path


def write_json(path, value):
    return write_text(path, json.dumps(value, indent=2) + "\n")


def read_text(path, default=""):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except (FileNotFoundError, NotADirectoryError):
        return default


def write_script(path, body):
    """Writes an executable /bin/sh script standing in for an outside program."""
    return write_text(path, "#!/bin/sh\n" + body.rstrip("\n") + "\n", 0o755)


def deep_merge(base, overrides):
    """A copy of base with overrides applied recursively; an override of None removes the key."""
    merged = copy.deepcopy(base)
    for key, value in (overrides or {}).items():
        if value is None:
            merged.pop(key, None)
        elif isinstance(value, dict) and isinstance(merged.get(key), dict):
            merged[key] = deep_merge(merged[key], value)
        else:
            merged[key] = copy.deepcopy(value)
    return merged


def find_binary(program, env_var, relative_path):
    """Path of a built program: $env_var, else $CEE_BUILD_DIR/relative_path, else the usual
    build folders of the source tree. Raises RuntimeError when it is nowhere."""
    candidates = []
    if os.environ.get(env_var):
        candidates.append(os.environ[env_var])
    if os.environ.get("CEE_BUILD_DIR"):
        candidates.append(os.path.join(os.environ["CEE_BUILD_DIR"], relative_path))
    candidates.append(os.path.join(SOURCE_DIR, "build", relative_path))
    for path in candidates:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    raise RuntimeError("%s not found (set %s or CEE_BUILD_DIR); looked at: %s"
                       % (program, env_var, ", ".join(candidates)))


def agent_binary():
    return find_binary("cee-agent", "CEE_AGENT", os.path.join("src", "agent", "cee-agent"))


# ---------------------------------------------------------------------------------------------
# Log files of the programs

# "2026-12-06 18:00:00 I : [cmd_exec_env.cpp:123] in startMain : exit loop "
_LOG_LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) ([TDIWEC]) : (.*)$")
_SOURCE = re.compile(r"^\[([^\]:]+):(\d+)\] ?")

LogLine = collections.namedtuple("LogLine", "index time level source text raw")
LogLine.__doc__ = """One line of a program log.

index   position in the file (0-based)
time    "YYYY-MM-DD HH:MM:SS" (local time of the program), None for a continuation line
level   one letter T D I W E C, None for a continuation line
source  base name of the writing source file ("cmd_exec_env.cpp"), None when the message has
        no "[file:line]" prefix
text    the message without the "[file:line] " prefix (the raw line for a continuation line)
raw     the line as written, without its newline
"""


def parse_log(text):
    """LogLines of a log text. A message that contains a newline continues on lines that have
    no time stamp; they are kept as lines of their own with time and level None."""
    raw_lines = text.split("\n") if text else []
    if raw_lines and raw_lines[-1] == "":
        raw_lines.pop()  # after the last newline
    lines = []
    for index, raw in enumerate(raw_lines):
        m = _LOG_LINE.match(raw)
        if not m:
            lines.append(LogLine(index, None, None, None, raw, raw))
            continue
        message = m.group(3)
        s = _SOURCE.match(message)
        if s:
            lines.append(LogLine(index, m.group(1), m.group(2), s.group(1),
                                 message[s.end():], raw))
        else:
            lines.append(LogLine(index, m.group(1), m.group(2), None, message, raw))
    return lines


def read_log(path):
    return parse_log(read_text(path))


class exact:
    """A log pattern that matches a message text exactly (without its "[file:line] " prefix),
    and, when level is given, only at that level ("I", "W", "E", ...)."""

    def __init__(self, text, level=None):
        self.text = text
        self.level = level

    def __call__(self, line):
        return line.text == self.text and (self.level is None or line.level == self.level)

    def __repr__(self):
        return "exact(%r%s)" % (self.text, ", level=%r" % self.level if self.level else "")


def line_matches(line, pattern):
    """pattern: a str is looked for in the message text (without "[file:line] "), a compiled
    regular expression is searched in the message text, a callable (such as exact) gets the
    LogLine."""
    if callable(pattern):
        return bool(pattern(line))
    if isinstance(pattern, re.Pattern):
        return pattern.search(line.text) is not None
    return pattern in line.text


def find_lines(lines, pattern, start=0):
    """The LogLines of lines[start:] that match pattern."""
    return [line for line in lines[start:] if line_matches(line, pattern)]


def find_in_order(lines, patterns, start=0):
    """Finds the patterns one after the other in lines[start:], each after the line that
    matched the previous one, and returns the matched LogLines. Raises AssertionError naming
    the first pattern that is missing. lines may be a whole log or a part of one."""
    found = []
    position = start
    for pattern in patterns:
        for offset, line in enumerate(lines[position:]):
            if line_matches(line, pattern):
                found.append(line)
                position += offset + 1
                break
        else:
            where = lines[position].index if position < len(lines) else "the end"
            raise AssertionError("log has no %r from line %s on (matched so far: %s)"
                                 % (pattern, where, [l.raw for l in found]))
    return found


# ---------------------------------------------------------------------------------------------
# Test case base


class E2ETestCase(unittest.TestCase):
    """Base class of the black-box tests.

    - temp_dir() gives a fresh folder, removed after the test (kept with CEE_E2E_KEEP=1).
    - show_on_failure(label, path) names a file (log, program output) that is printed, its
      last ARTIFACT_TAIL_LINES lines, when the test fails. Programs started through
      start_program()/start_agent() register theirs themselves.
    - Processes started through this class are stopped at the end of the test, before the
      folders are removed, whatever the outcome.
    Class-wide helpers (one broker for all tests of a class) use class_temp_dir() from
    setUpClass and addClassCleanup.
    """

    def run(self, result=None):
        self._artifacts = []
        self._snapshots = []
        if result is None:
            result = self.defaultTestResult()
        before = len(result.failures) + len(result.errors)
        outcome = super().run(result)
        if len(result.failures) + len(result.errors) > before:
            self._print_snapshots()
        return outcome

    # Folders ------------------------------------------------------------------------------

    def temp_dir(self, prefix="cee-e2e-"):
        path = tempfile.mkdtemp(prefix=prefix)
        self.addCleanup(self._remove_dir, path)
        return path

    @classmethod
    def class_temp_dir(cls, prefix="cee-e2e-class-"):
        path = tempfile.mkdtemp(prefix=prefix)
        cls.addClassCleanup(_remove_tree, path)
        return path

    def _remove_dir(self, path):
        # The files of the test are read before they go.
        self._snapshot_artifacts()
        _remove_tree(path)

    # Failure output -------------------------------------------------------------------------

    def show_on_failure(self, label, path_or_callable):
        """path_or_callable: a file path, or a callable returning the text to show."""
        labels = {known for known, _ in self._artifacts}
        unique = label
        n = 1
        while unique in labels:
            n += 1
            unique = "%s #%d" % (label, n)
        self._artifacts.append((unique, path_or_callable))

    def _snapshot_artifacts(self):
        for label, source in self._artifacts[len(self._snapshots):]:
            try:
                if callable(source):
                    text = source()
                else:
                    text = read_text(source, "(no file %s)" % source)
            except Exception as e:  # a failing dump must not hide the test's own failure
                text = "(cannot read: %s)" % e
            self._snapshots.append((label, text))

    def _print_snapshots(self):
        self._snapshot_artifacts()
        out = sys.stderr
        out.write("\n======== files of failed test %s ========\n" % self.id())
        for label, text in self._snapshots:
            lines = text.splitlines()
            cut = len(lines) - ARTIFACT_TAIL_LINES
            out.write("-------- %s (%d lines%s) --------\n"
                      % (label, len(lines), ", last %d shown" % ARTIFACT_TAIL_LINES
                         if cut > 0 else ""))
            out.write("\n".join(lines[max(cut, 0):]) + "\n")
        out.write("======== end of files of %s ========\n" % self.id())
        out.flush()

    # Processes ------------------------------------------------------------------------------

    def start_program(self, program):
        """Starts a Program, stops it at the end of the test and shows its files on failure."""
        self.addCleanup(program.stop)
        program.start()
        for label, path in program.artifacts():
            self.show_on_failure(label, path)
        return program

    def start_agent(self, folder, broker=None, wait_ready=True, **kwargs):
        """Writes the files of an Agent into folder, starts it and, unless wait_ready is false,
        waits until it is waiting for orders."""
        agent = Agent(folder, broker, **kwargs)
        self.start_program(agent)
        if wait_ready:
            agent.wait_ready()
        return agent

    def start_broker(self, folder=None, **kwargs):
        """A started Broker (kwargs: its options), stopped at the end of the test."""
        broker = Broker(folder or self.temp_dir("cee-e2e-broker-"), **kwargs)
        self.addCleanup(broker.stop)
        broker.start()
        self.show_on_failure("broker log %d" % broker.port, broker.log_path)
        return broker

    def subscribe(self, broker, topic, **kwargs):
        """A started Subscriber that is stopped at the end of the test."""
        sub = Subscriber(broker, topic, **kwargs)
        self.addCleanup(sub.stop)
        sub.start()
        self.show_on_failure("mosquitto_sub %s" % topic, lambda: "\n".join(sub.lines()))
        return sub


def _remove_tree(path):
    if os.environ.get("CEE_E2E_KEEP") == "1":
        sys.stderr.write("kept %s\n" % path)
        return
    shutil.rmtree(path, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# Programs


# libfaketime as the faketime wrapper names it in LD_PRELOAD: the loader of each program puts
# the library folder of its own architecture in place of $LIB (an emulated ARM program gets
# libfaketime:armhf).
FAKETIME_PRELOAD = "/usr/$LIB/faketime/libfaketime.so.1"


def _faketime_library():
    """FAKETIME_PRELOAD when this machine has libfaketime (Debian package faketime), else
    None."""
    arch = sysconfig.get_config_var("MULTIARCH") or ""
    if os.path.isfile(os.path.join("/usr/lib", arch, "faketime", "libfaketime.so.1")):
        return FAKETIME_PRELOAD
    return None


class Program:
    """A binary started in the background.

    Standard output and standard error go to files in `folder` (<name>.stdout, <name>.stderr)
    so that nothing blocks on a full pipe. `log_path`, when given, is the program's own log
    file, which wait_for_log() and log() read.

    Use as a context manager or call stop() from a cleanup: it ends the process whatever
    happened (SIGTERM, then SIGKILL after a grace period).
    """

    def __init__(self, argv, folder, name="program", env=None, extra_env=None, log_path=None,
                 cwd=None, faketime=None):
        """env: the whole environment (default: this process's, with TZ=JST-9, the zone every
        test runs in); extra_env: variables added to it. faketime: "YYYY-MM-DD HH:MM:SS" to run
        the program under faketime with a clock that starts there and keeps running (the
        monotonic clock is left real). libfaketime is preloaded into the program itself: the
        faketime wrapper would fork it, and a stop() or signal would reach only the wrapper and
        leave the program running."""
        self.argv = list(argv)
        self.folder = folder
        self.name = name
        if env is None:
            self.env = dict(os.environ)
            self.env["TZ"] = "JST-9"
        else:
            self.env = dict(env)
        self.env.update(extra_env or {})
        if faketime is not None:
            library = _faketime_library()
            if library is not None:
                preload = self.env.get("LD_PRELOAD")
                self.env["LD_PRELOAD"] = library + (" " + preload if preload else "")
                self.env["FAKETIME"] = "@" + faketime
            else:
                self.argv = ["faketime", "-f", "@" + faketime] + self.argv
            self.env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1"
        self.log_path = log_path
        self.cwd = cwd or folder
        self.stdout_path = os.path.join(folder, name + ".stdout")
        self.stderr_path = os.path.join(folder, name + ".stderr")
        self.proc = None

    def artifacts(self):
        files = [("%s log" % self.name, self.log_path)] if self.log_path else []
        return files + [("%s stdout" % self.name, self.stdout_path),
                        ("%s stderr" % self.name, self.stderr_path)]

    # Running ---------------------------------------------------------------------------------

    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=err, env=self.env, cwd=self.cwd)
        return self

    def run(self, deadline_s=DEADLINE_S):
        """Starts the program and waits for it to end; returns its exit status."""
        self.start()
        return self.wait_exit(deadline_s)

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    @property
    def returncode(self):
        return None if self.proc is None else self.proc.poll()

    def assert_running(self):
        if not self.running():
            raise AssertionError("%s is not running (exit status %s); stderr: %s"
                                 % (self.name, self.returncode, self.stderr().strip()[-2000:]))

    def send_signal(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)

    def wait_exit(self, deadline_s=DEADLINE_S):
        """Waits for the process to end and returns its exit status (negative: killed by that
        signal). Raises AssertionError when it is still running after deadline_s."""
        try:
            return self.proc.wait(timeout=deadline_s)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s still running after %.1f s" % (self.name, deadline_s))

    def terminate(self, sig=signal.SIGTERM, deadline_s=DEADLINE_S):
        """Sends sig and waits for the exit; returns (exit status, seconds it took)."""
        started = time.monotonic()
        self.send_signal(sig)
        status = self.wait_exit(deadline_s)
        return status, time.monotonic() - started

    def stop(self, grace_s=5.0):
        """Ends the process if it still runs; safe to call more than once."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=grace_s)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        if self.proc is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    # Output and log --------------------------------------------------------------------------

    def stdout(self):
        return read_text(self.stdout_path)

    def stderr(self):
        return read_text(self.stderr_path)

    def log(self):
        """The LogLines of the program's log file (empty while it does not exist)."""
        return read_log(self.log_path)

    def log_text(self):
        return read_text(self.log_path)

    def wait_for_log(self, pattern, count=1, start=0, deadline_s=DEADLINE_S,
                     allow_exit=False):
        """Waits until `count` lines from line `start` on match pattern (see line_matches) and
        returns the count-th matching LogLine. Gives up at once when the process ended and the
        lines are not there (unless allow_exit)."""
        def check():
            exited = not self.running()
            matches = find_lines(self.log(), pattern, start)
            if len(matches) >= count:
                return matches[count - 1]
            if exited and not allow_exit:
                raise AssertionError("%s ended (exit status %s) without logging %r (x%d)"
                                     % (self.name, self.returncode, pattern, count))
            return None
        return wait_until(check, "%r x%d in the log of %s" % (pattern, count, self.name),
                          deadline_s)

    def wait_for_stdout(self, text, deadline_s=DEADLINE_S):
        """Waits until text appears on the program's standard output; returns that output."""
        def check():
            out = self.stdout()
            if text in out:
                return out
            if not self.running():
                raise AssertionError("%s ended without printing %r" % (self.name, text))
            return None
        return wait_until(check, "%r on stdout of %s" % (text, self.name), deadline_s)


# ---------------------------------------------------------------------------------------------
# MQTT broker and clients


class Broker:
    """A mosquitto broker on a free port of 127.0.0.1, configured by its own file in folder.

    Its log (every packet, log_type all) is <folder>/mosquitto.log; wait_log() waits for a text
    in it, which tells when a client has connected, subscribed or published. Use as a context
    manager, or start() and stop(); it may be started again after stop() (same port and folder,
    the log goes on).

    persistence: the broker saves its sessions and queued messages in folder when it stops and
        finds them again at its next start.
    listener_config: lines for the listener on `port` (for example TLS and password settings);
        by default it lets anonymous clients in.
    side_port: True gives the broker a second, plain listener for anonymous clients on
        `side_port`, which the test's own clients (publish, Subscriber) use (with
        listener_config, each listener has its own security settings).
        start(main_listener=False) opens only that one, so that the test can reach the broker
        while the programs under test cannot.
    """

    def __init__(self, folder, port=None, persistence=False, listener_config="",
                 side_port=False):
        self.folder = folder
        self.port = port or free_port()
        self.side_port = free_port() if side_port else None
        self.persistence = persistence
        self.listener_config = listener_config
        self.conf_path = os.path.join(folder, "mosquitto.conf")
        self.log_path = os.path.join(folder, "mosquitto.log")
        self.proc = None

    @property
    def uri(self):
        return "tcp://127.0.0.1:%d" % self.port

    @property
    def client_port(self):
        """The port that the test's own clients use."""
        return self.side_port or self.port

    def _config(self, main_listener):
        # Own security settings per listener only where the main listener has some: a broker
        # with per-listener settings drops messages for a stored session whose listener is not
        # open (the client has not come back yet).
        per_listener = bool(self.side_port and self.listener_config)
        lines = ["per_listener_settings true"] if per_listener else []
        if main_listener:
            lines.append("listener %d 127.0.0.1" % self.port)
            if self.listener_config:
                lines.append(self.listener_config.rstrip("\n"))
        if self.side_port:
            lines.append("listener %d 127.0.0.1" % self.side_port)
        if per_listener or not self.listener_config:
            lines.append("allow_anonymous true")
        if self.persistence:
            lines += ["persistence true",
                      "persistence_location %s/" % self.folder.rstrip("/")]
        else:
            lines.append("persistence false")
        # Run as root it would switch to the user mosquitto, which cannot write here.
        lines += ["user root", "log_dest file %s" % self.log_path, "log_type all"]
        return "\n".join(lines) + "\n"

    def start(self, deadline_s=DEADLINE_S, main_listener=True):
        os.makedirs(self.folder, exist_ok=True)
        write_text(self.conf_path, self._config(main_listener))
        self.stderr_path = os.path.join(self.folder, "mosquitto.stderr")
        with open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(["mosquitto", "-c", self.conf_path],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=err)

        def accepts():
            if self.proc.poll() is not None:
                raise AssertionError("mosquitto exited with %s: %s"
                                     % (self.proc.returncode, read_text(self.stderr_path)))
            return port_accepts(self.port if main_listener else self.side_port)
        wait_until(accepts, "mosquitto to accept connections on port %d" % self.port,
                   deadline_s)
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        if self.proc is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def log_text(self):
        return read_text(self.log_path)

    def wait_log(self, text, count=1, deadline_s=DEADLINE_S):
        """Waits until text appears count times in the broker log."""
        wait_until(lambda: self.log_text().count(text) >= count,
                   "%r x%d in the broker log" % (text, count), deadline_s)

    def subscriptions(self, client_id):
        """How many subscriptions of client_id the broker has acknowledged so far."""
        return self.log_text().count("Sending SUBACK to %s\n" % client_id)

    def wait_subscribed(self, client_id, count=1, deadline_s=DEADLINE_S):
        """Waits until the broker has acknowledged `count` subscriptions of the client whose
        MQTT client identifier is client_id (for cee-agent: CLIENT_ID + "-cee-agent")."""
        self.wait_log("Sending SUBACK to %s\n" % client_id, count, deadline_s)

    def publish(self, topic, payload, qos=1, retain=False):
        publish(self, topic, payload, qos, retain)


def publish(broker, topic, payload, qos=1, retain=False):
    """Publishes one message with mosquitto_pub and returns once the broker has it (QoS 1 waits
    for the broker's acknowledgement). payload "" sends an empty message."""
    argv = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.client_port), "-q", str(qos),
            "-t", topic]
    argv += ["-n"] if payload == "" else ["-m", payload]
    if retain:
        argv.append("-r")
    subprocess.run(argv, check=True, timeout=DEADLINE_S, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL)


def publish_many(broker, topic, payloads, qos=1):
    """Publishes several one-line messages in order over one connection (mosquitto_pub -l), so
    that they reach the broker within a few milliseconds. An empty string is an empty message."""
    for p in payloads:
        if "\n" in p:
            raise ValueError("publish_many sends one message per line: %r" % p)
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.client_port), "-q",
                    str(qos), "-t", topic, "-l"], input="".join(p + "\n" for p in payloads),
                   text=True, check=True, timeout=DEADLINE_S, stdout=subprocess.DEVNULL)


class Subscriber:
    """mosquitto_sub -v running in the background, collecting "topic payload" lines.

    start() returns once the broker acknowledged the subscription, so that nothing published
    afterwards is missed. An empty message shows as "topic (null)". Payloads that contain a
    newline span several lines.

    sync() proves that everything published before it has arrived: it publishes a marker on
    `marker_topic` (which must match the subscription; by default the topic filter with its
    wildcards replaced) and waits for it. Since the broker keeps the order of the messages it
    forwards to one subscriber, any earlier message has been collected by then.
    """

    def __init__(self, broker, topic, qos=1, marker_topic=None, client_id=None,
                 clean_session=True):
        """client_id and clean_session=False: a persistent session that a later Subscriber of
        the same client id takes over, with the messages the broker queued for it meanwhile."""
        self.broker = broker
        self.topic = topic
        self.qos = qos
        self.client_id = client_id or unique_name("e2e-sub")
        self.clean_session = clean_session
        self.marker_topic = marker_topic or topic.replace("#", "e2e-marker").replace(
            "+", "e2e-marker")
        self.proc = None
        self._lines = []
        self._lock = threading.Lock()
        self._reader = None

    def start(self, deadline_s=DEADLINE_S):
        # Subscriptions acknowledged before (a persistent session taken over) do not count.
        before = self.broker.subscriptions(self.client_id)
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.broker.client_port), "-q",
             str(self.qos), "-v", "-i", self.client_id, "-t", self.topic]
            + ([] if self.clean_session else ["-c"]),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.broker.wait_subscribed(self.client_id, before + 1, deadline_s=deadline_s)
        return self

    def _read(self):
        for line in self.proc.stdout:
            with self._lock:
                self._lines.append(line.rstrip("\n"))

    def lines(self):
        """The lines received so far, without marker lines."""
        with self._lock:
            return [l for l in self._lines if not l.startswith(self.marker_topic + " e2e-sync-")]

    def messages(self, topic=None):
        """Payloads received so far (of one topic when given); one-line payloads only."""
        result = []
        for line in self.lines():
            t, _, payload = line.partition(" ")
            if topic is None or t == topic:
                result.append(payload)
        return result

    def wait_for_lines(self, count, deadline_s=DEADLINE_S):
        return wait_until(lambda: self.lines() if len(self.lines()) >= count else None,
                          "%d message(s) on %s" % (count, self.topic), deadline_s)

    def sync(self, deadline_s=DEADLINE_S):
        """Publishes a marker and waits for it; returns the lines received before it."""
        marker = unique_name("e2e-sync")
        publish(self.broker, self.marker_topic, marker, self.qos)
        expected = "%s %s" % (self.marker_topic, marker)

        def arrived():
            with self._lock:
                return expected in self._lines
        wait_until(arrived, "marker %s on %s" % (marker, self.marker_topic), deadline_s)
        return self.lines()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self._reader is not None:
            self._reader.join(timeout=5)
        if self.proc is not None and self.proc.stdout is not None:
            self.proc.stdout.close()

    def __enter__(self):
        if self.proc is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


# ---------------------------------------------------------------------------------------------
# Server orders


def b64(data):
    """Base64 text (standard alphabet, padded) of a str (UTF-8) or bytes."""
    if isinstance(data, str):
        data = data.encode()
    return base64.b64encode(data).decode("ascii")


def make_order(indicate, value="", platform=("all",), group=("all",), terminal=("all",),
               order_type="cmd", timestamp="2026/12/06 10:00:00", extra=None):
    """The compact JSON text of a server order.

    value is the request body (str or bytes), Base64-encoded into data.value. platform, group
    and terminal are the lists of order.target; None leaves that member out. extra is merged
    into the order object at the top level (deep_merge rules: None removes a member).
    """
    target = {}
    for key, values in (("platform", platform), ("group", group), ("terminal", terminal)):
        if values is not None:
            target[key] = list(values)
    order = {
        "order": {"type": order_type, "indicate": indicate, "target": target},
        "data": {"value": b64(value)},
        "timestamp": timestamp,
    }
    return json.dumps(deep_merge(order, extra), separators=(",", ":"))


# ---------------------------------------------------------------------------------------------
# cee-agent


class Agent(Program):
    """cee-agent with all of its files in `folder`:

        cee.conf                  settings (agent_settings() merged with `settings`)
        mqtt_if.conf              MQTT interface settings, named by MQTT_IF_CONF
        group                     group file: "GROUP=<group>" (group=None: no file)
        substratecode-generator   script printing `substrate_code`, exiting with
                                  `substrate_status`
        log/cee.log               the log
        db/cee_pkg_upd.db         the database (with its lock files in db/)
        spool/                    the receipt spool of orders
        mqtt/                     the MQTT client's persistence of outgoing messages

    The broker may be None (then mqtt must give BROKER_URI). Every agent gets a client id of
    its own unless mqtt sets CLIENT_ID; the broker sees it as CLIENT_ID + "-cee-agent".
    """

    PLATFORM = "e2e-platform"
    GROUP = "east"
    SUBSTRATE_CODE = "E2E0001"

    def __init__(self, folder, broker=None, settings=None, mqtt=None, group=GROUP,
                 substrate_code=SUBSTRATE_CODE, substrate_status=0, binary=None,
                 extra_args=(), name="cee-agent", env=None, faketime=None):
        os.makedirs(folder, exist_ok=True)
        self.settings = deep_merge(agent_settings(folder), settings)
        mqtt_defaults = {"CLIENT_ID": unique_name("e2e-agent"), "CONNECT_TIMEOUT_S": 5,
                         "PUBLISH_TIMEOUT_S": 5,
                         "PERSISTENCE_DIR": os.path.join(folder, "mqtt")}
        if broker is not None:
            mqtt_defaults["BROKER_URI"] = broker.uri
        self.mqtt = deep_merge(mqtt_defaults, mqtt)
        self.broker = broker
        self.config_path = write_json(os.path.join(folder, "cee.conf"), self.settings)
        self.mqtt_conf_path = write_json(os.path.join(folder, "mqtt_if.conf"), self.mqtt)
        if group is not None:
            write_text(os.path.join(folder, "group"), "# terminal group\nGROUP=%s\n" % group)
        write_script(os.path.join(folder, "substratecode-generator"),
                     "echo %s\nexit %d" % (shlex.quote(substrate_code), substrate_status))
        log = self.settings.get("LOG", {})
        super().__init__([binary or agent_binary(), "--config", self.config_path]
                         + list(extra_args), folder, name, env,
                         {"MQTT_IF_CONF": self.mqtt_conf_path},
                         os.path.join(log.get("LOG_DIR", ""), log.get("LOG_FILE", "cee.log")),
                         faketime=faketime)
        self._subscriptions_before = 0
        self._log_lines_before = 0

    def start(self):
        if self.broker is not None:
            # A client id used before (a restart) already has acknowledged subscriptions.
            self._subscriptions_before = self.broker.subscriptions(self.client_id)
        # A folder used before (a restart) already has a log with a start in it.
        self._log_lines_before = len(self.log())
        return super().start()

    @property
    def client_id(self):
        """The identifier the broker sees."""
        return self.mqtt["CLIENT_ID"] + "-cee-agent"

    @property
    def topic_sub(self):
        return self.mqtt.get("TOPIC_SUB", "cee/order")

    @property
    def topic_pub(self):
        return self.mqtt.get("TOPIC_PUB", "cee/{client_id}/answer").replace(
            "{client_id}", self.mqtt["CLIENT_ID"])

    @property
    def db_file(self):
        db = self.settings["DATABASE"]
        return os.path.join(db["DB_PATH"], db["DB_FILE"])

    def lock_file(self, key="LOCK_CEE"):
        db = self.settings["DATABASE"]
        default = {"LOCK_CEE": "db_cee.lock", "LOCK_UPD": "db_upd.lock"}[key]
        return os.path.join(db["DB_PATH"], db.get(key, default))

    def wait_ready(self, deadline_s=DEADLINE_S):
        """Waits for the line that starts the main loop (and, with a broker, for the agent's
        subscription, so that orders published from now on reach it)."""
        # Only a line of this start counts (unless the log was rotated since, then all do).
        start = self._log_lines_before if len(self.log()) >= self._log_lines_before else 0
        line = self.wait_for_log("in startMain : === Waiting to receive instructions from the "
                                 "server ===", start=start, deadline_s=deadline_s)
        if self.broker is not None:
            self.broker.wait_subscribed(self.client_id, self._subscriptions_before + 1,
                                        deadline_s)
        return line

    def send_order(self, text):
        """Publishes an order text on the agent's order topic."""
        publish(self.broker, self.topic_sub, text)


def agent_settings(folder):
    """Settings of cee-agent that keep every path inside folder."""
    return {
        "CMD_SUBSTRATE_CODE": os.path.join(folder, "substratecode-generator"),
        "SYSTEM_SETTING_XML_FILE": os.path.join(folder, "SystemSetting.xml"),
        "PLATFORM": Agent.PLATFORM,
        "FILE_GROUP": os.path.join(folder, "group"),
        "LOG": {"LOG_DIR": os.path.join(folder, "log"), "LOG_FILE": "cee.log"},
        # Nothing listens on port 9 of 127.0.0.1: a POST fails at once.
        "QMT_HTTP": {"URL": "http://127.0.0.1:9/", "RETRY_NUM": 1, "RETRY_INTERVAL": 100},
        "PKG_UPDATE": {"LIST_FILE_PATH": os.path.join(folder, "zorupdate"),
                       "REMOVE_PKG_DIR": os.path.join(folder, "repos") + "/"},
        "DATABASE": {"DB_PATH": os.path.join(folder, "db"), "DB_FILE": "cee_pkg_upd.db"},
        "SPOOL_DIR": os.path.join(folder, "spool"),
    }


# ---------------------------------------------------------------------------------------------
# The logger application stand-in (also serves as a result server: it prints what it receives)


def logger_sim_binary():
    return find_binary("logger-sim", "CEE_LOGGER_SIM", "tools/logger-sim/logger-sim")


class LoggerSim(Program):
    """logger-sim on a free port; requests() gives the bodies it received, decoded."""

    def __init__(self, folder, *args, name="logger-sim"):
        super().__init__([logger_sim_binary(), "--port", "0"] + list(args), folder, name)
        self.port = None

    def start(self):
        super().start()
        out = self.wait_for_stdout("\n")
        self.port = int(re.match(r"listening on (\d+)", out).group(1))
        return self

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.port

    def requests(self):
        """Bodies received so far (complete lines only)."""
        lines = self.stdout().split("\n")[1:-1]
        return [unescape(l) for l in lines]

    def wait_requests(self, count, deadline_s=DEADLINE_S):
        return wait_until(lambda: self.requests() if len(self.requests()) >= count else None,
                          "%d request(s) at logger-sim" % count, deadline_s)


def unescape(line):
    """Undoes logger-sim's escaping of backslash, line feed and carriage return."""
    out, i = [], 0
    while i < len(line):
        if line[i] == "\\" and i + 1 < len(line):
            out.append({"n": "\n", "r": "\r", "\\": "\\"}.get(line[i + 1], line[i + 1]))
            i += 2
        else:
            out.append(line[i])
            i += 1
    return "".join(out)


# ---------------------------------------------------------------------------------------------
# cee-updater

# The command database as cee-agent creates it at its first start.
SCHEMA = (
    "CREATE TABLE [command_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_json] "
    "VARCHAR (32), [recv_xml] TEXT, [server_time_str] DATETIME, [upd_command_id] VARCHAR (16), "
    "[upd_cmd_req_id] VARCHAR (128), [upd_command_type] INTEGER DEFAULT '-1', "
    "[upd_sched_exec_time] DATETIME, [res_error_str] TEXT, [res_result] INTEGER, "
    "[res_result_str] TEXT, [res_http_time] DATETIME, [create_time] DATETIME NOT NULL DEFAULT "
    "CURRENT_TIMESTAMP, [update_time] DATETIME );",
    "CREATE TABLE [package_list] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_info_id] "
    "INTEGER NOT NULL REFERENCES [command_info] ([id]), [seq_no] INTEGER NOT NULL, "
    "[package_filename] VARCHAR (128) NOT NULL, [package_name] VARCHAR (128) NOT NULL, "
    "[package_path] VARCHAR (128) NOT NULL DEFAULT '', [old_package_filename] VARCHAR (128), "
    "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );",
    "CREATE TABLE [cancel_cid_list] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, "
    "[command_info_id] INTEGER NOT NULL REFERENCES [command_info] ([id]), [seq_no] INTEGER NOT "
    "NULL, [cancel_command_id] VARCHAR (32) NOT NULL, [is_cancel] BOOLEAN NOT NULL, "
    "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );",
    "CREATE TABLE [proc_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [command_info_id] "
    "INTEGER NOT NULL REFERENCES [command_info] ([id]), [sched_proc_time] DATETIME NOT NULL, "
    "[exic_num] INTEGER NOT NULL DEFAULT '0', [proc_status] INTEGER NOT NULL DEFAULT '0', "
    "[r_start_time] DATETIME, [r_end_time] DATETIME, [r_result_str] TEXT, [cancel_time] "
    "DATETIME,  [create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] "
    "DATETIME );",
    "CREATE TABLE [version] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [db_version] TEXT NOT "
    "NULL, [create_date] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_date] DATETIME );",
    "INSERT INTO version ( db_version ) VALUES ( '1.0' );",
)


def updater_binary():
    return find_binary("cee-updater", "CEE_UPDATER", os.path.join("src", "updater",
                                                                  "cee-updater"))


def updater_settings(folder):
    """Settings of cee-updater that keep every path inside folder."""
    return {
        "SYSTEM_SETTING_XML_FILE": os.path.join(folder, "SystemSetting.xml"),
        "ALIVE_CHECK": {"PING_SERVER": "127.0.0.1"},
        "LOG": {"LOG_DIR": os.path.join(folder, "log"), "LOG_FILE": "cee_upd.log"},
        "PKG_UPDATE": {
            "LIST_FILE_PATH": os.path.join(folder, "zorupdate"),
            "UPDATE_LOG_DIR": os.path.join(folder, "update_log"),
            "UPDATE_CMD_LINE": os.path.join(folder, "package_updater"),
            "PKG_DIR": os.path.join(folder, "packages"),
            "RESULT_DIR": os.path.join(folder, "result"),
            "REBOOT_COMMAND": os.path.join(folder, "update_finish.sh"),
        },
        "DATABASE": {"DB_PATH": os.path.join(folder, "db")},
        # Nothing listens on port 9 of 127.0.0.1: a POST fails at once.
        "QMT_HTTP": {"URL": "http://127.0.0.1:9/", "RETRY_NUM": 0, "RETRY_INTERVAL": 100},
    }


# The head of the table that "dpkg -l" prints.
DPKG_HEADER = (
    "Desired=Unknown/Install/Remove/Purge/Hold\n"
    "| Status=Not/Inst/Conf-files/Unpacked/halF-conf/Half-inst/trig-aWait/Trig-pend\n"
    "|/ Err?=(none)/Reinst-required (Status,Err: uppercase=bad)\n"
    "||/ Name           Version      Architecture Description\n"
    "+++-==============-============-============-=================================\n")


class Updater(Program):
    """cee-updater with all of its files in `folder`:

        cee_upd.conf        settings (updater_settings() merged with `settings`)
        mqtt_if.conf        MQTT interface settings: by default a broker port where nothing
                            listens, so that start-up does not wait
        bin/dpkg            first on PATH: prints the "dpkg -l" table of the packages given to
                            installed() (nothing installed until then); its arguments go to
                            dpkg.args
        package_updater     appends its arguments to package_updater.started, keeps a copy of
                            its list file as package_updater.list.N (N: the call, from 1), and
                            exits with line N of package_updater.codes (0 when there is none)
        update_finish.sh    writes what the result folder holds to update_finish.sh.saw
                            ("== name" and the text of each file), then appends its
                            arguments to update_finish.sh.started
        result/             RESULT_DIR (empty)
        log/cee_upd.log     the log
        db/                 DB_PATH (settings may point it elsewhere, e.g. at an agent's)

    Several Updaters may share a folder (one per start, each with its own name): the records
    of the scripts go on counting.
    """

    def __init__(self, folder, settings=None, mqtt=None, name="cee-updater", faketime=None):
        os.makedirs(folder, exist_ok=True)
        self.settings = deep_merge(updater_settings(folder), settings)
        self.mqtt = deep_merge({"BROKER_URI": "tcp://127.0.0.1:%d" % free_port(),
                                "CONNECT_TIMEOUT_S": 1,
                                "PERSISTENCE_DIR": os.path.join(folder, "mqtt")}, mqtt)
        self.config_path = write_json(os.path.join(folder, "cee_upd.conf"), self.settings)
        mqtt_conf = write_json(os.path.join(folder, "mqtt_if.conf"), self.mqtt)
        def record(file_name):
            return shlex.quote(os.path.join(folder, file_name))
        write_script(os.path.join(folder, "bin", "dpkg"),
                     'echo "$*" >> %s\nprintf %%s %s\ncat %s 2>/dev/null\nexit 0'
                     % (record("dpkg.args"), shlex.quote(DPKG_HEADER), record("installed")))
        write_script(os.path.join(folder, "package_updater"),
                     'n=$(( $(cat %(count)s 2>/dev/null || echo 0) + 1 ))\n'
                     'echo $n > %(count)s\n'
                     'echo "$*" >> %(started)s\n'
                     'if [ -f "$1" ]; then cp "$1" %(list)s.$n; fi\n'
                     'echo "package updater call $n: $*"\n'
                     'code=$(sed -n "${n}p" %(codes)s 2>/dev/null)\n'
                     'exit ${code:-0}'
                     % {"count": record("package_updater.count"),
                        "started": record("package_updater.started"),
                        "list": record("package_updater.list"),
                        "codes": record("package_updater.codes")})
        result_dir = self.settings["PKG_UPDATE"]["RESULT_DIR"]
        write_script(os.path.join(folder, "update_finish.sh"),
                     'for f in %s/*; do [ -f "$f" ] && { echo "== ${f##*/}"; cat "$f"; }; done '
                     '> %s\necho "$*" >> %s'
                     % (shlex.quote(result_dir), record("update_finish.sh.saw"),
                        record("update_finish.sh.started")))
        os.makedirs(result_dir, exist_ok=True)
        log = self.settings["LOG"]
        path = os.path.join(folder, "bin") + os.pathsep + os.environ.get("PATH", "")
        super().__init__([updater_binary(), "--config", self.config_path], folder, name,
                         extra_env={"MQTT_IF_CONF": mqtt_conf, "PATH": path},
                         log_path=os.path.join(log["LOG_DIR"], log["LOG_FILE"]),
                         faketime=faketime)

    @property
    def db_dir(self):
        return self.settings["DATABASE"]["DB_PATH"]

    @property
    def db_file(self):
        return os.path.join(self.db_dir, self.settings["DATABASE"].get("DB_FILE",
                                                                       "cee_pkg_upd.db"))

    @property
    def lock_file(self):
        return os.path.join(self.db_dir, "db_upd.lock")

    def installed(self, *packages):
        """The packages that dpkg shows as installed, each "name version architecture"."""
        write_text(os.path.join(self.folder, "installed"),
                   "".join("ii  %-14s %-12s %-12s a package\n" % tuple(p.split())
                           for p in packages))

    def package_updater_codes(self, *codes):
        """Exit statuses of the package updater's calls, in order (later calls: 0)."""
        write_text(os.path.join(self.folder, "package_updater.codes"),
                   "".join("%d\n" % c for c in codes))

    def package_updater_calls(self):
        """The argument lines of the package updater's calls so far."""
        return read_text(os.path.join(self.folder, "package_updater.started")).splitlines()

    def package_updater_list(self, call):
        """The list file as the package updater found it at its call-th call (1-based)."""
        return read_text(os.path.join(self.folder, "package_updater.list.%d" % call), None)

    def wait_finish(self, count=1, deadline_s=DEADLINE_S):
        """Waits until the finish command (which runs in the background) has been started
        `count` times in all; returns what the result folder held at its last start."""
        started = os.path.join(self.folder, "update_finish.sh.started")
        wait_until(lambda: len(read_text(started).splitlines()) >= count,
                   "finish command started %d time(s)" % count, deadline_s)
        return read_text(os.path.join(self.folder, "update_finish.sh.saw"))

    def started_scripts(self):
        """Names of the outside programs that were started."""
        return sorted(name for name in ("package_updater", "update_finish.sh")
                      if os.path.exists(os.path.join(self.folder, name + ".started")))

    def result_files(self):
        return sorted(os.listdir(self.settings["PKG_UPDATE"]["RESULT_DIR"]))

    def result(self, name):
        """Text of a result file, None when it does not exist."""
        return read_text(os.path.join(self.settings["PKG_UPDATE"]["RESULT_DIR"], name), None)


def create_database(path, runs=()):
    """A database with the schema and, for each (update command id, update type, minutes from
    now, state) of runs, an update order with one run due then (UTC+9 wall-clock text)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    db = sqlite3.connect(path)
    try:
        for statement in SCHEMA:
            db.execute(statement)
        for command_id, update_type, minutes, state in runs:
            cursor = db.execute(
                "INSERT INTO command_info ( command_json, upd_command_id, upd_command_type ) "
                "VALUES ( 'UpdateLogger', ?, ? )", (command_id, update_type))
            db.execute(
                "INSERT INTO proc_info ( command_info_id, sched_proc_time, proc_status ) "
                "VALUES ( ?, datetime( 'now', '+9 hours', ? ), ? )",
                (cursor.lastrowid, "%+d minutes" % minutes, state))
        db.commit()
    finally:
        db.close()
    return path
