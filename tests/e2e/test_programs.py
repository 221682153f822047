"""The real binaries as a service manager and a field engineer start them: options, the
settings file named on the command line, exit statuses, and cee-updater's lock across
processes."""
import fcntl
import json
import os
import signal
import socket
import subprocess
import threading
import unittest

from harness import (AGENT, DEADLINE_S, STATUS, UPDATER, Agent, E2ETestCase, LoggerSim, Updater,
                     order, read_text, request, wait_until, write_text)


class ProgramTest(E2ETestCase):

    def run_program(self, *argv):
        return subprocess.run(argv, capture_output=True, text=True, timeout=DEADLINE_S,
                              cwd=self.temp_dir(), stdin=subprocess.DEVNULL)

    def test_options_and_usage_errors(self):
        for path in (AGENT, UPDATER, STATUS):
            name = os.path.basename(path)
            for args, status in ((["--help"], 0), (["-h"], 0), (["--version"], 0), (["-V"], 0),
                                 (["--no-such-option"], 64), (["--config"], 64)):
                with self.subTest(program=name, args=args):
                    done = self.run_program(path, *args)
                    self.assertEqual(done.returncode, status, done.stderr)
                    if status == 0:
                        self.assertIn("Usage" if args[0] in ("-h", "--help") else name, done.stdout)
                    else:
                        self.assertEqual((done.stdout, len(done.stderr.splitlines())), ("", 1))
        self.assertEqual(self.run_program(AGENT, "extra").returncode, 64)

    def test_every_form_of_the_config_option_is_read(self):
        # The settings file puts the log where nothing else would: only a program that read
        # it writes there. No broker listens, so the agent ends after preparing its database.
        # The last of several options counts.
        for form in ("-c {}", "--config {}", "--config={}", "-c /nowhere/x.conf --config={}"):
            with self.subTest(form=form):
                folder = self.temp_dir()
                agent = Agent(folder, mqtt={"CONNECT_TIMEOUT_S": 1})
                updater = Updater(os.path.join(folder, "u"), os.path.dirname(agent.db_file))
                for program in (agent, updater):
                    program.argv[1:] = form.format(program.argv[-1]).split()
                self.assertEqual(self.start(agent, wait_ready=False).wait_exit(), 1)
                self.assertTrue(agent.log() and os.path.exists(agent.db_file))
                os.remove(agent.db_file)
                self.assertEqual(self.start(updater).wait_exit(), 1)  # no database there
                self.assertIn("Database file is not found", updater.log())

    def test_failed_agent_start_ends_with_status_1_and_loses_no_queued_order(self):
        # "x" is a regular file where a folder should be (paths relative to the agent's
        # working folder); the message names the path. An order queued on the broker for the
        # terminal's session waits there through the failed start for the next good one.
        broker = self.start_broker()
        sim = self.start(LoggerSim(self.temp_dir()))
        good = {"QMT_HTTP": {"URL": sim.url}}
        for n, (settings, named) in enumerate((({"LOG": {"LOG_DIR": "x/log"}}, "x/log/cee.log"),
                                               ({"DATABASE": {"DB_PATH": "x/db"}}, "x/db"),
                                               ({"SPOOL_DIR": "x/spool"}, "x/spool"))):
            with self.subTest(named=named):
                folder = self.temp_dir()
                write_text(os.path.join(folder, "x"), "")
                once = self.start(Agent(folder, broker, good, name="once"))
                self.assertEqual(once.terminate(signal.SIGINT), 0)
                once.send_order(order(n))
                bad = Agent(folder, broker, settings, name="bad")
                self.assertEqual(self.start(bad, wait_ready=False).wait_exit(), 1)
                self.assertIn(named, bad.stderr())
                again = self.start(Agent(folder, broker, good, name="again"))
                self.assertEqual(sim.wait_requests(n + 1)[n:], [request(n)])
                self.assertEqual(again.terminate(), 0)  # takes no order of the next case

    def test_updater_and_cee_status_on_the_database_the_agent_made(self):
        # cee-agent makes the database, then ends as no broker listens.
        folder = self.temp_dir()
        maker = Agent(os.path.join(folder, "agent"), mqtt={"CONNECT_TIMEOUT_S": 1})
        self.assertEqual(self.start(maker, wait_ready=False).wait_exit(), 1)
        db_file, db_dir = maker.db_file, os.path.dirname(maker.db_file)
        lock = os.path.join(db_dir, "db_upd.lock")
        # SQLite's own companions of a database in WAL mode (its log and the log's index) come
        # and go with the connections; a reader leaves the log empty.
        files = lambda: {n: read_text(os.path.join(db_dir, n)) for n in os.listdir(db_dir)
                         if not n.endswith(("-wal", "-shm"))}
        before = files()
        done = self.run_program(STATUS, "--db", db_file, "--json")
        self.assertEqual(done.returncode, 0, done.stderr)
        wal = db_file + "-wal"
        self.assertEqual(os.path.getsize(wal) if os.path.exists(wal) else 0, 0)
        self.assertTrue(done.stdout.startswith("{"), done.stdout)
        self.assertEqual(files(), before)  # a reader only: no lock file, nothing written
        missing = os.path.join(folder, "nowhere.db")
        done = self.run_program(STATUS, "--db", missing)
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn(missing, done.stderr)

        def updater(name, **settings):
            return self.start(Updater(os.path.join(folder, "updater"), db_dir, name=name,
                                      settings=settings))
        # Network down: 100, the database untouched.
        self.assertEqual(updater("down", ALIVE_CHECK={"PING_SERVER": "0.0.0.1"}).wait_exit(),
                         100)
        self.assertEqual(files(), before)
        # Another updater holds the lock (file and flock): 2, the holder's file stays.
        with open(write_text(lock, ""), "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            self.assertEqual(updater("locked").wait_exit(), 2)
        self.assertEqual(files(), dict(before, **{"db_upd.lock": ""}))
        # Its holder gone, the file is a leftover: taken over, and removed at the end.
        self.assertEqual(updater("after").wait_exit(), 0)
        self.assertFalse(os.path.exists(lock))


    def test_the_updater_opens_a_broker_session_only_when_told(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        self.addCleanup(listener.close)
        accepted = []
        threading.Thread(target=lambda: [accepted.append(listener.accept()) for _ in range(2)],
                         daemon=True).start()
        folder = self.temp_dir()
        for connect, sessions in ((False, 0), (True, 1)):
            with self.subTest(MQTT_CONNECT=connect):
                updater = Updater(os.path.join(folder, str(connect)), folder,
                                  settings={"MQTT_CONNECT": connect})
                write_text(updater.env["MQTT_IF_CONF"], json.dumps({
                    "BROKER_URI": "tcp://127.0.0.1:%d" % listener.getsockname()[1],
                    "CONNECT_TIMEOUT_S": 1}))
                self.assertEqual(self.start(updater).wait_exit(), 1)  # no database here
                wait_until(lambda: len(accepted) >= sessions, "the broker session")
                self.assertEqual(len(accepted), sessions)
                self.assertEqual("MQTT_CONNECT false" in updater.log(), not connect)


if __name__ == "__main__":
    unittest.main()
