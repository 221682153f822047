"""Hostile input from outside: orders nested far too deep or holding bytes that are no UTF-8,
answers of the logger application without end or redirected, payloads that would flood or forge
the log, and a group file or substrate code command that would hold up the start.

What each case shows is what a user sees: the agent stays up and answers the next order, the
logger application receives what it should (once), the answer is valid JSON, the log folder
keeps its lines and its size.
"""
import base64
import json
import os
import re
import sqlite3
import subprocess
from contextlib import closing

from harness import (DEADLINE_S, E2ETestCase, LoggerSim, b64, exact, find_lines, make_order,
                     read_text, unique_name, wait_until, write_script, write_text)

TIMESTAMP_LINE = re.compile(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [TDIWEC] : ")


def request(n, extra=""):
    return ('<?xml version="1.0" encoding="UTF-8"?><commandRequest id="%d"><command>'
            'ReadFromEchonetDevice</command>%s</commandRequest>' % (n, extra))


def nested(shape, depth):
    """A JSON value with depth levels of arrays ("arrays"), objects ("objects") or both in
    turn ("mixed")."""
    opens, closes = [], []
    for i in range(depth):
        obj = shape == "objects" or (shape == "mixed" and i % 2 == 0)
        opens.append('{"a":' if obj else "[")
        closes.append("}" if obj else "]")
    return "".join(opens) + "1" + "".join(reversed(closes))


def publish_file(broker, topic, payload):
    """Publishes bytes of any size (mosquitto_pub -s reads the message from standard input)."""
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.client_port), "-q",
                    "1", "-t", topic, "-s"], input=payload, check=True, timeout=DEADLINE_S,
                   stdout=subprocess.DEVNULL)


class RawAnswers:
    """mosquitto_sub writing the raw bytes of every answer (-N: no separator added) to a file,
    with the message length before each, so that bytes that are no UTF-8 stay as they are."""

    def __init__(self, test, broker, topic):
        self.path = os.path.join(test.temp_dir(), "answers")
        self.client_id = unique_name("e2e-raw")
        before = broker.subscriptions(self.client_id)
        self.out = open(self.path, "wb")
        self.proc = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.client_port), "-q", "1",
             "-i", self.client_id, "-t", topic, "-F", "%l %p"], stdin=subprocess.DEVNULL,
            stdout=self.out, stderr=subprocess.DEVNULL)
        test.addCleanup(self.stop)
        broker.wait_subscribed(self.client_id, before + 1)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=5)
        self.out.close()

    def answers(self):
        with open(self.path, "rb") as f:
            data = f.read()
        found, pos = [], 0
        while True:
            space = data.find(b" ", pos)
            if space < 0:
                return found
            length = int(data[pos:space])
            body = data[space + 1:space + 1 + length]
            if len(body) < length:
                return found
            found.append(body)
            pos = space + 1 + length + 1  # "-F" ends each message with a newline

    def wait(self, count, deadline_s=DEADLINE_S):
        return wait_until(lambda: self.answers() if len(self.answers()) >= count else None,
                          "%d answer(s)" % count, deadline_s)


def vm_hwm_kib(pid):
    """Peak resident memory of a process (VmHWM) in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM for %d" % pid)


class HostileOrdersTest(E2ETestCase):

    def start(self, sim_args=(), qmt=None, log=None):
        folder = self.temp_dir()
        self.broker = self.start_broker()
        self.sim = self.start_program(LoggerSim(folder, *sim_args))
        settings = {"QMT_HTTP": dict({"URL": self.sim.url, "RETRY_NUM": 0}, **(qmt or {}))}
        if log:
            settings["LOG"] = log
        self.agent = self.start_agent(os.path.join(folder, "agent"), self.broker,
                                      settings=settings)
        self.raw = RawAnswers(self, self.broker, self.agent.topic_pub)

    def test_deeply_nested_orders_are_refused_and_the_next_order_is_answered(self):
        self.start()
        hostile = []
        for shape in ("arrays", "objects", "mixed"):
            for depth in (100, 100000):
                # The nesting sits in a member of an otherwise sound order.
                text = make_order("ReadFromEchonetDevice", request(0))
                hostile.append(text[:-1] + ',"x":' + nested(shape, depth) + "}")
        for text in hostile:
            publish_file(self.broker, self.agent.topic_sub, text.encode())
        self.agent.send_order(make_order("ReadFromEchonetDevice", request(1)))

        answer = json.loads(self.raw.wait(1, DEADLINE_S * 2)[0])
        self.assertEqual(answer["data"]["result"], "success")
        # Orders that cannot be parsed are settled on receipt, ahead of the sound one.
        parse_error = "in CreateCmdInfoObj : json parse error : syntax error at line 1"
        self.agent.wait_for_log(parse_error, count=len(hostile))
        self.agent.assert_running()
        self.assertEqual(self.sim.requests(), [request(1)])
        self.assertEqual(len(self.raw.answers()), 1)
        self.assertEqual(len(find_lines(self.agent.log(), parse_error)), len(hostile))

    def test_answer_is_valid_utf8_and_the_request_is_forwarded_byte_for_byte(self):
        self.start()
        body_bytes = request(2, "<note>@</note>").encode().replace(b"@", b"\xff\xfe caf\xc3")
        text = (b'{"order":{"type":"cmd","indicate":"ReadFromEchonetDevice","target":'
                b'{"platform":["all"],"group":["all"],"terminal":["all"]},"note":"a\xffb\xc3"},'
                b'"data":{"value":"' + b64(body_bytes).encode() + b'"},'
                b'"timestamp":"2026/12/06 \xed\xa0\x80"}')
        publish_file(self.broker, self.agent.topic_sub, text)
        answer = json.loads(self.raw.wait(1)[0].decode("utf-8"))  # strict: raises if invalid
        self.assertEqual(answer["order"]["note"], "a\ufffdb\ufffd")
        self.assertEqual(answer["data"]["result"], "success")
        self.sim.wait_requests(1)
        with open(self.sim.stdout_path, "rb") as f:
            received = f.read().split(b"\n")[1]
        self.assertEqual(received, body_bytes)

    def test_endless_or_huge_answers_end_the_order_as_failed_with_bounded_memory(self):
        # mode, size, MAX_ANSWER_BYTES (None: the default of 32 MiB)
        cases = [("endless", None, 1048576), ("huge", 40 * 1048576, None)]
        for mode, size, limit in cases:
            with self.subTest(mode=mode):
                args = ["--mode", mode, "--fault-count", "1"]
                if size:
                    args += ["--size", str(size)]
                qmt = {"RETRY_NUM": 3, "CURL_TIMEOUT": 20}
                if limit:
                    qmt["MAX_ANSWER_BYTES"] = limit
                self.start(args, qmt)
                idle = vm_hwm_kib(self.agent.pid)
                self.agent.send_order(make_order("ReadFromEchonetDevice", request(3)))
                self.agent.send_order(make_order("ReadFromEchonetDevice", request(4)))
                first, second = [json.loads(a) for a in self.raw.wait(2, DEADLINE_S * 2)]
                self.assertEqual(first["data"], {"result": "failed", "value": ""})
                self.assertEqual(second["data"]["result"], "success")
                # Not retried: the logger application got the first request once.
                self.assertEqual(self.sim.requests(), [request(3), request(4)])
                self.agent.assert_running()
                self.agent.wait_for_log(
                    "in httpPostPlane : failed -> answer larger than MAX_ANSWER_BYTES (%d bytes)"
                    % (limit or 33554432))
                self.agent.wait_for_log(exact("in CmdInfoEcholDevRead execCommand : execute "
                                              "result -> failed : (63)"))
                with closing(sqlite3.connect(self.agent.db_file)) as db:
                    row = db.execute("SELECT res_error_str, res_result FROM command_info ORDER "
                                     "BY id LIMIT 1").fetchone()
                self.assertEqual(row, ("8082 port send error. answer larger than "
                                       "MAX_ANSWER_BYTES", 63))
                # An announced length above the limit is refused before the body is read; a
                # body without end is read up to the limit and no further.
                self.assertLess(vm_hwm_kib(self.agent.pid) - idle, 8 * 1024 + 2 * (limit or 0)
                                // 1024)
                self.agent.terminate()

    def test_a_redirect_keeps_the_post_and_its_body(self):
        self.start(["--mode", "redirect"])
        self.agent.send_order(make_order("ReadFromEchonetDevice", request(6)))
        answer = json.loads(self.raw.wait(1)[0])
        self.assertEqual(answer["data"]["result"], "success")
        self.assertIn(b'<commandResponse id="6">', base64.b64decode(answer["data"]["value"]))
        # Received at "/" (answered 302) and again, as a POST with the body, at "/moved".
        self.assertEqual(self.sim.requests(), [request(6)] * 2)

    def test_payloads_are_cut_and_escaped_in_the_log_and_its_folder_keeps_its_cap(self):
        max_bytes, counts = 30000, 2
        self.start(log={"LOG_MAX_BYTES": max_bytes, "LOG_COUNTS": counts})
        forged = "\n2026-12-06 10:00:00 E : [cmd_exec_env.cpp:1] forged\x1b[2J"
        big = request(5, "<data>" + forged + "x" * 100000 + "</data>")
        # Spread over lines like a hand-written order.
        order = json.dumps(json.loads(make_order("ReadFromEchonetDevice", big)), indent=1)
        for _ in range(4):
            publish_file(self.broker, self.agent.topic_sub, order.encode())
        self.raw.wait(4, DEADLINE_S * 2)

        log_dir = os.path.dirname(self.agent.log_path)
        files = [os.path.join(log_dir, name) for name in os.listdir(log_dir)]
        contents = b""
        for path in files:
            with open(path, "rb") as f:
                contents += f.read()
        self.assertLessEqual(sum(os.path.getsize(p) for p in files),
                             max_bytes * (counts + 1) + 8192)
        self.assertNotIn(b"\x1b", contents)
        for line in contents.split(b"\n"):
            # Every line is a line of the program (the start-up block ends in an empty one).
            self.assertTrue(line == b"" or TIMESTAMP_LINE.match(line), line[:120])
            self.assertLess(len(line), 4 * 1024 + 256)
        text = contents.decode("utf-8", "replace")
        self.assertIn("send data -> <?xml", text)
        self.assertIn("\\n2026-12-06 10:00:00 E : [cmd_exec_env.cpp:1] forged\\x1b[2J", text)
        self.assertIn(" ... (%d bytes)" % len(big.encode()), text)
        self.assertIn(" ... (%d bytes)" % len(order.encode()), text)


class StartupInputsTest(E2ETestCase):
    """A group file and a substrate code command that would hold up or flood the start: the
    agent starts anyway, with group "all" and an empty substrate code, and says why."""

    def test_start_is_not_held_up(self):
        # group file kind, substrate code command, warning expected on standard error
        cases = [
            ("fifo", "yes", "printed too much"),
            ("/dev/zero", "echo $$ > {pid}; sleep 600", "did not end in time"),
            ("link", "echo CODE; head -c 100000000 /dev/zero", "printed too much"),
            ("oversized", "exec 1>&-; echo $$ > {pid}; sleep 600", "did not end in time"),
        ]
        broker = self.start_broker()
        for kind, command, substrate_warning in cases:
            with self.subTest(kind=kind):
                folder = self.temp_dir()
                group = os.path.join(folder, "group")
                if kind == "fifo":
                    os.mkfifo(group)
                elif kind == "link":
                    write_text(os.path.join(folder, "real-group"), "GROUP=east\n")
                    os.symlink(os.path.join(folder, "real-group"), group)
                elif kind == "oversized":
                    write_text(group, "#" * 8192 + "\nGROUP=east\n")
                else:
                    group = kind
                pid_file = os.path.join(folder, "substrate.pid")
                script = write_script(os.path.join(folder, "substrate"),
                                      command.format(pid=pid_file))
                agent = self.start_agent(
                    os.path.join(folder, "agent"), broker, group=None, wait_ready=False,
                    settings={"FILE_GROUP": group, "CMD_SUBSTRATE_CODE": script})
                agent.wait_ready(deadline_s=DEADLINE_S + 10)
                agent.wait_for_log(exact("   group name         = all"))
                agent.wait_for_log(exact("   substrate code     = "))
                self.assertIn("group file %s not read (%s): group name all"
                              % (group, "too large" if kind == "oversized"
                                 else "not a regular file"), agent.stderr())
                self.assertIn("substrate code command %s %s: substrate code empty"
                              % (script, substrate_warning), agent.stderr())
                if os.path.exists(pid_file):
                    # Killed and reaped: gone, or at most a zombie for a moment.
                    with open(pid_file) as f:
                        pid = int(f.read())
                    wait_until(lambda: not os.path.exists("/proc/%d" % pid)
                               or " Z " in read_text("/proc/%d/stat" % pid),
                               "substrate code command %d to end" % pid)
                agent.terminate()
