"""cee-agent on an authenticated, encrypted broker link: mosquitto on a TLS listener that
requires a client certificate and a password (certificates made here with openssl)."""
import os
import subprocess
import unittest

from harness import (DEADLINE_S, Agent, E2ETestCase, LoggerSim, answer_ids, make_order,
                     wait_until)

USER = "terminal-7"
PASSWORD = "s3cret pass"


def make_certificate(folder, name, ca=(), *extensions):
    """A key and a certificate (self-signed without ca): (certificate path, key path)."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", name + ".key", "-subj",
                    "/CN=" + name, "-out", name + ".crt", "-days", "2"]
                   + (["-CA", ca[0], "-CAkey", ca[1]] if ca else [])
                   + [arg for e in extensions for arg in ("-addext", e)], cwd=folder, check=True,
                   timeout=DEADLINE_S * 4, stdin=subprocess.DEVNULL, capture_output=True)
    return os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")


class SecureBrokerTest(E2ETestCase):

    def test_agent_connects_with_certificate_and_password_and_is_refused_otherwise(self):
        pki = self.temp_dir()
        ca = make_certificate(pki, "e2e-ca")
        other_ca = make_certificate(pki, "e2e-other-ca")
        server = make_certificate(pki, "broker", ca, "subjectAltName=IP:127.0.0.1",
                                  "extendedKeyUsage=serverAuth")
        client = make_certificate(pki, "agent", ca, "extendedKeyUsage=clientAuth")
        passwords = os.path.join(pki, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, USER, PASSWORD], check=True,
                       timeout=DEADLINE_S, stdin=subprocess.DEVNULL, capture_output=True)
        broker = self.start_broker(side_port=True, listener_config="\n".join([
            "cafile " + ca[0], "certfile " + server[0], "keyfile " + server[1],
            "require_certificate true", "password_file " + passwords,
            "allow_anonymous false"]))
        folder = self.temp_dir()
        sim = self.start(LoggerSim(folder))
        good = {"BROKER_URI": "ssl://127.0.0.1:%d" % broker.port, "CA_FILE": ca[0],
                "CERT_FILE": client[0], "KEY_FILE": client[1], "USERNAME": USER,
                "PASSWORD": PASSWORD}
        agent = self.start(Agent(os.path.join(folder, "good"), broker, mqtt=good,
                                 settings={"QMT_HTTP": {"URL": sim.url}}))
        answers = self.subscribe(broker, agent.topic_pub)
        agent.send_order(make_order("GetLatestMeasurementData", '<commandRequest id="tls-1"/>'))
        answer = answers.wait_answers(1)[0]
        self.assertEqual((answer["data"]["result"], answer_ids([answer])), ("success", ["tls-1"]))
        # The broker saw the agent on its TLS listener, under the user name.
        self.assertRegex(broker.log(), r"as %s \([^)]*u'%s'\)" % (agent.client_id, USER))
        self.assertEqual(agent.terminate(), 0)
        # case -> (change of the MQTT settings, what the broker logs about the attempt)
        for case, change, reason in (("wrong-CA", {"CA_FILE": other_ca[0]}, "unknown ca"),
                                     ("wrong-password", {"PASSWORD": "x"}, "not authorised")):
            with self.subTest(case=case):
                seen = broker.log().count(reason)
                agent = self.start(Agent(os.path.join(folder, case), broker, mqtt=dict(
                    good, CONNECT_TIMEOUT_S=3, **change)), wait_ready=False)
                self.assertEqual(agent.wait_exit(DEADLINE_S * 2), 1)
                self.assertIn("MQTT Connect -> failed", agent.log())
                self.assertNotIn("Waiting to receive instructions", agent.log())
                wait_until(lambda: broker.log().count(reason) > seen, reason)


if __name__ == "__main__":
    unittest.main()
