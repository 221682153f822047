"""The receipt spool and every way the agent stops: no order the broker handed over is lost,
none is executed twice, and only this terminal's own orders are kept and waited for.

Each case runs the real cee-agent against a real mosquitto (persistent sessions, QoS 1) and
logger-sim, and checks what the server and the logger application see: answers (each once),
requests received (each once), rows, and the files in the spool folder.
"""
import base64
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import tempfile
from contextlib import closing

from harness import (DEADLINE_S, Agent, E2ETestCase, LoggerSim, exact, find_lines, make_order,
                     publish_many, unique_name, wait_until, write_text)


def request(n):
    return ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="%d"><command>'
            'ReadFromEchonetDevice</command><requestData><p x="1">0x7D</p></requestData>'
            '</commandRequest>' % n)


def order(n, terminal=(Agent.SUBSTRATE_CODE,)):
    return make_order("ReadFromEchonetDevice", request(n), terminal=terminal)


def answers_by_request(lines):
    """{request id: [data of each answer]} of answer lines "topic payload"."""
    out = {}
    for line in lines:
        data = json.loads(line.partition(" ")[2])["data"]
        body = base64.b64decode(data["value"]).decode() if data["value"] else ""
        n = data.get("n")
        found = re.search(r'commandResponse id="(\d+)"', body)
        if n is None and found:
            n = int(found.group(1))
        out.setdefault(n, []).append(data)
    return out


def request_ids(sim):
    return [int(r.split('commandRequest id="')[1].split('"')[0]) for r in sim.requests()]


def spool_files(agent):
    folder = agent.settings["SPOOL_DIR"]
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def rows(db_file):
    with closing(sqlite3.connect(db_file)) as db:
        return db.execute("SELECT recv_xml, res_error_str, res_result FROM command_info "
                          "ORDER BY id").fetchall()


def numbered_order(n):
    """An order whose answer names it even when it carries no answer body (data.n)."""
    text = json.loads(order(n))
    text["data"]["n"] = n
    return json.dumps(text)


class OrderSpoolTest(E2ETestCase):

    def agents(self, folder, broker, sim, settings=None, mqtt=None):
        """A factory of agents sharing folder and broker session (a stop and a restart)."""
        client_id = "spool-%d" % os.getpid()
        mqtt = dict(mqtt or {}, CLIENT_ID=client_id)
        merged = {"QMT_HTTP": {"URL": sim.url, "RETRY_NUM": 0, "CURL_TIMEOUT": 5}}
        merged.update(settings or {})
        count = [0]

        def make(start=True, wait_ready=True, **overrides):
            count[0] += 1
            agent = Agent(folder, broker, settings=dict(merged, **overrides),
                          mqtt=mqtt, name="cee-agent-%d" % count[0])
            if start:
                self.start_program(agent)
                if wait_ready:
                    agent.wait_ready()
            return agent
        return make

    def test_sigterm_leaves_queued_orders_which_run_once_after_restart(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder, "--mode", "slow", "--delay-ms", "1500"))
        make = self.agents(os.path.join(folder, "agent"), broker, sim)
        first = make()
        answers = self.subscribe(broker, first.topic_pub)
        publish_many(broker, first.topic_sub, [order(n) for n in range(1, 6)])
        wait_until(lambda: len(spool_files(first)) >= 4, "orders spooled")
        sim.wait_requests(1)
        self.assertEqual(first.terminate()[0], 0)
        # The order that was running ended and was answered; the rest wait in the spool.
        left = spool_files(first)
        self.assertTrue(left and all(f.endswith(".order") for f in left), left)
        self.assertEqual(len(left) + len(sim.requests()), 5)

        second = make()
        wait_until(lambda: len(answers.lines()) >= 5 and not spool_files(second),
                   "five answers", DEADLINE_S * 2)
        second.terminate()
        answers.sync()
        got = answers_by_request(answers.lines())
        self.assertEqual(sorted(got), [1, 2, 3, 4, 5])
        self.assertTrue(all(len(a) == 1 and a[0]["result"] == "success" for a in got.values()),
                        got)
        self.assertEqual(sorted(request_ids(sim)), [1, 2, 3, 4, 5])
        self.assertEqual(request_ids(sim), sorted(request_ids(sim)))  # arrival order

    def test_killed_mid_order_is_answered_failed_once_and_not_run_again(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder, "--mode", "slow", "--delay-ms", "60000",
                                           "--fault-count", "1"))
        make = self.agents(os.path.join(folder, "agent"), broker, sim)
        first = make()
        answers = self.subscribe(broker, first.topic_pub)
        publish_many(broker, first.topic_sub, [order(1), order(2)])
        sim.wait_requests(1)
        wait_until(lambda: any(f.endswith(".row") for f in spool_files(first)), "row noted")
        first.send_signal(signal.SIGKILL)
        self.assertEqual(first.wait_exit(), -signal.SIGKILL)
        self.assertEqual([f.rpartition(".")[2] for f in spool_files(first)],
                         ["row", "run", "order"])

        second = make()
        wait_until(lambda: len(answers.lines()) >= 2 and not spool_files(second), "two answers")
        second.terminate()
        answers.sync()
        got = answers_by_request(answers.lines())
        # Order 1 carries no answer body: it is the answer without one.
        interrupted = got.pop(None)
        self.assertEqual(len(interrupted), 1)
        self.assertEqual(interrupted[0]["result"], "failed")
        self.assertIn("interrupted", interrupted[0]["error"])
        self.assertEqual([(n, [a["result"] for a in got[n]]) for n in got], [(2, ["success"])])
        self.assertEqual(request_ids(sim), [1, 2])
        recorded = rows(second.db_file)
        self.assertEqual([(r[0], r[2]) for r in recorded], [(request(1), -1), (request(2), 0)])
        self.assertIn("interrupted", recorded[0][1])

    def test_failed_start_takes_nothing_from_the_broker(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder))
        agent_dir = os.path.join(folder, "agent")
        make = self.agents(agent_dir, broker, sim)
        first = make()  # the session and its subscription exist from now on
        answers = self.subscribe(broker, first.topic_pub)
        self.assertEqual(first.terminate()[0], 0)
        first.send_order(order(7))

        # A file where the database folder should be: the database cannot be prepared.
        blocker = write_text(os.path.join(folder, "blocker"), "not a folder")
        for _ in range(2):  # and again at the restart systemd would make
            broken = make(start=False, DATABASE={"DB_PATH": os.path.join(blocker, "db"),
                                                 "DB_FILE": "cee_pkg_upd.db"})
            before = len(broken.log())
            self.start_program(broken)
            self.assertEqual(broken.wait_exit(), 1)
            self.assertIn(os.path.join(blocker, "db"), broken.stderr())
            self.assertEqual(find_lines(broken.log(), "in initConn", before), [])

        spool_blocker = os.path.join(folder, "spool-blocker")
        write_text(spool_blocker, "not a folder")
        broken = make(start=False, SPOOL_DIR=os.path.join(spool_blocker, "spool"))
        self.start_program(broken)
        self.assertEqual(broken.wait_exit(), 1)
        self.assertIn(os.path.join(spool_blocker, "spool"), broken.stderr())

        make()
        wait_until(lambda: answers.lines(), "answer of the order sent while stopped")
        self.assertEqual(request_ids(sim), [7])

    def test_retained_order_is_not_executed(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder))
        make = self.agents(os.path.join(folder, "agent"), broker, sim)
        probe = make(start=False)
        broker.publish(probe.topic_sub, order(1), retain=True)
        for start in range(2):  # the first subscription and the one after a restart
            agent = make()
            agent.send_order(order(10 + start))
            sim.wait_requests(start + 1)
            agent.wait_for_log(exact("in startMain loop : end Send Data (MQTT publish) -> "
                                     "success (0)"))
            # (One warning per subscription the broker answered with the retained order.)
            self.assertGreater(len(find_lines(agent.log(), "retained message is not executed")),
                               start)
            self.assertEqual(agent.terminate()[0], 0)
        self.assertEqual(request_ids(sim), [10, 11])

    def test_foreign_orders_are_not_spooled_and_do_not_delay_an_own_order(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder))
        make = self.agents(os.path.join(folder, "agent"), broker, sim)
        first = make()
        answers = self.subscribe(broker, first.topic_pub)
        self.assertEqual(first.terminate()[0], 0)
        # 500 orders for other terminals (and unusable ones) queued ahead of one own order.
        foreign = [order(n, terminal=("OTHER",)) for n in range(100, 500)]
        foreign += ['{"order":{"type":"cmd","indicate":"NoSuch"}}'] * 50 + ["not json"] * 50
        publish_many(broker, first.topic_sub, foreign + [order(1)])

        agent = make(LOG={"LOG_MAX_BYTES": 100000000})
        # One order a second: 500 passes before the own order if the others were queued.
        wait_until(lambda: answers.lines(), "answer of the own order")
        wait_until(lambda: not spool_files(agent), "receipt removed")
        log = agent.log()
        self.assertEqual(len(find_lines(log, "not execute target command")), 400)
        self.assertEqual(len(find_lines(log, "no execution command")), 100)
        self.assertEqual(len(find_lines(log, "start Execute Thread")), 1)
        self.assertEqual(request_ids(sim), [1])
        self.assertEqual(spool_files(agent), [])

    def test_database_removed_while_running_records_again_after_restart(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        sim = self.start_program(LoggerSim(folder))
        make = self.agents(os.path.join(folder, "agent"), broker, sim)
        agent = make()
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(order(1))
        answers.wait_for_lines(1)
        os.remove(agent.db_file)
        agent.send_order(order(2))
        answers.wait_for_lines(2)
        self.assertFalse(os.path.exists(agent.db_file))  # no empty file made by an order
        self.assertTrue(find_lines(agent.log(), "in open : DB open failed -> 14"))
        self.assertEqual(agent.terminate()[0], 0)

        agent = make()
        agent.send_order(order(3))
        answers.wait_for_lines(3)
        self.assertEqual([r[0] for r in rows(agent.db_file)], [request(3)])

    def test_full_spool_answers_a_new_order_failed_at_once(self):
        folder = self.temp_dir()
        broker = self.start_broker()
        # The first request is never answered in time: the spool stays full meanwhile.
        sim = self.start_program(LoggerSim(folder, "--mode", "never", "--fault-count", "1"))
        agent_dir = os.path.join(folder, "agent")
        make = self.agents(agent_dir, broker, sim)
        spool = os.path.join(agent_dir, "spool")
        for n in range(1, 1001):
            write_text(os.path.join(spool, "%020d.order" % n), order(n))
        agent = make(QMT_HTTP={"URL": sim.url, "RETRY_NUM": 0, "CURL_TIMEOUT": 30})
        answers = self.subscribe(broker, agent.topic_pub)
        sim.wait_requests(1)
        agent.send_order(numbered_order(5000))
        refused = wait_until(lambda: answers_by_request(answers.lines()).get(5000),
                             "answer of the refused order")
        self.assertEqual(refused[0]["result"], "failed")
        self.assertIn("spool full", refused[0]["error"])
        self.assertEqual(request_ids(sim), [1])  # still inside the first order
        self.assertTrue(find_lines(agent.log(), "in subscribeFunction : order not accepted"))

    def test_signal_during_start_up_is_logged(self):
        # A peer that takes the connection and never answers: start-up waits in the connect.
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        agent = Agent(self.temp_dir(), mqtt={"BROKER_URI": "tcp://127.0.0.1:%d"
                                             % silent.getsockname()[1], "CONNECT_TIMEOUT_S": 3})
        self.start_program(agent)
        agent.wait_for_log("in initMain : order spool ->")
        agent.send_signal(signal.SIGTERM)
        self.assertEqual(agent.wait_exit(DEADLINE_S * 2), 1)
        self.assertEqual(len(find_lines(agent.log(), "in signal_handler : receive signal -> 15")),
                         1)

    def test_answer_waiting_for_the_broker_survives_a_restart_of_the_agent(self):
        folder = self.temp_dir()
        broker = self.start_broker(persistence=True)
        sim = self.start_program(LoggerSim(folder, "--mode", "slow", "--delay-ms", "1500",
                                           "--fault-count", "1"))
        mqtt = {}
        if os.environ.get("CEE_BUILD_DIR", "").endswith("emulated") and os.path.isdir("/dev/shm"):
            # The 32-bit client library lists its folder with 32-bit readdir, which fails
            # (EOVERFLOW) under the emulator on this host's disk file systems, whose directory
            # positions need 64 bits (a 32-bit kernel gives 32-bit ones); tmpfs has small ones.
            mqtt["PERSISTENCE_DIR"] = tempfile.mkdtemp(dir="/dev/shm")
            self.addCleanup(shutil.rmtree, mqtt["PERSISTENCE_DIR"], True)
        make = self.agents(os.path.join(folder, "agent"), broker, sim, mqtt=mqtt)
        first = make()
        watcher = unique_name("spool-answers")

        def watch():
            return self.subscribe(broker, first.topic_pub, client_id=watcher,
                                  clean_session=False)
        answers = watch()
        first.send_order(order(1))
        sim.wait_requests(1)
        answers.stop()
        broker.stop()
        # The answer is due while the broker is away; the agent is stopped before it is back.
        first.wait_for_log("in startMain loop : end Send Data (MQTT publish) -> failed")
        self.assertEqual(first.terminate()[0], 0)
        self.assertEqual(spool_files(first), [])  # handed to the MQTT library

        broker.start()
        answers = watch()
        make()
        lines = answers.wait_for_lines(1, DEADLINE_S * 2)
        got = answers_by_request(lines)
        self.assertEqual([(n, [a["result"] for a in got[n]]) for n in got], [(1, ["success"])])
        self.assertEqual(len(answers.sync()), 1)
        self.assertEqual(request_ids(sim), [1])
