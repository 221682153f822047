"""cee-agent on an authenticated, encrypted broker link: mosquitto on a TLS listener that
requires a client certificate and a password. The certificates are made here with openssl.
"""
import base64
import json
import os
import re
import subprocess
import unittest

from harness import (DEADLINE_S, E2ETestCase, LoggerSim, exact, find_lines, make_order,
                     write_text)

USER = "terminal-7"
PASSWORD = "s3cret pass"
CONNECTED = "in initMain : initConn : MQTT Connect -> success (0)"
CONNECT_FAILED = re.compile(r"^in initMain : initConn : MQTT Connect -> failed \((-\d+)\)$")


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, timeout=DEADLINE_S * 4,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(folder, name):
    """A self-signed certificate authority: (certificate path, key path)."""
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-keyout", name + ".key", "-out", name + ".crt", "-days", "2",
            "-subj", "/CN=%s" % name, cwd=folder)
    return os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")


def make_certificate(folder, ca, name, extensions):
    """A key and a certificate signed by ca: (certificate path, key path)."""
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=%s" % name,
            cwd=folder)
    write_text(os.path.join(folder, name + ".ext"), extensions)
    openssl("x509", "-req", "-in", name + ".csr", "-CA", ca[0], "-CAkey", ca[1],
            "-CAcreateserial", "-out", name + ".crt", "-days", "2", "-extfile", name + ".ext",
            cwd=folder)
    return os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")


class SecureBrokerTest(E2ETestCase):

    def test_agent_connects_with_certificate_and_password_and_is_refused_otherwise(self):
        pki = self.temp_dir()
        ca = make_ca(pki, "e2e-ca")
        other_ca = make_ca(pki, "e2e-other-ca")
        server = make_certificate(pki, ca, "broker",
                                  "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
        client = make_certificate(pki, ca, "agent", "extendedKeyUsage=clientAuth\n")
        passwords = os.path.join(pki, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, USER, PASSWORD], check=True,
                       timeout=DEADLINE_S, stdin=subprocess.DEVNULL, capture_output=True)

        broker = self.start_broker(side_port=True, listener_config="\n".join([
            "cafile %s" % ca[0], "certfile %s" % server[0], "keyfile %s" % server[1],
            "require_certificate true", "password_file %s" % passwords,
            "allow_anonymous false"]))
        folder = self.temp_dir()
        sim = self.start_program(LoggerSim(folder))
        good = {"BROKER_URI": "ssl://127.0.0.1:%d" % broker.port, "CA_FILE": ca[0],
                "CERT_FILE": client[0], "KEY_FILE": client[1], "USERNAME": USER,
                "PASSWORD": PASSWORD}

        agent = self.start_agent(os.path.join(folder, "good"), broker, mqtt=good,
                                 settings={"QMT_HTTP": {"URL": sim.url}})
        self.assertTrue(find_lines(agent.log(), exact(CONNECTED)))
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(make_order("GetLatestMeasurementData",
                                    "<commandRequest id=\"tls-1\"/>"))
        answer = json.loads(answers.wait_for_lines(1)[0].partition(" ")[2])
        self.assertEqual(answer["data"]["result"], "success")
        self.assertIn(b'<commandResponse id="tls-1">', base64.b64decode(answer["data"]["value"]))
        self.assertEqual(sim.requests(), ['<commandRequest id="tls-1"/>'])
        # The broker saw the agent on its TLS listener, under the user name.
        self.assertRegex(broker.log_text(), r"New client connected from 127\.0\.0\.1:\d+ as %s "
                         r"\([^)]*\bu'%s'\)" % (re.escape(agent.client_id), re.escape(USER)))
        self.assertEqual(agent.terminate()[0], 0)

        # case -> (change of the MQTT settings, what the broker logs about the attempt)
        refused = {
            "wrong CA": ({"CA_FILE": other_ca[0]}, "unknown ca"),
            "wrong password": ({"PASSWORD": PASSWORD + "x"}, "not authorised"),
            "no client certificate": ({"CERT_FILE": "", "KEY_FILE": ""},
                                      "peer did not return a certificate"),
            "plain connection": ({"BROKER_URI": "tcp://127.0.0.1:%d" % broker.port},
                                 "wrong version number"),
        }
        for case, (change, reason) in refused.items():
            with self.subTest(case=case):
                seen = broker.log_text().count(reason)
                mqtt = dict(good, CONNECT_TIMEOUT_S=3, **change)
                agent = self.start_agent(os.path.join(folder, case.replace(" ", "-")), broker,
                                         mqtt=mqtt, wait_ready=False)
                self.assertEqual(agent.wait_exit(DEADLINE_S * 2), 1)
                lines = agent.log()
                self.assertEqual(len(find_lines(lines, CONNECT_FAILED)), 1,
                                 [l.raw for l in lines[-5:]])
                self.assertEqual(find_lines(lines, "in initConn : setup(APP_CMD) -> success"), [])
                # The database is prepared before connecting; nothing runs after the refusal.
                self.assertEqual(find_lines(lines, "in startMain"), [])
                broker.wait_log(reason, seen + 1)


if __name__ == "__main__":
    unittest.main()
