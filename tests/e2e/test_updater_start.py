"""cee-updater as a whole, up to finding the due run: command line, alive check, exit statuses,
its database lock file, a start with nothing due, and signals during a run.

The real binary runs with every file in a temporary folder. The database is made with the
schema statements of the command database; outside programs (the package updater and the
finish command) are scripts that record that they were started. Ping hosts: 127.0.0.1
(reachable) and addresses that fail at once.
"""
import hashlib
import os
import signal
import socket
import sqlite3
import subprocess
import threading
import unittest

from harness import (DEADLINE_S, E2ETestCase, Program, deep_merge, exact, find_binary,
                     find_in_order, find_lines, free_port, wait_until, write_json, write_script,
                     write_text)

SEPARATOR = "=" * 43

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


class Updater(Program):
    """cee-updater with all of its files in `folder`:

        cee_upd.conf        settings (updater_settings() merged with `settings`)
        mqtt_if.conf        MQTT interface settings: by default a broker port where nothing
                            listens, so that start-up does not wait
        package_updater     script that records each start in package_updater.started
        update_finish.sh    script that records each start in update_finish.started
        result/             RESULT_DIR (empty)
        log/cee_upd.log     the log
        db/                 DB_PATH
    """

    def __init__(self, folder, settings=None, mqtt=None, name="cee-updater"):
        os.makedirs(folder, exist_ok=True)
        self.settings = deep_merge(updater_settings(folder), settings)
        self.mqtt = deep_merge({"BROKER_URI": "tcp://127.0.0.1:%d" % free_port(),
                                "CONNECT_TIMEOUT_S": 1}, mqtt)
        self.config_path = write_json(os.path.join(folder, "cee_upd.conf"), self.settings)
        mqtt_conf = write_json(os.path.join(folder, "mqtt_if.conf"), self.mqtt)
        for script in ("package_updater", "update_finish.sh"):
            marker = os.path.join(folder, script + ".started")
            write_script(os.path.join(folder, script), 'echo "$*" >> %s' % marker)
        os.makedirs(os.path.join(folder, "result"), exist_ok=True)
        log = self.settings["LOG"]
        super().__init__([updater_binary(), "--config", self.config_path], folder, name,
                         extra_env={"MQTT_IF_CONF": mqtt_conf},
                         log_path=os.path.join(log["LOG_DIR"], log["LOG_FILE"]))

    @property
    def db_dir(self):
        return self.settings["DATABASE"]["DB_PATH"]

    @property
    def db_file(self):
        return os.path.join(self.db_dir, "cee_pkg_upd.db")

    @property
    def lock_file(self):
        return os.path.join(self.db_dir, "db_upd.lock")

    def started_scripts(self):
        """Names of the outside programs that were started."""
        return sorted(name for name in ("package_updater", "update_finish.sh")
                      if os.path.exists(os.path.join(self.folder, name + ".started")))

    def result_files(self):
        return sorted(os.listdir(os.path.join(self.folder, "result")))


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

    def test_leftover_lock_file_exits_2_and_is_removed_for_the_next_start(self):
        folder = self.temp_dir()
        updater = Updater(folder)
        create_database(updater.db_file)
        write_text(updater.lock_file, "")
        agent_lock = write_text(os.path.join(updater.db_dir, "db_cee.lock"), "")
        self.assertEqual(self.start_program(updater).wait_exit(), 2)
        self.assertFalse(os.path.exists(updater.lock_file))
        find_in_order(updater.log(), [
            exact("in open : create lock file [RO] -> failed!", "I"),
            exact("Database open failed. -> false", "W"),
            exact("in close : remove lock file [RO] -> success", "I"),
            exact("in endMain : finished!", "I"),
        ])

        # The next start opens; the agent's lock file is none of the updater's business.
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
