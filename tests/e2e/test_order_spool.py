"""Every way cee-agent stops, and its order spool: no order the broker handed over is lost,
none is executed twice, an interrupted one is answered "failed", a full spool refuses at once,
and an answer still waiting for the broker survives a restart."""
import os
import signal
import unittest

from harness import (DEADLINE_S, Agent, E2ETestCase, LoggerSim, answer_ids, order, query,
                     request, wait_until)


class OrderSpoolTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        self.folder = self.temp_dir()
        self.broker = self.start_broker(persistence=True)  # for the restart of the broker

    def agent(self, sim, name, **mqtt):
        """One terminal: every agent shares folder and broker session."""
        return Agent(os.path.join(self.folder, "agent"), self.broker, name=name, mqtt=mqtt,
                     settings={"QMT_HTTP": {"URL": sim.url, "CURL_TIMEOUT": 30}})

    def test_sigterm_finishes_the_running_order_and_leaves_the_rest_for_the_restart(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "slow", "--delay-ms", "1000"))
        first = self.start(self.agent(sim, "first"))
        answers = self.subscribe(self.broker, first.topic_pub)
        first.send_order(order(1), order(2), order(3))
        wait_until(lambda: len(first.spool_files()) >= 2, "orders spooled")
        sim.wait_requests(1)
        self.assertEqual(first.terminate(), 0)
        # The operator's line for the stop names the signal, once.
        self.assertIn("receive signal -> 15", first.log())
        self.assertEqual(first.log().count("receive signal -> "), 1)
        left = first.spool_files()
        self.assertTrue(left and all(f.endswith(".order") for f in left), left)
        self.assertEqual(len(left) + len(sim.requests()), 3)
        self.assertEqual(answer_ids(answers.wait_answers(1)), ["1"])

        second = self.start(self.agent(sim, "second"))
        got = answers.wait_answers(3)
        self.assertEqual(answer_ids(got), ["1", "2", "3"])
        self.assertEqual([a["data"]["result"] for a in got], ["success"] * 3)
        self.assertEqual(sim.requests(), [request(n) for n in range(1, 4)])
        wait_until(lambda: not second.spool_files(), "spool emptied")

    def test_killed_mid_order_is_answered_failed_and_never_run_again(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "never", "--fault-count", "1"))
        first = self.start(self.agent(sim, "first"))
        answers = self.subscribe(self.broker, first.topic_pub)
        first.send_order(order(1), order(2))
        sim.wait_requests(1)
        wait_until(lambda: any(f.endswith(".row") for f in first.spool_files()), "row noted")
        lock = os.path.join(os.path.dirname(first.db_file), "db_cee.lock")
        self.assertEqual(first.terminate(signal.SIGKILL), -signal.SIGKILL)
        self.assertTrue(os.path.exists(lock))

        second = self.start(self.agent(sim, "second"))
        got = answers.wait_answers(2)
        self.assertEqual(answer_ids(got), ["", "2"])
        self.assertEqual([a["data"]["result"] for a in got], ["failed", "success"])
        self.assertIn("interrupted", got[0]["data"]["error"])
        self.assertEqual(sim.requests(), [request(1), request(2)])
        rows = query(second.db_file, "SELECT recv_xml, res_result, res_error_str FROM "
                     "command_info ORDER BY id")
        self.assertEqual([r[:2] for r in rows], [(request(1), -1), (request(2), 0)])
        self.assertIn("interrupted", rows[0][2])
        wait_until(lambda: not second.spool_files(), "spool emptied")
        self.assertEqual(second.terminate(), 0)
        self.assertFalse(os.path.exists(lock))

    def test_answer_waiting_for_the_broker_survives_a_restart(self):
        sim = self.start(LoggerSim(self.folder, "--mode", "slow", "--delay-ms", "1000",
                                   "--fault-count", "1"))
        mqtt = {"PERSISTENCE_DIR": self.persistence_dir(self.folder), "PUBLISH_TIMEOUT_S": 1}
        first = self.start(self.agent(sim, "first", **mqtt))
        answers = self.subscribe(self.broker, first.topic_pub, durable=True)
        first.send_order(order(1))
        sim.wait_requests(1)
        answers.stop()
        self.broker.stop()
        # The answer is due while the broker is away; the agent stops before it is back.
        first.wait_for_log("end Send Data (MQTT publish) -> failed")
        self.assertEqual(first.terminate(), 0)
        self.assertEqual(first.spool_files(), [])  # handed to the MQTT library

        self.broker.start()
        answers.start()
        self.start(self.agent(sim, "second", **mqtt))
        self.assertEqual(answer_ids(answers.wait_answers(1, DEADLINE_S * 2)), ["1"])
        self.assertEqual(sim.requests(), [request(1)])


if __name__ == "__main__":
    unittest.main()
