#!/usr/bin/env python3
"""libmqtt-if against a real mosquitto.

Each test starts its own broker on a free port and drives the library through mqtt_if_client
(one library client per process; symlinks give it the program names cee-agent / cee-updater).
The broker's own log shows what reached it (SUBSCRIBE, PUBACK, client ids), so no test waits
for a fixed time.
"""
import argparse
import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (the broker and the MQTT clients of the end-to-end tests)
from harness import DEADLINE_S, free_port, publish, wait_until  # noqa: E402

CLIENT = []  # the driver, behind an emulator when cross-built


class Client:
    """One mqtt_if_client process running under the program name `name`."""

    def __init__(self, folder, name, settings):
        conf = os.path.join(folder, "mqtt_if_%s.conf" % name)
        with open(conf, "w") as f:
            f.write(settings if isinstance(settings, str) else json.dumps(settings))
        exe = os.path.join(folder, name)
        if not os.path.exists(exe):
            os.symlink(CLIENT[-1], exe)
        env = dict(os.environ, MQTT_IF_CONF=conf)
        self.proc = subprocess.Popen(CLIENT[:-1] + [exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, env=env)
        self.lines = []
        self.taken = set()
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def cmd(self, line):
        """Sends one command and returns its answer (the text after the command word)."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.answer(line.split()[0])

    def answer(self, word):
        """Takes the oldest line starting with `word` not taken yet, waiting for it."""
        with self.cond:
            def answer():
                for i, text in enumerate(self.lines):
                    if i not in self.taken and text.startswith(word + " "):
                        self.taken.add(i)
                        return text[len(word) + 1:]
                return None
            result = self.cond.wait_for(answer, DEADLINE_S)
        if result is None:
            raise AssertionError("no %r line in %s" % (word, self.lines))
        return result

    def rc(self, line):
        return int(self.cmd(line).split()[0])

    def messages(self):
        with self.cond:
            return [text[4:] for text in self.lines if text.startswith("msg ")]

    def wait_messages(self, count):
        wait_until(lambda: len(self.messages()) >= count, "%d message(s)" % count)
        return self.messages()

    def wait_status(self, value):
        wait_until(lambda: self.rc("status") == value, "connect status %d" % value)

    def close(self):
        if not self.proc.stdin.closed:
            self.proc.stdin.close()  # the driver ends at the end of its input
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            harness.end(self.proc)
        self.proc.stdout.close()


class MqttIfTest(harness.E2ETestCase):
    def setUp(self):
        super().setUp()
        self.folder = self.temp_dir()
        self.broker = self.start_broker()
        self.clients = []
        self.addCleanup(lambda: [c.close() for c in self.clients])

    def wait_log(self, text, count=1):
        wait_until(lambda: self.broker.log_text().count(text) >= count, "broker log %r" % text)

    def publish(self, message, topic="cee/order"):
        publish(self.broker, topic, message)

    def received(self, sub, count):
        wait_until(lambda: len(sub.payloads()) >= count, "%d message(s)" % count)
        return [p.decode() for p in sub.payloads()]

    def retained(self, topic):
        return subprocess.run(["mosquitto_sub", "-p", str(self.broker.port), "-t", topic, "-C",
                               "1", "-W", "5"], capture_output=True, text=True,
                              timeout=DEADLINE_S).stdout.strip()

    def settings(self, **extra):
        base = {"BROKER_URI": "tcp://127.0.0.1:%d" % self.broker.port, "CLIENT_ID": "t1",
                "CONNECT_TIMEOUT_S": 2, "PUBLISH_TIMEOUT_S": 2, "PERSISTENCE_DIR": ""}
        base.update(extra)
        return base

    def client(self, name="cee-agent", settings=None):
        c = Client(self.folder, name, settings if settings is not None else self.settings())
        self.clients.append(c)
        return c

    def started(self, name="cee-agent", settings=None, receive=False):
        c = self.client(name, settings)
        self.assertEqual(c.rc("init"), 0)
        self.assertEqual(c.rc("mode 1"), 0)
        self.assertEqual(c.rc("setup"), 0)
        if receive:
            self.assertEqual(c.rc("recv"), 0)
        return c

    def test_receive_publish_and_answer_from_callback(self):
        c = self.client()
        self.assertEqual(c.rc("init"), 0)
        self.assertEqual(c.cmd("sub"), "0 cee/order")
        self.assertEqual(c.cmd("pub"), "0 cee/t1/answer")  # {client_id} is CLIENT_ID
        self.assertEqual(c.rc("setup"), 0)
        self.assertEqual(c.rc("status"), 1)
        answers = self.subscribe(self.broker, "cee/t1/answer")
        c.cmd("echo")  # the callback answers through dataSend on the library's thread
        self.assertEqual(c.rc("recv"), 0)
        self.publish("order 1")
        self.assertEqual(c.wait_messages(1), ["cee/order order 1"])
        self.assertEqual(c.answer("answered"), "0")
        c.cmd("echo off")
        self.publish("a much longer order")
        self.publish("short")  # payloads are not NUL-terminated on the wire
        self.assertEqual(c.wait_messages(3)[1:], ["cee/order a much longer order",
                                                   "cee/order short"])
        self.assertEqual(c.rc("send answer 2"), 0)
        self.assertEqual(self.received(answers, 2), ["order 1", "answer 2"])
        self.wait_log("Received SUBSCRIBE from t1-cee-agent\n")
        self.assertIn("cee/order (QoS 1)", self.broker.log_text())

    def test_orders_sent_while_stopped_are_kept_until_callback(self):
        c = self.started(receive=True)
        self.assertEqual(c.rc("destroy"), 0)
        c.close()
        for i in range(1, 4):
            self.publish("o%d" % i)
        c = self.started()  # no callback yet: the session delivers o1..o4 to the library
        self.publish("o4")
        # Acknowledged means the library took them: the broker will not send them again.
        self.wait_log("Received PUBACK from t1-cee-agent", 4)
        self.assertEqual(c.messages(), [])
        self.assertEqual(c.rc("recv"), 0)
        self.publish("o5")
        self.assertEqual(c.wait_messages(5), ["cee/order o%d" % i for i in range(1, 6)])

    def test_reconnects_and_resubscribes_after_broker_restart(self):
        c = self.started(receive=True)
        self.broker.stop()
        c.wait_status(0)
        subscribed = self.broker.log_text().count("Received SUBSCRIBE from t1-cee-agent\n")
        self.broker.start()  # persistence off: the broker forgot the subscription
        self.wait_log("Received SUBSCRIBE from t1-cee-agent\n", subscribed + 1)
        c.wait_status(1)
        self.publish("after restart")
        self.assertEqual(c.wait_messages(1), ["cee/order after restart"])
        self.assertEqual(c.rc("send still here"), 0)

    def test_setup_fails_without_broker(self):
        silent = socket.socket()  # accepts TCP but never answers CONNECT
        silent.bind(("127.0.0.1", 0))
        silent.listen(5)
        self.addCleanup(silent.close)
        for port in (free_port(), silent.getsockname()[1]):
            with self.subTest(port=port):
                c = self.client(settings=self.settings(BROKER_URI="tcp://127.0.0.1:%d" % port,
                                                       CONNECT_TIMEOUT_S=1, PUBLISH_TIMEOUT_S=1))
                self.assertEqual(c.rc("init"), 0)
                self.assertLess(c.rc("setup"), 0)
                self.assertEqual(c.rc("status"), 0)
                self.assertLess(c.rc("send lost"), 0)
                c.close()

    def test_two_programs_with_same_client_id_keep_their_sessions(self):
        answers = self.subscribe(self.broker, "cee/t1/answer")
        agent = self.started("cee-agent", receive=True)
        updater = self.started("cee-updater")
        self.assertEqual(agent.rc("send from agent"), 0)
        self.assertEqual(updater.rc("send from updater"), 0)
        self.assertEqual(sorted(self.received(answers, 2)), ["from agent", "from updater"])
        self.assertEqual((agent.rc("status"), updater.rc("status")), (1, 1))
        log = self.broker.log_text()
        self.assertIn(" as t1-cee-agent ", log)
        self.assertIn(" as t1-cee-updater ", log)
        self.assertNotIn("already connected", log)

    def test_program_without_receive_holds_no_subscription(self):
        c = self.started("cee-updater")
        self.publish("not for the updater")
        self.assertEqual(c.rc("send done"), 0)  # acknowledged: anything sent before is seen
        self.assertNotIn("SUBSCRIBE from t1-cee-updater", self.broker.log_text())
        self.assertEqual(c.rc("destroy"), 0)
        c.close()
        c = self.started("cee-updater", receive=True)
        self.publish("marker")
        self.assertEqual(c.wait_messages(1), ["cee/order marker"])

    def test_arguments_and_settings(self):
        c = self.client(settings="{not json")
        self.assertEqual(c.rc("status"), 0)  # before initialize
        self.assertEqual(c.rc("pub"), -1)
        self.assertEqual(c.rc("destroy"), 0)
        self.assertEqual(c.rc("init"), 0)  # unreadable file: defaults
        self.assertEqual(c.cmd("pub"), "0 cee/cee-%s/answer" % socket.gethostname())
        self.assertEqual(c.rc("mode 2"), -1)
        self.assertEqual(c.rc("mode 1"), 0)
        self.assertEqual(c.rc("sendkind 2"), -1)
        self.assertEqual(c.rc("destroy"), 0)
        self.assertEqual(c.rc("destroy"), 0)
        c.close()

        for length, rc in ((127, 0), (128, -1)):  # the longest answer topic
            c = self.client(settings=self.settings(TOPIC_PUB="p" * length))
            self.assertEqual((c.rc("init"), c.rc("pub")), (0, rc))
            c.close()

        c = self.client(settings=self.settings(BROKER_URI="bogus://127.0.0.1:1"))
        self.assertEqual(c.rc("init"), -1)

    def test_status_topic_online_offline_and_last_will(self):
        settings = self.settings(STATUS_TOPIC="st/{client_id}/{program}")
        c = self.started(settings=settings)
        self.assertEqual(self.retained("st/t1/cee-agent"), "online")
        self.assertEqual(c.rc("destroy"), 0)
        self.assertEqual(self.retained("st/t1/cee-agent"), "offline")
        c.close()

        c = self.started(settings=settings)
        watch = self.subscribe(self.broker, "st/t1/cee-agent")
        c.proc.send_signal(signal.SIGKILL)  # no clean disconnect: the broker sends the will
        self.assertEqual(self.received(watch, 2), ["online", "offline"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--client", required=True)
    parser.add_argument("--mosquitto", default="mosquitto")
    parser.add_argument("--emulator", default="")
    args, rest = parser.parse_known_args()
    CLIENT = shlex.split(args.emulator) + [os.path.abspath(args.client)]
    harness.MOSQUITTO = args.mosquitto
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
