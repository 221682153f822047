#!/usr/bin/env python3
"""libmqtt-if against a real mosquitto.

Each test starts its own broker on a free port and drives the library through mqtt_if_client
(one library client per process; symlinks give it the program names cee-agent / cee-updater).
The broker's own log shows what reached it (SUBSCRIBE, PUBACK, client ids), so no test waits
for a fixed time.
"""
import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (the broker and the MQTT clients of the end-to-end tests)
from harness import free_port, publish, wait_until, write_text  # noqa: E402

# The driver (set by CTest), behind the emulator when cross-built.
CLIENT = shlex.split(os.environ.get("MQTT_IF_EMULATOR", "")) + [os.environ["MQTT_IF_CLIENT"]]


class Client(harness.Program):
    """One mqtt_if_client process running under the program name `name`."""

    def __init__(self, folder, name, settings, number):
        conf = write_text(os.path.join(folder, "mqtt_if_%s.conf" % name),
                          settings if isinstance(settings, str) else json.dumps(settings))
        exe = os.path.join(folder, name)
        if not os.path.exists(exe):
            os.symlink(CLIENT[-1], exe)
        super().__init__(CLIENT[:-1] + [exe], folder, "%s-%d" % (name, number),
                         {"MQTT_IF_CONF": conf})
        self.stdin, self.taken = subprocess.PIPE, {}

    def lines(self, word):
        """The texts after `word` of the complete lines starting with it."""
        return [t[len(word) + 1:] for t in self.stdout().split("\n")[:-1]
                if t.startswith(word + " ")]

    def wait_lines(self, word, count):
        return wait_until(lambda: len(got := self.lines(word)) >= count and got,
                          "%d %r line(s)" % (count, word))

    def cmd(self, line):
        """Sends one command and returns its answer (the text after the command word)."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        word = line.split()[0]
        n = self.taken[word] = self.taken.get(word, 0) + 1
        return self.wait_lines(word, n)[n - 1]

    def rc(self, line):
        return int(self.cmd(line).split()[0])

    def close(self):
        self.proc.stdin.close()  # the driver ends at the end of its input
        self.wait_exit()


class MqttIfTest(harness.E2ETestCase):
    def setUp(self):
        super().setUp()
        self.folder = self.temp_dir()
        self.broker = self.start_broker()

    def publish(self, *messages):
        publish(self.broker, "cee/order", *messages)

    def settings(self, **extra):
        return dict({"BROKER_URI": self.broker.uri, "CLIENT_ID": "t1", "CONNECT_TIMEOUT_S": 2,
                     "PUBLISH_TIMEOUT_S": 2}, **extra)

    def client(self, name="cee-agent", settings=None):
        return self.start(Client(self.folder, name, settings or self.settings(), len(self._logs)))

    def started(self, name="cee-agent", settings=None, receive=False):
        c = self.client(name, settings)
        self.assertEqual([c.rc("init"), c.rc("mode 1"), c.rc("setup")], [0, 0, 0])
        if receive:
            self.assertEqual(c.rc("recv"), 0)
        return c

    def test_receive_publish_and_answer_from_callback(self):
        c = self.client()
        self.assertEqual(c.rc("init"), 0)
        self.assertEqual(c.cmd("sub"), "0 cee/order")
        self.assertEqual(c.cmd("pub"), "0 cee/t1/answer")  # {client_id} is CLIENT_ID
        self.assertEqual([c.rc("setup"), c.rc("status")], [0, 1])
        answers = self.subscribe(self.broker, "cee/t1/answer")
        c.cmd("echo")  # the callback answers through dataSend on the library's thread
        self.assertEqual(c.rc("recv"), 0)
        self.publish("order 1")
        self.assertEqual(c.wait_lines("msg", 1), ["cee/order order 1"])
        self.assertEqual(c.wait_lines("answered", 1), ["0"])
        c.cmd("echo off")
        self.publish("a much longer order")
        self.publish("short")  # payloads are not NUL-terminated on the wire
        self.assertEqual(c.wait_lines("msg", 3)[1:], ["cee/order a much longer order",
                                                   "cee/order short"])
        self.assertEqual(c.rc("send answer 2"), 0)
        self.assertEqual(answers.wait_payloads(2), ["order 1", "answer 2"])
        self.broker.wait_for_log("Received SUBSCRIBE from t1-cee-agent\n")
        self.assertIn("cee/order (QoS 1)", self.broker.log())

    def test_orders_sent_while_stopped_are_kept_until_callback(self):
        c = self.started(receive=True)
        self.assertEqual(c.rc("destroy"), 0)
        c.close()
        self.publish("o1", "o2", "o3")
        c = self.started()  # no callback yet: the session delivers o1..o4 to the library
        self.publish("o4")
        # Acknowledged means the library took them: the broker will not send them again.
        self.broker.wait_for_log("Received PUBACK from t1-cee-agent", 4)
        self.assertEqual(c.lines("msg"), [])
        self.assertEqual(c.rc("recv"), 0)
        self.publish("o5")
        self.assertEqual(c.wait_lines("msg", 5), ["cee/order o%d" % i for i in range(1, 6)])

    def test_reconnects_and_resubscribes_after_broker_restart(self):
        c = self.started(receive=True)
        self.broker.stop()
        wait_until(lambda: c.rc("status") == 0, "disconnected")
        subscribed = self.broker.log().count("Received SUBSCRIBE from t1-cee-agent\n")
        self.broker.start()  # persistence off: the broker forgot the subscription
        self.broker.wait_for_log("Received SUBSCRIBE from t1-cee-agent\n", subscribed + 1)
        wait_until(lambda: c.rc("status") == 1, "connected")
        self.publish("after restart")
        self.assertEqual(c.wait_lines("msg", 1), ["cee/order after restart"])
        self.assertEqual(c.rc("send still here"), 0)

    def test_setup_fails_without_broker(self):
        silent = socket.create_server(("127.0.0.1", 0))  # accepts TCP, never answers CONNECT
        self.addCleanup(silent.close)
        for port in (free_port(), silent.getsockname()[1]):
            with self.subTest(port=port):
                c = self.client(settings=self.settings(BROKER_URI="tcp://127.0.0.1:%d" % port,
                                                       CONNECT_TIMEOUT_S=1, PUBLISH_TIMEOUT_S=1))
                self.assertEqual(c.rc("init"), 0)
                self.assertLess(c.rc("setup"), 0)
                self.assertEqual(c.rc("status"), 0)
                self.assertLess(c.rc("send lost"), 0)

    def test_two_programs_with_same_client_id_and_one_without_receive(self):
        answers = self.subscribe(self.broker, "cee/t1/answer")
        agent = self.started("cee-agent", receive=True)
        updater = self.started("cee-updater")
        self.publish("not for the updater")
        self.assertEqual(agent.wait_lines("msg", 1), ["cee/order not for the updater"])
        self.assertEqual([agent.rc("send from agent"), updater.rc("send from updater")], [0, 0])
        self.assertEqual(sorted(answers.wait_payloads(2)), ["from agent", "from updater"])
        self.assertEqual((agent.rc("status"), updater.rc("status")), (1, 1))
        log = self.broker.log()
        self.assertIn(" as t1-cee-agent ", log)
        self.assertIn(" as t1-cee-updater ", log)
        self.assertNotIn("already connected", log)
        self.assertNotIn("SUBSCRIBE from t1-cee-updater", log)  # holds no subscription
        self.assertEqual([updater.lines("msg"), updater.rc("destroy")], [[], 0])
        updater.close()
        updater = self.started("cee-updater", receive=True)
        self.publish("marker")
        self.assertEqual(updater.wait_lines("msg", 1), ["cee/order marker"])

    def test_arguments_and_settings(self):
        c = self.client(settings="{not json")
        self.assertEqual(c.rc("status"), 0)  # before initialize
        self.assertEqual([c.rc("pub"), c.rc("destroy"), c.rc("init")], [-1, 0, 0])
        self.assertEqual(c.cmd("pub"), "0 cee/cee-%s/answer" % socket.gethostname())  # defaults
        self.assertEqual([c.rc("mode 2"), c.rc("mode 1"), c.rc("sendkind 2")], [-1, 0, -1])
        self.assertEqual([c.rc("destroy"), c.rc("destroy")], [0, 0])
        for length, rc in ((127, 0), (128, -1)):  # the longest answer topic
            c = self.client(settings=self.settings(TOPIC_PUB="p" * length))
            self.assertEqual((c.rc("init"), c.rc("pub")), (0, rc))
        c = self.client(settings=self.settings(BROKER_URI="bogus://127.0.0.1:1"))
        self.assertEqual(c.rc("init"), -1)

    def test_status_topic_online_offline_and_last_will(self):
        settings = self.settings(STATUS_TOPIC="st/{client_id}/{program}")
        retained = lambda: self.subscribe(self.broker, "st/t1/cee-agent").wait_payloads(1)[0]
        c = self.started(settings=settings)
        self.assertEqual(retained(), "online")
        self.assertEqual(c.rc("destroy"), 0)
        self.assertEqual(retained(), "offline")
        c.close()
        c = self.started(settings=settings)
        watch = self.subscribe(self.broker, "st/t1/cee-agent")
        c.proc.send_signal(signal.SIGKILL)  # no clean disconnect: the broker sends the will
        self.assertEqual(watch.wait_payloads(2), ["online", "offline"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
