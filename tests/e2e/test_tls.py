"""cee-agent on an authenticated, encrypted broker link: mosquitto on a TLS listener that
requires a client certificate and a password; and its POSTs to an HTTPS peer, which must show a
trusted certificate for its host (certificates made here with openssl)."""
import os
import subprocess
import unittest

from harness import (DEADLINE_S, Agent, E2ETestCase, LoggerSim, answer_ids, make_order, order,
                     query, wait_until)

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


class HttpsPeerTest(E2ETestCase):

    def test_https_peer_is_refused_unless_its_certificate_is_trusted_for_its_host(self):
        pki = self.temp_dir()
        own = make_certificate(pki, "127.0.0.1", (), "subjectAltName=IP:127.0.0.1")
        other = make_certificate(pki, "other.example", (), "subjectAltName=DNS:other.example")
        broker = self.start_broker()
        # case -> (the peer's certificate, QMT_HTTP settings, libcurl's code in the order's row)
        for case, cert, change, code in (("system store", own, {}, 60),
                                         ("pinned", own, {"CA_FILE": own[0]}, 0),
                                         ("not verified", own, {"TLS_VERIFY": False}, 0),
                                         ("other host", other, {"CA_FILE": other[0]}, 60)):
            with self.subTest(case=case):
                folder = self.temp_dir()
                sim = self.start(LoggerSim(folder, "--tls-cert", cert[0], "--tls-key", cert[1]))
                agent = self.start(Agent(folder, broker, settings={"QMT_HTTP": dict(
                    URL=sim.url, RETRY_NUM=2, RETRY_INTERVAL=10, **change)}))
                answers = self.subscribe(broker, agent.topic_pub)
                agent.send_order(order(1))
                answer = answers.wait_answers(1)[0]["data"]["result"]
                row = query(agent.db_file, "SELECT res_result, res_error_str FROM command_info")
                self.assertEqual((answer, row), ("failed", [(60, "8082 port send error.")])
                                 if code else ("success", [(0, "")]))
                # A refused peer costs one attempt, and says why in one line.
                self.assertEqual(len(sim.requests()), int(not code))
                self.assertEqual(agent.log().count("in httpPostPlane : failed"), int(bool(code)))
                self.assertEqual("TLS verification failed (60) : SSL" in agent.log(), bool(code))
                self.assertEqual("TLS_VERIFY is false" in agent.log(), "TLS_VERIFY" in change)


if __name__ == "__main__":
    unittest.main()
