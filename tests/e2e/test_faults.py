"""Faults around the real programs: the broker going away and coming back, a logger application
that misbehaves, cee-agent and cee-updater killed in the middle of their work, and the database
and log folders on a full file system (a small tmpfs: skipped where it cannot be mounted).

Every case checks the same things in the end: each order is answered, its row records what
happened, the database stays sound, and the program goes on (or the next start does).
"""
import base64
import errno
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import unittest
from contextlib import closing

from harness import (DEADLINE_S, Agent, E2ETestCase, LoggerSim, Updater, create_database,
                     exact, find_in_order, find_lines, make_order, publish_many,
                     unique_name, wait_until, write_script, write_text)
from test_update_process import SYSTEM_SETTING, add_update

FAILED_POST = "8082 port send error."
END_OF_ORDER = exact("in startMain loop : end Execute Thread (join)")


def request(n):
    return ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="%d"><command>'
            'ReadFromEchonetDevice</command><requestData><p x="1">0x7D</p></requestData>'
            '</commandRequest>' % n)


def order(n):
    return make_order("ReadFromEchonetDevice", request(n))


def query(db_file, sql, args=(), raw=False):
    """Rows of a query; raw: text columns as bytes (for answers that are not UTF-8)."""
    with closing(sqlite3.connect(db_file)) as db:
        if raw:
            db.text_factory = bytes
        return db.execute(sql, args).fetchall()


def integrity(db_file):
    return query(db_file, "PRAGMA integrity_check")


def results(db_file, raw=False):
    return query(db_file, "SELECT recv_xml, res_error_str, res_result, res_result_str "
                          "FROM command_info ORDER BY id", raw=raw)


def answer_data(line):
    """data of an answer line "topic payload", with value decoded to bytes."""
    data = json.loads(line.partition(" ")[2])["data"]
    return data["result"], base64.b64decode(data["value"])


class BrokerOutageTest(E2ETestCase):

    def test_orders_queued_for_the_session_while_cut_off_are_executed_after_reconnect(self):
        folder = self.temp_dir()
        # The broker keeps sessions and queued messages across its restarts; the test's own
        # clients use a listener of their own, so that orders can be queued while the agent
        # cannot reach the broker.
        broker = self.start_broker(persistence=True, side_port=True)
        # The first order is still being executed when the broker goes away.
        sim = self.start_program(LoggerSim(folder, "--mode", "slow", "--delay-ms", "1500",
                                           "--fault-count", "1"))
        agent = self.start_agent(os.path.join(folder, "agent"), broker,
                                 settings={"QMT_HTTP": {"URL": sim.url, "RETRY_NUM": 0}},
                                 mqtt={"PUBLISH_TIMEOUT_S": 2})
        watcher = unique_name("e2e-answers")

        def watch():
            return self.subscribe(broker, agent.topic_pub, client_id=watcher,
                                  clean_session=False)
        answers = watch()
        connects = broker.log_text().count(" as %s " % agent.client_id)

        # Its answer is due while the broker is down.
        agent.send_order(order(0))
        sim.wait_requests(1)
        answers.stop()
        broker.stop()

        # The broker is back for the test's clients only: the orders wait in the agent's
        # session.
        broker.start(main_listener=False)
        publish_many(broker, agent.topic_sub, [order(n) for n in range(1, 6)])
        self.assertEqual(len(sim.requests()), 1)
        broker.stop()

        broker.start()
        answers = watch()
        # Reconnecting takes up to the library's longest retry interval, then one order a
        # second.
        received = sim.wait_requests(6, DEADLINE_S * 2)
        self.assertEqual(received, [request(n) for n in range(6)])
        lines = wait_until(lambda: answers.lines() if len(answers.lines()) >= 6 else None,
                           "6 answers", DEADLINE_S * 2)
        self.assertEqual(len(answers.sync()), 6)
        agent.assert_running()
        self.assertGreater(broker.log_text().count(" as %s " % agent.client_id), connects)

        # Every order was answered once, with the logger application's answer.
        got = sorted((answer_data(l) for l in lines), key=lambda a: a[1])
        self.assertEqual([a[0] for a in got], ["success"] * 6)
        for n, (_, body) in enumerate(got):
            self.assertIn(b'<commandResponse id="%d">' % n, body)
        rows = results(agent.db_file)
        self.assertEqual([(r[0], r[1], r[2]) for r in rows],
                         [(request(n), "", 0) for n in range(6)])
        passes = find_lines(agent.log(), "in startMain loop : start Execute Thread")
        self.assertEqual(len(passes), 6)

        # A broker that comes back without its sessions: the agent subscribes again by itself
        # and takes the orders published from then on.
        answers.stop()
        broker.stop()
        os.remove(os.path.join(broker.folder, "mosquitto.db"))
        subscribed = broker.subscriptions(agent.client_id)
        broker.start()
        broker.wait_subscribed(agent.client_id, subscribed + 1, DEADLINE_S * 2)
        answers = watch()
        agent.send_order(order(6))
        self.assertEqual(sim.wait_requests(7)[6], request(6))
        result, body = answer_data(answers.wait_for_lines(1)[0])
        self.assertEqual(result, "success")
        self.assertIn(b'<commandResponse id="6">', body)
        self.assertEqual(len(results(agent.db_file)), 7)


class LoggerApplicationFaultsTest(E2ETestCase):
    """Each misbehaviour of the logger application, for the first request only: the order that
    meets it is answered and recorded, and the next order is executed as usual."""

    CURL_TIMEOUT_S = 3

    def test_every_order_is_answered_and_recorded_and_the_next_one_is_taken(self):
        broker = self.start_broker()
        # mode and its arguments -> (result word, curl status, recorded answer of the fault)
        cases = [
            (["--mode", "never"], "failed", 28, lambda full: b""),
            (["--mode", "slow", "--delay-ms", "1000"], "success", 0, lambda full: full),
            (["--mode", "close"], "failed", 52, lambda full: b""),
            (["--mode", "cut"], "failed", 18, lambda full: full[:len(full) // 2]),
            (["--mode", "garbage"], "success", 0, lambda full: bytes(range(256))),
        ]
        for args, word, status, recorded in cases:
            with self.subTest(mode=args[1]):
                folder = self.temp_dir()
                sim = self.start_program(LoggerSim(folder, "--fault-count", "1", *args))
                agent = self.start_agent(
                    os.path.join(folder, "agent"), broker,
                    settings={"QMT_HTTP": {"URL": sim.url, "RETRY_NUM": 0,
                                           "CURL_TIMEOUT": self.CURL_TIMEOUT_S}})
                answers = self.subscribe(broker, agent.topic_pub)
                agent.send_order(order(1))
                agent.send_order(order(1))
                lines = answers.wait_for_lines(2, DEADLINE_S + self.CURL_TIMEOUT_S)
                agent.wait_for_log(END_OF_ORDER, count=2)
                self.assertEqual(sim.requests(), [request(1)] * 2)

                (fault_word, fault_body), (next_word, full) = map(answer_data, lines)
                self.assertEqual(next_word, "success")
                self.assertIn(b"<status>SUCCESS</status>", full)
                self.assertEqual(fault_word, word)
                self.assertEqual(fault_body, recorded(full) if word == "success" else b"")

                rows = results(agent.db_file, raw=True)
                self.assertEqual(rows, [
                    (request(1).encode(), FAILED_POST.encode() if status else b"", status,
                     recorded(full)),
                    (request(1).encode(), b"", 0, full)])
                self.assertEqual(integrity(agent.db_file), [("ok",)])
                agent.assert_running()
                find_in_order(agent.log(), [
                    exact("in CmdInfoEcholDevRead execCommand : execute result -> %s : (%d)"
                          % ("success" if status == 0 else "failed", status)),
                    exact("in CmdInfoEcholDevRead execCommand : execute result -> success : "
                          "(0)")])
                agent.terminate()
                sim.stop()


class KilledProgramsTest(E2ETestCase):

    def test_agent_killed_during_an_order(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        # The first request is never answered: the agent is caught inside the order.
        sim = self.start_program(LoggerSim(folder, "--mode", "never", "--fault-count", "1"))
        agent_dir = os.path.join(folder, "agent")
        first = self.start_agent(agent_dir, broker, settings={"QMT_HTTP": {"URL": sim.url}})
        first.send_order(order(1))
        sim.wait_requests(1)
        self.assertTrue(os.path.exists(first.lock_file()), "database not open during the order")
        first.send_signal(signal.SIGKILL)
        self.assertEqual(first.wait_exit(), -signal.SIGKILL)
        self.assertTrue(os.path.exists(first.lock_file()))

        second = Agent(agent_dir, broker, settings={"QMT_HTTP": {"URL": sim.url}},
                       mqtt={"CLIENT_ID": first.mqtt["CLIENT_ID"]}, name="cee-agent-2")
        before = len(second.log())
        self.start_program(second)
        second.wait_ready()
        self.assertFalse(os.path.exists(second.lock_file()))
        find_in_order(second.log(), [exact("in init : remove lock file! [RW]", "I"),
                                     exact("in initMain : DB init -> success (0)")],
                      start=before)
        self.assertEqual(integrity(second.db_file), [("ok",)])

        answers = self.subscribe(broker, second.topic_pub)
        second.send_order(order(2))
        # The interrupted order is answered "failed" (not run again), then the new one runs.
        result, body = answer_data(answers.wait_for_lines(2)[1])
        self.assertEqual(result, "success")
        self.assertIn(b'<commandResponse id="2">', body)
        self.assertEqual(answer_data(answers.lines()[0]), ("failed", b""))
        # The interrupted order's row gets the reason instead of staying without an outcome.
        recorded = results(second.db_file)
        self.assertEqual([(r[0], r[2], r[3]) for r in recorded],
                         [(request(1), -1, ""), (request(2), 0, body.decode())])
        self.assertIn("interrupted", recorded[0][1])
        self.assertEqual(integrity(second.db_file), [("ok",)])
        self.assertFalse(os.path.exists(second.lock_file()))
        self.assertEqual(second.terminate()[0], 0)

    def test_updater_killed_during_the_installation(self):
        folder = self.temp_dir()
        write_text(os.path.join(folder, "SystemSetting.xml"), SYSTEM_SETTING)
        updater_dir = os.path.join(folder, "updater")
        db_file = create_database(os.path.join(updater_dir, "db", "cee_pkg_upd.db"))
        add_update(db_file, "9001", 0, [("abc_1.2_armhf.deb", "tools", None)])
        before_run = query(db_file, "SELECT * FROM proc_info")

        def updater(name):
            u = Updater(updater_dir, name=name, settings={
                "SYSTEM_SETTING_XML_FILE": os.path.join(folder, "SystemSetting.xml")})
            u.installed("abc 1.0 armhf")
            return u

        # The package updater holds the first run until it is let go.
        held = os.path.join(folder, "held")
        release = os.path.join(folder, "release")
        self.addCleanup(write_text, release, "")
        first = updater("cee-updater-1")
        write_script(os.path.join(updater_dir, "package_updater"),
                     'echo "$*" >> %(dir)s/package_updater.started\n'
                     'echo $$ > %(held)s\n'
                     'n=0\n'
                     'while [ ! -e %(release)s ] && [ $n -lt 1200 ]; do\n'
                     '  n=$((n + 1)); sleep 0.1\n'
                     'done\n'
                     'exit 0' % {"dir": updater_dir, "held": held, "release": release})
        self.start_program(first)
        wait_until(lambda: os.path.exists(held), "the package updater to be started")
        # Killed inside its transaction: the lock file and the journal stay behind.
        self.assertTrue(os.path.exists(first.lock_file))
        self.assertTrue(os.path.exists(db_file + "-journal"))
        first.send_signal(signal.SIGKILL)
        self.assertEqual(first.wait_exit(), -signal.SIGKILL)
        write_text(release, "")

        # What any reader of the file finds: the run as it was before, nothing half-written.
        snapshot = os.path.join(folder, "snapshot")
        os.makedirs(snapshot)
        for suffix in ("", "-journal"):
            shutil.copy(db_file + suffix, snapshot)
        copy = os.path.join(snapshot, os.path.basename(db_file))
        self.assertEqual(integrity(copy), [("ok",)])
        self.assertEqual(query(copy, "SELECT * FROM proc_info"), before_run)
        self.assertEqual(query(copy, "SELECT old_package_filename FROM package_list"), [(None,)])
        self.assertEqual(first.result_files(), [])

        # The next start finds the lock file without a live holder: it takes it over and
        # executes the run.
        third = updater("cee-updater-3")
        self.assertEqual(self.start_program(third).wait_exit(), 0)
        self.assertEqual(query(db_file, "SELECT exic_num, proc_status FROM proc_info"),
                         [(0, 1)])
        self.assertEqual(query(db_file, "SELECT old_package_filename FROM package_list"),
                         [("abc_1.0_armhf.deb",)])
        self.assertEqual(len(third.package_updater_calls()), 2)
        self.assertEqual(third.result("logger_reboot"), "update\n9001\n")
        self.assertEqual(integrity(db_file), [("ok",)])
        self.assertFalse(os.path.exists(db_file + "-journal"))
        self.assertFalse(os.path.exists(third.lock_file))


class FullFileSystemTest(E2ETestCase):

    def mount_small_file_system(self, path):
        if os.geteuid() != 0:
            self.skipTest("mounting a small tmpfs needs root")
        os.makedirs(path)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", path],
                              capture_output=True, text=True, timeout=DEADLINE_S)
        if done.returncode != 0:
            self.skipTest("cannot mount a tmpfs here (%s)" % done.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", path], timeout=DEADLINE_S)

    def fill(self, path):
        """Writes a file into path until the file system has no room left."""
        with open(path, "wb", buffering=0) as f:
            while True:
                try:
                    f.write(b"\0" * 4096)
                except OSError as e:
                    if e.errno != errno.ENOSPC:
                        raise
                    return

    def test_orders_are_answered_while_the_database_folder_is_full(self):
        folder = self.temp_dir()
        db_dir = os.path.join(folder, "db")
        self.mount_small_file_system(db_dir)
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder))
        agent = self.start_agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url}, "DATABASE": {"DB_PATH": db_dir}})
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(order(1))
        answers.wait_for_lines(1)

        filler = os.path.join(db_dir, "filler")
        self.fill(filler)
        mark = len(agent.log())
        agent.send_order(order(2))
        agent.send_order(order(3))
        lines = answers.wait_for_lines(3)
        agent.wait_for_log(END_OF_ORDER, count=2, start=mark)
        agent.assert_running()
        self.assertEqual([answer_data(l)[0] for l in lines], ["success"] * 3)
        self.assertEqual(sim.requests(), [request(n) for n in (1, 2, 3)])
        failed_inserts = find_lines(agent.log(), re.compile(
            r"^in CmdInfoEcholDevRead execCommand : failed to insert command_info "), mark)
        self.assertEqual(len(failed_inserts), 2, [l.raw for l in agent.log()[mark:]])
        self.assertEqual([r[0] for r in results(agent.db_file)], [request(1)])
        self.assertFalse(os.path.exists(agent.lock_file()))

        # Room again: recording resumes.
        os.remove(filler)
        agent.send_order(order(4))
        self.assertEqual(answer_data(answers.wait_for_lines(4)[3])[0], "success")
        agent.wait_for_log(END_OF_ORDER, count=3, start=mark)
        self.assertEqual([(r[0], r[2]) for r in results(agent.db_file)],
                         [(request(1), 0), (request(4), 0)])
        self.assertEqual(integrity(agent.db_file), [("ok",)])
        self.assertEqual(sorted(os.listdir(db_dir)), ["cee_pkg_upd.db"])
        self.assertEqual(agent.terminate()[0], 0)

    def test_orders_are_answered_while_the_log_folder_is_full(self):
        folder = self.temp_dir()
        log_dir = os.path.join(folder, "log")
        self.mount_small_file_system(log_dir)
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder))
        agent = self.start_agent(os.path.join(folder, "agent"), broker, settings={
            "QMT_HTTP": {"URL": sim.url}, "LOG": {"LOG_DIR": log_dir}})
        answers = self.subscribe(broker, agent.topic_pub)

        filler = os.path.join(log_dir, "filler")
        self.fill(filler)
        for n in (1, 2):
            agent.send_order(order(n))
        lines = answers.wait_for_lines(2)
        self.assertEqual([answer_data(l)[0] for l in lines], ["success"] * 2)
        agent.assert_running()
        # The log cannot be written; the library says so on standard error.
        self.assertIn("No space left on device", agent.stderr())
        self.assertEqual([r[0] for r in results(agent.db_file)], [request(1), request(2)])

        # Room again: the log goes on.
        os.remove(filler)
        agent.send_order(order(3))
        self.assertEqual(answer_data(answers.wait_for_lines(3)[2])[0], "success")
        agent.wait_for_log(exact("in CmdInfoEcholDevRead execCommand : access url -> %s : "
                                 "send data -> %s" % (sim.url, request(3))))
        self.assertEqual(agent.terminate()[0], 0)
        self.assertEqual(agent.log()[-1].text, "in endMain : delete objects")


if __name__ == "__main__":
    unittest.main()
