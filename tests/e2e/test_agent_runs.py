"""cee-agent as a whole: command line, start-up, receiving and dispatching orders, shutdown.

The real binary runs against a real mosquitto broker; orders are published with mosquitto_pub
and answers watched with mosquitto_sub. Every file of the agent lives in a temporary folder.
"""
import datetime
import os
import re
import signal
import sqlite3
import subprocess
import unittest

from harness import (DEADLINE_S, Agent, Broker, E2ETestCase, agent_binary, exact,
                     find_in_order, find_lines, free_port, make_order, publish, publish_many,
                     write_text)

WAITING = "in startMain : === Waiting to receive instructions from the server ==="
END_OF_PASS_ORDER = exact("in startMain loop : end Execute Thread (join)")
NOT_EXECUTED = exact("in executeServerOrder : no execution command : name -> base", "W")
TABLES = {"command_info", "package_list", "cancel_cid_list", "proc_info", "version"}
# Stopping an idle agent takes a fraction of a second; this bound only catches a hang.
STOP_BOUND_S = 3.0


def received(topic, text):
    return exact("in subscribeFunction : Subscribe : topic -> %s : message -> %s"
                 % (topic, text))


def execute_start(text):
    return exact("in startMain loop : start Execute Thread : Receive Data -> %s" % text)


def database_content(path):
    """(table names, rows of version) of a database file, opened read-only."""
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        tables = {row[0] for row in db.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name <> 'sqlite_sequence'")}
        versions = db.execute("SELECT db_version FROM version").fetchall()
        return tables, versions
    finally:
        db.close()


def receipts(lines, start=0):
    """The orders the receive callback settled, from line `start` on: a list of (None, order
    text, lines from its Subscribe line to the next one)."""
    out = []
    for line in lines[start:]:
        m = re.fullmatch(r"in subscribeFunction : Subscribe : topic -> \S* : message -> (.*)",
                         line.text)
        if m:
            out.append((None, m.group(1), [line]))
        elif out:
            out[-1][2].append(line)
    return out


def order_passes(lines, start=0):
    """The passes of the main loop that executed an order, from line `start` on: a list of
    (count, order text, lines of the pass from the count line to the end-of-execution line)."""
    passes = []
    current = None
    for line in lines[start:]:
        m = re.fullmatch(r"in startMain loop : have Receive Data cnt -> (\d+)", line.text)
        if m:
            current = {"count": int(m.group(1)), "text": None, "lines": [line]}
            continue
        if current is None:
            continue
        current["lines"].append(line)
        m = re.fullmatch(r"in startMain loop : start Execute Thread : Receive Data -> (.*)",
                         line.text)
        if m and current["text"] is None:
            current["text"] = m.group(1)
        if END_OF_PASS_ORDER(line):
            passes.append((current["count"], current["text"], current["lines"]))
            current = None
    return passes


class EarlyExitTest(E2ETestCase):
    """Options and failures that end the agent before it ever waits for orders."""

    def run_agent(self, *args):
        return subprocess.run([agent_binary()] + list(args), capture_output=True, text=True,
                              timeout=DEADLINE_S, cwd=self.temp_dir(), stdin=subprocess.DEVNULL)

    def test_help_version_and_invalid_options(self):
        for option in ("--help", "-h"):
            with self.subTest(option=option):
                done = self.run_agent(option)
                self.assertEqual(done.returncode, 0)
                self.assertIn("Usage: cee-agent", done.stdout)
                self.assertIn("--config FILE", done.stdout)
                self.assertEqual(done.stderr, "")
        for option in ("--version", "-V"):
            with self.subTest(option=option):
                done = self.run_agent(option)
                self.assertEqual(done.returncode, 0)
                self.assertRegex(done.stdout, r"\Acee-agent \d+\.\d+\S*\n\Z")
                self.assertEqual(done.stderr, "")
        for args in (["--no-such-option"], ["extra"], ["--config"]):
            with self.subTest(args=args):
                done = self.run_agent(*args)
                self.assertEqual(done.returncode, 64)
                self.assertEqual(done.stdout, "")
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(args[0], done.stderr)

    def test_log_file_that_cannot_be_created_ends_start_up(self):
        folder = self.temp_dir()
        blocker = write_text(os.path.join(folder, "not-a-folder"), "a regular file\n")
        log_dir = os.path.join(blocker, "log")
        agent = Agent(folder, mqtt={"BROKER_URI": "tcp://127.0.0.1:%d" % free_port(),
                                    "CONNECT_TIMEOUT_S": 1},
                      settings={"LOG": {"LOG_DIR": log_dir}})
        self.start_program(agent)
        self.assertEqual(agent.wait_exit(), 1)
        # The message names the file that could not be opened.
        self.assertIn(os.path.join(log_dir, "cee.log"), agent.stderr())
        self.assertFalse(os.path.exists(agent.db_file))

    def test_broker_not_reachable_ends_start_up_after_settings_display(self):
        folder = self.temp_dir()
        port = free_port()  # nothing listens there
        agent = Agent(folder, mqtt={"BROKER_URI": "tcp://127.0.0.1:%d" % port,
                                    "CONNECT_TIMEOUT_S": 1},
                      group="west", substrate_code="SUBCODE-77",
                      settings={"PLATFORM": "field-box",
                                "LOG": {"LOG_MAX_BYTES": 250000, "LOG_COUNTS": 2},
                                "QMT_HTTP": {"URL": "http://127.0.0.1:8099/", "RETRY_NUM": 2,
                                             "RETRY_INTERVAL": 250},
                                "PKG_UPDATE": {"TIME_START": "22:30:00", "DAY_SPAN": 4}})
        self.start_program(agent)
        self.assertEqual(agent.wait_exit(), 1)

        lines = agent.log()
        header = find_in_order(lines, [exact("in initMain : Display Setting Data >>>", "I")])[0]
        self.assertEqual([l.text for l in lines[header.index - 2:header.index]],
                         ["", "-----------------------------------------"])
        settings = agent.settings
        expected = [
            "   CMD_SUBSTRATE_CODE = %s" % settings["CMD_SUBSTRATE_CODE"],
            "   LOG.LOG_DIR        = %s" % settings["LOG"]["LOG_DIR"],
            "   LOG.LOG_FILE       = cee.log",
            "   LOG.LOG_MAX_BYTES  = 250000",
            "   LOG.LOG_COUNTS     = 2",
            "   PLATFORM           = field-box",
            "   FILE_GROUP         = %s" % settings["FILE_GROUP"],
            "   QMT.URL            = http://127.0.0.1:8099/",
            "   QMT.RETRY_NUM      = 2",
            "   QMT.RETRY_INTERVAL = 250000",
            "   PKG.TIME_START     = 22:30:00",
            "   PKG.TIME_END       = 03:59:59",
            "   PKG.DAY_SDPAN      = 4",
            "   PKG.LOCALE_HOUR    = 9",
            "   PKG.LIST_FILE_PATH = %s" % settings["PKG_UPDATE"]["LIST_FILE_PATH"],
            "   PKG.LIST_PRE_NAME  = update_list_",
            "",
            "   group name         = west",
            "   substrate code     = SUBCODE-77",
            "-----------------------------------------",
            "",  # the closing line carries a newline of its own
        ]
        block = lines[header.index + 1:header.index + 1 + len(expected)]
        self.assertEqual([l.text for l in block], expected)
        self.assertEqual({l.source for l in block if l.text.startswith("   ")},
                         {"cmd_exec_env.cpp"})

        find_in_order(lines, [exact("in initMain : MQTT connect status >>>"),
                              exact("  connect status  -> 0"),
                              exact("  status (stage)  -> 0"),
                              exact("in initMain : Start MQTT Connect >>>")],
                      start=header.index)
        failed = find_lines(lines, re.compile(
            r"^in initMain : initConn : MQTT Connect -> failed \((-\d+)\)$"))
        self.assertEqual(len(failed), 1, "connect line missing or not 'failed (<negative>)'")
        self.assertEqual(failed[0].source, "cmd_exec_env.cpp")
        # Start-up ends right there (the database was prepared before connecting): no loop.
        self.assertEqual(find_lines(lines, WAITING), [])


class AgentWithBrokerTest(E2ETestCase):
    """The agent connected to a broker; one broker serves all tests of the class, each agent
    has a client id of its own."""

    @classmethod
    def setUpClass(cls):
        cls.broker = Broker(cls.class_temp_dir())
        cls.addClassCleanup(cls.broker.stop)
        cls.broker.start()

    def setUp(self):
        self.show_on_failure("broker log", self.broker.log_path)

    def start(self, **kwargs):
        return self.start_agent(self.temp_dir(), self.broker, **kwargs)

    def stop(self, agent):
        status, _ = agent.terminate()
        self.assertEqual(status, 0)

    def test_start_up_prepares_database_and_waits_for_orders(self):
        agent = self.start()
        lines = agent.log()
        find_in_order(lines, [
            exact("Start Command Execution Environment."),
            exact("in initMain : Display Setting Data >>>"),
            exact("   PLATFORM           = %s" % Agent.PLATFORM),
            exact("   group name         = %s" % Agent.GROUP),
            exact("   substrate code     = %s" % Agent.SUBSTRATE_CODE),
            exact("in initMain : DB init -> success (0)"),
            exact("in initMain : Start MQTT Connect >>>"),
            exact("in initMain : initConn : MQTT Connect -> success (0)"),
            exact(WAITING, "I"),
        ])

        tables, versions = database_content(agent.db_file)
        self.assertEqual(tables, TABLES)
        self.assertEqual(versions, [("1.0",)])
        self.assertFalse(os.path.exists(agent.lock_file()), "agent lock file left behind")

        # Log times are local time of the UTC+9 zone the agent runs in.
        logged = datetime.datetime.strptime(lines[0].time, "%Y-%m-%d %H:%M:%S")
        now = datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=9)))
        self.assertLess(abs((now.replace(tzinfo=None) - logged).total_seconds()), 300)
        self.stop(agent)

    def test_database_that_cannot_be_created_ends_start_up(self):
        folder = self.temp_dir()
        blocker = write_text(os.path.join(folder, "not-a-folder"), "a regular file\n")
        agent = self.start_agent(folder, self.broker, wait_ready=False,
                                 settings={"DATABASE": {"DB_PATH": os.path.join(blocker, "db")}})
        self.assertEqual(agent.wait_exit(), 1)
        lines = agent.log()
        failed, _ = find_in_order(lines, [
            re.compile(r"^in initMain : DB init -> failed \(-?[1-9]\d*\)$"),
            exact("in initMain : DB init failed !!!!!", "I"),
        ])
        self.assertEqual(failed.level, "I")
        # Nothing was taken from the broker: the start ended before connecting.
        self.assertEqual(find_lines(lines, "Start MQTT Connect"), [])
        self.assertEqual(find_lines(lines, WAITING), [])
        self.assertFalse(os.path.exists(agent.db_file))

    def test_unknown_command_is_received_and_dropped(self):
        agent = self.start()
        answers = self.subscribe(self.broker, agent.topic_pub)
        order = make_order("NoSuchCommand", "<request/>", platform=[Agent.PLATFORM])
        ready = len(agent.log())
        agent.send_order(order)
        agent.wait_for_log(NOT_EXECUTED, start=ready)
        self.stop(agent)

        lines = agent.log()
        # The answers would go to the topic watched here.
        find_in_order(lines, [exact("in initConn : getTopicPub -> success : publisher topic -> "
                                    + agent.topic_pub)])
        # Settled on receipt: it never takes a pass of the loop.
        steps = find_in_order(lines, [
            received(agent.topic_sub, order),
            exact("in CreateCmdInfoObj"),
            exact("in CreateCmdInfoObj : command not found : indicate -> NoSuchCommand", "W"),
            exact("in CreateCmdInfoObj : command not found", "W"),
            exact("in executeServerOrder : name -> base"),
            NOT_EXECUTED,
        ], start=ready)
        self.assertEqual({l.source for l in steps}, {"cmd_exec_env.cpp"})
        # Nothing is executed and nothing goes back.
        for text in ("command found", "check execute target", "publishReturnServer",
                     "find Send Data", "start Execute Thread"):
            self.assertEqual(find_lines(lines, text, ready), [], text)
        self.assertEqual(answers.sync(), [])

    def test_unusable_orders_end_without_execution(self):
        agent = self.start()
        not_json = "this is not json"
        order_not_object = '{"order":"Restart","data":{"value":""}}'
        not_a_command = '{"order":{"type":"CMD","indicate":"Restart"}}'
        wrong_case = make_order("NwReset")
        ready = len(agent.log())
        # The empty message is logged on arrival but never queued.
        publish_many(self.broker, agent.topic_sub,
                     [not_json, "", order_not_object, not_a_command, wrong_case])
        agent.wait_for_log(NOT_EXECUTED, count=4, start=ready)
        self.stop(agent)

        lines = agent.log()
        find_in_order(lines, [received(agent.topic_sub, t) for t in
                              (not_json, "", order_not_object, not_a_command, wrong_case)],
                      start=ready)
        self.assertEqual(find_lines(lines, "start Execute Thread", ready), [])
        passes = receipts(lines, ready)
        self.assertEqual([p[1] for p in passes],
                         [not_json, "", order_not_object, not_a_command, wrong_case])
        passes = [p for p in passes if p[1]]
        for _, text, pass_lines in passes:
            with self.subTest(order=text):
                find_in_order(pass_lines, [exact("in CreateCmdInfoObj"),
                                           exact("in executeServerOrder : name -> base"),
                                           exact("in executeServerOrder : no execution command "
                                                 ": name -> base", "W")])
                self.assertEqual(find_lines(pass_lines, "command found"), [])
        by_text = {text: pass_lines for _, text, pass_lines in passes}

        parse_error = find_lines(by_text[not_json], re.compile(
            r"^in CreateCmdInfoObj : json parse error : syntax error at line 1 near: (.*)$"))
        self.assertEqual(len(parse_error), 1)
        self.assertEqual(parse_error[0].level, "W")
        near = parse_error[0].text.split("near: ", 1)[1]
        self.assertTrue(near and not_json.endswith(near), near)

        # Valid JSON of the wrong shape: an error line, then the plain "not found".
        error, _ = find_in_order(by_text[order_not_object], [
            re.compile(r"^in CreateCmdInfoObj : json parse error -> "),
            exact("in CreateCmdInfoObj : command not found", "W")])
        self.assertEqual(error.level, "E")

        # Not a command: no name looked up at all.
        self.assertEqual(find_lines(by_text[not_a_command], "indicate ->"), [])
        find_in_order(by_text[not_a_command],
                      [exact("in CreateCmdInfoObj : command not found", "W")])
        # Names are compared case-sensitively.
        find_in_order(by_text[wrong_case], [
            exact("in CreateCmdInfoObj : command not found : indicate -> NwReset", "W"),
            exact("in CreateCmdInfoObj : command not found", "W")])

    def test_orders_arriving_together_run_one_per_pass_in_order(self):
        agent = self.start()
        # This terminal's orders (the POST fails at once: nothing listens at the URL).
        orders = [make_order("Restart", "order %d" % n) for n in (1, 2, 3)]
        ready = len(agent.log())
        publish_many(self.broker, agent.topic_sub, orders)
        agent.wait_for_log("in startMain loop : end Send Data (MQTT publish)", count=3,
                           start=ready)
        self.stop(agent)

        lines = agent.log()
        loop_lines = [l for l in lines[ready:]
                      if l.text.startswith("in startMain loop : ")]
        kinds = [re.sub(r" -> .*", "", l.text) for l in loop_lines]
        self.assertEqual(kinds, ["in startMain loop : have Receive Data cnt",
                                 "in startMain loop : start Execute Thread : Receive Data",
                                 "in startMain loop : end Execute Thread (join)",
                                 "in startMain loop : find Send Data cnt",
                                 "in startMain loop : start Send Data : Send Data",
                                 "in startMain loop : end Send Data (MQTT publish)"] * 3)
        passes = order_passes(lines, ready)
        self.assertEqual([p[1] for p in passes], orders)
        counts = [p[0] for p in passes]
        # Each pass takes one order: at most 3, 2, 1 can still be waiting, and the last pass
        # empties the queue. When all three were queued before the first pass: 3, 2, 1.
        for count, most in zip(counts, (3, 2, 1)):
            self.assertTrue(1 <= count <= most, counts)
        if counts[0] == 3:
            self.assertEqual(counts, [3, 2, 1])
        # Passes are a second apart: every order starts in a later second than the one before.
        starts = [p[2][1].time for p in passes]
        self.assertEqual(starts, sorted(set(starts)), starts)

    def test_stop_signal_while_idle(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                agent = self.start()
                status, took = agent.terminate(sig)
                self.assertEqual(status, 0)
                self.assertLess(took, STOP_BOUND_S)
                lines = agent.log()
                find_in_order(lines, [
                    exact(WAITING),
                    exact("in signal_handler : receive signal -> %d" % sig, "I"),
                    exact("in startMain : exit loop ", "I"),
                ])
                self.assertEqual([l.text for l in lines[-2:]],
                                 ["in startMain : exit loop ", "in endMain : delete objects"])
                self.assertEqual({l.source for l in lines[-2:]}, {"cmd_exec_env.cpp"})
                self.assertEqual(agent.stderr(), "")

    def test_order_sent_while_stopped_is_received_after_restart(self):
        folder = self.temp_dir()
        first = self.start_agent(folder, self.broker)
        client = first.mqtt["CLIENT_ID"]
        self.stop(first)
        tables, versions = database_content(first.db_file)

        order = make_order("Restart", "sent while the agent was away")
        publish(self.broker, first.topic_sub, order)
        before = len(first.log())
        second = Agent(folder, self.broker, mqtt={"CLIENT_ID": client}, name="cee-agent-2")
        self.start_program(second)
        second.wait_for_log(END_OF_PASS_ORDER, start=before)
        self.stop(second)

        lines = second.log()
        passes = order_passes(lines, before)
        self.assertEqual([(p[0], p[1]) for p in passes], [(1, order)])
        find_in_order(lines, [exact(WAITING), execute_start(order)], start=before)
        # The existing database is kept as it is.
        self.assertEqual(database_content(second.db_file), (tables, versions))


if __name__ == "__main__":
    unittest.main()
