"""cee-updater as a whole, up to finding the due run: command line, alive check, exit statuses,
its database lock file, a start with nothing due, and signals during a run.

The real binary runs with every file in a temporary folder. The database is made with the
schema statements of the command database; outside programs (the package updater and the
finish command) are scripts that record that they were started. Ping hosts: 127.0.0.1
(reachable) and addresses that fail at once.
"""
import fcntl
import hashlib
import os
import signal
import socket
import subprocess
import threading
import unittest

from harness import (DEADLINE_S, E2ETestCase, Updater, create_database, exact, find_in_order,
                     find_lines, updater_binary, wait_until, write_text)

SEPARATOR = "=" * 43


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class SilentBroker:
    """A TCP port that accepts connections and never answers: an MQTT connect waits there for
    its whole time-out. `connected` is set at the first accepted connection."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.connected = threading.Event()
        self.clients = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return
            self.clients.append(client)
            self.connected.set()

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        for client in self.clients:
            client.close()
        self.thread.join(timeout=5)


class CommandLineTest(E2ETestCase):

    def run_updater(self, *args):
        return subprocess.run([updater_binary()] + list(args), capture_output=True, text=True,
                              timeout=DEADLINE_S, cwd=self.temp_dir(), stdin=subprocess.DEVNULL)

    def test_help_version_and_invalid_options(self):
        done = self.run_updater("--help")
        self.assertEqual(done.returncode, 0)
        self.assertIn("Usage: cee-updater", done.stdout)
        self.assertIn("/usr/local/etc/zorcee/cee_upd.conf", done.stdout)
        done = self.run_updater("-V")
        self.assertEqual(done.returncode, 0)
        self.assertRegex(done.stdout, r"\Acee-updater \d+\.\d+\S*\n\Z")
        for args in (["--no-such-option"], ["--config"]):
            with self.subTest(args=args):
                done = self.run_updater(*args)
                self.assertEqual(done.returncode, 64)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)

    def test_log_file_that_cannot_be_created_ends_start_up(self):
        folder = self.temp_dir()
        blocker = write_text(os.path.join(folder, "not-a-folder"), "a regular file\n")
        updater = Updater(folder, settings={"LOG": {"LOG_DIR": os.path.join(blocker, "log")}})
        create_database(updater.db_file)
        self.assertEqual(self.start_program(updater).wait_exit(), 1)
        self.assertIn("cannot open log file %s" % os.path.join(blocker, "log", "cee_upd.log"),
                      updater.stderr())
        self.assertEqual(updater.started_scripts(), [])


class StartTest(E2ETestCase):

    def test_unreachable_ping_host_exits_100_and_leaves_the_database_alone(self):
        for host, code in (("0.0.0.1", -4), ("nonexistent.invalid", -4)):
            with self.subTest(host=host):
                folder = self.temp_dir()
                updater = Updater(folder, settings={"ALIVE_CHECK": {"PING_SERVER": host}})
                # A due run: any database work would show.
                create_database(updater.db_file, [("11", 0, -5, 0)])
                before = digest(updater.db_file)
                self.assertEqual(self.start_program(updater).wait_exit(), 100)
                self.assertEqual(digest(updater.db_file), before)
                self.assertFalse(os.path.exists(updater.lock_file))
                lines = updater.log()
                find_in_order(lines, [
                    exact(": <<< pingCmd --> (/bin/ping -c 1 %s > /dev/null 2>&1) (ret: %d) >>>"
                          % (host, code), "I"),
                    exact(": <<< network down : ping filed --> (%d) (remote: %s) >>>"
                          % (code, host), "W"),
                    exact("in endMain : finished!", "I"),
                ])
                self.assertEqual(find_lines(lines, "start update process"), [])
                self.assertEqual(updater.started_scripts(), [])

    def test_missing_database_exits_1_and_creates_nothing(self):
        folder = self.temp_dir()
        updater = Updater(folder)
        self.assertEqual(self.start_program(updater).wait_exit(), 1)
        self.assertFalse(os.path.exists(updater.db_dir))
        find_in_order(updater.log(), [exact(": === start update process. ===", "I"),
                                      exact("Database file is not found. -> 2", "W"),
                                      exact("in endMain : finished!", "I")])

        # An existing folder without the file: still 1, and no file appears.
        os.makedirs(updater.db_dir)
        rerun = Updater(folder, name="cee-updater-2")
        self.assertEqual(self.start_program(rerun).wait_exit(), 1)
        self.assertEqual(os.listdir(updater.db_dir), [])

    def test_held_lock_file_exits_2_and_a_leftover_is_taken_over(self):
        folder = self.temp_dir()
        updater = Updater(folder)
        create_database(updater.db_file)
        agent_lock = write_text(os.path.join(updater.db_dir, "db_cee.lock"), "")
        # Another updater that is still running holds its lock file (and the flock on it).
        with open(write_text(updater.lock_file, ""), "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            self.assertEqual(self.start_program(updater).wait_exit(), 2)
            self.assertTrue(os.path.exists(updater.lock_file))
        find_in_order(updater.log(), [
            exact("in open : create lock file [RO] -> failed!", "I"),
            exact("Database open failed. -> false", "W"),
            exact("in close : remove lock file [RO] -> success", "I"),
            exact("in endMain : finished!", "I"),
        ])

        # Its holder gone, the file is a leftover: the next start takes it over and removes
        # it at its end; the agent's lock file is none of the updater's business.
        rerun = Updater(folder, name="cee-updater-2")
        self.assertEqual(self.start_program(rerun).wait_exit(), 0)
        self.assertTrue(os.path.exists(agent_lock))
        self.assertFalse(os.path.exists(updater.lock_file))

    def test_nothing_due_rolls_back_without_result_file_or_finish_command(self):
        folder = self.temp_dir()
        # PING_NUM is kept but still one ping is sent.
        updater = Updater(folder, settings={"ALIVE_CHECK": {"PING_NUM": 3}})
        create_database(updater.db_file, [
            ("21", 1, 30, 0),    # not due for half an hour
            ("22", 0, -30, 1),   # due, but done
            ("23", 0, -30, 5),   # due, but superseded
            ("24", -1, -30, 0),  # not an update order
        ])
        before = digest(updater.db_file)
        self.assertEqual(self.start_program(updater).wait_exit(), 0)

        lines = updater.log()
        self.assertEqual(lines[0].text, SEPARATOR)
        self.assertIsNone(lines[0].source)
        path = updater.db_file
        found = find_in_order(lines, [
            exact("Start Command Execution Environment.", "I"),
            exact("in ConnectionManager", "I"),
            exact(": <<< pingCmd --> (/bin/ping -c 1 127.0.0.1 > /dev/null 2>&1) (ret: 0) >>>",
                  "I"),
            exact(": <<< nework reached : ping success --> (0) (remote: 127.0.0.1) >>>", "I"),
            exact(": === start update process. ===", "I"),
            exact("in open : create lock file [RO] -> success", "I"),
            exact("in open : DB open success : db file -> %s" % path, "I"),
            exact("<<<<<--------------------------", "I"),
            exact("No update target", "I"),
            exact("-------------------------->>>>>", "I"),
            exact("do db rollback!", "I"),
            exact("in close : db file -> %s" % path, "I"),
            exact("in close : remove lock file [RO] -> success", "I"),
            exact("in endMain : finished!", "I"),
            exact(SEPARATOR, "I"),
        ])
        self.assertEqual(found[1].source, "ConnectionManagerUpd.cpp")
        self.assertEqual(found[0].source, "cee_upd.cpp")
        self.assertEqual(found[-1].index, len(lines) - 1)
        self.assertEqual(len(find_lines(lines, "pingCmd")), 1)
        self.assertEqual(find_lines(lines, "selectTargetCommandInfo"), [])
        self.assertEqual(updater.result_files(), [])
        self.assertEqual(updater.started_scripts(), [])
        self.assertFalse(os.path.exists(updater.lock_file))
        self.assertEqual(digest(updater.db_file), before)

    def test_signal_during_a_run_is_logged_and_the_run_ends_normally(self):
        folder = self.temp_dir()
        broker = SilentBroker()
        self.addCleanup(broker.close)
        # The MQTT connect waits up to CONNECT_TIMEOUT_S at a peer that never answers: the
        # signal arrives while the program is busy.
        updater = Updater(folder, mqtt={"BROKER_URI": "tcp://127.0.0.1:%d" % broker.port,
                                        "CONNECT_TIMEOUT_S": 3})
        create_database(updater.db_file, [("31", 0, 30, 0)])
        self.start_program(updater)
        wait_until(broker.connected.is_set, "the updater's MQTT connection")
        updater.assert_running()
        updater.send_signal(signal.SIGTERM)
        self.assertEqual(updater.wait_exit(), 0)

        lines = updater.log()
        found = find_in_order(lines, [
            exact("in initConn : setMode(MODE_MQTT) -> success", "I"),
            exact("in signal_handler : receive signal -> 15", "I"),
            exact(": <<< nework reached : ping success --> (0) (remote: 127.0.0.1) >>>", "I"),
            exact("No update target", "I"),
            exact("do db rollback!", "I"),
            exact("in endMain : finished!", "I"),
        ])
        self.assertEqual(found[1].source, "cee_upd.cpp")
        self.assertEqual(len(find_lines(lines, "receive signal")), 1)
        self.assertFalse(os.path.exists(updater.lock_file))


if __name__ == "__main__":
    unittest.main()
